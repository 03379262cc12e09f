// The conversion of a Babyl mail file into a Unix mailbox.
#include "babyl.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

// After a failed write the rest of the current input block is still worked
// through, but its output is dropped and nothing more is read.
static void flush_output(BabylConversion *c)
{
    iovec *v = c->outvec;
    size_t count = c->outcount;
    c->outcount = 0;
    c->outfill = 0;
    while (count > 0 && c->status != babyl_write_failed) {
        ssize_t w = c->writev(c->out, v, static_cast<int>(count));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            c->status = babyl_write_failed;
            c->write_error = errno;
            return;
        }
        size_t done = static_cast<size_t>(w);
        while (count > 0 && done >= v->iov_len) {
            done -= v->iov_len;
            v++;
            count--;
        }
        if (count > 0) {
            v->iov_base = static_cast<char *>(v->iov_base) + done;
            v->iov_len -= done;
        }
    }
}

// p..p+n must stay as it is until the next flush_output.
static void emit(BabylConversion *c, const char *p, size_t n)
{
    if (n == 0)
        return;
    if (c->outcount > 0) {
        iovec *last = &c->outvec[c->outcount - 1];
        if (static_cast<char *>(last->iov_base) + last->iov_len == p) {
            last->iov_len += n;
            return;
        }
    }
    if (c->outcount == std::size(c->outvec))
        flush_output(c);
    c->outvec[c->outcount++] = {const_cast<char *>(p), n};
}

static void emit_copy(BabylConversion *c, const char *p, size_t n)
{
    // a long line goes out from where it lies
    if (n >= 16384) {
        emit(c, p, n);
        flush_output(c);
        return;
    }
    if (n > sizeof c->outblock - c->outfill || c->outcount == std::size(c->outvec))
        flush_output(c);
    memcpy(c->outblock + c->outfill, p, n);
    emit(c, c->outblock + c->outfill, n);
    c->outfill += n;
}

// The input ends here: what is queued stays queued, nothing more is read.
static void run_out_of_memory(BabylConversion *c)
{
    c->status = babyl_out_of_memory;
    c->inpos = c->inend;
}

// A copied line that begins with "From ", after any number of '>', gets one
// more '>': a mailbox reader then sees a new message only at the separators,
// and taking one '>' off gives the line back (the mboxrd convention).
static bool needs_quote(const char *p, size_t n)
{
    if (n < 5 || (p[0] != 'F' && p[0] != '>'))
        return false;
    size_t i = 0;
    while (i < n && p[i] == '>')
        i++;
    return n - i >= 5 && memcmp(p + i, "From ", 5) == 0;
}

static void emit_line(BabylConversion *c)
{
    const char *p = c->line.text;
    size_t n = c->line.length;
    if (needs_quote(p, n))
        emit(c, ">", 1);
    if (p == c->line.data) {
        emit_copy(c, p, n);
        emit(c, "\n", 1);
    } else if (p[n] == '\n') {
        emit(c, p, n + 1);
    } else {
        emit(c, p, n); // the CR of a CR LF stays behind
        emit(c, "\n", 1);
    }
}

static bool fill_input(BabylConversion *c)
{
    if (c->status != babyl_ok)
        return false;
    flush_output(c);
    while (!c->ineof && c->status == babyl_ok) {
        ssize_t r = c->read(c->in, c->inblock, sizeof c->inblock);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            c->ineof = true; // a read error ends the input like end of file
            break;
        }
        c->inpos = 0;
        c->inend = static_cast<size_t>(r);
        return true;
    }
    return false;
}

// Grow by doubling until `need` bytes fit; the block never shrinks.
static bool ensure_capacity(BabylLine *buf, size_t need)
{
    if (need <= buf->capacity)
        return true;
    size_t capacity = buf->capacity;
    while (capacity < need) {
        if (capacity > SIZE_MAX / 2)
            return false;
        capacity *= 2;
    }
    char *data = static_cast<char *>(realloc(buf->data, capacity));
    if (!data)
        return false;
    buf->data = data;
    buf->capacity = capacity;
    return true;
}

