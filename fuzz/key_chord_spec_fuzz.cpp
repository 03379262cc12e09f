// key-chord's reading of an arbitrary chord: white space removed, split at
// every '+'. Property: the pieces joined with '+' give back the text
// without white space, there is one piece more than '+' signs, only pieces
// before a '+' get the modifier aliases, and each name can be looked up.
#include <X11/Xlib.h>
#include <cctype>
#include <string>
#include <vector>
#include <lineak/lineak_util_functions.h>

#include "chord.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0')); // a command-line word ends at a zero byte
    std::string stripped = lineak_util_functions::strip_space(text);
    for (char c : stripped)
        FUZZ_CHECK(!isspace(static_cast<unsigned char>(c)));

    std::vector<ChordKey> keys = split_chord(stripped);
    std::string joined;
    size_t plus = 0;
    for (char c : stripped)
        plus += c == '+';
    FUZZ_CHECK(keys.size() == plus + 1);
    for (size_t i = 0; i < keys.size(); i++) {
        joined += (i ? "+" : "") + keys[i].name;
        if (i + 1 == keys.size())
            FUZZ_CHECK(keys[i].lookup == keys[i].name);
        else if (keys[i].lookup != keys[i].name)
            FUZZ_CHECK(keys[i].lookup == "Control_L" || keys[i].lookup == "Shift_L" || keys[i].lookup == "Alt_L");
        XStringToKeysym(keys[i].lookup.c_str());
    }
    FUZZ_CHECK(joined == stripped);
    return 0;
}
