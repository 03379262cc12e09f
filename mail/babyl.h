// The conversion of a Babyl mail file into a Unix mailbox, as babconv does
// it: the input read block by block, the output written in pieces with one
// writev. The caller owns the state and passes it to every call.
#pragma once

#include <cstddef>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum BabylStatus {
    babyl_ok,
    babyl_not_babyl,     // the input does not begin with "BABYL OPTIONS:"
    babyl_out_of_memory, // a line or a labels line did not fit in memory
    babyl_write_failed,  // write_error says why
};

struct BabylLine {
    size_t capacity;
    char *data;    // room for a line that crosses input blocks
    size_t length; // bytes of the line, without its line end; zero bytes
                   // inside it count too
    char *text;    // the current line: in the input block itself, where its
                   // line end still follows it, or in data
};

// Input goes through a block of its own, one read per block. Output is a
// list of pieces written with one writev: most lie in the input block or in
// fixed texts and go out from there without a copy; bytes that do not stay
// where they are (a line assembled across blocks, a labels line) are copied
// to outblock first. Everything is written before the input block is
// refilled.
struct BabylConversion {
    int in = STDIN_FILENO;
    int out = STDOUT_FILENO;
    // The system's calls, unless the caller plays the streams itself.
    ssize_t (*read)(int, void *, size_t) = ::read;
    ssize_t (*writev)(int, const iovec *, int) = ::writev;

    BabylStatus status = babyl_ok; // once not ok, nothing more is read
    int write_error = 0;           // errno of the failed write

    char inblock[128 * 1024];
    size_t inpos = 0, inend = 0;
    bool ineof = false;
    iovec outvec[512];
    size_t outcount = 0;
    char outblock[64 * 1024];
    size_t outfill = 0;

    BabylLine line{};
    // "X-Babyl-Labels: " and the labels of a message; one block, reused for
    // every message.
    char *labels = nullptr;
    size_t labels_capacity = 0;
};

// Makes c ready for a conversion from its start (descriptors and calls stay
// as the caller set them); false when memory runs out. Every babyl_begin
// needs its babyl_end.
bool babyl_begin(BabylConversion *c);
// Converts the input, from its "BABYL OPTIONS:" line on, and writes it all
// out. Where the input is refused or memory runs out, what was converted
// before stays queued for babyl_flush.
BabylStatus babyl_convert(BabylConversion *c, const char *separator, size_t separator_length);
// Writes what is queued; false when a write fails (write_error says why).
bool babyl_flush(BabylConversion *c);
void babyl_end(BabylConversion *c);
