#!/bin/sh
# Throughput of ac3-trim next to cat on the same 1 GiB stream, both fed
# through a pipe: 64 MiB of junk without a sync word (but dense in 0x0B,
# which the search must look past), then AC-3 frames to the end.
# Usage: bench/ac3-trim-throughput.sh [path/to/ac3-trim]   (default build/bin/ac3-trim)
# Not part of make check; needs about 1 GiB free in $TMPDIR.
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

now() { date +%s.%N; }
best() { # best of three runs of: cat stream | $1 > /dev/null
    b=""
    for run in 1 2 3; do
        t0=$(now)
        cat "$stream" | "$1" > /dev/null
        t1=$(now)
        b=$(echo "$t0 $t1 ${b:-0}" | awk '{ d = $2 - $1; print ($3 == 0 || d < $3) ? d : $3 }')
    done
    echo "$b"
}

cat "$stream" > /dev/null   # warm the page cache
t_cat=$(best cat)
t_trim=$(best "$trim")
echo "$size $t_cat $t_trim" | awk '{
    mib = $1 / 1048576
    printf "input            %d MiB through a pipe (best of 3)\n", mib
    printf "cat              %8.3f s  %8.1f MiB/s\n", $2, mib / $2
    printf "ac3-trim         %8.3f s  %8.1f MiB/s\n", $3, mib / $3
    printf "ac3-trim / cat   %8.1f %%\n", 100 * $2 / $3
}'
