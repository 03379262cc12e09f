// aspect-inspect's functions, by the file that holds them.
#pragma once

#include <string>

#include "inspect.h"

// aspect-inspect.cpp: the command line.
extern const char *const progname;
void fail(int status, const char *format, ...) __attribute__((format(printf, 2, 3), noreturn));
bool ends_with(const char *s, const char *tail);
bool read_percent(const char *word, float *fraction);

// input.cpp: PGM files and streams, devsim scenarios and recording folders.
void read_inputs(Run &run);

// replay.cpp: one poll through the detector's code.
void learn_classes(Run &run);
void start_replay(const Run &run, Replay &r, const LetterboxSettings &letterbox);
void take_poll(Run &run, bool wide, bool lock = true);
void end_run(Run &run);

// labels.cpp: class words and labels.
int class_of_word(const std::string &word);
int class_of_line(const std::string &line);
const char *word_of_class(int k);
void read_labels(Run &run, const char *path);
int truth_of(Run &run, long long frame);
void check_labels(const Run &run);

// score.cpp: the score against the labels and the frames it gets wrong.
void score_poll(const Run &run, Score &score, long long frame, const Poll &p, int held);
void report_wrong(const Run &run, const Score &score);
void report_labels(const Run &run);

// tune.cpp: the search for better settings.
void set_up_tuning(Tuning &tuning);
void tune_poll(Run &run, const Poll &p);
void find_advice(Run &run);
std::string tune_report(const Run &run);
void report_advice(const Run &run);

// reach.cpp: whether a setting keeps every class reachable.
Reach make_reach(const Run &run);
bool keeps_classes(const Reach &reach, const Classes &classes, const LetterboxSettings &s);

// table.cpp: the CSV table.
std::string settings_text(const LetterboxSettings &s);
std::string table_text(const Run &run);

// plot.cpp: the drawing.
void draw_plot(const Run &run, const char *path);
