// still-show run under devsim: what it prints, the stills the decoder
// received, and when it told the decoder to play again (virtual clock).
#include "box.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kDecoder = "decoder /dev/dvb/adapter0/video0 stills=stills\n";
const std::string kOpen = "0.000000 open /dev/dvb/adapter0/video0 O_RDWR|O_NONBLOCK -> fd\n";

// A box with a picture of random bytes beside the scenario.
struct Stills : Box {
    std::string picture = path("picture.mpg");

    explicit Stills(const std::string &devices = kDecoder, size_t picture_size = 5000)
        : Box("still-show", "clock virtual\n" + devices)
    {
        std::mt19937 gen(picture_size);
        std::string bytes(picture_size, '\0');
        for (char &c : bytes)
            c = static_cast<char>(gen());
        file("picture.mpg", bytes);
    }

    RunResult run(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) const
    {
        return Box::run("still-show", args, {.env = env});
    }

    std::string still(int n) const
    {
        char name[32];
        snprintf(name, sizeof name, "stills/still-%03d.mpg", n);
        return file_exists(path(name)) ? read(name) : "(none)";
    }
};

// The trace of a picture shown whole, with the pause taken in one sleep.
std::string ShownTrace(size_t size, unsigned secs)
{
    std::string t = kOpen + "0.000000 VIDEO_STILLPICTURE /dev/dvb/adapter0/video0 size=" + std::to_string(size)
                    + " -> 0 (still-001.mpg)\n";
    char at[32];
    snprintf(at, sizeof at, "%u.000000", secs);
    if (secs > 0)
        t += "0.000000 sleep " + std::to_string(secs) + " -> 0\n";
    return t + at + " VIDEO_PLAY /dev/dvb/adapter0/video0 -> 0\n" + at + " close /dev/dvb/adapter0/video0 -> 0\n" + at
           + " exit still open: none\n";
}

TEST(StillShow, NoArgumentPrintsUsageAndOpensNothing)
{
    Stills box;
    RunResult r = box.run({});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "usage: " + bin_path("still-show") + " <filename> [secs]\n");
    EXPECT_EQ(box.trace(), "");
}

