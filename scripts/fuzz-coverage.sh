#!/usr/bin/env bash
# Line coverage of the program's own code reached by the fuzz inputs (make fuzz-coverage):
# builds the fuzz targets with clang's source coverage in build-fuzz-coverage, runs every
# seed, kept corpus input and kept finding once, plus the corpus of the last `make fuzz`
# (build-fuzz/corpus) when there is one, and prints llvm-cov's report over app/, dzlib/,
# digest/ and platform/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-fuzz-coverage
flags="-fprofile-instr-generate -fcoverage-mapping"

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_FUZZ=ON \
  -DKESTRIX_TESTS=OFF -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$build" -j"${JOBS:-2}" >/dev/null
# The seed writer is instrumented too: its own profile is not wanted.
LLVM_PROFILE_FILE=/dev/null "$build/tests/fuzz/kestrix_fuzz_seeds" "$build/seeds" >/dev/null

rm -f "$build"/*.profraw
objects=()
for target in container_fuzz container_sealed_fuzz inflate_stream_fuzz; do
  inputs=("$build/seeds/$target")
  for kept in "tests/fuzz/corpus/$target" "tests/fuzz/findings/$target" "build-fuzz/corpus/$target"; do
    if [ -d "$kept" ]; then inputs+=("$kept"); fi
  done
  program="$build/tests/fuzz/kestrix_$target"
  LLVM_PROFILE_FILE="$build/$target.profraw" "$program" -runs=0 "${inputs[@]}" >/dev/null 2>&1
  objects+=(-object "$program")
done
llvm-profdata merge -sparse "$build"/*.profraw -o "$build/fuzz.profdata"
llvm-cov report -instr-profile="$build/fuzz.profdata" "${objects[@]:1}" \
  app/*.cpp dzlib/*.cpp digest/*.cpp platform/posix.cpp platform/profile.cpp
