// Classification of measured heights and the stabilised output lines.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <sys/sysinfo.h>

#include "aspect_class.h"

namespace {

const int H = 576; // reference width 768
OutputState state;

// One poll as the detector runs it: a wide stream, or a measured height, or
// neither (no lock, nothing measured). Returns what was printed.
std::string poll(std::optional<int> active_height, bool aspect = false, bool wide = false)
{
    state.changed = false;
    testing::internal::CaptureStdout();
    if (wide) {
        enter_wide_stream(state);
    } else {
        if (state.wide_stream)
            leave_wide_stream(state);
        if (active_height)
            classify_measurement(state, *active_height, H, aspect);
    }
    output_step(state, aspect);
    return testing::internal::GetCapturedStdout();
}

std::string wide_poll()
{
    return poll(std::nullopt, false, true);
}

void start(uint32_t delay, bool over_16_9_output = false)
{
    ASSERT_TRUE(set_up_output_state(state, set_up_class_table(over_16_9_output), delay));
}

// The class a height falls in when there is no class yet.
std::string class_afresh(int active_height, bool over_16_9_output)
{
    start(0, over_16_9_output);
    std::string line = poll(active_height);
    return line.substr(0, line.size() - 1);
}

// Heights from `from` to `to` keep `word`, established from `established`.
void expect_kept(int established, int from, int to, const char *word, bool over_16_9_output = false)
{
    for (int height : {from, to}) {
        start(0, over_16_9_output);
        ASSERT_EQ(poll(established), std::string(word) + "\n");
        EXPECT_EQ(poll(height), std::string(word) + "\n") << "from " << established << " to " << height;
    }
}

} // namespace

TEST(AspectClass, PlainClassesByActiveHeight)
{
    EXPECT_EQ(class_afresh(576, false), "4:3");
    EXPECT_EQ(class_afresh(527, false), "4:3");
    EXPECT_EQ(class_afresh(526, false), "L14:9");
    EXPECT_EQ(class_afresh(463, false), "L14:9");
    EXPECT_EQ(class_afresh(462, false), "L16:9");
    EXPECT_EQ(class_afresh(405, true), "L16:9");
    EXPECT_EQ(class_afresh(404, true), "L>16:9");
    EXPECT_EQ(class_afresh(404, false), "L16:9");
    EXPECT_EQ(class_afresh(1, false), "L16:9");
    EXPECT_EQ(class_afresh(1, true), "L>16:9");
}

TEST(AspectClass, HysteresisKeepsTheClassWithinItsBounds)
{
    expect_kept(576, 524, 576, "4:3");
    expect_kept(494, 460, 528, "L14:9");
    expect_kept(432, 402, 464, "L16:9", true);
    expect_kept(432, 1, 464, "L16:9", false);
    expect_kept(327, 1, 406, "L>16:9", true);
}

TEST(AspectClass, BoundsQueryGivesTheDocumentedHeights)
{
    struct Case {
        bool over;
        int k, plain_low, plain_high, hold_low, hold_high;
    };
    for (Case c : {Case{true, 0, 527, 576, 524, 576}, Case{true, 1, 463, 526, 460, 528},
                   Case{true, 2, 405, 462, 402, 464}, Case{true, 3, 1, 404, 1, 406}, Case{false, 2, 1, 462, 1, 464}}) {
        ClassBounds b = class_bounds(set_up_class_table(c.over), c.k, H);
        EXPECT_EQ(b.plain_low, c.plain_low) << c.k << (c.over ? " with -o" : "");
        EXPECT_EQ(b.plain_high, c.plain_high) << c.k << (c.over ? " with -o" : "");
        EXPECT_EQ(b.hold_low, c.hold_low) << c.k << (c.over ? " with -o" : "");
        EXPECT_EQ(b.hold_high, c.hold_high) << c.k << (c.over ? " with -o" : "");
    }
    ClassBounds none = class_bounds(set_up_class_table(false), 3, H);
    EXPECT_GT(none.plain_low, none.plain_high);
    EXPECT_GT(none.hold_low, none.hold_high);
}

TEST(AspectClass, HeightsBeyondTheBoundsAreClassifiedAfresh)
{
    struct Case {
        int established, height;
        bool over;
        const char *word;
    };
    for (Case c : {Case{576, 523, false, "L14:9"}, Case{494, 459, false, "L16:9"}, Case{494, 529, false, "4:3"},
                   Case{432, 401, true, "L>16:9"}, Case{432, 465, false, "L14:9"}, Case{327, 407, true, "L16:9"}}) {
        start(0, c.over);
        poll(c.established);
        EXPECT_EQ(poll(c.height), std::string(c.word) + "\n") << c.established << " -> " << c.height;
    }
}

TEST(AspectClass, HysteresisDependsOnTheCurrentClass)
{
    // 525 stays L14:9 when coming from L14:9 and prints nothing new ...
    start(25);
    EXPECT_EQ(poll(494), "L14:9\n");
    for (int i = 0; i < 40; i++)
        EXPECT_EQ(poll(525), "");
    // ... but from no class it is L14:9 and 527 is 4:3.
    EXPECT_EQ(class_afresh(525, false), "L14:9");
    EXPECT_EQ(class_afresh(527, false), "4:3");
}

TEST(AspectClass, AspectPutsTheRatioNumberFirst)
{
    struct Case {
        int height;
        bool over;
        const char *line;
    };
    for (Case c : {Case{432, false, "177 L16:9\n"}, Case{494, false, "155 L14:9\n"}, Case{542, false, "141 4:3\n"},
                   Case{576, false, "133 4:3\n"}, Case{327, true, "234 L>16:9\n"}, Case{327, false, "234 L16:9\n"}}) {
        start(0, c.over);
        EXPECT_EQ(poll(c.height, true), c.line);
    }
}

