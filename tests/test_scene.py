"""drawScene, drawCamera, drawMovingCamera and drawMovingViewVolume on the
recording GL: exact calls with argument types, where the figures end up,
failure records, the matrix depth left behind and reference counts.

The trace builders and `sig` here are shared with test_viewports.py.
"""
import ctypes
import gc
import sys

import numpy as np
import pytest

import glfake
import Movra
from compat import NUMPY_MOVES_NONE_COUNT, clear_type_cache, exc_clear, integer_types, raised
from conftest import movra_records

F = np.float64
PUSH, POP = ('glPushMatrix', ()), ('glPopMatrix', ())
UP = (0.0, 1.0, 0.0)
VOLUME = (-0.5, 0.5, -0.5, 0.5, 1.0, 7.0)
TICK1_TILT = -np.rad2deg(np.arctan2(3, 5))  # the tilt after a tick, as this numpy has it


def sig(x):
    """An argument as (type name, value) so that 0, 0.0 and float64(0.0)
    differ; arrays by dtype and elements, anything else by identity."""
    if isinstance(x, np.ndarray):
        return (type(x).__name__, x.dtype.str, x.tolist())
    if isinstance(x, list):
        return ('list', tuple(sig(v) for v in x))
    if isinstance(x, (bool, float, np.generic) + integer_types):
        return (type(x).__name__, repr(x))
    return ('object', id(x))


def trace(calls):
    return [(name, tuple(sig(a) for a in args)) for name, args in calls]


def scene(q, deg=0):
    return [('draw3DCoordinateAxes', ()), PUSH, ('glTranslatef', (0.0, 0, -3.0)),
            ('glRotatef', (deg, 0, 1, 0)), ('drawColoredCube', (1,)), POP,
            PUSH, ('glTranslatef', (2.0, 0, -6.0)), ('gluSphere', (q, 0.5, 20, 20)), POP]


def camera(q):
    return [PUSH, ('glRotatef', (180, 0, 1, 0)), ('glScalef', (0.5, 0.5, 1.0)),
            ('drawGrayCube', (0.5,)), ('glTranslatef', (0, 0, 0.5)),
            ('gluCylinder', (q, 0.2, 0.3, 0.3, 10, 10)), POP]


def moving_camera(q, pos=(0, 0, 0), deg=0, tilt=F(-0.0)):
    return ([PUSH, ('glTranslatef', tuple(pos)), ('glRotatef', (deg, 0, 1, 0)),
             ('glRotatef', (tilt, 1, 0, 0))] + camera(q) + [POP])


def view_volume(eye=(0, 0, 0), neg_pan=0, tilt=0):
    return [PUSH, ('glTranslatef', tuple(eye)), ('glRotatef', (neg_pan, 0, 1, 0)),
            ('glRotatef', (tilt, 1, 0, 0)), ('drawViewVolume', VOLUME), POP]


@pytest.fixture
def q(movra_state):
    """The quadric that initGL stores, with the recorder emptied afterwards."""
    Movra.initGL()
    glfake.reset()
    return Movra.myQuadric


# (case, globals to rebind, function, expected calls)
TRACES = [
    ('scene', {}, 'drawScene', lambda q: scene(q)),
    ('scene at 90', {'movingCameraAngle': 90}, 'drawScene', lambda q: scene(q, 90)),
    ('scene at 1.5', {'movingCameraAngle': 1.5}, 'drawScene', lambda q: scene(q, 1.5)),
    ('camera', {}, 'drawCamera', camera),
    ('moving camera', {}, 'drawMovingCamera', moving_camera),
    ('moving camera after a tick',
     {'movingCameraPos': [F(0.0), 3, F(1.0)], 'movingCameraAngle': 1}, 'drawMovingCamera',
     lambda q: moving_camera(q, (F(0.0), 3, F(1.0)), 1, TICK1_TILT)),
    ('moving camera, radius 0 and height 2',
     {'movingCameraRadius': 0, 'movingCameraPos': (1, 2, 3)}, 'drawMovingCamera',
     lambda q: moving_camera(q, (1, 2, 3), 0, F(-90.0))),
    ('moving camera, radius 0 and height 0', {'movingCameraRadius': 0},
     'drawMovingCamera', moving_camera),
    ('view volume', {}, 'drawMovingViewVolume', lambda q: view_volume()),
    ('view volume moved', {'eyeX': 1, 'eyeY': 2.5, 'eyeZ': np.int64(-3), 'pan': 30, 'tilt': 15.0},
     'drawMovingViewVolume', lambda q: view_volume((1, 2.5, np.int64(-3)), -30, 15.0)),
    ('view volume, numpy angles', {'pan': np.float32(45), 'tilt': np.int32(-10)},
     'drawMovingViewVolume', lambda q: view_volume((0, 0, 0), np.float32(-45), np.int32(-10))),
]


