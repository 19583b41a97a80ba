#!/usr/bin/env bash
# Runs the benchmarks of a build configured with -DKESTRIX_BENCH=ON (see `make bench`):
#   1. the MD5 benchmark: md5Digest against OpenSSL's MD5;
#   2. the whole-program benchmark: kestrix -x, kx test, kx extract and kx pack against openssl
#      md5, gzip -6 and a kestrix built with the zlib backend, which this script configures and
#      builds in build-bench-zlib; first on a container of real files (bench/make-realdata.sh,
#      REALDATA_MIB MiB unpacked: 2048 by default, 256 with --quick), then on the generated one of
#      1 GiB unpacked; ARGS go to it (--quick for a generated container of 128 MiB, --rounds N);
#   3. the inflate benchmark: both backends and the deflate code check per kind of stream; it
#      fails when the libdeflate backend is not faster than the zlib backend on every kind
#      (built only where libdeflate is found);
#   4. the Python module against kx (bench/python_bench.py), when build-python holds the module
#      (make python).
# It installs nothing. The benchmark data stays under BUILD_DIR/bench-data, where later runs
# reuse both containers.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: scripts/run-benchmarks.sh BUILD_DIR [ARGS...]" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
build=$1
shift
zlib_build=build-bench-zlib
jobs=${JOBS:-2}

for program in "$build/kestrix" "$build/kx" "$build/bench/kestrix_bench_md5" \
  "$build/bench/kestrix_bench_programs"; do
  if [ ! -x "$program" ]; then
    echo "run-benchmarks: $program is missing; configure $build with -DKESTRIX_BENCH=ON and build it" >&2
    exit 1
  fi
done

echo "== Building kestrix with the zlib backend in $zlib_build"
cmake -S . -B "$zlib_build" -DCMAKE_BUILD_TYPE=Release -DKESTRIX_INFLATE=zlib \
  -DKESTRIX_BENCH=ON -DKESTRIX_TESTS=OFF >/dev/null
cmake --build "$zlib_build" -j"$jobs" --target kestrix

echo
echo "== MD5 benchmark"
"$build/bench/kestrix_bench_md5"

quick=
for arg in "$@"; do [ "$arg" = --quick ] && quick=1; done
realdata_mib=${REALDATA_MIB:-${quick:+256}}
realdata_mib=${realdata_mib:-2048}
realdata="$build/bench-data/realdata.dz"
[ "$realdata_mib" = 2048 ] || realdata="$build/bench-data/realdata-$realdata_mib.dz"
if ! grep -qx "recipe realdata-$realdata_mib" "${realdata%.dz}.facts" 2>/dev/null ||
  [ ! -f "$realdata" ]; then
  bench/make-realdata.sh "$build/kx" "$build/bench-data" "$realdata_mib"
fi

for data in real generated; do
  echo
  if [ "$data" = real ]; then
    echo "== Whole-program benchmark, REAL FILES: $realdata"
    container=(--container "$realdata")
  else
    echo "== Whole-program benchmark, GENERATED firmware-like data"
    container=()
  fi
  "$build/bench/kestrix_bench_programs" \
    --kestrix "$build/kestrix" \
    --kestrix-zlib "$zlib_build/kestrix" \
    --kx "$build/kx" \
    --data "$build/bench-data" "${container[@]}" "$@"
done

echo
echo "== Inflate benchmark"
if [ -x "$build/bench/kestrix_bench_inflate" ]; then
  "$build/bench/kestrix_bench_inflate" --benchmark_min_time=0.2
else
  echo "skipped: this build has no libdeflate backend"
fi

echo
echo "== Python module benchmark"
if [ -d build-python/python/kestrix ]; then
  generated=firmware.dz
  [ -n "$quick" ] && generated=firmware-quick.dz
  "${PYTHON:-/usr/bin/python3}" bench/python_bench.py --module build-python/python \
    --kx "$build/kx" --container "$build/bench-data/$generated" --jobs "$jobs"
else
  echo "skipped: no module in build-python (make python)"
fi