// Returns the line's length plus its end: 0 at end of input, 1 for LF,
// 2 for CR LF; 0 alone means the input ended before any byte.
static size_t read_babyl_line(BabylConversion *c)
{
    BabylLine *buf = &c->line;
    // A line that lies whole in the input block is used where it is.
    if (c->inpos < c->inend) {
        char *start = c->inblock + c->inpos;
        char *lf = static_cast<char *>(memchr(start, '\n', c->inend - c->inpos));
        if (lf) {
            size_t n = static_cast<size_t>(lf - start);
            c->inpos += n + 1;
            buf->text = start;
            buf->length = n > 0 && start[n - 1] == '\r' ? n - 1 : n;
            return n + 1;
        }
    }
    buf->text = buf->data;
    buf->length = 0;
    for (;;) {
        if (c->inpos == c->inend && !fill_input(c)) {
            buf->data[buf->length] = '\0';
            return buf->length;
        }
        const char *start = c->inblock + c->inpos;
        const char *lf = static_cast<const char *>(memchr(start, '\n', c->inend - c->inpos));
        size_t n = lf ? static_cast<size_t>(lf - start) : c->inend - c->inpos;
        // one byte more than the line, for its terminating zero
        if (!ensure_capacity(buf, buf->length + n + 1)) {
            run_out_of_memory(c);
            return 0;
        }
        buf->text = buf->data;
        memcpy(buf->data + buf->length, start, n);
        buf->length += n;
        c->inpos += n;
        if (lf) {
            c->inpos++;
            // the CR may have come in the previous block: look in the line
            if (buf->length > 0 && buf->data[buf->length - 1] == '\r') {
                buf->data[--buf->length] = '\0';
                return buf->length + 2;
            }
            buf->data[buf->length] = '\0';
            return buf->length + 1;
        }
    }
}

static bool is_label_delimiter(char c)
{
    return c == ' ' || c == ',' || c == '\r' || c == '\n' || c == '\t';
}

// "X-Babyl-Labels: " and every token of the label line but the first,
// separated by ", ", and a newline; the line counts up to a zero byte in it.
// Returns the length, 0 when memory runs out.
static size_t build_labels_line(BabylConversion *c, const char *line, size_t n)
{
    static const char prefix[] = "X-Babyl-Labels: ";
    const char *zero = static_cast<const char *>(memchr(line, '\0', n));
    if (zero)
        n = static_cast<size_t>(zero - line);
    // each token needs at most its own bytes and one delimiter byte of the
    // line; ", " adds one more byte per token
    size_t room = sizeof prefix + 2 * n + 2;
    if (room > c->labels_capacity) {
        char *p = static_cast<char *>(realloc(c->labels, room));
        if (!p) {
            run_out_of_memory(c);
            return 0;
        }
        c->labels = p;
        c->labels_capacity = room;
    }
    char *labels = c->labels;
    memcpy(labels, prefix, sizeof prefix - 1);
    size_t len = sizeof prefix - 1;
    size_t i = 0;
    bool first = true;
    for (;;) {
        while (i < n && is_label_delimiter(line[i]))
            i++;
        if (i == n)
            break;
        size_t start = i;
        while (i < n && !is_label_delimiter(line[i]))
            i++;
        if (first) {
            first = false;
            continue;
        }
        memcpy(labels + len, line + start, i - start);
        memcpy(labels + len + i - start, ", ", 2);
        len += i - start + 2;
    }
    if (labels[len - 2] == ',')
        len -= 2;
    labels[len++] = '\n';
    return len;
}

// The next CR in [q, stop) that a LF follows; the run ends with a LF.
static char *find_line_end_cr(char *q, char *stop)
{
    while (q < stop) {
        char *cr = static_cast<char *>(memchr(q, '\r', static_cast<size_t>(stop - q)));
        if (!cr)
            return nullptr;
        if (cr[1] == '\n')
            return cr;
        q = cr + 1;
    }
    return nullptr;
}

// The start of the next line in [q, stop) that needs a '>' in front; `start`
// begins a line, q is at or after it and not inside a run of '>'.
static char *find_quoted_line(char *q, char *stop, char *start)
{
    while (q < stop) {
        char *f = static_cast<char *>(memchr(q, 'F', static_cast<size_t>(stop - q)));
        if (!f)
            return nullptr;
        if (stop - f >= 5 && memcmp(f, "From ", 5) == 0) {
            char *r = f;
            while (r > start && r[-1] == '>')
                r--;
            if (r == start || r[-1] == '\n')
                return r;
        }
        q = f + 1;
    }
    return nullptr;
}

