#include "lineak/lineak_util_functions.h"

#include <algorithm>
#include <cctype>

namespace lineak_util_functions {

std::string strip_space(std::string str)
{
    // Through unsigned char: isspace on a negative char is undefined.
    str.erase(std::remove_if(str.begin(), str.end(), [](unsigned char c) { return std::isspace(c) != 0; }), str.end());
    return str;
}

} // namespace lineak_util_functions
