#!/bin/sh
# Builds the Debian package from a clean copy of the committed HEAD (the work
# tree is not touched), checks the .deb and the .changes with lintian (any
# error or warning fails), installs the package with apt-get, runs the
# installed /usr/bin/zembrol once in an empty directory answering 0 to the
# first question (the banner and the question, status 2, no file written) and
# removes the package again. Missing Debian packages are installed first.
#
# usage: tools/deb-check.sh        (as root, or with sudo for apt-get)
#        TMPDIR=/some/dir tools/deb-check.sh
set -eu
cd "$(dirname "$0")/.."
started=$(date +%s)

sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

# dpkg-buildpackage, debhelper and lintian, and debian/control's
# Build-Depends (those of the test suite included).
packages="build-essential dpkg-dev debhelper lintian git
          cmake pkg-config libasound2-dev libmpfr-dev libgtest-dev libasound2-plugins sox man-db groff-base
          strace python3 libsystemd-dev dbus python3-dbus python3-gi acl attr"
# Installed and configured for this machine's architecture (or for all).
arch=$(dpkg --print-architecture)
installed() {
  dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null |
    grep -Eq "ok installed ($arch|all)$"
}
# apt-get waits for another one to finish instead of failing at once.
apt="apt-get -o DPkg::Lock::Timeout=600"
missing=""
for p in $packages; do
  installed "$p" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing Debian packages:$missing" >&2
  $sudo $apt update -qq
  DEBIAN_FRONTEND=noninteractive $sudo $apt install -y -qq $missing >&2
fi

fail() { echo "deb-check: $*" >&2; exit 1; }

if installed zembrol; then
  fail "the package zembrol is installed already; remove it first (apt-get remove zembrol)"
fi

version=$(dpkg-parsechangelog -S Version)
work=$(mktemp -d "${TMPDIR:-/tmp}/deb-check-XXXXXX")
ours=no
cleanup() {
  if [ "$ours" = yes ]; then
    DEBIAN_FRONTEND=noninteractive $sudo $apt purge -y -qq zembrol >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

echo "== building zembrol $version from HEAD $(git rev-parse --short HEAD) in $work"
src="$work/zembrol-$version"
mkdir "$src"
git archive --format=tar HEAD | tar -xf - -C "$src"
jobs=$(nproc 2>/dev/null || echo 2)
if ! (cd "$src" && dpkg-buildpackage -us -uc -b -j"$jobs") >"$work/build.log" 2>&1; then
  tail -n 200 "$work/build.log" >&2
  fail "dpkg-buildpackage failed (the last 200 lines of its output are above)"
fi
grep -E "tests passed|tests failed" "$work/build.log" || fail "the build ran no test"
cd "$work"
deb=$(ls zembrol_"$version"_*.deb)
changes=$(ls zembrol_"$version"_*.changes)
echo "built $deb"

echo "== lintian"
lintian --fail-on error,warning --display-info --pedantic "$changes" "$deb" ||
  fail "lintian reported an error or a warning"

echo "== installing ./$deb"
ours=yes
DEBIAN_FRONTEND=noninteractive $sudo $apt install -y -qq "./$deb"
[ -x /usr/bin/zembrol ] || fail "no /usr/bin/zembrol after installing"
[ -f /usr/share/man/man1/zembrol.1.gz ] || fail "no man page after installing"

echo "== running /usr/bin/zembrol"
mkdir run
status=0
(cd run && printf '0\n' | /usr/bin/zembrol >../run.out 2>../run.err) || status=$?
printf '\nZembrol v. 1.023 (m) by Pellorin\n\nChecking for rczembrol.txt file...\n\nEnter sample rate or\n0 = exit, 1 = 44100,  2 = 48000,  3 = 88200,  4 = 96000\n' >expected.out
cmp -s expected.out run.out || { diff expected.out run.out >&2 || true; fail "unexpected output"; }
[ ! -s run.err ] || { cat run.err >&2; fail "output on standard error"; }
[ "$status" = 2 ] || fail "exit status $status, not 2"
[ -z "$(ls -A run)" ] || fail "the run left files: $(ls -A run)"
echo "banner and status 2: ok"

echo "== removing zembrol"
DEBIAN_FRONTEND=noninteractive $sudo $apt purge -y -qq zembrol
ours=no
[ ! -e /usr/bin/zembrol ] || fail "/usr/bin/zembrol is still there after removing"

echo "deb-check: ok ($(($(date +%s) - started)) s)"
