#!/bin/sh
# Throughput of ac3-trim next to cat on the same 1 GiB stream, two ways:
# fed through a pipe into /dev/null (ac3-trim splices), and from file to
# file (ac3-trim has the kernel copy). The stream: 64 MiB of junk without a
# sync word (but dense in 0x0B, which the search must look past), then AC-3
# frames to the end. cat and ac3-trim run in turns, RUNS times each (default
# 9), and the medians count; the load average is printed with them, since
# the machine may be shared. SHOW_TIMES=1 prints every run's time too.
# Usage: bench/ac3-trim-throughput.sh [path/to/ac3-trim]   (default build/bin/ac3-trim)
# Not part of make check; needs about 2 GiB free in $TMPDIR.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
trim=${1:-$root/build/bin/ac3-trim}
frames=$root/tests/fixtures/media/sine.ac3
[ -x "$trim" ] || { echo "no ac3-trim at $trim (build it first or pass its path)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/ac3-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
stream=$work/stream

# Junk: random bytes with every 0x77 turned into 0x78, so no sync word can form.
head -c 64M /dev/urandom | tr '\167' '\170' > "$stream"
i=0
while [ $i -lt 342 ]; do cat "$frames"; i=$((i + 1)); done > "$work/block"   # about 1 MiB
cat "$work/block" "$work/block" "$work/block" "$work/block" > "$work/block4"
i=0
while [ $i -lt 256 ]; do cat "$work/block4"; i=$((i + 1)); done >> "$stream"
truncate -s 1G "$stream"
size=$(stat -c %s "$stream")

# Sanity: the output is the stream from the first frame on.
want=$((size - 64 * 1024 * 1024))
got=$(cat "$stream" | "$trim" | wc -c)
[ "$got" -eq "$want" ] || { echo "ac3-trim wrote $got bytes, expected $want" >&2; exit 1; }

runs=${RUNS:-9}
now() { date +%s.%N; }
# time_of COMMAND: wall seconds of one run of the shell command
time_of() {
    rm -f "$work/out"
    t0=$(now)
    sh -c "$1"
    t1=$(now)
    echo "$t0 $t1" | awk '{ print $2 - $1 }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# compare LABEL CAT-COMMAND TRIM-COMMAND
compare() {
    : > "$work/cat.t"; : > "$work/trim.t"
    load=$(cut -d' ' -f1 /proc/loadavg)
    r=0
    while [ $r -lt "$runs" ]; do
        # every other round the other one first, so neither always follows the other
        if [ $((r % 2)) -eq 0 ]; then
            time_of "$2" >> "$work/cat.t"
            time_of "$3" >> "$work/trim.t"
        else
            time_of "$3" >> "$work/trim.t"
            time_of "$2" >> "$work/cat.t"
        fi
        r=$((r + 1))
    done
    [ -z "${SHOW_TIMES:-}" ] || echo "cat: $(tr "\n" " " < "$work/cat.t")  ac3-trim: $(tr "\n" " " < "$work/trim.t")"
    echo "$size $(median < "$work/cat.t") $(median < "$work/trim.t") $runs $load $(cut -d' ' -f1 /proc/loadavg)" | awk -v what="$1" '{
        mib = $1 / 1048576
        printf "%s, %d MiB, median of %d runs (load average %s, then %s)\n", what, mib, $4, $5, $6
        printf "  cat              %8.3f s  %8.1f MiB/s\n", $2, mib / $2
        printf "  ac3-trim         %8.3f s  %8.1f MiB/s\n", $3, mib / $3
        printf "  ac3-trim / cat   %8.2fx\n", $2 / $3
    }'
}

cat "$stream" > /dev/null   # warm the page cache
compare "through a pipe" "cat '$stream' | cat > /dev/null" "cat '$stream' | '$trim' > /dev/null"
"$trim" < "$stream" > "$work/out"
[ "$(stat -c %s "$work/out")" -eq "$want" ] || { echo "ac3-trim wrote a file of the wrong size" >&2; exit 1; }
compare "file to file" "cat < '$stream' > '$work/out'" "'$trim' < '$stream' > '$work/out'"
