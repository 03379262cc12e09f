// One poll through the detector's own code: the measurement, the
// classification and the output step, without its devices.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "aspect_poll.h"
#include "extern.h"

// The plain class of each height, and each class's bounds.
void learn_classes(Run &run)
{
    Classes &classes = run.classes;
    const ClassTable &table = run.given.state.table;
    int height = run.buffer.height;
    classes.plain.assign(size_t(height) + 1, -1);
    for (int a = 1; a <= height; a++)
        classes.plain[a] = int8_t(plain_class(table, a, height));
    for (int k = 0; k < 4; k++) {
        ClassBounds b = class_bounds(table, k, height);
        classes.plain_low[k] = b.plain_low;
        classes.plain_high[k] = b.plain_high;
        classes.hold_low[k] = b.hold_low;
        classes.hold_high[k] = b.hold_high;
    }
}

// The detector's state for one pass with the run's output options.
void start_replay(const Run &run, Replay &r, const LetterboxSettings &letterbox)
{
    const Settings &s = run.settings;
    r.settings = PollSettings{letterbox, s.aspect, s.frontend_lock_test};
    if (!set_up_output_state(r.state, set_up_class_table(s.over_16_9_output), s.delay))
        fail(1, "can't hold the history of a delay of %u polls (%s)", s.delay, strerror(errno));
    r.caught.stream = open_memstream(&r.caught.text, &r.caught.size);
    if (!r.caught.stream)
        fail(1, "can't set up the output buffer (%s)", strerror(errno));
}

static void end_replay(Replay &r)
{
    fclose(r.caught.stream);
    free(r.caught.text);
}

// Gives back what the passes held, once nothing more is read; a leak
// checker sees the streams as lost once main has returned.
void end_run(Run &run)
{
    end_replay(run.given);
    for (Replay &r : run.others)
        end_replay(r);
    if (run.spool)
        fclose(run.spool);
}

// The levels of the first row searched, 2% cut off at each end.
static void row_spread(const Buffer &buffer, const LetterboxTrace &t, Poll &p)
{
    if (t.first_row < 0 || t.end_column <= t.first_column)
        return;
    unsigned counts[256] = {};
    const uint8_t *row = buffer.pixels.data() + size_t(t.first_row) * size_t(buffer.width);
    for (int x = t.first_column; x < t.end_column; x++)
        counts[row[x]]++;
    unsigned cut = unsigned(t.end_column - t.first_column) / 50, seen = 0;
    int low = 0, high = 255;
    while (low < 255 && (seen += counts[low]) <= cut)
        low++;
    seen = 0;
    while (high > 0 && (seen += counts[high]) <= cut)
        high--;
    p.row_low = uint8_t(low);
    p.row_high = uint8_t(high);
}

// One poll of a pass: the recorded poll through the detector's own poll
// step; without lock the detector with -f asks the decoder nothing and grabs
// nothing. The measurement's trace comes from measuring once more, once a
// buffer.
static Poll step(Run &run, Replay &r, bool wide, bool lock)
{
    const Buffer &buffer = run.buffer;
    Poll p;
    PollRecord seen;
    seen.locked = lock || !r.settings.frontend_lock_test;
    seen.format = wide ? format_16_9 : format_4_3;
    if (!wide && seen.locked) {
        seen.frame = buffer.pixels.data();
        seen.width = buffer.width;
        seen.height = buffer.height;
    }
    Caught &caught = r.caught;
    poll_step(nullptr, r.settings, &r.state, seen, caught.stream);
    p.printed.assign(caught.text + caught.used, caught.size - caught.used);
    caught.used = caught.size;
    if (!p.printed.empty() && p.printed.back() == '\n')
        p.printed.pop_back();
    if (!p.printed.empty())
        r.held = class_of_line(p.printed);

    p.wide = wide && seen.locked;
    p.grabbed = seen.frame != nullptr;
    p.measurement = seen.measurement;
    p.class_index = p.wide ? wide_class : p.measurement ? run.classes.plain[p.measurement->active_height] : -1;
    // The robust measurement keeps its own counsel: no trace of it.
    if (p.grabbed && !r.settings.letterbox.robust) {
        if (r.traced != buffer.version) {
            measure_letterbox_traced(buffer.pixels.data(), buffer.width, buffer.height, r.settings.letterbox, r.trace);
            r.traced = buffer.version;
        }
        p.trace = r.trace;
    }
    return p;
}

void take_poll(Run &run, bool wide, bool lock)
{
    if (!run.others.empty()) {
        // The second pass: the frames are those of the first, in order.
        if (run.replayed >= run.polls.size())
            fail(1, "the input changed between the two passes of --tune");
        int truth = run.polls[run.replayed++].truth;
        for (Replay &r : run.others) {
            Poll p = step(run, r, wide, lock);
            p.truth = truth;
            score_poll(run, r.score, (long long)run.replayed, p, r.held);
        }
        return;
    }
    if ((long long)run.polls.size() >= most_polls)
        fail(1, "more than %lld polls; cut the recording or its times= counts", most_polls);
    Poll p = step(run, run.given, wide, lock);
    p.truth = truth_of(run, (long long)run.polls.size() + 1);
    if (run.settings.plot && p.grabbed)
        row_spread(run.buffer, p.trace, p);
    if (run.settings.labels)
        score_poll(run, run.given.score, (long long)run.polls.size() + 1, p, run.given.held);
    if (run.settings.tune)
        tune_poll(run, p);
    run.polls.push_back(std::move(p));
}
