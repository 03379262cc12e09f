#include "xrecorder.h"

using Lines = std::vector<std::string>;

class KeyChord : public XKeysTest {
protected:
    RunResult chord(const std::vector<std::string> &args, std::vector<std::string> env = {})
    {
        return run("key-chord", args, env);
    }
};

TEST_F(KeyChord, PressesInOrderAndReleasesInReverseThroughTheInputPath)
{
    RunResult r = chord({"Control+Alt+Right"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    std::vector<KeyRecord> got = recorded();
    // The state is the server's own: each key's bit appears from the next event on.
    EXPECT_EQ(strokes(got), (Lines{"press Control_L 0x0", "press Alt_L 0x4", "press Right 0xc", "release Right 0xc",
                                   "release Alt_L 0xc", "release Control_L 0x4"}));
    for (const KeyRecord &k : got) {
        EXPECT_FALSE(k.send_event);
        EXPECT_EQ(k.window, win);
    }
}

TEST_F(KeyChord, AliasesReplacePiecesBeforeAPlus)
{
    struct Case {
        const char *chord;
        const char *key;
        unsigned mask;
    } cases[] = {
        {"control+a", "Control_L", ControlMask},
        {"Control+a", "Control_L", ControlMask},
        {"CONTROL+a", "Control_L", ControlMask},
        {"shift+a", "Shift_L", ShiftMask},
        {"Shift+a", "Shift_L", ShiftMask},
        {"SHIFT+a", "Shift_L", ShiftMask},
        {"mod1+a", "Alt_L", Mod1Mask},
        {"alt+a", "Alt_L", Mod1Mask},
        {"Alt+a", "Alt_L", Mod1Mask},
        {"ALT+a", "Alt_L", Mod1Mask},
        {"Control_R+a", "Control_R", ControlMask},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.chord);
        char mask[16];
        snprintf(mask, sizeof mask, "0x%x", c.mask);
        EXPECT_EQ(chord({c.chord}).status, 0);
        EXPECT_EQ(strokes(recorded()),
                  (Lines{std::string("press ") + c.key + " 0x0", std::string("press a ") + mask,
                         std::string("release a ") + mask, std::string("release ") + c.key + " " + mask}));
    }
}

TEST_F(KeyChord, PlainKeysChordsWithoutPlusAndWhiteSpace)
{
    struct Case {
        std::vector<std::string> args;
        Lines strokes;
    } cases[] = {
        {{"Return"}, {"press Return 0x0", "release Return 0x0"}},
        {{"a+b"}, {"press a 0x0", "press b 0x0", "release b 0x0", "release a 0x0"}},
        {{"a", "b"}, {"press a 0x0", "release a 0x0"}},
        {{"x+Control_L"}, {"press x 0x0", "press Control_L 0x0", "release Control_L 0x4", "release x 0x0"}},
        {{" shift +\tF1 "}, {"press Shift_L 0x0", "press F1 0x1", "release F1 0x1", "release Shift_L 0x1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        RunResult r = chord(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(strokes(recorded()), c.strokes);
    }
}

// A name without a key must not leave earlier keys held, nor press some other key.
TEST_F(KeyChord, UnresolvedNameSendsNothing)
{
    ASSERT_NE(XStringToKeysym("Thai_khokhai"), NoSymbol);
    ASSERT_EQ(keycode_of("Thai_khokhai"), 0u) << "the test needs a keysym absent from the keyboard map";
    struct Case {
        const char *chord;
        const char *name;
    } cases[] = {
        {"Control+Bogus", "Bogus"},    {"Control+Alt+", ""},     {"+x", ""},
        {"x+control", "control"},      {"CoNtRoL+a", "CoNtRoL"}, {"Control+Thai_khokhai", "Thai_khokhai"},
        {" Shift + Bo gus ", "Bogus"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.chord);
        RunResult r = chord({c.chord});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, bin_path("key-chord") + ": unknown key name '" + c.name + "'\n");
        EXPECT_TRUE(recorded().empty());
        EXPECT_TRUE(held_keys().empty());
    }
}

TEST_F(KeyChord, NoArgumentOrNoDisplayFailsQuietlyOrWithTheMessage)
{
    RunResult r = chord({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "");

    for (std::string env : {std::string("DISPLAY"), std::string("DISPLAY=") + dead_display}) {
        SCOPED_TRACE(env);
        r = chord({"Control+a"}, {env});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, bin_path("key-chord") + ": Cannot connect to display ...\n");
    }
    EXPECT_TRUE(recorded().empty());
}
