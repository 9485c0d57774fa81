#!/usr/bin/env bash
# Movra as a new user installs and drives it: `pip install .` of this
# checkout into a fresh virtual environment, with the versions of
# requirements/<version>.txt as constraints (for the build's own environment
# too), so that it installs what the suite was tested with and pip's cache
# serves it; then, from empty folders outside the checkout, with no
# PYTHONPATH:
#   * the command `movra` without a screen: exit 0, and in an empty folder
#     3 PNG frames and an animated GIF of 3 frames, nothing else;
#     `python -m kesthost --help` exits 0;
#   * the command `movra-compare`: exit 0 and "identical" for a copy of the
#     listing (src/Movra.py), exit 1 and a `sign` hint for a copy with one
#     sign changed; `python -m kestcompare --help` exits 0;
#   * the example of a host of one's own in docs/api.md, cut from the file
#     as it stands: without a screen (no DISPLAY) it must exit 0 and leave
#     movra.png, a frame of 2 x sizeViewport square pixels in more than one
#     colour; with a screen (an Xvfb of this script's own) its window must be
#     shown (xwininfo finds it by the title the example gives it, viewable)
#     and the example still running RUNNING seconds later, having printed no
#     error and written no file.
# Everything lives in a temporary folder that is removed at the end.
#
#   bash scripts/installed_use.sh [VERSION | system]
# VERSION: pyenv's Python of that version (default 3.12, which no
# environment of the checkout uses); system: the system's python3, which an
# ordinary user has (scripts/unprivileged.sh runs it so).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/pythons.sh
. "$ROOT/scripts/pythons.sh"
VERSION=${1:-3.12}
RUNNING=3

die() { echo "installed use: FAILED: $*" >&2; exit 1; }

if [ "$VERSION" = system ]; then
    python=$(command -v python3) || die "no python3 on PATH"
    VERSION=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
else
    python=$(find_interpreter "$VERSION") || exit 1
fi
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
started=$SECONDS
echo "installed use: pip install . into a fresh environment of $python (Python $VERSION)"
"$python" -m venv "$work/venv"
PIP_CONSTRAINT=$pins "$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$ROOT" \
    >"$work/pip.log" 2>&1 || { cat "$work/pip.log" >&2; die "pip install . failed"; }
echo "installed use: installed in $((SECONDS - started)) s"
bin=$work/venv/bin
# A command as a user runs it: from an empty folder of its own, no PYTHONPATH.
in_folder() {
    local folder=$work/$1
    shift
    mkdir "$folder"
    (cd "$folder" && env -u PYTHONPATH "$@")
}

# ------------------------------------------------------------- movra ---
echo "installed use: movra --frames 3 --out frames, without a screen"
in_folder movra env -u DISPLAY "$bin/movra" --frames 3 --out frames >"$work/movra.out" 2>&1 ||
    { cat "$work/movra.out" >&2; die "movra exited with status $?"; }
found=$(cd "$work/movra" && find . -mindepth 1 | sort | tr '\n' ' ')
[ "$found" = "./frames ./frames/frame_0000.png ./frames/frame_0001.png ./frames/frame_0002.png ./frames/movra.gif " ] ||
    die "movra left $found in its empty folder"
"$bin/python" - "$work/movra/frames" <<'EOF' || die "movra's files are not the frames they should be"
import os
import sys
from PIL import Image
folder = sys.argv[1]
gif = Image.open(os.path.join(folder, 'movra.gif'))
assert gif.n_frames == 3, gif.n_frames
for number in range(3):
    frame = Image.open(os.path.join(folder, 'frame_%04d.png' % number)).convert('RGB')
    assert frame.size == (700, 700) and len(frame.getcolors(700 * 700)) > 1, frame.size
print('installed use: movra wrote 3 frames of 700x700 and a GIF of 3 frames')
EOF
in_folder movra-m "$bin/python" -m kesthost --help >"$work/movra-m.out" 2>&1 ||
    { cat "$work/movra-m.out" >&2; die "python -m kesthost --help exited with status $?"; }
grep -q '^usage: python -m kesthost ' "$work/movra-m.out" ||
    { cat "$work/movra-m.out" >&2; die "python -m kesthost --help printed no usage line of its own"; }

# ----------------------------------------------------- movra-compare ---
# One sign of the listing changed: the first camera's view volume turned by
# +pan where Movra turns it by -pan.
MINE='    glRotatef(-pan, 0, 1, 0)'
[ "$(grep -cxF -- "$MINE" "$ROOT/src/Movra.py")" = 1 ] ||
    die "the listing no longer holds the line '$MINE' exactly once"
echo "installed use: movra-compare on a copy of the listing"
mkdir "$work/listing"
cp "$ROOT/src/Movra.py" "$work/listing/Movra.py"
status=0
in_folder compare-same "$bin/movra-compare" "$work/listing/Movra.py" --out report \
    >"$work/same.out" 2>&1 || status=$?
