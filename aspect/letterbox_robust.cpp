// The robust measurement (--robust): a bar row is judged on the means of
// 8-pixel blocks with a tolerance that follows the capture noise measured in
// the overscan rows, text laid into one bar is bridged when the other bar
// says the letterbox is that tall, and a frame too dark to tell picture from
// bar gives no measurement.
#include "letterbox.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__))
#define ROBUST_X86 1
#include <emmintrin.h>
#endif

namespace {

// Averaging eight pixels cuts the noise's spread by sqrt(8), so a band a
// little wider than the noise keeps every block of a noisy bar inside.
constexpr int32_t block = 8;
// Overscan rows sampled from each edge for the tone and the noise.
constexpr int32_t sample_rows = 8;
// Noise above this (95th percentile of a sample row's deviation) means the
// outermost rows hold picture, not bar: the band then keeps its default.
constexpr int32_t most_noise = 48;
// A picture must have this many levels of contrast beyond the band in a few
// percent of its pixels to be told from the bars.
constexpr int32_t dark_contrast = 24;

struct Frame {
    const uint8_t *pixels;
    int32_t width, height;
    int32_t begin, end; // columns inside the overscan
    const uint8_t *row(int32_t y) const { return pixels + ptrdiff_t(y) * width; }
};

struct Band {
    int32_t tone, tolerance;
    int32_t low, high;
    double block_spread; // standard deviation of a block mean from the noise
};

// The level below which a share q of the counted pixels lie.
int32_t quantile(const uint32_t counts[256], uint32_t total, double q)
{
    uint32_t wanted = uint32_t(q * total), seen = 0;
    for (int32_t level = 0; level < 256; level++) {
        seen += counts[level];
        if (seen > wanted)
            return level;
    }
    return 255;
}

// The median of a row and the 95th percentile of its pixels' distance from it.
void row_spread(const Frame &f, int32_t y, int32_t *median, int32_t *spread)
{
    uint32_t counts[256] = {}, distances[256] = {};
    const uint8_t *row = f.row(y);
    // Every other pixel is sample enough.
    uint32_t total = 0;
    for (int32_t x = f.begin; x < f.end; x += 2, total++)
        counts[row[x]]++;
    *median = quantile(counts, total, 0.5);
    for (int32_t level = 0; level < 256; level++)
        distances[std::abs(level - *median)] += counts[level];
    *spread = quantile(distances, total, 0.95);
}

// Tone and noise from the rows the overscan ignores, at both edges; the
// medians over rows let a row of teletext or WSS dashes pass unnoticed.
Band measure_band(const Frame &f, int32_t margin_y, const LetterboxSettings &settings)
{
    int32_t medians[2 * sample_rows], spreads[2 * sample_rows], n = 0;
    int32_t rows = std::max<int32_t>(margin_y, 1);
    int32_t step = std::max<int32_t>(rows / sample_rows, 1);
    for (int32_t y = 0; y < rows && n < 2 * sample_rows; y += step) {
        row_spread(f, y, &medians[n], &spreads[n]);
        n++;
        row_spread(f, f.height - 1 - y, &medians[n], &spreads[n]);
        n++;
    }
    std::nth_element(medians, medians + n / 2, medians + n);
    std::nth_element(spreads, spreads + n / 2, spreads + n);
    int32_t noise = spreads[n / 2];
    Band b{medians[n / 2], settings.pan_tone_tolerance, 0, 0, std::min(noise, most_noise) / 4.65};
    // Block means spread about a fifth of the pixels' 95th percentile.
    if (!settings.tolerance_given && noise <= most_noise)
        b.tolerance = std::max(b.tolerance, int32_t(std::ceil(noise * 1.08)) + 2);
    if (settings.black != 0) {
        b.low = 0;
        b.high = settings.black;
    } else {
        // On 64 bits, as any 32-bit tolerance may come: a negative one gives
        // low > high, an empty band that every block lies outside of.
        b.low = int32_t(std::clamp<int64_t>(int64_t(b.tone) - b.tolerance, 0, 256));
        b.high = int32_t(std::clamp<int64_t>(int64_t(b.tone) + b.tolerance, 0, 255));
    }
    return b;
}

// The sum of one whole block.
uint32_t block_sum(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, sizeof v);
    // Bytes added pairwise, then the four 16-bit sums at once.
    v = (v & 0x00ff00ff00ff00ffull) + ((v >> 8) & 0x00ff00ff00ff00ffull);
    return uint32_t((v * 0x0001000100010001ull) >> 48);
}

