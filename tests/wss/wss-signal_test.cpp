// wss-signal run under devsim: what it echoes, what it reports, and the
// records its sliced-VBI output device receives.
#include "box.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

struct Record {
    uint32_t id, field, line, reserved;
    uint8_t data[48];
};

// A simulated box with a sliced-VBI output.
struct Vbi : Box {
    explicit Vbi(const std::string &extra = "", const std::string &device = "vbi /dev/vbi0")
        : Box("wss-signal", "clock virtual\n" + device + " records=records\n" + extra)
    {
    }

    RunResult run(const std::string &input, const std::vector<std::string> &args = {}) const
    {
        return Box::run("wss-signal", args, {.input = input});
    }

    // The calls without time stamps; sleeps only if asked.
    std::vector<std::string> calls(bool sleeps = false) const { return Box::calls({.times = false, .sleeps = sleeps}); }

    std::vector<Record> received() const
    {
        std::string raw = read_file(path("records"));
        EXPECT_EQ(raw.size() % sizeof(Record), 0u);
        std::vector<Record> v(raw.size() / sizeof(Record));
        if (!v.empty())
            memcpy(v.data(), raw.data(), v.size() * sizeof(Record));
        return v;
    }
};

const std::string kOpen = "open /dev/vbi0 O_WRONLY -> fd";
const std::string kInit = "VIDIOC_S_FMT /dev/vbi0 type=7 service_set=0x4000 -> 0";
const std::string kClose = "close /dev/vbi0 -> 0";
const std::string kUsage = "Usage: " + bin_path("wss-signal") + " [<dev>]\n  Default for <dev> is /dev/vbi0";

std::string Write(const char *id, const char *data, const char *label)
{
    return std::string("write /dev/vbi0 id=") + id + " field=0 line=23 data=" + data + " -> 64 (" + label + ")";
}

// code as (data[0], data[1]) with everything else of the record checked too
void ExpectRecord(const Record &r, uint32_t id, uint8_t d0, uint8_t d1)
{
    EXPECT_EQ(r.id, id);
    EXPECT_EQ(r.field, 0u);
    EXPECT_EQ(r.line, 23u);
    EXPECT_EQ(r.reserved, 0u);
    EXPECT_EQ(r.data[0], d0);
    EXPECT_EQ(r.data[1], d1);
    for (int i = 2; i < 48; i++)
        EXPECT_EQ(r.data[i], 0) << "data[" << i << "]";
}

} // namespace

TEST(WssSignal, TwoArgumentsGiveUsageAndStatus99WithoutTouchingTheDevice)
{
    Vbi box;
    RunResult r = box.run("4:3\nexit\n", {"/dev/vbi0", "extra"});
    EXPECT_EQ(r.status, 99);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(box.calls(), std::vector<std::string>{});
}

TEST(WssSignal, StartProvesTheDeviceAndReleasesItBeforeReading)
{
    Vbi box;
    RunResult r = box.run("exit\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "> exit\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.calls(), (std::vector<std::string>{kOpen, kInit, kClose, "exit still open: none"}));
    EXPECT_TRUE(box.received().empty());
}

TEST(WssSignal, DeviceFailuresAtStartEndWithTheirStatus)
{
    {
        Vbi box("", "vbi /dev/vbi1");
        RunResult r = box.run("4:3\nexit\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error: Can't open device '/dev/vbi0' (No such file or directory)\n");
    }
    {
        Vbi box("fail VIDIOC_S_FMT EINVAL\n");
        RunResult r = box.run("4:3\nexit\n");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error: Can't init device '/dev/vbi0' (Invalid argument)\n");
        auto calls = box.calls();
        ASSERT_EQ(calls.size(), 4u);
        EXPECT_EQ(calls[0], kOpen);
        EXPECT_EQ(calls[1].rfind("VIDIOC_S_FMT /dev/vbi0 ", 0), 0u) << calls[1];
        EXPECT_TRUE(calls[1].ends_with(" -> -1 EINVAL")) << calls[1];
        EXPECT_EQ(calls[2], kClose);
        EXPECT_EQ(calls[3], "exit still open: none");
    }
}

