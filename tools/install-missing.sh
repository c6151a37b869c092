#!/bin/sh
# Installs those of the named Debian packages that are not installed yet, with
# apt-get (through sudo when not root). A package counts as installed only for
# the architecture wanted: NAME for this machine's (or an architecture-
# independent one), NAME:ARCH for ARCH, which is added to dpkg's foreign
# architectures first. So libsystemd-dev:i386 alone does not satisfy
# libsystemd-dev on amd64. Options before the packages go to apt-get install.
#
# usage: tools/install-missing.sh [--no-install-recommends] PACKAGE[:ARCH]...
set -eu
options=""
while [ $# -gt 0 ] && [ "${1#-}" != "$1" ]; do
  options="$options $1"
  shift
done

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
