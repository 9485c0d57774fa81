# Which Pythons the project runs on, and where each one's environment lives.
# Sourced by the other scripts, it defines functions only; run, it answers
# the Makefile:
#   bash scripts/pythons.sh newest-python3   the newest Python 3 this machine
#                                            has outside the Debian root
#   bash scripts/pythons.sh has VERSION      status 0 when it has VERSION
#
#   2.7                    -> pyenv's 2.7.18, environment .venv/
#   3.8 3.9 ... 3.13       -> pyenv's newest 3.x.*, environment .venv-3.x/;
#                             where pyenv is missing or lacks it, the
#                             system's /usr/bin/python3.x (Debian's python3)
#   3.14 3.15              -> Debian's python3.14 and python3.15, inside the
#   3.14d 3.15d               Debian root (scripts/debian_root.sh); "d" is the
#                             debug interpreter (python3.14d), which checks
#                             every C-API call with assertions
# Each environment installs requirements/<version>.txt; those of the Debian
# root see Debian's packages through their system site-packages.

SUPPORTED_PYTHONS="2.7 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15 3.14d 3.15d"
ROOT_PYTHONS="3.14 3.15 3.14d 3.15d"

# Whether version $1 runs inside the Debian root.
root_python() {
    case " $ROOT_PYTHONS " in
        *" $1 "*) return 0 ;;
    esac
    return 1
}

# Whether this shell runs inside the Debian root.
in_debian_root() {
    [ "${MOVRA_IN_DEBIAN_ROOT:-}" = 1 ]
}

# Splits the versions $@ into PYENV_VERSIONS and DEBIAN_VERSIONS (arrays), in
# their order: those this shell runs itself and those it hands to the root.
split_pythons() {
    PYENV_VERSIONS=()
    DEBIAN_VERSIONS=()
    local version
    for version in "$@"; do
        if root_python "$version" && ! in_debian_root; then
            DEBIAN_VERSIONS+=("$version")
        else
            PYENV_VERSIONS+=("$version")
        fi
    done
}

# Fails with a one-line message unless $1 is a supported version.
check_python_version() {
    case " $SUPPORTED_PYTHONS " in
        *" $1 "*) return 0 ;;
    esac
    echo "ERROR: Python '$1' is not supported (choose one of: $SUPPORTED_PYTHONS)" >&2
    return 1
}

# The environment folder of a version, relative to the project root.
venv_dir() {
    if [ "$1" = 2.7 ]; then echo .venv; else echo ".venv-$1"; fi
}

venv_python() {
    echo "$(venv_dir "$1")/bin/python"
}

pyenv_command() {
    local candidate
    candidate=$(command -v pyenv 2>/dev/null || true)
    [ -n "$candidate" ] && { echo "$candidate"; return 0; }
    for candidate in "${PYENV_ROOT:-}/bin/pyenv" "$HOME/.pyenv/bin/pyenv"; do
        [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
    return 1
}

# The interpreter of a version: inside the Debian root Debian's own
# (/usr/bin/python3.14, /usr/bin/python3.14d), else the newest x.y.z of it
# that pyenv holds, else the system's pythonx.y (/usr/bin, /usr/local/bin).
find_interpreter() {
    local version=$1 pyenv root="" full="" system
    if root_python "$version"; then
        if ! in_debian_root; then
            echo "ERROR: Python $version runs inside the Debian root (scripts/debian_root.sh)" >&2
            return 1
        fi
        [ -x "/usr/bin/python$version" ] || {
            echo "ERROR: /usr/bin/python$version is missing from the Debian root" >&2
            return 1
        }
        echo "/usr/bin/python$version"
        return 0
    fi
    if pyenv=$(pyenv_command) && root=$("$pyenv" root 2>/dev/null); then
        full=$(ls -1 "$root/versions" 2>/dev/null | grep -E "^${version//./\\.}\.[0-9]+$" |
               sort -t. -k3,3n | tail -n 1)
        if [ -n "$full" ] && [ -x "$root/versions/$full/bin/python$version" ]; then
            echo "$root/versions/$full/bin/python$version"
            return 0
        fi
    fi
    for system in "/usr/local/bin/python$version" "/usr/bin/python$version"; do
        [ -x "$system" ] && { echo "$system"; return 0; }
    done
    if [ -z "$root" ]; then
        echo "ERROR: Python $version not found: neither pyenv (not on PATH, nor in \$PYENV_ROOT/bin or ~/.pyenv/bin) nor /usr/bin/python$version (Debian: apt-get install python$version)" >&2
    else
        echo "ERROR: Python $version is neither under pyenv ($root/versions holds: $(ls -1 "$root/versions" 2>/dev/null | tr '\n' ' ')) nor /usr/bin/python$version" >&2
    fi
    return 1
}

# The newest Python 3 of the project that this machine has outside the
# Debian root (pyenv's or the system's), inside it the root's own; nothing,
# with status 1, when there is none. Debug builds are never the default.
newest_python3() {
    local version
    for version in $(tr ' ' '\n' <<<"$SUPPORTED_PYTHONS" | grep -E '^3\.[0-9]+$' | sort -t. -k2,2nr); do
        root_python "$version" && ! in_debian_root && continue
        find_interpreter "$version" >/dev/null 2>&1 && { echo "$version"; return 0; }
    done
    return 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    case "${1:-}" in
        newest-python3) newest_python3 ;;
        has) [ -n "${2:-}" ] && check_python_version "$2" 2>/dev/null &&
                 find_interpreter "$2" >/dev/null 2>&1 ;;
        *) echo "usage: bash scripts/pythons.sh newest-python3 | has VERSION" >&2; exit 2 ;;
    esac
fi
