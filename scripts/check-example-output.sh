#!/usr/bin/env bash
# Runs a Kestrix program as `make run` does and checks it against README.md:
#   scripts/check-example-output.sh PROGRAM
# PROGRAM -h -o -x examples/example.dz must print the lines the README shows (the status byte
# 0xFE of a redirected run written as the README writes it, "■", and CR LF as LF), exit with 0,
# and unpack boot.img, modem.bin (its two pieces joined) and version.txt. The creation time is
# shown in UTC, as in the README.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 1 ]; then
  echo "usage: $0 PROGRAM" >&2
  exit 2
fi
program=$1
output=$(mktemp -d)
trap 'rm -rf "$output"' EXIT

# The README's block: the one after the line that says what `make run` shows.
awk '/^`make run` shows/ { found = 1; next }
     found && /^```/ { if (inside) exit; inside = 1; next }
     inside { print }' README.md >"$output/expected"
if [ ! -s "$output/expected" ]; then
  echo "check-example-output: no example output found in README.md" >&2
  exit 1
fi

status=0
TZ=UTC "$program" -h -o -x examples/example.dz "$output/out" >"$output/printed" || status=$?
LC_ALL=C sed -e 's/\xFE/■/' -e 's/\r$//' "$output/printed" >"$output/shown"
if ! diff -u "$output/expected" "$output/shown"; then
  echo "check-example-output: $program does not print what README.md shows" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "check-example-output: $program exited with $status" >&2
  exit 1
fi
sizes=$(cd "$output/out" && stat -c '%n %s' -- * | tr '\n' ' ')
if [ "$sizes" != "boot.img 2048 modem.bin 2200 version.txt 162 " ]; then
  echo "check-example-output: unexpected output files: $sizes" >&2
  exit 1
fi
echo "check-example-output: $program prints and unpacks what README.md shows"
