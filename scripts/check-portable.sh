#!/usr/bin/env bash
# Checks that the library (platform/, digest/, dzlib/, lib/) builds for a target unlike the Linux
# one it is made on: WebAssembly with Debian's emscripten (scripts/install-deps.sh portable), a
# 32-bit target whose C library is musl and which has no threads. Every source of the library
# (platform/ without windows.cpp) is compiled with em++ -std=c++20 -Wall -Wextra -Wpedantic
# -Werror, three ways:
#   1. as emscripten sets it up (musl with GNU extensions), into objects, none of which may start
#      a thread (refer to pthread_create, thrd_create or std::thread);
#   2. with POSIX alone (-U_GNU_SOURCE -D_XOPEN_SOURCE=700), syntax only: what is glibc's or
#      GNU's alone must be guarded;
#   3. with libdeflate, when the first two had to do without it: the sources that use it, syntax
#      only, with the build machine's libdeflate.h.
# zlib.h is emscripten's where its sysroot has one; otherwise the build machine's zlib.h and
# zconf.h, copied alone into a folder of their own, so that no other header of the machine's
# (glibc's) comes with them. The same for libdeflate.h; without it in the sysroot, ways 1 and 2
# build the library without libdeflate (the zlib backend alone), as CMakeLists.txt does where
# libdeflate is not found.
#
# Usage: scripts/check-portable.sh [JOBS]   (make check-portable installs emscripten first)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-${JOBS:-2}}

if ! command -v em++ >/dev/null || ! command -v em-config >/dev/null; then
  echo "check-portable: em++ is missing; run scripts/install-deps.sh portable" >&2
  exit 1
fi
sysroot="$(em-config CACHE)/sysroot/include"
nm="$(em-config LLVM_ROOT)/llvm-nm"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A header from the build machine, copied into $work/include alone, when the sysroot lacks it.
copy_header() {
  local name=$1
  if [ -f "$sysroot/$name" ]; then return 0; fi
  for folder in /usr/include "/usr/include/$(gcc -print-multiarch 2>/dev/null || echo none)"; do
    if [ -f "$folder/$name" ]; then
      mkdir -p "$work/include"
      cp "$folder/$name" "$work/include/$name"
      return 0
    fi
  done
  return 1
}
# The manifest's JSON reader is header-only: its folder as it stands (nlohmann-json3-dev).
mkdir -p "$work/include"
cp -r /usr/include/nlohmann "$work/include/" || {
  echo "check-portable: no nlohmann/json.hpp on this machine (nlohmann-json3-dev)" >&2
  exit 1
}
copy_header zlib.h && copy_header zconf.h || {
  echo "check-portable: no zlib.h in emscripten's sysroot nor on this machine (zlib1g-dev)" >&2
  exit 1
}
libdeflate=no
if [ -f "$sysroot/libdeflate.h" ]; then libdeflate=yes; fi

