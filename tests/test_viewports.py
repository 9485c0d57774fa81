"""Viewport1 to Viewport4 and whole frames of drawMain on the recording GL:
exact calls with argument types for the defaults, after ticks, for a moved
first camera and for both set-ups of Viewport4; where the simulated
matrices put things; failures, depth left behind and reference counts."""
import numpy as np
import pytest

import glfake
import Movra
from compat import FLOAT_DIVISION_BY_ZERO, long_int
from test_scene import (F, POP, PUSH, TICK1_TILT, UP, VOLUME, Probe, assert_flat,
                        check_failure, delete, fail_each, moving_camera, on_call, q, raising,
                        rebind, scene, sig, trace, view_volume)  # noqa: F401 (q is a fixture)

# numpy.matrix, which the module's matrix builders return, warns on creation
pytestmark = pytest.mark.filterwarnings('ignore::PendingDeprecationWarning')

GL_MODELVIEW, GL_PROJECTION = 0x1700, 0x1701
PROJECTIVE_T = np.array([[1.0, 0, 0, 0], [0, 1, 0, 0], [0, 0, 8, -1], [0, 0, 7, 0]])


def load(projection, viewing):
    return [('glMatrixMode', (GL_PROJECTION,)), ('glLoadIdentity', ()), projection,
            ('glMatrixMode', (GL_MODELVIEW,)), ('glLoadIdentity', ()), viewing]


def world(**changes):
    """What the module globals make each viewport pass; defaults first."""
    w = dict(size=350, angle=0, pos=(0, 0, 0), cam_tilt=F(-0.0), eye=(0, 0, 0), pan=0, tilt=0,
             centre=(F(0.0), F(0.0), -1))
    w.update(changes)
    return w


def vp1(q, w):
    s = w['size']
    return ([('glViewport', (0, 0, s, s))]
            + load(('glFrustum', VOLUME), ('gluLookAt', tuple(w['eye']) + w['centre'] + UP))
            + scene(q, w['angle']) + moving_camera(q, w['pos'], w['angle'], w['cam_tilt']))


def vp2(q, w):
    s = w['size']
    return ([('glViewport', (s, 0, s, s))]
            + load(('glOrtho', (-5, 5, -5, 5, -1, 50)),
                   ('gluLookAt', (2.0, 1, 4.0, 0.0, 0.0, -4.0) + UP))
            + scene(q, w['angle']) + moving_camera(q, w['pos'], w['angle'], w['cam_tilt'])
            + view_volume(w['eye'], -w['pan'], w['tilt']))


def vp3(q, w):
    s = w['size']
    return ([('glViewport', (0, s, s, s))]
            + load(('glOrtho', (-3, 3, -3, 3, -3, 50)), ('gluLookAt', (7, 4, 5, 0, 0, 0) + UP))
            + [PUSH, ('glScalef', (1.0, 1.0, -1.0)), ('draw3DCoordinateAxes', ()), POP,
               ('glTranslatef', (-1, -1, 1)), ('glScalef', (2.0, 2.0, 0.3333333333333333)),
               ('glTranslatef', (0.5, 0.5, 1.0)), ('glMultMatrixf', (PROJECTIVE_T,)),
               ('drawViewVolume', VOLUME), ('glTranslatef', tuple(-e for e in w['eye'])),
               ('glRotatef', (w['pan'], 0, 1, 0)), ('glRotatef', (-w['tilt'], 1, 0, 0))]
            + scene(q, w['angle']) + moving_camera(q, w['pos'], w['angle'], w['cam_tilt']))


def vp4(q, w):
    s = w['size']
    return ([('glViewport', (s, s, s, s))]
            + load(('gluPerspective', (60, 1, 0.01, 20)),
                   ('gluLookAt', tuple(w['pos']) + (0.0, 0.0, -4.0) + UP))
            + scene(q, w['angle']) + view_volume(w['eye'], -w['pan'], w['tilt']))


def vp4_matrices(q, w, P, M):
    """Set-up 2, given the matrices that perspective and the viewing product gave."""
    s = w['size']
    return ([('glViewport', (s, s, s, s)), ('glMatrixMode', (GL_PROJECTION,)),
             ('glLoadIdentity', ()), ('glMultMatrixd', (P.T,)),
             ('glMatrixMode', (GL_MODELVIEW,)), ('glLoadIdentity', ()),
             ('glMultMatrixd', (M.T,))]
            + view_volume(w['eye'], -w['pan'], w['tilt']) + scene(q, w['angle']))


