// aspect-detect run unchanged under the box simulator (devsim).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <sys/sysinfo.h>
#include <vector>

#include "box.h"

namespace {

const int W = 720, H = 576;

// A box with the detector's frames beside its scenario.
struct Detector : Box {
    Detector()
        : Box("aspect-detect")
    {
    }

    void frame(const std::string &name, int top, int bottom) const { file(name, ramp_frame(W, H, top, bottom)); }

    // Runs the detector; with `merged`, its standard output goes into the
    // trace as well, so each printed line sits among the calls of the poll
    // that printed it (marked "> ").
    RunResult run(const std::string &scenario_text, const std::vector<std::string> &args, bool merged = false) const
    {
        scenario(scenario_text);
        return merged ? run_merged("aspect-detect", args) : Box::run("aspect-detect", args);
    }

    std::vector<std::string> calls() const { return Box::calls({.times = false}); }

    // What each poll printed, one entry per poll ("" for nothing); needs a
    // merged run. A poll begins with its first status request.
    std::vector<std::string> printed_per_poll(const char *first_request = "VIDEO_GET_STATUS") const
    {
        std::vector<std::string> polls;
        for (const std::string &line : calls()) {
            if (line.rfind(first_request, 0) == 0 && line.find("-> -1") == std::string::npos)
                polls.push_back("");
            else if (!polls.empty() && line.rfind("> ", 0) == 0)
                polls.back() += line.substr(2) + " ";
        }
        return polls;
    }
};

const std::string devices = "decoder /dev/dvb/adapter0/video0\n"
                            "frontend /dev/dvb/adapter0/frontend0\n"
                            "capture /dev/video0 720x576\n"
                            "clock virtual\n";

const std::vector<std::string> opened = {
    "open /dev/dvb/adapter0/video0 O_RDONLY|O_NONBLOCK -> fd",
    "open /dev/dvb/adapter0/frontend0 O_RDONLY|O_NONBLOCK -> fd",
    "open /dev/video0 O_RDWR -> fd",
    "VIDIOCGMBUF /dev/video0 -> 0 size=414720 frames=1",
    "mmap /dev/video0 length=414720 PROT_READ|PROT_WRITE MAP_SHARED offset=0 -> ok",
    "VIDIOCGCAP /dev/video0 -> 0 maxwidth=720 maxheight=576",
};

const std::vector<std::string> shut_down = {
    "munmap /dev/video0 length=414720 -> 0", "close /dev/video0 -> 0", "close /dev/dvb/adapter0/frontend0 -> 0",
    "close /dev/dvb/adapter0/video0 -> 0",   "exit still open: none",
};

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string usage_text(const std::string &progname)
{
    return "Usage: " + progname
           + " [<Options>]\n"
             "  -v, --dev_video=<Device>  Video device\n"
             "                            (default is /dev/video0)\n"
             "  -d, --dev_dvb=<Device>    DVB device\n"
             "                            (default is /dev/dvb/adapter0)\n"
             "  -t, --pan_tone_tolerance  Maximum difference of a pixel from the most gray tone pixels within\n"
             "   =<Value>                 a pan vector (hex; grayscale; 0..ff; default is 08).\n"
             "                            This option and its value is ignored if -b or --black is given\n"
             "  -b, --black=<Value>       Enable pan vector detection by a given lowest value of a pixel,\n"
             "                            interpreted as black (hex; grayscale; 0..ff; choose 20 or so).\n"
             "                            Otherwise the gray tone of the pan vector is detected automaticly\n"
             "                            (may be white, green or whatever just as well).\n"
             "  -s, --overscan=<Value>    The width of a frame around the picture which is ignored during\n"
             "                            analyzing of the pan vectors (real number; percent; 0..100; default is 3)\n"
             "  -l, --logo_width=<Value>  Maximum width of a range with wrong pixels (a logo) within a pan\n"
             "                            vector (real number; percent; 0..100; default is 20)\n"
             "  -p, --poll_rate=<Value>   Poll rate (frequency of picture analyzing; real number; seconds; >0;\n"
             "                            (default is 0.08; lower values than 0.08 makes no sense at the moment)\n"
             "  -e, --delay=<Value>       Delay output until last <Value> analyzed pictures produces the\n"
             "                            same result (multiply with poll_rate to get delay time;\n"
             "                            decimal number; >= 0; default is 25)\n"
             "  -a, --aspect              Output aspect ratio in addition as number\n"
             "                            (e.g \"133 4:3\")\n"
             "  -f                        Enable 'frontend has lock' test\n"
             "                            (no longer useful, because of black screen detection, but...)\n"
             "  -o                        Enable L>16:9 output (normaly this makes no sense)\n"
             "      --no-decoder          Run without a DVB decoder: every poll grabs a frame\n"
             "      --robust              Judge noisy pictures and subtitles in the bars as a viewer would\n"
             "  -h, --help                Displays this page (and exits)\n";
}

const std::string end_of_polls = "Error: Can't get status of device '/dev/dvb/adapter0/video0' (Input/output error)\n";

} // namespace

