#!/usr/bin/env bash
# Runs the whole test suite under each given Python (default: 2.7), each in
# its own environment on the recording GL (host/recordgl first on the path),
# then the check that keeps the benchmark's tight floor in step with the
# listing, and passes only if every run passed. Setup has run before (make
# test).
#
#   bash scripts/test.sh [VERSION...]      PYTEST_ARGS: extra pytest arguments
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
# shellcheck source=scripts/pythons.sh
. "$ROOT/scripts/pythons.sh"

VERSIONS=("$@")
[ ${#VERSIONS[@]} -gt 0 ] || VERSIONS=(2.7)
split_pythons "${VERSIONS[@]}"
failed=()
for version in "${PYENV_VERSIONS[@]}"; do
    echo "test: Python $version"
    status=0
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
    [ $status -eq 0 ] || failed+=("$version (status $status)")
done
# The Pythons of the Debian root run there, in one go.
if [ ${#DEBIAN_VERSIONS[@]} -gt 0 ]; then
    bash "$ROOT/scripts/debian_root.sh" run bash scripts/test.sh "${DEBIAN_VERSIONS[@]}" ||
        failed+=("${DEBIAN_VERSIONS[*]} (in the Debian root)")
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "test: FAILED under Python ${failed[*]}" >&2
    exit 1
fi
echo "test: passed under Python ${VERSIONS[*]}"
