// Every device call of every device program, failed under devsim: the first
// occurrence and the last one of each call seen in a clean run, with each
// errno such a call can give. The program must give its own message and
// status for that call, must not crash or hang, and must have closed every
// simulated device when it ends normally.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "box.h"

namespace {

struct Call {
    std::string name; // as a fail directive names it: "open:/dev/vbi0", "VIDIOCSYNC", ...
    int count = 0;    // occurrences in the clean run
};

struct Outcome {
    std::string err;
    int status;
};

struct Program {
    std::string program;
    std::string scenario; // without the fail line
    std::vector<std::string> args;
    std::optional<std::string> input;
    // The documented outcome when `call` fails with `err` (the errno's text);
    // `clean` is the outcome of the clean run, for calls whose failure the
    // program does not report.
    std::function<Outcome(const std::string &call, const std::string &err, const Outcome &clean)> expected;
    // Instead of expected where the outcome depends on which occurrence (1 or
    // the last) of the call failed.
    std::function<Outcome(const std::string &call, int nth, const std::string &err, const Outcome &clean)> expected_nth;
    // Open devices that the program leaves to process exit by design.
    std::string left_open = "none";
};

// The errnos a call of each kind can give.
std::vector<std::string> errnos_for(const std::string &call)
{
    if (call.rfind("open:", 0) == 0)
        return {"ENOENT", "EACCES", "EBUSY", "ENODEV"};
    if (call == "mmap")
        return {"ENOMEM", "EINVAL", "ENODEV"};
    if (call == "munmap")
        return {"EINVAL"};
    if (call == "close")
        return {"EIO", "EINTR"};
    if (call == "write")
        return {"EIO", "ENOSPC", "EINVAL", "EINTR"};
    if (call == "ioperm")
        return {"EPERM", "EINVAL"};
    if (call == "poll")
        return {"EINTR", "ENOMEM"};
    return {"EINVAL", "EIO", "ENOTTY", "EINTR"}; // device requests
}

std::string errno_text(const std::string &name)
{
    static const std::map<std::string, int> numbers = {{"ENOENT", ENOENT}, {"EACCES", EACCES}, {"EBUSY", EBUSY},
                                                       {"ENODEV", ENODEV}, {"ENOMEM", ENOMEM}, {"EINVAL", EINVAL},
                                                       {"EIO", EIO},       {"EINTR", EINTR},   {"ENOSPC", ENOSPC},
                                                       {"ENOTTY", ENOTTY}, {"EPERM", EPERM}};
    return strerror(numbers.at(name));
}

// The simulated calls of a trace, in order of first appearance.
std::vector<Call> calls_in(const std::string &trace)
{
    static const std::vector<std::string> not_calls = {
        "usleep", "sleep", "nanosleep", "clock_nanosleep", "exit", "outb", "outw", "outl", "end"};
    std::vector<Call> calls;
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string seconds, name, path;
        words >> seconds >> name >> path;
        if (std::find(not_calls.begin(), not_calls.end(), name) != not_calls.end())
            continue;
        if (name == "open")
            name += ":" + path;
        auto at = std::find_if(calls.begin(), calls.end(), [&](const Call &c) { return c.name == name; });
        if (at == calls.end())
            calls.push_back({name, 1});
        else
            at->count++;
    }
    return calls;
}

std::string still_open(const std::string &trace)
{
    const std::string mark = "exit still open: ";
    size_t at = trace.rfind(mark);
    if (at == std::string::npos)
        return "";
    return trace.substr(at + mark.size(), trace.find('\n', at) - at - mark.size());
}

RunResult run_in_box(const Program &p, const Box &box, const std::string &fail_line)
{
    box.scenario(p.scenario + fail_line);
    return box.run(p.program, p.args, {.input = p.input, .timeout = 20});
}

