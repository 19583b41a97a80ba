#!/usr/bin/env bash
# Lays out the release folder dist/kestrix-VERSION/ from what `make package` and `make windows`
# built (make dist runs both first):
#   kestrix_VERSION_ARCH.deb              the Debian package
#   kestrix-VERSION-windows-x86_64.zip    the Windows programs with README.md, LICENSE and
#                                         CHANGELOG.md, as `cmake --install` lays them out for
#                                         Windows, in a folder of the zip's name
#   kestrix-VERSION.tar.gz                the source of the commit checked out (git archive)
#   SHA256SUMS                            the SHA-256 of every other file, for `sha256sum -c`
# The zip's entries carry the release day as their time, so that it holds the same bytes for
# the same programs.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "make-dist: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(Kestrix VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt"
day=$(scripts/release-day.sh)
arch=$(dpkg --print-architecture)
deb=build-package/kestrix_${version}_${arch}.deb
[ -f "$deb" ] || fail "$deb is missing (make package)"
[ -f build-windows/Kestrix.exe ] || fail "build-windows/Kestrix.exe is missing (make windows)"

release=dist/kestrix-$version
windows=kestrix-$version-windows-x86_64
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
rm -rf "$release"
mkdir -p "$release"

cp "$deb" "$release/"
# The source as committed: what is not committed is not in it.
git archive --format=tar.gz --prefix="kestrix-$version/" -o "$release/kestrix-$version.tar.gz" HEAD

cmake --install build-windows --prefix "$staging/$windows" >/dev/null
find "$staging/$windows" -exec touch -d "$day 00:00:00 UTC" {} +
(cd "$staging" && find "$windows" -type f | LC_ALL=C sort |
  TZ=UTC zip -q -X -D -@ "$OLDPWD/$release/$windows.zip")

(cd "$release" && sha256sum -- $(ls | LC_ALL=C sort) >SHA256SUMS)

echo "make-dist: $release"
(cd "$release" && ls -l --time-style=+ | tail -n +2 | awk '{print "  " $5 "\t" $NF}')
echo "  zip: $(unzip -Z1 "$release/$windows.zip" | tr '\n' ' ')"
