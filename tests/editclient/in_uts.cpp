// orlim-in-uts HOSTNAME PROGRAM [ARG...]: run PROGRAM with a host name of its own.
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s HOSTNAME PROGRAM [ARG...]\n", argv[0]);
        return 125;
    }
    if (unshare(CLONE_NEWUTS) != 0) {
        perror("unshare");
        return 125;
    }
    if (sethostname(argv[1], strlen(argv[1])) != 0) {
        perror("sethostname");
        return 125;
    }
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    return 127;
}
