// State of the simulator library inside the program, shared by the call
// interposers (one file per kind of call) and the device models.
#pragma once

#include "scenario.h"

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

struct Mapping {
    char *addr;
    size_t length;
};

// What a device holds while the program runs.
struct DevState {
    std::vector<Mapping> maps; // capture: where VIDIOCSYNC delivers frames
    int cd_level = 0;          // mixer
};

// One simulated descriptor.
struct OpenDev {
    int fd;
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
    pid_t copy_pid = 0;
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