sources=()
for source in platform/*.cpp digest/*.cpp dzlib/*.cpp lib/*.cpp; do
  case "$source" in
    platform/windows.cpp) continue ;;
    # The prover's workers are threads; without them proveAll proves on the calling thread.
    dzlib/prover.cpp) continue ;;
    dzlib/inflate_libdeflate.cpp) [ $libdeflate = yes ] || continue ;;
  esac
  sources+=("$source")
done
# The sources whose code changes with libdeflate, for way 3.
libdeflate_sources=($(grep -l -e KESTRIX_LIBDEFLATE_LINKED -e KESTRIX_INFLATE_WITH_LIBDEFLATE \
  -e "<libdeflate\.h>" dzlib/*.cpp))

mkdir -p "$work/include" "$work/objects"
flags=(-std=c++20 -Wall -Wextra -Wpedantic -Werror -I. -Iinclude -isystem "$work/include")
if [ $libdeflate = yes ]; then
  flags+=(-DKESTRIX_LIBDEFLATE_LINKED -DKESTRIX_INFLATE_WITH_LIBDEFLATE)
fi

# Compiles the sources given after `--` with em++, the flags above and the ones before `--`,
# $jobs at a time; `-c` makes objects in $work/objects. Prints the compiler's words and fails when
# a source fails.
compile_all() {
  local extra=()
  while [ "$1" != -- ]; do extra+=("$1"); shift; done
  shift
  # xargs gives the source last, after $work and the flags.
  printf '%s\n' "$@" | xargs -P "$jobs" -n 1 bash -c '
    work=$0
    source=${!#}
    args=("$@")
    case " $* " in *" -c "*) args+=(-o "$work/objects/${source//\//_}.o") ;; esac
    if ! out=$(em++ "${args[@]}" 2>&1); then
      printf "check-portable: %s\n%s\n" "$source" "$out" >&2
      exit 1
    fi
  ' "$work" "${flags[@]}" "${extra[@]}"
}

started=$(date +%s)
passed=0
fail() {
  echo "check-portable: $1" >&2
  echo "check-portable: $passed passed, 1 failed"
  exit 1
}

echo "check-portable: $(em++ --version | head -1), ${#sources[@]} sources, libdeflate in the" \
  "sysroot: $libdeflate"

# The target is what this check is for: 32-bit, without threads as the library sees it.
cat >"$work/target.cpp" <<'PROBE'
#include "platform/platform.h"
static_assert(sizeof(void*) == 4, "a 32-bit target");
static_assert(!platform::kLargeAddressSpace, "no room of 4 GiB reserved ahead");
#ifndef KESTRIX_NO_THREADS
#error "a target without threads"
#endif
PROBE
compile_all -fsyntax-only -- "$work/target.cpp" ||
  fail "the target is not the one this check is for"
compile_all -c -- "${sources[@]}" || fail "the library does not build as emscripten sets it up"
threads=$("$nm" --demangle --undefined-only "$work"/objects/*.o |
  grep -E "pthread_create|thrd_create|std::__2::thread::" || true)
[ -z "$threads" ] || fail "the library starts threads: $threads"
echo "check-portable: 1. as emscripten sets it up (32-bit, musl, no threads): built, no thread"
passed=$((passed + 1))

# libc++'s <locale>, which <filesystem> and the manifest's JSON reader bring in, needs more than
# POSIX gives on this C library (vasprintf, strtod_l), whatever the library does: the sources
# that include either, themselves or through this repository's headers, are left out here.
needs_locale() {
  local seen=" " queue=("$1") file
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    [[ "$seen" == *" $file "* ]] && continue
    seen+="$file "
    grep -q -e '#include <filesystem>' -e '#include <nlohmann/' "$file" && return 0
    queue+=($(sed -n 's/^#include "\([a-z]*\/[a-z_]*\.h\)"/\1/p' "$file" |
      while read -r header; do [ -f "$header" ] && echo "$header"; done))
  done
  return 1
}
posix_sources=()
for source in "${sources[@]}"; do
  needs_locale "$source" || posix_sources+=("$source")
done
compile_all -fsyntax-only -U_GNU_SOURCE -D_XOPEN_SOURCE=700 -- "${posix_sources[@]}" ||
  fail "the library does not build with POSIX alone"
echo "check-portable: 2. with POSIX alone, no GNU extensions: built (${#posix_sources[@]} sources; those with <filesystem> or the JSON reader left out)"
passed=$((passed + 1))

if [ $libdeflate = no ]; then
  copy_header libdeflate.h || fail "no libdeflate.h on this machine (libdeflate-dev)"
  flags+=(-DKESTRIX_LIBDEFLATE_LINKED -DKESTRIX_INFLATE_WITH_LIBDEFLATE)
  compile_all -fsyntax-only -- "${libdeflate_sources[@]}" ||
    fail "the libdeflate backend does not build"
  echo "check-portable: 3. with libdeflate (this machine's libdeflate.h):" \
    "${#libdeflate_sources[@]} sources built"
  passed=$((passed + 1))
fi

echo "check-portable: took $(($(date +%s) - started)) s"
echo "check-portable: $passed passed, 0 failed"
