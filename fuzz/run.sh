#!/bin/sh
# Builds the libFuzzer targets with clang into build-fuzz and runs each for a
# bounded time from its seed corpus in fuzz/corpus. Fails on any crash, leak,
# timeout or sanitizer report, leaving the input that caused it in the work
# directory it names. As root, the targets run as the user nobody, because the
# command loop target writes whatever files its input names.
#
# usage: fuzz/run.sh [seconds per target] [target...]
#        (default: 60 seconds; targets settings tempomap input loop append)
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-settings tempomap input loop append}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DZEMBROL_FUZZ=ON -DZEMBROL_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/zembrol-fuzz-XXXXXX")
as=""
if [ "$(id -u)" = 0 ]; then
  as="setpriv --reuid=nobody --regid=nogroup --clear-groups"
  chmod 755 "$work"
fi

status=0
for t in $targets; do
  mkdir -p "$work/$t"
  cp fuzz/corpus/"$t"/* "$work/$t/"
  # A copy in the work directory, which nobody can reach wherever the checkout is.
  cp "build-fuzz/${t}_fuzz" "$work/"
  [ -n "$as" ] && chown -R nobody:nogroup "$work/$t"
  max_len=4096
  [ "$t" = loop ] && max_len=1024
  # Plays and tracks are bounded inside the loop target, but a long input of
  # commands at a rate of millions of Hz may take minutes: 300 s is a hang.
  # Paths are absolute: the loop target works in a directory of its own.
  if (cd "$work" && $as "$work/${t}_fuzz" -max_total_time="$seconds" \
        -max_len="$max_len" -timeout=300 -rss_limit_mb=4096 -handle_xfsz=0 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$work/$t/" "$work/$t" \
        >"$work/$t.log" 2>&1); then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log")
    echo "$t: $runs runs in $seconds s, no finding"
  else
    echo "$t: FINDING (log and input in $work/$t.log, $work/$t/)" >&2
    grep -E "ERROR|SUMMARY|Test unit written" "$work/$t.log" | head -n 20 >&2
    status=1
  fi
done
[ "$status" = 0 ] && rm -rf "$work"
exit "$status"
