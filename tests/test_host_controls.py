"""The host's keyboard table and mouse controls, driven without a window.

kesthost.controls only rebinds attributes of the module it is given, so these
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

from kesthost import controls  # noqa: E402
from kesthost.controls import ControlState, handle_key  # noqa: E402

pytestmark = pytest.mark.host

CONFIG = tuple(name for name, _ in controls.DEFAULTS) + ('sizeViewport',)


def make_module(**changes):
    module = types.ModuleType('MovraStandIn')
    for name, value in controls.DEFAULTS:
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
    assert outcome.message == controls.status_line(module, state)
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


def test_m_asks_the_next_frame_for_the_matrices():
    module, state = make_module(), ControlState()
    before = snapshot(module)
    outcome = handle_key('m', module, state)
    # The window reads them from GL while it draws; the table only asks.
    assert state.print_matrices is True and module.matrix_calls == 0
    assert snapshot(module) == before
    assert outcome.message is None and outcome.changed is False
    assert outcome.redisplay is True


@pytest.mark.parametrize('key, attr, message', [
    ('l', 'labels', 'labels'),
    ('i', 'matrices', 'matrices overlay'),
])
def test_overlay_keys_toggle_and_redraw(key, attr, message):
    module, state = make_module(), ControlState()
    start = getattr(state, attr)
    before = snapshot(module)
    shown = []
    for _ in range(2):
        outcome = handle_key(key, module, state)
        shown.append(getattr(state, attr))
        assert outcome.redisplay is True and outcome.changed is False
        assert outcome.message == '%s %s' % (message, 'shown' if shown[-1] else 'hidden')
    assert shown == [not start, start]
    assert snapshot(module) == before


def test_r_resets_every_global_but_the_window_size():
    module = make_module(pan=30, tilt=-20, eyeX=1.5, eyeY=-2.0, eyeZ=3.0, near=2.0,
                         far=9.0, left=-1.0, right=1.5, bottom=-0.7, top=0.9,
                         viewport4Sol1=False, movingCameraRadius=8,
                         movingCameraHeight=1, movingCameraAngle=123,
                         movingCameraPos=[1.0, 2.0, 3.0], sizeViewport=200)
    state = ControlState()
    outcome = handle_key('r', module, state)
    expected = snapshot(make_module(sizeViewport=200))
    assert snapshot(module) == expected
    # ... and asks the window for one tick, so the moving camera is back
    # on its orbit in the next frame.
    assert state.pending_steps == 1
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
    assert outcome.message == controls.help_text()
    lines = outcome.message.splitlines()
    assert lines[0] == 'Movra keys:'
    assert len(lines) == 2 + len(controls.KEYS) + len(controls.MOUSE)
    for key_name, _, description, _ in controls.KEYS:
        assert '  %-6s %s' % (controls.key_label(key_name), description) in lines
    assert lines[1 + len(controls.KEYS)] == 'Mouse:'
    assert '  wheel: narrow (up) or widen (down) the field of view, as v and V' in lines


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
    assert controls.status_line(module, state) == (
        'pan=0 tilt=0 eye=(0.00, 0.00, 0.00) near=1.00 far=7.00 '
        'frustum=[-0.500, 0.500]x[-0.500, 0.500] fov=53.1 viewport4=GLU')
    handle_key('.', module, state)
    handle_key('4', module, state)
    assert controls.status_line(module, state).endswith('viewport4=own matrices [paused]')


def test_field_of_view_follows_near_and_the_frustum():
    module = make_module()
    assert controls.field_of_view(module) == pytest.approx(2 * math.degrees(math.atan(0.5)))
    module.bottom, module.top, module.near = -0.2, 0.6, 2.0
    expected = math.degrees(math.atan(0.3) + math.atan(0.1))
    assert controls.field_of_view(module) == pytest.approx(expected)


def test_every_key_of_the_table_is_distinct():
    keys = [key for key, _, _, _ in controls.KEYS]
    assert len(keys) == len(set(keys))


def test_the_table_needs_no_opengl():
    code = ("import sys; sys.path.insert(0, %r); from kesthost import controls; "
            'print(sorted(name for name in sys.modules if name.split(".")[0] == "OpenGL"))' % HOST)
    env = dict(os.environ)
    env.pop('PYTHONPATH', None)
    output = subprocess.check_output([sys.executable, '-c', code], env=env)
    assert output.strip() == b'[]'


# ---------------------------------------------------------------- mouse ---

from kesthost.controls import (LEFT_BUTTON, RIGHT_BUTTON, WHEEL_DOWN, WHEEL_UP,  # noqa: E402
                               mouse_button, mouse_motion, viewport_at)

SIZE = 350
HEIGHT = 700        # the window is 2 x SIZE high; GLUT's y runs downwards

# (x, y) in GLUT window coordinates -> viewport
WHERE = [
    ((0, 699), 1), ((349, 350), 1), ((350, 699), 2), ((699, 350), 2),
    ((0, 349), 3), ((349, 0), 3), ((350, 349), 4), ((699, 0), 4),
    ((700, 600), None), ((-1, 600), None), ((10, 700), None), ((10, -1), None),
]


@pytest.mark.parametrize('point, number', WHERE, ids=['%s,%s' % p for p, _ in WHERE])
def test_viewport_under_the_pointer(point, number):
    assert viewport_at(point[0], point[1], SIZE, HEIGHT) == number


def test_viewport_under_the_pointer_in_a_taller_window():
    # A window 700 wide and 900 high: the viewports fill its lower 700 rows.
    assert viewport_at(10, 899, SIZE, 900) == 1
    assert viewport_at(10, 550, SIZE, 900) == 1
    assert viewport_at(10, 549, SIZE, 900) == 3
    assert viewport_at(10, 199, SIZE, 900) is None
    assert viewport_at(10, 10, 0, 900) is None


def drag(module, state, button, start, *points):
    """Press, move through `points`, release; the outcomes, each with the
    status line right after it."""
    outcomes = [mouse_button(button, True, start[0], start[1], module, state, HEIGHT)]
    for x, y in points:
        outcomes.append(mouse_motion(x, y, module, state))
        outcomes[-1].status_after = controls.status_line(module, state)
    outcomes.append(mouse_button(button, False, points[-1][0], points[-1][1], module, state, HEIGHT))
    return outcomes


IN_VIEWPORT_1 = (175, 525)

DRAGS = [
    # button, moves from IN_VIEWPORT_1 (dx right, dy down), expected changes
    (LEFT_BUTTON, [(20, 0)], {'pan': 10}),
    (LEFT_BUTTON, [(-20, 0)], {'pan': -10}),
    (LEFT_BUTTON, [(0, -30)], {'tilt': 15}),                # upwards on the screen
    (LEFT_BUTTON, [(7, 9)], {'pan': 3, 'tilt': -4}),        # odd pixels wait for the next move
    (LEFT_BUTTON, [(1, 0), (2, 0), (3, 0)], {'pan': 1}),    # 1+1+1 pixels: one whole degree...
    (LEFT_BUTTON, [(1, 0), (2, 0), (3, 0), (4, 0)], {'pan': 2}),   # ...then the second
    (LEFT_BUTTON, [(400, -400)], {'pan': 80, 'tilt': 80}),  # the keys' limits
    (LEFT_BUTTON, [(-400, 0), (-398, 0)], {'pan': -79}),    # back from the limit at once
    (RIGHT_BUTTON, [(25, 0)], {'eyeX': 0.25}),
    (RIGHT_BUTTON, [(0, 50)], {'eyeY': -0.5}),
    (RIGHT_BUTTON, [(3, -7), (10, -10)], {'eyeX': 0.1, 'eyeY': 0.1}),
]


@pytest.mark.parametrize('button, moves, expected', DRAGS)
def test_drags_move_the_first_camera(button, moves, expected):
    module, state = make_module(), ControlState()
    before = snapshot(module)
    x0, y0 = IN_VIEWPORT_1
    outcomes = drag(module, state, button, IN_VIEWPORT_1, *[(x0 + dx, y0 + dy) for dx, dy in moves])
    changed = changes_between(before, snapshot(module))
    assert sorted(changed) == sorted(expected)
    for name, value in expected.items():
        assert changed[name] == pytest.approx(value, abs=1e-9)
    if 'pan' in expected or 'tilt' in expected:
        assert type(module.pan) is int and type(module.tilt) is int
    # A move that changed something prints the status line and redraws,
    # as a key does; one that did not says nothing.
    for outcome in outcomes[1:-1]:
        if outcome.changed:
            assert outcome.redisplay is True
            assert outcome.message == outcome.status_after
        else:
            assert outcome.message is None and outcome.redisplay is False
    assert any(outcome.changed for outcome in outcomes)
    assert outcomes[-1].message is None and state.drag is None


def test_left_drag_starts_only_in_viewport_1():
    for start in [(525, 525), (175, 175), (525, 175)]:      # viewports 2, 3 and 4
        module, state = make_module(), ControlState()
        before = snapshot(module)
        outcomes = drag(module, state, LEFT_BUTTON, start, (start[0] + 40, start[1] - 40))
        assert snapshot(module) == before
        assert outcomes[0].known is False and all(o.message is None for o in outcomes)


def test_right_drag_works_in_every_viewport_but_not_outside():
    module, state = make_module(), ControlState()
    drag(module, state, RIGHT_BUTTON, (525, 175), (545, 175))
    assert module.eyeX == pytest.approx(0.2)
    module, state = make_module(), ControlState()
    before = snapshot(module)
    mouse_button(RIGHT_BUTTON, True, 10, 10, module, state, 900)   # above the viewports
    mouse_motion(60, 10, module, state)
    assert snapshot(module) == before


def test_motion_without_a_drag_and_other_buttons_change_nothing():
    module, state = make_module(), ControlState()
    before = snapshot(module)
    assert mouse_motion(300, 300, module, state).known is False
    assert mouse_button(1, True, 175, 525, module, state, HEIGHT).known is False   # middle
    assert mouse_motion(250, 500, module, state).known is False
    # Releasing another button leaves a drag in progress alone.
    mouse_button(LEFT_BUTTON, True, 175, 525, module, state, HEIGHT)
    mouse_button(RIGHT_BUTTON, False, 175, 525, module, state, HEIGHT)
    assert state.drag == (LEFT_BUTTON, 175, 525)
    assert snapshot(module) == before


@pytest.mark.parametrize('button, key', [(WHEEL_UP, 'v'), (WHEEL_DOWN, 'V')])
def test_wheel_steps_as_the_field_of_view_keys(button, key):
    by_wheel, by_key = make_module(), make_module()
    state = ControlState()
    outcome = mouse_button(button, True, 525, 175, by_wheel, state, HEIGHT)
    expected = handle_key(key, by_key, ControlState())
    assert snapshot(by_wheel) == snapshot(by_key) != snapshot(make_module())
    assert (outcome.name, outcome.message, outcome.redisplay) == \
        (expected.name, expected.message, True)
    # GLUT follows every wheel step with a release: not a second step.
    released = mouse_button(button, False, 525, 175, by_wheel, state, HEIGHT)
    assert snapshot(by_wheel) == snapshot(by_key) and released.message is None


def test_wheel_at_the_limit_says_so():
    module = make_module(left=-0.05, right=0.05, bottom=-0.05, top=0.05)
    outcome = mouse_button(WHEEL_UP, True, 10, 10, module, ControlState(), HEIGHT)
    assert outcome.changed is False
    assert outcome.message.endswith('(limit reached, nothing changed)')
