// close, ioctl and write on simulated descriptors; on any other descriptor
// they go to libc's own entry points.
#include "devices.h"
#include "preload.h"
#include "v4l2.h"
#include "real_libc.h"

#include <cerrno>
#include <cstdarg>
#include <sys/syscall.h>
#include <unistd.h>

static int (*real_close)(int);
static int (*real_ioctl)(int, unsigned long, ...);
static ssize_t (*real_write)(int, const void *, size_t);

OpenDev *find_open(int fd)
{
    if (phase != Phase::playing || fd < 0)
        return nullptr;
    for (OpenDev &od : sim->open)
        if (od.fd == fd)
            return &od;
    return nullptr;
}

// A device without a write of its own: the /dev/null behind it takes the bytes.
static ssize_t write_to_null(const OpenDev &od, const void *buf, size_t n)
{
    long long t = trace_now();
    int err = 0;
    long r = -1;
    if (!injected("write", err)) {
        r = syscall(SYS_write, od.fd, buf, n);
        if (r < 0)
            err = errno;
    }
    if (r < 0) {
        trace(t, "write %s count=%zu -> -1 %s", od.path_as_given.c_str(), n, err_text(err).c_str());
        errno = err;
        return -1;
    }
    trace(t, "write %s count=%zu -> %ld", od.path_as_given.c_str(), n, r);
    return r;
}

extern "C" {

int close(int fd)
{
    if (phase == Phase::playing && fd == sim->trace_fd && fd >= 0) {
        errno = EBADF; // ours, not the program's
        return -1;
    }
    OpenDev *od = find_open(fd);
    if (!od)
        return REAL(close)(fd);
    long long t = trace_now();
    std::string path = od->path_as_given;
    OpenDev closed = *od;
    sim->open.erase(sim->open.begin() + (od - sim->open.data()));
    if (sim->sc.devices[closed.dev].v4l2)
        v4l2_closed(closed);
    int err = 0;
    bool failed = injected("close", err);
    // Linux releases the descriptor even when close reports an error.
    int r = (int)syscall(SYS_close, fd);
    if (!failed && r != 0) {
        failed = true;
        err = errno;
    }
    if (failed) {
        trace(t, "close %s -> -1 %s", path.c_str(), err_text(err).c_str());
        errno = err;
        return -1;
    }
    trace(t, "close %s -> 0", path.c_str());
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
    if (sim->sc.devices[od->dev].kind == DeviceKind::vbi)
        return vbi_write(*od, buf, n);
    return write_to_null(*od, buf, n);
}

} // extern "C"
