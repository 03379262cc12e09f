// The letterbox measurements, plain and robust, on random frames, sizes and
// settings, out-of-range ones included. Properties: every row scan the CPU
// offers agrees with the pixel-by-pixel row test on every row and column
// range, and a measurement lies inside the frame (bars from the overscan
// margin to below half the height, an active height of 1 to the frame
// height).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "harness.h"
#include "letterbox.h"

template <typename T>
static T take(const uint8_t *&data, size_t &size)
{
    T value{};
    size_t n = std::min(size, sizeof value);
    memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint16_t w = take<uint16_t>(data, size) % 400;
    uint16_t h = take<uint16_t>(data, size) % 300;
    LetterboxSettings s;
    s.black = take<uint8_t>(data, size);
    uint8_t which = take<uint8_t>(data, size);
    // Either the usual range or any bit pattern (NaN, infinities, negatives).
    s.pan_tone_tolerance = which & 1 ? take<int32_t>(data, size) : take<uint8_t>(data, size) % 64;
    s.logo_width = which & 2 ? take<float>(data, size) : take<uint8_t>(data, size) / 255.0f;
    s.overscan = which & 4 ? take<float>(data, size) : take<uint8_t>(data, size) / 510.0f;
    uint8_t low = take<uint8_t>(data, size), high = take<uint8_t>(data, size);
    int32_t limit = which & 8 ? take<int32_t>(data, size) : take<uint8_t>(data, size);

    // The frame: the rest of the input, repeated to fill it, in a buffer of
    // exactly its size so that any read outside is caught.
    std::vector<uint8_t> frame(size_t(w) * h);
    for (size_t i = 0; i < frame.size(); i++)
        frame[i] = size ? data[i % size] : 0;

    // The row tests on every row, over a range taken from the input.
    for (int32_t y = 0; y < h && w > 0; y++) {
        const uint8_t *row = frame.data() + size_t(y) * w;
        int32_t begin = y % (w / 2 + 1);
        int32_t end = w - (y / 2) % (w / 2 + 1);
        bool plain = is_bar_row_plain(row, begin, end, low, high, limit);
        FUZZ_CHECK(is_bar_row(row, begin, end, low, high, limit) == plain);
        for (RowScan scan : {RowScan::portable, RowScan::sse2, RowScan::avx2})
            if (row_scan_available(scan))
                FUZZ_CHECK(is_bar_row_with(scan, row, begin, end, low, high, limit) == plain);
    }

    // Settings that the detector refuses (negative overscan) are not
    // measured, as aspect-detect does not start with them.
    if (!(s.overscan >= 0))
        return 0;
    s.tolerance_given = which & 16;
    int32_t margin = int32_t(std::min<double>(double(h) * double(s.overscan), 1e9));
    for (auto m : {measure_letterbox(frame.data(), w, h, s), measure_letterbox_robust(frame.data(), w, h, s)}) {
        if (!m)
            continue;
        FUZZ_CHECK(m->top_bar >= margin && m->top_bar < h / 2);
        FUZZ_CHECK(m->bottom_bar >= margin && m->bottom_bar < h / 2);
        FUZZ_CHECK(m->active_height > 0 && m->active_height <= h);
        FUZZ_CHECK(m->active_height == h - 2 * std::min(m->top_bar, m->bottom_bar));
    }
    return 0;
}
