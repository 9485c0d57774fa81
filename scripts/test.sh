#!/usr/bin/env bash
# Runs the test suite under each given Python, each in its own environment on
# the recording GL (host/recordgl first on the path): the whole suite under
# the Pythons named first, then the check that keeps the benchmark's tight
# floor in step with the listing; the module's tests alone under the Pythons
# named after --module (all but the tests of the host program, of the
# compare tool and of the scripts, the markers host, compare and scripts:
# they are Python code and shell and as such run under the first ones); with --sanitize, then the sanitizer runs
# (scripts/sanitize.sh) of the Pythons named after it. Passes only if every
# run passed. Setup has run before (make test, make check). Each run says
# how long it took.
#
#   bash scripts/test.sh [VERSION...] [--module VERSION...] [--sanitize VERSION...]
#                                           PYTEST_ARGS: extra pytest arguments
#
# Two lanes run at once: the machine has two cores, and much of a suite
# waits on its subprocesses. The Pythons of the Debian root run in it, in one
# go, beside the others (their suites, then the sanitizer runs), writing to
# build/test-debian-root.log, shown when it ends; the root runs in a network
# namespace of its own, so that the X servers of the two lanes cannot take
# the same display. Without the root, the last of two or more whole suites
# runs beside the others in the same way, into build/test-<version>.log.
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

# No bytecode written into the checkout by any run: the other lane's suite
# checks that the compare tool's sandbox leaves the checkout's files as they
# were.
export PYTHONDONTWRITEBYTECODE=1

# The module's own tests: all but the host program's, the compare tool's
# and the scripts'.
MODULE_TESTS='not host and not compare and not scripts'

# The suite under one Python, the whole one or (with `module`) the module's
# tests: its status.
suite() {
    local version=$1 part=${2:-whole} status=0 started=$SECONDS
    local marked=() examples=${FUZZ_TEST_EXAMPLES:-150}
    # The module's tests alone draw 50 examples of each fuzzer property, the
    # whole suite 150.
    [ "$part" = whole ] || { marked=(-m "$MODULE_TESTS"); examples=${FUZZ_TEST_EXAMPLES:-50}; }
    echo "test: Python $version, the $part suite"
    # shellcheck disable=SC2086
    FUZZ_TEST_EXAMPLES=$examples PYTHONPATH="$ROOT/host/recordgl" \
        "$ROOT/$(venv_python "$version")" -m pytest tests "${marked[@]}" -q ${PYTEST_ARGS:-} ||
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
beside_pid=
BESIDE_LOG=
ROOT_VERSIONS=("${DEBIAN_VERSIONS[@]}" "${MODULE_DEBIAN[@]}")
mkdir -p "$ROOT/build"
if [ ${#ROOT_VERSIONS[@]} -gt 0 ]; then
    BESIDE_LOG=$ROOT_LOG
    BESIDE_NAME="the Debian root (${ROOT_VERSIONS[*]})"
    echo "test: Python ${ROOT_VERSIONS[*]} in the Debian root, beside the others (${ROOT_LOG#"$ROOT"/})"
    MOVRA_ROOT_NETWORK=private setsid bash "$ROOT/scripts/debian_root.sh" run \
        bash scripts/test.sh "${DEBIAN_VERSIONS[@]}" --module "${MODULE_DEBIAN[@]}" \
        >"$ROOT_LOG" 2>&1 &
    beside_pid=$!
elif [ ${#PYENV_VERSIONS[@]} -gt 1 ]; then
    last=${PYENV_VERSIONS[${#PYENV_VERSIONS[@]}-1]}
    unset 'PYENV_VERSIONS[${#PYENV_VERSIONS[@]}-1]'
    BESIDE_LOG=$ROOT/build/test-$last.log
    BESIDE_NAME="Python $last"
    echo "test: Python $last beside the others (${BESIDE_LOG#"$ROOT"/})"
    setsid bash "$ROOT/scripts/test.sh" "$last" >"$BESIDE_LOG" 2>&1 &
    beside_pid=$!
fi
# The lane beside is a process group of its own (setsid), which an interrupted
# or failed run ends whole.
trap '[ -z "$beside_pid" ] || kill -- "-$beside_pid" 2>/dev/null || true' EXIT

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

if [ -n "$beside_pid" ]; then
    beside_status=0
    wait "$beside_pid" || beside_status=$?
    beside_pid=
    echo "test: ---- $BESIDE_NAME, from ${BESIDE_LOG#"$ROOT"/}:"
    cat "$BESIDE_LOG"
    [ $beside_status -eq 0 ] || failed+=("$BESIDE_NAME")
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "test: FAILED under Python ${failed[*]}" >&2
    exit 1
fi
echo "test: passed under Python ${VERSIONS[*]}${MODULE[*]:+, the module tests under ${MODULE[*]}}${SANITIZE[*]:+, sanitizer runs under ${SANITIZE[*]}}"