bool block_outside(const uint8_t *p, int32_t n, const Band &b)
{
    uint32_t sum = 0;
    for (int32_t i = 0; i < n; i++)
        sum += p[i];
    return sum < uint32_t(b.low * n) || sum > uint32_t(b.high * n);
}

#ifdef ROBUST_X86
// Two blocks at a time: psadbw against zero sums each half of 16 pixels.
bool pair_outside(const uint8_t *p, const Band &b)
{
    __m128i sums = _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), _mm_setzero_si128());
    uint32_t first = uint32_t(_mm_cvtsi128_si32(sums)), second = uint32_t(_mm_extract_epi16(sums, 4));
    uint32_t low = uint32_t(b.low * block), high = uint32_t(b.high * block);
    return first < low || first > high || second < low || second > high;
}
#endif

// The first block from x on whose mean lies outside the band, or end.
int32_t first_outside(const uint8_t *row, int32_t x, int32_t end, const Band &b)
{
#ifdef ROBUST_X86
    while (end - x >= 2 * block && !pair_outside(row + x, b))
        x += 2 * block;
#endif
    while (x < end && !block_outside(row + x, std::min(block, end - x), b))
        x += block;
    return x;
}

// As the plain row test, on block means: the blocks outside the band must lie
// within the logo width of each other.
bool is_bar_row_blocks(const Frame &f, int32_t y, const Band &b, int32_t logo_limit)
{
    const uint8_t *row = f.row(y);
    int32_t left = first_outside(row, f.begin, f.end, b);
    if (left >= f.end)
        return true;
    int32_t right = f.begin + (f.end - 1 - f.begin) / block * block;
    while (right > left && !block_outside(row + right, std::min(block, f.end - right), b))
        right -= block;
    return right - left <= logo_limit;
}

// Row y counted from the top (top) or from the bottom edge.
int32_t edge_row(const Frame &f, bool top, int32_t y)
{
    return top ? y : f.height - 1 - y;
}

int32_t scan_bar(const Frame &f, bool top, int32_t from, int32_t half, const Band &b, int32_t logo_limit)
{
    int32_t bar = from;
    while (bar < half && is_bar_row_blocks(f, edge_row(f, top, bar), b, logo_limit))
        bar++;
    return bar;
}

// A bar cut short by text laid into it: bar rows at the edge, a band of
// other rows, then bar rows again up to about the other bar's height. A dark
// picture edge (a night sky) has no bar rows beyond it and stays as it is.
int32_t bridge_bar(const Frame &f, bool top, int32_t bar, int32_t other, int32_t margin_y, int32_t half, const Band &b,
                   int32_t logo_limit)
{
    int32_t slack = 2 + f.height / 100;
    int32_t most_gap = f.height / 8;
    if (bar + slack >= other || bar - margin_y < 2)
        return bar;
    int32_t limit = std::min(half, other + slack + 1);
    int32_t gap = 0, run = 0, end_of_run = -1;
    for (int32_t y = bar; y < limit && gap <= most_gap; y++) {
        if (is_bar_row_blocks(f, edge_row(f, top, y), b, logo_limit)) {
            if (++run >= 2)
                end_of_run = y + 1;
        } else {
            gap++;
            run = 0;
        }
    }
    return end_of_run >= other - slack ? end_of_run : bar;
}

