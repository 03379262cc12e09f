// kbdpoke run under devsim, whose launcher takes the raw-I/O capability away:
// the port writes it catches and the virtual time of each. Never run kbdpoke
// as root outside devsim: it would reach this machine's keyboard controller.
#include "box.h"

#include <gtest/gtest.h>

namespace {

const std::string kUsage = "Usage: kbdpoke <control codes>\n    e.g. kbdpoke ea 17\n";
const std::string kRefused = "Could not change port permissions. Please run as root.: Operation not permitted\n";

const std::string kGrant = "clock virtual\nports grant\n", kRefuse = "clock virtual\nports refuse\n";

TEST(Kbdpoke, WritesEachByteToTheDataPortAfter300Microseconds)
{
    Box box("kbdpoke", kGrant);
    RunResult r = box.run("kbdpoke", {"ea", "17"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.trace(), "0.000000 ioperm from=0x60 num=3 on=1 -> 0\n"
                           "0.000000 usleep 300 -> 0\n"
                           "0.000300 outb 0x60 0xea\n"
                           "0.000300 usleep 300 -> 0\n"
                           "0.000600 outb 0x60 0x17\n");
}

TEST(Kbdpoke, ArgumentsAreBase16AndOnlyTheLowByteIsWritten)
{
    Box box("kbdpoke", kGrant);
    const std::vector<std::string> args = {"0x1ff", "zz",   "-1", "0X7F", "+a", "100", "12xyz", "fffffffffffffffffffff",
                                           "",      "-0x80"};
    const char *bytes[] = {"0xff", "0x0", "0xff", "0x7f", "0xa", "0x0", "0x12", "0xff", "0x0", "0x80"};
    RunResult r = box.run("kbdpoke", args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string want = "0.000000 ioperm from=0x60 num=3 on=1 -> 0\n";
    for (size_t i = 0; i < args.size(); i++) {
        char lines[96];
        snprintf(lines, sizeof lines, "0.%06zu usleep 300 -> 0\n0.%06zu outb 0x60 %s\n", i * 300, (i + 1) * 300,
                 bytes[i]);
        want += lines;
    }
    EXPECT_EQ(box.trace(), want);
}

TEST(Kbdpoke, WithoutArgumentsPrintsUsageAndStillAsksForThePorts)
{
    Box granted("kbdpoke", kGrant);
    RunResult r = granted.run("kbdpoke");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(granted.trace(), "0.000000 ioperm from=0x60 num=3 on=1 -> 0\n");

    Box refused("kbdpoke", kRefuse);
    r = refused.run("kbdpoke");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, kRefused);
    EXPECT_EQ(refused.trace(), "0.000000 ioperm from=0x60 num=3 on=1 -> -1 EPERM\n");
}

// Port permission refused (to root too, under devsim): nothing is written,
// and a script sees it.
TEST(Kbdpoke, RefusedPermissionWritesNothingAndEndsWithStatus1)
{
    Box box("kbdpoke", kRefuse);
    RunResult r = box.run("kbdpoke", {"ea", "17"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kRefused);
    EXPECT_EQ(box.trace(), "0.000000 ioperm from=0x60 num=3 on=1 -> -1 EPERM\n");
}

// The kernel's own refusal, without devsim: an ordinary user with every
// capability gone from the bounding set, so nothing can reach the ports.
TEST(Kbdpoke, OrdinaryUserGetsTheSystemsRefusal)
{
    const std::vector<std::string> nobody = {"setpriv",        "--reuid=65534",   "--regid=65534",
                                             "--clear-groups", "--inh-caps=-all", "--bounding-set=-all",
                                             "--no-new-privs"};
    auto as_nobody = [&](std::vector<std::string> argv) {
        argv.insert(argv.begin(), nobody.begin(), nobody.end());
        return run_program(argv);
    };
    RunResult check = as_nobody({"sh", "-c", "id -u; test -x \"$0\" && echo runnable", bin_path("kbdpoke")});
    if (check.status != 0 || check.out != "65534\nrunnable\n")
        GTEST_SKIP() << "can't run kbdpoke as an ordinary user here: " << check.out << check.err;

    // EPERM from Linux; ENOSYS where a sandboxing kernel has no ioperm at all.
    auto refusal = [](const std::string &err) {
        return err == kRefused
               || err == "Could not change port permissions. Please run as root.: Function not implemented\n";
    };
    RunResult r = as_nobody({bin_path("kbdpoke"), "ea", "17"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_PRED1(refusal, r.err);

    r = as_nobody({bin_path("kbdpoke")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_PRED1(refusal, r.err);
}

} // namespace
