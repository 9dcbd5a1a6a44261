# `make test` sets up a fresh machine, builds the extension into .venv and runs every test.
VENV      := $(CURDIR)/.venv
PY        := $(VENV)/bin/python
BUILD_DIR := $(CURDIR)/build
ASAN_DIR  := $(CURDIR)/build-asan
JOBS      ?= $(shell nproc)

.PHONY: all setup build test test-cpp test-py test-lit test-asan lumo-docs conformance demo demo-distributed bench clean

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

# The interpreter's compiled kernels go to a cache of the build tree, not the user's.
test-py: build
	LUMO_KERNEL_CACHE=$(abspath $(BUILD_DIR))/kernel-cache $(PY) -m pytest -q -n $(JOBS) tests/python

# lit + FileCheck tests of the dialect and the tool (configured into the build tree by CMake).
test-lit: build
	$(VENV)/bin/lit -sv $(BUILD_DIR)/tests/lit

test: test-cpp test-py test-lit

# Refreshes the committed reference page of the lumo dialect from the operator table.
lumo-docs: build
	cp $(BUILD_DIR)/lumo/docs/LumoOps.md lumo/docs/LumoOps.md

# PyTorch's operator samples (op_db) through the whole system, compared with eager: writes
# docs/conformance.md and fails when a target is missed (scripts/conformance.py).
conformance: build
	$(PY) scripts/conformance.py

# Trains a small CNN on scikit-learn's digits through the whole system, beside eager PyTorch.
demo: build
	$(PY) demo/digits.py --out demo_out

# The same CNN trained data-parallel by two processes (torchrun, gloo on 127.0.0.1), each on half of
# every batch; prints both ranks' held-out accuracy.
demo-distributed: build
	$(PY) -m torch.distributed.run --standalone --nproc-per-node 2 demo/digits_distributed.py --out demo_out/distributed

# Every benchmark runs (bench/_*.py are their shared helpers); one that fails (a crash, not a
# missed target) fails the target.
bench: build
	@status=0; for b in bench/[!_]*.py; do echo "== $$b"; $(PY) $$b || status=1; done; exit $$status

# The module's code, the C++ tests, the lumo dialect, torch-lumo-opt and the lumo interpreter (and
# its Python module) built with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan
# (PyTorch, Python and MLIR stay as they are); then, under them: the C++ tests (ctest), the tool's
# lit tests (lit on build-asan/tests/lit runs build-asan/bin/torch-lumo-opt) and the interpreter's
# Python tests with its fuzz.
# The sanitized lumo_interpreter is imported from the build tree (PYTHONPATH; nothing is installed
# into .venv) by the environment's own, unsanitized Python: the ASan runtime must then be the first
# library of the process, so it is preloaded (LD_PRELOAD of the compiler's libasan.so; UBSan's
# runtime comes with the module), and libstdc++ with it (Python does not link it: ASan's
# interceptor of C++ throws, loaded before it, finds no __cxa_throw and aborts at the first
# exception). Python and PyTorch keep memory until the process ends, so leak
# detection is off for the Python run (ASAN_OPTIONS=detect_leaks=0); the tool runs with it on.
# Reproducing one failure by hand:
#   LD_PRELOAD="$$(c++ -print-file-name=libasan.so) $$(c++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
#     PYTHONPATH=build-asan/lumo/python .venv/bin/python -m pytest -q tests/python/test_interpreter.py
$(ASAN_DIR)/build.ninja: CMakeLists.txt | setup
	cmake -S . -B $(ASAN_DIR) -G Ninja -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORVEX_SANITIZE=ON

ASAN_ENV := LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(ASAN_DIR)/lumo/python

test-asan: setup $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR) -j $(JOBS) --target orvex_cpp_tests torch-lumo-opt lumo_interpreter
	cd $(ASAN_DIR) && ctest --output-on-failure
	UBSAN_OPTIONS=print_stacktrace=1 $(VENV)/bin/lit -sv $(ASAN_DIR)/tests/lit
	$(ASAN_ENV) $(PY) -c "import lumo_interpreter as li; assert li.__file__.startswith('$(ASAN_DIR)/'), li.__file__"
	$(ASAN_ENV) $(PY) -m pytest -q -p no:xdist tests/python/test_interpreter*.py

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
