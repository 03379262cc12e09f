#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double monotonic_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

static void set_nonblocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// With TEST_WRAPPER set (for example "valgrind -q --error-exitcode=97"), its
// blank-separated words go in front of the tool-set program being run: argv[0]
// itself, or the program behind devsim's "--", so that the checker watches the
// program and not the launcher that execs it.
static std::vector<std::string> wrap_program(const std::vector<std::string> &argv)
{
    const char *wrapper = getenv("TEST_WRAPPER");
    if (!wrapper || !*wrapper || argv.empty())
        return argv;
    const std::string bin = std::string(BIN_DIR) + "/";
    size_t at = 0;
    if (argv[0] == bin + "devsim") {
        at = argv.size();
        for (size_t i = 1; i + 1 < argv.size(); i++)
            if (argv[i] == "--") {
                at = i + 1;
                break;
            }
    }
    if (at >= argv.size() || argv[at].compare(0, bin.size(), bin) != 0)
        return argv;
    std::vector<std::string> words;
    const char *p = wrapper;
    while (*p) {
        while (*p == ' ')
            p++;
        const char *start = p;
        while (*p && *p != ' ')
            p++;
        if (p > start)
            words.emplace_back(start, p);
    }
    std::vector<std::string> wrapped(argv.begin(), argv.begin() + at);
    wrapped.insert(wrapped.end(), words.begin(), words.end());
    wrapped.insert(wrapped.end(), argv.begin() + at, argv.end());
    return wrapped;
}

// A program under a checker runs many times slower: TEST_TIMEOUT_SCALE stretches every bound.
static double timeout_scale()
{
    const char *s = getenv("TEST_TIMEOUT_SCALE");
    double scale = s ? atof(s) : 1.0;
    return scale >= 1.0 ? scale : 1.0;
}

// The parent's ends of the child's standard streams; -1 once closed.
struct Streams {
    int in = -1;
    int out = -1;
    int err = -1;
    size_t written = 0; // bytes of the input already in the pipe
};

[[noreturn]] static void start_child(const std::vector<std::string> &argv, const RunOptions &opt, int in_read,
                                     int out_write, int err_write)
{
    if (opt.close_stdin) {
        close(0);
    } else if (opt.input) {
        dup2(in_read, 0);
    } else {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
    }
    dup2(out_write, 1);
    dup2(err_write, 2);
    for (const auto &e : opt.env) {
        auto eq = e.find('=');
        if (eq == std::string::npos)
            unsetenv(e.c_str());
        else
            setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
    }
    if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
        _exit(126);
    signal(SIGPIPE, SIG_DFL);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    fprintf(stderr, "exec %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

// Closes the child's ends; the parent's become non-blocking so that one
// stream never stalls the others.
static Streams parent_ends(const int in_pipe[2], const int out_pipe[2], const int err_pipe[2], const RunOptions &opt)
{
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    Streams s{in_pipe[1], out_pipe[0], err_pipe[0]};
    if (!opt.input || opt.input->empty())
        close(s.in), s.in = -1;
    else
        set_nonblocking(s.in);
    set_nonblocking(s.out);
    set_nonblocking(s.err);
    return s;
}

static void feed_input(Streams &s, const std::string &input)
{
    ssize_t w = write(s.in, input.data() + s.written, input.size() - s.written);
    if (w > 0)
        s.written += w;
    if (w < 0 && errno != EAGAIN)
        s.written = input.size(); // the child will read no more
    if (s.written == input.size())
        close(s.in), s.in = -1;
}

static void collect_output(Streams &s, int fd, RunResult &r)
{
    char buf[65536];
    ssize_t got = read(fd, buf, sizeof buf);
    if (got > 0) {
        (fd == s.out ? r.out : r.err).append(buf, got);
    } else if (got == 0 || errno != EAGAIN) {
        close(fd);
        (fd == s.out ? s.out : s.err) = -1;
    }
}

// Until the child has closed both outputs, or the deadline kills it.
static void pump(Streams &s, const RunOptions &opt, pid_t pid, double deadline, RunResult &r)
{
    while (s.out >= 0 || s.err >= 0) {
        pollfd fds[3];
        int n = 0;
        if (s.out >= 0)
            fds[n++] = {s.out, POLLIN, 0};
        if (s.err >= 0)
            fds[n++] = {s.err, POLLIN, 0};
        if (s.in >= 0)
            fds[n++] = {s.in, POLLOUT, 0};
        double left = deadline - monotonic_seconds();
        if (left <= 0) {
            kill(pid, SIGKILL);
            r.timed_out = true;
            break;
        }
        int rc = poll(fds, n, static_cast<int>(left * 1000) + 1);
        if (rc < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; i++) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == s.in)
                feed_input(s, *opt.input);
            else
                collect_output(s, fds[i].fd, r);
        }
    }
    for (int fd : {s.in, s.out, s.err})
        if (fd >= 0)
            close(fd);
}

// The pipes may close before the child ends (it closed them itself): wait with the same bound.
static void reap(pid_t pid, double deadline, RunResult &r)
{
    int wstatus = 0;
    for (;;) {
        pid_t w = waitpid(pid, &wstatus, WNOHANG);
        if (w == pid)
            break;
        if (w < 0 && errno != EINTR)
            break;
        if (monotonic_seconds() > deadline && !r.timed_out) {
            kill(pid, SIGKILL);
            r.timed_out = true;
        }
        usleep(1000);
    }
    if (WIFEXITED(wstatus)) {
        r.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        r.signaled = true;
        r.status = 128 + WTERMSIG(wstatus);
    }
}

RunResult run_program(const std::vector<std::string> &argv_given, const RunOptions &opt)
{
    const std::vector<std::string> argv = wrap_program(argv_given);
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (pid == 0)
        start_child(argv, opt, in_pipe[0], out_pipe[1], err_pipe[1]);
    Streams s = parent_ends(in_pipe, out_pipe, err_pipe, opt);

    // Writing to a child that has ended must not kill the test.
    struct sigaction ign {
    }, old{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old);

    RunResult r;
    const double deadline = monotonic_seconds() + opt.timeout * timeout_scale();
    pump(s, opt, pid, deadline, r);
    reap(pid, deadline, r);
    sigaction(SIGPIPE, &old, nullptr);
    return r;
}

std::string bin_path(const std::string &program)
{
    return std::string(BIN_DIR) + "/" + program;
}

std::string test_bin_path(const std::string &helper)
{
    return std::string(TESTS_BIN_DIR) + "/" + helper;
}

std::string make_temp_dir(const std::string &tag)
{
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/" + tag + ".XXXXXX";
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
    return templ;
}

void remove_tree(const std::string &path)
{
    if (path.size() < 6)
        return;
    RunOptions o;
    run_program({"rm", "-rf", "--", path}, o);
}

std::string read_file(const std::string &path)
{
    std::string data;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        throw std::runtime_error("open " + path + ": " + strerror(errno));
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data.append(buf, n);
    fclose(f);
    return data;
}

void write_file(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error("create " + path + ": " + strerror(errno));
    fwrite(bytes.data(), 1, bytes.size(), f);
    if (fclose(f) != 0)
        throw std::runtime_error("write " + path + ": " + strerror(errno));
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}
