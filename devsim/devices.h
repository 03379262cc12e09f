// The device models: what each request and write on a simulated device does,
// and its trace line. devices.cpp holds the requests of every device but the
// sliced-VBI output, which is in vbi.cpp.
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

// VIDIOC_S_FMT on the sliced-VBI output.
void set_vbi_format(OpenDev &od, void *arg, RequestOutcome &o);
// A write on the sliced-VBI output: one 64-byte record.
ssize_t vbi_write(OpenDev &od, const void *buf, size_t n);
