"""How KestCompare tells two recorded values, calls and matrices apart.

The values are the typed images of kestcompare.codec:
{"t": type, "v": value} for numbers, arrays with "dtype", "shape" and "v"
(the elements in order), lists and tuples with "items". Two numbers of the
same type count as equal when they are within TOLERANCE of each other
(relative to their size once that is above 1); an int and a float never
are, since GL receives the two as different arguments.
"""
from __future__ import division, print_function

import math

from kestcompare import codec

TOLERANCE = 1e-9

NUMPY_SCALARS = codec.NUMPY_SCALARS
ARRAYS = codec.ARRAYS
number = codec.number
is_number = codec.is_number


def numbers_close(a, b, tolerance=TOLERANCE):
    a, b = number(a), number(b)
    if a == b:
        return True
    try:
        a, b = float(a), float(b)
    except OverflowError:
        return False
    if math.isnan(a) and math.isnan(b):
        return True
    if math.isnan(a) or math.isnan(b) or math.isinf(a) or math.isinf(b):
        return False
    return abs(a - b) <= tolerance * max(1.0, abs(a), abs(b))


def numbers_identical(a, b):
    """Bitwise: equal, with the same sign of zero; NaN equals NaN."""
    a, b = number(a), number(b)
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) and math.isnan(b):
            return True
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    return a == b and type(a) is type(b)


def absolute_difference(a, b):
    a, b = number(a), number(b)
    try:
        a, b = float(a), float(b)
    except OverflowError:
        return float('inf') if a != b else 0.0
    if math.isnan(a) and math.isnan(b):
        return 0.0
    if a == b:
        return 0.0
    difference = abs(a - b)
    return float('inf') if math.isnan(difference) else difference


# ----------------------------------------------------------------- naming ---

def type_name(value):
    """The type of a value as the report names it."""
    t = value['t']
    if t == 'matrix':
        return 'numpy.matrix'
    if t == 'ndarray':
        return 'plain array'
    if t in NUMPY_SCALARS:
        return 'numpy ' + t
    return t


def shape_name(value):
    return '%s %s of %s' % ('x'.join(str(n) for n in value['shape']) or 'scalar',
                            type_name(value), value['dtype'])


def _number_text(value):
    v = number(value['v'])
    if value['t'] == 'float' or isinstance(v, float):
        text = repr(float(v))
    else:
        text = repr(v)
    if value['t'] in NUMPY_SCALARS:
        return '%s(%s)' % (value['t'], text)
    return text


def element_text(v):
    """An element of an array."""
    v = number(v)
    return repr(float(v)) if isinstance(v, float) else repr(v)


def value_text(value, limit=60):
    """A value as it would be written in the source, shortened."""
    t = value['t']
    if t == 'None':
        return 'None'
    if t == 'quadric':
        return '<quadric>'
    if t == 'str':
        text = repr(value['v'])
        return text[1:] if text.startswith('u') else text
    if is_number(value):
        return _number_text(value)
    if t in ARRAYS and 'v' in value:
        return '<%s>' % shape_name(value)
    if t in ('list', 'tuple'):
        inner = ', '.join(value_text(v, limit) for v in value['items'])
        if value['length'] > len(value['items']):
            inner += ', ...'
        text = ('[%s]' if t == 'list' else '(%s)') % inner
    else:
        text = value.get('repr', '<%s>' % t)
    return text if len(text) <= limit else text[:limit - 3] + '...'


def call_text(call):
    name, args = call
    return '%s(%s)' % (name, ', '.join(value_text(a) for a in args))


def index_text(flat_index, shape):
    if not shape:
        return ''
    indexes = []
    for size in reversed(shape):
        indexes.append(flat_index % size)
        flat_index //= size
    return ''.join('[%d]' % i for i in reversed(indexes))


# ------------------------------------------------------------- comparison ---

def largest_array_difference(a, b):
    """(largest absolute difference, flat index) between two equal-shaped arrays."""
    largest, where = 0.0, 0
    for index, (x, y) in enumerate(zip(a['v'], b['v'])):
        difference = absolute_difference(x, y)
        if difference > largest or (index == 0 and difference == largest):
            largest, where = difference, index
    return largest, where


