// Letterbox measurement of one grey-scale capture frame.
#pragma once

#include <cstdint>
#include <optional>

// The detector settings the measurement reads.
struct LetterboxSettings {
    uint8_t black = 0;              // highest bar level; 0: find the tone in the frame
    int32_t pan_tone_tolerance = 8; // half width of the automatic grey band
    float logo_width = 0.2f;        // fraction of the frame width
    float overscan = 0.03f;         // fraction of the frame size
    bool robust = false;            // measure_letterbox_robust's judgement
    bool tolerance_given = false;   // robust: -t given, the tolerance stays as it is
};

struct Measurement {
    int32_t top_bar;
    int32_t bottom_bar;
    int32_t active_height;
};

// A row is a bar row when its pixels outside the band, looked at between
// columns begin and end - 1, lie within logo_limit of each other. Reads only
// columns begin to end - 1, and scans from both ends toward the first and the
// last pixel outside the band, many pixels at a time.
bool is_bar_row(const uint8_t *row, int32_t begin, int32_t end, uint8_t band_low, uint8_t band_high,
                int32_t logo_limit);

// The same test one pixel at a time: the reference for the faster scans.
bool is_bar_row_plain(const uint8_t *row, int32_t begin, int32_t end, uint8_t band_low, uint8_t band_high,
                      int32_t logo_limit);

// The block scans behind is_bar_row, which picks the widest the CPU has;
// named so that tests and benchmarks can run each of them.
enum class RowScan { portable, sse2, avx2 };
bool row_scan_available(RowScan scan);
bool is_bar_row_with(RowScan scan, const uint8_t *row, int32_t begin, int32_t end, uint8_t band_low, uint8_t band_high,
                     int32_t logo_limit);

// What a measurement derives from the settings for a width x height frame:
// the overscan margins, the logo limit (all truncated toward zero) and half
// the height. False when no row lies inside the overscan above the middle.
struct FrameMargins {
    int32_t margin_x, margin_y, logo_limit, half;
};
bool frame_margins(int32_t width, int32_t height, const LetterboxSettings &settings, FrameMargins *m);

// The measurement of measure_letterbox made robust against capture noise,
// text in one bar and frames too dark to tell bars from picture. Reads whole
// rows: the overscan rows it samples, the bar rows and three picture rows.
std::optional<Measurement> measure_letterbox_robust(const uint8_t *frame, int32_t width, int32_t height,
                                                    const LetterboxSettings &settings);

// Bars above and below the picture of a width x height frame (one byte per
// pixel, rows without gaps). Reads only the tone row, the bar rows and one
// row beyond each bar; never reads outside the frame and never allocates.
std::optional<Measurement> measure_letterbox(const uint8_t *frame, int32_t width, int32_t height,
                                             const LetterboxSettings &settings);

// What one measurement looked at, for a tool that shows why a frame measured
// as it did: where the bar searches began and stopped, and the band of grey
// levels they took for bar.
struct LetterboxTrace {
    int32_t first_row = -1;                     // the overscan margin: each search's first row
    int32_t first_column = -1, end_column = -1; // the columns looked at, end_column excluded
    int32_t tone = -1;                          // found in first_row; -1: the fixed level of black
    uint8_t band_low = 0, band_high = 0;
    int32_t top_bar = -1, bottom_bar = -1; // where each search stopped (half the height: it ran
                                           // to the middle); -1: not run
};

// measure_letterbox's plain measurement, the same result, with its trace.
std::optional<Measurement> measure_letterbox_traced(const uint8_t *frame, int32_t width, int32_t height,
                                                    const LetterboxSettings &settings, LetterboxTrace &trace);
