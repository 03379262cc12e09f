// Makes the device calls named on its command line, one per word, and prints
// one line per call ("WORD RESULT"), so tests can run it under devsim.
//   open=PATH,r|w|rw[,nb]  fd=INDEX (the INDEXth opened, from 0)  close  status  fe  mbuf  cap  map[=LEN]  unmap
//   capture=W,H,PALETTE,FRAME  sync=FRAME  pixels=OFFSET,COUNT
//   sfmt=TYPE,SERVICES  sfmt-other  rec=ID,FIELD,LINE,D0,D1  writen=N
//   still=FILE  play  readcd  writecd=LEVEL
//   V4L2: fmt=g|s|t,FOURCC  reqbufs=COUNT[,MEMORY]  querybuf=I  mapbuf=I[,OFFSET]  unmapbuf=I  qbuf=I  dqbuf
//         streamon  streamoff  wait=TIMEOUT_MS (poll for POLLIN)
//   usleep=N  sleep=N  nanosleep=N  now
//   ioperm=FROM,NUM,ON  sysioperm  rawio  outb=0x60,VALUE (out imm8)  outbdx=PORT,VALUE (out %dx)
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/dvb/frontend.h>
#include <linux/dvb/video.h>
#include <linux/soundcard.h>
#include <linux/videodev.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#if defined(__x86_64__)
#include <sys/io.h>
#endif

static int fd = -1;
static std::vector<int> fds; // every descriptor opened, for fd=INDEX
static unsigned char *buf;
static size_t buf_len;
static std::vector<struct v4l2_buffer> v4l2_bufs; // as QUERYBUF answered, by index

static std::vector<long> numbers(const char *s)
{
    std::vector<long> v;
    while (*s) {
        char *end;
        v.push_back(strtol(s, &end, 0));
        s = *end == ',' ? end + 1 : end;
        if (end == s && *s != ',')
            break;
    }
    return v;
}

static void report(const char *word, long r, const std::string &extra = "")
{
    if (r < 0)
        printf("%s -1 %s\n", word, strerrorname_np(errno));
    else
        printf("%s %ld%s\n", word, r, extra.c_str());
}

static struct v4l2_buffer capture_buffer(unsigned index)
{
    struct v4l2_buffer b {};
    b.index = index;
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    return b;
}

// The V4L2 capture words; false for any other word. Mapped buffers become
// the buffer that pixels= reads.
static bool v4l2_word(const std::string &name, const std::vector<long> &n, const char *word)
{
    char extra[256] = "";
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (name == "fmt") {
        const char *arg = strchr(word, '=') + 1;
        struct v4l2_format f {};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        f.fmt.pix.width = f.fmt.pix.height = 16384;
        if (strlen(arg) >= 6)
            f.fmt.pix.pixelformat = v4l2_fourcc(arg[2], arg[3], arg[4], arg[5]);
        unsigned long req = arg[0] == 'g'   ? (unsigned long)VIDIOC_G_FMT
                            : arg[0] == 's' ? (unsigned long)VIDIOC_S_FMT
                                            : (unsigned long)VIDIOC_TRY_FMT;
        int r = ioctl(fd, req, &f);
        uint32_t p = f.fmt.pix.pixelformat;
        snprintf(extra, sizeof extra, " %ux%u %c%c%c%c bytesperline=%u sizeimage=%u", f.fmt.pix.width, f.fmt.pix.height,
                 p & 0xff, p >> 8 & 0xff, p >> 16 & 0xff, p >> 24, f.fmt.pix.bytesperline, f.fmt.pix.sizeimage);
        report(word, r, r == 0 ? extra : "");
    } else if (name == "reqbufs") {
        struct v4l2_requestbuffers rb {};
        rb.count = (unsigned)n.at(0);
        rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        rb.memory = n.size() > 1 ? (unsigned)n[1] : (unsigned)V4L2_MEMORY_MMAP;
        int r = ioctl(fd, VIDIOC_REQBUFS, &rb);
        snprintf(extra, sizeof extra, " count=%u", rb.count);
        report(word, r, r == 0 ? extra : "");
    } else if (name == "querybuf") {
        struct v4l2_buffer b = capture_buffer((unsigned)n.at(0));
        int r = ioctl(fd, VIDIOC_QUERYBUF, &b);
        if (r == 0 && v4l2_bufs.size() <= b.index)
            v4l2_bufs.resize(b.index + 1);
        if (r == 0)
            v4l2_bufs[b.index] = b;
        snprintf(extra, sizeof extra, " length=%u offset=%u flags=0x%x", b.length, b.m.offset, b.flags);
        report(word, r, r == 0 ? extra : "");
    } else if (name == "mapbuf") {
        const struct v4l2_buffer &b = v4l2_bufs.at((size_t)n.at(0));
        off_t offset = n.size() > 1 ? (off_t)n[1] : (off_t)b.m.offset;
        void *p = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
        buf = p == MAP_FAILED ? nullptr : (unsigned char *)p;
        buf_len = b.length;
        report(word, p == MAP_FAILED ? -1 : 0);
    } else if (name == "unmapbuf") {
        report(word, munmap(buf, v4l2_bufs.at((size_t)n.at(0)).length));
    } else if (name == "qbuf" || name == "dqbuf") {
        struct v4l2_buffer b = capture_buffer(n.empty() ? 0 : (unsigned)n[0]);
        int r = ioctl(fd, name == "qbuf" ? VIDIOC_QBUF : VIDIOC_DQBUF, &b);
        snprintf(extra, sizeof extra, " index=%u sequence=%u bytesused=%u flags=0x%x time=%lld.%06ld", b.index,
                 b.sequence, b.bytesused, b.flags, (long long)b.timestamp.tv_sec, (long)b.timestamp.tv_usec);
        report(word, r, r == 0 && name == "dqbuf" ? extra : "");
    } else if (name == "streamon" || name == "streamoff") {
        report(word, ioctl(fd, name == "streamon" ? VIDIOC_STREAMON : VIDIOC_STREAMOFF, &type));
    } else if (name == "wait") {
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, (int)n.at(0));
        snprintf(extra, sizeof extra, " revents=0x%x", (unsigned)p.revents);
        report(word, r, r >= 0 ? extra : "");
    } else {
        return false;
    }
    return true;
}

