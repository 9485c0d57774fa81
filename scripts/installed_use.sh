#!/usr/bin/env bash
# The module as a new user installs and drives it: `pip install .` of this
# checkout into a fresh virtual environment of pyenv's Python VERSION
# (default 3.12, which no environment of the checkout uses), with the
# versions of requirements/VERSION.txt as constraints (for the build's own
# environment too), so that it installs what the suite was tested with and
# pip's cache serves it; then README's
# example of "Using the module from your own host", cut from README.md as it
# stands, run from an empty folder outside the checkout:
#   * without a screen (no DISPLAY) it must exit 0 and leave movra.png, a
#     frame of 2 x sizeViewport square pixels in more than one colour;
#   * with a screen (an Xvfb of this script's own) its window must be shown
#     (xwininfo finds it by the title the example gives it, viewable) and
#     the example still running RUNNING seconds later, having printed no
#     error and written no file.
# Everything lives in a temporary folder that is removed at the end.
#
#   bash scripts/installed_use.sh [VERSION]
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/pythons.sh
. "$ROOT/scripts/pythons.sh"
VERSION=${1:-3.12}
RUNNING=3

die() { echo "installed use: FAILED: $*" >&2; exit 1; }

python=$(find_interpreter "$VERSION") || exit 1
work=$(mktemp -d /tmp/movra-installed-XXXXXX)
xvfb_pid=
host_pid=
cleanup() {
    [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

pins=$ROOT/requirements/$VERSION.txt
[ -f "$pins" ] || die "no pinned packages for Python $VERSION: $pins"
echo "installed use: pip install . into a fresh Python $VERSION environment"
"$python" -m venv "$work/venv"
PIP_CONSTRAINT=$pins "$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$ROOT" \
    >"$work/pip.log" 2>&1 || { cat "$work/pip.log" >&2; die "pip install . failed"; }

# The first python block after the section's heading, as README shows it.
awk '/^## Using the module from your own host/ { section = 1 }
     section && /^```python$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside { print }' "$ROOT/README.md" >"$work/my_host.py"
[ -s "$work/my_host.py" ] || die "README.md has no python example under 'Using the module from your own host'"
mkdir "$work/run"
cd "$work/run"

echo "installed use: README's example without a screen"
env -u DISPLAY -u PYTHONPATH "$work/venv/bin/python" "$work/my_host.py" >"$work/headless.out" 2>&1 ||
    { cat "$work/headless.out" >&2; die "the example without a screen exited with status $?"; }
"$work/venv/bin/python" - "$work/run/movra.png" <<'EOF' || die "movra.png is not the frame it should be"
import sys
from PIL import Image
import Movra
image = Image.open(sys.argv[1]).convert('RGB')
side = 2 * Movra.sizeViewport
colours = image.getcolors(side * side)
assert image.size == (side, side) and len(colours) > 1, (image.size, colours and len(colours))
print('installed use: movra.png, %dx%d, %d colours' % (side, side, len(colours)))
EOF

echo "installed use: README's example with a screen"
exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 800x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
read -r -t 30 -u "$displayfd" number || die "Xvfb did not start: $(cat "$work/xvfb.log")"
env -u PYTHONPATH DISPLAY=":$number" "$work/venv/bin/python" "$work/my_host.py" >"$work/window.out" 2>&1 &
host_pid=$!
title=$(sed -n "s/^glutCreateWindow(b\?'\([^']*\)')$/\1/p" "$work/my_host.py")
[ -n "$title" ] || die "README's example creates no window with a title of its own"
shown=
for _ in $(seq 150); do
    kill -0 "$host_pid" 2>/dev/null || break
    if DISPLAY=":$number" xwininfo -name "$title" 2>/dev/null | grep -q 'Map State: IsViewable'; then
        shown=1
        break
    fi
    sleep 0.1
done
[ -n "$shown" ] || { cat "$work/window.out" >&2; die "the example with a screen showed no window '$title'"; }
sleep "$RUNNING"
kill -0 "$host_pid" 2>/dev/null ||
    { cat "$work/window.out" >&2; die "the example with a screen stopped within $RUNNING s of showing its window"; }
[ ! -s "$work/window.out" ] || { cat "$work/window.out" >&2; die "the example with a screen printed the above"; }
[ ! -e "$work/run/movra.png" ] || [ "$work/run/movra.png" -ot "$work/headless.out" ] ||
    die "the example with a screen wrote movra.png"
echo "installed use: passed (window '$title' shown and running for $RUNNING s on display :$number)"
