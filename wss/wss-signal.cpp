// wss-signal: read command words on standard input and send the matching
// Wide Screen Signalling code into line 23 of the analogue output through the
// V4L2 sliced-VBI output device.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "wss_words.h"

static const char *progname;
static const char *devpath = "/dev/vbi0";
static int device = -1;

static void open_device()
{
    device = open(devpath, O_WRONLY);
    if (device < 0) {
        fprintf(stderr, "Error: Can't open device '%s' (%s)\n", devpath, strerror(errno));
        exit(1);
    }
    struct v4l2_format fmt;
    memset(&fmt, 0, sizeof fmt);
    fmt.type = V4L2_BUF_TYPE_SLICED_VBI_OUTPUT;
    fmt.fmt.sliced.service_set = V4L2_SLICED_WSS_625;
    if (ioctl(device, VIDIOC_S_FMT, &fmt) < 0) {
        int err = errno;
        close(device);
        device = -1;
        fprintf(stderr, "Error: Can't init device '%s' (%s)\n", devpath, strerror(err));
        exit(2);
    }
}

static void close_device()
{
    if (device >= 0) {
        close(device);
        device = -1;
    }
}

static void send_code(uint32_t code)
{
    if (device < 0)
        open_device();

    if (const WssCode *row = find_code(code))
        printf("> WSS 0x%x = %s\n", unsigned(code), row->word);
    else
        printf("> WSS 0x%x\n", unsigned(code));
    fflush(stdout);

    struct v4l2_sliced_vbi_data rec = wss_record(code);
    errno = 0;
    ssize_t n = write(device, &rec, sizeof rec);
    if (n != ssize_t(sizeof rec)) {
        // a short write leaves errno untouched; name it as an I/O error
        if (n >= 0)
            errno = EIO;
        int err = errno;
        fprintf(stderr, "Error: Can't write to device '%s' (%s)\n", devpath, strerror(err));
        close_device();
        exit(4);
    }
}

static void handle_word(const char *word)
{
    uint32_t code;
    switch (parse_word(word, &code)) {
    case wss_exit:
        printf("> exit\n");
        close_device();
        exit(0);
    case wss_free:
        if (device >= 0) {
            printf("> free device\n");
            close_device();
        }
        return;
    case wss_send:
        send_code(code);
        return;
    case wss_unknown:
        fprintf(stderr, "Error: Unkown input '%s'; ignored\n", word);
        return;
    }
}

static void usage()
{
    fprintf(stderr, "Usage: %s [<dev>]\n  Default for <dev> is /dev/vbi0", progname);
    exit(99);
}

int main(int argc, char *argv[])
{
    progname = argv[0] ? argv[0] : "wss-signal";
    if (argc > 2)
        usage();
    if (argc == 2)
        devpath = argv[1];

    // prove the device works, then release it until the first code
    open_device();
    close_device();

    char word[wss_word_max + 1];
    int read_errno = 0;
    for (;;) {
        if (ferror(stdin)) {
            fprintf(stderr, "Error: Can't read input (%s)\n", strerror(read_errno));
            close_device();
            exit(1);
        }
        errno = 0;
        int got = read_word(stdin, word);
        // keep the cause of a read error for the report one pause later
        if (ferror(stdin) && read_errno == 0)
            read_errno = errno ? errno : EIO;
        if (got == EOF) {
            // forget end of file, so that words written later (a new writer
            // of a named pipe, a growing file) are still read
            if (!ferror(stdin))
                clearerr(stdin);
            usleep(100000);
            continue;
        }
        if (got == 0) {
            fprintf(stderr, "Error: Unkown input '%s...'; ignored\n", word);
            continue;
        }
        handle_word(word);
    }
}
