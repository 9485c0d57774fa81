# What the runs of the suite under a memory checker (memcheck.sh,
# sanitize.sh) share. Sourcing it sets ROOT to the checkout, goes there and
# sources scripts/pythons.sh; the rest are functions.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
# shellcheck source=scripts/pythons.sh
. "$ROOT/scripts/pythons.sh"

# Checks that Python $1 is one of the project's, and sets VENV_PY to the
# interpreter of its environment; exits otherwise.
checked_python() {
    check_python_version "$1" || exit 1
    VENV_PY=$ROOT/$(venv_python "$1")
}

# Routes Python $1's small-object allocator to malloc, so that every Python
# object is a heap block of its own, which the checker watches: Python 3
# through PYTHONMALLOC (exported here); 2.7, which has no such switch,
# through bench/memcheck/pymalloc_off.c, built here, which the caller
# preloads. Sets MALLOC_SHIM to that library on 2.7, to nothing on 3.x.
small_objects_to_malloc() {
    MALLOC_SHIM=
    if [ "$1" != 2.7 ]; then
        export PYTHONMALLOC=malloc
        return 0
    fi
    local source=$ROOT/bench/memcheck/pymalloc_off.c
    MALLOC_SHIM=$ROOT/build/memcheck/pymalloc_off.so
    mkdir -p "$(dirname "$MALLOC_SHIM")"
    if [ ! -f "$MALLOC_SHIM" ] || [ "$source" -nt "$MALLOC_SHIM" ]; then
        gcc -O2 -shared -fPIC -o "$MALLOC_SHIM" "$source"
    fi
}

# The tests that draw on the recording GL alone, as a marker expression for
# pytest -m (pytest.ini lists the markers): all but those of the host program
# and of the scripts, and those that draw with a real OpenGL (Mesa's
# JIT-compiled rasteriser and an X server).
RECORDING_GL_TESTS='not host and not scripts and not realgl'
