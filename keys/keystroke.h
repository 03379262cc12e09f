// keyshot's key argument "[Modifier+[Modifier+]]Key": its names read into a
// key and a modifier mask.
#pragma once

#include <X11/X.h>

struct KeyStroke {
    char name[1024]; // the argument as given, cut at its '+' signs
    int mask;        // ShiftMask, ControlMask, Mod1Mask
    KeySym sym;      // 0: the argument names no key
};

// Reads spec into key, replacing what it held. Returns the first name that
// maps to no keysym (a piece of key->name), or null when every name is known.
const char *parse_key_spec(const char *spec, KeyStroke *key);
