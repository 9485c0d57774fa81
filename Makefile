# Build, test and run Movra.  Each Python runs in its own virtual
# environment, which set-up creates (scripts/setup.sh): .venv/ for Python
# 2.7, .venv-<version>/ for 3.8 to 3.15 and the debug 3.14d, 3.15d.
# 3.14 and 3.15 are Debian's, in a Debian root outside the checkout
# (scripts/debian_root.sh), which only make check and PY=3.14 etc. use (as
# root). CONTRIBUTING.md says more.
#
#   make run       the host program (ARGS=... are passed to it;
#                  MODULE=path/to/Movra.py draws that file instead of Movra)
#   make compare   compare IMPL=path/to/Movra.py (or a class folder or .zip)
#                  with Movra, the learner's code in the tool's sandbox
#                  (OUT=dir, JSON=file, ARGS=... to the tool)
#   make test      a contributor's lane: the whole suite under the newest
#                  Python 3 this machine has and, where pyenv has it, 2.7;
#                  no root needed (PYTEST_ARGS=... to narrow it)
#   make check     everything CI runs (as root): every lane, the Debian
#                  root, the sanitizers, the installed commands, an
#                  ordinary user's install and make test, and the
#                  autograder zip in a fresh Debian root
#   make autograder  the course platform's autograder zip (Gradescope's
#                  layout: setup.sh, run_autograder, the rubric) in
#                  out/autograder/ (OUT=dir, ARGS="--rubric FILE ...")
#   make check-autograder  the autograder zip tested in a fresh Debian root
#                  made with debootstrap (root, minutes; part of make check)
#   make setup     the environments, pinned packages, build + install
#   make build     rebuild and reinstall the extension only
#   make clean     remove build products (keeps the environments)
#   make distclean also remove the environments and downloaded wheels/
#
# PY=<version> (2.7, 3.8, ... 3.15, 3.14d, 3.15d) chooses one Python for any
# of these but check: `make test PY=3.11` runs the whole suite under 3.11
# alone. Without PY every command takes the newest Python 3 the machine has
# outside the Debian root (pyenv's, or the system's python3).

SHELL := /bin/bash
PY ?=
NEWEST_PY3 := $(shell bash scripts/pythons.sh newest-python3)
PY27 := $(shell bash scripts/pythons.sh has 2.7 && echo 2.7)
RUN_PY := $(or $(PY),$(NEWEST_PY3))
venv_python = $(if $(filter 2.7,$(1)),.venv,.venv-$(1))/bin/python
PYTHON := $(call venv_python,$(RUN_PY))
# make test: the whole suite under the newest Python 3 and 2.7 (the Python
# the module was written for), the two at once.
TEST_PYTHONS := $(strip $(or $(PY),$(NEWEST_PY3) $(PY27)))
# make check: the whole suite under 2.7 and 3.14 (the current release); the
# module's own tests (all but the host program's and the compare tool's,
# which are plain Python) under 3.15 and the debug 3.14d, whose assertions
# check every call into the C API; the sanitizer runs under 2.7 and 3.13,
# the two ends, whose calls differ in kind (Python 2.7's fast paths, Python
# 3's vectorcall and lookup cache). The ordinary user's make test (the
# system's python3, 3.11 on Debian 12) covers 3.11, the last of the lookup
# cache's version numbers.
CHECK_PYTHONS := 2.7 3.14
CHECK_MODULE_PYTHONS := 3.15 3.14d
CHECK_SANITIZE_PYTHONS := 2.7 3.13
# The Python of the installed use that runs as root: one that no
# environment of the checkout uses.
CHECK_INSTALLED_PY := 3.12
ROOT_PYTHONS := 3.14 3.15 3.14d 3.15d
# make compare runs the compare tool under the newest Python 3, outside the
# Debian root, and the learner's file, in the tool's sandbox, under that
# Python too, or under PY: learners write Python 3 (f-strings, print());
# PY=2.7 for a Python 2 file, which the report itself suggests when a file
# compiles only there; PY=3.14 runs it on the Debian root's.
COMPARE_PY := $(NEWEST_PY3)
COMPARE_PYTHON := $(call venv_python,$(COMPARE_PY))
# A command of a Python of the Debian root runs inside the root.
in_env = $(if $(and $(filter $(1),$(ROOT_PYTHONS)),$(if $(MOVRA_IN_DEBIAN_ROOT),,root)),bash scripts/debian_root.sh run)
IN_ENV := $(call in_env,$(RUN_PY))
ARGS ?=
PYTEST_ARGS ?=
export PYTEST_ARGS

.PHONY: setup build test check run compare autograder check-autograder clean distclean python

# Set-up and build of the Python(s) a command names; make check's set-up has
# lanes of its own.
setup: python
	bash scripts/setup.sh $(TEST_PYTHONS)

build: python
	bash scripts/build.sh $(TEST_PYTHONS)

test: python
	bash scripts/setup.sh $(TEST_PYTHONS)
	bash scripts/test.sh $(TEST_PYTHONS)

