#!/bin/bash
# Cross-builds for a Debian architecture (arm64, armhf, i386, s390x or
# ppc64el) and runs the whole test suite there: foreign binaries run under
# qemu-user through binfmt. Installs the cross toolchain first.
#
# arm64, armhf and i386 build against the multiarch libraries, installed here
# beside this machine's own. s390x and ppc64el build against a private root
# instead, build-ARCH/root, so that nothing of theirs is installed here (a
# multiarch package must match the version of this machine's own exactly,
# which the foreign architecture's archive does not always have: its security
# updates come later). apt-get, with a state of its own over this machine's
# sources, downloads the libraries and everything they depend on (the C and
# C++ libraries among them) into build-ARCH/apt, and each package is unpacked
# into the root. The root is the compiler's sysroot, and qemu looks in it
# first for every file the foreign programs open (QEMU_LD_PREFIX): the dynamic
# loader, the libraries, ALSA's plugins and configuration.
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
  s390x) triplet=s390x-linux-gnu qemu=s390x ;;
  ppc64el) triplet=powerpc64le-linux-gnu qemu=ppc64le ;;
  *) echo "usage: $0 arm64|armhf|i386|s390x|ppc64el [CMake options]" >&2; exit 64 ;;
esac
build=build-$arch

install_missing() {
  tools/install-missing.sh --no-install-recommends "$@"
}

mount_binfmt_misc() {
  [ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
}

# Makes $root, $build/root, of the packages named and all they depend on:
# apt-get downloads them into $build/apt with this machine's configuration
# (its sources, keys, proxies) but with a state of its own, where nothing is
# installed, the foreign architecture alone, and none of this machine's hooks.
# The root is unpacked anew when the set of package files has changed.
make_root() {
  local state=$PWD/$build/apt deb link
  root=$PWD/$build/root
  mkdir -p "$state/lists/partial" "$state/archives/partial"
  : >"$state/status"
  cat >"$state/apt.conf" <<END
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
#clear DPkg::Pre-Invoke;
#clear DPkg::Post-Invoke;
#clear DPkg::Pre-Install-Pkgs;
#clear APT::Architectures;
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
Dir::State "$state";
Dir::State::Lists "$state/lists";
Dir::State::status "$state/status";
Dir::Cache "$state";
Dir::Cache::Archives "$state/archives";
APT::Sandbox::User "root";
END
  local apt=(apt-get -q -c "$state/apt.conf")
  echo "Downloading the $arch packages into $build/apt" >&2
  "${apt[@]}" update >"$state/update.log" 2>&1 || { cat "$state/update.log" >&2; exit 1; }
  "${apt[@]}" install -y --download-only --no-install-recommends "$@" >"$state/install.log" 2>&1 ||
    { cat "$state/install.log" >&2; exit 1; }
  # Versions the archive no longer has go.
  "${apt[@]}" autoclean >/dev/null
  (cd "$state/archives" && ls -- *.deb) >"$state/debs"
  if [ -d "$root" ] && cmp -s "$state/debs" "$root.debs"; then
    return
  fi
  echo "Unpacking them into $build/root" >&2
  rm -rf "$root" "$root.debs"
  # A merged /usr, as base-files makes it: the dynamic loader's path in the
  # programs (/lib/ld64.so.1, /lib64/ld64.so.2) holds whether the package puts
  # the file under /lib or under /usr/lib.
  for link in bin sbin lib lib64; do
    mkdir -p "$root/usr/$link"
    ln -s "usr/$link" "$root/$link"
  done
  while read -r deb; do
    dpkg-deb --fsys-tarfile "$state/archives/$deb" |
      tar -x -C "$root" --keep-directory-symlink --no-same-owner
  done <"$state/debs"
  # An absolute link (libfoo.so -> /lib/...) points into the root instead.
  find "$root" -type l -lname '/*' | while read -r link; do
    ln -sfn --relative "$root$(readlink "$link")" "$link"
  done
  cp "$state/debs" "$root.debs"
}

# The foreign architecture's libraries (tools/packages.txt's "cross" lines;
# the tests' own devices need its alsa-plugins too).
mapfile -t foreign < <(tools/install-missing.sh --list cross)
if [ "$arch" = s390x ] || [ "$arch" = ppc64el ]; then
  install_missing pkgconf "g++-$triplet"
  make_root libc6 libstdc++6 "${foreign[@]}"
  set -- "-DZEMBROL_SYSROOT=$root" "$@"
  # Every foreign program looks for its files in the root first, from the
  # test listing during the build on.
  export QEMU_LD_PREFIX=$root
else
  install_missing pkgconf "g++-$triplet" "${foreign[@]/%/:$arch}"
fi

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

tools/test-build.sh "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$arch.cmake" \
  -DCMAKE_BUILD_TYPE=Release "$@"
