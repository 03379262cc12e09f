// Memory mappings: a mapping of the capture device is shared anonymous memory
// that VIDIOCSYNC fills with frames; every other mapping is the kernel's.
#include "preload.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

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

// Why the device refuses the mapping (0: it takes it).
static int mapping_refusal(const OpenDev &od, size_t len, int prot, int flags, long long off)
{
    const Device &dev = sim->sc.devices[od.dev];
    if (dev.kind != DeviceKind::capture)
        return ENODEV;
    if (off != 0 || len == 0 || len > (unsigned long long)dev.mbuf)
        return EINVAL;
    if ((flags & MAP_TYPE) == MAP_SHARED && (prot & PROT_WRITE) && (od.flags & O_ACCMODE) != O_RDWR)
        return EACCES;
    return 0;
}

static void *map_device(OpenDev *od, void *addr, size_t len, int prot, int flags, long long off)
{
    long long t = trace_now();
    char pbuf[64];
    const char *type = (flags & MAP_TYPE) == MAP_SHARED    ? "MAP_SHARED"
                       : (flags & MAP_TYPE) == MAP_PRIVATE ? "MAP_PRIVATE"
                                                           : "MAP_SHARED_VALIDATE";
    int err = 0;
    if (!injected("mmap", err))
        err = mapping_refusal(*od, len, prot, flags, off);
    void *p = MAP_FAILED;
    if (!err) {
        p = sys_mmap(addr, len, prot, (flags & ~MAP_TYPE) | MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            err = errno;
        } else {
            if (flags & MAP_FIXED)
                forget_range((char *)p, len);
            sim->devs[od->dev].maps.push_back({(char *)p, len});
        }
    }
    const char *path = od->path_as_given.c_str();
    if (p == MAP_FAILED) {
        trace(t, "mmap %s length=%zu %s %s offset=%lld -> -1 %s", path, len, prot_text(prot, pbuf, sizeof pbuf), type,
              off, err_text(err).c_str());
        errno = err;
        return MAP_FAILED;
    }
    trace(t, "mmap %s length=%zu %s %s offset=%lld -> ok", path, len, prot_text(prot, pbuf, sizeof pbuf), type, off);
    return p;
}

static void *do_mmap(void *addr, size_t len, int prot, int flags, int fd, long long off)
{
    // Plain system calls for the program's own mappings: the sanitizer runtime
    // maps memory through here before anything is set up.
    OpenDev *od = (flags & MAP_ANONYMOUS) ? nullptr : find_open(fd);
    if (od)
        return map_device(od, addr, len, prot, flags, off);
    void *p = sys_mmap(addr, len, prot, flags, fd, (off_t)off);
    if (phase == Phase::playing && p != MAP_FAILED && (flags & MAP_FIXED))
        forget_range((char *)p, len);
    return p;
}

// Unmaps a mapping of a simulated device, traced; false when ADDR starts none.
static bool unmap_device(void *addr, size_t len, int &result)
{
    for (size_t d = 0; d < sim->devs.size(); d++) {
        for (const Mapping &m : sim->devs[d].maps) {
            if (m.addr != addr)
                continue;
            long long t = trace_now();
            const char *path = sim->sc.devices[d].path.c_str();
            int err = 0;
            if (!injected("munmap", err) && syscall(SYS_munmap, addr, len) != 0)
                err = errno;
            if (err) {
                trace(t, "munmap %s length=%zu -> -1 %s", path, len, err_text(err).c_str());
                errno = err;
                result = -1;
                return true;
            }
            forget_range((char *)addr, len);
            trace(t, "munmap %s length=%zu -> 0", path, len);
            result = 0;
            return true;
        }
    }
    return false;
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
    int r;
    if (phase == Phase::playing && unmap_device(addr, len, r))
        return r;
    r = (int)syscall(SYS_munmap, addr, len);
    if (r == 0 && phase == Phase::playing)
        forget_range((char *)addr, len);
    return r;
}

} // extern "C"
