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
static_assert(VIDEO_FORMAT_16_9 == 1 && VIDEO_FORMAT_221_1 == 2, "wide stream formats");
static_assert(sizeof(video_format_t) == sizeof(int) && sizeof(fe_status_t) == sizeof(unsigned int),
              "status words read as plain integers");

int decoder = -1;
int frontend = -1;
int capture = -1;
void *buffer = MAP_FAILED;
size_t buffer_size;

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

void close_devices()
{
    if (buffer != MAP_FAILED)
        munmap(buffer, buffer_size);
    if (capture >= 0)
        close(capture);
    if (frontend >= 0)
        close(frontend);
    if (decoder >= 0)
        close(decoder);
}

bool open_devices(const std::string &decoder_path, const std::string &frontend_path, const std::string &video_device,
                  struct video_mmap *request)
{
    const char *video_path = video_device.c_str();

    decoder = open(decoder_path.c_str(), O_RDONLY | O_NONBLOCK);
    if (decoder < 0) {
        fprintf(stderr, "Error: Can't open dvb video device '%s' (%s)\n", decoder_path.c_str(), strerror(errno));
        return false;
    }
    if (!frontend_path.empty()) {
        frontend = open(frontend_path.c_str(), O_RDONLY | O_NONBLOCK);
        if (frontend < 0) {
            fprintf(stderr, "Error: Can't open dvb frontend device '%s' (%s)\n", frontend_path.c_str(),
                    strerror(errno));
            close_devices();
            return false;
        }
    }
    capture = open(video_path, O_RDWR);
    if (capture < 0) {
        fprintf(stderr, "Error: Can't open video device '%s' (%s)\n", video_path, strerror(errno));
        close_devices();
        return false;
    }

    struct video_mbuf mbuf {};
    if (ioctl(capture, VIDIOCGMBUF, &mbuf) != 0) {
        fprintf(stderr, "Error: Can't open video buffer on video device '%s' (%s)\n", video_path, strerror(errno));
        close_devices();
        return false;
    }
    void *mapped = mmap(nullptr, size_t(mbuf.size), PROT_READ | PROT_WRITE, MAP_SHARED, capture, 0);
    if (mapped == nullptr || mapped == MAP_FAILED) {
        fprintf(stderr, "Error: Can't map video buffer of video device '%s' (%s)\n", video_path, strerror(errno));
        close_devices();
        return false;
    }
    buffer = mapped;
    buffer_size = size_t(mbuf.size);

    struct video_capability caps {};
    if (ioctl(capture, VIDIOCGCAP, &caps) != 0) {
        fprintf(stderr, "Error: Can't query caps of video device '%s' (%s)\n", video_path, strerror(errno));
        close_devices();
        return false;
    }
    // Frame 0 must lie inside the mapping, or the measurement would read past it.
    long long needed = caps.maxwidth > 0 && caps.maxheight > 0 ? (long long)caps.maxwidth * caps.maxheight : 0;
    if ((long long)mbuf.size < needed) {
        fprintf(stderr,
                "Error: Can't use video buffer of video device '%s' (%d bytes mapped, a %dx%d frame needs %lld)\n",
                video_path, mbuf.size, caps.maxwidth, caps.maxheight, needed);
        close_devices();
        return false;
    }

    request->frame = 0;
    request->height = caps.maxheight;
    request->width = caps.maxwidth;
    request->format = VIDEO_PALETTE_GREY;
    return true;
}

bool read_frontend_lock(const std::string &frontend_path, bool *locked)
{
    // Read as a plain word: a driver may set bits the enum does not name.
    unsigned int status = 0;
    if (ioctl(frontend, FE_READ_STATUS, &status) < 0) {
        fprintf(stderr, "Error: Can't get status of device '%s' (%s)\n", frontend_path.c_str(), strerror(errno));
        return false;
    }
    *locked = (status & FE_HAS_LOCK) != 0;
    return true;
}

bool read_stream_format(const std::string &decoder_path, int *format)
{
    struct video_status status {};
    if (ioctl(decoder, VIDEO_GET_STATUS, &status) < 0) {
        fprintf(stderr, "Error: Can't get status of device '%s' (%s)\n", decoder_path.c_str(), strerror(errno));
        return false;
    }
    // Any value may come back, not only those the enum names.
    memcpy(format, &status.video_format, sizeof *format);
    return true;
}

bool is_wide_format(int format)
{
    return format == VIDEO_FORMAT_16_9 || format == VIDEO_FORMAT_221_1;
}

bool grab_frame(const std::string &video_path, struct video_mmap *request)
{
    // Both requests are made even when the first one fails.
    int queued = ioctl(capture, VIDIOCMCAPTURE, request);
    int synced = ioctl(capture, VIDIOCSYNC, &request->frame);
    if (queued != 0 || synced != 0) {
        fprintf(stderr, "Error: Can't grab on video device '%s' (%s)\n", video_path.c_str(), strerror(errno));
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
