// The plot: the picture height each bar leaves over the class bands with
// their hysteresis margins, the band of grey levels taken for bar against the
// levels of the first row searched, strips of the printed class, the labels
// and the frames without a measurement or a bar, and a legend. PNG or SVG
// through cairo, written to a temporary file that replaces FILE only whole.
#include <algorithm>
#include <cairo-svg.h>
#include <cairo.h>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <sys/stat.h>
#include <unistd.h>

#include "aspect_class.h"
#include "extern.h"

struct Colour {
    double r, g, b;
};

// By class number: the four classes of the table, the wide stream, none.
static const Colour class_colours[6] = {
    {0.22, 0.47, 0.73}, {0.25, 0.65, 0.25}, {0.95, 0.55, 0.10},
    {0.58, 0.30, 0.65}, {0.85, 0.15, 0.15}, {0.55, 0.55, 0.55},
};
static const Colour top_colour = {0.1, 0.1, 0.1}, bottom_colour = {0.75, 0.1, 0.55};
static const Colour no_bar_colour = {0.9, 0.75, 0.1}, band_colour = {0.3, 0.55, 0.9};
// A strip's code for the frames in which a bar search found no bar row
// beyond the overscan, beside the class numbers.
static const int no_bar = 6;

// Where the parts go on the page, and the heights the plot shows.
struct Layout {
    double left, right, top, bottom;
    double band_top, band_bottom; // the panel of grey levels
    double printed_top, printed_bottom, labels_top, labels_bottom, marks_top, marks_bottom;
    size_t n;  // frames across, at least 1
    int count; // classes in the table
    int plain_low[4], plain_high[4];
    double y_low, y_high;
    double level_low, level_high; // grey levels the band panel shows
};

static double x_of(const Layout &l, double frame)
{
    return l.left + (frame - 0.5) / double(l.n) * (l.right - l.left);
}

static double y_of(const Layout &l, double a)
{
    return l.bottom - (a - l.y_low) / (l.y_high - l.y_low) * (l.bottom - l.top);
}

