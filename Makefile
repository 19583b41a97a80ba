# Kestrix: `make run` sets up, builds and runs the example; `make test` runs every test.
JOBS ?= 2
BUILD ?= build
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
DESTDIR ?=
PYTHON ?= /usr/bin/python3

.PHONY: all deps build install package dist run example test test-asan test-system-libdeflate python test-python wheel bench fuzz-build fuzz fuzz-replay fuzz-coverage check-portable web test-web windows test-windows format clean

all: build

# Installs with apt-get what this machine lacks to build and test; `make run`, `make test` and
# CI call it, a plain build does not.
deps:
	@scripts/install-deps.sh build

build:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# Installs the program built by `make build` under PREFIX, below DESTDIR when that is set; both
# may be relative to this folder: bin/kestrix, share/man/man1/kestrix.1, share/doc/kestrix/.
install: build
	@DESTDIR="$(abspath $(DESTDIR))" cmake --install $(BUILD) --prefix "$(abspath $(PREFIX))"

# The Debian packages, build-package/kestrix_VERSION_ARCH.deb and python3-kestrix_VERSION_ARCH.deb
# (cmake/package.cmake), built with Debian's hardening flags.
# Reproducible: every file's time is clamped to SOURCE_DATE_EPOCH, by default the release day
# (scripts/normalize-deb.sh).
PACKAGE_BUILD ?= build-package
package:
	@scripts/install-deps.sh build package python
	@export DEB_BUILD_MAINT_OPTIONS=hardening=+all && \
	  CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  CFLAGS="$$(dpkg-buildflags --get CFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	  cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DKESTRIX_PACKAGE=ON -DKESTRIX_TESTS=OFF \
	    -DKESTRIX_PYTHON=ON -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j$(JOBS)
	@cd $(PACKAGE_BUILD) && cpack -G DEB >/dev/null
	@for deb in $(PACKAGE_BUILD)/*.deb; do scripts/normalize-deb.sh "$$deb" && echo "package: $$deb"; done

# The release folder dist/kestrix-VERSION/: the package, a zip of the Windows programs with the
# documents, the source archive, and their SHA-256 sums (scripts/make-dist.sh).
dist: package windows
	@scripts/make-dist.sh

run: deps
	@$(MAKE) --no-print-directory build
	@rm -rf example-out
	$(BUILD)/kestrix -h -o -x examples/example.dz example-out

# Writes examples/example.dz anew (the same bytes each time).
example: deps
	@$(MAKE) --no-print-directory build
	@cmake --build $(BUILD) --target kestrix_make_example
	$(BUILD)/tools/kestrix_make_example

test: deps
	@$(MAKE) --no-print-directory build
	@cmake --build $(BUILD) -j$(JOBS) --target kestrix_tests
	@cd $(BUILD) && ctest --output-on-failure

# The same tests in a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	@$(MAKE) --no-print-directory test BUILD=build-asan \
	  CMAKE_FLAGS="-DKESTRIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)"

# The unit tests again in a build over the system's libdeflate (cmake/libdeflate.cmake), whose
# backend reads each stream's codes before it inflates them.
test-system-libdeflate: deps
	@cmake -S . -B build-system-libdeflate -DCMAKE_BUILD_TYPE=Release \
	  -DKESTRIX_LIBDEFLATE_FROM_SOURCE=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-system-libdeflate -j$(JOBS) --target kestrix_unit
	@build-system-libdeflate/tests/kestrix_unit --gtest_brief=1

# The Python module (python/) in build-python/python, for Debian's own Python whatever PATH
# puts first; its tests with pytest (kx from `make build` makes their manifests); and its wheel in dist/wheel (scripts/check-wheel.sh tests
# the wheel installed).
python:
	@scripts/install-deps.sh build python
	@cmake -S . -B build-python -DCMAKE_BUILD_TYPE=Release -DKESTRIX_PYTHON=ON -DKESTRIX_TESTS=OFF \
	  -DPython_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-python -j$(JOBS) --target _kestrix

test-python: python
	@$(MAKE) --no-print-directory build
	@KESTRIX_KX=$(abspath $(BUILD))/kx PYTHONPATH=build-python/python:tests/python \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

wheel:
	@scripts/install-deps.sh build python
	@$(PYTHON) -m pip wheel -q --no-build-isolation --no-deps -w dist/wheel .
	@echo "wheel: $$(ls dist/wheel/kestrix-*.whl)"

# `make bench BENCH_ARGS=--quick` runs the whole-program benchmark on a generated container of
# 128 MiB and one of real files of 256 MiB; `make bench REALDATA_MIB=N` sets the size of the one
# of real files (2048 by default).
bench: python
	@scripts/install-deps.sh build bench
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKESTRIX_BENCH=ON -DKESTRIX_TESTS=OFF >/dev/null
	@cmake --build build-bench -j$(JOBS)
	@scripts/run-benchmarks.sh build-bench $(BENCH_ARGS)

# The libFuzzer targets, built with clang, AddressSanitizer and UndefinedBehaviorSanitizer.
fuzz-build:
	@scripts/install-deps.sh build fuzz
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKESTRIX_FUZZ=ON -DKESTRIX_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-fuzz -j$(JOBS)

# Each target for FUZZ_SECONDS (make fuzz FUZZ_SECONDS=1800); findings land in build-fuzz/.
fuzz: fuzz-build
	@scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

# Every seed, kept corpus input and saved finding once, as CI does.
fuzz-replay: fuzz-build
	@scripts/fuzz.sh build-fuzz replay

# The line coverage those inputs (and the last fuzz run's corpus) reach in the program's code.
fuzz-coverage:
	@scripts/install-deps.sh build fuzz
	@scripts/fuzz-coverage.sh

# The library (platform/, digest/, dzlib/, lib/) compiled for WebAssembly with emscripten: a
# 32-bit target with musl and no threads, also with POSIX alone (scripts/check-portable.sh).
check-portable:
	@scripts/install-deps.sh build portable
	@scripts/check-portable.sh $(JOBS)

# The page that checks a container in the browser (web/): static files in build-web/site, the
# library in them compiled to WebAssembly with zlib from Debian's source (scripts/build-web.sh).
web:
	@scripts/install-deps.sh build web
	@scripts/build-web.sh build-web $(JOBS)

# Its module under node and the page in headless Chromium, against kx (scripts/test-web.sh).
test-web: web
	@$(MAKE) --no-print-directory build
	@scripts/test-web.sh build-web $(BUILD)

windows:
	@scripts/install-deps.sh windows
	@cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-windows -j$(JOBS)

test-windows: windows build
	@cmake --build build-windows -j$(JOBS) --target kestrix_tests
	@cmake --build $(BUILD) -j$(JOBS) --target kestrix_tests
	@scripts/test-windows.sh build-windows $(BUILD)

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-python build-wheel build-bench build-bench-zlib build-package build-fuzz build-fuzz-coverage build-windows build-web dist example-out