TEST(AspectDetect, HelpPrintsTheUsageWithTheDefaultsAndOpensNothing)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-h"}, {"-t", "10", "-s", "7", "--help"}, {"-h", "-x"}}) {
        Detector box;
        box.frame("full.pgm", 0, 0);
        RunResult r = box.run(devices + "poll 4:3 frame=full.pgm\n", args);
        EXPECT_EQ(r.out, usage_text(bin_path("aspect-detect"))) << args[0];
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(box.calls(), std::vector<std::string>{});
    }
}

TEST(AspectDetect, OptionErrorsAreReportedAndTheRunGoesOn)
{
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::string p = bin_path("aspect-detect");
    for (const Case &c : {
             Case{{"-x"}, p + ": error - unkown option -x [arg #1] - ignored\n"},
             Case{{"-e"}, p + ": error - missing argument for option -e [arg #1] - ignored\n"},
             Case{{"-e", "0", "--del"}, p + ": error - missing argument for option --del [arg #3] - ignored\n"},
             Case{{"--aspect=1"}, p + ": error - unkown option --aspect=1 [arg #1] - ignored\n"},
             Case{{"--dev", "x"},
                  p + ": error - unkown option --dev [arg #1] - ignored\n" + p
                      + ": error - extra arguments 'x'... [arg #2...] - ignored\n"},
             Case{{"foo", "bar"}, p + ": error - extra arguments 'foo'... [arg #1...] - ignored\n"},
         }) {
        Detector box;
        box.frame("full.pgm", 0, 0);
        RunResult r = box.run(devices + "poll 4:3 frame=full.pgm\n", c.args);
        EXPECT_EQ(r.err, c.error + end_of_polls) << c.args[0];
        EXPECT_EQ(r.out, "4:3\n") << c.args[0];
        EXPECT_EQ(r.status, 0);
    }
}

