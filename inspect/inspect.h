// aspect-inspect's types. One Run holds the settings, what was read and what
// was measured; main owns it and hands it to each step.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "aspect_class.h"
#include "letterbox.h"

// Class numbers beside the class table's indexes 0 to 3.
const int wide_class = 4; // "16:9", a wide stream
const int no_class = 5;   // no measurement; above every class when tuning

// Logo widths tried when tuning.
const int logo_count = 16;

struct Settings {
    LetterboxSettings letterbox;
    uint32_t delay = 25;
    bool aspect = false;
    bool over_16_9_output = false;
    bool frontend_lock_test = false;
    bool band_given = false; // -b, -t, -l or -s given
    std::string delay_text;  // -e as given, for the tuned command line
    const char *plot = nullptr;
    const char *labels = nullptr;
    bool tune = false;
};

// One poll: one row of the table.
struct Poll {
    bool wide = false;
    std::optional<Measurement> measurement;
    int class_index = -1; // of this frame's measurement alone; -1: none
    int truth = -1;       // labelled class; -1: no label
    std::string printed;  // what the detector prints at this poll
};

struct Label {
    long long first, last;
    int class_index;
    int line;
};

// The capture buffer: what the capture device holds, as devsim keeps it.
struct Buffer {
    std::vector<uint8_t> pixels;
    int width = -1, height = -1; // -1 until the first frame
    long long version = 0;       // bumped whenever the buffer is refilled
};

// What the detector's output step prints is caught in this stream.
struct Caught {
    FILE *stream = nullptr;
    char *text = nullptr;
    size_t size = 0, used = 0;
};

// Plain class of every active height 1 to H, and the heights over which each
// class holds once it is current (its hysteresis bounds).
struct Classes {
    std::vector<int8_t> plain;
    int hold_low[4] = {}, hold_high[4] = {};
};

// The settings of one overscan and one kind of band, tried with every band
// value and every logo width: the measurement grows monotonically with both.
struct TuneGrid {
    int overscan_percent;
    bool black; // band values are -b levels, else -t tolerances
    std::vector<int> bands;
    std::vector<long long> score; // bands x logo widths
    std::vector<int8_t> seen;     // this frame's class per cell; -1: not measured yet
};

// The score of every setting tried, and what the frame last tuned gave.
struct Tuning {
    std::vector<TuneGrid> grids;
    float logo_fractions[logo_count] = {};
    long long constant = 0; // labelled wide polls: right under every setting
    long long labelled = 0, defaults_score = 0;
    long long version = -1; // of the buffer last tuned
    int truth = -1;         // its label
    bool defaults_right = false;
    std::vector<std::vector<int8_t>> right; // per grid: the cells that got it right
};

struct Run {
    Settings settings;
    std::vector<Poll> polls;
    std::vector<Label> labels;
    size_t next_label = 0; // the first label that may still cover a frame to come
    Buffer buffer;
    Caught caught;
    OutputState state; // the detector's, as its output step leaves it
    Classes classes;
    Tuning tuning;
};