def frame(q, w):
    return ([('glClearColor', (0.0, 0.0, 0.0, 1.0)), ('glClear', (0x4100,))]
            + vp1(q, w) + vp2(q, w) + vp3(q, w) + vp4(q, w))


def spy(*names):
    """Rebinds module functions with wrappers that log (name, args, result)
    of the calls made by the function under test itself."""
    log, busy = [], []

    def wrap(name, real):
        def wrapper(*args):
            busy.append(name)
            try:
                result = real(*args)
            finally:
                busy.pop()
            if not busy:
                log.append((name, args, result))
            return result
        return wrapper
    for name in names:
        setattr(Movra, name, wrap(name, getattr(Movra, name)))
    return log


def ticks(n):
    for _ in range(n):
        Movra.updateAnimationVariables()
    del glfake.calls[:]


def look_centre(eye, pan, tilt):
    """The point Viewport1 looks at: the listing's eye[0] + tan(pan / 180.0 *
    pi), eye[1] + tan(tilt / 180.0 * pi), eye[2] - 1, with this numpy's tan
    (numpy 1.24 has tan(pi / 4) == 1.0) and its promotion (eye[2] - 1 is
    int64 for an int32 eye[2] with numpy 1, int32 with numpy 2)."""
    return (eye[0] + np.tan(pan / 180.0 * np.pi), eye[1] + np.tan(tilt / 180.0 * np.pi),
            eye[2] - 1)


THETA89 = np.deg2rad(89)
TICK90_POS = (5 * np.sin(THETA89), 3, -4.0 + 5 * np.cos(THETA89))

# (case, ticks, globals to rebind, what the frame then passes)
FRAMES = [
    ('defaults', 0, {}, world()),
    ('after 1 tick', 1, {}, world(angle=1, pos=(F(0.0), 3, F(1.0)), cam_tilt=TICK1_TILT)),
    ('after 90 ticks', 90, {}, world(angle=90, pos=TICK90_POS, cam_tilt=TICK1_TILT)),
    ('size 350.7', 0, {'sizeViewport': 350.7}, world()),
    ('size numpy 350.7', 0, {'sizeViewport': F(350.7)}, world()),
    ('size long', 0, {'sizeViewport': long_int(200)}, world(size=200)),
    ('size numpy int', 0, {'sizeViewport': np.int64(120)}, world(size=120)),
    ('pan 45', 0, {'pan': 45}, world(pan=45, centre=look_centre((0, 0, 0), 45, 0))),
    ('pan -45', 0, {'pan': -45}, world(pan=-45, centre=look_centre((0, 0, 0), -45, 0))),
    ('pan 90', 0, {'pan': 90}, world(pan=90, centre=look_centre((0, 0, 0), 90, 0))),
    ('pan 180', 0, {'pan': 180}, world(pan=180, centre=look_centre((0, 0, 0), 180, 0))),
    ('moved, ints and floats', 0, {'eyeX': 1, 'eyeY': 2.5, 'eyeZ': -2.0, 'pan': 45.0, 'tilt': 30},
     world(eye=(1, 2.5, -2.0), pan=45.0, tilt=30, centre=look_centre((1, 2.5, -2.0), 45.0, 30))),
    ('moved, numpy scalars', 0,
     {'eyeX': np.int64(1), 'eyeY': np.float32(0.5), 'eyeZ': np.int32(4), 'pan': np.float64(-45),
      'tilt': np.int64(0)},
     world(eye=(np.int64(1), np.float32(0.5), np.int32(4)), pan=np.float64(-45), tilt=np.int64(0),
           centre=look_centre((np.int64(1), np.float32(0.5), np.int32(4)), np.float64(-45),
                              np.int64(0)))),
]


@pytest.mark.parametrize('n,rebind,w', [f[1:] for f in FRAMES], ids=[f[0] for f in FRAMES])
def test_frame_exact_calls(q, n, rebind, w):
    ticks(n)
    vars(Movra).update(rebind)
    log = spy('projective')
    assert Movra.drawMain() is None
    assert trace(glfake.calls) == trace(frame(q, w))
    assert [(name, tuple(sig(a) for a in args)) for name, args, _ in log] == \
        [('projective', (sig(1.0), sig(7.0)))]
    assert (glfake.depth(), glfake.depth('projection')) == (1, 1)
    assert glfake.state.viewport == (w['size'],) * 4
    assert glfake.state.clears == [0x4100]


