"""The GLU functions of the stand-in OpenGL.GLU, each registered in
GLU_FUNCS: the projection and look-at matrices, the quadrics and the shapes
drawn with them (recorded in quadric_draws), gluErrorString."""
from __future__ import absolute_import

import math

from glfake.constants import _C, _ERROR_TEXT, _MV, _PROJ
from glfake.matrices import mat_look_at, mat_ortho, mat_perspective
from glfake.recording import Draw, _f, _glu, quadric_draws
from glfake.state import Quadric, state


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
