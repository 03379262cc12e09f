// aspect-detect: watches the DVB decoder and the analogue capture device and
// prints the aspect class of the picture whenever its stable class changes.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <linux/dvb/frontend.h>
#include <linux/dvb/video.h>
#include <linux/videodev.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include "aspect_class.h"
#include "letterbox.h"

static_assert(VIDIOCGMBUF == 0x80887614 && VIDIOCGCAP == 0x803c7601, "V4L1 query requests");
static_assert(VIDIOCMCAPTURE == 0x40107613 && VIDIOCSYNC == 0x40047612, "V4L1 grab requests");
static_assert(VIDEO_PALETTE_GREY == 1, "grey palette");
static_assert(VIDEO_GET_STATUS == 0x80146f1b, "VIDEO_GET_STATUS request");
static_assert(FE_READ_STATUS == 0x80046f45 && FE_HAS_LOCK == 0x10, "FE_READ_STATUS request");
static_assert(VIDEO_FORMAT_16_9 == 1 && VIDEO_FORMAT_221_1 == 2, "wide stream formats");
static_assert(sizeof(video_format_t) == sizeof(int) && sizeof(fe_status_t) == sizeof(unsigned int),
              "status words read as plain integers");

struct Settings {
    std::string dev_video = "/dev/video0";
    std::string dev_dvb = "/dev/dvb/adapter0";
    LetterboxSettings letterbox;     // black, pan_tone_tolerance, logo_width, overscan
    float poll_rate = 0.08f;         // seconds
    uint32_t delay = 25;             // polls
    bool aspect = false;
    bool frontend_lock_test = false;
    bool over_16_9_output = false;
};

static Settings settings;
static int decoder = -1;
static int frontend = -1;
static int capture = -1;
static void *buffer = MAP_FAILED;   // capture buffer, frame 0 at its start
static size_t buffer_size;

static const struct option long_options[] = {
    {"dev_video", required_argument, nullptr, 'v'},
    {"dev_dvb", required_argument, nullptr, 'd'},
    {"black", required_argument, nullptr, 'b'},
    {"pan_tone_tolerance", required_argument, nullptr, 't'},
    {"logo_width", required_argument, nullptr, 'l'},
    {"overscan", required_argument, nullptr, 's'},
    {"poll_rate", required_argument, nullptr, 'p'},
    {"delay", required_argument, nullptr, 'e'},
    {"aspect", no_argument, nullptr, 'a'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

static double now_seconds()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec * 1e-6;
}

// Sleeps s > 0 seconds, truncated to whole microseconds. A period beyond
// what one usleep can take (useconds_t has 32 bits) is slept in pieces; an
// infinite one lasts until the process is killed.
static void sleep_seconds(double s)
{
    const double most = 4294967295.0;   // largest useconds_t
    double micros = std::trunc(s * 1000000);
    while (micros > most) {
        usleep(useconds_t(most));
        micros -= most;
    }
    usleep(useconds_t(micros));
}

// Releases what is open, in the order of the shut-down.
static void close_devices()
{
    if (buffer != MAP_FAILED)
        munmap(buffer, buffer_size);
    if (capture >= 0)
        close(capture);
    if (frontend >= 0)
        close(frontend);
    if (decoder >= 0)
        close(decoder);
}

static void usage(const char *progname);

// Parses the command line into settings; false when -h has been handled.
static bool read_options(int argc, char *argv[])
{
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":v:d:b:t:l:s:p:e:afoh", long_options, nullptr)) != -1) {
        unsigned int number;
        switch (c) {
        case 'v':
            settings.dev_video = optarg;
            break;
        case 'd':
            settings.dev_dvb = optarg;
            break;
        case 'b':
            if (sscanf(optarg, "%x", &number) == 1)
                settings.letterbox.black = uint8_t(number);
            break;
        case 't':
            if (sscanf(optarg, "%x", &number) == 1)
                settings.letterbox.pan_tone_tolerance = int32_t(number);
            break;
        case 'l':
            sscanf(optarg, "%g", &settings.letterbox.logo_width);
            settings.letterbox.logo_width /= 100;
            break;
        case 's':
            sscanf(optarg, "%g", &settings.letterbox.overscan);
            settings.letterbox.overscan /= 100;
            break;
        case 'p':
            sscanf(optarg, "%g", &settings.poll_rate);
            break;
        case 'e':
            sscanf(optarg, "%u", &settings.delay);
            break;
        case 'a':
            settings.aspect = true;
            break;
        case 'f':
            settings.frontend_lock_test = true;
            break;
        case 'o':
            settings.over_16_9_output = true;
            break;
        case 'h':
            usage(argv[0]);
            return false;
        case ':':
            fprintf(stderr, "%s: error - missing argument for option %s [arg #%d] - ignored\n",
                    argv[0], argv[optind - 1], optind - 1);
            break;
        default:
            fprintf(stderr, "%s: error - unkown option %s [arg #%d] - ignored\n",
                    argv[0], argv[optind - 1], optind - 1);
            break;
        }
    }
    if (optind < argc)
        fprintf(stderr, "%s: error - extra arguments '%s'... [arg #%d...] - ignored\n",
                argv[0], argv[optind], optind);
    return true;
}

