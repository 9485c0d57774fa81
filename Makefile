# Build, test and run Movra.  Everything runs in the Python 2.7 virtual
# environment .venv/, which `make setup` creates (scripts/setup.sh).
#
#   make setup   system packages, .venv/, pinned packages, build + install
#   make build   rebuild (incrementally) and reinstall the extension only
#   make test    setup, then the whole test suite (PYTEST_ARGS=... to narrow)
#   make run     setup, then the host program (ARGS=... are passed to it)
#   make clean   remove build products (keeps .venv/)
#   make distclean  also remove .venv/ and downloaded wheels/

SHELL := /bin/bash
PYTHON := .venv/bin/python
ARGS ?=
PYTEST_ARGS ?=

.PHONY: setup build test run clean distclean

setup:
	bash scripts/setup.sh

build:
	bash scripts/build.sh

# pytest exits 5 when it collected no test: that is a failure here too.
test: setup
	@status=0; \
	PYTHONPATH="$(CURDIR)/host/recordgl" $(PYTHON) -m pytest tests -q $(PYTEST_ARGS) || status=$$?; \
	if [ $$status -eq 5 ]; then echo "make test: pytest collected no tests under tests/" >&2; fi; \
	exit $$status

run: setup
	$(PYTHON) host/KestMain.py $(ARGS)

clean:
	rm -rf build .pytest_cache
	find src tests host -name '*.pyc' -delete 2>/dev/null || true

distclean: clean
	rm -rf .venv wheels

# Speed, robustness and memory checks (not part of `make test`):
#   make bench     per-frame, per-tick and per-builder figures of the compiled
#                  module, its Python listing and the floor, on a no-op GL;
#                  written to bench/results/<date>.txt; then the host's
#                  headless time and peak memory (bench/headless.py),
#                  written to bench/results/<date>-headless.txt
#   make fuzz      hostile globals and arguments (FUZZ_ITERATIONS, FUZZ_SEED),
#                  then 10^6 calls watching reference counts and memory
#   make memcheck  the test suite under valgrind memcheck
.PHONY: bench fuzz memcheck

bench: setup
	$(PYTHON) bench/bench.py
	$(PYTHON) bench/headless.py

fuzz: setup
	$(PYTHON) scripts/fuzz.py
	$(PYTHON) scripts/fuzz_leaks.py

memcheck: setup
	bash scripts/memcheck.sh $(PYTEST_ARGS)