check:
	@test -z "$(PY)" || { echo "make check: runs every lane; make test PY=$(PY) runs one Python" >&2; exit 2; }
	@test "$$(id -u)" -eq 0 || { echo "make check: needs root (the Debian root, an unprivileged user of its own); make test is the lane without root" >&2; exit 2; }
	bash scripts/setup.sh --check $(sort $(CHECK_PYTHONS) $(CHECK_MODULE_PYTHONS) $(CHECK_SANITIZE_PYTHONS))
	bash scripts/test.sh $(CHECK_PYTHONS) --module $(CHECK_MODULE_PYTHONS) --sanitize $(CHECK_SANITIZE_PYTHONS)
	bash scripts/installed_use.sh $(CHECK_INSTALLED_PY)
	bash scripts/unprivileged.sh
	$(MAKE) --no-print-directory check-autograder

python:
	@test -n "$(RUN_PY)" || { echo "make: no Python 3 found: neither pyenv's nor /usr/bin/python3.x (Debian: apt-get install python3); PY=<version> names one" >&2; exit 2; }

run: python
	bash scripts/setup.sh $(RUN_PY)
	$(IN_ENV) $(PYTHON) host/KestMain.py $(if $(MODULE),--module $(MODULE)) $(ARGS)

# make compare IMPL=path/to/Movra.py (or a class folder or .zip) [OUT=dir]
#              [JSON=file] [ARGS="--ignore-output ..."]
compare: python
	@test -n "$(COMPARE_PY)" || { echo "make compare: the compare tool runs under Python 3, and none was found" >&2; exit 2; }
	@test -n "$(IMPL)" || { echo "make compare: say which file, e.g. make compare IMPL=src/Movra.py" >&2; exit 2; }
	bash scripts/setup.sh $(sort $(COMPARE_PY) $(PY))
	$(COMPARE_PYTHON) host/KestCompare.py $(IMPL) $(if $(OUT),--out $(OUT)) $(if $(JSON),--json $(JSON)) $(if $(PY),--python $(PY)) $(ARGS)

clean:
	rm -rf build .pytest_cache
	find src tests host -name '*.pyc' -delete 2>/dev/null || true
	find src tests host -name __pycache__ -type d -prune -exec rm -rf {} + 2>/dev/null || true

distclean: clean
	rm -rf .venv .venv-* wheels

# Speed, robustness and memory checks, under the newest Python 3 unless PY
# says otherwise (CONTRIBUTING.md describes each):
#   make bench     per-frame, per-tick and per-builder figures of the compiled
#                  module, its Python listing and the floors, on a no-op GL,
#                  into bench/results/; then the host's headless time and
#                  peak memory (bench/headless.py); then what a learner waits
#                  for, one file and a class of 40 (bench/compare_speed.py),
#                  and what the sandbox costs a class (bench/compare_class.py)
#   make fuzz      the property-based differential fuzzer, FUZZ_EXAMPLES
#                  (default 5000) examples of each property, then 10^6 calls
#                  watching reference counts and memory, then (Python 3) a
#                  failed allocation at every allocation of the import, a
#                  frame and the read-back (scripts/fuzz_memory.py)
#   make memcheck  the recording-GL tests under valgrind memcheck
#   make sanitize  the module built with ASan + UBSan and assertions on, in
#                  build/sanitize/<version>/; the recording-GL tests and a
#                  short fuzz run against it (part of make check)
.PHONY: bench fuzz memcheck sanitize

bench: python
	bash scripts/setup.sh $(sort $(RUN_PY) $(COMPARE_PY))
	$(IN_ENV) $(PYTHON) bench/bench.py
	$(IN_ENV) $(PYTHON) bench/headless.py
	$(COMPARE_PYTHON) bench/compare_speed.py
	$(COMPARE_PYTHON) bench/compare_class.py

autograder: python
	bash scripts/setup.sh $(COMPARE_PY)
	$(COMPARE_PYTHON) host/KestCompare.py --autograder-bundle $(or $(OUT),out/autograder) $(ARGS)

check-autograder: python
	bash scripts/setup.sh $(COMPARE_PY)
	PYTHONPATH=$(CURDIR)/host/recordgl $(COMPARE_PYTHON) -m pytest tests/test_compare_autograder.py -m autograder -q -p no:cacheprovider

fuzz: python
	bash scripts/setup.sh $(RUN_PY)
	$(IN_ENV) $(PYTHON) scripts/fuzz.py
	$(IN_ENV) $(PYTHON) scripts/fuzz_leaks.py
	for phase in import frame print; do for burst in 1 3; do \
	    $(IN_ENV) $(PYTHON) scripts/fuzz_memory.py $$phase --burst $$burst --quiet || exit 1; done; done

memcheck: python
	bash scripts/setup.sh --check $(RUN_PY)
	$(IN_ENV) bash scripts/memcheck.sh $(RUN_PY) $(PYTEST_ARGS)

sanitize: python
	bash scripts/setup.sh $(RUN_PY)
	$(IN_ENV) bash scripts/sanitize.sh $(RUN_PY) $(PYTEST_ARGS)