static void run(const char *word)
{
    std::string w = word;
    std::string name = w.substr(0, w.find('='));
    const char *arg = w.find('=') == std::string::npos ? "" : word + w.find('=') + 1;
    std::vector<long> n = numbers(arg);
    char extra[256] = "";
    if (name == "open") {
        std::string a = arg;
        size_t c = a.find(',');
        std::string path = a.substr(0, c), mode = c == std::string::npos ? "r" : a.substr(c + 1);
        int flags = mode.rfind("rw", 0) == 0 ? O_RDWR : mode[0] == 'w' ? O_WRONLY : O_RDONLY;
        if (mode.find(",nb") != std::string::npos)
            flags |= O_NONBLOCK;
        fd = open(path.c_str(), flags);
        fds.push_back(fd);
        report(word, fd < 0 ? -1 : 0); // numbers depend on what the test runner left open
    } else if (name == "fd") {
        fd = fds.at((size_t)n.at(0));
    } else if (name == "close") {
        report(word, close(fd));
    } else if (name == "status") {
        struct video_status vs {};
        int r = ioctl(fd, VIDEO_GET_STATUS, &vs);
        snprintf(extra, sizeof extra, " format=%d", (int)vs.video_format);
        report(word, r, r == 0 ? extra : "");
    } else if (name == "fe") {
        fe_status_t st{};
        int r = ioctl(fd, FE_READ_STATUS, &st);
        snprintf(extra, sizeof extra, " lock=%d", (st & FE_HAS_LOCK) ? 1 : 0);
        report(word, r, r == 0 ? extra : "");
    } else if (name == "mbuf") {
        struct video_mbuf mb {};
        int r = ioctl(fd, VIDIOCGMBUF, &mb);
        buf_len = (size_t)mb.size;
        snprintf(extra, sizeof extra, " size=%d", mb.size);
        report(word, r, r == 0 ? extra : "");
    } else if (name == "cap") {
        struct video_capability cap {};
        int r = ioctl(fd, VIDIOCGCAP, &cap);
        snprintf(extra, sizeof extra, " %dx%d", cap.maxwidth, cap.maxheight);
        report(word, r, r == 0 ? extra : "");
    } else if (name == "map") {
        if (!n.empty())
            buf_len = (size_t)n[0];
        void *p = mmap(nullptr, buf_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        buf = p == MAP_FAILED ? nullptr : (unsigned char *)p;
        report(word, p == MAP_FAILED ? -1 : 0);
    } else if (name == "unmap") {
        report(word, munmap(buf, buf_len));
    } else if (name == "capture") {
        struct video_mmap vm {};
        vm.width = (int)n.at(0);
        vm.height = (int)n.at(1);
        vm.format = (unsigned)n.at(2);
        vm.frame = (unsigned)n.at(3);
        report(word, ioctl(fd, VIDIOCMCAPTURE, &vm));
    } else if (name == "sync") {
        int frame = (int)n.at(0);
        report(word, ioctl(fd, VIDIOCSYNC, &frame));
    } else if (name == "pixels") {
        std::string s;
        for (long i = 0; i < n.at(1); i++) {
            snprintf(extra, sizeof extra, " %02x", buf[n[0] + i]);
            s += extra;
        }
        printf("%s%s\n", word, s.c_str());
    } else if (name == "sfmt" || name == "sfmt-other") {
        struct v4l2_format f {};
        f.type = name == "sfmt" ? (unsigned)n.at(0) : (unsigned)V4L2_BUF_TYPE_SLICED_VBI_OUTPUT;
        f.fmt.sliced.service_set = name == "sfmt" ? (unsigned short)n.at(1) : V4L2_SLICED_WSS_625;
        unsigned long req =
            name == "sfmt" ? VIDIOC_S_FMT : _IOC(_IOC_READ | _IOC_WRITE, 'V', 5, sizeof f == 208 ? 204 : 208);
        int r = ioctl(fd, req, &f);
        snprintf(extra, sizeof extra, " io_size=%u", f.fmt.sliced.io_size);
        report(word, r, r == 0 ? extra : "");
    } else if (name == "rec") {
        struct v4l2_sliced_vbi_data d {};
        d.id = (unsigned)n.at(0);
        d.field = (unsigned)n.at(1);
        d.line = (unsigned)n.at(2);
        d.data[0] = (unsigned char)n.at(3);
        d.data[1] = (unsigned char)n.at(4);
        report(word, write(fd, &d, sizeof d));
    } else if (name == "writen") {
        std::vector<char> z((size_t)n.at(0));
        report(word, write(fd, z.data(), z.size()));
    } else if (v4l2_word(name, n, word)) {
    } else if (name == "still") {
        int pf = open(arg, O_RDONLY);
        struct stat sb {};
        fstat(pf, &sb);
        std::vector<char> data((size_t)sb.st_size + 1);
        ssize_t got = read(pf, data.data(), (size_t)sb.st_size);
        close(pf);
        struct video_still_picture sp {
            data.data(), (int)got
        };
        report(word, ioctl(fd, VIDEO_STILLPICTURE, &sp));
    } else if (name == "play") {
        report(word, ioctl(fd, VIDEO_PLAY));
    } else if (name == "readcd") {
        int level = -1;
        int r = ioctl(fd, SOUND_MIXER_READ_CD, &level);
        snprintf(extra, sizeof extra, " level=0x%x", (unsigned)level);
        report(word, r, r == 0 ? extra : "");
    } else if (name == "writecd") {
        int level = (int)n.at(0);
        report(word, ioctl(fd, SOUND_MIXER_WRITE_CD, &level));
    } else if (name == "usleep") {
        report(word, usleep((useconds_t)n.at(0)));
    } else if (name == "sleep") {
        report(word, (long)sleep((unsigned)n.at(0)));
    } else if (name == "nanosleep") {
        struct timespec ts = {n.at(0) / 1000000000, n.at(0) % 1000000000};
        report(word, nanosleep(&ts, nullptr));
    } else if (name == "now") {
        struct timeval tv;
        struct timespec ts;
        gettimeofday(&tv, nullptr);
        clock_gettime(CLOCK_MONOTONIC, &ts);
        printf("now %lld.%06ld %lld.%09ld %lld\n", (long long)tv.tv_sec, (long)tv.tv_usec, (long long)ts.tv_sec,
               ts.tv_nsec, (long long)time(nullptr));
#if defined(__x86_64__)
    } else if (name == "ioperm") {
        report(word, ioperm((unsigned long)n.at(0), (unsigned long)n.at(1), (int)n.at(2)));
    } else if (name == "sysioperm") {
        // straight to the kernel, past any library
        report(word, syscall(SYS_ioperm, 0x60UL, 3UL, 1));
    } else if (name == "rawio") {
        __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        syscall(SYS_capget, &hdr, data);
        unsigned mask = CAP_TO_MASK(CAP_SYS_RAWIO);
        printf("%s bounding=%d inheritable=%d permitted=%d\n", word,
               (int)prctl(PR_CAPBSET_READ, CAP_SYS_RAWIO, 0, 0, 0),
               (data[CAP_TO_INDEX(CAP_SYS_RAWIO)].inheritable & mask) != 0,
               (data[CAP_TO_INDEX(CAP_SYS_RAWIO)].permitted & mask) != 0);
    } else if (name == "outb") {
        // a constant port gives the "out %al, imm8" form
        if (n.at(0) != 0x60)
            return;
        outb((unsigned char)n.at(1), 0x60);
        printf("%s done\n", word);
    } else if (name == "outbdx") {
        outb((unsigned char)n.at(1), (unsigned short)n.at(0));
        printf("%s done\n", word);
#endif
    } else {
        printf("%s unknown\n", word);
    }
    fflush(stdout);
}

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; i++)
        run(argv[i]);
    return 0;
}
