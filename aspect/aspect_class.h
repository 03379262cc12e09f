// Aspect classes of the measured picture and the stabilised output lines.
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
    int class_index = -1; // entry of class_table, -1: no class
    bool wide_stream = false;
    bool changed = false;   // cleared by the poll loop at the start of each poll
    float ratio_number = 0; // the last one, a whole number
    std::string output_line;
    std::vector<std::string> history; // delay entries, index 0 the newest
    bool print_due = true;
};

extern ClassTable class_table;
extern OutputState output_state;

void set_up_class_table(bool over_16_9_output);
// False when the history of delay entries cannot be allocated (errno is
// then ENOMEM); the output state is then left without a history.
bool set_up_output_state(uint32_t delay);
void enter_wide_stream();
void leave_wide_stream();
void classify_measurement(int32_t active_height, int32_t height, bool aspect);
// Prints the line that is due, if any, on out and flushes it at once.
void output_step(bool aspect, FILE *out = stdout);
