#!/usr/bin/env bash
# Runs the libFuzzer targets of a fuzz build (make fuzz, make fuzz-replay).
#   scripts/fuzz.sh BUILD SECONDS   fuzz each target for SECONDS; new inputs go to BUILD/corpus
#   scripts/fuzz.sh BUILD replay    run every seed, kept corpus input and saved finding once
# Inputs come from the seeds the test container writer makes (BUILD/seeds), the corpus kept in
# tests/fuzz/corpus and the findings kept in tests/fuzz/findings, one folder per target.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
mode=$2

"$build/tests/fuzz/kestrix_fuzz_seeds" "$build/seeds" >/dev/null
replayed=0
for target in container_fuzz container_sealed_fuzz deflate_walk_fuzz inflate_stream_fuzz repack_fuzz; do
  inputs=("$build/seeds/$target")
  for kept in "tests/fuzz/corpus/$target" "tests/fuzz/findings/$target"; do
    if [ -d "$kept" ]; then inputs+=("$kept"); fi
  done
  program="$build/tests/fuzz/kestrix_$target"
  if [ "$mode" = replay ]; then
    echo "fuzz: replaying the inputs of $target"
    log="$build/replay-$target.log"
    if ! "$program" -runs=0 -timeout=10 "${inputs[@]}" >"$log" 2>&1; then
      cat "$log"
      exit 1
    fi
    grep -E "INITED|DONE" "$log"
    replayed=$((replayed + $(find "${inputs[@]}" -type f | wc -l)))
  else
    echo "fuzz: $target for $mode s"
    mkdir -p "$build/corpus/$target"
    "$program" -max_total_time="$mode" -timeout=10 -max_len=16384 \
      -dict="$build/seeds/kestrix.dict" -artifact_prefix="$build/finding-$target-" \
      -print_final_stats=1 "$build/corpus/$target" "${inputs[@]}"
  fi
done
if [ "$mode" = replay ]; then echo "fuzz-replay: $replayed passed, 0 failed"; fi
