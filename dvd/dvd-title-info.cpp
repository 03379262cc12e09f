// dvd-title-info: print the navigation information of one DVD title set.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dvdread/dvd_reader.h>
// This header, unlike the others, has no C++ linkage guard of its own.
extern "C" {
#include <dvdread/ifo_print.h>
}

#include "dvd-log.h"

static const char *progname;

static void usage()
{
    fprintf(stderr, "Usage: %s <dvd path> <title number>\n", progname);
    exit(1);
}

int main(int argc, char *argv[])
{
    progname = argv[0];
    if (argc != 3)
        usage();
    const char *path = argv[1];

    dvd_reader_t *dvd = DVDOpen2(nullptr, &stderr_logger, path);
    if (!dvd) {
        fprintf(stderr, "Can't open disc %s!\n", path);
        return 255;
    }

    // 0 is the video manager, 1 and up the title sets; the library rejects the
    // rest. A number beyond int is held at its end rather than let wrap round
    // into a title that exists (4294967297 would otherwise print title 1).
    long number = strtol(argv[2], nullptr, 10);
    int title = number > INT_MAX ? INT_MAX : number < INT_MIN ? INT_MIN : (int)number;
    ifo_print(dvd, title);

    int status = 0;
    // A report lost on the way out (a full disc, a closed pipe) is no success.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: error writing standard output: %s\n", progname, strerror(errno));
        status = 255;
    }

    DVDClose(dvd);
#ifdef HAVE_DVDFINISH
    DVDFinish();
#endif
    return status;
}
