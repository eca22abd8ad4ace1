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

.PHONY: all venv build cpp-test py-test test demo clean

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

# Replays the sample recording and prints a few packets and a summary.
demo: build
	$(PY) tools/demo examples/sample.bin

clean:
	rm -rf build $(VENV)