@pytest.mark.parametrize('name,build', [('Viewport1', vp1), ('Viewport2', vp2),
                                        ('Viewport3', vp3), ('Viewport4', vp4)])
def test_each_viewport_alone(q, name, build):
    glfake.GL_FUNCS['glPushMatrix']()
    del glfake.calls[:]
    assert getattr(Movra, name)() is None
    assert trace(glfake.calls) == trace(build(q, world()))
    assert glfake.depth() == 2


def test_near_and_far_integers_divide_truly(q):
    Movra.near, Movra.far = 1, 6
    Movra.Viewport2()
    Movra.Viewport4()
    assert [sig(call[5]) for call in glfake.calls_of('gluLookAt')] == [sig(-3.5)] * 2


# (function, probed global, operations done to it, (call, occurrence, argument) receiving it)
PROBES = [
    ('Viewport2', 'near', [('+', sig(7.0)), ('neg',), ('/', sig(2))], ('gluLookAt', 0, 5)),
    ('Viewport4', 'near', [('+', sig(7.0)), ('neg',), ('/', sig(2))], ('gluLookAt', 0, 5)),
    ('Viewport3', 'left', [('r-', sig(0.5)), ('r/', sig(2.0)), ('neg',)], ('glScalef', 1, 0)),
    ('Viewport3', 'far', [('r+', sig(1.0)), ('r*', sig(1.0)), ('-', sig(1.0)), ('r/', sig(2.0))],
     ('glScalef', 1, 2)),
    ('Viewport1', 'pan', [('/', sig(180.0)), ('*', sig(np.pi)), ('r+', sig(0))],
     ('gluLookAt', 0, 3)),
]


@pytest.mark.parametrize('name,glob,log,receiver', PROBES)
def test_operations_on_globals(q, name, glob, log, receiver):
    """Which operations each viewport applies to a global, in order, with
    operands of the right type ("far" first meets projective(near, far))."""
    probe = Probe()
    setattr(Movra, glob, probe)
    Movra.tan = lambda x: x
    getattr(Movra, name)()
    assert probe.log == log
    callee, occurrence, index = receiver
    assert glfake.calls_of(callee)[occurrence][index] is probe


def test_viewport1_eye_read_before_projection_angles_after(q):
    on_call('glFrustum', eyeX=5, pan=45, tilt=-45.0)
    Movra.Viewport1()
    (look,) = glfake.calls_of('gluLookAt')
    assert trace([('gluLookAt', look)]) == trace([('gluLookAt', (
        0, 0, 0) + look_centre((0, 0, 0), 45, -45.0) + UP)])


def test_viewport4_heading_read_once_position_at_each_use(q):
    Movra.viewport4Sol1 = False
    log = spy('rotateY', 'translate')
    on_call('rotateX', movingCameraAngle=99, movingCameraPos=[1, 2, 3.5])
    Movra.Viewport4()
    assert [(name, tuple(sig(a) for a in args)) for name, args, _ in log[-2:]] == [
        ('rotateY', (sig(0),)), ('translate', (sig([-1, -2, -3.5]),))]


# (value of viewport4Sol1, set-up 1 chosen)
SWITCHES = [(True, True), (1, True), ([1], True), ('x', True),
            (False, False), (0, False), (None, False), ([], False), ('', False)]


@pytest.mark.parametrize('n', [0, 1, 45])
@pytest.mark.parametrize('switch,first', SWITCHES)
def test_viewport4_setups(q, n, switch, first):
    ticks(n)
    Movra.viewport4Sol1 = switch
    log = spy('perspective', 'rotateX', 'rotateY', 'translate')
    Movra.Viewport4()
    pos = Movra.movingCameraPos
    w = world(angle=n, pos=tuple(pos))
    if first:
        assert log == []
        assert trace(glfake.calls) == trace(vp4(q, w))
        return
    tilt = -np.rad2deg(np.arctan2(pos[1], 5))
    assert [(name, tuple(sig(a) for a in args)) for name, args, _ in log] == [
        ('perspective', tuple(sig(a) for a in (60, 1, 0.01, 20))),
        ('rotateX', (sig(tilt),)), ('rotateY', (sig(n),)),
        ('translate', (sig([-pos[0], -pos[1], -pos[2]]),))]
    P, Rx, Ry, T = [result for _, _, result in log]
    assert trace(glfake.calls) == trace(vp4_matrices(q, w, P, Rx * Ry * T))


