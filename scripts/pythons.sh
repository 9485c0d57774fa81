# Which Pythons the project runs on, and where each one's environment lives.
# Sourced by the other scripts; defines functions only.
#
#   2.7                    -> pyenv's 2.7.18, environment .venv/
#   3.8 3.9 ... 3.13       -> pyenv's newest 3.x.*, environment .venv-3.x/
# Each environment installs requirements/<version>.txt.

SUPPORTED_PYTHONS="2.7 3.8 3.9 3.10 3.11 3.12 3.13"

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

# The interpreter pyenv holds for a version: the newest x.y.z of it.
find_interpreter() {
    local version=$1 pyenv root full
    pyenv=$(pyenv_command) || {
        echo "ERROR: pyenv not found (not on PATH, nor in \$PYENV_ROOT/bin or ~/.pyenv/bin)" >&2
        return 1
    }
    root=$("$pyenv" root) || { echo "ERROR: 'pyenv root' failed" >&2; return 1; }
    full=$(ls -1 "$root/versions" 2>/dev/null | grep -E "^${version//./\\.}\.[0-9]+$" |
           sort -t. -k3,3n | tail -n 1)
    if [ -z "$full" ] || [ ! -x "$root/versions/$full/bin/python$version" ]; then
        echo "ERROR: Python $version is not installed under pyenv ($root/versions holds: $(ls -1 "$root/versions" 2>/dev/null | tr '\n' ' '))" >&2
        return 1
    fi
    echo "$root/versions/$full/bin/python$version"
}
