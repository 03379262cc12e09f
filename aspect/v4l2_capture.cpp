#include "v4l2_capture.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>

// In the order they are tried: each has its luma at known places.
static const uint32_t luma_formats[] = {V4L2_PIX_FMT_GREY,   V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_YUV420,
                                        V4L2_PIX_FMT_YVU420, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_NV21};

// Asked of TRY_FMT so that the driver answers its largest frame.
constexpr int very_large = 16384;
constexpr uint32_t wanted_buffers = 4, fewest_buffers = 2;
constexpr int grab_timeout_ms = 1000;

static int xioctl(int fd, unsigned long request, void *arg)
{
    int r;
    do
        r = ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

static std::string fourcc_text(uint32_t f)
{
    char text[5] = {char(f & 0xff), char((f >> 8) & 0xff), char((f >> 16) & 0xff), char((f >> 24) & 0x7f), 0};
    for (char &c : text)
        if (c && (c < ' ' || c > '~'))
            c = '?';
    return std::string(text).substr(0, strcspn(text, " "));
}

// Video capture with streaming, from device_caps where the driver fills it.
static bool check_caps(int fd, const char *path)
{
    struct v4l2_capability cap {};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) != 0) {
        fprintf(stderr, "Error: Can't query caps of video device '%s' (%s)\n", path, strerror(errno));
        return false;
    }
    uint32_t caps = cap.capabilities & V4L2_CAP_DEVICE_CAPS ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) {
        fprintf(stderr, "Error: Can't query caps of video device '%s' (no video capture with streaming)\n", path);
        return false;
    }
    return true;
}

// The first format of luma_formats the device offers; 0 after naming what it
// offers instead.
static uint32_t choose_format(int fd, const char *path)
{
    std::vector<uint32_t> offered;
    for (uint32_t i = 0; i < 256; i++) {
        struct v4l2_fmtdesc desc {};
        desc.index = i;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd, VIDIOC_ENUM_FMT, &desc) != 0)
            break;
        offered.push_back(desc.pixelformat);
    }
    for (uint32_t f : luma_formats)
        for (uint32_t o : offered)
            if (f == o)
                return f;
    std::string list;
    for (uint32_t o : offered)
        list += (list.empty() ? "" : ", ") + fourcc_text(o);
    fprintf(stderr,
            "Error: Can't use video device '%s': none of GREY, YUYV, UYVY, YU12, YV12, NV12, NV21 is offered (it "
            "offers %s)\n",
            path, list.empty() ? "none" : list.c_str());
    return 0;
}

// Bytes of a row's luma per pixel, and the bytes a frame's luma needs.
static bool luma_fits(const V4l2Capture &c)
{
    uint64_t step = c.pixelformat == V4L2_PIX_FMT_YUYV || c.pixelformat == V4L2_PIX_FMT_UYVY ? 2 : 1;
    return c.width > 0 && c.height > 0 && uint64_t(c.bytesperline) >= step * uint64_t(c.width)
           && uint64_t(c.sizeimage) >= uint64_t(c.bytesperline) * uint64_t(c.height);
}

// The largest frame the driver offers in the format, as it answers S_FMT.
static bool set_format(int fd, const char *path, V4l2Capture &c)
{
    struct v4l2_format fmt {};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = very_large;
    fmt.fmt.pix.height = very_large;
    fmt.fmt.pix.pixelformat = c.pixelformat;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (xioctl(fd, VIDIOC_TRY_FMT, &fmt) != 0 || xioctl(fd, VIDIOC_S_FMT, &fmt) != 0) {
        fprintf(stderr, "Error: Can't query caps of video device '%s' (%s)\n", path, strerror(errno));
        return false;
    }
    c.width = int(fmt.fmt.pix.width);
    c.height = int(fmt.fmt.pix.height);
    c.bytesperline = fmt.fmt.pix.bytesperline;
    c.sizeimage = fmt.fmt.pix.sizeimage;
    if (fmt.fmt.pix.pixelformat != c.pixelformat || c.width > 65535 || c.height > 65535 || !luma_fits(c)) {
        fprintf(stderr, "Error: Can't use video device '%s' (it answers %s %ux%u, %u bytes a row, %u a frame)\n", path,
                fourcc_text(fmt.fmt.pix.pixelformat).c_str(), fmt.fmt.pix.width, fmt.fmt.pix.height, c.bytesperline,
                c.sizeimage);
        return false;
    }
    return true;
}

