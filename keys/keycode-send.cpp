// keycode-send: fake one press or release of a numeric X keycode through the
// XTest extension.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdio>
#include <cstdlib>

static const char *progname;
static Display *display;

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 1;
    progname = argv[0];

    long code = strtol(argv[1], nullptr, 10);
    int keycode = static_cast<int>(code);
    int is_down = 1;
    // The flag counts only when it is the one argument after the keycode.
    if (argc == 3)
        is_down = strtol(argv[2], nullptr, 10) != 0;

    // An empty name makes Xlib take the display from DISPLAY.
    display = XOpenDisplay("");
    if (!display) {
        fprintf(stderr, "%s: Cannot connect to display ...\n", progname);
        return 1;
    }

    Window root;
    int x, y;
    unsigned int width = 0, height = 0, border, depth;
    XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &width, &height, &border, &depth);
    fprintf(stderr, "%dx%d keycode %d is_down %d\n", static_cast<int>(width), static_cast<int>(height), keycode,
            is_down);

    // The protocol carries a keycode in 8 bits: a larger or negative number
    // would arrive as some other, real key.
    if (code < 0 || code > 255) {
        fprintf(stderr, "%s: keycode %ld out of range\n", progname, code);
        return 1;
    }
    XTestFakeKeyEvent(display, keycode, is_down, CurrentTime);
    XSync(display, True);
    // The connection ends with the process.
    return 0;
}
