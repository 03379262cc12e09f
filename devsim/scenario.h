// The scenario file of the box simulator, shared by the launcher (which checks
// it before the program runs) and the preloaded library (which plays it).
#pragma once

#include "names.h"

#include <cstdint>
#include <string>
#include <vector>

struct Device {
    DeviceKind kind;
    std::string path; // normalised absolute path the program opens
    int line = 0;
    int width = 0, height = 0;     // capture
    long long mbuf = 0;            // capture: VIDIOCGMBUF size
    bool v4l2 = false;             // capture: a Video4Linux 2 device instead of a V4L1 one
    std::vector<uint32_t> formats; // v4l2: the pixel formats offered, in VIDIOC_ENUM_FMT order
    int stride = 0;                // v4l2: bytesperline of every raw format; 0: each its least
    int buffers = 0;               // v4l2: the buffers VIDIOC_REQBUFS grants; 0: about those asked
    std::string stills;            // decoder: folder for still pictures, or empty
    std::string records;           // vbi: file of accepted records, or empty
    bool has_cd = false;           // mixer
    int cd_level = 0;
};

struct PollStep {
    int line = 0;
    int video_format = 0;
    std::string format_text; // as written: 4:3, 16:9, 2.21:1 or a number
    bool lock = true;
    std::string frame;          // as written in the scenario, or empty
    std::string frame_path;     // resolved
    long long frame_offset = 0; // where the pixels begin in the file
    int frame_width = 0, frame_height = 0;
    long long times = 1;
};

struct FailRule {
    std::string call;  // open:PATH (PATH normalised), or a call name
    long long nth = 0; // 0: every call
    int error = 0;
};

struct Scenario {
    std::string dir; // folder of the scenario, for relative names
    std::vector<Device> devices;
    std::vector<PollStep> steps;
    std::vector<FailRule> fails;
    bool virtual_clock = false;
    long long capture_ns = 40000000; // a VIDIOCSYNC waits one PAL frame (25 a second)
    long long end_ns = -1;           // virtual clock: the program is stopped there; -1: never
    bool ports_grant = false;
};

// Where a V4L2 frame's bytes go in the pixel format f on the device dev.
struct FrameLayout {
    long long bytesperline = 0; // of the luma rows; 0 for a compressed format
    long long sizeimage = 0;
};
FrameLayout frame_layout(const Device &dev, const PixelFormat &f);

// Reads and checks the scenario at PATH (frame files included). On error the
// result is the message, "PATH:LINE: text" for a bad line; empty on success.
std::string parse_scenario(const std::string &path, Scenario &sc);
