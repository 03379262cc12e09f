#!/bin/sh
# Start the aspect pipe on a real box: the detector watches the DVB decoder
# and the capture card, the signaller switches the television through WSS on
# line 23 of the analogue output.
#
# Usage: aspect-pipe.sh [ASPECT-DETECT OPTION...]
#   e.g. aspect-pipe.sh -e 12 -b 20
# Devices (environment, with their defaults):
#   VIDEO=/dev/video0          capture device that sees the output picture
#   DVB=/dev/dvb/adapter0      DVB adapter (its video0, and frontend0 with -f)
#   VBI=/dev/vbi0              sliced-VBI output of the analogue TV output
# Give the detector's -a only to a log, never to this pipe: the signaller
# would take the ratio number for a raw WSS code.
set -u

VIDEO=${VIDEO:-/dev/video0}
DVB=${DVB:-/dev/dvb/adapter0}
VBI=${VBI:-/dev/vbi0}

{
    aspect-detect -v "$VIDEO" -d "$DVB" "$@"
    # The detector has ended (a device failed): turn the signal off, so the
    # television falls back to its own format, and stop the signaller.
    echo 0
    echo exit
} | wss-signal "$VBI"
