"""updateAnimationVariables: the moving camera's angle and orbit position per
tick, with exact values and types, what a failure leaves behind, and
reference counts."""
import numpy as np
import pytest

import glfake
import Movra
from conftest import movra_records
from test_scene import F, Probe, assert_flat, delete, fail_each, rebind, sig

tick = Movra.updateAnimationVariables


def test_first_tick_from_defaults():
    height, old = Movra.movingCameraHeight, Movra.movingCameraPos
    assert tick() is None
    pos = Movra.movingCameraPos
    assert [sig(v) for v in pos] == [sig(F(0.0)), sig(3), sig(F(1.0))]
    assert type(pos) is list and pos is not old and pos[1] is height
    assert sig(Movra.movingCameraAngle) == sig(1)
    assert old == [0, 0, 0] and glfake.calls == []


class Height(object):
    """Any object can be the height; it is stored, not computed with."""


def orbit(angle):
    """The position a tick from `angle` gives with the default radius, height,
    near and far: the listing's radius * sin(theta) and -(near + far) / 2 +
    radius * cos(theta), as this numpy computes them (numpy 1.24 rounds some
    sines and cosines differently in the last bit)."""
    theta = np.deg2rad(angle)
    return [5 * np.sin(theta), 3, -(1.0 + 7.0) / 2 + 5 * np.cos(theta)]


# (case, globals to rebind, new angle, new position)
TICKS = [
    ('angle 90', {'movingCameraAngle': 90}, 91, orbit(90)),
    ('angle 359', {'movingCameraAngle': 359}, 360, orbit(359)),
    ('angle 360', {'movingCameraAngle': 360}, 361, orbit(360)),
    ('angle 361', {'movingCameraAngle': 361}, 362, orbit(361)),
    ('fractional angle', {'movingCameraAngle': 0.5}, 1.5, orbit(0.5)),
    ('numpy angle', {'movingCameraAngle': np.int64(90)}, np.int64(91), orbit(np.int64(90))),
    ('integer near and far', {'near': 1, 'far': 8, 'movingCameraRadius': 0}, 1,
     [F(0.0), 3, F(-4.5)]),
    ('float radius, odd height', {'movingCameraRadius': 2.5, 'movingCameraHeight': -1.25}, 1,
     [F(0.0), -1.25, F(-1.5)]),
]


@pytest.mark.parametrize('rebind,angle,pos', [t[1:] for t in TICKS], ids=[t[0] for t in TICKS])
def test_tick_table(rebind, angle, pos):
    vars(Movra).update(rebind)
    tick()
    assert sig(Movra.movingCameraAngle) == sig(angle)
    assert [sig(v) for v in Movra.movingCameraPos] == [sig(v) for v in pos]


@pytest.mark.parametrize('name,log', [
    ('near', [('+', sig(7.0)), ('neg',), ('/', sig(2)), ('+', sig(F(5.0)))]),
    ('movingCameraRadius', [('*', sig(F(0.0))), ('*', sig(F(1.0))), ('r+', sig(-4.0))]),
])
def test_operations_and_their_order(name, log):
    """-(near + far) / 2 + radius * cos(theta): the sum negated, divided by
    the integer 2, then on the left of the addition; x before z."""
    probe = Probe()
    setattr(Movra, name, probe)
    tick()
    assert probe.log == log
    assert Movra.movingCameraPos[2] is probe


def test_height_is_the_very_object():
    Movra.movingCameraHeight = height = Height()
    tick()
    assert Movra.movingCameraPos[1] is height


def test_positions_repeat_every_360_ticks():
    positions = []
    for _ in range(800):
        tick()
        positions.append(Movra.movingCameraPos)
    assert Movra.movingCameraAngle == 800
    np.testing.assert_allclose(positions[360:], positions[:440], atol=1e-12)
    radii = np.hypot([p[0] for p in positions], [p[2] + 4.0 for p in positions])
    np.testing.assert_allclose(radii, 5.0, rtol=1e-14)


def test_held_lists_keep_their_values():
    held = [Movra.movingCameraPos]
    for _ in range(3):
        tick()
        held.append(Movra.movingCameraPos)
    assert held[0] == [0, 0, 0]
    assert [[float(v) for v in p] for p in held[1:]] == [
        [0.0, 3.0, 1.0], [5 * np.sin(np.deg2rad(1)), 3.0, -4 + 5 * np.cos(np.deg2rad(1))],
        [5 * np.sin(np.deg2rad(2)), 3.0, -4 + 5 * np.cos(np.deg2rad(2))]]
    assert len(set(map(id, held))) == 4


class NoAdd(object):
    """deg2rad accepts it (numpy calls its deg2rad method); + 1 does not."""

    def deg2rad(self):
        return 0.0


UNSUPPORTED = ("ufunc 'deg2rad' not supported for the input types, and the inputs could not be "
               "safely coerced to any supported types according to the casting rule ''safe''")

# (case, preparation, exception, message, listing line, angle incremented)
FAILURES = [
    ('deg2rad deleted', delete('deg2rad'), NameError, "name 'deg2rad' is not defined", 303,
     False),
    ('angle not a number', rebind(movingCameraAngle='x'), TypeError, UNSUPPORTED, 303, False),
    ('angle cannot be incremented', rebind(movingCameraAngle=NoAdd()), TypeError,
     "unsupported operand type(s) for +: 'NoAdd' and 'int'", 304, False),
    ('far deleted', delete('far'), NameError, "name 'far' is not defined", 305, True),
    ('height deleted', delete('movingCameraHeight'), NameError,
     "name 'movingCameraHeight' is not defined", 305, True),
    ('cos deleted', delete('cos'), NameError, "name 'cos' is not defined", 305, True),
    ('radius not a number', rebind(movingCameraRadius=None), TypeError,
     "unsupported operand type(s) for *: 'NoneType' and 'float'", 305, True),
]


@pytest.mark.parametrize('prepare,exc,message,line,incremented', [f[1:] for f in FAILURES],
                         ids=[f[0] for f in FAILURES])
def test_failures_keep_what_was_done(prepare, exc, message, line, incremented):
    Movra.movingCameraAngle = 41
    old = Movra.movingCameraPos = [1.5, 2, 3]
    prepare()
    angle = Movra.movingCameraAngle
    with pytest.raises(exc) as info:
        tick()
    assert str(info.value) == message
    assert movra_records(info.tb) == [('Movra.updateAnimationVariables', line)]
    if incremented:
        assert sig(Movra.movingCameraAngle) == sig(42)
    else:
        assert Movra.movingCameraAngle is angle
    assert Movra.movingCameraPos is old and old == [1.5, 2, 3]


def test_reference_counts_flat():
    Movra.movingCameraHeight, Movra.movingCameraRadius, Movra.near = 3.25, 4.5, 1.5
    watched = [None] + [
        Movra.movingCameraHeight, Movra.movingCameraRadius, Movra.near, Movra.far]

    def run():
        for _ in range(5):
            tick()
        fail_each((f[1], 'updateAnimationVariables', f[2]) for f in FAILURES)
    assert_flat(run, watched, 100)
