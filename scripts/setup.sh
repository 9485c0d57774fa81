#!/usr/bin/env bash
# Prepare this checkout for building, testing and running Movra under the
# given Pythons (default: the newest Python 3 this machine has):
#   1. Debian packages (compiler, GL/GLU/GLUT, Xvfb, chromium, bubblewrap;
#      with --check also valgrind), installed when run as root; anyone else
#      is given the one apt-get line to run as root, and set-up stops there
#   and for each Python version:
#   2. its interpreter from pyenv (else the system's /usr/bin/python3.x), or
#      for 3.14 and 3.15 (and their debug builds 3.14d, 3.15d) Debian's,
#      inside the Debian root, as root only: the steps below for those run
#      in there (scripts/debian_root.sh makes it when missing)
#   3. its virtual environment (.venv/ for 2.7, .venv-<version>/ otherwise)
#      with the pins of requirements/<version>.txt
#   4. the host/ folder on that environment's sys.path (.pth file)
#   5. the Movra extension built and installed into it (scripts/build.sh),
#      unless nothing it is built from changed since the last install
#
#   bash scripts/setup.sh [--check] [VERSION...]
# Safe to rerun: each step checks first and does nothing when nothing is
# missing.  Every failure prints one "setup: ERROR:" line and exits non-zero.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
# shellcheck source=scripts/pythons.sh
. "$ROOT/scripts/pythons.sh"

PY2_ONLY_DEPS=$ROOT/scripts/py2-only-deps.txt
WHEELS=$ROOT/wheels

note() { echo "setup: $*"; }
die() { echo "setup: ERROR: $*" >&2; exit 1; }

# ---------------------------------------------------------------- Debian ---
# What `make test` needs of the machine. Debian 12 names GLUT's development
# package libglut-dev; freeglut3-dev is the older (transitional) name and is
# accepted too. x11-utils (xwininfo) finds a window on an Xvfb screen;
# mesa-utils (glxinfo) shows which GL renderer a screen offers. chromium and
# chromium-driver: the tests of the compare tool's class page load it in a
# real browser, through selenium. bubblewrap: the sandbox in which the
# compare tool runs learners' code.
APT_PACKAGES=(g++ make libglu1-mesa-dev libgl1-mesa-dri xvfb xauth x11-utils
              mesa-utils chromium chromium-driver bubblewrap)
GLUT_PACKAGES=(libglut-dev freeglut3-dev)
# What `make check` needs besides (--check): valgrind for `make memcheck`;
# debootstrap, when the Debian root's Pythons are wanted, to make the root.
CHECK_PACKAGES=(valgrind)

apt_status() {
    # Prints "name" for each of the given packages that is installed.
    dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "$@" 2>/dev/null |
        awk '$2 == "ii" { print $1 }' || true
}

# A system interpreter (/usr/bin/python3.11, Debian's python3) builds the
# module with its headers and makes its environment with its venv module:
# the packages python3.x-dev and python3.x-venv.
system_python_packages() {
    local version interpreter
    for version in "$@"; do
        interpreter=$(find_interpreter "$version" 2>/dev/null) || continue
        [ "$interpreter" = "/usr/bin/python$version" ] || continue
        APT_PACKAGES+=("python$version-dev")
        [ "$version" = 2.7 ] || APT_PACKAGES+=("python$version-venv")
    done
}

# Installs what is missing of APT_PACKAGES and one of GLUT_PACKAGES, as root.
# Anyone else is told the one apt-get line to run as root, and set-up stops:
# it installs nothing outside the checkout.
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
        echo "setup: these Debian packages are missing; as root, run:" >&2
        echo "    apt-get install ${missing[*]}" >&2
        die "then run this again (set-up installs nothing outside the checkout as $(id -un))"
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
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: Python 2.7's PyOpenGL needs $dir/libglut.so.3; as root, run:" >&2
        echo "    ln -s $(basename "$target") $dir/libglut.so.3" >&2
        die "then run this again"
    fi
    note "linking $dir/libglut.so.3 -> $(basename "$target") for PyOpenGL"
    ln -sfn "$(basename "$target")" "$dir/libglut.so.3" ||
        die "could not create $dir/libglut.so.3"
}

