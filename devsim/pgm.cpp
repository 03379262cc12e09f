#include "pgm.h"

static bool is_space(int c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The next byte, counted only when there is one.
static int next_byte(const PgmSource &source, long long &used)
{
    int c = source.next(source.context);
    if (c >= 0)
        used++;
    return c;
}

// White space and comments before a number; c is the byte after them.
static int skip_space(const PgmSource &source, long long &used, int c)
{
    for (;;) {
        while (is_space(c))
            c = next_byte(source, used);
        if (c != '#')
            return c;
        while (c != '\n' && c >= 0)
            c = next_byte(source, used);
    }
}

PgmStatus read_pgm_header(const PgmSource &source, long long most, PgmHeader &header)
{
    long long used = 0;
    int c = next_byte(source, used);
    if (c < 0)
        return PgmStatus::end;
    if (c != 'P' || next_byte(source, used) != '5')
        return PgmStatus::not_p5;
    long long fields[3];
    c = next_byte(source, used);
    for (long long &field : fields) {
        c = skip_space(source, used, c);
        if (c < '0' || c > '9')
            return PgmStatus::bad_header;
        field = 0;
        while (c >= '0' && c <= '9' && field < 1000000) {
            field = field * 10 + (c - '0');
            c = next_byte(source, used);
        }
        if (field > most)
            return PgmStatus::too_large;
    }
    // Exactly one white-space byte ends the header.
    if (!is_space(c))
        return PgmStatus::bad_header;
    header.width = fields[0];
    header.height = fields[1];
    header.maxval = fields[2];
    header.size = used;
    return fields[2] < 1 || fields[2] > 255 ? PgmStatus::bad_maxval : PgmStatus::ok;
}
