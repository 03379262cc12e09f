// The V4L2 capture device's buffers and frame clock. While streaming, a frame
// is complete every capture time into the oldest queued buffer, or dropped
// when none is queued; frames are made when the program next looks at the
// device, so those completed since its last look show the picture of the
// poll step current then, as a V4L1 grab does.
#include "v4l2.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

V4l2State &v4l2_state(int dev)
{
    return sim->devs[dev].v4l2;
}

const PixelFormat &v4l2_format(int dev)
{
    return *find_pixel_format(v4l2_state(dev).pixelformat);
}

// ---- frames -------------------------------------------------------------

// The luma rows of the grey picture at the format's places; the chroma is 128
// (no colour) and row padding stays 0.
static void convert(const PixelFormat &f, const unsigned char *grey, int width, int height, const FrameLayout &l,
                    unsigned char *out)
{
    size_t bpl = (size_t)l.bytesperline;
    for (int y = 0; y < height; y++) {
        unsigned char *row = out + (size_t)y * bpl;
        const unsigned char *in = grey + (size_t)y * width;
        if (f.luma_step == 1) {
            memcpy(row, in, (size_t)width);
            continue;
        }
        memset(row, 128, (size_t)width * 2);
        for (int x = 0; x < width; x++)
            row[2 * x + f.luma_offset] = in[x];
    }
    if (!f.planar_420)
        return;
    // Two chroma rows with their padding are as long as one luma row.
    unsigned char *chroma = out + bpl * height;
    size_t rows = f.chroma_interleaved ? height / 2 : height;
    size_t stride = f.chroma_interleaved ? bpl : bpl / 2;
    size_t used = f.chroma_interleaved ? (size_t)width : (size_t)width / 2;
    for (size_t y = 0; y < rows; y++)
        memset(chroma + y * stride, 128, used);
}

// The current picture in the current format, made once per picture and format.
static bool make_frame(int dev)
{
    V4l2State &q = v4l2_state(dev);
    if (q.made_valid && q.made_of == q.picture && q.made_format == q.pixelformat)
        return true;
    const Device &d = sim->sc.devices[dev];
    const PixelFormat &f = v4l2_format(dev);
    FrameLayout l = frame_layout(d, f);
    q.made_valid = false;
    q.made.assign(f.luma_step ? (size_t)l.sizeimage : 0, 0); // compressed: devsim does not encode
    std::vector<unsigned char> black;
    const unsigned char *grey;
    if (q.picture) {
        if (!load_frame(*q.picture))
            return false; // the frame file went away after the check
        grey = sim->frame.data();
    } else {
        black.assign((size_t)d.width * d.height, 0);
        grey = black.data();
    }
    if (f.luma_step)
        convert(f, grey, d.width, d.height, l, q.made.data());
    q.made_of = q.picture;
    q.made_format = q.pixelformat;
    return q.made_valid = true;
}

// Completes a frame at time t into buffer i.
static void fill(int dev, int i, long long t)
{
    V4l2State &q = v4l2_state(dev);
    const PollStep *st = current_step();
    if (st && !st->frame.empty())
        q.picture = st; // a step without a frame shows the last picture again
    V4l2Buffer &b = q.buffers[i];
    b.queued = false;
    b.done = true;
    b.sequence = q.sequence;
    b.filled_ns = t;
    b.picture = q.picture;
    b.error = !make_frame(dev);
    b.bytesused = 0;
    if (!b.error) {
        memcpy(q.memory + (size_t)i * q.length, q.made.data(), q.made.size());
        b.bytesused = (uint32_t)q.made.size();
    }
}

void v4l2_catch_up(int dev)
{
    V4l2State &q = v4l2_state(dev);
    if (!q.streaming || polls_used_up())
        return;
    const long long period = sim->sc.capture_ns, now = trace_now();
    while (q.next_frame_ns <= now) {
        if (q.incoming.empty()) {
            // Nowhere to put them: every frame until now is dropped at once.
            long long n = (now - q.next_frame_ns) / period + 1;
            q.sequence += (uint32_t)n;
            q.next_frame_ns += n * period;
            return;
        }
        int i = q.incoming.front();
        q.incoming.pop_front();
        fill(dev, i, q.next_frame_ns);
        q.outgoing.push_back(i);
        q.sequence++;
        q.next_frame_ns += period;
    }
}