def test_viewport4_matrices_after_first_tick(q):
    ticks(1)
    Movra.viewport4Sol1 = False
    log = spy('perspective', 'rotateX', 'rotateY', 'translate')
    Movra.Viewport4()
    assert [tuple(sig(a) for a in args) for _, args, _ in log[1:]] == [
        (sig(TICK1_TILT),), (sig(1),), (sig([F(-0.0), -3, F(-1.0)]),)]
    glfake.reset()
    Movra.movingCameraAngle, Movra.movingCameraPos = 0, [0, 0, 0]
    Movra.Viewport4()
    assert [tuple(sig(a) for a in args) for _, args, _ in log[5:]] == [
        (sig(F(-0.0)),), (sig(0),), (sig([0, 0, 0]),)]
    np.testing.assert_array_equal(glfake.modelview(), np.identity(4))


def draw_in(name, viewport):
    """The first drawing-helper call of `name` in the given viewport."""
    return [d for d in glfake.draws if d.name == name and d.viewport == viewport][0]


V2, V3, V4 = (350, 0, 350, 350), (0, 350, 350, 350), (350, 350, 350, 350)


def test_viewport3_normalises_view_volume_onto_cube(q):
    Movra.drawMain()
    look = draw_in('draw3DCoordinateAxes', V3).modelview.dot(glfake.mat_scale(1, 1, -1))
    np.testing.assert_allclose(look, glfake.mat_look_at(7, 4, 5, 0, 0, 0, 0, 1, 0), atol=1e-15)
    chain = np.linalg.inv(look).dot(draw_in('drawViewVolume', V3).modelview)
    normalise = chain.dot(np.linalg.inv(Movra.projective(1.0, 7.0)))
    for point, image in [((-0.5, -0.5, -1.0), (-1, -1, 1)), ((0.5, 0.5, -7.0), (1, 1, -1)),
                         ((0.5, -0.5, -1.0), (1, -1, 1)), ((-0.5, 0.5, -7.0), (-1, 1, -1))]:
        np.testing.assert_allclose(normalise.dot(point + (1,)), image + (1,), atol=1e-15)
    # the whole chain takes the corners of the frustum onto those of the cube
    for x in (-1, 1):
        for y in (-1, 1):
            for d, z in ((1.0, 1), (7.0, -1)):
                image = chain.dot((0.5 * x * d, 0.5 * y * d, -d, 1.0))
                np.testing.assert_allclose(image[:3] / image[3], (x, y, z), atol=1e-14)


@pytest.mark.parametrize('n,rebind', [(1, {}), (37, {}), (200, {'movingCameraRadius': 2.5}),
                                      (0, {'movingCameraPos': [1.5, -2, 0.25],
                                           'movingCameraAngle': 33.3})])
def test_viewport4_matrices_invert_moving_camera_placement(q, n, rebind):
    ticks(n)
    vars(Movra).update(rebind)
    Movra.viewport4Sol1 = False
    Movra.drawMain()
    look = draw_in('draw3DCoordinateAxes', V2).modelview
    body = draw_in('drawGrayCube', V2).modelview
    placement = np.linalg.inv(look).dot(body).dot(np.linalg.inv(
        glfake.mat_rotate(180, 0, 1, 0).dot(glfake.mat_scale(0.5, 0.5, 1.0))))
    viewing = draw_in('draw3DCoordinateAxes', V4)
    np.testing.assert_allclose(viewing.modelview.dot(placement), np.identity(4), atol=1e-12)
    expected = glfake.mat_perspective(60, 1, 0.01, 20)
    np.testing.assert_allclose(viewing.projection, expected, rtol=1e-12, atol=1e-15)
    np.testing.assert_array_equal(draw_in('drawViewVolume', V4).modelview, viewing.modelview)


