// The request numbers of the device programs are part of the kernel's ABI.
// The programs take them from the system headers (the Video4Linux 1 ones from
// compat/v4l1 where the system has none); these are the numbers a box must
// see. Several of them carry a struct size or a pointer, so they differ
// between 32-bit boxes (most set-top boxes are 32-bit ARM) and x86-64.
#include <linux/dvb/frontend.h>
#include <linux/dvb/video.h>
#include <linux/soundcard.h>
#include <linux/videodev.h>
#include <linux/videodev2.h>

// The same on every ABI: no pointer and no size that changes.
static_assert(VIDIOCGMBUF == 0x80887614, "VIDIOCGMBUF");
static_assert(VIDIOCGCAP == 0x803c7601, "VIDIOCGCAP");
static_assert(VIDIOCMCAPTURE == 0x40107613, "VIDIOCMCAPTURE");
static_assert(VIDIOCSYNC == 0x40047612, "VIDIOCSYNC");
static_assert(FE_READ_STATUS == 0x80046f45, "FE_READ_STATUS");
static_assert(VIDEO_GET_STATUS == 0x80146f1b, "VIDEO_GET_STATUS");
static_assert(VIDEO_PLAY == 0x6f16, "VIDEO_PLAY");
static_assert(SOUND_MIXER_READ_CD == 0x80044d08, "SOUND_MIXER_READ_CD");
static_assert(SOUND_MIXER_WRITE_CD == 0xc0044d08, "SOUND_MIXER_WRITE_CD");

#if defined(__arm__) || __SIZEOF_POINTER__ == 4
// struct v4l2_format is 204 bytes and struct video_still_picture 8.
static_assert(VIDIOC_S_FMT == 0xc0cc5605, "VIDIOC_S_FMT on a 32-bit box");
static_assert(VIDEO_STILLPICTURE == 0x40086f1e, "VIDEO_STILLPICTURE on a 32-bit box");
#elif defined(__x86_64__)
// struct v4l2_format is 208 bytes and struct video_still_picture 16.
static_assert(VIDIOC_S_FMT == 0xc0d05605, "VIDIOC_S_FMT on x86-64");
static_assert(VIDEO_STILLPICTURE == 0x40106f1e, "VIDEO_STILLPICTURE on x86-64");
#endif
