"""Stand-in for OpenGL.GL: recorded functions, the real constant values, and
GLError, which PyOpenGL exports there too."""
from __future__ import absolute_import

import glfake as _rec

_rec.fill_stand_in(globals(), 'GL', _rec.GL_CONSTS, _rec.GL_FUNCS, _rec.GLError)
