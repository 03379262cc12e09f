// sound-keeper against the FusionSound stand-in, which records its calls in
// the file named by FUSIONSOUND_STANDIN_LOG.
#include "run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {


RunOptions Env(const std::vector<std::string> &env)
{
    RunOptions o;
    o.env = env;
    return o;
}

#ifdef SYS_pause
const long sleep_call = SYS_pause;
#else
const long sleep_call = SYS_ppoll; // pause() where the kernel has no pause call
#endif

const std::string ok_calls = "FusionSoundInit DFB_OK\nFusionSoundCreate DFB_OK\n";

// A started sound-keeper; one still running when the test ends is killed.
struct Keeper {
    pid_t pid = -1;
    int status = 0;
    Keeper() = default;
    Keeper(const Keeper &) = delete;
    ~Keeper()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

void Start(Keeper &k, const std::string &dir, const std::vector<std::string> &args)
{
    std::string prog = bin_path("sound-keeper");
    std::vector<char *> argv{prog.data()};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    k.pid = fork();
    if (k.pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        setenv("FUSIONSOUND_STANDIN_LOG", (dir + "/calls").c_str(), 1);
        unsetenv("FUSIONSOUND_STANDIN_FAIL");
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
            signal(sig, SIG_DFL);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

std::string ReadOrEmpty(const std::string &path)
{
    return file_exists(path) ? read_file(path) : "";
}

double Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

enum class Asleep { no, in_pause, probably };

// Waits (bounded) until the process sleeps in pause(). Where the kernel's
// view of the call does not match this build (an emulated process), a
// sleeping process that has created its interface is the best sign.
Asleep WaitUntilAsleep(Keeper &k, const std::string &dir)
{
    const std::string proc = "/proc/" + std::to_string(k.pid);
    const double deadline = Now() + 20;
    int sleeping = 0;
    while (Now() < deadline) {
        if (waitpid(k.pid, &k.status, WNOHANG) == k.pid) {
            k.pid = -1;
            return Asleep::no;
        }
        std::string call = ReadOrEmpty(proc + "/syscall");
        if (!call.empty() && strtol(call.c_str(), nullptr, 10) == sleep_call)
            return Asleep::in_pause;
        std::string stat = ReadOrEmpty(proc + "/stat");
        size_t paren = stat.rfind(')');
        bool state_s = paren != std::string::npos && stat.compare(paren + 1, 3, " S ") == 0;
        sleeping = state_s && ReadOrEmpty(dir + "/calls").find("FusionSoundCreate DFB_OK") != std::string::npos
                       ? sleeping + 1
                       : 0;
        if (sleeping >= 50)
            return Asleep::probably;
        usleep(1000);
    }
    return Asleep::no;
}

// Sends sig and waits (bounded) for the end. When pause() could not be seen,
// the signal may have come just before it: repeat it while the process lives.
bool SignalAndWait(Keeper &k, int sig, Asleep asleep)
{
    kill(k.pid, sig);
    const double deadline = Now() + 20;
    double resend = Now() + 0.2;
    while (Now() < deadline) {
        if (waitpid(k.pid, &k.status, WNOHANG) == k.pid) {
            k.pid = -1;
            return true;
        }
        if (asleep == Asleep::probably && Now() > resend) {
            kill(k.pid, sig);
            resend = Now() + 0.2;
        }
        usleep(1000);
    }
    return false;
}

TEST(SoundKeeper, CaughtSignalsEndTheSleepWithTheInterfaceReleased)
{
    struct {
        int sig;
        std::vector<std::string> args;
        std::string init;
    } runs[] = {
        {SIGINT, {}, "FusionSoundInit DFB_OK\n"},
        {SIGTERM,
         {"--fs:quiet,samplerate=48000", "left", "--fs:no-banner"},
         "FusionSoundInit --fs:quiet,samplerate=48000 --fs:no-banner DFB_OK\n"},
        {SIGHUP, {"plain"}, "FusionSoundInit DFB_OK\n"},
    };
    for (auto &run : runs) {
        TempDir tmp("sound-keeper");
        const std::string &dir = tmp.path;
        Keeper k;
        Start(k, dir, run.args);
        Asleep asleep = WaitUntilAsleep(k, dir);
        ASSERT_NE(asleep, Asleep::no) << "not asleep: " << ReadOrEmpty(dir + "/err");
        EXPECT_EQ(ReadOrEmpty(dir + "/calls"), run.init + "FusionSoundCreate DFB_OK\n");
        usleep(50000);
        EXPECT_EQ(waitpid(k.pid, &k.status, WNOHANG), 0) << "woke up by itself";

        ASSERT_TRUE(SignalAndWait(k, run.sig, asleep));
        EXPECT_TRUE(WIFEXITED(k.status)) << strsignal(run.sig);
        EXPECT_EQ(WEXITSTATUS(k.status), 0) << strsignal(run.sig);
        EXPECT_EQ(ReadOrEmpty(dir + "/calls"), run.init + "FusionSoundCreate DFB_OK\nRelease DFB_OK\n");
        EXPECT_EQ(ReadOrEmpty(dir + "/out"), "");
        EXPECT_EQ(ReadOrEmpty(dir + "/err"), "");
    }
}

TEST(SoundKeeper, OtherSignalsEndItWithoutRelease)
{
    TempDir tmp("sound-keeper");
    const std::string &dir = tmp.path;
    Keeper k;
    Start(k, dir, {});
    Asleep asleep = WaitUntilAsleep(k, dir);
    ASSERT_NE(asleep, Asleep::no);
    ASSERT_TRUE(SignalAndWait(k, SIGUSR1, asleep));
    ASSERT_TRUE(WIFSIGNALED(k.status));
    EXPECT_EQ(WTERMSIG(k.status), SIGUSR1);
    EXPECT_EQ(ReadOrEmpty(dir + "/calls"), ok_calls);
}

TEST(SoundKeeper, FailingLibraryCallsAreFatalAndNamed)
{
    TempDir tmp("sound-keeper");
    const std::string &dir = tmp.path;
    const std::string calls = dir + "/calls";
    RunResult bad = run_program({bin_path("sound-keeper"), "--fs:quiet,bogus"},
                                Env({"FUSIONSOUND_STANDIN_LOG=" + calls, "FUSIONSOUND_STANDIN_FAIL"}));
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "FusionSoundInit: Invalid argument\n");
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(read_file(calls), "FusionSoundInit --fs:quiet,bogus DFB_INVARG\n");

    unlink(calls.c_str());
    RunResult noServer =
        run_program({bin_path("sound-keeper")},
                    Env({"FUSIONSOUND_STANDIN_LOG=" + calls, "FUSIONSOUND_STANDIN_FAIL=FusionSoundCreate"}));
    EXPECT_EQ(noServer.status, 1);
    EXPECT_EQ(noServer.err, "FusionSoundCreate: General failure\n");
    EXPECT_EQ(read_file(calls), "FusionSoundInit DFB_OK\nFusionSoundCreate DFB_FAILURE\n");
}

} // namespace
