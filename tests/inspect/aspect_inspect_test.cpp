// aspect-inspect against the detector itself under devsim, on bad input, and
// tuning on noisy letterboxed frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "box.h"
#include "run.h"

namespace {

const int W = 720, H = 576;

// A ramp frame whose bars of `bar` rows lie at level 16 with +-noise of
// capture noise (a fixed sequence, so runs repeat).
std::string noisy_frame(int bar, int noise, unsigned seed)
{
    std::string pgm = ramp_frame(W, H, bar, bar);
    size_t start = pgm.size() - size_t(W) * H;
    for (int y = 0; y < H; y++) {
        if (y >= bar && y < H - bar)
            continue;
        for (int x = 0; x < W; x++) {
            seed = seed * 1103515245 + 12345;
            pgm[start + size_t(y) * W + x] = char(16 + int((seed >> 16) % (2 * noise + 1)) - noise);
        }
    }
    return pgm;
}

std::vector<std::string> split(const std::string &text, char sep)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    for (size_t end; (end = text.find(sep, pos)) != std::string::npos; pos = end + 1)
        parts.push_back(text.substr(pos, end - pos));
    if (pos < text.size())
        parts.push_back(text.substr(pos));
    return parts;
}

RunResult inspect(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {bin_path("aspect-inspect")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

// "N of M labelled frames" from a line of the tuning report or the label report.
long long right_count(const std::string &text, const std::string &line_start)
{
    size_t at = text.find(line_start);
    if (at == std::string::npos)
        return -1;
    size_t colon = text.find(": ", at + line_start.size());
    long long n = -1;
    sscanf(text.c_str() + colon + 2, "%lld of", &n);
    return n;
}

} // namespace

TEST(AspectInspect, PrintedColumnIsWhatTheDetectorPrintsAtEachPoll)
{
    Box box("aspect-inspect", "clock virtual\n"
                              "decoder /dev/dvb/adapter0/video0\n"
                              "frontend /dev/dvb/adapter0/frontend0\n"
                              "capture /dev/video0 720x576\n"
                              "poll 4:3 frame=full.pgm times=3\n"
                              "poll 4:3 frame=margin.pgm times=4\n" // 526 rows: 4:3 holds it
                              "poll 4:3 frame=f169.pgm\n"           // one poll astray
                              "poll 4:3 frame=full.pgm times=3\n"
                              "poll 4:3 frame=f149.pgm times=5\n"
                              "poll 4:3 frame=dark.pgm times=2\n" // nothing measured
                              "poll 4:3 times=2\n"                // no frame: the buffer stays
                              "poll 16:9 nolock times=2\n"        // -f: no decoder status
                              "poll 16:9 times=3\n"
                              "poll 4:3 frame=margin.pgm times=2\n" // afresh after the wide stream
                              "poll 4:3 frame=f169.pgm times=6\n"
                              "poll 4:3 frame=narrow.pgm times=4\n");
    box.file("full.pgm", ramp_frame(W, H));
    box.file("margin.pgm", ramp_frame(W, H, 26, 25));
    box.file("f149.pgm", ramp_frame(W, H, 41, 41));
    box.file("f169.pgm", ramp_frame(W, H, 72, 72));
    box.file("narrow.pgm", ramp_frame(W, H, 124, 125));
    box.file("dark.pgm", ramp_frame(W, H, H, 0));

    for (std::vector<std::string> options : {std::vector<std::string>{"-e", "3"},
                                             {"-e", "0", "-a", "-o"},
                                             {"-b", "20", "-l", "10", "-e", "2"},
                                             {"-f", "-e", "1"}}) {
        SCOPED_TRACE(options[0] + " " + options[1]);
        RunResult d = box.run_merged("aspect-detect", options);
        ASSERT_EQ(d.status, 0) << d.err;
        std::vector<std::string> detector; // per poll: the line printed, or ""
        std::string first = options[0] == "-f" ? "FE_READ_STATUS" : "VIDEO_GET_STATUS";
        for (const std::string &call : box.calls({.times = false})) {
            if (call.rfind(first, 0) == 0 && call.find("-> 0") != std::string::npos)
                detector.push_back("");
            else if (call.rfind("> ", 0) == 0 && call.rfind("> Error", 0) != 0 && !detector.empty())
                detector.back() = call.substr(2);
        }

        std::vector<std::string> args = options;
        args.push_back(box.scenario_path);
        RunResult r = inspect(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> rows = split(r.out, '\n');
        ASSERT_EQ(rows.size(), detector.size() + 1);
        EXPECT_EQ(rows[0], "frame,top_bar,bottom_bar,active_height,class,printed");
        std::vector<std::string> printed;
        for (size_t i = 1; i < rows.size(); i++) {
            std::vector<std::string> cells = split(rows[i] + ",", ',');
            ASSERT_EQ(cells.size(), 6u) << rows[i];
            EXPECT_EQ(cells[0], std::to_string(i));
            printed.push_back(cells[5]);
        }
        EXPECT_EQ(printed, detector);
    }
    // The rows of the frame in the hysteresis margin, measured on its own.
    RunResult r = inspect({box.scenario_path});
    std::vector<std::string> rows = split(r.out, '\n');
    EXPECT_EQ(rows[4], "4,26,25,526,L14:9,");
    EXPECT_EQ(rows[17], "17,,,,,");
    EXPECT_EQ(rows[21], "21,,,,16:9,16:9");
    EXPECT_EQ(split(inspect({"-f", box.scenario_path}).out, '\n')[21], "21,,,,,");
}

TEST(AspectInspect, BadInputIsOneLineAndNothingOnStandardOutput)
{
    Box box("aspect-inspect-bad");
    std::string small = "P5\n8 8\n255\n" + std::string(64, '\0');
    box.file("two.pgm", small + small);
    box.file("short.pgm", small + "P5\n8 8\n255\n" + std::string(10, '\0'));
    box.file("sizes.pgm", small + "P5\n8 6\n255\n" + std::string(48, '\0'));
    box.file("text.pgm", small + "hello\n");
    box.file("deep.pgm", "P5\n8 8\n65535\n" + std::string(128, '\0'));
    box.file("huge.pgm", "P5\n65535 65535\n255\n");
    // One header reader, each caller with its own limits on its numbers.
    box.file("wider.pgm", "P5\n1000000 8\n255\n");
    box.file("cut.pgm", "P5\n8 x\n");
    box.file("deeper.pgm", "P5\n8 8\n1000000\n" + std::string(64, '\0'));
    box.file("deeper.scn", "capture /dev/video0 8x8\npoll 4:3 frame=deeper.pgm\n");
    box.file("typo.scn", "decoder /dev/dvb/adapter0/video0\ncaptur /dev/video0 8x8\n");
    box.file("wide.csv", "1,3,L16:9\n");
    box.file("word.csv", "first,last,class\n1,2,16/9\n");
    box.file("twice.csv", "1,2,4:3\n2,2,L16:9\n");
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    for (const Case &c : {
             Case{{"text.pgm"}, "text.pgm: frame 2: not a binary PGM (P5)"},
             Case{{"short.pgm"}, "short.pgm: frame 2: truncated image (10 of 64 bytes)"},
             Case{{"two.pgm", "sizes.pgm"}, "sizes.pgm: frame 4 is 8x6, the frames before it are 8x8"},
             Case{{"deep.pgm"}, "deep.pgm: frame 1: maxval 65535; only 1 to 255 is supported"},
             Case{{"huge.pgm"}, "huge.pgm: frame 1: size 65535x65535 is more than 67108864 pixels"},
             Case{{"wider.pgm"}, "wider.pgm: frame 1: PGM size or maxval out of range"},
             Case{{"cut.pgm"}, "cut.pgm: frame 1: bad PGM header"},
             Case{{"deeper.pgm"}, "deeper.pgm: frame 1: PGM size or maxval out of range"},
             Case{{"deeper.scn"}, "deeper.scn:2: frame 'deeper.pgm' has maxval 1000000; only 1 to 255 is supported"},
             Case{{"typo.scn"}, "typo.scn:2: unknown directive 'captur'"},
             Case{{"--labels", "wide.csv", "two.pgm"}, "wide.csv:1: frames 1 to 3, but there are 2 frames"},
             Case{{"--labels", "word.csv", "two.pgm"}, "word.csv:2: unknown class '16/9'"},
             Case{{"--labels", "twice.csv", "two.pgm"}, "twice.csv:2: frame 2 is labelled already on line 1"},
         }) {
        std::vector<std::string> argv = {bin_path("aspect-inspect")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunOptions opt;
        opt.cwd = box.dir;
        RunResult r = run_program(argv, opt);
        EXPECT_EQ(r.status, 1) << c.error;
        EXPECT_EQ(r.out, "") << c.error;
        EXPECT_EQ(r.err.find(c.error), r.err.find(": ") + 2) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

TEST(AspectInspect, TuningOnNoisyBarsBeatsTheDefaultsAndItsAdviceHolds)
{
    Box box("aspect-inspect-tune");
    // Bars at level 16 with +-12 of capture noise: 4:3, 14:9 and 16:9 scenes.
    std::string frames, labels;
    int n = 0;
    for (int bar : {0, 41, 72, 0, 72, 41}) {
        for (int i = 0; i < 5; i++)
            frames += noisy_frame(bar, 12, unsigned(++n));
        labels += std::to_string(n - 4) + "," + std::to_string(n) + ","
                  + (bar == 0    ? "4:3"
                     : bar == 41 ? "L14:9"
                                 : "L16:9")
                  + "\n";
    }
    box.file("noisy.pgm", frames);
    box.file("labels.csv", labels);

    RunResult r = inspect({"--labels", box.path("labels.csv"), "--tune", box.path("noisy.pgm")});
    ASSERT_EQ(r.status, 0) << r.err;
    long long defaults = right_count(r.out, "defaults"), best = right_count(r.out, "best");
    EXPECT_LT(defaults, 20) << r.out;
    EXPECT_EQ(best, 30) << r.out;
    std::vector<std::string> lines = split(r.out, '\n');
    ASSERT_FALSE(lines.empty());
    std::vector<std::string> advice = split(lines.back(), ' ');
    ASSERT_EQ(advice.size(), 9u) << lines.back();
    EXPECT_EQ(advice[0], "aspect-detect");

    // The advised settings, measured frame by frame, score what the search said.
    std::vector<std::string> args(advice.begin() + 1, advice.end());
    args.insert(args.end(), {"--labels", box.path("labels.csv"), box.path("noisy.pgm")});
    RunResult check = inspect(args);
    ASSERT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(right_count(check.err, "aspect-inspect"), best) << check.err;
}
