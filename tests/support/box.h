// A simulated box for device tests: a temporary folder with a scenario, a
// program run in it under devsim with a trace, and that trace read back.
//
//   Box box("still-show", "clock virtual\ndecoder /dev/dvb/adapter0/video0\n");
//   box.file("picture.mpg", bytes);                  // files the program or scenario needs
//   RunResult r = box.run("still-show", {"picture.mpg"});
//   EXPECT_EQ(box.trace(), "0.000000 open /dev/dvb/adapter0/video0 O_RDWR|O_NONBLOCK -> fd\n...");
//   EXPECT_EQ(box.calls({.times = false})[0], "open /dev/dvb/adapter0/video0 O_RDWR|O_NONBLOCK -> fd");
//
// Every run starts from an empty trace. The trace is always read through
// normalise_trace, so its conventions are made in one place.
#pragma once

#include <string>
#include <vector>

#include "run.h"

struct TraceView {
    bool times = true;  // keep each line's time stamp
    bool sleeps = true; // keep the sleep calls
};

// One line per trace line. Descriptor numbers of successful opens read "fd":
// they depend on what the test runner leaves open. A line that does not start
// with a time stamp is program output written into the trace (run_merged) and
// is kept as it is behind "> ".
std::vector<std::string> trace_lines(const std::string &text, TraceView view = {});
// The same lines as text, each ending in a newline.
std::string normalise_trace(const std::string &text, TraceView view = {});

// A binary PGM frame: a picture that ramps from black to white across every
// row, between black bars of `top` and `bottom` rows.
std::string ramp_frame(int width, int height, int top = 0, int bottom = 0);

struct Box {
    TempDir tmp;
    std::string dir = tmp.path;
    std::string scenario_path = dir + "/box.scn";
    std::string trace_path = dir + "/trace";

    // Writes the scenario (empty: a box without devices); scenario() replaces it.
    explicit Box(const std::string &tag, const std::string &scenario_text = "");

    std::string path(const std::string &name) const { return dir + "/" + name; }
    void file(const std::string &name, const std::string &bytes) const { write_file(path(name), bytes); }
    // The file's bytes, or "" where there is none.
    std::string read(const std::string &name) const;
    void scenario(const std::string &text) const { write_file(scenario_path, text); }

    // devsim's command line for program (a name without '/' is a built
    // program) with args.
    std::vector<std::string> argv(const std::string &program, const std::vector<std::string> &args = {}) const;
    // Runs program under devsim in the box's folder (unless opt.cwd says otherwise).
    RunResult run(const std::string &program, const std::vector<std::string> &args = {}, RunOptions opt = {}) const;
    // As run, with the program's standard output appended to the trace as well,
    // so that each printed line stands among the calls made before it.
    RunResult run_merged(const std::string &program, const std::vector<std::string> &args = {}) const;

    // The trace of the last run ("" when there is none).
    std::string trace(TraceView view = {}) const { return normalise_trace(read("trace"), view); }
    // The same, one entry per line.
    std::vector<std::string> calls(TraceView view = {}) const { return trace_lines(read("trace"), view); }
};
