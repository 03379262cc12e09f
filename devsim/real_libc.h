// libc's own entry points behind the interposers. Each file keeps a slot per
// function it stands in front of (`static int (*real_close)(int);`) and calls
// REAL(close)(fd): the slot is filled with dlsym(RTLD_NEXT) at its first use.
#pragma once

#include <cstring>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

// The call cannot go on without libc's own entry point: name the missing one
// and end, rather than call through a null pointer.
[[noreturn]] inline void fail_missing(const char *name)
{
    static const char head[] = "devsim: can't find libc's ";
    syscall(SYS_write, 2, head, sizeof head - 1);
    syscall(SYS_write, 2, name, strlen(name));
    syscall(SYS_write, 2, "\n", 1);
    _exit(125);
}

template <typename F>
F real(F &slot, const char *name)
{
    if (!slot) {
        slot = (F)dlsym(RTLD_NEXT, name);
        if (!slot)
            fail_missing(name);
    }
    return slot;
}
#define REAL(name) real(real_##name, #name)
