// Aspect classes of the measured picture and the stabilised output lines.
// The caller owns the state: one OutputState per detector run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct ClassEntry {
    float threshold; // largest picture ratio of the class
    const char *word;
};

struct ClassTable {
    ClassEntry entries[4];
    int count;
};

struct OutputState {
    ClassTable table{};
    int class_index = -1; // entry of table, -1: no class
    bool wide_stream = false;
    bool changed = false;   // cleared by the poll step at the start of each poll
    float ratio_number = 0; // the last one, a whole number
    std::string output_line;
    std::vector<std::string> history; // delay entries, index 0 the newest
    bool print_due = true;
};

// The active heights 1 to H for which a class is chosen afresh (plain) and
// over which it stands once it is current (hold); low > high: none.
struct ClassBounds {
    int plain_low, plain_high;
    int hold_low, hold_high;
};

ClassTable set_up_class_table(bool over_16_9_output);
// False when the history of delay entries cannot be allocated (errno is
// then ENOMEM); the state is then left without a history.
bool set_up_output_state(OutputState &state, const ClassTable &table, uint32_t delay);
void enter_wide_stream(OutputState &state);
void leave_wide_stream(OutputState &state);
void classify_measurement(OutputState &state, int32_t active_height, int32_t height, bool aspect);
// Prints the line that is due, if any, on out and flushes it at once.
void output_step(OutputState &state, bool aspect, FILE *out = stdout);

// The class a measurement of active_height gets without hysteresis.
int plain_class(const ClassTable &table, int32_t active_height, int32_t height);
ClassBounds class_bounds(const ClassTable &table, int k, int32_t height);
