#!/usr/bin/env bash
# Prints the release day of the version in CMakeLists.txt, from its heading in CHANGELOG.md
# ("## 1.0.0 (2026-12-01)"), as YYYY-MM-DD; fails when there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(Kestrix VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
day=$(sed -n "s/^## ${version//./\\.} (\([0-9-]*\))\$/\1/p" CHANGELOG.md)
if [ -z "$day" ]; then
  echo "release-day: CHANGELOG.md has no heading \"## $version (YYYY-MM-DD)\"" >&2
  exit 1
fi
echo "$day"