[ $status -eq 0 ] && [ "$(tail -n 1 "$work/same.out")" = identical ] ||
    { cat "$work/same.out" >&2; die "movra-compare on the listing's copy: status $status, not 0 and 'identical'"; }
[ -f "$work/compare-same/report/report.json" ] || die "movra-compare wrote no report/report.json"
echo "installed use: movra-compare on a copy with one sign changed"
mkdir "$work/sign"
sed "s/^$MINE\$/    glRotatef(pan, 0, 1, 0)/" "$ROOT/src/Movra.py" >"$work/sign/Movra.py"
status=0
in_folder compare-sign "$bin/movra-compare" "$work/sign/Movra.py" --out report \
    >"$work/sign.out" 2>&1 || status=$?
[ $status -eq 1 ] && grep -q '^hint  *sign: ' "$work/sign.out" ||
    { cat "$work/sign.out" >&2; die "movra-compare on a sign mistake: status $status, not 1 with a sign hint"; }
in_folder compare-m "$bin/python" -m kestcompare --help >"$work/compare-m.out" 2>&1 ||
    { cat "$work/compare-m.out" >&2; die "python -m kestcompare --help exited with status $?"; }

# -------------------------------------------------- a host of one's own ---
# The first python block after the section's heading, as docs/api.md shows it.
awk '/^## Writing a host of your own/ { section = 1 }
     section && /^```python$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside { print }' "$ROOT/docs/api.md" >"$work/my_host.py"
[ -s "$work/my_host.py" ] || die "docs/api.md has no python example under 'Writing a host of your own'"
mkdir "$work/run"
cd "$work/run"

echo "installed use: the host of one's own of docs/api.md without a screen"
env -u DISPLAY -u PYTHONPATH "$bin/python" "$work/my_host.py" >"$work/headless.out" 2>&1 ||
    { cat "$work/headless.out" >&2; die "the example without a screen exited with status $?"; }
"$bin/python" - "$work/run/movra.png" <<'EOF' || die "movra.png is not the frame it should be"
import sys
from PIL import Image
import Movra
image = Image.open(sys.argv[1]).convert('RGB')
side = 2 * Movra.sizeViewport
colours = image.getcolors(side * side)
assert image.size == (side, side) and len(colours) > 1, (image.size, colours and len(colours))
print('installed use: movra.png, %dx%d, %d colours' % (side, side, len(colours)))
EOF

# What a failure to reach the display needs to be understood: the server's
# own log, the display's socket and lock files, and every X server running
# (another one, in a mount namespace of its own, may hold the display's
# abstract socket, which clients try first).
x_servers() {
    echo "installed use: Xvfb's log:"; cat "$work/xvfb.log"
    echo "installed use: the files of display :$1:"
    ls -la "/tmp/.X11-unix/X$1" "/tmp/.X$1-lock" 2>&1
    echo "installed use: the sockets of display :$1 (/proc/net/unix):"
    grep -F "/tmp/.X11-unix/X$1" /proc/net/unix || echo "(none)"
    echo "installed use: the X servers running:"
    ps -eo pid,user,etime,args | grep -E '[X]vfb|[X]org' || echo "(none)"
}
echo "installed use: the host of one's own of docs/api.md with a screen"
exec {displayfd}<> <(:)
# -noreset: the window is looked for with xwininfo, whose every ending
# would reset a server without it and refuse the program's connection then.
Xvfb -displayfd "$displayfd" -screen 0 800x800x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
read -r -t 30 -u "$displayfd" number || die "Xvfb did not start: $(cat "$work/xvfb.log")"
env -u PYTHONPATH DISPLAY=":$number" "$bin/python" "$work/my_host.py" >"$work/window.out" 2>&1 &
host_pid=$!
title=$(sed -n "s/^glutCreateWindow(b\?'\([^']*\)')$/\1/p" "$work/my_host.py")
[ -n "$title" ] || die "the example creates no window with a title of its own"
shown=
for _ in $(seq 150); do
    kill -0 "$host_pid" 2>/dev/null || break
    if DISPLAY=":$number" xwininfo -name "$title" 2>/dev/null | grep -q 'Map State: IsViewable'; then
        shown=1
        break
    fi
    sleep 0.1
done
[ -n "$shown" ] || {
    cat "$work/window.out" >&2
    x_servers "$number" >&2
    die "the example with a screen showed no window '$title'"
}
sleep "$RUNNING"
kill -0 "$host_pid" 2>/dev/null ||
    { cat "$work/window.out" >&2; die "the example with a screen stopped within $RUNNING s of showing its window"; }
[ ! -s "$work/window.out" ] || { cat "$work/window.out" >&2; die "the example with a screen printed the above"; }
[ ! -e "$work/run/movra.png" ] || [ "$work/run/movra.png" -ot "$work/headless.out" ] ||
    die "the example with a screen wrote movra.png"
echo "installed use: passed under Python $VERSION in $((SECONDS - started)) s (movra, movra-compare, and the window '$title' shown and running for $RUNNING s on display :$number)"
