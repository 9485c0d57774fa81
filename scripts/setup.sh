#!/usr/bin/env bash
# Prepare this checkout for building, testing and running Movra:
#   1. Debian packages (compiler, GL/GLU/GLUT, Xvfb, valgrind)
#   2. Python 2.7.18 from pyenv
#   3. a virtual environment at .venv/ with the pins of requirements.txt
#   4. the host/ folder on the virtual environment's sys.path (.pth file)
#   5. the Movra extension built and installed into .venv/ (scripts/build.sh)
# Safe to rerun: each step checks first and does nothing when nothing is
# missing.  Every failure prints one "setup: ERROR:" line and exits non-zero.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

PY27_VERSION=2.7.18
VENV=$ROOT/.venv
VENV_PY=$VENV/bin/python
REQS=$ROOT/requirements.txt
PY2_ONLY_DEPS=$ROOT/scripts/py2-only-deps.txt
REQ_STAMP=$VENV/.movra-requirements.stamp
WHEELS=$ROOT/wheels

note() { echo "setup: $*"; }
die() { echo "setup: ERROR: $*" >&2; exit 1; }

# ---------------------------------------------------------------- Debian ---
# Debian 12 names GLUT's development package libglut-dev; freeglut3-dev is
# the older (transitional) name and is accepted too.
# x11-utils (xdpyinfo) tells when an Xvfb screen is ready; mesa-utils
# (glxinfo) shows which GL renderer a screen offers.
APT_PACKAGES=(g++ make libglu1-mesa-dev libgl1-mesa-dri xvfb xauth x11-utils
              mesa-utils valgrind)
GLUT_PACKAGES=(libglut-dev freeglut3-dev)

apt_status() {
    # Prints "name" for each of the given packages that is installed.
    dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "$@" 2>/dev/null |
        awk '$2 == "ii" { print $1 }' || true
}

