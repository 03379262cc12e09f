// still-show: show one MPEG I-frame file on the DVB decoder for some seconds,
// then let the decoder play its video stream again.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/dvb/video.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *progname;
static const char *videodev = "/dev/dvb/adapter0/video0";

// The display time as given: strtol base 0, so 10, 0x10 and 010 all work and
// a word without digits is 0. A negative time would become a practically
// endless pause in sleep's unsigned count, so it is refused; one beyond
// sleep's range is held at its largest value.
static bool parse_seconds(const char *arg, unsigned *secs)
{
    long value = strtol(arg, nullptr, 0);
    if (value < 0)
        return false;
    *secs = static_cast<unsigned long long>(value) > UINT_MAX ? UINT_MAX : static_cast<unsigned>(value);
    return true;
}

// Reads until size bytes are in, retrying short reads; returns the count
// read, which is short only at an early end of file or on an error (errno set).
static ssize_t read_whole(int fd, char *buf, size_t size, bool *failed)
{
    size_t total = 0;
    *failed = false;
    while (total < size) {
        ssize_t got = read(fd, buf + total, size - total);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            *failed = true;
            break;
        }
        if (got == 0)
            break;
        total += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(total);
}

static void show_still(int video, char *frame, int32_t size, unsigned secs)
{
    struct video_still_picture still = {};
    still.iFrame = frame;
    still.size = size;
    if (ioctl(video, VIDEO_STILLPICTURE, &still) < 0)
        perror("VIDEO STILLPICTURE: ");

    // The lines so far must not wait in a pipe's buffer for the whole pause.
    fflush(stdout);
    while (secs > 0)
        secs = sleep(secs);

    if (ioctl(video, VIDEO_PLAY) < 0)
        perror("VIDEO PLAY: ");
}

// Reads the picture and hands it to the decoder; false when the picture
// could not be read whole, in which case nothing reaches the decoder.
static bool show_file(int file, int video, const char *filename, unsigned secs)
{
    struct stat sb;
    if (fstat(file, &sb) < 0) {
        fprintf(stderr, "%s: %s: %s\n", progname, filename, strerror(errno));
        return false;
    }
    // The request carries the size as a signed 32-bit count.
    if (sb.st_size > INT32_MAX) {
        fprintf(stderr, "%s: %s: %lld bytes is too large for a still picture (at most %d)\n", progname, filename,
                static_cast<long long>(sb.st_size), INT32_MAX);
        return false;
    }
    int32_t size = static_cast<int32_t>(sb.st_size);

    // One spare byte so that an empty file still gets a buffer of its own.
    char *frame = static_cast<char *>(malloc(static_cast<size_t>(size) + 1));
    printf("I-frame size: %d\n", size);
    if (frame == nullptr) {
        printf("No memory for I-Frame\n");
        return true;
    }

    bool failed;
    ssize_t got = read_whole(file, frame, static_cast<size_t>(size), &failed);
    int saved = errno;
    printf("read: %d bytes\n", static_cast<int>(got));
    if (failed) {
        fprintf(stderr, "%s: %s: %s\n", progname, filename, strerror(saved));
        free(frame);
        return false;
    }
    if (got < size) {
        fprintf(stderr, "%s: %s: file ended after %d of %d bytes\n", progname, filename, static_cast<int>(got), size);
        free(frame);
        return false;
    }

    show_still(video, frame, size, secs);
    free(frame);
    return true;
}

static void usage()
{
    fprintf(stderr, "usage: %s <filename> [secs]\n", progname);
    exit(255);
}

int main(int argc, char *argv[])
{
    progname = argv[0];
    if (argc < 2)
        usage();

    unsigned secs = 3;
    if (argc == 3 && !parse_seconds(argv[2], &secs)) {
        fprintf(stderr, "%s: negative display time '%s'\n", progname, argv[2]);
        return 255;
    }

    int file = open(argv[1], O_RDONLY | O_LARGEFILE);
    if (file < 0) {
        perror("File open:");
        return 255;
    }
    int video = open(videodev, O_RDWR | O_NONBLOCK);
    if (video < 0) {
        perror("VIDEO DEVICE: ");
        return 255;
    }

    bool ok = show_file(file, video, argv[1], secs);

    close(video);
    close(file);
    return ok ? 0 : 255;
}
