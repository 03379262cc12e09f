// The simulator library: preloaded into the program, it takes over the calls
// that reach the box's devices, the clock and the I/O ports, and passes every
// other call on to libc. This file starts it and holds what every kind of
// call shares: the trace, injected failures and safe copies from the
// program's memory. The calls themselves are in open.cpp, io.cpp, mmap.cpp,
// clock.cpp and ports_x86.cpp.
#include "preload.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char **environ;

Sim *sim;
Phase phase = Phase::unread;

static const int high_fd = 900; // our own descriptors stay out of the program's way

// ---- start-up -----------------------------------------------------------

int move_high(int fd)
{
    if (fd < 0)
        return fd;
    int hi = (int)syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, high_fd);
    if (hi < 0)
        return fd;
    syscall(SYS_close, fd);
    return hi;
}

// A forked child must not share the parent's copy pipe: it makes its own at
// its first copy. (Asking for the process id at every copy would cost a
// system call each time.)
static void forget_copy_pipe()
{
    for (int &fd : sim->copy_pipe) {
        if (fd >= 0)
            syscall(SYS_close, fd);
        fd = -1;
    }
}

// The scenario is read at the first call that needs it, not in a constructor:
// a sanitizer runtime calls into us before the environment exists.
bool ensure_init()
{
    if (phase == Phase::playing || phase == Phase::idle)
        return phase == Phase::playing;
    if (phase == Phase::reading || !environ)
        return false;
    phase = Phase::reading;
    const char *path = getenv("DEVSIM_SCENARIO");
    if (!path || !*path) {
        phase = Phase::idle;
        return false;
    }
    Sim *s = new Sim;
    std::string err = parse_scenario(path, s->sc);
    if (!err.empty()) {
        std::string msg = "devsim: " + err + "\n";
        syscall(SYS_write, 2, msg.data(), msg.size());
        _exit(125);
    }
    s->devs.resize(s->sc.devices.size());
    for (size_t i = 0; i < s->sc.devices.size(); i++) {
        s->devs[i].cd_level = s->sc.devices[i].cd_level;
        if (s->sc.devices[i].v4l2)
            s->devs[i].v4l2.pixelformat = s->sc.devices[i].formats[0];
    }
    const char *tp = getenv("DEVSIM_TRACE");
    if (tp && *tp)
        s->trace_fd =
            move_high((int)syscall(SYS_openat, AT_FDCWD, tp, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    s->real_start_ns = monotonic_ns();
    sim = s;
    pthread_atfork(nullptr, nullptr, forget_copy_pipe);
    phase = Phase::playing;
    return true;
}

// ---- trace and injected failures ----------------------------------------

// One line in one write on an O_APPEND descriptor: lines of several processes never mix.
void trace(long long t, const char *fmt, ...)
{
    if (sim->trace_fd < 0)
        return;
    int saved = errno;
    char buf[16384];
    if (t < 0)
        t = 0;
    int n = snprintf(buf, sizeof buf, "%lld.%06lld ", t / 1000000000LL, t % 1000000000LL / 1000);
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(buf + n, sizeof buf - n - 1, fmt, ap);
    va_end(ap);
    n += m < 0 ? 0 : m < (int)(sizeof buf - n - 1) ? m : (int)(sizeof buf - n - 2);
    buf[n++] = '\n';
    syscall(SYS_write, sim->trace_fd, buf, (size_t)n);
    errno = saved;
}

std::string err_text(int err)
{
    const char *name = errno_name(err);
    return name ? name : std::to_string(err);
}

// Counts the call under its fail name and says whether a `fail` line makes
// this one fail, with which errno.
bool injected(const std::string &call, int &err)
{
    long long n = 0;
    for (auto &c : sim->counts)
        if (c.first == call)
            n = ++c.second;
    if (!n) {
        sim->counts.push_back({call, 1});
        n = 1;
    }
    for (const FailRule &r : sim->sc.fails) {
        if (r.call == call && (r.nth == 0 || r.nth == n)) {
            err = r.error;
            return true;
        }
    }
    return false;
}

// ---- copies from and to the program's memory ----------------------------

// Copies through a pipe, so that a bad pointer of the program gives EFAULT as
// the kernel would, instead of a crash inside the simulator.
bool user_copy(void *dst, const void *src, size_t n)
{
    if (sim->copy_pipe[0] < 0) {
        int p[2];
        if (syscall(SYS_pipe2, p, O_CLOEXEC | O_NONBLOCK) != 0)
            return false;
        sim->copy_pipe[0] = move_high(p[0]);
        sim->copy_pipe[1] = move_high(p[1]);
    }
    const char *s = (const char *)src;
    char *d = (char *)dst;
    while (n > 0) {
        size_t chunk = n < 4096 ? n : 4096;
        long w = syscall(SYS_write, sim->copy_pipe[1], s, chunk);
        if (w != (long)chunk) {
            char junk[4096];
            while (w > 0 && syscall(SYS_read, sim->copy_pipe[0], junk, sizeof junk) > 0) {}
            return false;
        }
        long r = syscall(SYS_read, sim->copy_pipe[0], d, chunk);
        if (r != (long)chunk) {
            char junk[4096];
            while (syscall(SYS_read, sim->copy_pipe[0], junk, sizeof junk) > 0) {}
            return false;
        }
        s += chunk;
        d += chunk;
        n -= chunk;
    }
    return true;
}

// ---- end ------------------------------------------------------------------

// The fault sweep wants to know what a program left open.
__attribute__((destructor)) static void report_open_at_exit()
{
    if (phase != Phase::playing || !sim->opened_any)
        return;
    std::string list;
    for (const OpenDev &od : sim->open)
        list += " " + od.path_as_given;
    // A mapped V4L2 buffer holds its device open, as in the kernel.
    for (size_t d = 0; d < sim->devs.size(); d++) {
        std::string mapped;
        for (const Mapping &m : sim->devs[d].maps)
            if (m.buffer >= 0)
                mapped += " " + std::to_string(m.buffer);
        if (!mapped.empty())
            list += " " + sim->sc.devices[d].path + " (buffers" + mapped + " mapped)";
    }
    trace(trace_now(), "exit still open:%s", list.empty() ? " none" : list.c_str());
}
