// poll and ppoll on V4L2 capture descriptors: ready when a filled buffer can
// be dequeued, POLLERR while the device cannot fill one (not streaming, no
// buffer queued, gone), and a wait moves the clock on to the next frame or to
// the timeout. Other descriptors in the same set are asked of the kernel
// without waiting while the clock is virtual; under the real clock the
// kernel's wait for them stands in for the wait. Sets without a V4L2 capture
// descriptor go to libc untouched.
#include "preload.h"
#include "real_libc.h"
#include "v4l2.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <poll.h>

static int (*real_poll)(struct pollfd *, nfds_t, int);
static int (*real_ppoll)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);

// One call: the program's set and what the simulated entries stand for.
struct PollCall {
    std::vector<struct pollfd> fds;
    std::vector<int> dev; // per entry: the capture device, or -1 for another descriptor
    long long timeout_ns; // -1: none
    const sigset_t *mask;
    bool any_other = false;
};

static std::string events_text(short events)
{
    static const struct {
        short bit;
        const char *name;
    } names[] = {{POLLIN, "POLLIN"},         {POLLPRI, "POLLPRI"},       {POLLOUT, "POLLOUT"},
                 {POLLERR, "POLLERR"},       {POLLHUP, "POLLHUP"},       {POLLNVAL, "POLLNVAL"},
                 {POLLRDNORM, "POLLRDNORM"}, {POLLRDBAND, "POLLRDBAND"}, {POLLWRNORM, "POLLWRNORM"},
                 {POLLWRBAND, "POLLWRBAND"}};
    std::string s;
    unsigned rest = (unsigned short)events;
    for (const auto &n : names) {
        if (rest & (unsigned short)n.bit) {
            s += std::string("|") + n.name;
            rest &= ~(unsigned short)n.bit;
        }
    }
    if (rest)
        s += fmt("|0x%x", rest);
    return s.empty() ? "0" : s.substr(1);
}

// What the set asks, for the trace: each capture entry, then the others.
static std::string call_text(const PollCall &c, const char *name, bool is_ppoll, const struct timespec *ts,
                             int timeout_ms)
{
    std::string s = name;
    int others = 0;
    for (size_t i = 0; i < c.fds.size(); i++) {
        OpenDev *od = c.dev[i] >= 0 ? find_open(c.fds[i].fd) : nullptr;
        if (od)
            s += " " + od->path_as_given + " events=" + events_text(c.fds[i].events);
        else
            others++;
    }
    if (others)
        s += fmt(" +%d other%s", others, others == 1 ? "" : "s");
    if (!is_ppoll)
        s += fmt(" timeout=%d", timeout_ms);
    else if (ts)
        s += fmt(" timeout=%lld.%09ld", (long long)ts->tv_sec, ts->tv_nsec);
    else
        s += " timeout=none";
    return s;
}

// The capture entries' answers now.
static int capture_answers(PollCall &c)
{
    int ready = 0;
    for (size_t i = 0; i < c.fds.size(); i++) {
        if (c.dev[i] < 0)
            continue;
        v4l2_catch_up(c.dev[i]);
        long long at = v4l2_ready_at(c.dev[i]);
        short revents = 0;
        if (at < 0)
            revents = POLLERR;
        else if (at <= trace_now())
            revents = (short)(c.fds[i].events & (POLLIN | POLLRDNORM));
        c.fds[i].revents = revents;
        ready += revents != 0;
    }
    return ready;
}

// The other entries' answers, waiting at most wait_ns (-1: as long as it takes).
static int other_answers(PollCall &c, long long wait_ns)
{
    if (!c.any_other)
        return 0;
    std::vector<struct pollfd> others;
    for (size_t i = 0; i < c.fds.size(); i++)
        if (c.dev[i] < 0)
            others.push_back(c.fds[i]);
    struct timespec ts = {(time_t)(wait_ns / 1000000000LL), (long)(wait_ns % 1000000000LL)};
    int r = REAL(ppoll)(others.data(), others.size(), wait_ns < 0 ? nullptr : &ts, c.mask);
    if (r < 0)
        return r;
    for (size_t i = 0, k = 0; i < c.fds.size(); i++)
        if (c.dev[i] < 0)
            c.fds[i].revents = others[k++].revents;
    return r;
}

// The time from now at which a capture entry will answer; -1: none will.
static long long next_capture_answer(const PollCall &c)
{
    long long soonest = -1;
    for (size_t i = 0; i < c.fds.size(); i++) {
        if (c.dev[i] < 0 || !(c.fds[i].events & (POLLIN | POLLRDNORM)))
            continue;
        long long at = v4l2_ready_at(c.dev[i]);
        if (at >= 0 && (soonest < 0 || at < soonest))
            soonest = at;
    }
    return soonest < 0 ? -1 : soonest - trace_now();
}