TEST(AspectClass, NewRatioNumberBypassesTheHysteresis)
{
    start(0);
    EXPECT_EQ(poll(494, true), "155 L14:9\n");
    // 525: number 146, still above 1.46 against the plain thresholds.
    EXPECT_EQ(poll(525, true), "146 L14:9\n");
    // 527 would stay L14:9 by the hysteresis, but its number is new.
    EXPECT_EQ(poll(527, true), "145 4:3\n");
    // Same number, inside the bounds of 4:3: no reclassification.
    EXPECT_EQ(poll(527, true), "145 4:3\n");
}

TEST(AspectOutput, HistoryOfTwoFollowsTheDocumentedRun)
{
    start(2);
    EXPECT_EQ(poll(576), "4:3\n");
    EXPECT_EQ(poll(576), "");
    EXPECT_EQ(poll(432), "");
    EXPECT_TRUE(state.print_due);
    EXPECT_EQ(poll(432), "");
    EXPECT_EQ(poll(432), "L16:9\n");
    EXPECT_FALSE(state.print_due);
    ASSERT_EQ(state.history.size(), 2u);
    EXPECT_EQ(state.history[0], "L16:9");
    EXPECT_EQ(state.history[1], "L16:9");
}

TEST(AspectOutput, NewResultIsPrintedAfterDelayPlusOnePolls)
{
    start(25);
    EXPECT_EQ(poll(576), "4:3\n");
    for (int i = 1; i <= 25; i++)
        ASSERT_EQ(poll(432), "") << "poll " << i;
    EXPECT_EQ(poll(432), "L16:9\n");
    EXPECT_EQ(poll(432), "");
}

TEST(AspectOutput, PollsWithoutMeasurementRepeatTheLine)
{
    start(3);
    EXPECT_EQ(poll(std::nullopt), ""); // no class yet: nothing
    EXPECT_EQ(poll(576), "4:3\n");
    EXPECT_EQ(poll(432), "");
    // Polls without a measurement count for the new line.
    EXPECT_EQ(poll(std::nullopt), "");
    EXPECT_EQ(poll(std::nullopt), "");
    EXPECT_EQ(poll(std::nullopt), "L16:9\n");
}

TEST(AspectOutput, ShortDeviationPrintsTheOldLineAgain)
{
    start(25);
    EXPECT_EQ(poll(576), "4:3\n");
    EXPECT_EQ(poll(432), "");
    for (int i = 1; i <= 25; i++)
        ASSERT_EQ(poll(576), "") << "poll " << i << " of the return";
    EXPECT_EQ(poll(576), "4:3\n");
    for (int i = 0; i < 30; i++)
        ASSERT_EQ(poll(576), "");
}

TEST(AspectOutput, WideStreamPrintsAtOnceAndOncePerPeriod)
{
    start(25);
    EXPECT_EQ(poll(576), "4:3\n");
    EXPECT_EQ(wide_poll(), "16:9\n");
    EXPECT_EQ(wide_poll(), "");
    EXPECT_EQ(poll(std::nullopt, false, true), "");
    EXPECT_EQ(state.history[0], "");
    // Back to 4:3: the class is searched afresh and printed at once.
    EXPECT_EQ(poll(576), "4:3\n");
    EXPECT_EQ(state.class_index, 0);
    EXPECT_EQ(poll(576), "");
    EXPECT_EQ(wide_poll(), "16:9\n");
    // A poll of a 4:3 stream without a measurement leaves the wide state but
    // prints nothing until a class is known.
    EXPECT_EQ(poll(std::nullopt), "");
    EXPECT_EQ(poll(432), "L16:9\n");
}

TEST(AspectOutput, WideStreamWithAspectPrintsTheBareWord)
{
    start(0);
    EXPECT_EQ(poll(432, true), "177 L16:9\n");
    EXPECT_EQ(poll(std::nullopt, true, true), "16:9\n");
}

TEST(AspectOutput, DelayZeroPrintsEveryPollWithAClass)
{
    start(0);
    EXPECT_EQ(poll(std::nullopt), "");
    EXPECT_EQ(poll(576), "4:3\n");
    EXPECT_EQ(poll(576), "4:3\n");
    EXPECT_EQ(poll(std::nullopt), "4:3\n");
    EXPECT_EQ(poll(432), "L16:9\n");
    EXPECT_EQ(wide_poll(), "16:9\n");
    EXPECT_EQ(wide_poll(), "");
}

TEST(AspectOutput, WaveringRatioNumberHoldsBackTheLine)
{
    // 432 gives 177, 431 gives 178; both are L16:9.
    start(25);
    EXPECT_EQ(poll(576, true), "133 4:3\n");
    for (int i = 0; i < 60; i++)
        ASSERT_EQ(poll(i % 2 ? 431 : 432, true), "") << "poll " << i;
    for (int i = 1; i <= 25; i++)
        ASSERT_EQ(poll(432, true), "") << "poll " << i;
    EXPECT_EQ(poll(432, true), "177 L16:9\n");
}

TEST(AspectOutput, HistoryThatCannotBeHeldIsRefused)
{
    // 2^32 - 1 entries of 32 bytes: more than memory and swap of any machine
    // this runs on, except a very large one.
    struct sysinfo info;
    ASSERT_EQ(sysinfo(&info), 0);
    if ((double(info.totalram) + double(info.totalswap)) * info.mem_unit >= double(UINT32_MAX) * sizeof(std::string))
        GTEST_SKIP() << "this machine could hold the history";
    errno = 0;
    EXPECT_FALSE(set_up_output_state(state, set_up_class_table(false), UINT32_MAX));
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_TRUE(state.history.empty());
}
