// aspect-detect's command line from arbitrary words (zero bytes separate
// them), run up to its devices, which are played in memory: a capture
// device of a size taken from the input and one 4:3 poll with a frame from
// the input, then a decoder error ends the loop (without a decoder, the
// second grab stops the run, as a kill would). Bit 6 of the first byte
// makes the capture device a V4L2 one, whose answers bits 6-7 of the second
// byte pick: GREY, YUYV with padded rows, NV12, or only a format the
// detector cannot read. Properties: the status is 0; -h prints the usage
// and opens nothing; otherwise every device opened is closed again and
// every buffer unmapped; at most one class line is printed; a V4L2 device
// in a format the detector reads prints what the same frame does through
// V4L1.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <linux/dvb/frontend.h>
#include <linux/dvb/video.h>
#include <linux/videodev.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sanitizer/lsan_interface.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "detector.h"
#include "harness.h"

static int open_count, close_count, polls, grabs, frame_w, frame_h;
static std::vector<uint8_t> frame_bytes;
static std::vector<std::pair<void *, size_t>> mappings;

// The V4L2 device: its one format, the row padding, and the buffers queued.
enum Quirk { grey, yuyv_padded, nv12, mjpeg_only };
static bool v4l2_box;
static Quirk quirk;
static std::vector<uint32_t> queued, done; // done: filled, not yet dequeued
constexpr uint32_t v4l2_buffers = 3, buffer_spacing = 1 << 20;
static void *buffer_at[v4l2_buffers];

int fuzz_open(const char *, int)
{
    return 900 + open_count++;
}

int fuzz_close(int fd)
{
    FUZZ_CHECK(fd >= 900 && fd < 900 + open_count);
    close_count++;
    return 0;
}

// A run stopped from outside, as a kill would stop the program.
enum { stopped_status = -2 };

// --no-decoder polls until it is killed: the second poll's grab is the kill.
static void count_grab()
{
    if (grabs++ > 0)
        fuzz_exit(stopped_status);
}

static void *mapped(size_t length)
{
    void *p = malloc(length);
    mappings.emplace_back(p, length);
    return p;
}