// Whether the rows of a bar are as flat as the noise makes them: a
// letterbox bar is one tone, a dark picture edge (dusk over dark water)
// has texture. The rows next to the picture are left out: the encoder's
// ringing reaches a few rows into the bar.
bool bar_is_flat(const Frame &f, bool top, int32_t margin_y, int32_t bar, const Band &b)
{
    constexpr int32_t ringing = 6, row_step = 4;
    double sum = 0;
    int32_t blocks = 0;
    for (int32_t y = margin_y; y < bar - ringing; y += row_step) {
        const uint8_t *row = f.row(edge_row(f, top, y));
        for (int32_t x = f.begin; x + block <= f.end; x += block, blocks++) {
            double off = double(block_sum(row + x)) / block - b.tone;
            sum += off * off;
        }
    }
    return blocks == 0 || std::sqrt(sum / blocks) <= 2 * b.block_spread + 1.5;
}

// The smaller bar decides the height, so it must be a letterbox's bar; a
// bar within the overscan and a few rows decides nothing.
bool deciding_bar_is_flat(const Frame &f, int32_t top_bar, int32_t bottom_bar, int32_t margin_y, const Band &b)
{
    int32_t slack = 2 + f.height / 100;
    int32_t smaller = std::min(top_bar, bottom_bar);
    if (smaller <= margin_y + slack)
        return true;
    return (top_bar == smaller && bar_is_flat(f, true, margin_y, top_bar, b))
           || (bottom_bar == smaller && bar_is_flat(f, false, margin_y, bottom_bar, b));
}

// Whether the picture between the bars shows anything beyond the band: a
// few percent of its pixels, in one of three rows, clearly off the tone.
bool shows_picture(const Frame &f, int32_t top_bar, int32_t bottom_bar, const Band &b)
{
    int32_t first = top_bar, last = f.height - 1 - bottom_bar;
    int32_t needed = std::max<int32_t>((f.end - f.begin) / 32, 1);
    int64_t distance = int64_t(b.tolerance) + dark_contrast;
    for (int32_t quarter = 1; quarter <= 3; quarter++) {
        const uint8_t *row = f.row(first + (last - first) * quarter / 4);
        int32_t off = 0;
        for (int32_t x = f.begin; x < f.end; x++)
            off += std::abs(int32_t(row[x]) - b.tone) > distance;
        if (off >= needed)
            return true;
    }
    return false;
}

} // namespace

std::optional<Measurement> measure_letterbox_robust(const uint8_t *frame, int32_t width, int32_t height,
                                                    const LetterboxSettings &settings)
{
    FrameMargins m;
    if (!frame_margins(width, height, settings, &m) || m.margin_x >= width - m.margin_x)
        return std::nullopt;
    const int32_t margin_x = m.margin_x, margin_y = m.margin_y, logo_limit = m.logo_limit, half = m.half;
    Frame f{frame, width, height, margin_x, width - margin_x};
    Band b = measure_band(f, margin_y, settings);

    int32_t top_bar = scan_bar(f, true, margin_y, half, b, logo_limit);
    if (top_bar >= half)
        return std::nullopt;
    int32_t bottom_bar = scan_bar(f, false, margin_y, half, b, logo_limit);
    if (bottom_bar >= half)
        return std::nullopt;
    int32_t top_bridged = bridge_bar(f, true, top_bar, bottom_bar, margin_y, half, b, logo_limit);
    bottom_bar = bridge_bar(f, false, bottom_bar, top_bar, margin_y, half, b, logo_limit);
    top_bar = top_bridged;
    // Bridged to the middle, as an unbridged bar there: no picture to measure.
    if (top_bar >= half || bottom_bar >= half)
        return std::nullopt;
    if (!shows_picture(f, top_bar, bottom_bar, b) || !deciding_bar_is_flat(f, top_bar, bottom_bar, margin_y, b))
        return std::nullopt;

    int32_t active_height = height - 2 * std::min(top_bar, bottom_bar);
    if (active_height <= 0)
        return std::nullopt;
    return Measurement{top_bar, bottom_bar, active_height};
}
