# Everything a fresh clone needs: `make demo` and `make test` set up the
# free-threaded interpreter, the virtual environment and the build by
# themselves. Set VORN_PYTHON to use a free-threaded interpreter of your own.
#
# What can be run (each is described at its rule below):
#   build                 the extension, installed into .venv (the default)
#   test                  cpp-test (the C++ core's tests), then py-test (the Python suite)
#   sanitize              the Python suite and the C++ tests under ASan+UBSan, the C++
#                         tests under TSan; run before every change to C++ code is handed in
#   leaks                 Memcheck over the Python tests that make and drop parsers
#   fuzz                  libFuzzer on framing and decoding, FUZZ_SECONDS long
#   test-matrix, test-gil the Python suite on every CPython 3.10+ found (or the GIL ones)
#   test-drivers          the serial-driver lab in a QEMU guest (ARCH=aarch64: on 64-bit ARM)
#   test-ros2             vorn ros2 against a real ROS 2 graph (rclpy from the package index)
#   bench                 the benchmarks, one table
#   demo, demo-live       a recording replayed; a simulated unit through a pseudo-terminal
#   stub                  vorn_rs.pyi rewritten from the built extension
#   wheels, sdist         the release files in dist/
#   test-wheels           the Python suite against each x86-64 wheel
#   test-arm64            the Python suite against the aarch64 wheels under qemu-user
#   lint, format          ruff and clang-format: check the tree; rewrite it in their layout
#   venv, clean           .venv alone; removes build/ and .venv/
.PHONY: all venv build cpp-test py-test test lint format sanitize leaks fuzz test-matrix test-gil test-drivers \
  test-ros2 bench demo demo-live stub wheels sdist test-wheels test-arm64 clean

SHELL := /bin/bash
.SHELLFLAGS := -eo pipefail -c
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
CPP_BUILD := build/cpp
PYTEST_ARGS ?=

all: build

# The virtual environment, made from the free-threaded interpreter, with the
# pinned build and test tools.
$(VENV)/.ready: requirements-dev.txt tools/interpreter/bootstrap-python
	@python="$$(tools/interpreter/bootstrap-python)" && \
	  echo "using $$python" && \
	  rm -rf $(VENV) && "$$python" -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt 2>&1 \
	  | { grep -v "^WARNING: Location 'file:" || true; }
	@touch $@

# The stream model (model/vorn_model.py) is importable in the environment, by
# the tools, benchmarks and fuzz seeds that use it; pytest finds it by its
# `pythonpath` setting (pyproject.toml), in any environment.
$(VENV)/.model: $(VENV)/.ready
	@echo "$(abspath model)" >"$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/vorn-model.pth"
	@touch $@

venv: $(VENV)/.ready $(VENV)/.model

# Builds the extension and installs it into the virtual environment; with
# WHEEL naming a release wheel for this interpreter (dist/*-cp313t-*.whl),
# installs that instead, and the Python suite checks it as shipped (CI does).
WHEEL ?=
build: venv
	@mkdir -p build
	flock build/.build.lock $(PY) -m pip install --quiet --disable-pip-version-check --no-deps \
	  $(if $(WHEEL),--force-reinstall $(WHEEL),--no-build-isolation .)

# The C++ core's own tests (no Python), through CTest.
cpp-test: venv
	@tools/system-deps test
	@mkdir -p build
	flock build/.cpp.lock sh -c '$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVORN_BUILD_EXTENSION=OFF -DVORN_BUILD_TESTS=ON >/dev/null && $(CMAKE) --build $(CPP_BUILD)'
	$(CTEST) --test-dir $(CPP_BUILD) --output-on-failure --timeout 120

py-test: build
	$(if $(WHEEL),VORN_WHEEL=$(abspath $(WHEEL))) $(PY) -m pytest $(PYTEST_ARGS)

test: cpp-test py-test

