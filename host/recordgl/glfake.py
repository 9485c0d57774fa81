"""Recording, simulating stand-in for the parts of PyOpenGL that Movra uses.

The fake packages OpenGL.GL, OpenGL.GLU and OpenGL.GLUT (next to this file)
export the functions and constants defined here.  Every call is appended to
``calls`` as ``(name, args)`` with ``args`` exactly as passed, and the
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
"""
from __future__ import absolute_import, division

import ctypes
import math
import operator
import os
import sys

import numpy

try:
    string_types = (basestring,)  # noqa: F821  (Python 2)
    integer_type = long  # noqa: F821  glGetError's result type on Python 2
    _intern = intern  # noqa: F821
except NameError:
    string_types = (str, bytes)
    integer_type = int
    _intern = sys.intern

# ---------------------------------------------------------------------------
# recording

calls = []          # (name, args) for every GL/GLU/GLUT and helper call
draws = []          # Draw records, one per drawing-helper call
quadric_draws = []  # Draw records, one per gluSphere/gluCylinder/gluDisk/...
raise_on = {}       # name -> exception (instance or class) raised after recording
on_main_loop = None  # called (no arguments) by glutMainLoop, if set

BROKEN_ENV = 'MOVRA_FAKE_GL_BROKEN'


def check_broken(part):
    """Raise ImportError if ``part`` is named in $MOVRA_FAKE_GL_BROKEN.

    The variable holds comma- or space-separated names among OpenGL, GL, GLU,
    GLUT and KestDrawHelperFunctions; it lets a test in a subprocess check
    what happens when the graphics stack cannot be imported.
    """
    wanted = os.environ.get(BROKEN_ENV, '').replace(',', ' ').split()
    if part in wanted:
        raise ImportError('No module named %s (simulated by %s)'
                          % (part, BROKEN_ENV))


def fill_stand_in(namespace, part, consts, funcs, *extra):
    """Makes ``namespace`` the stand-in module OpenGL.<part>.

    It gets the constants, the recorded functions (or, after
    record_nothing(), the one function that does nothing) and the ``extra``
    objects (by their names). Only those names are public (``__all__``), so
    that `from OpenGL.<part> import *` copies nothing of the recorder.
    """
    check_broken(part)
    namespace.update(consts)
    namespace.update(funcs if nothing is None else dict.fromkeys(funcs, nothing))
    namespace.update((obj.__name__, obj) for obj in extra)
    namespace['__all__'] = sorted(list(consts) + list(funcs) + [obj.__name__ for obj in extra])


# ---------------------------------------------------------------------------
# the mode that records nothing

STAND_INS = ('OpenGL.GL', 'OpenGL.GLU', 'OpenGL.GLUT', 'KestDrawHelperFunctions')
nothing = None  # after record_nothing(): what every stand-in function is


def _does_nothing(*args, **kwargs):
    """Accepts anything and returns None."""


def record_nothing(function=_does_nothing):
    """Makes every GL, GLU and GLUT function of the stand-ins and every
    drawing helper ``function`` itself: a call is not recorded, checked or
    simulated, and costs only what ``function`` costs, so that a timed frame
    measures the caller's own work (the bench passes a no-op written in C).
    The constants keep their real values.

    It acts on the stand-ins imported after it, so it refuses once any of
    them is imported: a process is in one mode or the other.
    """
    global nothing
    imported = [name for name in STAND_INS if name in sys.modules]
    if imported:
        raise RuntimeError('record_nothing() comes before the stand-ins are imported; '
                           'already imported: %s' % ', '.join(imported))
    nothing = function


def function_names():
    """The names of the stand-ins' GL and GLU functions and of the drawing
    helpers: every function of the stand-ins that the scene may call."""
    return sorted(GL_FUNCS) + sorted(GLU_FUNCS) + [name for name, _ in HELPERS]


def names():
    """Names of all recorded calls, in order."""
    return [c[0] for c in calls]


def calls_of(name):
    """Argument tuples of every recorded call of ``name``, in order."""
    return [c[1] for c in calls if c[0] == name]


def typed(args):
    """((type name, repr), ...) for each argument, to check exact types."""
    return tuple((type(a).__name__, repr(a)) for a in args)


def typed_calls(name=None):
    """[(name, typed(args)), ...] for all calls, or only those of ``name``."""
    return [(n, typed(a)) for n, a in calls if name is None or n == name]


class FailingCall(object):
    """Stands in for ``raise_on``: the n-th recorded call, whatever its name,
    raises ``error('call n (name) failed')``."""

    def __init__(self, n, error=LookupError):
        self.n, self.error, self.seen = n, error, 0

    def get(self, name):
        self.seen += 1
        if self.seen == self.n:
            return self.error('call %d (%s) failed' % (self.n, name))
        return None

    def clear(self):
        pass


def _record(name, args):
    calls.append((name, args))
    exc = raise_on.get(name)
    if exc is not None:
        raise exc


class Draw(tuple):
    """``(name, args, modelview)`` with extra attributes.

    ``modelview`` and ``projection`` are row-major float64 copies of the
    simulated matrices at the time of the call; ``viewport`` is the viewport
    tuple then in force.
    """

    def __new__(cls, name, args, modelview, projection, viewport):
        self = tuple.__new__(cls, (name, args, modelview))
        self.projection = projection
        self.viewport = viewport
        return self

    name = property(operator.itemgetter(0))
    args = property(operator.itemgetter(1))
    modelview = property(operator.itemgetter(2))


# ---------------------------------------------------------------------------
# exceptions (re-exported by the fake OpenGL.error)

class Error(Exception):
    """Base class of the fake package's errors."""


Error.__module__ = 'OpenGL.error'


class GLError(Error):
    """A GL error detected after a call, formatted as PyOpenGL formats it."""

    def __init__(self, err=None, result=None, cArguments=None, cArgs=None,
                 pyArgs=None, baseOperation=None, description=None):
        Error.__init__(self, err, description, baseOperation)
        self.err = err
        self.result = result
        self.cArguments = cArguments
        self.cArgs = cArgs
        self.pyArgs = pyArgs
        self.baseOperation = baseOperation
        self.description = description

    def __str__(self):
        lines = ['GLError(', '\terr = %r' % (self.err,)]
        if self.description is not None:
            lines.append('\tdescription = %r' % (self.description,))
        if self.baseOperation is not None:
            lines.append('\tbaseOperation = %s' % (self.baseOperation,))
        if self.cArguments is not None:
            lines.append('\tcArguments = %r' % (self.cArguments,))
        if self.result is not None:
            lines.append('\tresult = %r' % (self.result,))
        return ',\n'.join(lines) + '\n)'

    __repr__ = __str__


