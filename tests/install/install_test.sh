#!/bin/sh
# Installs the build into a fresh prefix and checks the tree: the program and
# a man page of this version that man renders and groff accepts without a
# warning, and the examples.
#
# usage: install_test.sh BUILD_DIR VERSION
set -eu
build=$1
version=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/zembrol-install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT

fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/zembrol" ] || fail "no executable bin/zembrol"
page="$prefix/share/man/man1/zembrol.1"
[ -f "$page" ] || fail "no man page share/man/man1/zembrol.1"
installed=$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./bin/zembrol ./share/doc/zembrol/examples/asoundrc ./share/doc/zembrol/examples/tmap.txt ./share/man/man1/zembrol.1 " ] ||
  fail "unexpected files: $installed"

# The installed program starts and ends at the end of its input.
out=$(cd "$prefix" && "$prefix/bin/zembrol" </dev/null) || fail "zembrol exited with $?"
case "$out" in *"Zembrol v. $version (m)"*) ;; *) fail "no banner of version $version from bin/zembrol" ;; esac
head -n 1 "$page" | grep -q " \"zembrol $version\" " || fail "the man page's .TH line names no version $version"

warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
text=$(MANWIDTH=80 man -l "$page" 2>&1) || fail "man -l failed: $text"
# The reference's sections, in the order a user looks things up.
sections=$(printf '%s\n' "$text" | grep -E '^[A-Z][A-Z -]*[A-Z]$' | tr '\n' ',')
expected="NAME,SYNOPSIS,DESCRIPTION,OPTIONS,COMMANDS,START-UP,SETTINGS FILE,TEMPO MAP FILE,WAV FILES,"
expected="${expected}PLAYBACK,NUMBERS,EXIT STATUS,ENVIRONMENT,FILES,EXAMPLES,SEE ALSO,BUGS,AUTHORS,"
[ "$sections" = "$expected" ] || fail "man page sections are $sections"
for file in rczembrol.txt tmap.txt; do
  printf '%s\n' "$text" | grep -q "$file" || fail "man page does not describe $file"
done
echo "install tree and man page: ok"