# The serial-driver lab: boots a small Linux guest under QEMU and runs lab/
# in it against a real 16550 UART, FTDI adapter and CDC-ACM port (see
# tools/lab/lab-drivers). Its packages come from Debian, its kernel is cached.
# Where the packages cannot be installed that is said, and the lab runs
# anyway: without QEMU it says what is missing and succeeds. LAB_ARGS go to
# pytest in the guest, after "--" (e.g. LAB_ARGS="-- -k ftdi").
LAB_ARGS ?=
# ARCH=aarch64: an emulated 64-bit ARM board instead, testing the aarch64
# wheels (built first) on their interpreters; LAB_ARGS="--subset" for fewer
# cases that still open every driver. Only ARCH given on the command line
# counts: an ARCH some other build left in the environment does not.
LAB_ARCH := $(if $(filter command line,$(origin ARCH)),$(ARCH),x86_64)
test-drivers: build
ifeq ($(LAB_ARCH),aarch64)
	@tools/system-deps lab-arm64 || echo "test-drivers: the lab's Debian packages could not be installed (above)"
	tools/release/build-wheels aarch64-abi3 aarch64-cp313t
else
	@tools/system-deps lab || echo "test-drivers: the lab's Debian packages could not be installed (above)"
endif
	$(PY) tools/lab/lab-drivers --arch $(LAB_ARCH) $(LAB_ARGS)

# Replays the sample recording and prints a few packets and a summary.
demo: build
	$(PY) tools/demo/demo examples/sample.bin

# A simulated unit streaming through a pseudo-terminal into SerialParser.
demo-live: build
	$(PY) tools/demo/demo-live

# Regenerates the committed type stub from the built extension's interface
# records; `make build` again installs the new stub.
stub: build
	$(PY) tools/release/gen-stub "$$($(PY) -c 'import vorn_rs; print(vorn_rs.__file__)')" -o vorn_rs.pyi

# The Python suite on every CPython 3.10+ found (pyenv's versions, the
# free-threaded one of `make test`, and $VORN_PYTHONS), each against the x86-64
# release wheel for it, built first into dist/: the one stable-ABI wheel on
# every interpreter with the GIL, the cp313t wheel on the free-threaded one (an
# interpreter without a release wheel gets a source build); one line per
# interpreter, fails if any fails. `make test-gil` does the same for the
# interpreters with the GIL only. PYTEST_ARGS go to every run;
# VORN_MATRIX_JOBS suites run at once (2).
MATRIX_PYTEST_ARGS ?= -x
test-matrix:
	tools/release/build-wheels abi3 cp313t
	tools/test/test-matrix $(MATRIX_PYTEST_ARGS) $(PYTEST_ARGS)

test-gil:
	tools/release/build-wheels abi3
	tools/test/test-matrix --gil-only $(MATRIX_PYTEST_ARGS) $(PYTEST_ARGS)

# The Python code under ruff (pyproject.toml), the C++ under clang-format
# (.clang-format), both pinned in requirements-dev.txt; `make format` applies
# what `make lint` asks for.
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp')
lint: venv
	$(VENV)/bin/ruff check --no-cache .
	$(VENV)/bin/ruff format --no-cache --check --quiet .
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

format: venv
	$(VENV)/bin/ruff check --no-cache --fix --quiet . || true
	$(VENV)/bin/ruff format --no-cache --quiet .
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

# Fuzzes framing and decoding (libFuzzer, with ASan and UBSan) for FUZZ_SECONDS,
# from seeds made afresh out of the stream simulator. What it learns stays in
# build/fuzz/corpus for the next run; a failing input lands in build/fuzz/.
FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
fuzz: venv
	@tools/system-deps fuzz
	@mkdir -p $(FUZZ_BUILD)/corpus
	flock build/.fuzz.lock sh -c '$(CMAKE) -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVORN_BUILD_EXTENSION=OFF -DVORN_BUILD_FUZZ=ON -DVORN_SANITIZE=address,undefined >/dev/null \
	  && $(CMAKE) --build $(FUZZ_BUILD) --target fuzz_framing'
	$(PY) fuzz/make-corpus $(FUZZ_BUILD)/seeds
	$(FUZZ_BUILD)/fuzz_framing -max_total_time=$(FUZZ_SECONDS) -max_len=16384 -dict=fuzz/framing.dict \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds

