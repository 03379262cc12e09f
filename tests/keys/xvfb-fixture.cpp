// Start or stop the throw-away X server that the key tests share.
//   xvfb-fixture start DIR   start Xvfb on a free display; write DIR/xvfb.display
//                            (":N") and DIR/xvfb.pid once it accepts connections
//   xvfb-fixture stop DIR    stop the server named by DIR/xvfb.pid
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "run.h"

// "" where the file cannot be read: the server may be gone already.
static std::string read_text(const std::string &path)
{
    try {
        return read_file(path);
    } catch (const std::exception &) {
        return "";
    }
}

static double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// True while pid is a live (not zombie) Xvfb; the pid file may be stale and
// the number reused by something else, which we must not touch.
static bool is_our_server(pid_t pid)
{
    std::string cmd = read_text("/proc/" + std::to_string(pid) + "/cmdline");
    if (cmd.find("Xvfb") == std::string::npos || cmd.find("-displayfd") == std::string::npos)
        return false;
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    auto paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

static int stop_server(const std::string &dir)
{
    std::string pidfile = dir + "/xvfb.pid";
    pid_t pid = atoi(read_text(pidfile).c_str());
    unlink((dir + "/xvfb.display").c_str());
    unlink(pidfile.c_str());
    if (pid <= 0 || !is_our_server(pid))
        return 0;
    kill(pid, SIGTERM);
    for (double end = now() + 10; now() < end; usleep(10000))
        if (!is_our_server(pid))
            return 0;
    kill(pid, SIGKILL);
    fprintf(stderr, "xvfb-fixture: Xvfb %d did not stop on SIGTERM; killed\n", pid);
    return 0;
}

static int start_server(const std::string &dir)
{
    stop_server(dir); // left over from an interrupted run
    std::string log = dir + "/xvfb.log";
    int fds[2];
    if (pipe(fds) != 0) {
        perror("xvfb-fixture: pipe");
        return 1;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);

    pid_t pid = fork();
    if (pid < 0) {
        perror("xvfb-fixture: fork");
        return 1;
    }
    if (pid == 0) {
        // Own session and no inherited pipes: the test runner waits for the
        // end of our output, and the server outlives us.
        setsid();
        int null = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null < 0 || out < 0)
            _exit(126);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        for (int fd = 3; fd < 1024; fd++)
            if (fd != fds[1])
                close(fd);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-noreset", "+extension", "XTEST",
               static_cast<char *>(nullptr));
        fprintf(stderr, "exec Xvfb: %s\n", strerror(errno));
        _exit(127);
    }
    close(fds[1]);

    // The server writes its display number once it accepts connections.
    std::string number;
    for (double end = now() + 60; number.find('\n') == std::string::npos;) {
        double left = end - now();
        if (left <= 0)
            break;
        pollfd p = {fds[0], POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            break;
        char buf[32];
        ssize_t got = read(fds[0], buf, sizeof buf);
        if (got <= 0)
            break;
        number.append(buf, got);
    }
    close(fds[0]);

    if (number.empty() || number.find('\n') == std::string::npos) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        fprintf(stderr, "xvfb-fixture: Xvfb did not report a display; its log:\n%s", read_text(log).c_str());
        return 1;
    }
    number.erase(number.find('\n'));
    try {
        write_file(dir + "/xvfb.pid", std::to_string(pid) + "\n");
        write_file(dir + "/xvfb.display", ":" + number);
    } catch (const std::exception &e) {
        fprintf(stderr, "xvfb-fixture: cannot write the state files: %s\n", e.what());
        kill(pid, SIGTERM);
        return 1;
    }
    printf("Xvfb on :%s, pid %d\n", number.c_str(), pid);
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc == 3 && strcmp(argv[1], "start") == 0)
        return start_server(argv[2]);
    if (argc == 3 && strcmp(argv[1], "stop") == 0)
        return stop_server(argv[2]);
    fprintf(stderr, "usage: xvfb-fixture start|stop DIR\n");
    return 2;
}
