// orlimclient with arbitrary arguments (zero bytes separate them), talking
// to a stand-in server on a socket of its own. Property: the request line
// the server gets decodes back to the arguments: "-nowait", then per
// argument the working directory and "/" where the name is not absolute and
// not a position, with "&_" for a blank, "&&" for "&" and "&-" for a
// leading "-", each piece followed by one blank, the line ended by a newline.
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "harness.h"

static std::string host_name;
static std::vector<FILE *> streams;

// A host name of our own keeps the socket apart from any real server's.
static int fuzz_gethostname(char *name, size_t size)
{
    if (host_name.size() >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(name, host_name.c_str(), host_name.size() + 1);
    return 0;
}

static FILE *fuzz_fdopen(int fd, const char *mode)
{
    FILE *f = fdopen(fd, mode);
    if (f)
        streams.push_back(f);
    return f;
}

// The alternate editor is never run here.
static int fuzz_execvp(const char *, char *const[])
{
    errno = ENOENT;
    return -1;
}

#define gethostname fuzz_gethostname
#define fdopen fuzz_fdopen
#define execvp fuzz_execvp
#define exit fuzz_exit
#define main orlimclient_main
#include "../editclient/orlimclient.cpp"
#undef main
#undef exit
#undef execvp
#undef fdopen
#undef gethostname

static int server = -1;
static std::string cwd;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    host_name = "fuzz" + std::to_string(getpid());
    char path[108];
    snprintf(path, sizeof path, "/tmp/osrv%d-%s", int(geteuid()), host_name.c_str());
    unlink(path);
    server = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    if (server < 0 || bind(server, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(server, 4) != 0) {
        perror("fuzz: server socket");
        abort();
    }
    static std::string remove = path;
    atexit([] { unlink(remove.c_str()); });
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
            out += c == '_' ? ' ' : c;   // "&&" and "&-" stand for the second character
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

    optind = 0;
    nowait = 0;
    alteditor = nullptr;
    streams.clear();
    if (setjmp(fuzz_exit_jump) == 0)
        fuzz_exit_status = orlimclient_main(int(args.size()), argv.data());
    FUZZ_CHECK(fuzz_exit_status == 0);
    for (FILE *f : streams)
        fflush(f);

    int conn = accept(server, nullptr, nullptr);
    FUZZ_CHECK(conn >= 0);
    // the client's descriptor is shared by its two streams: close it once
    if (!streams.empty())
        close(fileno(streams[0]));
    std::string line;
    char buf[65536];
    ssize_t got;
    while ((got = read(conn, buf, sizeof buf)) > 0)
        line.append(buf, size_t(got));
    close(conn);
    for (FILE *f : streams)
        fclose(f);   // its descriptor is gone already; the stream's memory is freed

    FUZZ_CHECK(!line.empty() && line.back() == '\n');
    line.pop_back();
    std::vector<std::string> pieces;
    for (size_t at = 0; at < line.size();) {
        size_t blank = line.find(' ', at);
        FUZZ_CHECK(blank != std::string::npos);   // every piece ends with a blank
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
