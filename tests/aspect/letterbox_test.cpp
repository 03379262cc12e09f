// Letterbox measurement on frames built here.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "letterbox.h"

namespace {

struct Frame {
    int32_t width, height;
    std::vector<uint8_t> pixels;
    uint8_t &at(int x, int y) { return pixels[size_t(y) * width + x]; }
    void fill_rows(int from, int to, uint8_t level)   // rows from..to inclusive
    {
        for (int y = from; y <= to; y++)
            for (int x = 0; x < width; x++)
                at(x, y) = level;
    }
};

// Bars of level `bar` over the first `top` and the last `bottom` rows, and
// between them a picture that reaches every edge: a uniform level, or with
// picture -1 a ramp from dark at the left to light at the right.
Frame letterboxed(int top, int bottom, uint8_t bar = 0, int picture = -1, int width = 720, int height = 576)
{
    Frame f{width, height, std::vector<uint8_t>(size_t(width) * height, uint8_t(picture))};
    if (picture < 0)
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++)
                f.at(x, y) = uint8_t(x * 255 / (width - 1));
    if (top > 0)
        f.fill_rows(0, top - 1, bar);
    if (bottom > 0)
        f.fill_rows(height - bottom, height - 1, bar);
    return f;
}

std::optional<Measurement> measure(const Frame &f, const LetterboxSettings &s = {})
{
    return measure_letterbox(f.pixels.data(), f.width, f.height, s);
}

void expect_bars(const std::optional<Measurement> &m, int top, int bottom, int active)
{
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->top_bar, top);
    EXPECT_EQ(m->bottom_bar, bottom);
    EXPECT_EQ(m->active_height, active);
}

size_t allocations;

}  // namespace

