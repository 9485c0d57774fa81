"""Stand-in for OpenGL.GL: recorded functions and the real constant values.

Only the GL names are public (see __all__), so `from OpenGL.GL import *`
copies nothing of the recorder into the importing module.
"""
from __future__ import absolute_import

import glfake as _rec

_rec.check_broken('GL')

from OpenGL.error import GLError  # noqa: E402  (PyOpenGL exports it too)

globals().update(_rec.GL_CONSTS)
globals().update(_rec.GL_FUNCS)

__all__ = sorted(list(_rec.GL_CONSTS) + list(_rec.GL_FUNCS)
                 + ['GLError'])