// In the body of a message every line is copied as it stands, but for a
// CR LF line end, which becomes LF, and the '>' of a "From " line: so the
// complete lines of the input block go out in runs, up to the first line
// that begins with 0x1f (which may end the message). Called at the start of
// a line; leaves the rest (a line that continues in the next block, a 0x1f
// line) to read_babyl_line.
static void copy_body_lines(BabylConversion *c)
{
    while (c->inpos < c->inend) {
        char *p = c->inblock + c->inpos;
        if (*p == '\x1f')
            return;
        char *last = static_cast<char *>(memrchr(p, '\n', c->inend - c->inpos));
        if (!last)
            return;
        char *stop = last + 1;
        for (char *q = p + 1; q < stop; q++) {
            q = static_cast<char *>(memchr(q, '\x1f', static_cast<size_t>(stop - q)));
            if (!q)
                break;
            if (q[-1] == '\n') {
                stop = q;
                break;
            }
        }
        // the run goes out in pieces: a CR of a line end is left out, a '>'
        // goes in front of a line that needs one
        char *from = p;
        char *cr = find_line_end_cr(p, stop);
        char *quote = find_quoted_line(p, stop, p);
        while (cr || quote) {
            if (quote && (!cr || quote < cr)) {
                emit(c, from, static_cast<size_t>(quote - from));
                emit(c, ">", 1);
                from = quote;
                while (*quote == '>')
                    quote++;
                quote = find_quoted_line(quote + 5, stop, p);
            } else {
                emit(c, from, static_cast<size_t>(cr - from));
                from = cr + 1;
                cr = find_line_end_cr(cr + 1, stop);
            }
        }
        emit(c, from, static_cast<size_t>(stop - from));
        c->inpos = static_cast<size_t>(stop - c->inblock);
        if (stop != last + 1)
            return;
    }
}

// Outside the visible part of a message only "*** EOOH ***" and the lines
// that begin with 0x1f count, so the complete lines of the input block up to
// the first line that begins with '*' or 0x1f are passed over in one go.
// Called at the start of a line.
static void skip_hidden_lines(BabylConversion *c)
{
    char *start = c->inblock + c->inpos, *end = c->inblock + c->inend;
    char *star = nullptr;
    for (char *p = start; p < end;) {
        if (!star || star < p) {
            star = static_cast<char *>(memchr(p, '*', static_cast<size_t>(end - p)));
            if (!star)
                star = end;
        }
        char *x = static_cast<char *>(memchr(p, '\x1f', static_cast<size_t>(star - p)));
        if (!x)
            x = star;
        if (x == end)
            break;
        if (x == start || x[-1] == '\n') {
            c->inpos = static_cast<size_t>(x - c->inblock);
            return;
        }
        p = x + 1;
    }
    char *last = static_cast<char *>(memrchr(start, '\n', static_cast<size_t>(end - start)));
    if (last)
        c->inpos = static_cast<size_t>(last + 1 - c->inblock);
}

// Markers are compared as text, up to a zero byte inside the line; a line
// that is copied is copied whole.
static bool is_eooh(const char *s, size_t n)
{
    return n >= 12 && s[0] == '*' && memcmp(s, "*** EOOH ***", 12) == 0 && (n == 12 || s[12] == '\0');
}

static void convert(BabylConversion *c, const char *separator, size_t separator_length)
{
    bool in_visible_header = false;
    bool printing = false;
    bool have_labels = false;
    size_t labels_length = 0;

    for (;;) {
        if (!printing)
            skip_hidden_lines(c);
        else if (!in_visible_header)
            copy_body_lines(c);
        if (read_babyl_line(c) == 0)
            break;
        const char *s = c->line.text;
        size_t n = c->line.length;
        if (!printing && is_eooh(s, n)) {
            in_visible_header = true;
            printing = true;
            emit(c, separator, separator_length);
            continue;
        }
        if (n > 0 && s[0] == '\x1f') {
            if (n == 1 || s[1] == '\0')
                continue;
            if (s[1] == '\x0c') {
                read_babyl_line(c); // empty at end of input
                labels_length = build_labels_line(c, c->line.text, c->line.length);
                in_visible_header = false;
                printing = false;
                have_labels = true;
                continue;
            }
        }
        if ((n == 0 || s[0] == '\0') && in_visible_header) {
            in_visible_header = false;
            if (have_labels)
                emit_copy(c, c->labels, labels_length);
        }
        if (printing)
            emit_line(c);
    }
}

bool babyl_begin(BabylConversion *c)
{
    c->status = babyl_ok;
    c->write_error = 0;
    c->inpos = c->inend = 0;
    c->ineof = false;
    c->outcount = 0;
    c->outfill = 0;
    c->labels = nullptr;
    c->labels_capacity = 0;
    c->line = {200, static_cast<char *>(malloc(200)), 0, nullptr};
    return c->line.data != nullptr;
}

BabylStatus babyl_convert(BabylConversion *c, const char *separator, size_t separator_length)
{
    if (read_babyl_line(c) == 0 || strncmp(c->line.text, "BABYL OPTIONS:", 14) != 0)
        return c->status != babyl_ok ? c->status : babyl_not_babyl;
    convert(c, separator, separator_length);
    if (c->status == babyl_ok)
        flush_output(c);
    return c->status;
}

bool babyl_flush(BabylConversion *c)
{
    flush_output(c);
    return c->status != babyl_write_failed;
}

void babyl_end(BabylConversion *c)
{
    free(c->line.data);
    c->line.data = nullptr;
    free(c->labels);
    c->labels = nullptr;
}
