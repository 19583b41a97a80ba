#!/usr/bin/env bash
# Checks that the Windows programs build reproducibly:
#   scripts/check-reproducible-windows.sh [JOBS]
# builds the tree twice for Windows (without the tests), in two fresh build folders of different
# names, and compares every program the two builds made byte for byte. The folders are removed
# afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-2}

first=$(mktemp -d build-reproducible-XXXXXX)
second=$(mktemp -d build-reproducible-other-XXXXXX)
trap 'rm -rf "$first" "$second"' EXIT

for folder in "$first" "$second"; do
  cmake -S . -B "$folder" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DKESTRIX_TESTS=OFF >/dev/null
  cmake --build "$folder" -j"$jobs" >/dev/null
done

programs=$(cd "$first" && ls -- *.exe)
[ -n "$programs" ] || { echo "check-reproducible-windows: no program was built" >&2; exit 1; }
[ "$programs" = "$(cd "$second" && ls -- *.exe)" ] ||
  { echo "check-reproducible-windows: the two builds made different programs" >&2; exit 1; }
different=0
for program in $programs; do
  if cmp "$first/$program" "$second/$program"; then
    echo "check-reproducible-windows: $program identical in both builds ($(stat -c %s "$first/$program") bytes, SHA-256 $(sha256sum <"$first/$program" | cut -c1-16)...)"
  else
    different=1
  fi
done
if [ "$different" -ne 0 ]; then
  echo "check-reproducible-windows: two builds of one tree differ" >&2
  exit 1
fi
