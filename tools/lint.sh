#!/bin/sh
# Static checks: clang-tidy with the checks in .clang-tidy over src/, and
# cppcheck over src/ and fuzz/. Prints the findings and fails on any.
#
#  cppcheck suppressions: constParameter in loop.cc and constParameterCallback
#  (the command table's functions share one signature that takes the session
#  mutably), missingIncludeSystem (it does not need the system headers).
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build-tidy -DZEMBROL_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# clang-tidy counts the warnings it hid in system headers on standard error.
status=0
clang-tidy -p build-tidy --quiet src/*/*.cc >"$log" 2>&1 || status=$?
grep -v ' warnings\? generated\.$' "$log" || true
[ "$status" = 0 ] || { echo "clang-tidy: findings" >&2; exit 1; }
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
  --inline-suppr --error-exitcode=1 --quiet \
  --suppress=constParameterCallback --suppress=constParameter:src/command/loop.cc \
  --suppress=missingIncludeSystem -I src src fuzz
echo "clang-tidy and cppcheck: no findings"