GLError.__module__ = 'OpenGL.error'


class NullFunctionError(Error):
    """Raised by PyOpenGL when an entry point is missing from the library."""


NullFunctionError.__module__ = 'OpenGL.error'


class Fatal(Exception):
    """A call the real library would answer by terminating the process."""


# ---------------------------------------------------------------------------
# constants (values from the OpenGL, GLU and GLUT headers)

def _parse_consts(text):
    """{name: value} of lines `NAME value`.  The names are interned, as the
    names of PyOpenGL's own constants are (identifiers of its modules), so
    that the globals of a module that imports them with `*` hold interned
    keys, which a lookup by identity finds."""
    out = {}
    for line in text.strip().splitlines():
        name, value = line.split()
        out[_intern(name)] = int(value, 0)
    return out


GL_CONSTS = _parse_consts("""
GL_FALSE 0
GL_TRUE 1
GL_NO_ERROR 0
GL_INVALID_ENUM 0x0500
GL_INVALID_VALUE 0x0501
GL_INVALID_OPERATION 0x0502
GL_STACK_OVERFLOW 0x0503
GL_STACK_UNDERFLOW 0x0504
GL_OUT_OF_MEMORY 0x0505
GL_POINTS 0x0000
GL_LINES 0x0001
GL_LINE_LOOP 0x0002
GL_LINE_STRIP 0x0003
GL_TRIANGLES 0x0004
GL_TRIANGLE_STRIP 0x0005
GL_TRIANGLE_FAN 0x0006
GL_QUADS 0x0007
GL_QUAD_STRIP 0x0008
GL_POLYGON 0x0009
GL_DEPTH_BUFFER_BIT 0x00000100
GL_ACCUM_BUFFER_BIT 0x00000200
GL_STENCIL_BUFFER_BIT 0x00000400
GL_COLOR_BUFFER_BIT 0x00004000
GL_NEVER 0x0200
GL_LESS 0x0201
GL_EQUAL 0x0202
GL_LEQUAL 0x0203
GL_GREATER 0x0204
GL_NOTEQUAL 0x0205
GL_GEQUAL 0x0206
GL_ALWAYS 0x0207
GL_FRONT 0x0404
GL_BACK 0x0405
GL_FRONT_AND_BACK 0x0408
GL_CW 0x0900
GL_CCW 0x0901
GL_CURRENT_COLOR 0x0B00
GL_CURRENT_NORMAL 0x0B02
GL_POINT_SMOOTH 0x0B10
GL_POINT_SIZE 0x0B11
GL_LINE_SMOOTH 0x0B20
GL_LINE_WIDTH 0x0B21
GL_LINE_STIPPLE 0x0B24
GL_POLYGON_MODE 0x0B40
GL_POLYGON_SMOOTH 0x0B41
GL_CULL_FACE 0x0B44
GL_CULL_FACE_MODE 0x0B45
GL_FRONT_FACE 0x0B46
GL_LIGHTING 0x0B50
GL_SHADE_MODEL 0x0B54
GL_COLOR_MATERIAL 0x0B57
GL_FOG 0x0B60
GL_DEPTH_RANGE 0x0B70
GL_DEPTH_TEST 0x0B71
GL_DEPTH_WRITEMASK 0x0B72
GL_DEPTH_CLEAR_VALUE 0x0B73
GL_DEPTH_FUNC 0x0B74
GL_STENCIL_TEST 0x0B90
GL_MATRIX_MODE 0x0BA0
GL_NORMALIZE 0x0BA1
GL_VIEWPORT 0x0BA2
GL_MODELVIEW_STACK_DEPTH 0x0BA3
GL_PROJECTION_STACK_DEPTH 0x0BA4
GL_TEXTURE_STACK_DEPTH 0x0BA5
GL_MODELVIEW_MATRIX 0x0BA6
GL_PROJECTION_MATRIX 0x0BA7
GL_TEXTURE_MATRIX 0x0BA8
GL_ALPHA_TEST 0x0BC0
GL_DITHER 0x0BD0
GL_BLEND 0x0BE2
GL_SCISSOR_TEST 0x0C11
GL_COLOR_CLEAR_VALUE 0x0C22
GL_PERSPECTIVE_CORRECTION_HINT 0x0C50
GL_LINE_SMOOTH_HINT 0x0C52
GL_UNPACK_ALIGNMENT 0x0CF5
GL_PACK_ALIGNMENT 0x0D05
GL_MAX_MODELVIEW_STACK_DEPTH 0x0D36
GL_MAX_PROJECTION_STACK_DEPTH 0x0D38
GL_MAX_TEXTURE_STACK_DEPTH 0x0D39
GL_MAX_VIEWPORT_DIMS 0x0D3A
GL_TEXTURE_1D 0x0DE0
GL_TEXTURE_2D 0x0DE1
GL_DONT_CARE 0x1100
GL_FASTEST 0x1101
GL_NICEST 0x1102
GL_BYTE 0x1400
GL_UNSIGNED_BYTE 0x1401
GL_INT 0x1404
GL_UNSIGNED_INT 0x1405
GL_FLOAT 0x1406
GL_DOUBLE 0x140A
GL_MODELVIEW 0x1700
GL_PROJECTION 0x1701
GL_TEXTURE 0x1702
GL_RGB 0x1907
GL_RGBA 0x1908
GL_POINT 0x1B00
GL_LINE 0x1B01
GL_FILL 0x1B02
GL_FLAT 0x1D00
GL_SMOOTH 0x1D01
GL_VENDOR 0x1F00
GL_RENDERER 0x1F01
GL_VERSION 0x1F02
GL_EXTENSIONS 0x1F03
GL_LIGHT0 0x4000
GL_LIGHT1 0x4001
GL_LIGHT2 0x4002
GL_LIGHT3 0x4003
GL_LIGHT4 0x4004
GL_LIGHT5 0x4005
GL_LIGHT6 0x4006
GL_LIGHT7 0x4007
GL_POLYGON_OFFSET_FILL 0x8037
GL_RESCALE_NORMAL 0x803A
GL_MULTISAMPLE 0x809D
""")

