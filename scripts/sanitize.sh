#!/usr/bin/env bash
# Builds the Movra extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and with assertions on, in a folder of its own (build/sanitize/<version>/),
# and runs against that build the parts of the test suite that draw on the
# recording GL plus a short run of the differential fuzzer (scripts/fuzz.py).
#
# The build is setup.py's normal one with the sanitizer flags added from the
# environment (CFLAGS, CXXFLAGS, LDFLAGS): Python's own compile flags define
# NDEBUG, and -UNDEBUG, which comes after them on the command line, undefines
# it again.
# The installed module in the virtual environment is not touched.
#
# At run time:
#  * the ASan runtime is preloaded first, as ASan needs when the program
#    itself (python) is not instrumented; libstdc++ is preloaded right after
#    it, so that ASan's interceptor of C++ throws finds the real one (python
#    does not load libstdc++ until the module is imported, too late for it);
#  * Python's small-object allocator is routed to malloc, so that every
#    Python object is a heap block of its own and a freed one is poisoned:
#    under 2.7 bench/memcheck/pymalloc_off.c, preloaded (as memcheck.sh does);
#    under 3.x PYTHONMALLOC=malloc;
#  * every report aborts the process (halt/abort on error, no recovery from
#    UBSan checks) and is also written to build/sanitize/<version>/reports/,
#    which must stay empty: a report from a child process that a test starts
#    fails the run even if that test does not look at its exit status;
#  * leak detection is off: the interpreter leaks at exit by design.
#
# Left out, as in memcheck.sh: the host program's and the scripts' tests and
# those that draw with a real OpenGL (the markers host, scripts and realgl),
# and those of the compare tool (compare), which runs learners' code in
# processes of its own (one of them crashes on purpose).
#
#   bash scripts/sanitize.sh VERSION [pytest arguments...]
# Environment: SANITIZE_FUZZ_EXAMPLES, the number of examples of each fuzzer
# property in the fuzz run (default 150; 0 leaves the fuzz run out);
# FUZZ_TEST_EXAMPLES, the same for the fuzzer's short run inside the test
# suite (default 50 here: the fuzz run after it is the longer one).
# Exit status 0 when the tests and the fuzz run passed and no report was made.
set -euo pipefail

# shellcheck source=scripts/checked_runs.sh
. "$(dirname "${BASH_SOURCE[0]}")/checked_runs.sh"
VERSION=${1:-2.7}
shift || true
checked_python "$VERSION"
OUT=$ROOT/build/sanitize/$VERSION
LIB=$OUT/lib
REPORTS=$OUT/reports
FUZZ_EXAMPLES=${SANITIZE_FUZZ_EXAMPLES:-150}
export FUZZ_TEST_EXAMPLES=${FUZZ_TEST_EXAMPLES:-50}

die() { echo "sanitize: ERROR: $*" >&2; exit 1; }

[ -x "$VENV_PY" ] || die "$VENV_PY not found: run 'make setup PY=$VERSION' first"

ASAN_RUNTIME=$(gcc -print-file-name=libasan.so)
[ -f "$ASAN_RUNTIME" ] || die "gcc has no AddressSanitizer runtime (libasan.so not found)"
CXX_RUNTIME=$(readlink -f "$(g++ -print-file-name=libstdc++.so)")
[ -f "$CXX_RUNTIME" ] || die "libstdc++.so not found"

