#include "detector.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>

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
           "      --no-decoder          Run without a DVB decoder: every poll grabs a frame\n"
           "      --robust              Judge noisy pictures and subtitles in the bars as a viewer would\n"
           "  -h, --help                Displays this page (and exits)\n",
           progname, 8, 3.0, 20.0, 0.08, 25u);
}

// Long options without a short form.
enum { opt_no_decoder = 256, opt_robust };

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
    {"no-decoder", no_argument, nullptr, opt_no_decoder},
    {"robust", no_argument, nullptr, opt_robust},
    {nullptr, 0, nullptr, 0},
};

bool read_detector_options(int argc, char *argv[], DetectorSettings &settings)
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
                settings.poll.letterbox.black = uint8_t(number);
            break;
        case 't':
            if (sscanf(optarg, "%x", &number) == 1) {
                settings.poll.letterbox.pan_tone_tolerance = int32_t(number);
                settings.poll.letterbox.tolerance_given = true;
            }
            break;
        case 'l':
            sscanf(optarg, "%g", &settings.poll.letterbox.logo_width);
            settings.poll.letterbox.logo_width /= 100;
            break;
        case 's':
            sscanf(optarg, "%g", &settings.poll.letterbox.overscan);
            settings.poll.letterbox.overscan /= 100;
            break;
        case 'p':
            sscanf(optarg, "%g", &settings.poll_rate);
            break;
        case 'e':
            sscanf(optarg, "%u", &settings.delay);
            break;
        case 'a':
            settings.poll.aspect = true;
            break;
        case 'f':
            settings.poll.frontend_lock_test = true;
            break;
        case 'o':
            settings.over_16_9_output = true;
            break;
        case opt_no_decoder:
            settings.no_decoder = true;
            break;
        case opt_robust:
            settings.poll.letterbox.robust = true;
            break;
        case 'h':
            usage(argv[0]);
            return false;
        case ':':
            fprintf(stderr, "%s: error - missing argument for option %s [arg #%d] - ignored\n", argv[0],
                    argv[optind - 1], optind - 1);
            break;
        default:
            fprintf(stderr, "%s: error - unkown option %s [arg #%d] - ignored\n", argv[0], argv[optind - 1],
                    optind - 1);
            break;
        }
    }
    if (optind < argc)
        fprintf(stderr, "%s: error - extra arguments '%s'... [arg #%d...] - ignored\n", argv[0], argv[optind], optind);
    return true;
}

static void poll_until_error(Devices &devices, const DetectorSettings &settings, OutputState &state)
{
    PollRecord poll;
    for (;;) {
        double start = now_seconds();
        if (!poll_step(&devices, settings.poll, &state, poll))
            return;
        sleep_rest_of_poll(start, settings.poll_rate);
    }
}

int run_detector(const DetectorSettings &settings, const char *progname)
{
    // A negative overscan would put the measured rows outside the frame.
    if (!(settings.poll.letterbox.overscan >= 0)) {
        fprintf(stderr, "%s: error - invalid overscan %g (percent; 0..100) - not started\n", progname,
                settings.poll.letterbox.overscan * 100.0);
        return 0;
    }
    ClassTable table = set_up_class_table(settings.over_16_9_output);
    Devices devices =
        name_devices(settings.dev_dvb, settings.dev_video, settings.poll.frontend_lock_test, settings.no_decoder);
    if (!open_devices(devices))
        return 0;
    OutputState state;
    if (!set_up_output_state(state, table, settings.delay)) {
        fprintf(stderr, "Error: Can't allocate the history for a delay of %u polls (%s)\n", settings.delay,
                strerror(errno));
        close_devices(devices);
        return 0;
    }
    poll_until_error(devices, settings, state);
    close_devices(devices);
    return 0;
}