GLU_CONSTS = _parse_consts("""
GLU_SMOOTH 100000
GLU_FLAT 100001
GLU_NONE 100002
GLU_POINT 100010
GLU_LINE 100011
GLU_FILL 100012
GLU_SILHOUETTE 100013
GLU_OUTSIDE 100020
GLU_INSIDE 100021
GLU_FALSE 0
GLU_TRUE 1
""")

GLUT_CONSTS = _parse_consts("""
GLUT_RGB 0
GLUT_RGBA 0
GLUT_INDEX 1
GLUT_SINGLE 0
GLUT_DOUBLE 2
GLUT_ACCUM 4
GLUT_ALPHA 8
GLUT_DEPTH 16
GLUT_STENCIL 32
GLUT_MULTISAMPLE 128
GLUT_STEREO 256
GLUT_LEFT_BUTTON 0
GLUT_MIDDLE_BUTTON 1
GLUT_RIGHT_BUTTON 2
GLUT_DOWN 0
GLUT_UP 1
GLUT_KEY_LEFT 100
GLUT_KEY_UP 101
GLUT_KEY_RIGHT 102
GLUT_KEY_DOWN 103
GLUT_WINDOW_X 100
GLUT_WINDOW_Y 101
GLUT_WINDOW_WIDTH 102
GLUT_WINDOW_HEIGHT 103
GLUT_ELAPSED_TIME 700
""")

_C = dict(GL_CONSTS)
_C.update(GLU_CONSTS)
_C.update(GLUT_CONSTS)

_MV, _PROJ, _TEX = _C['GL_MODELVIEW'], _C['GL_PROJECTION'], _C['GL_TEXTURE']
_MODE_NAMES = {'modelview': _MV, 'projection': _PROJ, 'texture': _TEX}

_ERROR_TEXT = {
    _C['GL_INVALID_ENUM']: 'invalid enumerant',
    _C['GL_INVALID_VALUE']: 'invalid value',
    _C['GL_INVALID_OPERATION']: 'invalid operation',
    _C['GL_STACK_OVERFLOW']: 'stack overflow',
    _C['GL_STACK_UNDERFLOW']: 'stack underflow',
    _C['GL_OUT_OF_MEMORY']: 'out of memory',
}

_CAPS = frozenset(_C[n] for n in (
    'GL_ALPHA_TEST', 'GL_BLEND', 'GL_COLOR_MATERIAL', 'GL_CULL_FACE',
    'GL_DEPTH_TEST', 'GL_DITHER', 'GL_FOG', 'GL_LIGHTING', 'GL_LIGHT0',
    'GL_LIGHT1', 'GL_LIGHT2', 'GL_LIGHT3', 'GL_LIGHT4', 'GL_LIGHT5',
    'GL_LIGHT6', 'GL_LIGHT7', 'GL_LINE_SMOOTH', 'GL_LINE_STIPPLE',
    'GL_MULTISAMPLE', 'GL_NORMALIZE', 'GL_POINT_SMOOTH',
    'GL_POLYGON_OFFSET_FILL', 'GL_POLYGON_SMOOTH', 'GL_RESCALE_NORMAL',
    'GL_SCISSOR_TEST', 'GL_STENCIL_TEST', 'GL_TEXTURE_1D', 'GL_TEXTURE_2D'))

_PRIMITIVES = frozenset(range(_C['GL_POINTS'], _C['GL_POLYGON'] + 1))
_DEPTH_FUNCS = frozenset(range(_C['GL_NEVER'], _C['GL_ALWAYS'] + 1))
_CLEAR_BITS = (_C['GL_COLOR_BUFFER_BIT'] | _C['GL_DEPTH_BUFFER_BIT']
               | _C['GL_STENCIL_BUFFER_BIT'] | _C['GL_ACCUM_BUFFER_BIT'])

# commands that GL accepts between glBegin and glEnd
_INSIDE_BEGIN_PREFIXES = ('glVertex', 'glColor', 'glNormal', 'glTexCoord',
                          'glMultiTexCoord', 'glMaterial', 'glEdgeFlag',
                          'glIndex', 'glEvalCoord', 'glEvalPoint',
                          'glArrayElement', 'glCallList', 'glEnd')


def _allowed_inside_begin(name):
    return name.startswith(_INSIDE_BEGIN_PREFIXES)


# ---------------------------------------------------------------------------
# row-major matrix builders (the standard OpenGL reference formulas)

def mat_identity():
    return numpy.identity(4, dtype=numpy.float64)


def mat_translate(x, y, z):
    m = mat_identity()
    m[:3, 3] = (x, y, z)
    return m


def mat_scale(x, y, z):
    return numpy.diag([float(x), float(y), float(z), 1.0])


def mat_rotate(angle_deg, x, y, z):
    """glRotate: ``angle_deg`` degrees about the axis (x, y, z).

    A zero axis leaves the matrix unchanged (as Mesa does).
    """
    x, y, z = float(x), float(y), float(z)
    norm = math.sqrt(x * x + y * y + z * z)
    if norm == 0.0:
        return mat_identity()
    x, y, z = x / norm, y / norm, z / norm
    a = math.radians(float(angle_deg))
    c, s = math.cos(a), math.sin(a)
    t = 1.0 - c
    return numpy.array([
        [x * x * t + c, x * y * t - z * s, x * z * t + y * s, 0.0],
        [y * x * t + z * s, y * y * t + c, y * z * t - x * s, 0.0],
        [x * z * t - y * s, y * z * t + x * s, z * z * t + c, 0.0],
        [0.0, 0.0, 0.0, 1.0]])


def mat_frustum(l, r, b, t, n, f):
    l, r, b, t, n, f = [float(v) for v in (l, r, b, t, n, f)]
    return numpy.array([
        [2 * n / (r - l), 0.0, (r + l) / (r - l), 0.0],
        [0.0, 2 * n / (t - b), (t + b) / (t - b), 0.0],
        [0.0, 0.0, -(f + n) / (f - n), -2 * f * n / (f - n)],
        [0.0, 0.0, -1.0, 0.0]])


