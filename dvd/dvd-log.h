// The logger both DVD programs hand to libdvdread.
#pragma once

#include <dvdread/dvd_reader.h>

// libdvdread's own logger writes its warnings to standard output, where the
// programs print their results; this one sends them to standard error.
extern const dvd_logger_cb stderr_logger;
