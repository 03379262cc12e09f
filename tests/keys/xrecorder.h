// A recorder client on the shared Xvfb: one focused window per test, the key
// events it receives, and a check that no key is left held.
#pragma once

// gtest first: X.h defines None, Bool and the like as macros.
#include <gtest/gtest.h>
#include <X11/Xlib.h>

#include <string>
#include <vector>

#include "run.h"

struct KeyRecord {
    int type;
    unsigned keycode;
    KeySym keysym;
    unsigned state;
    bool send_event;
    Window window;
    int x, y, x_root, y_root;
    bool same_screen;
};

class XKeysTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A mapped, viewable window that records key events; with focus, it gets the input focus.
    Window make_window(bool focus);
    // Also record KeyPress events selected on the root window.
    void record_root();
    // The key events received since the last call.
    std::vector<KeyRecord> recorded();
    // Keycodes the server holds down.
    std::vector<unsigned> held_keys();
    unsigned keycode_of(const char *keysym_name);

    RunResult run(const std::string &program, const std::vector<std::string> &args, std::vector<std::string> env = {});

    Display *dpy = nullptr;
    Window win = 0;
    Window root = 0;
    std::string display_name;
};

// "press Control_L 0x4": type, level-0 keysym name and state of each record.
std::vector<std::string> strokes(const std::vector<KeyRecord> &records);

// A display that no server answers.
inline const char *dead_display = ":59999";
