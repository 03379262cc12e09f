// One poll through the detector's own code: the measurement, the
// classification and the output step, without its devices.
#include <algorithm>
#include <climits>

#include "aspect_class.h"
#include "extern.h"

// More polls than a day of recording at 12.5 a second is a scenario's
// times= gone wrong, not a recording.
static const long long most_polls = 2000000;

// The plain class of each height, and each class's hysteresis bounds, asked
// of the classification itself on a scratch copy of its state.
void learn_classes(Run &run)
{
    Classes &classes = run.classes;
    int height = run.buffer.height;
    OutputState kept = output_state;
    classes.plain.assign(size_t(height) + 1, -1);
    for (int k = 0; k < 4; k++) {
        classes.hold_low[k] = INT_MAX;
        classes.hold_high[k] = INT_MIN;
    }
    for (int a = 1; a <= height; a++) {
        output_state.class_index = -1;
        classify_measurement(a, height, false);
        classes.plain[a] = int8_t(output_state.class_index);
        for (int k = 0; k < class_table.count; k++) {
            output_state.class_index = k;
            classify_measurement(a, height, false);
            if (output_state.class_index == k) {
                classes.hold_low[k] = std::min(classes.hold_low[k], a);
                classes.hold_high[k] = std::max(classes.hold_high[k], a);
            }
        }
    }
    output_state = kept;
}

// Runs the detector's output step into the caught stream, and returns the
// line it printed (without its newline), or "".
static std::string run_output_step(Run &run)
{
    Caught &caught = run.caught;
    output_step(run.settings.aspect, caught.stream);
    std::string line(caught.text + caught.used, caught.size - caught.used);
    caught.used = caught.size;
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

void take_poll(Run &run, bool wide, bool lock)
{
    const Settings &settings = run.settings;
    const Buffer &buffer = run.buffer;
    if ((long long)run.polls.size() >= most_polls)
        fail(1, "more than %lld polls; cut the recording or its times= counts", most_polls);
    Poll p;
    p.truth = truth_of(run, (long long)run.polls.size() + 1);
    // Without lock the detector with -f asks the decoder nothing and grabs nothing.
    bool locked = lock || !settings.frontend_lock_test;
    p.wide = wide && locked;
    bool grabbed = !wide && locked;

    // The poll loop of the detector, without its devices.
    output_state.changed = false;
    if (p.wide) {
        enter_wide_stream();
    } else if (grabbed) {
        if (output_state.wide_stream)
            leave_wide_stream();
        if (run.measured_version != buffer.version) {
            run.last_measurement =
                measure_letterbox(buffer.pixels.data(), buffer.width, buffer.height, settings.letterbox);
            run.measured_version = buffer.version;
        }
        p.measurement = run.last_measurement;
        if (p.measurement)
            classify_measurement(p.measurement->active_height, buffer.height, settings.aspect);
    }
    p.printed = run_output_step(run);

    p.class_index = p.wide ? wide_class : p.measurement ? run.classes.plain[p.measurement->active_height] : -1;
    if (settings.tune && p.truth >= 0)
        tune_poll(run, p, grabbed);
    run.polls.push_back(std::move(p));
}
