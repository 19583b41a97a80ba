#!/usr/bin/env bash
# Checks the layers the folders form, as their #include lines show them: platform/ and digest/
# on the ground, dzlib/ (the container library) above them, then lib/ (the public API over dzlib,
# whose header is include/kestrix/kestrix.h), and app/ (kestrix) and kx/ on top. A folder may
# include its own headers and those of the layers below it, never one above it or beside it: so
# nothing in dzlib/, lib/ or app/ includes kx/. The Python module (python/) stands on the public
# header alone, as a program outside this repository would. The public header includes no header
# of this repository, and the library example (examples/) includes the public header alone.
# Prints each include that breaks this and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

# What each folder may include, besides itself.
declare -A allowed=(
  [platform]=""
  [digest]=""
  [dzlib]="platform digest"
  [lib]="kestrix dzlib platform digest"
  [app]="dzlib platform digest"
  [kx]="dzlib platform digest"
  [python]="kestrix"
  [web]="kestrix"
)

status=0
for folder in "${!allowed[@]}"; do
  while IFS= read -r line; do
    file=${line%%:*}
    included=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$line")
    [ "$included" = "$folder" ] && continue
    if [[ " ${allowed[$folder]} " != *" $included "* ]]; then
      echo "check-layers: $file includes $included/, a layer it may not use" >&2
      status=1
    fi
  done < <(grep -Hn '#include "[^/"]*/' "$folder"/*.h "$folder"/*.cpp 2>/dev/null || true)
done

# The public header and the example: any include in quotes but the public header's own, or in
# angle brackets naming a folder of this repository, is one too many.
project_folders="platform|digest|dzlib|lib|app|kx|kestrix|tests"
while IFS= read -r line; do
  file=${line%%:*}
  case "$file" in
    include/*) ;;
    *) [[ "$line" == *'#include "kestrix/kestrix.h"'* ]] && continue ;;
  esac
  echo "check-layers: $file includes ${line#*#include }, which a user of the library has not" >&2
  status=1
done < <(grep -HnE '#include +("|<('"$project_folders"')/)' include/kestrix/*.h examples/*.cpp \
           2>/dev/null || true)
[ $status -eq 0 ] && echo "check-layers: the folders keep their layers"
exit $status
