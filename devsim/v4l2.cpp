// The V4L2 capture device's requests, as the kernel's V4L2 documentation
// describes them for a memory-mapping capture driver with one frame size:
// capabilities, formats, buffers, streaming. Its buffers and frame clock are
// in v4l2_queue.cpp.
#include "v4l2.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

static const uint32_t capture_type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
// Timestamps are taken from the monotonic clock when a frame is complete.
static const uint32_t timestamp_flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_EOF;

// ---- what the program asked, for the trace ----------------------------------

static std::string format_args(unsigned long req, const struct v4l2_format &f)
{
    std::string s = fmt(" type=%u", f.type);
    if (req != VIDIOC_G_FMT && f.type == capture_type)
        s += fmt(" %ux%u %s", f.fmt.pix.width, f.fmt.pix.height, fourcc_text(f.fmt.pix.pixelformat).c_str());
    return s;
}

static std::string buffer_args(unsigned long req, const struct v4l2_buffer &b)
{
    if (req == VIDIOC_QUERYBUF)
        return fmt(" index=%u type=%u", b.index, b.type);
    if (req == VIDIOC_QBUF)
        return fmt(" index=%u type=%u memory=%u", b.index, b.type, b.memory);
    return fmt(" type=%u memory=%u", b.type, b.memory);
}

// Copies the request's argument in; false where the program's pointer is bad.
template <typename T>
static bool copy_in(void *arg, T &value)
{
    return user_copy(&value, arg, sizeof value);
}

std::string v4l2_describe(unsigned long req, void *arg)
{
    struct v4l2_fmtdesc desc;
    struct v4l2_format f;
    struct v4l2_requestbuffers rb;
    struct v4l2_buffer b;
    int type;
    if (req == VIDIOC_ENUM_FMT && copy_in(arg, desc))
        return fmt(" index=%u type=%u", desc.index, desc.type);
    if ((req == VIDIOC_G_FMT || req == VIDIOC_S_FMT || req == VIDIOC_TRY_FMT) && copy_in(arg, f))
        return format_args(req, f);
    if (req == VIDIOC_REQBUFS && copy_in(arg, rb))
        return fmt(" count=%u type=%u memory=%u", rb.count, rb.type, rb.memory);
    if ((req == VIDIOC_QUERYBUF || req == VIDIOC_QBUF || req == VIDIOC_DQBUF) && copy_in(arg, b))
        return buffer_args(req, b);
    if ((req == VIDIOC_STREAMON || req == VIDIOC_STREAMOFF) && copy_in(arg, type))
        return fmt(" type=%d", type);
    return "";
}

// ---- capabilities and formats ------------------------------------------------

static void query_caps(void *arg, RequestOutcome &o)
{
    struct v4l2_capability cap {};
    snprintf((char *)cap.driver, sizeof cap.driver, "devsim");
    snprintf((char *)cap.card, sizeof cap.card, "devsim capture");
    snprintf((char *)cap.bus_info, sizeof cap.bus_info, "platform:devsim");
    cap.version = 6 << 16 | 1 << 8; // the kernel of Debian 12
    cap.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
    if (!user_copy(arg, &cap, sizeof cap)) {
        o.err = EFAULT;
        return;
    }
    o.reply_text = fmt(" driver=devsim capabilities=0x%08x device_caps=0x%08x", cap.capabilities, cap.device_caps);
}

static void enum_format(const Device &dev, void *arg, RequestOutcome &o)
{
    struct v4l2_fmtdesc desc;
    if (!copy_in(arg, desc)) {
        o.err = EFAULT;
        return;
    }
    o.args_text = fmt(" index=%u type=%u", desc.index, desc.type);
    if (desc.type != capture_type || desc.index >= dev.formats.size()) {
        o.err = EINVAL; // past the last format: the end of the list
        return;
    }
    const PixelFormat &f = *find_pixel_format(dev.formats[desc.index]);
    uint32_t index = desc.index;
    desc = {};
    desc.index = index;
    desc.type = capture_type;
    desc.flags = f.luma_step ? 0 : V4L2_FMT_FLAG_COMPRESSED;
    snprintf((char *)desc.description, sizeof desc.description, "%s", f.description);
    desc.pixelformat = f.fourcc;
    if (!user_copy(arg, &desc, sizeof desc))
        o.err = EFAULT;
    else
        o.reply_text = fmt(" %s", f.name);
}

