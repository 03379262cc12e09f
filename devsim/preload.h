// State of the simulator library inside the program, shared by the call
// interposers (preload.cpp) and the device models (devices.cpp).
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
    int dev;           // index into the scenario's devices
    std::string shown; // the path as the program gave it
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
    long long step_used = 0;
    bool polls_done = false;
    bool fe_began_poll = false;
    // the last frame read from disk
    std::string frame_file;
    std::vector<unsigned char> frame;
    // ports
    std::vector<unsigned char> port_ok; // one flag per port 0..0xffff
    bool all_ports = false;
    bool segv_installed = false;
    // pipe for copies that must not fault on a bad user pointer
    int copy_pipe[2] = {-1, -1};
    pid_t copy_pid = 0;
};

// Never freed: the exit line is written after static destructors have run.
extern Sim *sim;

long long trace_now();
void trace(long long t, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
std::string err_text(int err);
bool injected(const std::string &call, int &err);
bool user_copy(void *dst, const void *src, size_t n);
void pass_time(long long ns);

int device_ioctl(OpenDev &od, unsigned long req, void *arg);
ssize_t device_write(OpenDev &od, const void *buf, size_t n);
