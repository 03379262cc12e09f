// cd-level-refresh run under devsim: the level word read from the simulated
// mixer must be the one written back, and each failure is one warn line.
#include "box.h"

#include <gtest/gtest.h>

namespace {

const std::string kOpen = "open /dev/dsp O_WRONLY -> fd\n";
const std::string kRead = "SOUND_MIXER_READ_CD /dev/dsp -> 0 level=0x3264\n";
const std::string kWrite = "SOUND_MIXER_WRITE_CD /dev/dsp level=0x3264 -> 0\n";

TEST(CdLevelRefresh, WritesBackTheWordItReadAndPrintsOnlyWithDebug)
{
    // Left 100 %, right 50 %: a swapped or reduced word would show.
    const std::string mixer = "mixer /dev/dsp cd=0x3264\n";
    struct Case {
        std::string debug, out;
    };
    for (const Case &c :
         {Case{"DEBUG", ""}, Case{"DEBUG=", "READ_CD returned 12900\n"}, Case{"DEBUG=0", "READ_CD returned 12900\n"}}) {
        SCOPED_TRACE(c.debug);
        Box box("cd-level-refresh", mixer);
        RunResult r = box.run("cd-level-refresh", {}, {.env = {c.debug}});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(box.trace({.times = false}), kOpen + kRead + kWrite + "exit still open: /dev/dsp\n");
    }
}

TEST(CdLevelRefresh, EachFailureIsOneWarnLineAndStatusOneWithNothingWritten)
{
    struct Case {
        std::string devices, err, trace;
    };
    const Case cases[] = {
        {"", "cd-level-refresh: can't open /dev/dsp: No such file or directory\n",
         "open /dev/dsp O_WRONLY -> -1 ENOENT\n"},
        {"mixer /dev/dsp cd=none\n", "cd-level-refresh: can't execute READ_CD ioctl: Invalid argument\n",
         kOpen + "SOUND_MIXER_READ_CD /dev/dsp -> -1 EINVAL\nexit still open: /dev/dsp\n"},
        {"mixer /dev/dsp cd=0x3264\nfail SOUND_MIXER_WRITE_CD EIO\n",
         "cd-level-refresh: can't execute WRITE_CD ioctl: Input/output error\n",
         kOpen + kRead + "SOUND_MIXER_WRITE_CD /dev/dsp level=0x3264 -> -1 EIO\nexit still open: /dev/dsp\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.devices);
        Box box("cd-level-refresh", c.devices);
        RunResult r = box.run("cd-level-refresh", {}, {.env = {"DEBUG="}});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(box.trace({.times = false}), c.trace);
    }
}

} // namespace
