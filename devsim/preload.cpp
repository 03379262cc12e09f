// The simulator library: preloaded into the program, it takes over the calls
// that reach the box's devices, the clock and the I/O ports, and passes every
// other call on to libc.
#include "preload.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <ucontext.h>
#include <unistd.h>

extern char **environ;

Sim *sim;

enum class Phase {
    unread,  // no call has needed the scenario yet
    reading, // being read: calls made meanwhile go to libc
    playing, // a scenario is played
    idle,    // no scenario: every call goes to libc
};
static Phase state = Phase::unread;

static const long long virtual_epoch = 946684800; // 2000-01-01 00:00:00 UTC
static const int high_fd = 900;                   // our own descriptors stay out of the program's way

// The call cannot go on without libc's own entry point: name the missing one
// and end, rather than call through a null pointer.
[[noreturn]] static void fail_missing(const char *name)
{
    static const char head[] = "devsim: can't find libc's ";
    syscall(SYS_write, 2, head, sizeof head - 1);
    syscall(SYS_write, 2, name, strlen(name));
    syscall(SYS_write, 2, "\n", 1);
    _exit(125);
}

template <typename F>
static F real(F &slot, const char *name)
{
    if (!slot) {
        slot = (F)dlsym(RTLD_NEXT, name);
        if (!slot)
            fail_missing(name);
    }
    return slot;
}
#define REAL(name) real(real_##name, #name)

static int (*real_open)(const char *, int, ...);
static int (*real_open64)(const char *, int, ...);
static int (*real___open_2)(const char *, int);
static int (*real___open64_2)(const char *, int);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real___openat_2)(int, const char *, int);
static int (*real___openat64_2)(int, const char *, int);
static int (*real_close)(int);
static int (*real_ioctl)(int, unsigned long, ...);
static ssize_t (*real_write)(int, const void *, size_t);
static int (*real_usleep)(useconds_t);
static unsigned (*real_sleep)(unsigned);
static int (*real_nanosleep)(const struct timespec *, struct timespec *);
static int (*real_clock_nanosleep)(clockid_t, int, const struct timespec *, struct timespec *);
static int (*real_gettimeofday)(struct timeval *, void *);
static int (*real_clock_gettime)(clockid_t, struct timespec *);
static time_t (*real_time)(time_t *);
[[maybe_unused]] static int (*real_sigaction)(int, const struct sigaction *, struct sigaction *);

// ---- start-up -----------------------------------------------------------

