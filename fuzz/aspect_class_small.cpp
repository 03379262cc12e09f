// The class and output state of aspect-detect for the options target, on a
// machine that claims 64 MiB of memory: a huge delay is then refused at
// once instead of filling the fuzzing machine's memory with its history.
#include <sys/sysinfo.h>

static int fuzz_sysinfo(struct sysinfo *info)
{
    *info = {};
    info->totalram = 64u << 20;
    info->mem_unit = 1;
    return 0;
}

#define sysinfo(info) fuzz_sysinfo(info)
#include "../aspect/aspect_class.cpp"