// G_FMT answers the current format; TRY_FMT and S_FMT adjust the asked one:
// the device's one size, and its first format in place of one it does not
// offer (drivers adjust, they do not fail). S_FMT makes it current.
static void format_request(const OpenDev &od, unsigned long req, void *arg, RequestOutcome &o)
{
    const Device &dev = sim->sc.devices[od.dev];
    V4l2State &q = v4l2_state(od.dev);
    struct v4l2_format f;
    if (!copy_in(arg, f)) {
        o.err = EFAULT;
        return;
    }
    o.args_text = format_args(req, f);
    if (f.type != capture_type) {
        o.err = EINVAL;
        return;
    }
    if (req == VIDIOC_S_FMT && !q.buffers.empty()) {
        o.err = EBUSY; // the buffers were sized for the current format
        return;
    }
    uint32_t chosen = req == VIDIOC_G_FMT ? q.pixelformat : dev.formats[0];
    for (uint32_t offered : dev.formats)
        if (req != VIDIOC_G_FMT && offered == f.fmt.pix.pixelformat)
            chosen = offered;
    const PixelFormat &pf = *find_pixel_format(chosen);
    FrameLayout l = frame_layout(dev, pf);
    memset(&f.fmt, 0, sizeof f.fmt);
    struct v4l2_pix_format &p = f.fmt.pix;
    p.width = (uint32_t)dev.width;
    p.height = (uint32_t)dev.height;
    p.pixelformat = chosen;
    p.field = V4L2_FIELD_INTERLACED; // a full PAL or NTSC frame has both fields
    p.bytesperline = (uint32_t)l.bytesperline;
    p.sizeimage = (uint32_t)l.sizeimage;
    p.colorspace = V4L2_COLORSPACE_SMPTE170M;
    p.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    if (!user_copy(arg, &f, sizeof f)) {
        o.err = EFAULT;
        return;
    }
    if (req == VIDIOC_S_FMT)
        q.pixelformat = chosen;
    o.reply_text =
        fmt(" %ux%u %s bytesperline=%u sizeimage=%u", p.width, p.height, pf.name, p.bytesperline, p.sizeimage);
}

// ---- buffers ---------------------------------------------------------------

// The queue belongs to the descriptor that allocated the buffers.
static bool busy(const OpenDev &od)
{
    long long owner = v4l2_state(od.dev).owner;
    return owner && owner != od.id;
}

// Count 0 frees; any other count frees what there was and allocates anew,
// the scenario's buffers= or the count asked within 2 to 32. Buffers still
// mapped cannot be freed: the device does not orphan them.
static void request_buffers(const OpenDev &od, void *arg, RequestOutcome &o)
{
    const Device &dev = sim->sc.devices[od.dev];
    V4l2State &q = v4l2_state(od.dev);
    struct v4l2_requestbuffers rb;
    if (!copy_in(arg, rb)) {
        o.err = EFAULT;
        return;
    }
    o.args_text = fmt(" count=%u type=%u memory=%u", rb.count, rb.type, rb.memory);
    if (rb.type != capture_type || rb.memory != V4L2_MEMORY_MMAP)
        o.err = EINVAL;
    else if (busy(od) || v4l2_any_mapped(od.dev))
        o.err = EBUSY;
    if (o.err)
        return;
    v4l2_free(od.dev);
    uint32_t granted = rb.count == 0 ? 0 : dev.buffers ? dev.buffers : rb.count < 2 ? 2 : rb.count > 32 ? 32 : rb.count;
    if (granted && (o.err = v4l2_allocate(od.dev, granted)) != 0)
        return;
    if (granted)
        q.owner = od.id;
    rb.count = granted;
    rb.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    if (!user_copy(arg, &rb, sizeof rb))
        o.err = EFAULT;
    else
        o.reply_text = fmt(" count=%u", granted);
}

// The answer about buffer i that QUERYBUF, QBUF and DQBUF give.
static struct v4l2_buffer describe_buffer(int dev, int i)
{
    const V4l2State &q = v4l2_state(dev);
    const V4l2Buffer &vb = q.buffers[i];
    struct v4l2_buffer b {};
    b.index = (uint32_t)i;
    b.type = capture_type;
    b.memory = V4L2_MEMORY_MMAP;
    b.length = (uint32_t)q.length;
    b.m.offset = (uint32_t)(q.length * i);
    b.bytesused = vb.bytesused;
    b.field = V4L2_FIELD_INTERLACED;
    b.sequence = vb.sequence;
    b.flags = timestamp_flags | (v4l2_mapped(dev, i) ? V4L2_BUF_FLAG_MAPPED : 0)
              | (vb.queued ? V4L2_BUF_FLAG_QUEUED : 0) | (vb.done ? V4L2_BUF_FLAG_DONE : 0)
              | (vb.error ? V4L2_BUF_FLAG_ERROR : 0);
    // On the clock the program reads: the virtual one counts from its epoch.
    long long t = vb.filled_ns + (sim->sc.virtual_clock ? 946684800LL * 1000000000LL : sim->real_start_ns);
    b.timestamp.tv_sec = (time_t)(t / 1000000000LL);
    b.timestamp.tv_usec = (suseconds_t)(t % 1000000000LL / 1000);
    return b;
}

static std::string flags_text(uint32_t flags)
{
    std::string s;
    if (flags & V4L2_BUF_FLAG_MAPPED)
        s += "|MAPPED";
    if (flags & V4L2_BUF_FLAG_QUEUED)
        s += "|QUEUED";
    if (flags & V4L2_BUF_FLAG_DONE)
        s += "|DONE";
    if (flags & V4L2_BUF_FLAG_ERROR)
        s += "|ERROR";
    return s.empty() ? "0" : s.substr(1);
}

