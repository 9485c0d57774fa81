"""Stand-in for OpenGL.GLUT: recorded functions and the real constant values.

Only the GLUT names are public (see __all__), so `from OpenGL.GLUT import *`
copies nothing of the recorder into the importing module.
"""
from __future__ import absolute_import

import glfake as _rec

_rec.check_broken('GLUT')

globals().update(_rec.GLUT_CONSTS)
globals().update(_rec.GLUT_FUNCS)

__all__ = sorted(list(_rec.GLUT_CONSTS) + list(_rec.GLUT_FUNCS))
