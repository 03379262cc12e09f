// The V4L2 sliced-VBI output, as strict as the strictest real driver: the WSS
// format request, and writes of 64-byte records for line 23, which the trace
// decodes as a television reads them and `records=` keeps.
#include "devices.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/syscall.h>
#include <unistd.h>

void set_vbi_format(OpenDev &od, void *arg, RequestOutcome &o)
{
    struct v4l2_format f;
    if (!user_copy(&f, arg, sizeof f)) {
        o.err = EFAULT;
        return;
    }
    o.args_text = fmt(" type=%u service_set=0x%x", f.type, f.fmt.sliced.service_set);
    if (f.type != V4L2_BUF_TYPE_SLICED_VBI_OUTPUT || f.fmt.sliced.service_set != V4L2_SLICED_WSS_625) {
        o.err = EINVAL;
        return;
    }
    memset(f.fmt.sliced.service_lines, 0, sizeof f.fmt.sliced.service_lines);
    f.fmt.sliced.service_lines[0][23] = V4L2_SLICED_WSS_625;
    f.fmt.sliced.io_size = sizeof(struct v4l2_sliced_vbi_data);
    if (!user_copy(arg, &f, sizeof f)) {
        o.err = EFAULT;
        return;
    }
    od.format_set = true;
}

// The aspect-ratio group of EN 300 294 (bits b0..b3, b3 an odd-parity bit).
static const char *aspect_label(unsigned code)
{
    switch (code & 0xf) {
    case 0x8:
        return "4:3 full format";
    case 0x1:
        return "14:9 letterbox, centre";
    case 0x2:
        return "14:9 letterbox, top";
    case 0xb:
        return "16:9 letterbox, centre";
    case 0x4:
        return "16:9 letterbox, top";
    case 0xd:
        return "greater than 16:9 letterbox, centre";
    case 0xe:
        return "14:9 full format";
    case 0x7:
        return "16:9 full format (anamorphic)";
    default:
        return nullptr;
    }
}

static std::string wss_text(const struct v4l2_sliced_vbi_data &rec)
{
    if (rec.id == 0)
        return " (WSS off)";
    unsigned code = rec.data[0] | (rec.data[1] & 0x3fu) << 8;
    if (const char *label = aspect_label(code))
        return fmt(" (WSS 0x%x: %s)", code, label);
    return fmt(" (WSS 0x%x: bad parity; b0-b2 as in %s)", code, aspect_label(code ^ 0x8));
}

// Appends to the file the launcher created (0, or the errno of the failure);
// never through a symbolic link, so that a link put in its place cannot lead
// the records into another file.
static int append_record(const std::string &file, const void *rec, size_t n)
{
    errno = 0;
    int fd =
        (int)syscall(SYS_openat, AT_FDCWD, file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno ? errno : EIO;
    int err = 0;
    if (syscall(SYS_write, fd, rec, n) != (long)n)
        err = errno ? errno : EIO;
    syscall(SYS_close, fd);
    return err;
}

// Why the device refuses the write (0: it takes it). HAVE: the record was
// copied from the program's memory.
static int record_refusal(const OpenDev &od, size_t n, bool have, const struct v4l2_sliced_vbi_data &rec)
{
    if ((od.flags & O_ACCMODE) == O_RDONLY)
        return EBADF;
    if (n == sizeof rec && !have)
        return EFAULT;
    if (n != sizeof rec || !od.format_set || (rec.id != 0 && rec.id != V4L2_SLICED_WSS_625) || rec.field != 0
        || rec.line != 23)
        return EINVAL;
    return 0;
}

ssize_t vbi_write(OpenDev &od, const void *buf, size_t n)
{
    long long t = trace_now();
    const Device &dev = sim->sc.devices[od.dev];
    struct v4l2_sliced_vbi_data rec;
    static_assert(sizeof rec == 64, "sliced VBI record");
    std::string args;
    int err = 0;
    bool have = n == sizeof rec && user_copy(&rec, buf, sizeof rec);
    if (have)
        args = fmt(" id=%s field=%u line=%u data=%02x %02x", rec.id ? fmt("0x%x", rec.id).c_str() : "0", rec.field,
                   rec.line, rec.data[0], rec.data[1]);
    else
        args = fmt(" count=%zu", n);
    if (!injected("write", err))
        err = record_refusal(od, n, have, rec);
    if (!err && !dev.records.empty())
        err = append_record(dev.records, &rec, sizeof rec);
    if (err) {
        trace(t, "write %s%s -> -1 %s", od.path_as_given.c_str(), args.c_str(), err_text(err).c_str());
        errno = err;
        return -1;
    }
    trace(t, "write %s%s -> 64%s", od.path_as_given.c_str(), args.c_str(), wss_text(rec).c_str());
    return 64;
}