// Counts every allocation of the test program, to show the measurement takes none.
void *operator new(size_t size)
{
    allocations++;
    if (void *p = malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }

TEST(Letterbox, BlackBarsGiveTheirHeightAndTheActivePicture)
{
    expect_bars(measure(letterboxed(72, 72)), 72, 72, 432);
    // The smaller bar counts for both sides.
    expect_bars(measure(letterboxed(72, 60)), 72, 60, 576 - 120);
    expect_bars(measure(letterboxed(50, 90)), 50, 90, 576 - 100);
}

TEST(Letterbox, PictureWithoutBarsStartsAtTheOverscanMargin)
{
    // 576 x 0.03f truncates to 17.
    expect_bars(measure(letterboxed(0, 0)), 17, 17, 542);
    // Bars thinner than the margin are never looked at.
    expect_bars(measure(letterboxed(10, 10)), 17, 17, 542);
    // H = 100: the float nearest 0.03 lies below it, so the margin is 2, not 3.
    expect_bars(measure(letterboxed(0, 0, 0, -1, 100, 100)), 2, 2, 96);
    LetterboxSettings none;
    none.overscan = 0;
    expect_bars(measure(letterboxed(0, 0), none), 0, 0, 576);
}

TEST(Letterbox, LogoNarrowerThanTheLimitStaysInTheBar)
{
    // Default limit on 720 columns: 144.
    Frame narrow = letterboxed(72, 72);
    for (int y = 30; y <= 50; y++)
        for (int x = 300; x < 400; x++)
            narrow.at(x, y) = 255;
    expect_bars(measure(narrow), 72, 72, 432);

    // First and last wrong pixel 149 columns apart: the bar ends at row 30.
    Frame wide = letterboxed(72, 72);
    for (int y = 30; y <= 50; y++)
        for (int x = 300; x < 450; x++)
            wide.at(x, y) = 255;
    expect_bars(measure(wide), 30, 72, 516);

    LetterboxSettings half;
    half.logo_width = 0.5f;   // -l 50: 360 columns
    expect_bars(measure(wide, half), 72, 72, 432);
}

TEST(Letterbox, TwoSmallPatchesFarApartEndTheBar)
{
    Frame f = letterboxed(72, 72);
    for (int x = 30; x < 34; x++) {
        f.at(x, 40) = 255;
        f.at(x + 650, 40) = 255;
    }
    expect_bars(measure(f), 40, 72, 576 - 80);
}

TEST(Letterbox, OverscanColumnsAreIgnoredAndTheLogoLimitIsInclusive)
{
    // Columns 21..698 are looked at; the limit is 144.
    auto with_pixels = [](int a, int b) {
        Frame f = letterboxed(72, 72);
        f.at(a, 40) = 255;
        f.at(b, 40) = 255;
        return measure(f);
    };
    expect_bars(with_pixels(20, 200), 72, 72, 432);    // one inside, one in the margin
    expect_bars(with_pixels(699, 500), 72, 72, 432);
    expect_bars(with_pixels(21, 165), 72, 72, 432);    // 144 apart: still a bar row
    expect_bars(with_pixels(21, 166), 40, 72, 496);    // 145 apart
    expect_bars(with_pixels(553, 698), 40, 72, 496);
}

TEST(Letterbox, UniformFrameGivesNoMeasurementUnlessOutsideTheBlackLevel)
{
    Frame grey = letterboxed(0, 0, 0, 90);
    EXPECT_FALSE(measure(grey).has_value());

    LetterboxSettings black;
    black.black = 0x20;
    EXPECT_FALSE(measure(letterboxed(0, 0, 0, 0x20), black).has_value());
    EXPECT_FALSE(measure(letterboxed(0, 0, 0, 0), black).has_value());
    expect_bars(measure(grey, black), 17, 17, 542);
}

TEST(Letterbox, AutomaticBandFollowsTheBarToneAndTolerance)
{
    // Dark grey bars of 40: band 32..48 by default.
    Frame f = letterboxed(72, 72, 40);
    for (int y = 20; y < 72; y += 2) {
        f.at(30, y) = 32;
        f.at(690, y) = 48;
    }
    expect_bars(measure(f), 72, 72, 432);

    Frame below = f;
    below.at(30, 20) = 31;
    below.at(690, 20) = 31;
    expect_bars(measure(below), 20, 72, 576 - 40);
    Frame above = f;
    above.at(30, 22) = 49;
    above.at(690, 22) = 49;
    expect_bars(measure(above), 22, 72, 576 - 44);

    // The given black level replaces the band: 40 lies above 0..0x20.
    LetterboxSettings black;
    black.black = 0x20;
    expect_bars(measure(f, black), 17, 17, 542);

    // Tolerance 0: only the tone itself.
    LetterboxSettings exact;
    exact.pan_tone_tolerance = 0;
    expect_bars(measure(f, exact), 20, 72, 576 - 40);
    expect_bars(measure(letterboxed(72, 72, 40), exact), 72, 72, 432);
}

TEST(Letterbox, BandIsCutAtTheEndsOfTheGreyScale)
{
    // Tone 3: band 0..11; tone 250: band 242..255.
    Frame dark = letterboxed(72, 72, 3);
    dark.at(30, 40) = 0;
    dark.at(690, 40) = 11;
    expect_bars(measure(dark), 72, 72, 432);
    dark.at(690, 41) = 12;
    dark.at(30, 41) = 12;
    expect_bars(measure(dark), 41, 72, 576 - 82);

    Frame light = letterboxed(72, 72, 250, 20);
    light.at(30, 40) = 255;
    light.at(690, 40) = 242;
    expect_bars(measure(light), 72, 72, 432);
    light.at(30, 41) = 241;
    light.at(690, 41) = 241;
    expect_bars(measure(light), 41, 72, 576 - 82);
}

TEST(Letterbox, ToneIsTheDarkestOfTheMostFrequentLevels)
{
    // Bars of 200 whose top rows are 10 over the left half of the columns
    // looked at: row 17 holds 339 pixels of each level, and the tie goes to 10.
    Frame f = letterboxed(72, 72, 200);
    for (int y = 0; y < 72; y++)
        for (int x = 21; x < 360; x++)
            f.at(x, y) = 10;
    // Band 2..18: the bottom bar of 200 is no bar.
    expect_bars(measure(f), 17, 17, 542);
    // One more pixel of 200 in row 17 makes 200 the tone.
    f.at(21, 17) = 200;
    expect_bars(measure(f), 17, 72, 542);
}

TEST(Letterbox, ToleranceOutsideItsRangeWrapsAsThirtyTwoBitIntegers)
{
    // Black bars (tone 0) in a picture of level 1.
    Frame f = letterboxed(72, 72, 0, 1);

    LetterboxSettings s;
    s.pan_tone_tolerance = -1;          // band 1..0xff: the bars lie outside it
    expect_bars(measure(f, s), 17, 17, 542);
    s.pan_tone_tolerance = INT32_MIN;   // both ends wrap: band 0..0
    expect_bars(measure(f, s), 72, 72, 432);
    s.pan_tone_tolerance = INT32_MAX;   // band 0..255: everything is bar
    EXPECT_FALSE(measure(f, s).has_value());
}

TEST(Letterbox, OverscanOfHalfOrMoreReadsNothing)
{
    LetterboxSettings s;
    for (float overscan : {0.5f, 0.75f, 1.0f, 3.0f, 1e30f, INFINITY}) {
        s.overscan = overscan;
        // A null frame crashes on the first read.
        EXPECT_FALSE(measure_letterbox(nullptr, 720, 576, s).has_value()) << overscan;
    }
    // Just below one half there is still a measurement (margin_y 282 of 288,
    // columns 352..367, too few for the default logo limit of 144).
    s.overscan = 0.49f;
    s.logo_width = 0;
    expect_bars(measure(letterboxed(285, 285), s), 285, 285, 6);
}

TEST(Letterbox, EmptyOrNegativeFrameSizesReadNothing)
{
    LetterboxSettings s;
    EXPECT_FALSE(measure_letterbox(nullptr, 0, 576, s).has_value());
    EXPECT_FALSE(measure_letterbox(nullptr, 720, 0, s).has_value());
    EXPECT_FALSE(measure_letterbox(nullptr, -720, 576, s).has_value());
    EXPECT_FALSE(measure_letterbox(nullptr, 720, -576, s).has_value());
    EXPECT_FALSE(measure_letterbox(nullptr, 720, 1, s).has_value());
}

TEST(Letterbox, NegativeOrNanSettingsStayInsideTheFrame)
{
    // The frame sits between guard rows of a picture; a read of them would
    // show up as a shorter bar or, under the sanitizer, as an error.
    const int w = 720, h = 576, guard = 64;
    std::vector<uint8_t> memory(size_t(w) * (h + 2 * guard), 128);
    Frame bars = letterboxed(72, 72);
    std::copy(bars.pixels.begin(), bars.pixels.end(), memory.begin() + size_t(w) * guard);
    const uint8_t *frame = memory.data() + size_t(w) * guard;

    LetterboxSettings s;
    s.overscan = -0.2f;   // taken as no overscan
    expect_bars(measure_letterbox(frame, w, h, s), 72, 72, 432);
    s.overscan = NAN;
    expect_bars(measure_letterbox(frame, w, h, s), 72, 72, 432);

    s = {};
    s.logo_width = -0.5f;      // no row is a bar row, not even a clean one
    expect_bars(measure_letterbox(frame, w, h, s), 17, 17, 542);
    s.logo_width = -0.0014f;   // a limit of -1: only clean rows
    expect_bars(measure_letterbox(frame, w, h, s), 72, 72, 432);
    Frame logo = letterboxed(72, 72);
    logo.at(300, 40) = 255;
    expect_bars(measure(logo, s), 40, 72, 496);
    s.logo_width = NAN;        // a limit of 0: one wrong pixel still fits
    expect_bars(measure(logo, s), 72, 72, 432);
}

TEST(Letterbox, ReadsOnlyTheToneRowTheBarsAndOneRowBeyond)
{
    // One row per page; the picture rows that must not be read are made
    // unreadable, so a read of them ends the test with a fault.
    const long page = sysconf(_SC_PAGESIZE);
    const int w = int(page), h = 64, bar = 8;
    void *mem = mmap(nullptr, size_t(page) * h, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto *frame = static_cast<uint8_t *>(mem);
    for (int y = 0; y < h; y++)
        memset(frame + size_t(y) * w, y < bar || y >= h - bar ? 0 : 128, size_t(w));
    // Rows 0 and 63 lie in the overscan margin (1 row); the tone row is row 1,
    // the bars end at rows 8 and 55.
    ASSERT_EQ(mprotect(frame, size_t(w), PROT_NONE), 0);
    ASSERT_EQ(mprotect(frame + size_t(bar + 1) * w, size_t(w) * (h - 2 * bar - 2), PROT_NONE), 0);
    ASSERT_EQ(mprotect(frame + size_t(h - 1) * w, size_t(w), PROT_NONE), 0);

    expect_bars(measure_letterbox(frame, w, h, LetterboxSettings{}), bar, bar, h - 2 * bar);
    munmap(mem, size_t(page) * h);
}

TEST(Letterbox, MeasurementTakesNoMemory)
{
    Frame f = letterboxed(72, 72);
    size_t before = allocations;
    auto m = measure(f);
    EXPECT_EQ(allocations, before);
    EXPECT_TRUE(m.has_value());
}

TEST(LetterboxRow, CountsOnlyTheSpanBetweenTheOutermostWrongPixels)
{
    const uint8_t row[] = {9, 0, 0, 9, 0, 0, 0, 9, 0, 9};
    // Columns 1..8: wrong pixels at 3 and 7, four apart.
    EXPECT_TRUE(is_bar_row(row, 1, 9, 0, 0, 4));
    EXPECT_FALSE(is_bar_row(row, 1, 9, 0, 0, 3));
    // A single wrong pixel spans 0 and a clean row -1.
    EXPECT_TRUE(is_bar_row(row, 4, 7, 0, 0, -1));
    EXPECT_FALSE(is_bar_row(row, 3, 7, 0, 0, -1));
    EXPECT_TRUE(is_bar_row(row, 3, 7, 0, 0, 0));
    // An empty band: every pixel is wrong.
    EXPECT_FALSE(is_bar_row(row, 0, 10, 5, 4, 8));
    EXPECT_TRUE(is_bar_row(row, 0, 10, 5, 4, 9));
    // No column to look at: nothing is read.
    EXPECT_TRUE(is_bar_row(nullptr, 5, 5, 0, 0, -1));
}
