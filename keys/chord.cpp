// key-chord's reading of a chord.
#include "chord.h"

// Only pieces before a '+' come here; the key proper is looked up as written.
static std::string replace_alias(const std::string &piece)
{
    if (piece == "control" || piece == "Control" || piece == "CONTROL")
        return "Control_L";
    if (piece == "shift" || piece == "Shift" || piece == "SHIFT")
        return "Shift_L";
    if (piece == "mod1" || piece == "alt" || piece == "Alt" || piece == "ALT")
        return "Alt_L";
    return piece;
}

std::vector<ChordKey> split_chord(std::string text)
{
    std::vector<ChordKey> keys;
    std::string::size_type p;
    while ((p = text.find('+')) != std::string::npos) {
        std::string piece = text.substr(0, p);
        keys.push_back({piece, replace_alias(piece), 0});
        text.erase(0, p + 1);
    }
    keys.push_back({text, text, 0});
    return keys;
}