TEST(AspectDetect, NegativeOverscanIsRefusedBeforeAnyDevice)
{
    const std::string p = bin_path("aspect-detect");
    for (auto [value, shown] : {std::pair{"-3", "-3"}, {"nan", "nan"}}) {
        Detector box;
        RunResult r = box.run(devices, {"-s", value});
        EXPECT_EQ(r.err, p + ": error - invalid overscan " + shown + " (percent; 0..100) - not started\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(box.calls(), std::vector<std::string>{});
    }
}

TEST(AspectDetect, DeviceFailuresAreReportedAfterClosingWhatWasOpen)
{
    struct Case {
        std::string fail;
        std::string error;
        std::vector<std::string> trace;
        std::string out;
    };
    auto first = [](size_t n) { return std::vector<std::string>(opened.begin(), opened.begin() + n); };
    auto tail = [](size_t n) { return std::vector<std::string>(shut_down.end() - n, shut_down.end()); };
    const std::vector<std::string> poll1 = {
        "FE_READ_STATUS /dev/dvb/adapter0/frontend0 -> 0 status=0x1f (lock)",
        "VIDEO_GET_STATUS /dev/dvb/adapter0/video0 -> 0 video_format=0 (4:3)",
        "VIDIOCMCAPTURE /dev/video0 frame=0 width=720 height=576 format=1 -> 0",
        "VIDIOCSYNC /dev/video0 frame=0 -> 0 (full.pgm)",
        "usleep 39000 -> 0",
    };
    const std::vector<std::string> locked = {
        "FE_READ_STATUS /dev/dvb/adapter0/frontend0 -> 0 status=0x1f (lock)",
    };
    for (const Case &c : {
             Case{"open:/dev/dvb/adapter0/video0 ENODEV",
                  "Error: Can't open dvb video device '/dev/dvb/adapter0/video0' (No such device)\n",
                  {"open /dev/dvb/adapter0/video0 O_RDONLY|O_NONBLOCK -> -1 ENODEV"},
                  ""},
             Case{"open:/dev/dvb/adapter0/frontend0 EACCES",
                  "Error: Can't open dvb frontend device '/dev/dvb/adapter0/frontend0' (Permission denied)\n",
                  join(first(1), {"open /dev/dvb/adapter0/frontend0 O_RDONLY|O_NONBLOCK -> -1 EACCES",
                                  "close /dev/dvb/adapter0/video0 -> 0", "exit still open: none"}),
                  ""},
             Case{"open:/dev/video0 EBUSY", "Error: Can't open video device '/dev/video0' (Device or resource busy)\n",
                  join(join(first(2), {"open /dev/video0 O_RDWR -> -1 EBUSY"}), tail(3)), ""},
             Case{"VIDIOCGMBUF EIO",
                  "Error: Can't open video buffer on video device '/dev/video0' (Input/output error)\n",
                  join(join(first(3), {"VIDIOCGMBUF /dev/video0 -> -1 EIO"}), tail(4)), ""},
             Case{"mmap ENOMEM",
                  "Error: Can't map video buffer of video device '/dev/video0' (Cannot allocate memory)\n",
                  join(join(first(4),
                            {"mmap /dev/video0 length=414720 PROT_READ|PROT_WRITE MAP_SHARED offset=0 -> -1 ENOMEM"}),
                       tail(4)),
                  ""},
             Case{"VIDIOCGCAP EINVAL", "Error: Can't query caps of video device '/dev/video0' (Invalid argument)\n",
                  join(join(first(5), {"VIDIOCGCAP /dev/video0 -> -1 EINVAL"}), shut_down), ""},
             Case{"FE_READ_STATUS@2 ETIMEDOUT",
                  "Error: Can't get status of device '/dev/dvb/adapter0/frontend0' (Connection timed out)\n",
                  join(join(join(opened, poll1), {"FE_READ_STATUS /dev/dvb/adapter0/frontend0 -> -1 ETIMEDOUT"}),
                       shut_down),
                  "4:3\n"},
             Case{"VIDEO_GET_STATUS@2 EIO", end_of_polls,
                  join(join(join(join(opened, poll1), locked), {"VIDEO_GET_STATUS /dev/dvb/adapter0/video0 -> -1 EIO"}),
                       shut_down),
                  "4:3\n"},
             // Both grab requests are made; the error is that of the last one.
             Case{"VIDIOCMCAPTURE@2 EBUSY", "Error: Can't grab on video device '/dev/video0' (Invalid argument)\n",
                  join(join(join(opened, poll1),
                            {locked[0], poll1[1],
                             "VIDIOCMCAPTURE /dev/video0 frame=0 width=720 height=576 format=1 -> -1 EBUSY",
                             "VIDIOCSYNC /dev/video0 frame=0 -> -1 EINVAL"}),
                       shut_down),
                  "4:3\n"},
             Case{"VIDIOCSYNC@2 EIO", "Error: Can't grab on video device '/dev/video0' (Input/output error)\n",
                  join(join(join(opened, poll1),
                            {locked[0], poll1[1], poll1[2], "VIDIOCSYNC /dev/video0 frame=0 -> -1 EIO"}),
                       shut_down),
                  "4:3\n"},
         }) {
        Detector box;
        box.frame("full.pgm", 0, 0);
        RunResult r = box.run(devices + "poll 4:3 frame=full.pgm times=5\nfail " + c.fail + "\n", {"-f"});
        EXPECT_EQ(r.err, c.error) << c.fail;
        EXPECT_EQ(box.calls(), c.trace) << c.fail;
        EXPECT_EQ(r.out, c.out) << c.fail;
        EXPECT_EQ(r.status, 0) << c.fail;
    }
}

TEST(AspectDetect, CaptureBufferSmallerThanTheFrameIsRefused)
{
    Detector box;
    std::string scenario = devices;
    scenario.replace(scenario.find("720x576"), 7, "720x576 mbuf=414719");
    RunResult r = box.run(scenario + "poll 4:3\n", {"-f"});
    EXPECT_EQ(r.err, "Error: Can't use video buffer of video device '/dev/video0' "
                     "(414719 bytes mapped, a 720x576 frame needs 414720)\n");
    std::vector<std::string> trace = {
        opened[0],
        opened[1],
        opened[2],
        "VIDIOCGMBUF /dev/video0 -> 0 size=414719 frames=1",
        "mmap /dev/video0 length=414719 PROT_READ|PROT_WRITE MAP_SHARED offset=0 -> ok",
        opened[5],
        "munmap /dev/video0 length=414719 -> 0",
    };
    EXPECT_EQ(box.calls(), join(trace, {shut_down.begin() + 1, shut_down.end()}));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

TEST(AspectDetect, DelayTooLargeForMemoryIsReportedAfterClosing)
{
    struct sysinfo info;
    ASSERT_EQ(sysinfo(&info), 0);
    if ((double(info.totalram) + double(info.totalswap)) * info.mem_unit >= 4294967295.0 * sizeof(std::string))
        GTEST_SKIP() << "this machine could hold the history";
    Detector box;
    RunResult r = box.run(devices + "poll 4:3\n", {"-f", "-e", "4294967295"});
    EXPECT_EQ(r.err, "Error: Can't allocate the history for a delay of 4294967295 polls (Cannot allocate memory)\n");
    EXPECT_EQ(box.calls(), join(opened, shut_down));
    EXPECT_EQ(r.status, 0);
}

TEST(AspectDetect, FrontendWithoutLockSkipsDecoderAndGrabButRepeatsTheLine)
{
    Detector box;
    box.frame("full.pgm", 0, 0);
    RunResult r = box.run(devices
                              + "poll 4:3 nolock frame=full.pgm times=2\n"
                                "poll 4:3 lock frame=full.pgm\n"
                                "poll 4:3 nolock times=2\n",
                          {"-f", "-e", "0"}, true);
    EXPECT_EQ(r.err, "Error: Can't get status of device '/dev/dvb/adapter0/frontend0' (Input/output error)\n");
    EXPECT_EQ(box.printed_per_poll("FE_READ_STATUS"), (std::vector<std::string>{"", "", "4:3 ", "4:3 ", "4:3 "}));
    std::vector<std::string> calls = box.calls();
    std::vector<std::string> expected = {
        "FE_READ_STATUS /dev/dvb/adapter0/frontend0 -> 0 status=0x03 (no lock)",
        "usleep 78999 -> 0", // the float 0.08 is a little below 0.08
    };
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 6, calls.begin() + 8), expected);
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string &l) { return l.rfind("VIDEO_GET_STATUS", 0) == 0; }),
              1);
    EXPECT_EQ(
        std::count_if(calls.begin(), calls.end(), [](const std::string &l) { return l.rfind("VIDIOCSYNC", 0) == 0; }),
        1);
}

