// End-to-end tests of the box simulator: the probe helper makes device calls
// under the built launcher, and we check what it got and what the trace says.
#include "box.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct ProbeBox : Box {
    ProbeBox()
        : Box("devsim")
    {
    }

    // Runs the probe with WORDS under SCENARIO with a trace.
    RunResult probe(const std::string &scenario_text, const std::vector<std::string> &words,
                    std::vector<std::string> env = {}) const
    {
        scenario(scenario_text);
        return run(test_bin_path("devsim_probe"), words, {.env = env});
    }
};

std::string pgm(int w, int h, unsigned char fill)
{
    return "P5\n# test frame\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n"
           + std::string((size_t)(w * h), (char)fill);
}

const std::string decoder = "decoder /dev/dvb/adapter0/video0\n";

} // namespace

// ---- launcher and scenario --------------------------------------------------

TEST(Devsim, LauncherUsageErrorsAndMissingProgram)
{
    ProbeBox box;
    box.file("ok.scn", decoder);
    const std::string usage = "usage: devsim SCENARIO [--trace FILE] -- PROGRAM [ARG...]\n";
    auto r = run_program({bin_path("devsim")});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, usage);

    r = run_program({bin_path("devsim"), box.path("ok.scn"), test_bin_path("devsim_probe")});
    EXPECT_EQ(r.status, 125) << "no -- before the program";
    EXPECT_EQ(r.err, usage);

    r = run_program({bin_path("devsim"), "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);

    r = run_program({bin_path("devsim"), box.path("ok.scn"), "--", box.path("no-such-program")});
    EXPECT_EQ(r.status, 127);
    EXPECT_EQ(r.err, "devsim: can't run '" + box.path("no-such-program") + "' (No such file or directory)\n");

    r = run_program({bin_path("devsim"), box.path("missing.scn"), "--", "true"});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "devsim: can't read scenario '" + box.path("missing.scn") + "' (No such file or directory)\n");
}

TEST(Devsim, BrokenScenarioNamesFileAndLineAndProgramNeverRuns)
{
    ProbeBox box;
    box.file("small.pgm", pgm(4, 2, 0));
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {"# box\n\ncaptur /dev/video0 4x2\n", "3: unknown directive 'captur'"},
        {"capture /dev/video0 4x3\npoll 4:3 frame=small.pgm\n", "2: frame 'small.pgm' is 4x2, the capture size is 4x3"},
        {"poll 4:3 frame=small.pgm\ncapture /dev/video0 8x2\n", "1: frame 'small.pgm' is 4x2, the capture size is 8x2"},
        {"capture /dev/video0 4x2\npoll 4:3 frame=gone.pgm\n",
         "2: frame 'gone.pgm': can't read (No such file or directory)"},
        {"capture /dev/video0 4x2\npoll 5:4\n", "2: bad poll format '5:4'"},
        {"decoder /dev/video0\nvbi /dev//video0\n", "2: device '/dev/video0' is already named on line 1"},
        {"fail VIDIOCSYNK EIO\n", "1: unknown call 'VIDIOCSYNK'"},
        {"fail VIDIOCSYNC@0 EIO\n", "1: bad count '0'"},
        {"fail write EWHAT\n", "1: unknown errno 'EWHAT'"},
        {"clock virtual capture=-1\n", "1: bad capture time '-1' (0 to 3600 seconds)"},
        {"clock real end=2\n", "1: end= needs the virtual clock"},
        {"mixer /dev/dsp\n", "1: mixer needs cd=LEVEL or cd=none"},
        {"capture /dev/video0 65535x65535\n",
         "1: capture size 65535x65535 needs mbuf=BYTES (the default would not fit)"},
        {"capture /dev/video0 720x576 v4l2 formats=GREY,YUYV stride=1439\n",
         "1: stride 1439 is below the 1440 bytes a YUYV row needs"},
        {"capture /dev/video0 720x576 v4l2 formats=YUYV,RGB3\n",
         "1: unknown pixel format 'RGB3' (GREY, YUYV, UYVY, YU12, YV12, NV12, NV21, MJPG)"},
        {"capture /dev/video0 720x575 v4l2 formats=NV12\n", "1: pixel format NV12 needs an even height"},
        {"capture /dev/video0 8x2 v4l2\nclock virtual capture=0\n", "1: a v4l2 capture needs a capture time above 0"},
    };
    for (const Case &c : cases) {
        box.file("bad.scn", c.text);
        auto r = run_program({bin_path("devsim"), box.path("bad.scn"), "--", "touch", box.path("ran")});
        EXPECT_EQ(r.status, 125) << c.text;
        EXPECT_EQ(r.err, "devsim: " + box.path("bad.scn") + ":" + c.message + "\n");
        EXPECT_FALSE(file_exists(box.path("ran"))) << c.text;
    }
    box.file("tiny.pgm", "P5\n4 2\n255\n\x01\x02");
    box.file("bad.scn", "capture /dev/video0 4x2\npoll 4:3 frame=tiny.pgm\n");
    auto r = run_program({bin_path("devsim"), box.path("bad.scn"), "--", "true"});
    EXPECT_EQ(r.err, "devsim: " + box.path("bad.scn") + ":2: frame 'tiny.pgm' is truncated\n");
}

