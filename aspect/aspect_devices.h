// The devices of the aspect pipe's front end: the DVB video decoder, the
// optional DVB frontend and the Video4Linux 1 grey capture device, and the
// clock of the poll loop. Every failure is reported on standard error in the
// detector's own words before the function returns false.
#pragma once

#include <cstddef>
#include <linux/videodev.h>
#include <string>

extern int decoder;
extern int frontend;
extern int capture;
extern void *buffer; // capture buffer, frame 0 at its start
extern size_t buffer_size;

// Wall-clock seconds, as a double.
double now_seconds();
// Sleeps s > 0 seconds, truncated to whole microseconds.
void sleep_seconds(double s);

// Opens the decoder, the frontend (only when frontend_path is not empty) and
// the capture device, maps the capture buffer and fills the grab request with
// the device's largest grey frame. False once everything opened has been
// closed again.
bool open_devices(const std::string &decoder_path, const std::string &frontend_path, const std::string &video_path,
                  struct video_mmap *request);
// Releases what is open, in the order of the shut-down.
void close_devices();

bool read_frontend_lock(const std::string &frontend_path, bool *locked);
// The decoder's video_format, any value the driver answers.
bool read_stream_format(const std::string &decoder_path, int *format);
bool is_wide_format(int format);
// Grabs frame 0 into the capture buffer.
bool grab_frame(const std::string &video_path, struct video_mmap *request);
// Sleeps what is left of the poll period that began at start.
void sleep_rest_of_poll(double start, float poll_rate);
