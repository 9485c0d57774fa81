#!/usr/bin/env bash
# Runs the test suite under each given Python, each in its own environment on
# the recording GL (host/recordgl first on the path): the whole suite under
# the Pythons named first, then the check that keeps the benchmark's tight
# floor in step with the listing; the module's tests alone under the Pythons
# named after --module (all but the tests of the host program and of the
# compare tool, which are Python code and as such run under the first ones);
# with --sanitize, then the sanitizer runs (scripts/sanitize.sh) of the
# Pythons named after it. Passes only if every run passed. Setup has run
# before (make test). Each run says how long it took.
#
#   bash scripts/test.sh [VERSION...] [--module VERSION...] [--sanitize VERSION...]
#                                           PYTEST_ARGS: extra pytest arguments
#
# The Pythons of the Debian root run in it, in one go, beside the others: two
# lanes at once, one on pyenv's interpreters (their suites, then the sanitizer
# runs), one in the root, which writes to build/test-debian-root.log and is
# shown when it ends. The machine has two cores, and much of a suite waits on
# its subprocesses; the root runs in a network namespace of its own, so that
# the X servers of the two lanes cannot take the same display.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
# shellcheck source=scripts/pythons.sh
. "$ROOT/scripts/pythons.sh"

VERSIONS=()
MODULE=()
SANITIZE=()
list=
for argument in "$@"; do
    case $list/$argument in
        */--module | */--sanitize) list=$argument ;;
        --module/*) MODULE+=("$argument") ;;
        --sanitize/*) SANITIZE+=("$argument") ;;
        *) VERSIONS+=("$argument") ;;
    esac
done
[ ${#VERSIONS[@]} -gt 0 ] || [ ${#MODULE[@]} -gt 0 ] || VERSIONS=(2.7)

# The module's own tests: every test file but the host program's and the
# compare tool's.
MODULE_TESTS=()
for file in tests/test_*.py; do
    case $file in
        tests/test_host_*|tests/test_compare*) ;;
        *) MODULE_TESTS+=("$file") ;;
    esac
done

# The suite under one Python, the whole one or (with `module`) the module's
# tests: its status.
suite() {
    local version=$1 part=${2:-whole} status=0 started=$SECONDS
    local tests=(tests) examples=${FUZZ_TEST_EXAMPLES:-150}
    # The module's tests alone draw 50 examples of each fuzzer property, the
    # whole suite 150.
    [ "$part" = whole ] || { tests=("${MODULE_TESTS[@]}"); examples=${FUZZ_TEST_EXAMPLES:-50}; }
    echo "test: Python $version, the $part suite"
    # shellcheck disable=SC2086
    FUZZ_TEST_EXAMPLES=$examples PYTHONPATH="$ROOT/host/recordgl" \
        "$ROOT/$(venv_python "$version")" -m pytest "${tests[@]}" -q ${PYTEST_ARGS:-} ||
        status=$?
    # pytest exits 5 when it collected no test: that is a failure here too.
    if [ $status -eq 5 ]; then echo "test: pytest collected no tests under tests/" >&2; fi
    # The benchmark's check runs on the no-op GL of bench/, in a process of
    # its own: the suite's process has imported the recording GL.
    if [ $status -eq 0 ] && [ "$part" = whole ] && [ -z "${PYTEST_ARGS:-}" ]; then
        "$ROOT/$(venv_python "$version")" -m pytest bench/test_floor_programs.py -q \
            -p no:cacheprovider || status=$?
    fi
    echo "test: Python $version, the $part suite: status $status after $((SECONDS - started)) s"
    return $status
}

split_pythons "${MODULE[@]}"
MODULE_PYENV=("${PYENV_VERSIONS[@]}")
MODULE_DEBIAN=("${DEBIAN_VERSIONS[@]}")
split_pythons "${VERSIONS[@]}"

ROOT_LOG=$ROOT/build/test-debian-root.log
root_pid=
ROOT_VERSIONS=("${DEBIAN_VERSIONS[@]}" "${MODULE_DEBIAN[@]}")
if [ ${#ROOT_VERSIONS[@]} -gt 0 ]; then
    mkdir -p "$ROOT/build"
    echo "test: Python ${ROOT_VERSIONS[*]} in the Debian root, beside the others (${ROOT_LOG#"$ROOT"/})"
    MOVRA_ROOT_NETWORK=private bash "$ROOT/scripts/debian_root.sh" run \
        bash scripts/test.sh "${DEBIAN_VERSIONS[@]}" --module "${MODULE_DEBIAN[@]}" \
        >"$ROOT_LOG" 2>&1 &
    root_pid=$!
fi

failed=()
for version in "${PYENV_VERSIONS[@]}"; do
    suite "$version" || failed+=("$version (status $?)")
done
for version in "${MODULE_PYENV[@]}"; do
    suite "$version" module || failed+=("$version (the module suite, status $?)")
done
# Here the sanitizer runs draw fewer fuzz examples than `make sanitize` does
# alone (150 of each property, 50 in the suite's short run): their examples
# add to those of the suites before them, and CI's two cores are the limit.
for version in "${SANITIZE[@]}"; do
    started=$SECONDS
    SANITIZE_FUZZ_EXAMPLES=${SANITIZE_FUZZ_EXAMPLES:-50} FUZZ_TEST_EXAMPLES=${FUZZ_TEST_EXAMPLES:-30} \
        bash "$ROOT/scripts/sanitize.sh" "$version" ${PYTEST_ARGS:-} ||
        failed+=("$version (the sanitizer run)")
    echo "test: Python $version, the sanitizer run: done after $((SECONDS - started)) s"
done

if [ -n "$root_pid" ]; then
    root_status=0
    wait "$root_pid" || root_status=$?
    echo "test: ---- the Debian root (${ROOT_VERSIONS[*]}), from ${ROOT_LOG#"$ROOT"/}:"
    cat "$ROOT_LOG"
    [ $root_status -eq 0 ] || failed+=("${ROOT_VERSIONS[*]} (in the Debian root)")
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "test: FAILED under Python ${failed[*]}" >&2
    exit 1
fi
echo "test: passed under Python ${VERSIONS[*]}${MODULE[*]:+, the module tests under ${MODULE[*]}}${SANITIZE[*]:+, sanitizer runs under ${SANITIZE[*]}}"
