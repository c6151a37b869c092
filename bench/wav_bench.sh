#!/bin/sh
# Writes a 30-minute click track (44100 Hz, 24 bits, 900 measures of 4/4 at
# 120 bpm, 238140044 bytes) with the real binary into a temporary directory,
# and writes the same number of bytes there with dd (1 MiB blocks). Prints the
# median wall time of each over several runs, their ratio, and the writer's
# peak resident memory.
#
# usage: bench/wav_bench.sh [path/to/zembrol]   (default: build/zembrol)
#        RUNS=5 TMPDIR=/some/dir bench/wav_bench.sh
set -eu
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/zembrol}")
runs=${RUNS:-5}
[ -x "$bin" ] || { echo "no binary at $bin: run ./build.sh test first" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/zembrol-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM
cd "$dir"
# No settings file: the start-up answers 1 (44100 Hz) and 2 (24 bits).
printf '1 2\nt 120\nb 4\nm 900\nw\n' >input

now() { date +%s.%N; }
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

: >zembrol.times
: >dd.times
i=0
while [ "$i" -lt "$runs" ]; do
  rm -f click.wav dd.out
  start=$(now)
  "$bin" <input >/dev/null
  end=$(now)
  echo "$end - $start" | bc >>zembrol.times
  bytes=$(stat -c %s click.wav)
  rm -f click.wav
  start=$(now)
  dd if=/dev/zero of=dd.out bs=1M count="$bytes" iflag=count_bytes 2>/dev/null
  end=$(now)
  echo "$end - $start" | bc >>dd.times
  i=$((i + 1))
done

rm -f click.wav dd.out
peak=$(/usr/bin/time -f %M "$bin" <input 2>&1 >/dev/null | tail -n 1)
rm -f click.wav

zem=$(median <zembrol.times)
ref=$(median <dd.times)
echo "file:     $bytes bytes in $dir"
echo "zembrol:  $zem s (median of $runs)"
echo "dd:       $ref s (median of $runs, bs=1M)"
echo "ratio:    $(echo "scale=2; $zem / $ref" | bc)"
echo "peak RSS: $peak KiB"
