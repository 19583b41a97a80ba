#!/usr/bin/env bash
# Checks the Debian packages in a throw-away root:
#   scripts/check-package.sh [PACKAGE.deb]     (by default the one `make package` made)
# and, beside the default one, python3-kestrix the same way: lintian, its files, its install
# with its dependencies, the installed module proving the example with Debian's own Python, and
# its removal.
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
lintian_passes() {
  local said
  if ! said=$(lintian --fail-on error,warning "$1" 2>&1); then
    echo "$said" | grep -v '^running with root privileges' >&2
    fail "lintian found errors or warnings in $1"
  fi
}
lintian_passes "$deb"

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
known_dependencies() {
  local dependency
  for dependency in $(dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (].*//' | sort -u); do
    grep -qx "Package: $dependency" "$admin/status" && continue
    dpkg-query -s "$dependency" >>"$admin/status" 2>/dev/null ||
      fail "dependency $dependency is not installed here"
    echo >>"$admin/status"
    : >"$admin/info/$(dpkg-query -W -f='${binary:Package}' "$dependency").list"
  done
}
known_dependencies "$deb"

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

# The Python module's package, when the default one was checked.
[ $# -eq 0 ] || exit 0
module=build-package/python3-kestrix_${version}_${arch}.deb
[ -f "$module" ] || fail "$module is missing (make package)"
lintian_passes "$module"
[ "$(dpkg-deb -f "$module" Section)" = python ] || fail "python3-kestrix's section is not python"
contents=$(dpkg-deb --fsys-tarfile "$module" | tar -t | grep -v '/$' | sed 's/cpython-.*\.so$/so/' |
  sort | tr '\n' ' ')
site=./usr/lib/python3/dist-packages/kestrix
expected="$site/__init__.py $site/__init__.pyi $site/_kestrix.so $site/py.typed \
./usr/share/doc/python3-kestrix/changelog.gz ./usr/share/doc/python3-kestrix/copyright "
[ "$contents" = "$expected" ] || fail "python3-kestrix holds: $contents"
known_dependencies "$module"
dpkg --root="$root" --log=/dev/null --install "$module" >/dev/null ||
  fail "dpkg could not install $module into a throw-away root"
example=$PWD/examples/example.dz
proven=$(cd / && PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -c '
import sys, kestrix
with kestrix.open(sys.argv[1]) as dz:
    print(len(dz), all(dz.test_all()))' "$example") ||
  fail "the installed module does not open the example"
case "$proven" in
  [1-9]*" True") ;;
  *) fail "the installed module does not prove the example: $proven" ;;
esac
dpkg --root="$root" --log=/dev/null --purge python3-kestrix >/dev/null ||
  fail "dpkg could not remove python3-kestrix"
left=$(find "$root" -path "$admin" -prune -o ! -type d -print)
[ -z "$left" ] || fail "files left after removal: $left"
echo "check-package: python3-kestrix passes lintian, installs, proves the example with /usr/bin/python3 and is removed cleanly"
