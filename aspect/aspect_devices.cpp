#include "aspect_devices.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/dvb/frontend.h>
#include <linux/dvb/video.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

static_assert(VIDIOCGMBUF == 0x80887614 && VIDIOCGCAP == 0x803c7601, "V4L1 query requests");
static_assert(VIDIOCMCAPTURE == 0x40107613 && VIDIOCSYNC == 0x40047612, "V4L1 grab requests");
static_assert(VIDEO_PALETTE_GREY == 1, "grey palette");
static_assert(VIDEO_GET_STATUS == 0x80146f1b, "VIDEO_GET_STATUS request");
static_assert(FE_READ_STATUS == 0x80046f45 && FE_HAS_LOCK == 0x10, "FE_READ_STATUS request");
static_assert(VIDEO_FORMAT_4_3 == format_4_3 && VIDEO_FORMAT_16_9 == format_16_9 && VIDEO_FORMAT_221_1 == format_221_1,
              "stream formats");
static_assert(sizeof(video_format_t) == sizeof(int) && sizeof(fe_status_t) == sizeof(unsigned int),
              "status words read as plain integers");

double now_seconds()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec * 1e-6;
}

// A period beyond what one usleep can take (useconds_t has 32 bits) is slept
// in pieces; an infinite one lasts until the process is killed.
void sleep_seconds(double s)
{
    const double most = 4294967295.0; // largest useconds_t
    double micros = std::trunc(s * 1000000);
    while (micros > most) {
        usleep(useconds_t(most));
        micros -= most;
    }
    usleep(useconds_t(micros));
}

Devices name_devices(const std::string &dev_dvb, const std::string &dev_video, bool frontend_lock_test, bool no_decoder)
{
    Devices d;
    if (!no_decoder)
        d.decoder_path = dev_dvb + "/video0";
    if (frontend_lock_test)
        d.frontend_path = dev_dvb + "/frontend0";
    d.video_path = dev_video;
    return d;
}

void close_devices(Devices &d)
{
    if (d.buffer != MAP_FAILED)
        munmap(d.buffer, d.buffer_size);
    if (d.v4l2)
        v4l2_close(d.capture, d.streaming);
    if (d.capture >= 0)
        close(d.capture);
    if (d.frontend >= 0)
        close(d.frontend);
    if (d.decoder >= 0)
        close(d.decoder);
    d.buffer = MAP_FAILED;
    d.capture = d.frontend = d.decoder = -1;
}

// The decoder, then the frontend, as the shut-down closes them in reverse.
static bool open_dvb(Devices &d)
{
    if (!d.decoder_path.empty()) {
        d.decoder = open(d.decoder_path.c_str(), O_RDONLY | O_NONBLOCK);
        if (d.decoder < 0) {
            fprintf(stderr, "Error: Can't open dvb video device '%s' (%s)\n", d.decoder_path.c_str(), strerror(errno));
            return false;
        }
    }
    if (!d.frontend_path.empty()) {
        d.frontend = open(d.frontend_path.c_str(), O_RDONLY | O_NONBLOCK);
        if (d.frontend < 0) {
            fprintf(stderr, "Error: Can't open dvb frontend device '%s' (%s)\n", d.frontend_path.c_str(),
                    strerror(errno));
            return false;
        }
    }
    return true;
}

// A V4L2 capture device: the grab request holds the size it streams.
static bool open_streaming(Devices &d)
{
    d.v4l2 = true;
    if (!v4l2_open(d.capture, d.video_path, d.streaming))
        return false;
    d.request.frame = 0;
    d.request.width = d.streaming.width;
    d.request.height = d.streaming.height;
    d.request.format = VIDEO_PALETTE_GREY;
    d.buffer_size = d.streaming.grey.size();
    return true;
}

