// babconv on arbitrary input. Property: the output and the status do not
// depend on how the input arrives (one big read, or short reads of random
// sizes with EINTR in between), and the output ends with a complete line.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <algorithm>
#include <string>
#include <sys/uio.h>
#include <unistd.h>

#include "babyl.h"
#include "harness.h"

static const uint8_t *input;
static size_t input_size, input_pos;
static FuzzRandom chunks;
static bool short_reads;
static std::string output;

static ssize_t fuzz_read(int, void *to, size_t n)
{
    if (short_reads) {
        uint32_t r = chunks.next();
        if (r % 7 == 0) {
            errno = EINTR;
            return -1;
        }
        n = std::min<size_t>(n, 1 + r % 300);
    }
    n = std::min(n, input_size - input_pos);
    memcpy(to, input + input_pos, n);
    input_pos += n;
    return ssize_t(n);
}

static ssize_t fuzz_writev(int, const iovec *v, int count)
{
    size_t total = 0;
    for (int i = 0; i < count; i++)
        total += v[i].iov_len;
    size_t n = total;
    if (short_reads && n > 1)
        n = 1 + chunks.next() % n;
    size_t left = n;
    for (int i = 0; i < count && left > 0; i++) {
        size_t k = std::min(left, v[i].iov_len);
        output.append(static_cast<const char *>(v[i].iov_base), k);
        left -= k;
    }
    return ssize_t(n);
}

// A separator as babconv writes it; the date is the start's.
static const std::string separator = "From \"Babyl to mail by babconv\" Sat Jan  1 00:00:00 2000\n";
// Its blocks are too large for the stack.
static BabylConversion conversion;

struct Run {
    BabylStatus status;
    std::string out;
};

// As babconv runs it: what was converted before a refusal is still written.
static Run run_babconv(const uint8_t *data, size_t size, bool shorts, uint64_t seed)
{
    input = data;
    input_size = size;
    input_pos = 0;
    short_reads = shorts;
    chunks.state = seed;
    output.clear();
    conversion.read = fuzz_read;
    conversion.writev = fuzz_writev;
    FUZZ_CHECK(babyl_begin(&conversion));
    BabylStatus status = babyl_convert(&conversion, separator.data(), separator.size());
    if (status != babyl_ok)
        FUZZ_CHECK(babyl_flush(&conversion));
    babyl_end(&conversion);
    return {status, output};
}

static bool from_line(const std::string &line)
{
    size_t at = line.find_first_not_of('>');
    return at != std::string::npos && line.compare(at, 5, "From ") == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint64_t seed = data[0];
    Run whole = run_babconv(data + 1, size - 1, false, seed);
    Run pieces = run_babconv(data + 1, size - 1, true, seed);
    FUZZ_CHECK(whole.status == pieces.status);
    FUZZ_CHECK(whole.out == pieces.out);
    FUZZ_CHECK(whole.status != babyl_write_failed);
    FUZZ_CHECK(whole.out.empty() || whole.out.back() == '\n');

    // every output line is a separator, a label line or a line of the input,
    // the input line with one '>' more where it begins with ">*From "; only
    // a separator begins with "From "
    std::set<std::string> lines;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    for (size_t at = 0; at <= text.size();) {
        size_t lf = text.find('\n', at);
        std::string line = text.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
        // CR LF ends a line as LF does; a CR at the very end of the input stays
        if (lf != std::string::npos && !line.empty() && line.back() == '\r')
            line.pop_back();
        lines.insert(line);
        if (lf == std::string::npos)
            break;
        at = lf + 1;
    }
    for (size_t at = 0; at < whole.out.size();) {
        size_t lf = whole.out.find('\n', at);
        std::string line = whole.out.substr(at, lf - at);
        bool quoted = line.size() > 1 && line[0] == '>' && from_line(line.substr(1));
        if (line + "\n" == separator)
            ;
        else if (quoted)
            FUZZ_CHECK(lines.count(line.substr(1)));
        else
            FUZZ_CHECK(line.rfind("X-Babyl-Labels: ", 0) == 0 || (lines.count(line) && !from_line(line)));
        at = lf + 1;
    }
    return 0;
}
