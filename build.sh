#!/bin/sh
# Builds zembrol and then starts it ("./build.sh") or runs the whole test
# suite ("./build.sh test"). Missing Debian packages are installed first.
# ZEMBROL_SANITIZE=1 builds into build-asan with AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -e
cd "$(dirname "$0")"

packages="cmake g++ make pkg-config libasound2-dev libmpfr-dev libsystemd-dev libgtest-dev"
# The tests also read the WAV files back with soxi, use alsa-plugins' upmix
# PCM as a device that refuses 24-bit samples, render the man page, kill "+"
# and "s" at each file-system call and model every power cut under strace
# (tools/crash-test.py, in python3), and run a RealtimeKit stand-in
# (python3-dbus) on a private D-Bus daemon, and compare ACLs and extended
# attributes before and after (acl, attr).
[ "${1:-run}" = test ] && packages="$packages sox libasound2-plugins man-db strace python3 dbus python3-dbus python3-gi acl attr"
# shellcheck disable=SC2086 # the list is words
sh tools/install-missing.sh $packages

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
