// The devices of the aspect pipe's front end: the DVB video decoder, the
// optional DVB frontend and the grey capture device (Video4Linux 1, or
// Video4Linux 2 where the V4L1 requests are not understood), and the
// clock of the poll loop. Every failure is reported on standard error in the
// detector's own words before the function returns false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/videodev.h>
#include <string>
#include <sys/mman.h>

#include "v4l2_capture.h"
#include "video_format.h"

// What a run has open, owned by the program for the whole run.
struct Devices {
    std::string decoder_path;  // dev_dvb + "/video0"; empty: no decoder
    std::string frontend_path; // dev_dvb + "/frontend0"; empty: no lock test
    std::string video_path;    // dev_video
    int decoder = -1;
    int frontend = -1;
    int capture = -1;
    void *buffer = MAP_FAILED; // capture buffer, frame 0 at its start
    size_t buffer_size = 0;
    struct video_mmap request {}; // the grab request: frame 0, W x H grey
    bool v4l2 = false;            // the capture device streams through V4L2
    V4l2Capture streaming;        // its buffers and the grey frame copied out
};

// Wall-clock seconds, as a double.
double now_seconds();
// Sleeps s > 0 seconds, truncated to whole microseconds.
void sleep_seconds(double s);
// Sleeps what is left of the poll period that began at start.
void sleep_rest_of_poll(double start, float poll_rate);

// Names the devices of dev_dvb and dev_video; the frontend only with the
// lock test, the decoder unless there is none. No separator is added: dev_dvb
// comes without a trailing slash.
Devices name_devices(const std::string &dev_dvb, const std::string &dev_video, bool frontend_lock_test,
                     bool no_decoder = false);
// Opens the decoder, the frontend (when named) and the capture device, maps
// the capture buffer and fills the grab request with the device's largest
// grey frame. False once everything opened has been closed again.
bool open_devices(Devices &d);
// Releases what is open, in the order of the shut-down.
void close_devices(Devices &d);

bool read_frontend_lock(const Devices &d, bool *locked);
// The decoder's video_format, any value the driver answers.
bool read_stream_format(const Devices &d, int *format);
// Grabs frame 0 into the capture buffer (V4L2: the newest frame's luma).
bool grab_frame(Devices &d);
inline const uint8_t *grabbed_frame(const Devices &d)
{
    return d.v4l2 ? d.streaming.grey.data() : static_cast<const uint8_t *>(d.buffer);
}
