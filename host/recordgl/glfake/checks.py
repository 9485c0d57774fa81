"""The arguments of every stand-in function checked as ctypes and PyOpenGL
check them, with their complaints: a float or a non-number for an integer
parameter, a non-number for a float one, an array of the wrong size, a
quadric that is not one or was deleted, too few or too many arguments."""
from __future__ import absolute_import

import ctypes
import operator

import numpy

from glfake.errors import Fatal
from glfake.py23 import string_types
from glfake.state import Quadric


def _ctypes_wrong_type_text():
    """What this Python's ctypes says of a value of the wrong type for the
    first argument ("argument 1: <type 'exceptions.TypeError'>: wrong type"
    on 2.7; the class is written differently on 3.x)."""
    function = ctypes.CFUNCTYPE(None, ctypes.c_int)(lambda value: None)
    try:
        function('text')
    except ctypes.ArgumentError as error:
        return str(error)
    raise AssertionError('ctypes accepted a string for an int argument')


_WRONG_TYPE = _ctypes_wrong_type_text().replace('argument 1:', 'argument %d:', 1)


def wrong_type_text(number):
    """ctypes' complaint about argument `number` (counted from 1)."""
    return _WRONG_TYPE % number


def _wrong_type(index):
    return ctypes.ArgumentError(wrong_type_text(index + 1))


def _check_float(value, index):
    if value is None or isinstance(value, string_types):
        raise _wrong_type(index)
    try:
        float(value)
    except (TypeError, ValueError):
        raise _wrong_type(index)


def _check_int(value, index):
    if value is None or isinstance(value, (float, numpy.floating) + string_types):
        raise _wrong_type(index)
    try:
        operator.index(value)
    except TypeError:
        raise _wrong_type(index)


def _check_array(value, count, itemsize):
    try:
        arr = numpy.asarray(value, dtype=numpy.float64)
    except (TypeError, ValueError):
        raise _wrong_type(0)
    if arr.size != count:
        raise ValueError('Expected %d byte array, got %d byte array'
                         % (count * itemsize, arr.size * itemsize))
    return arr


def _check_quadric(value, index):
    if not isinstance(value, Quadric):
        raise _wrong_type(index)
    if value.deleted:
        raise Fatal('quadric %r used after gluDeleteQuadric' % (value,))


def _check_args(name, sig, args):
    """sig letters: f float, i integer/enum, q quadric, c callable,
    C callable or None, s string, o anything, 2/3/4 float vectors
    (f suffix 4-byte, d 8-byte items), m 16-value matrix."""
    if len(args) < len(sig):
        raise TypeError('this function takes at least %d argument%s (%d given)'
                        % (len(sig), '' if len(sig) == 1 else 's', len(args)))
    if len(args) > len(sig):
        raise TypeError('%s() takes exactly %d argument%s (%d given)'
                        % (name, len(sig), '' if len(sig) == 1 else 's',
                           len(args)))
    itemsize = 8 if name.endswith('dv') or name.endswith('d') else 4
    for i, (kind, value) in enumerate(zip(sig, args)):
        if kind == 'f':
            _check_float(value, i)
        elif kind == 'i':
            _check_int(value, i)
        elif kind == 'q':
            _check_quadric(value, i)
        elif kind == 'c':
            if not callable(value):
                raise _wrong_type(i)
        elif kind == 'C':
            if value is not None and not callable(value):
                raise _wrong_type(i)
        elif kind == 's':
            if not isinstance(value, string_types):
                raise _wrong_type(i)
        elif kind in '234':
            _check_array(value, int(kind), itemsize)
        elif kind == 'm':
            _check_array(value, 16, itemsize)
