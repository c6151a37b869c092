#!/bin/sh
# Installs those of the named Debian packages that are not installed yet, with
# apt-get (through sudo when not root). A package counts as installed only for
# the architecture wanted: NAME for this machine's (or an architecture-
# independent one), NAME:ARCH for ARCH, which is added to dpkg's foreign
# architectures first. So libsystemd-dev:i386 alone does not satisfy
# libsystemd-dev on amd64. Options before the packages go to apt-get install.
#
# "--for USE[,USE...]" adds the packages tools/packages.txt lists for those
# uses (build, test, ci, package, cross), and "--list USE[,USE...]" prints
# them instead, one a line.
#
# usage: tools/install-missing.sh [--for USES] [--no-install-recommends] [PACKAGE[:ARCH]...]
#        tools/install-missing.sh --list USES
set -eu
list="$(dirname "$0")/packages.txt"
listed() {
  awk -v uses=",$1," '!/^#/ { for (i = 2; i <= NF; i++) if (index(uses, "," $i ",")) { print $1; break } }' "$list"
}
if [ "${1:-}" = --list ]; then
  listed "$2"
  exit 0
fi
options=""
packages=""
while [ $# -gt 0 ] && [ "${1#-}" != "$1" ]; do
  if [ "$1" = --for ]; then
    packages="$packages $(listed "$2")"
    shift 2
    continue
  fi
  options="$options $1"
  shift
done
# shellcheck disable=SC2086 # the list is words
set -- $packages "$@"

native=$(dpkg --print-architecture)
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
missing=""
add=""
for p in "$@"; do
  case $p in
    *:*) name=${p%%:*} arch=${p#*:} ;;
    *) name=$p arch=$native ;;
  esac
  # One line for each architecture the package is known in.
  dpkg-query -W -f='${Status} ${Architecture}\n' "$name" 2>/dev/null |
    grep -Eq "ok installed ($arch|all)$" && continue
  missing="$missing $p"
  if [ "$arch" != "$native" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    case " $add " in *" $arch "*) ;; *) add="$add $arch" ;; esac
  fi
done
[ -n "$missing" ] || exit 0

echo "Installing Debian packages:$missing" >&2
for arch in $add; do
  $sudo dpkg --add-architecture "$arch"
done
# apt-get waits for another one to finish instead of failing at once.
apt="apt-get -o DPkg::Lock::Timeout=600"
$sudo $apt update -qq >&2
# shellcheck disable=SC2086 # the lists are words
$sudo env DEBIAN_FRONTEND=noninteractive $apt install -y -qq $options $missing >&2
