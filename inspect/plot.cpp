// The plot: the active height over the class bands with their hysteresis
// margins, strips of the printed class, the labels and the frames without a
// measurement, and a legend. PNG or SVG through cairo.
#include <algorithm>
#include <cairo-svg.h>
#include <cairo.h>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fontconfig/fontconfig.h>

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

// Where the parts go on the page, and the heights the plot shows.
struct Layout {
    double left, right, top, bottom;
    double printed_top, printed_bottom, labels_top, labels_bottom, marks_top, marks_bottom;
    size_t n;  // frames across, at least 1
    int count; // classes in the table
    int plain_low[4], plain_high[4];
    double y_low, y_high;
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
            current = class_of_word(line.substr(line.rfind(' ') + 1));
        in_force[i] = current;
    }
    return in_force;
}

static Layout lay_out(const Run &run, double page_w, double page_h)
{
    Layout l;
    bool labels = run.settings.labels;
    l.left = 80;
    l.right = page_w - 250;
    l.top = 56;
    l.bottom = page_h - (labels ? 158 : 130);
    l.printed_top = l.bottom + 8;
    l.printed_bottom = l.printed_top + 22;
    l.labels_top = l.printed_bottom + 6;
    l.labels_bottom = l.labels_top + (labels ? 22 : -6);
    l.marks_top = l.labels_bottom + 6;
    l.marks_bottom = l.marks_top + 12;
    l.n = std::max<size_t>(run.polls.size(), 1);
    l.count = run.state.table.count;

    int height = run.buffer.height;
    const std::vector<int8_t> &plain = run.classes.plain;
    for (int k = 0; k < 4; k++) {
        l.plain_low[k] = INT_MAX;
        l.plain_high[k] = INT_MIN;
    }
    for (int a = 1; a <= height; a++)
        if (plain[a] >= 0) {
            l.plain_low[plain[a]] = std::min(l.plain_low[plain[a]], a);
            l.plain_high[plain[a]] = std::max(l.plain_high[plain[a]], a);
        }
    // From a little below the lowest class boundary (or the lowest
    // measurement) up to the full frame height.
    double y_low = height;
    for (int k = 0; k + 1 < l.count; k++)
        if (l.plain_low[k] <= height)
            y_low = std::min(y_low, l.plain_low[k] - 40.0);
    for (const Poll &p : run.polls)
        if (p.measurement)
            y_low = std::min(y_low, p.measurement->active_height - 10.0);
    l.y_low = std::max(0.0, std::floor(y_low));
    l.y_high = height + 2;
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
    show_text(cr, 0, 0, "active picture height (rows)", 0.5);
    cairo_restore(cr);
    cairo_set_font_size(cr, 15);
    const Settings &s = run.settings;
    char title[200];
    snprintf(title, sizeof title, "aspect-inspect: %zu frames of %dx%d   %s -e %u%s%s%s", run.polls.size(),
             run.buffer.width, run.buffer.height, settings_text(s.letterbox).c_str(), s.delay, s.aspect ? " -a" : "",
             s.frontend_lock_test ? " -f" : "", s.over_16_9_output ? " -o" : "");
    show_text(cr, l.left, 32, title);
}

// The measured heights, a line broken where nothing was measured.
static void draw_heights(cairo_t *cr, const std::vector<Poll> &polls, const Layout &l)
{
    cairo_save(cr);
    cairo_rectangle(cr, l.left, l.top, l.right - l.left, l.bottom - l.top);
    cairo_clip(cr);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_set_line_width(cr, 1.5);
    bool drawing = false;
    for (size_t i = 0; i < polls.size(); i++) {
        if (!polls[i].measurement) {
            drawing = false;
            continue;
        }
        double x = x_of(l, double(i + 1)), y = y_of(l, polls[i].measurement->active_height);
        if (drawing)
            cairo_line_to(cr, x, y);
        else
            cairo_move_to(cr, x, y);
        drawing = true;
        if (l.n <= 400) {
            cairo_stroke(cr);
            cairo_arc(cr, x, y, 2.2, 0, 2 * M_PI);
            cairo_fill(cr);
            cairo_move_to(cr, x, y);
        }
    }
    cairo_stroke(cr);
    cairo_restore(cr);
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
            set_colour(cr, class_colours[classes[i]]);
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
        frames[i] = polls[i].wide ? wide_class : polls[i].measurement ? -1 : no_class;
        truth[i] = polls[i].truth;
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

// A swatch of a class colour, as the strips show it.
static void legend_swatch(Pen &pen, int k, const char *text)
{
    set_colour(pen.cr, class_colours[k]);
    cairo_rectangle(pen.cr, pen.x, pen.y + 2, 22, 10);
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
    legend_heading(pen, "Measured");
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_set_line_width(cr, 1.5);
    cairo_move_to(cr, x, pen.y + 7);
    cairo_line_to(cr, x + 22, pen.y + 7);
    cairo_stroke(cr);
    legend_entry(pen, "active height");
    legend_swatch(pen, no_class, "no measurement");
    legend_swatch(pen, wide_class, "wide stream (16:9)");
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
    draw_heights(cr, run.polls, l);
    draw_strips(cr, run, l);
    draw_legend(cr, run, l);
}

void draw_plot(const Run &run, const char *path)
{
    const double w = 1280, h = 680;
    bool svg = ends_with(path, ".svg");
    cairo_surface_t *surface =
        svg ? cairo_svg_surface_create(path, w, h) : cairo_image_surface_create(CAIRO_FORMAT_RGB24, int(w), int(h));
    cairo_t *cr = cairo_create(surface);
    draw(cr, run, w, h);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS && !svg)
        status = cairo_surface_write_to_png(surface, path);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    // Let cairo and the font cache behind it give back what they keep for
    // the next drawing, which does not come: leak checkers see a clean exit.
    cairo_debug_reset_static_data();
    FcFini();
    if (status != CAIRO_STATUS_SUCCESS)
        fail(1, "can't write plot '%s' (%s)", path,
             status == CAIRO_STATUS_WRITE_ERROR ? strerror(errno) : cairo_status_to_string(status));
}
