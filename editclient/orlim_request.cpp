// orlimclient's options and request line.
#include "orlim_request.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

static const struct option longopts[] = {
    {"no-wait", no_argument, nullptr, 'n'},
    {"help", no_argument, nullptr, 'H'},
    {"version", no_argument, nullptr, 'V'},
    {"alternate-editor", required_argument, nullptr, 'a'},
    {nullptr, 0, nullptr, 0},
};

// Whatever the last option word says wins: -a, or else the environment.
OrlimParse parse_options(int argc, char *argv[], OrlimOptions *options)
{
    optind = 0;
    int c;
    while ((c = getopt_long(argc, argv, "VHna:", longopts, nullptr)) != -1) {
        options->alteditor = getenv("ALTERNATE_EDITOR");
        switch (c) {
        case 'a':
            options->alteditor = optarg;
            break;
        case 'n':
            options->nowait = 1;
            break;
        case 'V':
            return orlim_version;
        default:
            return orlim_usage;
        }
    }
    options->first_file = optind;
    return orlim_files;
}

// A '+' argument made of digits and ':' only is a position, not a file name.
static bool needs_prefix(const char *arg)
{
    if (arg[0] == '/')
        return false;
    if (arg[0] != '+')
        return true;
    const char *p = arg + 1;
    while (isdigit(static_cast<unsigned char>(*p)) || *p == ':')
        p++;
    return *p != '\0';
}

// Null when memory runs out.
static char *quote_for_server(const char *s)
{
    size_t n = strlen(s);
    char *quoted = static_cast<char *>(malloc(2 * n + 1));
    if (!quoted)
        return nullptr;
    char *q = quoted;
    for (size_t i = 0; i < n; i++) {
        if (s[i] == ' ') {
            *q++ = '&';
            *q++ = '_';
        } else if (s[i] == '&') {
            *q++ = '&';
            *q++ = '&';
        } else if (s[i] == '-' && i == 0) {
            *q++ = '&';
            *q++ = '-';
        } else {
            *q++ = s[i];
        }
    }
    *q = '\0';
    return quoted;
}

static void free_quoted(char *dir, char **quoted, int count)
{
    for (int i = 0; i < count; i++)
        free(quoted[i]);
    free(quoted);
    free(dir);
}

// Every piece is quoted before anything is written, so that running out of
// memory never leaves half a request for the server.
bool write_request(FILE *request, const OrlimOptions &options, const char *cwd, int count, char *const files[])
{
    char *dir = nullptr;
    char **quoted = static_cast<char **>(malloc(count * sizeof *quoted));
    int done = 0;
    while (quoted && done < count) {
        if (needs_prefix(files[done]) && !dir && !(dir = quote_for_server(cwd)))
            break;
        if (!(quoted[done] = quote_for_server(files[done])))
            break;
        done++;
    }
    if (!quoted || done < count) {
        free_quoted(dir, quoted, done);
        errno = ENOMEM;
        return false;
    }

    if (options.nowait)
        fprintf(request, "-nowait ");
    for (int i = 0; i < count; i++) {
        if (needs_prefix(files[i]))
            fprintf(request, "%s/", dir);
        fprintf(request, "%s ", quoted[i]);
    }
    fprintf(request, "\n");
    fflush(request);
    free_quoted(dir, quoted, count);
    return true;
}
