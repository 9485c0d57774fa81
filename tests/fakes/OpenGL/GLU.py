"""Stand-in for OpenGL.GLU: recorded functions and the real constant values.

Only the GLU names are public (see __all__), so `from OpenGL.GLU import *`
copies nothing of the recorder into the importing module.
"""
from __future__ import absolute_import

import glfake as _rec

_rec.check_broken('GLU')

from OpenGL.error import GLError  # noqa: E402  (PyOpenGL exports it too)

globals().update(_rec.GLU_CONSTS)
globals().update(_rec.GLU_FUNCS)

__all__ = sorted(list(_rec.GLU_CONSTS) + list(_rec.GLU_FUNCS)
                 + ['GLError'])