// Four buffers asked, at least two taken; each mapped and queued.
static bool map_buffers(int fd, const char *path, V4l2Capture &c)
{
    struct v4l2_requestbuffers req {};
    req.count = wanted_buffers;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    errno = 0; // a successful call granting too few buffers leaves errno as it was
    if (xioctl(fd, VIDIOC_REQBUFS, &req) != 0 || req.count < fewest_buffers) {
        if (req.count < fewest_buffers && errno == 0)
            errno = ENOMEM;
        fprintf(stderr, "Error: Can't open video buffer on video device '%s' (%s)\n", path, strerror(errno));
        return false;
    }
    for (uint32_t i = 0; i < req.count; i++) {
        struct v4l2_buffer buf {};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (xioctl(fd, VIDIOC_QUERYBUF, &buf) != 0) {
            fprintf(stderr, "Error: Can't open video buffer on video device '%s' (%s)\n", path, strerror(errno));
            return false;
        }
        void *addr = buf.length < c.bytesperline * uint64_t(c.height)
                         ? MAP_FAILED
                         : mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buf.m.offset);
        if (addr == MAP_FAILED || addr == nullptr) {
            if (addr == MAP_FAILED && buf.length < c.bytesperline * uint64_t(c.height))
                errno = EINVAL;
            fprintf(stderr, "Error: Can't map video buffer of video device '%s' (%s)\n", path, strerror(errno));
            return false;
        }
        c.buffers.push_back({addr, buf.length});
        if (xioctl(fd, VIDIOC_QBUF, &buf) != 0) {
            fprintf(stderr, "Error: Can't open video buffer on video device '%s' (%s)\n", path, strerror(errno));
            return false;
        }
    }
    return true;
}

bool v4l2_open(int fd, const std::string &path, V4l2Capture &c)
{
    const char *p = path.c_str();
    if (!check_caps(fd, p) || !(c.pixelformat = choose_format(fd, p)) || !set_format(fd, p, c)
        || !map_buffers(fd, p, c))
        return false;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_STREAMON, &type) != 0) {
        fprintf(stderr, "Error: Can't grab on video device '%s' (%s)\n", p, strerror(errno));
        return false;
    }
    c.streaming = true;
    c.grey.assign(size_t(c.width) * size_t(c.height), 0);
    return true;
}

// Row by row, by bytesperline: rows may be padded.
static void copy_luma(V4l2Capture &c, const uint8_t *data)
{
    uint8_t *out = c.grey.data();
    for (int y = 0; y < c.height; y++, out += c.width) {
        const uint8_t *row = data + size_t(y) * c.bytesperline;
        if (c.pixelformat == V4L2_PIX_FMT_YUYV || c.pixelformat == V4L2_PIX_FMT_UYVY) {
            const uint8_t *luma = row + (c.pixelformat == V4L2_PIX_FMT_UYVY);
            // The width in a local: a byte store could change c.width, which
            // would be read again for every pixel and keep the loop scalar.
            const int width = c.width;
            for (int x = 0; x < width; x++)
                out[x] = luma[2 * x];
        } else {
            // GREY, and the planar formats whose luma plane comes first.
            memcpy(out, row, size_t(c.width));
        }
    }
}

static bool dequeue(int fd, struct v4l2_buffer *buf)
{
    *buf = {};
    buf->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf->memory = V4L2_MEMORY_MMAP;
    return xioctl(fd, VIDIOC_DQBUF, buf) == 0;
}

static double monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

static bool ready(int fd, int timeout_ms)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    int r;
    do
        r = poll(&pfd, 1, timeout_ms);
    while (r < 0 && errno == EINTR);
    if (r == 0)
        errno = ETIMEDOUT;
    return r > 0;
}

// Waits up to a second for a frame, then dequeues every one that is ready
// and keeps the newest sound one, queueing the others again: a poll must see
// the picture of its own time, not the oldest one the driver kept while the
// detector slept.
static bool dequeue_newest(int fd, const V4l2Capture &c, struct v4l2_buffer *newest)
{
    bool have = false;
    double deadline = monotonic_ms() + grab_timeout_ms;
    for (;;) {
        int wait = have ? 0 : int(std::max(0.0, deadline - monotonic_ms()));
        if (!ready(fd, wait))
            return have;
        struct v4l2_buffer buf;
        if (!dequeue(fd, &buf))
            return false;
        if (buf.index >= c.buffers.size()) {
            errno = EINVAL;
            return false;
        }
        bool sound = !(buf.flags & V4L2_BUF_FLAG_ERROR);
        struct v4l2_buffer *back = sound ? (have ? newest : nullptr) : &buf;
        if (back && xioctl(fd, VIDIOC_QBUF, back) != 0)
            return false;
        if (sound) {
            *newest = buf;
            have = true;
        }
    }
}

bool v4l2_grab(int fd, const std::string &path, V4l2Capture &c)
{
    struct v4l2_buffer buf;
    bool ok = dequeue_newest(fd, c, &buf);
    if (ok) {
        copy_luma(c, static_cast<const uint8_t *>(c.buffers[buf.index].addr));
        ok = xioctl(fd, VIDIOC_QBUF, &buf) == 0;
    }
    if (!ok)
        fprintf(stderr, "Error: Can't grab on video device '%s' (%s)\n", path.c_str(), strerror(errno));
    return ok;
}

void v4l2_close(int fd, V4l2Capture &c)
{
    if (c.streaming) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        xioctl(fd, VIDIOC_STREAMOFF, &type);
        c.streaming = false;
    }
    for (const V4l2Buffer &b : c.buffers)
        munmap(b.addr, b.length);
    c.buffers.clear();
}