static void set_colour(cairo_t *cr, const Colour &c, double alpha = 1)
{
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

// A round step that cuts range into at most about `most` parts.
static double tick_step(double range, int most)
{
    double raw = range / most;
    double power = std::pow(10, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * power >= raw)
            return m * power;
    return 10 * power;
}

static void show_text(cairo_t *cr, double x, double y, const std::string &text, double align = 0)
{
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    cairo_move_to(cr, x - align * e.x_advance, y);
    cairo_show_text(cr, text.c_str());
}

static void hatch(cairo_t *cr, double x0, double y0, double x1, double y1)
{
    cairo_save(cr);
    cairo_rectangle(cr, x0, y0, x1 - x0, y1 - y0);
    cairo_clip_preserve(cr);
    cairo_set_source_rgba(cr, 0.5, 0.5, 0.5, 0.25);
    cairo_fill(cr);
    cairo_set_source_rgba(cr, 0.3, 0.3, 0.3, 0.7);
    cairo_set_line_width(cr, 1);
    for (double x = x0 - (y1 - y0); x < x1; x += 6) {
        cairo_move_to(cr, x, y1);
        cairo_line_to(cr, x + (y1 - y0), y0);
    }
    cairo_stroke(cr);
    cairo_restore(cr);
}

// The class the detector's printed lines have put in force, per poll.
static std::vector<int> classes_in_force(const std::vector<Poll> &polls)
{
    std::vector<int> in_force(polls.size());
    int current = -1;
    for (size_t i = 0; i < polls.size(); i++) {
        const std::string &line = polls[i].printed;
        if (!line.empty())
            current = class_of_line(line);
        in_force[i] = current;
    }
    return in_force;
}

// The picture height a bar leaves, as if the other bar were as tall: the
// larger of the two is the active height.
static double height_left(const Run &run, int bar)
{
    return run.buffer.height - 2.0 * bar;
}

// From a little below the lowest class boundary (or the lowest height a bar
// leaves) up to the full frame height.
static void lay_out_heights(const Run &run, Layout &l)
{
    int height = run.buffer.height;
    double y_low = height;
    for (int k = 0; k + 1 < l.count; k++)
        if (l.plain_low[k] <= height)
            y_low = std::min(y_low, l.plain_low[k] - 40.0);
    for (const Poll &p : run.polls)
        if (p.measurement)
            y_low = std::min(y_low, height_left(run, std::max(p.measurement->top_bar, p.measurement->bottom_bar)) - 10);
    l.y_low = std::max(0.0, std::floor(y_low));
    l.y_high = height + 2;
}

// Grey levels around the middle of the bands used, so that a band and the
// grain beside it stay a few pixels tall.
static void lay_out_levels(const Run &run, Layout &l)
{
    std::vector<int> lows, highs;
    for (const Poll &p : run.polls)
        if (p.trace.first_row >= 0) {
            lows.push_back(p.trace.band_low);
            highs.push_back(p.trace.band_high);
        }
    if (lows.empty()) {
        l.level_low = 0;
        l.level_high = 64;
        return;
    }
    std::nth_element(lows.begin(), lows.begin() + lows.size() / 2, lows.end());
    std::nth_element(highs.begin(), highs.begin() + highs.size() / 2, highs.end());
    l.level_low = std::max(0, (lows[lows.size() / 2] - 24) / 8 * 8);
    l.level_high = std::min(256, (highs[highs.size() / 2] + 24 + 7) / 8 * 8);
}

static Layout lay_out(const Run &run, double page_w, double page_h)
{
    Layout l;
    bool labels = run.settings.labels;
    l.left = 80;
    l.right = page_w - 250;
    l.top = 56;
    l.bottom = page_h - (labels ? 158 : 130) - 90;
    l.band_top = l.bottom + 12;
    l.band_bottom = l.band_top + 72;
    l.printed_top = l.band_bottom + 8;
    l.printed_bottom = l.printed_top + 22;
    l.labels_top = l.printed_bottom + 6;
    l.labels_bottom = l.labels_top + (labels ? 22 : -6);
    l.marks_top = l.labels_bottom + 6;
    l.marks_bottom = l.marks_top + 12;
    l.n = std::max<size_t>(run.polls.size(), 1);
    l.count = run.given.state.table.count;
    for (int k = 0; k < 4; k++) {
        l.plain_low[k] = run.classes.plain_low[k];
        l.plain_high[k] = run.classes.plain_high[k];
    }
    lay_out_heights(run, l);
    lay_out_levels(run, l);
    return l;
}

// Class bands by the plain thresholds, hysteresis margins between them.
static void draw_bands(cairo_t *cr, const Run &run, const Layout &l)
{
    cairo_save(cr);
    cairo_rectangle(cr, l.left, l.top, l.right - l.left, l.bottom - l.top);
    cairo_clip(cr);
    for (int k = 0; k < l.count; k++) {
        if (l.plain_low[k] > l.plain_high[k])
            continue;
        set_colour(cr, class_colours[k], 0.16);
        cairo_rectangle(cr, l.left, y_of(l, l.plain_high[k] + 0.5), l.right - l.left,
                        y_of(l, l.plain_low[k] - 0.5) - y_of(l, l.plain_high[k] + 0.5));
        cairo_fill(cr);
    }
    const Classes &classes = run.classes;
    for (int k = 0; k + 1 < l.count; k++)
        if (classes.hold_low[k] <= classes.hold_high[k + 1])
            hatch(cr, l.left, y_of(l, classes.hold_high[k + 1] + 0.5), l.right, y_of(l, classes.hold_low[k] - 0.5));
    cairo_restore(cr);
    cairo_set_font_size(cr, 13);
    for (int k = 0; k < l.count; k++) {
        double mid = (std::min<double>(l.plain_high[k], l.y_high) + std::max<double>(l.plain_low[k], l.y_low)) / 2;
        if (l.plain_low[k] > l.plain_high[k] || mid < l.y_low || l.plain_high[k] < l.y_low)
            continue;
        set_colour(cr, class_colours[k]);
        show_text(cr, l.right - 8, y_of(l, mid) + 5, word_of_class(k), 1);
    }
}

// Grid, axes, their names and the title.
static void draw_axes(cairo_t *cr, const Run &run, const Layout &l)
{
    cairo_set_font_size(cr, 11);
    cairo_set_line_width(cr, 1);
    double y_step = tick_step(l.y_high - l.y_low, 8);
    for (double a = std::ceil(l.y_low / y_step) * y_step; a <= l.y_high; a += y_step) {
        cairo_set_source_rgba(cr, 0, 0, 0, 0.12);
        cairo_move_to(cr, l.left, std::round(y_of(l, a)) + 0.5);
        cairo_line_to(cr, l.right, std::round(y_of(l, a)) + 0.5);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        show_text(cr, l.left - 6, y_of(l, a) + 4, std::to_string(int(a)), 1);
    }
    double x_step = std::max(1.0, tick_step(double(l.n), 10));
    for (double f = x_step; f <= double(l.n); f += x_step) {
        cairo_set_source_rgba(cr, 0, 0, 0, 0.12);
        cairo_move_to(cr, std::round(x_of(l, f)) + 0.5, l.top);
        cairo_line_to(cr, std::round(x_of(l, f)) + 0.5, l.marks_bottom);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        show_text(cr, x_of(l, f), l.marks_bottom + 16, std::to_string((long long)f), 0.5);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_rectangle(cr, l.left + 0.5, l.top + 0.5, l.right - l.left - 1, l.bottom - l.top - 1);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 13);
    show_text(cr, (l.left + l.right) / 2, l.marks_bottom + 40,
              "frame (one a poll; 12.5 a second at the default poll rate)", 0.5);
    cairo_save(cr);
    cairo_translate(cr, 22, (l.top + l.bottom) / 2);
    cairo_rotate(cr, -M_PI / 2);
    show_text(cr, 0, 0, "picture height a bar leaves, H - 2 x bar (rows)", 0.5);
    cairo_restore(cr);
    cairo_set_font_size(cr, 15);
    const Settings &s = run.settings;
    char band[64], title[300];
    if (s.letterbox.robust)
        snprintf(band, sizeof band, "set by --robust, not shown");
    else if (s.letterbox.black)
        snprintf(band, sizeof band, "levels 0 to %d (-b)", s.letterbox.black);
    else
        snprintf(band, sizeof band, "the tone found +-%d (-t)", s.letterbox.pan_tone_tolerance);
    snprintf(title, sizeof title, "aspect-inspect: %zu frames of %dx%d   %s -e %u%s%s%s   bar band: %s",
             run.polls.size(), run.buffer.width, run.buffer.height, settings_text(s.letterbox).c_str(), s.delay,
             s.aspect ? " -a" : "", s.frontend_lock_test ? " -f" : "", s.over_16_9_output ? " -o" : "", band);
    show_text(cr, l.left, 32, title);
}

// The height one bar leaves per frame, a line broken where nothing was
// measured, dots where the frames are few enough to tell apart.
static void draw_bar_line(cairo_t *cr, const Run &run, const Layout &l, bool top)
{
    const std::vector<Poll> &polls = run.polls;
    set_colour(cr, top ? top_colour : bottom_colour);
    cairo_set_line_width(cr, 1.5);
    bool drawing = false;
    for (size_t i = 0; i < polls.size(); i++) {
        if (!polls[i].measurement) {
            drawing = false;
            continue;
        }
        const Measurement &m = *polls[i].measurement;
        double x = x_of(l, double(i + 1)), y = y_of(l, height_left(run, top ? m.top_bar : m.bottom_bar));
        if (drawing)
            cairo_line_to(cr, x, y);
        else
            cairo_move_to(cr, x, y);
        drawing = true;
        if (l.n <= 400) {
            cairo_stroke(cr);
            if (top)
                cairo_arc(cr, x, y, 2.2, 0, 2 * M_PI);
            else
                cairo_rectangle(cr, x - 1.6, y - 1.6, 3.2, 3.2);
            cairo_fill(cr);
            cairo_move_to(cr, x, y);
        }
    }
    cairo_stroke(cr);
}

// The top bar's line over the bottom bar's, and the height a bar leaves when
// no bar row is found beyond the overscan.
static void draw_bars(cairo_t *cr, const Run &run, const Layout &l)
{
    cairo_save(cr);
    cairo_rectangle(cr, l.left, l.top, l.right - l.left, l.bottom - l.top);
    cairo_clip(cr);
    for (const Poll &p : run.polls)
        if (p.trace.first_row >= 0) {
            double y = std::round(y_of(l, height_left(run, p.trace.first_row))) + 0.5;
            const double dashes[] = {2, 3};
            set_colour(cr, no_bar_colour);
            cairo_set_line_width(cr, 2);
            cairo_set_dash(cr, dashes, 2, 0);
            cairo_move_to(cr, l.left, y);
            cairo_line_to(cr, l.right, y);
            cairo_stroke(cr);
            cairo_set_dash(cr, nullptr, 0, 0);
            break;
        }
    // The bottom bar's smaller squares show inside the top bar's dots where
    // the two bars are alike.
    draw_bar_line(cr, run, l, true);
    draw_bar_line(cr, run, l, false);
    cairo_restore(cr);
}

// Per frame, the band of grey levels taken for bar and, over it, the levels
// of the first row searched: where they reach beyond the band, that row is
// not taken for bar.
static void draw_levels(cairo_t *cr, const Run &run, const Layout &l)
{
    auto level_y = [&l](double v) {
        v = std::clamp(v, l.level_low, l.level_high);
        return l.band_bottom - (v - l.level_low) / (l.level_high - l.level_low) * (l.band_bottom - l.band_top);
    };
    double w = std::max(1.0, x_of(l, 1.5) - x_of(l, 0.5));
    for (size_t i = 0; i < run.polls.size(); i++) {
        const Poll &p = run.polls[i];
        if (p.trace.first_row < 0)
            continue;
        double x = x_of(l, double(i + 1)) - w / 2;
        set_colour(cr, band_colour, 0.45);
        cairo_rectangle(cr, x, level_y(p.trace.band_high + 0.5), w,
                        level_y(p.trace.band_low - 0.5) - level_y(p.trace.band_high + 0.5));
        cairo_fill(cr);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
        double bar = std::min(w, std::max(1.0, w / 3));
        cairo_rectangle(cr, x + (w - bar) / 2, level_y(p.row_high + 0.5), bar,
                        level_y(p.row_low - 0.5) - level_y(p.row_high + 0.5));
        cairo_fill(cr);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, l.left + 0.5, l.band_top + 0.5, l.right - l.left - 1, l.band_bottom - l.band_top - 1);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 11);
    show_text(cr, l.left - 6, l.band_top + 9, std::to_string(int(l.level_high) - 1), 1);
    show_text(cr, l.left - 6, l.band_bottom, std::to_string(int(l.level_low)), 1);
    show_text(cr, l.left - 6, (l.band_top + l.band_bottom) / 2 + 4, "band", 1);
}

