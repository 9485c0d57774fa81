"""Test stand-in for the PyOpenGL package (see the package glfake beside it).

Importing it never touches a display or a GL library, so the extension
module's import-time lookups and drawing code can run in plain tests.
"""
from __future__ import absolute_import

import glfake as _rec

_rec.check_broken('OpenGL')

__version__ = '3.1.5'
ERROR_CHECKING = True
