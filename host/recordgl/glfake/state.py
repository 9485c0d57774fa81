"""The simulated GL and GLUT state: the matrix stacks, the viewport, the
clear values, the enables, the primitives drawn, the quadrics, the GLUT
windows and callbacks; one State, ``state``, and the queries that tests
read it with."""
from __future__ import absolute_import

import numpy

from glfake.constants import _C, _MODE_NAMES, _MV, _PROJ, _TEX
from glfake.matrices import mat_identity


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
    """The simulated GL/GLUT state; ``reset()`` restores the initial values.

    Each GLUT window has a GL context of its own: its GL state and its
    callbacks (CONTEXT_FIELDS) are this object's attributes while it is the
    current window (glutSetWindow saves them and loads the other window's),
    so that ``state`` is always the current context's.
    """

    def __init__(self):
        self.reset()

    def reset(self):
        self.reset_context()
        # GLUT
        self.display_mode = 0
        self.window_size = (300, 300)
        self.window_position = (-1, -1)
        self.windows = []           # titles of created windows
        self.window_positions = []  # (x, y) of each, as created or moved
        self.destroyed = set()      # ids of the destroyed windows
        self.current_window = 0     # id (from 1) of the current window, 0 for none
        self.contexts = {}          # id -> saved CONTEXT_FIELDS of a window not current
        self.options = {}           # glutSetOption
        self.idle_func = None
        self.timers = []            # pending (msecs, func, value)
        self.redisplay_requests = 0
        self.redisplay_windows = []  # the window of each redisplay request
        self.swaps = 0
        self.swapped_windows = []   # the window of each buffer swap
        self.elapsed_ms = 0

    CONTEXT_FIELDS = (
        'matrix_mode', 'stacks', 'max_depth', 'viewport', 'clear_color', 'clear_depth',
        'clears', 'front_face', 'cull_face_mode', 'depth_func', 'depth_mask', 'enabled',
        'line_width', 'point_size', 'color', 'normal', 'shade_model', 'polygon_mode',
        'begin_mode', 'checks_suspended', 'error', 'primitives', 'current_primitive',
        'quadrics', 'attrib_stack', 'lists', 'list_base', 'compiling', 'raster_pos',
        'display_func', 'reshape_func', 'keyboard_func', 'special_func', 'mouse_func',
        'motion_func', 'close_func')

    def reset_context(self):
        """A new context's GL state, and no callbacks."""
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
        self.attrib_stack = []      # what glPushAttrib saved
        self.lists = {}             # display list -> its calls, (name, args)
        self.list_base = 0
        self.compiling = None       # the list glNewList opened
        self.raster_pos = None      # (x, y) of glRasterPos2i / glWindowPos2i
        self.display_func = None
        self.reshape_func = None
        self.keyboard_func = None
        self.special_func = None
        self.mouse_func = None
        self.motion_func = None
        self.close_func = None

    def save_context(self):
        return dict((name, getattr(self, name)) for name in self.CONTEXT_FIELDS)

    def load_context(self, saved):
        for name in self.CONTEXT_FIELDS:
            setattr(self, name, saved[name])

    def make_current(self, window):
        """The context of `window` (an id) becomes this object's state."""
        if window == self.current_window:
            return
        if self.current_window and self.current_window not in self.destroyed:
            self.contexts[self.current_window] = self.save_context()
        self.load_context(self.contexts.pop(window))
        self.current_window = window

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
