#!/bin/sh
# Builds zembrol and then starts it ("./build.sh") or runs the whole test
# suite ("./build.sh test"). Missing Debian packages are installed first.
# ZEMBROL_SANITIZE=1 builds into build-asan with AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -e
cd "$(dirname "$0")"

# tools/packages.txt lists the Debian packages and what each is for.
uses=build
[ "${1:-run}" = test ] && uses=build,test
sh tools/install-missing.sh --for "$uses"

dir=build
flags=""
if [ "${ZEMBROL_SANITIZE:-0}" = 1 ]; then
  dir=build-asan
  flags="-DZEMBROL_SANITIZE=ON"
fi
jobs=$(nproc 2>/dev/null || echo 2)

case "${1:-run}" in
  run)
    # The build's progress goes to standard error, so that standard output
    # carries only what the program prints.
    cmake -S . -B "$dir" -DZEMBROL_TESTS=OFF $flags >&2
    cmake --build "$dir" --target zembrol -j "$jobs" >&2
    exec "$dir/zembrol"
    ;;
  test)
    cmake -S . -B "$dir" -DZEMBROL_TESTS=ON -DZEMBROL_WERROR=ON $flags
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
    ;;
  *)
    echo "usage: $0 [run|test]" >&2
    exit 64
    ;;
esac