ensure_debian_packages() {
    command -v dpkg-query >/dev/null 2>&1 ||
        die "dpkg-query not found: this script needs Debian's dpkg and apt-get"

    local installed missing=() pkg
    installed=$(apt_status "${APT_PACKAGES[@]}" "${GLUT_PACKAGES[@]}")
    for pkg in "${APT_PACKAGES[@]}"; do
        grep -qx -- "$pkg" <<<"$installed" || missing+=("$pkg")
    done
    local glut_ok=no
    for pkg in "${GLUT_PACKAGES[@]}"; do
        grep -qx -- "$pkg" <<<"$installed" && glut_ok=yes
    done
    [ ${#missing[@]} -eq 0 ] && [ "$glut_ok" = yes ] && return 0

    if [ "$(id -u)" -ne 0 ]; then
        [ "$glut_ok" = yes ] || missing+=("libglut-dev")
        die "missing Debian packages: ${missing[*]} (run as root, or: apt-get install ${missing[*]})"
    fi
    command -v apt-get >/dev/null 2>&1 || die "apt-get not found: cannot install ${missing[*]}"

    apt-get update -qq || die "apt-get update failed (output above)"
    if [ "$glut_ok" = no ]; then
        if apt-cache show libglut-dev >/dev/null 2>&1; then
            missing+=(libglut-dev)
        else
            missing+=(freeglut3-dev)
        fi
    fi
    note "installing Debian packages: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null ||
        die "apt-get install ${missing[*]} failed (run it by hand to see why)"

    installed=$(apt_status "${missing[@]}")
    for pkg in "${missing[@]}"; do
        grep -qx -- "$pkg" <<<"$installed" ||
            die "Debian package $pkg is still not installed after apt-get install"
    done
}

# PyOpenGL 3.1.5 loads GLUT by the names libglut.so.9 ... libglut.so.0 only,
# while Debian 12's freeglut 3.4 is libglut.so.3.12: without a libglut.so.3
# every GLUT call fails with NullFunctionError.  The dynamic loader finds a
# libglut.so.3 link in the multiarch library folder.
ensure_glut_name() {
    local dir target name
    dir=/usr/lib/$(gcc -dumpmachine)
    compgen -G "$dir/libglut.so.[0-9]" >/dev/null && return 0
    target=
    for name in "$dir"/libglut.so.3.*; do
        [ -e "$name" ] || continue
        if [ -z "$target" ] || [ ${#name} -lt ${#target} ]; then target=$name; fi
    done
    [ -n "$target" ] || die "GLUT's shared library (libglut.so.3.*) not found in $dir"
    [ "$(id -u)" -eq 0 ] ||
        die "PyOpenGL needs $dir/libglut.so.3 (run as root, or: ln -s $(basename "$target") $dir/libglut.so.3)"
    note "linking $dir/libglut.so.3 -> $(basename "$target") for PyOpenGL"
    ln -sfn "$(basename "$target")" "$dir/libglut.so.3" ||
        die "could not create $dir/libglut.so.3"
}

# ------------------------------------------------------------ Python 2.7 ---
find_python27() {
    local pyenv_bin
    pyenv_bin=$(command -v pyenv 2>/dev/null || true)
    if [ -z "$pyenv_bin" ]; then
        for pyenv_bin in "${PYENV_ROOT:-}/bin/pyenv" "$HOME/.pyenv/bin/pyenv"; do
            [ -x "$pyenv_bin" ] && break
            pyenv_bin=
        done
    fi
    [ -n "$pyenv_bin" ] ||
        die "pyenv not found (not on PATH, nor in \$PYENV_ROOT/bin or ~/.pyenv/bin): Python $PY27_VERSION is expected at \$(pyenv root)/versions/$PY27_VERSION"

    local root
    root=$("$pyenv_bin" root) || die "'pyenv root' failed"
    PY27=$root/versions/$PY27_VERSION/bin/python2.7
    if [ ! -x "$PY27" ]; then
        local versions
        versions=$("$pyenv_bin" versions --bare 2>&1 | tr '\n' ' ')
        die "Python $PY27_VERSION is not installed under pyenv: $PY27 is missing ('pyenv versions' shows: ${versions:-nothing})"
    fi
    local got
    got=$("$PY27" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])' 2>&1) ||
        die "$PY27 does not run: $got"
    [ "$got" = "$PY27_VERSION" ] || die "$PY27 is Python $got, not $PY27_VERSION"
    [ -f "$root/versions/$PY27_VERSION/include/python2.7/Python.h" ] ||
        die "Python.h of Python $PY27_VERSION is missing ($root/versions/$PY27_VERSION/include/python2.7/Python.h)"
}

# -------------------------------------------------- virtual environment ---
venv_ok() {
    [ -x "$VENV_PY" ] &&
        "$VENV_PY" -c "import sys; sys.exit(sys.version_info[:3] != (${PY27_VERSION//./, }))" \
            >/dev/null 2>&1
}

ensure_venv() {
    venv_ok && return 0
    if ! "$PY27" -m virtualenv --version >/dev/null 2>&1; then
        note "installing virtualenv<20.22 into Python $PY27_VERSION"
        "$PY27" -m pip install -q 'virtualenv<20.22' ||
            die "could not install virtualenv<20.22 with $PY27 -m pip (output above)"
    fi
    note "creating the virtual environment $VENV"
    rm -rf "$VENV"
    # --no-periodic-update: no background process fetching newer seed wheels.
    "$PY27" -m virtualenv -q --no-periodic-update -p "$PY27" "$VENV" ||
        die "virtualenv could not create $VENV (output above)"
    venv_ok || die "$VENV was created but $VENV_PY is not a working Python $PY27_VERSION"
}

# ----------------------------------------------------- pinned packages ---
requirements_key() {
    {
        echo "interpreter $(readlink -f "$PY27")"
        cat "$REQS"
    } | sha256sum | cut -d' ' -f1
}

# Offline route for when Python 2.7's pip cannot reach the package index
# (its old TLS stack, say): python3's pip downloads Python 2.7 wheels into
# wheels/, and the virtual environment installs from there without an index.
install_from_downloaded_wheels() {
    local py3 abi arch
    py3=$(command -v python3 2>/dev/null) ||
        die "Python 2.7's pip could not install requirements.txt and python3 (for the download fallback) is not found"
    abi=$("$VENV_PY" -c 'import sys; print("cp27mu" if sys.maxunicode > 0xffff else "cp27m")')
    arch=$(uname -m)
    local target=(--python-version 27 --implementation cp --abi "$abi"
                  --platform "manylinux1_$arch" --platform "manylinux2010_$arch")
    note "falling back: downloading Python 2.7 wheels into $WHEELS with $py3"
    mkdir -p "$WHEELS"
    "$py3" -m pip download -q --dest "$WHEELS" --only-binary=:all: "${target[@]}" -r "$REQS" ||
        die "python3's pip could not download the Python 2.7 wheels of requirements.txt (output above)"
    "$py3" -m pip download -q --dest "$WHEELS" --no-deps "${target[@]}" -r "$PY2_ONLY_DEPS" ||
        die "python3's pip could not download the packages of $PY2_ONLY_DEPS (output above)"
    "$VENV_PY" -m pip install -q --no-index --find-links "$WHEELS" -r "$REQS" ||
        die "installing requirements.txt from $WHEELS failed (output above)"
}

ensure_requirements() {
    local key
    key=$(requirements_key)
    [ -f "$REQ_STAMP" ] && [ "$(cat "$REQ_STAMP")" = "$key" ] && return 0

    rm -f "$REQ_STAMP"
    note "installing requirements.txt into $VENV"
    if ! "$VENV_PY" -m pip install -q -r "$REQS"; then
        note "Python 2.7's pip could not install requirements.txt"
        install_from_downloaded_wheels
    fi
    local check
    check=$("$VENV_PY" -c 'import numpy, OpenGL, pytest, PIL' 2>&1) ||
        die "requirements.txt installed but the packages do not import: $check"
    echo "$key" >"$REQ_STAMP"
}

# ------------------------------------------------- host/ on sys.path ---
# A .pth file appends host/ to sys.path after PYTHONPATH, so a folder of test
# fakes put on PYTHONPATH still takes precedence over the real modules.
ensure_host_path() {
    local site pth
    site=$VENV/lib/python2.7/site-packages
    [ -d "$site" ] || die "site-packages of $VENV not found at $site"
    pth=$site/movra-host.pth
    if [ "$(cat "$pth" 2>/dev/null)" != "$ROOT/host" ]; then
        echo "$ROOT/host" >"$pth"
    fi
}

ensure_debian_packages
ensure_glut_name
find_python27
ensure_venv
ensure_requirements
ensure_host_path
bash "$ROOT/scripts/build.sh"