long long v4l2_ready_at(int dev)
{
    V4l2State &q = v4l2_state(dev);
    if (polls_used_up())
        return -1;
    if (!q.outgoing.empty())
        return trace_now();
    if (q.streaming && !q.incoming.empty())
        return q.next_frame_ns;
    return -1;
}

bool v4l2_wait_for_frame(int dev)
{
    long long at = v4l2_ready_at(dev);
    if (at < 0)
        return false;
    long long now = trace_now();
    if (at > now)
        pass_time(at - now);
    v4l2_catch_up(dev);
    return true;
}

// ---- buffers and their memory ----------------------------------------------

static const long page = 4096;

int v4l2_allocate(int dev, uint32_t &count)
{
    V4l2State &q = v4l2_state(dev);
    FrameLayout l = frame_layout(sim->sc.devices[dev], v4l2_format(dev));
    size_t length = (size_t)((l.sizeimage + page - 1) / page * page);
    if (length == 0)
        length = page;
    // The device has 2 GiB of buffer memory, so that every offset fits the
    // 32 bits of m.offset and of a 32-bit program's off_t; fewer buffers
    // are granted where the count asked would not fit.
    uint32_t most = (uint32_t)((1ULL << 31) / length);
    if (most == 0)
        return ENOMEM;
    if (count > most)
        count = most;
    int fd = move_high((int)syscall(SYS_memfd_create, "devsim-v4l2", MFD_CLOEXEC));
    if (fd < 0)
        return ENOMEM;
    void *p = MAP_FAILED;
    if (ftruncate64(fd, (off64_t)length * count) == 0)
        p = sys_mmap(nullptr, length * count, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        syscall(SYS_close, fd);
        return ENOMEM;
    }
    q.memory_fd = fd;
    q.memory = (char *)p;
    q.length = length;
    q.buffers.assign(count, V4l2Buffer{});
    return 0;
}

void v4l2_free(int dev)
{
    V4l2State &q = v4l2_state(dev);
    v4l2_stream_off(dev);
    if (q.memory)
        syscall(SYS_munmap, q.memory, q.length * q.buffers.size());
    if (q.memory_fd >= 0)
        syscall(SYS_close, q.memory_fd);
    q.memory = nullptr;
    q.memory_fd = -1;
    q.buffers.clear();
    q.owner = 0;
    q.owner_closed = false;
}

void v4l2_stream_on(int dev)
{
    V4l2State &q = v4l2_state(dev);
    q.streaming = true;
    q.sequence = 0;
    q.next_frame_ns = trace_now() + sim->sc.capture_ns;
}

void v4l2_stream_off(int dev)
{
    V4l2State &q = v4l2_state(dev);
    q.streaming = false;
    q.incoming.clear();
    q.outgoing.clear();
    for (V4l2Buffer &b : q.buffers)
        b.queued = b.done = false;
}

bool v4l2_mapped(int dev, int buffer)
{
    for (const Mapping &m : sim->devs[dev].maps)
        if (m.buffer == buffer)
            return true;
    return false;
}

bool v4l2_any_mapped(int dev)
{
    for (const Mapping &m : sim->devs[dev].maps)
        if (m.buffer >= 0)
            return true;
    return false;
}

int v4l2_buffer_at(int dev, long long offset)
{
    V4l2State &q = v4l2_state(dev);
    if (offset < 0 || q.length == 0 || offset % (long long)q.length)
        return -1;
    long long i = offset / (long long)q.length;
    return i < (long long)q.buffers.size() ? (int)i : -1;
}

int v4l2_memory_fd(int dev)
{
    return v4l2_state(dev).memory_fd;
}

static void release_if_unmapped(int dev)
{
    if (v4l2_state(dev).owner_closed && !v4l2_any_mapped(dev))
        v4l2_free(dev);
}

void v4l2_closed(const OpenDev &od)
{
    V4l2State &q = v4l2_state(od.dev);
    if (q.owner != od.id)
        return;
    q.owner_closed = true;
    release_if_unmapped(od.dev);
}

void v4l2_unmapped(int dev)
{
    release_if_unmapped(dev);
}

bool grabs_begin_polls()
{
    for (const OpenDev &od : sim->open) {
        DeviceKind kind = sim->sc.devices[od.dev].kind;
        if (kind == DeviceKind::decoder || kind == DeviceKind::frontend)
            return false;
    }
    return true;
}
