#!/usr/bin/env bash
# Runs the whole test suite under each given Python (default: 2.7), each in
# its own environment on the recording GL (host/recordgl first on the path),
# then the check that keeps the benchmark's tight floor in step with the
# listing; with --sanitize, then the sanitizer runs (scripts/sanitize.sh) of
# the Pythons named after it. Passes only if every run passed. Setup has run
# before (make test).
#
#   bash scripts/test.sh [VERSION...] [--sanitize VERSION...]
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
SANITIZE=()
while [ $# -gt 0 ]; do
    if [ "$1" = --sanitize ]; then
        shift
        SANITIZE=("$@")
        break
    fi
    VERSIONS+=("$1")
    shift
done
[ ${#VERSIONS[@]} -gt 0 ] || VERSIONS=(2.7)
split_pythons "${VERSIONS[@]}"

# The suite under one Python: its status.
suite() {
    local version=$1 status=0
    echo "test: Python $version"
    # shellcheck disable=SC2086
    PYTHONPATH="$ROOT/host/recordgl" "$ROOT/$(venv_python "$version")" -m pytest tests -q \
        ${PYTEST_ARGS:-} || status=$?
    # pytest exits 5 when it collected no test: that is a failure here too.
    if [ $status -eq 5 ]; then echo "test: pytest collected no tests under tests/" >&2; fi
    # The benchmark's check runs on the no-op GL of bench/, in a process of
    # its own: the suite's process has imported the recording GL.
    if [ $status -eq 0 ] && [ -z "${PYTEST_ARGS:-}" ]; then
        "$ROOT/$(venv_python "$version")" -m pytest bench/test_floor_programs.py -q \
            -p no:cacheprovider || status=$?
    fi
    return $status
}

ROOT_LOG=$ROOT/build/test-debian-root.log
root_pid=
if [ ${#DEBIAN_VERSIONS[@]} -gt 0 ]; then
    mkdir -p "$ROOT/build"
    echo "test: Python ${DEBIAN_VERSIONS[*]} in the Debian root, beside the others (${ROOT_LOG#"$ROOT"/})"
    MOVRA_ROOT_NETWORK=private bash "$ROOT/scripts/debian_root.sh" run \
        bash scripts/test.sh "${DEBIAN_VERSIONS[@]}" >"$ROOT_LOG" 2>&1 &
    root_pid=$!
fi

failed=()
for version in "${PYENV_VERSIONS[@]}"; do
    suite "$version" || failed+=("$version (status $?)")
done
for version in "${SANITIZE[@]}"; do
    bash "$ROOT/scripts/sanitize.sh" "$version" ${PYTEST_ARGS:-} ||
        failed+=("$version (the sanitizer run)")
done

if [ -n "$root_pid" ]; then
    root_status=0
    wait "$root_pid" || root_status=$?
    echo "test: ---- the Debian root (${DEBIAN_VERSIONS[*]}), from ${ROOT_LOG#"$ROOT"/}:"
    cat "$ROOT_LOG"
    [ $root_status -eq 0 ] || failed+=("${DEBIAN_VERSIONS[*]} (in the Debian root)")
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "test: FAILED under Python ${failed[*]}" >&2
    exit 1
fi
echo "test: passed under Python ${VERSIONS[*]}${SANITIZE[*]:+, sanitizer runs under ${SANITIZE[*]}}"