// Runs the clean program, then once per call, occurrence and errno with that
// call failed; returns the names of the calls it failed.
std::vector<std::string> sweep(const Program &p, const Box &box)
{
    RunResult clean = run_in_box(p, box, "");
    std::string clean_trace = box.trace();
    EXPECT_FALSE(clean.signaled || clean.timed_out) << clean.err;
    EXPECT_EQ(still_open(clean_trace), p.left_open) << clean_trace;
    Outcome clean_outcome{clean.err, clean.status};

    std::vector<Call> calls = calls_in(clean_trace);
    EXPECT_FALSE(calls.empty()) << clean_trace;
    int injected = 0;
    for (const Call &call : calls) {
        std::vector<int> occurrences = {1};
        if (call.count > 1)
            occurrences.push_back(call.count);
        for (int n : occurrences) {
            for (const std::string &err : errnos_for(call.name)) {
                std::string fail = "fail " + call.name + "@" + std::to_string(n) + " " + err + "\n";
                SCOPED_TRACE(fail);
                RunResult r = run_in_box(p, box, fail);
                std::string trace = box.trace();
                injected++;
                EXPECT_FALSE(r.timed_out) << trace;
                EXPECT_FALSE(r.signaled) << r.err;
                // the fault must really have happened
                EXPECT_NE(trace.find("-> -1 " + err), std::string::npos) << trace;
                Outcome want = p.expected_nth ? p.expected_nth(call.name, n, errno_text(err), clean_outcome)
                                              : p.expected(call.name, errno_text(err), clean_outcome);
                EXPECT_EQ(r.err, want.err);
                EXPECT_EQ(r.status, want.status);
                // a device that could not be opened leaves no line, or "none"
                std::string open_at_exit = still_open(trace);
                // a V4L2 buffer whose munmap failed stays mapped, and the exit line says so
                if (call.name == "munmap" && open_at_exit != p.left_open)
                    open_at_exit =
                        std::regex_replace(open_at_exit, std::regex("^\\S+ \\(buffers [0-9]+ mapped\\)$"), "none");
                if (!(call.name.rfind("open:", 0) == 0 && open_at_exit.empty())) {
                    EXPECT_EQ(open_at_exit, p.left_open) << trace;
                }
            }
        }
    }
    testing::Test::RecordProperty("faults_injected", injected);
    std::vector<std::string> names;
    for (const Call &call : calls)
        names.push_back(call.name);
    return names;
}

class FaultSweep : public testing::Test {
protected:
    Box box{"fault-sweep"};
};

TEST_F(FaultSweep, AspectDetectReportsEveryDeviceFailureAndClosesItsDevices)
{
    const std::string decoder = "/dev/dvb/adapter0/video0", frontend = "/dev/dvb/adapter0/frontend0",
                      video = "/dev/video0";
    Program p;
    p.program = "aspect-detect";
    p.args = {"-f", "-e", "1"};
    p.scenario = "decoder " + decoder + "\nfrontend " + frontend + "\ncapture " + video
                 + " 64x48\nclock virtual end=600\npoll 4:3 times=2\npoll 16:9\n";
    p.expected = [&](const std::string &call, const std::string &err, const Outcome &clean) -> Outcome {
        auto line = [&](const std::string &text, const std::string &path, const std::string &why) {
            return Outcome{"Error: Can't " + text + " '" + path + "' (" + why + ")\n", 0};
        };
        if (call == "open:" + decoder)
            return line("open dvb video device", decoder, err);
        if (call == "open:" + frontend)
            return line("open dvb frontend device", frontend, err);
        if (call == "open:" + video)
            return line("open video device", video, err);
        // A device that does not know the V4L1 request is asked as a V4L2
        // one, which this V4L1 device is not either.
        if (call == "VIDIOCGMBUF" && (err == strerror(ENOTTY) || err == strerror(EINVAL)))
            return line("query caps of video device", video, strerror(ENOTTY));
        if (call == "VIDIOCGMBUF")
            return line("open video buffer on video device", video, err);
        if (call == "mmap")
            return line("map video buffer of video device", video, err);
        if (call == "VIDIOCGCAP")
            return line("query caps of video device", video, err);
        if (call == "FE_READ_STATUS")
            return line("get status of device", frontend, err);
        if (call == "VIDEO_GET_STATUS")
            return line("get status of device", decoder, err);
        // Both grab requests are made; a failed capture request makes the
        // sync request fail too, and errno is then the sync's.
        if (call == "VIDIOCMCAPTURE")
            return line("grab on video device", video, strerror(EINVAL));
        if (call == "VIDIOCSYNC")
            return line("grab on video device", video, err);
        if (call == "munmap" || call == "close")
            return clean;
        ADD_FAILURE() << "no expectation for a failed " << call;
        return clean;
    };
    EXPECT_EQ(sweep(p, box),
              (std::vector<std::string>{"open:" + decoder, "open:" + frontend, "open:" + video, "VIDIOCGMBUF", "mmap",
                                        "VIDIOCGCAP", "FE_READ_STATUS", "VIDEO_GET_STATUS", "VIDIOCMCAPTURE",
                                        "VIDIOCSYNC", "munmap", "close"}));
}

