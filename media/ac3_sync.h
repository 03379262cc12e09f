// A byte stream copied from its first AC-3 sync word (0x0B 0x77) on, as
// ac3-trim does it: the search reads blocks, and the rest is moved by the
// kernel where it will, else by read and write. The caller owns the state.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

// 128 KiB: larger writes into a pipe were slower (bench/RESULTS.md, row
// "ac3-trim: block size").
enum { ac3_block_size = 128 * 1024 };

// The calls that move bytes: the system's, unless the caller plays them.
struct Ac3Calls {
    ssize_t (*read)(int, void *, size_t) = ::read;
    ssize_t (*write)(int, const void *, size_t) = ::write;
    ssize_t (*splice)(int, loff_t *, int, loff_t *, size_t, unsigned) = ::splice;
    ssize_t (*copy_file_range)(int, loff_t *, int, loff_t *, size_t, unsigned) = ::copy_file_range;
};

struct Ac3Trim {
    int in = STDIN_FILENO;
    int out = STDOUT_FILENO;
    Ac3Calls calls;
    // After a failure: "standard input" or "standard output", and errno.
    const char *failed = nullptr;
    int error = 0;
    // One spare byte in front, so that a sync word split over two reads can
    // be written in one piece: its 0x0B goes there.
    unsigned char buffer[1 + ac3_block_size];
};

// Copies t->in to t->out from the first sync word on (nothing without one).
// Returns false, with failed and error set, when a read or write fails.
bool trim_to_sync(Ac3Trim *t);
