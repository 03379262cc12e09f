// keyshot's reading of an arbitrary key spec. Property: the spec is refused
// exactly when one of its '+'-separated names (of its first 1023 bytes)
// names no key, and the first such name is the one reported; otherwise the
// key and the modifier mask are those of an independent reading of the names.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <string>

#include "harness.h"
#include "keystroke.h"

struct Spec {
    std::string unknown; // the first name without a key, or empty
    int mask = 0;
    KeySym key = 0;
};

static Spec reference_spec(std::string text)
{
    Spec spec;
    if (text.size() > 1023)
        text.resize(1023);
    size_t at = 0;
    while (at <= text.size()) {
        size_t plus = text.find('+', at);
        std::string name = text.substr(at, plus == std::string::npos ? std::string::npos : plus - at);
        at = plus == std::string::npos ? text.size() + 1 : plus + 1;
        if (name.empty())
            continue;
        KeySym sym = name == "Alt"       ? XK_Alt_L
                     : name == "Control" ? XK_Control_L
                     : name == "Shift"   ? XK_Shift_L
                                         : XStringToKeysym(name.c_str());
        if (sym == NoSymbol) {
            spec.unknown = name;
            return spec;
        }
        switch (sym) {
        case XK_Shift_L:
        case XK_Shift_R:
            spec.mask |= ShiftMask;
            break;
        case XK_Control_L:
        case XK_Control_R:
            spec.mask |= ControlMask;
            break;
        case XK_Meta_L:
        case XK_Meta_R:
        case XK_Alt_L:
        case XK_Alt_R:
            spec.mask |= Mod1Mask;
            break;
        case XK_Caps_Lock:
        case XK_Shift_Lock:
        case XK_Super_L:
        case XK_Super_R:
        case XK_Hyper_L:
        case XK_Hyper_R:
            break;
        default:
            spec.key = sym;
        }
    }
    return spec;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0')); // a command-line word ends at a zero byte
    KeyStroke key;
    const char *unknown = parse_key_spec(text.c_str(), &key);
    Spec want = reference_spec(text);
    if (!want.unknown.empty()) {
        FUZZ_CHECK(unknown != nullptr && want.unknown == unknown);
    } else {
        FUZZ_CHECK(unknown == nullptr);
        FUZZ_CHECK(key.mask == want.mask);
        FUZZ_CHECK(key.sym == want.key);
    }
    return 0;
}
