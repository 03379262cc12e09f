// kbdpoke: write raw command bytes to the PC keyboard controller's data port.
#include <cstdio>
#include <cstdlib>
#include <sys/io.h>
#include <unistd.h>

enum { data_port = 0x60 };

static void usage()
{
    puts("Usage: kbdpoke <control codes>");
    puts("    e.g. kbdpoke ea 17");
}

int main(int argc, char *argv[])
{
    if (argc < 2)
        usage();

    // 0x60 to 0x62, though only the data port is ever written.
    if (ioperm(data_port, 3, 1) == -1) {
        perror("Could not change port permissions. Please run as root.");
        // Without the permission an out instruction faults: write nothing,
        // and let a script see that the bytes were not sent.
        if (argc > 1)
            return 1;
    }

    for (int i = 1; i < argc; i++) {
        long value = strtol(argv[i], nullptr, 16);
        // The controller's only pacing: no status is polled.
        usleep(300);
        outb(static_cast<unsigned char>(value & 0xff), data_port);
    }
    return 0;
}