// One strip under the plot: a class per frame as coloured spans, and its name.
static void draw_strip(cairo_t *cr, const Layout &l, const std::vector<int> &classes, double y0, double y1,
                       const char *name)
{
    for (size_t i = 0; i < classes.size();) {
        size_t j = i + 1;
        while (j < classes.size() && classes[j] == classes[i])
            j++;
        if (classes[i] >= 0) {
            set_colour(cr, classes[i] == no_bar ? no_bar_colour : class_colours[classes[i]]);
            cairo_rectangle(cr, x_of(l, i + 0.5), y0, x_of(l, j + 0.5) - x_of(l, i + 0.5), y1 - y0);
            cairo_fill(cr);
        }
        i = j;
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, l.left + 0.5, y0 + 0.5, l.right - l.left - 1, y1 - y0 - 1);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 11);
    show_text(cr, l.left - 6, (y0 + y1) / 2 + 4, name, 1);
}

// The printed class in force with a mark at each line printed, the labels,
// and the frames without a measurement or with a wide stream.
static void draw_strips(cairo_t *cr, const Run &run, const Layout &l)
{
    const std::vector<Poll> &polls = run.polls;
    std::vector<int> frames(polls.size()), truth(polls.size());
    for (size_t i = 0; i < polls.size(); i++) {
        const Poll &p = polls[i];
        bool missed =
            p.measurement
            && (p.measurement->top_bar == p.trace.first_row || p.measurement->bottom_bar == p.trace.first_row);
        frames[i] = p.wide ? wide_class : !p.grabbed || !p.measurement ? no_class : missed ? no_bar : -1;
        truth[i] = p.truth;
    }
    draw_strip(cr, l, classes_in_force(polls), l.printed_top, l.printed_bottom, "printed");
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (size_t i = 0; i < polls.size(); i++)
        if (!polls[i].printed.empty()) {
            double x = x_of(l, double(i + 1));
            cairo_move_to(cr, x - 4, l.printed_top);
            cairo_line_to(cr, x + 4, l.printed_top);
            cairo_line_to(cr, x, l.printed_top + 6);
            cairo_close_path(cr);
            cairo_fill(cr);
        }
    if (run.settings.labels)
        draw_strip(cr, l, truth, l.labels_top, l.labels_bottom, "labelled");
    draw_strip(cr, l, frames, l.marks_top, l.marks_bottom, "frames");
}

