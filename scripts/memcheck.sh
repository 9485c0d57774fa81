#!/usr/bin/env bash
# Runs the test suite under valgrind's memcheck, with Python's small-object
# allocator handed over to malloc (bench/memcheck/pymalloc_off.c, preloaded),
# so that every Python object is a heap block of its own: a use after free,
# an overrun or an uninitialised read of one is reported, and obmalloc's
# reads of memory it never wrote do not drown the report.  Definite leaks
# count as errors.
#
# Left out: the host program's and the scripts' tests and those that draw
# with a real OpenGL (the markers host, scripts and realgl), which run Mesa's
# JIT-compiled rasteriser and an X server.
# Child processes that tests start run without valgrind.
#
#   bash scripts/memcheck.sh VERSION [pytest arguments...]
# Exit status: pytest's, or 97 when memcheck found an error; the full report
# is in build/memcheck.log.
set -euo pipefail

# shellcheck source=scripts/checked_runs.sh
. "$(dirname "${BASH_SOURCE[0]}")/checked_runs.sh"
VERSION=${1:-2.7}
shift || true
checked_python "$VERSION"
LOG=build/memcheck.log

command -v valgrind >/dev/null 2>&1 ||
    { echo "memcheck: ERROR: valgrind not found (make setup installs it)" >&2; exit 1; }
[ -x "$VENV_PY" ] || { echo "memcheck: ERROR: $VENV_PY not found: run 'make setup'" >&2; exit 1; }

mapfile -t tests < <(recording_gl_tests)

echo "memcheck: ${#tests[@]} test files under valgrind (this takes several minutes); log: $LOG"
status=0
small_objects_to_malloc "$VERSION"
if [ -n "$MALLOC_SHIM" ]; then
    export LD_PRELOAD="$MALLOC_SHIM${LD_PRELOAD:+:$LD_PRELOAD}"
fi
PYTHONPATH="$ROOT/host/recordgl" \
    valgrind --tool=memcheck --error-exitcode=97 --num-callers=40 \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --log-file="$LOG" \
        "$VENV_PY" -m pytest -q -p no:cacheprovider tests -m "$RECORDING_GL_TESTS" "$@" || status=$?
grep -E "ERROR SUMMARY|definitely lost" "$LOG" | sed 's/^==[0-9]*== /memcheck: /'
# Python 3's interpreter, run here without its valgrind suppressions, makes
# reports of its own (uninitialised reads of its start-up, blocks it keeps
# until exit). Under Python 3 only the reports that pass through the module
# count: those whose stack names the extension or a source of it. A lost
# block that is a string (made by PyUnicode_New below the module's frames)
# is the interpreter's too: 3.13 keeps every string it interns, the names of
# attributes set from C among them, until exit, and loses them then. The
# module's own references, strings included, are counted exactly by the
# tests and by make fuzz.
if [ "$VERSION" != 2.7 ] && [ $status -eq 97 ]; then
    ours=$(awk -v module='Movra|src/(module|runtime|scene|transforms|viewports)/' '
        function close_record() {
            if (in_module && !(lost && a_string)) n++
            in_module = lost = a_string = started = 0
        }
        /^==[0-9]+== $/ { close_record(); next }
        {
            if (!started) { started = 1; lost = ($0 ~ /are definitely lost/) }
            if (!in_module && $0 ~ /: PyUnicode_New /) a_string = 1
            if ($0 ~ module) in_module = 1
        }
        END { close_record(); print n + 0 }' "$LOG")
    if [ "$ours" -eq 0 ]; then
        echo "memcheck: none of valgrind's reports passes through the module (the rest are the interpreter's own)"
        status=0
    else
        echo "memcheck: $ours of valgrind's reports pass through the module" >&2
    fi
fi
if [ $status -eq 97 ]; then
    echo "memcheck: valgrind reported errors (see $LOG)" >&2
fi
exit $status
