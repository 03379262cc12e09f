// babconv: read a Babyl mail file on standard input, write the same messages
// as a Unix mailbox on standard output.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <string>
#include <unistd.h>

static const char version[] = "21.4";
static const char notice[] =
    "Copyright (C) 2026 the set-top box tools authors; "
    "free software under the GNU GPL, version 2 or later.";
static const char label_delimiters[] = " ,\r\n\t";

struct line_buffer {
    size_t capacity;
    char *data;    // room for a line that crosses input blocks
    size_t length; // bytes of the line; zero bytes inside it count too
    char *text;    // the current line, zero-terminated, without its line end:
                   // in the input block itself, or in data
};

static const char *progname;

// Input and output go through blocks of their own: one system call per block,
// never a library call per byte.
static char inblock[128 * 1024];
static size_t inpos, inend;
static bool ineof;
static char outblock[128 * 1024];
static size_t outfill;

static void report_write_error()
{
    fprintf(stderr, "%s: %s\n", progname, strerror(errno));
    exit(1);
}

static void write_all(const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            report_write_error();
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

static void flush_output()
{
    size_t n = outfill;
    outfill = 0;
    write_all(outblock, n);
}

static void die_with_message(const char *text)
{
    fprintf(stderr, "%s: %s\n", progname, text);
    // what was converted before the failure still reaches stdout
    flush_output();
    exit(1);
}

static void emit(const char *p, size_t n)
{
    // a long run goes out from where it lies, without a copy
    if (n >= 16384) {
        flush_output();
        write_all(p, n);
        return;
    }
    if (n > sizeof outblock - outfill) {
        flush_output();
        if (n >= sizeof outblock) {
            write_all(p, n);
            return;
        }
    }
    memcpy(outblock + outfill, p, n);
    outfill += n;
}

// A copied line that begins with "From ", after any number of '>', gets one
// more '>': a mailbox reader then sees a new message only at the separators,
// and taking one '>' off gives the line back (the mboxrd convention).
static bool needs_quote(const char *p, size_t n)
{
    size_t i = 0;
    while (i < n && p[i] == '>')
        i++;
    return n - i >= 5 && memcmp(p + i, "From ", 5) == 0;
}

static void emit_line(const char *p, size_t n)
{
    if (n < sizeof outblock - outfill) {
        memcpy(outblock + outfill, p, n);
        outblock[outfill + n] = '\n';
        outfill += n + 1;
        return;
    }
    emit(p, n);
    emit("\n", 1);
}

static bool fill_input()
{
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
    // A line that lies whole in the input block is used where it is: its
    // line end is overwritten by the terminating zero.
    if (inpos < inend) {
        char *start = inblock + inpos;
        char *lf = static_cast<char *>(memchr(start, '\n', inend - inpos));
        if (lf) {
            size_t n = static_cast<size_t>(lf - start);
            inpos += n + 1;
            buf->text = start;
            if (n > 0 && start[n - 1] == '\r') {
                start[n - 1] = '\0';
                buf->length = n - 1;
                return n + 1;
            }
            *lf = '\0';
            buf->length = n;
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

// "X-Babyl-Labels: " and every token of the label line but the first,
// separated by ", ". Built in one pass so that a huge label line costs
// linear time.
static char *build_labels_line(char *labelline)
{
    static const char prefix[] = "X-Babyl-Labels: ";
    // each token needs at most its own bytes and one delimiter byte of the
    // line; ", " adds one more byte per token
    size_t room = sizeof prefix + 2 * strlen(labelline) + 2;
    char *result = static_cast<char *>(malloc(room));
    if (!result)
        die_with_message("virtual memory exhausted");
    memcpy(result, prefix, sizeof prefix);
    size_t len = sizeof prefix - 1;
    char *token = strtok(labelline, label_delimiters);
    if (token)
        token = strtok(nullptr, label_delimiters);
    for (; token; token = strtok(nullptr, label_delimiters)) {
        size_t n = strlen(token);
        memcpy(result + len, token, n);
        memcpy(result + len + n, ", ", 3);
        len += n + 2;
    }
    if (result[len - 2] == ',')
        result[len - 2] = '\0';
    return result;
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
// that begins with 0x1f (which may end the message). Called at the start of a line; leaves the rest (a line that
// continues in the next block, a 0x1f line) to read_babyl_line.
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

static void convert(line_buffer *buf, const std::string &separator)
{
    bool in_visible_header = false;
    bool printing = false;
    bool have_labels = false;
    char *labels_line = nullptr;

    for (;;) {
        if (printing && !in_visible_header)
            copy_body_lines();
        if (read_babyl_line(buf) == 0)
            break;
        const char *s = buf->text;
        // Markers are compared as text, up to a zero byte inside the line;
        // a line that is copied is copied whole.
        if (!printing && strcmp(s, "*** EOOH ***") == 0) {
            in_visible_header = true;
            printing = true;
            emit(separator.data(), separator.size());
            continue;
        }
        if (s[0] == '\x1f') {
            if (s[1] == '\0')
                continue;
            if (s[1] == '\x0c') {
                read_babyl_line(buf); // empty at end of input
                free(labels_line);
                labels_line = build_labels_line(buf->text);
                in_visible_header = false;
                printing = false;
                have_labels = true;
                continue;
            }
        }
        if (s[0] == '\0' && in_visible_header) {
            in_visible_header = false;
            if (have_labels)
                emit_line(labels_line, strlen(labels_line));
        }
        if (printing) {
            if (needs_quote(s, buf->length))
                emit(">", 1);
            emit_line(s, buf->length);
        }
    }
    free(labels_line);
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
    std::string separator = std::string("From \"Babyl to mail by ") + progname + "\" " + when;

    line_buffer buf{200, static_cast<char *>(malloc(200)), 0, nullptr};
    if (!buf.data)
        die_with_message("virtual memory exhausted");

    if (read_babyl_line(&buf) == 0 || strncmp(buf.text, "BABYL OPTIONS:", 14) != 0)
        die_with_message("standard input is not a Babyl mailfile.");
    convert(&buf, separator);
    flush_output();
    free(buf.data);
    return 0;
}
