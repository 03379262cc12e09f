// The simulated decoder, frontend, capture device and mixer: what each
// request does, and its trace line. The sliced-VBI output is in vbi.cpp.
#include "devices.h"
#include "v4l2.h"

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

std::string fmt(const char *f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// ---- poll steps ---------------------------------------------------------

bool begin_poll()
{
    if (sim->polls_done)
        return false;
    if (sim->step < 0) {
        sim->step = 0;
        sim->step_polls_taken = 1;
    } else if (sim->step_polls_taken < sim->sc.steps[sim->step].times) {
        sim->step_polls_taken++;
    } else {
        sim->step++;
        sim->step_polls_taken = 1;
    }
    if (sim->step >= (int)sim->sc.steps.size()) {
        sim->polls_done = true;
        return false;
    }
    return true;
}

const PollStep *current_step()
{
    if (sim->sc.steps.empty())
        return nullptr;
    if (sim->step < 0)
        return &sim->sc.steps[0];
    if (sim->step >= (int)sim->sc.steps.size())
        return &sim->sc.steps.back();
    return &sim->sc.steps[sim->step];
}

bool polls_used_up()
{
    return sim->polls_done;
}


// ---- decoder and frontend -----------------------------------------------

static void get_status(void *arg, RequestOutcome &o)
{
    if (sim->poll_began_at_frontend)
        sim->poll_began_at_frontend = false; // this poll began with the frontend
    else if (!begin_poll()) {
        o.err = EIO;
        return;
    }
    const PollStep *st = current_step();
    struct video_status vs {};
    vs.play_state = VIDEO_PLAYING;
    vs.stream_source = VIDEO_SOURCE_DEMUX;
    vs.video_format = (video_format_t)st->video_format;
    if (!user_copy(arg, &vs, sizeof vs)) {
        o.err = EFAULT;
        return;
    }
    const char *word = video_format_word(st->video_format);
    o.reply_text = fmt(" video_format=%d", st->video_format) + (word ? fmt(" (%s)", word) : "");
}

static void read_fe_status(void *arg, RequestOutcome &o)
{
    sim->poll_began_at_frontend = false;
    if (!begin_poll()) {
        o.err = EIO;
        return;
    }
    sim->poll_began_at_frontend = true;
    bool lock = current_step()->lock;
    fe_status_t status =
        lock ? (fe_status_t)(FE_HAS_SIGNAL | FE_HAS_CARRIER | FE_HAS_VITERBI | FE_HAS_SYNC | FE_HAS_LOCK)
             : (fe_status_t)(FE_HAS_SIGNAL | FE_HAS_CARRIER);
    if (!user_copy(arg, &status, sizeof status)) {
        o.err = EFAULT;
        return;
    }
    o.reply_text = fmt(" status=0x%02x (%s)", (unsigned)status, lock ? "lock" : "no lock");
}

// Writes the picture to the first free still-NNN.mpg, straight from the
// program's memory, so that a bad pointer gives EFAULT.
static void save_still(const Device &dev, const char *data, int size, RequestOutcome &o)
{
    char name[64];
    int fd = -1;
    for (int n = 1; fd < 0 && n < 1000000; n++) {
        snprintf(name, sizeof name, "still-%03d.mpg", n);
        std::string path = dev.stills + "/" + name;
        fd = (int)syscall(SYS_openat, AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) {
            o.err = errno;
            return;
        }
    }
    long done = 0;
    while (done < size) {
        long w = syscall(SYS_write, fd, data + done, (size_t)(size - done));
        if (w <= 0) {
            o.err = w < 0 ? errno : EIO;
            syscall(SYS_close, fd);
            syscall(SYS_unlinkat, AT_FDCWD, (dev.stills + "/" + name).c_str(), 0);
            return;
        }
        done += w;
    }
    syscall(SYS_close, fd);
    o.reply_text = fmt(" (%s)", name);
}

static void still_picture(const OpenDev &od, void *arg, RequestOutcome &o)
{
    const Device &dev = sim->sc.devices[od.dev];
    struct video_still_picture sp;
    if (!user_copy(&sp, arg, sizeof sp)) {
        o.err = EFAULT;
        return;
    }
    o.args_text = fmt(" size=%d", (int)sp.size);
    if ((od.flags & O_ACCMODE) == O_RDONLY) {
        o.err = EPERM; // the driver takes pictures only from a writer
        return;
    }
    if (sp.size < 0) {
        o.err = EINVAL;
        return;
    }
    if (!dev.stills.empty()) {
        save_still(dev, sp.iFrame, sp.size, o);
        return;
    }
    // No folder: still read every page, as the driver would.
    char c;
    for (long off = 0; off < sp.size; off += 4096) {
        if (!user_copy(&c, sp.iFrame + off, 1)) {
            o.err = EFAULT;
            return;
        }
    }
    if (sp.size > 0 && !user_copy(&c, sp.iFrame + sp.size - 1, 1))
        o.err = EFAULT;
}

// ---- capture ----------------------------------------------------------------

// The last frame stays cached, as polls repeat frames.
bool load_frame(const PollStep &st)
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

static void capture_sync(OpenDev &od, void *arg, RequestOutcome &o)
{
    int frame;
    if (!user_copy(&frame, arg, sizeof frame)) {
        o.err = EFAULT;
        return;
    }
    o.args_text = fmt(" frame=%d", frame);
    if (frame != 0 || !od.capture_queued) {
        o.err = EINVAL;
        return;
    }
    od.capture_queued = false;
    const PollStep *st = current_step();
    if (st && !st->frame.empty()) {
        if (!load_frame(*st)) {
            o.err = EIO; // the frame file went away after the check
            return;
        }
        for (const Mapping &m : sim->devs[od.dev].maps)
            memcpy(m.addr, sim->frame.data(), m.length < sim->frame.size() ? m.length : sim->frame.size());
        o.reply_text = " (" + st->frame + ")";
    } else {
        o.reply_text = " (unchanged)";
    }
    pass_time(sim->sc.capture_ns);
}

static void capture_request(OpenDev &od, const Request &r, void *arg, RequestOutcome &o)
{
    const Device &dev = sim->sc.devices[od.dev];
    if (r.number == VIDIOCGMBUF) {
        struct video_mbuf mb {};
        mb.size = (int)dev.mbuf;
        mb.frames = 1;
        if (!user_copy(arg, &mb, sizeof mb))
            o.err = EFAULT;
        else
            o.reply_text = fmt(" size=%d frames=1", mb.size);
    } else if (r.number == VIDIOCGCAP) {
        struct video_capability cap {};
        snprintf(cap.name, sizeof cap.name, "devsim capture");
        cap.type = 1; // can capture
        cap.channels = 1;
        cap.maxwidth = cap.minwidth = dev.width;
        cap.maxheight = cap.minheight = dev.height;
        if (!user_copy(arg, &cap, sizeof cap))
            o.err = EFAULT;
        else
            o.reply_text = fmt(" maxwidth=%d maxheight=%d", dev.width, dev.height);
    } else if (r.number == VIDIOCMCAPTURE) {
        struct video_mmap vm;
        if (!user_copy(&vm, arg, sizeof vm)) {
            o.err = EFAULT;
            return;
        }
        o.args_text = fmt(" frame=%u width=%d height=%d format=%u", vm.frame, vm.width, vm.height, vm.format);
        if (vm.frame != 0 || vm.width != dev.width || vm.height != dev.height || vm.format != VIDEO_PALETTE_GREY)
            o.err = EINVAL;
        else
            od.capture_queued = true;
    } else {
        capture_sync(od, arg, o);
    }
}

// ---- mixer -------------------------------------------------------------------

static void mixer_request(const OpenDev &od, const Request &r, void *arg, RequestOutcome &o)
{
    const Device &dev = sim->sc.devices[od.dev];
    DevState &ds = sim->devs[od.dev];
    int level;
    if (r.number == SOUND_MIXER_WRITE_CD) {
        if (!user_copy(&level, arg, sizeof level)) {
            o.err = EFAULT;
            return;
        }
        o.args_text = fmt(" level=0x%x", (unsigned)level);
        if (!dev.has_cd)
            o.err = EINVAL;
        else
            ds.cd_level = level;
        return;
    }
    if (!dev.has_cd) {
        o.err = EINVAL; // no CD channel on this card
        return;
    }
    if (!user_copy(arg, &ds.cd_level, sizeof ds.cd_level))
        o.err = EFAULT;
    else
        o.reply_text = fmt(" level=0x%x", (unsigned)ds.cd_level);
}

// The arguments of a request, for the trace line of an injected failure
// (the handlers below describe them the same way).
static std::string describe_input(const Device &dev, unsigned long req, void *arg)
{
    if (dev.v4l2) {
        return v4l2_describe(req, arg);
    } else if (req == VIDIOCMCAPTURE) {
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

// What the request does on a device of its kind.
static void play_request(OpenDev &od, const Request &r, void *arg, RequestOutcome &o)
{
    if (r.number == VIDEO_GET_STATUS) {
        get_status(arg, o);
    } else if (r.number == VIDEO_STILLPICTURE) {
        still_picture(od, arg, o);
    } else if (r.number == VIDEO_PLAY) {
        if ((od.flags & O_ACCMODE) == O_RDONLY)
            o.err = EPERM;
    } else if (r.number == FE_READ_STATUS) {
        read_fe_status(arg, o);
    } else if (sim->sc.devices[od.dev].v4l2) {
        v4l2_request(od, r, arg, o);
    } else if (r.answered_on & on_v4l1_capture) {
        capture_request(od, r, arg, o);
    } else if (r.number == VIDIOC_S_FMT) {
        set_vbi_format(od, arg, o);
    } else {
        mixer_request(od, r, arg, o);
    }
}

int device_ioctl(OpenDev &od, unsigned long req, void *arg)
{
    long long t = trace_now();
    const char *path = od.path_as_given.c_str();
    const Request *r = find_request(req);
    if (!r) {
        if (req == s_fmt_other)
            trace(t, "VIDIOC_S_FMT %s request=0x%lx (%s) -> -1 ENOTTY", path, req, s_fmt_other_label);
        else
            trace(t, "ioctl %s request=0x%lx -> -1 ENOTTY", path, req);
        errno = ENOTTY;
        return -1;
    }
    const Device &dev = sim->sc.devices[od.dev];
    RequestOutcome o;
    if (injected(r->name, o.err))
        o.args_text = describe_input(dev, req, arg);
    else if (!(r->answered_on & answerer_bit(dev.kind, dev.v4l2)))
        o.err = ENOTTY;
    else
        play_request(od, *r, arg, o);
    if (o.err) {
        trace(t, "%s %s%s -> -1 %s", r->name, path, o.args_text.c_str(), err_text(o.err).c_str());
        errno = o.err;
        return -1;
    }
    trace(t, "%s %s%s -> 0%s", r->name, path, o.args_text.c_str(), o.reply_text.c_str());
    return 0;
}