// Opens the devices and sets up the output state; false after an error has
// been reported and everything opened has been closed again.
static bool open_devices(const std::string &decoder_path, const std::string &frontend_path,
                         struct video_mmap *request)
{
    const char *video_path = settings.dev_video.c_str();

    decoder = open(decoder_path.c_str(), O_RDONLY | O_NONBLOCK);
    if (decoder < 0) {
        fprintf(stderr, "Error: Can't open dvb video device '%s' (%s)\n", decoder_path.c_str(), strerror(errno));
        return false;
    }
    if (settings.frontend_lock_test) {
        frontend = open(frontend_path.c_str(), O_RDONLY | O_NONBLOCK);
        if (frontend < 0) {
            fprintf(stderr, "Error: Can't open dvb frontend device '%s' (%s)\n", frontend_path.c_str(),
                    strerror(errno));
            close_devices();
            return false;
        }
    }
    capture = open(video_path, O_RDWR);
    if (capture < 0) {
        fprintf(stderr, "Error: Can't open video device '%s' (%s)\n", video_path, strerror(errno));
        close_devices();
        return false;
    }

    struct video_mbuf mbuf {};
    if (ioctl(capture, VIDIOCGMBUF, &mbuf) != 0) {
        fprintf(stderr, "Error: Can't open video buffer on video device '%s' (%s)\n", video_path, strerror(errno));
        close_devices();
        return false;
    }
    void *mapped = mmap(nullptr, size_t(mbuf.size), PROT_READ | PROT_WRITE, MAP_SHARED, capture, 0);
    if (mapped == nullptr || mapped == MAP_FAILED) {
        fprintf(stderr, "Error: Can't map video buffer of video device '%s' (%s)\n", video_path, strerror(errno));
        close_devices();
        return false;
    }
    buffer = mapped;
    buffer_size = size_t(mbuf.size);

    struct video_capability caps {};
    if (ioctl(capture, VIDIOCGCAP, &caps) != 0) {
        fprintf(stderr, "Error: Can't query caps of video device '%s' (%s)\n", video_path, strerror(errno));
        close_devices();
        return false;
    }
    // Frame 0 must lie inside the mapping, or the measurement would read past it.
    long long needed = caps.maxwidth > 0 && caps.maxheight > 0 ? (long long)caps.maxwidth * caps.maxheight : 0;
    if ((long long)mbuf.size < needed) {
        fprintf(stderr, "Error: Can't use video buffer of video device '%s' (%d bytes mapped, a %dx%d frame needs %lld)\n",
                video_path, mbuf.size, caps.maxwidth, caps.maxheight, needed);
        close_devices();
        return false;
    }

    request->frame = 0;
    request->height = caps.maxheight;
    request->width = caps.maxwidth;
    request->format = VIDEO_PALETTE_GREY;

    if (!set_up_output_state(settings.delay)) {
        fprintf(stderr, "Error: Can't allocate the history for a delay of %u polls (%s)\n", settings.delay,
                strerror(errno));
        close_devices();
        return false;
    }
    return true;
}

// One poll; false when a device error ends the loop.
static bool poll_once(const std::string &decoder_path, const std::string &frontend_path,
                      struct video_mmap *request)
{
    output_state.changed = false;
    double start = now_seconds();

