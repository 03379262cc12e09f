// sound-keeper: create the main FusionSound interface and hold it, asleep,
// until a signal arrives, so that what the library set up for it stays alive.
#include <directfb.h>
#include <fusionsound.h>

#include <unistd.h>

int main(int argc, char *argv[])
{
    IFusionSound *sound;

    DFBResult ret = FusionSoundInit(&argc, &argv);
    if (ret != DFB_OK) {
        DirectFBErrorFatal("FusionSoundInit", ret);
        return 1; // not reached: the call ends the process
    }

    ret = FusionSoundCreate(&sound);
    if (ret != DFB_OK) {
        DirectFBErrorFatal("FusionSoundCreate", ret);
        return 1; // not reached: the call ends the process
    }

    // No handler of our own: only a signal the library catches ends the
    // sleep; any other ends the process by its default action.
    pause();

    sound->Release(sound);
    return 0;
}
