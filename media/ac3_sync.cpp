// The search for the first AC-3 sync word and the copy from there on.
#include "ac3_sync.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

// Pipe capacity asked for before splicing; 1 MiB is what an unprivileged
// process may set by default, and splicing from a pipe of the default size
// only kept pace with cat (bench/RESULTS.md, row "ac3-trim: pipe size").
enum { pipe_size = 1024 * 1024 };
// Bytes asked of one splice or copy_file_range call; the kernel moves less.
enum { kernel_chunk = 1 << 30 };

static bool fail(Ac3Trim *t, const char *stream)
{
    t->failed = stream;
    t->error = errno;
    return false;
}

static bool read_block(Ac3Trim *t, unsigned char *to, size_t size, size_t *got)
{
    for (;;) {
        ssize_t n = t->calls.read(t->in, to, size);
        if (n >= 0) {
            *got = static_cast<size_t>(n);
            return true;
        }
        if (errno != EINTR)
            return fail(t, "standard input");
    }
}

static bool write_all(Ac3Trim *t, const unsigned char *from, size_t size)
{
    while (size > 0) {
        ssize_t put = t->calls.write(t->out, from, size);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return fail(t, "standard output");
        }
        from += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

// Reads until the sync word is complete; returns the index in buffer of its
// 0x0B and sets *end past the bytes read, or returns -1 at end of input or
// after a failure.
static long find_sync(Ac3Trim *t, size_t *end)
{
    unsigned char *data = t->buffer + 1;
    bool last_was_0b = false;
    for (;;) {
        size_t got;
        if (!read_block(t, data, ac3_block_size, &got) || got == 0)
            return -1;
        *end = 1 + got;
        if (last_was_0b && data[0] == 0x77) {
            t->buffer[0] = 0x0B;
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
                return p - t->buffer;
            p++;
        }
        last_was_0b = data[got - 1] == 0x0B;
    }
}

static bool copy_by_read_write(Ac3Trim *t)
{
    for (;;) {
        size_t got;
        if (!read_block(t, t->buffer, sizeof t->buffer, &got))
            return false;
        if (got == 0)
            return true;
        if (!write_all(t, t->buffer, got))
            return false;
    }
}

// A larger pipe means fewer wake-ups of the process on its other end; where
// the system does not allow it, the pipe stays as it is.
static void widen_pipe(int fd)
{
    int now = fcntl(fd, F_GETPIPE_SZ);
    if (now >= 0 && now < pipe_size)
        fcntl(fd, F_SETPIPE_SZ, pipe_size);
}

// The kernel's answers for a pair of files it will not copy between: an old
// kernel, a terminal, an output opened for appending, another file system.
static bool is_refusal(int error)
{
    return error == EINVAL || error == ENOSYS || error == EBADF || error == EXDEV || error == EOPNOTSUPP
           || error == EPERM || error == ETXTBSY;
}

// splice and copy_file_range do not say which side failed. Reading a pipe
// fails in no other way than the ones excluded before the copy starts.
static const char *name_failed_side(int error, bool pipe_in)
{
    if (error == EPIPE || error == ENOSPC || error == EFBIG || error == EDQUOT || pipe_in)
        return "standard output";
    return "standard input";
}

enum KernelCopy { kernel_copied, kernel_refused, kernel_failed };

// Moves the rest of the input without passing it through user space: splice
// when either side is a pipe, copy_file_range from file to file. Refused,
// having moved nothing, where the kernel will not do it.
// From file to file on this machine's ext4, 1 GiB, medians of seven
// interleaved runs under load: copy_file_range 1.22 s, sendfile 1.20 s, cat
// (itself a copy_file_range) 1.29 s, a 128 KiB read/write loop 2.29 s.
static KernelCopy copy_in_kernel(Ac3Trim *t)
{
    struct stat in, out;
    if (fstat(t->in, &in) < 0 || fstat(t->out, &out) < 0)
        return kernel_refused;
    // A non-blocking end would make the kernel give up where read and write
    // report their own "try again", naming the right stream.
    int in_flags = fcntl(t->in, F_GETFL), out_flags = fcntl(t->out, F_GETFL);
    if (in_flags < 0 || out_flags < 0 || ((in_flags | out_flags) & O_NONBLOCK))
        return kernel_refused;
    bool pipe_in = S_ISFIFO(in.st_mode), pipe_out = S_ISFIFO(out.st_mode);
    bool use_splice = pipe_in || pipe_out;
    if (!use_splice && !(S_ISREG(in.st_mode) && S_ISREG(out.st_mode)))
        return kernel_refused;
    if (pipe_in)
        widen_pipe(t->in);
    if (pipe_out)
        widen_pipe(t->out);
    bool moved = false;
    for (;;) {
        ssize_t n = use_splice ? t->calls.splice(t->in, nullptr, t->out, nullptr, kernel_chunk, SPLICE_F_MOVE)
                               : t->calls.copy_file_range(t->in, nullptr, t->out, nullptr, kernel_chunk, 0);
        if (n > 0) {
            moved = true;
            continue;
        }
        // Some kernels copy nothing from files that report no size (those
        // of /proc): a first call that moves nothing is left to read() to confirm.
        if (n == 0)
            return moved ? kernel_copied : kernel_refused;
        if (errno == EINTR)
            continue;
        if (!moved && is_refusal(errno))
            return kernel_refused;
        fail(t, name_failed_side(errno, pipe_in));
        return kernel_failed;
    }
}

bool trim_to_sync(Ac3Trim *t)
{
    t->failed = nullptr;
    t->error = 0;
    size_t end = 0;
    long start = find_sync(t, &end);
    if (start < 0)
        return t->failed == nullptr;
    if (!write_all(t, t->buffer + start, end - static_cast<size_t>(start)))
        return false;
    switch (copy_in_kernel(t)) {
    case kernel_copied:
        return true;
    case kernel_refused:
        return copy_by_read_write(t);
    case kernel_failed:
        break;
    }
    return false;
}