TEST(StillShow, DecoderReceivesThePictureByteForByteThenPlaysAfterThreeSeconds)
{
    Stills box;
    RunResult r = box.run({"picture.mpg"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "I-frame size: 5000\nread: 5000 bytes\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.trace(), ShownTrace(5000, 3));
    EXPECT_TRUE(box.still(1) == read_file(box.picture));
}

TEST(StillShow, PictureOfSomeMegabytesArrivesWholeThroughShortReads)
{
    Stills box(kDecoder, 3 << 20);
    std::string log = box.dir + "/reads";
    RunResult r = box.run({"picture.mpg"}, {"LD_PRELOAD=" + test_bin_path("libread_chunks.so"),
                                            "READ_CHUNKS_FILE=" + box.picture, "READ_CHUNKS_SIZE=100000",
                                            "READ_CHUNKS_LOG=" + log, "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "I-frame size: 3145728\nread: 3145728 bytes\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.trace(), ShownTrace(3 << 20, 3));
    EXPECT_TRUE(box.still(1) == read_file(box.picture));
    // 31 full chunks and the rest: proof that the reads really were cut short.
    ASSERT_TRUE(file_exists(log));
    std::string reads = read_file(log);
    EXPECT_EQ(std::count(reads.begin(), reads.end(), '\n'), 32);
}

TEST(StillShow, DisplayTimeIsTheSecondOfExactlyTwoArgumentsInBaseZero)
{
    struct Case {
        std::vector<std::string> args;
        unsigned secs;
    };
    const Case cases[] = {
        {{"picture.mpg", "7"}, 7},
        {{"picture.mpg", "0x10"}, 16},
        {{"picture.mpg", "010"}, 8},
        {{"picture.mpg", "abc"}, 0},
        {{"picture.mpg", "12s"}, 12},
        {{"picture.mpg", "0"}, 0},
        // held at sleep's largest count, or at strtol's where long has 32 bits
        {{"picture.mpg", "4294967296"}, sizeof(long) > 4 ? 4294967295u : 2147483647u},
        {{"picture.mpg", "9", "x"}, 3},
        {{"picture.mpg", "-1", "x", "y"}, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[1]);
        Stills box;
        RunResult r = box.run(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(box.trace(), ShownTrace(5000, c.secs));
    }
}

TEST(StillShow, NegativeDisplayTimeIsRefusedBeforeAnythingOpens)
{
    for (const char *secs : {"-1", "-0x10"}) {
        Stills box;
        RunResult r = box.run({"picture.mpg", secs});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, bin_path("still-show") + ": negative display time '" + secs + "'\n");
        EXPECT_EQ(box.trace(), "");
    }
}

TEST(StillShow, UnopenableFileOrDecoderEndsWith255)
{
    Stills box;
    RunResult r = box.run({"missing.mpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "File open:: No such file or directory\n");
    EXPECT_EQ(box.trace(), "");

    Stills nodecoder("");
    r = nodecoder.run({"picture.mpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "VIDEO DEVICE: : No such file or directory\n");
    EXPECT_EQ(nodecoder.trace(), "0.000000 open /dev/dvb/adapter0/video0 O_RDWR|O_NONBLOCK -> -1 ENOENT\n");
}

TEST(StillShow, FailedDecoderRequestsAreReportedAndTheRunGoesOn)
{
    Stills still(kDecoder + "fail VIDEO_STILLPICTURE EINVAL\n");
    RunResult r = still.run({"picture.mpg", "2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "I-frame size: 5000\nread: 5000 bytes\n");
    EXPECT_EQ(r.err, "VIDEO STILLPICTURE: : Invalid argument\n");
    EXPECT_EQ(still.trace(), kOpen
                                 + "0.000000 VIDEO_STILLPICTURE /dev/dvb/adapter0/video0 size=5000 -> -1 EINVAL\n"
                                   "0.000000 sleep 2 -> 0\n"
                                   "2.000000 VIDEO_PLAY /dev/dvb/adapter0/video0 -> 0\n"
                                   "2.000000 close /dev/dvb/adapter0/video0 -> 0\n"
                                   "2.000000 exit still open: none\n");

    Stills play(kDecoder + "fail VIDEO_PLAY EIO\n");
    r = play.run({"picture.mpg"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "VIDEO PLAY: : Input/output error\n");
    EXPECT_TRUE(play.still(1) == read_file(play.picture));
}

// Nothing of a picture that was not read whole may reach the decoder.
TEST(StillShow, UnreadablePictureSendsNothingAndEndsWith255)
{
    Stills box;
    mkdir((box.dir + "/folder").c_str(), 0755);
    RunResult r = box.run({"folder"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, bin_path("still-show") + ": folder: Is a directory\n");
    EXPECT_NE(r.out.find("read: 0 bytes\n"), std::string::npos) << r.out;
    EXPECT_EQ(box.trace(), kOpen
                               + "0.000000 close /dev/dvb/adapter0/video0 -> 0\n"
                                 "0.000000 exit still open: none\n");
}

TEST(StillShow, FileShorterThanItsStatSizeSendsNothing)
{
    // Attribute files under /sys claim a page but hold a line.
    const std::string attr = "/sys/devices/system/cpu/online";
    struct stat sb;
    if (stat(attr.c_str(), &sb) != 0 || sb.st_size <= 64)
        GTEST_SKIP() << "no /sys attribute file of a page here";
    Stills box;
    RunResult r = box.run({attr});
    std::string content = read_file(attr);
    std::string size = std::to_string(sb.st_size), got = std::to_string(content.size());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "I-frame size: " + size + "\nread: " + got + " bytes\n");
    EXPECT_EQ(r.err, bin_path("still-show") + ": " + attr + ": file ended after " + got + " of " + size + " bytes\n");
    EXPECT_EQ(box.trace(), kOpen
                               + "0.000000 close /dev/dvb/adapter0/video0 -> 0\n"
                                 "0.000000 exit still open: none\n");
}

TEST(StillShow, FileBeyondTheSigned32BitSizeIsRefused)
{
    Stills box;
    // Sparse: it takes no room on disk.
    ASSERT_EQ(truncate(box.picture.c_str(), 1LL << 31), 0);
    RunResult r = box.run({"picture.mpg"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, bin_path("still-show")
                         + ": picture.mpg: 2147483648 bytes is too large for a still picture (at most 2147483647)\n");
    EXPECT_EQ(box.trace(), kOpen
                               + "0.000000 close /dev/dvb/adapter0/video0 -> 0\n"
                                 "0.000000 exit still open: none\n");
}

} // namespace
