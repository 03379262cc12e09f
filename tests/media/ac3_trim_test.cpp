// ac3-trim: output from the first 0x0B 0x77 on, byte for byte; failures to
// read or write reported instead of passed off as success.
#include "run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {


RunOptions Input(const std::string &bytes)
{
    RunOptions o;
    o.input = bytes;
    return o;
}

const std::string fixture = std::string(TESTS_SOURCE_DIR) + "/fixtures/media/sine.ac3";

// The obvious byte-by-byte search, for comparison.
std::string ReferenceTrim(const std::string &in)
{
    for (size_t i = 0; i + 1 < in.size(); i++)
        if (static_cast<unsigned char>(in[i]) == 0x0B && static_cast<unsigned char>(in[i + 1]) == 0x77)
            return in.substr(i);
    return "";
}

// Runs ac3-trim with a regular file on standard input, so that it reads
// whole blocks and their boundaries fall where the test puts them.
RunResult TrimFile(const std::string &dir, const std::string &input)
{
    std::string path = dir + "/in";
    write_file(path, input);
    return run_program({"sh", "-c", "exec \"$0\" < \"$1\"", bin_path("ac3-trim"), path});
}

struct Case {
    const char *what;
    std::string in;
    std::string out;
};

TEST(Ac3Trim, CutsBeforeTheFirstSyncWordWithTheOverlapRule)
{
    const Case cases[] = {
        {"empty input", "", ""},
        {"no sync word", std::string("\x00\x77\x0B\x00\x77\x0B\x0B", 7), ""},
        {"lone 0x0B at the end", std::string("\x01\x02\x0B", 3), ""},
        {"sync word first", std::string("\x0B\x77\x00\x0B\x77\xff", 6), std::string("\x0B\x77\x00\x0B\x77\xff", 6)},
        {"0x0B 0x0B 0x77", std::string("\x00\x0B\x0B\x77\x01", 5), std::string("\x0B\x77\x01", 3)},
        {"0x0B then other byte", std::string("\x0B\x00\x0B\x77", 4), std::string("\x0B\x77", 2)},
        {"0x77 before 0x0B", std::string("\x77\x0B\x77\x0B", 4), std::string("\x0B\x77\x0B", 3)},
        {"only the sync word", std::string("\x0B\x77", 2), std::string("\x0B\x77", 2)},
    };
    for (const Case &c : cases) {
        RunResult r = run_program({bin_path("ac3-trim"), "ignored", "arguments"}, Input(c.in));
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
    }
}

TEST(Ac3Trim, JunkBeforeARealStreamIsRemoved)
{
    const std::string stream = read_file(fixture);
    ASSERT_EQ(stream.substr(0, 2), "\x0B\x77");
    TempDir tmp("ac3-trim");
    const std::string &dir = tmp.path;
    // Junk rich in 0x0B and 0x77, but never in that order.
    std::string junk;
    for (int i = 0; i < 5000; i++)
        junk += i % 3 ? std::string("\x0B\x0B\x00", 3) : std::string("\x77\x77", 2);
    junk += "\x0B";
    ASSERT_TRUE(ReferenceTrim(junk).empty());
    RunResult viaPipe = run_program({bin_path("ac3-trim")}, Input(junk + stream));
    EXPECT_EQ(viaPipe.status, 0);
    EXPECT_TRUE(viaPipe.out == stream) << "output differs from the AC-3 stream";
    RunResult viaFile = TrimFile(dir, junk + stream);
    EXPECT_EQ(viaFile.status, 0);
    EXPECT_TRUE(viaFile.out == stream) << "output differs from the AC-3 stream";
}

TEST(Ac3Trim, SyncWordSplitAcrossAnyReadBoundaryIsFound)
{
    TempDir tmp("ac3-trim");
    const std::string &dir = tmp.path;
    for (size_t power = 12; power <= 21; power++) {
        for (size_t at : {(size_t(1) << power) - 2, (size_t(1) << power) - 1, size_t(1) << power}) {
            std::string in(at, '\x0B');
            in += "\x77tail";
            RunResult r = TrimFile(dir, in);
            EXPECT_EQ(r.status, 0) << "0x77 at " << at;
            EXPECT_EQ(r.out, "\x0B\x77tail") << "0x77 at " << at;
        }
    }
}