def mat_ortho(l, r, b, t, n, f):
    l, r, b, t, n, f = [float(v) for v in (l, r, b, t, n, f)]
    return numpy.array([
        [2 / (r - l), 0.0, 0.0, -(r + l) / (r - l)],
        [0.0, 2 / (t - b), 0.0, -(t + b) / (t - b)],
        [0.0, 0.0, -2 / (f - n), -(f + n) / (f - n)],
        [0.0, 0.0, 0.0, 1.0]])


def mat_perspective(fovy_deg, aspect, n, f):
    fovy_deg, aspect, n, f = [float(v) for v in (fovy_deg, aspect, n, f)]
    cot = 1.0 / math.tan(math.radians(fovy_deg) / 2.0)
    return numpy.array([
        [cot / aspect, 0.0, 0.0, 0.0],
        [0.0, cot, 0.0, 0.0],
        [0.0, 0.0, (f + n) / (n - f), 2 * f * n / (n - f)],
        [0.0, 0.0, -1.0, 0.0]])


def mat_look_at(ex, ey, ez, cx, cy, cz, ux, uy, uz):
    eye = numpy.array([ex, ey, ez], dtype=numpy.float64)
    fwd = numpy.array([cx, cy, cz], dtype=numpy.float64) - eye
    up = numpy.array([ux, uy, uz], dtype=numpy.float64)
    fwd /= numpy.linalg.norm(fwd)
    side = numpy.cross(fwd, up)
    side /= numpy.linalg.norm(side)
    up2 = numpy.cross(side, fwd)
    m = mat_identity()
    m[0, :3], m[1, :3], m[2, :3] = side, up2, -fwd
    return m.dot(mat_translate(-eye[0], -eye[1], -eye[2]))


# ---------------------------------------------------------------------------
# simulated state

class Primitive(object):
    """One glBegin/glEnd block: mode, vertices (N x 3, object coordinates),
    colors (N x 4, current color at each vertex) and the matrices then."""

    def __init__(self, mode, modelview, projection, viewport):
        self.mode = mode
        self.modelview = modelview
        self.projection = projection
        self.viewport = viewport
        self._verts = []
        self._colors = []
        self.line_width = None

    @property
    def vertices(self):
        return numpy.array(self._verts, dtype=numpy.float64).reshape(-1, 3)

    @property
    def colors(self):
        return numpy.array(self._colors, dtype=numpy.float64).reshape(-1, 4)


class Quadric(object):
    """What gluNewQuadric returns: a distinct object per call."""
    _next_id = [1]

    def __init__(self):
        self.id = Quadric._next_id[0]
        Quadric._next_id[0] += 1
        self.deleted = False
        self.draw_style = _C['GLU_FILL']
        self.normals = _C['GLU_SMOOTH']
        self.orientation = _C['GLU_OUTSIDE']
        self.texture = False

    def __repr__(self):
        return '<fake GLUQuadric %d%s>' % (self.id,
                                           ' deleted' if self.deleted else '')


class State(object):
    """The simulated GL/GLUT state; ``reset()`` restores the initial values."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.matrix_mode = _MV
        self.stacks = {_MV: [mat_identity()], _PROJ: [mat_identity()],
                       _TEX: [mat_identity()]}
        self.max_depth = {_MV: 32, _PROJ: 32, _TEX: 10}
        self.viewport = (0, 0, 300, 300)
        self.clear_color = (0.0, 0.0, 0.0, 0.0)
        self.clear_depth = 1.0
        self.clears = []            # masks passed to glClear, in order
        self.front_face = _C['GL_CCW']
        self.cull_face_mode = _C['GL_BACK']
        self.depth_func = _C['GL_LESS']
        self.depth_mask = True
        self.enabled = set([_C['GL_DITHER'], _C['GL_MULTISAMPLE']])
        self.line_width = 1.0
        self.point_size = 1.0
        self.color = (1.0, 1.0, 1.0, 1.0)
        self.normal = (0.0, 0.0, 1.0)
        self.shade_model = _C['GL_SMOOTH']
        self.polygon_mode = (_C['GL_FILL'], _C['GL_FILL'])
        self.begin_mode = None      # primitive mode while inside glBegin
        self.checks_suspended = False  # PyOpenGL skips checks after glBegin
        self.error = 0              # GL's sticky error flag
        self.primitives = []        # finished Primitive blocks
        self.current_primitive = None
        self.quadrics = []          # every quadric handed out
        # GLUT
        self.display_mode = 0
        self.window_size = (300, 300)
        self.window_position = (-1, -1)
        self.windows = []           # titles of created windows
        self.display_func = None
        self.reshape_func = None
        self.keyboard_func = None
        self.idle_func = None
        self.timers = []            # pending (msecs, func, value)
        self.redisplay_requests = 0
        self.swaps = 0
        self.elapsed_ms = 0

    # matrices
    def _mode(self, mode):
        if mode is None:
            return self.matrix_mode
        if isinstance(mode, str):
            return _MODE_NAMES[mode.lower()]
        return int(mode)

    def stack_depth(self, mode=None):
        return len(self.stacks[self._mode(mode)])

    def top(self, mode=None):
        """The row-major top matrix of a stack (a copy)."""
        return self.stacks[self._mode(mode)][-1].copy()

    def _post_multiply(self, m):
        stack = self.stacks[self.matrix_mode]
        stack[-1] = stack[-1].dot(m)

    def _load(self, m):
        self.stacks[self.matrix_mode][-1] = numpy.array(m, dtype=numpy.float64)

    def set_error(self, code):
        if self.error == 0:
            self.error = code


state = State()


def reset():
    """Forget all calls, draws, raise_on entries and restore initial state."""
    global on_main_loop
    del calls[:]
    del draws[:]
    del quadric_draws[:]
    raise_on.clear()
    on_main_loop = None
    state.reset()


def depth(mode='modelview'):
    """Stack depth (1 = only the base matrix) of 'modelview', 'projection',
    'texture' or a GL_* matrix mode constant."""
    return state.stack_depth(mode)


def matrix(mode='modelview'):
    """Row-major (mathematical) copy of the top of a matrix stack."""
    return state.top(mode)


def modelview():
    return state.top(_MV)


def projection():
    return state.top(_PROJ)


def run_display():
    """Call the registered GLUT display callback; returns its result."""
    if state.display_func is None:
        raise Fatal('no display callback registered')
    return state.display_func()


def run_timers():
    """Fire all pending GLUT timers in registration order (timers registered
    while firing wait for the next call); returns how many were fired."""
    pending = list(state.timers)
    del state.timers[:]
    for _msecs, func, value in pending:
        func(value)
    return len(pending)


# ---------------------------------------------------------------------------
# argument checking, shaped like ctypes/PyOpenGL's complaints

def _ctypes_wrong_type_text():
    """What this Python's ctypes says of a value of the wrong type for the
    first argument ("argument 1: <type 'exceptions.TypeError'>: wrong type"
    on 2.7; the class is written differently on 3.x)."""
    function = ctypes.CFUNCTYPE(None, ctypes.c_int)(lambda value: None)
    try:
        function('text')
    except ctypes.ArgumentError as error:
        return str(error)
    raise AssertionError('ctypes accepted a string for an int argument')


_WRONG_TYPE = _ctypes_wrong_type_text().replace('argument 1:', 'argument %d:', 1)


def wrong_type_text(number):
    """ctypes' complaint about argument `number` (counted from 1)."""
    return _WRONG_TYPE % number


