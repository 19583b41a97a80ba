#!/usr/bin/env bash
# Checks the Debian package in a throw-away root:
#   scripts/check-package.sh [PACKAGE.deb]     (by default the one `make package` made)
# - lintian finds no error or warning in it;
# - it holds exactly the files it should, with the version of CMakeLists.txt;
# - dpkg installs it into an empty root whose database holds only the packages it depends on, as
#   this machine has them installed (so that its dependencies are checked, not forced);
# - the installed kestrix prints and unpacks examples/example.dz as README.md shows, and its
#   manual page renders without a warning;
# - dpkg removes and purges it, leaving no file of it and nothing in its folders.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "check-package: $*" >&2
  exit 1
}

if [ $# -gt 1 ]; then
  echo "usage: $0 [PACKAGE.deb]" >&2
  exit 2
fi
version=$(sed -n 's/^project(Kestrix VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=${1:-build-package/kestrix_${version}_${arch}.deb}
[ -f "$deb" ] || fail "$deb is missing (make package)"
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# What Debian's own checks say. lintian warns when it runs as root; that is not about the package.
if ! said=$(lintian --fail-on error,warning "$deb" 2>&1); then
  echo "$said" | grep -v '^running with root privileges' >&2
  fail "lintian found errors or warnings"
fi

# The control fields and the files.
[ "$(dpkg-deb -f "$deb" Package)" = kestrix ] || fail "the package is not named kestrix"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
[ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "the package's section is not utils"
contents=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort | tr '\n' ' ')
expected="./usr/bin/kestrix ./usr/bin/kx ./usr/share/bash-completion/completions/kx \
./usr/share/doc/kestrix/CHANGELOG.md ./usr/share/doc/kestrix/README.md \
./usr/share/doc/kestrix/changelog.gz ./usr/share/doc/kestrix/copyright \
./usr/share/fish/vendor_completions.d/kx.fish ./usr/share/lintian/overrides/kestrix \
./usr/share/man/man1/kestrix.1.gz ./usr/share/man/man1/kx.1.gz \
./usr/share/zsh/vendor-completions/_kx "
[ "$contents" = "$expected" ] || fail "the package holds: $contents"

# An empty root whose dpkg database knows the packages kestrix depends on, as installed here.
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
: >"$admin/status"
dependencies=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (].*//')
for dependency in $dependencies; do
  dpkg-query -s "$dependency" >>"$admin/status" 2>/dev/null ||
    fail "dependency $dependency is not installed here"
  echo >>"$admin/status"
  : >"$admin/info/$(dpkg-query -W -f='${binary:Package}' "$dependency").list"
done

dpkg --root="$root" --log=/dev/null --install "$deb" >/dev/null ||
  fail "dpkg could not install $deb into a throw-away root"
[ "$(dpkg-query --admindir="$admin" -W -f='${Status}' kestrix)" = "install ok installed" ] ||
  fail "dpkg does not list kestrix as installed"
[ -x "$root/usr/bin/kestrix" ] || fail "usr/bin/kestrix is missing"

scripts/check-example-output.sh "$root/usr/bin/kestrix" >/dev/null ||
  fail "the installed kestrix does not print or unpack the example as README.md shows"
"$root/usr/bin/kx" test examples/example.dz -q >/dev/null ||
  fail "the installed kx does not find the example container good"
warnings=$(zcat "$root/usr/share/man/man1/kestrix.1.gz" | groff -ww -z -man 2>&1)
[ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"
zcat "$root/usr/share/man/man1/kestrix.1.gz" | grep -q "^\.TH KESTRIX 1 .*Kestrix $version" ||
  fail "the manual page does not name version $version"

dpkg --root="$root" --log=/dev/null --purge kestrix >/dev/null || fail "dpkg could not remove kestrix"
left=$(find "$root" -path "$admin" -prune -o ! -type d -print)
[ -z "$left" ] || fail "files left after removal: $left"
[ -z "$(dpkg-query --admindir="$admin" -W -f='${Status}' kestrix 2>/dev/null)" ] ||
  fail "dpkg still knows kestrix after purging it"

echo "check-package: $(basename "$deb") passes lintian, installs, runs and is removed cleanly"