@pytest.mark.parametrize('n', [1, 90, 300])
def test_viewport4_setups_agree_on_orbit(q, n):
    """With the heading equal to the orbit angle, both set-ups give the same
    view and projection."""
    ticks(n)
    Movra.movingCameraAngle = n - 1
    matrices = []
    for switch in (True, False):
        Movra.viewport4Sol1 = switch
        Movra.Viewport4()
        matrices.append((glfake.modelview(), glfake.projection()))
    (mv1, p1), (mv2, p2) = matrices
    np.testing.assert_allclose(mv2, mv1, atol=1e-12)
    np.testing.assert_allclose(p2, p1, rtol=1e-12, atol=1e-15)
    np.testing.assert_array_equal(p1, glfake.mat_perspective(60, 1, 0.01, 20))


def vp4_second(q, w):
    P = Movra.perspective(60, 1, 0.01, 20)
    return vp4_matrices(q, w, P, P)


AMBIGUOUS = ('The truth value of an array with more than one element is ambiguous. '
             'Use a.any() or a.all()')

# (case, preparation, function, exception, message, records, calls made, depth change)
FAILURES = [
    ('near deleted', delete('near'), 'Viewport1', NameError, "name 'near' is not defined",
     [('Movra.Viewport1', 143)], 3, 0),
    ('near deleted', delete('near'), 'Viewport2', NameError, "name 'near' is not defined",
     [('Movra.Viewport2', 157)], 4, 0),
    ('near deleted', delete('near'), 'Viewport4', NameError, "name 'near' is not defined",
     [('Movra.Viewport4', 262)], 6, 0),
    ('near deleted, set-up 2', lambda: (rebind(viewport4Sol1=False)(), delete('near')()),
     'Viewport4', NameError, "name 'near' is not defined",
     [('Movra.Viewport4', 278), ('Movra.drawMovingViewVolume', 100)], 11, 1),
    ('pan deleted', delete('pan'), 'Viewport1', NameError, "name 'pan' is not defined",
     [('Movra.Viewport1', 146)], 6, 0),
    ('cube raises', raising('drawColoredCube'), 'drawMain', RuntimeError, 'x',
     [('Movra.drawMain', 290), ('Movra.Viewport1', 147), ('Movra.drawScene', 78)], 14, 1),
    ('gray cube raises', raising('drawGrayCube'), 'drawMain', RuntimeError, 'x',
     [('Movra.drawMain', 290), ('Movra.Viewport1', 148), ('Movra.drawMovingCamera', 118),
      ('Movra.drawCamera', 130)], 27, 2),
    ('volume raises', raising('drawViewVolume'), 'drawMain', RuntimeError, 'x',
     [('Movra.drawMain', 291), ('Movra.Viewport2', 164),
      ('Movra.drawMovingViewVolume', 100)], 65, 1),
    ('lens raises', raising('gluCylinder'), 'Viewport2', RuntimeError, 'x',
     [('Movra.Viewport2', 163), ('Movra.drawMovingCamera', 118), ('Movra.drawCamera', 132)],
     27, 2),
    ('volume raises', raising('drawViewVolume'), 'Viewport3', RuntimeError, 'x',
     [('Movra.Viewport3', 185)], 16, 0),
    ('axes raise', raising('draw3DCoordinateAxes'), 'Viewport3', RuntimeError, 'x',
     [('Movra.Viewport3', 179)], 10, 1),
    ('right equals left', rebind(right=-0.5), 'Viewport3', ZeroDivisionError,
     FLOAT_DIVISION_BY_ZERO, [('Movra.Viewport3', 182)], 12, 0),
    ('top equals bottom', rebind(top=0, bottom=0), 'Viewport3', ZeroDivisionError,
     FLOAT_DIVISION_BY_ZERO, [('Movra.Viewport3', 182)], 12, 0),
    ('far equals near', rebind(far=1.0), 'Viewport3', ZeroDivisionError,
     FLOAT_DIVISION_BY_ZERO, [('Movra.Viewport3', 182)], 12, 0),
    ('projective fails', rebind(near=None), 'Viewport3', TypeError,
     "unsupported operand type(s) for +: 'NoneType' and 'float'",
     [('Movra.Viewport3', 176), ('Movra.projective', 231)], 7, 0),
    ('position too short', rebind(movingCameraPos=[1, 2]), 'Viewport4', IndexError,
     'list index out of range', [('Movra.Viewport4', 264)], 6, 0),
    ('position too short, set-up 2', rebind(movingCameraPos=[1, 2], viewport4Sol1=False),
     'Viewport4', IndexError, 'list index out of range', [('Movra.Viewport4', 276)], 6, 0),
    ('position of one, set-up 2', rebind(movingCameraPos=(7,), viewport4Sol1=False),
     'Viewport4', IndexError, 'tuple index out of range', [('Movra.Viewport4', 275)], 6, 0),
    ('position too short', rebind(movingCameraPos=[1, 2]), 'Viewport1', IndexError,
     'list index out of range', [('Movra.Viewport1', 148), ('Movra.drawMovingCamera', 115)],
     18, 1),
    ('ambiguous switch', rebind(viewport4Sol1=np.array([1, 2])), 'Viewport4', ValueError,
     AMBIGUOUS, [('Movra.Viewport4', 256)], 1, 0),
    ('size not a number', rebind(sizeViewport='big'), 'Viewport2', ValueError,
     "invalid literal for int() with base 10: 'big'", [('Movra.Viewport2', 152)], 0, 0),
    ('Viewport4 deleted', delete('Viewport4'), 'drawMain', NameError,
     "name 'Viewport4' is not defined", [('Movra.drawMain', 293)], 107, 0),
]

