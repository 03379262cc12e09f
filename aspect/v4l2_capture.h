// Grey frames from a Video4Linux 2 capture device: what today's kernels offer
// where the detector's V4L1 requests answer ENOTTY. Memory-mapped streaming,
// the luma of the device's own pixel format copied into a W x H grey frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct V4l2Buffer {
    void *addr;
    size_t length;
};

struct V4l2Capture {
    uint32_t pixelformat = 0;
    int width = 0, height = 0;
    uint32_t bytesperline = 0, sizeimage = 0;
    std::vector<V4l2Buffer> buffers; // mapped, in the driver's order
    bool streaming = false;
    std::vector<uint8_t> grey; // the last frame's luma, width x height
};

// Sets up streaming on the open descriptor fd of path: format, buffers,
// mappings, STREAMON. False after a message; what was mapped stays recorded
// in capture for v4l2_close.
bool v4l2_open(int fd, const std::string &path, V4l2Capture &capture);
// Takes the newest complete frame into capture.grey. False after a message.
bool v4l2_grab(int fd, const std::string &path, V4l2Capture &capture);
// STREAMOFF and the unmapping; the descriptor stays open.
void v4l2_close(int fd, V4l2Capture &capture);
