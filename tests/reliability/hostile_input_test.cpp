// Hostile and huge input: each gets the program's documented or a clear
// error, never a crash. Big inputs are generated and streamed through pipes.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/sysinfo.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "box.h"

namespace {

// Runs `script` in sh with the program (and more words) as $0, $1, ...
RunResult shell(const std::string &script, const std::vector<std::string> &words, RunOptions opt = {})
{
    std::vector<std::string> argv = {"sh", "-c", script};
    argv.insert(argv.end(), words.begin(), words.end());
    return run_program(argv, opt);
}

TEST(HostileInput, HundredMegabyteWordIntoWssSignalIsSkippedAndTheNextWordsStillWork)
{
    Box box("hostile-wss", "vbi /dev/vbi0 records=records\nclock virtual end=600\n");
    std::vector<std::string> words = {"sh"};
    for (const std::string &word : box.argv("wss-signal"))
        words.push_back(word);
    RunResult r =
        shell("{ head -c 100000000 /dev/zero | tr '\\000' 7; printf ' 4:3\\nexit\\n'; } | exec \"$@\"", words);
    std::string records = box.read("records");
    EXPECT_EQ(r.err, "Error: Unkown input '" + std::string(96, '7') + "...'; ignored\n");
    EXPECT_EQ(r.out, "> WSS 0x8 = 4:3\n> exit\n");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(records.size(), 64u); // only the record of 4:3
    EXPECT_EQ(records[16], '\x08');
}

TEST(HostileInput, GigabyteLineIntoBabconvUnderAMemoryLimitEndsAfterWhatWasComplete)
{
    const std::string head = "BABYL OPTIONS:\n\x1f\x0c\n0,, work,\n*** EOOH ***\nSubject: s\n\nfirst line\n";
    RunOptions opt;
    std::string limit = "ulimit -v 262144; ";
#ifdef __SANITIZE_ADDRESS__
    // the sanitizer needs a vast address space: cap its allocations instead
    limit = "";
    opt.env = {"ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=256"};
#endif
    RunResult r =
        shell(limit + "{ printf '%s' \"$1\"; head -c 1000000000 /dev/zero | tr '\\000' x; echo; } | exec \"$0\"",
              {bin_path("babconv"), head}, opt);
#ifdef __SANITIZE_ADDRESS__
    r.err.erase(0, r.err.rfind('\n', r.err.size() - 2) + 1); // the sanitizer's note on the refusal
#endif
    EXPECT_EQ(r.err, bin_path("babconv") + ": virtual memory exhausted\n");
    EXPECT_EQ(r.status, 1);
    // the separator, then every complete line and nothing of the huge one
    EXPECT_EQ(r.out.substr(0, 5), "From ");
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "Subject: s\nX-Babyl-Labels: work\n\nfirst line\n");
}

struct CaptureCase {
    std::string capture; // the capture directive's size and buffer
    std::vector<std::string> args;
    std::string err;
};

