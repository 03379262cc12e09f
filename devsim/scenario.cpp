// The scenario reader: every directive checked, frame files included, before
// anything is played.
#include "scenario.h"
#include "paths.h"
#include "pgm.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Files are read with plain system calls: inside the preloaded library the
// libc entry points are our own interposers.
static int sys_open_read(const char *path)
{
    return (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
}

static long sys_read(int fd, void *buf, size_t n)
{
    for (;;) {
        long r = syscall(SYS_read, fd, buf, n);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

static bool read_small_file(const std::string &path, std::string &out, int &err)
{
    int fd = sys_open_read(path.c_str());
    if (fd < 0) {
        err = errno;
        return false;
    }
    out.clear();
    char buf[8192];
    for (;;) {
        long n = sys_read(fd, buf, sizeof buf);
        if (n < 0) {
            err = errno;
            syscall(SYS_close, fd);
            return false;
        }
        if (n == 0)
            break;
        out.append(buf, (size_t)n);
    }
    syscall(SYS_close, fd);
    return true;
}

// Calls a `fail` line may name besides the device requests.
static const char *const plain_calls[] = {"open", "close", "mmap",   "munmap", "write",
                                          "poll", "ppoll", "ioperm", "iopl"};

static std::vector<std::string> split_words(const std::string &line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            i++;
        if (i >= line.size() || line[i] == '#')
            break;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r' && line[j] != '#')
            j++;
        words.push_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

static bool parse_int(const std::string &s, long long lo, long long hi, long long &out, int base = 0)
{
    if (s.empty())
        return false;
    errno = 0;
    char *end;
    long long v = strtoll(s.c_str(), &end, base);
    if (errno || *end || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

static std::string resolve(const Scenario &sc, const std::string &name)
{
    if (!name.empty() && name[0] == '/')
        return name;
    return sc.dir + "/" + name;
}

static bool starts_with(const std::string &s, const char *prefix, std::string &rest)
{
    size_t n = strlen(prefix);
    if (s.compare(0, n, prefix) != 0)
        return false;
    rest = s.substr(n);
    return true;
}

// Header bytes from the start of a frame file. A NUL counts as white space, as
// it always has in frame files.
struct FrameStart {
    const char *data;
    long size, pos;
};

static int next_frame_byte(void *context)
{
    FrameStart &start = *static_cast<FrameStart *>(context);
    if (start.pos >= start.size)
        return -1;
    unsigned char c = (unsigned char)start.data[start.pos++];
    return c == '\0' ? ' ' : c;
}

// Reads the P5 header; the pixels are checked only for being present.
static std::string check_frame(PollStep &st)
{
    std::string q = "frame '" + st.frame + "'";
    int fd = sys_open_read(st.frame_path.c_str());
    if (fd < 0)
        return q + ": can't read (" + strerror(errno) + ")";
    char buf[4096];
    long n = sys_read(fd, buf, sizeof buf);
    struct stat sb;
    bool have_size = fstat(fd, &sb) == 0; // the raw call fills an older struct on 32-bit ABIs
    syscall(SYS_close, fd);
    if (n < 0)
        return q + ": can't read (" + strerror(errno) + ")";
    FrameStart start{buf, n, 0};
    PgmHeader h;
    switch (read_pgm_header({next_frame_byte, &start}, LLONG_MAX, h)) {
    case PgmStatus::end:
    case PgmStatus::not_p5:
        return q + " is not a binary PGM (P5)";
    case PgmStatus::bad_header:
    case PgmStatus::too_large:
        return q + " has a bad PGM header";
    case PgmStatus::bad_maxval:
        return q + " has maxval " + std::to_string(h.maxval) + "; only 1 to 255 is supported";
    case PgmStatus::ok:
        break;
    }
    st.frame_width = (int)h.width;
    st.frame_height = (int)h.height;
    st.frame_offset = h.size;
    if (!have_size || sb.st_size - h.size < h.width * h.height)
        return q + " is truncated";
    return "";
}

static DeviceKind device_kind(const std::string &d)
{
    return d == "decoder"    ? DeviceKind::decoder
           : d == "frontend" ? DeviceKind::frontend
           : d == "capture"  ? DeviceKind::capture
           : d == "vbi"      ? DeviceKind::vbi
                             : DeviceKind::mixer;
}

// WIDTHxHEIGHT of a capture line; the mapped buffer defaults to one grey frame.
static std::string parse_capture_size(Device &dev, const std::string &word)
{
    long long wd, ht;
    size_t x = word.find('x');
    if (x == std::string::npos)
        return "capture needs a size WIDTHxHEIGHT";
    if (word.find_first_not_of("0123456789x") != std::string::npos || !parse_int(word.substr(0, x), 0, 65535, wd, 10)
        || !parse_int(word.substr(x + 1), 0, 65535, ht, 10))
        return "bad capture size '" + word + "' (0 to 65535 each)";
    dev.width = (int)wd;
    dev.height = (int)ht;
    dev.mbuf = wd * ht;
    return "";
}

// What a capture line said besides its size, checked once the line is read.
struct CaptureWords {
    bool mbuf = false;
    bool v4l2_only = false; // formats=, stride= or buffers=
};

// formats=GREY,YUYV,...: the V4L2 formats in the order they are offered.
static std::string parse_formats(Device &dev, const std::string &list)
{
    dev.formats.clear();
    size_t pos = 0;
    for (;;) {
        size_t comma = list.find(',', pos);
        std::string name = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const PixelFormat *f = find_pixel_format(name);
        if (!f)
            return "unknown pixel format '" + name + "' (" + pixel_format_names() + ")";
        for (uint32_t o : dev.formats)
            if (o == f->fourcc)
                return "pixel format " + name + " is offered twice";
        dev.formats.push_back(f->fourcc);
        if (comma == std::string::npos)
            return "";
        pos = comma + 1;
    }
}

// The words only a capture line takes; false for another word. An error in
// a word of its own is left in error.
static bool parse_capture_word(Device &dev, const std::string &word, CaptureWords &seen, std::string &error)
{
    std::string rest;
    long long v = 0;
    if (word == "v4l1" || word == "v4l2") {
        dev.v4l2 = word == "v4l2";
    } else if (starts_with(word, "mbuf=", rest)) {
        seen.mbuf = true;
        if (!parse_int(rest, 0, INT_MAX, v))
            error = "bad mbuf '" + rest + "'";
        dev.mbuf = v;
    } else if (starts_with(word, "formats=", rest)) {
        seen.v4l2_only = true;
        error = parse_formats(dev, rest);
    } else if (starts_with(word, "stride=", rest)) {
        seen.v4l2_only = true;
        if (!parse_int(rest, 1, INT_MAX, v, 10))
            error = "bad stride '" + rest + "'";
        dev.stride = (int)v;
    } else if (starts_with(word, "buffers=", rest)) {
        seen.v4l2_only = true;
        if (!parse_int(rest, 1, 32, v, 10))
            error = "bad buffers '" + rest + "' (1 to 32)";
        dev.buffers = (int)v;
    } else {
        return false;
    }
    return true;
}

FrameLayout frame_layout(const Device &dev, const PixelFormat &f)
{
    FrameLayout l;
    if (f.luma_step == 0) {
        // Compressed: no rows; room for a frame as large as a grey one.
        l.sizeimage = (long long)dev.width * dev.height;
        return l;
    }
    l.bytesperline = dev.stride ? dev.stride : (long long)f.luma_step * dev.width;
    // The 4:2:0 chroma planes follow the luma plane, a quarter of its size each.
    l.sizeimage = l.bytesperline * dev.height * (f.planar_420 ? 3 : 2) / 2;
    return l;
}

// A V4L2 capture line as a whole: its formats fit its size and row stride.
static std::string check_v4l2_capture(Device &dev, const CaptureWords &seen)
{
    if (seen.mbuf)
        return "mbuf= is for a v4l1 capture; a v4l2 one maps buffers of its frame size";
    if (dev.formats.empty())
        dev.formats.push_back(find_pixel_format("GREY")->fourcc);
    if (dev.width == 0 || dev.height == 0)
        return "a v4l2 capture needs a size of at least 1x1";
    for (uint32_t fourcc : dev.formats) {
        const PixelFormat &f = *find_pixel_format(fourcc);
        std::string name = f.name;
        if ((f.luma_step == 2 || f.planar_420) && dev.width % 2)
            return "pixel format " + name + " needs an even width";
        if (f.planar_420 && dev.height % 2)
            return "pixel format " + name + " needs an even height";
        long long least = (long long)f.luma_step * dev.width;
        if (dev.stride && dev.stride < least)
            return "stride " + std::to_string(dev.stride) + " is below the " + std::to_string(least) + " bytes a "
                   + name + " row needs";
        if (dev.stride % 2 && f.planar_420 && !f.chroma_interleaved)
            return "pixel format " + name + " needs an even stride (its chroma rows are half as long)";
        if (frame_layout(dev, f).sizeimage > INT_MAX)
            return "a " + name + " frame of this size would be over 2 GiB";
    }
    return "";
}

// One NAME=VALUE word after the device path; which names count depends on the kind.
static std::string parse_device_word(const Scenario &sc, Device &dev, const std::string &d, const std::string &word,
                                     CaptureWords &capture, bool &cd_given)
{
    std::string rest;
    long long v;
    std::string error;
    if (dev.kind == DeviceKind::capture && parse_capture_word(dev, word, capture, error)) {
        return error;
    } else if (dev.kind == DeviceKind::decoder && starts_with(word, "stills=", rest) && !rest.empty()) {
        dev.stills = resolve(sc, rest);
    } else if (dev.kind == DeviceKind::vbi && starts_with(word, "records=", rest) && !rest.empty()) {
        dev.records = resolve(sc, rest);
    } else if (dev.kind == DeviceKind::mixer && starts_with(word, "cd=", rest)) {
        cd_given = true;
        dev.has_cd = rest != "none";
        if (dev.has_cd) {
            if (!parse_int(rest, INT_MIN, INT_MAX, v))
                return "bad cd level '" + rest + "'";
            dev.cd_level = (int)v;
        }
    } else {
        return "unknown word '" + word + "' for " + d;
    }
    return "";
}

static std::string parse_device(Scenario &sc, const std::vector<std::string> &w, int lineno)
{
    const std::string &d = w[0];
    Device dev;
    dev.kind = device_kind(d);
    dev.line = lineno;
    if (w.size() < 2)
        return d + " needs a device path";
    if (w[1][0] != '/')
        return "device path '" + w[1] + "' is not absolute";
    dev.path = normalize_path(w[1]);
    for (const Device &o : sc.devices)
        if (o.path == dev.path)
            return "device '" + dev.path + "' is already named on line " + std::to_string(o.line);
    size_t i = 2;
    if (dev.kind == DeviceKind::capture) {
        std::string e = parse_capture_size(dev, i < w.size() ? w[i] : "");
        if (!e.empty())
            return e;
        i++;
    }
    CaptureWords capture;
    bool cd_given = false;
    for (; i < w.size(); i++) {
        std::string e = parse_device_word(sc, dev, d, w[i], capture, cd_given);
        if (!e.empty())
            return e;
    }
    if (dev.v4l2) {
        std::string e = check_v4l2_capture(dev, capture);
        if (!e.empty())
            return e;
    } else if (capture.v4l2_only) {
        return "formats=, stride= and buffers= are for a v4l2 capture";
    }
    if (dev.kind == DeviceKind::capture && !dev.v4l2 && !capture.mbuf && dev.mbuf > INT_MAX)
        return "capture size " + w[2] + " needs mbuf=BYTES (the default would not fit)";
    if (dev.kind == DeviceKind::mixer && !cd_given)
        return "mixer needs cd=LEVEL or cd=none";
    sc.devices.push_back(dev);
    return "";
}

static std::string parse_clock(Scenario &sc, const std::vector<std::string> &w, int lineno, int &clock_line)
{
    if (clock_line)
        return "clock is already set on line " + std::to_string(clock_line);
    clock_line = lineno;
    if (w.size() < 2 || (w[1] != "virtual" && w[1] != "real"))
        return "clock needs virtual or real";
    sc.virtual_clock = w[1] == "virtual";
    std::string rest;
    for (size_t i = 2; i < w.size(); i++) {
        bool capture = starts_with(w[i], "capture=", rest);
        if (!capture && !starts_with(w[i], "end=", rest))
            return "unknown word '" + w[i] + "' for clock";
        char *end;
        errno = 0;
        double s = strtod(rest.c_str(), &end);
        double most = capture ? 3600 : 1e9;
        if (rest.empty() || *end || errno || !std::isfinite(s) || s < 0 || s > most)
            return std::string(capture ? "bad capture time '" : "bad end time '") + rest + "' (0 to "
                   + (capture ? "3600" : "1000000000") + " seconds)";
        if (capture)
            sc.capture_ns = llround(s * 1e9);
        else if (!sc.virtual_clock)
            return "end= needs the virtual clock";
        else
            sc.end_ns = llround(s * 1e9);
    }
    return "";
}

static std::string parse_poll(Scenario &sc, const std::vector<std::string> &w, int lineno)
{
    PollStep st;
    st.line = lineno;
    if (w.size() < 2)
        return "poll needs a format (4:3, 16:9, 2.21:1 or a number)";
    st.format_text = w[1];
    long long v;
    if (!video_format_code(w[1], st.video_format)) {
        if (!parse_int(w[1], INT_MIN, INT_MAX, v))
            return "bad poll format '" + w[1] + "'";
        st.video_format = (int)v;
    }
    std::string rest;
    for (size_t i = 2; i < w.size(); i++) {
        if (w[i] == "nolock" || w[i] == "lock") {
            st.lock = w[i] == "lock";
        } else if (starts_with(w[i], "frame=", rest) && !rest.empty()) {
            st.frame = rest;
            st.frame_path = resolve(sc, rest);
            std::string e = check_frame(st);
            if (!e.empty())
                return e;
        } else if (starts_with(w[i], "times=", rest)) {
            if (!parse_int(rest, 1, LLONG_MAX / 2, v))
                return "bad times '" + rest + "' (1 to " + std::to_string(LLONG_MAX / 2) + ")";
            st.times = v;
        } else {
            return "unknown word '" + w[i] + "' for poll";
        }
    }
    sc.steps.push_back(st);
    return "";
}

static std::string parse_fail(Scenario &sc, const std::vector<std::string> &w)
{
    if (w.size() != 3)
        return "fail needs CALL[@N] ERRNO";
    std::string call = w[1];
    FailRule r;
    size_t at = call.rfind('@');
    if (at != std::string::npos) {
        long long n;
        if (!parse_int(call.substr(at + 1), 1, LLONG_MAX, n))
            return "bad count '" + call.substr(at + 1) + "'";
        r.nth = n;
        call = call.substr(0, at);
    }
    std::string rest;
    if (starts_with(call, "open:", rest)) {
        if (rest.empty() || rest[0] != '/')
            return "open: needs an absolute path";
        r.call = "open:" + normalize_path(rest);
    } else {
        bool known = find_request(call) != nullptr;
        for (const char *c : plain_calls)
            known |= call == c;
        if (!known)
            return "unknown call '" + call + "'";
        r.call = call;
    }
    long long e = errno_value(w[2]);
    if (!e && !parse_int(w[2], 1, 4095, e))
        return "unknown errno '" + w[2] + "'";
    r.error = (int)e;
    sc.fails.push_back(r);
    return "";
}

static std::string parse_ports(Scenario &sc, const std::vector<std::string> &w, int lineno, int &ports_line)
{
    if (ports_line)
        return "ports is already set on line " + std::to_string(ports_line);
    ports_line = lineno;
    if (w.size() != 2 || (w[1] != "grant" && w[1] != "refuse"))
        return "ports needs grant or refuse";
#ifndef __x86_64__
    if (w[1] == "grant")
        return "ports grant is supported on x86_64 only";
#endif
    sc.ports_grant = w[1] == "grant";
    return "";
}

static std::string parse_line(Scenario &sc, const std::vector<std::string> &w, int lineno, int &clock_line,
                              int &ports_line)
{
    const std::string &d = w[0];
    if (d == "decoder" || d == "frontend" || d == "capture" || d == "vbi" || d == "mixer")
        return parse_device(sc, w, lineno);
    if (d == "clock")
        return parse_clock(sc, w, lineno, clock_line);
    if (d == "poll")
        return parse_poll(sc, w, lineno);
    if (d == "fail")
        return parse_fail(sc, w);
    if (d == "ports")
        return parse_ports(sc, w, lineno, ports_line);
    return "unknown directive '" + d + "'";
}

std::string parse_scenario(const std::string &path, Scenario &sc)
{
    std::string text;
    int err = 0;
    if (!read_small_file(path, text, err))
        return "can't read scenario '" + path + "' (" + strerror(err) + ")";
    size_t slash = path.rfind('/');
    sc.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);

    int lineno = 0, clock_line = 0, ports_line = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        lineno++;
        std::vector<std::string> words = split_words(line);
        if (words.empty())
            continue;
        std::string e = parse_line(sc, words, lineno, clock_line, ports_line);
        if (!e.empty())
            return path + ":" + std::to_string(lineno) + ": " + e;
    }

    // A V4L2 device completes a frame every capture time, so it must pass.
    for (const Device &dev : sc.devices)
        if (dev.v4l2 && sc.capture_ns == 0)
            return path + ":" + std::to_string(dev.line) + ": a v4l2 capture needs a capture time above 0";

    // Frames must fit every capture device, whichever order the lines came in.
    for (const PollStep &st : sc.steps) {
        if (st.frame.empty())
            continue;
        bool any = false;
        for (const Device &dev : sc.devices) {
            if (dev.kind != DeviceKind::capture)
                continue;
            any = true;
            if (dev.width != st.frame_width || dev.height != st.frame_height)
                return path + ":" + std::to_string(st.line) + ": frame '" + st.frame + "' is "
                       + std::to_string(st.frame_width) + "x" + std::to_string(st.frame_height)
                       + ", the capture size is " + std::to_string(dev.width) + "x" + std::to_string(dev.height);
        }
        if (!any)
            return path + ":" + std::to_string(st.line) + ": frame= needs a capture device";
    }
    return "";
}
