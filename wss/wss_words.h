// The words wss-signal reads on its input, and what each one asks for.
#pragma once

#include <cstdint>
#include <cstdio>
#include <linux/videodev2.h>

// Longest word kept; a longer one is reported and skipped as a whole.
enum { wss_word_max = 96 };

struct WssCode {
    const char *word;
    uint32_t code;
};

enum WssAction {
    wss_exit,    // end the program
    wss_free,    // release the device until the next code
    wss_send,    // send the code
    wss_unknown, // neither a word of the table nor a number
};

// Reads the next white-space separated word of in into word (at most
// wss_word_max characters). Returns 1 for a word, 0 for an over-long word
// (its first wss_word_max characters are in word, the rest has been
// consumed), EOF when no word could be read.
int read_word(FILE *in, char *word);
// What word asks for; *code gets the code of wss_send.
WssAction parse_word(const char *word, uint32_t *code);
// The table row of a code, or null.
const WssCode *find_code(uint32_t code);
// The sliced-VBI record that sends code on line 23.
v4l2_sliced_vbi_data wss_record(uint32_t code);