def _wrong_type(index):
    return ctypes.ArgumentError(wrong_type_text(index + 1))


def _check_float(value, index):
    if value is None or isinstance(value, string_types):
        raise _wrong_type(index)
    try:
        float(value)
    except (TypeError, ValueError):
        raise _wrong_type(index)


def _check_int(value, index):
    if value is None or isinstance(value, (float, numpy.floating) + string_types):
        raise _wrong_type(index)
    try:
        operator.index(value)
    except TypeError:
        raise _wrong_type(index)


def _check_array(value, count, itemsize):
    try:
        arr = numpy.asarray(value, dtype=numpy.float64)
    except (TypeError, ValueError):
        raise _wrong_type(0)
    if arr.size != count:
        raise ValueError('Expected %d byte array, got %d byte array'
                         % (count * itemsize, arr.size * itemsize))
    return arr


def _check_quadric(value, index):
    if not isinstance(value, Quadric):
        raise _wrong_type(index)
    if value.deleted:
        raise Fatal('quadric %r used after gluDeleteQuadric' % (value,))


def _check_args(name, sig, args):
    """sig letters: f float, i integer/enum, q quadric, c callable,
    C callable or None, s string, o anything, 2/3/4 float vectors
    (f suffix 4-byte, d 8-byte items), m 16-value matrix."""
    if len(args) < len(sig):
        raise TypeError('this function takes at least %d argument%s (%d given)'
                        % (len(sig), '' if len(sig) == 1 else 's', len(args)))
    if len(args) > len(sig):
        raise TypeError('%s() takes exactly %d argument%s (%d given)'
                        % (name, len(sig), '' if len(sig) == 1 else 's',
                           len(args)))
    itemsize = 8 if name.endswith('dv') or name.endswith('d') else 4
    for i, (kind, value) in enumerate(zip(sig, args)):
        if kind == 'f':
            _check_float(value, i)
        elif kind == 'i':
            _check_int(value, i)
        elif kind == 'q':
            _check_quadric(value, i)
        elif kind == 'c':
            if not callable(value):
                raise _wrong_type(i)
        elif kind == 'C':
            if value is not None and not callable(value):
                raise _wrong_type(i)
        elif kind == 's':
            if not isinstance(value, string_types):
                raise _wrong_type(i)
        elif kind in '234':
            _check_array(value, int(kind), itemsize)
        elif kind == 'm':
            _check_array(value, 16, itemsize)


# ---------------------------------------------------------------------------
# the function tables

GL_FUNCS = {}
GLU_FUNCS = {}
GLUT_FUNCS = {}


def _raise_pending(name, args):
    code = state.error
    if code:
        state.error = 0
        raise GLError(err=code, description=_ERROR_TEXT.get(code),
                      baseOperation=name,
                      cArguments=() if name == 'glEnd' else args)


def _api(table, sig):
    """Register ``impl`` under its own name in ``table``.

    The wrapper records the call, honours raise_on, checks the arguments,
    ignores commands GL rejects inside glBegin/glEnd (flagging the error),
    runs the simulation and then raises any GL error as PyOpenGL would.
    """
    def deco(impl):
        name = _intern(impl.__name__)  # as PyOpenGL's names: see _parse_consts
        graphics = table is not GLUT_FUNCS

        def wrapper(*args):
            _record(name, args)
            if sig is not None:
                _check_args(name, sig, args)
            if (graphics and state.begin_mode is not None
                    and not _allowed_inside_begin(name)):
                state.set_error(_C['GL_INVALID_OPERATION'])
                return None
            result = impl(*args)
            if graphics and not state.checks_suspended and name != 'glGetError':
                _raise_pending(name, args)
            return result
        wrapper.__name__ = name
        wrapper.__doc__ = impl.__doc__
        table[name] = wrapper
        return wrapper
    return deco


def _gl(sig):
    return _api(GL_FUNCS, sig)


def _glu(sig):
    return _api(GLU_FUNCS, sig)


def _glut(sig):
    return _api(GLUT_FUNCS, sig)


def _f(v):
    return float(v)


# --- matrices

@_gl('i')
def glMatrixMode(mode):
    if mode not in state.stacks:
        state.set_error(_C['GL_INVALID_ENUM'])
        return
    state.matrix_mode = int(mode)


@_gl('')
def glLoadIdentity():
    state._load(mat_identity())


@_gl('')
def glPushMatrix():
    stack = state.stacks[state.matrix_mode]
    if len(stack) >= state.max_depth[state.matrix_mode]:
        state.set_error(_C['GL_STACK_OVERFLOW'])
        return
    stack.append(stack[-1].copy())


@_gl('')
def glPopMatrix():
    stack = state.stacks[state.matrix_mode]
    if len(stack) <= 1:
        state.set_error(_C['GL_STACK_UNDERFLOW'])
        return
    stack.pop()


def _def_pair(suffix_sig, builder, base):
    for suffix in ('f', 'd'):
        def impl(*args):
            state._post_multiply(builder(*args))
        impl.__name__ = base + suffix
        _gl(suffix_sig)(impl)


