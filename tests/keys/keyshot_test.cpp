#include "xrecorder.h"

#include <cstdio>

using Lines = std::vector<std::string>;

class Keyshot : public XKeysTest {
protected:
    RunResult keyshot(const std::vector<std::string> &args, std::vector<std::string> env = {})
    {
        return run("keyshot", args, env);
    }
    // Run and expect a clean exit with nothing printed.
    Lines sent(const std::vector<std::string> &args)
    {
        RunResult r = keyshot(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        return strokes(recorded());
    }
    std::string usage_text()
    {
        std::string p = bin_path("keyshot");
        return "usage: " + p
               + " [-window <id>|root]\n            [-count <count>]\n"
                 "            [-display <name>] [Modifier+[Modifier+]]Key\n"
                 "(looks up keysyms in <X11/keysymdef.h>)\n'Alt',   'Control',   'Shift' are replaced by\n"
                 "'Alt_L', 'Control_L', 'Shift_L'...\n  example:\n     "
               + p + " Control+Alt+Right\n";
    }
};

static std::string hex(unsigned long id)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%lx", id);
    return buf;
}

const Lines control_a = {"press Control_L 0x0", "press a 0x4", "release a 0x4", "release Control_L 0x4"};
const Lines plain_a = {"press a 0x0", "release a 0x0"};

TEST_F(Keyshot, SendsSixFlaggedEventsToTheFocusWindow)
{
    RunResult r = keyshot({"Control+Alt+Right"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    std::vector<KeyRecord> got = recorded();
    EXPECT_EQ(strokes(got), (Lines{"press Control_L 0x0", "press Alt_L 0x4", "press Right 0xc", "release Right 0xc",
                                   "release Control_L 0xc", "release Alt_L 0x8"}));
    for (const KeyRecord &k : got) {
        EXPECT_TRUE(k.send_event);
        EXPECT_EQ(k.window, win);
        EXPECT_EQ(k.x, 1);
        EXPECT_EQ(k.y, 1);
        EXPECT_EQ(k.x_root, 1);
        EXPECT_EQ(k.y_root, 1);
        EXPECT_TRUE(k.same_screen);
    }
}

TEST_F(Keyshot, ModifiersGoInFixedOrderAsLeftHandKeys)
{
    EXPECT_EQ(sent({"Shift"}), (Lines{"press Shift_L 0x0", "release Shift_L 0x1"}));
    EXPECT_EQ(sent({"Shift_R+a"}), (Lines{"press Shift_L 0x0", "press a 0x1", "release a 0x1", "release Shift_L 0x1"}));
    EXPECT_EQ(sent({"Meta_L+a"}), (Lines{"press Alt_L 0x0", "press a 0x8", "release a 0x8", "release Alt_L 0x8"}));
    EXPECT_EQ(sent({"Alt_R+Control_R+Shift+a"}),
              (Lines{"press Shift_L 0x0", "press Control_L 0x1", "press Alt_L 0x5", "press a 0xd", "release a 0xd",
                     "release Shift_L 0xd", "release Control_L 0xc", "release Alt_L 0x8"}));
    for (const char *combo : {"Caps_Lock+a", "Shift_Lock+a", "Super_L+a", "Hyper_R+a"}) {
        SCOPED_TRACE(combo);
        EXPECT_EQ(sent({combo}), plain_a);
    }
}

TEST_F(Keyshot, OnlyTheLastKeyAndTheLastKeyArgumentCount)
{
    EXPECT_EQ(sent({"b+a"}), plain_a);
    EXPECT_EQ(sent({"Control+b", "a"}), plain_a);
    EXPECT_EQ(sent({"Control++a"}), control_a);
    EXPECT_EQ(sent({"+Control+a+"}), control_a);
    EXPECT_EQ(sent({"+"}), Lines{});
    // Cut to 1023 characters: "+...+a"; the whole text would name no keysym.
    EXPECT_EQ(sent({std::string(1022, '+') + "ab"}), plain_a);
}

TEST_F(Keyshot, CountRepeatsTheStroke)
{
    EXPECT_EQ(sent({"-count", "3", "a"}),
              (Lines{plain_a[0], plain_a[1], plain_a[0], plain_a[1], plain_a[0], plain_a[1]}));
    EXPECT_EQ(sent({"a", "-count", "0x2"}), (Lines{plain_a[0], plain_a[1], plain_a[0], plain_a[1]}));
    // Held as a signed int: no number, zero, negative and past INT_MAX all send nothing.
    for (const char *count : {"0", "zero", "-1", "2147483648", "4294967295"}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(sent({"-count", count, "a"}), Lines{});
    }
}

TEST_F(Keyshot, WindowOptionChoosesTheTarget)
{
    // The focus moves to another window, so events at win prove the id was used.
    Window other = make_window(true);
    record_root();
    struct Case {
        std::vector<std::string> args;
        Window target;
    } cases[] = {
        {{"-window", hex(win), "a"}, win},
        {{"a", "-window", std::to_string(win)}, win},
        {{"-window", "0", "a"}, other},
        {{"-window", "root", "a"}, root},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[1]);
        RunResult r = keyshot(c.args);
        EXPECT_EQ(r.status, 0);
        std::vector<KeyRecord> got = recorded();
        EXPECT_EQ(strokes(got), plain_a);
        for (const KeyRecord &k : got)
            EXPECT_EQ(k.window, c.target);
    }
}

TEST_F(Keyshot, MissingWindowReportsEachEventAndSucceeds)
{
    Window gone = make_window(false);
    XDestroyWindow(dpy, gone);
    XSync(dpy, False);
    RunResult r = keyshot({"-window", hex(gone), "Control+a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    std::string line = bin_path("keyshot") + ": XSendEvent(" + hex(gone) + ") failed.\n";
    EXPECT_EQ(r.err, line + line + line + line);
    EXPECT_TRUE(recorded().empty());
}

TEST_F(Keyshot, ArgumentErrorsEndBeforeConnecting)
{
    std::string p = bin_path("keyshot");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, p + ": you must specify a keyname.\n"},
        {{""}, p + ": you must specify a keyname.\n"},
        {{"a", "-count"}, usage_text()},
        {{"a", "-window"}, usage_text()},
        {{"a", "-display"}, usage_text()},
        {{"-x", "Bogus"}, p + ": bad option `-x'.\n" + usage_text()},
        {{"Control+Bogus+a", "-x"}, "unknown: Bogus\n" + usage_text()},
        {{"-display", dead_display, "bogus"}, "unknown: bogus\n" + usage_text()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        RunResult r = keyshot(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_TRUE(recorded().empty());
}

TEST_F(Keyshot, DisplayComesFromOptionThenEnvironmentThenDefault)
{
    std::string p = bin_path("keyshot");
    std::string dead = dead_display;
    RunResult r = keyshot({"-display", dead, "a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, p + ": can't open display `" + dead + "'.\n");
    r = keyshot({"a"}, {"DISPLAY=" + dead});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, p + ": can't open display `" + dead + "'.\n");
    r = keyshot({"-display", display_name, "a"}, {"DISPLAY=" + dead});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(strokes(recorded()), plain_a);

    // Without DISPLAY the default is :0.0, which may be this very server;
    // a foreign server there is left alone.
    if (display_name != ":0") {
        Display *zero = XOpenDisplay(":0.0");
        if (zero) {
            XCloseDisplay(zero);
            GTEST_SKIP() << "another X server answers on :0.0";
        }
    }
    r = keyshot({"a"}, {"DISPLAY"});
    if (display_name == ":0") {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(strokes(recorded()), plain_a);
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, p + ": can't open display `:0.0'.\n");
    }
}