TEST_F(FaultSweep, AspectDetectOnAV4l2DeviceReportsEveryFailureAndUnmapsEveryBuffer)
{
    const std::string decoder = "/dev/dvb/adapter0/video0", video = "/dev/video0";
    Program p;
    p.program = "aspect-detect";
    p.args = {"-e", "1"};
    p.scenario = "decoder " + decoder + "\ncapture " + video
                 + " 64x48 v4l2 formats=YUYV stride=160\nclock virtual end=600\npoll 4:3 times=2\npoll 16:9\n";
    p.expected_nth = [&](const std::string &call, int nth, const std::string &err, const Outcome &clean) -> Outcome {
        auto line = [&](const std::string &text, const std::string &why) {
            return Outcome{"Error: Can't " + text + " '" + video + "' (" + why + ")\n", 0};
        };
        // The V4L2 requests are retried when a signal interrupts them; the
        // last format asked for ends the list anyway.
        bool retried = call.rfind("VIDIOC_", 0) == 0 || call == "poll";
        if ((retried && err == strerror(EINTR)) || (call == "VIDIOC_ENUM_FMT" && nth > 1) || call == "VIDIOC_STREAMOFF"
            || call == "munmap" || call == "close")
            return clean;
        if (call == "open:" + decoder)
            return {"Error: Can't open dvb video device '" + decoder + "' (" + err + ")\n", 0};
        if (call == "open:" + video)
            return line("open video device", err);
        if (call == "VIDIOCGMBUF")
            return err == strerror(ENOTTY) || err == strerror(EINVAL) ? clean
                                                                      : line("open video buffer on video device", err);
        if (call == "VIDIOC_QUERYCAP" || call == "VIDIOC_TRY_FMT" || call == "VIDIOC_S_FMT")
            return line("query caps of video device", err);
        if (call == "VIDIOC_ENUM_FMT")
            return Outcome{"Error: Can't use video device '" + video
                               + "': none of GREY, YUYV, UYVY, YU12, YV12, NV12, NV21 is offered (it offers none)\n",
                           0};
        // The first buffer is queued while setting up, the last one after a grab.
        if (call == "VIDIOC_REQBUFS" || call == "VIDIOC_QUERYBUF" || (call == "VIDIOC_QBUF" && nth == 1))
            return line("open video buffer on video device", err);
        if (call == "mmap")
            return line("map video buffer of video device", err);
        if (call == "VIDEO_GET_STATUS")
            return {"Error: Can't get status of device '" + decoder + "' (" + err + ")\n", 0};
        // A failed wait after a frame was dequeued leaves the grab with that frame.
        if (call == "poll" && nth > 1)
            return clean;
        if (call == "VIDIOC_STREAMON" || call == "VIDIOC_DQBUF" || call == "VIDIOC_QBUF" || call == "poll")
            return line("grab on video device", err);
        ADD_FAILURE() << "no expectation for a failed " << call;
        return clean;
    };
    EXPECT_EQ(sweep(p, box),
              (std::vector<std::string>{"open:" + decoder, "open:" + video, "VIDIOCGMBUF", "VIDIOC_QUERYCAP",
                                        "VIDIOC_ENUM_FMT", "VIDIOC_TRY_FMT", "VIDIOC_S_FMT", "VIDIOC_REQBUFS",
                                        "VIDIOC_QUERYBUF", "mmap", "VIDIOC_QBUF", "VIDIOC_STREAMON", "VIDEO_GET_STATUS",
                                        "poll", "VIDIOC_DQBUF", "VIDIOC_STREAMOFF", "munmap", "close"}));
}