@pytest.mark.parametrize('rebind,name,expected', [t[1:] for t in TRACES],
                         ids=[t[0] for t in TRACES])
def test_exact_calls_and_depth_unchanged(q, rebind, name, expected):
    for key, value in rebind.items():
        setattr(Movra, key, value)
    glfake.GL_FUNCS['glPushMatrix']()
    del glfake.calls[:]
    assert getattr(Movra, name)() is None
    assert trace(glfake.calls) == trace(expected(q))
    assert (glfake.depth(), glfake.depth('projection')) == (2, 1)


class Probe(object):
    """A number that logs what is done to it; every operation returns itself."""

    def __init__(self):
        self.log = []

    def _op(name):
        def op(self, *other):
            self.log.append((name,) + tuple(sig(o) for o in other))
            return self
        return op
    __add__, __radd__, __sub__, __rsub__ = _op('+'), _op('r+'), _op('-'), _op('r-')
    __mul__, __rmul__, __truediv__, __rtruediv__ = _op('*'), _op('r*'), _op('/'), _op('r/')
    __neg__ = _op('neg')

    def __float__(self):
        return 0.5


def on_call(name, **rebinds):
    """Rebinds the module's `name` so that calling it first rebinds globals."""
    real = getattr(Movra, name)

    def wrapper(*args):
        vars(Movra).update(rebinds)
        return real(*args)
    setattr(Movra, name, wrapper)


# (case, function, (callee, rebinding done when it is called)..., expected calls of a name)
READS = [
    ('angle read once, after the axes', 'drawScene',
     [('draw3DCoordinateAxes', {'movingCameraAngle': 7}),
      ('glPushMatrix', {'movingCameraAngle': 99})], 'glRotatef', [(7, 0, 1, 0)]),
    ('heading and tilt read before the push, position at each use', 'drawMovingCamera',
     [('glPushMatrix', {'movingCameraAngle': 99, 'movingCameraPos': [1, 5, 3]})],
     'glRotatef', [(0, 0, 1, 0), (F(-0.0), 1, 0, 0), (180, 0, 1, 0)]),
    ('position elements each looked up', 'drawMovingCamera',
     [('glPushMatrix', {'movingCameraPos': (1, 2, 3)})], 'glTranslatef', [(1, 2, 3), (0, 0, 0.5)]),
    ('pose read at each use', 'drawMovingViewVolume',
     [('glPushMatrix', {'eyeX': 4, 'pan': 10, 'tilt': 20})], 'glRotatef',
     [(-10, 0, 1, 0), (20, 1, 0, 0)]),
]


@pytest.mark.parametrize('name,hooks,callee,expected', [r[1:] for r in READS],
                         ids=[r[0] for r in READS])
def test_globals_read_when_their_statement_runs(q, name, hooks, callee, expected):
    for hooked, rebinds in hooks:
        on_call(hooked, **rebinds)
    getattr(Movra, name)()
    assert trace([(callee, args) for args in glfake.calls_of(callee)]) == \
        trace([(callee, args) for args in expected])


def rows(*values):
    return np.array(values, dtype=np.float64).reshape(4, 4)


def test_scene_geometry(q):
    """The cube turns about its own vertical through (0, 0, -3); the sphere
    and the axes stay put; everything in the caller's frame."""
    base = rows(1, 0, 0, 1, 0, 2, 0, 0, 0, 0, 1, -2, 0, 0, 0, 1)
    glfake.GL_FUNCS['glMultMatrixd'](base.T)
    Movra.movingCameraAngle = 90
    Movra.drawScene()
    axes, cube = glfake.draws
    (sphere,) = glfake.quadric_draws
    np.testing.assert_array_equal(axes.modelview, base)
    turned = base.dot(glfake.mat_translate(0, 0, -3)).dot(rows(0, 0, 1, 0, 0, 1, 0, 0,
                                                                 -1, 0, 0, 0, 0, 0, 0, 1))
    np.testing.assert_allclose(cube.modelview, turned, atol=1e-15)
    np.testing.assert_array_equal(sphere.modelview, base.dot(glfake.mat_translate(2, 0, -6)))
    np.testing.assert_array_equal(glfake.modelview(), base)


