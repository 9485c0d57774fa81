"""Recording stand-in for the drawing helper module used by the scene.

Each call goes into glfake.calls (interleaved with the GL calls) and, when it
succeeds, into glfake.draws together with the simulated matrices, so tests
can check which figure was drawn where.  glfake.raise_on applies as for the
GL functions.  After glfake.record_nothing(function) every helper is that
function.
"""
from __future__ import absolute_import

import glfake as _rec

_rec.check_broken('KestDrawHelperFunctions')

__all__ = ['draw3DCoordinateAxes', 'drawColoredCube', 'drawGrayCube',
           'drawViewVolume']


def draw3DCoordinateAxes(*args):
    """Three unit axes at the current origin."""
    _rec.helper_call('draw3DCoordinateAxes', (), args)


def drawColoredCube(*args):
    """drawColoredCube(size): cube spanning [-size, size], one colour a face."""
    _rec.helper_call('drawColoredCube', ('size',), args)


def drawGrayCube(*args):
    """drawGrayCube(size): gray cube spanning [-size, size]."""
    _rec.helper_call('drawGrayCube', ('size',), args)


def drawViewVolume(*args):
    """drawViewVolume(left, right, bottom, top, near, far): frustum outline."""
    _rec.helper_call('drawViewVolume',
                     ('left', 'right', 'bottom', 'top', 'near', 'far'), args)


if _rec.nothing is not None:
    globals().update(dict.fromkeys(__all__, _rec.nothing))