# The Python suite against an ASan+UBSan build of the extension and of the
# command's native helper, built apart in build/asan-ext and installed there,
# with the command's package, into $(ASAN_SITE): first on the module path of
# the suite and of every process it starts. .venv keeps its own build, whose
# `vorn` entry point the tests run (its imports come from $(ASAN_SITE) too;
# tools/test/sanitize-suite says how the runtime is preloaded). Then the C++ tests under ASan+UBSan (built in
# the same tree as the extension, on the same instrumented core) and under TSan.
# Left out of the Python suite, each with its reason (`make test` runs them all):
#   tests/test_wheel.py  builds a wheel of its own with the system compiler and
#                        checks it in a clean environment: nothing instrumented
#                        runs there.
#   tests/test_model.py  the pure-Python stream model against itself and numpy:
#                        it never loads the extension or the helper.
#   the stub's type checkers (mypy, stubtest): they read the stub and import the
#                        module, which the stub's other cases do as well.
SANITIZE_PYTEST := --deselect tests/test_wheel.py --deselect tests/test_model.py \
  --deselect tests/test_stub.py::test_typed_code_checks_clean_and_misuse_is_caught \
  --deselect tests/test_stub.py::test_stubtest_finds_the_stub_consistent_with_the_runtime
ASAN_EXT := build/asan-ext
ASAN_SITE := $(ASAN_EXT)/site
SANITIZE_CMAKE = $(CMAKE) -S . -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
sanitize: build
	@tools/system-deps test
	@mkdir -p build
	flock build/.asan.lock sh -c '$(SANITIZE_CMAKE) -B $(ASAN_EXT) -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DVORN_BUILD_TESTS=ON -DVORN_SANITIZE=address,undefined >/dev/null && $(CMAKE) --build $(ASAN_EXT) \
	  && rm -rf $(ASAN_SITE) && $(CMAKE) --install $(ASAN_EXT) --prefix $(ASAN_SITE) >/dev/null'
	tools/test/sanitize-suite $(PY) $(ASAN_SITE) $(SANITIZE_PYTEST) $(PYTEST_ARGS)
	@echo "sanitize: C++ tests with -fsanitize=address,undefined in $(ASAN_EXT)"
	ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(CTEST) --test-dir $(ASAN_EXT) --output-on-failure --timeout 300
	@echo "sanitize: C++ tests with -fsanitize=thread in build/cpp-thread"
	flock build/.cpp-thread.lock sh -c '$(SANITIZE_CMAKE) -B build/cpp-thread -DVORN_BUILD_EXTENSION=OFF \
	  -DVORN_BUILD_TESTS=ON -DVORN_SANITIZE=thread >/dev/null && $(CMAKE) --build build/cpp-thread'
	TSAN_OPTIONS=halt_on_error=1 $(CTEST) --test-dir build/cpp-thread --output-on-failure --timeout 300

# Memcheck over the Python tests that make, use and drop parsers and packets
# (the interpreter's own allocator hides Python objects from it, but every
# engine, record, queue and thread is C++ heap). Fails on any definite leak or
# memory error with a frame in the extension; the interpreter's own are ignored.
LEAK_TESTS ?= tests/test_module.py tests/test_packets.py tests/test_differential.py tests/test_threads.py \
  tests/test_stress.py tests/test_faults.py
leaks: build
	@command -v valgrind >/dev/null || { echo "leaks: needs valgrind (apt-get install valgrind)"; exit 1; }
	@rm -rf build/leaks && mkdir -p build/leaks
	VORN_STRESS_SCALE=0.1 valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --num-callers=50 \
	  --log-file=build/leaks/memcheck.%p.log $(PY) -m pytest -q -p no:cacheprovider $(LEAK_TESTS) $(PYTEST_ARGS)
	tools/test/leaks-report build/leaks/memcheck.*.log

