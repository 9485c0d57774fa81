"""Drawing helpers for the Movra scene, in immediate-mode OpenGL.

Every figure is drawn in the current modelview coordinates:

    draw3DCoordinateAxes()          x red, y green, z blue, unit length
    drawColoredCube(size)           solid cube over [-size, size]^3, one
                                    colour per face
    drawGrayCube(size)              the same cube in shades of gray
    drawViewVolume(l, r, b, t, n, f)
                                    outline of the volume glFrustum(l, r, b,
                                    t, n, f) maps to the clip cube

The helpers leave the matrices and the line width as they found them; only
the current colour and normal change.  Every figure ends with the same
current colour, _RESTING_COLOUR (white): the scene draws its sphere, and the
camera figure its lens, with GLU quadrics in whatever colour is current, and
without this they would take the last colour of the figure drawn before them
(the yellow of the cube's -z face, hard to tell from the view volume's).
Cube faces are wound counter-clockwise seen from outside, so they survive
back-face culling with glFrontFace(GL_CCW).
"""
from OpenGL.GL import (GL_LINES, GL_LINE_LOOP, GL_LINE_WIDTH, GL_QUADS,
                       glBegin, glColor3f, glEnd, glGetFloatv, glLineWidth,
                       glNormal3f, glVertex3f)

__all__ = ['draw3DCoordinateAxes', 'drawColoredCube', 'drawGrayCube',
           'drawViewVolume']

try:
    _TEXT_TYPES = (basestring,)     # Python 2: str and unicode
except NameError:
    _TEXT_TYPES = (str, bytes)

_AXIS_LENGTH = 1.0
_AXIS_LINE_WIDTH = 3.0
_VOLUME_LINE_WIDTH = 2.0

_AXES = (((1.0, 0.0, 0.0), (1.0, 0.0, 0.0)),    # (direction, colour)
         ((0.0, 1.0, 0.0), (0.0, 1.0, 0.0)),
         ((0.0, 0.0, 1.0), (0.0, 0.0, 1.0)))

# (outward normal, corners of the unit cube in counter-clockwise order seen
# from outside)
_FACES = (
    ((1.0, 0.0, 0.0), ((1, -1, -1), (1, 1, -1), (1, 1, 1), (1, -1, 1))),
    ((-1.0, 0.0, 0.0), ((-1, -1, -1), (-1, -1, 1), (-1, 1, 1), (-1, 1, -1))),
    ((0.0, 1.0, 0.0), ((-1, 1, -1), (-1, 1, 1), (1, 1, 1), (1, 1, -1))),
    ((0.0, -1.0, 0.0), ((-1, -1, -1), (1, -1, -1), (1, -1, 1), (-1, -1, 1))),
    ((0.0, 0.0, 1.0), ((-1, -1, 1), (1, -1, 1), (1, 1, 1), (-1, 1, 1))),
    ((0.0, 0.0, -1.0), ((-1, -1, -1), (-1, 1, -1), (1, 1, -1), (1, -1, -1))),
)

# one colour per face, in _FACES order: +x red, -x cyan, +y green,
# -y magenta, +z blue, -z yellow
_FACE_COLOURS = ((1.0, 0.0, 0.0), (0.0, 1.0, 1.0), (0.0, 1.0, 0.0),
                 (1.0, 0.0, 1.0), (0.0, 0.0, 1.0), (1.0, 1.0, 0.0))

# a different gray per face so that the cube still reads as a solid
_FACE_GRAYS = (0.75, 0.45, 0.85, 0.35, 0.65, 0.55)

_VOLUME_COLOUR = (1.0, 0.85, 0.0)       # near/far rectangles and side edges
_APEX_COLOUR = (0.6, 0.6, 0.6)          # eye point to the near corners

# The colour current after every figure; the sphere and the lens are drawn
# in it (see the module text above).
_RESTING_COLOUR = (1.0, 1.0, 1.0)


def _number(func, name, value):
    """``value`` as a float; strings and None are refused, as a typo."""
    if value is None or isinstance(value, _TEXT_TYPES):
        raise TypeError('%s(): %s must be a number, not %s'
                        % (func, name, type(value).__name__))
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError('%s(): %s must be a number, not %s'
                        % (func, name, type(value).__name__))


def _with_line_width(width, draw):
    previous = float(glGetFloatv(GL_LINE_WIDTH))
    glLineWidth(width)
    draw()
    glLineWidth(previous)
    glColor3f(*_RESTING_COLOUR)


def draw3DCoordinateAxes():
    """Draw the x (red), y (green) and z (blue) axes from the origin."""
    def lines():
        glBegin(GL_LINES)
        for (dx, dy, dz), (r, g, b) in _AXES:
            glColor3f(r, g, b)
            glVertex3f(0.0, 0.0, 0.0)
            glVertex3f(dx * _AXIS_LENGTH, dy * _AXIS_LENGTH,
                       dz * _AXIS_LENGTH)
        glEnd()
    _with_line_width(_AXIS_LINE_WIDTH, lines)


def _cube(size, colours):
    glBegin(GL_QUADS)
    for ((nx, ny, nz), corners), (r, g, b) in zip(_FACES, colours):
        glColor3f(r, g, b)
        glNormal3f(nx, ny, nz)
        for x, y, z in corners:
            glVertex3f(x * size, y * size, z * size)
    glEnd()
    glColor3f(*_RESTING_COLOUR)


def drawColoredCube(size):
    """Draw a solid cube spanning [-size, size] with a colour per face."""
    _cube(_number('drawColoredCube', 'size', size), _FACE_COLOURS)


def drawGrayCube(size):
    """Draw a solid gray cube spanning [-size, size]."""
    _cube(_number('drawGrayCube', 'size', size),
          [(g, g, g) for g in _FACE_GRAYS])


def drawViewVolume(left, right, bottom, top, near, far):
    """Outline the volume of glFrustum(left, right, bottom, top, near, far).

    The near rectangle lies at z = -near, the far one at z = -far (the near
    one scaled by far / near); side edges join their corners and thin gray
    lines run from the eye at the origin to the near corners.
    """
    args = ('left', left), ('right', right), ('bottom', bottom), \
        ('top', top), ('near', near), ('far', far)
    l, r, b, t, n, f = [_number('drawViewVolume', name, value)
                        for name, value in args]
    if n == 0.0:
        raise ValueError('drawViewVolume(): near must be non-zero')
    k = f / n
    near_corners = ((l, b, -n), (r, b, -n), (r, t, -n), (l, t, -n))
    far_corners = tuple((x * k, y * k, -f) for x, y, _z in near_corners)

    def outline():
        glColor3f(*_VOLUME_COLOUR)
        for corners in (near_corners, far_corners):
            glBegin(GL_LINE_LOOP)
            for corner in corners:
                glVertex3f(*corner)
            glEnd()
        glBegin(GL_LINES)
        for a, c in zip(near_corners, far_corners):
            glVertex3f(*a)
            glVertex3f(*c)
        glColor3f(*_APEX_COLOUR)
        for corner in near_corners:
            glVertex3f(0.0, 0.0, 0.0)
            glVertex3f(*corner)
        glEnd()
    _with_line_width(_VOLUME_LINE_WIDTH, outline)
