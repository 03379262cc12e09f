// wss-signal's word reader on arbitrary standard input. Property: the
// records it asks for are exactly those of the code words of the input,
// found by an independent reading of the words (white-space separated;
// over-long ones skipped; "exit" ends; "free" sends nothing; table words;
// else hexadecimal as strtoul reads it, in 32 bits).
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <linux/videodev2.h>
#include <string>
#include <vector>

#include "harness.h"
#include "wss_words.h"

// The number at the start of a word as sscanf "%x" reads it into 32 bits.
static bool reference_hex(const char *p, uint32_t *code)
{
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        if (!isxdigit(static_cast<unsigned char>(p[2]))) {
            *code = 0; // "0x" without digits reads as 0
            return true;
        }
        p += 2;
    }
    if (!isxdigit(static_cast<unsigned char>(*p)))
        return false;
    uint64_t value = 0;
    bool overflow = false;
    for (; isxdigit(static_cast<unsigned char>(*p)); p++) {
        unsigned digit = isdigit(static_cast<unsigned char>(*p)) ? *p - '0' : (tolower(*p) - 'a' + 10);
        if (value > (UINT64_MAX - digit) / 16)
            overflow = true;
        value = value * 16 + digit;
    }
    if (overflow)
        value = UINT64_MAX;
    else if (negative)
        value = -value;
    *code = uint32_t(value);
    return true;
}

static std::string record_for(uint32_t code)
{
    v4l2_sliced_vbi_data rec;
    memset(&rec, 0, sizeof rec);
    rec.id = code ? 0x4000 : 0;
    rec.line = 23;
    rec.data[0] = code & 0xff;
    rec.data[1] = (code >> 8) & 0x3f;
    return std::string(reinterpret_cast<const char *>(&rec), sizeof rec);
}

static std::vector<std::string> reference_records(const uint8_t *data, size_t size)
{
    static const struct {
        const char *word;
        uint32_t code;
    } table[] = {{"16:9", 0x7}, {"4:3", 0x8}, {"L14:9", 0x1}, {"L16:9", 0xb}, {"L>16:9", 0xd}};
    std::vector<std::string> want;
    size_t i = 0;
    for (;;) {
        while (i < size && isspace(data[i]))
            i++;
        if (i == size)
            return want;
        size_t start = i;
        while (i < size && !isspace(data[i]))
            i++;
        if (i - start > 96)
            continue; // over-long: reported and skipped
        std::string word(reinterpret_cast<const char *>(data) + start, i - start);
        const char *w = word.c_str(); // a zero byte ends the word as the program sees it
        if (strcmp(w, "exit") == 0)
            return want;
        if (strcmp(w, "free") == 0)
            continue;
        bool found = false;
        for (const auto &row : table)
            if (strcmp(w, row.word) == 0) {
                want.push_back(record_for(row.code));
                found = true;
            }
        uint32_t code;
        if (!found && reference_hex(w, &code))
            want.push_back(record_for(code));
    }
}

// The records wss-signal writes for its input, one per code word, up to
// "exit".
static std::vector<std::string> records_sent(FILE *in)
{
    std::vector<std::string> records;
    char word[wss_word_max + 1];
    int got;
    while ((got = read_word(in, word)) != EOF) {
        uint32_t code;
        WssAction action = got == 1 ? parse_word(word, &code) : wss_unknown;
        if (action == wss_exit)
            break;
        if (action == wss_send) {
            v4l2_sliced_vbi_data rec = wss_record(code);
            records.emplace_back(reinterpret_cast<const char *>(&rec), sizeof rec);
        }
    }
    return records;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!in)
        return 0;
    std::vector<std::string> records = records_sent(in);
    fclose(in);
    FUZZ_CHECK(records == reference_records(data, size));
    return 0;
}