BUILDERS = {'Viewport1': vp1, 'Viewport2': vp2, 'Viewport3': vp3, 'Viewport4': vp4,
            'drawMain': frame}


@pytest.mark.parametrize('prepare,name,exc,message,records,made,deeper',
                         [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failures(q, prepare, name, exc, message, records, made, deeper):
    def expected_calls():
        build = vp4_second if Movra.viewport4Sol1 is False else BUILDERS[name]
        return build(q, world())
    check_failure(prepare, name, exc, message, records, expected_calls, made, deeper)


def test_failed_viewport_leaves_gl_state_as_reached(q):
    glfake.GL_FUNCS['glMatrixMode'](GL_PROJECTION)
    glfake.GL_FUNCS['glOrtho'](-1, 2, -1, 2, -1, 2)
    del Movra.near
    with pytest.raises(NameError):
        Movra.Viewport1()
    assert glfake.state.viewport == (0, 0, 350, 350)
    assert glfake.state.matrix_mode == GL_PROJECTION
    np.testing.assert_array_equal(glfake.projection(), np.identity(4))
    Movra.near, Movra.viewport4Sol1, Movra.movingCameraPos = 1.0, False, [1, 2]
    with pytest.raises(IndexError):
        Movra.Viewport4()
    assert glfake.state.viewport == (350, 350, 350, 350)
    assert glfake.state.matrix_mode == GL_MODELVIEW
    np.testing.assert_array_equal(glfake.modelview(), np.identity(4))
    np.testing.assert_allclose(glfake.projection(), glfake.mat_perspective(60, 1, 0.01, 20),
                               rtol=1e-12, atol=1e-15)
    Movra.right = Movra.left
    with pytest.raises(ZeroDivisionError):
        Movra.Viewport3()
    look = glfake.mat_look_at(7, 4, 5, 0, 0, 0, 0, 1, 0)
    np.testing.assert_allclose(glfake.modelview(), look.dot(glfake.mat_translate(-1, -1, 1)),
                               atol=1e-15)
    assert glfake.names()[-5:] == ['glPushMatrix', 'glScalef', 'draw3DCoordinateAxes',
                                   'glPopMatrix', 'glTranslatef']


def test_reference_counts_flat(q):
    Movra.pan, Movra.eyeZ, Movra.sizeViewport = 12.5, 0.75, 350.5
    Movra.movingCameraHeight, Movra.movingCameraRadius = 3.25, 4.5
    watched = [None, q, Movra.pan, Movra.eyeZ, Movra.sizeViewport, Movra.movingCameraHeight,
               Movra.movingCameraRadius, Movra.near, Movra.far, Movra.left, Movra.right,
               Movra.drawScene, Movra.Viewport3]
    Movra.drawMain()
    watched += [a for _, args in glfake.calls for a in args if type(a) is float]

    def run():
        for switch in (True, False):
            Movra.viewport4Sol1 = switch
            Movra.updateAnimationVariables()
            Movra.drawMain()
            glfake.reset()
        fail_each(f[1:4] for f in FAILURES)
    assert_flat(run, watched, 30)
