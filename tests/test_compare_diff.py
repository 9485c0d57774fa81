"""The rules by which KestCompare tells values and calls apart, on values
encoded as the workers encode them."""
from __future__ import division

import numpy as np
import pytest

import glfake
from kestcompare import diff
from kestcompare.codec import encode

pytestmark = pytest.mark.compare


def enc(value):
    return encode(value, np, glfake.Quadric)


@pytest.mark.parametrize('value, expected', [
    (1, {'t': 'int', 'v': 1}),
    (2 ** 70, {'t': 'int', 'v': 2 ** 70}),
    (True, {'t': 'bool', 'v': True}),
    (0.5, {'t': 'float', 'v': 0.5}),
    (float('nan'), {'t': 'float', 'v': 'nan'}),
    (-float('inf'), {'t': 'float', 'v': '-inf'}),
    (np.float64(0.25), {'t': 'float64', 'v': 0.25}),
    (np.float32(1.5), {'t': 'float32', 'v': 1.5}),
    (np.int32(-3), {'t': 'int32', 'v': -3}),
    (None, {'t': 'None'}),
    ('x', {'t': 'str', 'v': 'x'}),
    ([0, 1.0], {'t': 'list', 'length': 2, 'items': [{'t': 'int', 'v': 0},
                                                    {'t': 'float', 'v': 1.0}]}),
    (np.matrix([[1, 2], [3, 4]]), {'t': 'matrix', 'dtype': 'int64', 'shape': [2, 2],
                                   'v': [1, 2, 3, 4]}),
    (np.eye(2, dtype=np.float32), {'t': 'ndarray', 'dtype': 'float32', 'shape': [2, 2],
                                   'v': [1.0, 0.0, 0.0, 1.0]}),
    (glfake.Quadric(), {'t': 'quadric'}),
])
def test_values_are_encoded_with_their_exact_type(value, expected):
    assert enc(value) == expected


class Loud(object):
    def __repr__(self):
        raise RuntimeError('no repr')


def test_a_value_whose_repr_raises_is_still_encoded():
    assert enc(Loud()) == {'t': 'Loud', 'repr': '<Loud whose repr raised RuntimeError>'}


@pytest.mark.parametrize('movra, yours, expected', [
    (0.0, 0, ('type', 'Movra float, yours int')),
    (0.5, np.float64(0.5), ('type', 'Movra float, yours numpy float64')),
    (1, True, ('type', 'Movra int, yours bool')),
    (True, np.bool_(True), ('type', 'Movra bool, yours numpy bool_')),
    (1.0, 1.0 + 5e-10, None),
    (1e6, 1e6 * (1 + 5e-10), None),             # relative above 1
    (1.0, 1.0 + 2e-9, ('value', 'Movra 1.0, yours 1.000000002')),
    (float('nan'), float('nan'), None),
    (float('inf'), 1e308, ('value', 'Movra inf, yours 1e+308')),
    (2 ** 1100, 2 ** 1100 + 1, ('value', 'Movra %r, yours %r' % (2 ** 1100, 2 ** 1100 + 1))),
    ([0, 1], [0, 1, 2], ('type', 'Movra a list of 2, yours of 3')),
    ([0, 1.0], [0, 1], ('type', 'item 1: Movra float, yours int')),
    ((0, 1), [0, 1], ('type', 'Movra tuple, yours list')),
    (np.eye(4), np.matrix(np.eye(4)), ('type', 'Movra plain array, yours numpy.matrix')),
    (np.eye(4), np.eye(4, dtype=np.float32),
     ('type', 'Movra 4x4 plain array of float64, yours 4x4 plain array of float32')),
    (np.eye(4), np.eye(4) + np.diag([0, 0, 0.5, 0]),
     ('value', '[2][2] Movra 1.0, yours 1.5; largest difference 0.5 at [2][2]')),
    ('GL_MODELVIEW ', 'GL_MODELVIEW', ('value', "Movra 'GL_MODELVIEW ', yours 'GL_MODELVIEW'")),
    (glfake.Quadric(), glfake.Quadric(), None),
])
def test_values_differ_by_type_before_value(movra, yours, expected):
    assert diff.compare_values(enc(movra), enc(yours)) == expected


def calls(*pairs):
    return [[name, [enc(a) for a in args]] for name, args in pairs]


M = ('glPushMatrix', ()), ('glTranslatef', (0.0, 0, -3.0)), ('glPopMatrix', ())


@pytest.mark.parametrize('yours, expected', [
    (M, None),
    ((M[0], ('glTranslatef', (0.0, 0, -3.0 + 1e-12)), M[2]), None),
    ((M[0], ('glTranslated', (0.0, 0, -3.0)), M[2]),
     {'call': 2, 'kind': 'function', 'argument': None,
      'detail': 'Movra calls glTranslatef, yours glTranslated'}),
    ((M[0], ('glTranslatef', (0.0, 0)), M[2]),
     {'call': 2, 'kind': 'count', 'argument': None, 'detail': 'Movra passes 3, yours 2'}),
    ((M[0], ('glTranslatef', (0.0, 0.0, -3.0)), M[2]),
     {'call': 2, 'kind': 'type', 'argument': 2, 'detail': 'argument 2: Movra int, yours float'}),
    ((M[0], ('glTranslatef', (0.0, 0, 3.0)), M[2]),
     {'call': 2, 'kind': 'value', 'argument': 3,
      'detail': 'argument 3: Movra -3.0, yours 3.0'}),
    (M[:2], {'call': 3, 'kind': 'missing', 'argument': None,
             'detail': 'Movra makes 3 calls, yours 2'}),
    (M + (('glPopMatrix', ()),),
     {'call': 4, 'kind': 'extra', 'argument': None, 'detail': 'yours makes 4 calls, Movra 3'}),
])
def test_the_first_call_difference_and_its_kind(yours, expected):
    found = diff.first_call_difference(calls(*M), calls(*yours))
    if expected is None:
        assert found is None
        return
    assert dict((k, found[k]) for k in expected) == expected
    assert found['movra'] == (None if expected['kind'] == 'extra'
                              else diff.call_text(calls(*M)[expected['call'] - 1]))


def test_a_first_difference_reads_as_one_line():
    found = diff.first_call_difference(calls(*M), calls(*M[:2]))
    assert diff.first_difference_text(found) == (
        'call 3: Movra glPopMatrix(), yours no call: a call missing '
        '(Movra makes 3 calls, yours 2)')


@pytest.mark.parametrize('yours, bitwise, close, largest, detail', [
    (np.matrix(np.eye(4)), True, True, 0.0, ''),
    (np.matrix(np.eye(4) + 1e-12), False, True, 1e-12, ''),
    (np.matrix(np.eye(4) + 0.25), False, False, 0.25, '[0][0] Movra 1.0, yours 1.25'),
    (np.eye(4), False, False, 0.0,
     'Movra returns 4x4 numpy.matrix of float64, yours 4x4 plain array of float64'),
])
def test_matrix_results_bitwise_close_or_different(yours, bitwise, close, largest, detail):
    found = diff.compare_matrices(enc(np.matrix(np.eye(4))), enc(yours))
    assert (found['bitwise'], found['close'], found['detail']) == (bitwise, close, detail)
    assert found['largest'] == pytest.approx(largest, rel=1e-3, abs=0)


def test_negative_zero_is_close_but_not_bitwise_equal():
    found = diff.compare_matrices(enc(np.matrix([[0.0, 1.0]])), enc(np.matrix([[-0.0, 1.0]])))
    assert (found['bitwise'], found['close'], found['largest']) == (False, True, 0.0)
