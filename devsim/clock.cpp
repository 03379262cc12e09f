// The clock: under `clock virtual` the program's clock reads see simulated
// time, which only its sleeps and the captures move on; under `clock real`
// the sleeps really sleep. Every sleep is traced in its own unit.
#include "preload.h"
#include "real_libc.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

static const long long virtual_epoch = 946684800; // 2000-01-01 00:00:00 UTC

static int (*real_usleep)(useconds_t);
static unsigned (*real_sleep)(unsigned);
static int (*real_nanosleep)(const struct timespec *, struct timespec *);
static int (*real_clock_nanosleep)(clockid_t, int, const struct timespec *, struct timespec *);
static int (*real_gettimeofday)(struct timeval *, void *);
static int (*real_clock_gettime)(clockid_t, struct timespec *);
static time_t (*real_time)(time_t *);

long long monotonic_ns()
{
    struct timespec ts;
    REAL(clock_gettime)(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

long long trace_now()
{
    return sim->sc.virtual_clock ? sim->vclock_ns : monotonic_ns() - sim->real_start_ns;
}

static void real_sleep_ns(long long ns)
{
    struct timespec ts = {(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
    while (REAL(nanosleep)(&ts, &ts) != 0 && errno == EINTR) {}
}

// Moves the virtual clock on. A program that would sleep past the scenario's
// end of time is stopped there, as if killed from outside: a program that
// never ends by itself (a retry loop) then ends without spinning for ever.
static void stop_program()
{
    syscall(SYS_kill, syscall(SYS_getpid), SIGTERM);
    syscall(SYS_kill, syscall(SYS_getpid), SIGKILL); // SIGTERM was caught or blocked
}

static void advance_virtual(long long ns)
{
    const long long end = sim->sc.end_ns;
    if (end >= 0 && ns > end - sim->vclock_ns) {
        sim->vclock_ns = end;
        trace(end, "end of virtual time");
        stop_program();
    }
    sim->vclock_ns += ns;
}

void stop_waiting_for_ever()
{
    if (sim->sc.virtual_clock)
        stop_program();
    for (;;)
        pause();
}

void pass_time(long long ns)
{
    if (sim->sc.virtual_clock)
        advance_virtual(ns);
    else
        real_sleep_ns(ns);
}

static bool is_virtual_clock_id(clockid_t c)
{
    switch (c) {
    case CLOCK_REALTIME:
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_BOOTTIME:
    case CLOCK_REALTIME_ALARM:
    case CLOCK_BOOTTIME_ALARM:
    case CLOCK_TAI:
        return true;
    default:
        return false; // CPU-time clocks stay real
    }
}

extern "C" {

// ---- clock reads ------------------------------------------------------------

int gettimeofday(struct timeval *tv, void *tz) noexcept
{
    if (!ensure_init() || !sim->sc.virtual_clock)
        return REAL(gettimeofday)(tv, tz);
    tv->tv_sec = (time_t)(virtual_epoch + sim->vclock_ns / 1000000000LL);
    tv->tv_usec = (suseconds_t)(sim->vclock_ns % 1000000000LL / 1000);
    if (tz)
        memset(tz, 0, sizeof(struct timezone));
    return 0;
}

int clock_gettime(clockid_t c, struct timespec *ts) noexcept
{
    if (!ensure_init() || !sim->sc.virtual_clock || !is_virtual_clock_id(c))
        return REAL(clock_gettime)(c, ts);
    ts->tv_sec = (time_t)(virtual_epoch + sim->vclock_ns / 1000000000LL);
    ts->tv_nsec = (long)(sim->vclock_ns % 1000000000LL);
    return 0;
}

time_t time(time_t *out) noexcept
{
    if (!ensure_init() || !sim->sc.virtual_clock)
        return REAL(time)(out);
    time_t now = (time_t)(virtual_epoch + sim->vclock_ns / 1000000000LL);
    if (out)
        *out = now;
    return now;
}

// ---- sleeps -----------------------------------------------------------------

int usleep(useconds_t us)
{
    if (!ensure_init())
        return REAL(usleep)(us);
    long long t = trace_now();
    if (sim->sc.virtual_clock) {
        advance_virtual((long long)us * 1000);
        trace(t, "usleep %u -> 0", (unsigned)us);
        return 0;
    }
    int r = REAL(usleep)(us);
    int err = errno;
    if (r == 0)
        trace(t, "usleep %u -> 0", (unsigned)us);
    else
        trace(t, "usleep %u -> -1 %s", (unsigned)us, err_text(err).c_str());
    errno = err;
    return r;
}

unsigned sleep(unsigned s)
{
    if (!ensure_init())
        return REAL(sleep)(s);
    long long t = trace_now();
    unsigned r = 0;
    if (sim->sc.virtual_clock)
        advance_virtual((long long)s * 1000000000LL);
    else
        r = REAL(sleep)(s);
    trace(t, "sleep %u -> %u", s, r);
    return r;
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    if (!ensure_init())
        return REAL(nanosleep)(req, rem);
    long long t = trace_now();
    if (!sim->sc.virtual_clock || !req || req->tv_nsec < 0 || req->tv_nsec >= 1000000000L || req->tv_sec < 0) {
        int r = REAL(nanosleep)(req, rem);
        int err = errno;
        if (req && r == 0)
            trace(t, "nanosleep %lld -> 0", (long long)req->tv_sec * 1000000000LL + req->tv_nsec);
        else if (req)
            trace(t, "nanosleep %lld -> -1 %s", (long long)req->tv_sec * 1000000000LL + req->tv_nsec,
                  err_text(err).c_str());
        errno = err;
        return r;
    }
    long long ns = (long long)req->tv_sec * 1000000000LL + req->tv_nsec;
    advance_virtual(ns);
    trace(t, "nanosleep %lld -> 0", ns);
    return 0;
}

int clock_nanosleep(clockid_t c, int flags, const struct timespec *req, struct timespec *rem)
{
    if (!ensure_init() || !req)
        return REAL(clock_nanosleep)(c, flags, req, rem);
    long long t = trace_now();
    long long ns = (long long)req->tv_sec * 1000000000LL + req->tv_nsec;
    char what[64];
    if (flags & TIMER_ABSTIME)
        snprintf(what, sizeof what, "abs=%lld.%09ld", (long long)req->tv_sec, (long)req->tv_nsec);
    else
        snprintf(what, sizeof what, "%lld", ns);
    int r;
    if (sim->sc.virtual_clock && is_virtual_clock_id(c) && req->tv_nsec >= 0 && req->tv_nsec < 1000000000L) {
        if (!(flags & TIMER_ABSTIME))
            advance_virtual(ns < 0 ? 0 : ns);
        else if (ns - virtual_epoch * 1000000000LL > sim->vclock_ns)
            advance_virtual(ns - virtual_epoch * 1000000000LL - sim->vclock_ns);
        r = 0;
    } else {
        r = REAL(clock_nanosleep)(c, flags, req, rem);
    }
    if (r == 0)
        trace(t, "clock_nanosleep %s -> 0", what);
    else
        trace(t, "clock_nanosleep %s -> %s", what, err_text(r).c_str());
    return r;
}

} // extern "C"
