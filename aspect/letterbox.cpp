#include "letterbox.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__))
#define LETTERBOX_X86 1
#include <immintrin.h>
#endif

// Truncates toward zero; NaN gives 0 and values beyond the int32 range give
// its nearest end, where a plain conversion would be undefined.
static int32_t truncate_to_int32(double value)
{
    if (std::isnan(value))
        return 0;
    if (value <= double(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    if (value >= double(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return int32_t(value);
}

bool is_bar_row_plain(const uint8_t *row, int32_t begin, int32_t end, uint8_t band_low, uint8_t band_high,
                      int32_t logo_limit)
{
    int32_t left = begin;
    while (left < end && row[left] >= band_low && row[left] <= band_high)
        left++;
    int32_t right = end - 1;
    while (right > left && row[right] >= band_low && row[right] <= band_high)
        right--;
    return right - left <= logo_limit;
}

// The block scans below test a pixel as (pixel - band_low) mod 256 <= range,
// with range = band_high - band_low: the same as band_low <= pixel <=
// band_high when band_low <= band_high. The caller settles the empty band.
//
// first_wrong_*: the first pixel outside the band in [x, end), or end.
// last_wrong_*: the last pixel outside the band in [left, end), where the
// pixel at left is known to be outside; never below left.
// Every load lies inside [begin, end): a block that would cross an end is
// moved back inside, overlapping pixels already known to be in the band.

static bool outside(uint8_t pixel, uint8_t low, uint8_t range)
{
    return uint8_t(pixel - low) > range;
}

static int32_t first_wrong_scalar(const uint8_t *row, int32_t x, int32_t end, uint8_t low, uint8_t range)
{
    while (x < end && !outside(row[x], low, range))
        x++;
    return x;
}

static int32_t last_wrong_scalar(const uint8_t *row, int32_t left, int32_t end, uint8_t low, uint8_t range)
{
    int32_t x = end - 1;
    while (x > left && !outside(row[x], low, range))
        x--;
    return x;
}

// Portable: a fixed-size block without an early exit, which compilers turn
// into vector code on any target that has it; the pixel is then found one
// at a time inside the block.
static constexpr int32_t portable_block = 16;

static bool block_has_wrong(const uint8_t *p, uint8_t low, uint8_t range)
{
    uint8_t highest = 0;
    for (int32_t i = 0; i < portable_block; i++) {
        uint8_t d = uint8_t(p[i] - low);
        highest = d > highest ? d : highest;
    }
    return highest > range;
}

static int32_t first_wrong_portable(const uint8_t *row, int32_t x, int32_t end, uint8_t low, uint8_t range)
{
    while (end - x >= portable_block && !block_has_wrong(row + x, low, range))
        x += portable_block;
    return first_wrong_scalar(row, x, end, low, range);
}

static int32_t last_wrong_portable(const uint8_t *row, int32_t left, int32_t end, uint8_t low, uint8_t range)
{
    while (end - left > portable_block && !block_has_wrong(row + end - portable_block, low, range))
        end -= portable_block;
    return last_wrong_scalar(row, left, end, low, range);
}

#ifdef LETTERBOX_X86
// Bit i set: pixel p[i] lies outside the band.
static unsigned wrong_mask_sse2(const uint8_t *p, __m128i low, __m128i range)
{
    __m128i d = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), low);
    __m128i in = _mm_cmpeq_epi8(_mm_subs_epu8(d, range), _mm_setzero_si128());
    return ~unsigned(_mm_movemask_epi8(in)) & 0xffffu;
}

// Nonzero bytes where pixels lie outside the band.
static __m128i excess_sse2(const uint8_t *p, __m128i low, __m128i range)
{
    __m128i d = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), low);
    return _mm_subs_epu8(d, range);
}

static bool any_sse2(__m128i v)
{
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) != 0xffff;
}

