// The names devsim shares between the scenario and the trace: the device
// requests it plays, the decoder's video formats, the capture device's pixel
// formats and errno values. One table each, so that a `fail` line and a trace
// line always spell a name alike.
#pragma once

#include <cstdint>
#include <string>

enum class DeviceKind { decoder, frontend, capture, vbi, mixer };

// The devices that answer a request, one bit each: a capture device speaks
// either Video4Linux 1 or Video4Linux 2 and answers only its API's requests.
enum : unsigned {
    on_decoder = 1,
    on_frontend = 2,
    on_v4l1_capture = 4,
    on_v4l2_capture = 8,
    on_vbi = 16,
    on_mixer = 32,
};

struct Request {
    unsigned long number;
    const char *name;
    unsigned answered_on; // the on_ bits of the devices that answer it
};

// The request with that number or name; nullptr when devsim does not play it.
const Request *find_request(unsigned long number);
const Request *find_request(const std::string &name);
// The on_ bit of a device of that kind (and API, for a capture device).
unsigned answerer_bit(DeviceKind kind, bool v4l2);

// The word of a video format code ("4:3", "16:9", "2.21:1"); nullptr for
// codes without one.
const char *video_format_word(int code);
// The code of a video format word; false when it is none of them.
bool video_format_code(const std::string &word, int &code);

// A pixel format a V4L2 capture device may offer, with where a frame's luma
// goes: packed formats interleave it (luma_step 1 or 2 bytes, the first luma
// byte at luma_offset), the 4:2:0 ones put the chroma planes after the luma
// plane; a compressed format has no luma devsim could write.
struct PixelFormat {
    uint32_t fourcc;
    const char *name;        // the fourcc's letters, as scenarios and traces write it
    const char *description; // as VIDIOC_ENUM_FMT answers it
    int luma_step;           // bytes per pixel in a luma row; 0: compressed
    int luma_offset;
    bool planar_420;
    bool chroma_interleaved; // the 4:2:0 chroma in one plane of pairs (NV12, NV21)
};

const PixelFormat *find_pixel_format(uint32_t fourcc);
const PixelFormat *find_pixel_format(const std::string &name);
// Every format's name, for messages: "GREY, YUYV, ...".
std::string pixel_format_names();
// The fourcc's letters, or its number in hex where they are not printable.
std::string fourcc_text(uint32_t fourcc);

// Name of an errno value (nullptr when not in the table), and the value of a
// name (0 when not in the table).
const char *errno_name(int err);
int errno_value(const std::string &name);
