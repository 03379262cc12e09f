// The simulated devices: what each request and write does, and its trace line.
#include "preload.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/dvb/frontend.h>
#include <linux/dvb/video.h>
#include <linux/soundcard.h>
#include <linux/videodev.h>
#include <linux/videodev2.h>
#include <sys/syscall.h>
#include <unistd.h>

// VIDIOC_S_FMT as a program of the other word size would send it: struct
// v4l2_format is 204 bytes on 32-bit systems and 208 on 64-bit ones.
static const unsigned long s_fmt_other =
    _IOC(_IOC_READ | _IOC_WRITE, 'V', 5, sizeof(struct v4l2_format) == 208 ? 204 : 208);
static const char *const s_fmt_other_label = sizeof(struct v4l2_format) == 208 ? "32-bit layout" : "64-bit layout";

struct Request {
    unsigned long number;
    const char *name;
    DeviceKind kind;
};

static const Request requests[] = {
    {VIDEO_GET_STATUS, "VIDEO_GET_STATUS", DeviceKind::decoder},
    {VIDEO_STILLPICTURE, "VIDEO_STILLPICTURE", DeviceKind::decoder},
    {VIDEO_PLAY, "VIDEO_PLAY", DeviceKind::decoder},
    {FE_READ_STATUS, "FE_READ_STATUS", DeviceKind::frontend},
    {VIDIOCGMBUF, "VIDIOCGMBUF", DeviceKind::capture},
    {VIDIOCGCAP, "VIDIOCGCAP", DeviceKind::capture},
    {VIDIOCMCAPTURE, "VIDIOCMCAPTURE", DeviceKind::capture},
    {VIDIOCSYNC, "VIDIOCSYNC", DeviceKind::capture},
    {VIDIOC_S_FMT, "VIDIOC_S_FMT", DeviceKind::vbi},
    {SOUND_MIXER_READ_CD, "SOUND_MIXER_READ_CD", DeviceKind::mixer},
    {SOUND_MIXER_WRITE_CD, "SOUND_MIXER_WRITE_CD", DeviceKind::mixer},
};

// What one request did: the arguments it was given, its error (0: success)
// and what it answered.
struct Answer {
    std::string in;
    int err = 0;
    std::string out;
};