static int v4l1_ioctl(unsigned long request, void *arg)
{
    switch (request) {
    case VIDIOCGMBUF: {
        auto *mbuf = static_cast<video_mbuf *>(arg);
        mbuf->size = frame_w * frame_h;
        mbuf->frames = 1;
        return 0;
    }
    case VIDIOCGCAP: {
        auto *caps = static_cast<video_capability *>(arg);
        caps->maxwidth = frame_w;
        caps->maxheight = frame_h;
        return 0;
    }
    case VIDIOCMCAPTURE: {
        auto *req = static_cast<video_mmap *>(arg);
        FUZZ_CHECK(req->frame == 0 && req->width == frame_w && req->height == frame_h);
        count_grab();
        return 0;
    }
    case VIDIOCSYNC:
        memcpy(mappings.at(0).first, frame_bytes.data(), std::min(frame_bytes.size(), mappings[0].second));
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

// The size and layout the driver streams, whatever was asked.
static void answer_format(v4l2_pix_format &pix)
{
    static const uint32_t formats[] = {V4L2_PIX_FMT_GREY, V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_MJPEG};
    pix.pixelformat = formats[quirk];
    pix.width = frame_w;
    pix.height = frame_h;
    pix.bytesperline = quirk == yuyv_padded ? 2 * frame_w + 6 : frame_w;
    pix.sizeimage = pix.bytesperline * frame_h * (quirk == nv12 ? 3 : 2) / 2;
}

// A finished frame: the input's luma at the places of the device's format.
static void fill(uint32_t index)
{
    v4l2_pix_format pix;
    answer_format(pix);
    auto *data = static_cast<uint8_t *>(buffer_at[index]);
    FUZZ_CHECK(data);
    int step = quirk == yuyv_padded ? 2 : 1;
    for (int y = 0; y < frame_h; y++)
        for (int x = 0; x < frame_w; x++)
            data[y * pix.bytesperline + step * x] = frame_bytes[y * frame_w + x];
}

static int v4l2_ioctl(unsigned long request, void *arg)
{
    switch (request) {
    case VIDIOC_QUERYCAP:
        static_cast<v4l2_capability *>(arg)->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        return 0;
    case VIDIOC_ENUM_FMT: {
        auto *desc = static_cast<v4l2_fmtdesc *>(arg);
        if (desc->index > 0)
            break;
        v4l2_pix_format pix;
        answer_format(pix);
        desc->pixelformat = pix.pixelformat;
        return 0;
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT:
        answer_format(static_cast<v4l2_format *>(arg)->fmt.pix);
        return 0;
    case VIDIOC_REQBUFS: {
        auto *req = static_cast<v4l2_requestbuffers *>(arg);
        req->count = req->count ? v4l2_buffers : 0;
        return 0;
    }
    case VIDIOC_QUERYBUF: {
        auto *buf = static_cast<v4l2_buffer *>(arg);
        if (buf->index >= v4l2_buffers)
            break;
        v4l2_pix_format pix;
        answer_format(pix);
        buf->length = pix.sizeimage;
        buf->m.offset = buf->index * buffer_spacing;
        return 0;
    }
    case VIDIOC_QBUF: {
        uint32_t index = static_cast<v4l2_buffer *>(arg)->index;
        if (index >= v4l2_buffers || std::ranges::count(queued, index) || std::ranges::count(done, index))
            break;
        queued.push_back(index);
        return 0;
    }
    case VIDIOC_DQBUF: {
        if (done.empty()) {
            errno = EAGAIN;
            return -1;
        }
        auto *buf = static_cast<v4l2_buffer *>(arg);
        buf->index = done.front();
        done.erase(done.begin());
        return 0;
    }
    case VIDIOC_STREAMON:
        return 0;
    case VIDIOC_STREAMOFF:
        queued.clear();
        done.clear();
        return 0;
    }
    errno = EINVAL;
    return -1;
}

int fuzz_ioctl(int, unsigned long request, void *arg)
{
    switch (request) {
    case FE_READ_STATUS:
        *static_cast<unsigned *>(arg) = FE_HAS_LOCK;
        return 0;
    case VIDEO_GET_STATUS:
        if (polls++ > 0) {
            errno = EIO;
            return -1;
        }
        memset(arg, 0, sizeof(video_status));
        return 0;
    }
    if (!v4l2_box)
        return v4l1_ioctl(request, arg);
    if (_IOC_TYPE(request) == 'V')
        return v4l2_ioctl(request, arg);
    errno = ENOTTY;
    return -1;
}

// A grab's first wait finishes one queued buffer; later waits find nothing new.
int fuzz_poll(struct pollfd *pfd, nfds_t, int timeout)
{
    if (timeout > 0) {
        count_grab();
        if (!queued.empty()) {
            fill(queued.front());
            done.push_back(queued.front());
            queued.erase(queued.begin());
        }
    }
    pfd->revents = done.empty() ? 0 : POLLIN;
    return done.empty() ? 0 : 1;
}

void *fuzz_mmap(void *, size_t length, int, int, int, off_t offset)
{
    if (v4l2_box) {
        v4l2_pix_format pix;
        answer_format(pix);
        uint64_t index = uint64_t(offset) / buffer_spacing;
        FUZZ_CHECK(offset % buffer_spacing == 0 && index < v4l2_buffers && length == pix.sizeimage);
        return buffer_at[index] = mapped(length);
    }
    FUZZ_CHECK(length == size_t(frame_w) * frame_h && offset == 0);
    if (length == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return mapped(length);
}

int fuzz_munmap(void *p, size_t length)
{
    auto m = std::ranges::find(mappings, std::pair(p, length));
    FUZZ_CHECK(m != mappings.end());
    free(p);
    mappings.erase(m);
    return 0;
}

// A poll period of hours (or infinity) is slept as asked: the run stops
// there, as the program would sleep until it is killed.
static double slept;

int fuzz_usleep(useconds_t micros)
{
    slept += micros * 1e-6;
    if (slept > 3600)
        fuzz_exit(stopped_status);
    return 0;
}

// A machine that claims 64 MiB of memory: a huge delay is then refused at
// once instead of filling the fuzzing machine's memory with its history.
int fuzz_sysinfo(struct sysinfo *info)
{
    *info = {};
    info->totalram = 64u << 20;
    info->mem_unit = 1;
    return 0;
}

// What aspect-detect's main does.
static int detect(int argc, char *argv[])
{
    DetectorSettings settings;
    if (!read_detector_options(argc, argv, settings))
        return 0;
    return run_detector(settings, argv[0]);
}

struct Run {
    int status;
    std::string out;
};

// One run on the words (a copy: getopt permutes them), on a fresh box; the
// properties every run has.
static Run run_once(std::vector<std::string> words)
{
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    open_count = close_count = polls = grabs = 0;
    queued.clear();
    done.clear();
    std::ranges::fill(buffer_at, nullptr);
    optind = 0;
    slept = 0;
    char *printed = nullptr;
    size_t printed_size = 0;
    FILE *saved = stdout;
    stdout = open_memstream(&printed, &printed_size);

    int status = stopped_status;
    // a run stopped in its sleep or grab leaves its strings behind
    __lsan_disable();
    if (setjmp(fuzz_exit_jump) == 0)
        status = detect(int(words.size()), argv.data());
    else
        status = fuzz_exit_status;
    __lsan_enable();
    fclose(stdout);
    stdout = saved;
    Run run{status, std::string(printed, printed_size)};
    free(printed);

    if (status != stopped_status) {
        FUZZ_CHECK(status == 0);
        if (run.out.rfind("Usage: aspect-detect [<Options>]\n", 0) == 0) {
            FUZZ_CHECK(open_count == 0);
        } else {
            FUZZ_CHECK(close_count == open_count);
            FUZZ_CHECK(mappings.empty());
            FUZZ_CHECK(std::ranges::count(run.out, '\n') <= 1);
        }
    }
    for (auto &[p, length] : mappings)
        free(p);
    mappings.clear();
    return run;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // first two bytes: the frame size and the device; then the frame; then the words
    frame_w = data[0] % 64;
    frame_h = data[1] % 64;
    v4l2_box = data[0] & 0x40;
    quirk = Quirk(data[1] >> 6);
    data += 2;
    size -= 2;
    size_t frame_size = std::min(size, size_t(frame_w) * frame_h);
    frame_bytes.assign(data, data + frame_size);
    frame_bytes.resize(size_t(frame_w) * frame_h);
    std::vector<std::string> words = split_words(data + frame_size, size - frame_size);
    words[0] = "aspect-detect";

    Run run = run_once(words);
    // A format the detector reads prints what the same frame does through V4L1.
    if (v4l2_box && quirk != mjpeg_only) {
        v4l2_box = false;
        Run v4l1 = run_once(words);
        FUZZ_CHECK(run.status == v4l1.status && run.out == v4l1.out);
    }
    return 0;
}
