#!/bin/sh
# Times the real binary in a temporary directory:
#  - "w" of a 30-minute click track (44100 Hz, 24 bits, 900 measures of 4/4 at
#    120 bpm, 238140044 bytes) beside dd writing as many bytes (1 MiB blocks);
#  - "rtm" of a 200-section tempo map (4 measures of 4/4 at 120 bpm and 8 of
#    3/4 at 160 bpm, in turn: 28 minutes) beside dd of as many bytes;
#  - "+" of the same 30-minute track onto an 84-byte file whose data chunk (2
#    frames) is followed by a LIST chunk, beside cp of the resulting file (the
#    goal is a ratio of at most 1.5), and beside cp and sync of it (the new
#    file is synced before it replaces the old one); a refusal is reported as
#    such;
#  - "+" of the same track onto a plain 50-byte file (the header and 2 frames),
#    beside "w" of the track (the goal is a ratio of at most 1.2);
#  - the peak resident memory of each;
#  - "rtm" of a 255-section map that is too long for a WAV file (each section
#    1000000 measures of 2 beats at 3000000 bpm, a 3-sample click at 44100 Hz:
#    588 million clicks a section), which is refused after the size check;
#  - the CPU time of a 10-minute audition on the unpaced ALSA `null` device
#    (the program's own work: filling and handing over every period).
# Wall times are medians over RUNS runs. Needs the Debian packages bc and time.
#
# usage: bench/bench.sh [path/to/zembrol]   (default: build/zembrol)
#        RUNS=9 TMPDIR=/some/dir bench/bench.sh
set -eu
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/zembrol}")
runs=${RUNS:-5}
[ -x "$bin" ] || { echo "no binary at $bin: run ./build.sh test first" >&2; exit 1; }
command -v bc >/dev/null && [ -x /usr/bin/time ] || { echo "needs bc and time" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/zembrol-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM
cd "$dir"

# No settings file: the start-up answers 1 (44100 Hz) and 2 (24 bits).
printf '1 2\nt 120\nb 4\nm 900\nw\n' >write.in
printf '1 2\nrtm\n' >rtm.in
printf '1 2\nt 120\nb 4\nm 900\n+\n' >append.in
# The file "+" starts from: a 44-byte header (44100 Hz, 24 bits, mono, 6 bytes
# of data), 2 frames of silence, then a 34-byte LIST chunk.
printf 'LIST\032\000\000\000INFOISFT\016\000\000\000zembrol bench\000' >list.bin
{
  printf 'RIFF\114\000\000\000WAVEfmt \020\000\000\000\001\000\001\000\104\254\000\000'
  printf '\314\004\002\000\003\000\030\000data\006\000\000\000\000\000\000\000\000\000'
  cat list.bin
} >start.wav
head -c 50 start.wav >plain.wav
printf 'RIFF\052\000\000\000' | dd of=plain.wav conv=notrunc 2>/dev/null
i=0
while [ "$i" -lt 100 ]; do
  printf 'tmap\t120\t4\t4\ntmap\t160\t3\t8\n'
  i=$((i + 1))
done >tmap.txt
printf '1 2\no null\nal 600\na\n' >audition.in
mkdir toolong
printf '1 2\nf 44100\nrtm\n' >toolong/in
i=0
while [ "$i" -lt 255 ]; do
  printf 'tmap\t3000000\t1000000\t2000\n'
  i=$((i + 1))
done >toolong/tmap.txt
printf 'pcm.null { type null }\n' >alsa.conf

now() { date +%s.%N; }
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# compare NAME INPUT: wall time of the binary and of dd, their ratio, peak RSS.
compare() {
  : >zembrol.times
  : >dd.times
  i=0
  while [ "$i" -lt "$runs" ]; do
    rm -f click.wav dd.out
    start=$(now)
    "$bin" <"$2" >/dev/null
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
  peak=$(/usr/bin/time -f %M "$bin" <"$2" 2>&1 >/dev/null | tail -n 1)
  rm -f click.wav
  zem=$(median <zembrol.times)
  ref=$(median <dd.times)
  echo "$1: $bytes bytes"
  echo "  zembrol:  $zem s (median of $runs)"
  echo "  dd:       $ref s"
  echo "  ratio:    $(echo "scale=2; $zem / $ref" | bc)"
  echo "  peak RSS: $peak KiB"
}

compare "w, 30-minute track" write.in
compare "rtm, 200 sections" rtm.in

# "+" onto start.wav: wall time beside cp of the result, their ratio, peak RSS.
# The result must be the old 50 bytes, the 238140000 bytes of the track, the
# LIST chunk, and both sizes counting them.
name="+, 30-minute track onto a file with a LIST chunk after its data"
: >append.times
: >cp.times
: >cpsync.times
i=0
while [ "$i" -lt "$runs" ]; do
  rm -f click.wav cp.out
  cp start.wav click.wav
  start=$(now)
  "$bin" <append.in >append.out
  end=$(now)
  cmp -s start.wav click.wav && break
  echo "$end - $start" | bc >>append.times
  start=$(now)
  cp click.wav cp.out
  end=$(now)
  echo "$end - $start" | bc >>cp.times
  # A copy that lasts, as the new file of "+" must before it is renamed.
  rm -f cp.out
  start=$(now)
  cp click.wav cp.out && sync cp.out
  end=$(now)
  echo "$end - $start" | bc >>cpsync.times
  i=$((i + 1))
done
if [ "$i" -lt "$runs" ]; then
  echo "$name: refused"
  echo "  $(grep -m 1 "^'click.wav'" append.out)"
else
  bytes=$(stat -c %s click.wav)
  riff=$(od -An -tu4 -j4 -N4 click.wav | tr -d ' ')
  data=$(od -An -tu4 -j40 -N4 click.wav | tr -d ' ')
  if [ "$bytes" != 238140084 ] || [ "$riff" != 238140076 ] || [ "$data" != 238140006 ] ||
    ! tail -c 34 click.wav | cmp -s - list.bin; then
    echo "$name: wrong result: $bytes bytes, RIFF size $riff, data size $data" >&2
    exit 1
  fi
  rm -f click.wav cp.out
  cp start.wav click.wav
  peak=$(/usr/bin/time -f %M "$bin" <append.in 2>&1 >/dev/null | tail -n 1)
  zem=$(median <append.times)
  ref=$(median <cp.times)
  echo "$name: $bytes bytes"
  echo "  zembrol:  $zem s (median of $runs)"
  synced=$(median <cpsync.times)
  echo "  cp:       $ref s"
  echo "  ratio:    $(echo "scale=2; $zem / $ref" | bc)"
  echo "  cp, sync: $synced s (ratio $(echo "scale=2; $zem / $synced" | bc))"
  echo "  peak RSS: $peak KiB"
fi
rm -f click.wav cp.out

# "+" onto plain.wav beside "w" of the same track, each run in turn.
name="+, 30-minute track onto a plain file"
: >plain.times
: >w.times
i=0
while [ "$i" -lt "$runs" ]; do
  cp plain.wav click.wav
  start=$(now)
  "$bin" <append.in >/dev/null
  end=$(now)
  echo "$end - $start" | bc >>plain.times
  bytes=$(stat -c %s click.wav)
  rm -f click.wav
  start=$(now)
  "$bin" <write.in >/dev/null
  end=$(now)
  echo "$end - $start" | bc >>w.times
  rm -f click.wav
  i=$((i + 1))
done
zem=$(median <plain.times)
ref=$(median <w.times)
echo "$name: $bytes bytes"
echo "  zembrol +: $zem s (median of $runs)"
echo "  zembrol w: $ref s"
echo "  ratio:     $(echo "scale=2; $zem / $ref" | bc)"

# The refused map: the time of the size check alone.
: >toolong.times
i=0
while [ "$i" -lt "$runs" ]; do
  start=$(now)
  (cd toolong && "$bin" <in >out)
  end=$(now)
  echo "$end - $start" | bc >>toolong.times
  i=$((i + 1))
done
grep -q "too long for a WAV file" toolong/out || { echo "the 255-section map was not refused" >&2; exit 1; }
echo "rtm, 255 sections too long for a WAV file: $(median <toolong.times) s (median of $runs)"
# One audition takes about 10 ms of CPU, the resolution of time(1): time ten.
cpu=$(ALSA_CONFIG_PATH="$dir/alsa.conf" /usr/bin/time -f "%U %S" sh -c \
  'for i in 1 2 3 4 5 6 7 8 9 10; do "$1" <audition.in >/dev/null || exit 1; done' sh "$bin" \
  2>&1 | tail -n 1)
set -- $cpu
echo "audition, 10 minutes on null (26460000 frames):"
echo "  CPU:      $(echo "scale=4; ($1 + $2) / 10" | bc) s a run (mean of 10: user $1 s, system $2 s in all)"
