// ac3-trim's trim on arbitrary input, through real descriptors: its input a
// pipe or a file, its output a pipe or a file, so that it takes each of its
// ways of copying (splice, copy_file_range, read and write). The calls move
// pieces of random sizes with EINTR in between, and the first in-kernel call
// may be refused as an old kernel would. Property: the output
// is the input from its first 0x0B 0x77 on (nothing without one), found by a
// plain byte-by-byte search, and no failure is reported.
#include <cerrno>
#include <cstring>
#include <algorithm>
#include <string>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "ac3_sync.h"
#include "harness.h"

static FuzzRandom chunks;
static bool refuse_first;
static int kernel_calls;

static bool interrupt_call()
{
    if (chunks.next() % 11 != 0)
        return false;
    errno = EINTR;
    return true;
}

static size_t shorten(size_t n)
{
    return std::min<size_t>(n, 1 + chunks.next() % 5000);
}

static ssize_t fuzz_read(int fd, void *to, size_t n)
{
    return interrupt_call() ? -1 : read(fd, to, shorten(n));
}

static ssize_t fuzz_write(int fd, const void *from, size_t n)
{
    return interrupt_call() ? -1 : write(fd, from, shorten(n));
}

static bool refuse_call()
{
    if (kernel_calls++ > 0 || !refuse_first)
        return false;
    errno = EINVAL;
    return true;
}

static ssize_t fuzz_splice(int in, loff_t *in_off, int out, loff_t *out_off, size_t n, unsigned flags)
{
    if (refuse_call() || interrupt_call())
        return -1;
    return splice(in, in_off, out, out_off, shorten(n), flags);
}

static ssize_t fuzz_copy_file_range(int in, loff_t *in_off, int out, loff_t *out_off, size_t n, unsigned flags)
{
    if (refuse_call() || interrupt_call())
        return -1;
    return copy_file_range(in, in_off, out, out_off, shorten(n), flags);
}

// Its buffer is too large for the stack.
static Ac3Trim trim;

static std::string reference_trim(const uint8_t *data, size_t size)
{
    for (size_t i = 0; i + 1 < size; i++)
        if (data[i] == 0x0B && data[i + 1] == 0x77)
            return std::string(reinterpret_cast<const char *>(data) + i, size - i);
    return "";
}

// A pipe that holds size bytes without a reader, or false.
static bool open_pipe(int fds[2], size_t size)
{
    if (pipe(fds) < 0)
        return false;
    if (size <= 65536 || fcntl(fds[1], F_SETPIPE_SZ, int(size)) >= 0)
        return true;
    close(fds[0]);
    close(fds[1]);
    return false;
}

static void write_fully(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        ssize_t put = write(fd, data, size);
        FUZZ_CHECK(put > 0);
        data += put;
        size -= size_t(put);
    }
}

static std::string read_fully(int fd)
{
    std::string got;
    char block[65536];
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0)
        got.append(block, size_t(n));
    FUZZ_CHECK(n == 0);
    return got;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1 << 20))
        return 0;
    // The first byte chooses the descriptors and seeds the piece sizes; the
    // program's stream is the rest.
    const uint8_t *input = data + 1;
    size_t input_size = size - 1;
    chunks.state = data[0];
    refuse_first = data[0] & 4;
    kernel_calls = 0;

    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (!((data[0] & 1) && open_pipe(in, input_size))) {
        in[0] = memfd_create("in", 0);
        in[1] = dup(in[0]);
    }
    FUZZ_CHECK(in[0] >= 0 && in[1] >= 0);
    write_fully(in[1], input, input_size);
    close(in[1]);
    lseek(in[0], 0, SEEK_SET);
    if (!((data[0] & 2) && open_pipe(out, input_size))) {
        out[1] = memfd_create("out", 0);
        out[0] = dup(out[1]);
    }
    FUZZ_CHECK(out[0] >= 0 && out[1] >= 0);

    trim.in = in[0];
    trim.out = out[1];
    trim.calls = {fuzz_read, fuzz_write, fuzz_splice, fuzz_copy_file_range};
    bool done = trim_to_sync(&trim);
    close(in[0]);
    close(out[1]);

    lseek(out[0], 0, SEEK_SET);
    std::string output = read_fully(out[0]);
    close(out[0]);
    FUZZ_CHECK(done && trim.failed == nullptr);
    FUZZ_CHECK(output == reference_trim(input, input_size));
    return 0;
}
