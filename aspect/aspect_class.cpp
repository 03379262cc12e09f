#include "aspect_class.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <new>
#include <sys/sysinfo.h>

ClassTable class_table;
OutputState output_state;

void set_up_class_table(bool over_16_9_output)
{
    class_table = ClassTable{{{1.46f, "4:3"}, {1.66f, "L14:9"}, {1.90f, "L16:9"}, {FLT_MAX, "L>16:9"}}, 4};
    // Without L>16:9 output, L16:9 takes every ratio above 1.66.
    if (!over_16_9_output) {
        class_table.entries[2].threshold = class_table.entries[3].threshold;
        class_table.count = 3;
    }
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

bool set_up_output_state(uint32_t delay)
{
    output_state = OutputState{};
    if (!history_fits(delay)) {
        errno = ENOMEM;
        return false;
    }
    try {
        output_state.history.resize(delay);
    } catch (const std::bad_alloc &) {
        output_state.history = {};
        errno = ENOMEM;
        return false;
    }
    return true;
}

void enter_wide_stream()
{
    if (!output_state.wide_stream) {
        output_state.changed = true;
        output_state.wide_stream = true;
    }
}

void leave_wide_stream()
{
    output_state.class_index = -1;
    output_state.wide_stream = false;
}

void classify_measurement(int32_t active_height, int32_t height, bool aspect)
{
    OutputState &s = output_state;
    s.changed = true;
    // Width of the full 4:3 frame in units of picture lines.
    float reference_width = float(height * 1.3333333333333333);

    if (s.class_index >= 0) {
        int k = s.class_index;
        double lower = std::trunc(double(reference_width) / class_table.entries[k].threshold) - 2;
        double upper =
            k > 0 ? std::trunc(double(reference_width) / class_table.entries[k - 1].threshold) + 2 : double(height);
        s.changed = active_height < lower || active_height > upper;
    }

    double picture_ratio = double(reference_width) / active_height;

    if (aspect) {
        float ratio_number = float(std::floor(picture_ratio * 100));
        if (!s.changed && ratio_number != s.ratio_number)
            s.changed = true;
        s.ratio_number = ratio_number;
    }

    if (s.changed) {
        // The last usable entry holds FLT_MAX, so the search ends there at
        // the latest.
        int index = 0;
        while (index < class_table.count - 1 && class_table.entries[index].threshold < picture_ratio)
            index++;
        s.class_index = index;
    }
}

static void print_line(FILE *out, const char *line)
{
    fputs(line, out);
    fputc('\n', out);
    fflush(out);
}

void output_step(bool aspect, FILE *out)
{
    OutputState &s = output_state;
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
        const char *word = class_table.entries[s.class_index].word;
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