# ------------------------------------------------- one Python version ---
# Sets VERSION, PY (the pyenv interpreter), VENV, VENV_PY and REQS.
select_python() {
    VERSION=$1
    check_python_version "$VERSION" 2>/dev/null || die "$(check_python_version "$VERSION" 2>&1 | sed 's/^ERROR: //')"
    local found
    found=$(find_interpreter "$VERSION" 2>&1) || die "${found#ERROR: }"
    PY=$found
    local got
    # A debug interpreter says "3.14d": the "d" of its ABI.
    got=$("$PY" -c 'import sys; print("%d.%d%s" % (sys.version_info[:2] + ("d" if hasattr(sys, "gettotalrefcount") else "",)))' 2>&1) ||
        die "$PY does not run: $got"
    [ "$got" = "$VERSION" ] || die "$PY is Python $got, not $VERSION"
    VENV=$ROOT/$(venv_dir "$VERSION")
    VENV_PY=$VENV/bin/python
    REQS=$ROOT/requirements/$VERSION.txt
    [ -f "$REQS" ] || die "no pinned requirements for Python $VERSION ($REQS is missing)"
}

venv_ok() {
    # The interpreter it was made from is written down at creation.
    [ -x "$VENV_PY" ] &&
        [ "$(cat "$VENV/.movra-interpreter" 2>/dev/null)" = "$(readlink -f "$PY")" ] &&
        "$VENV_PY" -c 'import sys' >/dev/null 2>&1
}

ensure_venv() {
    venv_ok && return 0
    note "creating the virtual environment $VENV (Python $VERSION)"
    rm -rf "$VENV"
    if [ "$VERSION" = 2.7 ]; then
        if ! "$PY" -m virtualenv --version >/dev/null 2>&1; then
            note "installing virtualenv<20.22 into Python $VERSION"
            "$PY" -m pip install -q 'virtualenv<20.22' ||
                die "could not install virtualenv<20.22 with $PY -m pip (output above)"
        fi
        # --no-periodic-update: no background process fetching newer seed wheels.
        "$PY" -m virtualenv -q --no-periodic-update -p "$PY" "$VENV" ||
            die "virtualenv could not create $VENV (output above)"
    elif root_python "$VERSION"; then
        # Debian's numpy, PyOpenGL, pytest, ... of the root, seen from the venv.
        "$PY" -m venv --system-site-packages "$VENV" ||
            die "python -m venv could not create $VENV (output above)"
    else
        "$PY" -m venv "$VENV" || die "python -m venv could not create $VENV (output above)"
    fi
    readlink -f "$PY" >"$VENV/.movra-interpreter"
    venv_ok || die "$VENV was created but $VENV_PY is not a working Python $VERSION"
}

# ----------------------------------------------------- pinned packages ---
requirements_key() {
    {
        echo "interpreter $(readlink -f "$PY")"
        cat "$REQS"
    } | sha256sum | cut -d' ' -f1
}

# Offline route for when Python 2.7's pip cannot reach the package index
# (its old TLS stack, say): python3's pip downloads Python 2.7 wheels into
# wheels/, and the virtual environment installs from there without an index.
install_from_downloaded_wheels() {
    local py3 abi arch
    py3=$(command -v python3 2>/dev/null) ||
        die "Python 2.7's pip could not install $REQS and python3 (for the download fallback) is not found"
    abi=$("$VENV_PY" -c 'import sys; print("cp27mu" if sys.maxunicode > 0xffff else "cp27m")')
    arch=$(uname -m)
    local target=(--python-version 27 --implementation cp --abi "$abi"
                  --platform "manylinux1_$arch" --platform "manylinux2010_$arch")
    note "falling back: downloading Python 2.7 wheels into $WHEELS with $py3"
    mkdir -p "$WHEELS"
    "$py3" -m pip download -q --dest "$WHEELS" --only-binary=:all: "${target[@]}" -r "$REQS" ||
        die "python3's pip could not download the Python 2.7 wheels of $REQS (output above)"
    "$py3" -m pip download -q --dest "$WHEELS" --no-deps "${target[@]}" -r "$PY2_ONLY_DEPS" ||
        die "python3's pip could not download the packages of $PY2_ONLY_DEPS (output above)"
    "$VENV_PY" -m pip install -q --no-index --find-links "$WHEELS" -r "$REQS" ||
        die "installing $REQS from $WHEELS failed (output above)"
}

ensure_requirements() {
    local key stamp=$VENV/.movra-requirements.stamp
    key=$(requirements_key)
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] && return 0

    rm -f "$stamp"
    note "installing $(basename "$REQS") into $VENV"
    if ! "$VENV_PY" -m pip install -q --disable-pip-version-check -r "$REQS"; then
        [ "$VERSION" = 2.7 ] || die "pip could not install $REQS into $VENV (output above)"
        note "Python 2.7's pip could not install $REQS"
        install_from_downloaded_wheels
    fi
    local check
    check=$("$VENV_PY" -c 'import numpy, OpenGL, pytest, PIL, hypothesis, setuptools, wheel' 2>&1) ||
        die "$REQS installed but the packages do not import: $check"
    echo "$key" >"$stamp"
}

