#!/usr/bin/env bash
# Makes a Debian package's bytes depend on its files alone, so that every build of the same
# tree gives the same package:
#   scripts/normalize-deb.sh PACKAGE.deb
# rewrites PACKAGE.deb in place with every file's time clamped to SOURCE_DATE_EPOCH (by default
# the release day of CHANGELOG.md, at midnight UTC), root as every file's owner, and the same
# time on the archive's members (dpkg-deb takes it from SOURCE_DATE_EPOCH).
set -euo pipefail
here=$(dirname "$0")

if [ $# -ne 1 ]; then
  echo "usage: $0 PACKAGE.deb" >&2
  exit 2
fi
deb=$1
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(date -u -d "$("$here/release-day.sh") 00:00:00 UTC" +%s)
fi
export SOURCE_DATE_EPOCH

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -R "$deb" "$work/root"
find "$work/root" -newermt "@$SOURCE_DATE_EPOCH" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$work/root" "$work/package.deb" >/dev/null
mv "$work/package.deb" "$deb"
