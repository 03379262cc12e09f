// The DVB decoder's video_format codes and the words recordings name them by.
#pragma once

#include <string>

constexpr int format_4_3 = 0, format_16_9 = 1, format_221_1 = 2;

// A 16:9 or 2.21:1 stream is signalled at once; everything else is measured.
inline bool is_wide_format(int format)
{
    return format == format_16_9 || format == format_221_1;
}

// "4:3", "16:9", "2.21:1", or the number for a code the decoder should not send.
inline std::string stream_format_word(int format)
{
    switch (format) {
    case format_4_3:
        return "4:3";
    case format_16_9:
        return "16:9";
    case format_221_1:
        return "2.21:1";
    }
    return std::to_string(format);
}
