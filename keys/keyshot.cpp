// keyshot: send a synthetic key stroke, optionally with modifiers, straight to
// one X window with XSendEvent.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char *progname;
static const char *displayname;
static Window window; // 0: the focus window; all ones: the root window
static Display *display;
static int shift;     // ShiftMask, ControlMask, Mod1Mask of the key argument
static KeySym keysym; // 0: the key argument names no key
static char keyname[1024];

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

// Reads a key spec "[Modifier+[Modifier+]]Key" into keyname, shift and
// keysym, replacing any earlier spec. Returns the first name that maps to no
// keysym (a piece of keyname), or null when every name is known.
static const char *parse_key_spec(const char *spec)
{
    strncpy(keyname, spec, sizeof keyname - 1);
    keyname[sizeof keyname - 1] = '\0';
    keysym = 0;
    shift = 0;
    for (char *token = strtok(keyname, "+"); token; token = strtok(nullptr, "+")) {
        KeySym sym;
        if (strcmp(token, "Alt") == 0)
            sym = XK_Alt_L;
        else if (strcmp(token, "Control") == 0)
            sym = XK_Control_L;
        else if (strcmp(token, "Shift") == 0)
            sym = XK_Shift_L;
        else
            sym = XStringToKeysym(token);
        if (sym == NoSymbol)
            return token;
        if (sym == XK_Shift_L || sym == XK_Shift_R)
            shift |= ShiftMask;
        else if (sym == XK_Control_L || sym == XK_Control_R)
            shift |= ControlMask;
        else if (sym == XK_Caps_Lock || sym == XK_Shift_Lock)
            ; // accepted, no effect
        else if (sym >= XK_Meta_L && sym <= XK_Alt_R)
            shift |= Mod1Mask;
        else if (sym >= XK_Super_L && sym <= XK_Hyper_R)
            ; // accepted, no effect
        else
            keysym = sym;
    }
    return nullptr;
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
        } else if (const char *unknown = parse_key_spec(arg)) {
            fprintf(stderr, "unknown: %s\n", unknown);
            usage();
        }
    }

    if (keyname[0] == '\0') {
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
        SendKeyPressedEvent(keysym, shift);

    XCloseDisplay(display);
    return 0;
}
