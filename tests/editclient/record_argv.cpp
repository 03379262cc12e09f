// Alternate editor stand-in: writes its argument vector, each element
// NUL-terminated, to $ORLIM_ARGV_FILE and ends with status 42.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    const char *path = getenv("ORLIM_ARGV_FILE");
    FILE *f = path ? fopen(path, "w") : nullptr;
    if (!f)
        return 125;
    for (int i = 0; i < argc; i++)
        fwrite(argv[i], 1, strlen(argv[i]) + 1, f);
    return fclose(f) == 0 ? 42 : 125;
}
