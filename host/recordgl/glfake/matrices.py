"""Row-major float64 4x4 matrices of the GL and GLU calls that change a
matrix, by the standard OpenGL reference formulas."""
from __future__ import absolute_import, division

import math

import numpy


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
