// aspect-detect's command line from arbitrary words (zero bytes separate
// them), run up to its devices, which are played in memory: a capture
// device of a size taken from the input and one 4:3 poll with a frame from
// the input, then a decoder error ends the loop (without a decoder, the
// second grab stops the run, as a kill would). Properties: the status is
// 0; -h prints the usage and opens nothing; otherwise every device opened
// is closed again and the buffer unmapped; at most one class line is printed.
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
static void *mapping;
static size_t mapping_size;
static bool unmapped;

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

int fuzz_ioctl(int, unsigned long request, void *arg)
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
    case VIDIOCMCAPTURE: {
        auto *req = static_cast<video_mmap *>(arg);
        FUZZ_CHECK(req->frame == 0 && req->width == frame_w && req->height == frame_h);
        // --no-decoder polls until it is killed: the second poll's grab is the kill
        if (grabs++ > 0)
            fuzz_exit(stopped_status);
        return 0;
    }
    case VIDIOCSYNC:
        memcpy(mapping, frame_bytes.data(), std::min(frame_bytes.size(), mapping_size));
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

void *fuzz_mmap(void *, size_t length, int, int, int, off_t)
{
    FUZZ_CHECK(length == size_t(frame_w) * frame_h);
    if (length == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    mapping = malloc(length);
    mapping_size = length;
    return mapping;
}

int fuzz_munmap(void *p, size_t length)
{
    FUZZ_CHECK(p == mapping && length == mapping_size);
    free(mapping);
    mapping = nullptr;
    unmapped = true;
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // first two bytes: the frame size; then the frame; then the words
    frame_w = data[0] % 64;
    frame_h = data[1] % 64;
    data += 2;
    size -= 2;
    size_t frame_size = std::min(size, size_t(frame_w) * frame_h);
    frame_bytes.assign(data, data + frame_size);
    frame_bytes.resize(size_t(frame_w) * frame_h);
    std::vector<std::string> words = split_words(data + frame_size, size - frame_size);
    words[0] = "aspect-detect";
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    open_count = close_count = polls = grabs = 0;
    mapping = nullptr;
    unmapped = false;
    optind = 0;
    char *printed = nullptr;
    size_t printed_size = 0;
    FILE *saved = stdout;
    stdout = open_memstream(&printed, &printed_size);

    slept = 0;
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
    std::string out(printed, printed_size);
    free(printed);

    if (status == stopped_status) {
        free(mapping);
        return 0;
    }
    FUZZ_CHECK(status == 0);
    bool help = out.rfind("Usage: aspect-detect [<Options>]\n", 0) == 0;
    if (help) {
        FUZZ_CHECK(open_count == 0);
    } else {
        FUZZ_CHECK(close_count == open_count);
        FUZZ_CHECK(mapping == nullptr);
        int lines = 0;
        for (char c : out)
            lines += c == '\n';
        FUZZ_CHECK(lines <= 1);
    }
    free(mapping);
    return 0;
}
