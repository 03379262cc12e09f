// key-chord: type a key combination such as "Control+Alt+Right" through the
// XTest extension, as if on the real keyboard: press the keys in order, then
// release them in reverse order.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <lineak/lineak_util_functions.h>

#include <cstdio>
#include <string>
#include <vector>

#include "chord.h"

static const char *progname;
static Display *display;

// Every name is resolved before anything is pressed. A fake event for a name
// without a key would either be rejected, and Xlib's default handler would end
// us with the earlier keys still held, or press an unrelated key, because
// XKeysymToKeycode(NoSymbol) need not be 0. Returns the first such key.
static const ChordKey *resolve_keycodes(std::vector<ChordKey> &keys)
{
    for (ChordKey &key : keys) {
        KeySym sym = XStringToKeysym(key.lookup.c_str());
        key.keycode = sym == NoSymbol ? 0 : XKeysymToKeycode(display, sym);
        if (key.keycode == 0)
            return &key;
    }
    return nullptr;
}

static void fake_key(int keycode, Bool press)
{
    XTestFakeKeyEvent(display, keycode, press, CurrentTime);
    // Each event reaches the server, and any error surfaces, before the next one.
    XSync(display, True);
}

static void type_chord(const std::vector<ChordKey> &keys)
{
    for (const ChordKey &key : keys)
        fake_key(key.keycode, True);
    for (auto key = keys.rbegin(); key != keys.rend(); ++key)
        fake_key(key->keycode, False);
}

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 1;
    progname = argv[0];

    // An empty name makes Xlib take the display from DISPLAY.
    display = XOpenDisplay("");
    if (!display) {
        fprintf(stderr, "%s: Cannot connect to display ...\n", progname);
        return 1;
    }

    std::vector<ChordKey> keys = split_chord(lineak_util_functions::strip_space(argv[1]));
    if (const ChordKey *bad = resolve_keycodes(keys)) {
        fprintf(stderr, "%s: unknown key name '%s'\n", progname, bad->name.c_str());
        return 1;
    }
    type_chord(keys);
    // The connection ends with the process.
    return 0;
}
