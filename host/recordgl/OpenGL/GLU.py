"""Stand-in for OpenGL.GLU: recorded functions, the real constant values, and
GLError, which PyOpenGL exports there too."""
from __future__ import absolute_import

import glfake as _rec

_rec.fill_stand_in(globals(), 'GLU', _rec.GLU_CONSTS, _rec.GLU_FUNCS, _rec.GLError)