static long long monotonic_ns()
{
    struct timespec ts;
    REAL(clock_gettime)(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int move_high(int fd)
{
    if (fd < 0)
        return fd;
    int hi = (int)syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, high_fd);
    if (hi < 0)
        return fd;
    syscall(SYS_close, fd);
    return hi;
}

// The scenario is read at the first call that needs it, not in a constructor:
// a sanitizer runtime calls into us before the environment exists.
static bool ensure_init()
{
    if (state == Phase::playing || state == Phase::idle)
        return state == Phase::playing;
    if (state == Phase::reading || !environ)
        return false;
    state = Phase::reading;
    const char *path = getenv("DEVSIM_SCENARIO");
    if (!path || !*path) {
        state = Phase::idle;
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
    for (size_t i = 0; i < s->sc.devices.size(); i++)
        s->devs[i].cd_level = s->sc.devices[i].cd_level;
    s->port_ok.assign(0x10000, 0);
    const char *tp = getenv("DEVSIM_TRACE");
    if (tp && *tp)
        s->trace_fd =
            move_high((int)syscall(SYS_openat, AT_FDCWD, tp, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    s->real_start_ns = monotonic_ns();
    sim = s;
    state = Phase::playing;
    return true;
}

// ---- trace ----------------------------------------------------------------

long long trace_now()
{
    return sim->sc.virtual_clock ? sim->vclock_ns : monotonic_ns() - sim->real_start_ns;
}

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

// Copies through a pipe, so that a bad pointer of the program gives EFAULT as
// the kernel would, instead of a crash inside the simulator.
bool user_copy(void *dst, const void *src, size_t n)
{
    pid_t pid = (pid_t)syscall(SYS_getpid);
    if (sim->copy_pid != pid) { // a forked child must not share the parent's pipe
        int p[2];
        if (syscall(SYS_pipe2, p, O_CLOEXEC | O_NONBLOCK) != 0)
            return false;
        sim->copy_pipe[0] = move_high(p[0]);
        sim->copy_pipe[1] = move_high(p[1]);
        sim->copy_pid = pid;
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

static void real_sleep_ns(long long ns)
{
    struct timespec ts = {(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
    while (REAL(nanosleep)(&ts, &ts) != 0 && errno == EINTR) {}
}

// Moves the virtual clock on. A program that would sleep past the scenario's
// end of time is stopped there, as if killed from outside: a program that
// never ends by itself (a retry loop) then ends without spinning for ever.
static void advance_virtual(long long ns)
{
    const long long end = sim->sc.end_ns;
    if (end >= 0 && ns > end - sim->vclock_ns) {
        sim->vclock_ns = end;
        trace(end, "end of virtual time");
        syscall(SYS_kill, syscall(SYS_getpid), SIGTERM);
        syscall(SYS_kill, syscall(SYS_getpid), SIGKILL); // SIGTERM was caught or blocked
    }
    sim->vclock_ns += ns;
}

void pass_time(long long ns)
{
    if (sim->sc.virtual_clock)
        advance_virtual(ns);
    else
        real_sleep_ns(ns);
}

// ---- opening and closing ------------------------------------------------

static OpenDev *find_open(int fd)
{
    if (state != Phase::playing || fd < 0)
        return nullptr;
    for (OpenDev &od : sim->open)
        if (od.fd == fd)
            return &od;
    return nullptr;
}

static int find_device(const std::string &norm)
{
    for (size_t i = 0; i < sim->sc.devices.size(); i++)
        if (sim->sc.devices[i].path == norm)
            return (int)i;
    return -1;
}

static std::string flag_text(int flags, mode_t mode)
{
    static const struct {
        int bit;
        const char *name;
    } names[] = {
        {O_CREAT, "O_CREAT"},     {O_EXCL, "O_EXCL"},           {O_NOCTTY, "O_NOCTTY"},     {O_TRUNC, "O_TRUNC"},
        {O_APPEND, "O_APPEND"},   {O_NONBLOCK, "O_NONBLOCK"},   {O_SYNC, "O_SYNC"},         {O_DSYNC, "O_DSYNC"},
        {O_TMPFILE, "O_TMPFILE"}, {O_DIRECTORY, "O_DIRECTORY"}, {O_NOFOLLOW, "O_NOFOLLOW"}, {O_CLOEXEC, "O_CLOEXEC"},
        {O_PATH, "O_PATH"},       {O_DIRECT, "O_DIRECT"},       {O_NOATIME, "O_NOATIME"},
    };
    int acc = flags & O_ACCMODE;
    std::string s = acc == O_RDONLY   ? "O_RDONLY"
                    : acc == O_WRONLY ? "O_WRONLY"
                    : acc == O_RDWR   ? "O_RDWR"
                                      : "O_ACCMODE";
    int rest = flags & ~O_ACCMODE;
    rest &= ~O_LARGEFILE; // 32-bit open64 adds it; it says nothing about the device
    for (const auto &n : names) {
        if ((rest & n.bit) == n.bit) {
            s += std::string("|") + n.name;
            rest &= ~n.bit;
        }
    }
    if (rest) {
        char hex[24];
        snprintf(hex, sizeof hex, "|0x%x", rest);
        s += hex;
    }
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        char m[24];
        snprintf(m, sizeof m, " mode=0%o", (unsigned)mode);
        s += m;
    }
    return s;
}

static std::string full_path(int dirfd, const char *path)
{
    std::string p = path;
    if (!p.empty() && p[0] == '/')
        return p;
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
        if (!getcwd(base, sizeof base))
            return p;
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        ssize_t n = readlink(link, base, sizeof base - 1);
        if (n <= 0)
            return p;
        base[n] = 0;
    }
    return std::string(base) + "/" + p;
}

// Resolves symbolic links along an absolute path; unlike realpath it goes on
// when the end does not exist (a link to a device missing on this machine).
static std::string follow_links(std::string pending)
{
    std::string done;
    size_t pos = 1;
    int hops = 0;
    while (pos <= pending.size()) {
        size_t next = pending.find('/', pos);
        if (next == std::string::npos)
            next = pending.size();
        std::string comp = pending.substr(pos, next - pos);
        pos = next + 1;
        if (comp.empty() || comp == ".")
            continue;
        if (comp == "..") {
            done.erase(done.empty() ? 0 : done.rfind('/'));
            continue;
        }
        std::string cand = done + "/" + comp;
        char target[PATH_MAX];
        ssize_t n = readlink(cand.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            done = cand; // no link, or nothing there: taken as it stands
            continue;
        }
        if (++hops > 40)
            return cand;
        target[n] = 0;
        std::string rest = pos <= pending.size() ? pending.substr(pos) : "";
        pending = normalize_path((target[0] == '/' ? std::string(target) : done + "/" + target) + "/" + rest);
        done.clear();
        pos = 1;
    }
    return done.empty() ? "/" : done;
}

// Takes over the open when the path is one devsim plays; false: let libc open it.
__attribute__((noinline)) static bool sim_open(int dirfd, const char *path, int flags, mode_t mode, int &result)
{
    if (!path || !ensure_init())
        return false;
    std::string full = full_path(dirfd, path);
    std::string norm = normalize_path(full);
    int dev = find_device(norm);
    if (dev < 0 && !is_played_kind(norm)) {
        // a symbolic link may still lead to a device
        std::string resolved = follow_links(norm);
        dev = find_device(resolved);
        if (dev < 0 && !is_played_kind(resolved))
            return false;
    }
    long long t = trace_now();
    std::string flag_desc = flag_text(flags, mode);
    int err = 0;
    if (dev < 0) {
        err = ENOENT;
    } else {
        bool inj = injected("open:" + sim->sc.devices[dev].path, err);
        int err_any = 0;
        if (injected("open", err_any) && !inj) {
            inj = true;
            err = err_any;
        }
        if (!inj) {
            // a real descriptor, so that read, fcntl, poll and close behave
            int fd = (int)syscall(SYS_openat, AT_FDCWD, "/dev/null", (flags & (O_ACCMODE | O_CLOEXEC | O_NONBLOCK)));
            if (fd < 0) {
                err = errno;
            } else {
                OpenDev od{};
                od.fd = fd;
                od.dev = dev;
                od.shown = path;
                od.flags = flags;
                sim->open.push_back(od);
                sim->opened_any = true;
                trace(t, "open %s %s -> %d", path, flag_desc.c_str(), fd);
                result = fd;
                return true;
            }
        }
    }
    trace(t, "open %s %s -> -1 %s", path, flag_desc.c_str(), err_text(err).c_str());
    errno = err;
    result = -1;
    return true;
}

static bool needs_mode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

#define MODE_ARG(flags, last) \
    mode_t mode = 0; \
    if (needs_mode(flags)) { \
        va_list ap; \
        va_start(ap, last); \
        mode = (mode_t)va_arg(ap, int); \
        va_end(ap); \
    }

extern "C" {

int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);

int open(const char *path, int flags, ...)
{
    MODE_ARG(flags, flags);
    int r;
    if (sim_open(AT_FDCWD, path, flags, mode, r))
        return r;
    return REAL(open)(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    MODE_ARG(flags, flags);
    int r;
    if (sim_open(AT_FDCWD, path, flags, mode, r))
        return r;
    return REAL(open64)(path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    int r;
    if (sim_open(AT_FDCWD, path, flags, 0, r))
        return r;
    return REAL(__open_2)(path, flags);
}

int __open64_2(const char *path, int flags)
{
    int r;
    if (sim_open(AT_FDCWD, path, flags, 0, r))
        return r;
    return REAL(__open64_2)(path, flags);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    MODE_ARG(flags, flags);
    int r;
    if (sim_open(dirfd, path, flags, mode, r))
        return r;
    return REAL(openat)(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    MODE_ARG(flags, flags);
    int r;
    if (sim_open(dirfd, path, flags, mode, r))
        return r;
    return REAL(openat64)(dirfd, path, flags, mode);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    int r;
    if (sim_open(dirfd, path, flags, 0, r))
        return r;
    return REAL(__openat_2)(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    int r;
    if (sim_open(dirfd, path, flags, 0, r))
        return r;
    return REAL(__openat64_2)(dirfd, path, flags);
}

int close(int fd)
{
    if (state == Phase::playing && fd == sim->trace_fd && fd >= 0) {
        errno = EBADF; // ours, not the program's
        return -1;
    }
    OpenDev *od = find_open(fd);
    if (!od)
        return REAL(close)(fd);
    long long t = trace_now();
    std::string shown = od->shown;
    sim->open.erase(sim->open.begin() + (od - sim->open.data()));
    int err = 0;
    bool inj = injected("close", err);
    // Linux releases the descriptor even when close reports an error.
    int r = (int)syscall(SYS_close, fd);
    if (!inj && r != 0)
        err = errno;
    if (inj || r != 0) {
        trace(t, "close %s -> -1 %s", shown.c_str(), err_text(err).c_str());
        errno = err;
        return -1;
    }
    trace(t, "close %s -> 0", shown.c_str());
    return 0;
}

int ioctl(int fd, unsigned long req, ...) noexcept
{
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    OpenDev *od = find_open(fd);
    if (!od)
        return REAL(ioctl)(fd, req, arg);
    return device_ioctl(*od, req, arg);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    OpenDev *od = find_open(fd);
    if (!od)
        return REAL(write)(fd, buf, n);
    return device_write(*od, buf, n);
}

} // extern "C"

// ---- memory mappings ----------------------------------------------------

static void *sys_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
#ifdef SYS_mmap
    return (void *)syscall(SYS_mmap, addr, len, prot, flags, fd, off);
#else
    return (void *)syscall(SYS_mmap2, addr, len, prot, flags, fd, off / 4096);
#endif
}

// Forgets the mappings of a range the program unmaps or maps over, so that no
// frame is ever copied to memory that is gone.
static void forget_range(const char *lo, size_t len)
{
    for (DevState &ds : sim->devs) {
        for (size_t i = 0; i < ds.maps.size();) {
            const Mapping &m = ds.maps[i];
            if (m.addr < lo + len && lo < m.addr + m.length)
                ds.maps.erase(ds.maps.begin() + i);
            else
                i++;
        }
    }
}

static const char *prot_text(int prot, char *buf, size_t size)
{
    if (prot == PROT_NONE) {
        snprintf(buf, size, "PROT_NONE");
        return buf;
    }
    snprintf(buf, size, "%s%s%s%s", prot & PROT_READ ? "PROT_READ|" : "", prot & PROT_WRITE ? "PROT_WRITE|" : "",
             prot & PROT_EXEC ? "PROT_EXEC|" : "", "");
    size_t n = strlen(buf);
    if (n && buf[n - 1] == '|')
        buf[n - 1] = 0;
    return buf;
}

static void *do_mmap(void *addr, size_t len, int prot, int flags, int fd, long long off)
{
    // Plain system calls for the program's own mappings: the sanitizer runtime
    // maps memory through here before anything is set up.
    OpenDev *od = (flags & MAP_ANONYMOUS) ? nullptr : find_open(fd);
    if (!od) {
        void *p = sys_mmap(addr, len, prot, flags, fd, (off_t)off);
        if (state == Phase::playing && p != MAP_FAILED && (flags & MAP_FIXED))
            forget_range((char *)p, len);
        return p;
    }
    long long t = trace_now();
    const Device &dev = sim->sc.devices[od->dev];
    char pbuf[64];
    const char *type = (flags & MAP_TYPE) == MAP_SHARED    ? "MAP_SHARED"
                       : (flags & MAP_TYPE) == MAP_PRIVATE ? "MAP_PRIVATE"
                                                           : "MAP_SHARED_VALIDATE";
    int err = 0;
    void *p = MAP_FAILED;
    if (injected("mmap", err)) {
    } else if (dev.kind != DeviceKind::capture) {
        err = ENODEV;
    } else if (off != 0 || len == 0 || len > (unsigned long long)dev.mbuf) {
        err = EINVAL;
    } else if ((flags & MAP_TYPE) == MAP_SHARED && (prot & PROT_WRITE) && (od->flags & O_ACCMODE) != O_RDWR) {
        err = EACCES;
    } else {
        p = sys_mmap(addr, len, prot, (flags & ~MAP_TYPE) | MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            err = errno;
        } else {
            if (flags & MAP_FIXED)
                forget_range((char *)p, len);
            sim->devs[od->dev].maps.push_back({(char *)p, len});
        }
    }
    if (p == MAP_FAILED) {
        trace(t, "mmap %s length=%zu %s %s offset=%lld -> -1 %s", od->shown.c_str(), len,
              prot_text(prot, pbuf, sizeof pbuf), type, off, err_text(err).c_str());
        errno = err;
        return MAP_FAILED;
    }
    trace(t, "mmap %s length=%zu %s %s offset=%lld -> ok", od->shown.c_str(), len, prot_text(prot, pbuf, sizeof pbuf),
          type, off);
    return p;
}

extern "C" {

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) noexcept
{
    return do_mmap(addr, len, prot, flags, fd, off);
}

#if !defined(__LP64__)
void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off) noexcept
#else
void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off_t off) noexcept
#endif
{
    return do_mmap(addr, len, prot, flags, fd, off);
}

int munmap(void *addr, size_t len) noexcept
{
    if (state == Phase::playing) {
        for (size_t d = 0; d < sim->devs.size(); d++) {
            for (const Mapping &m : sim->devs[d].maps) {
                if (m.addr != addr)
                    continue;
                long long t = trace_now();
                const std::string &path = sim->sc.devices[d].path;
                int err = 0;
                if (injected("munmap", err)) {
                    trace(t, "munmap %s length=%zu -> -1 %s", path.c_str(), len, err_text(err).c_str());
                    errno = err;
                    return -1;
                }
                int r = (int)syscall(SYS_munmap, addr, len);
                if (r != 0) {
                    err = errno;
                    trace(t, "munmap %s length=%zu -> -1 %s", path.c_str(), len, err_text(err).c_str());
                    errno = err;
                    return -1;
                }
                forget_range((char *)addr, len);
                trace(t, "munmap %s length=%zu -> 0", path.c_str(), len);
                return 0;
            }
        }
    }
    int r = (int)syscall(SYS_munmap, addr, len);
    if (r == 0 && state == Phase::playing)
        forget_range((char *)addr, len);
    return r;
}

// ---- time -------------------------------------------------------------

int gettimeofday(struct timeval *tv, void *tz) noexcept
{
    if (!ensure_init() || !sim->sc.virtual_clock)
        return REAL(gettimeofday)(tv, tz);
    tv->tv_sec = (time_t)(virtual_epoch + sim->vclock_ns / 1000000000LL);
    tv->tv_usec = (suseconds_t)(sim->vclock_ns % 1000000000LL / 1000);
    if (tz)
        memset(tz, 0, sizeof(struct timezone));
    return 0;
}

static bool is_virtual_clock_id(clockid_t c)
{
    switch (c) {
    case CLOCK_REALTIME:
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_BOOTTIME:
    case CLOCK_REALTIME_ALARM:
    case CLOCK_BOOTTIME_ALARM:
    case CLOCK_TAI:
        return true;
    default:
        return false; // CPU-time clocks stay real
    }
}

int clock_gettime(clockid_t c, struct timespec *ts) noexcept
{
    if (!ensure_init() || !sim->sc.virtual_clock || !is_virtual_clock_id(c))
        return REAL(clock_gettime)(c, ts);
    ts->tv_sec = (time_t)(virtual_epoch + sim->vclock_ns / 1000000000LL);
    ts->tv_nsec = (long)(sim->vclock_ns % 1000000000LL);
    return 0;
}

time_t time(time_t *out) noexcept
{
    if (!ensure_init() || !sim->sc.virtual_clock)
        return REAL(time)(out);
    time_t now = (time_t)(virtual_epoch + sim->vclock_ns / 1000000000LL);
    if (out)
        *out = now;
    return now;
}

int usleep(useconds_t us)
{
    if (!ensure_init())
        return REAL(usleep)(us);
    long long t = trace_now();
    if (sim->sc.virtual_clock) {
        advance_virtual((long long)us * 1000);
        trace(t, "usleep %u -> 0", (unsigned)us);
        return 0;
    }
    int r = REAL(usleep)(us);
    int err = errno;
    if (r == 0)
        trace(t, "usleep %u -> 0", (unsigned)us);
    else
        trace(t, "usleep %u -> -1 %s", (unsigned)us, err_text(err).c_str());
    errno = err;
    return r;
}

unsigned sleep(unsigned s)
{
    if (!ensure_init())
        return REAL(sleep)(s);
    long long t = trace_now();
    unsigned r = 0;
    if (sim->sc.virtual_clock)
        advance_virtual((long long)s * 1000000000LL);
    else
        r = REAL(sleep)(s);
    trace(t, "sleep %u -> %u", s, r);
    return r;
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    if (!ensure_init())
        return REAL(nanosleep)(req, rem);
    long long t = trace_now();
    if (!sim->sc.virtual_clock || !req || req->tv_nsec < 0 || req->tv_nsec >= 1000000000L || req->tv_sec < 0) {
        int r = REAL(nanosleep)(req, rem);
        int err = errno;
        if (req && r == 0)
            trace(t, "nanosleep %lld -> 0", (long long)req->tv_sec * 1000000000LL + req->tv_nsec);
        else if (req)
            trace(t, "nanosleep %lld -> -1 %s", (long long)req->tv_sec * 1000000000LL + req->tv_nsec,
                  err_text(err).c_str());
        errno = err;
        return r;
    }
    long long ns = (long long)req->tv_sec * 1000000000LL + req->tv_nsec;
    advance_virtual(ns);
    trace(t, "nanosleep %lld -> 0", ns);
    return 0;
}

int clock_nanosleep(clockid_t c, int flags, const struct timespec *req, struct timespec *rem)
{
    if (!ensure_init() || !req)
        return REAL(clock_nanosleep)(c, flags, req, rem);
    long long t = trace_now();
    long long ns = (long long)req->tv_sec * 1000000000LL + req->tv_nsec;
    char what[64];
    if (flags & TIMER_ABSTIME)
        snprintf(what, sizeof what, "abs=%lld.%09ld", (long long)req->tv_sec, (long)req->tv_nsec);
    else
        snprintf(what, sizeof what, "%lld", ns);
    int r;
    if (sim->sc.virtual_clock && is_virtual_clock_id(c) && req->tv_nsec >= 0 && req->tv_nsec < 1000000000L) {
        if (!(flags & TIMER_ABSTIME))
            advance_virtual(ns < 0 ? 0 : ns);
        else if (ns - virtual_epoch * 1000000000LL > sim->vclock_ns)
            advance_virtual(ns - virtual_epoch * 1000000000LL - sim->vclock_ns);
        r = 0;
    } else {
        r = REAL(clock_nanosleep)(c, flags, req, rem);
    }
    if (r == 0)
        trace(t, "clock_nanosleep %s -> 0", what);
    else
        trace(t, "clock_nanosleep %s -> %s", what, err_text(r).c_str());
    return r;
}

} // extern "C"

// ---- I/O ports ----------------------------------------------------------

#if defined(__x86_64__)

static struct sigaction old_segv;

// The x86 "out" instructions; the operand-size prefix turns the 32-bit forms
// into 16-bit ones.
enum : unsigned char {
    op_size_prefix = 0x66,
    op_out_imm8_al = 0xE6,  // out imm8, al
    op_out_imm8_eax = 0xE7, // out imm8, eax
    op_out_dx_al = 0xEE,    // out dx, al
    op_out_dx_eax = 0xEF,   // out dx, eax
};

static bool port_allowed(unsigned port, unsigned size)
{
    if (sim->all_ports)
        return true;
    for (unsigned p = port; p < port + size; p++)
        if (p > 0xffff || !sim->port_ok[p])
            return false;
    return true;
}

// A process without I/O permission faults on "out" with a general protection
// fault: SIGSEGV, si_code SI_KERNEL and no address. We play the port write and
// step over the instruction.
static void on_segv(int sig, siginfo_t *si, void *ctx)
{
    ucontext_t *uc = (ucontext_t *)ctx;
    if (si->si_code == SI_KERNEL && si->si_addr == nullptr && state == Phase::playing) {
        greg_t *g = uc->uc_mcontext.gregs;
        const unsigned char *ip = (const unsigned char *)g[REG_RIP];
        size_t i = ip[0] == op_size_prefix ? 1 : 0;
        bool word = i == 1;
        unsigned op = ip[i], port = 0, size = 0;
        size_t len = 0;
        if (op == op_out_imm8_al || op == op_out_imm8_eax) {
            port = ip[i + 1];
            len = i + 2;
        } else if (op == op_out_dx_al || op == op_out_dx_eax) {
            port = (unsigned)(g[REG_RDX] & 0xffff);
            len = i + 1;
        }
        if (len) {
            size = (op == op_out_imm8_al || op == op_out_dx_al) ? 1 : word ? 2 : 4;
            if (port_allowed(port, size)) {
                unsigned long value = (unsigned long)g[REG_RAX]
                                      & (size == 1   ? 0xffUL
                                         : size == 2 ? 0xffffUL
                                                     : 0xffffffffUL);
                trace(trace_now(), "%s 0x%x 0x%lx", size == 1 ? "outb" : size == 2 ? "outw" : "outl", port, value);
                g[REG_RIP] += (greg_t)len;
                return;
            }
        }
    }
    // Not ours: to the handler that was there before, or die as without us.
    if ((old_segv.sa_flags & SA_SIGINFO) && old_segv.sa_sigaction) {
        old_segv.sa_sigaction(sig, si, ctx);
    } else if (old_segv.sa_handler != SIG_DFL && old_segv.sa_handler != SIG_IGN) {
        old_segv.sa_handler(sig);
    } else {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        REAL(sigaction)(SIGSEGV, &dfl, nullptr); // the instruction runs again and kills us
    }
}

static void install_segv()
{
    if (sim->segv_installed)
        return;
    struct sigaction sa {};
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    if (REAL(sigaction)(SIGSEGV, &sa, &old_segv) == 0)
        sim->segv_installed = true;
}

#endif

extern "C" {

int ioperm(unsigned long from, unsigned long num, int on) noexcept
{
    if (!ensure_init()) {
        errno = EPERM; // never the kernel's
        return -1;
    }
    long long t = trace_now();
    int err = 0;
    if (injected("ioperm", err)) {
    } else if (from > 0x10000 || num > 0x10000 - from) {
        err = EINVAL;
    } else if (on && !sim->sc.ports_grant) {
        err = EPERM;
    } else {
        for (unsigned long p = from; p < from + num; p++)
            sim->port_ok[p] = on ? 1 : 0;
#if defined(__x86_64__)
        if (on)
            install_segv();
#endif
        trace(t, "ioperm from=0x%lx num=%lu on=%d -> 0", from, num, on);
        return 0;
    }
    trace(t, "ioperm from=0x%lx num=%lu on=%d -> -1 %s", from, num, on, err_text(err).c_str());
    errno = err;
    return -1;
}

int iopl(int level) noexcept
{
    if (!ensure_init()) {
        errno = EPERM;
        return -1;
    }
    long long t = trace_now();
    int err = 0;
    if (injected("iopl", err)) {
    } else if (level < 0 || level > 3) {
        err = EINVAL;
    } else if (level > 0 && !sim->sc.ports_grant) {
        err = EPERM;
    } else {
        sim->all_ports = level == 3;
#if defined(__x86_64__)
        if (level == 3)
            install_segv();
#endif
        trace(t, "iopl level=%d -> 0", level);
        return 0;
    }
    trace(t, "iopl level=%d -> -1 %s", level, err_text(err).c_str());
    errno = err;
    return -1;
}

} // extern "C"

// The fault sweep wants to know what a program left open.
__attribute__((destructor)) static void report_open_at_exit()
{
    if (state != Phase::playing || !sim->opened_any)
        return;
    std::string list;
    for (const OpenDev &od : sim->open)
        list += " " + od.shown;
    trace(trace_now(), "exit still open:%s", list.empty() ? " none" : list.c_str());
}
