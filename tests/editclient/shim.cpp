// Preloaded into orlimclient by its tests. ORLIM_SHIM_HOSTNAME: a host name
// longer than the kernel allows. ORLIM_SHIM_FAIL_MALLOC: a size for which
// malloc fails once the program is loaded.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

static size_t failsize;

__attribute__((constructor)) static void ArmShim()
{
    const char *s = getenv("ORLIM_SHIM_FAIL_MALLOC");
    if (s)
        failsize = strtoul(s, nullptr, 10);
}

extern "C" void *malloc(size_t size)
{
    static void *(*real)(size_t);
    if (failsize && size == failsize) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!real)
        real = reinterpret_cast<void *(*)(size_t)>(dlsym(RTLD_NEXT, "malloc"));
    return real(size);
}

// Like the kernel's: fails with ENAMETOOLONG rather than truncate.
extern "C" int gethostname(char *name, size_t len)
{
    const char *fake = getenv("ORLIM_SHIM_HOSTNAME");
    if (!fake) {
        auto real = reinterpret_cast<int (*)(char *, size_t)>(dlsym(RTLD_NEXT, "gethostname"));
        return real(name, len);
    }
    if (strlen(fake) + 1 > len) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(name, fake);
    return 0;
}
