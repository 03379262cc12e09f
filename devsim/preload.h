// State of the simulator library inside the program, shared by the call
// interposers (one file per kind of call) and the device models.
#pragma once

#include "scenario.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <sys/types.h>
#include <vector>

struct Mapping {
    char *addr;
    size_t length;
    int buffer = -1; // the V4L2 buffer it maps; -1: a V4L1 capture buffer
};

// One buffer of a V4L2 capture device. The driver owns it while it is queued
// (incoming) or done (outgoing); otherwise the program has it.
struct V4l2Buffer {
    bool queued = false, done = false;
    uint32_t bytesused = 0, sequence = 0;
    bool error = false;                // its frame could not be made (V4L2_BUF_FLAG_ERROR)
    long long filled_ns = 0;           // when its frame was completed, on the trace's clock
    const PollStep *picture = nullptr; // the step whose frame it shows; null: black
};

// A V4L2 capture device's format, buffers and frame clock.
struct V4l2State {
    uint32_t pixelformat = 0;
    std::vector<V4l2Buffer> buffers;
    std::deque<int> incoming, outgoing; // buffer indexes, oldest first
    long long owner = 0;                // the descriptor (OpenDev::id) that allocated them; 0: none
    bool owner_closed = false;          // ... and has been closed while buffers stayed mapped
    bool streaming = false;
    long long next_frame_ns = 0; // when the next frame is complete
    uint32_t sequence = 0;       // frames produced since STREAMON, dropped ones included
    size_t length = 0;           // of each buffer: sizeimage rounded up to pages
    int memory_fd = -1;          // the buffers' memory, buffer i at i * length
    char *memory = nullptr;      // devsim's own mapping of it
    // The picture the device shows (null: none yet, black) and the frame made
    // of it in the current format, which every buffer filled gets a copy of.
    const PollStep *picture = nullptr;
    const PollStep *made_of = nullptr;
    uint32_t made_format = 0;
    bool made_valid = false;
    std::vector<unsigned char> made;
};

// What a device holds while the program runs.
struct DevState {
    std::vector<Mapping> maps; // capture: where VIDIOCSYNC delivers frames; V4L2: the buffers mapped
    int cd_level = 0;          // mixer
    V4l2State v4l2;
};

// One simulated descriptor.
struct OpenDev {
    int fd;
    long long id;              // unique for the run: descriptor numbers are reused
    int dev;                   // index into the scenario's devices
    std::string path_as_given; // as the program named it: the trace shows it so
    int flags;
    bool format_set = false; // vbi: VIDIOC_S_FMT accepted on this descriptor
    bool capture_queued = false;
};

struct Sim {
    Scenario sc;
    std::vector<DevState> devs;
    std::vector<OpenDev> open;
    std::vector<std::pair<std::string, long long>> counts; // calls per fail name
    int trace_fd = -1;
    long long vclock_ns = 0; // virtual time since start
    long long real_start_ns = 0;
    bool opened_any = false;
    long long opens = 0; // simulated descriptors opened, for OpenDev::id
    // poll steps
    int step = -1;
    long long step_polls_taken = 0; // polls the current step has answered
    bool polls_done = false;
    bool poll_began_at_frontend = false; // the next VIDEO_GET_STATUS belongs to the same poll
    // the last frame read from disk
    std::string frame_file;
    std::vector<unsigned char> frame;
    // ports
    std::vector<unsigned char> port_ok; // one flag per port 0..0xffff, once a port was granted
    bool all_ports = false;
    bool segv_installed = false;
    // pipe for copies that must not fault on a bad user pointer
    int copy_pipe[2] = {-1, -1};
};

enum class Phase {
    unread,  // no call has needed the scenario yet
    reading, // being read: calls made meanwhile go to libc
    playing, // a scenario is played
    idle,    // no scenario: every call goes to libc
};
extern Phase phase;

// Never freed: the exit line is written after static destructors have run.
extern Sim *sim;

// Reads the scenario at the first call that needs it; true while one is played.
bool ensure_init();
// The simulated descriptor fd, or nullptr when it is none (or nothing is played).
OpenDev *find_open(int fd);
// Moves one of our own descriptors out of the program's way.
int move_high(int fd);

long long monotonic_ns();
long long trace_now();
void trace(long long t, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
std::string err_text(int err);
bool injected(const std::string &call, int &err);
bool user_copy(void *dst, const void *src, size_t n);
void pass_time(long long ns);
// A wait that nothing can end (the program is single-threaded): under the
// virtual clock the program is stopped as at the end of virtual time; under
// the real clock it waits, as it would on a box.
[[noreturn]] void stop_waiting_for_ever();
// The mmap system call itself, past every interposer.
void *sys_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off);