_def_pair('fff', mat_translate, 'glTranslate')
_def_pair('fff', mat_scale, 'glScale')
_def_pair('ffff', mat_rotate, 'glRotate')


def _column_major(value):
    return numpy.asarray(value, dtype=numpy.float64).reshape(16) \
        .reshape(4, 4).T.copy()


def _def_matrix_loaders():
    for suffix in ('f', 'd'):
        def mult(m):
            state._post_multiply(_column_major(m))

        def load(m):
            state._load(_column_major(m))

        def mult_t(m):
            state._post_multiply(_column_major(m).T)

        def load_t(m):
            state._load(_column_major(m).T)
        mult.__name__ = 'glMultMatrix' + suffix
        load.__name__ = 'glLoadMatrix' + suffix
        mult_t.__name__ = 'glMultTransposeMatrix' + suffix
        load_t.__name__ = 'glLoadTransposeMatrix' + suffix
        for impl in (mult, load, mult_t, load_t):
            _gl('m')(impl)


_def_matrix_loaders()


@_gl('ffffff')
def glFrustum(l, r, b, t, n, f):
    l, r, b, t, n, f = [_f(v) for v in (l, r, b, t, n, f)]
    if n <= 0 or f <= 0 or l == r or b == t or n == f:
        state.set_error(_C['GL_INVALID_VALUE'])
        return
    state._post_multiply(mat_frustum(l, r, b, t, n, f))


@_gl('ffffff')
def glOrtho(l, r, b, t, n, f):
    l, r, b, t, n, f = [_f(v) for v in (l, r, b, t, n, f)]
    if l == r or b == t or n == f:
        state.set_error(_C['GL_INVALID_VALUE'])
        return
    state._post_multiply(mat_ortho(l, r, b, t, n, f))


@_glu('ffff')
def gluPerspective(fovy, aspect, n, f):
    fovy, aspect, n, f = [_f(v) for v in (fovy, aspect, n, f)]
    # GLU returns without touching the matrix for degenerate input
    if f == n or aspect == 0 or math.sin(math.radians(fovy) / 2) == 0:
        return
    state._post_multiply(mat_perspective(fovy, aspect, n, f))


@_glu('fffffffff')
def gluLookAt(ex, ey, ez, cx, cy, cz, ux, uy, uz):
    state._post_multiply(mat_look_at(ex, ey, ez, cx, cy, cz, ux, uy, uz))


@_glu('ffff')
def gluOrtho2D(l, r, b, t):
    l, r, b, t = [_f(v) for v in (l, r, b, t)]
    if l == r or b == t:
        state.set_error(_C['GL_INVALID_VALUE'])
        return
    state._post_multiply(mat_ortho(l, r, b, t, -1.0, 1.0))


# --- framebuffer and fixed state

@_gl('iiii')
def glViewport(x, y, w, h):
    if w < 0 or h < 0:
        state.set_error(_C['GL_INVALID_VALUE'])
        return
    state.viewport = (int(x), int(y), int(w), int(h))


@_gl('iiii')
def glScissor(x, y, w, h):
    if w < 0 or h < 0:
        state.set_error(_C['GL_INVALID_VALUE'])


def _clamp01(v):
    return min(1.0, max(0.0, float(v)))


@_gl('ffff')
def glClearColor(r, g, b, a):
    state.clear_color = tuple(_clamp01(v) for v in (r, g, b, a))


@_gl('f')
def glClearDepth(d):
    state.clear_depth = _clamp01(d)


@_gl('i')
def glClear(mask):
    if int(mask) & ~_CLEAR_BITS:
        state.set_error(_C['GL_INVALID_VALUE'])
        return
    state.clears.append(int(mask))


@_gl('i')
def glFrontFace(mode):
    if mode not in (_C['GL_CW'], _C['GL_CCW']):
        state.set_error(_C['GL_INVALID_ENUM'])
        return
    state.front_face = int(mode)


@_gl('i')
def glCullFace(mode):
    if mode not in (_C['GL_FRONT'], _C['GL_BACK'], _C['GL_FRONT_AND_BACK']):
        state.set_error(_C['GL_INVALID_ENUM'])
        return
    state.cull_face_mode = int(mode)


@_gl('i')
def glDepthFunc(func):
    if func not in _DEPTH_FUNCS:
        state.set_error(_C['GL_INVALID_ENUM'])
        return
    state.depth_func = int(func)


@_gl('i')
def glDepthMask(flag):
    state.depth_mask = bool(flag)


@_gl('i')
def glEnable(cap):
    if cap not in _CAPS:
        state.set_error(_C['GL_INVALID_ENUM'])
        return
    state.enabled.add(int(cap))


@_gl('i')
def glDisable(cap):
    if cap not in _CAPS:
        state.set_error(_C['GL_INVALID_ENUM'])
        return
    state.enabled.discard(int(cap))


@_gl('i')
def glIsEnabled(cap):
    if cap not in _CAPS:
        state.set_error(_C['GL_INVALID_ENUM'])
        return 0
    return 1 if int(cap) in state.enabled else 0


@_gl('i')
def glShadeModel(mode):
    if mode not in (_C['GL_FLAT'], _C['GL_SMOOTH']):
        state.set_error(_C['GL_INVALID_ENUM'])
        return
    state.shade_model = int(mode)


@_gl('ii')
def glPolygonMode(face, mode):
    if mode not in (_C['GL_POINT'], _C['GL_LINE'], _C['GL_FILL']):
        state.set_error(_C['GL_INVALID_ENUM'])
        return
    front, back = state.polygon_mode
    if face in (_C['GL_FRONT'], _C['GL_FRONT_AND_BACK']):
        front = int(mode)
    if face in (_C['GL_BACK'], _C['GL_FRONT_AND_BACK']):
        back = int(mode)
    state.polygon_mode = (front, back)


@_gl('f')
def glLineWidth(width):
    if float(width) <= 0:
        state.set_error(_C['GL_INVALID_VALUE'])
        return
    state.line_width = float(width)


@_gl('f')
def glPointSize(size):
    if float(size) <= 0:
        state.set_error(_C['GL_INVALID_VALUE'])
        return
    state.point_size = float(size)


