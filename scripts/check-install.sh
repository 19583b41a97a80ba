#!/usr/bin/env bash
# Checks `make install` in a temporary folder:
#   scripts/check-install.sh [BUILD]     (the build folder, build by default)
# installs BUILD's program with PREFIX=/usr/local below a temporary DESTDIR, checks that exactly
# the program, its manual page and the documents are there, that the page renders without a
# warning and names the project's version, and that the installed kestrix prints and unpacks
# examples/example.dz as README.md shows.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

fail() {
  echo "check-install: $*" >&2
  exit 1
}

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
make --no-print-directory install BUILD="$build" PREFIX=/usr/local DESTDIR="$staging" >/dev/null

prefix=$staging/usr/local
installed=$(cd "$prefix" && find . -type f | LC_ALL=C sort | tr '\n' ' ')
expected="./bin/kestrix ./bin/kx ./share/bash-completion/completions/kx \
./share/doc/kestrix/CHANGELOG.md ./share/doc/kestrix/LICENSE ./share/doc/kestrix/README.md \
./share/fish/vendor_completions.d/kx.fish ./share/man/man1/kestrix.1 ./share/man/man1/kx.1 \
./share/zsh/vendor-completions/_kx "
[ "$installed" = "$expected" ] || fail "installed: $installed"

version=$(sed -n 's/^project(Kestrix VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
for page in kestrix kx; do
  warnings=$(groff -ww -z -man "$prefix/share/man/man1/$page.1" 2>&1)
  [ -z "$warnings" ] || fail "the manual page of $page renders with warnings: $warnings"
done
grep -q "^\.TH KESTRIX 1 .*Kestrix $version" "$prefix/share/man/man1/kestrix.1" ||
  fail "the manual page does not name version $version"

scripts/check-example-output.sh "$prefix/bin/kestrix" >/dev/null ||
  fail "the installed kestrix does not print or unpack the example as README.md shows"
"$prefix/bin/kx" test examples/example.dz -q >/dev/null ||
  fail "the installed kx does not find the example container good"
echo "check-install: make install lays out the programs, their pages, the completions and the documents; they run"
