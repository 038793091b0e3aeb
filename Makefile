# Entry points: `make test` runs every test (what CI runs); `make check` is the quick loop.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
GENERATOR := -G Ninja
CTEST := ctest --output-on-failure -j$(JOBS) --no-tests=error
FUZZ_SECONDS ?= 30

.PHONY: all bootstrap build check test sanitize asan tsan fuzz fuzz-build bench format clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build -j$(JOBS)

check: build
	cd build && $(CTEST)

asan: bootstrap
	@cmake -S . -B build-asan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DSORVEL_SANITIZE=address,undefined >/dev/null
	@cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 $(CTEST)

tsan: bootstrap
	@cmake -S . -B build-tsan $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSORVEL_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 setarch -R $(CTEST)

sanitize: asan tsan

fuzz-build: bootstrap
	@CXX=clang++ cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSORVEL_TESTS=OFF -DSORVEL_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j$(JOBS) --target sorvel_fuzzers

fuzz: fuzz-build
	@fuzz/run build-fuzz $(FUZZ_SECONDS)

bench: bootstrap
	@cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DSORVEL_TESTS=OFF \
	  -DSORVEL_BENCH=ON >/dev/null
	@cmake --build build-bench -j$(JOBS) --target sorvel_bench
	@build-bench/bench/sorvel_bench

test: check sanitize fuzz

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz build-bench