# Benchmarks: the C++ core (release build) and the extension, each figure
# against a reference measured in the same run, in one table. Figures are
# noisy on a busy machine; the table prints the load average. The last rows
# compare the build of the release wheels (zig, glibc 2.17, libc++: core and
# extension in $(BENCH_ZIG)) with the GCC builds above; then, on pyenv's 3.13
# with the GIL ($(BENCH_GIL_PYTHON)), the stable-ABI build of the release wheels
# against one for that interpreter's full API (zig both, $(BENCH_ABI)-*).
# tools/bench/build-variants builds them into these trees.
BENCH_BUILD := build/bench/release
BENCH_ZIG := build/bench/zig
BENCH_ABI := build/bench/api
BENCH_GIL_PYTHON ?= $(lastword $(sort $(wildcard $(or $(PYENV_ROOT),$(HOME)/.pyenv)/versions/3.13.*/bin/python3.13)))
# An interpreter with the GIL that has foxglove-sdk, for the MCAP row beside
# its writer: by default a virtual environment of BENCH_GIL_PYTHON made once
# under the cache; without one the row says so.
BENCH_PEER_PYTHON ?= $(if $(BENCH_GIL_PYTHON),$(shell tools/bench/peer-python $(BENCH_GIL_PYTHON)))
# An interpreter with rclpy and this build, for vorn ros2's rows (tools/ros2/ros2-python).
BENCH_ROS2_PYTHON ?= $(shell tools/ros2/ros2-python 2>/dev/null)
BENCH_ARGS ?=
bench: build
	tools/bench/build-variants $(abspath $(CMAKE)) $(abspath $(VENV)/bin/ninja) $(abspath $(PY)) "$(BENCH_GIL_PYTHON)"
	$(PY) bench/run.py --core $(BENCH_BUILD)/bench_core --zig-core $(BENCH_ZIG)/bench_core \
	  --zig-module $(BENCH_ZIG) --abi-python $(BENCH_GIL_PYTHON) --abi3-module $(BENCH_ABI)-abi3 \
	  --full-api-module $(BENCH_ABI)-full $(if $(BENCH_PEER_PYTHON),--peer-python $(BENCH_PEER_PYTHON)) \
	  $(if $(BENCH_ROS2_PYTHON),--ros2-python $(BENCH_ROS2_PYTHON)) $(BENCH_ARGS)

# vorn ros2 and vorn.ros2 against a real ROS 2 graph: tests/test_ros2.py in
# CPython 3.12 with ROS 2's wheels (rclpy, Fast DDS), an environment made once
# under the cache by tools/ros2/ros2-python, holding ROS2_WHEEL (the
# stable-ABI wheel) or else a build of the tree. The suites of other
# interpreters skip these cases.
ROS2_WHEEL ?=
test-ros2:
	python=$$(tools/ros2/ros2-python $(ROS2_WHEEL)) && \
	  $$python -m pytest -q -p no:cacheprovider tests/test_ros2.py $(PYTEST_ARGS)

# Release wheels in dist/, for x86-64 and for aarch64: one stable-ABI wheel
# (cp310-abi3, for CPython 3.10 and later with the GIL, checked by abi3audit)
# and one for the free-threaded 3.13 (cp313t) each, compiled by zig against
# glibc 2.17, checked and tagged manylinux_2_17 by auditwheel; then the sdist,
# checked by installing it in a clean environment. WHEELS names a subset (see
# tools/release/build-wheels).
WHEELS ?=
wheels:
	tools/release/build-wheels $(WHEELS)
	tools/release/build-sdist

sdist:
	tools/release/build-sdist

# The Python suite against each x86-64 wheel in dist/, installed into a fresh
# virtual environment of each interpreter it is for (the stable-ABI wheel on
# pyenv's 3.10, 3.11, 3.12 and 3.13).
test-wheels: wheels
	tools/test/test-wheels $(PYTEST_ARGS)

# The Python suite against the aarch64 wheels in dist/, under qemu-user: the
# stable-ABI wheel on Debian's aarch64 3.11 and on a cross-built 3.13 with the
# GIL, the cp313t wheel on a cross-built 3.13t. Tests that need what the
# emulator lacks (the extended serial ioctls, child interpreters) skip.
test-arm64:
	tools/release/build-wheels aarch64-abi3 aarch64-cp313t
	tools/test/test-arm64 $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV)