@_gl('ii')
def glHint(target, mode):
    if mode not in (_C['GL_DONT_CARE'], _C['GL_FASTEST'], _C['GL_NICEST']):
        state.set_error(_C['GL_INVALID_ENUM'])


@_gl('')
def glFlush():
    pass


@_gl('')
def glFinish():
    pass


@_gl('')
def glGetError():
    code = state.error
    state.error = 0
    return integer_type(code)


_STRINGS = {_C['GL_VENDOR']: 'Movra test stand-in',
            _C['GL_RENDERER']: 'glfake',
            _C['GL_VERSION']: '2.1 glfake',
            _C['GL_EXTENSIONS']: ''}


@_gl('i')
def glGetString(name):
    if name not in _STRINGS:
        state.set_error(_C['GL_INVALID_ENUM'])
        return None
    return _STRINGS[int(name)]


# --- glGet*

def _query(pname):
    """Values of a state variable: a list of numbers, or a 4x4 array in
    OpenGL's column-by-column order for the matrices."""
    p = int(pname)
    matrices = {_C['GL_MODELVIEW_MATRIX']: _MV,
                _C['GL_PROJECTION_MATRIX']: _PROJ,
                _C['GL_TEXTURE_MATRIX']: _TEX}
    if p in matrices:
        return state.top(matrices[p]).T.copy()
    depths = {_C['GL_MODELVIEW_STACK_DEPTH']: _MV,
              _C['GL_PROJECTION_STACK_DEPTH']: _PROJ,
              _C['GL_TEXTURE_STACK_DEPTH']: _TEX}
    if p in depths:
        return [len(state.stacks[depths[p]])]
    maxima = {_C['GL_MAX_MODELVIEW_STACK_DEPTH']: _MV,
              _C['GL_MAX_PROJECTION_STACK_DEPTH']: _PROJ,
              _C['GL_MAX_TEXTURE_STACK_DEPTH']: _TEX}
    if p in maxima:
        return [state.max_depth[maxima[p]]]
    if p in _CAPS:
        return [1 if p in state.enabled else 0]
    table = {
        _C['GL_VIEWPORT']: lambda: list(state.viewport),
        _C['GL_COLOR_CLEAR_VALUE']: lambda: list(state.clear_color),
        _C['GL_DEPTH_CLEAR_VALUE']: lambda: [state.clear_depth],
        _C['GL_DEPTH_FUNC']: lambda: [state.depth_func],
        _C['GL_DEPTH_WRITEMASK']: lambda: [1 if state.depth_mask else 0],
        _C['GL_FRONT_FACE']: lambda: [state.front_face],
        _C['GL_CULL_FACE_MODE']: lambda: [state.cull_face_mode],
        _C['GL_MATRIX_MODE']: lambda: [state.matrix_mode],
        _C['GL_LINE_WIDTH']: lambda: [state.line_width],
        _C['GL_POINT_SIZE']: lambda: [state.point_size],
        _C['GL_CURRENT_COLOR']: lambda: list(state.color),
        _C['GL_CURRENT_NORMAL']: lambda: list(state.normal),
        _C['GL_SHADE_MODEL']: lambda: [state.shade_model],
        _C['GL_POLYGON_MODE']: lambda: list(state.polygon_mode),
        _C['GL_MAX_VIEWPORT_DIMS']: lambda: [16384, 16384],
    }
    if p not in table:
        raise KeyError('Unknown specifier %r (not simulated by glfake)'
                       % (pname,))
    return table[p]()


def _get(pname, dtype):
    values = _query(pname)
    arr = numpy.array(values, dtype=numpy.float64)
    if dtype in (numpy.int32, numpy.uint8):
        arr = numpy.rint(arr)
    arr = arr.astype(dtype)
    if arr.size == 1:
        return arr.reshape(())[()]      # numpy scalar, as PyOpenGL returns
    return arr


@_gl('i')
def glGetDoublev(pname):
    return _get(pname, numpy.float64)


@_gl('i')
def glGetFloatv(pname):
    return _get(pname, numpy.float32)


@_gl('i')
def glGetIntegerv(pname):
    return _get(pname, numpy.int32)


@_gl('i')
def glGetBooleanv(pname):
    return _get(pname, numpy.uint8)


@_gl('iiiiii')
def glReadPixels(x, y, w, h, fmt, typ):
    """A str of the clear colour, as wide as the requested rectangle."""
    comps = {_C['GL_RGB']: 3, _C['GL_RGBA']: 4}
    if fmt not in comps or typ != _C['GL_UNSIGNED_BYTE']:
        raise KeyError('glReadPixels format/type not simulated by glfake')
    if w < 0 or h < 0:
        state.set_error(_C['GL_INVALID_VALUE'])
        return None
    px = ''.join(chr(int(round(c * 255))) for c in
                 state.clear_color[:comps[int(fmt)]])
    return px * (int(w) * int(h))


# --- immediate mode

@_gl('i')
def glBegin(mode):
    state.checks_suspended = True
    if state.begin_mode is not None:
        state.set_error(_C['GL_INVALID_OPERATION'])
        return
    if mode not in _PRIMITIVES:
        state.set_error(_C['GL_INVALID_ENUM'])
        return
    state.begin_mode = int(mode)
    prim = Primitive(int(mode), state.top(_MV), state.top(_PROJ),
                     state.viewport)
    prim.line_width = state.line_width
    state.current_primitive = prim


@_gl('')
def glEnd():
    state.checks_suspended = False
    if state.begin_mode is None:
        state.set_error(_C['GL_INVALID_OPERATION'])
        return
    state.primitives.append(state.current_primitive)
    state.current_primitive = None
    state.begin_mode = None


def _vertex(x, y, z):
    prim = state.current_primitive
    if prim is not None:
        prim._verts.append((float(x), float(y), float(z)))
        prim._colors.append(state.color)


