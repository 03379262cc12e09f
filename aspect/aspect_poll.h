// One poll of the detector, shared by the programs that poll the devices
// (aspect-detect, aspect-record) and the one that replays what was recorded
// (aspect-inspect), so that all three see a poll alike.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "aspect_class.h"
#include "aspect_devices.h"
#include "letterbox.h"

// What the poll step reads of the detector's settings.
struct PollSettings {
    LetterboxSettings letterbox; // black, pan_tone_tolerance, logo_width, overscan
    bool aspect = false;
    bool frontend_lock_test = false;
};

// One poll as it happened. The device half fills the first fields; a replay
// fills them from the recording before it calls the step.
struct PollRecord {
    bool locked = true;             // the frontend reported lock (always, without the test)
    int format = 0;                 // the decoder's video_format; kept from before when not asked
    const uint8_t *frame = nullptr; // the grey frame grabbed in this poll; null: none
    int32_t width = 0, height = 0;
    std::optional<Measurement> measurement;
};

// One poll. With devices, asks them in the detector's order (the frontend's
// lock with the lock test, the decoder's format, a grab unless the stream is
// wide) into poll; without, poll is the recorded one. With state, judges it
// (wide stream, measurement, class) and runs the output step on out. False
// when a device request failed (reported on standard error): the poll ends
// there, without an output step.
bool poll_step(Devices *devices, const PollSettings &settings, OutputState *state, PollRecord &poll,
               FILE *out = stdout);