static std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
static std::string fmt(const char *f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// ---- poll steps ---------------------------------------------------------

// Moves to the next poll; false when the steps are used up.
static bool begin_poll()
{
    if (sim->polls_done)
        return false;
    if (sim->step < 0) {
        sim->step = 0;
        sim->step_used = 1;
    } else if (sim->step_used < sim->sc.steps[sim->step].times) {
        sim->step_used++;
    } else {
        sim->step++;
        sim->step_used = 1;
    }
    if (sim->step >= (int)sim->sc.steps.size()) {
        sim->polls_done = true;
        return false;
    }
    return true;
}

static const PollStep *current_step()
{
    if (sim->sc.steps.empty())
        return nullptr;
    if (sim->step < 0)
        return &sim->sc.steps[0];
    if (sim->step >= (int)sim->sc.steps.size())
        return &sim->sc.steps.back();
    return &sim->sc.steps[sim->step];
}

static const char *format_label(int f)
{
    return f == VIDEO_FORMAT_4_3     ? " (4:3)"
           : f == VIDEO_FORMAT_16_9  ? " (16:9)"
           : f == VIDEO_FORMAT_221_1 ? " (2.21:1)"
                                     : "";
}

// ---- decoder and frontend -----------------------------------------------

static void get_status(void *arg, Answer &a)
{
    if (sim->fe_began_poll)
        sim->fe_began_poll = false; // this poll began with the frontend
    else if (!begin_poll()) {
        a.err = EIO;
        return;
    }
    const PollStep *st = current_step();
    struct video_status vs {};
    vs.play_state = VIDEO_PLAYING;
    vs.stream_source = VIDEO_SOURCE_DEMUX;
    vs.video_format = (video_format_t)st->video_format;
    if (!user_copy(arg, &vs, sizeof vs)) {
        a.err = EFAULT;
        return;
    }
    a.out = fmt(" video_format=%d%s", st->video_format, format_label(st->video_format));
}

static void read_fe_status(void *arg, Answer &a)
{
    sim->fe_began_poll = false;
    if (!begin_poll()) {
        a.err = EIO;
        return;
    }
    sim->fe_began_poll = true;
    bool lock = current_step()->lock;
    fe_status_t status =
        lock ? (fe_status_t)(FE_HAS_SIGNAL | FE_HAS_CARRIER | FE_HAS_VITERBI | FE_HAS_SYNC | FE_HAS_LOCK)
             : (fe_status_t)(FE_HAS_SIGNAL | FE_HAS_CARRIER);
    if (!user_copy(arg, &status, sizeof status)) {
        a.err = EFAULT;
        return;
    }
    a.out = fmt(" status=0x%02x (%s)", (unsigned)status, lock ? "lock" : "no lock");
}

// Writes the picture to the first free still-NNN.mpg, straight from the
// program's memory, so that a bad pointer gives EFAULT.
static void save_still(const Device &dev, const char *data, int size, Answer &a)
{
    char name[64];
    int fd = -1;
    for (int n = 1; fd < 0 && n < 1000000; n++) {
        snprintf(name, sizeof name, "still-%03d.mpg", n);
        std::string path = dev.stills + "/" + name;
        fd = (int)syscall(SYS_openat, AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) {
            a.err = errno;
            return;
        }
    }
    long done = 0;
    while (done < size) {
        long w = syscall(SYS_write, fd, data + done, (size_t)(size - done));
        if (w <= 0) {
            a.err = w < 0 ? errno : EIO;
            syscall(SYS_close, fd);
            syscall(SYS_unlinkat, AT_FDCWD, (dev.stills + "/" + name).c_str(), 0);
            return;
        }
        done += w;
    }
    syscall(SYS_close, fd);
    a.out = fmt(" (%s)", name);
}

static void still_picture(const OpenDev &od, void *arg, Answer &a)
{
    const Device &dev = sim->sc.devices[od.dev];
    struct video_still_picture sp;
    if (!user_copy(&sp, arg, sizeof sp)) {
        a.err = EFAULT;
        return;
    }
    a.in = fmt(" size=%d", (int)sp.size);
    if ((od.flags & O_ACCMODE) == O_RDONLY) {
        a.err = EPERM; // the driver takes pictures only from a writer
        return;
    }
    if (sp.size < 0) {
        a.err = EINVAL;
        return;
    }
    if (!dev.stills.empty()) {
        save_still(dev, sp.iFrame, sp.size, a);
        return;
    }
    // No folder: still read every page, as the driver would.
    char c;
    for (long off = 0; off < sp.size; off += 4096) {
        if (!user_copy(&c, sp.iFrame + off, 1)) {
            a.err = EFAULT;
            return;
        }
    }
    if (sp.size > 0 && !user_copy(&c, sp.iFrame + sp.size - 1, 1))
        a.err = EFAULT;
}

// ---- capture ----------------------------------------------------------------

// Loads a frame's pixels; the last one stays cached, as polls repeat frames.
static bool load_frame(const PollStep &st)
{
    if (sim->frame_file == st.frame_path)
        return true;
    size_t n = (size_t)st.frame_width * st.frame_height;
    std::vector<unsigned char> px(n);
    int fd = (int)syscall(SYS_openat, AT_FDCWD, st.frame_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t got = 0;
    while (got < n) {
        // libc rather than the raw call: 32-bit ABIs pass the offset in a register pair
        long r = pread(fd, px.data() + got, n - got, (off_t)(st.frame_offset + got));
        if (r <= 0)
            break;
        got += (size_t)r;
    }
    syscall(SYS_close, fd);
    if (got < n)
        return false;
    sim->frame.swap(px);
    sim->frame_file = st.frame_path;
    return true;
}

static void capture_sync(OpenDev &od, void *arg, Answer &a)
{
    int frame;
    if (!user_copy(&frame, arg, sizeof frame)) {
        a.err = EFAULT;
        return;
    }
    a.in = fmt(" frame=%d", frame);
    if (frame != 0 || !od.capture_queued) {
        a.err = EINVAL;
        return;
    }
    od.capture_queued = false;
    const PollStep *st = current_step();
    if (st && !st->frame.empty()) {
        if (!load_frame(*st)) {
            a.err = EIO; // the frame file went away after the check
            return;
        }
        for (const Mapping &m : sim->devs[od.dev].maps)
            memcpy(m.addr, sim->frame.data(), m.length < sim->frame.size() ? m.length : sim->frame.size());
        a.out = " (" + st->frame + ")";
    } else {
        a.out = " (unchanged)";
    }
    pass_time(sim->sc.capture_ns);
}

static void capture_request(OpenDev &od, const Request &r, void *arg, Answer &a)
{
    const Device &dev = sim->sc.devices[od.dev];
    if (r.number == VIDIOCGMBUF) {
        struct video_mbuf mb {};
        mb.size = (int)dev.mbuf;
        mb.frames = 1;
        if (!user_copy(arg, &mb, sizeof mb))
            a.err = EFAULT;
        else
            a.out = fmt(" size=%d frames=1", mb.size);
    } else if (r.number == VIDIOCGCAP) {
        struct video_capability cap {};
        snprintf(cap.name, sizeof cap.name, "devsim capture");
        cap.type = 1; // can capture
        cap.channels = 1;
        cap.maxwidth = cap.minwidth = dev.width;
        cap.maxheight = cap.minheight = dev.height;
        if (!user_copy(arg, &cap, sizeof cap))
            a.err = EFAULT;
        else
            a.out = fmt(" maxwidth=%d maxheight=%d", dev.width, dev.height);
    } else if (r.number == VIDIOCMCAPTURE) {
        struct video_mmap vm;
        if (!user_copy(&vm, arg, sizeof vm)) {
            a.err = EFAULT;
            return;
        }
        a.in = fmt(" frame=%u width=%d height=%d format=%u", vm.frame, vm.width, vm.height, vm.format);
        if (vm.frame != 0 || vm.width != dev.width || vm.height != dev.height || vm.format != VIDEO_PALETTE_GREY)
            a.err = EINVAL;
        else
            od.capture_queued = true;
    } else {
        capture_sync(od, arg, a);
    }
}

// ---- sliced VBI and mixer ---------------------------------------------------

static void set_format(OpenDev &od, void *arg, Answer &a)
{
    struct v4l2_format f;
    if (!user_copy(&f, arg, sizeof f)) {
        a.err = EFAULT;
        return;
    }
    a.in = fmt(" type=%u service_set=0x%x", f.type, f.fmt.sliced.service_set);
    if (f.type != V4L2_BUF_TYPE_SLICED_VBI_OUTPUT || f.fmt.sliced.service_set != V4L2_SLICED_WSS_625) {
        a.err = EINVAL;
        return;
    }
    memset(f.fmt.sliced.service_lines, 0, sizeof f.fmt.sliced.service_lines);
    f.fmt.sliced.service_lines[0][23] = V4L2_SLICED_WSS_625;
    f.fmt.sliced.io_size = sizeof(struct v4l2_sliced_vbi_data);
    if (!user_copy(arg, &f, sizeof f)) {
        a.err = EFAULT;
        return;
    }
    od.format_set = true;
}

static void mixer_request(const OpenDev &od, const Request &r, void *arg, Answer &a)
{
    const Device &dev = sim->sc.devices[od.dev];
    DevState &ds = sim->devs[od.dev];
    int level;
    if (r.number == SOUND_MIXER_WRITE_CD) {
        if (!user_copy(&level, arg, sizeof level)) {
            a.err = EFAULT;
            return;
        }
        a.in = fmt(" level=0x%x", (unsigned)level);
        if (!dev.has_cd)
            a.err = EINVAL;
        else
            ds.cd_level = level;
        return;
    }
    if (!dev.has_cd) {
        a.err = EINVAL; // no CD channel on this card
        return;
    }
    if (!user_copy(arg, &ds.cd_level, sizeof ds.cd_level))
        a.err = EFAULT;
    else
        a.out = fmt(" level=0x%x", (unsigned)ds.cd_level);
}

// The arguments of a request, for the trace line of an injected failure
// (the handlers below describe them the same way).
static std::string describe_input(unsigned long req, void *arg)
{
    if (req == VIDIOCMCAPTURE) {
        struct video_mmap vm;
        if (user_copy(&vm, arg, sizeof vm))
            return fmt(" frame=%u width=%d height=%d format=%u", vm.frame, vm.width, vm.height, vm.format);
    } else if (req == VIDIOCSYNC) {
        int frame;
        if (user_copy(&frame, arg, sizeof frame))
            return fmt(" frame=%d", frame);
    } else if (req == VIDIOC_S_FMT) {
        struct v4l2_format f;
        if (user_copy(&f, arg, sizeof f))
            return fmt(" type=%u service_set=0x%x", f.type, f.fmt.sliced.service_set);
    } else if (req == VIDEO_STILLPICTURE) {
        struct video_still_picture sp;
        if (user_copy(&sp, arg, sizeof sp))
            return fmt(" size=%d", (int)sp.size);
    } else if (req == SOUND_MIXER_WRITE_CD) {
        int level;
        if (user_copy(&level, arg, sizeof level))
            return fmt(" level=0x%x", (unsigned)level);
    }
    return "";
}

int device_ioctl(OpenDev &od, unsigned long req, void *arg)
{
    long long t = trace_now();
    const Device &dev = sim->sc.devices[od.dev];
    const Request *r = nullptr;
    for (const Request &q : requests)
        if (q.number == req)
            r = &q;
    if (!r) {
        if (req == s_fmt_other)
            trace(t, "VIDIOC_S_FMT %s request=0x%lx (%s) -> -1 ENOTTY", od.shown.c_str(), req, s_fmt_other_label);
        else
            trace(t, "ioctl %s request=0x%lx -> -1 ENOTTY", od.shown.c_str(), req);
        errno = ENOTTY;
        return -1;
    }

    Answer a;
    int inj = 0;
    if (injected(r->name, inj)) {
        a.in = describe_input(req, arg);
        a.err = inj;
    } else if (r->kind != dev.kind) {
        a.err = ENOTTY;
    } else if (req == VIDEO_GET_STATUS) {
        get_status(arg, a);
    } else if (req == VIDEO_STILLPICTURE) {
        still_picture(od, arg, a);
    } else if (req == VIDEO_PLAY) {
        if ((od.flags & O_ACCMODE) == O_RDONLY)
            a.err = EPERM;
    } else if (req == FE_READ_STATUS) {
        read_fe_status(arg, a);
    } else if (r->kind == DeviceKind::capture) {
        capture_request(od, *r, arg, a);
    } else if (req == VIDIOC_S_FMT) {
        set_format(od, arg, a);
    } else {
        mixer_request(od, *r, arg, a);
    }

    if (a.err) {
        trace(t, "%s %s%s -> -1 %s", r->name, od.shown.c_str(), a.in.c_str(), err_text(a.err).c_str());
        errno = a.err;
        return -1;
    }
    trace(t, "%s %s%s -> 0%s", r->name, od.shown.c_str(), a.in.c_str(), a.out.c_str());
    return 0;
}

// ---- write ------------------------------------------------------------------

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

static bool append_record(const std::string &file, const void *rec, size_t n, int &err)
{
    errno = 0;
    int fd = (int)syscall(SYS_openat, AT_FDCWD, file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || syscall(SYS_write, fd, rec, n) != (long)n) {
        err = errno ? errno : EIO;
        if (fd >= 0)
            syscall(SYS_close, fd);
        return false;
    }
    syscall(SYS_close, fd);
    return true;
}

static ssize_t vbi_write(OpenDev &od, const void *buf, size_t n, long long t)
{
    const Device &dev = sim->sc.devices[od.dev];
    struct v4l2_sliced_vbi_data rec;
    static_assert(sizeof rec == 64, "sliced VBI record");
    std::string in;
    int err = 0;
    bool have = n == sizeof rec && user_copy(&rec, buf, sizeof rec);
    if (have)
        in = fmt(" id=%s field=%u line=%u data=%02x %02x", rec.id ? fmt("0x%x", rec.id).c_str() : "0", rec.field,
                 rec.line, rec.data[0], rec.data[1]);
    else
        in = fmt(" count=%zu", n);
    if (injected("write", err)) {
    } else if ((od.flags & O_ACCMODE) == O_RDONLY) {
        err = EBADF;
    } else if (n == sizeof rec && !have) {
        err = EFAULT;
    } else if (n != sizeof rec || !od.format_set || (rec.id != 0 && rec.id != V4L2_SLICED_WSS_625) || rec.field != 0
               || rec.line != 23) {
        err = EINVAL;
    } else if (!dev.records.empty() && !append_record(dev.records, &rec, sizeof rec, err)) {
    } else {
        trace(t, "write %s%s -> 64%s", od.shown.c_str(), in.c_str(), wss_text(rec).c_str());
        return 64;
    }
    trace(t, "write %s%s -> -1 %s", od.shown.c_str(), in.c_str(), err_text(err).c_str());
    errno = err;
    return -1;
}

ssize_t device_write(OpenDev &od, const void *buf, size_t n)
{
    long long t = trace_now();
    if (sim->sc.devices[od.dev].kind == DeviceKind::vbi)
        return vbi_write(od, buf, n, t);
    int err = 0;
    long r = -1;
    if (!injected("write", err)) {
        r = syscall(SYS_write, od.fd, buf, n); // the /dev/null behind it
        if (r < 0)
            err = errno;
    }
    if (r < 0) {
        trace(t, "write %s count=%zu -> -1 %s", od.shown.c_str(), n, err_text(err).c_str());
        errno = err;
        return -1;
    }
    trace(t, "write %s count=%zu -> %ld", od.shown.c_str(), n, r);
    return r;
}
