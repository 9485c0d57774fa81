"""The host's keyboard table, driven without a window.

KestControls only rebinds attributes of the module it is given, so these
tests hand it a plain module object with Movra's globals (the real compiled
module under real OpenGL is driven by test_host_gl.py).
"""
from __future__ import division

import math
import os
import subprocess
import sys
import types

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, 'host')
if HOST not in sys.path:
    sys.path.append(HOST)

import KestControls  # noqa: E402
from KestControls import ControlState, handle_key  # noqa: E402

CONFIG = ('near', 'far', 'left', 'right', 'bottom', 'top', 'eyeX', 'eyeY',
          'eyeZ', 'pan', 'tilt', 'viewport4Sol1', 'movingCameraRadius',
          'movingCameraHeight', 'movingCameraAngle', 'movingCameraPos',
          'sizeViewport')


def make_module(**changes):
    module = types.ModuleType('MovraStandIn')
    for name, value in KestControls.DEFAULTS:
        setattr(module, name, list(value) if isinstance(value, tuple) else value)
    module.sizeViewport = 350
    module.matrix_calls = 0

    def getGL_MODELVIEW_PROJ():
        module.matrix_calls += 1
        return None, None
    module.getGL_MODELVIEW_PROJ = getGL_MODELVIEW_PROJ
    for name, value in changes.items():
        setattr(module, name, value)
    return module


def snapshot(module):
    return dict((name, getattr(module, name)) for name in CONFIG)


def changes_between(before, after):
    return dict((name, after[name]) for name in CONFIG if after[name] != before[name])


FOV_OUT = 1.1
FOV_IN = 1 / 1.1

VALUE_KEYS = [
    ('a', {'pan': -5}),
    ('d', {'pan': 5}),
    ('LEFT', {'pan': -5}),
    ('RIGHT', {'pan': 5}),
    ('s', {'tilt': -5}),
    ('w', {'tilt': 5}),
    ('DOWN', {'tilt': -5}),
    ('UP', {'tilt': 5}),
    ('x', {'eyeX': -0.25}),
    ('X', {'eyeX': 0.25}),
    ('y', {'eyeY': -0.25}),
    ('Y', {'eyeY': 0.25}),
    ('z', {'eyeZ': -0.25}),
    ('Z', {'eyeZ': 0.25}),
    ('n', {'near': 0.9}),
    ('N', {'near': 1.1}),
    ('f', {'far': 6.5}),
    ('F', {'far': 7.5}),
    ('v', {'left': -0.5 * FOV_IN, 'right': 0.5 * FOV_IN,
           'bottom': -0.5 * FOV_IN, 'top': 0.5 * FOV_IN}),
    ('V', {'left': -0.5 * FOV_OUT, 'right': 0.5 * FOV_OUT,
           'bottom': -0.5 * FOV_OUT, 'top': 0.5 * FOV_OUT}),
    ('4', {'viewport4Sol1': False}),
]


@pytest.mark.parametrize('key, expected', VALUE_KEYS)
def test_value_keys_rebind_exactly_their_globals(key, expected):
    module, state = make_module(), ControlState()
    before = snapshot(module)
    outcome = handle_key(key, module, state)
    changed = changes_between(before, snapshot(module))
    assert sorted(changed) == sorted(expected)
    for name, value in expected.items():
        assert changed[name] == pytest.approx(value, abs=1e-9)
    assert (outcome.known, outcome.changed, outcome.redisplay, outcome.quit) == \
        (True, True, True, False)
    assert outcome.message == KestControls.status_line(module, state)
    assert (state.paused, state.pending_steps, state.quit) == (False, 0, False)


@pytest.mark.parametrize('key', ['d', b'd', ord('d')])
def test_keys_arrive_as_text_bytes_or_codes(key):
    module = make_module()
    handle_key(key, module, ControlState())
    assert module.pan == 5


def test_pan_and_tilt_stay_whole_degrees():
    module, state = make_module(), ControlState()
    for key in 'dddwa':
        handle_key(key, module, state)
    assert (module.pan, module.tilt) == (10, 5)
    assert type(module.pan) is int and type(module.tilt) is int


def test_eye_steps_add_up_exactly():
    module, state = make_module(), ControlState()
    for _ in range(8):
        handle_key('X', module, state)
    for _ in range(3):
        handle_key('z', module, state)
    assert module.eyeX == 2.0 and module.eyeZ == -0.75


LIMITS = [
    ('pan at the limit', dict(pan=80), 'd', 'pan', 80),
    ('pan at the other limit', dict(pan=-80), 'a', 'pan', -80),
    ('tilt at the limit', dict(tilt=80), 'w', 'tilt', 80),
    ('near at its minimum', dict(near=0.1), 'n', 'near', 0.1),
    ('near just before far', dict(near=6.5), 'N', 'near', 6.5),
    ('far just behind near', dict(far=1.5), 'f', 'far', 1.5),
    ('narrowest frustum', dict(left=-0.05, right=0.05, bottom=-0.05, top=0.05), 'v', 'top', 0.05),
    ('widest frustum', dict(left=-19.0, right=19.0, bottom=-1.0, top=1.0), 'V', 'left', -19.0),
]


@pytest.mark.parametrize('case, start, key, name, value', LIMITS, ids=[case[0] for case in LIMITS])
def test_limits_refuse_the_step_and_say_so(case, start, key, name, value):
    module, state = make_module(**start), ControlState()
    before = snapshot(module)
    outcome = handle_key(key, module, state)
    assert snapshot(module) == before
    assert getattr(module, name) == value
    assert outcome.changed is False and outcome.redisplay is False
    assert outcome.message.endswith('(limit reached, nothing changed)')


def test_pan_steps_up_to_the_limit_then_stops():
    module, state = make_module(pan=77), ControlState()
    assert handle_key('d', module, state).changed is True
    assert module.pan == 80
    assert handle_key('d', module, state).changed is False


def test_near_keeps_half_a_unit_before_far_and_far_behind_near():
    module, state = make_module(near=6.45), ControlState()
    handle_key('N', module, state)
    assert module.near == pytest.approx(6.5)
    module = make_module(near=3.0, far=3.7)
    handle_key('f', module, state)
    assert module.far == pytest.approx(3.5)


def test_space_pauses_and_resumes():
    module, state = make_module(), ControlState()
    outcome = handle_key(' ', module, state)
    assert state.paused is True and outcome.message == 'animation paused'
    assert outcome.redisplay is False and outcome.changed is False
    outcome = handle_key(' ', module, state)
    assert state.paused is False and outcome.message == 'animation running'


def test_single_step_pauses_and_queues_one_tick_per_press():
    module, state = make_module(), ControlState()
    outcome = handle_key('.', module, state)
    assert (state.paused, state.pending_steps) == (True, 1)
    assert outcome.redisplay is True
    handle_key('.', module, state)
    assert state.pending_steps == 2
    # Resuming drops the queued steps: the timer ticks again anyway.
    handle_key(' ', module, state)
    assert (state.paused, state.pending_steps) == (False, 0)
    assert module.movingCameraAngle == 0      # the table itself never ticks


def test_m_prints_the_matrices_through_the_module():
    module, state = make_module(), ControlState()
    before = snapshot(module)
    outcome = handle_key('m', module, state)
    assert module.matrix_calls == 1
    assert snapshot(module) == before
    assert outcome.message is None and outcome.changed is False


def test_r_resets_every_global_but_the_window_size():
    module = make_module(pan=30, tilt=-20, eyeX=1.5, eyeY=-2.0, eyeZ=3.0, near=2.0,
                         far=9.0, left=-1.0, right=1.5, bottom=-0.7, top=0.9,
                         viewport4Sol1=False, movingCameraRadius=8,
                         movingCameraHeight=1, movingCameraAngle=123,
                         movingCameraPos=[1.0, 2.0, 3.0], sizeViewport=200)
    outcome = handle_key('r', module, ControlState())
    expected = snapshot(make_module(sizeViewport=200))
    assert snapshot(module) == expected
    assert type(module.pan) is int and type(module.near) is float
    assert module.movingCameraPos == [0, 0, 0] and isinstance(module.movingCameraPos, list)
    assert outcome.changed is True and outcome.redisplay is True


def test_reset_hands_out_a_fresh_position_list_each_time():
    module, state = make_module(), ControlState()
    handle_key('r', module, state)
    first = module.movingCameraPos
    first.append('changed by someone')
    handle_key('r', module, state)
    assert module.movingCameraPos == [0, 0, 0]


@pytest.mark.parametrize('key', ['h', '?'])
def test_help_lists_every_key(key):
    module, state = make_module(), ControlState()
    outcome = handle_key(key, module, state)
    assert outcome.message == KestControls.help_text()
    lines = outcome.message.splitlines()
    assert lines[0] == 'Movra keys:'
    assert len(lines) == 1 + len(KestControls.KEYS)
    for key_name, _, description, _ in KestControls.KEYS:
        assert '  %-6s %s' % (KestControls.key_label(key_name), description) in lines


@pytest.mark.parametrize('key', ['q', '\x1b', b'\x1b'])
def test_q_and_escape_quit(key):
    module, state = make_module(), ControlState()
    outcome = handle_key(key, module, state)
    assert outcome.quit is True and state.quit is True
    assert outcome.changed is False


@pytest.mark.parametrize('key', ['k', 'Q', '\r', 'F1', 300])
def test_unknown_keys_change_nothing(key):
    module, state = make_module(), ControlState()
    before = snapshot(module)
    outcome = handle_key(key, module, state)
    assert snapshot(module) == before
    assert outcome.known is False and outcome.quit is False and outcome.redisplay is False
    assert 'h lists the keys' in outcome.message


def test_status_line_shows_the_current_values():
    module, state = make_module(), ControlState()
    assert KestControls.status_line(module, state) == (
        'pan=0 tilt=0 eye=(0.00, 0.00, 0.00) near=1.00 far=7.00 '
        'frustum=[-0.500, 0.500]x[-0.500, 0.500] fov=53.1 viewport4=GLU')
    handle_key('.', module, state)
    handle_key('4', module, state)
    assert KestControls.status_line(module, state).endswith('viewport4=own matrices [paused]')


def test_field_of_view_follows_near_and_the_frustum():
    module = make_module()
    assert KestControls.field_of_view(module) == pytest.approx(2 * math.degrees(math.atan(0.5)))
    module.bottom, module.top, module.near = -0.2, 0.6, 2.0
    expected = math.degrees(math.atan(0.3) + math.atan(0.1))
    assert KestControls.field_of_view(module) == pytest.approx(expected)


def test_every_key_of_the_table_is_distinct():
    keys = [key for key, _, _, _ in KestControls.KEYS]
    assert len(keys) == len(set(keys))


def test_the_table_needs_no_opengl():
    code = ('import sys; sys.path.insert(0, %r); import KestControls; '
            'print(sorted(name for name in sys.modules if name.split(".")[0] == "OpenGL"))' % HOST)
    env = dict(os.environ)
    env.pop('PYTHONPATH', None)
    output = subprocess.check_output([sys.executable, '-c', code], env=env)
    assert output.strip() == b'[]'
