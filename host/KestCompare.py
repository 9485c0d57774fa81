#!/usr/bin/env python
"""Compare an implementation of the module with Movra: the entry point of
`make compare`.

    python host/KestCompare.py IMPL [--out DIR] [--json FILE] [options]

IMPL is a learner's plain-Python Movra.py, or a folder or .zip of a class.
The tool itself is the package kestcompare/ beside this file (one module
per job; see kestcompare/__init__.py); `--help` lists the options.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from kestcompare.cli import main  # noqa: E402

if __name__ == '__main__':
    sys.exit(main())