// Needs end - begin >= 16.
static int32_t first_wrong_sse2(const uint8_t *row, int32_t x, int32_t end, uint8_t low8, uint8_t range8)
{
    const __m128i low = _mm_set1_epi8(char(low8)), range = _mm_set1_epi8(char(range8));
    // Four blocks per test while the row is long and in the band.
    while (end - x >= 64) {
        __m128i e =
            _mm_or_si128(_mm_or_si128(excess_sse2(row + x, low, range), excess_sse2(row + x + 16, low, range)),
                         _mm_or_si128(excess_sse2(row + x + 32, low, range), excess_sse2(row + x + 48, low, range)));
        if (any_sse2(e))
            break;
        x += 64;
    }
    for (; end - x >= 16; x += 16)
        if (unsigned m = wrong_mask_sse2(row + x, low, range))
            return x + __builtin_ctz(m);
    if (x < end)
        if (unsigned m = wrong_mask_sse2(row + end - 16, low, range))
            return end - 16 + __builtin_ctz(m);
    return end;
}

// Needs end - begin >= 16.
static int32_t last_wrong_sse2(const uint8_t *row, int32_t begin, int32_t left, int32_t end, uint8_t low8,
                               uint8_t range8)
{
    const __m128i low = _mm_set1_epi8(char(low8)), range = _mm_set1_epi8(char(range8));
    while (end - left > 64) {
        const uint8_t *p = row + end - 64;
        __m128i e = _mm_or_si128(_mm_or_si128(excess_sse2(p, low, range), excess_sse2(p + 16, low, range)),
                                 _mm_or_si128(excess_sse2(p + 32, low, range), excess_sse2(p + 48, low, range)));
        if (any_sse2(e))
            break;
        end -= 64;
    }
    for (;;) {
        int32_t x = end - 16 > begin ? end - 16 : begin;
        if (unsigned m = wrong_mask_sse2(row + x, low, range))
            return x + 31 - __builtin_clz(m);
        if (x <= left) // cannot happen: the pixel at left is outside
            return left;
        end = x;
    }
}

__attribute__((target("avx2"))) static unsigned wrong_mask_avx2(const uint8_t *p, __m256i low, __m256i range)
{
    __m256i d = _mm256_sub_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), low);
    __m256i in = _mm256_cmpeq_epi8(_mm256_subs_epu8(d, range), _mm256_setzero_si256());
    return ~unsigned(_mm256_movemask_epi8(in));
}

__attribute__((target("avx2"))) static __m256i excess_avx2(const uint8_t *p, __m256i low, __m256i range)
{
    __m256i d = _mm256_sub_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), low);
    return _mm256_subs_epu8(d, range);
}

// Needs end - begin >= 32.
__attribute__((target("avx2"))) static int32_t first_wrong_avx2(const uint8_t *row, int32_t x, int32_t end,
                                                                uint8_t low8, uint8_t range8)
{
    const __m256i low = _mm256_set1_epi8(char(low8)), range = _mm256_set1_epi8(char(range8));
    while (end - x >= 128) {
        __m256i e = _mm256_or_si256(
            _mm256_or_si256(excess_avx2(row + x, low, range), excess_avx2(row + x + 32, low, range)),
            _mm256_or_si256(excess_avx2(row + x + 64, low, range), excess_avx2(row + x + 96, low, range)));
        if (!_mm256_testz_si256(e, e))
            break;
        x += 128;
    }
    for (; end - x >= 32; x += 32)
        if (unsigned m = wrong_mask_avx2(row + x, low, range))
            return x + __builtin_ctz(m);
    if (x < end)
        if (unsigned m = wrong_mask_avx2(row + end - 32, low, range))
            return end - 32 + __builtin_ctz(m);
    return end;
}

