// keyshot: send a synthetic key stroke, optionally with modifiers, straight to
// one X window with XSendEvent.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keystroke.h"

static const char *progname;
static const char *displayname;
static Window window; // 0: the focus window; all ones: the root window
static Display *display;
static KeyStroke stroke; // the key argument

static int MyErrorHandler(Display *, XErrorEvent *)
{
    fprintf(stderr, "%s: XSendEvent(0x%lx) failed.\n", progname, window);
    return 1;
}

static void SendEvent(XEvent *event)
{
    // The syncs bracket the send so that an error is caught by our handler
    // and by no other.
    XSync(display, False);
    XSetErrorHandler(MyErrorHandler);
    XSendEvent(display, window, True, KeyPressMask, event);
    XSync(display, False);
    XSetErrorHandler(nullptr);
}

static void SendKeyPressedEvent(KeySym key, int mods)
{
    XEvent event;
    memset(&event, 0, sizeof event);
    XKeyEvent &ev = event.xkey;
    ev.type = KeyPress;
    ev.display = display;
    ev.window = window;
    ev.root = RootWindow(display, 0);
    ev.subwindow = None;
    ev.time = CurrentTime;
    ev.x = ev.y = 1;
    ev.x_root = ev.y_root = 1;
    ev.state = 0;
    ev.same_screen = True;

    // Modifiers are always pressed and released in this order, as their left-hand keys.
    static const struct {
        int mask;
        KeySym sym;
    } modifiers[] = {
        {ShiftMask, XK_Shift_L},
        {ControlMask, XK_Control_L},
        {Mod1Mask, XK_Alt_L},
    };

    // Each press carries the modifiers pressed before it, not its own bit.
    for (const auto &mod : modifiers) {
        if (mods & mod.mask) {
            ev.keycode = XKeysymToKeycode(display, mod.sym);
            SendEvent(&event);
            ev.state |= mod.mask;
        }
    }
    if (key != 0) {
        ev.keycode = XKeysymToKeycode(display, key);
        SendEvent(&event);
        ev.type = KeyRelease;
        SendEvent(&event);
    }
    ev.type = KeyRelease;
    // Each release carries its own bit.
    for (const auto &mod : modifiers) {
        if (mods & mod.mask) {
            ev.keycode = XKeysymToKeycode(display, mod.sym);
            SendEvent(&event);
            ev.state &= ~mod.mask;
        }
    }
}

[[noreturn]] static void usage()
{
    fprintf(stderr,
            "usage: %s [-window <id>|root]\n"
            "            [-count <count>]\n"
            "            [-display <name>] [Modifier+[Modifier+]]Key\n"
            "(looks up keysyms in <X11/keysymdef.h>)\n"
            "'Alt',   'Control',   'Shift' are replaced by\n"
            "'Alt_L', 'Control_L', 'Shift_L'...\n"
            "  example:\n"
            "     %s Control+Alt+Right\n",
            progname, progname);
    exit(1);
}

int main(int argc, char *argv[])
{
    int count = 1;

    progname = argv[0];
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "-display") == 0) {
            if (++i >= argc)
                usage();
            displayname = argv[i];
        } else if (strcmp(arg, "-count") == 0) {
            if (++i >= argc)
                usage();
            // Held as an int: counts past INT_MAX wrap to negative and send nothing.
            count = static_cast<int>(strtoul(argv[i], nullptr, 0));
        } else if (strcmp(arg, "-window") == 0) {
            if (++i >= argc)
                usage();
            window = strcmp(argv[i], "root") == 0 ? static_cast<Window>(-1) : strtoul(argv[i], nullptr, 0);
        } else if (arg[0] == '-') {
            fprintf(stderr, "%s: bad option `%s'.\n", progname, arg);
            usage();
        } else if (const char *unknown = parse_key_spec(arg, &stroke)) {
            fprintf(stderr, "unknown: %s\n", unknown);
            usage();
        }
    }

    if (stroke.name[0] == '\0') {
        fprintf(stderr, "%s: you must specify a keyname.\n", progname);
        exit(1);
    }

    if (!displayname)
        displayname = getenv("DISPLAY");
    if (!displayname)
        displayname = ":0.0";
    display = XOpenDisplay(displayname);
    if (!display) {
        fprintf(stderr, "%s: can't open display `%s'.\n", progname, displayname);
        exit(1);
    }

    // None and PointerRoot are passed on as they are: XSendEvent reads them
    // as PointerWindow and InputFocus.
    if (window == 0) {
        int revert;
        XGetInputFocus(display, &window, &revert);
    }
    if (window == static_cast<Window>(-1))
        window = RootWindow(display, 0);

    for (int i = 0; i < count; i++)
        SendKeyPressedEvent(stroke.sym, stroke.mask);

    XCloseDisplay(display);
    return 0;
}
