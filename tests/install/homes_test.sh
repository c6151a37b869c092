#!/bin/sh
# What has one home is held to it: debian/changelog's newest version is the
# project's (CMakeLists.txt), and debian/control's Build-Depends are the
# packages tools/packages.txt lists for the build and the tests, those of
# the tests alone marked <!nocheck> (build-essential brings g++ and make).
#
# usage: homes_test.sh SOURCE_DIR VERSION
set -eu
source=$1
version=$2
fail() { echo "homes test: $*" >&2; exit 1; }

first=$(head -n 1 "$source/debian/changelog")
case "$first" in
  "zembrol ($version) "*) ;;
  *) fail "debian/changelog begins '$first', not version $version" ;;
esac

# One "name marker" line for each Build-Depends entry, marker "-" or "nocheck".
depends=$(sed -n '/^Build-Depends:/,/^[A-Z]/p' "$source/debian/control" | sed '$d' |
  sed 's/^Build-Depends://' | tr ',' '\n' | sed -n 's/^ *\([^ ]*\).*/\1 &/p' |
  awk '$1 != "" && $1 != "debhelper-compat" { print $1, (index($0, "<!nocheck>") ? "nocheck" : "-") }' |
  sort)
listed() { sh "$source/tools/install-missing.sh" --list "$1" | grep -vx 'g++\|make'; }
wanted=$( { listed build | sed 's/$/ -/'; listed test | sed 's/$/ nocheck/'; } | sort)
[ "$depends" = "$wanted" ] || {
  printf 'debian/control has:\n%s\ntools/packages.txt lists:\n%s\n' "$depends" "$wanted" >&2
  fail "debian/control's Build-Depends are not tools/packages.txt's build and test packages"
}
echo "the version and the package list: ok"
