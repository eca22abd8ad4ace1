# Everything a fresh clone needs: `make demo` and `make test` set up the
# free-threaded interpreter, the virtual environment and the build by
# themselves. Set VORN_PYTHON to use a free-threaded interpreter of your own.

SHELL := /bin/bash
.SHELLFLAGS := -eo pipefail -c
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
CPP_BUILD := build/cpp
PYTEST_ARGS ?=

.PHONY: all venv build cpp-test py-test test demo demo-live clean

all: build

# The virtual environment, made from the free-threaded interpreter, with the
# pinned build and test tools.
$(VENV)/.ready: requirements-dev.txt tools/bootstrap-python
	@python="$$(tools/bootstrap-python)" && \
	  echo "using $$python" && \
	  rm -rf $(VENV) && "$$python" -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt 2>&1 \
	  | { grep -v "^WARNING: Location 'file:" || true; }
	@touch $@

venv: $(VENV)/.ready

# Builds the extension and installs it into the virtual environment.
build: venv
	@mkdir -p build
	flock build/.build.lock $(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .

# The C++ core's own tests (no Python), through CTest.
cpp-test: venv
	@tools/system-deps test
	@mkdir -p build
	flock build/.cpp.lock sh -c '$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVORN_BUILD_EXTENSION=OFF -DVORN_BUILD_TESTS=ON >/dev/null && $(CMAKE) --build $(CPP_BUILD)'
	$(CTEST) --test-dir $(CPP_BUILD) --output-on-failure --timeout 120

py-test: build
	$(PY) -m pytest $(PYTEST_ARGS)

test: cpp-test py-test

# The serial-driver lab: boots a small Linux guest under QEMU and runs lab/
# in it against a real 16550 UART, FTDI adapter and CDC-ACM port (see
# tools/lab-drivers). Its packages come from Debian, its kernel is cached.
# Without QEMU or the packages it says so and succeeds. LAB_ARGS go to pytest
# in the guest, after "--" (e.g. LAB_ARGS="-- -k ftdi").
LAB_ARGS ?=
.PHONY: test-drivers
test-drivers: build
	@tools/system-deps lab 2>/dev/null || true   # tools/lab-drivers says what is missing
	$(PY) tools/lab-drivers $(LAB_ARGS)

# Replays the sample recording and prints a few packets and a summary.
demo: build
	$(PY) tools/demo examples/sample.bin

# A simulated unit streaming through a pseudo-terminal into SerialParser.
demo-live: build
	$(PY) tools/demo-live

# Regenerates the committed type stub from the built extension's interface
# records; `make build` again installs the new stub.
stub: build
	$(PY) tools/gen-stub "$$($(PY) -c 'import vorn_rs; print(vorn_rs.__file__)')" -o vorn_rs.pyi

# The Python suite on every CPython 3.10+ found (pyenv's versions, the
# free-threaded one of `make test`, and $VORN_PYTHONS), each against the x86-64
# release wheel for it, built first into dist/: the one stable-ABI wheel on
# every interpreter with the GIL, the cp313t wheel on the free-threaded one (an
# interpreter without a release wheel gets a source build); one line per
# interpreter, fails if any fails. `make test-gil` does the same for the
# interpreters with the GIL only. PYTEST_ARGS go to every run;
# VORN_MATRIX_JOBS suites run at once (2).
.PHONY: stub test-matrix test-gil
MATRIX_PYTEST_ARGS ?= -x
test-matrix:
	tools/build-wheels abi3 cp313t
	tools/test-matrix $(MATRIX_PYTEST_ARGS) $(PYTEST_ARGS)

test-gil:
	tools/build-wheels abi3
	tools/test-matrix --gil-only $(MATRIX_PYTEST_ARGS) $(PYTEST_ARGS)

# Fuzzes framing and decoding (libFuzzer, with ASan and UBSan) for FUZZ_SECONDS,
# from seeds made afresh out of the stream simulator. What it learns stays in
# build/fuzz/corpus for the next run; a failing input lands in build/fuzz/.
.PHONY: fuzz
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

# The Python suite against an ASan+UBSan build of the extension, built apart in
# build/asan-ext and put first on the module path (.venv keeps its own build).
# The interpreter is not instrumented, so the runtime is preloaded and leaks are
# left to `make leaks`. Not run: the wheel build, and the serial fault tests whose
# children preload a shim of their own instead. Then the C++ tests under
# ASan+UBSan and under TSan.
.PHONY: sanitize leaks
ASAN_EXT := build/asan-ext
SANITIZE_PYTEST := --deselect tests/test_wheel.py --deselect tests/test_serial.py::test_failures_a_pty_never_shows
SANITIZE_CMAKE = $(CMAKE) -S . -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
sanitize: venv
	@tools/system-deps test
	@mkdir -p build
	flock build/.asan.lock sh -c '$(SANITIZE_CMAKE) -B $(ASAN_EXT) -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DVORN_SANITIZE=address,undefined >/dev/null && $(CMAKE) --build $(ASAN_EXT)'
	@asan="$$(ldd $(ASAN_EXT)/vorn_rs*.so | awk '/libasan/ {print $$3}')"; \
	export PYTHONPATH="$(abspath $(ASAN_EXT))$${PYTHONPATH:+:$$PYTHONPATH}" LD_PRELOAD="$$asan" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 PYTHONMALLOC=debug; \
	$(PY) -c 'import vorn_rs, sys; sys.exit("sanitize: not the instrumented build: " + vorn_rs.__file__ if "asan-ext" not in vorn_rs.__file__ else 0)'; \
	echo "sanitize: Python suite with $$asan"; \
	$(PY) -m pytest -p no:cacheprovider $(SANITIZE_PYTEST) $(PYTEST_ARGS)
	@for kind in address,undefined thread; do \
	  dir=build/cpp-$${kind%%,*}; \
	  echo "sanitize: C++ tests with -fsanitize=$$kind in $$dir"; \
	  flock build/.cpp-$${kind%%,*}.lock sh -c "$(SANITIZE_CMAKE) -B $$dir -DVORN_BUILD_EXTENSION=OFF \
	    -DVORN_BUILD_TESTS=ON -DVORN_SANITIZE=$$kind >/dev/null && $(CMAKE) --build $$dir" || exit 1; \
	  ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 TSAN_OPTIONS=halt_on_error=1 \
	    $(CTEST) --test-dir $$dir --output-on-failure --timeout 300 || exit 1; \
	done

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
	@awk -v ours='vorn::|vorn_rs\\.cpython' ' \
	  { sub(/^==[0-9]+== ?/, "") } \
	  /^$$/ { if (block ~ /definitely lost in loss record|Invalid (read|write|free)|uninitialised|Mismatched free|overlap/ \
	            && block ~ ours) { print block; bad++ } block = ""; next } \
	  { block = block $$0 "\n" } \
	  /definitely lost:/ { lost = lost FILENAME ": " $$0 "\n" } \
	  END { printf "%s", lost; \
	        printf "leaks: %d leak or memory error record(s) in the extension\n", bad; exit bad > 0 }' \
	  build/leaks/memcheck.*.log

# Benchmarks: the C++ core (release build) and the extension, each figure
# against a reference measured in the same run, in one table. Figures are
# noisy on a busy machine; the table prints the load average. The last rows
# compare the build of the release wheels (zig, glibc 2.17, libc++: core and
# extension in $(BENCH_ZIG)) with the GCC builds above; then, on pyenv's 3.13
# with the GIL ($(BENCH_GIL_PYTHON)), the stable-ABI build of the release wheels
# against one for that interpreter's full API (zig both, $(BENCH_ABI)-*).
.PHONY: bench
BENCH_BUILD := build/bench/release
BENCH_ZIG := build/bench/zig
BENCH_ABI := build/bench/api
BENCH_GIL_PYTHON ?= $(lastword $(sort $(wildcard $(or $(PYENV_ROOT),$(HOME)/.pyenv)/versions/3.13.*/bin/python3.13)))
BENCH_ARGS ?=
bench: build
	@mkdir -p $(BENCH_BUILD)
	flock build/.bench.lock sh -c '$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVORN_BUILD_EXTENSION=OFF -DVORN_BUILD_BENCH=ON >/dev/null && $(CMAKE) --build $(BENCH_BUILD) --target bench_core'
	@toolchain="$$(tools/build-wheels --toolchain)"; \
	flock build/.bench.lock sh -c "$(CMAKE) -S . -B $(BENCH_ZIG) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$$toolchain -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DVORN_BUILD_BENCH=ON >/dev/null && nice $(CMAKE) --build $(BENCH_ZIG)"
	@test -x "$(BENCH_GIL_PYTHON)" || { echo "bench: no CPython 3.13 with the GIL under pyenv (set BENCH_GIL_PYTHON)"; exit 1; }
	@toolchain="$$(tools/build-wheels --toolchain)"; \
	for api in abi3:3.10 full:; do \
	  flock build/.bench.lock sh -c "$(CMAKE) -S . -B $(BENCH_ABI)-$${api%%:*} -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$$toolchain -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DPython_EXECUTABLE=$(BENCH_GIL_PYTHON) -DVORN_STABLE_ABI=$${api#*:} >/dev/null \
	    && nice $(CMAKE) --build $(BENCH_ABI)-$${api%%:*} --target vorn_rs" || exit 1; \
	done
	$(PY) bench/run.py --core $(BENCH_BUILD)/bench_core --zig-core $(BENCH_ZIG)/bench_core \
	  --zig-module $(BENCH_ZIG) --abi-python $(BENCH_GIL_PYTHON) --abi3-module $(BENCH_ABI)-abi3 \
	  --full-api-module $(BENCH_ABI)-full $(BENCH_ARGS)

# Release wheels in dist/, for x86-64 and for aarch64: one stable-ABI wheel
# (cp310-abi3, for CPython 3.10 and later with the GIL, checked by abi3audit)
# and one for the free-threaded 3.13 (cp313t) each, compiled by zig against
# glibc 2.17, checked and tagged manylinux_2_17 by auditwheel; then the sdist,
# checked by installing it in a clean environment. WHEELS names a subset (see
# tools/build-wheels).
.PHONY: wheels sdist test-wheels
WHEELS ?=
wheels:
	tools/build-wheels $(WHEELS)
	tools/build-sdist

sdist:
	tools/build-sdist

# The Python suite against each x86-64 wheel in dist/, installed into a fresh
# virtual environment of each interpreter it is for (the stable-ABI wheel on
# pyenv's 3.10, 3.11, 3.12 and 3.13).
test-wheels: wheels
	tools/test-wheels $(PYTEST_ARGS)

# The Python suite against the aarch64 wheels in dist/, under qemu-user: the
# stable-ABI wheel on Debian's aarch64 3.11 and on a cross-built 3.13 with the
# GIL, the cp313t wheel on a cross-built 3.13t. Tests that need what the
# emulator lacks (the extended serial ioctls, child interpreters) skip.
.PHONY: test-arm64
test-arm64:
	tools/build-wheels aarch64-abi3 aarch64-cp313t
	tools/test-arm64 $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV)