@pytest.mark.parametrize('angle', [0, 1, 57, 90, 181, 359.5])
def test_moving_camera_lens_aims_at_orbit_centre(q, angle):
    """On the orbit, with a heading equal to the orbit angle, the figure's
    -z axis (its lens, beyond its body) points at (0, 0, -(near + far)/2)."""
    Movra.movingCameraAngle = angle
    Movra.updateAnimationVariables()
    Movra.movingCameraAngle = angle
    Movra.drawMovingCamera()
    (body,) = [d for d in glfake.draws if d.name == 'drawGrayCube']
    (lens,) = glfake.quadric_draws
    placement = body.modelview.dot(np.linalg.inv(
        glfake.mat_rotate(180, 0, 1, 0).dot(glfake.mat_scale(0.5, 0.5, 1.0))))
    pos = np.array([float(v) for v in Movra.movingCameraPos])
    np.testing.assert_allclose(placement[:3, 3], pos, atol=1e-12)
    aim = np.array([0.0, 0.0, -4.0]) - pos
    np.testing.assert_allclose(placement[:3, :3].dot([0, 0, -1]), aim / np.linalg.norm(aim),
                               atol=1e-12)
    # the lens sits half a unit further along the figure's -z than the body
    np.testing.assert_allclose(lens.modelview[:3, 3], pos + 0.5 * aim / np.linalg.norm(aim),
                               atol=1e-12)


@pytest.mark.parametrize('pan,tilt,axis', [(0, 0, (0, 0, -1)), (90, 0, (1, 0, 0)),
                                           (0, 90, (0, 1, 0)), (-90, 0, (-1, 0, 0)),
                                           (90.0, 45, (0.5 ** 0.5, 0.5 ** 0.5, 0))])
def test_view_volume_axis_follows_pan_and_tilt(q, pan, tilt, axis):
    Movra.pan, Movra.tilt, Movra.eyeX = pan, tilt, 2
    Movra.drawMovingViewVolume()
    (volume,) = glfake.draws
    np.testing.assert_allclose(volume.modelview[:3, :3].dot([0, 0, -1]), axis, atol=1e-15)
    np.testing.assert_array_equal(volume.modelview[:3, 3], (2, 0, 0))


def delete(name):
    return lambda: delattr(Movra, name)


def rebind(**values):
    return lambda: vars(Movra).update(values)


def raising(name, text='x'):
    """Makes the recorder raise a new RuntimeError(text) at the next call of
    `name`: a new one each time, since an exception raised again keeps the
    traceback of its earlier raising (Python 3)."""
    return lambda: glfake.raise_on.__setitem__(name, RuntimeError(text))


WRONG_TYPE = glfake.wrong_type_text(1)

# (case, preparation, function, exception, message, records, calls made, depth change)
FAILURES = [
    ('axes raise', raising('draw3DCoordinateAxes'), 'drawScene', RuntimeError, 'x',
     [('Movra.drawScene', 73)], 1, 0),
    ('cube raises', raising('drawColoredCube'), 'drawScene', RuntimeError, 'x',
     [('Movra.drawScene', 78)], 5, 1),
    ('angle deleted', delete('movingCameraAngle'), 'drawScene', NameError,
     "name 'movingCameraAngle' is not defined", [('Movra.drawScene', 74)], 1, 0),
    ('pop raises', raising('glPopMatrix'), 'drawScene', RuntimeError, 'x',
     [('Movra.drawScene', 79)], 6, 1),
    ('quadric still 0', rebind(myQuadric=0), 'drawScene', ctypes.ArgumentError, WRONG_TYPE,
     [('Movra.drawScene', 82)], 9, 1),
    ('gray cube raises', raising('drawGrayCube'), 'drawCamera', RuntimeError, 'x',
     [('Movra.drawCamera', 130)], 4, 1),
    ('quadric deleted', delete('myQuadric'), 'drawCamera', NameError,
     "name 'myQuadric' is not defined", [('Movra.drawCamera', 132)], 5, 1),
    ('lens raises', raising('gluCylinder'), 'drawMovingCamera', RuntimeError, 'x',
     [('Movra.drawMovingCamera', 118), ('Movra.drawCamera', 132)], 10, 2),
    ('position too short', rebind(movingCameraPos=[1, 2]), 'drawMovingCamera', IndexError,
     'list index out of range', [('Movra.drawMovingCamera', 115)], 1, 1),
    ('position of one', rebind(movingCameraPos=(1,)), 'drawMovingCamera', IndexError,
     'tuple index out of range', [('Movra.drawMovingCamera', 112)], 0, 0),
    ('drawCamera deleted', delete('drawCamera'), 'drawMovingCamera', NameError,
     "name 'drawCamera' is not defined", [('Movra.drawMovingCamera', 118)], 4, 1),
    ('pan not a number', rebind(pan='x'), 'drawMovingViewVolume', TypeError,
     raised(lambda: -'x')[1], [('Movra.drawMovingViewVolume', 98)], 2, 1),
    ('volume raises', raising('drawViewVolume'), 'drawMovingViewVolume', RuntimeError, 'x',
     [('Movra.drawMovingViewVolume', 100)], 5, 1),
    ('far deleted', delete('far'), 'drawMovingViewVolume', NameError,
     "name 'far' is not defined", [('Movra.drawMovingViewVolume', 100)], 4, 1),
]

