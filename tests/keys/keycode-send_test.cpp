#include "xrecorder.h"

using Lines = std::vector<std::string>;

class KeycodeSend : public XKeysTest {
protected:
    RunResult send(const std::vector<std::string> &args, std::vector<std::string> env = {})
    {
        return run("keycode-send", args, env);
    }
    // The stderr line, with the root window size as this client sees it.
    std::string line(const std::string &keycode, int is_down)
    {
        Window r;
        int x, y;
        unsigned w, h, border, depth;
        XGetGeometry(dpy, root, &r, &x, &y, &w, &h, &border, &depth);
        return std::to_string(w) + "x" + std::to_string(h) + " keycode " + keycode + " is_down "
               + std::to_string(is_down) + "\n";
    }
};

TEST_F(KeycodeSend, PressHoldsTheKeyUntilAReleaseRun)
{
    ASSERT_EQ(keycode_of("a"), 38u);
    RunResult r = send({"38"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, line("38", 1));
    EXPECT_EQ(strokes(recorded()), Lines{"press a 0x0"});
    EXPECT_EQ(held_keys(), std::vector<unsigned>{38});

    r = send({"38", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, line("38", 0));
    EXPECT_EQ(strokes(recorded()), Lines{"release a 0x0"});
    EXPECT_TRUE(held_keys().empty());
}

TEST_F(KeycodeSend, OnlyAOneArgumentFlagCanAskForARelease)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"38", "5"}, {"38", "0", "x"}, {"38", "0", "0"}}) {
        SCOPED_TRACE(args.size());
        RunResult r = send(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, line("38", 1));
        EXPECT_EQ(strokes(recorded()), Lines{"press a 0x0"});
        send({"38", "0"});
        EXPECT_EQ(strokes(recorded()), Lines{"release a 0x0"});
    }
}

TEST_F(KeycodeSend, KeycodeOutsideTheServerRangeIsRejected)
{
    // "abc" reads as 0, below every server's range: Xlib's default handler ends it.
    RunResult r = send({"abc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind(line("0", 1), 0), 0u) << r.err;
    EXPECT_NE(r.err.find("BadValue"), std::string::npos) << r.err;
    // Past 8 bits a keycode would wrap onto a real key (294 onto 38): refused.
    for (const char *code : {"294", "-218"}) {
        SCOPED_TRACE(code);
        r = send({code});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, line(code, 1) + bin_path("keycode-send") + ": keycode " + code + " out of range\n");
    }
    EXPECT_TRUE(recorded().empty());
}

TEST_F(KeycodeSend, NoArgumentOrNoDisplayFails)
{
    RunResult r = send({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "");
    for (std::string env : {std::string("DISPLAY"), std::string("DISPLAY=") + dead_display}) {
        SCOPED_TRACE(env);
        r = send({"38"}, {env});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, bin_path("keycode-send") + ": Cannot connect to display ...\n");
    }
    EXPECT_TRUE(recorded().empty());
}
