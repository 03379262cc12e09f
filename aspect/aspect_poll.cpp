#include "aspect_poll.h"

// Lock, format and grab, in the detector's order; false on a device error.
static bool ask_devices(Devices &d, bool frontend_lock_test, PollRecord &poll)
{
    poll.frame = nullptr;
    poll.locked = true;
    if (frontend_lock_test && !read_frontend_lock(d, &poll.locked))
        return false;
    // Without lock the decoder is not asked: the last format stands.
    if (!poll.locked)
        return true;
    // Without a decoder every poll grabs, as for a 4:3 stream.
    if (d.decoder_path.empty())
        poll.format = format_4_3;
    else if (!read_stream_format(d, &poll.format))
        return false;
    if (is_wide_format(poll.format))
        return true;
    if (!grab_frame(d))
        return false;
    poll.frame = grabbed_frame(d);
    poll.width = d.request.width;
    poll.height = d.request.height;
    return true;
}

static void judge(const PollSettings &settings, OutputState &state, PollRecord &poll, FILE *out)
{
    state.changed = false;
    poll.measurement.reset();
    if (poll.locked && is_wide_format(poll.format)) {
        enter_wide_stream(state);
    } else if (poll.frame) {
        if (state.wide_stream)
            leave_wide_stream(state);
        poll.measurement = measure_letterbox(poll.frame, poll.width, poll.height, settings.letterbox);
        if (poll.measurement)
            classify_measurement(state, poll.measurement->active_height, poll.height, settings.aspect);
    }
    output_step(state, settings.aspect, out);
}

bool poll_step(Devices *devices, const PollSettings &settings, OutputState *state, PollRecord &poll, FILE *out)
{
    if (devices && !ask_devices(*devices, settings.frontend_lock_test, poll))
        return false;
    if (state)
        judge(settings, *state, poll, out);
    return true;
}