def compare_values(a, b):
    """None when a (Movra's) and b (yours) count as equal, else (kind, detail):
    kind "type" for another type (also another dtype or shape of an array, or
    another length of a list), "value" for another value."""
    if a['t'] != b['t']:
        return 'type', 'Movra %s, yours %s' % (type_name(a), type_name(b))
    if is_number(a) and is_number(b):
        if numbers_close(a['v'], b['v']):
            return None
        return 'value', 'Movra %s, yours %s' % (_number_text(a), _number_text(b))
    if a['t'] in ARRAYS or 'dtype' in a:
        if a.get('dtype') != b.get('dtype') or a.get('shape') != b.get('shape'):
            return 'type', 'Movra %s, yours %s' % (shape_name(a), shape_name(b))
        if 'v' in a and 'v' in b:
            for index, (x, y) in enumerate(zip(a['v'], b['v'])):
                if not numbers_close(x, y):
                    largest, where = largest_array_difference(a, b)
                    return 'value', '%s Movra %s, yours %s; largest difference %s at %s' % (
                        index_text(index, a['shape']), element_text(x),
                        element_text(y), difference_text(largest),
                        index_text(where, a['shape']))
            return None
        return _compare_items(a.get('items', []), b.get('items', []))
    if a['t'] in ('list', 'tuple'):
        if a['length'] != b['length']:
            return 'type', 'Movra a %s of %d, yours of %d' % (a['t'], a['length'], b['length'])
        return _compare_items(a['items'], b['items'])
    if a.get('v') != b.get('v') or a.get('repr') != b.get('repr'):
        return 'value', 'Movra %s, yours %s' % (value_text(a), value_text(b))
    return None


def _compare_items(a_items, b_items):
    for index, (x, y) in enumerate(zip(a_items, b_items)):
        found = compare_values(x, y)
        if found is not None:
            return found[0], 'item %d: %s' % (index, found[1])
    return None


def difference_text(value):
    if value == 0:
        return '0'
    if math.isinf(value):
        return 'inf'
    return '%.3g' % value


CALL_KINDS = {
    'function': 'another function',
    'count': 'another argument count',
    'type': 'an argument of another type',
    'value': 'another value',
    'missing': 'a call missing',
    'extra': 'an extra call',
}


def first_call_difference(movra, yours):
    """The first position at which two recorded call lists differ, or None.

    A dict with "call" (1-based position), "kind" (a key of CALL_KINDS),
    "movra" and "yours" (the calls as text, or None past the end),
    "argument" (1-based, for argument differences) and "detail"."""
    for index in range(max(len(movra), len(yours))):
        here = {'call': index + 1, 'argument': None, 'detail': ''}
        if index >= len(yours):
            here.update(kind='missing', movra=call_text(movra[index]), yours=None,
                        detail='Movra makes %d calls, yours %d' % (len(movra), len(yours)))
            return here
        if index >= len(movra):
            here.update(kind='extra', movra=None, yours=call_text(yours[index]),
                        detail='yours makes %d calls, Movra %d' % (len(yours), len(movra)))
            return here
        (m_name, m_args), (y_name, y_args) = movra[index], yours[index]
        here.update(movra=call_text(movra[index]), yours=call_text(yours[index]))
        if m_name != y_name:
            here.update(kind='function', detail='Movra calls %s, yours %s' % (m_name, y_name))
            return here
        if len(m_args) != len(y_args):
            here.update(kind='count', detail='Movra passes %d, yours %d'
                        % (len(m_args), len(y_args)))
            return here
        for position, (a, b) in enumerate(zip(m_args, y_args)):
            found = compare_values(a, b)
            if found is not None:
                here.update(kind=found[0], argument=position + 1,
                            detail='argument %d: %s' % (position + 1, found[1]))
                return here
    return None


def first_difference_text(found):
    """One line for a first call difference."""
    movra = found['movra'] or 'no call'
    yours = found['yours'] or 'no call'
    return 'call %d: Movra %s, yours %s: %s (%s)' % (
        found['call'], movra, yours, CALL_KINDS[found['kind']], found['detail'])


def compare_matrices(a, b):
    """Movra's and your result of one builder call, as a dict: "bitwise" and
    "close" (within TOLERANCE), "largest" (the largest absolute difference,
    None when the two cannot be set side by side) and "detail"."""
    out = {'bitwise': False, 'close': False, 'largest': None, 'detail': ''}
    if a['t'] != b['t'] or a.get('dtype') != b.get('dtype') or a.get('shape') != b.get('shape'):
        if 'shape' in a and 'shape' in b and a['shape'] == b['shape'] and 'v' in a and 'v' in b:
            out['largest'] = largest_array_difference(a, b)[0]
        out['detail'] = 'Movra returns %s, yours %s' % (
            shape_name(a) if 'shape' in a else type_name(a),
            shape_name(b) if 'shape' in b else value_text(b))
        return out
    if 'v' not in a or 'v' not in b:
        found = compare_values(a, b)
        out['bitwise'] = out['close'] = found is None
        out['detail'] = found[1] if found else ''
        return out
    out['bitwise'] = all(numbers_identical(x, y) for x, y in zip(a['v'], b['v']))
    largest, where = largest_array_difference(a, b)
    out['largest'] = largest
    out['close'] = all(numbers_close(x, y) for x, y in zip(a['v'], b['v']))
    if not out['close']:
        for index, (x, y) in enumerate(zip(a['v'], b['v'])):
            if not numbers_close(x, y):
                out['detail'] = '%s Movra %s, yours %s' % (
                    index_text(index, a['shape']), element_text(x),
                    element_text(y))
                break
    return out
