#!/bin/sh
# Throughput of babconv next to cat on the same generated Babyl file.
# Usage: bench/babconv-throughput.sh [path/to/babconv] [size in MB, default 200]
# Both read the file from the page cache and write to /dev/null; they run in
# turns, five times each, and the median of each counts.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
babconv=${1:-${BABCONV:-$here/../build/bin/babconv}}
size_mb=${2:-200}
[ -x "$babconv" ] || { echo "babconv-throughput: no program at $babconv (build first)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/babconv-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# About 1 MB of mail: messages of a few kB with stored and visible headers,
# labels, quoted text, a body line that begins with "From " and an
# occasional CRLF message.
awk 'BEGIN {
    for (m = 0; m < 250; m++) {
        eol = (m % 10 == 9) ? "\r\n" : "\n";
        printf "\037\014\n1, answered,, work, list%d,\n", m % 7;
        printf "Received: from relay%d.example.org by mx.example.org;%s", m, eol;
        printf "From: Sender %d <s%d@example.org>%s", m, m, eol;
        printf "To: box@example.org%sSubject: message %d%s", eol, m, eol;
        printf "Date: Mon, 1 Jan 2024 12:%02d:00 +0000%s", m % 60, eol;
        printf "*** EOOH ***%s", eol;
        printf "From: Sender %d <s%d@example.org>%s", m, m, eol;
        printf "To: box@example.org%sSubject: message %d%s%s", eol, m, eol, eol;
        for (l = 0; l < 55; l++)
            printf "%s line %d of message %d, some ordinary text to make up a line.%s",
                   (l == 30) ? "From" : (l % 9 == 8) ? ">" : "", l, m, eol;
    }
}' >"$work/chunk"

{
    printf 'BABYL OPTIONS: -*- rmail -*-\nVersion: 5\nLabels: work\n'
    chunk_bytes=$(wc -c <"$work/chunk")
    n=$(( size_mb * 1048576 / chunk_bytes ))
    i=0
    while [ "$i" -lt "$n" ]; do cat "$work/chunk"; i=$((i + 1)); done
    printf '\037'
} >"$work/in.babyl"
bytes=$(wc -c <"$work/in.babyl")

now_ns() { date +%s%N; }

# Wall time in ns of one run of "$@" <in >/dev/null.
wall_ns() {
    t0=$(now_ns)
    "$@" <"$work/in.babyl" >/dev/null
    t1=$(now_ns)
    echo $((t1 - t0))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

cat "$work/in.babyl" >/dev/null   # into the page cache
: >"$work/cat.ns"
: >"$work/babconv.ns"
for _ in 1 2 3 4 5; do
    wall_ns cat >>"$work/cat.ns"
    wall_ns "$babconv" >>"$work/babconv.ns"
done
cat_ns=$(median <"$work/cat.ns")
babconv_ns=$(median <"$work/babconv.ns")
load=$(cut -d' ' -f1 /proc/loadavg)
"$babconv" <"$work/in.babyl" >"$work/out.mbox"
out_bytes=$(wc -c <"$work/out.mbox")

awk -v bytes="$bytes" -v out="$out_bytes" -v c="$cat_ns" -v b="$babconv_ns" -v load="$load" 'BEGIN {
    mb = bytes / 1048576
    printf "input:   %.1f MB Babyl (output %.1f MB mbox)\n", mb, out / 1048576
    printf "cat:     %8.1f MB/s  (%.3f s)\n", mb / (c / 1e9), c / 1e9
    printf "babconv: %8.1f MB/s  (%.3f s)\n", mb / (b / 1e9), b / 1e9
    printf "babconv runs at %.0f%% of cat\x27s throughput (medians of 5 runs in turns, load %s)\n", 100 * c / b, load
}'
