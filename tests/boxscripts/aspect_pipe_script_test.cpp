// examples/aspect-pipe.sh run with the real programs, each under devsim:
// restarts when an end of the pipe goes away, clean stops, refused settings.
#include "box.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string script = std::string(SOURCE_DIR) + "/examples/aspect-pipe.sh";
const char *const restart_line = "aspect-pipe: detector ended (status 0); restarting in 0.05 s\n";

double bound(double seconds)
{
    const char *s = getenv("TEST_TIMEOUT_SCALE");
    return s && atof(s) > 1 ? seconds * atof(s) : seconds;
}

// Polls until done() holds or the bound has passed; says which.
bool wait_until(const std::function<bool()> &done, double seconds = 20)
{
    for (double waited = 0; waited < bound(seconds); waited += 0.02) {
        if (done())
            return true;
        usleep(20000);
    }
    return done();
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

bool consume(std::string &s, const std::string &prefix)
{
    if (s.compare(0, prefix.size(), prefix) != 0)
        return false;
    s.erase(0, prefix.size());
    return true;
}

// s is one or more copies of block, each perhaps after one optional lead.
bool made_of(std::string s, const std::string &lead, const std::string &block)
{
    if (s.empty())
        return false;
    while (!s.empty()) {
        consume(s, lead);
        if (!consume(s, block))
            return false;
    }
    return true;
}

// The script on a simulated box in a folder of its own, in its own process
// group so that every process it leaves behind can be found.
// The detector runs in the box itself, the signaller under vbi.scn with its
// own trace.
struct Pipe : Box {
    pid_t pid = -1;

    Pipe(const std::string &detector_scenario, const std::string &vbi_extra = "")
        : Box("aspect-pipe", "decoder /dev/dvb/adapter0/video0\ncapture /dev/video0 64x48\n" + detector_scenario)
    {
        file("vbi.scn", "clock virtual\nvbi /dev/vbi0\n" + vbi_extra);
    }
    ~Pipe()
    {
        if (pid > 0)
            kill(-pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
    std::vector<std::string> env(const std::string &options) const
    {
        return {"PATH=" + std::string(BIN_DIR) + ":/usr/bin:/bin",
                "TMPDIR=" + dir,
                "RESTART_DELAY=0.05",
                "DETECT_OPTIONS=" + options,
                "DETECT_WRAPPER=devsim " + scenario_path + " --trace " + trace_path + " --",
                "SIGNAL_WRAPPER=devsim " + path("vbi.scn") + " --trace " + path("vbi.trace") + " --"};
    }
    void start(const std::string &options, const std::vector<std::string> &args = {})
    {
        std::vector<std::string> words = {"/bin/sh", script};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<std::string> vars = env(options);
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setpgid(0, 0);
            // as from a terminal: a signal ignored on entry could not be trapped
            for (int sig : {SIGINT, SIGHUP, SIGTERM, SIGUSR1})
                signal(sig, SIG_DFL);
            int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1), dup2(err, 2);
            for (const std::string &v : vars)
                putenv(const_cast<char *>(v.c_str()));
            std::vector<char *> argv;
            for (const std::string &w : words)
                argv.push_back(const_cast<char *>(w.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        setpgid(pid, pid);
    }
    // Stops the script with sig; its exit status (-1 when it did not end by itself in time).
    int stop(int sig)
    {
        kill(pid, sig);
        int status = 0;
        bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended)
            return -1;
        pid_t group = pid;
        pid = -1;
        // every process of the pipe has ended with the script
        EXPECT_TRUE(wait_until([&] { return kill(-group, 0) == -1 && errno == ESRCH; }, 5));
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Every signaller run ended with the signal off and its own exit.
    void expect_each_signaller_run_ended_cleanly(size_t runs) const
    {
        std::string trace = normalise_trace(read("vbi.trace"), {.times = false});
        EXPECT_EQ(count(trace, "exit still open: none\n"), runs);
        EXPECT_EQ(count(trace, "write /dev/vbi0 id=0 field=0 line=23 data=00 00 -> 64 (WSS off)\n"
                               "close /dev/vbi0 -> 0\nexit still open: none\n"),
                  runs)
            << trace;
    }
};

TEST(AspectPipeScript, RestartsTheDetectorWhenItEndsAndStopsCleanlyOnTerm)
{
    // the poll steps run out after two polls: every detector run ends by itself
    Pipe box("clock virtual\npoll 16:9 times=2\n");
    box.start("-ba -e 0", {"-o"});
    ASSERT_TRUE(wait_until([&] { return count(box.read("err"), restart_line) >= 2; })) << box.read("err");
    EXPECT_GE(count(box.trace(), "open /dev/dvb/adapter0/video0 O_RDONLY|O_NONBLOCK -> fd\n"), 2u);

    ASSERT_EQ(box.stop(SIGTERM), 0);
    std::string out = box.read("out"), err = box.read("err");
    // a stop just after a restart may come before the detector's first word
    EXPECT_TRUE(made_of(out, "> WSS 0x7 = 16:9\n", "> WSS 0x0\n> exit\n")) << out;
    EXPECT_GE(count(out, "> exit\n"), 2u);
    box.expect_each_signaller_run_ended_cleanly(count(out, "> exit\n"));
    // the detector's own report of each end, the script's restarts, its stop
    const std::string ended = "Error: Can't get status of device '/dev/dvb/adapter0/video0' (Input/output error)\n";
    ASSERT_GT(err.size(), 21u);
    EXPECT_EQ(err.substr(err.size() - 21), "aspect-pipe: stopped\n");
    err.erase(err.size() - 21);
    if (err.size() > ended.size() && err.compare(err.size() - ended.size(), ended.size(), ended) == 0)
        err.erase(err.size() - ended.size());
    EXPECT_TRUE(made_of(err, "", ended + restart_line)) << err;
}

TEST(AspectPipeScript, StopWhileThePipeRunsKillsTheDetectorAndTurnsTheSignalOff)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        // a detector that would poll for hours in real time
        Pipe box("poll 16:9 times=1000000\n");
        box.start("");
        ASSERT_TRUE(wait_until([&] { return box.read("out") == "> WSS 0x7 = 16:9\n"; })) << box.read("out");

        ASSERT_EQ(box.stop(sig), 0);
        EXPECT_EQ(box.read("out"), "> WSS 0x7 = 16:9\n> WSS 0x0\n> exit\n");
        EXPECT_EQ(box.read("err"), "aspect-pipe: stopped\n");
        box.expect_each_signaller_run_ended_cleanly(1);
        // the detector was killed: no device error, no orderly exit of its own
        std::string detector = box.trace();
        EXPECT_EQ(count(detector, "-> -1"), 0u) << detector;
        EXPECT_EQ(count(detector, "exit still open"), 0u) << detector;
    }
}

TEST(AspectPipeScript, SignallerEndingFirstStopsTheDetectorAndRestartsThePipe)
{
    // the output device refuses every record: each signaller ends with status 4
    Pipe box("poll 16:9 times=1000000\n", "fail write EIO\n");
    box.start("");
    const char *line = "aspect-pipe: signaller ended (status 4); restarting in 0.05 s\n";
    ASSERT_TRUE(wait_until([&] { return count(box.read("err"), line) >= 2; })) << box.read("err");
    // each detector run was stopped before the next began
    EXPECT_GE(count(box.trace(), "open /dev/dvb/adapter0/video0 O_RDONLY|O_NONBLOCK -> fd\n"), 2u);
    EXPECT_EQ(count(box.trace(), "exit still open"), 0u);
    ASSERT_EQ(box.stop(SIGTERM), 0);
}

TEST(AspectPipeScript, RefusesSettingsThatCannotWorkBeforeStartingAnything)
{
    Pipe box("poll 16:9\n");
    struct Case {
        std::string options, arg, message;
    };
    for (const Case &c : std::vector<Case>{
             {"-e 5 -a", "", "aspect-detect option '-a' does not belong in the pipe"},
             {"", "-fa", "aspect-detect option '-a' does not belong in the pipe"},
             {"--asp", "", "aspect-detect option '--asp' does not belong in the pipe"},
             {"-e 3", "-h", "aspect-detect option '-h' does not belong in the pipe"},
             {"--help", "", "aspect-detect option '--help' does not belong in the pipe"},
         }) {
        RunOptions o;
        o.env = box.env(c.options);
        RunResult r = run_program(c.arg.empty() ? std::vector<std::string>{"/bin/sh", script}
                                                : std::vector<std::string>{"/bin/sh", script, c.arg},
                                  o);
        EXPECT_EQ(r.status, 2) << c.options << c.arg;
        EXPECT_EQ(r.err, "aspect-pipe: " + c.message + "\n");
    }
    RunOptions o;
    o.env = box.env("");
    o.env.push_back("RESTART_DELAY=soon");
    RunResult r = run_program({"/bin/sh", script}, o);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "aspect-pipe: RESTART_DELAY 'soon' is not a number of seconds\n");
    EXPECT_FALSE(file_exists(box.trace_path));
    EXPECT_FALSE(file_exists(box.dir + "/vbi.trace"));
}

TEST(AspectPipeUnit, PassesSystemdVerify)
{
    if (run_program({"sh", "-c", "command -v systemd-analyze"}).status != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    TempDir dir("aspect-pipe-unit");
    // verify checks that ExecStart exists: point it at the script in the tree
    std::string unit = read_file(std::string(SOURCE_DIR) + "/examples/aspect-pipe.service");
    size_t at = unit.find("ExecStart=/usr/local/bin/aspect-pipe.sh\n");
    ASSERT_NE(at, std::string::npos);
    unit.replace(at, 39, "ExecStart=" + script);
    write_file(dir.path + "/aspect-pipe.service", unit);
    RunResult r = run_program({"systemd-analyze", "verify", "--man=no", dir.path + "/aspect-pipe.service"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

} // namespace
