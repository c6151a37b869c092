#!/bin/sh
# Mutation check: applies each small source change below to a copy of the tree,
# rebuilds the copy incrementally, runs the whole test suite on it and prints
# "killed" (some test failed) or "survived" (every test passed) for each.
# Exits 0 only when every mutant is killed.
#
# usage: tools/mutants.sh [WORKDIR]
# WORKDIR holds the copy and its build; it is kept, so a second run rebuilds
# only what changed. Without it a temporary directory is used and removed.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)

if [ $# -ge 1 ]; then
  work=$1
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/zembrol-mutants.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
tree=$work/tree
build=$work/build
jobs=2

# name|file|text|replacement: each text must stand exactly once in its file
# (and holds no '|').
mutants='underrun-not-prepared|src/playback/playback.cc|if (snd_pcm_writei(handle, buffer.data(), period) == -EPIPE) snd_pcm_prepare(handle);|snd_pcm_writei(handle, buffer.data(), period);
drop-instead-of-drain|src/playback/playback.cc|snd_pcm_drain(handle);|snd_pcm_drop(handle);
rate-request-48000|src/playback/playback.cc|unsigned int rateNear = rate;|unsigned int rateNear = 48000;
third-partial-half-amplitude|src/click/click.cc|const double a = std::ldexp(kAmplitudeScale, -(k + i));|const double a = std::ldexp(kAmplitudeScale, -(k + i) - (k == 3));
sine-phase-reset-each-cycle|src/click/click.cc|::sinf(NarrowToFloat(static_cast<double>(j) * w));|::sinf(NarrowToFloat(static_cast<double>(j - first) * w));
beat-grid-one-sample-late|src/wav/track.cc|next = perBeat * beats;|next = perBeat * beats + 1.0f;
measure-count-stuck|src/playback/playback.cc|static_cast<uint32_t>(cursor.measure) + 1u);|static_cast<uint32_t>(cursor.measure) + 0u);
append-without-size-fix|src/wav/wav.cc|if (!stop) stop = FIX_SIZE(out, fields, plan.sizes);|if (false) stop = FIX_SIZE(out, fields, plan.sizes);
beside-without-size-fix|src/wav/wav.cc|if (!stop) stop = FIX_SIZE(beside, Moved(fields, plan), plan.sizes);|if (false) stop = FIX_SIZE(beside, Moved(fields, plan), plan.sizes);
append-pad-byte-kept|src/wav/riff.cc|layout.tailStart = dataEnd + 1;|layout.tailStart = dataEnd;
pad-byte-of-any-value|src/wav/riff.cc|read(dataEnd, std::span(&last, 1)) == 1 && last == 0 &&|read(dataEnd, std::span(&last, 1)) == 1 &&
empty-data-taken-for-a-placeholder|src/wav/riff.cc|ChunkHeaderAt(read, length, dataStart));|false);
placeholder-pad-taken-for-audio|src/wav/riff.cc|read(length - 1, std::span(&last, 1)) == 1 && last == 0)|false)
append-tail-dropped|src/wav/wav.cc|if (!stop) stop = CopyInto(beside, from, plan.keptFrom, layout.length - plan.keptFrom);|
held-tail-dropped|src/wav/wav.cc|stop = PutBack(out, held, plan.keptFrom - layout.audioEnd, layout.length - plan.keptFrom);|stop = {};
realtime-not-requested|src/playback/playback.cc|const RealtimeScheduling realtime;|
realtime-left-on-after-play|src/playback/realtime.cc|if (policyChanged_) {|if (false) {
realtime-nice-left-after-play|src/playback/realtime.cc|if (niceChanged_) setpriority(PRIO_PROCESS, 0, nice_);|
realtime-without-rttime-guard|src/playback/realtime.cc|rtTimeChanged_ = setrlimit(RLIMIT_RTTIME, &guard) == 0;|
realtime-restores-only-what-was-reported|src/playback/realtime.cc|void RealtimeScheduling::ReadBack() {|void RealtimeScheduling::ReadBack() { return;
placeholder-trailer-taken-for-audio|src/wav/riff.cc|std::vector<uint8_t> window(static_cast<size_t>(frame > 0 ? length - base : 0));|std::vector<uint8_t> window;
leftover-side-file-kept|src/base/replace.cc|if (StillNamed(dir, name, fd.get()) && unlinkat(dir, name.c_str(), 0) != 0)|if (false)
side-file-opened-if-there|src/base/replace.cc|O_EXCL|0
attributes-not-carried|src/base/replace.cc|!CarryAttributes(from, to)|false
foreign-link-followed|src/base/place.cc|if (info.st_uid != geteuid() && info.st_uid != dirInfo.st_uid) return Found::kForeignLink;|
copy-fallback-fails|src/wav/wav.cc|inKernel = false;|return Failed("write to");'


# A copy of the tracked (and new, not ignored) files. tar keeps their times, so
# a second run in the same WORKDIR rebuilds only what changed since.
mkdir -p "$tree"
git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - -- | tar -xf - -C "$tree"

cmake -S "$tree" -B "$build" -DZEMBROL_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# Builds the copy and runs the suite; returns ctest's status.
build_and_test() {
  cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1 || return 2
  ctest --test-dir "$build" -j "$jobs" --timeout 300 >"$work/test.log" 2>&1
}

echo "unchanged tree: building and testing"
if ! build_and_test; then
  echo "the unchanged tree does not pass its tests; see $work/build.log and $work/test.log" >&2
  exit 1
fi

rm -f "$work/survivors"
broken=0
printf '%s\n' "$mutants" | while IFS='|' read -r name file text replacement; do
  target=$tree/$file
  cp "$target" "$work/original"
  count=$(grep -cF -- "$text" "$target" || true)
  if [ "$count" != 1 ]; then
    echo "$name: not applied ($count matches in $file)"
    exit 3
  fi
  TEXT=$text REPLACEMENT=$replacement perl -pi -e 's/\Q$ENV{TEXT}\E/$ENV{REPLACEMENT}/' "$target"
  status=0
  build_and_test || status=$?
  cp "$work/original" "$target"
  case $status in
    0)
      echo "$name: survived"
      echo "$name" >>"$work/survivors"
      ;;
    2)
      echo "$name: does not build; see $work/build.log"
      exit 3
      ;;
    *)
      failed=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$work/test.log" | head -3 | tr '\n' ' ')
      echo "$name: killed ($(grep -o '[0-9]* tests failed' "$work/test.log")${failed:+, among them: ${failed% }})"
      ;;
  esac
done || broken=1

# Leave the copy as the tree is, for the next incremental run.
cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1 || true

if [ "$broken" = 1 ]; then
  echo "a mutant could not be applied or built" >&2
  exit 1
fi
if [ -e "$work/survivors" ]; then
  echo "survivors: $(tr '\n' ' ' <"$work/survivors")" >&2
  exit 1
fi
echo "every mutant was killed"
