# `make test` sets up a fresh machine, builds the extension into .venv and runs every test.
VENV      := $(CURDIR)/.venv
PY        := $(VENV)/bin/python
BUILD_DIR := $(CURDIR)/build
ASAN_DIR  := $(CURDIR)/build-asan
JOBS      ?= $(shell nproc)

.PHONY: all setup build test test-cpp test-py test-asan demo bench clean

all: build

setup:
	@bash scripts/setup.sh

$(BUILD_DIR)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)
	cmake --install $(BUILD_DIR) >/dev/null

test-cpp: build
	cd $(BUILD_DIR) && ctest --output-on-failure

test-py: build
	$(PY) -m pytest -q tests/python

test: test-cpp test-py

demo: build
	@echo "make demo: the main job arrives with the step-execution work; nothing to run yet."

# A benchmark that misses its target says so and exits 0; one that fails stops the run.
bench: build
	@set -e; for b in bench/*.py; do echo "== $$b"; $(PY) $$b; done

# The module's code and the C++ tests built with AddressSanitizer and UndefinedBehaviorSanitizer
# (PyTorch, Python and MLIR stay as they are), then the C++ tests run under them.
$(ASAN_DIR)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(ASAN_DIR) -G Ninja -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORVEX_SANITIZE=ON

test-asan: setup $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS) --target orvex_cpp_tests
	cd $(ASAN_DIR) && ctest --output-on-failure

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