// The legend's pen: the top left corner of its next line.
struct Pen {
    cairo_t *cr;
    double x, y;
};

static void legend_entry(Pen &pen, const std::string &text)
{
    cairo_set_source_rgb(pen.cr, 0, 0, 0);
    show_text(pen.cr, pen.x + 30, pen.y + 11, text);
    pen.y += 22;
}

static void legend_heading(Pen &pen, const std::string &text)
{
    cairo_set_source_rgb(pen.cr, 0, 0, 0);
    show_text(pen.cr, pen.x, pen.y + 11, text);
    pen.y += 20;
}

// A swatch of a colour of the strips.
static void legend_swatch(Pen &pen, int k, const char *text)
{
    set_colour(pen.cr, k == no_bar ? no_bar_colour : class_colours[k]);
    cairo_rectangle(pen.cr, pen.x, pen.y + 2, 22, 10);
    cairo_fill(pen.cr);
    legend_entry(pen, text);
}

// A line of the legend drawn with the given colour and a dot or a square.
static void legend_line(Pen &pen, const Colour &c, bool dot, const char *text)
{
    set_colour(pen.cr, c);
    cairo_set_line_width(pen.cr, 1.5);
    cairo_move_to(pen.cr, pen.x, pen.y + 7);
    cairo_line_to(pen.cr, pen.x + 22, pen.y + 7);
    cairo_stroke(pen.cr);
    if (dot)
        cairo_arc(pen.cr, pen.x + 11, pen.y + 7, 2.2, 0, 2 * M_PI);
    else
        cairo_rectangle(pen.cr, pen.x + 9.4, pen.y + 5.4, 3.2, 3.2);
    cairo_fill(pen.cr);
    legend_entry(pen, text);
}

