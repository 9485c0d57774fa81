"""Stand-in for OpenGL.platform: the platform object whose GLUT library the
host's GLUT loader (kesthost.glut) looks for; the stand-in needs none."""
from __future__ import absolute_import

import glfake as _rec

_rec.check_broken('OpenGL')


class _Library(object):
    """Where PyOpenGL keeps a loaded library: this one has no functions, so
    the host finds no glutExit in it."""


class _Platform(object):
    GL = _Library()
    GLU = _Library()
    GLUT = _Library()


PLATFORM = _Platform()
