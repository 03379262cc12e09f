// Nothing lost: a detector killed at any moment has handed every line it
// printed to its reader, and a filter that cannot write all its output says
// so in its status.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "box.h"

namespace {

TEST(NothingLost, AspectDetectKilledRightAfterPrintingHasHandedOverEveryLine)
{
    Box box("nothing-lost");
    box.file("full.pgm", ramp_frame(64, 48)); // a 4:3 picture without bars
    // every poll changes the class, so with -e 0 every poll prints a line
    std::string scenario = "decoder /dev/dvb/adapter0/video0\ncapture /dev/video0 64x48\nclock virtual\n";
    for (int i = 0; i < 20000; i++)
        scenario += i % 2 ? "poll 4:3 frame=full.pgm\n" : "poll 16:9\n";
    box.scenario(scenario);
    std::vector<std::string> argv = box.argv("aspect-detect", {"-e", "0"});
    std::vector<char *> args;
    for (std::string &word : argv)
        args.push_back(word.data());
    args.push_back(nullptr);

    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        write_file(box.trace_path, "");
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 2);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        // kill it as soon as the first lines have arrived, a little later each round
        std::string got;
        char buf[4096];
        while (std::count(got.begin(), got.end(), '\n') < 1 + round * 50) {
            pollfd p{out[0], POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 30000), 1);
            ssize_t n = read(out[0], buf, sizeof buf);
            ASSERT_GT(n, 0);
            got.append(buf, size_t(n));
        }
        kill(pid, SIGKILL);
        ssize_t n;
        while ((n = read(out[0], buf, sizeof buf)) > 0)
            got.append(buf, size_t(n));
        close(out[0]);
        int status;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "it ended before the kill; give it more polls";

        // Every poll whose decoder status was read had printed its line,
        // except perhaps the one running when the kill came.
        std::istringstream trace(box.trace());
        std::string line;
        size_t polls = 0;
        while (std::getline(trace, line))
            polls += line.find(" VIDEO_GET_STATUS ") != std::string::npos;
        size_t lines = size_t(std::count(got.begin(), got.end(), '\n'));
        EXPECT_TRUE(lines == polls || lines + 1 == polls) << lines << " lines, " << polls << " polls";
        EXPECT_EQ(got.back(), '\n');
        // the lines alternate between the wide stream and the full picture
        std::istringstream words(got);
        for (size_t i = 0; std::getline(words, line); i++)
            EXPECT_EQ(line, i % 2 ? "4:3" : "16:9") << i;
    }
}

// A file-size limit in the middle of the output: the write that reaches it
// is cut short, the next one fails. The status must say the output is not
// complete, and what was written must be the start of the full output.
TEST(NothingLost, FiltersStoppedByAFullFileSayTheirOutputIsIncomplete)
{
    TempDir tmp("nothing-lost-filters");
    const std::string &dir = tmp.path;
    std::string stream = "junk" + std::string("\x0b\x77", 2);
    for (int i = 0; i < 200000; i++)
        stream += char(i * 7);
    write_file(dir + "/ac3", stream);
    std::string babyl = "BABYL OPTIONS:\n\x1f\x0c\n0,,\n*** EOOH ***\nSubject: s\n\n";
    for (int i = 0; i < 20000; i++)
        babyl += "body line " + std::to_string(i) + "\n";
    write_file(dir + "/babyl", babyl);

    struct Filter {
        std::string program, input, error;
    };
    for (const Filter &f : {Filter{"ac3-trim", dir + "/ac3", ": standard output: File too large\n"},
                            Filter{"babconv", dir + "/babyl", ": File too large\n"}}) {
        SCOPED_TRACE(f.program);
        std::string out = dir + "/" + f.program + ".out";
        RunResult whole = run_program({"sh", "-c", "exec \"$0\" < \"$1\"", bin_path(f.program), f.input});
        ASSERT_EQ(whole.status, 0);
        // 100 blocks of 512 bytes; the limit signal ignored, so that the write fails instead
        RunResult r = run_program({"sh", "-c", "trap '' XFSZ; ulimit -f 100; exec \"$0\" < \"$1\" > \"$2\"",
                                   bin_path(f.program), f.input, out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, bin_path(f.program) + f.error);
        std::string written = read_file(out);
        EXPECT_EQ(written.size(), 51200u);
        // babconv's first line holds the time of its start
        size_t from = f.program == "babconv" ? written.find('\n') : 0;
        EXPECT_TRUE(written.substr(from) == whole.out.substr(from, written.size() - from));
    }
}

} // namespace
