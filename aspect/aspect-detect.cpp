// aspect-detect: watches the DVB decoder and the analogue capture device and
// prints the aspect class of the picture whenever its stable class changes.
#include "detector.h"

int main(int argc, char *argv[])
{
    DetectorSettings settings;
    if (!read_detector_options(argc, argv, settings))
        return 0;
    return run_detector(settings, argv[0]);
}
