#!/usr/bin/env bash
# Builds the page (web/) into a folder of static files, BUILD_DIR/site (build-web/site by
# default): the page's own files and the library compiled to WebAssembly with Debian's emscripten,
# kestrix.js and kestrix.wasm. zlib is compiled from the source Debian ships, fetched with
# `apt-get source` through an APT configuration of the build folder's own
# (scripts/debian-source.sh, into BUILD_DIR/debian-source), so that nothing comes from anywhere
# else and the machine's APT setup is left as it is; a second build reuses it.
#
# Usage: scripts/build-web.sh [BUILD_DIR] [JOBS]   (make web installs what it needs first)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build-web}")
jobs=${2:-${JOBS:-2}}
for tool in em++ emcc emar apt-get dpkg-source; do
  command -v "$tool" >/dev/null || {
    echo "build-web: $tool is missing; run scripts/install-deps.sh web" >&2
    exit 1
  }
done
mkdir -p "$build"

# zlib's source, from Debian's archive (kept in the build folder).
zlib=$(scripts/debian-source.sh zlib "$build/debian-source")

# The module: zlib's inflate and the library in archives (only what the page's functions reach
# is linked), built by a makefile of the build folder's own so that a second build remakes only
# what changed. The library's sources are those of its reading side: the prover's threads,
# packing and writing outputs are not the page's.
library=()
for source in platform/*.cpp digest/*.cpp dzlib/*.cpp lib/*.cpp; do
  case "$source" in
    platform/windows.cpp | platform/file_views_posix.cpp) continue ;;
    dzlib/prover.cpp | dzlib/inflate_libdeflate.cpp | dzlib/manifest.cpp) continue ;;
    dzlib/pack.cpp | dzlib/pack_digests.cpp | dzlib/pack_input.cpp) continue ;;
    dzlib/pack_original.cpp) continue ;;
    dzlib/repack.cpp | lib/pack.cpp | lib/prove_all.cpp | lib/write_outputs.cpp) continue ;;
  esac
  library+=("$source")
done
zlib_sources=(adler32 crc32 inffast inflate inftrees zutil)
cat >"$build/module.mk.new" <<MAKE
# Written by scripts/build-web.sh.
SOURCE := $PWD
OUT := $build
CXXFLAGS := -std=c++20 -O2 -flto -msimd128 -msse2 -Wall -Wextra -Wpedantic -Werror -DKESTRIX_WEB_FILES -I\$(SOURCE) -I\$(SOURCE)/include -isystem $zlib
CFLAGS := -O3 -flto -msimd128 -DHAVE_HIDDEN
LDFLAGS := -O3 -flto -sMODULARIZE -sEXPORT_NAME=createKestrix -sENVIRONMENT=worker,node -sALLOW_MEMORY_GROWTH \\
  -sINITIAL_MEMORY=16777216 -sFILESYSTEM=0 -sEXPORTED_RUNTIME_METHODS=UTF8ToString,stringToUTF8,lengthBytesUTF8 \\
  -sINCOMING_MODULE_JS_API=kestrixFiles,kestrixProven,locateFile,wasmBinary -sEXPORTED_FUNCTIONS=_malloc,_free
LIBRARY := $(printf '$(OUT)/objects/%s.o ' "${library[@]//\//_}")
ZLIB := $(printf '$(OUT)/objects/zlib_%s.o ' "${zlib_sources[@]}")

\$(OUT)/site/kestrix.js: \$(OUT)/objects/web_module.o \$(OUT)/libkestrix.a \$(OUT)/libz.a
	@mkdir -p \$(OUT)/site
	em++ \$(LDFLAGS) -o \$@ \$^
\$(OUT)/libkestrix.a: \$(LIBRARY)
	@rm -f \$@ && emar rcs \$@ \$^
\$(OUT)/libz.a: \$(ZLIB)
	@rm -f \$@ && emar rcs \$@ \$^
\$(OUT)/objects/zlib_%.o: $zlib/%.c \$(OUT)/module.mk
	emcc \$(CFLAGS) -c -o \$@ \$<
\$(OUT)/objects/web_module.o: \$(SOURCE)/web/module.cpp \$(OUT)/module.mk
	em++ \$(CXXFLAGS) -MMD -c -o \$@ \$<
MAKE
for source in "${library[@]}"; do
  printf '$(OUT)/objects/%s.o: $(SOURCE)/%s $(OUT)/module.mk\n\tem++ $(CXXFLAGS) -MMD -c -o $@ $<\n' \
    "${source//\//_}" "$source" >>"$build/module.mk.new"
done
echo '-include $(wildcard $(OUT)/objects/*.d)' >>"$build/module.mk.new"
# Every object depends on the makefile, which changes only when its flags or sources do.
cmp -s "$build/module.mk.new" "$build/module.mk" || mv "$build/module.mk.new" "$build/module.mk"
rm -f "$build/module.mk.new"
mkdir -p "$build/objects" "$build/site"
# emscripten's tools need Debian's node modules (acorn), whichever node PATH finds first.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
make --no-print-directory -s -j"$jobs" -f "$build/module.mk"

# The page's own files beside the module.
page=(index.html page.css page.js worker.js)
cp "${page[@]/#/web/}" "$build/site/"
# The offline store's name: a digest of every file it keeps, so that each build has its own.
version=$(cd "$build/site" && cat "${page[@]}" kestrix.js kestrix.wasm | sha256sum | cut -c1-16)
sed "s/@SITE_VERSION@/$version/" web/offline.js >"$build/site/offline.js"
wasm=$build/site/kestrix.wasm
script=$build/site/kestrix.js
echo "build-web: $build/site: the module $(($(stat -c %s "$wasm") + $(stat -c %s "$script"))) bytes" \
  "($(($(gzip -9 -c "$wasm" | wc -c) + $(gzip -9 -c "$script" | wc -c))) gzipped; its" \
  "WebAssembly $(stat -c %s "$wasm")), the page's own files" \
  "$(cat "${page[@]/#/web/}" web/offline.js | wc -c) bytes"
