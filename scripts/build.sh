#!/usr/bin/env bash
# Build the Movra extension and install it into the virtual environment .venv/
# (made by scripts/setup.sh).  The build is incremental: only C++ sources
# whose source, included headers or compile flags changed are recompiled,
# and the install step copies only what changed.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
VENV_PY=$ROOT/.venv/bin/python

[ -x "$VENV_PY" ] ||
    { echo "build: ERROR: $VENV_PY not found: run 'make setup' first" >&2; exit 1; }

mkdir -p build
if ! "$VENV_PY" setup.py -q install --single-version-externally-managed \
        --record build/install-record.txt; then
    echo "build: ERROR: building or installing the Movra extension failed (see the output above)" >&2
    exit 1
fi
