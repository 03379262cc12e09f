// The open family: a path of a kind devsim plays is answered from the
// scenario (a simulated descriptor, or ENOENT for a device it does not name);
// every other path goes to libc's own entry point untouched.
#include "paths.h"
#include "preload.h"
#include "real_libc.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

static int find_device(const std::string &norm)
{
    for (size_t i = 0; i < sim->sc.devices.size(); i++)
        if (sim->sc.devices[i].path == norm)
            return (int)i;
    return -1;
}

static bool needs_mode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
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
    if (needs_mode(flags)) {
        char m[24];
        snprintf(m, sizeof m, " mode=0%o", (unsigned)mode);
        s += m;
    }
    return s;
}

// The scenario's device that PATH names, or -1 for an unnamed device of a
// played kind; false when the path is not for devsim at all.
static bool played_device(int dirfd, const char *path, int &dev)
{
    std::string norm = normalize_path(full_path(dirfd, path));
    dev = find_device(norm);
    if (dev >= 0 || is_played_kind(norm))
        return true;
    // a symbolic link may still lead to a device
    std::string resolved = follow_links(norm);
    dev = find_device(resolved);
    return dev >= 0 || is_played_kind(resolved);
}

// Opens the scenario's device DEV: an injected failure, or a real descriptor
// on /dev/null so that read, fcntl, poll and close behave. -1 with err set
// when it fails.
static int open_device(int dev, const char *path, int flags, int &err)
{
    // Both names count every open, whichever of them fails it.
    bool failed = injected("open:" + sim->sc.devices[dev].path, err);
    int err_any = 0;
    if (injected("open", err_any) && !failed)
        err = err_any;
    if (failed || err_any)
        return -1;
    int fd = (int)syscall(SYS_openat, AT_FDCWD, "/dev/null", (flags & (O_ACCMODE | O_CLOEXEC | O_NONBLOCK)));
    if (fd < 0) {
        err = errno;
        return -1;
    }
    OpenDev od{};
    od.fd = fd;
    od.dev = dev;
    od.path_as_given = path;
    od.flags = flags;
    od.id = ++sim->opens;
    sim->open.push_back(od);
    sim->opened_any = true;
    return fd;
}

// Takes over the open when the path is one devsim plays; false: let libc open it.
__attribute__((noinline)) static bool sim_open(int dirfd, const char *path, int flags, mode_t mode, int &result)
{
    int dev;
    if (!path || !ensure_init() || !played_device(dirfd, path, dev))
        return false;
    long long t = trace_now();
    std::string flag_desc = flag_text(flags, mode);
    int err = ENOENT;
    result = dev < 0 ? -1 : open_device(dev, path, flags, err);
    if (result >= 0) {
        trace(t, "open %s %s -> %d", path, flag_desc.c_str(), result);
        return true;
    }
    trace(t, "open %s %s -> -1 %s", path, flag_desc.c_str(), err_text(err).c_str());
    errno = err;
    return true;
}

// Every entry point of the family is this one body. Those that take a mode
// (TAKE_MODE) read it only when the flags create a file, as libc does; the
// fortified ones (NO_MODE) never get one.
#define TAKE_MODE \
    if (needs_mode(flags)) { \
        va_list ap; \
        va_start(ap, flags); \
        mode = (mode_t)va_arg(ap, int); \
        va_end(ap); \
    }
#define NO_MODE
#define OPEN_ENTRY(name, params, dirfd, args, get_mode) \
    static int(*real_##name) params; \
    int name params \
    { \
        mode_t mode = 0; \
        get_mode; \
        int r; \
        if (sim_open(dirfd, path, flags, mode, r)) \
            return r; \
        return REAL(name) args; \
    }

extern "C" {

int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);

OPEN_ENTRY(open, (const char *path, int flags, ...), AT_FDCWD, (path, flags, mode), TAKE_MODE)
OPEN_ENTRY(open64, (const char *path, int flags, ...), AT_FDCWD, (path, flags, mode), TAKE_MODE)
OPEN_ENTRY(openat, (int dirfd, const char *path, int flags, ...), dirfd, (dirfd, path, flags, mode), TAKE_MODE)
OPEN_ENTRY(openat64, (int dirfd, const char *path, int flags, ...), dirfd, (dirfd, path, flags, mode), TAKE_MODE)
OPEN_ENTRY(__open_2, (const char *path, int flags), AT_FDCWD, (path, flags), NO_MODE)
OPEN_ENTRY(__open64_2, (const char *path, int flags), AT_FDCWD, (path, flags), NO_MODE)
OPEN_ENTRY(__openat_2, (int dirfd, const char *path, int flags), dirfd, (dirfd, path, flags), NO_MODE)
OPEN_ENTRY(__openat64_2, (int dirfd, const char *path, int flags), dirfd, (dirfd, path, flags), NO_MODE)

} // extern "C"
