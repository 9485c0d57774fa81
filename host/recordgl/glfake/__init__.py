"""Recording, simulating stand-in for the parts of PyOpenGL that Movra uses.

The fake packages OpenGL.GL, OpenGL.GLU and OpenGL.GLUT (beside this
package) export the functions and constants defined here.  Every call is
appended to ``calls`` as ``(name, args)`` with ``args`` exactly as passed, and the
fixed-function state that matters to the scene (matrix stacks, viewport,
clear values, enables, ...) is simulated in float64 so that tests can read
where things end up.

Behaviour copied from PyOpenGL 3.1.5 on Mesa, so that a fault that would
break the real program also breaks under the fake:

* a float (Python or numpy) given for an integer parameter, or a
  non-number for a float parameter, raises ``ctypes.ArgumentError``
  ("argument N: <type 'exceptions.TypeError'>: wrong type" on 2.7, in this
  Python's own words on 3.x);
* too few arguments raise ``TypeError``;
* GL errors (stack overflow/underflow, invalid enum/value/operation) raise
  ``GLError`` right after the offending call, except between glBegin and
  glEnd where the check is suspended and the first pending error is raised
  by glEnd;
* glGet* return numpy scalars / arrays of the same dtype and shape as the
  real wrappers (glGetDoublev of a matrix is the 4x4 float64 array in
  OpenGL's column-by-column order), glIsEnabled returns int, glGetError
  long on 2.7 and int on 3.x.

For the bench, record_nothing(function) before the stand-ins are imported
makes every function of them ``function``: nothing is recorded or
simulated.

Public API for tests:
    calls, draws, quadric_draws, raise_on, state, on_main_loop
    FailingCall(n, error)          a raise_on that fails the n-th call
    reset(), names(), calls_of(name), typed(args), typed_calls(name=None)
    depth(mode), matrix(mode), modelview(), projection()
    run_display(), run_timers()
    mat_identity(), mat_translate(), mat_scale(), mat_rotate(), mat_frustum(),
    mat_ortho(), mat_perspective(), mat_look_at()      (row-major float64)
    GLError, Error, NullFunctionError, Fatal, wrong_type_text(number)

The package, one module per job:
    constants   the GL, GLU and GLUT constants and the sets the checks use
    matrices    the row-major matrices of the calls that change a matrix
    state       the simulated GL and GLUT state, and its readers
    checks      the arguments checked as ctypes and PyOpenGL check them
    errors      GLError and the other exceptions
    recording   the record of calls, the function tables and their wrapper
    gl          the GL functions
    glu         the GLU functions
    glut        the GLUT functions, run_display(), run_timers()
    helpers     the drawing helpers' recording stand-in
    stand_ins   what the stand-in modules are made of; record_nothing()
"""
from __future__ import absolute_import

# Assigned from outside (glfake.raise_on = FailingCall(...)) and by
# record_nothing(); the modules read them from here at each use.
raise_on = {}       # name -> exception (instance or class) raised after recording
on_main_loop = None  # called (no arguments) by glutMainLoop, if set
nothing = None      # after record_nothing(): what every stand-in function is

from glfake.py23 import integer_type, string_types  # noqa: E402
from glfake.constants import GL_CONSTS, GLU_CONSTS, GLUT_CONSTS  # noqa: E402
from glfake.matrices import (mat_frustum, mat_identity, mat_look_at, mat_ortho,  # noqa: E402
                             mat_perspective, mat_rotate, mat_scale, mat_translate)
from glfake.errors import Error, Fatal, GLError, NullFunctionError  # noqa: E402
from glfake.state import (Primitive, Quadric, State, depth, matrix, modelview,  # noqa: E402
                          projection, state)
from glfake.checks import wrong_type_text  # noqa: E402
from glfake.recording import (GL_FUNCS, GLU_FUNCS, GLUT_FUNCS, Draw, FailingCall,  # noqa: E402
                              calls, calls_of, draws, names, quadric_draws, reset, typed,
                              typed_calls)
from glfake import gl, glu  # noqa: E402,F401  (they fill GL_FUNCS and GLU_FUNCS)
from glfake.glut import run_display, run_timers  # noqa: E402
from glfake.helpers import HELPERS, helper_call  # noqa: E402
from glfake.stand_ins import (BROKEN_ENV, STAND_INS, check_broken, fill_stand_in,  # noqa: E402
                              function_names, record_nothing)

__all__ = [
    'BROKEN_ENV', 'Draw', 'Error', 'FailingCall', 'Fatal', 'GLError', 'GLUT_CONSTS',
    'GLUT_FUNCS', 'GLU_CONSTS', 'GLU_FUNCS', 'GL_CONSTS', 'GL_FUNCS', 'HELPERS',
    'NullFunctionError', 'Primitive', 'Quadric', 'STAND_INS', 'State', 'calls', 'calls_of',
    'check_broken', 'depth', 'draws', 'fill_stand_in', 'function_names', 'helper_call',
    'integer_type', 'mat_frustum', 'mat_identity', 'mat_look_at', 'mat_ortho',
    'mat_perspective', 'mat_rotate', 'mat_scale', 'mat_translate', 'matrix', 'modelview',
    'names', 'nothing', 'on_main_loop', 'projection', 'quadric_draws', 'raise_on',
    'record_nothing', 'reset', 'run_display', 'run_timers', 'state', 'string_types', 'typed',
    'typed_calls', 'wrong_type_text']
