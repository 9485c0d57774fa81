#!/usr/bin/env bash
# Build the Movra extension with setuptools and install it into the virtual
# environment of each given Python (default: 2.7), made by scripts/setup.sh.
# setuptools rebuilds the extension when a source or header is newer than it.
#
#   bash scripts/build.sh [VERSION...]
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
# shellcheck source=scripts/pythons.sh
. "$ROOT/scripts/pythons.sh"

die() { echo "build: ERROR: $*" >&2; exit 1; }

VERSIONS=("$@")
[ ${#VERSIONS[@]} -gt 0 ] || VERSIONS=(2.7)
split_pythons "${VERSIONS[@]}"
if [ ${#DEBIAN_VERSIONS[@]} -gt 0 ]; then
    bash "$ROOT/scripts/debian_root.sh" run bash scripts/build.sh "${DEBIAN_VERSIONS[@]}"
fi
for version in "${PYENV_VERSIONS[@]}"; do
    check_python_version "$version" 2>/dev/null || die "$(check_python_version "$version" 2>&1 | sed 's/^ERROR: //')"
    venv_py=$ROOT/$(venv_python "$version")
    [ -x "$venv_py" ] || die "$venv_py not found: run 'make setup PY=$version' first"
    wheels=$ROOT/build/wheels/$version
    rm -rf "$wheels"
    mkdir -p "$ROOT/build"
    echo "build: Movra for Python $version"
    # Python 2.7's pip copies the whole tree before it builds, so under 2.7
    # setuptools builds the wheel itself; later pips build in place.
    if [ "$version" = 2.7 ]; then
        "$venv_py" setup.py -q bdist_wheel -d "$wheels" >"$ROOT/build/build-$version.log" 2>&1 ||
            { cat "$ROOT/build/build-$version.log" >&2; die "building the Movra wheel for Python $version failed (output above)"; }
    else
        "$venv_py" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
            -w "$wheels" . >"$ROOT/build/build-$version.log" 2>&1 ||
            { cat "$ROOT/build/build-$version.log" >&2; die "building the Movra wheel for Python $version failed (output above)"; }
    fi
    grep -i 'warning:' "$ROOT/build/build-$version.log" | grep -v -i 'byte-compiling is disabled' >&2 || true
    "$venv_py" -m pip install -q --disable-pip-version-check --no-deps --no-index \
        --force-reinstall "$wheels"/*.whl ||
        die "installing the Movra wheel into $(venv_dir "$version") failed (output above)"
done
