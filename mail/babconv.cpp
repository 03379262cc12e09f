// babconv: read a Babyl mail file on standard input, write the same messages
// as a Unix mailbox on standard output.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <sys/uio.h>
#include <unistd.h>

static const char version[] = "21.4";
static const char notice[] = "Copyright (C) 2026 the set-top box tools authors; "
                             "free software under the GNU GPL, version 2 or later.";

struct line_buffer {
    size_t capacity;
    char *data;    // room for a line that crosses input blocks
    size_t length; // bytes of the line, without its line end; zero bytes
                   // inside it count too
    char *text;    // the current line: in the input block itself, where its
                   // line end still follows it, or in data
};

static const char *progname;

// Input goes through a block of its own, one read per block. Output is a
// list of pieces written with one writev: most lie in the input block or in
// fixed texts and go out from there without a copy; bytes that do not stay
// where they are (a line assembled across blocks, a labels line) are copied
// to outblock first. Everything is written before the input block is
// refilled.
static char inblock[128 * 1024];
static size_t inpos, inend;
static bool ineof;
static iovec outvec[512];
static size_t outcount;
static char outblock[64 * 1024];
static size_t outfill;

static void report_write_error()
{
    fprintf(stderr, "%s: %s\n", progname, strerror(errno));
    exit(1);
}

