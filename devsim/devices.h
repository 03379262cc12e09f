// The device models: what each request and write on a simulated device does,
// and its trace line. devices.cpp holds the requests of the decoder,
// frontend, V4L1 capture device and mixer and the poll steps; the sliced-VBI
// output is in vbi.cpp, the V4L2 capture device in v4l2.h.
#pragma once

#include "preload.h"

#include <string>

// What one request did, for its trace line: the arguments the program gave,
// its error (0: success) and what the device answered.
struct RequestOutcome {
    std::string args_text;
    int err = 0;
    std::string reply_text;
};

// printf into a std::string, for the texts of a trace line.
std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));

int device_ioctl(OpenDev &od, unsigned long req, void *arg);

// Moves to the next poll step; false when the steps are used up.
bool begin_poll();
// The step of the current poll (the first before any); nullptr without steps.
const PollStep *current_step();
// Whether the steps are used up: the devices fail from then on.
bool polls_used_up();
// Loads a step's frame into sim->frame; false when its file has gone.
bool load_frame(const PollStep &st);

// VIDIOC_S_FMT on the sliced-VBI output.
void set_vbi_format(OpenDev &od, void *arg, RequestOutcome &o);
// A write on the sliced-VBI output: one 64-byte record.
ssize_t vbi_write(OpenDev &od, const void *buf, size_t n);