    bool locked = true;
    if (settings.frontend_lock_test) {
        // Read as a plain word: a driver may set bits the enum does not name.
        unsigned int status = 0;
        if (ioctl(frontend, FE_READ_STATUS, &status) < 0) {
            fprintf(stderr, "Error: Can't get status of device '%s' (%s)\n", frontend_path.c_str(), strerror(errno));
            return false;
        }
        locked = (status & FE_HAS_LOCK) != 0;
    }
    if (locked) {
        struct video_status status {};
        if (ioctl(decoder, VIDEO_GET_STATUS, &status) < 0) {
            fprintf(stderr, "Error: Can't get status of device '%s' (%s)\n", decoder_path.c_str(), strerror(errno));
            return false;
        }
        // Any value may come back, not only those the enum names.
        int format;
        memcpy(&format, &status.video_format, sizeof format);
        if (format == VIDEO_FORMAT_16_9 || format == VIDEO_FORMAT_221_1) {
            enter_wide_stream();
        } else {
            if (output_state.wide_stream)
                leave_wide_stream();
            // Both requests are made even when the first one fails.
            int queued = ioctl(capture, VIDIOCMCAPTURE, request);
            int synced = ioctl(capture, VIDIOCSYNC, &request->frame);
            if (queued != 0 || synced != 0) {
                fprintf(stderr, "Error: Can't grab on video device '%s' (%s)\n", settings.dev_video.c_str(),
                        strerror(errno));
                return false;
            }
            auto measurement = measure_letterbox(static_cast<const uint8_t *>(buffer), request->width,
                                                 request->height, settings.letterbox);
            if (measurement)
                classify_measurement(measurement->active_height, request->height, settings.aspect);
        }
    }
    output_step(settings.aspect);

    // The rest of the period, less about what the sleep call itself costs.
    double s = double(settings.poll_rate) - (now_seconds() - start) - 0.001;
    if (s > 0)
        sleep_seconds(s);
    return true;
}

static void usage(const char *progname)
{
    printf("Usage: %s [<Options>]\n"
           "  -v, --dev_video=<Device>  Video device\n"
           "                            (default is /dev/video0)\n"
           "  -d, --dev_dvb=<Device>    DVB device\n"
           "                            (default is /dev/dvb/adapter0)\n"
           "  -t, --pan_tone_tolerance  Maximum difference of a pixel from the most gray tone pixels within\n"
           "   =<Value>                 a pan vector (hex; grayscale; 0..ff; default is %02x).\n"
           "                            This option and its value is ignored if -b or --black is given\n"
           "  -b, --black=<Value>       Enable pan vector detection by a given lowest value of a pixel,\n"
           "                            interpreted as black (hex; grayscale; 0..ff; choose 20 or so).\n"
           "                            Otherwise the gray tone of the pan vector is detected automaticly\n"
           "                            (may be white, green or whatever just as well).\n"
           "  -s, --overscan=<Value>    The width of a frame around the picture which is ignored during\n"
           "                            analyzing of the pan vectors (real number; percent; 0..100; default is %g)\n"
           "  -l, --logo_width=<Value>  Maximum width of a range with wrong pixels (a logo) within a pan\n"
           "                            vector (real number; percent; 0..100; default is %g)\n"
           "  -p, --poll_rate=<Value>   Poll rate (frequency of picture analyzing; real number; seconds; >0;\n"
           "                            (default is %g; lower values than 0.08 makes no sense at the moment)\n"
           "  -e, --delay=<Value>       Delay output until last <Value> analyzed pictures produces the\n"
           "                            same result (multiply with poll_rate to get delay time;\n"
           "                            decimal number; >= 0; default is %u)\n"
           "  -a, --aspect              Output aspect ratio in addition as number\n"
           "                            (e.g \"133 4:3\")\n"
           "  -f                        Enable 'frontend has lock' test\n"
           "                            (no longer useful, because of black screen detection, but...)\n"
           "  -o                        Enable L>16:9 output (normaly this makes no sense)\n"
           "  -h, --help                Displays this page (and exits)\n",
           progname, 8, 3.0, 20.0, 0.08, 25u);
}

int main(int argc, char *argv[])
{
    if (!read_options(argc, argv))
        return 0;
    // A negative overscan would put the measured rows outside the frame.
    if (!(settings.letterbox.overscan >= 0)) {
        fprintf(stderr, "%s: error - invalid overscan %g (percent; 0..100) - not started\n", argv[0],
                settings.letterbox.overscan * 100.0);
        return 0;
    }
    set_up_class_table(settings.over_16_9_output);

    // No separator is added: dev_dvb comes without a trailing slash.
    std::string decoder_path = settings.dev_dvb + "/video0";
    std::string frontend_path;
    if (settings.frontend_lock_test)
        frontend_path = settings.dev_dvb + "/frontend0";

    struct video_mmap request {};
    if (!open_devices(decoder_path, frontend_path, &request))
        return 0;
    while (poll_once(decoder_path, frontend_path, &request))
        ;
    close_devices();
    return 0;
}