// The capture device: its buffer mapped and the grab request filled.
static bool open_capture(Devices &d)
{
    const char *video_path = d.video_path.c_str();
    d.capture = open(video_path, O_RDWR);
    if (d.capture < 0) {
        fprintf(stderr, "Error: Can't open video device '%s' (%s)\n", video_path, strerror(errno));
        return false;
    }

    struct video_mbuf mbuf {};
    if (ioctl(d.capture, VIDIOCGMBUF, &mbuf) != 0) {
        // Today's drivers speak V4L2 only and do not know the V4L1 request.
        if (errno == ENOTTY || errno == EINVAL)
            return open_streaming(d);
        fprintf(stderr, "Error: Can't open video buffer on video device '%s' (%s)\n", video_path, strerror(errno));
        return false;
    }
    void *mapped = mmap(nullptr, size_t(mbuf.size), PROT_READ | PROT_WRITE, MAP_SHARED, d.capture, 0);
    if (mapped == nullptr || mapped == MAP_FAILED) {
        fprintf(stderr, "Error: Can't map video buffer of video device '%s' (%s)\n", video_path, strerror(errno));
        return false;
    }
    d.buffer = mapped;
    d.buffer_size = size_t(mbuf.size);

    struct video_capability caps {};
    if (ioctl(d.capture, VIDIOCGCAP, &caps) != 0) {
        fprintf(stderr, "Error: Can't query caps of video device '%s' (%s)\n", video_path, strerror(errno));
        return false;
    }
    // Frame 0 must lie inside the mapping, or the measurement would read past it.
    long long needed = caps.maxwidth > 0 && caps.maxheight > 0 ? (long long)caps.maxwidth * caps.maxheight : 0;
    if ((long long)mbuf.size < needed) {
        fprintf(stderr,
                "Error: Can't use video buffer of video device '%s' (%d bytes mapped, a %dx%d frame needs %lld)\n",
                video_path, mbuf.size, caps.maxwidth, caps.maxheight, needed);
        return false;
    }

    d.request.frame = 0;
    d.request.height = caps.maxheight;
    d.request.width = caps.maxwidth;
    d.request.format = VIDEO_PALETTE_GREY;
    return true;
}

bool open_devices(Devices &d)
{
    if (open_dvb(d) && open_capture(d))
        return true;
    close_devices(d);
    return false;
}

bool read_frontend_lock(const Devices &d, bool *locked)
{
    // Read as a plain word: a driver may set bits the enum does not name.
    unsigned int status = 0;
    if (ioctl(d.frontend, FE_READ_STATUS, &status) < 0) {
        fprintf(stderr, "Error: Can't get status of device '%s' (%s)\n", d.frontend_path.c_str(), strerror(errno));
        return false;
    }
    *locked = (status & FE_HAS_LOCK) != 0;
    return true;
}

bool read_stream_format(const Devices &d, int *format)
{
    struct video_status status {};
    if (ioctl(d.decoder, VIDEO_GET_STATUS, &status) < 0) {
        fprintf(stderr, "Error: Can't get status of device '%s' (%s)\n", d.decoder_path.c_str(), strerror(errno));
        return false;
    }
    // Any value may come back, not only those the enum names.
    memcpy(format, &status.video_format, sizeof *format);
    return true;
}

bool grab_frame(Devices &d)
{
    if (d.v4l2)
        return v4l2_grab(d.capture, d.video_path, d.streaming);
    // Both requests are made even when the first one fails.
    int queued = ioctl(d.capture, VIDIOCMCAPTURE, &d.request);
    int synced = ioctl(d.capture, VIDIOCSYNC, &d.request.frame);
    if (queued != 0 || synced != 0) {
        fprintf(stderr, "Error: Can't grab on video device '%s' (%s)\n", d.video_path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

void sleep_rest_of_poll(double start, float poll_rate)
{
    // Less about what the sleep call itself costs.
    double s = double(poll_rate) - (now_seconds() - start) - 0.001;
    if (s > 0)
        sleep_seconds(s);
}
