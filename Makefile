# Tessivar: `make run` and `make test` do all the set-up on a fresh Debian 12 machine.
TASK ?= $(CURDIR)/task
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup build build-asan run test test-unit test-asan bench package format clean

all: build

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS)

build-asan: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSIVAR_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j $(JOBS)

run: build
	mkdir -p "$(TASK)"
	cd "$(TASK)" && "$(CURDIR)/build/tessivar"

# The whole suite: once on the plain build (end-to-end and fault suites included), then
# the unit tests again under AddressSanitizer and UBSan.
test: build build-asan
	ctest --test-dir build --output-on-failure -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS) -L unit

# A Debian package in build/: tessivar_<version>_<arch>.deb.
package: build
	cmake --build build --target package

bench: build
	@if [ -x bench/run.sh ]; then bench/run.sh; else echo "no benchmarks yet"; fi

format:
	find app settings engine plan log widgets platform tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan
