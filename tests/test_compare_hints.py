"""The tests behind KestCompare's hints, on values encoded as the workers
encode them: each kind holds for the mistake it names and not for a
difference that only looks like it."""
from __future__ import division

import numpy as np
import pytest

import glfake
from kestcompare import hints, protocol
from kestcompare.codec import encode

pytestmark = pytest.mark.compare


def enc(value):
    return encode(value, np, glfake.Quadric)


def rotate_x(degrees):
    t = np.deg2rad(degrees)
    return np.matrix([[1, 0, 0, 0], [0, np.cos(t), np.sin(t), 0], [0, -np.sin(t), np.cos(t), 0],
                      [0, 0, 0, 1]])


def translate(x, y, z):
    m = np.eye(4)
    m[:3, 3] = [x, y, z]
    return np.matrix(m)


R, T = rotate_x(30), translate(1, 2, 3)
FLOORED = np.matrix(np.eye(4))
FLOORED[2, 2] = -3.0                    # Movra's -2.5 below
HALVES = np.matrix(np.eye(4))
HALVES[2, 2] = -2.5
NEGATED = R.copy()
NEGATED[2, 1] = -NEGATED[2, 1]


def one_set(movra, yours, probes=None, factors=None, tolerance=None):
    return {'movra': enc(movra), 'yours': enc(yours), 'tolerance': tolerance,
            'probes': dict((k, enc(v)) for k, v in (probes or {}).items()),
            'factors': [[name, enc(m)] for name, m in (factors or [])]}


@pytest.mark.parametrize('sets, kind', [
    ([one_set(R, R.T)], 'transpose'),
    ([one_set(R, R.T), one_set(rotate_x(90), rotate_x(90).T)], 'transpose'),
    ([one_set(R, NEGATED)], 'sign'),
    ([one_set(HALVES, FLOORED)], 'integer-division'),
    ([one_set(R, rotate_x(np.rad2deg(30)), probes={'rad2deg': rotate_x(np.rad2deg(30))})],
     'degrees-radians'),
    ([one_set(T * R, R * T, factors=[('rotateX', R), ('translate', T)])], 'product-order'),
    # none holds: another matrix, one set of two explained, another shape
    ([one_set(R, rotate_x(31))], None),
    ([one_set(R, R.T), one_set(rotate_x(90), rotate_x(91))], None),
    ([one_set(R, np.eye(3))], None),
    ([one_set(R, rotate_x(45), probes={'rad2deg': rotate_x(46)})], None),
    ([one_set(T * R, T * T, factors=[('rotateX', R), ('translate', T)])], None),
    ([one_set(HALVES, HALVES + 0.25)], None),
    ([], None),
])
def test_a_builder_hint_holds_for_every_differing_set(sets, kind):
    found = hints.builder_hint('rotateX', sets)
    assert (found and found['kind']) == kind


def test_a_float32_angle_matches_its_probe_to_float32_precision():
    yours = rotate_x(np.float64(np.float32(0.5)) * 180 / np.pi)
    probe = yours + 1e-7
    sets = [one_set(R, yours, probes={'rad2deg': probe})]
    assert hints.builder_hint('rotateX', sets) is None
    sets[0]['tolerance'] = 1e-5
    assert hints.builder_hint('rotateX', sets)['kind'] == 'degrees-radians'


def test_hint_texts_of_builders():
    assert hints.builder_hint('rotateX', [one_set(R, NEGATED)])['text'] == \
        'yours has the other sign at [2][1], in the differing argument set'
    assert hints.builder_hint('p', [one_set(T * R, R * T, factors=[('rotateX', R),
                                                                  ('translate', T)])])['text'] \
        == ("yours multiplies rotateX * translate where Movra's matrix is translate * rotateX: "
            "the same matrices in another order, in the differing argument set")


def call(name, *args):
    return [name, [enc(a) for a in args]]


@pytest.mark.parametrize('movra, yours, context, expected', [
    (call('glViewport', 350, 0, 350, 350), call('glViewport', 0, 350, 350, 350), {},
     [('viewport-rectangle', 'Viewport3')]),
    (call('glViewport', 350, 350, 350, 350), call('glViewport', 350, 350, 700, 700), {},
     [('viewport-rectangle', 'corners')]),
    (call('glViewport', 350, 0, 350, 350), call('glViewport', 351, 0, 350, 350), {}, []),
    (call('glViewport', 350, 0, 350, 350), call('glViewport', 0, 350, 350, 351), {}, []),
    (call('glRotatef', -30, 0, 1, 0), call('glRotatef', 30, 0, 1, 0), {}, [('sign', None)]),
    (call('glRotatef', -30, 0, 1, 0), call('glRotatef', 30, 0, -1, 0), {}, []),
    (call('glRotatef', -30, 0, 1, 0), call('glRotatef', -15.0, 0, 1, 0), {}, []),
    (call('glRotatef', 30.0, 0, 1, 0), call('glRotatef', np.deg2rad(30.0), 0, 1, 0), {},
     [('degrees-radians', 'radians')]),
    (call('gluLookAt', 2.0, 1, 4.0, 0.0, 0.0, -5.5, 0.0, 1.0, 0.0),
     call('gluLookAt', 2.0, 1, 4.0, 0.0, 0.0, -6, 0.0, 1.0, 0.0), {},
     [('integer-division', None)]),
    (call('gluLookAt', 2.0, 1, 4.0, 0.0, 0.0, -5.5, 0.0, 1.0, 0.0),
     call('gluLookAt', 2.0, 1, 4.0, 0.0, 0.0, -5, 0.0, 1.0, 0.0), {}, []),
    (call('glTranslatef', 0.0, 0, 1.0), call('glTranslatef', 0.0, 0, 1.0 + 1e-6), {}, []),
    # a rotation transposed has its sin entries negated: both hold
    (call('glMultMatrixd', R.T), call('glMultMatrixd', R), {},
     [('transpose', None), ('sign', None)]),
    (call('glMultMatrixd', (R * T).T), call('glMultMatrixd', (T * R).T),
     {'factors': [['rotateX', enc(R)], ['translate', enc(T)]]}, [('product-order', None)]),
    (call('glMultMatrixd', (R * T).T), call('glMultMatrixd', (T * T).T),
     {'factors': [['rotateX', enc(R)], ['translate', enc(T)]]}, []),
    (call('glTranslatef', 0.0, 3, 1.0), call('glTranslatef', 0.5, 3, 0.9),
     {'probes': {1: call('glTranslatef', 0.5, 3, 0.9), -1: call('glTranslatef', 0.0, 3, 1.0)}},
     [('tick', 1)]),
    (call('glTranslatef', 0.0, 3, 1.0), call('glTranslatef', 0.5, 3, 0.9),
     {'probes': {1: call('glTranslatef', 0.25, 3, 0.9)}}, []),
])
def test_what_explains_one_call(movra, yours, context, expected):
    found = [(kind, variant) for kind, variant, _phrase in
             hints.call_explanations(movra, yours, context)]
    assert found == expected


PUSH, POP = call('glPushMatrix'), call('glPopMatrix')
A, B, C = call('glRotatef', 1, 0, 1, 0), call('glScalef', 1, 1, 1), call('drawGrayCube', 0.5)


@pytest.mark.parametrize('movra, yours, owners, raised, expected', [
    ([PUSH, A, POP], [PUSH, A], (['f'] * 3, ['f'] * 2), False, [('missing', 'glPopMatrix', 'f')]),
    ([PUSH, A, POP], [PUSH, A, POP, POP], (['f'] * 3, ['f'] * 4), False,
     [('extra', 'glPopMatrix', 'f')]),
    # the caller's pop comes right after the callee's: the callee misses it
    ([PUSH, PUSH, A, POP, POP], [PUSH, PUSH, A, POP],
     (['outer', 'inner', 'inner', 'inner', 'outer'], ['outer', 'inner', 'inner', 'outer']),
     False, [('missing', 'glPopMatrix', 'inner')]),
    # an extra pop that raised (an empty stack) ends yours' calls
    ([A, B, C], [POP], ([None] * 3, ['f']), True, [('extra', 'glPopMatrix', 'f')]),
    ([PUSH, A, POP], [PUSH, A, B], (None, None), False, None),
    ([PUSH, A, POP], [PUSH, B, POP], (None, None), False, None),
    ([PUSH, A, POP], [PUSH, A, POP], (None, None), False, None),
])
def test_pushes_and_pops_that_alone_make_the_difference(movra, yours, owners, raised, expected):
    assert hints.push_pop(movra, yours, owners[0], owners[1], raised) == expected


@pytest.mark.parametrize('movra, yours, expected', [
    ([PUSH, A, B, POP], [PUSH, B, A, POP], (2, 3)),
    ([PUSH, A, B, C, POP], [PUSH, C, A, B, POP], (2, 4)),
    ([PUSH, A, B, POP], [PUSH, B, B, POP], None),
    ([PUSH, A, B, POP], [PUSH, A, B, POP], None),
    ([PUSH, A, B, POP], [PUSH, A, B], None),
])
def test_the_same_calls_in_another_order(movra, yours, expected):
    assert hints.call_order(movra, yours) == expected


def reply(calls, **fields):
    out = {'calls': calls, 'globals': {}, 'depth': {'modelview': 1, 'projection': 1}}
    out.update(fields)
    return protocol.DrawReply(**out)


def changed(original, **fields):
    return protocol.DrawReply(**dict(vars(original), **fields))


def test_a_state_is_explained_only_when_every_difference_is():
    movra = reply([call('glRotatef', -30, 0, 1, 0), call('glViewport', 350, 0, 350, 350)])
    one = reply([call('glRotatef', 30, 0, 1, 0), call('glViewport', 350, 0, 350, 350)])
    two = reply([call('glRotatef', 30, 0, 1, 0), call('glViewport', 0, 350, 350, 350)])
    assert hints.state_explanation(movra, one, {})[:2] == ('sign', None)
    assert hints.state_explanation(movra, two, {}) is None
    raised = changed(one, error={'type': 'TypeError'})
    assert hints.state_explanation(movra, raised, {}) is None
    # of two that hold, the first in the order of the kinds is given
    assert hints.state_explanation(reply([call('glMultMatrixd', R.T)]),
                                   reply([call('glMultMatrixd', R)]), {})[:2] == \
        ('transpose', None)


def test_a_tick_explains_calls_and_globals_with_the_same_shift():
    position = lambda x: enc([x, 3, 1.0])   # noqa: E731
    movra = reply([call('glTranslatef', 0.0, 3, 1.0)], globals={'movingCameraPos': position(0.0)})
    yours = reply([call('glTranslatef', 0.5, 3, 1.0)], globals={'movingCameraPos': position(0.5)})
    later = reply([call('glTranslatef', 0.5, 3, 1.0)], globals={'movingCameraPos': position(0.5)})
    earlier = reply([call('glTranslatef', 0.5, 3, 1.0)],
                    globals={'movingCameraPos': position(-0.5)})
    asked = []

    def probe(delta):
        asked.append(delta)
        return {1: later, -1: None}[delta]
    assert hints.state_explanation(movra, yours, probe)[:2] == ('tick', 1)
    assert sorted(set(asked)) == [-1, 1]
    # the call one tick later but the global one tick earlier: no shift explains both
    mixed = {1: later, -1: changed(earlier, calls=[call('glTranslatef', 9.0, 3, 1.0)])}
    mixed[1] = changed(later, globals={'movingCameraPos': position(7.0)})
    assert hints.state_explanation(movra, yours, mixed.get) is None


def test_a_function_hint_needs_the_same_explanation_in_every_state():
    sign = ('sign', None, None, {'call': 3, 'movra': 'glRotatef(-30, 0, 1, 0)',
                                 'yours': 'glRotatef(30, 0, 1, 0)'})
    tick = ('tick', 1, None, {})
    found = hints.function_hint('drawMovingViewVolume', [sign, sign])
    assert found['kind'] == 'sign' and found['text'] == (
        'a value has the other sign (Movra glRotatef(-30, 0, 1, 0), yours glRotatef(30, 0, 1, 0))')
    assert hints.function_hint('drawMovingViewVolume', [sign, tick]) is None
    assert hints.function_hint('drawMovingViewVolume', [sign, None]) is None


def test_hints_of_several_items_merge_into_one_line():
    pop = {'kind': 'push-pop', 'text': 'a glPopMatrix missing in drawCamera'}
    merged = hints.merge([dict(pop, item='drawCamera'), dict(pop, item='Viewport1'),
                          {'kind': 'sign', 'text': 'yours has the other sign',
                           'item': 'global left'},
                          {'kind': 'call-order', 'text': 'calls 2 to 5', 'key': 'call-order',
                           'item': 'Viewport2'},
                          {'kind': 'call-order', 'text': 'calls 9 to 12', 'key': 'call-order',
                           'item': 'drawMain'}])
    assert merged == [
        {'kind': 'push-pop', 'text': 'a glPopMatrix missing in drawCamera',
         'explains': ['drawCamera', 'Viewport1']},
        {'kind': 'sign', 'text': 'yours has the other sign', 'explains': ['global left']},
        {'kind': 'call-order', 'text': 'calls 2 to 5', 'explains': ['Viewport2', 'drawMain']}]


@pytest.mark.parametrize('movra, yours, kind', [
    (-0.5, 0.5, 'sign'), (0.5, 0.5, None), (0, 0, None), (-0.5, -0.25, None), (1, -1.0, 'sign'),
])
def test_a_global_default_of_the_other_sign(movra, yours, kind):
    found = hints.global_hint('left', enc(movra), enc(yours))
    assert (found and found['kind']) == kind
