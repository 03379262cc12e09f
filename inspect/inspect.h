// aspect-inspect's types. One Run holds the settings, what was read and what
// was measured; main owns it and hands it to each step.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "aspect_class.h"
#include "aspect_poll.h"
#include "letterbox.h"

// Class numbers beside the class table's indexes 0 to 3.
const int wide_class = 4; // "16:9", a wide stream
const int no_class = 5;   // no measurement; above every class when tuning

// More polls than a day of recording at 12.5 a second is a scenario's
// times= gone wrong, not a recording.
const long long most_polls = 2000000;

// Logo widths tried when tuning.
const int logo_count = 16;

struct Settings {
    LetterboxSettings letterbox;
    uint32_t delay = 25;
    bool aspect = false;
    bool over_16_9_output = false;
    bool frontend_lock_test = false;
    bool band_given = false; // -b, -t, -l, -s or --robust given
    std::string delay_text;  // -e as given, for the tuned command line
    const char *plot = nullptr;
    const char *labels = nullptr;
    bool tune = false;
    std::vector<const char *> inputs; // "-" when none is given
};

// One poll: one row of the table.
struct Poll {
    bool wide = false;
    bool grabbed = false; // a frame was grabbed and measured
    std::optional<Measurement> measurement;
    LetterboxTrace trace; // what the measurement looked at, when grabbed
    int class_index = -1; // of this frame's measurement alone; -1: none
    int truth = -1;       // labelled class; -1: no label
    std::string printed;  // what the detector prints at this poll
    // The grey levels of the first row searched, its darkest and brightest
    // 2% left out: what the band has to hold for a bar to be found.
    uint8_t row_low = 0, row_high = 0;
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

// Plain class of every active height 1 to H, each class's plain bounds and
// the heights over which it holds once it is current (its hysteresis bounds).
struct Classes {
    std::vector<int8_t> plain;
    int plain_low[4] = {}, plain_high[4] = {};
    int hold_low[4] = {}, hold_high[4] = {};
};

// Why labelled frames came out wrong.
enum class Miss {
    wide_poll,     // a wide stream where the label says otherwise
    narrow_poll,   // labelled 16:9, but the decoder reported no wide stream
    not_grabbed,   // nothing grabbed (no lock with -f)
    top_to_middle, // a bar search ran to the middle: no measurement
    bottom_to_middle,
    no_measurement, // no measurement, and no trace of why
    bars,           // measured, with bars of another class
};

// A run of labelled frames that came out wrong alike.
struct WrongRun {
    long long first, last;
    int truth, got; // got: the class scored; -1: none
    Miss miss;
    bool measured;
    int top_side, bottom_side; // Miss::bars: -1 short, 0 fits, 1 tall for the label
    int top_low, top_high, bottom_low, bottom_high;
    bool top_missed, bottom_missed; // every frame: no bar row beyond the overscan
};

// The labelled frames scored, and runs of the wrong ones.
struct Score {
    long long labelled = 0, right = 0;
    std::vector<WrongRun> wrong;
};

// One pass of the detector's code over the frames with one set of settings:
// its output state, what it prints, the class printed last and its score.
struct Replay {
    PollSettings settings;
    OutputState state;
    Caught caught;
    int held = -1; // the class printed last; -1: none yet
    Score score;
    LetterboxTrace trace; // of the buffer version measured last
    long long traced = -1;
};

// The settings of one overscan and one kind of band, tried with every band
// value and every logo width: the measurement grows monotonically with both.
struct TuneGrid {
    int overscan_percent;
    bool black; // band values are -b levels, else -t tolerances
    std::vector<int> bands;
    std::vector<long long> score; // bands x logo widths
    std::vector<int8_t> seen;     // this frame's class per cell; -1: not measured yet
    std::vector<int8_t> held;     // per cell: the class the labelled frames measured last
};

// The score of every setting tried, and what the frame last tuned gave.
struct Tuning {
    std::vector<TuneGrid> grids;
    float logo_fractions[logo_count] = {};
    long long constant = 0;                 // labelled wide polls: right under every setting
    long long version = -1;                 // of the buffer last tuned
    int truth = -1;                         // its label
    std::vector<std::vector<int8_t>> right; // per grid: the cells that got it right
};

// Synthetic frames, one a class of the table that can be drawn at the frame
// size, for checking that a setting keeps every class reachable.
struct Reach {
    int width = 0, height = 0;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<int> classes; // of each frame
};

// The settings advised, as options and as a measurement's settings.
struct Advice {
    std::string options; // "-b 0 -t 8 -l 20 -s 3"
    LetterboxSettings letterbox;
    size_t tried = 0;
};

struct Run {
    Settings settings;
    std::vector<Poll> polls;
    std::vector<Label> labels;
    size_t next_label = 0; // the first label that may still cover a frame to come
    Buffer buffer;
    Replay given;               // the settings asked for: the table, the plot
    std::vector<Replay> others; // the second pass of --tune: the advice, the defaults
    size_t replayed = 0;        // polls of the second pass so far
    FILE *spool = nullptr;      // standard input kept for the second pass
    Classes classes;
    Tuning tuning;
    Advice advice;
};
