// Stand-in declaration of the key-handling library's string helper.
#pragma once

#include <string>

namespace lineak_util_functions {

// The text without any white space (at the ends or inside).
std::string strip_space(std::string str);

} // namespace lineak_util_functions
