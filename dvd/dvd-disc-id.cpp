// dvd-disc-id: print the 128-bit identifier of a DVD as 32 hexadecimal digits.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dvdread/dvd_reader.h>

#include "dvd-log.h"

static const char *progname;

static void finish_library()
{
#ifdef HAVE_DVDFINISH
    DVDFinish();
#endif
}

static void usage()
{
    fprintf(stderr, "Usage: %s <dvd path>\n", progname);
    exit(1);
}

int main(int argc, char *argv[])
{
    progname = argv[0];
    if (argc != 2)
        usage();
    const char *path = argv[1];

    dvd_reader_t *dvd = DVDOpen2(nullptr, &stderr_logger, path);
    if (!dvd) {
        fprintf(stderr, "Can't open disc '%s': %s\n", path, strerror(errno));
        finish_library();
        return 255;
    }

    int status = 0;
    unsigned char id[16];
    if (DVDDiscID(dvd, id) != 0) {
        fprintf(stderr, "Error getting disc id from disc '%s': %s\n", path, strerror(errno));
        status = 255;
    } else {
        for (unsigned char byte : id)
            printf("%02x", byte);
        putchar('\n');
        // A script reading a lost or cut identifier must not be told it succeeded.
        if (fflush(stdout) != 0 || ferror(stdout)) {
            fprintf(stderr, "%s: error writing standard output: %s\n", progname, strerror(errno));
            status = 255;
        }
    }

    DVDClose(dvd);
    finish_library();
    return status;
}
