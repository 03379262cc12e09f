// The score against the labels: the class a labelled frame is scored by, and
// runs of the frames that came out wrong, each with why.
#include <algorithm>
#include <cstdio>

#include "extern.h"

// Bar heights that, on both sides, give an active height of class k.
static bool bar_range(const Run &run, int k, int *low, int *high)
{
    if (k < 0 || k > 3 || run.classes.plain_low[k] > run.classes.plain_high[k])
        return false;
    int height = run.buffer.height;
    *low = (height - run.classes.plain_high[k] + 1) / 2;
    *high = (height - run.classes.plain_low[k]) / 2;
    return true;
}

static int side_of(int bar, int low, int high)
{
    return bar < low ? -1 : bar > high ? 1 : 0;
}

static Miss miss_of(const Poll &p)
{
    if (p.wide)
        return Miss::wide_poll;
    if (p.truth == wide_class)
        return Miss::narrow_poll;
    if (!p.grabbed)
        return Miss::not_grabbed;
    if (p.measurement)
        return Miss::bars;
    if (p.trace.bottom_bar >= 0)
        return Miss::bottom_to_middle;
    return p.trace.top_bar >= 0 ? Miss::top_to_middle : Miss::no_measurement;
}

// A labelled poll scored: by the class of a wide stream, of the frame's
// measurement, or without one the class the detector holds (printed last).
void score_poll(const Run &run, Score &score, long long frame, const Poll &p, int held)
{
    if (p.truth < 0)
        return;
    score.labelled++;
    int got = p.wide ? wide_class : p.measurement ? p.class_index : held;
    if (got == p.truth) {
        score.right++;
        return;
    }
    WrongRun w{frame, frame, p.truth, got, miss_of(p), p.measurement.has_value(), 0, 0, 0, 0, 0, 0, false, false};
    if (p.measurement) {
        const Measurement &m = *p.measurement;
        int low, high;
        if (bar_range(run, p.truth, &low, &high)) {
            w.top_side = side_of(m.top_bar, low, high);
            w.bottom_side = side_of(m.bottom_bar, low, high);
        }
        w.top_low = w.top_high = m.top_bar;
        w.bottom_low = w.bottom_high = m.bottom_bar;
        w.top_missed = m.top_bar == p.trace.first_row;
        w.bottom_missed = m.bottom_bar == p.trace.first_row;
    }
    if (!score.wrong.empty()) {
        WrongRun &last = score.wrong.back();
        if (last.last == frame - 1 && last.truth == w.truth && last.got == w.got && last.miss == w.miss
            && last.measured == w.measured && last.top_side == w.top_side && last.bottom_side == w.bottom_side) {
            last.last = frame;
            last.top_low = std::min(last.top_low, w.top_low);
            last.top_high = std::max(last.top_high, w.top_high);
            last.bottom_low = std::min(last.bottom_low, w.bottom_low);
            last.bottom_high = std::max(last.bottom_high, w.bottom_high);
            last.top_missed = last.top_missed && w.top_missed;
            last.bottom_missed = last.bottom_missed && w.bottom_missed;
            return;
        }
    }
    score.wrong.push_back(w);
}

static std::string rows_text(int low, int high)
{
    return high > low ? std::to_string(low) + "-" + std::to_string(high) : std::to_string(low);
}

// What the label allows of a bar: a range, or one end for the first and the
// last class.
static std::string allowed_text(const Run &run, int k, int low, int high)
{
    if (low == 0)
        return "at most " + std::to_string(high) + " rows";
    if (run.classes.plain_low[k] <= 1)
        return "at least " + std::to_string(low) + " rows";
    return std::to_string(low) + " to " + std::to_string(high) + " rows";
}

// The bars measured, and which of them put the frames in another class.
static std::string bars_text(const Run &run, const WrongRun &w)
{
    std::string text =
        "top bar " + rows_text(w.top_low, w.top_high) + ", bottom bar " + rows_text(w.bottom_low, w.bottom_high);
    if (w.top_missed && w.bottom_missed)
        text += ", neither found beyond the overscan";
    else if (w.top_missed || w.bottom_missed)
        text += w.top_missed ? ", the top one not found beyond the overscan"
                             : ", the bottom one not found beyond the overscan";
    int low, high;
    const char *label = word_of_class(w.truth);
    if (!bar_range(run, w.truth, &low, &high))
        return text + ": " + label + " is no class of the table without -o";
    std::string allowed = " (" + allowed_text(run, w.truth, low, high) + ")";
    // The smaller bar counts for both: short bars make the picture too
    // tall, and a picture too short has both bars tall.
    if (w.top_side > 0 && w.bottom_side > 0)
        return text
               + (w.top_missed && w.bottom_missed ? ": the overscan alone is taller than "
                                                  : ": both bars are taller than ")
               + label + " allows" + allowed;
    const char *which = w.top_side < 0 && w.bottom_side < 0 ? "both bars are"
                        : w.top_side < 0                    ? "the top bar is"
                                                            : "the bottom bar is";
    return text + ": " + which + " shorter than " + label + " allows" + allowed;
}

static std::string why_text(const Run &run, const WrongRun &w)
{
    switch (w.miss) {
    case Miss::wide_poll:
        return "a wide stream, nothing measured";
    case Miss::narrow_poll:
        return "the decoder reported no wide stream";
    case Miss::not_grabbed:
        return "no lock: nothing grabbed with -f";
    case Miss::top_to_middle:
        return "the top bar search ran to the middle of the frame";
    case Miss::bottom_to_middle:
        return "the bottom bar search ran to the middle of the frame";
    case Miss::no_measurement:
        return "no measurement";
    case Miss::bars:
        break;
    }
    return bars_text(run, w);
}

// One line a run of wrong frames, on standard error.
void report_wrong(const Run &run, const Score &score)
{
    for (const WrongRun &w : score.wrong) {
        std::string got = w.miss == Miss::wide_poll || w.measured ? word_of_class(w.got)
                          : w.miss == Miss::not_grabbed           ? "nothing grabbed"
                                                                  : "no measurement";
        if (w.miss != Miss::wide_poll && !w.measured && w.got >= 0)
            got += std::string(", holding ") + word_of_class(w.got);
        std::string frames = std::to_string(w.first);
        if (w.last > w.first)
            frames += "-" + std::to_string(w.last);
        fprintf(stderr, "%s: %s %s: %s, labelled %s; %s\n", progname, w.last > w.first ? "frames" : "frame",
                frames.c_str(), got.c_str(), word_of_class(w.truth), why_text(run, w).c_str());
    }
}

// The share of labelled frames classified right, and runs of the others.
void report_labels(const Run &run)
{
    const Score &score = run.given.score;
    fprintf(stderr, "%s: %lld of %lld labelled frames classified right (%.1f%%)\n", progname, score.right,
            score.labelled, score.labelled ? 100.0 * score.right / score.labelled : 0.0);
    report_wrong(run, score);
}