# ------------------------------------------------- host/ on sys.path ---
# A .pth file appends host/ to sys.path after PYTHONPATH, so the recording GL
# put on PYTHONPATH (host/recordgl) still takes precedence over the real
# modules.
ensure_host_path() {
    local site pth
    site=$("$VENV_PY" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])') ||
        die "could not ask $VENV_PY for its site-packages"
    [ -d "$site" ] || die "site-packages of $VENV not found at $site"
    pth=$site/movra-host.pth
    if [ "$(cat "$pth" 2>/dev/null)" != "$ROOT/host" ]; then
        echo "$ROOT/host" >"$pth"
    fi
}

# ------------------------------------------------------ the extension ---
# Everything the installed module is built from, and the interpreter.
build_key() {
    {
        echo "interpreter $(readlink -f "$PY")"
        find src host/KestDrawHelperFunctions.py host/kesthost host/kestcompare host/recordgl \
            setup.py pyproject.toml -type f \
            ! -name '*.pyc' -print0 | sort -z | xargs -0 sha256sum
    } | sha256sum | cut -d' ' -f1
}

ensure_built() {
    local key stamp=$VENV/.movra-build.stamp
    key=$(build_key)
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] &&
        "$VENV_PY" -c 'import Movra' >/dev/null 2>&1 && return 0
    rm -f "$stamp"
    bash "$ROOT/scripts/build.sh" "$VERSION"
    echo "$key" >"$stamp"
}

CHECK=no
VERSIONS=()
for argument in "$@"; do
    case $argument in
        --check) CHECK=yes ;;
        *) VERSIONS+=("$argument") ;;
    esac
done
if [ ${#VERSIONS[@]} -eq 0 ]; then
    newest=$(newest_python3) || die "no Python 3 found: neither pyenv's nor /usr/bin/python3.x (Debian: apt-get install python3)"
    VERSIONS=("$newest")
fi
for version in "${VERSIONS[@]}"; do
    check_python_version "$version" 2>/dev/null || die "$(check_python_version "$version" 2>&1 | sed 's/^ERROR: //')"
done

split_pythons "${VERSIONS[@]}"
# The Debian root's part (on a fresh machine the root itself, debootstrap
# then its packages, mostly downloads; then its Pythons' environments and
# builds) runs beside pyenv's environments, into build/setup-debian-root.log,
# which is shown when it ends. The machine's own packages come first,
# debootstrap among them, so that the two never run apt-get at once; each
# Python builds in folders of its own (setup.py).
# The Debian root brings its own system packages (scripts/debian_root.sh).
if ! in_debian_root && { [ ${#PYENV_VERSIONS[@]} -gt 0 ] || [ "$CHECK" = yes ]; }; then
    system_python_packages "${PYENV_VERSIONS[@]}"
    if [ "$CHECK" = yes ]; then APT_PACKAGES+=("${CHECK_PACKAGES[@]}"); fi
    [ ${#DEBIAN_VERSIONS[@]} -eq 0 ] || APT_PACKAGES+=(debootstrap)
    ensure_debian_packages
    case " ${PYENV_VERSIONS[*]} " in
        *" 2.7 "*) ensure_glut_name ;;
    esac
fi
root_pid=
ROOT_LOG=$ROOT/build/setup-debian-root.log
if [ ${#DEBIAN_VERSIONS[@]} -gt 0 ]; then
    mkdir -p "$ROOT/build"
    note "Python ${DEBIAN_VERSIONS[*]} in the Debian root, beside pyenv's (${ROOT_LOG#"$ROOT"/})"
    bash "$ROOT/scripts/debian_root.sh" run bash scripts/setup.sh "${DEBIAN_VERSIONS[@]}" \
        >"$ROOT_LOG" 2>&1 &
    root_pid=$!
    trap '[ -z "$root_pid" ] || kill "$root_pid" 2>/dev/null || true' EXIT
fi
for version in "${PYENV_VERSIONS[@]}"; do
    select_python "$version"
    ensure_venv
    ensure_requirements
    ensure_host_path
    ensure_built
done
if [ -n "$root_pid" ]; then
    root_status=0
    wait "$root_pid" || root_status=$?
    root_pid=
    cat "$ROOT_LOG"
    [ $root_status -eq 0 ] || die "the set-up of the Debian root failed (output above)"
fi
