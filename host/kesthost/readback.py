"""The back buffer of the current window read with glReadPixels: as a
top-down RGB picture, or as the RGBA bytes GL gives, bottom row first."""
from __future__ import division, print_function

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


def read_rgba(side):
    """The back buffer as glReadPixels gives it: RGBA bytes, bottom row first."""
    GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 4)
    GL.glReadBuffer(GL.GL_BACK)
    data = GL.glReadPixels(0, 0, side, side, GL.GL_RGBA, GL.GL_UNSIGNED_BYTE)
    if not isinstance(data, bytes):
        data = np.ascontiguousarray(data, dtype=np.uint8).tobytes()
    return data