# ------------------------------------------------------------------ build ---
SAN_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
export CFLAGS="$SAN_FLAGS -g -UNDEBUG -D_GLIBCXX_ASSERTIONS"
# The setuptools of Python 3 compiles C++ with CXXFLAGS in place of CFLAGS.
export CXXFLAGS="$CFLAGS"
export LDFLAGS="$SAN_FLAGS"
mkdir -p "$OUT"
# setuptools rebuilds when a source or header changed; a change of the flags
# themselves forces a full rebuild.
force=()
if [ "$(cat "$OUT/flags" 2>/dev/null)" != "$CFLAGS | $CXXFLAGS | $LDFLAGS" ]; then force=(--force); fi
echo "sanitize: building Movra for Python $VERSION with ASan + UBSan, assertions on, in ${OUT#"$ROOT"/}"
"$VENV_PY" setup.py -q build_ext "${force[@]}" --build-temp "$OUT/temp" --build-lib "$LIB" \
    >"$OUT/build.log" 2>&1 || { cat "$OUT/build.log" >&2; die "the sanitizer build failed (output above)"; }
echo "$CFLAGS | $CXXFLAGS | $LDFLAGS" >"$OUT/flags"
unset CFLAGS CXXFLAGS LDFLAGS
# The build puts a copy of host/KestDrawHelperFunctions.py beside the module;
# with this folder first on the path it would hide the recording helpers.
rm -f "$LIB"/KestDrawHelperFunctions.py*

SO=$(ls "$LIB"/Movra*.so 2>/dev/null | head -n 1)
[ -n "$SO" ] || die "no Movra*.so in $LIB after the build"
symbols=$(nm -D "$SO")
for wanted in __asan_report_load __ubsan_handle_ __assert_fail; do
    grep -q "$wanted" <<<"$symbols" || die "$SO does not call $wanted*: the flags did not reach the compiler"
done

# -------------------------------------------------------------- run-time ---
preload="$ASAN_RUNTIME:$CXX_RUNTIME"
small_objects_to_malloc "$VERSION"
if [ -n "$MALLOC_SHIM" ]; then
    preload="$preload:$MALLOC_SHIM"
fi
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
export LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:strict_string_checks=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"
export PYTHONPATH="$LIB:$ROOT/host/recordgl"
# ASan's redzones make every native frame several times larger, while the
# interpreter's guard against deep C recursion counts calls, not bytes, under
# 3.12 and 3.13 (10,000 of them): the module's own recursion, which the guard
# stops at that count within about 2 MB of stack uninstrumented, needs more
# than the usual 8 MB here. A larger stack keeps the guard, not the stack's
# end, the one that stops it.
if [ "$(ulimit -s)" != unlimited ] && [ "$(ulimit -s)" -lt 65536 ]; then
    ulimit -s 65536 || die "cannot raise the stack limit to 64 MB for the sanitizer build"
fi

# The module the tests import must be this build.
found=$("$VENV_PY" -c 'import Movra; print(Movra.__file__)') || die "the sanitizer build does not import"
[ "$found" = "$SO" ] || die "'import Movra' loads $found, not $SO"

marked="$RECORDING_GL_TESTS and not compare"
status=0
echo "sanitize: the tests marked '$marked' against the sanitizer build"
"$VENV_PY" -m pytest -q -p no:cacheprovider tests -m "$marked" "$@" || status=$?
if [ "$FUZZ_EXAMPLES" -gt 0 ]; then
    echo "sanitize: fuzz run, $FUZZ_EXAMPLES examples of each property"
    "$VENV_PY" scripts/fuzz.py --fixed-seed --examples "$FUZZ_EXAMPLES" || { s=$?; [ $status -ne 0 ] || status=$s; }
fi

reports=$(ls "$REPORTS")
if [ -n "$reports" ]; then
    for report in "$REPORTS"/*; do
        echo "sanitize: ---- ${report#"$ROOT"/}" >&2
        head -n 60 "$report" >&2
    done
    echo "sanitize: FAILED: $(wc -l <<<"$reports") sanitizer report(s) in ${REPORTS#"$ROOT"/}" >&2
    [ $status -ne 0 ] || status=98
elif [ $status -ne 0 ]; then
    echo "sanitize: FAILED (status $status), no sanitizer report" >&2
else
    echo "sanitize: passed under Python $VERSION, no sanitizer report"
fi
exit $status
