#!/bin/sh
# Run the aspect pipe on a box: aspect-detect watches the DVB decoder and the
# capture card, wss-signal switches the television through WSS on line 23 of
# the analogue output.
#
#   aspect-detect -v $VIDEO -d $DVB $DETECT_OPTIONS [OPTION...] | wss-signal $VBI
#
# The detector ends when one of its devices fails (a device went away, the
# driver was reloaded): the script then turns the signal off, stops the
# signaller, waits RESTART_DELAY seconds and starts the pipe again. It does
# the same when the signaller ends first (its output device failed). On
# SIGTERM, SIGINT or SIGHUP it stops the detector, sends the signaller "0"
# (signal off, the television falls back to its own format) and "exit",
# waits for both and ends with status 0.
#
# Usage: aspect-pipe.sh [ASPECT-DETECT OPTION...]
# Settings (environment; the systemd unit reads them from
# /etc/default/aspect-pipe), with their defaults:
#   VIDEO=/dev/video0          capture device that sees the output picture
#   DVB=/dev/dvb/adapter0      DVB adapter (its video0, and frontend0 with -f)
#   VBI=/dev/vbi0              sliced-VBI output of the analogue TV output
#   DETECT_OPTIONS=            more aspect-detect options, e.g. "-e 12 -b 20";
#                              the script's arguments follow them
#   RESTART_DELAY=5            seconds between the end of the pipe and its
#                              restart (fractions where the box's sleep takes them)
#   DETECT_WRAPPER=            words put in front of aspect-detect, and
#   SIGNAL_WRAPPER=            words put in front of wss-signal, for a
#                              simulator or a checker, e.g.
#                              DETECT_WRAPPER="devsim box.scn --". A wrapper
#                              must end by exec'ing the program, so that
#                              stopping it stops the program.
# The programs are found through PATH. Words are split at blanks: paths with
# blanks are not supported.
#
# Exit status: 0 after a stop by signal; 2 for a setting that cannot work
# (nothing is started); 1 when the script cannot set up its pipe.
set -u

VIDEO=${VIDEO:-/dev/video0}
DVB=${DVB:-/dev/dvb/adapter0}
VBI=${VBI:-/dev/vbi0}
DETECT_OPTIONS=${DETECT_OPTIONS:-}
RESTART_DELAY=${RESTART_DELAY:-5}
DETECT_WRAPPER=${DETECT_WRAPPER:-}
SIGNAL_WRAPPER=${SIGNAL_WRAPPER:-}

me=aspect-pipe

log() {
    echo "$me: $*" >&2
}

config_error() {
    log "$*"
    exit 2
}

# -a would put a ratio number before every word, which the signaller takes
# for a raw WSS code; -h would feed the usage text to the television.
# Short options may be bundled (-fo); letters after one that takes an
# argument are that argument (-ba0 is -b a0).
check_detect_options() {
    skip=no
    for word in "$@"; do
        if [ $skip = yes ]; then
            skip=no
            continue
        fi
        case $word in
        --) break ;;
        --a* | --h*) config_error "aspect-detect option '$word' does not belong in the pipe" ;;
        --*=*) ;;
        --?*) skip=yes ;;
        -?*)
            rest=${word#-}
            while [ -n "$rest" ]; do
                letter=${rest%"${rest#?}"}
                rest=${rest#?}
                case $letter in
                a | h) config_error "aspect-detect option '-$letter' does not belong in the pipe" ;;
                [vdbtlspe])
                    [ -z "$rest" ] && skip=yes
                    break
                    ;;
                esac
            done
            ;;
        esac
    done
}

case $RESTART_DELAY in
'' | *[!0-9.]* | *.*.* | .) config_error "RESTART_DELAY '$RESTART_DELAY' is not a number of seconds" ;;
esac
# shellcheck disable=SC2086 # DETECT_OPTIONS is a list of words
check_detect_options $DETECT_OPTIONS "$@"

rundir=$(mktemp -d "${TMPDIR:-/tmp}/aspect-pipe.XXXXXX") || exit 1
trap 'rm -rf "$rundir"' EXIT
words=$rundir/words
mkfifo "$words" || exit 1

stop=no
interrupted=no
trap 'stop=yes; interrupted=yes' TERM INT HUP
# the signaller's side of the pipe reports its end with SIGUSR1
trap 'interrupted=yes' USR1

# wait for one child to end, through any number of trapped signals
wait_for() {
    while :; do
        interrupted=no
        wait "$1" 2>/dev/null
        status=$?
        [ $interrupted = no ] && return "$status"
    done
}

# Start one pipe: the signaller reads the FIFO, the detector writes it. The
# script holds the FIFO open for reading and writing (never blocks on
# Linux), so neither side waits for the other to open it, the script can
# always add its own words, and a writer never dies of SIGPIPE.
start_pipe() {
    exec 3<>"$words"
    {
        # shellcheck disable=SC2086
        $SIGNAL_WRAPPER wss-signal "$VBI" <"$words" 3>&-
        echo $? >"$rundir/signaller-status"
        kill -USR1 $$ 2>/dev/null
    } &
    signaller=$!
    # shellcheck disable=SC2086
    $DETECT_WRAPPER aspect-detect -v "$VIDEO" -d "$DVB" $DETECT_OPTIONS "$@" >&3 3>&- &
    detector=$!
}

# End the pipe: the detector first (unless it has ended already), then the
# signal off and the signaller's own end.
stop_pipe() {
    if [ -z "$detector_status" ]; then
        kill -TERM "$detector" 2>/dev/null
        wait_for "$detector"
        detector_status=$?
    fi
    echo 0 >&3
    echo exit >&3
    wait_for "$signaller"
    exec 3>&-
}

while :; do
    rm -f "$rundir/signaller-status"
    start_pipe "$@"
    # Wait until the detector ends or a signal arrives: a stop, or the
    # signaller's end. A signal that came before the wait is seen by the
    # stop test.
    detector_status=
    if [ $stop = no ]; then
        interrupted=no
        wait "$detector" 2>/dev/null
        status=$?
        [ $interrupted = no ] && detector_status=$status
    fi
    if [ -f "$rundir/signaller-status" ]; then
        why="signaller ended (status $(cat "$rundir/signaller-status"))"
        stop_pipe
    else
        stop_pipe
        why="detector ended (status $detector_status)"
    fi
    if [ $stop = yes ]; then
        log "stopped"
        exit 0
    fi
    log "$why; restarting in $RESTART_DELAY s"
    sleep "$RESTART_DELAY" &
    pause=$!
    [ $stop = no ] && wait "$pause" 2>/dev/null
    if [ $stop = yes ]; then
        kill "$pause" 2>/dev/null
        wait_for "$pause"
        log "stopped"
        exit 0
    fi
done
