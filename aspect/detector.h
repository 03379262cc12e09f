// aspect-detect's command line and run, in functions of their own so that the
// options fuzzer drives them as the program does.
#pragma once

#include <cstdint>
#include <string>

#include "aspect_poll.h"

struct DetectorSettings {
    std::string dev_video = "/dev/video0";
    std::string dev_dvb = "/dev/dvb/adapter0";
    PollSettings poll;       // the measurement's settings, -a and -f
    float poll_rate = 0.08f; // seconds
    uint32_t delay = 25;     // polls
    bool over_16_9_output = false;
    bool no_decoder = false; // a capture device alone: every poll grabs
};

// Parses the command line into settings, reporting bad options on standard
// error; false when -h has printed the usage and the program ends.
bool read_detector_options(int argc, char *argv[], DetectorSettings &settings);
// Opens the devices and polls until a device request fails; the status.
int run_detector(const DetectorSettings &settings, const char *progname);