TEST(AspectDetect, WideStreamPrintsAtOnceGrabsNothingAndEndsWithAFreshClass)
{
    for (bool aspect : {false, true}) {
        Detector box;
        box.frame("full.pgm", 0, 0);
        box.frame("wide.pgm", 72, 72);
        std::vector<std::string> args = {"-e", "25"};
        if (aspect)
            args.push_back("-a");
        RunResult r = box.run(devices
                                  + "poll 4:3 frame=full.pgm\n"
                                    "poll 16:9 times=3\n"
                                    "poll 2.21:1 frame=full.pgm\n"
                                    "poll 4:3 frame=wide.pgm times=2\n"
                                    "poll 2.21:1\n"
                                    "poll 7 frame=full.pgm\n",
                              args, true);
        EXPECT_EQ(r.err, end_of_polls);
        std::vector<std::string> expected = {
            aspect ? "141 4:3 " : "4:3 ", "16:9 ", "", "", "", aspect ? "177 L16:9 " : "L16:9 ", "", "16:9 ",
            aspect ? "141 4:3 " : "4:3 "};
        EXPECT_EQ(box.printed_per_poll(), expected);
        // Only the 4:3 polls (and format 7) grab a frame.
        std::vector<std::string> calls = box.calls();
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                                [](const std::string &l) { return l.rfind("VIDIOCMCAPTURE", 0) == 0; }),
                  4);
    }
}

