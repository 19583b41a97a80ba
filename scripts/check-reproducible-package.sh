#!/usr/bin/env bash
# Checks that the Debian package builds reproducibly:
#   scripts/check-reproducible-package.sh
# makes the package twice (make package), in two fresh build folders of different names, and
# compares the two packages byte for byte. The folders are removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

first=$(mktemp -d build-package-XXXXXX)
second=$(mktemp -d build-package-other-XXXXXX)
trap 'rm -rf "$first" "$second"' EXIT

for folder in "$first" "$second"; do
  make --no-print-directory package PACKAGE_BUILD="$folder" >/dev/null
done
packages=$(cd "$first" && ls -- *.deb)
[ -n "$packages" ] || { echo "check-reproducible-package: no package was made" >&2; exit 1; }
for package in $packages; do
  if ! cmp "$first/$package" "$second/$package"; then
    echo "check-reproducible-package: the two builds made different $package" >&2
    diffoscope "$first/$package" "$second/$package" 2>/dev/null | head -40 >&2 || true
    exit 1
  fi
  echo "check-reproducible-package: $package identical in both builds ($(stat -c %s "$first/$package") bytes, SHA-256 $(sha256sum <"$first/$package" | cut -c1-16)...)"
done
