// orlimclient's command line, and the request line it sends the edit server.
#pragma once

#include <cstdio>

struct OrlimOptions {
    const char *alteditor = nullptr; // as the last option word says: -a, or $ALTERNATE_EDITOR
    int nowait = 0;
    int first_file = 1; // index in argv of the first file argument
};

enum OrlimParse {
    orlim_files,   // options read; the file arguments follow
    orlim_version, // -V: say the version
    orlim_usage,   // an option getopt_long has already reported
};

// Reads the options of argv (getopt_long starts afresh) into *options.
OrlimParse parse_options(int argc, char *argv[], OrlimOptions *options);

// Writes the request for files[0, count) to request: "-nowait " where asked,
// then each name, with cwd and "/" in front where it is neither absolute nor
// a +LINE[:COLUMN] position, quoted for the server and followed by a blank;
// a newline ends it. Returns false, having written nothing, when memory runs
// out (errno ENOMEM).
bool write_request(FILE *request, const OrlimOptions &options, const char *cwd, int count, char *const files[]);