TEST(Devsim, RecordsFileThatExistsIsRefusedAndLeftAsItWas)
{
    ProbeBox box;
    box.file("victim.txt", "the user's own bytes\n");
    symlink("victim.txt", box.path("link.bin").c_str());
    symlink("nothing-here", box.path("dangling.bin").c_str());
    for (const std::string name : {"victim.txt", "link.bin", "dangling.bin"}) {
        box.file("bad.scn", "vbi /dev/vbi0 records=" + name + "\n");
        auto r = run_program({bin_path("devsim"), box.path("bad.scn"), "--", "touch", box.path("ran")});
        EXPECT_EQ(r.status, 125) << name;
        EXPECT_EQ(r.err, "devsim: can't create records file '" + box.path(name) + "' (File exists)\n");
        EXPECT_FALSE(file_exists(box.path("ran"))) << name;
    }
    EXPECT_EQ(read_file(box.path("victim.txt")), "the user's own bytes\n");
    EXPECT_FALSE(file_exists(box.path("nothing-here"))) << "a link is never followed";
}

TEST(Devsim, PassesEnvironmentAndKeepsExistingPreloadAndSanitizerOptions)
{
    ProbeBox box;
    box.file("box.scn", decoder);
    auto r = run_program({bin_path("devsim"), "box.scn", "--", "sh", "-c",
                          "echo \"$DEVSIM_SCENARIO|$DEVSIM_TRACE|$ASAN_OPTIONS\"; echo \"$LD_PRELOAD\""},
                         RunOptions{.env = {"ASAN_OPTIONS=detect_leaks=1", "DEVSIM_TRACE=/elsewhere"}, .cwd = box.dir});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), box.path("box.scn") + "||detect_leaks=1:verify_asan_link_order=0");
    std::string preload = r.out.substr(r.out.find('\n') + 1);
    EXPECT_EQ(preload.substr(preload.rfind('/')), "/libdevsim.so\n");
    EXPECT_EQ(preload[0], '/');
}

// ---- capture, decoder and frontend ----------------------------------------

