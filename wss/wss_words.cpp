// The words of wss-signal's input and the records they turn into.
#include "wss_words.h"

#include <cctype>
#include <cstring>

// Aspect-ratio group of EN 300 294 (b3 is the odd-parity bit); searched in order.
static const WssCode codes[] = {
    {"16:9", 0x7}, {"4:3", 0x8}, {"L14:9", 0x1}, {"L16:9", 0xb}, {"L>16:9", 0xd},
};

static_assert(sizeof(struct v4l2_sliced_vbi_data) == 64, "one sliced-VBI record is 64 bytes");

int read_word(FILE *in, char *word)
{
    char format[16];
    snprintf(format, sizeof format, "%%%ds", int(wss_word_max));
    if (fscanf(in, format, word) != 1)
        return EOF;
    int c = getc(in);
    if (c == EOF)
        return 1;
    if (isspace(c)) {
        ungetc(c, in);
        return 1;
    }
    while (c != EOF && !isspace(c))
        c = getc(in);
    if (c != EOF)
        ungetc(c, in);
    return 0;
}

static const WssCode *find_word(const char *word)
{
    for (const WssCode &row : codes)
        if (strcmp(word, row.word) == 0)
            return &row;
    return nullptr;
}

WssAction parse_word(const char *word, uint32_t *code)
{
    if (strcmp(word, "exit") == 0)
        return wss_exit;
    if (strcmp(word, "free") == 0)
        return wss_free;
    if (const WssCode *row = find_word(word)) {
        *code = row->code;
        return wss_send;
    }
    // sign, 0x prefix and trailing characters as the C library reads them;
    // too many digits keep the low 32 bits
    unsigned int number;
    if (sscanf(word, "%x", &number) == 1) {
        *code = number;
        return wss_send;
    }
    return wss_unknown;
}

const WssCode *find_code(uint32_t code)
{
    for (const WssCode &row : codes)
        if (row.code == code)
            return &row;
    return nullptr;
}

v4l2_sliced_vbi_data wss_record(uint32_t code)
{
    struct v4l2_sliced_vbi_data rec;
    memset(&rec, 0, sizeof rec);
    // id 0 tells the device to stop inserting on this field and line
    rec.id = code ? V4L2_SLICED_WSS_625 : 0;
    rec.field = 0;
    rec.line = 23;
    // WSS sends a 14-bit word on line 23: its low 8 bits go in the first
    // byte, the upper 6 in the second; bits above 13 have no place on the line.
    rec.data[0] = code & 0xff;
    rec.data[1] = (code >> 8) & 0x3f;
    return rec;
}
