// wss-signal: read command words on standard input and send the matching
// Wide Screen Signalling code into line 23 of the analogue output through the
// V4L2 sliced-VBI output device.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Longest word kept; a longer one is reported and skipped as a whole.
enum { word_max = 96 };

struct WssCode {
    const char *word;
    uint32_t code;
};

// Aspect-ratio group of EN 300 294 (b3 is the odd-parity bit); searched in order.
static const WssCode codes[] = {
    {"16:9", 0x7}, {"4:3", 0x8}, {"L14:9", 0x1}, {"L16:9", 0xb}, {"L>16:9", 0xd},
};

static const char *progname;
static const char *devpath = "/dev/vbi0";
static int device = -1;

static_assert(sizeof(struct v4l2_sliced_vbi_data) == 64, "one sliced-VBI record is 64 bytes");

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

// Reads the next white-space separated word into word (at most word_max
// characters).  Returns 1 for a word, 0 for an over-long word (its first
// word_max characters are in word, the rest has been consumed), EOF when no
// word could be read.
static int read_word(char *word)
{
    char format[16];
    snprintf(format, sizeof format, "%%%ds", int(word_max));
    if (scanf(format, word) != 1)
        return EOF;
    int c = getchar();
    if (c == EOF)
        return 1;
    if (isspace(c)) {
        ungetc(c, stdin);
        return 1;
    }
    while (c != EOF && !isspace(c))
        c = getchar();
    if (c != EOF)
        ungetc(c, stdin);
    return 0;
}

static const WssCode *find_word(const char *word)
{
    for (const WssCode &row : codes)
        if (strcmp(word, row.word) == 0)
            return &row;
    return nullptr;
}

static const WssCode *find_code(uint32_t code)
{
    for (const WssCode &row : codes)
        if (row.code == code)
            return &row;
    return nullptr;
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

    struct v4l2_sliced_vbi_data rec;
    memset(&rec, 0, sizeof rec);
    // id 0 tells the device to stop inserting on this field and line
    rec.id = code ? V4L2_SLICED_WSS_625 : 0;
    rec.field = 0;
    rec.line = 23;
    // WSS sends a 14-bit word on line 23: its low 8 bits go in the first
    // byte, the upper 6 in the second; bits above 13 have no place on the line.
    rec.data[0] = code & 0xff;
    rec.data[1] = (code >> 8) & 0x3f;

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
    if (strcmp(word, "exit") == 0) {
        printf("> exit\n");
        close_device();
        exit(0);
    }
    if (strcmp(word, "free") == 0) {
        if (device >= 0) {
            printf("> free device\n");
            close_device();
        }
        return;
    }
    if (const WssCode *row = find_word(word)) {
        send_code(row->code);
        return;
    }
    // sign, 0x prefix and trailing characters as the C library reads them;
    // too many digits keep the low 32 bits
    unsigned int code;
    if (sscanf(word, "%x", &code) == 1) {
        send_code(code);
        return;
    }
    fprintf(stderr, "Error: Unkown input '%s'; ignored\n", word);
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

    char word[word_max + 1];
    int read_errno = 0;
    for (;;) {
        if (ferror(stdin)) {
            fprintf(stderr, "Error: Can't read input (%s)\n", strerror(read_errno));
            close_device();
            exit(1);
        }
        errno = 0;
        int got = read_word(word);
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
