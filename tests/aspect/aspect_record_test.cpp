// aspect-record under the box simulator: what it records replays to what the
// detector printed on the box.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "box.h"

namespace {

const int W = 720, H = 576;

// A ramp picture between black bars of `bars` rows above and below.
std::string frame(int bars)
{
    return ramp_frame(W, H, bars, bars);
}

const std::string devices = "decoder /dev/dvb/adapter0/video0\n"
                            "frontend /dev/dvb/adapter0/frontend0\n"
                            "capture /dev/video0 720x576\n"
                            "clock virtual\n";

// Thirteen polls: repeats, wide streams, a frontend without lock, a format
// the decoder API does not name, and a frame seen again after others.
const std::string broadcast = devices
                              + "poll 4:3 frame=full.pgm times=3\n"
                                "poll 16:9 times=2\n"
                                "poll 4:3 frame=l16_9.pgm times=2\n"
                                "poll 4:3 nolock times=2\n"
                                "poll 4:3 frame=l16_9.pgm\n"
                                "poll 2.21:1\n"
                                "poll 7 frame=l14_9.pgm\n"
                                "poll 4:3 frame=full.pgm\n";

const std::string recorded_polls = "poll 4:3 frame=frame-00001.pgm times=3\n"
                                   "poll 16:9 times=2\n"
                                   "poll 4:3 frame=frame-00002.pgm times=2\n"
                                   "poll 4:3 nolock times=2\n"
                                   "poll 4:3 frame=frame-00002.pgm\n"
                                   "poll 2.21:1\n"
                                   "poll 7 frame=frame-00003.pgm\n"
                                   "poll 4:3 frame=frame-00004.pgm\n";

const std::string recorded_devices = "# replay: devsim scenario.scn -- aspect-detect -f\n" + devices;

struct BroadcastBox : Box {
    explicit BroadcastBox(const std::string &scenario_text = broadcast)
        : Box("aspect-record", scenario_text)
    {
        file("full.pgm", frame(0));
        file("l16_9.pgm", frame(72));
        file("l14_9.pgm", frame(41));
    }
};

} // namespace