static void draw_legend(cairo_t *cr, const Run &run, const Layout &l)
{
    Pen pen{cr, l.right + 24, l.top + 8};
    double x = pen.x;
    cairo_set_font_size(cr, 12);
    legend_heading(pen, "Class by plain thresholds");
    for (int k = 0; k < l.count; k++) {
        set_colour(cr, class_colours[k], 0.3);
        cairo_rectangle(cr, x, pen.y, 22, 14);
        cairo_fill(cr);
        legend_entry(pen, word_of_class(k));
    }
    hatch(cr, x, pen.y, x + 22, pen.y + 14);
    legend_entry(pen, "hysteresis margin");
    pen.y += 8;
    legend_heading(pen, "Measured (the higher: active)");
    legend_line(pen, top_colour, true, "top bar");
    legend_line(pen, bottom_colour, false, "bottom bar");
    legend_swatch(pen, no_bar, "no bar row beyond the");
    pen.y -= 6;
    legend_entry(pen, "overscan (- - at its height)");
    legend_swatch(pen, no_class, "no measurement");
    legend_swatch(pen, wide_class, "wide stream (16:9)");
    set_colour(cr, band_colour, 0.45);
    cairo_rectangle(cr, x, pen.y + 2, 22, 10);
    cairo_fill(cr);
    legend_entry(pen, "grey band taken for bar");
    cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
    cairo_rectangle(cr, x + 8, pen.y, 6, 14);
    cairo_fill(cr);
    legend_entry(pen, "levels of the first row");
    pen.y += 8;
    legend_heading(pen, run.settings.labels ? "Printed last, labelled" : "Printed last");
    for (int k : {0, 1, 2, 3, wide_class}) {
        if (k < wide_class && k >= l.count)
            continue;
        legend_swatch(pen, k, word_of_class(k));
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, x + 7, pen.y + 2);
    cairo_line_to(cr, x + 15, pen.y + 2);
    cairo_line_to(cr, x + 11, pen.y + 8);
    cairo_close_path(cr);
    cairo_fill(cr);
    legend_entry(pen, "a line printed");
}

