"""Stand-in for OpenGL.GLUT: recorded functions and the real constant values."""
from __future__ import absolute_import

import glfake as _rec

_rec.fill_stand_in(globals(), 'GLUT', _rec.GLUT_CONSTS, _rec.GLUT_FUNCS)
