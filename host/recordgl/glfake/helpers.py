"""The recording stand-in for the drawing helpers (KestDrawHelperFunctions
beside the package): each call recorded among the GL calls and checked as
the real helper checks it, each drawn figure kept in ``draws`` with the
simulated matrices."""
from __future__ import absolute_import

from glfake.constants import _C, _MV, _PROJ
from glfake.py23 import string_types
from glfake.recording import Draw, _raise_pending, _record, draws
from glfake.state import state



HELPERS = (('draw3DCoordinateAxes', ()),
           ('drawColoredCube', ('size',)),
           ('drawGrayCube', ('size',)),
           ('drawViewVolume', ('left', 'right', 'bottom', 'top', 'near',
                               'far')))


def helper_call(name, params, args):
    """Record a drawing-helper call and fail where the real helper fails:
    wrong argument count, a non-numeric argument, a zero near distance, or
    a call between glBegin and glEnd (the helper's own glBegin then makes
    its glEnd raise GLError)."""
    _record(name, args)
    if len(args) != len(params):
        raise TypeError('%s() takes exactly %d argument%s (%d given)'
                        % (name, len(params), '' if len(params) == 1 else 's',
                           len(args)))
    for pname, value in zip(params, args):
        if value is None or isinstance(value, string_types):
            raise TypeError('%s(): %s must be a number, not %s'
                            % (name, pname, type(value).__name__))
        try:
            float(value)
        except (TypeError, ValueError):
            raise TypeError('%s(): %s must be a number, not %s'
                            % (name, pname, type(value).__name__))
    if name == 'drawViewVolume' and float(args[4]) == 0.0:
        raise ValueError('drawViewVolume(): near must be non-zero')
    if state.begin_mode is not None or state.checks_suspended:
        state.set_error(_C['GL_INVALID_OPERATION'])
        state.begin_mode = None
        state.current_primitive = None
        state.checks_suspended = False
        _raise_pending('glEnd', ())
    draws.append(Draw(name, args, state.top(_MV), state.top(_PROJ),
                      state.viewport))
