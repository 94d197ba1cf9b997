# Two commands on a fresh machine: `make demo` and `make test`.
#
# The file runs top down: settings, set-up (Debian packages, virtual
# environments, the private ICU, cctz and simdjson), the build (the abi3 wheel),
# the tests (`make check` the fast inner loop, `make test` everything),
# fuzzing, benchmarks and the source distribution. A new target goes into its
# section with a `## what it does` note (for `make help`) and into .PHONY.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help

VENV       := .venv
VENV313    := .venv313
PEERS_VENV := build/peers-venv
WHEEL_DIR  := dist
WHEEL      := $(WHEEL_DIR)/korvex-*.whl
DEPS_DIR   := build/deps
ASAN_DIR   := build/asan
ASAN_LOGS  := $(ASAN_DIR)/logs
FUZZ_DIR   := build/fuzz
PIP_Q      := --quiet --disable-pip-version-check
# Python dependencies come from pyproject.toml, the one list of them.
REQS        = $(shell scripts/requirements.py $(1) | sed "s/.*/'&'/" | tr '\n' ' ')
CMAKE      := $(VENV)/bin/cmake
NINJA      := $(CURDIR)/$(VENV)/bin/ninja
PYTEST     := -m pytest -q
# What `make check` leaves out: tests marked slow (pyproject.toml: leak
# checks, thread stress, Dask, the real snapshots).
FAST       := -m "not slow"
# ICU, cctz and simdjson are compiled once for all build trees of the checkout.
export KORVEX_DEPS_BUILD_DIR := $(CURDIR)/$(DEPS_DIR)/build

.PHONY: help deps venv fetch-deps deps-build wheel wheel-repair dev demo \
        check test test-cpp test-py312 py313-wheel test-py313 check-abi check-stubs check-chain test-asan \
        wheel-check fuzz-deps fuzz-build fuzz-smoke fuzz bench bench-arrays sdist sdist-check clean tz

help: ## list the targets
	@echo "Quick start: make demo, then make test."
	@grep -hE '^[a-z0-9-]+:.*## ' $(MAKEFILE_LIST) | sed -E 's/^([a-z0-9-]+):.*## (.*)/  make \1\t\2/' | expand -t 22

# ---------------------------------------------------------------------------
# Set-up
# ---------------------------------------------------------------------------

deps: ## install the Debian packages the build needs (as root)
	@scripts/system-deps.sh

# A virtual environment: $(1) its directory, $(2) the Python version (found
# by scripts/find-python.sh), $(3) what pip installs into it.
define make-venv
	py=$$(scripts/find-python.sh $(2)); rm -rf $(1); $$py -m venv $(1)
	$(1)/bin/pip install $(PIP_Q) --upgrade pip
	$(1)/bin/pip install $(PIP_Q) $(3)
	touch $(1)/.ready
endef

$(VENV)/.ready: pyproject.toml scripts/requirements.py | deps
	$(call make-venv,$(VENV),3.12,$(call REQS,build dev test))

$(VENV313)/.ready: pyproject.toml scripts/requirements.py | deps
	$(call make-venv,$(VENV313),3.13,$(call REQS,test))

venv: $(VENV)/.ready ## the Python 3.12 virtual environment with build and test tools

# The private ICU, cctz and simdjson: scripts/fetch-deps.sh fills
# third_party/ with their Debian source packages, cmake/deps builds them once,
# and every module is linked with them.
third_party/VERSIONS: scripts/fetch-deps.sh | deps
	scripts/fetch-deps.sh

fetch-deps: third_party/VERSIONS ## ICU's and simdjson's Debian sources into third_party/

deps-build: third_party/VERSIONS $(VENV)/.ready ## compile the private ICU, cctz and simdjson once for all build trees
	$(CMAKE) -S cmake/deps -B $(KORVEX_DEPS_BUILD_DIR) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(NINJA) -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(CMAKE) --build $(KORVEX_DEPS_BUILD_DIR) -j2

wheel test-cpp test-asan check fuzz-build: deps-build third_party/tzdata/RELEASE

# The IANA time zone release the modules embed, recorded in
# src/calendar/tzdata.release (scripts/tzdata.sh): `make tz` moves to the
# newest release of PyPI's tzdata, `make tz RELEASE=2027a` to that one; the
# next build embeds it, and the tests' tzdata (zoneinfo's data) follows.
TZ_RECORD := src/calendar/tzdata.release
tz: $(VENV)/.ready ## update the time zone rules to the newest IANA release (or RELEASE=2027a)
	scripts/tzdata.sh update $(RELEASE)