TEST_F(FaultSweep, WssSignalReportsEveryDeviceFailureWithItsStatus)
{
    Program p;
    p.program = "wss-signal";
    p.input = "4:3\nfree\nL16:9\nexit\n";
    p.scenario = "vbi /dev/vbi0\nclock virtual end=600\n";
    p.expected = [](const std::string &call, const std::string &err, const Outcome &clean) -> Outcome {
        if (call == "open:/dev/vbi0")
            return {"Error: Can't open device '/dev/vbi0' (" + err + ")\n", 1};
        if (call == "VIDIOC_S_FMT")
            return {"Error: Can't init device '/dev/vbi0' (" + err + ")\n", 2};
        if (call == "write")
            return {"Error: Can't write to device '/dev/vbi0' (" + err + ")\n", 4};
        if (call == "close")
            return clean;
        ADD_FAILURE() << "no expectation for a failed " << call;
        return clean;
    };
    EXPECT_EQ(sweep(p, box), (std::vector<std::string>{"open:/dev/vbi0", "VIDIOC_S_FMT", "close", "write"}));
}

TEST_F(FaultSweep, StillShowReportsEveryDecoderFailureAndClosesTheDecoder)
{
    Program p;
    p.program = "still-show";
    box.file("still.mpg", std::string(1000, '\x42'));
    p.args = {box.path("still.mpg"), "0"};
    p.scenario = "decoder /dev/dvb/adapter0/video0\nclock virtual end=600\n";
    p.expected = [](const std::string &call, const std::string &err, const Outcome &clean) -> Outcome {
        if (call == "open:/dev/dvb/adapter0/video0")
            return {"VIDEO DEVICE: : " + err + "\n", 255};
        if (call == "VIDEO_STILLPICTURE")
            return {"VIDEO STILLPICTURE: : " + err + "\n", 0};
        if (call == "VIDEO_PLAY")
            return {"VIDEO PLAY: : " + err + "\n", 0};
        if (call == "close")
            return clean;
        ADD_FAILURE() << "no expectation for a failed " << call;
        return clean;
    };
    EXPECT_EQ(sweep(p, box),
              (std::vector<std::string>{"open:/dev/dvb/adapter0/video0", "VIDEO_STILLPICTURE", "VIDEO_PLAY", "close"}));
}

// The mixer descriptor is left to process exit: the program's steps end
// without a close.
TEST_F(FaultSweep, CdLevelRefreshReportsEveryMixerFailureWithStatus1)
{
    Program p;
    p.program = "cd-level-refresh";
    p.scenario = "mixer /dev/dsp cd=0x4b4b\n";
    p.left_open = "/dev/dsp";
    p.expected = [](const std::string &call, const std::string &err, const Outcome &clean) -> Outcome {
        if (call == "open:/dev/dsp")
            return {"cd-level-refresh: can't open /dev/dsp: " + err + "\n", 1};
        if (call == "SOUND_MIXER_READ_CD")
            return {"cd-level-refresh: can't execute READ_CD ioctl: " + err + "\n", 1};
        if (call == "SOUND_MIXER_WRITE_CD")
            return {"cd-level-refresh: can't execute WRITE_CD ioctl: " + err + "\n", 1};
        ADD_FAILURE() << "no expectation for a failed " << call;
        return clean;
    };
    EXPECT_EQ(sweep(p, box),
              (std::vector<std::string>{"open:/dev/dsp", "SOUND_MIXER_READ_CD", "SOUND_MIXER_WRITE_CD"}));
}

#if defined(__x86_64__)
TEST_F(FaultSweep, KbdpokeRefusedPortsWriteNothing)
{
    Program p;
    p.program = "kbdpoke";
    p.args = {"ea", "17"};
    p.scenario = "ports grant\nclock virtual\n";
    p.left_open = ""; // it opens no device, so devsim writes no such line
    p.expected = [](const std::string &call, const std::string &err, const Outcome &clean) -> Outcome {
        if (call == "ioperm")
            return {"Could not change port permissions. Please run as root.: " + err + "\n", 1};
        ADD_FAILURE() << "no expectation for a failed " << call;
        return clean;
    };
    EXPECT_EQ(sweep(p, box), std::vector<std::string>{"ioperm"});
    // after the last refusal, no byte reached the port
    EXPECT_EQ(box.trace().find("outb"), std::string::npos);
}
#endif

} // namespace
