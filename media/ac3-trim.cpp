// ac3-trim: drop whatever precedes the first AC-3 sync word (0x0B 0x77) on
// standard input and copy the rest, from the sync word on, to standard output.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

enum { block_size = 256 * 1024 };

static const char *progname;
// One spare byte in front, so that a sync word split over two reads can be
// written in one piece: its 0x0B goes there.
static unsigned char buffer[1 + block_size];

static void fail(const char *stream)
{
    fprintf(stderr, "%s: %s: %s\n", progname, stream, strerror(errno));
    exit(1);
}

static size_t read_block(unsigned char *to, size_t size)
{
    for (;;) {
        ssize_t got = read(0, to, size);
        if (got >= 0)
            return static_cast<size_t>(got);
        if (errno != EINTR)
            fail("standard input");
    }
}

static void write_all(const unsigned char *from, size_t size)
{
    while (size > 0) {
        ssize_t put = write(1, from, size);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            fail("standard output");
        }
        from += put;
        size -= static_cast<size_t>(put);
    }
}

// Reads until the sync word is complete; returns the index in buffer of its
// 0x0B and sets *end past the bytes read, or returns -1 at end of input.
static long find_sync(size_t *end)
{
    unsigned char *data = buffer + 1;
    bool last_was_0b = false;
    for (;;) {
        size_t got = read_block(data, block_size);
        if (got == 0)
            return -1;
        *end = 1 + got;
        if (last_was_0b && data[0] == 0x77) {
            buffer[0] = 0x0B;
            return 0;
        }
        // A 0x0B followed by anything else is no match, and the byte after
        // it is examined afresh (so 0x0B 0x0B 0x77 matches at its second byte).
        const unsigned char *p = data;
        const unsigned char *stop = data + got;
        while ((p = static_cast<const unsigned char *>(memchr(p, 0x0B, stop - p)))) {
            if (p + 1 == stop)
                break;
            if (p[1] == 0x77)
                return p - buffer;
            p++;
        }
        last_was_0b = data[got - 1] == 0x0B;
    }
}

static void copy_rest()
{
    for (;;) {
        size_t got = read_block(buffer, sizeof buffer);
        if (got == 0)
            return;
        write_all(buffer, got);
    }
}

int main(int argc, char *argv[])
{
    progname = argc > 0 ? argv[0] : "ac3-trim";
    // A reader that has gone away is reported as a write error, not a silent death.
    signal(SIGPIPE, SIG_IGN);

    size_t end = 0;
    long start = find_sync(&end);
    if (start < 0)
        return 0;
    write_all(buffer + start, end - static_cast<size_t>(start));
    copy_rest();
    return 0;
}
