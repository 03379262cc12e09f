// keyshot's reading of its key argument.
#include "keystroke.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <cstring>

const char *parse_key_spec(const char *spec, KeyStroke *key)
{
    strncpy(key->name, spec, sizeof key->name - 1);
    key->name[sizeof key->name - 1] = '\0';
    key->sym = 0;
    key->mask = 0;
    char *rest;
    for (char *token = strtok_r(key->name, "+", &rest); token; token = strtok_r(nullptr, "+", &rest)) {
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
            key->mask |= ShiftMask;
        else if (sym == XK_Control_L || sym == XK_Control_R)
            key->mask |= ControlMask;
        else if (sym == XK_Caps_Lock || sym == XK_Shift_Lock)
            ; // accepted, no effect
        else if (sym >= XK_Meta_L && sym <= XK_Alt_R)
            key->mask |= Mod1Mask;
        else if (sym >= XK_Super_L && sym <= XK_Hyper_R)
            ; // accepted, no effect
        else
            key->sym = sym;
    }
    return nullptr;
}
