#include "xrecorder.h"

#include <X11/extensions/XTest.h>

#include <cstdio>

void XKeysTest::SetUp()
{
    display_name = read_file(KEYS_XVFB_STATE "/xvfb.display");
    ASSERT_FALSE(display_name.empty()) << "the Xvfb fixture did not start";
    dpy = XOpenDisplay(display_name.c_str());
    ASSERT_NE(dpy, nullptr) << "cannot open " << display_name;
    root = DefaultRootWindow(dpy);
    // A key held across two runs of a program must not start repeating.
    XAutoRepeatOff(dpy);
    win = make_window(true);
    ASSERT_NE(win, 0u);
    recorded();
}

void XKeysTest::TearDown()
{
    if (!dpy)
        return;
    std::vector<unsigned> held = held_keys();
    std::string list;
    for (unsigned k : held) {
        list += " " + std::to_string(k);
        // Release it so the next test starts clean.
        XTestFakeKeyEvent(dpy, k, False, CurrentTime);
    }
    XSync(dpy, True);
    EXPECT_TRUE(held.empty()) << "keys still held:" << list;
    XCloseDisplay(dpy);
    dpy = nullptr;
}

Window XKeysTest::make_window(bool focus)
{
    Window w = XCreateSimpleWindow(dpy, root, 0, 0, 200, 100, 0, 0, 0);
    XSelectInput(dpy, w, KeyPressMask | KeyReleaseMask);
    XMapWindow(dpy, w);
    // No window manager: the map takes effect at once, but bound the wait anyway.
    XWindowAttributes attr{};
    for (int i = 0; i < 1000 && attr.map_state != IsViewable; i++)
        XGetWindowAttributes(dpy, w, &attr);
    if (attr.map_state != IsViewable) {
        ADD_FAILURE() << "window never became viewable";
        return 0;
    }
    if (focus) {
        XSetInputFocus(dpy, w, RevertToPointerRoot, CurrentTime);
        Window got;
        int revert;
        XGetInputFocus(dpy, &got, &revert);
        EXPECT_EQ(got, w) << "focus not taken";
    }
    XSync(dpy, False);
    return w;
}

void XKeysTest::record_root()
{
    XSelectInput(dpy, root, KeyPressMask);
    XSync(dpy, False);
}

std::vector<KeyRecord> XKeysTest::recorded()
{
    // The programs sync before they end, so a round trip brings in all they caused.
    XSync(dpy, False);
    std::vector<KeyRecord> records;
    while (XPending(dpy) > 0) {
        XEvent e;
        XNextEvent(dpy, &e);
        if (e.type != KeyPress && e.type != KeyRelease)
            continue;
        XKeyEvent &k = e.xkey;
        records.push_back({k.type, k.keycode, XLookupKeysym(&k, 0), k.state, k.send_event != 0, k.window, k.x, k.y,
                           k.x_root, k.y_root, k.same_screen != 0});
    }
    return records;
}

std::vector<unsigned> XKeysTest::held_keys()
{
    char keys[32];
    XQueryKeymap(dpy, keys);
    std::vector<unsigned> held;
    for (unsigned k = 0; k < 256; k++)
        if (keys[k / 8] & (1 << (k % 8)))
            held.push_back(k);
    return held;
}

unsigned XKeysTest::keycode_of(const char *keysym_name)
{
    return XKeysymToKeycode(dpy, XStringToKeysym(keysym_name));
}

RunResult XKeysTest::run(const std::string &program, const std::vector<std::string> &args, std::vector<std::string> env)
{
    std::vector<std::string> argv{bin_path(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    if (env.empty())
        env.push_back("DISPLAY=" + display_name);
    RunOptions opt;
    opt.env = env;
    return run_program(argv, opt);
}

std::vector<std::string> strokes(const std::vector<KeyRecord> &records)
{
    std::vector<std::string> out;
    for (const KeyRecord &r : records) {
        const char *name = XKeysymToString(r.keysym);
        char line[128];
        snprintf(line, sizeof line, "%s %s 0x%x", r.type == KeyPress ? "press" : "release",
                 name ? name : ("keycode " + std::to_string(r.keycode)).c_str(), r.state);
        out.push_back(line);
    }
    return out;
}
