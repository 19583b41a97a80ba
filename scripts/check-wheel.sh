#!/usr/bin/env bash
# Checks the Python module as a user installs it: builds the wheel (make wheel), installs it with
# pip into a fresh virtual environment of Debian's own Python (seeing the machine's pytest), and
# runs the module's tests against the installed copy, not the source tree.
#   scripts/check-wheel.sh
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-/usr/bin/python3}

rm -rf dist/wheel
make --no-print-directory wheel PYTHON="$python"
venv=$(mktemp -d)
trap 'rm -rf "$venv"' EXIT
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install -q --no-index --no-deps dist/wheel/kestrix-*.whl
installed=$(cd / && "$venv/bin/python" -c 'import kestrix; print(kestrix.__file__)')
case "$installed" in
  "$venv"/*) ;;
  *) echo "check-wheel: kestrix was imported from $installed, not the wheel" >&2; exit 1 ;;
esac
make --no-print-directory build  # kx, which writes the manifests the pack test packs
(cd tests/python && KESTRIX_KX="$OLDPWD/build/kx" "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
echo "check-wheel: the installed wheel passes"
