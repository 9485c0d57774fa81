"""The back buffer of the current window read with glReadPixels: as a
top-down RGB picture, or as the RGBA bytes GL gives, bottom row first."""
from __future__ import division, print_function

import ctypes

import numpy as np

from kesthost import glut  # noqa: F401  (before OpenGL.GLUT)
from OpenGL import GL


def read_frame(side):
    """The back buffer as a top-down (side, side, 3) uint8 array."""
    GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 1)
    GL.glReadBuffer(GL.GL_BACK)
    data = GL.glReadPixels(0, 0, side, side, GL.GL_RGB, GL.GL_UNSIGNED_BYTE)
    if isinstance(data, bytes):
        pixels = np.frombuffer(data, dtype=np.uint8)
    else:
        pixels = np.asarray(data, dtype=np.uint8)
    return pixels.reshape(side, side, 3)[::-1].copy()


try:
    # PyOpenGL's own glReadPixels allocates and converts its result on every
    # call: 5 ms a 700x700 frame here, where GL's call into an array of ours
    # takes 1 ms (the frames of two windows are read twice each with --diff).
    from OpenGL.raw.GL.VERSION.GL_1_0 import glReadPixels as _read_into
except ImportError:         # a GL without PyOpenGL's raw layer (the recording GL)
    _read_into = None


def read_pixels(side):
    """The back buffer as a (side, side, 4) uint8 array of RGBA, bottom row
    first: for comparing frames, which needs no copy into bytes."""
    GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 4)
    GL.glReadBuffer(GL.GL_BACK)
    if _read_into is not None:
        pixels = np.empty((side, side, 4), dtype=np.uint8)
        _read_into(0, 0, side, side, GL.GL_RGBA, GL.GL_UNSIGNED_BYTE, pixels)
        return pixels
    data = GL.glReadPixels(0, 0, side, side, GL.GL_RGBA, GL.GL_UNSIGNED_BYTE)
    if isinstance(data, bytes):
        return np.frombuffer(data, dtype=np.uint8).reshape(side, side, 4)
    return np.ascontiguousarray(data, dtype=np.uint8).reshape(side, side, 4)


def read_rgba(side):
    """The back buffer as glReadPixels gives it: RGBA bytes, bottom row first."""
    return read_pixels(side).tobytes()


def read_rgba_into(frame, column):
    """The back buffer (side x side, side the rows of `frame`) read into
    the columns from `column` on of `frame`, a C-ordered (rows, columns, 4)
    uint8 array, bottom row first: the two windows of a pair read straight
    into one frame."""
    side = frame.shape[0]
    if _read_into is None:
        frame[:, column:column + side] = np.frombuffer(read_rgba(side), dtype=np.uint8).reshape(
            side, side, 4)
        return
    GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 4)
    GL.glPixelStorei(GL.GL_PACK_ROW_LENGTH, frame.shape[1])
    GL.glReadBuffer(GL.GL_BACK)
    offset = column * 4
    target = (ctypes.c_ubyte * (frame.nbytes - offset)).from_address(frame.ctypes.data + offset)
    try:
        _read_into(0, 0, side, side, GL.GL_RGBA, GL.GL_UNSIGNED_BYTE, target)
    finally:
        GL.glPixelStorei(GL.GL_PACK_ROW_LENGTH, 0)
