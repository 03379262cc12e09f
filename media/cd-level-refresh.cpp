// cd-level-refresh: read the OSS mixer's CD level and write the same word
// back, so that the driver applies it to the hardware once more.
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main()
{
    // The mixer requests are answered on the audio device as well.
    int fd = open("/dev/dsp", O_WRONLY);
    if (fd < 0) {
        warn("can't open /dev/dsp");
        return 1;
    }

    int level;
    if (ioctl(fd, SOUND_MIXER_READ_CD, &level) == -1) {
        warn("can't execute READ_CD ioctl");
        return 1;
    }
    if (ioctl(fd, SOUND_MIXER_WRITE_CD, &level) == -1) {
        warn("can't execute WRITE_CD ioctl");
        return 1;
    }

    // Set to anything, the empty string included.
    if (getenv("DEBUG") != nullptr)
        printf("READ_CD returned %i\n", level);
    return 0;
}
