#!/usr/bin/env bash
# Fetches the source of a Debian package from Debian's archive and unpacks it (Debian's own
# patches applied) into DEST/PACKAGE, through an APT configuration of DEST's own (DEST/apt: its
# own sources.list with the suite this machine's APT names, its own state and cache), so that
# nothing comes from anywhere else and the machine's APT setup is left as it is. A source that
# is there already is kept; several builds may ask at once (they wait for each other).
#
# Usage: scripts/debian-source.sh PACKAGE DEST   (prints DEST/PACKAGE)
set -euo pipefail
package=$1
dest=$(realpath -m "$2")
for tool in apt-get dpkg-source flock; do
  command -v "$tool" >/dev/null || {
    echo "debian-source: $tool is missing" >&2
    exit 1
  }
done
mkdir -p "$dest"
exec 9>"$dest/.lock"
flock 9
if [ ! -f "$dest/$package/.unpacked" ]; then
  apt=$dest/apt
  suite=$(sed -n 's/^Suites: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
    head -1)
  suite=${suite:-$(. /etc/os-release && echo "$VERSION_CODENAME")}
  mkdir -p "$apt/state/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$apt/source"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
    >"$apt/sources.list"
  options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
    -o "Dir::State=$apt/state" -o "Dir::Cache=$apt/cache" -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=root")
  echo "debian-source: $package's source from Debian's archive ($suite)" >&2
  apt-get "${options[@]}" update -qq >&2
  rm -rf "${apt:?}/source"/* "${dest:?}/$package"
  (cd "$apt/source" && apt-get "${options[@]}" source -qq "$package" >/dev/null)
  mv "$(find "$apt/source" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -1)" \
    "$dest/$package"
  touch "$dest/$package/.unpacked"
fi
echo "$dest/$package"
