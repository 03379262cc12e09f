// aspect-inspect against the detector itself under devsim, on bad input, and
// tuning on noisy letterboxed frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
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

// A dotted white block in rows first to last, most of the width: a subtitle.
std::string with_subtitle(std::string pgm, int first, int last)
{
    size_t start = pgm.size() - size_t(W) * H;
    for (int y = first; y <= last; y++)
        for (int x = 120; x < 600; x++)
            if ((x / 4 + y / 3) % 3)
                pgm[start + size_t(y) * W + x] = char(235);
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

RunResult inspect(const std::vector<std::string> &args, const std::string &cwd = "")
{
    std::vector<std::string> argv = {bin_path("aspect-inspect")};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions opt;
    opt.cwd = cwd;
    return run_program(argv, opt);
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
    box.file("empty.csv", "");
    box.file("many.scn", "decoder /dev/dvb/adapter0/video0\ncapture /dev/video0 8x8\npoll 4:3 times=3000000\n");
    box.file("huge.scn", "decoder /dev/dvb/adapter0/video0\ncapture /dev/video0 8x8\npoll 4:3 times=9"
                         "9999999999999999999\n");
    struct Case {
        std::vector<std::string> args;
        std::string error;
        int status = 1;
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
             Case{{"--labels", "empty.csv", "two.pgm"}, "empty.csv: no frame is labelled"},
             Case{{"many.scn"}, "many.scn:3: times=3000000 makes more than 2000000 polls"},
             Case{{"huge.scn"}, "huge.scn:3: bad times '99999999999999999999' (1 to 4611686018427387903)"},
             Case{{"-b", "100", "two.pgm"}, "bad -b value '100' (hexadecimal grey level, 0 to ff). Try", 2},
             Case{{"-x", "two.pgm"}, "unknown option -x. Try 'aspect-inspect --help'", 2},
         }) {
        RunResult r = inspect(c.args, box.dir);
        EXPECT_EQ(r.status, c.status) << c.error;
        EXPECT_EQ(r.out, "") << c.error;
        EXPECT_EQ(r.err.find(c.error), r.err.find(": ") + 2) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
    // At a terminal, frames are never typed: the wait would be silent.
    RunResult tty = run_program({"script", "-qec", bin_path("aspect-inspect"), "/dev/null"});
    EXPECT_EQ(tty.status, 2);
    EXPECT_NE(tty.out.find("aspect-inspect: standard input is a terminal"), std::string::npos) << tty.out;
}

TEST(AspectInspect, InputsAsANewcomerWritesThemAreRead)
{
    Box box("aspect-inspect-newcomer");
    std::string two = ramp_frame(W, H, 72, 72) + ramp_frame(W, H);
    box.file("two.pgm", two);
    box.file("spaced.pgm", two + "\n \n");
    mkdir(box.path("rec").c_str(), 0755);
    write_file(box.path("rec/scenario.scn"), "decoder /dev/dvb/adapter0/video0\ncapture /dev/video0 720x576\n"
                                             "poll 4:3 frame=f.pgm times=2\n");
    write_file(box.path("rec/f.pgm"), ramp_frame(W, H, 41, 41));
    box.file("tight.csv", "1,2,L16:9\n");
    box.file("blanks.csv", " 1 , 2 ,  L16:9 \n");
    struct Case {
        std::vector<std::string> given, meant;
    };
    for (const Case &c : {
             Case{{"spaced.pgm"}, {"two.pgm"}},   // a newline after the last image
             Case{{"rec"}, {"rec/scenario.scn"}}, // the folder aspect-record wrote
             Case{{"--labels", "blanks.csv", "two.pgm"}, {"--labels", "tight.csv", "two.pgm"}},
         }) {
        RunResult given = inspect(c.given, box.dir), meant = inspect(c.meant, box.dir);
        ASSERT_EQ(meant.status, 0) << meant.err;
        EXPECT_EQ(given.status, 0) << given.err;
        EXPECT_EQ(given.out, meant.out);
        EXPECT_EQ(given.err, meant.err);
    }
}

TEST(AspectInspect, LabelledFramesAreScoredAsTheDetectorHoldsThemAndTheWrongOnesSayWhy)
{
    Box box("aspect-inspect-score");
    std::string film = ramp_frame(W, H, 72, 72), dark = ramp_frame(W, H, H, 0);
    box.file("frames.pgm",
             film + film + film + dark + dark + dark + with_subtitle(film, 520, 544) + noisy_frame(72, 12, 1));
    struct Case {
        std::string labels, score;
        std::vector<std::string> wrong;
    };
    for (const Case &c : {
             // The dark scene holds the film's class: right, as the detector keeps it.
             Case{"1,6,L16:9\n", "6 of 6", {}},
             Case{"1,3,L16:9\n4,6,4:3\n",
                  "3 of 6",
                  {"frames 4-6: no measurement, holding L16:9, labelled 4:3; the top bar search ran to the middle "
                   "of the frame"}},
             Case{"7,8,L16:9\n",
                  "0 of 2",
                  {"frame 7: L14:9, labelled L16:9; top bar 72, bottom bar 31: the bottom bar is shorter than L16:9 "
                   "allows (at least 57 rows)",
                   "frame 8: 4:3, labelled L16:9; top bar 17, bottom bar 17, neither found beyond the overscan: both "
                   "bars are shorter than L16:9 allows (at least 57 rows)"}},
         }) {
        box.file("labels.csv", c.labels);
        RunResult r = inspect({"-e", "1", "--labels", "labels.csv", "frames.pgm"}, box.dir);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> lines = split(r.err, '\n');
        ASSERT_EQ(lines.size(), c.wrong.size() + 1) << r.err;
        EXPECT_EQ(lines[0].find("aspect-inspect: " + c.score + " labelled frames"), 0u) << r.err;
        for (size_t i = 0; i < c.wrong.size(); i++)
            EXPECT_EQ(lines[i + 1], "aspect-inspect: " + c.wrong[i]);
    }
}

TEST(AspectInspect, AdviceKeepsEveryClassReachableAndNamesWhatStaysWrong)
{
    Box box("aspect-inspect-advice");
    // Grainy 16:9 bars, the second frame with a subtitle in the bottom bar:
    // an overscan that swallows the 4:3 picture's edge gets both "right".
    box.file("film.pgm", noisy_frame(72, 12, 1) + with_subtitle(noisy_frame(72, 12, 2), 520, 544));
    box.file("labels.csv", "1,2,L16:9\n");
    RunResult r = inspect({"--labels", "labels.csv", "--tune", "film.pgm"}, box.dir);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = split(r.out, '\n'), advice = split(lines.back(), ' ');
    ASSERT_EQ(advice.size(), 9u) << r.out;
    std::vector<std::string> err = split(r.err, '\n');
    ASSERT_EQ(err.size(), 2u) << r.err;
    EXPECT_EQ(err[0], "aspect-inspect: the labels hold one class only, L16:9: the advice fits that class only");
    EXPECT_EQ(err[1].find("aspect-inspect: frame 2: L14:9, labelled L16:9; top bar 72, bottom bar 3"), 0u) << err[1];

    // Pictures of every class, measured with the advice, keep their class.
    std::string classes = "4:3 L14:9 L16:9";
    box.file("classes.pgm", ramp_frame(W, H) + ramp_frame(W, H, 41, 41) + ramp_frame(W, H, 72, 72));
    std::vector<std::string> args(advice.begin() + 1, advice.end());
    args.push_back("classes.pgm");
    RunResult check = inspect(args, box.dir);
    ASSERT_EQ(check.status, 0) << check.err;
    std::vector<std::string> rows = split(check.out, '\n');
    ASSERT_EQ(rows.size(), 4u);
    for (size_t i = 1; i < rows.size(); i++)
        EXPECT_EQ(split(rows[i], ',')[4], split(classes, ' ')[i - 1]) << lines.back();
}

TEST(AspectInspect, PlotShowsWhyFramesOfOneHeightMeasuredSo)
{
    Box box("aspect-inspect-plot");
    struct Case {
        const char *why;
        std::string frame, other; // both 542 rows high
    };
    for (const Case &c : {
             Case{"a bar only on top", ramp_frame(W, H, 72, 0), ramp_frame(W, H)},
             Case{"grain outside the band", noisy_frame(72, 12, 1), ramp_frame(W, H)},
         }) {
        box.file("a.pgm", c.frame);
        box.file("b.pgm", c.other);
        RunResult a = inspect({"--plot", "a.svg", "a.pgm"}, box.dir),
                  b = inspect({"--plot", "b.svg", "b.pgm"}, box.dir);
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        // The active height alone tells the two apart nowhere.
        EXPECT_EQ(split(split(a.out, '\n')[1], ',')[3], "542") << c.why;
        EXPECT_EQ(split(split(b.out, '\n')[1], ',')[3], "542") << c.why;
        std::string plot = box.read("a.svg");
        ASSERT_EQ(inspect({"--plot", "a.svg", "a.pgm"}, box.dir).status, 0);
        EXPECT_EQ(box.read("a.svg"), plot) << "a plot drawn twice is not the same";
        EXPECT_NE(box.read("b.svg"), plot) << c.why;
    }
}

TEST(AspectInspect, APlotReplacesAnOlderOneOnlyWhole)
{
    Box box("aspect-inspect-full");
    box.file("frames.pgm", noisy_frame(72, 12, 1) + noisy_frame(41, 12, 2));
    // A first plot without a limit lets fontconfig write the cache a fresh
    // machine lacks; under the limit below its write would fail and say so.
    RunResult warm = inspect({"--plot", box.path("warm.png"), box.path("frames.pgm")});
    ASSERT_EQ(warm.status, 0) << warm.err;
    unlink(box.path("warm.png").c_str());
    for (const char *name : {"old.png", "old.svg"}) {
        box.file(name, "an older plot");
        // A disk with room for 4 KiB: the plot does not fit.
        std::string command =
            "trap '' XFSZ; ulimit -f 8; exec " + bin_path("aspect-inspect") + " --plot " + name + " frames.pgm";
        RunOptions opt;
        opt.cwd = box.dir;
        RunResult r = run_program({"sh", "-c", command}, opt);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("aspect-inspect: can't write plot '") + name + "' (File too large)\n");
        EXPECT_EQ(box.read(name), "an older plot");
    }
    RunResult ls = run_program({"ls", box.dir});
    EXPECT_EQ(ls.out, "box.scn\nframes.pgm\nold.png\nold.svg\n") << "a temporary file left behind";
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

TEST(AspectInspect, TuningAdvisesRobustWhereItBeatsEverySettingTried)
{
    // A noisy 16:9 letterbox with a subtitle across most of the bottom bar.
    Box box("aspect-inspect-robust");
    std::string frames;
    for (unsigned n = 1; n <= 4; n++)
        frames += with_subtitle(noisy_frame(72, 12, n), 520, 544);
    box.file("film.pgm", frames);
    box.file("labels.csv", "1,4,L16:9\n");
    struct Case {
        std::vector<std::string> options;
        std::string advice;
    };
    for (const Case &c : {Case{{}, "aspect-detect -b 0 -t 8 -l 20 -s 3"},
                          Case{{"--robust"}, "aspect-detect -b 0 -t 8 -l 20 -s 3 --robust"}}) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--labels", box.path("labels.csv"), "--tune", box.path("film.pgm")});
        RunResult r = inspect(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> lines = split(r.out, '\n');
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.advice) << r.out;
    }
}
