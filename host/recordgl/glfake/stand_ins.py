"""What the stand-in modules OpenGL, OpenGL.GL, OpenGL.GLU, OpenGL.GLUT and
KestDrawHelperFunctions (beside the package) are made of, the mode that
records nothing, and the switch that makes a stand-in fail to import.

``glfake.nothing`` is the package's attribute: None while calls are
recorded, after record_nothing() the one function every stand-in function is.
"""
from __future__ import absolute_import

import os
import sys

import glfake
from glfake.helpers import HELPERS
from glfake.recording import GL_FUNCS, GLU_FUNCS

BROKEN_ENV = 'MOVRA_FAKE_GL_BROKEN'
STAND_INS = ('OpenGL.GL', 'OpenGL.GLU', 'OpenGL.GLUT', 'KestDrawHelperFunctions')


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
    nothing = glfake.nothing
    namespace.update(consts)
    namespace.update(funcs if nothing is None else dict.fromkeys(funcs, nothing))
    namespace.update((obj.__name__, obj) for obj in extra)
    namespace['__all__'] = sorted(list(consts) + list(funcs) + [obj.__name__ for obj in extra])


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
    imported = [name for name in STAND_INS if name in sys.modules]
    if imported:
        raise RuntimeError('record_nothing() comes before the stand-ins are imported; '
                           'already imported: %s' % ', '.join(imported))
    glfake.nothing = function


def function_names():
    """The names of the stand-ins' GL and GLU functions and of the drawing
    helpers: every function of the stand-ins that the scene may call."""
    return sorted(GL_FUNCS) + sorted(GLU_FUNCS) + [name for name, _ in HELPERS]
