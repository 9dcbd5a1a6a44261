# `make test` sets up a fresh machine, builds the extension into .venv and runs every test.
VENV      := $(CURDIR)/.venv
PY        := $(VENV)/bin/python
BUILD_DIR := $(CURDIR)/build
ASAN_DIR  := $(CURDIR)/build-asan
JOBS      ?= $(shell nproc)

.PHONY: all setup build test test-cpp test-py test-lit test-asan lumo-docs demo bench clean

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
	$(PY) -m pytest -q -n $(JOBS) tests/python

# lit + FileCheck tests of the dialect and the tool (configured into the build tree by CMake).
test-lit: build
	$(VENV)/bin/lit -sv $(BUILD_DIR)/tests/lit

test: test-cpp test-py test-lit

# Refreshes the committed reference page of the lumo dialect from the operator table.
lumo-docs: build
	cp $(BUILD_DIR)/lumo/docs/LumoOps.md lumo/docs/LumoOps.md

# Trains a small CNN on scikit-learn's digits through the whole system, beside eager PyTorch.
demo: build
	$(PY) demo/digits.py --out demo_out

# Every benchmark runs (bench/_*.py are their shared helpers); one that fails (a crash, not a
# missed target) fails the target.
bench: build
	@status=0; for b in bench/[!_]*.py; do echo "== $$b"; $(PY) $$b || status=1; done; exit $$status

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
