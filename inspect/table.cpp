// The CSV table on standard output, and the settings as option words.
#include <cstdio>

#include "extern.h"

std::string settings_text(const LetterboxSettings &s)
{
    char text[96];
    snprintf(text, sizeof text, "-b %x -t %x -l %g -s %g%s", s.black, unsigned(s.pan_tone_tolerance),
             double(s.logo_width) * 100, double(s.overscan) * 100, s.robust ? " --robust" : "");
    return text;
}

std::string table_text(const Run &run)
{
    bool labels = run.settings.labels;
    std::string out = "frame,top_bar,bottom_bar,active_height,class,printed";
    out += labels ? ",truth\n" : "\n";
    char row[160];
    for (size_t i = 0; i < run.polls.size(); i++) {
        const Poll &p = run.polls[i];
        if (p.measurement)
            snprintf(row, sizeof row, "%zu,%d,%d,%d,", i + 1, p.measurement->top_bar, p.measurement->bottom_bar,
                     p.measurement->active_height);
        else
            snprintf(row, sizeof row, "%zu,,,,", i + 1);
        out += row;
        out += word_of_class(p.class_index);
        out += ",";
        out += p.printed;
        if (labels) {
            out += ",";
            out += word_of_class(p.truth);
        }
        out += "\n";
    }
    return out;
}