TEST(WssSignal, TheOneArgumentIsTheDevicePathWhateverItLooksLike)
{
    Vbi box("", "vbi /dev/vbi1");
    RunResult r = box.run("L16:9 exit\n", {"/dev/vbi1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "> WSS 0xb = L16:9\n> exit\n");
    ASSERT_EQ(box.received().size(), 1u);

    box.scenario("clock virtual\nvbi /dev/vbi1 records=records-2\n"); // devsim makes a new records file each run
    r = box.run("exit\n", {"-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Can't open device '-h' (No such file or directory)\n");
}

TEST(WssSignal, TableWordsOpenTheDeviceOnceAndSendTheirCodes)
{
    Vbi box;
    RunResult r = box.run("16:9\n4:3\nL14:9\nL16:9\nL>16:9\nexit\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "> WSS 0x7 = 16:9\n> WSS 0x8 = 4:3\n> WSS 0x1 = L14:9\n> WSS 0xb = L16:9\n"
                     "> WSS 0xd = L>16:9\n> exit\n");
    auto rec = box.received();
    ASSERT_EQ(rec.size(), 5u);
    const uint8_t codes[] = {0x7, 0x8, 0x1, 0xb, 0xd};
    for (int i = 0; i < 5; i++)
        ExpectRecord(rec[i], 0x4000, codes[i], 0);
    EXPECT_EQ(box.calls(),
              (std::vector<std::string>{kOpen, kInit, kClose, kOpen, kInit,
                                        Write("0x4000", "07 00", "WSS 0x7: 16:9 full format (anamorphic)"),
                                        Write("0x4000", "08 00", "WSS 0x8: 4:3 full format"),
                                        Write("0x4000", "01 00", "WSS 0x1: 14:9 letterbox, centre"),
                                        Write("0x4000", "0b 00", "WSS 0xb: 16:9 letterbox, centre"),
                                        Write("0x4000", "0d 00", "WSS 0xd: greater than 16:9 letterbox, centre"),
                                        kClose, "exit still open: none"}));
}

TEST(WssSignal, OtherWordsAreReadAsHexadecimalCodes)
{
    Vbi box;
    RunResult r = box.run("0 dead 0x7 EXIT Free exit2 16-9 4000 -1 123456789 10000000000000000 exit\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // Nine digits keep their low 32 bits where unsigned long holds them, and
    // saturate where unsigned long has only 32 bits, as "%x" converts.
    const std::string nine = sizeof(unsigned long) > 4 ? "0x23456789" : "0xffffffff";
    EXPECT_EQ(r.out, "> WSS 0x0\n> WSS 0xdead\n> WSS 0x7 = 16:9\n> WSS 0xe\n> WSS 0xf\n> WSS 0xe\n"
                     "> WSS 0x16\n> WSS 0x4000\n> WSS 0xffffffff\n> WSS "
                         + nine + "\n> WSS 0xffffffff\n> exit\n");
    auto rec = box.received();
    ASSERT_EQ(rec.size(), 11u);
    ExpectRecord(rec[0], 0, 0x00, 0x00);      // code 0 stops the insertion
    ExpectRecord(rec[1], 0x4000, 0xad, 0x1e); // bits 8..13 only
    ExpectRecord(rec[2], 0x4000, 0x07, 0x00);
    ExpectRecord(rec[3], 0x4000, 0x0e, 0x00);
    ExpectRecord(rec[4], 0x4000, 0x0f, 0x00);
    ExpectRecord(rec[5], 0x4000, 0x0e, 0x00);
    ExpectRecord(rec[6], 0x4000, 0x16, 0x00);
    ExpectRecord(rec[7], 0x4000, 0x00, 0x00); // nothing transmitted, but non-zero: id set
    ExpectRecord(rec[8], 0x4000, 0xff, 0x3f);
    if (sizeof(unsigned long) > 4)
        ExpectRecord(rec[9], 0x4000, 0x89, 0x27); // nine digits keep the low 32 bits
    else
        ExpectRecord(rec[9], 0x4000, 0xff, 0x3f);
    ExpectRecord(rec[10], 0x4000, 0xff, 0x3f);
}

TEST(WssSignal, UnknownWordsAreReportedAndChangeNothing)
{
    Vbi box;
    RunResult r = box.run("wide 4:3 x -- 0xg exit\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "> WSS 0x8 = 4:3\n> WSS 0x0\n> exit\n");
    EXPECT_EQ(r.err, "Error: Unkown input 'wide'; ignored\nError: Unkown input 'x'; ignored\n"
                     "Error: Unkown input '--'; ignored\n");
    // the device opened for 4:3 stays open across the unknown words
    EXPECT_EQ(box.calls(), (std::vector<std::string>{kOpen, kInit, kClose, kOpen, kInit,
                                                     Write("0x4000", "08 00", "WSS 0x8: 4:3 full format"),
                                                     Write("0", "00 00", "WSS off"), kClose, "exit still open: none"}));
}

TEST(WssSignal, FreeReleasesTheDeviceAndTheNextCodeReopensIt)
{
    Vbi box;
    RunResult r = box.run("free 4:3 free free L16:9 exit\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "> WSS 0x8 = 4:3\n> free device\n> WSS 0xb = L16:9\n> exit\n");
    EXPECT_EQ(box.calls(), (std::vector<std::string>{
                               kOpen, kInit, kClose, kOpen, kInit, Write("0x4000", "08 00", "WSS 0x8: 4:3 full format"),
                               kClose, kOpen, kInit, Write("0x4000", "0b 00", "WSS 0xb: 16:9 letterbox, centre"),
                               kClose, "exit still open: none"}));
}

TEST(WssSignal, SeveralWordsOnALineAndDetectorLinesWithARatioNumber)
{
    Vbi box;
    RunResult r = box.run("4:3 L16:9\n133 4:3\n\t L14:9  \n\nexit");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "> WSS 0x8 = 4:3\n> WSS 0xb = L16:9\n> WSS 0x133\n> WSS 0x8 = 4:3\n"
                     "> WSS 0x1 = L14:9\n> exit\n");
    auto rec = box.received();
    ASSERT_EQ(rec.size(), 5u);
    ExpectRecord(rec[2], 0x4000, 0x33, 0x01);
}

TEST(WssSignal, OverLongWordIsReportedOnceAndSkippedWhole)
{
    Vbi box;
    const std::string a96(96, 'a'), a97(97, 'a');
    // 96 characters still fit; the tail of a longer word is no word of its own
    RunResult r = box.run("4:3 " + a97 + " L16:9\n" + std::string(96, 'z') + "4:3 " + std::string(5000, 'b') + "\n"
                          + a96 + " exit\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "> WSS 0x8 = 4:3\n> WSS 0xb = L16:9\n> WSS 0xffffffff\n> exit\n");
    EXPECT_EQ(r.err, "Error: Unkown input '" + a96
                         + "...'; ignored\n"
                           "Error: Unkown input '"
                         + std::string(96, 'z')
                         + "...'; ignored\n"
                           "Error: Unkown input '"
                         + std::string(96, 'b') + "...'; ignored\n");
    EXPECT_EQ(box.received().size(), 3u);
}

TEST(WssSignal, WriteFailureEndsWithStatus4AfterTheEcho)
{
    Vbi box("fail write@2 EIO\n");
    RunResult r = box.run("4:3 L14:9 L16:9 exit\n");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "> WSS 0x8 = 4:3\n> WSS 0x1 = L14:9\n");
    EXPECT_EQ(r.err, "Error: Can't write to device '/dev/vbi0' (Input/output error)\n");
    EXPECT_EQ(box.received().size(), 1u);
    auto calls = box.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], kClose);
    EXPECT_EQ(calls.back(), "exit still open: none");
}

TEST(WssSignal, ReopenFailuresEndAsAtStart)
{
    {
        Vbi box("fail open:/dev/vbi0@2 ENODEV\n");
        RunResult r = box.run("free L14:9 exit\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error: Can't open device '/dev/vbi0' (No such device)\n");
    }
    {
        Vbi box("fail VIDIOC_S_FMT@3 EBUSY\n");
        RunResult r = box.run("4:3 free L14:9 exit\n");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "> WSS 0x8 = 4:3\n> free device\n");
        EXPECT_EQ(r.err, "Error: Can't init device '/dev/vbi0' (Device or resource busy)\n");
        EXPECT_EQ(box.calls().back(), "exit still open: none");
    }
}

TEST(WssSignal, InputErrorEndsWithStatus1)
{
    Vbi box;
    // a folder as standard input: every read fails with EISDIR
    std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" < \"$0\"", box.dir};
    for (const std::string &word : box.argv("wss-signal"))
        argv.push_back(word);
    RunResult r = run_program(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: Can't read input (Is a directory)\n");
    auto calls = box.calls(true);
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[3], "usleep 100000 -> 0"); // reported one pause after the failed read
}

// Starts wss-signal under devsim with standard input from fd and standard
// output into a file; returns its process id.
static pid_t Start(const Box &box, int in, const std::string &output)
{
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        auto argv = box.argv("wss-signal");
        std::vector<char *> args;
        for (auto &s : argv)
            args.push_back(s.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Waits (bounded) until the trace shows n pauses; the virtual clock makes
// them come at once.
static int WaitForSleeps(const Box &box, int n)
{
    int found = 0;
    for (int i = 0; i < 3000 && found < n; i++) {
        usleep(10000);
        std::string t = box.read("trace");
        found = 0;
        for (size_t at = t.find(" usleep "); at != std::string::npos; at = t.find(" usleep ", at + 1))
            found++;
    }
    return found;
}

// Ends a still running process; false if it had ended by itself.
static bool Kill(pid_t pid)
{
    int status;
    bool running = waitpid(pid, &status, WNOHANG) == 0;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return running;
}

TEST(WssSignal, EndOfInputIsRetriedEvery100msAndLaterWordsAreRead)
{
    Vbi box;
    std::string input = box.dir + "/input", output = box.dir + "/output";
    write_file(input, "4:3\n");
    int in = open(input.c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    pid_t pid = Start(box, in, output);
    close(in);
    ASSERT_GT(pid, 0);
    EXPECT_GE(WaitForSleeps(box, 5), 5);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != 0)
        FAIL() << "ended at end of input";

    // a growing file, as from a writer that comes back
    FILE *f = fopen(input.c_str(), "a");
    ASSERT_TRUE(f);
    fputs("L16:9\nexit\n", f);
    fclose(f);
    pid_t w = 0;
    for (int i = 0; i < 3000 && (w = waitpid(pid, &status, WNOHANG)) == 0; i++)
        usleep(10000);
    if (w == 0) {
        Kill(pid);
        FAIL() << "did not read the words appended after end of input";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(output), "> WSS 0x8 = 4:3\n> WSS 0xb = L16:9\n> exit\n");

    // every pause is one usleep of 100000 us, 0.1 s apart on the virtual clock
    std::istringstream trace(box.trace());
    double last = -1;
    int n = 0;
    for (std::string line; std::getline(trace, line);) {
        double t;
        char call[32];
        unsigned long us;
        if (sscanf(line.c_str(), "%lf %31s %lu", &t, call, &us) != 3 || strcmp(call, "usleep") != 0)
            continue;
        EXPECT_EQ(us, 100000u) << line;
        if (last >= 0) {
            EXPECT_NEAR(t - last, 0.1, 1e-6) << line;
        }
        last = t;
        n++;
    }
    EXPECT_GE(n, 5);
}

TEST(WssSignal, StaysIdleAfterThePipeWriterHasGone)
{
    Vbi box;
    std::string output = box.dir + "/output";
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0); // the writer's end must not reach the program
    pid_t pid = Start(box, p[0], output);
    close(p[0]);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(write(p[1], "4:3\n", 4), 4);
    close(p[1]);
    EXPECT_GE(WaitForSleeps(box, 5), 5);
    EXPECT_TRUE(Kill(pid)) << "ended when its input ended";
    EXPECT_EQ(read_file(output), "> WSS 0x8 = 4:3\n");
    auto rec = box.received();
    ASSERT_EQ(rec.size(), 1u);
    ExpectRecord(rec[0], 0x4000, 0x08, 0x00);
}

// 320x240 grey frame: bars of `bar` rows of tone 16 above and below a
// picture that reaches both side edges on every row.
static std::string Frame(int bar)
{
    const int w = 320, h = 240;
    std::string px(w * h, char(16));
    for (int y = bar; y < h - bar; y++)
        for (int x = 0; x < w; x++)
            px[y * w + x] = char(40 + (x * 7 + y * 13) % 180);
    return "P5\n320 240\n255\n" + px;
}

TEST(AspectPipe, DetectorLinesSwitchTheTelevisionInOrder)
{
    Vbi box;
    write_file(box.dir + "/full.pgm", Frame(0));
    write_file(box.dir + "/l149.pgm", Frame(17));
    write_file(box.dir + "/l169.pgm", Frame(30));
    std::string broadcast = box.dir + "/broadcast.scn";
    write_file(broadcast, "clock virtual\n"
                          "decoder /dev/dvb/adapter0/video0\n"
                          "capture /dev/video0 320x240\n"
                          "poll 4:3 frame=full.pgm times=4\n"
                          "poll 4:3 frame=l149.pgm times=4\n"
                          "poll 4:3 frame=l169.pgm times=4\n"
                          "poll 16:9 times=3\n"
                          "poll 4:3 frame=full.pgm times=3\n");
    RunOptions o;
    o.cwd = box.dir;
    RunResult r = run_program({"sh", "-c",
                               "{ \"$0\" broadcast.scn -- \"$1\" -e 2; echo exit; } | "
                               "\"$0\" box.scn --trace trace -- \"$2\"",
                               bin_path("devsim"), bin_path("aspect-detect"), bin_path("wss-signal")},
                              o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "> WSS 0x8 = 4:3\n> WSS 0x1 = L14:9\n> WSS 0xb = L16:9\n> WSS 0x7 = 16:9\n"
                     "> WSS 0x8 = 4:3\n> exit\n");
    auto rec = box.received();
    ASSERT_EQ(rec.size(), 5u);
    const uint8_t codes[] = {0x8, 0x1, 0xb, 0x7, 0x8};
    for (int i = 0; i < 5; i++)
        ExpectRecord(rec[i], 0x4000, codes[i], 0);
}
