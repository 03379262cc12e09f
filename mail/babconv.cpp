// babconv: read a Babyl mail file on standard input, write the same messages
// as a Unix mailbox on standard output.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>

#include "babyl.h"

static const char version[] = "21.4";
static const char notice[] = "Copyright (C) 2026 the set-top box tools authors; "
                             "free software under the GNU GPL, version 2 or later.";

static const char *progname;
// Its blocks are too large for the stack.
static BabylConversion conversion;

[[noreturn]] static void report_write_error(int error)
{
    fprintf(stderr, "%s: %s\n", progname, strerror(error));
    exit(1);
}

[[noreturn]] static void die_with_message(const char *text)
{
    fprintf(stderr, "%s: %s\n", progname, text);
    // what was converted before the failure still reaches stdout
    if (!babyl_flush(&conversion))
        report_write_error(conversion.write_error);
    exit(1);
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
                report_write_error(errno);
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

    if (!babyl_begin(&conversion))
        die_with_message("virtual memory exhausted");
    BabylStatus status = babyl_convert(&conversion, separator, separator_length);
    // Given back before any ending below, so that leak checkers see none.
    free(separator);
    switch (status) {
    case babyl_ok:
        break;
    case babyl_not_babyl:
        die_with_message("standard input is not a Babyl mailfile.");
    case babyl_out_of_memory:
        die_with_message("virtual memory exhausted");
    case babyl_write_failed:
        report_write_error(conversion.write_error);
    }
    babyl_end(&conversion);
    return 0;
}