def _def_immediate():
    for suffix in ('f', 'd', 'i'):
        scalar = 'i' if suffix == 'i' else 'f'

        def v2(x, y):
            _vertex(x, y, 0.0)

        def v3(x, y, z):
            _vertex(x, y, z)

        def c3(r, g, b):
            state.color = (float(r), float(g), float(b), 1.0)

        def c4(r, g, b, a):
            state.color = (float(r), float(g), float(b), float(a))

        def n3(x, y, z):
            state.normal = (float(x), float(y), float(z))
        for impl, base, n in ((v2, 'glVertex2', 2), (v3, 'glVertex3', 3),
                              (c3, 'glColor3', 3), (c4, 'glColor4', 4),
                              (n3, 'glNormal3', 3)):
            impl.__name__ = base + suffix
            _gl(scalar * n)(impl)

            def vec(v, _impl=impl):
                _impl(*numpy.asarray(v, dtype=numpy.float64).reshape(-1))
            vec.__name__ = base + suffix + 'v'
            _gl(str(n))(vec)


_def_immediate()


# --- GLU quadrics

@_glu('')
def gluNewQuadric():
    q = Quadric()
    state.quadrics.append(q)
    return q


@_glu('q')
def gluDeleteQuadric(q):
    q.deleted = True


@_glu('qi')
def gluQuadricDrawStyle(q, style):
    q.draw_style = int(style)


@_glu('qi')
def gluQuadricNormals(q, normals):
    q.normals = int(normals)


@_glu('qi')
def gluQuadricOrientation(q, orientation):
    q.orientation = int(orientation)


@_glu('qi')
def gluQuadricTexture(q, texture):
    q.texture = bool(texture)


def _shape(name, args):
    quadric_draws.append(Draw(name, args, state.top(_MV), state.top(_PROJ),
                              state.viewport))


@_glu('qfii')
def gluSphere(q, radius, slices, stacks):
    _shape('gluSphere', (q, radius, slices, stacks))


@_glu('qfffii')
def gluCylinder(q, base, top, height, slices, stacks):
    _shape('gluCylinder', (q, base, top, height, slices, stacks))


@_glu('qffii')
def gluDisk(q, inner, outer, slices, loops):
    _shape('gluDisk', (q, inner, outer, slices, loops))


@_glu('qffiiff')
def gluPartialDisk(q, inner, outer, slices, loops, start, sweep):
    _shape('gluPartialDisk', (q, inner, outer, slices, loops, start, sweep))


@_glu('i')
def gluErrorString(code):
    return _ERROR_TEXT.get(int(code), 'no error' if code == 0 else None)


# --- GLUT

@_glut(None)
def glutInit(*args):
    if len(args) > 1:
        raise TypeError('glutInit() takes at most 1 argument (%d given)'
                        % len(args))
    return [str(a) for a in args[0]] if args else []


@_glut('i')
def glutInitDisplayMode(mode):
    state.display_mode = int(mode)


@_glut('ii')
def glutInitWindowSize(w, h):
    state.window_size = (int(w), int(h))


@_glut('ii')
def glutInitWindowPosition(x, y):
    state.window_position = (int(x), int(y))


@_glut('s')
def glutCreateWindow(title):
    state.windows.append(title)
    if len(state.windows) == 1:
        # the first context made current gets the window's size as viewport
        state.viewport = (0, 0) + tuple(state.window_size)
    return len(state.windows)


@_glut('i')
def glutDestroyWindow(window):
    pass


@_glut('s')
def glutSetWindowTitle(title):
    if state.windows:
        state.windows[-1] = title


@_glut('ii')
def glutReshapeWindow(w, h):
    state.window_size = (int(w), int(h))


@_glut('c')
def glutDisplayFunc(func):
    state.display_func = func


@_glut('C')
def glutReshapeFunc(func):
    state.reshape_func = func


@_glut('C')
def glutKeyboardFunc(func):
    state.keyboard_func = func


@_glut('C')
def glutIdleFunc(func):
    state.idle_func = func


@_glut('ici')
def glutTimerFunc(msecs, func, value):
    state.timers.append((int(msecs), func, int(value)))


@_glut('')
def glutPostRedisplay():
    state.redisplay_requests += 1


@_glut('')
def glutSwapBuffers():
    state.swaps += 1


@_glut('')
def glutMainLoop():
    """Runs ``on_main_loop`` if a test set one, then returns (the real loop
    never returns)."""
    if on_main_loop is not None:
        on_main_loop()


@_glut('')
def glutLeaveMainLoop():
    pass


@_glut('i')
def glutGet(what):
    what = int(what)
    if what == _C['GLUT_ELAPSED_TIME']:
        return int(state.elapsed_ms)
    if what == _C['GLUT_WINDOW_WIDTH']:
        return state.window_size[0]
    if what == _C['GLUT_WINDOW_HEIGHT']:
        return state.window_size[1]
    if what == _C['GLUT_WINDOW_X']:
        return state.window_position[0]
    if what == _C['GLUT_WINDOW_Y']:
        return state.window_position[1]
    return 0


# ---------------------------------------------------------------------------
# drawing-helper stand-in support

HELPERS = (('draw3DCoordinateAxes', ()),
           ('drawColoredCube', ('size',)),
           ('drawGrayCube', ('size',)),
           ('drawViewVolume', ('left', 'right', 'bottom', 'top', 'near',
                               'far')))


def helper_call(name, params, args):
    """Record a drawing-helper call and fail where the real helper fails:
    wrong argument count, a non-numeric argument, a zero near distance, or
    a call between glBegin and glEnd (the helper's own glBegin then makes
    its glEnd raise GLError)."""
    _record(name, args)
    if len(args) != len(params):
        raise TypeError('%s() takes exactly %d argument%s (%d given)'
                        % (name, len(params), '' if len(params) == 1 else 's',
                           len(args)))
    for pname, value in zip(params, args):
        if value is None or isinstance(value, string_types):
            raise TypeError('%s(): %s must be a number, not %s'
                            % (name, pname, type(value).__name__))
        try:
            float(value)
        except (TypeError, ValueError):
            raise TypeError('%s(): %s must be a number, not %s'
                            % (name, pname, type(value).__name__))
    if name == 'drawViewVolume' and float(args[4]) == 0.0:
        raise ValueError('drawViewVolume(): near must be non-zero')
    if state.begin_mode is not None or state.checks_suspended:
        state.set_error(_C['GL_INVALID_OPERATION'])
        state.begin_mode = None
        state.current_primitive = None
        state.checks_suspended = False
        _raise_pending('glEnd', ())
    draws.append(Draw(name, args, state.top(_MV), state.top(_PROJ),
                      state.viewport))
