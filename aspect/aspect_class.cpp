#include "aspect_class.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <sys/sysinfo.h>

ClassTable set_up_class_table(bool over_16_9_output)
{
    ClassTable table{{{1.46f, "4:3"}, {1.66f, "L14:9"}, {1.90f, "L16:9"}, {FLT_MAX, "L>16:9"}}, 4};
    // Without L>16:9 output, L16:9 takes every ratio above 1.66.
    if (!over_16_9_output) {
        table.entries[2].threshold = table.entries[3].threshold;
        table.count = 3;
    }
    return table;
}

// Whether n history entries could be held at all: more bytes than memory and
// swap together would only end in the process being killed, or in a crash
// of a runtime that refuses to return from a failed allocation.
static bool history_fits(uint32_t n)
{
    struct sysinfo info;
    if (sysinfo(&info) != 0)
        return true;
    double available = (double(info.totalram) + double(info.totalswap)) * info.mem_unit;
    return double(n) * sizeof(std::string) <= available;
}

bool set_up_output_state(OutputState &state, const ClassTable &table, uint32_t delay)
{
    state = OutputState{};
    state.table = table;
    if (!history_fits(delay)) {
        errno = ENOMEM;
        return false;
    }
    try {
        state.history.resize(delay);
    } catch (const std::bad_alloc &) {
        state.history = {};
        errno = ENOMEM;
        return false;
    }
    return true;
}

void enter_wide_stream(OutputState &state)
{
    if (!state.wide_stream) {
        state.changed = true;
        state.wide_stream = true;
    }
}

void leave_wide_stream(OutputState &state)
{
    state.class_index = -1;
    state.wide_stream = false;
}

// Width of the full 4:3 frame in units of picture lines.
static float reference_width_of(int32_t height)
{
    return float(height * 1.3333333333333333);
}

// The heights over which class k stands once current. Two rows each side:
// a bar edge that flickers by a row or two with noise or a fade must not
// switch the television back and forth.
static void hold_range(const ClassTable &table, int k, int32_t height, double *lower, double *upper)
{
    double reference_width = reference_width_of(height);
    *lower = std::trunc(reference_width / table.entries[k].threshold) - 2;
    *upper = k > 0 ? std::trunc(reference_width / table.entries[k - 1].threshold) + 2 : double(height);
}

// The first class whose threshold is at least the ratio; the last usable
// entry holds FLT_MAX, so the search ends there at the latest.
static int search_class(const ClassTable &table, double picture_ratio)
{
    int index = 0;
    while (index < table.count - 1 && table.entries[index].threshold < picture_ratio)
        index++;
    return index;
}

void classify_measurement(OutputState &s, int32_t active_height, int32_t height, bool aspect)
{
    s.changed = true;
    if (s.class_index >= 0) {
        double lower, upper;
        hold_range(s.table, s.class_index, height, &lower, &upper);
        s.changed = active_height < lower || active_height > upper;
    }

    double picture_ratio = double(reference_width_of(height)) / active_height;

    if (aspect) {
        float ratio_number = float(std::floor(picture_ratio * 100));
        if (!s.changed && ratio_number != s.ratio_number)
            s.changed = true;
        s.ratio_number = ratio_number;
    }

    if (s.changed)
        s.class_index = search_class(s.table, picture_ratio);
}

int plain_class(const ClassTable &table, int32_t active_height, int32_t height)
{
    return search_class(table, double(reference_width_of(height)) / active_height);
}

ClassBounds class_bounds(const ClassTable &table, int k, int32_t height)
{
    ClassBounds b{INT_MAX, INT_MIN, INT_MAX, INT_MIN};
    if (k < 0 || k >= table.count || height < 1)
        return b;
    // The plain class falls as the height grows: one run of heights each.
    for (int a = 1; a <= height; a++)
        if (plain_class(table, a, height) == k) {
            b.plain_low = std::min(b.plain_low, a);
            b.plain_high = a;
        }
    double lower, upper;
    hold_range(table, k, height, &lower, &upper);
    b.hold_low = int(std::max(lower, 1.0));
    b.hold_high = int(std::min(upper, double(height)));
    return b;
}

static void print_line(FILE *out, const char *line)
{
    fputs(line, out);
    fputc('\n', out);
    fflush(out);
}

void output_step(OutputState &s, bool aspect, FILE *out)
{
    std::vector<std::string> &history = s.history;

    if (s.wide_stream) {
        if (s.changed)
            print_line(out, "16:9");
        if (!history.empty())
            history[0].clear();
        s.print_due = true;
        return;
    }
    if (s.class_index == -1)
        return;

    if (s.changed) {
        const char *word = s.table.entries[s.class_index].word;
        char line[64];
        if (aspect)
            snprintf(line, sizeof line, "%.0f %s", double(s.ratio_number), word);
        else
            snprintf(line, sizeof line, "%s", word);
        s.output_line = line;
    }

    size_t agreeing;
    if (!history.empty() && !history[0].empty()) {
        agreeing = 0;
        while (agreeing < history.size() && history[agreeing] == s.output_line)
            agreeing++;
    } else {
        s.print_due = true;
        for (std::string &entry : history)
            entry = s.output_line;
        agreeing = history.size();
    }

    if (agreeing == history.size()) {
        if (s.print_due) {
            print_line(out, s.output_line.c_str());
            s.print_due = false;
        }
    } else {
        s.print_due = true;
    }

    if (!history.empty()) {
        std::rotate(history.rbegin(), history.rbegin() + 1, history.rend());
        history[0] = s.output_line;
    }
}