// Needs end - begin >= 32.
__attribute__((target("avx2"))) static int32_t last_wrong_avx2(const uint8_t *row, int32_t begin, int32_t left,
                                                               int32_t end, uint8_t low8, uint8_t range8)
{
    const __m256i low = _mm256_set1_epi8(char(low8)), range = _mm256_set1_epi8(char(range8));
    while (end - left > 128) {
        const uint8_t *p = row + end - 128;
        __m256i e = _mm256_or_si256(_mm256_or_si256(excess_avx2(p, low, range), excess_avx2(p + 32, low, range)),
                                    _mm256_or_si256(excess_avx2(p + 64, low, range), excess_avx2(p + 96, low, range)));
        if (!_mm256_testz_si256(e, e))
            break;
        end -= 128;
    }
    for (;;) {
        int32_t x = end - 32 > begin ? end - 32 : begin;
        if (unsigned m = wrong_mask_avx2(row + x, low, range))
            return x + 31 - __builtin_clz(m);
        if (x <= left) // cannot happen: the pixel at left is outside
            return left;
        end = x;
    }
}

static bool cpu_has_avx2()
{
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
}
#endif

bool row_scan_available(RowScan scan)
{
    switch (scan) {
    case RowScan::portable:
        return true;
#ifdef LETTERBOX_X86
    case RowScan::sse2:
        return true;
    case RowScan::avx2:
        return cpu_has_avx2();
#endif
    default:
        return false;
    }
}

bool is_bar_row_with(RowScan scan, const uint8_t *row, int32_t begin, int32_t end, uint8_t band_low, uint8_t band_high,
                     int32_t logo_limit)
{
    // No column, or an empty band (every pixel wrong): the first and the
    // last column bound the span, as in the one-pixel rules.
    if (begin >= end || band_low > band_high)
        return end - 1 - begin <= logo_limit;
    uint8_t range = uint8_t(band_high - band_low);
    int32_t width = end - begin;
    int32_t left, right;
#ifdef LETTERBOX_X86
    if (scan == RowScan::avx2 && width >= 32 && cpu_has_avx2()) {
        left = first_wrong_avx2(row, begin, end, band_low, range);
        if (left == end)
            return -1 <= logo_limit;
        right = last_wrong_avx2(row, begin, left, end, band_low, range);
        return right - left <= logo_limit;
    }
    if (scan != RowScan::portable && width >= 16) {
        left = first_wrong_sse2(row, begin, end, band_low, range);
        if (left == end)
            return -1 <= logo_limit;
        right = last_wrong_sse2(row, begin, left, end, band_low, range);
        return right - left <= logo_limit;
    }
#endif
    (void)width;
    (void)scan;
    left = first_wrong_portable(row, begin, end, band_low, range);
    if (left == end)
        return -1 <= logo_limit;
    right = last_wrong_portable(row, left, end, band_low, range);
    return right - left <= logo_limit;
}

bool is_bar_row(const uint8_t *row, int32_t begin, int32_t end, uint8_t band_low, uint8_t band_high, int32_t logo_limit)
{
#ifdef LETTERBOX_X86
    RowScan scan = cpu_has_avx2() ? RowScan::avx2 : RowScan::sse2;
#else
    RowScan scan = RowScan::portable;
#endif
    return is_bar_row_with(scan, row, begin, end, band_low, band_high, logo_limit);
}

// The most frequent grey level of columns begin to end - 1, the darkest on a
// tie, 0 for no column. Four sets of counters, so that a row of one tone does
// not wait on the same counter for every pixel. Built also for AVX2, which
// halves the work of adding up the counters.
#ifdef LETTERBOX_X86
__attribute__((target_clones("avx2", "default")))
#endif
static int32_t
find_tone(const uint8_t *row, int32_t begin, int32_t end)
{
    uint32_t counts[4][256] = {};
    int32_t x = begin;
    for (; end - x >= 4; x += 4) {
        counts[0][row[x]]++;
        counts[1][row[x + 1]]++;
        counts[2][row[x + 2]]++;
        counts[3][row[x + 3]]++;
    }
    for (; x < end; x++)
        counts[0][row[x]]++;
    // The largest count first (a loop that vectorises), then the darkest
    // level that has it.
    uint32_t total[256], highest = 0;
    for (int32_t level = 0; level < 256; level++) {
        total[level] = counts[0][level] + counts[1][level] + counts[2][level] + counts[3][level];
        highest = total[level] > highest ? total[level] : highest;
    }
    int32_t tone = 0;
    while (total[tone] != highest)
        tone++;
    return tone;
}

