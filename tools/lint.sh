#!/bin/sh
# Static checks: every C++ file under src/, tests/ and fuzz/ formatted as
# clang-format (with .clang-format) leaves it, every source file under src/
# and tests/ named in CMakeLists.txt, clang-tidy with the checks in
# .clang-tidy over src/, and cppcheck over src/ and fuzz/. Prints the findings
# and fails on any.
#
#  cppcheck suppressions: constParameter in loop.cc and constParameterCallback
#  (the command table's functions share one signature that takes the session
#  mutably), missingIncludeSystem (it does not need the system headers).
set -eu
cd "$(dirname "$0")/.."
failed=""

command -v clang-format >/dev/null || { echo "lint: clang-format is not installed" >&2; exit 1; }
unformatted=""
for f in $(find src tests fuzz -type f \( -name '*.cc' -o -name '*.h' \) | sort); do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || unformatted="$unformatted $f"
done
if [ -n "$unformatted" ]; then
  echo "clang-format would change these files (clang-format -i FILE... formats them):"
  printf '  %s\n' $unformatted
  failed="$failed clang-format"
fi

# The source lists are explicit: a file missing there is never built.
unlisted=""
for f in $(find src tests -type f -name '*.cc' | sort); do
  grep -qF "$f" CMakeLists.txt || unlisted="$unlisted $f"
done
if [ -n "$unlisted" ]; then
  echo "CMakeLists.txt does not name these source files:"
  printf '  %s\n' $unlisted
  failed="$failed source-lists"
fi

cmake -S . -B build-tidy -DZEMBROL_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# clang-tidy counts the warnings it hid in system headers on standard error.
status=0
clang-tidy -p build-tidy --quiet src/*/*.cc >"$log" 2>&1 || status=$?
grep -v ' warnings\? generated\.$' "$log" || true
[ "$status" = 0 ] || { echo "clang-tidy: findings"; failed="$failed clang-tidy"; }
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
  --inline-suppr --error-exitcode=1 --quiet \
  --suppress=constParameterCallback --suppress=constParameter:src/command/loop.cc \
  --suppress=missingIncludeSystem -I src src fuzz || failed="$failed cppcheck"
if [ -n "$failed" ]; then
  echo "lint: findings from$failed" >&2
  exit 1
fi
echo "clang-format, source lists, clang-tidy and cppcheck: no findings"
