// One poll through the detector's own code: the measurement, the
// classification and the output step, without its devices.
#include "aspect_poll.h"
#include "extern.h"

// More polls than a day of recording at 12.5 a second is a scenario's
// times= gone wrong, not a recording.
static const long long most_polls = 2000000;

// The plain class of each height, and each class's hysteresis bounds.
void learn_classes(Run &run)
{
    Classes &classes = run.classes;
    const ClassTable &table = run.state.table;
    int height = run.buffer.height;
    classes.plain.assign(size_t(height) + 1, -1);
    for (int a = 1; a <= height; a++)
        classes.plain[a] = int8_t(plain_class(table, a, height));
    for (int k = 0; k < 4; k++) {
        ClassBounds b = class_bounds(table, k, height);
        classes.hold_low[k] = b.hold_low;
        classes.hold_high[k] = b.hold_high;
    }
}

void take_poll(Run &run, bool wide, bool lock)
{
    const Settings &settings = run.settings;
    const Buffer &buffer = run.buffer;
    if ((long long)run.polls.size() >= most_polls)
        fail(1, "more than %lld polls; cut the recording or its times= counts", most_polls);
    Poll p;
    p.truth = truth_of(run, (long long)run.polls.size() + 1);

    // The recorded poll, through the detector's own poll step: without lock
    // the detector with -f asks the decoder nothing and grabs nothing.
    PollRecord seen;
    seen.locked = lock || !settings.frontend_lock_test;
    seen.format = wide ? format_16_9 : format_4_3;
    if (!wide && seen.locked) {
        seen.frame = buffer.pixels.data();
        seen.width = buffer.width;
        seen.height = buffer.height;
    }
    PollSettings asked{settings.letterbox, settings.aspect, settings.frontend_lock_test};
    Caught &caught = run.caught;
    poll_step(nullptr, asked, &run.state, seen, caught.stream);
    p.printed.assign(caught.text + caught.used, caught.size - caught.used);
    caught.used = caught.size;
    if (!p.printed.empty() && p.printed.back() == '\n')
        p.printed.pop_back();

    p.wide = wide && seen.locked;
    p.measurement = seen.measurement;
    p.class_index = p.wide ? wide_class : p.measurement ? run.classes.plain[p.measurement->active_height] : -1;
    if (settings.tune && p.truth >= 0)
        tune_poll(run, p, seen.frame != nullptr);
    run.polls.push_back(std::move(p));
}
