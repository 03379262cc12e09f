// ac3-trim on arbitrary input, read in pieces of random sizes with EINTR
// and short writes in between. Property: the output is the input from its
// first 0x0B 0x77 on (nothing without one), found by a plain byte-by-byte
// search, and the status is 0.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <unistd.h>

#include "harness.h"

static const uint8_t *input;
static size_t input_size, input_pos;
static FuzzRandom chunks;
static std::string output;

static ssize_t fuzz_read(int, void *to, size_t n)
{
    uint32_t r = chunks.next();
    if (r % 11 == 0) {
        errno = EINTR;
        return -1;
    }
    n = std::min<size_t>({n, size_t(1 + r % 5000), input_size - input_pos});
    memcpy(to, input + input_pos, n);
    input_pos += n;
    return ssize_t(n);
}

static ssize_t fuzz_write(int, const void *from, size_t n)
{
    uint32_t r = chunks.next();
    if (r % 13 == 0) {
        errno = EINTR;
        return -1;
    }
    n = 1 + r % n;
    output.append(static_cast<const char *>(from), n);
    return ssize_t(n);
}

#define read fuzz_read
#define write fuzz_write
#define exit fuzz_exit
#define main ac3_trim_main
#include "../media/ac3-trim.cpp"
#undef main
#undef exit
#undef write
#undef read

static std::string reference_trim(const uint8_t *data, size_t size)
{
    for (size_t i = 0; i + 1 < size; i++)
        if (data[i] == 0x0B && data[i + 1] == 0x77)
            return std::string(reinterpret_cast<const char *>(data) + i, size - i);
    return "";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // the program's stream is the input after the first byte, which seeds the piece sizes
    input = data + 1;
    input_size = size - 1;
    input_pos = 0;
    chunks.state = data[0];
    output.clear();
    char name[] = "ac3-trim";
    char *argv[] = {name, nullptr};
    if (setjmp(fuzz_exit_jump) == 0)
        fuzz_exit_status = ac3_trim_main(1, argv);
    signal(SIGPIPE, SIG_DFL);
    FUZZ_CHECK(fuzz_exit_status == 0);
    FUZZ_CHECK(output == reference_trim(input, input_size));
    return 0;
}
