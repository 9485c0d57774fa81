"""The recording itself: every call of a stand-in function appended to
``calls`` as ``(name, args)``, args exactly as passed, with ``raise_on``
honoured; the tables of the GL, GLU and GLUT functions and the wrapper that
registers each (record, check the arguments, simulate, raise the GL error as
PyOpenGL would); the readers of the recording and reset().

``raise_on`` and ``on_main_loop`` are the package's attributes (tests assign
``glfake.raise_on = FailingCall(...)``), so they are read from it at each use.
"""
from __future__ import absolute_import

import operator

import glfake
from glfake.checks import _check_args
from glfake.constants import _C, _ERROR_TEXT, _allowed_inside_begin
from glfake.errors import GLError
from glfake.py23 import intern as _intern
from glfake.state import state

calls = []          # (name, args) for every GL/GLU/GLUT and helper call
draws = []          # Draw records, one per drawing-helper call
quadric_draws = []  # Draw records, one per gluSphere/gluCylinder/gluDisk/...


def reset():
    """Forget all calls, draws, raise_on entries and restore initial state."""
    del calls[:]
    del draws[:]
    del quadric_draws[:]
    glfake.raise_on.clear()
    glfake.on_main_loop = None
    state.reset()


def names():
    """Names of all recorded calls, in order."""
    return [c[0] for c in calls]


def calls_of(name):
    """Argument tuples of every recorded call of ``name``, in order."""
    return [c[1] for c in calls if c[0] == name]


def typed(args):
    """((type name, repr), ...) for each argument, to check exact types."""
    return tuple((type(a).__name__, repr(a)) for a in args)


def typed_calls(name=None):
    """[(name, typed(args)), ...] for all calls, or only those of ``name``."""
    return [(n, typed(a)) for n, a in calls if name is None or n == name]


class FailingCall(object):
    """Stands in for ``raise_on``: the n-th recorded call, whatever its name,
    raises ``error('call n (name) failed')``."""

    def __init__(self, n, error=LookupError):
        self.n, self.error, self.seen = n, error, 0

    def get(self, name):
        self.seen += 1
        if self.seen == self.n:
            return self.error('call %d (%s) failed' % (self.n, name))
        return None

    def clear(self):
        pass


def _record(name, args):
    calls.append((name, args))
    exc = glfake.raise_on.get(name)
    if exc is not None:
        raise exc


class Draw(tuple):
    """``(name, args, modelview)`` with extra attributes.

    ``modelview`` and ``projection`` are row-major float64 copies of the
    simulated matrices at the time of the call; ``viewport`` is the viewport
    tuple then in force.
    """

    def __new__(cls, name, args, modelview, projection, viewport):
        self = tuple.__new__(cls, (name, args, modelview))
        self.projection = projection
        self.viewport = viewport
        return self

    name = property(operator.itemgetter(0))
    args = property(operator.itemgetter(1))
    modelview = property(operator.itemgetter(2))




GL_FUNCS = {}
GLU_FUNCS = {}
GLUT_FUNCS = {}


def _raise_pending(name, args):
    code = state.error
    if code:
        state.error = 0
        raise GLError(err=code, description=_ERROR_TEXT.get(code),
                      baseOperation=name,
                      cArguments=() if name == 'glEnd' else args)


def _api(table, sig):
    """Register ``impl`` under its own name in ``table``.

    The wrapper records the call, honours raise_on, checks the arguments,
    ignores commands GL rejects inside glBegin/glEnd (flagging the error),
    runs the simulation and then raises any GL error as PyOpenGL would.
    """
    def deco(impl):
        name = _intern(impl.__name__)  # as PyOpenGL's names: see _parse_consts
        graphics = table is not GLUT_FUNCS

        def wrapper(*args):
            _record(name, args)
            if sig is not None:
                _check_args(name, sig, args)
            if (graphics and state.begin_mode is not None
                    and not _allowed_inside_begin(name)):
                state.set_error(_C['GL_INVALID_OPERATION'])
                return None
            result = impl(*args)
            if graphics and not state.checks_suspended and name != 'glGetError':
                _raise_pending(name, args)
            return result
        wrapper.__name__ = name
        wrapper.__doc__ = impl.__doc__
        table[name] = wrapper
        return wrapper
    return deco


def _gl(sig):
    return _api(GL_FUNCS, sig)


def _glu(sig):
    return _api(GLU_FUNCS, sig)


def _glut(sig):
    return _api(GLUT_FUNCS, sig)


def _f(v):
    return float(v)
