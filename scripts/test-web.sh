#!/usr/bin/env bash
# Tests the page that `make web` built: its module under node on the example container, a
# damaged copy and a sparse container whose table lies past 4 GiB, each against what the native
# kx finds (tests/web/module_test.mjs); then the page itself in headless Chromium
# (tests/web/page_test.mjs), also on a container of large entries, whose screenshots stay in
# BUILD_DIR/test as the run's artefacts.
#
# Usage: scripts/test-web.sh [BUILD_DIR] [NATIVE_BUILD]   (make test-web builds both first)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build-web}")
native=$(realpath -m "${2:-build}")
work=$build/test
mkdir -p "$work"

# The sparse container and one of large entries, made by the tests' own container writer.
for maker in make_far_table make_large_entries; do
  g++ -std=c++20 -O1 -Wall -Wextra -Wpedantic -Werror -I. -o "$work/$maker" \
    "tests/web/$maker.cpp" tests/support/container_writer.cpp digest/md5.cpp -lz
done
far=$work/far-table.dz
large=$work/large.dz
rm -f "$far" "$large"
"$work/make_far_table" "$far"
"$work/make_large_entries" "$large"

status=0
# The size budget: the module (its WebAssembly and its script) at most 150 KB, 70 KB gzipped;
# the page's own files 30 KB.
module=$(cat "$build"/site/kestrix.{wasm,js} | wc -c)
packed=$(($(gzip -9 -c "$build/site/kestrix.wasm" | wc -c) + $(gzip -9 -c "$build/site/kestrix.js" | wc -c)))
page=$(cat "$build"/site/{index.html,page.css,page.js,worker.js,offline.js} | wc -c)
if [ "$module" -gt 150000 ] || [ "$packed" -gt 70000 ] || [ "$page" -gt 30000 ]; then
  echo "test-web: over the size budget: module $module bytes ($packed gzipped), page $page bytes" >&2
  status=1
fi
node tests/web/module_test.mjs "$build/site" "$native/kx" "$work" "$far" || status=1
node tests/web/page_test.mjs "$build/site" "$native/kx" "$work" "$far" "$large" || status=1
rm -f "$far" "$large"
[ $status -eq 0 ] && echo "test-web: passed" || echo "test-web: failed" >&2
exit $status