// Answers until something is ready or the timeout has passed.
static int wait_for_answers(PollCall &c)
{
    long long left = c.timeout_ns;
    for (;;) {
        int ready = capture_answers(c);
        int others = other_answers(c, 0);
        if (others < 0)
            return others;
        if (ready + others > 0 || left == 0)
            return ready + others;
        long long wait = next_capture_answer(c);
        if (wait < 0 || (left >= 0 && left < wait))
            wait = left;
        if (wait < 0 && !c.any_other)
            stop_waiting_for_ever();
        if (c.any_other && (wait < 0 || !sim->sc.virtual_clock)) {
            // The kernel's wait for the others is the wait; then the captures are asked again.
            long long start = trace_now();
            if (other_answers(c, wait) < 0)
                return -1;
            wait = trace_now() - start;
        } else {
            pass_time(wait);
        }
        if (left > 0)
            left = left > wait ? left - wait : 0;
    }
}

// The call when the set holds a V4L2 capture descriptor; false: libc's own.
static bool sim_poll(struct pollfd *fds, nfds_t n, long long timeout_ns, const sigset_t *mask, bool is_ppoll,
                     const struct timespec *ts, int timeout_ms, int &result)
{
    if (!ensure_init() || n > 4096)
        return false;
    PollCall c{std::vector<struct pollfd>(n), std::vector<int>(n, -1), timeout_ns, mask};
    if (!user_copy(c.fds.data(), fds, n * sizeof *fds))
        return false; // the kernel gives the EFAULT
    bool any_capture = false;
    for (size_t i = 0; i < n; i++) {
        OpenDev *od = find_open(c.fds[i].fd);
        if (od && sim->sc.devices[od->dev].v4l2)
            c.dev[i] = od->dev;
        any_capture |= c.dev[i] >= 0;
        c.any_other |= c.dev[i] < 0 && c.fds[i].fd >= 0;
        c.fds[i].revents = 0;
    }
    if (!any_capture)
        return false;
    long long t = trace_now();
    const char *name = is_ppoll ? "ppoll" : "poll";
    std::string text = call_text(c, name, is_ppoll, ts, timeout_ms);
    int err = 0;
    if (injected(name, err)) {
        trace(t, "%s -> -1 %s", text.c_str(), err_text(err).c_str());
        errno = err;
        result = -1;
        return true;
    }
    // Without a decoder or frontend to begin polls, the wait that begins a grab does.
    if (timeout_ns != 0 && grabs_begin_polls())
        begin_poll();
    result = wait_for_answers(c);
    err = errno;
    if (result >= 0 && !user_copy(fds, c.fds.data(), n * sizeof *fds)) {
        result = -1;
        err = EFAULT;
    }
    if (result < 0) {
        trace(t, "%s -> -1 %s", text.c_str(), err_text(err).c_str());
        errno = err;
        return true;
    }
    std::string answers;
    for (size_t i = 0; i < n; i++)
        if (c.dev[i] >= 0)
            answers += " revents=" + events_text(c.fds[i].revents);
    trace(t, "%s -> %d%s", text.c_str(), result, answers.c_str());
    return true;
}

extern "C" {

int poll(struct pollfd *fds, nfds_t n, int timeout_ms)
{
    int r;
    long long ns = timeout_ms < 0 ? -1 : timeout_ms * 1000000LL;
    if (sim_poll(fds, n, ns, nullptr, false, nullptr, timeout_ms, r))
        return r;
    return REAL(poll)(fds, n, timeout_ms);
}

int __poll_chk(struct pollfd *fds, nfds_t n, int timeout_ms, size_t)
{
    return poll(fds, n, timeout_ms);
}

int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *ts, const sigset_t *mask)
{
    int r;
    bool valid = !ts || (ts->tv_sec >= 0 && ts->tv_nsec >= 0 && ts->tv_nsec < 1000000000L);
    long long ns = !ts                                         ? -1
                   : ts->tv_sec > LLONG_MAX / 1000000000LL - 1 ? LLONG_MAX
                                                               : ts->tv_sec * 1000000000LL + ts->tv_nsec;
    if (valid && sim_poll(fds, n, ns, mask, true, ts, 0, r))
        return r;
    return REAL(ppoll)(fds, n, ts, mask);
}

int __ppoll_chk(struct pollfd *fds, nfds_t n, const struct timespec *ts, const sigset_t *mask, size_t)
{
    return ppoll(fds, n, ts, mask);
}

} // extern "C"
