#include "letterbox.h"

#include <cmath>
#include <cstddef>
#include <limits>

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

bool is_bar_row(const uint8_t *row, int32_t begin, int32_t end,
                uint8_t band_low, uint8_t band_high, int32_t logo_limit)
{
    int32_t left = begin;
    while (left < end && row[left] >= band_low && row[left] <= band_high)
        left++;
    int32_t right = end - 1;
    while (right > left && row[right] >= band_low && row[right] <= band_high)
        right--;
    return right - left <= logo_limit;
}

std::optional<Measurement> measure_letterbox(const uint8_t *frame, int32_t width, int32_t height,
                                             const LetterboxSettings &settings)
{
    if (width <= 0 || height <= 0)
        return std::nullopt;

    // Products of the exact float value and the size, not rounded to float.
    // A negative overscan would put the margins outside the frame.
    int32_t margin_x = truncate_to_int32(width * double(settings.overscan));
    int32_t margin_y = truncate_to_int32(height * double(settings.overscan));
    int32_t logo_limit = truncate_to_int32(width * double(settings.logo_width));
    int32_t half = height / 2;
    if (margin_x < 0)
        margin_x = 0;
    if (margin_y < 0)
        margin_y = 0;

    // The top bar would start at or beyond half the height: no measurement,
    // and the tone row may not even lie inside the frame.
    if (margin_y >= half)
        return std::nullopt;
    // From here the overscan is below one half, so margin_x < width / 2.
    int32_t begin = margin_x;
    int32_t end = width - margin_x;

    uint8_t band_low = 0;
    uint8_t band_high = settings.black;
    if (settings.black == 0) {
        int32_t counts[256] = {};
        const uint8_t *row = frame + ptrdiff_t(margin_y) * width;
        for (int32_t x = begin; x < end; x++)
            counts[row[x]]++;
        int32_t tone = 0;
        for (int32_t level = 1; level < 256; level++)
            if (counts[level] > counts[tone])
                tone = level;
        // 32-bit arithmetic that wraps, then the low eight bits.
        int32_t low = int32_t(uint32_t(tone) - uint32_t(settings.pan_tone_tolerance));
        int32_t high = int32_t(uint32_t(tone) + uint32_t(settings.pan_tone_tolerance));
        band_low = uint8_t(low >= 0 ? low : 0);
        band_high = uint8_t(high <= 255 ? high : 255);
    }

    int32_t top_bar = margin_y;
    while (top_bar < half
           && is_bar_row(frame + ptrdiff_t(top_bar) * width, begin, end, band_low, band_high, logo_limit))
        top_bar++;
    if (top_bar >= half)
        return std::nullopt;

    int32_t bottom_bar = margin_y;
    while (bottom_bar < half
           && is_bar_row(frame + ptrdiff_t(height - 1 - bottom_bar) * width, begin, end,
                         band_low, band_high, logo_limit))
        bottom_bar++;
    if (bottom_bar >= half)
        return std::nullopt;

    int32_t active_height = height - 2 * (top_bar < bottom_bar ? top_bar : bottom_bar);
    if (active_height <= 0)
        return std::nullopt;
    return Measurement{top_bar, bottom_bar, active_height};
}
