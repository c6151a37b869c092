#!/bin/bash
# Cross-builds for a Debian architecture (arm64, armhf or i386) and runs the
# whole test suite there: foreign binaries run under qemu-user through binfmt.
# Installs the cross toolchain and the multiarch libraries first.
#
# i386 binaries run natively when the kernel can run them (it is asked by
# running a small i386 program). When it cannot (a kernel built without 32-bit
# x86 support says "Exec format error"), or when ZEMBROL_I386_QEMU=1, the
# script registers qemu-i386 with binfmt_misc for i386 ELF files for the
# duration of the run: binfmt_misc comes before the kernel's own ELF loaders,
# so every i386 program then runs under qemu (the test binary, the program
# the end-to-end tests start, the test listing during the build). Debian's
# qemu-user-binfmt registers no i386 entry on amd64.
#
# Usage: tools/cross-test.sh ARCH [CMake options]   (as root)
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-}
[ $# -gt 0 ] && shift
case "$arch" in
  arm64) triplet=aarch64-linux-gnu qemu=aarch64 ;;
  armhf) triplet=arm-linux-gnueabihf qemu=arm ;;
  i386) triplet=i686-linux-gnu qemu=i386 ;;
  *) echo "usage: $0 arm64|armhf|i386 [CMake options]" >&2; exit 64 ;;
esac

install_missing() {
  tools/install-missing.sh --no-install-recommends "$@"
}

mount_binfmt_misc() {
  [ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
}

# The tests' own devices need alsa-plugins for the foreign architecture too.
install_missing pkg-config "g++-$triplet" "libasound2-dev:$arch" "libmpfr-dev:$arch" "libsystemd-dev:$arch" \
  "libgtest-dev:$arch" "libasound2-plugins:$arch"

if [ "$arch" != i386 ]; then
  install_missing qemu-user qemu-user-binfmt
  if [ ! -e "/proc/sys/fs/binfmt_misc/qemu-$qemu" ]; then
    mount_binfmt_misc
    /lib/systemd/systemd-binfmt "/usr/lib/binfmt.d/qemu-$qemu.conf"
  fi
else
  # The probe prints the machine name the kernel reports to it: x86_64 for a
  # native run on amd64, i686 under qemu-i386.
  probe=$(mktemp -d)
  entry=/proc/sys/fs/binfmt_misc/zembrol-qemu-i386
  registered=no
  cleanup() {
    [ "$registered" = no ] || echo -1 >"$entry"
    rm -rf "$probe"
  }
  trap cleanup EXIT
  trap 'exit 1' HUP INT TERM
  printf '%s\n' '#include <stdio.h>' '#include <sys/utsname.h>' \
    'int main(void) { struct utsname u; return uname(&u) != 0 || puts(u.machine) < 0; }' |
    "$triplet-gcc" -x c -o "$probe/machine" -
  if [ "${ZEMBROL_I386_QEMU:-0}" = 1 ]; then
    why="ZEMBROL_I386_QEMU=1"
  elif ! "$probe/machine" >"$probe/native.out" 2>&1; then
    why="the kernel cannot run them: $(cat "$probe/native.out")"
  else
    why=""
  fi
  if [ -n "$why" ]; then
    install_missing qemu-user
    mount_binfmt_misc
    # A run that was killed may have left its entry behind.
    [ ! -e "$entry" ] || echo -1 >"$entry"
    # The i386 ELF header (executables and position-independent ones):
    # 32-bit, little-endian, machine 3; the interpreter is opened now (F).
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":zembrol-qemu-i386:M::$magic:$mask:$(command -v qemu-i386):F" \
      >/proc/sys/fs/binfmt_misc/register
    registered=yes
    machine=$("$probe/machine")
    if [ "$machine" != i686 ]; then
      echo "i386 binaries do not run under qemu-i386 (the probe reports $machine)" >&2
      exit 1
    fi
    echo "i386 binaries run under qemu-i386 through binfmt_misc ($why)"
  else
    echo "i386 binaries run natively (the probe reports $(cat "$probe/native.out"))"
  fi
fi

tools/test-build.sh "build-$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$arch.cmake \
  -DCMAKE_BUILD_TYPE=Release "$@"