TEST(Devsim, CaptureDeliversEachStepsFrameAndKeepsBufferWithoutOne)
{
    ProbeBox box;
    box.file("a.pgm", "P5 4 2 255\n" + std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
    box.file("b.pgm", pgm(4, 2, 0xee));
    auto r = box.probe(decoder
                           + "capture /dev/video0 4x2 mbuf=16\nclock virtual\n"
                             "poll 4:3 frame=a.pgm\npoll 4:3\npoll 16:9 frame=b.pgm\n",
                       {"open=/dev/dvb/adapter0/video0,r",
                        "open=/dev/video0,rw",
                        "mbuf",
                        "map",
                        "cap",
                        "pixels=0,8",
                        "sync=0",
                        "capture=4,2,1,0",
                        "fd=0",
                        "status",
                        "fd=1",
                        "sync=0",
                        "pixels=0,8",
                        "capture=4,2,1,1",
                        "capture=4,3,1,0",
                        "capture=4,2,3,0",
                        "fd=0",
                        "status",
                        "fd=1",
                        "capture=4,2,1,0",
                        "sync=0",
                        "pixels=0,8",
                        "fd=0",
                        "status",
                        "fd=1",
                        "capture=4,2,1,0",
                        "sync=0",
                        "pixels=0,4",
                        "fd=0",
                        "status",
                        "unmap",
                        "fd=1",
                        "close"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "open=/dev/dvb/adapter0/video0,r 0\nopen=/dev/video0,rw 0\nmbuf 0 size=16\nmap 0\ncap 0 4x2\n"
              "pixels=0,8 00 00 00 00 00 00 00 00\n"
              "sync=0 -1 EINVAL\n" // nothing queued
              "capture=4,2,1,0 0\n"
              "status 0 format=0\nsync=0 0\npixels=0,8 01 02 03 04 05 06 07 08\n"
              "capture=4,2,1,1 -1 EINVAL\ncapture=4,3,1,0 -1 EINVAL\ncapture=4,2,3,0 -1 EINVAL\n"
              "status 0 format=0\ncapture=4,2,1,0 0\nsync=0 0\npixels=0,8 01 02 03 04 05 06 07 08\n"
              "status 0 format=1\ncapture=4,2,1,0 0\nsync=0 0\npixels=0,4 ee ee ee ee\n"
              "status -1 EIO\nunmap 0\nclose 0\n");
    EXPECT_EQ(box.trace(), "0.000000 open /dev/dvb/adapter0/video0 O_RDONLY -> fd\n"
                           "0.000000 open /dev/video0 O_RDWR -> fd\n"
                           "0.000000 VIDIOCGMBUF /dev/video0 -> 0 size=16 frames=1\n"
                           "0.000000 mmap /dev/video0 length=16 PROT_READ|PROT_WRITE MAP_SHARED offset=0 -> ok\n"
                           "0.000000 VIDIOCGCAP /dev/video0 -> 0 maxwidth=4 maxheight=2\n"
                           "0.000000 VIDIOCSYNC /dev/video0 frame=0 -> -1 EINVAL\n"
                           "0.000000 VIDIOCMCAPTURE /dev/video0 frame=0 width=4 height=2 format=1 -> 0\n"
                           "0.000000 VIDEO_GET_STATUS /dev/dvb/adapter0/video0 -> 0 video_format=0 (4:3)\n"
                           "0.000000 VIDIOCSYNC /dev/video0 frame=0 -> 0 (a.pgm)\n"
                           "0.040000 VIDIOCMCAPTURE /dev/video0 frame=1 width=4 height=2 format=1 -> -1 EINVAL\n"
                           "0.040000 VIDIOCMCAPTURE /dev/video0 frame=0 width=4 height=3 format=1 -> -1 EINVAL\n"
                           "0.040000 VIDIOCMCAPTURE /dev/video0 frame=0 width=4 height=2 format=3 -> -1 EINVAL\n"
                           "0.040000 VIDEO_GET_STATUS /dev/dvb/adapter0/video0 -> 0 video_format=0 (4:3)\n"
                           "0.040000 VIDIOCMCAPTURE /dev/video0 frame=0 width=4 height=2 format=1 -> 0\n"
                           "0.040000 VIDIOCSYNC /dev/video0 frame=0 -> 0 (unchanged)\n"
                           "0.080000 VIDEO_GET_STATUS /dev/dvb/adapter0/video0 -> 0 video_format=1 (16:9)\n"
                           "0.080000 VIDIOCMCAPTURE /dev/video0 frame=0 width=4 height=2 format=1 -> 0\n"
                           "0.080000 VIDIOCSYNC /dev/video0 frame=0 -> 0 (b.pgm)\n"
                           "0.120000 VIDEO_GET_STATUS /dev/dvb/adapter0/video0 -> -1 EIO\n"
                           "0.120000 munmap /dev/video0 length=16 -> 0\n"
                           "0.120000 close /dev/video0 -> 0\n"
                           "0.120000 exit still open: /dev/dvb/adapter0/video0\n");
}

TEST(Devsim, V4l2CaptureAnswersAsTheKernelDocumentsIt)
{
    ProbeBox box;
    box.file("a.pgm", "P5 4 2 255\n" + std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
    struct Step {
        const char *word;
        const char *answer;
    } steps[] = {
        {"open=/dev/video0,rw,nb", "0"},
        {"mbuf", "-1 ENOTTY"}, // no V4L1 request
        {"fmt=g", "0 4x2 YUYV bytesperline=12 sizeimage=24"},
        {"fmt=t,MJPG", "0 4x2 YUYV bytesperline=12 sizeimage=24"}, // not offered: the first format instead
        {"reqbufs=3,2", "-1 EINVAL"},                              // user pointers
        {"reqbufs=3", "0 count=2"},                                // as buffers= grants
        {"fmt=s,GREY", "-1 EBUSY"},                                // buffers are allocated
        {"querybuf=2", "-1 EINVAL"},
        {"querybuf=1", "0 length=4096 offset=4096 flags=0x2000"},
        {"querybuf=0", "0 length=4096 offset=0 flags=0x2000"},
        {"mapbuf=0,100", "-1 EINVAL"}, // not a buffer's offset
        {"mapbuf=0", "0"},
        {"qbuf=0", "0"},
        {"qbuf=0", "-1 EINVAL"}, // queued already
        {"dqbuf", "-1 EINVAL"},  // not streaming
        {"wait=0", "1 revents=0x8"},
        {"streamon", "0"},
        {"dqbuf", "-1 EAGAIN"},         // the first frame is 40 ms away
        {"wait=1000", "1 revents=0x1"}, // and the wait takes them
        {"dqbuf", "0 index=0 sequence=0 bytesused=24 flags=0x2001 time=946684800.040000"},
        {"pixels=0,24", " 01 80 02 80 03 80 04 80 00 00 00 00 05 80 06 80 07 80 08 80 00 00 00 00"},
        {"qbuf=0", "0"},
        {"usleep=100000", "0"}, // frames at 0.08 s into buffer 0 and at 0.12 s nowhere
        {"qbuf=1", "0"},
        {"dqbuf", "0 index=0 sequence=1 bytesused=24 flags=0x2001 time=946684800.080000"},
        {"wait=1000", "1 revents=0x1"},
        {"dqbuf", "0 index=1 sequence=3 bytesused=24 flags=0x2000 time=946684800.160000"},
        {"qbuf=1", "0"},
        {"reqbufs=0", "-1 EBUSY"}, // buffer 0 is mapped
        {"streamoff", "0"},
        {"querybuf=1", "0 length=4096 offset=4096 flags=0x2000"}, // neither queued nor done
        {"unmapbuf=0", "0"},
        {"reqbufs=0", "0 count=0"},
        {"close", "0"},
    };
    std::vector<std::string> words;
    std::string expected;
    for (const Step &s : steps) {
        words.push_back(s.word);
        expected += s.word + std::string(s.answer[0] == ' ' ? "" : " ") + s.answer + "\n";
    }
    auto r = box.probe("capture /dev/video0 4x2 v4l2 formats=YUYV,GREY stride=12 buffers=2\nclock virtual\n"
                       "poll 4:3 frame=a.pgm times=9\n",
                       words);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    EXPECT_NE(
        box.trace().find(" VIDIOC_DQBUF /dev/video0 type=1 memory=1 -> 0 index=1 sequence=3 bytesused=24 (a.pgm)\n"),
        std::string::npos);
}

TEST(Devsim, PollBeginsWithFrontendAndStepsRepeatUntilUsedUp)
{
    ProbeBox box;
    auto r =
        box.probe("frontend /dev/dvb/adapter0/frontend0\n" + decoder + "poll 16:9 times=2\npoll 7 nolock\n",
                  {"open=/dev/dvb/adapter0/frontend0,r,nb", "open=/dev/dvb/adapter0/video0,r,nb", "fd=0", "fe", "fd=1",
                   "status", "fd=0", "fe", "fd=1", "status", "fd=0", "fe", "fd=0", "fe", "fd=1", "status"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "open=/dev/dvb/adapter0/frontend0,r,nb 0\nopen=/dev/dvb/adapter0/video0,r,nb 0\n"
              "fe 0 lock=1\nstatus 0 format=1\nfe 0 lock=1\nstatus 0 format=1\n"
              "fe 0 lock=0\n" // a poll without lock skips the decoder
              "fe -1 EIO\nstatus -1 EIO\n");
    std::string t = box.trace();
    EXPECT_NE(t.find("FE_READ_STATUS /dev/dvb/adapter0/frontend0 -> 0 status=0x03 (no lock)\n"), std::string::npos);
    EXPECT_NE(t.find("open /dev/dvb/adapter0/frontend0 O_RDONLY|O_NONBLOCK -> fd\n"), std::string::npos);
}

TEST(Devsim, UnnamedDevicePathsFailWithEnoentAndNamedOnesMatchAfterNormalising)
{
    ProbeBox box;
    symlink("/dev/video0", box.path("video-link").c_str());
    symlink("/dev/video9", box.path("other-link").c_str());
    box.file("plain.txt", "x");
    auto r =
        box.probe("capture /dev/video0 4x2\n",
                  {"open=/dev//video0,rw", "open=/dev/./video0,r", "open=/dev/dvb/../video0,r", "open=video-link,r",
                   "open=/dev/video1,r", "open=other-link,r", "open=/dev/dvb/adapter0/video0,r", "open=/dev/vbi0,w",
                   "open=/dev/dsp,w", "open=/dev/mixer,r", "open=plain.txt,r"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "open=/dev//video0,rw 0\nopen=/dev/./video0,r 0\nopen=/dev/dvb/../video0,r 0\nopen=video-link,r 0\n"
              "open=/dev/video1,r -1 ENOENT\nopen=other-link,r -1 ENOENT\n"
              "open=/dev/dvb/adapter0/video0,r -1 ENOENT\nopen=/dev/vbi0,w -1 ENOENT\n"
              "open=/dev/dsp,w -1 ENOENT\nopen=/dev/mixer,r -1 ENOENT\nopen=plain.txt,r 0\n");
    std::string t = box.trace();
    EXPECT_NE(t.find(" open /dev/video1 O_RDONLY -> -1 ENOENT\n"), std::string::npos);
    EXPECT_NE(t.find(" open /dev//video0 O_RDWR -> fd\n"), std::string::npos);
    EXPECT_EQ(t.find("plain.txt"), std::string::npos) << "real files are not traced";
}

TEST(Devsim, FailInjectsErrorsCountingOnlySimulatedCalls)
{
    ProbeBox box;
    box.file("a.pgm", pgm(4, 2, 9));
    auto r =
        box.probe("capture /dev/video0 4x2\nvbi /dev/vbi0\nclock virtual\npoll 4:3 frame=a.pgm times=9\n"
                  "fail VIDIOCSYNC@2 EBUSY\nfail open:/dev/vbi0 EACCES\nfail mmap@1 ENOMEM\nfail close ENOSPC\n",
                  {"open=/dev/vbi0,w", "open=/dev/video0,rw", "map=8", "map=8", "capture=4,2,1,0", "sync=0",
                   "capture=4,2,1,0", "sync=0", "sync=0", "capture=4,2,1,0", "sync=0", "pixels=0,1", "now", "close"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "open=/dev/vbi0,w -1 EACCES\nopen=/dev/video0,rw 0\nmap=8 -1 ENOMEM\nmap=8 0\n"
              "capture=4,2,1,0 0\nsync=0 0\ncapture=4,2,1,0 0\nsync=0 -1 EBUSY\n"
              "sync=0 0\n" // the failed sync did nothing: its capture is still queued
              "capture=4,2,1,0 0\nsync=0 0\npixels=0,1 09\n"
              "now 946684800.120000 946684800.120000000 946684800\n" // a failed sync takes no time
              "close -1 ENOSPC\n");
    std::string t = box.trace();
    EXPECT_NE(t.find(" open /dev/vbi0 O_WRONLY -> -1 EACCES\n"), std::string::npos);
    EXPECT_NE(t.find(" VIDIOCSYNC /dev/video0 frame=0 -> -1 EBUSY\n"), std::string::npos);
    EXPECT_NE(t.find(" close /dev/video0 -> -1 ENOSPC\n"), std::string::npos);
    EXPECT_NE(t.find(" exit still open: none\n"), std::string::npos) << "a failed close still releases";
}

TEST(Devsim, VirtualClockAdvancesOnlyBySleepsAndCaptures)
{
    ProbeBox box;
    auto r = box.probe("capture /dev/video0 4x2\nclock virtual capture=0.25\n",
                       {"now", "usleep=1500", "now", "sleep=2", "nanosleep=1000000001", "now", "open=/dev/video0,rw",
                        "capture=4,2,1,0", "sync=0", "now"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "now 946684800.000000 946684800.000000000 946684800\nusleep=1500 0\n"
                     "now 946684800.001500 946684800.001500000 946684800\nsleep=2 0\nnanosleep=1000000001 0\n"
                     "now 946684803.001500 946684803.001500001 946684803\nopen=/dev/video0,rw 0\n"
                     "capture=4,2,1,0 0\nsync=0 0\nnow 946684803.251500 946684803.251500001 946684803\n");
    EXPECT_EQ(box.trace(), "0.000000 usleep 1500 -> 0\n"
                           "0.001500 sleep 2 -> 0\n"
                           "2.001500 nanosleep 1000000001 -> 0\n"
                           "3.001500 open /dev/video0 O_RDWR -> fd\n"
                           "3.001500 VIDIOCMCAPTURE /dev/video0 frame=0 width=4 height=2 format=1 -> 0\n"
                           "3.001500 VIDIOCSYNC /dev/video0 frame=0 -> 0 (unchanged)\n"
                           "3.251500 exit still open: /dev/video0\n");
}

TEST(Devsim, VirtualClockEndStopsAProgramThatWouldSleepPastIt)
{
    ProbeBox box;
    auto r = box.probe("clock virtual end=1\n", {"usleep=400000", "usleep=400000", "usleep=400000", "now"});
    EXPECT_TRUE(r.signaled);
    EXPECT_EQ(r.status, 128 + 15);
    EXPECT_EQ(r.out, "usleep=400000 0\nusleep=400000 0\n");
    EXPECT_EQ(box.trace(), "0.000000 usleep 400000 -> 0\n0.400000 usleep 400000 -> 0\n1.000000 end of virtual time\n");
}

TEST(Devsim, RealClockSleepsAreTracedInTheirOwnUnits)
{
    ProbeBox box;
    auto r = box.probe("decoder /dev/dvb/adapter0/video0\n", {"usleep=10", "nanosleep=1000"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string t = box.trace();
    EXPECT_NE(t.find(" usleep 10 -> 0\n"), std::string::npos) << t;
    EXPECT_NE(t.find(" nanosleep 1000 -> 0\n"), std::string::npos) << t;
}

TEST(Devsim, TwoProcessesOfOnePipeShareOneTraceFile)
{
    ProbeBox box;
    box.file("a.scn", "vbi /dev/vbi0\n");
    box.file("b.scn", "mixer /dev/dsp cd=5\n");
    std::string probe = test_bin_path("devsim_probe"), devsim = bin_path("devsim");
    std::string cmd;
    for (int i = 0; i < 200; i++)
        cmd += " usleep=1";
    auto r = run_program({"sh", "-c",
                          devsim + " a.scn --trace trace -- " + probe + " open=/dev/vbi0,w" + cmd + " | { " + devsim
                              + " b.scn --trace trace -- " + probe + " open=/dev/dsp,w readcd" + cmd
                              + "; cat >/dev/null; }"},
                         RunOptions{.cwd = box.dir});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string t = box.trace();
    size_t lines = 0, sleeps = 0;
    for (size_t p = 0; (p = t.find('\n', p)) != std::string::npos; p++)
        lines++;
    for (size_t p = 0; (p = t.find(" usleep 1 -> 0\n", p)) != std::string::npos; p++)
        sleeps++;
    EXPECT_EQ(sleeps, 400u);
    EXPECT_EQ(lines, 400u + 2 + 1 + 2) << "two opens, one read, two exit lines";
    EXPECT_NE(t.find(" SOUND_MIXER_READ_CD /dev/dsp -> 0 level=0x5\n"), std::string::npos);
}

// ---- sliced-VBI output -------------------------------------------------------

namespace {

std::string record(unsigned id, unsigned field, unsigned line, unsigned char d0, unsigned char d1)
{
    std::string r(64, '\0');
    auto put = [&](size_t at, unsigned v) {
        for (int i = 0; i < 4; i++)
            r[at + i] = (char)(v >> (8 * i));
    };
    put(0, id);
    put(4, field);
    put(8, line);
    r[16] = (char)d0;
    r[17] = (char)d1;
    return r;
}

} // namespace

TEST(Devsim, VbiAcceptsOnlyTheWssFormatAndValidRecordsAndKeepsFormatPerOpen)
{
    ProbeBox box;
    mkdir(box.path("out").c_str(), 0755);
    auto r = box.probe("vbi /dev/vbi0 records=out/rec.bin\nclock virtual\n",
                       {"open=/dev/vbi0,w", "rec=0x4000,0,23,8,0", "sfmt=1,0x4000", "sfmt=7,0x1", "sfmt=7,0x4000",
                        "rec=0x4000,0,23,8,0", "rec=0,0,23,0,0", "rec=0x1,0,23,8,0", "rec=0x4000,1,23,8,0",
                        "rec=0x4000,0,22,8,0", "writen=128", "close", "open=/dev/vbi0,w", "rec=0x4000,0,23,7,0",
                        "sfmt=7,0x4000", "rec=0x4000,0,23,0xad,0x1e", "open=/dev/vbi0,r", "sfmt=7,0x4000",
                        "rec=0x4000,0,23,8,0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "open=/dev/vbi0,w 0\nrec=0x4000,0,23,8,0 -1 EINVAL\nsfmt=1,0x4000 -1 EINVAL\nsfmt=7,0x1 -1 EINVAL\n"
              "sfmt=7,0x4000 0 io_size=64\nrec=0x4000,0,23,8,0 64\nrec=0,0,23,0,0 64\nrec=0x1,0,23,8,0 -1 EINVAL\n"
              "rec=0x4000,1,23,8,0 -1 EINVAL\nrec=0x4000,0,22,8,0 -1 EINVAL\nwriten=128 -1 EINVAL\nclose 0\n"
              "open=/dev/vbi0,w 0\nrec=0x4000,0,23,7,0 -1 EINVAL\nsfmt=7,0x4000 0 io_size=64\n"
              "rec=0x4000,0,23,0xad,0x1e 64\n"
              "open=/dev/vbi0,r 0\nsfmt=7,0x4000 0 io_size=64\nrec=0x4000,0,23,8,0 -1 EBADF\n");
    EXPECT_EQ(read_file(box.path("out/rec.bin")),
              record(0x4000, 0, 23, 8, 0) + record(0, 0, 23, 0, 0) + record(0x4000, 0, 23, 0xad, 0x1e));
    std::string t = box.trace();
    EXPECT_NE(t.find(" write /dev/vbi0 id=0x4000 field=0 line=23 data=08 00 -> -1 EINVAL\n"
                     "0.000000 VIDIOC_S_FMT /dev/vbi0 type=1 service_set=0x4000 -> -1 EINVAL\n"
                     "0.000000 VIDIOC_S_FMT /dev/vbi0 type=7 service_set=0x1 -> -1 EINVAL\n"
                     "0.000000 VIDIOC_S_FMT /dev/vbi0 type=7 service_set=0x4000 -> 0\n"
                     "0.000000 write /dev/vbi0 id=0x4000 field=0 line=23 data=08 00 -> 64 (WSS 0x8: 4:3 full format)\n"
                     "0.000000 write /dev/vbi0 id=0 field=0 line=23 data=00 00 -> 64 (WSS off)\n"
                     "0.000000 write /dev/vbi0 id=0x1 field=0 line=23 data=08 00 -> -1 EINVAL\n"
                     "0.000000 write /dev/vbi0 id=0x4000 field=1 line=23 data=08 00 -> -1 EINVAL\n"
                     "0.000000 write /dev/vbi0 id=0x4000 field=0 line=22 data=08 00 -> -1 EINVAL\n"
                     "0.000000 write /dev/vbi0 count=128 -> -1 EINVAL\n"
                     "0.000000 close /dev/vbi0 -> 0\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find(" write /dev/vbi0 id=0x4000 field=0 line=23 data=ad 1e -> 64 "
                     "(WSS 0x1ead: greater than 16:9 letterbox, centre)\n"),
              std::string::npos);
}

TEST(Devsim, VbiTraceNamesAspectLabelsFlagsBadParityAndRefusesTheOtherAbi)
{
    ProbeBox box;
    auto r =
        box.probe("vbi /dev/vbi0\nclock virtual\nfail write@3 EIO\nfail VIDIOC_S_FMT@2 ENODEV\n",
                  {"open=/dev/vbi0,w", "sfmt-other", "sfmt=7,0x4000", "sfmt=7,0x4000", "rec=0x4000,0,23,7,0",
                   "rec=0x4000,0,23,1,0", "rec=0x4000,0,23,0xb,0", "rec=0x4000,0,23,0,0", "rec=0x4000,0,23,0xf,0x3f"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open=/dev/vbi0,w 0\nsfmt-other -1 ENOTTY\nsfmt=7,0x4000 0 io_size=64\nsfmt=7,0x4000 -1 ENODEV\n"
                     "rec=0x4000,0,23,7,0 64\nrec=0x4000,0,23,1,0 64\nrec=0x4000,0,23,0xb,0 -1 EIO\n"
                     "rec=0x4000,0,23,0,0 64\nrec=0x4000,0,23,0xf,0x3f 64\n");
    std::string other = sizeof(long) == 8 ? "request=0xc0cc5605 (32-bit layout)" : "request=0xc0d05605 (64-bit layout)";
    EXPECT_EQ(
        box.trace(),
        "0.000000 open /dev/vbi0 O_WRONLY -> fd\n"
        "0.000000 VIDIOC_S_FMT /dev/vbi0 "
            + other
            + " -> -1 ENOTTY\n"
              "0.000000 VIDIOC_S_FMT /dev/vbi0 type=7 service_set=0x4000 -> 0\n"
              "0.000000 VIDIOC_S_FMT /dev/vbi0 type=7 service_set=0x4000 -> -1 ENODEV\n"
              "0.000000 write /dev/vbi0 id=0x4000 field=0 line=23 data=07 00 -> 64 (WSS 0x7: 16:9 full format "
              "(anamorphic))\n"
              "0.000000 write /dev/vbi0 id=0x4000 field=0 line=23 data=01 00 -> 64 (WSS 0x1: 14:9 letterbox, centre)\n"
              "0.000000 write /dev/vbi0 id=0x4000 field=0 line=23 data=0b 00 -> -1 EIO\n"
              "0.000000 write /dev/vbi0 id=0x4000 field=0 line=23 data=00 00 -> 64 "
              "(WSS 0x0: bad parity; b0-b2 as in 4:3 full format)\n"
              "0.000000 write /dev/vbi0 id=0x4000 field=0 line=23 data=0f 3f -> 64 "
              "(WSS 0x3f0f: bad parity; b0-b2 as in 16:9 full format (anamorphic))\n"
              "0.000000 exit still open: /dev/vbi0\n");
}

// ---- still pictures, mixer ---------------------------------------------------

TEST(Devsim, StillPicturesAreSavedInOrderByteForByte)
{
    ProbeBox box;
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 2654435761u >> 13);
    box.file("small.mpg", std::string("\x00\x00\x01\xb3 picture", 12));
    box.file("big.mpg", big);
    std::string scenario =
        "decoder /dev/dvb/adapter0/video0 stills=shown\nclock virtual\nfail VIDEO_STILLPICTURE@3 EBUSY\n";
    auto r = box.probe(scenario,
                       {"open=/dev/dvb/adapter0/video0,rw,nb", "still=small.mpg", "still=big.mpg", "still=small.mpg",
                        "sleep=3", "play", "open=/dev/dvb/adapter0/video0,r", "still=small.mpg", "play"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open=/dev/dvb/adapter0/video0,rw,nb 0\nstill=small.mpg 0\nstill=big.mpg 0\n"
                     "still=small.mpg -1 EBUSY\nsleep=3 0\nplay 0\n"
                     "open=/dev/dvb/adapter0/video0,r 0\nstill=small.mpg -1 EPERM\nplay -1 EPERM\n");
    EXPECT_EQ(read_file(box.path("shown/still-001.mpg")), read_file(box.path("small.mpg")));
    EXPECT_TRUE(read_file(box.path("shown/still-002.mpg")) == big);
    EXPECT_FALSE(file_exists(box.path("shown/still-003.mpg")));
    EXPECT_EQ(box.trace(), "0.000000 open /dev/dvb/adapter0/video0 O_RDWR|O_NONBLOCK -> fd\n"
                           "0.000000 VIDEO_STILLPICTURE /dev/dvb/adapter0/video0 size=12 -> 0 (still-001.mpg)\n"
                           "0.000000 VIDEO_STILLPICTURE /dev/dvb/adapter0/video0 size=3145745 -> 0 (still-002.mpg)\n"
                           "0.000000 VIDEO_STILLPICTURE /dev/dvb/adapter0/video0 size=12 -> -1 EBUSY\n"
                           "0.000000 sleep 3 -> 0\n"
                           "3.000000 VIDEO_PLAY /dev/dvb/adapter0/video0 -> 0\n"
                           "3.000000 open /dev/dvb/adapter0/video0 O_RDONLY -> fd\n"
                           "3.000000 VIDEO_STILLPICTURE /dev/dvb/adapter0/video0 size=12 -> -1 EPERM\n"
                           "3.000000 VIDEO_PLAY /dev/dvb/adapter0/video0 -> -1 EPERM\n"
                           "3.000000 exit still open: /dev/dvb/adapter0/video0 /dev/dvb/adapter0/video0\n");

    // A later run into the same folder goes on with the numbering.
    r = box.probe(scenario, {"open=/dev/dvb/adapter0/video0,rw", "still=small.mpg"});
    EXPECT_EQ(r.out, "open=/dev/dvb/adapter0/video0,rw 0\nstill=small.mpg 0\n");
    EXPECT_EQ(read_file(box.path("shown/still-003.mpg")), read_file(box.path("small.mpg")));
}

TEST(Devsim, MixerAnswersTheCdLevelTakesWritesAndRefusesWithoutCdChannel)
{
    ProbeBox box;
    auto r = box.probe("mixer /dev/dsp cd=0x4b4b\nmixer /dev/mixer1 cd=none\nclock virtual\n",
                       {"open=/dev/dsp,w", "readcd", "writecd=0x3232", "readcd", "open=/dev/mixer1,r", "readcd",
                        "writecd=0x4b4b", "status"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open=/dev/dsp,w 0\nreadcd 0 level=0x4b4b\nwritecd=0x3232 0\nreadcd 0 level=0x3232\n"
                     "open=/dev/mixer1,r 0\nreadcd -1 EINVAL\nwritecd=0x4b4b -1 EINVAL\nstatus -1 ENOTTY\n");
    EXPECT_EQ(box.trace(), "0.000000 open /dev/dsp O_WRONLY -> fd\n"
                           "0.000000 SOUND_MIXER_READ_CD /dev/dsp -> 0 level=0x4b4b\n"
                           "0.000000 SOUND_MIXER_WRITE_CD /dev/dsp level=0x3232 -> 0\n"
                           "0.000000 SOUND_MIXER_READ_CD /dev/dsp -> 0 level=0x3232\n"
                           "0.000000 open /dev/mixer1 O_RDONLY -> fd\n"
                           "0.000000 SOUND_MIXER_READ_CD /dev/mixer1 -> -1 EINVAL\n"
                           "0.000000 SOUND_MIXER_WRITE_CD /dev/mixer1 level=0x4b4b -> -1 EINVAL\n"
                           "0.000000 VIDEO_GET_STATUS /dev/mixer1 -> -1 ENOTTY\n"
                           "0.000000 exit still open: /dev/dsp /dev/mixer1\n");
}

// ---- I/O ports -------------------------------------------------------------

#if defined(__x86_64__)
TEST(Devsim, PortsAreRefusedByDefaultAndTheKernelNeverGrantsThem)
{
    ProbeBox box;
    auto r = box.probe("clock virtual\n", {"ioperm=0x60,3,1", "ioperm=0x60,3,0", "rawio", "sysioperm"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The direct system call is refused by the kernel (EPERM, or ENOSYS where
    // a sandbox has no port I/O at all); it must never succeed.
    EXPECT_EQ(r.out.substr(0, r.out.find("sysioperm -1 ")),
              "ioperm=0x60,3,1 -1 EPERM\nioperm=0x60,3,0 0\nrawio bounding=0 inheritable=0 permitted=0\n");
    EXPECT_EQ(box.trace(), "0.000000 ioperm from=0x60 num=3 on=1 -> -1 EPERM\n"
                           "0.000000 ioperm from=0x60 num=3 on=0 -> 0\n");
}

TEST(Devsim, GrantedPortWritesAreTracedAndSteppedOver)
{
    ProbeBox box;
    auto r = box.probe("ports grant\nclock virtual\n",
                       {"ioperm=0x60,3,1", "usleep=300", "outb=0x60,0xea", "usleep=300", "outbdx=0x62,0x17"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ioperm=0x60,3,1 0\nusleep=300 0\noutb=0x60,0xea done\nusleep=300 0\noutbdx=0x62,0x17 done\n");
    EXPECT_EQ(box.trace(), "0.000000 ioperm from=0x60 num=3 on=1 -> 0\n"
                           "0.000000 usleep 300 -> 0\n"
                           "0.000300 outb 0x60 0xea\n"
                           "0.000300 usleep 300 -> 0\n"
                           "0.000600 outb 0x62 0x17\n");

    // A port outside the granted range faults as it would without devsim.
    r = box.probe("ports grant\nclock virtual\n", {"ioperm=0x60,3,1", "outbdx=0x70,1"});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "ioperm=0x60,3,1 0\n");
    EXPECT_EQ(box.trace().find("0x70"), std::string::npos);
}
#endif