static void draw(cairo_t *cr, const Run &run, double page_w, double page_h)
{
    Layout l = lay_out(run, page_w, page_h);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    draw_bands(cr, run, l);
    draw_axes(cr, run, l);
    draw_bars(cr, run, l);
    draw_levels(cr, run, l);
    draw_strips(cr, run, l);
    draw_legend(cr, run, l);
}

// Where cairo's bytes go: the temporary file, and the first error met.
struct Sink {
    FILE *file;
    int error;
};

static cairo_status_t write_bytes(void *closure, const unsigned char *data, unsigned int length)
{
    Sink *sink = static_cast<Sink *>(closure);
    if (fwrite(data, 1, length, sink->file) == length)
        return CAIRO_STATUS_SUCCESS;
    sink->error = errno;
    return CAIRO_STATUS_WRITE_ERROR;
}

static cairo_status_t render(const Run &run, bool svg, Sink &sink)
{
    const double w = 1280, h = 760;
    cairo_surface_t *surface = svg ? cairo_svg_surface_create_for_stream(write_bytes, &sink, w, h)
                                   : cairo_image_surface_create(CAIRO_FORMAT_RGB24, int(w), int(h));
    cairo_t *cr = cairo_create(surface);
    draw(cr, run, w, h);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS && !svg)
        status = cairo_surface_write_to_png_stream(surface, write_bytes, &sink);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    // Let cairo and the font cache behind it give back what they keep for
    // the next drawing, which does not come: leak checkers see a clean exit.
    cairo_debug_reset_static_data();
    FcFini();
    return status;
}

// Draws the plot into the temporary file open on fd, made readable as a new
// file would be, and closes it. 0, or the errno of a failed write; another
// failure of cairo's is left in *status.
static int write_plot(const Run &run, bool svg, int fd, cairo_status_t *status)
{
    mode_t mask = umask(0);
    umask(mask);
    Sink sink{fdopen(fd, "wb"), 0};
    if (!sink.file) {
        int error = errno;
        close(fd);
        return error;
    }
    if (fchmod(fd, 0666 & ~mask) != 0) {
        sink.error = errno;
    } else {
        *status = render(run, svg, sink);
        if (*status == CAIRO_STATUS_WRITE_ERROR && !sink.error)
            sink.error = EIO;
        else if (*status == CAIRO_STATUS_SUCCESS && (fflush(sink.file) != 0 || fsync(fd) != 0))
            sink.error = errno;
    }
    if (fclose(sink.file) != 0 && !sink.error)
        sink.error = errno;
    return sink.error;
}

// Drawn into a temporary file beside FILE that takes its place only once
// whole: a full disk leaves an older plot as it was.
void draw_plot(const Run &run, const char *path)
{
    std::string temp = std::string(path) + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0)
        fail(1, "can't write plot '%s' (%s)", path, strerror(errno));
    cairo_status_t status = CAIRO_STATUS_SUCCESS;
    int error = write_plot(run, ends_with(path, ".svg"), fd, &status);
    if (!error && status == CAIRO_STATUS_SUCCESS && rename(temp.c_str(), path) != 0)
        error = errno;
    if (error || status != CAIRO_STATUS_SUCCESS) {
        unlink(temp.c_str());
        fail(1, "can't write plot '%s' (%s)", path, error ? strerror(error) : cairo_status_to_string(status));
    }
}
