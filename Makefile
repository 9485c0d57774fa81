# Build, test and run Movra.  Each Python runs in its own virtual
# environment, which `make setup` creates (scripts/setup.sh): .venv/ for
# Python 2.7, .venv-<version>/ for 3.8 to 3.15 and the debug 3.14d, 3.15d.
# 3.14 and 3.15 are Debian's, in a Debian root outside the checkout
# (scripts/debian_root.sh), which the scripts make when it is missing and
# run those Pythons' commands in.
#
#   make setup   system packages, environments, pinned packages, build + install
#   make build   rebuild and reinstall the extension only
#   make test    setup, then the whole test suite under 2.7 and 3.14, the
#                module's tests under 3.11, 3.15 and 3.14d, then `make sanitize`
#                under 2.7 and 3.13; passes only if all of them pass
#                (PYTEST_ARGS=... to narrow them)
#   make run     setup, then the host program (ARGS=... are passed to it;
#                MODULE=path/to/Movra.py draws that file instead of Movra)
#   make compare setup, then compare IMPL=path/to/Movra.py (or a class folder or
#                .zip) with Movra, the learner's code in the tool's sandbox
#                (OUT=dir, JSON=file, ARGS=... to KestCompare.py)
#   make autograder  the course platform's autograder zip (Gradescope's layout:
#                setup.sh, run_autograder, the rubric) in out/autograder/ (OUT=dir,
#                ARGS="--rubric FILE ...")
#   make check-autograder  the autograder zip tested in a fresh Debian root made
#                with debootstrap (root, minutes; CI's lane, not make test's)
#   make clean   remove build products (keeps the environments)
#   make distclean  also remove the environments and downloaded wheels/
#
# PY=<version> (2.7, 3.8, ... 3.15, 3.14d, 3.15d) chooses one Python for any of these:
# `make test PY=3.11` runs the suite under 3.11 alone, creating its
# environment when needed; `make run` uses 2.7 and `make compare` the newest
# Python 3 (COMPARE_PY) unless PY says otherwise.

SHELL := /bin/bash
PY ?=
# make test: the whole suite under 2.7 (the Python the module was written
# for) and 3.14 (the current release); the module's own tests (all but those
# of the host program and the compare tool, which are plain Python) under
# 3.11 (the last of the lookup cache's version numbers), 3.15 and the debug
# 3.14d, whose assertions check every call into the C API; the sanitizer
# runs under 2.7 and 3.13, which run the module's tests against the
# instrumented build. That keeps CI's fresh run on two cores within its
# quarter of an hour; `make test PY=<version>` runs the whole suite under
# any one Python.
TEST_PYTHONS := 2.7 3.14
MODULE_TEST_PYTHONS := $(if $(PY),,3.11 3.15 3.14d)
ROOT_PYTHONS := 3.14 3.15 3.14d 3.15d
PYTHONS := $(or $(PY),$(TEST_PYTHONS))
# The sanitizer run of `make test`: the two ends, whose calls differ in kind
# (Python 2.7's fast paths, Python 3's vectorcall and lookup cache), under
# pyenv's interpreters.
SANITIZE_PYTHONS := $(filter-out $(ROOT_PYTHONS),$(or $(PY),2.7 3.13))
RUN_PY := $(or $(PY),2.7)
PYTHON := $(if $(filter 2.7,$(RUN_PY)),.venv,.venv-$(RUN_PY))/bin/python
# make compare runs the compare tool under the newest Python 3 of pyenv's,
# outside the Debian root, and the learner's file, in the tool's sandbox,
# under that Python too, or under PY: learners write Python 3 (f-strings,
# print()); PY=2.7 for a Python 2 file, which the report itself suggests
# when a file compiles only there; PY=3.14 runs it on the Debian root's.
COMPARE_PY := 3.13
COMPARE_PYTHON := .venv-$(COMPARE_PY)/bin/python
# A command of a Python of the Debian root runs inside the root.
in_env = $(if $(and $(filter $(1),$(ROOT_PYTHONS)),$(if $(MOVRA_IN_DEBIAN_ROOT),,root)),bash scripts/debian_root.sh run)
IN_ENV := $(call in_env,$(RUN_PY))
ARGS ?=
PYTEST_ARGS ?=
export PYTEST_ARGS

.PHONY: setup build test run compare autograder check-autograder clean distclean

