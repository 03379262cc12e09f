#!/usr/bin/env bash
# Play the demo broadcast through the aspect pipe on the simulated box:
#
#   devsim demo.scn -- aspect-detect -e 10 | devsim vbi.scn -- wss-signal
#
# and show, line by line, what the detector prints, what the signaller echoes
# and what the simulated television receives on line 23.
# Usage: examples/demo/run-demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
bin=$build/bin
work=$build/demo
# polls a new class must hold before the detector prints it (0.8 s)
delay=10

for prog in devsim aspect-detect wss-signal; do
    if [ ! -x "$bin/$prog" ]; then
        echo "run-demo: $bin/$prog is missing; build first (make build)" >&2
        exit 1
    fi
done

rm -rf "$work"
mkdir -p "$work"
cp "$here/demo.scn" "$here/vbi.scn" "$work/"
python3 "$here/make-frames.py" "$work/frames"
: > "$work/tv.trace"
: > "$work/box.trace"

start=$EPOCHREALTIME
exec 3>&1
# one labelled line on the terminal: elapsed seconds, who, what
show() {
    local now=$EPOCHREALTIME
    local ms=$(( (${now/./} - ${start/./}) / 1000 ))
    printf '%3d.%02ds  %-10s %s\n' $((ms / 1000)) $((ms % 1000 / 10)) "$1" "$2" >&3
}

# The television: every record the simulated output accepted, as the
# simulator's trace decodes it.
watch_tv() {
    local line record
    while IFS= read -r line; do
        case $line in
        *" write /dev/vbi0 "*" -> 64 ("*)
            record=${line#* write /dev/vbi0 }
            record=${record% -> 64 (*}
            line=${line##* -> 64 (}
            show television "shows ${line%)}   [record $record]" ;;
        esac
    done
}

# The broadcast: which scene the detector's devices play, from its trace
# (the decoder's stream format and the frame file each grab delivered).
watch_broadcast() {
    local line scene="" now
    while IFS= read -r line; do
        case $line in
        *" VIDEO_GET_STATUS "*"video_format=1 "*) now="wide (16:9) stream" ;;
        *" VIDIOCSYNC "*"(frames/studio-"*) now="news, full 4:3 picture" ;;
        *" VIDIOCSYNC "*"(frames/film149-"*) now="film letterboxed to 14:9, logo in the top bar" ;;
        *" VIDIOCSYNC "*"(frames/film169-"*) now="film letterboxed to 16:9, logo in the top bar" ;;
        *" VIDIOCSYNC "*"(frames/night169-"*) now="dark scene of the 16:9 film" ;;
        *) continue ;;
        esac
        if [ "$now" != "$scene" ]; then
            scene=$now
            show broadcast "$scene"
        fi
    done
}

pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

exec 4> >(watch_tv)
tail -n +1 -f "$work/tv.trace" >&4 &
pids+=($!)
exec 5> >(watch_broadcast)
tail -n +1 -f "$work/box.trace" >&5 &
pids+=($!)

echo "Playing the demo broadcast (about 25 s): news 4:3, film 14:9, film 16:9," \
     "a dark scene, a wide stream, news 4:3." >&3
echo >&3

set +e
{
    "$bin/devsim" "$work/demo.scn" --trace "$work/box.trace" -- "$bin/aspect-detect" -e "$delay" \
        2> >(while IFS= read -r l; do
            # When the scenario's polls run out the simulated decoder stops
            # answering, and the detector ends as on a box whose device went
            # away: the end of the broadcast, not a fault.
            case $l in
            "Error: Can't get status of device "*)
                show broadcast "ends: demo.scn has no more polls, so the decoder stops answering"
                show detector "$l"
                show detector "(its normal end when a device goes away; the demo is over, not failed)" ;;
            *) show detector "$l" ;;
            esac
        done) |
        while IFS= read -r l; do
            show detector "prints $l"
            printf '%s\n' "$l"
        done
    echo "${PIPESTATUS[0]}" > "$work/detector.status"
    # the detector has ended: stop the signaller too
    show pipe "exit"
    echo exit
} | "$bin/devsim" "$work/vbi.scn" --trace "$work/tv.trace" -- "$bin/wss-signal" |
    while IFS= read -r l; do show signaller "echoes $l"; done
signaller_status=${PIPESTATUS[1]}
set -e

# let the watchers catch up with the last lines of the traces
sleep 0.5
cleanup
exec 4>&- 5>&-
sleep 0.1

detector_status=$(cat "$work/detector.status")
echo >&3
echo "detector status $detector_status, signaller status $signaller_status" >&3

# what reached the television, from the raw records: data[0] is byte 16
received=$(od -An -v -tx1 -w64 "$work/tv.records" 2>/dev/null | awk '{ printf "%s ", $17 }' || true)
names=""
for code in $received; do
    case $code in
    08) names="$names 4:3" ;;
    01) names="$names 14:9-letterbox" ;;
    0b) names="$names 16:9-letterbox" ;;
    0d) names="$names >16:9-letterbox" ;;
    07) names="$names 16:9" ;;
    *) names="$names 0x$code" ;;
    esac
done
echo "television switched through:$names" >&3

expected=" 4:3 14:9-letterbox 16:9-letterbox 16:9 4:3"
if [ "$detector_status" != 0 ] || [ "$signaller_status" != 0 ] || [ "$names" != "$expected" ]; then
    echo "run-demo: expected the television to switch through:$expected, both programs ending with status 0" >&2
    exit 1
fi
# The broadcast as the detector measured it, replayed by aspect-inspect
# (built where cairo is).
if [ -x "$bin/aspect-inspect" ]; then
    "$bin/aspect-inspect" -e "$delay" --plot "$work/broadcast.png" "$work/demo.scn" > "$work/broadcast.csv"
    replayed=$(awk -F, 'NR > 1 && $6 != "" { printf " %s", $6 }' "$work/broadcast.csv")
    echo "aspect-inspect, replaying the broadcast's frames, prints:$replayed" >&3
    echo "plot of the broadcast: $work/broadcast.png (per frame: $work/broadcast.csv)" >&3
else
    echo "no plot of the broadcast: aspect-inspect is not built (it needs cairo, libcairo2-dev)" >&3
fi
echo "demo done" >&3