third_party/tzdata/RELEASE: $(TZ_RECORD) scripts/tzdata.sh | third_party/VERSIONS
	scripts/tzdata.sh fetch

# Each test environment's tzdata (zoneinfo's data, the tests' oracle) is the
# release recorded, whenever the record changes.
%/.tzdata: $(TZ_RECORD) %/.ready
	$*/bin/pip install $(PIP_Q) $$(scripts/requirements.py test | grep '^tzdata==')
	touch $@

$(VENV)/.wheel-tools: $(VENV)/.ready pyproject.toml
	$(VENV)/bin/pip install $(PIP_Q) $(call REQS,wheel)
	touch $@

# ---------------------------------------------------------------------------
# Build: one self-contained abi3 wheel (korvex and korvex_chain)
# ---------------------------------------------------------------------------

wheel: $(VENV)/.ready ## build the one abi3 wheel into dist/
	rm -rf $(WHEEL_DIR)
	$(VENV)/bin/pip wheel $(PIP_Q) --no-deps --no-build-isolation -w $(WHEEL_DIR) .
	$(MAKE) --no-print-directory wheel-repair
	@ls $(WHEEL_DIR)/korvex-*-cp312-abi3-*.whl

# auditwheel picks the oldest manylinux policy the modules' glibc symbol
# versions satisfy; the repaired wheel replaces the plain one.
wheel-repair: $(VENV)/.wheel-tools
	rm -rf $(DEPS_DIR)/repaired
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VENV)/bin/auditwheel repair --strip -w $(DEPS_DIR)/repaired $(WHEEL_DIR)/korvex-*-linux_x86_64.whl
	rm -f $(WHEEL_DIR)/*.whl
	mv $(DEPS_DIR)/repaired/*.whl $(WHEEL_DIR)/
	$(VENV)/bin/auditwheel show $(WHEEL)

dev: wheel ## build the wheel and install it into the 3.12 environment
	$(VENV)/bin/pip install $(PIP_Q) --no-deps --force-reinstall $(WHEEL)

demo: dev ## set everything up and run the example workflow
	$(VENV)/bin/python examples/quickstart.py
	$(VENV)/bin/python examples/chain_workflow.py build/chain_smiles.png
	$(VENV)/bin/python examples/surface.py build/surface.png
	$(VENV)/bin/python examples/history.py build/history.png

# ---------------------------------------------------------------------------
# Tests
# ---------------------------------------------------------------------------

# The inner loop: an incremental C++ build with its unit tests, and pytest on
# 3.12 (all but the slow tests) against an editable install whose build
# directory is kept, so that a rebuild after an edit compiles only what
# changed.
check: test-cpp $(VENV)/.ready $(VENV)/.tzdata ## fast inner loop: C++ tests and pytest on 3.12 without the slow tests (incremental)
	$(VENV)/bin/pip install $(PIP_Q) --no-deps --no-build-isolation -e . \
	  -Cbuild-dir=build/editable -Ccmake.define.KORVEX_TESTS=OFF
	$(VENV)/bin/python $(PYTEST) -x $(FAST) tests

test: test-cpp test-py312 test-py313 check-abi check-stubs check-chain test-asan fuzz-smoke wheel-check ## set everything up and run every test

test-cpp: $(VENV)/.ready ## the GoogleTest suite of the C++ computations
	$(CMAKE) -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) -DKORVEX_BUILD_MODULE=OFF \
	  -DKORVEX_TESTS=ON >/dev/null
	$(CMAKE) --build build/cpp -j2
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure -j2

test-py312: dev $(VENV)/.tzdata ## pytest under Python 3.12 against the installed wheel
	$(VENV)/bin/python $(PYTEST) tests

# The same wheel file in the 3.13 environment: both interpreters must load
# the very same compiled modules.
py313-wheel: dev $(VENV313)/.ready $(VENV313)/.tzdata
	$(VENV313)/bin/pip install $(PIP_Q) --no-deps --force-reinstall $(WHEEL)
	@for m in korvex korvex_chain._kernels; do \
	   a=$$($(VENV)/bin/python -c "import $$m as m; print(m.__file__)"); \
	   b=$$($(VENV313)/bin/python -c "import $$m as m; print(m.__file__)"); \
	   cmp "$$a" "$$b" && echo "3.12 and 3.13 load the same $$m file: $$(sha256sum "$$b" | cut -c1-16)"; \
	 done

test-py313: py313-wheel ## the same wheel file, pytest under Python 3.13
	$(VENV313)/bin/python $(PYTEST) tests

check-abi: dev ## stable-ABI conformance and the modules' exported symbols
	$(VENV)/bin/abi3audit --strict --report $(WHEEL)
	@for m in korvex:PyInit_korvex korvex_chain._kernels:PyInit__kernels; do \
	   so=$$($(VENV)/bin/python -c "import $${m%%:*} as m; print(m.__file__)"); \
	   exported=$$(nm -D --defined-only "$$so" | awk '$$2 ~ /^[TDBRVWu]$$/ {print $$3}'); \
	   if [ "$$exported" != "$${m##*:}" ]; then echo "$${m%%:*} exports more: $$exported"; exit 1; fi; \
	   echo "$${m%%:*} exports: $$exported"; \
	 done

# The typed interface beside the module must match what the module really offers.
check-stubs: dev ## mypy.stubtest of the typed interface against the module
	$(VENV)/bin/python -m mypy.stubtest korvex

# korvex_chain's Python layer type-checks against the stub nanobind
# generated from the built _kernels.
check-chain: py313-wheel ## type-check korvex_chain; 3.12 and 3.13 load the same modules
	$(VENV)/bin/python -m mypy -p korvex_chain

# The extension module built with AddressSanitizer and UndefinedBehaviorSanitizer
# (float-to-integer overflow included), and the whole pytest suite run against
# it. The interpreter is not instrumented, so the runtimes are preloaded, with
# libstdc++ after libasan so that ASan finds the real __cxa_throw. A report
# ends the process, so it must not sit in pytest's descriptor-level capture:
# ASan writes its reports to log files (any log file, from the test process or
# a child process, fails the run) and pytest captures only sys.stderr, so that
# UBSan's reports, which always go to the descriptor, stay visible.
test-asan: $(VENV)/.ready $(VENV)/.tzdata ## pytest against an ASan + UBSan build of the module
	$(CMAKE) -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEX_SANITIZE=ON -DKORVEX_BUILD_MODULE=ON -DKORVEX_TESTS=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=float-cast-overflow -fno-sanitize-recover=all" \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VENV)/bin/python >/dev/null
	$(CMAKE) --build $(ASAN_DIR) -j2
	rm -rf $(ASAN_LOGS); mkdir -p $(ASAN_LOGS)
	export KORVEX_ASAN=1 PYTHONPATH=$(CURDIR)/$(ASAN_DIR) PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$(CURDIR)/$(ASAN_LOGS)/asan \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(ASAN_LOGS)/ubsan; \
	 so=$$($(VENV)/bin/python -c 'import korvex; print(korvex.__file__)'); \
	 case "$$so" in $(CURDIR)/$(ASAN_DIR)/*) echo "sanitized module: $$so";; *) echo "wrong module: $$so"; exit 1;; esac; \
	 status=0; $(VENV)/bin/python $(PYTEST) -p no:cacheprovider --capture=sys tests || status=$$?; \
	 if [ -n "$$(ls -A $(ASAN_LOGS))" ]; then cat $(ASAN_LOGS)/*; echo "sanitizer reports above" >&2; exit 1; fi; \
	 exit $$status

# The wheel on a clean Debian (scripts/wheel-check.sh): a warm run takes
# seconds, so it is part of `make test`.
wheel-check: wheel ## install the wheel on a clean Debian root filesystem and use it (root)
	scripts/wheel-check.sh

# ---------------------------------------------------------------------------
# Fuzzing. libFuzzer drives the tenor parser, the calendar document parser
# and korvex_chain's readers of exchange JSON and instrument names
# (clang 19, AddressSanitizer and UndefinedBehaviorSanitizer); atheris drives
# every Python entry point through a copy of the module built with coverage
# instrumentation, so that it is guided by the native code's branches, and
# with UndefinedBehaviorSanitizer. Both are CMake builds (KORVEX_FUZZ=parsers
# and KORVEX_FUZZ=module). `fuzz-smoke` is the bounded run of `make test`;
# `make fuzz` runs each fuzzer for FUZZ_SECONDS. Grown corpora stay in
# build/fuzz/work, logs in build/fuzz/logs, a failing input in
# build/fuzz/artifacts.
# ---------------------------------------------------------------------------
FUZZ_CXX     := clang++-19
FUZZ_SECONDS ?= 600
FUZZ_CMAKE   := -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
                -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEX_TESTS=OFF -DKORVEX_BUILD_CHAIN=OFF \
                -DPython_EXECUTABLE=$(CURDIR)/$(VENV)/bin/python

fuzz-deps: ## clang 19 and libFuzzer (Debian packages)
	@KORVEX_WANT_CLANG=1 scripts/system-deps.sh

$(FUZZ_DIR)/.atheris: $(VENV)/.ready pyproject.toml
	$(VENV)/bin/pip install $(PIP_Q) $(call REQS,fuzz)
	@mkdir -p $(@D); touch $@

fuzz-build: fuzz-deps $(VENV)/.ready $(FUZZ_DIR)/.atheris ## build the fuzzers
	$(CMAKE) -S . -B $(FUZZ_DIR)/parsers $(FUZZ_CMAKE) -DKORVEX_FUZZ=parsers >/dev/null
	$(CMAKE) --build $(FUZZ_DIR)/parsers -j2
	$(CMAKE) -S . -B $(FUZZ_DIR)/cov $(FUZZ_CMAKE) -DKORVEX_FUZZ=module >/dev/null
	$(CMAKE) --build $(FUZZ_DIR)/cov -j2

fuzz-smoke: fuzz-build ## a bounded run of every fuzzer
	bash fuzz/run.sh smoke

fuzz: fuzz-build ## run each fuzzer for FUZZ_SECONDS (default 600)
	bash fuzz/run.sh long $(FUZZ_SECONDS)

# ---------------------------------------------------------------------------
# Benchmarks. bench-arrays: korvex_chain's (the Arrays section of
# bench/RESULTS.md); py_vollib_vectorized runs in its own environment because
# its 2021 release patches functions that later py_vollib and
# py_lets_be_rational releases changed (numba then fails to compile them).
# ---------------------------------------------------------------------------

bench: dev ## run the benchmarks and write bench/RESULTS.md
	$(VENV)/bin/pip install $(PIP_Q) $(call REQS,bench)
	$(VENV)/bin/python bench/bench.py --report bench/RESULTS.md
	$(VENV)/bin/python bench/bench_fit.py --report bench/RESULTS_FIT.md
	$(VENV)/bin/python bench/bench_readers.py --report bench/RESULTS_READERS.md
	$(VENV)/bin/python bench/bench_surface.py --report bench/RESULTS_SURFACE.md
	$(MAKE) --no-print-directory bench-arrays

$(PEERS_VENV)/.ready:
	$(call make-venv,$(PEERS_VENV),3.12,py_vollib_vectorized "py_vollib==1.0.1" "py_lets_be_rational==1.0.1")

bench-arrays: dev ## only the korvex_chain array benchmark
	$(VENV)/bin/pip install $(PIP_Q) $(call REQS,bench)
	$(MAKE) --no-print-directory $(PEERS_VENV)/.ready || echo "py_vollib_vectorized could not be installed: its rows are skipped"
	$(VENV)/bin/python bench/bench_arrays.py --report bench/RESULTS.md

# ---------------------------------------------------------------------------
# Source distribution. It carries third_party/, so it builds with a C++23
# compiler and a Python >= 3.12 alone. `make sdist-check` builds it the way a
# user would, in a fresh virtual environment with build isolation (a few
# minutes: ICU is compiled from scratch), and imports both modules.
# ---------------------------------------------------------------------------

sdist: third_party/VERSIONS third_party/tzdata/RELEASE $(VENV)/.wheel-tools ## the source distribution into dist/
	rm -f $(WHEEL_DIR)/korvex-*.tar.gz
	$(VENV)/bin/python -m build --sdist --no-isolation -o $(WHEEL_DIR) .
	@ls -la $(WHEEL_DIR)/korvex-*.tar.gz

sdist-check: sdist ## build the sdist in a fresh environment as a user would (minutes)
	rm -rf $(DEPS_DIR)/sdist-venv
	py=$$(scripts/find-python.sh 3.12); $$py -m venv $(DEPS_DIR)/sdist-venv
	env -u KORVEX_DEPS_BUILD_DIR $(DEPS_DIR)/sdist-venv/bin/pip install $(PIP_Q) $(WHEEL_DIR)/korvex-*.tar.gz
	cd $(DEPS_DIR) && sdist-venv/bin/python -c 'import korvex, korvex_chain; \
	  print("sdist build:", korvex.__file__, korvex_chain.implied_vols(0.5, 100.0, 110.0, 3.0, "c"))'

clean: ## remove builds, wheels and virtual environments
	rm -rf build $(WHEEL_DIR) $(VENV) $(VENV313)
