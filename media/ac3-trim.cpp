// ac3-trim: drop whatever precedes the first AC-3 sync word (0x0B 0x77) on
// standard input and copy the rest, from the sync word on, to standard output.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "ac3_sync.h"

static const char *progname;
// Its buffer is too large for the stack.
static Ac3Trim trim;

int main(int argc, char *argv[])
{
    progname = argc > 0 ? argv[0] : "ac3-trim";
    // A reader that has gone away is reported as a write error, not a silent death.
    signal(SIGPIPE, SIG_IGN);

    if (!trim_to_sync(&trim)) {
        fprintf(stderr, "%s: %s: %s\n", progname, trim.failed, strerror(trim.error));
        return 1;
    }
    return 0;
}
