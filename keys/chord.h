// key-chord's chord "Name+Name+...+Key": its pieces and the keysym names
// they are looked up by.
#pragma once

#include <string>
#include <vector>

struct ChordKey {
    std::string name;   // as written in the chord, white space removed
    std::string lookup; // keysym name after the alias table
    int keycode;
};

// Splits a chord without white space at every '+', in order; keycodes 0.
std::vector<ChordKey> split_chord(std::string text);