static void flush_output()
{
    iovec *v = outvec;
    size_t count = outcount;
    outcount = 0;
    outfill = 0;
    while (count > 0) {
        ssize_t w = writev(STDOUT_FILENO, v, static_cast<int>(count));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            report_write_error();
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
static void emit(const char *p, size_t n)
{
    if (n == 0)
        return;
    if (outcount > 0) {
        iovec *last = &outvec[outcount - 1];
        if (static_cast<char *>(last->iov_base) + last->iov_len == p) {
            last->iov_len += n;
            return;
        }
    }
    if (outcount == sizeof outvec / sizeof outvec[0])
        flush_output();
    outvec[outcount++] = {const_cast<char *>(p), n};
}

static void emit_copy(const char *p, size_t n)
{
    // a long line goes out from where it lies
    if (n >= 16384) {
        emit(p, n);
        flush_output();
        return;
    }
    if (n > sizeof outblock - outfill || outcount == sizeof outvec / sizeof outvec[0])
        flush_output();
    memcpy(outblock + outfill, p, n);
    emit(outblock + outfill, n);
    outfill += n;
}

static void die_with_message(const char *text)
{
    fprintf(stderr, "%s: %s\n", progname, text);
    // what was converted before the failure still reaches stdout
    flush_output();
    exit(1);
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

static void emit_line(const line_buffer *buf)
{
    const char *p = buf->text;
    size_t n = buf->length;
    if (needs_quote(p, n))
        emit(">", 1);
    if (p == buf->data) {
        emit_copy(p, n);
        emit("\n", 1);
    } else if (p[n] == '\n') {
        emit(p, n + 1);
    } else {
        emit(p, n); // the CR of a CR LF stays behind
        emit("\n", 1);
    }
}

static bool fill_input()
{
    flush_output();
    while (!ineof) {
        ssize_t r = read(STDIN_FILENO, inblock, sizeof inblock);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            ineof = true; // a read error ends the input like end of file
            break;
        }
        inpos = 0;
        inend = static_cast<size_t>(r);
        return true;
    }
    return false;
}

// Grow by doubling until `need` bytes fit; the block never shrinks.
static void ensure_capacity(line_buffer *buf, size_t need)
{
    if (need <= buf->capacity)
        return;
    size_t capacity = buf->capacity;
    while (capacity < need) {
        if (capacity > SIZE_MAX / 2)
            die_with_message("virtual memory exhausted");
        capacity *= 2;
    }
    char *data = static_cast<char *>(realloc(buf->data, capacity));
    if (!data)
        die_with_message("virtual memory exhausted");
    buf->data = data;
    buf->capacity = capacity;
}

// Returns the line's length plus its end: 0 at end of input, 1 for LF,
// 2 for CR LF; 0 alone means the input ended before any byte.
static size_t read_babyl_line(line_buffer *buf)
{
    // A line that lies whole in the input block is used where it is.
    if (inpos < inend) {
        char *start = inblock + inpos;
        char *lf = static_cast<char *>(memchr(start, '\n', inend - inpos));
        if (lf) {
            size_t n = static_cast<size_t>(lf - start);
            inpos += n + 1;
            buf->text = start;
            buf->length = n > 0 && start[n - 1] == '\r' ? n - 1 : n;
            return n + 1;
        }
    }
    buf->text = buf->data;
    buf->length = 0;
    for (;;) {
        if (inpos == inend && !fill_input()) {
            buf->data[buf->length] = '\0';
            return buf->length;
        }
        const char *start = inblock + inpos;
        const char *lf = static_cast<const char *>(memchr(start, '\n', inend - inpos));
        size_t n = lf ? static_cast<size_t>(lf - start) : inend - inpos;
        // one byte more than the line, for its terminating zero
        ensure_capacity(buf, buf->length + n + 1);
        buf->text = buf->data;
        memcpy(buf->data + buf->length, start, n);
        buf->length += n;
        inpos += n;
        if (lf) {
            inpos++;
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
// One block, reused for every message.
static char *labels;
static size_t labels_capacity;

static size_t build_labels_line(const char *line, size_t n)
{
    static const char prefix[] = "X-Babyl-Labels: ";
    const char *zero = static_cast<const char *>(memchr(line, '\0', n));
    if (zero)
        n = static_cast<size_t>(zero - line);
    // each token needs at most its own bytes and one delimiter byte of the
    // line; ", " adds one more byte per token
    size_t room = sizeof prefix + 2 * n + 2;
    if (room > labels_capacity) {
        char *p = static_cast<char *>(realloc(labels, room));
        if (!p)
            die_with_message("virtual memory exhausted");
        labels = p;
        labels_capacity = room;
    }
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
static void copy_body_lines()
{
    while (inpos < inend) {
        char *p = inblock + inpos;
        if (*p == '\x1f')
            return;
        char *last = static_cast<char *>(memrchr(p, '\n', inend - inpos));
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
                emit(from, static_cast<size_t>(quote - from));
                emit(">", 1);
                from = quote;
                while (*quote == '>')
                    quote++;
                quote = find_quoted_line(quote + 5, stop, p);
            } else {
                emit(from, static_cast<size_t>(cr - from));
                from = cr + 1;
                cr = find_line_end_cr(cr + 1, stop);
            }
        }
        emit(from, static_cast<size_t>(stop - from));
        inpos = static_cast<size_t>(stop - inblock);
        if (stop != last + 1)
            return;
    }
}

// Outside the visible part of a message only "*** EOOH ***" and the lines
// that begin with 0x1f count, so the complete lines of the input block up to
// the first line that begins with '*' or 0x1f are passed over in one go.
// Called at the start of a line.
static void skip_hidden_lines()
{
    char *start = inblock + inpos, *end = inblock + inend;
    char *star = nullptr;
    for (char *p = start; p < end;) {
        if (!star || star < p) {
            star = static_cast<char *>(memchr(p, '*', static_cast<size_t>(end - p)));
            if (!star)
                star = end;
        }
        char *c = static_cast<char *>(memchr(p, '\x1f', static_cast<size_t>(star - p)));
        if (!c)
            c = star;
        if (c == end)
            break;
        if (c == start || c[-1] == '\n') {
            inpos = static_cast<size_t>(c - inblock);
            return;
        }
        p = c + 1;
    }
    char *last = static_cast<char *>(memrchr(start, '\n', static_cast<size_t>(end - start)));
    if (last)
        inpos = static_cast<size_t>(last + 1 - inblock);
}

// Markers are compared as text, up to a zero byte inside the line; a line
// that is copied is copied whole.
static bool is_eooh(const char *s, size_t n)
{
    return n >= 12 && s[0] == '*' && memcmp(s, "*** EOOH ***", 12) == 0 && (n == 12 || s[12] == '\0');
}

static void convert(line_buffer *buf, const char *separator, size_t separator_length)
{
    bool in_visible_header = false;
    bool printing = false;
    bool have_labels = false;
    size_t labels_length = 0;

    for (;;) {
        if (!printing)
            skip_hidden_lines();
        else if (!in_visible_header)
            copy_body_lines();
        if (read_babyl_line(buf) == 0)
            break;
        const char *s = buf->text;
        size_t n = buf->length;
        if (!printing && is_eooh(s, n)) {
            in_visible_header = true;
            printing = true;
            emit(separator, separator_length);
            continue;
        }
        if (n > 0 && s[0] == '\x1f') {
            if (n == 1 || s[1] == '\0')
                continue;
            if (s[1] == '\x0c') {
                read_babyl_line(buf); // empty at end of input
                labels_length = build_labels_line(buf->text, buf->length);
                in_visible_header = false;
                printing = false;
                have_labels = true;
                continue;
            }
        }
        if ((n == 0 || s[0] == '\0') && in_visible_header) {
            in_visible_header = false;
            if (have_labels)
                emit_copy(labels, labels_length);
        }
        if (printing)
            emit_line(buf);
    }
}

static void usage()
{
    fprintf(stderr, "Usage: %s <babylmailbox >unixmailbox\n", progname);
}

int main(int argc, char *argv[])
{
    static const option longopts[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    progname = argv[0] ? argv[0] : "babconv";

    int c;
    while ((c = getopt_long(argc, argv, "hV", longopts, nullptr)) != -1) {
        switch (c) {
        case 'h':
            usage();
            return 0;
        case 'V':
            printf("%s (Vantor Orlim %s)\n", "babconv", version);
            puts(notice);
            if (fflush(stdout) != 0)
                report_write_error();
            return 0;
        default:
            break; // getopt_long has said what it did not understand
        }
    }
    if (optind != argc) {
        usage();
        return 0;
    }

    // one date for every "From " line: the time of the start
    time_t now = time(nullptr);
    const char *when = ctime(&now);
    if (!when)
        when = "\n"; // a clock beyond ctime's range; the line still ends
    static const char from[] = "From \"Babyl to mail by ";
    size_t separator_length = sizeof from - 1 + strlen(progname) + 2 + strlen(when);
    char *separator = static_cast<char *>(malloc(separator_length + 1));
    if (!separator)
        die_with_message("virtual memory exhausted");
    snprintf(separator, separator_length + 1, "%s%s\" %s", from, progname, when);

    line_buffer buf{200, static_cast<char *>(malloc(200)), 0, nullptr};
    if (!buf.data)
        die_with_message("virtual memory exhausted");

    if (read_babyl_line(&buf) == 0 || strncmp(buf.text, "BABYL OPTIONS:", 14) != 0)
        die_with_message("standard input is not a Babyl mailfile.");
    convert(&buf, separator, separator_length);
    flush_output();
    free(buf.data);
    free(labels);
    free(separator);
    return 0;
}
