#!/bin/bash
# Cross-builds for a Debian architecture (arm64, armhf or i386) and runs the
# whole test suite there: foreign binaries run under qemu-user through binfmt
# (i386 runs natively on amd64). Installs the cross toolchain and the
# multiarch libraries first. Usage: tools/cross-test.sh ARCH [CMake options]
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$1
shift
case "$arch" in
  arm64) triplet=aarch64-linux-gnu qemu=aarch64 ;;
  armhf) triplet=arm-linux-gnueabihf qemu=arm ;;
  i386) triplet=i686-linux-gnu qemu="" ;;
  *) echo "usage: $0 arm64|armhf|i386 [CMake options]" >&2; exit 64 ;;
esac

# The tests' own devices need alsa-plugins for the foreign architecture too.
packages="g++-$triplet libasound2-dev:$arch libmpfr-dev:$arch libgtest-dev:$arch
          libasound2-plugins:$arch"
[ -n "$qemu" ] && packages="$packages qemu-user qemu-user-binfmt"
need=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need="$need $p"
done
if [ -n "$need" ]; then
  dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need >/dev/null
fi

if [ -n "$qemu" ] && [ ! -e "/proc/sys/fs/binfmt_misc/qemu-$qemu" ]; then
  [ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  /lib/systemd/systemd-binfmt "/usr/lib/binfmt.d/qemu-$qemu.conf"
fi

tools/test-build.sh "build-$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$arch.cmake \
  -DCMAKE_BUILD_TYPE=Release "$@"