setup:
	bash scripts/setup.sh $(sort $(PYTHONS) $(MODULE_TEST_PYTHONS) $(if $(PY),,$(SANITIZE_PYTHONS)))

build:
	bash scripts/build.sh $(sort $(PYTHONS) $(MODULE_TEST_PYTHONS) $(if $(PY),,$(SANITIZE_PYTHONS)))

test: setup
	bash scripts/test.sh $(PYTHONS) --module $(MODULE_TEST_PYTHONS) --sanitize $(SANITIZE_PYTHONS)

run:
	bash scripts/setup.sh $(RUN_PY)
	$(IN_ENV) $(PYTHON) host/KestMain.py $(if $(MODULE),--module $(MODULE)) $(ARGS)

# make compare IMPL=path/to/Movra.py (or a class folder or .zip) [OUT=dir]
#              [JSON=file] [ARGS="--ignore-output ..."]
compare:
	@test -n "$(IMPL)" || { echo "make compare: say which file, e.g. make compare IMPL=src/Movra.py" >&2; exit 2; }
	bash scripts/setup.sh $(sort $(COMPARE_PY) $(PY))
	$(COMPARE_PYTHON) host/KestCompare.py $(IMPL) $(if $(OUT),--out $(OUT)) $(if $(JSON),--json $(JSON)) $(if $(PY),--python $(PY)) $(ARGS)

autograder:
	bash scripts/setup.sh $(COMPARE_PY)
	$(COMPARE_PYTHON) host/KestCompare.py --autograder-bundle $(or $(OUT),out/autograder) $(ARGS)

check-autograder:
	bash scripts/setup.sh $(COMPARE_PY)
	PYTHONPATH=$(CURDIR)/host/recordgl $(COMPARE_PYTHON) -m pytest tests/test_compare_autograder.py -m autograder -q

clean:
	rm -rf build .pytest_cache
	find src tests host -name '*.pyc' -delete 2>/dev/null || true
	find src tests host -name __pycache__ -type d -prune -exec rm -rf {} + 2>/dev/null || true

distclean: clean
	rm -rf .venv .venv-* wheels

# Speed, robustness and memory checks, under Python 2.7 unless PY says
# otherwise:
#   make bench     per-frame, per-tick and per-builder figures of the compiled
#                  module, its Python listing, the floor, the tight floor and
#                  the safe floor, on a no-op GL; written to
#                  bench/results/<date>-py<version>.txt; then the host's
#                  headless time and peak memory (bench/headless.py), written
#                  to bench/results/<date>-headless-py<version>.txt; then what a
#                  learner waits for: one comparison of one file with pictures and
#                  a class of 40, with where the time goes (bench/compare_speed.py)
#   make fuzz      the property-based differential fuzzer, FUZZ_EXAMPLES
#                  (default 5000) examples of each property, then 10^6 calls
#                  watching reference counts and memory, then (Python 3) a
#                  failed allocation at every allocation of the import, a
#                  frame and the read-back (scripts/fuzz_memory.py)
#   make memcheck  the test suite under valgrind memcheck
#   make sanitize  the module built with ASan + UBSan and assertions on, in
#                  build/sanitize/<version>/; the recording-GL tests and a
#                  short fuzz run against it (part of `make test`)
.PHONY: bench fuzz memcheck sanitize

bench:
	bash scripts/setup.sh $(sort $(RUN_PY) $(COMPARE_PY))
	$(IN_ENV) $(PYTHON) bench/bench.py
	$(IN_ENV) $(PYTHON) bench/headless.py
	$(COMPARE_PYTHON) bench/compare_speed.py

fuzz:
	bash scripts/setup.sh $(RUN_PY)
	$(IN_ENV) $(PYTHON) scripts/fuzz.py
	$(IN_ENV) $(PYTHON) scripts/fuzz_leaks.py
	for phase in import frame print; do for burst in 1 3; do \
	    $(IN_ENV) $(PYTHON) scripts/fuzz_memory.py $$phase --burst $$burst --quiet || exit 1; done; done

memcheck:
	bash scripts/setup.sh $(RUN_PY)
	$(IN_ENV) bash scripts/memcheck.sh $(RUN_PY) $(PYTEST_ARGS)

sanitize:
	bash scripts/setup.sh $(RUN_PY)
	$(IN_ENV) bash scripts/sanitize.sh $(RUN_PY) $(PYTEST_ARGS)