// The buffer the program names, once type, memory and index are checked; -1
// after setting the error.
static int named_buffer(const OpenDev &od, unsigned long req, const struct v4l2_buffer &b, RequestOutcome &o)
{
    const V4l2State &q = v4l2_state(od.dev);
    if (b.type != capture_type || (req != VIDIOC_QUERYBUF && b.memory != V4L2_MEMORY_MMAP))
        o.err = EINVAL;
    else if (req != VIDIOC_QUERYBUF && busy(od))
        o.err = EBUSY;
    else if (req != VIDIOC_DQBUF && b.index >= q.buffers.size())
        o.err = EINVAL;
    else if (req == VIDIOC_DQBUF && !q.streaming)
        o.err = EINVAL; // nothing can come: the driver does not wait
    else if (req != VIDIOC_QUERYBUF && polls_used_up())
        o.err = EIO; // the device went away with the last poll step
    return o.err ? -1 : (int)b.index;
}

static void queue_buffer(const OpenDev &od, int i, RequestOutcome &o)
{
    V4l2State &q = v4l2_state(od.dev);
    v4l2_catch_up(od.dev); // frames completed before now cannot land in it
    V4l2Buffer &vb = q.buffers[i];
    if (vb.queued || vb.done) {
        o.err = EINVAL; // the driver has it already
        return;
    }
    vb.queued = true;
    q.incoming.push_back(i);
}

// The oldest filled buffer; a blocking descriptor waits for one.
static int dequeue_buffer(const OpenDev &od, long long t, RequestOutcome &o)
{
    V4l2State &q = v4l2_state(od.dev);
    v4l2_catch_up(od.dev);
    if (q.outgoing.empty()) {
        if (fcntl(od.fd, F_GETFL) & O_NONBLOCK) {
            o.err = EAGAIN;
            return -1;
        }
        if (!v4l2_wait_for_frame(od.dev)) {
            // No buffer queued: in a single-threaded program nothing ever ends the wait.
            trace(t, "VIDIOC_DQBUF %s%s -> waits for ever (no buffer queued)", od.path_as_given.c_str(),
                  o.args_text.c_str());
            stop_waiting_for_ever();
        }
    }
    int i = q.outgoing.front();
    q.outgoing.pop_front();
    q.buffers[i].done = false;
    return i;
}

static void buffer_request(const OpenDev &od, unsigned long req, void *arg, long long t, RequestOutcome &o)
{
    struct v4l2_buffer b;
    if (!copy_in(arg, b)) {
        o.err = EFAULT;
        return;
    }
    o.args_text = buffer_args(req, b);
    int i = named_buffer(od, req, b, o);
    if (i >= 0 && req == VIDIOC_QBUF)
        queue_buffer(od, i, o);
    else if (i >= 0 && req == VIDIOC_DQBUF)
        i = dequeue_buffer(od, t, o);
    if (o.err)
        return;
    struct v4l2_buffer answer = describe_buffer(od.dev, i);
    if (!user_copy(arg, &answer, sizeof answer)) {
        o.err = EFAULT;
        return;
    }
    const V4l2Buffer &vb = v4l2_state(od.dev).buffers[i];
    if (req == VIDIOC_QUERYBUF)
        o.reply_text =
            fmt(" length=%u offset=%u flags=%s", answer.length, answer.m.offset, flags_text(answer.flags).c_str());
    else if (req == VIDIOC_DQBUF)
        o.reply_text = fmt(" index=%d sequence=%u bytesused=%u (%s)%s", i, vb.sequence, vb.bytesused,
                           vb.picture ? vb.picture->frame.c_str() : "black", vb.error ? " error" : "");
}

// ---- streaming ---------------------------------------------------------------

static void stream_request(const OpenDev &od, unsigned long req, void *arg, RequestOutcome &o)
{
    int type;
    if (!copy_in(arg, type)) {
        o.err = EFAULT;
        return;
    }
    o.args_text = fmt(" type=%d", type);
    V4l2State &q = v4l2_state(od.dev);
    if (type != (int)capture_type)
        o.err = EINVAL;
    else if (busy(od))
        o.err = EBUSY;
    else if (req == VIDIOC_STREAMOFF)
        v4l2_stream_off(od.dev);
    else if (q.buffers.empty())
        o.err = EINVAL;
    else if (polls_used_up())
        o.err = EIO;
    else if (!q.streaming)
        v4l2_stream_on(od.dev);
}

void v4l2_request(OpenDev &od, const Request &r, void *arg, RequestOutcome &o)
{
    long long t = trace_now();
    switch (r.number) {
    case VIDIOC_QUERYCAP:
        query_caps(arg, o);
        break;
    case VIDIOC_ENUM_FMT:
        enum_format(sim->sc.devices[od.dev], arg, o);
        break;
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT:
        format_request(od, r.number, arg, o);
        break;
    case VIDIOC_REQBUFS:
        request_buffers(od, arg, o);
        break;
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF:
        buffer_request(od, r.number, arg, t, o);
        break;
    default:
        stream_request(od, r.number, arg, o);
    }
}
