// orlimclient's options and request with arbitrary arguments (zero bytes
// separate them), sent over a socket pair. Property: the request line
// the server gets decodes back to the arguments: "-nowait", then per
// argument the working directory and "/" where the name is not absolute and
// not a position, with "&_" for a blank, "&&" for "&" and "&-" for a
// leading "-", each piece followed by one blank, the line ended by a newline.
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "harness.h"
#include "orlim_request.h"

static std::string cwd;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char dir[4096];
    cwd = getcwd(dir, sizeof dir) ? dir : "";
    return 0;
}

static std::string decode(const std::string &piece)
{
    std::string out;
    for (size_t i = 0; i < piece.size(); i++) {
        if (piece[i] == '&' && i + 1 < piece.size()) {
            char c = piece[++i];
            out += c == '_' ? ' ' : c; // "&&" and "&-" stand for the second character
        } else {
            out += piece[i];
        }
    }
    return out;
}

static bool is_position(const std::string &arg)
{
    if (arg.empty() || arg[0] != '+')
        return false;
    return arg.find_first_not_of("0123456789:", 1) == std::string::npos;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> words = split_words(data, size);
    // the request must fit the socket buffer: nobody reads it until the client is done
    if (2 * size + words.size() * (2 * cwd.size() + 4) > 100000)
        return 0;
    // "--" ends the options, so that every word is a file argument
    std::vector<std::string> args = {"orlimclient", "-n", "--"};
    args.insert(args.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // the client's option parsing and request, sent to our end of a socket pair
    int pair[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    FILE *request = fdopen(pair[0], "r+");
    FUZZ_CHECK(request);
    OrlimOptions options;
    FUZZ_CHECK(parse_options(int(args.size()), argv.data(), &options) == orlim_files);
    FUZZ_CHECK(options.first_file == 3);
    FUZZ_CHECK(write_request(request, options, cwd.c_str(), int(words.size()), argv.data() + 3));
    fclose(request);

    std::string line;
    char buf[65536];
    ssize_t got;
    while ((got = read(pair[1], buf, sizeof buf)) > 0)
        line.append(buf, size_t(got));
    close(pair[1]);

    FUZZ_CHECK(!line.empty() && line.back() == '\n');
    line.pop_back();
    std::vector<std::string> pieces;
    for (size_t at = 0; at < line.size();) {
        size_t blank = line.find(' ', at);
        FUZZ_CHECK(blank != std::string::npos); // every piece ends with a blank
        pieces.push_back(line.substr(at, blank - at));
        at = blank + 1;
    }
    FUZZ_CHECK(!pieces.empty() && pieces[0] == "-nowait");
    FUZZ_CHECK(pieces.size() == words.size() + 1);
    for (size_t i = 0; i < words.size(); i++) {
        std::string want = words[i];
        if (want.empty() || (want[0] != '/' && !is_position(want)))
            want = cwd + "/" + want;
        FUZZ_CHECK(decode(pieces[i + 1]) == want);
    }
    return 0;
}