TEST(Ac3Trim, RandomStreamsMatchTheReferenceSearch)
{
    TempDir tmp("ac3-trim");
    const std::string &dir = tmp.path;
    std::mt19937 rng(20240611);
    for (int round = 0; round < 4; round++) {
        std::string in(3 * 1024 * 1024 + round * 4099, '\0');
        for (char &c : in)
            c = static_cast<char>(rng() & 0xff);
        if (round % 2 == 0) {
            // Make the first sync word lie deep inside: many 0x0B, no 0x77 before it.
            size_t deep = in.size() - 100000 * (round + 1);
            for (size_t i = 0; i < deep; i++)
                if (in[i] == '\x77' || (rng() & 7) == 0)
                    in[i] = i % 2 ? '\x0B' : '\x00';
            in[deep] = '\x0B';
            in[deep + 1] = '\x77';
        }
        std::string expected = ReferenceTrim(in);
        ASSERT_FALSE(expected.empty());
        RunResult r = round < 2 ? TrimFile(dir, in) : run_program({bin_path("ac3-trim")}, Input(in));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.size(), expected.size()) << "round " << round;
        EXPECT_TRUE(r.out == expected) << "round " << round;
    }
}

enum Kind { pipe_end, socket_end, file, appended_file, dev_null };

// Runs ac3-trim with standard input and output of the given kinds, this
// process feeding and draining the pipes and sockets. Returns what the
// output received (an appended file first holds "KEEP").
RunResult TrimThrough(const std::string &dir, Kind in, Kind out, const std::string &input)
{
    auto open_pair = [](Kind k, int fds[2]) {
        if (k == pipe_end)
            return pipe2(fds, O_CLOEXEC) == 0;
        return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0;
    };
    int in_fds[2] = {-1, -1}, out_fds[2] = {-1, -1}; // child's end first
    if (in == file) {
        write_file(dir + "/in", input);
        in_fds[0] = open((dir + "/in").c_str(), O_RDONLY | O_CLOEXEC);
    } else {
        open_pair(in, in_fds);
    }
    if (out == file || out == appended_file || out == dev_null) {
        write_file(dir + "/out", out == appended_file ? "KEEP" : "");
        out_fds[0] = open(out == dev_null ? "/dev/null" : (dir + "/out").c_str(),
                          O_WRONLY | O_CLOEXEC | (out == appended_file ? O_APPEND : 0));
    } else if (open_pair(out, out_fds)) {
        std::swap(out_fds[0], out_fds[1]);
    }
    RunResult r;
    if (in_fds[0] < 0 || out_fds[0] < 0)
        return r;
    signal(SIGPIPE, SIG_IGN); // the feeder learns of a reader gone from write()
    const std::string err_path = dir + "/err", prog = bin_path("ac3-trim");
    pid_t pid = fork();
    if (pid == 0) {
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(in_fds[0], 0);
        dup2(out_fds[0], 1);
        dup2(err, 2);
        execl(prog.c_str(), prog.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in_fds[0]);
    close(out_fds[0]);
    std::thread feed([&] {
        for (size_t at = 0; in_fds[1] >= 0 && at < input.size();) {
            ssize_t put = write(in_fds[1], input.data() + at, input.size() - at);
            if (put <= 0)
                break;
            at += size_t(put);
        }
        if (in_fds[1] >= 0)
            close(in_fds[1]);
    });
    if (out_fds[1] >= 0) {
        char block[65536];
        ssize_t got;
        while ((got = read(out_fds[1], block, sizeof block)) > 0)
            r.out.append(block, size_t(got));
        close(out_fds[1]);
    }
    feed.join();
    int status;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = read_file(err_path);
    if (out == file || out == appended_file)
        r.out = read_file(dir + "/out");
    return r;
}

// Pipes and a socket on either side, files, and outputs the kernel will not
// splice or copy into (an appended file), which the program must still fill.
TEST(Ac3Trim, EveryKindOfInputAndOutputGetsTheSameBytes)
{
    TempDir tmp("ac3-trim");
    std::string junk(300 * 1024, '\x0B');
    std::string stream;
    for (int i = 0; i < 200; i++)
        stream += read_file(fixture);
    const struct {
        Kind in, out;
    } cases[] = {
        {pipe_end, pipe_end}, {pipe_end, file}, {pipe_end, socket_end}, {pipe_end, appended_file},
        {pipe_end, dev_null}, {file, pipe_end}, {file, file},           {file, appended_file},
        {file, socket_end},   {file, dev_null}, {socket_end, pipe_end}, {socket_end, file},
    };
    const char *names[] = {"pipe", "socket", "file", "appended file", "/dev/null"};
    for (const auto &c : cases) {
        std::string what = std::string(names[c.in]) + " to " + names[c.out];
        RunResult r = TrimThrough(tmp.path, c.in, c.out, junk + stream);
        EXPECT_EQ(r.status, 0) << what;
        EXPECT_EQ(r.err, "") << what;
        std::string want = c.out == dev_null ? "" : c.out == appended_file ? "KEEP" + stream : stream;
        EXPECT_EQ(r.out.size(), want.size()) << what;
        EXPECT_TRUE(r.out == want) << what;
    }
}

TEST(Ac3Trim, WritesThroughTheInheritedOutputKeepingWhatIsThere)
{
    TempDir tmp("ac3-trim");
    const std::string &dir = tmp.path;
    std::string in = std::string("junk\x0B\x77", 6) + "frame";
    write_file(dir + "/in", in);
    RunResult grouped = run_program({"sh", "-c", "{ printf HEADER; \"$0\" < \"$1\"; } > \"$2\"", bin_path("ac3-trim"),
                                     dir + "/in", dir + "/grouped"});
    EXPECT_EQ(grouped.status, 0);
    EXPECT_EQ(read_file(dir + "/grouped"), std::string("HEADER\x0B\x77", 8) + "frame");

    write_file(dir + "/appended", "KEEP");
    RunResult appended =
        run_program({"sh", "-c", "\"$0\" < \"$1\" >> \"$2\"", bin_path("ac3-trim"), dir + "/in", dir + "/appended"});
    EXPECT_EQ(appended.status, 0);
    EXPECT_EQ(read_file(dir + "/appended"), std::string("KEEP\x0B\x77", 6) + "frame");
}

TEST(Ac3Trim, OutputAndInputFailuresEndWithStatusOne)
{
    TempDir tmp("ac3-trim");
    const std::string &dir = tmp.path;
    write_file(dir + "/in", read_file(fixture));
    const std::string prog = bin_path("ac3-trim");

    std::string big;
    for (int i = 0; i < 256; i++)
        big += read_file(fixture);
    write_file(dir + "/big", big);

    // Each failure from a file and through a pipe: the rest is copied differently.
    for (std::string feed : {"\"$0\" < \"$1\"", "cat \"$1\" | \"$0\""}) {
        RunResult full = run_program({"sh", "-c", feed + " > /dev/full", prog, dir + "/in"});
        EXPECT_EQ(full.status, 1) << feed;
        EXPECT_EQ(full.err, prog + ": standard output: No space left on device\n") << feed;

        // A reader that leaves without reading: the writes fill the pipe, then fail.
        RunResult closed =
            run_program({"sh", "-c", "{ " + feed + "; echo \"status $?\" >&2; } | true", prog, dir + "/big"});
        EXPECT_EQ(closed.err, prog + ": standard output: Broken pipe\nstatus 1\n") << feed;

        // A file-size limit (300 KiB, past the first block) stops the output
        // part way, and what was written stays a prefix.
        RunResult limited = run_program(
            {"sh", "-c", "trap '' XFSZ; ulimit -f 600; " + feed + " > \"$2\"", prog, dir + "/big", dir + "/limited"});
        EXPECT_EQ(limited.status, 1) << feed;
        EXPECT_EQ(limited.err, prog + ": standard output: File too large\n") << feed;
        std::string part = read_file(dir + "/limited");
        EXPECT_TRUE(!part.empty() && part.size() < big.size() && big.compare(0, part.size(), part) == 0) << feed;
    }

    RunResult dirInput = run_program({"sh", "-c", "exec \"$0\" < \"$1\"", prog, dir});
    EXPECT_EQ(dirInput.status, 1);
    EXPECT_EQ(dirInput.err, prog + ": standard input: Is a directory\n");
    EXPECT_EQ(dirInput.out, "");

    // Nothing to write: a closed output does not matter.
    RunResult noSync = run_program({"sh", "-c", "exec \"$0\" >&-", prog}, Input("no sync here"));
    EXPECT_EQ(noSync.status, 0);
    EXPECT_EQ(noSync.err, "");
}

} // namespace