// The measurement; with a trace, also what it looked at.
bool frame_margins(int32_t width, int32_t height, const LetterboxSettings &settings, FrameMargins *m)
{
    if (width <= 0 || height <= 0)
        return false;
    // Products of the exact float value and the size, not rounded to float.
    // A negative overscan would put the margins outside the frame.
    m->margin_x = std::max(truncate_to_int32(width * double(settings.overscan)), 0);
    m->margin_y = std::max(truncate_to_int32(height * double(settings.overscan)), 0);
    m->logo_limit = truncate_to_int32(width * double(settings.logo_width));
    m->half = height / 2;
    // The top bar would start at or beyond half the height: no measurement,
    // and the tone row may not even lie inside the frame.
    return m->margin_y < m->half;
}

static std::optional<Measurement> measure(const uint8_t *frame, int32_t width, int32_t height,
                                          const LetterboxSettings &settings, LetterboxTrace *trace)
{
    FrameMargins m;
    if (!frame_margins(width, height, settings, &m))
        return std::nullopt;
    const int32_t margin_x = m.margin_x, margin_y = m.margin_y, logo_limit = m.logo_limit, half = m.half;
    // From here the overscan is below one half, so margin_x < width / 2.
    int32_t begin = margin_x;
    int32_t end = width - margin_x;
    if (trace) {
        trace->first_row = margin_y;
        trace->first_column = begin;
        trace->end_column = end;
    }

    uint8_t band_low = 0;
    uint8_t band_high = settings.black;
    if (settings.black == 0) {
        int32_t tone = find_tone(frame + ptrdiff_t(margin_y) * width, begin, end);
        // 32-bit arithmetic that wraps, then the low eight bits.
        int32_t low = int32_t(uint32_t(tone) - uint32_t(settings.pan_tone_tolerance));
        int32_t high = int32_t(uint32_t(tone) + uint32_t(settings.pan_tone_tolerance));
        band_low = uint8_t(low >= 0 ? low : 0);
        band_high = uint8_t(high <= 255 ? high : 255);
        if (trace)
            trace->tone = tone;
    }
    if (trace) {
        trace->band_low = band_low;
        trace->band_high = band_high;
    }

    int32_t top_bar = margin_y;
    while (top_bar < half
           && is_bar_row(frame + ptrdiff_t(top_bar) * width, begin, end, band_low, band_high, logo_limit))
        top_bar++;
    if (trace)
        trace->top_bar = top_bar;
    if (top_bar >= half)
        return std::nullopt;

    int32_t bottom_bar = margin_y;
    while (
        bottom_bar < half
        && is_bar_row(frame + ptrdiff_t(height - 1 - bottom_bar) * width, begin, end, band_low, band_high, logo_limit))
        bottom_bar++;
    if (trace)
        trace->bottom_bar = bottom_bar;
    if (bottom_bar >= half)
        return std::nullopt;

    int32_t active_height = height - 2 * (top_bar < bottom_bar ? top_bar : bottom_bar);
    if (active_height <= 0)
        return std::nullopt;
    return Measurement{top_bar, bottom_bar, active_height};
}

std::optional<Measurement> measure_letterbox(const uint8_t *frame, int32_t width, int32_t height,
                                             const LetterboxSettings &settings)
{
    if (settings.robust)
        return measure_letterbox_robust(frame, width, height, settings);
    return measure(frame, width, height, settings, nullptr);
}

std::optional<Measurement> measure_letterbox_traced(const uint8_t *frame, int32_t width, int32_t height,
                                                    const LetterboxSettings &settings, LetterboxTrace &trace)
{
    trace = LetterboxTrace{};
    return measure(frame, width, height, settings, &trace);
}
