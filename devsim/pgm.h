// The header of a binary PGM (P5) image, read for devsim's frame files and for
// aspect-inspect's PGM streams. The reader says what was wrong; each caller
// words its own message.
#pragma once

enum class PgmStatus {
    ok,
    end,        // no byte at all: the input ended before another image
    not_p5,     // does not begin with "P5"
    bad_header, // a number, or the white space after the last one, is missing
    too_large,  // a number is over the caller's limit
    bad_maxval, // maxval is not 1 to 255
};

struct PgmHeader {
    long long width = 0, height = 0, maxval = 0;
    long long size = 0; // bytes up to the pixels: the header and the white space after it
};

// Where the header's bytes come from: next(context) is the next byte (0 to
// 255), or -1 at the end of the input.
struct PgmSource {
    int (*next)(void *context);
    void *context;
};

// Reads one header, up to and including the white space after maxval; the
// pixels are left to the caller. A number takes digits while it is below
// 1000000 (a longer one runs into the next field); one over most is
// too_large. The numbers are filled in with bad_maxval too.
PgmStatus read_pgm_header(const PgmSource &source, long long most, PgmHeader &header);
