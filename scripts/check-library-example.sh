#!/usr/bin/env bash
# Checks the library example against README.md:
#   scripts/check-library-example.sh PROGRAM
# The README's "Using the library" section must show examples/verify.cpp as it stands, and
# PROGRAM (that file built) run on examples/example.dz must print the lines the section shows
# and exit with 0.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 1 ]; then
  echo "usage: $0 PROGRAM" >&2
  exit 2
fi
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The Nth fenced block of the section (1 the source, 2 the output).
block() {
  awk -v want="$1" '/^## / { inside_section = ($0 == "## Using the library"); next }
       inside_section && /^```/ { if (open) { open = 0; next } n++; open = 1; next }
       inside_section && open && n == want { print }' README.md
}

block 1 >"$work/source"
block 2 >"$work/expected"
if [ ! -s "$work/source" ] || [ ! -s "$work/expected" ]; then
  echo "check-library-example: no example found in README.md's \"Using the library\"" >&2
  exit 1
fi
if ! diff -u examples/verify.cpp "$work/source"; then
  echo "check-library-example: README.md does not show examples/verify.cpp as it stands" >&2
  exit 1
fi
status=0
"$program" examples/example.dz >"$work/printed" || status=$?
if ! diff -u "$work/expected" "$work/printed"; then
  echo "check-library-example: $program does not print what README.md shows" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "check-library-example: $program exited with $status" >&2
  exit 1
fi
echo "check-library-example: the README's example builds, runs and prints what it shows"