TEST(AspectDetect, NewClassIsPrintedInThePollItHasHeldForDelayPlusOne)
{
    const std::string scenario = devices
                                 + "poll 4:3 frame=full.pgm times=2\n"
                                   "poll 4:3 frame=l16_9.pgm\n" // a short deviation
                                   "poll 4:3 frame=full.pgm times=3\n"
                                   "poll 4:3 frame=l16_9.pgm times=3\n"
                                   "poll 4:3 frame=l14_9.pgm times=3\n"
                                   "poll 4:3 frame=over.pgm times=3\n";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> printed;
    };
    for (const Case &c : {
             Case{{"-e", "2"}, {"4:3 ", "", "", "", "", "4:3 ", "", "", "L16:9 ", "", "", "L14:9 ", "", "", "L16:9 "}},
             Case{{"-e", "2", "-a", "-o"},
                  {"141 4:3 ", "", "", "", "", "141 4:3 ", "", "", "177 L16:9 ", "", "", "155 L14:9 ", "", "",
                   "235 L>16:9 "}},
             Case{{"--delay=0"},
                  {"4:3 ", "4:3 ", "L16:9 ", "4:3 ", "4:3 ", "4:3 ", "L16:9 ", "L16:9 ", "L16:9 ", "L14:9 ", "L14:9 ",
                   "L14:9 ", "L16:9 ", "L16:9 ", "L16:9 "}},
         }) {
        Detector box;
        box.frame("full.pgm", 0, 0);     // active height 542
        box.frame("l16_9.pgm", 72, 72);  // 432
        box.frame("l14_9.pgm", 41, 41);  // 494
        box.frame("over.pgm", 125, 125); // 326
        RunResult r = box.run(scenario, c.args, true);
        EXPECT_EQ(box.printed_per_poll(), c.printed) << c.args[0];
        EXPECT_EQ(r.err, end_of_polls);
    }
}

TEST(AspectDetect, NumberOptionsReachTheMeasurement)
{
    // Bars of grey 40 in which every row has a pixel of 55 near each side
    // (660 columns apart): bar rows only when 55 lies in the band or the
    // logo limit spans them.
    Detector box;
    std::string pgm = "P5\n720 576\n255\n";
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            bool bar = y < 72 || y >= H - 72;
            pgm += char(!bar ? x * 255 / (W - 1) : x == 30 || x == 690 ? 55 : 40);
        }
    box.file("grey.pgm", pgm);
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    for (const Case &c : {
             Case{{}, "4:3\n"},                                                       // band 32..48
             Case{{"-t", "10"}, "L16:9\n"},                                           // hexadecimal: 24..56
             Case{{"--pan=e"}, "4:3\n"},                                              // 26..54
             Case{{"-b", "37"}, "L16:9\n"},                                           // 0..0x37
             Case{{"-b", "36"}, "4:3\n"}, Case{{"-t", "10", "-b", "100"}, "L16:9\n"}, // low eight bits 0: automatic
             Case{{"-l", "92"}, "L16:9\n"},                                           // 662 columns
             Case{{"-l", "91"}, "4:3\n"},                                             // 655 columns
             Case{{"-s", "0", "-a"}, "133 4:3\n"},
             Case{{"-s", "3", "-a"}, "141 4:3\n"}, // the default: margin of 17 rows
         }) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-e", "0"});
        RunResult r = box.run(devices + "poll 4:3 frame=grey.pgm\n", args);
        std::string shown = "defaults";
        for (size_t i = 0; i < c.args.size(); i++)
            shown = (i ? shown + " " : "") + c.args[i];
        EXPECT_EQ(r.out, c.out) << shown;
    }
}

TEST(AspectDetect, RobustJudgesANoisySubtitledLetterboxAsAViewerWould)
{
    // A 16:9 letterbox whose black bars carry grain of +-12 levels and a
    // line of text in the bottom bar.
    Detector box;
    std::string pgm = "P5\n720 576\n255\n";
    unsigned seed = 1;
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            seed = seed * 1103515245 + 12345;
            int grain = int(seed >> 16) % 25 - 12;
            bool text = y >= 520 && y < 544 && x >= 200 && x < 520 && (x / 6 + y / 4) % 3;
            int level = y < 72 || y >= H - 72 ? (text ? 235 : 16) : x * 255 / (W - 1);
            pgm += char(std::clamp(level + grain, 0, 255));
        }
    box.file("noisy.pgm", pgm);
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    for (const Case &c : {Case{{}, "4:3\n"}, Case{{"--robust"}, "L16:9\n"}, Case{{"--robust", "-t", "2"}, "4:3\n"}}) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-e", "0"});
        RunResult r = box.run(devices + "poll 4:3 frame=noisy.pgm\n", args);
        EXPECT_EQ(r.out, c.out) << (c.args.empty() ? "defaults" : c.args.back());
        EXPECT_EQ(r.err, "Error: Can't get status of device '/dev/dvb/adapter0/video0' (Input/output error)\n");
    }
}

