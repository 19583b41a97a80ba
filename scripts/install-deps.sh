#!/usr/bin/env bash
# Installs with apt-get whatever this machine lacks for the given groups of work:
#   build    the program and its tests (the default); dpkg-dev and patch for libdeflate,
#            built from Debian's source (cmake/libdeflate.cmake)
#   bench    the benchmarks
#   windows  the Windows cross build, Wine to run it, and the locale sources its console test
#            compiles
#   fuzz     clang, its libFuzzer and sanitizer runtimes, and llvm-cov
#   python   the Python module: pybind11, Python's headers, pytest, and setuptools, wheel and pip
#            for the wheel
#   package  what the Debian package is made and checked with: dpkg-shlibdeps, file, lintian,
#            groff for the manual page, zip and unzip for the release folder
#   portable emscripten, which scripts/check-portable.sh compiles the library with (zlib's and
#            libdeflate's headers come from the build group)
#   web      the page (make web, make test-web): emscripten, dpkg-dev for apt-get source (zlib's
#            source, from Debian's archive), node to test the module, and the headless Chromium
#            the page is tested in
set -euo pipefail

packages=()
for group in "${@:-build}"; do
  case "$group" in
    build) packages+=(cmake make g++ gcc pkg-config zlib1g-dev libdeflate-dev dpkg-dev patch
      googletest libgtest-dev nlohmann-json3-dev libcli11-dev zsh fish) ;;
    bench) packages+=(libbenchmark-dev libssl-dev openssl gzip e2fsprogs) ;;
    windows) packages+=(g++-mingw-w64-x86-64 libz-mingw-w64-dev wine64 googletest locales) ;;
    fuzz) packages+=(clang libclang-rt-14-dev llvm) ;;
    python) packages+=(pybind11-dev python3-dev python3-pytest python3-setuptools python3-wheel
      python3-pip) ;;
    package) packages+=(dpkg-dev file lintian groff-base man-db zip unzip) ;;
    portable) packages+=(emscripten) ;;
    web) packages+=(emscripten dpkg-dev nodejs chromium-headless-shell) ;;
    *) echo "install-deps: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
# Another installer at work (a second build on the machine) is waited for, up to ten minutes.
wait_for_lock=(-o DPkg::Lock::Timeout=600)
$sudo apt-get "${wait_for_lock[@]}" update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${wait_for_lock[@]}" install -y -qq "${missing[@]}" >/dev/null
