#include "dvd-log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

static void log_to_stderr(void *, dvd_logger_level_t, const char *format, va_list args)
{
    int saved = errno; // a failed open is reported with errno after the library logged
    fputs("libdvdread: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    errno = saved;
}

const dvd_logger_cb stderr_logger = {log_to_stderr};
