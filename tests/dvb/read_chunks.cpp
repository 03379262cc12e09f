// Preloaded into a program under test: reads of the file named by
// READ_CHUNKS_FILE return at most READ_CHUNKS_SIZE bytes each, as reads of
// pipes, sockets and some file systems may, and each such read is counted in
// READ_CHUNKS_LOG.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" ssize_t read(int fd, void *buf, size_t count)
{
    using ReadFn = ssize_t (*)(int, void *, size_t);
    static ReadFn real = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
    const char *file = getenv("READ_CHUNKS_FILE"), *size = getenv("READ_CHUNKS_SIZE");
    struct stat want, got;
    if (file && size && stat(file, &want) == 0 && fstat(fd, &got) == 0 && want.st_dev == got.st_dev
        && want.st_ino == got.st_ino) {
        size_t chunk = strtoul(size, nullptr, 10);
        if (count > chunk)
            count = chunk;
        if (const char *log = getenv("READ_CHUNKS_LOG")) {
            if (FILE *f = fopen(log, "a")) {
                fprintf(f, "read %zu\n", count);
                fclose(f);
            }
        }
    }
    return real(fd, buf, count);
}
