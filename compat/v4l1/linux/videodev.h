/* Video4Linux version 1 capture interface: only what the box's programs use.
 * Current kernels no longer ship this header; the layouts and request numbers
 * below are the ones the old drivers answer. */
#ifndef COMPAT_LINUX_VIDEODEV_H
#define COMPAT_LINUX_VIDEODEV_H

#include <linux/ioctl.h>

struct video_capability {
    char name[32];
    int type;
    int channels;
    int audios;
    int maxwidth;
    int maxheight;
    int minwidth;
    int minheight;
};

#define VIDEO_MAX_FRAME 32

struct video_mbuf {
    int size;   /* total bytes to map */
    int frames; /* frames the buffer holds */
    int offsets[VIDEO_MAX_FRAME];
};

struct video_mmap {
    unsigned int frame; /* frame index within the mapping */
    int height, width;
    unsigned int format; /* VIDEO_PALETTE_* */
};

#define VIDEO_PALETTE_GREY 1

#define VIDIOCGCAP _IOR('v', 1, struct video_capability)
#define VIDIOCSYNC _IOW('v', 18, int)
#define VIDIOCMCAPTURE _IOW('v', 19, struct video_mmap)
#define VIDIOCGMBUF _IOR('v', 20, struct video_mbuf)

#ifdef __cplusplus
static_assert(sizeof(struct video_capability) == 60, "video_capability layout");
static_assert(sizeof(struct video_mbuf) == 136, "video_mbuf layout");
static_assert(sizeof(struct video_mmap) == 16, "video_mmap layout");
static_assert(VIDIOCGCAP == 0x803c7601, "VIDIOCGCAP request");
static_assert(VIDIOCSYNC == 0x40047612, "VIDIOCSYNC request");
static_assert(VIDIOCMCAPTURE == 0x40107613, "VIDIOCMCAPTURE request");
static_assert(VIDIOCGMBUF == 0x80887614, "VIDIOCGMBUF request");
#endif

#endif