TEST(AspectDetect, SleepsThePeriodLessThePollsOwnTimeLessOneMillisecond)
{
    // Polls start at trace times t0 and sleep at t1 (virtual seconds since
    // 946684800); the detector reads the clock as seconds plus microseconds
    // in a double, and the period is the float nearest 0.08.
    Detector box;
    box.frame("full.pgm", 0, 0);
    RunResult r = box.run(devices + "poll 4:3 frame=full.pgm times=20\npoll 16:9 times=3\n", {});
    EXPECT_EQ(r.err, end_of_polls);
    std::string text = box.trace();
    long long start = -1;
    int sleeps = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        long long sec, usec;
        char call[32];
        long long slept;
        if (sscanf(line.c_str(), "%lld.%lld %31s", &sec, &usec, call) != 3)
            continue;
        long long micros = sec * 1000000 + usec;
        if (std::string(call) == "VIDEO_GET_STATUS") {
            start = micros;
        } else if (sscanf(line.c_str(), "%*s usleep %lld", &slept) == 1) {
            auto clock = [](long long us) { return double(946684800 + us / 1000000) + (us % 1000000) * 1e-6; };
            double s = double(0.08f) - (clock(micros) - clock(start)) - 0.001;
            EXPECT_EQ(slept, (long long)(s * 1000000)) << line;
            // That is the period less the capture time of 0.04 s (none for a
            // wide stream) less 1 ms, give or take the rounding of the clock.
            long long ideal = micros - start == 40000 ? 39000 : 79000;
            EXPECT_TRUE(slept == ideal || slept == ideal - 1) << line;
            sleeps++;
        }
    }
    EXPECT_EQ(sleeps, 23);
}

TEST(AspectDetect, PollRatesWithoutARestSleepNothingAndLongOnesSleepInPieces)
{
    auto sleeps_for = [](const std::string &rate) {
        Detector box;
        box.run(devices + "poll 16:9\n", {"-p", rate});
        std::vector<std::string> sleeps;
        for (const std::string &line : box.calls())
            if (line.rfind("usleep", 0) == 0)
                sleeps.push_back(line);
        return sleeps;
    };
    EXPECT_EQ(sleeps_for("0.0005"), std::vector<std::string>{});
    EXPECT_EQ(sleeps_for("-1"), std::vector<std::string>{});
    EXPECT_EQ(sleeps_for("nan"), std::vector<std::string>{});
    EXPECT_EQ(sleeps_for("0.5"), std::vector<std::string>{"usleep 499000 -> 0"});
    // 10000 s less 1 ms is more than a usleep can take in one call.
    EXPECT_EQ(sleeps_for("10000"),
              (std::vector<std::string>{"usleep 4294967295 -> 0", "usleep 4294967295 -> 0", "usleep 1410064410 -> 0"}));
}

TEST(AspectDetect, DevicePathsAreComposedFromTheOptionsWithoutASeparator)
{
    Detector box;
    box.frame("full.pgm", 0, 0);
    box.run("decoder /dev/dvb/adapter1/video0\nfrontend /dev/dvb/adapter1/frontend0\n"
            "capture /dev/video1 720x576\nclock virtual\npoll 4:3 frame=full.pgm\n",
            {"--dev_dvb=/dev/dvb/adapter1/", "-f", "--dev_v", "/dev/video1"});
    std::vector<std::string> calls = box.calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "open /dev/dvb/adapter1//video0 O_RDONLY|O_NONBLOCK -> fd");
    EXPECT_EQ(calls[1], "open /dev/dvb/adapter1//frontend0 O_RDONLY|O_NONBLOCK -> fd");
    EXPECT_EQ(calls[2], "open /dev/video1 O_RDWR -> fd");
}

// ---- a Video4Linux 2 capture device ----------------------------------------

namespace {

// The devices with the capture line's words after its size.
std::string v4l2_devices(const std::string &words)
{
    std::string s = devices;
    s.replace(s.find("720x576"), 7, "720x576 v4l2 " + words);
    return s;
}

// Frames with bars of 0, 72 and 41 rows.
struct V4l2Detector : Detector {
    V4l2Detector()
    {
        frame("full.pgm", 0, 0);
        frame("l16_9.pgm", 72, 72);
        frame("l14_9.pgm", 41, 41);
    }
};

} // namespace

