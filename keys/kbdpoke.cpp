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
        // The controller takes a byte into its input buffer and passes it on
        // to the keyboard by itself; its status port (0x64) is never polled
        // for that buffer to empty, so this pause gives it time to take the
        // previous byte before the next one is written over it.
        usleep(300);
        outb(static_cast<unsigned char>(value & 0xff), data_port);
    }
    return 0;
}
