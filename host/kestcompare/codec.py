"""The one typed image of a value that crosses between KestCompare and its
workers, in both directions: the arguments and states that the tool sends,
the results, calls and globals that a worker sends back.

A value is a JSON object with a type tag "t":

    {"t": "None"}
    {"t": "bool", "v": true}
    {"t": "int", "v": 3}                     Python's int (and Python 2's long)
    {"t": "float", "v": 0.5}                 Python's float
    {"t": "float32", "v": 1.5}               a numpy scalar, by its type's name
    {"t": "str", "v": "text"}                bytes are decoded as UTF-8
    {"t": "list", "length": 5, "items": [...]}     lists and tuples ("tuple"),
                                             at most MAX_ITEMS items kept
    {"t": "matrix", "dtype": "float64", "shape": [4, 4], "v": [...]}
                                             numpy.matrix ("matrix"), plain
                                             arrays ("ndarray"): numeric
                                             elements in order in "v", others
                                             as values in "items"
    {"t": "quadric"}                         a GLU quadric
    {"t": "Name", "repr": "..."}             anything else: its type and repr

A float that JSON cannot carry is the string "nan", "inf" or "-inf" in
place of the number. Nothing else is ever sent: encode() makes these from
objects in a worker, decode() makes objects from them in a worker (the
arguments of a call), and validate() is what the tool checks every value of
a reply against before it reads it, since a worker that runs a learner's
code may send anything.

This module runs in the workers too, under Python 2.7 and Python 3: it
imports nothing but the standard library, and numpy is handed in.
"""
from __future__ import absolute_import, division, print_function

import math
import sys

PY2 = sys.version_info[0] == 2
if PY2:
    INTEGERS = (int, long)  # noqa: F821
    TEXT = unicode  # noqa: F821
    NUMBERS = (int, long, float)  # noqa: F821
else:
    INTEGERS = (int,)
    TEXT = str
    NUMBERS = (int, float)

MAX_ITEMS = 64          # items of a list or object array kept
MAX_ELEMENTS = 4096     # numeric elements of an array kept
MAX_DEPTH = 8           # lists in lists
MAX_TEXT = 500          # characters of a string value
MAX_REPR = 200          # characters of a repr
NON_FINITE = ('nan', 'inf', '-inf')

NUMPY_SCALARS = ('float64', 'float32', 'float16', 'longdouble', 'float128', 'int64', 'int32',
                 'int16', 'int8', 'uint64', 'uint32', 'uint16', 'uint8', 'bool_')
NUMPY_FLOATS = ('float64', 'float32', 'float16', 'longdouble', 'float128')
ARRAYS = ('ndarray', 'matrix')
SEQUENCES = ('list', 'tuple')
DTYPE_KINDS = 'biuf'


class CodecError(ValueError):
    """A value that is not a typed image as described above."""


# ---------------------------------------------------------------- numbers ---

def number(v):
    """A number of an image as Python has it: "nan", "inf", "-inf" become
    floats, anything else is returned as it is."""
    if v == 'nan':
        return float('nan')
    if v == 'inf':
        return float('inf')
    if v == '-inf':
        return float('-inf')
    return v


def is_number(value):
    """True for an image of a number (a bool among them)."""
    return value.get('t') in ('int', 'float', 'bool') + NUMPY_SCALARS and 'v' in value


def as_float(value):
    """The number of an image (not a bool) as a float, else None."""
    if value is None or value.get('t') in ('bool', 'bool_') or not is_number(value):
        return None
    try:
        return float(number(value['v']))
    except (OverflowError, TypeError, ValueError):
        return None


def as_matrix(value, np):
    """A 2-D numeric array image as a float numpy array, else None."""
    if value is None or 'v' not in value or len(value.get('shape') or []) != 2:
        return None
    try:
        return np.array([float(number(v)) for v in value['v']],
                        dtype=float).reshape(value['shape'])
    except (OverflowError, TypeError, ValueError):
        return None


