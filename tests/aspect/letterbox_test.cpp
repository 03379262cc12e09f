// Letterbox measurement on frames built here.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "letterbox.h"

namespace {

struct Frame {
    int32_t width, height;
    std::vector<uint8_t> pixels;
    uint8_t &at(int x, int y) { return pixels[size_t(y) * width + x]; }
    void fill_rows(int from, int to, uint8_t level) // rows from..to inclusive
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

} // namespace

// Counts every allocation of the test program, to show the measurement takes none.
void *operator new(size_t size)
{
    allocations++;
    if (void *p = malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept
{
    free(p);
}
void operator delete(void *p, size_t) noexcept
{
    free(p);
}

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
    half.logo_width = 0.5f; // -l 50: 360 columns
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
    expect_bars(with_pixels(20, 200), 72, 72, 432); // one inside, one in the margin
    expect_bars(with_pixels(699, 500), 72, 72, 432);
    expect_bars(with_pixels(21, 165), 72, 72, 432); // 144 apart: still a bar row
    expect_bars(with_pixels(21, 166), 40, 72, 496); // 145 apart
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

    // The robust measurement takes a given tolerance as it comes, on 64 bits:
    // a negative one is an empty band (at -1 the picture of level 1 is too
    // dark to judge), a huge one takes in every level.
    struct Case {
        int32_t tolerance;
        int plain_top, plain_bottom, plain_active; // active 0: no measurement
        int robust_active;
    };
    for (const Case &c : {
             Case{-1, 17, 17, 542, 0},          // band 1..0xff: the bars lie outside it
             Case{INT32_MIN, 72, 72, 432, 542}, // both ends wrap: band 0..0
             Case{INT32_MAX, 0, 0, 0, 0},       // band 0..255: everything is bar
         }) {
        LetterboxSettings s;
        s.pan_tone_tolerance = c.tolerance;
        s.tolerance_given = true;
        if (c.plain_active)
            expect_bars(measure(f, s), c.plain_top, c.plain_bottom, c.plain_active);
        else
            EXPECT_FALSE(measure(f, s).has_value()) << c.tolerance;
        s.robust = true;
        auto robust = measure(f, s);
        EXPECT_EQ(robust ? robust->active_height : 0, c.robust_active) << c.tolerance;
    }
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
    s.overscan = -0.2f; // taken as no overscan
    expect_bars(measure_letterbox(frame, w, h, s), 72, 72, 432);
    s.overscan = NAN;
    expect_bars(measure_letterbox(frame, w, h, s), 72, 72, 432);

    s = {};
    s.logo_width = -0.5f; // no row is a bar row, not even a clean one
    expect_bars(measure_letterbox(frame, w, h, s), 17, 17, 542);
    s.logo_width = -0.0014f; // a limit of -1: only clean rows
    expect_bars(measure_letterbox(frame, w, h, s), 72, 72, 432);
    Frame logo = letterboxed(72, 72);
    logo.at(300, 40) = 255;
    expect_bars(measure(logo, s), 40, 72, 496);
    s.logo_width = NAN; // a limit of 0: one wrong pixel still fits
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

// The block scans against the one-pixel rules.
namespace {

std::vector<RowScan> available_scans()
{
    std::vector<RowScan> scans;
    for (RowScan s : {RowScan::portable, RowScan::sse2, RowScan::avx2})
        if (row_scan_available(s))
            scans.push_back(s);
    return scans;
}

// The distance from the first to the last wrong pixel as the one-pixel rules
// see it: the smallest logo limit that still makes the row a bar row.
int32_t plain_span(const uint8_t *row, int32_t begin, int32_t end, uint8_t low, uint8_t high)
{
    int32_t lo = end - 1 - begin < -1 ? end - 1 - begin : -1, hi = end - begin;
    while (lo < hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (is_bar_row_plain(row, begin, end, low, high, mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

// Bar-like rows: a tone with noise inside the band, a few wrong pixels
// placed anywhere (or none), sometimes a pixel just outside either end.
void fill_row(std::mt19937 &rng, uint8_t *row, int32_t n, uint8_t low, uint8_t high)
{
    auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    bool empty_band = low > high;
    for (int32_t x = 0; x < n; x++)
        row[x] = empty_band ? uint8_t(pick(0, 255)) : uint8_t(pick(low, high));
    if (n == 0)
        return;
    int wrong = pick(0, 3) == 0 ? 0 : pick(1, 4);
    for (int i = 0; i < wrong; i++) {
        int32_t x = pick(0, n - 1);
        if (low > 0 && pick(0, 1))
            row[x] = uint8_t(low - 1 - pick(0, std::min<int>(low - 1, 3)));
        else if (high < 255)
            row[x] = uint8_t(high + 1 + pick(0, std::min<int>(254 - high, 3)));
    }
}

// The whole measurement as it reads with the one-pixel rules: the reference
// for the faster tone count and row test.
std::optional<Measurement> plain_measurement(const uint8_t *frame, int32_t w, int32_t h, const LetterboxSettings &s)
{
    auto cut = [](double v) { return int32_t(std::max(0.0, v)); };
    int32_t mx = cut(w * double(s.overscan)), my = cut(h * double(s.overscan));
    int32_t limit = int32_t(w * double(s.logo_width)), half = h / 2;
    if (my >= half)
        return std::nullopt;
    uint8_t low = 0, high = s.black;
    if (s.black == 0) {
        int32_t counts[256] = {}, tone = 0;
        for (int32_t x = mx; x < w - mx; x++)
            counts[frame[size_t(my) * w + x]]++;
        for (int32_t level = 1; level < 256; level++)
            if (counts[level] > counts[tone])
                tone = level;
        low = uint8_t(std::max(0, tone - s.pan_tone_tolerance));
        high = uint8_t(std::min(255, tone + s.pan_tone_tolerance));
    }
    auto bar = [&](int32_t y) { return is_bar_row_plain(frame + size_t(y) * w, mx, w - mx, low, high, limit); };
    int32_t top = my, bottom = my;
    while (top < half && bar(top))
        top++;
    if (top >= half)
        return std::nullopt;
    while (bottom < half && bar(h - 1 - bottom))
        bottom++;
    if (bottom >= half)
        return std::nullopt;
    return Measurement{top, bottom, h - 2 * std::min(top, bottom)};
}

} // namespace

TEST(LetterboxRow, BlockScansFindTheSameOutermostWrongPixels)
{
    std::mt19937 rng(20261208);
    auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    std::vector<uint8_t> row(2100);
    for (int round = 0; round < 20000; round++) {
        int32_t width = round % 10 == 0 ? pick(0, 2100) : pick(0, 200);
        int32_t begin = pick(0, width / 2), end = width - pick(0, width / 2);
        uint8_t low = uint8_t(pick(0, 255)), high = uint8_t(pick(0, 255));
        if (pick(0, 7) != 0 && low > high)
            std::swap(low, high);
        fill_row(rng, row.data(), width, low, high);
        int32_t span = plain_span(row.data(), begin, end, low, high);
        for (RowScan scan : available_scans()) {
            SCOPED_TRACE(testing::Message()
                         << "round " << round << " scan " << int(scan) << " columns " << begin << ".." << end
                         << " band " << int(low) << ".." << int(high) << " span " << span);
            EXPECT_FALSE(is_bar_row_with(scan, row.data(), begin, end, low, high, span - 1));
            ASSERT_TRUE(is_bar_row_with(scan, row.data(), begin, end, low, high, span));
            int32_t limit = pick(-2, width);
            ASSERT_EQ(is_bar_row_with(scan, row.data(), begin, end, low, high, limit), span <= limit);
        }
        EXPECT_EQ(is_bar_row(row.data(), begin, end, low, high, span - 1), false);
        EXPECT_EQ(is_bar_row(row.data(), begin, end, low, high, span), true);
    }
}

TEST(LetterboxRow, BlockScansReadNothingOutsideTheColumns)
{
    // The columns looked at sit against an unreadable page on one side;
    // a load that strays past them ends the test with a fault.
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    void *mem = mmap(nullptr, 3 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    uint8_t *usable = static_cast<uint8_t *>(mem) + page;
    ASSERT_EQ(mprotect(usable, page, PROT_READ | PROT_WRITE), 0);
    std::mt19937 rng(7);
    auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    for (int32_t n = 0; n <= 300; n++) {
        for (bool at_end : {true, false}) {
            uint8_t *cols = at_end ? usable + page - n : usable;
            for (int kind = 0; kind < 3; kind++) {
                // a clean row (scans both ways to the end), one wrong pixel, random
                memset(cols, 10, size_t(n));
                if (kind == 1 && n > 0)
                    cols[pick(0, n - 1)] = 200;
                if (kind == 2)
                    fill_row(rng, cols, n, 5, 15);
                int32_t span = plain_span(cols, 0, n, 5, 15);
                for (RowScan scan : available_scans()) {
                    ASSERT_TRUE(is_bar_row_with(scan, cols, 0, n, 5, 15, span)) << n << " " << int(scan);
                    ASSERT_FALSE(is_bar_row_with(scan, cols, 0, n, 5, 15, span - 1)) << n << " " << int(scan);
                }
            }
        }
    }
    munmap(mem, 3 * page);
}

TEST(Letterbox, MeasurementAgreesWithTheOnePixelRulesOnManyFrames)
{
    std::mt19937 rng(576);
    auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    int measured = 0;
    for (int round = 0; round < 1500; round++) {
        int32_t w = round < 100 ? 720 : pick(1, 800), h = round < 100 ? 576 : pick(1, 300);
        LetterboxSettings s;
        s.overscan = pick(0, 3) == 0 ? 0.0f : float(pick(0, 200)) / 1000;
        s.logo_width = float(pick(0, 400)) / 1000;
        s.pan_tone_tolerance = pick(0, 5) == 0 ? pick(0, 40) : 8;
        s.black = pick(0, 4) == 0 ? uint8_t(pick(1, 60)) : 0;
        uint8_t tone = uint8_t(pick(0, 3) == 0 ? pick(0, 255) : pick(0, 30));
        int noise = pick(0, 10);
        int top = pick(0, h / 2 + 2), bottom = pick(0, h / 2 + 2);
        std::vector<uint8_t> frame(size_t(w) * h);
        // picture: a texture that comes near the tone now and then
        int base = pick(0, 255), slope = pick(-3, 3);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                frame[size_t(y) * w + x] = uint8_t(base + slope * x + pick(-20, 20));
        for (int y = 0; y < h; y++) {
            if (y >= top && y < h - bottom)
                continue;
            for (int x = 0; x < w; x++)
                frame[size_t(y) * w + x] = uint8_t(std::clamp(tone + pick(-noise, noise), 0, 255));
        }
        // a logo in the top bar, of random width
        if (top > 2 && pick(0, 1)) {
            int lw = pick(1, w), lx = pick(0, w - lw), ly = pick(0, top - 1), lh = pick(1, top - ly);
            for (int y = ly; y < ly + lh; y++)
                for (int x = lx; x < lx + lw; x++)
                    frame[size_t(y) * w + x] = uint8_t(tone + 100);
        }
        auto fast = measure_letterbox(frame.data(), w, h, s);
        auto plain = plain_measurement(frame.data(), w, h, s);
        SCOPED_TRACE(testing::Message() << "round " << round << " " << w << "x" << h << " bars " << top << "/"
                                        << bottom);
        ASSERT_EQ(fast.has_value(), plain.has_value());
        if (fast) {
            measured++;
            EXPECT_EQ(fast->top_bar, plain->top_bar);
            EXPECT_EQ(fast->bottom_bar, plain->bottom_bar);
            EXPECT_EQ(fast->active_height, plain->active_height);
        }
    }
    // Both outcomes must have been seen in numbers.
    EXPECT_GT(measured, 300);
    EXPECT_LT(measured, 1400);
}

// The robust measurement on a ramp picture with black bars of 72 rows (a
// 16:9 letterbox), capture noise, text in the bottom bar, a night sky and
// frames too dark to judge; today's measurement beside it.
TEST(LetterboxRobust, NoiseTextAndDarkFramesAgainstTodaysMeasurement)
{
    struct Case {
        const char *name;
        int bars, noise;
        bool text, sky, dark;
        int plain_active, robust_active; // 0: no measurement
    };
    for (const Case &c : {
             Case{"clean 16:9", 72, 0, false, false, false, 432, 432},
             Case{"16:9, noise 12", 72, 12, false, false, false, 542, 432},
             Case{"16:9, noise 16", 72, 16, false, false, false, 542, 432},
             Case{"16:9, text in the bottom bar", 72, 0, true, false, false, 512, 432},
             Case{"16:9, text and noise 12", 72, 12, true, false, false, 542, 432},
             Case{"4:3, noise 16", 0, 16, false, false, false, 542, 542},
             Case{"4:3, night sky in the top 130 rows", 0, 8, false, true, false, 542, 542},
             Case{"black, noise 16", 288, 16, false, false, false, 542, 0},
             Case{"16:9, dark picture", 72, 8, false, false, true, 542, 0},
         }) {
        Frame f = letterboxed(std::min(c.bars, 288), std::min(c.bars, 288), 16);
        for (int y = c.bars; y < 576 - c.bars; y++)
            for (int x = 0; x < 720; x++) {
                if (c.sky && y < 130)
                    f.at(x, y) = (x * 7 + y * 13) % 97 ? 14 : 74;
                else if (c.dark)
                    f.at(x, y) = uint8_t(16 + x * 14 / 719);
            }
        if (c.text)
            for (int y = 520; y < 544; y++)
                for (int x = 200; x < 520; x++)
                    f.at(x, y) = (x / 6 + y / 4) % 3 ? 235 : 16;
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> grain(-c.noise, c.noise);
        if (c.noise)
            for (uint8_t &p : f.pixels)
                p = uint8_t(std::clamp(p + grain(rng), 0, 255));
        LetterboxSettings robust;
        robust.robust = true;
        auto plain = measure(f), judged = measure(f, robust);
        EXPECT_EQ(plain ? plain->active_height : 0, c.plain_active) << c.name;
        EXPECT_EQ(judged ? judged->active_height : 0, c.robust_active) << c.name;
    }
}
