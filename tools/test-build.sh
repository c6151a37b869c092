#!/bin/bash
# Configures DIR with the given CMake options and warnings as errors, builds
# it and runs every test, printing only the outcome (and the log of whatever
# failed): tools/test-build.sh build-debug -DCMAKE_BUILD_TYPE=Debug
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$dir"
if ! { cmake -S . -B "$dir" -DZEMBROL_TESTS=ON -DZEMBROL_WERROR=ON "$@" &&
       cmake --build "$dir" -j "$jobs"; } >"$dir/build.log" 2>&1; then
  tail -n 60 "$dir/build.log"
  echo "$dir: the build failed" >&2
  exit 1
fi
if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs" >"$dir/test.log" 2>&1; then
  grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test) ' "$dir/test.log" | tail -n 200
  exit 1
fi
grep -E 'tests passed|Total Test time' "$dir/test.log"
