#!/bin/sh
# Builds the Debian package from a clean copy of the committed HEAD (the work
# tree is not touched) the way Debian's build daemons do, and puts it through
# Debian's own checks:
#  - dpkg-buildpackage, source and binary, as an ordinary user (for root,
#    tools/run-as.sh user), with the test suite;
#  - lintian on the source package and the binary one: an error or a warning
#    fails, pedantic and informational tags are shown;
#  - a second build from a copy in another directory, with the same
#    SOURCE_DATE_EPOCH (the changelog's date): every .deb the same bytes;
#  - installed with apt-get: hardening-check on /usr/bin/zembrol (PIE, stack
#    protector, fortify, read-only relocations, immediate binding), one run in
#    an empty directory answering 0 to the first question (the banner and the
#    question, status 2, no file written), and the package's autopkgtests
#    (debian/tests) run here ("null");
#  - removed again.
# Missing Debian packages are installed first.
#
# usage: tools/deb-check.sh        (as root, or with sudo for apt-get)
#        TMPDIR=/some/dir tools/deb-check.sh
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
started=$(date +%s)

sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

# The tools that build and check a package, and debian/control's
# Build-Depends (the tests' included): tools/packages.txt.
tools/install-missing.sh --for build,test,package
# Installed for this machine's architecture (the foreign ones do not count).
arch=$(dpkg --print-architecture)
installed() {
  dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null |
    grep -Eq "ok installed ($arch|all)$"
}
apt="apt-get -o DPkg::Lock::Timeout=600"

fail() { echo "deb-check: $*" >&2; exit 1; }

if installed zembrol; then
  fail "the package zembrol is installed already; remove it first (apt-get remove zembrol)"
fi

version=$(dpkg-parsechangelog -S Version)
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -S Timestamp)
export SOURCE_DATE_EPOCH
# Under /var/tmp, which the build's user can reach (TMPDIR may be root's own).
work=$(mktemp -d "${TMPDIR:-/var/tmp}/deb-check-XXXXXX")
chmod 755 "$work"
ours=no
cleanup() {
  if [ "$ours" = yes ]; then
    $sudo env DEBIAN_FRONTEND=noninteractive $apt purge -y -qq zembrol >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

jobs=$(nproc 2>/dev/null || echo 2)
# build DIR: HEAD unpacked in DIR/zembrol-VERSION and built there as an
# ordinary user; the log is DIR/build.log.
build() {
  mkdir -p "$1/zembrol-$version"
  git -C "$top" archive --format=tar HEAD | tar -xf - -C "$1/zembrol-$version"
  if ! "$top/tools/run-as.sh" user --give "$1" \
    sh -c 'cd "$0" && dpkg-buildpackage -us -uc -j"$1"' "$1/zembrol-$version" "$jobs" \
    >"$1/build.log" 2>&1; then
    tail -n 200 "$1/build.log" >&2
    fail "dpkg-buildpackage failed in $1 (the last 200 lines of its output are above)"
  fi
  grep -E "tests passed|tests failed" "$1/build.log" || fail "the build in $1 ran no test"
}

echo "== building zembrol $version from HEAD $(git rev-parse --short HEAD) in $work/first," \
  "as $(tools/run-as.sh user id -un), SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
build "$work/first"
cd "$work/first"
deb=$(ls zembrol_"$version"_*.deb)
dsc=zembrol_"$version".dsc
changes=$(ls zembrol_"$version"_*.changes)
[ -f "$dsc" ] || fail "no source package $dsc"
echo "built $dsc and $(ls ./*.deb | tr '\n' ' ')"

echo "== lintian on $changes (the source package, the binary ones and the upload)"
# A lintian older than the policy the package follows (bookworm's knows 4.6.2,
# the package follows trixie's) calls the package's "newer": that is no fault.
standards=$(sed -n 's/^Standards-Version: *//p' "zembrol-$version/debian/control")
suppress=""
if ! grep -q "\"$standards" /usr/share/lintian/data/debian-policy/releases.json; then
  echo "this lintian does not know policy $standards: newer-standards-version is not shown"
  suppress="--suppress-tags newer-standards-version"
fi
# shellcheck disable=SC2086 # no option or one
"$top/tools/run-as.sh" user lintian --fail-on error,warning --display-info --pedantic $suppress "$changes" ||
  fail "lintian reported an error or a warning"
echo "lintian: no error, no warning"

echo "== a second build in $work/second/elsewhere, for the same bytes"
build "$work/second/elsewhere"
cd "$work/first"
for f in ./*.deb; do
  first=$(sha256sum <"$f" | cut -d' ' -f1)
  second=$(sha256sum <"$work/second/elsewhere/$f" | cut -d' ' -f1)
  echo "${f#./}: $first (first), $second (second)"
  [ "$first" = "$second" ] || fail "${f#./} differs between the two builds"
done

echo "== installing ./$deb"
ours=yes
$sudo env DEBIAN_FRONTEND=noninteractive $apt install -y -qq "./$deb" >/dev/null
[ -x /usr/bin/zembrol ] || fail "no /usr/bin/zembrol after installing"
[ -f /usr/share/man/man1/zembrol.1.gz ] || fail "no man page after installing"
[ -f /usr/share/doc/zembrol/examples/tmap.txt ] || fail "no examples after installing"

echo "== hardening-check /usr/bin/zembrol"
# The five protections dpkg-buildflags gives on every release; stack clash and
# control-flow protection are shown too (bookworm's dpkg-buildflags does not
# ask for the latter).
hardening-check /usr/bin/zembrol >"$work/hardening" || true
cat "$work/hardening"
for protection in "Position Independent Executable" "Stack protected" "Fortify Source functions" \
  "Read-only relocations" "Immediate binding"; do
  grep -q "^ $protection: yes" "$work/hardening" || fail "hardening-check: $protection is not yes"
done

echo "== running /usr/bin/zembrol"
mkdir run
status=0
(cd run && printf '0\n' | /usr/bin/zembrol >../run.out 2>../run.err) || status=$?
printf '\nZembrol v. %s (m) by Pellorin\n\nChecking for rczembrol.txt file...\n\nEnter sample rate or\n0 = exit, 1 = 44100,  2 = 48000,  3 = 88200,  4 = 96000\n' \
  "$version" >expected.out
cmp -s expected.out run.out || { diff expected.out run.out >&2 || true; fail "unexpected output"; }
[ ! -s run.err ] || { cat run.err >&2; fail "output on standard error"; }
[ "$status" = 2 ] || fail "exit status $status, not 2"
[ -z "$(ls -A run)" ] || fail "the run left files: $(ls -A run)"
echo "banner and status 2: ok"

echo "== autopkgtest $deb $dsc -- null"
$sudo autopkgtest --output-dir "$work/autopkgtest" "./$deb" "./$dsc" -- null >"$work/autopkgtest.log" 2>&1 ||
  { tail -n 100 "$work/autopkgtest.log" >&2; fail "autopkgtest failed (the last 100 lines are above)"; }
cat "$work/autopkgtest/summary"

echo "== removing zembrol"
$sudo env DEBIAN_FRONTEND=noninteractive $apt purge -y -qq zembrol >/dev/null
ours=no
[ ! -e /usr/bin/zembrol ] || fail "/usr/bin/zembrol is still there after removing"

echo "deb-check: ok ($(($(date +%s) - started)) s)"