TEST(AspectDetect, V4l2DeviceInEveryRawFormatPrintsWhatAV4l1DevicePrints)
{
    const std::string polls = "poll 4:3 frame=full.pgm times=2\npoll 4:3 frame=l16_9.pgm\npoll 16:9 times=2\n"
                              "poll 4:3 frame=l14_9.pgm times=2\npoll 4:3 nolock\npoll 4:3 frame=full.pgm\n";
    V4l2Detector box;
    RunResult v4l1 = box.run(devices + polls, {"-e", "0", "-a"});
    ASSERT_EQ(v4l1.out, "141 4:3\n141 4:3\n177 L16:9\n16:9\n155 L14:9\n155 L14:9\n155 L14:9\n141 4:3\n");
    struct Format {
        const char *name;
        int row; // the least bytes of a row
    };
    for (Format f : {Format{"GREY", 720},
                     {"YUYV", 1440},
                     {"UYVY", 1440},
                     {"YU12", 720},
                     {"YV12", 720},
                     {"NV12", 720},
                     {"NV21", 720}}) {
        for (int padding : {0, 64}) {
            // Listed behind a format the detector cannot use, so that it has to choose.
            std::string words = "formats=MJPG," + std::string(f.name) + " stride=" + std::to_string(f.row + padding);
            RunResult r = box.run(v4l2_devices(words) + polls, {"-e", "0", "-a"});
            EXPECT_EQ(r.out, v4l1.out) << words;
            EXPECT_EQ(r.err, v4l1.err) << words;
            EXPECT_EQ(box.calls().back(), "exit still open: none") << words;
        }
    }
}

TEST(AspectDetect, V4l2PollMeasuresItsOwnPictureNotOneTheDriverKeptSinceTheLastPoll)
{
    // Five frames a poll: more are filled than there are buffers, and the
    // picture changes at every poll.
    V4l2Detector box;
    RunResult r = box.run(v4l2_devices("formats=YUYV")
                              + "poll 4:3 frame=full.pgm\npoll 4:3 frame=l16_9.pgm\npoll 4:3 frame=l14_9.pgm\n"
                                "poll 4:3 frame=full.pgm\npoll 4:3 frame=l16_9.pgm\n",
                          {"-e", "0", "-a", "-p", "0.2"});
    EXPECT_EQ(r.out, "141 4:3\n177 L16:9\n155 L14:9\n141 4:3\n177 L16:9\n");
    EXPECT_EQ(r.err, end_of_polls);
}

TEST(AspectDetect, V4l2DeviceTheDetectorCannotUseIsReportedAndReleased)
{
    struct Case {
        std::string words;
        std::string error;
    };
    for (const Case &c : {
             Case{"formats=MJPG", "Error: Can't use video device '/dev/video0': none of GREY, YUYV, UYVY, YU12, YV12, "
                                  "NV12, NV21 is offered (it offers MJPG)\n"},
             Case{"buffers=1",
                  "Error: Can't open video buffer on video device '/dev/video0' (Cannot allocate memory)\n"},
         }) {
        V4l2Detector box;
        RunResult r = box.run(v4l2_devices(c.words) + "poll 4:3 frame=full.pgm\n", {});
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(box.calls().back(), "exit still open: none") << c.words;
    }
}

TEST(AspectDetect, NoDecoderOpensNoDecoderAndGrabsInEveryPollUntilTheStepsEnd)
{
    // The steps' formats are not asked: a wide step is measured like any other.
    V4l2Detector box;
    RunResult r = box.run(v4l2_devices("formats=UYVY")
                              + "poll 4:3 frame=full.pgm times=2\npoll 16:9 frame=l16_9.pgm\npoll 4:3 times=2\n",
                          {"--no-decoder", "-e", "0", "-a"});
    EXPECT_EQ(r.out, "141 4:3\n141 4:3\n177 L16:9\n177 L16:9\n177 L16:9\n");
    EXPECT_EQ(r.err, "Error: Can't grab on video device '/dev/video0' (Input/output error)\n");
    std::vector<std::string> calls = box.calls();
    EXPECT_EQ(calls[0], "open /dev/video0 O_RDWR -> fd");
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string &l) { return l.find("/dev/dvb/") != std::string::npos; }),
              0);
    EXPECT_EQ(calls.back(), "exit still open: none");
}
