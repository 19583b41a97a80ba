# Kestrix: `make run` sets up, builds and runs the example; `make test` runs every test.
JOBS ?= 2
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps build run example test test-asan bench windows test-windows format clean

all: build

deps:
	@scripts/install-deps.sh build

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	@rm -rf example-out
	$(BUILD)/kestrix -h -o -x examples/example.dz example-out

# Writes examples/example.dz anew (the same bytes each time).
example: build
	@cmake --build $(BUILD) --target kestrix_make_example
	$(BUILD)/tools/kestrix_make_example

test: build
	@cd $(BUILD) && ctest --output-on-failure

# The same tests in a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	@$(MAKE) --no-print-directory test BUILD=build-asan \
	  CMAKE_FLAGS="-DKESTRIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)"

bench:
	@scripts/install-deps.sh build bench
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKESTRIX_BENCH=ON -DKESTRIX_TESTS=OFF >/dev/null
	@cmake --build build-bench -j$(JOBS)
	@scripts/run-benchmarks.sh build-bench

windows:
	@scripts/install-deps.sh windows
	@cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-windows -j$(JOBS)

test-windows: windows build
	@scripts/test-windows.sh build-windows $(BUILD)

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-bench build-windows example-out