TEST(HostileInput, AspectDetectRefusesImpossibleCaptureSizesAndDelays)
{
    const std::vector<CaptureCase> cases = {
        {"65535x65535 mbuf=4096",
         {"-e", "1"},
         "Error: Can't use video buffer of video device '/dev/video0' (4096 bytes mapped, a 65535x65535 frame "
         "needs 4294836225)\n"},
        // an empty frame measures nothing: the polls run until the steps are used up
        {"0x48 mbuf=4096",
         {"-e", "1"},
         "Error: Can't get status of device '/dev/dvb/adapter0/video0' (Input/output error)\n"},
        {"64x0 mbuf=4096",
         {"-e", "1"},
         "Error: Can't get status of device '/dev/dvb/adapter0/video0' (Input/output error)\n"},
        {"0x0", {"-e", "1"}, "Error: Can't map video buffer of video device '/dev/video0' (Invalid argument)\n"},
    };
    std::vector<CaptureCase> all = cases;
    // a delay of 4 billion polls needs a history of 128 GB
    struct sysinfo info;
    if (sysinfo(&info) == 0
        && (double(info.totalram) + double(info.totalswap)) * info.mem_unit < 4e9 * sizeof(std::string))
        all.push_back({"64x48",
                       {"-e", "4000000000"},
                       "Error: Can't allocate the history for a delay of 4000000000 polls (Cannot allocate memory)\n"});
    Box box("hostile-capture");
    for (const CaptureCase &c : all) {
        SCOPED_TRACE(c.capture);
        box.scenario("decoder /dev/dvb/adapter0/video0\ncapture /dev/video0 " + c.capture
                     + "\nclock virtual end=600\npoll 4:3 times=3\n");
        RunResult r = box.run("aspect-detect", c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        std::string trace = box.trace();
        EXPECT_NE(trace.find("exit still open: none\n"), std::string::npos) << trace;
    }
}

TEST(HostileInput, KeyshotCutsAHundredKilobyteKeySpecToItsBuffer)
{
    // every name valid: the spec is taken, and the run ends at the display
    std::string chord;
    while (chord.size() < 100000)
        chord += "a+";
    RunResult r = run_program({bin_path("keyshot"), "-display", "unix:65001", chord});
    EXPECT_EQ(r.err, bin_path("keyshot") + ": can't open display `unix:65001'.\n");
    EXPECT_EQ(r.status, 1);

    // one name of 100 KB: only the first 1023 bytes are looked at
    r = run_program({bin_path("keyshot"), "-display", "unix:65001", std::string(100000, 'x')});
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "unknown: " + std::string(1023, 'x') + "\n");
    EXPECT_EQ(r.status, 1);
}

// key-chord looks names up on a display: a throw-away one on a free number.
TEST(HostileInput, KeyChordTakesAHundredKilobyteChord)
{
    std::string name(100000, 'x');
    RunResult r = run_program({"xvfb-run", "-a", bin_path("key-chord"), name});
    EXPECT_EQ(r.err, bin_path("key-chord") + ": unknown key name '" + name + "'\n");
    EXPECT_EQ(r.status, 1);

    // white space anywhere is dropped, however much of it there is
    std::string blanks(50000, ' ');
    r = run_program({"xvfb-run", "-a", bin_path("key-chord"), blanks + "Shift\t+\na" + blanks});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

#ifdef ORLIM_IN_UTS
// A megabyte of file names: ten of 100 000 bytes, as the kernel passes no
// single argument longer than 128 KiB to a program.
TEST(HostileInput, OrlimclientSendsAMegabyteOfArgumentsWhole)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: a private UTS namespace gives the socket a path of its own";
    const std::string host = "hostile-" + std::to_string(getpid());
    const std::string path = "/tmp/osrv0-" + host;
    unlink(path.c_str());
    int server = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(server, 1), 0);

    std::string request;
    std::thread reader([&] {
        pollfd p{server, POLLIN, 0};
        if (poll(&p, 1, 60000) != 1)
            return;
        int conn = accept(server, nullptr, nullptr);
        char buf[65536];
        ssize_t got;
        while ((got = read(conn, buf, sizeof buf)) > 0)
            request.append(buf, size_t(got));
        close(conn);
    });
    std::string name = "/";
    while (name.size() < 100000)
        name += "a b&c";
    std::vector<std::string> argv = {ORLIM_IN_UTS, host, bin_path("orlimclient"), "-n"};
    for (int i = 0; i < 10; i++)
        argv.push_back(name);
    RunResult r = run_program(argv);
    if (r.status != 0)
        shutdown(server, SHUT_RDWR);
    reader.join();
    close(server);
    unlink(path.c_str());

    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::string quoted;
    for (char c : name)
        quoted += c == ' ' ? "&_" : c == '&' ? "&&" : std::string(1, c);
    std::string want = "-nowait ";
    for (int i = 0; i < 10; i++)
        want += quoted + " ";
    EXPECT_EQ(request.size(), want.size() + 1);
    EXPECT_TRUE(request == want + "\n");
}
#endif

} // namespace
