// The names devsim shares between the scenario and the trace: the device
// requests it plays, the decoder's video formats and errno values. One table
// each, so that a `fail` line and a trace line always spell a name alike.
#pragma once

#include <string>

enum class DeviceKind { decoder, frontend, capture, vbi, mixer };

struct Request {
    unsigned long number;
    const char *name;
    DeviceKind kind; // the only kind of device that answers it
};

// The request with that number or name; nullptr when devsim does not play it.
const Request *find_request(unsigned long number);
const Request *find_request(const std::string &name);

// The word of a video format code ("4:3", "16:9", "2.21:1"); nullptr for
// codes without one.
const char *video_format_word(int code);
// The code of a video format word; false when it is none of them.
bool video_format_code(const std::string &word, int &code);

// Name of an errno value (nullptr when not in the table), and the value of a
// name (0 when not in the table).
const char *errno_name(int err);
int errno_value(const std::string &name);