DEFAULT_CALLS = {'drawScene': scene, 'drawCamera': camera, 'drawMovingCamera': moving_camera,
                 'drawMovingViewVolume': lambda q: view_volume()}


def check_failure(prepare, name, exc, message, records, expected_calls, made, deeper):
    """Runs `name` after `prepare` one matrix level deep; checks what the failure left.

    `expected_calls()` gives the (name, args) of a whole successful call, in the
    state that `prepare` made; only the first `made` of them may have happened.
    """
    glfake.GL_FUNCS['glPushMatrix']()
    del glfake.calls[:]
    prepare()
    with pytest.raises(exc) as info:
        getattr(Movra, name)()
    assert str(info.value) == message
    assert movra_records(info.tb) == records
    assert glfake.names() == [n for n, _ in expected_calls()][:made]
    assert glfake.depth() == 2 + deeper


@pytest.mark.parametrize('prepare,name,exc,message,records,made,deeper',
                         [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failures(q, prepare, name, exc, message, records, made, deeper):
    check_failure(prepare, name, exc, message, records, lambda: DEFAULT_CALLS[name](q), made,
                  deeper)


def fail_each(rows):
    """Runs (preparation, function name, exception) rows, restoring the
    globals and the recorder after each."""
    for prepare, name, exc in rows:
        saved = dict(vars(Movra))
        prepare()
        with pytest.raises(exc):
            getattr(Movra, name)()
        vars(Movra).clear()
        vars(Movra).update(saved)
        glfake.reset()
        exc_clear()


def counts(watched):
    """(objects the collector tracks, reference counts of `watched`), taken
    once collecting changes the first no more: a collection stops tracking a
    tuple whose items it tracks no more, but only one level of nested tuples
    at a time (the constants of code just loaded, say). The result is such a
    tuple itself, so it does not count once the next collection has run."""
    gc.collect()
    clear_type_cache()  # its entries hold references to the names they cache
    # numpy 2 moves a mortal None's count by itself (compat.NUMPY_MOVES_NONE_COUNT)
    refs = tuple(sys.getrefcount(o) for o in watched
                 if not (o is None and NUMPY_MOVES_NONE_COUNT))
    objects = None
    for _ in range(20):
        gc.collect()
        objects, previous = len(gc.get_objects()), objects
        if objects == previous:
            break
    return objects, refs


def assert_flat(run, watched, times):
    """After a first run, `times` more leave the reference counts of
    `watched` and the number of objects the collector tracks unchanged."""
    run()
    before = counts(watched)
    for _ in range(times):
        run()
    assert counts(watched) == before


def test_reference_counts_flat(q):
    Movra.movingCameraPos = [F(0.25), 3.5, F(-1.75)]
    Movra.movingCameraAngle, Movra.movingCameraRadius = 12.5, 4.75
    watched = [None, q, Movra.movingCameraPos, Movra.movingCameraAngle, Movra.near, Movra.left,
               Movra.movingCameraRadius] + list(Movra.movingCameraPos)
    for name in DEFAULT_CALLS:
        getattr(Movra, name)()
    # the float constants the bodies pass, as the recorder received them
    watched += [a for _, args in glfake.calls for a in args if type(a) is float]

    def run():
        for name in DEFAULT_CALLS:
            getattr(Movra, name)()
            glfake.reset()
        fail_each(f[1:4] for f in FAILURES)
    assert_flat(run, watched, 50)
