"""The GL functions of the stand-in OpenGL.GL, each registered in GL_FUNCS
and simulated on the state: the matrix stacks, the viewport and the fixed
state, glGet*, immediate mode."""
from __future__ import absolute_import

import numpy

from glfake.constants import (_C, _CAPS, _CLEAR_BITS, _DEPTH_FUNCS, _MV, _PRIMITIVES, _PROJ,
                              _TEX)
from glfake.matrices import (mat_frustum, mat_identity, mat_ortho, mat_rotate, mat_scale,
                             mat_translate)
from glfake.py23 import integer_type
from glfake.recording import _f, _gl
from glfake.state import Primitive, state


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
    """Bytes of the clear colour (a str on Python 2, as PyOpenGL's), as
    wide as the requested rectangle."""
    comps = {_C['GL_RGB']: 3, _C['GL_RGBA']: 4}
    if fmt not in comps or typ != _C['GL_UNSIGNED_BYTE']:
        raise KeyError('glReadPixels format/type not simulated by glfake')
    if w < 0 or h < 0:
        state.set_error(_C['GL_INVALID_VALUE'])
        return None
    px = bytes(bytearray(int(round(c * 255)) for c in state.clear_color[:comps[int(fmt)]]))
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



# --- pixel transfer, raster position, attributes, display lists

@_gl('ii')
def glPixelStorei(pname, param):
    if pname not in (_C['GL_PACK_ALIGNMENT'], _C['GL_UNPACK_ALIGNMENT']):
        state.set_error(_C['GL_INVALID_ENUM'])
    elif param not in (1, 2, 4, 8):
        state.set_error(_C['GL_INVALID_VALUE'])


@_gl('i')
def glReadBuffer(mode):
    if mode not in (_C['GL_FRONT'], _C['GL_BACK']):
        state.set_error(_C['GL_INVALID_ENUM'])


@_gl('iiiio')
def glDrawPixels(w, h, fmt, typ, data):
    comps = {_C['GL_RGB']: 3, _C['GL_RGBA']: 4}
    if fmt not in comps or typ != _C['GL_UNSIGNED_BYTE']:
        raise KeyError('glDrawPixels format/type not simulated by glfake')
    if w < 0 or h < 0:
        state.set_error(_C['GL_INVALID_VALUE'])
        return
    if len(data) < int(w) * int(h) * comps[int(fmt)]:
        raise ValueError('glDrawPixels: %d bytes for %dx%d pixels' % (len(data), w, h))


@_gl('if')
def glAlphaFunc(func, ref):
    if func not in _DEPTH_FUNCS:       # the same eight comparisons
        state.set_error(_C['GL_INVALID_ENUM'])


@_gl('ff')
def glPixelZoom(x, y):
    pass


@_gl('ii')
def glRasterPos2i(x, y):
    state.raster_pos = (int(x), int(y))


@_gl('ii')
def glWindowPos2i(x, y):
    state.raster_pos = (int(x), int(y))


@_gl('iiii')
def glRecti(x1, y1, x2, y2):
    pass


# What glPushAttrib saves of the simulated state (all of it, whatever the mask).
_ATTRIBUTES = ('viewport', 'clear_color', 'clear_depth', 'front_face', 'cull_face_mode',
               'depth_func', 'depth_mask', 'enabled', 'line_width', 'point_size', 'color',
               'normal', 'shade_model', 'polygon_mode')
_MAX_ATTRIB_DEPTH = 16


@_gl('i')
def glPushAttrib(mask):
    if len(state.attrib_stack) >= _MAX_ATTRIB_DEPTH:
        state.set_error(_C['GL_STACK_OVERFLOW'])
        return
    state.attrib_stack.append(dict((name, set(value) if isinstance(value, set) else value)
                                   for name, value in
                                   ((name, getattr(state, name)) for name in _ATTRIBUTES)))


@_gl('')
def glPopAttrib():
    if not state.attrib_stack:
        state.set_error(_C['GL_STACK_UNDERFLOW'])
        return
    for name, value in state.attrib_stack.pop().items():
        setattr(state, name, value)


@_gl('i')
def glGenLists(count):
    if count < 0:
        state.set_error(_C['GL_INVALID_VALUE'])
        return 0
    base = max(state.lists) + 1 if state.lists else 1
    for number in range(base, base + int(count)):
        state.lists[number] = []
    return base


@_gl('ii')
def glNewList(number, mode):
    if mode not in (_C['GL_COMPILE'], _C['GL_COMPILE_AND_EXECUTE']):
        state.set_error(_C['GL_INVALID_ENUM'])
        return
    if state.compiling is not None:
        state.set_error(_C['GL_INVALID_OPERATION'])
        return
    state.compiling = int(number)
    state.lists[int(number)] = []


@_gl('')
def glEndList():
    if state.compiling is None:
        state.set_error(_C['GL_INVALID_OPERATION'])
        return
    state.compiling = None


@_gl('i')
def glListBase(base):
    state.list_base = int(base)


@_gl('o')
def glCallLists(lists):
    """The lists of the bytes' codes (from the list base) must exist."""
    codes = bytearray(lists)
    missing = [code for code in codes if state.list_base + code not in state.lists]
    if missing:
        raise KeyError('glCallLists: no display list %d' % (state.list_base + missing[0]))
