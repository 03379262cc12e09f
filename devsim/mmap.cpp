// Memory mappings: a mapping of a V4L1 capture device is shared anonymous
// memory that VIDIOCSYNC fills with frames, one of a V4L2 capture device a
// buffer of the device's memory; every other mapping is the kernel's.
#include "preload.h"
#include "v4l2.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

void *sys_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
#ifdef SYS_mmap
    return (void *)syscall(SYS_mmap, addr, len, prot, flags, fd, off);
#else
    return (void *)syscall(SYS_mmap2, addr, len, prot, flags, fd, off / 4096);
#endif
}

// Forgets the mappings of a range the program unmaps or maps over, so that no
// frame is ever copied to memory that is gone; a V4L2 queue waiting for its
// last mapping to go is then released.
static void forget_range(const char *lo, size_t len)
{
    for (size_t d = 0; d < sim->devs.size(); d++) {
        DevState &ds = sim->devs[d];
        bool buffer_gone = false;
        for (size_t i = 0; i < ds.maps.size();) {
            const Mapping &m = ds.maps[i];
            if (m.addr < lo + len && lo < m.addr + m.length) {
                buffer_gone |= m.buffer >= 0;
                ds.maps.erase(ds.maps.begin() + i);
            } else {
                i++;
            }
        }
        if (buffer_gone)
            v4l2_unmapped((int)d);
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

// Why a V4L2 device refuses the mapping: only a whole buffer or the start of
// one, at its offset, shared; a write mapping needs a descriptor open for it.
static int buffer_mapping_refusal(const OpenDev &od, size_t len, int prot, int flags, long long off, int &buffer)
{
    if ((flags & MAP_TYPE) == MAP_SHARED && (prot & PROT_WRITE) && (od.flags & O_ACCMODE) != O_RDWR)
        return EACCES;
    buffer = v4l2_buffer_at(od.dev, off);
    if (buffer < 0 || len == 0 || len > v4l2_state(od.dev).length || (flags & MAP_TYPE) != MAP_SHARED)
        return EINVAL;
    return 0;
}

// Why the device refuses the mapping (0: it takes it).
static int mapping_refusal(const OpenDev &od, size_t len, int prot, int flags, long long off, int &buffer)
{
    const Device &dev = sim->sc.devices[od.dev];
    if (dev.kind != DeviceKind::capture)
        return ENODEV;
    if (dev.v4l2)
        return buffer_mapping_refusal(od, len, prot, flags, off, buffer);
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
    int err = 0, buffer = -1;
    if (!injected("mmap", err))
        err = mapping_refusal(*od, len, prot, flags, off, buffer);
    void *p = MAP_FAILED;
    if (!err) {
        // A V4L2 buffer is a piece of the device's memory; a V4L1 buffer is
        // memory of its own that each grab copies the frame into.
        if (buffer >= 0)
            p = sys_mmap(addr, len, prot, flags, v4l2_memory_fd(od->dev), (off_t)off);
        else
            p = sys_mmap(addr, len, prot, (flags & ~MAP_TYPE) | MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            err = errno;
        } else {
            if (flags & MAP_FIXED)
                forget_range((char *)p, len);
            sim->devs[od->dev].maps.push_back({(char *)p, len, buffer});
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
