// aspect-inspect's functions, by the file that holds them.
#pragma once

#include <string>

#include "inspect.h"

// aspect-inspect.cpp: the command line.
extern const char *const progname;
void fail(int status, const char *format, ...) __attribute__((format(printf, 2, 3), noreturn));
bool ends_with(const char *s, const char *tail);
bool read_percent(const char *word, float *fraction);

// input.cpp: PGM files and streams, devsim scenarios.
void read_input(Run &run, const char *input);

// replay.cpp: one poll through the detector's code.
void learn_classes(Run &run);
void take_poll(Run &run, bool wide, bool lock = true);

// labels.cpp: class words, labels and the score against them.
int class_of_word(const std::string &word);
const char *word_of_class(int k);
void read_labels(Run &run, const char *path);
int truth_of(Run &run, long long frame);
void check_labels(const Run &run);
void report_labels(const Run &run);

// tune.cpp: the search for better settings.
void set_up_tuning(Tuning &tuning);
void tune_poll(Run &run, const Poll &p, bool grabbed);
std::string tune_report(const Run &run);

// table.cpp: the CSV table.
std::string settings_text(const LetterboxSettings &s);
std::string table_text(const Run &run);

// plot.cpp: the drawing.
void draw_plot(const Run &run, const char *path);