def finite_or_word(value):
    """A float as JSON can carry it: "nan", "inf" or "-inf" for those."""
    if isinstance(value, float):
        if value != value:
            return 'nan'
        if value in (float('inf'), float('-inf')):
            return 'inf' if value > 0 else '-inf'
    return value


# ------------------------------------------------------------- to objects ---

def to_text(value):
    """Text that JSON can carry: bytes are decoded, undecodable ones replaced."""
    if isinstance(value, bytes):
        return value.decode('utf-8', 'replace')
    if isinstance(value, TEXT):
        return value
    try:
        return TEXT(value)
    except BaseException:
        return TEXT('<%s>' % type(value).__name__)


def safe_repr(value, limit=MAX_REPR):
    """repr() of a value that may be anything (a learner's __repr__ may
    raise, or run on), shortened."""
    try:
        text = to_text(repr(value))
    except BaseException as error:
        text = TEXT('<%s whose repr raised %s>' % (type(value).__name__, type(error).__name__))
    return text if len(text) <= limit else text[:limit] + '...'


def encode(value, np, quadric_type=None, depth=0):
    """The typed image of a value (see the module's docstring)."""
    if depth > MAX_DEPTH:
        return {'t': 'nested', 'repr': safe_repr(value)}
    if value is None:
        return {'t': 'None'}
    if isinstance(value, bool):
        return {'t': 'bool', 'v': value}
    if isinstance(value, np.ndarray):
        kind = 'matrix' if isinstance(value, np.matrix) else (
            'ndarray' if type(value) is np.ndarray else type(value).__name__)
        out = {'t': kind, 'dtype': value.dtype.name, 'shape': list(value.shape)}
        flat = np.asarray(value).ravel()
        if value.dtype.kind in DTYPE_KINDS:
            out['v'] = [finite_or_word(v) for v in flat[:MAX_ELEMENTS].tolist()]
        else:
            out['items'] = [encode(v, np, quadric_type, depth + 1)
                            for v in flat[:MAX_ITEMS].tolist()]
        return out
    if isinstance(value, np.generic):
        # numpy 2 names its bool scalar "bool", like Python's own
        name = 'bool_' if isinstance(value, np.bool_) else type(value).__name__
        try:
            return {'t': name, 'v': finite_or_word(value.item())}
        except (TypeError, ValueError):
            return {'t': name, 'repr': safe_repr(value)}
    if isinstance(value, INTEGERS):
        return {'t': 'int', 'v': int(value)}
    if isinstance(value, float):
        return {'t': 'float', 'v': finite_or_word(float(value))}
    if type(value) in (list, tuple):
        return {'t': type(value).__name__, 'length': len(value),
                'items': [encode(v, np, quadric_type, depth + 1) for v in value[:MAX_ITEMS]]}
    if quadric_type is not None and isinstance(value, quadric_type):
        return {'t': 'quadric'}
    if isinstance(value, (bytes, TEXT)):
        return {'t': 'str', 'v': to_text(value)[:MAX_TEXT]}
    return {'t': type(value).__name__, 'repr': safe_repr(value)}


def decode(value, np):
    """The object of an image, for the arguments and globals that the tool
    sends: numbers of their exact type, strings, lists, tuples and numeric
    arrays. Anything else raises CodecError."""
    t = value.get('t')
    if t == 'None':
        return None
    if t == 'bool':
        return bool(value['v'])
    if t == 'int':
        return int(value['v'])
    if t == 'float':
        return float(number(value['v']))
    if t == 'str':
        return value['v']
    if t in NUMPY_SCALARS:
        kind = np.bool_ if t == 'bool_' else getattr(np, t)
        return kind(number(value['v']))
    if t in SEQUENCES:
        items = [decode(item, np) for item in value['items']]
        return items if t == 'list' else tuple(items)
    if t in ARRAYS:
        array = np.array([number(v) for v in value['v']],
                         dtype=value['dtype']).reshape(value['shape'])
        return np.matrix(array) if t == 'matrix' else array
    raise CodecError('cannot make an object of a %r value' % (t,))


# ------------------------------------------------------------- validation ---