TEST(AspectRecord, RecordingReplaysToWhatTheDetectorPrinted)
{
    BroadcastBox box;
    RunResult detected = box.run("aspect-detect", {"-f", "-e", "0", "-a"});
    ASSERT_NE(detected.out, "");

    RunResult r = box.run("aspect-record", {"-f", "-n", "13", "rec"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.read("rec/scenario.scn"),
              "# aspect-record: 13 polls every 0.08 s\n" + recorded_devices + recorded_polls);
    const std::vector<std::pair<std::string, std::string>> frames = {{"frame-00001.pgm", "full.pgm"},
                                                                     {"frame-00002.pgm", "l16_9.pgm"},
                                                                     {"frame-00003.pgm", "l14_9.pgm"},
                                                                     {"frame-00004.pgm", "full.pgm"}};
    for (const auto &[recorded, original] : frames)
        EXPECT_TRUE(box.read("rec/" + recorded) == box.read(original)) << recorded;
    EXPECT_FALSE(file_exists(box.path("rec/frame-00005.pgm")));
    EXPECT_FALSE(file_exists(box.path("rec/.partial")));

    RunResult replayed = run_program(
        {bin_path("devsim"), box.path("rec/scenario.scn"), "--", bin_path("aspect-detect"), "-f", "-e", "0", "-a"});
    EXPECT_EQ(replayed.out, detected.out);
    EXPECT_EQ(replayed.err, detected.err);
}

TEST(AspectRecord, RecordingOfAV4l2DeviceReplaysOnEitherKindOfDevice)
{
    std::string v4l2_broadcast = broadcast;
    v4l2_broadcast.replace(v4l2_broadcast.find("720x576"), 7, "720x576 v4l2 formats=NV21,YUYV stride=1472");
    BroadcastBox box(v4l2_broadcast);
    RunResult detected = box.run("aspect-detect", {"-f", "-e", "0", "-a"});
    ASSERT_NE(detected.out, "");

    RunResult r = box.run("aspect-record", {"-f", "-n", "13", "rec"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The recording names a V4L1 device; the same polls on a V4L2 device in another format.
    std::string recorded = box.read("rec/scenario.scn");
    EXPECT_EQ(recorded, "# aspect-record: 13 polls every 0.08 s\n" + recorded_devices + recorded_polls);
    EXPECT_TRUE(box.read("rec/frame-00002.pgm") == box.read("l16_9.pgm")) << "the luma of padded NV21 rows";
    std::string as_v4l2 = recorded;
    as_v4l2.replace(as_v4l2.find("720x576"), 7, "720x576 v4l2 formats=YU12");
    box.file("rec/v4l2.scn", as_v4l2);
    for (const char *scenario : {"rec/scenario.scn", "rec/v4l2.scn"}) {
        RunResult replayed = run_program(
            {bin_path("devsim"), box.path(scenario), "--", bin_path("aspect-detect"), "-f", "-e", "0", "-a"});
        EXPECT_EQ(replayed.out, detected.out) << scenario;
        EXPECT_EQ(replayed.err, detected.err) << scenario;
    }
}

TEST(AspectRecord, MakesTheDetectorsCallsAtItsTimesAndKeepsWhatCameBeforeADeviceError)
{
    BroadcastBox box;
    box.run("aspect-detect", {"-f"});
    std::string detector_trace = box.trace();

    // The poll steps run out after 13 polls, as a device would go away.
    RunResult r = box.run("aspect-record", {"-f", "rec"});
    EXPECT_EQ(box.trace(), detector_trace);
    EXPECT_EQ(r.err, "Error: Can't get status of device '/dev/dvb/adapter0/frontend0' (Input/output error)\n"
                         + bin_path("aspect-record") + ": the 13 polls before the error are kept in 'rec'\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(box.read("rec/scenario.scn"), "# aspect-record: 13 polls every 0.08 s\n"
                                            "# ended after 13 of 250 polls: a device request failed\n"
                                                + recorded_devices + recorded_polls);
}

TEST(AspectRecord, FailuresLeaveNoRecordingBehind)
{
    const std::string p = bin_path("aspect-record");
    struct Case {
        std::vector<std::string> args;
        std::string fail; // a fail rule for the scenario
        std::string err;
        int status;
    };
    for (const Case &c : {
             Case{{"rec"},
                  "open:/dev/video0 ENOENT",
                  "Error: Can't open video device '/dev/video0' (No such file or directory)\n",
                  1},
             Case{{"full.pgm/rec"}, "", p + ": can't create folder 'full.pgm/rec' (Not a directory)\n", 3},
             Case{{"-x", "rec"}, "", p + ": error - unknown option -x [arg #1] - not started\n", 2},
             Case{{"rec", "-n"}, "", p + ": error - missing argument for option -n [arg #2] - not started\n", 2},
             Case{{"-n", "0", "rec"},
                  "",
                  p + ": error - invalid number of polls '0' (decimal number; >0) - not started\n",
                  2},
             Case{{"--poll_rate=-1", "rec"},
                  "",
                  p + ": error - invalid poll rate '-1' (seconds; >0 and <=3600) - not started\n",
                  2},
             Case{{"-f"}, "", p + ": error - no folder given - not started\n", 2},
             Case{{"rec", "more"}, "", p + ": error - extra arguments 'more'... [arg #2...] - not started\n", 2},
         }) {
        BroadcastBox box;
        if (!c.fail.empty())
            box.scenario(broadcast + "fail " + c.fail + "\n");
        RunResult r = box.run("aspect-record", c.args);
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_FALSE(file_exists(box.path("rec"))) << c.args[0];
        if (c.fail.empty())
            EXPECT_EQ(box.calls({.times = false}), std::vector<std::string>{}) << c.args[0];
        else
            EXPECT_EQ(box.calls({.times = false}).back(), "exit still open: none") << c.args[0];
    }

    // A folder that holds anything stays as it is; one that others may
    // write is refused, since they could swap .partial for a link.
    struct Refused {
        std::string left; // a file put into rec first, or ""
        mode_t mode;
        bool other_owner;
        std::string err;
    };
    for (const Refused &c : {
             Refused{
                 ".partial", 0755, false,
                 p
                     + ": folder 'rec' holds only '.partial', what a stopped or older run left; remove it and record "
                       "again\n"},
             Refused{"notes", 0755, false, p + ": folder 'rec' is not empty\n"},
             Refused{"", 0777, false,
                     p
                         + ": folder 'rec' may be written by others; record into a folder only you can "
                           "write\n"},
             Refused{"", 0755, true, p + ": folder 'rec' belongs to another user; record into a folder of your own\n"},
         }) {
        if (c.other_owner && geteuid() != 0)
            continue; // only root can give a folder away
        BroadcastBox box;
        ASSERT_EQ(mkdir(box.path("rec").c_str(), c.mode), 0);
        ASSERT_EQ(chmod(box.path("rec").c_str(), c.mode), 0);
        if (c.other_owner) {
            ASSERT_EQ(chown(box.path("rec").c_str(), 65534, 65534), 0);
        }
        if (!c.left.empty())
            box.file("rec/" + c.left, "left behind");
        RunResult r = box.run("aspect-record", {"rec"});
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(box.calls({.times = false}), std::vector<std::string>{}) << c.err;
        if (!c.left.empty()) {
            EXPECT_EQ(box.read("rec/" + c.left), "left behind");
        } else {
            EXPECT_FALSE(file_exists(box.path("rec/.partial"))) << c.err;
        }
    }
}

TEST(AspectRecord, FullDiskLeavesNoRecordingBehind)
{
    // A file size limit of half a frame: the first frame is cut short, and
    // the recorder reports it rather than being killed by SIGXFSZ.
    BroadcastBox box;
    RunOptions opt;
    opt.cwd = box.dir;
    std::vector<std::string> argv = {"sh", "-c", "ulimit -f 400; exec \"$@\"", "sh"};
    for (const std::string &word : box.argv("aspect-record", {"-n", "13", "rec"}))
        argv.push_back(word);
    RunResult r = run_program(argv, opt);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, bin_path("aspect-record") + ": can't write 'rec/.partial/frame-00001.pgm' (File too large)\n");
    EXPECT_FALSE(file_exists(box.path("rec")));
}

TEST(AspectRecord, StopSignalEndsWithACompleteRecording)
{
    for (const char *signal : {"INT", "HUP"}) {
        // Real time, so that the signal comes in the middle of the recording:
        // it is sent once three polls have slept.
        BroadcastBox box("decoder /dev/dvb/adapter0/video0\ncapture /dev/video0 720x576\n"
                         "poll 4:3 frame=full.pgm times=1000\n");
        std::vector<std::string> argv = {
            "/bin/sh", "-c",
            "\"$@\" & i=0\n"
            "while [ $(grep -c usleep trace) -lt 3 ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
            "kill -"
                + std::string(signal) + " $!; wait $!",
            "sh"};
        for (const std::string &word : box.argv("aspect-record", {"-n", "1000", "rec"}))
            argv.push_back(word);
        box.file("trace", "");
        RunOptions opt;
        opt.cwd = box.dir;
        RunResult r = run_program(argv, opt);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");

        int polls = 0;
        for (const std::string &line : box.calls({.times = false}))
            polls += line.rfind("VIDEO_GET_STATUS", 0) == 0;
        ASSERT_GE(polls, 3);
        std::string n = std::to_string(polls);
        EXPECT_EQ(box.read("rec/scenario.scn"),
                  "# aspect-record: " + n
                      + " polls every 0.08 s\n"
                        "# ended after "
                      + n
                      + " of 1000 polls: stopped by a signal\n"
                        "# replay: devsim scenario.scn -- aspect-detect\n"
                        "decoder /dev/dvb/adapter0/video0\ncapture /dev/video0 720x576\nclock virtual\n"
                        "poll 4:3 frame=frame-00001.pgm times="
                      + n + "\n")
            << signal;
        EXPECT_EQ(box.calls({.times = false}).back(), "exit still open: none") << signal;
    }
}
