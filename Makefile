# Two commands on a fresh machine: `make demo` and `make test`.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help

VENV    := .venv
VENV313 := .venv313
WHEEL_DIR := dist
PIP_Q   := --quiet --disable-pip-version-check
TOOLS   := scikit-build-core "cmake>=3.26" ninja
TEST_DEPS := pytest hypothesis numpy scipy tzdata abi3audit mypy

.PHONY: help deps venv wheel dev demo test test-cpp test-py312 test-py313 check-abi check-stubs bench clean

help:
	@echo "make demo   - set up everything and run examples/quickstart.py"
	@echo "make test   - set up everything and run every test"
	@echo "make bench  - run the benchmarks and write bench/RESULTS.md"

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

test: test-cpp test-py312 test-py313 check-abi check-stubs

bench: dev
	$(VENV)/bin/pip install $(PIP_Q) QuantLib vollib matplotlib
	$(VENV)/bin/python bench/bench.py --report bench/RESULTS.md

clean:
	rm -rf build $(WHEEL_DIR) $(VENV) $(VENV313)