def _is_text(v):
    return isinstance(v, TEXT) or (PY2 and isinstance(v, str))


def _check_number(v, where):
    if isinstance(v, bool) or not (isinstance(v, NUMBERS) or v in NON_FINITE):
        raise CodecError('%s: not a number: %s' % (where, safe_repr(v, 40)))
    if isinstance(v, float) and (math.isnan(v) or math.isinf(v)):
        raise CodecError('%s: a non-finite float must be written as a word' % where)


def _check_text(v, where, limit):
    if not _is_text(v):
        raise CodecError('%s: not a string' % where)
    if len(v) > limit:
        raise CodecError('%s: a string of %d characters, at most %d' % (where, len(v), limit))


def validate(value, where='value', depth=0):
    """Raises CodecError unless value is a typed image as encode() makes
    them, within its bounds: the tool's check of what a worker sends."""
    if not isinstance(value, dict):
        raise CodecError('%s: not an object' % where)
    t = value.get('t')
    if not _is_text(t) or not t or len(t) > 100:
        raise CodecError('%s: no type tag' % where)
    if depth > MAX_DEPTH + 1:
        raise CodecError('%s: nested deeper than %d' % (where, MAX_DEPTH))
    allowed = {'t'}
    if t in ('None', 'quadric'):
        pass
    elif t == 'bool':
        allowed.add('v')
        if not isinstance(value.get('v'), bool):
            raise CodecError('%s: a bool without its value' % where)
    elif t in ('int', 'float') or (t in NUMPY_SCALARS and 'v' in value):
        allowed.add('v')
        v = value.get('v')
        if t == 'bool_':
            if not isinstance(v, bool):
                raise CodecError('%s: a numpy bool without its value' % where)
        else:
            _check_number(v, where)
            if t == 'int' and not isinstance(v, INTEGERS):
                raise CodecError('%s: an int of another kind' % where)
    elif t == 'str':
        allowed.add('v')
        _check_text(value.get('v'), where, MAX_TEXT)
    elif t in SEQUENCES:
        allowed.update(('length', 'items'))
        length, items = value.get('length'), value.get('items')
        if not isinstance(length, INTEGERS) or isinstance(length, bool) or length < 0:
            raise CodecError('%s: a %s without its length' % (where, t))
        if not isinstance(items, list) or len(items) > min(length, MAX_ITEMS):
            raise CodecError('%s: a %s with more items than it has' % (where, t))
        for index, item in enumerate(items):
            validate(item, '%s item %d' % (where, index), depth + 1)
    elif 'shape' in value or 'dtype' in value:
        allowed.update(('dtype', 'shape', 'v', 'items'))
        shape = value.get('shape')
        if not isinstance(shape, list) or len(shape) > 32 or not all(
                isinstance(n, INTEGERS) and not isinstance(n, bool) and n >= 0 for n in shape):
            raise CodecError('%s: an array without a shape' % where)
        _check_text(value.get('dtype'), where + ' dtype', 40)
        size = 1
        for n in shape:
            size *= n
        if 'v' in value:
            elements = value['v']
            if not isinstance(elements, list) or len(elements) != min(size, MAX_ELEMENTS):
                raise CodecError('%s: an array of %d elements with %s' % (
                    where, size, len(elements) if isinstance(elements, list) else 'none'))
            for element in elements:
                if isinstance(element, bool):
                    continue
                _check_number(element, where + ' element')
        elif 'items' in value:
            items = value['items']
            if not isinstance(items, list) or len(items) > min(size, MAX_ITEMS):
                raise CodecError('%s: an array with more items than it has' % where)
            for index, item in enumerate(items):
                validate(item, '%s item %d' % (where, index), depth + 1)
        else:
            raise CodecError('%s: an array without its elements' % where)
    else:
        allowed.add('repr')
        _check_text(value.get('repr'), where + ' repr', MAX_REPR + 3)
    extra = set(value) - allowed
    if extra:
        raise CodecError('%s: unexpected field %s' % (where, sorted(extra)[0]))
    return value
