// The keyboard controller's I/O ports (x86-64 only; CMake builds this file
// there alone): ioperm and iopl answer from the scenario and never ask the
// kernel, so a granted port write faults, and the SIGSEGV handler plays it.
#include "preload.h"
#include "real_libc.h"

#include <cerrno>
#include <csignal>
#include <ucontext.h>

static int (*real_sigaction)(int, const struct sigaction *, struct sigaction *);

static struct sigaction old_segv;

// The x86 "out" instructions; the operand-size prefix turns the 32-bit forms
// into 16-bit ones.
enum : unsigned char {
    op_size_prefix = 0x66,
    op_out_imm8_al = 0xE6,  // out imm8, al
    op_out_imm8_eax = 0xE7, // out imm8, eax
    op_out_dx_al = 0xEE,    // out dx, al
    op_out_dx_eax = 0xEF,   // out dx, eax
};

static bool port_allowed(unsigned port, unsigned size)
{
    if (sim->all_ports)
        return true;
    for (unsigned p = port; p < port + size; p++)
        if (p >= sim->port_ok.size() || !sim->port_ok[p])
            return false;
    return true;
}

// Plays the "out" instruction at the fault's address; false when it is none,
// or its port was not granted.
static bool play_out(greg_t *g)
{
    const unsigned char *ip = (const unsigned char *)g[REG_RIP];
    size_t i = ip[0] == op_size_prefix ? 1 : 0;
    bool word = i == 1;
    unsigned op = ip[i], port = 0;
    size_t len = 0;
    if (op == op_out_imm8_al || op == op_out_imm8_eax) {
        port = ip[i + 1];
        len = i + 2;
    } else if (op == op_out_dx_al || op == op_out_dx_eax) {
        port = (unsigned)(g[REG_RDX] & 0xffff);
        len = i + 1;
    }
    if (!len)
        return false;
    unsigned size = (op == op_out_imm8_al || op == op_out_dx_al) ? 1 : word ? 2 : 4;
    if (!port_allowed(port, size))
        return false;
    unsigned long value = (unsigned long)g[REG_RAX] & (size == 1 ? 0xffUL : size == 2 ? 0xffffUL : 0xffffffffUL);
    trace(trace_now(), "%s 0x%x 0x%lx", size == 1 ? "outb" : size == 2 ? "outw" : "outl", port, value);
    g[REG_RIP] += (greg_t)len;
    return true;
}

// A process without I/O permission faults on "out" with a general protection
// fault: SIGSEGV, si_code SI_KERNEL and no address. We play the port write and
// step over the instruction.
static void on_segv(int sig, siginfo_t *si, void *ctx)
{
    ucontext_t *uc = (ucontext_t *)ctx;
    if (si->si_code == SI_KERNEL && si->si_addr == nullptr && phase == Phase::playing
        && play_out(uc->uc_mcontext.gregs))
        return;
    // Not ours: to the handler that was there before, or die as without us.
    if ((old_segv.sa_flags & SA_SIGINFO) && old_segv.sa_sigaction) {
        old_segv.sa_sigaction(sig, si, ctx);
    } else if (old_segv.sa_handler != SIG_DFL && old_segv.sa_handler != SIG_IGN) {
        old_segv.sa_handler(sig);
    } else {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        REAL(sigaction)(SIGSEGV, &dfl, nullptr); // the instruction runs again and kills us
    }
}

static void install_segv()
{
    if (sim->segv_installed)
        return;
    struct sigaction sa {};
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    if (REAL(sigaction)(SIGSEGV, &sa, &old_segv) == 0)
        sim->segv_installed = true;
}

extern "C" {

int ioperm(unsigned long from, unsigned long num, int on) noexcept
{
    if (!ensure_init()) {
        errno = EPERM; // never the kernel's
        return -1;
    }
    long long t = trace_now();
    int err = 0;
    if (!injected("ioperm", err))
        err = from > 0x10000 || num > 0x10000 - from ? EINVAL : on && !sim->sc.ports_grant ? EPERM : 0;
    if (err) {
        trace(t, "ioperm from=0x%lx num=%lu on=%d -> -1 %s", from, num, on, err_text(err).c_str());
        errno = err;
        return -1;
    }
    if (sim->port_ok.empty())
        sim->port_ok.assign(0x10000, 0);
    for (unsigned long p = from; p < from + num; p++)
        sim->port_ok[p] = on ? 1 : 0;
    if (on)
        install_segv();
    trace(t, "ioperm from=0x%lx num=%lu on=%d -> 0", from, num, on);
    return 0;
}

int iopl(int level) noexcept
{
    if (!ensure_init()) {
        errno = EPERM;
        return -1;
    }
    long long t = trace_now();
    int err = 0;
    if (!injected("iopl", err))
        err = level < 0 || level > 3 ? EINVAL : level > 0 && !sim->sc.ports_grant ? EPERM : 0;
    if (err) {
        trace(t, "iopl level=%d -> -1 %s", level, err_text(err).c_str());
        errno = err;
        return -1;
    }
    sim->all_ports = level == 3;
    if (level == 3)
        install_segv();
    trace(t, "iopl level=%d -> 0", level);
    return 0;
}

} // extern "C"
