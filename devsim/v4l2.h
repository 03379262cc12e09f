// The V4L2 capture device: its requests (v4l2.cpp), and its buffers, memory
// and frame clock (v4l2_queue.cpp), which poll (poll.cpp), mmap (mmap.cpp)
// and close (io.cpp) share.
#pragma once

#include "devices.h"

#include <linux/videodev2.h>

// A V4L2 request on the capture device.
void v4l2_request(OpenDev &od, const Request &r, void *arg, RequestOutcome &o);
// The arguments of a V4L2 request, for the trace line of an injected failure.
std::string v4l2_describe(unsigned long req, void *arg);

V4l2State &v4l2_state(int dev);
const PixelFormat &v4l2_format(int dev);
// Frames completed up to now go into the queued buffers, or are dropped.
void v4l2_catch_up(int dev);
// When a filled buffer can be dequeued: now (a buffer is done), the next
// frame's time (one is queued while streaming), or -1 (never).
long long v4l2_ready_at(int dev);
// Moves the clock on to the next frame, for a wait; false when none can come.
bool v4l2_wait_for_frame(int dev);

// Allocates count buffers of the current format, or as many as the
// device's memory holds (then count says how many); 0, or ENOMEM.
int v4l2_allocate(int dev, uint32_t &count);
void v4l2_free(int dev);
void v4l2_stream_on(int dev);
// Every buffer back to the program: neither queued nor done.
void v4l2_stream_off(int dev);

bool v4l2_mapped(int dev, int buffer);
bool v4l2_any_mapped(int dev);
// The buffer whose m.offset is offset, or -1.
int v4l2_buffer_at(int dev, long long offset);
// The buffers' memory, for a mapping of one of them.
int v4l2_memory_fd(int dev);

// The queue of a closed descriptor is released (streaming stopped, buffers
// freed) once no buffer of it stays mapped: a mapping holds the device open.
void v4l2_closed(const OpenDev &od);
void v4l2_unmapped(int dev);

// Whether a grab begins a poll: the program has neither a decoder nor a
// frontend open, so no status request does.
bool grabs_begin_polls();
