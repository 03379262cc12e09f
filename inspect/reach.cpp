// Whether a setting keeps every class of the table reachable: synthetic
// frames at the labelled frames' size, a full picture and one letterboxed to
// each class's own ratio, must each measure as their class. A setting tuned
// on one kind of picture must not break the others: an overscan that
// swallows the 4:3 picture's edge, or a band so wide that a dark picture
// passes for bar.
#include "extern.h"

// The picture ratio each class is named after; wider than 16:9, the
// cinema's 2.35:1.
static const double class_ratios[4] = {4.0 / 3, 14.0 / 9, 16.0 / 9, 2.35};

// A picture that ramps from black to white across every row, between black
// bars of `bar` rows.
static std::vector<uint8_t> synthetic_frame(int width, int height, int bar)
{
    std::vector<uint8_t> frame(size_t(width) * size_t(height), 0);
    for (int y = bar; y < height - bar; y++)
        for (int x = 0; x < width; x++)
            frame[size_t(y) * size_t(width) + size_t(x)] = uint8_t(width > 1 ? x * 255 / (width - 1) : 128);
    return frame;
}

// The frames of the classes that can be drawn at this size: a class whose
// ratio gives an active height outside its own bounds is left out.
Reach make_reach(const Run &run)
{
    Reach reach;
    int width = run.buffer.width, height = run.buffer.height;
    reach.width = width;
    reach.height = height;
    for (int k = 0; k < run.given.state.table.count; k++) {
        int active = int(height * (4.0 / 3) / class_ratios[k] + 0.5);
        int bar = (height - active + 1) / 2;
        if (bar < 0 || height - 2 * bar < 1 || run.classes.plain[height - 2 * bar] != k)
            continue;
        reach.frames.push_back(synthetic_frame(width, height, bar));
        reach.classes.push_back(k);
    }
    return reach;
}

bool keeps_classes(const Reach &reach, const Classes &classes, const LetterboxSettings &s)
{
    for (size_t i = 0; i < reach.frames.size(); i++) {
        auto m = measure_letterbox(reach.frames[i].data(), reach.width, reach.height, s);
        if (!m || classes.plain[m->active_height] != reach.classes[i])
            return false;
    }
    return true;
}
