"""The host and the compiled Movra module under real OpenGL on Xvfb.

Every check runs in a subprocess: `make test` puts a recording fake OpenGL
package first on PYTHONPATH for the module's own tests, and these checks
need the real PyOpenGL, the real host/KestDrawHelperFunctions.py and the
compiled Movra extension. Each subprocess reports which files it imported
and every test asserts that report.

One Xvfb server (software Mesa, no GPU needed) serves the whole session.
"""
from __future__ import division, print_function

import ctypes
import ctypes.util
import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, 'host')
FAKES = os.path.join(ROOT, 'host', 'recordgl')
if HOST not in sys.path:
    # Appended, not prepended: the fakes keep precedence in this process.
    sys.path.append(HOST)

from kesthost import xvfb  # noqa: E402  (no OpenGL import in it)
from kesthost import controls  # noqa: E402

pytestmark = [pytest.mark.host, pytest.mark.realgl]

SIZE = 350          # sizeViewport used by the probes (the module's default)
PROBE_TIMEOUT = 240

GL_LEQUAL = 0x0203
GL_LESS = 0x0201
GL_CCW = 0x0901


# ------------------------------------------------------------ plumbing ---

def real_gl_env(display):
    """The environment of a subprocess that must see the real OpenGL."""
    env = dict(os.environ)
    fakes = os.path.realpath(FAKES)
    parts = [part for part in env.get('PYTHONPATH', '').split(os.pathsep)
             if part and os.path.realpath(part) != fakes]
    env['PYTHONPATH'] = os.pathsep.join([HOST] + parts)
    if display is None:
        env.pop('DISPLAY', None)
    else:
        env['DISPLAY'] = display
    env['PYTHONUNBUFFERED'] = '1'
    return env


def run_with_deadline(args, env, cwd, timeout=PROBE_TIMEOUT):
    """Run a process to its end; kill it if it outlives the deadline."""
    process = subprocess.Popen(args, env=env, cwd=cwd,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    killed = []

    def kill():
        killed.append(True)
        process.kill()
    timer = threading.Timer(timeout, kill)
    timer.start()
    try:
        out, err = process.communicate()
    finally:
        timer.cancel()
    assert not killed, 'killed after %d s: %s\nstdout:\n%s\nstderr:\n%s' % (
        timeout, args, out, err)
    return process.returncode, out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace')


PROBE_HEADER = '''
from __future__ import division, print_function
import ctypes, json, os, sys
import numpy as np
import KestMain                      # makes PyOpenGL find freeglut first
import OpenGL
from OpenGL import GL, GLU, GLUT
import Movra
import KestDrawHelperFunctions
from kesthost import controls
from kesthost import headless, overlay, window as host_window

STACK = {
    'movra_file': Movra.__file__,
    'opengl_file': OpenGL.__file__,
    'helpers_file': KestDrawHelperFunctions.__file__,
}

def emit(**result):
    result['stack'] = STACK
    print('RESULT ' + json.dumps(result))

def frame(window):
    """Draw one frame with the module and read the back buffer."""
    ok = window.scene.draw()
    GL.glFinish()
    pixels = headless.read_frame(window.side)
    GLUT.glutSwapBuffers()
    assert ok, 'drawMain raised'
    return pixels

def ticks(window, count):
    for _ in range(count):
        assert window.tick(), 'updateAnimationVariables raised'
'''


def run_probe(body, display, tmpdir, timeout=PROBE_TIMEOUT, prelude=''):
    """Run a probe script under real OpenGL; return its RESULT dict.

    `prelude` is code at the left margin put before the (indented) body."""
    script = tmpdir.join('probe.py')
    script.write(PROBE_HEADER + prelude + textwrap.dedent(body))
    code, out, err = run_with_deadline([sys.executable, str(script)],
                                       real_gl_env(display), str(tmpdir), timeout)
    assert code == 0, 'probe failed with %s\nstdout:\n%s\nstderr:\n%s' % (code, out, err)
    lines = [line for line in out.splitlines() if line.startswith('RESULT ')]
    assert len(lines) == 1, 'no RESULT line\nstdout:\n%s\nstderr:\n%s' % (out, err)
    result = json.loads(lines[0][len('RESULT '):])
    check_stack(result['stack'])
    result['stdout'] = out
    result['stderr'] = err
    return result


def check_stack(stack):
    """The probe ran the compiled module, the real PyOpenGL, the real helpers."""
    assert stack['movra_file'].endswith('.so'), stack['movra_file']
    fakes = os.path.realpath(FAKES)
    assert not os.path.realpath(stack['opengl_file']).startswith(fakes), stack
    helpers = os.path.splitext(os.path.realpath(stack['helpers_file']))[0]
    assert helpers == os.path.join(os.path.realpath(HOST), 'KestDrawHelperFunctions'), stack


@pytest.fixture(scope='session')
def xserver():
    if xvfb.find_executable('Xvfb') is None:
        pytest.fail('Xvfb is not installed, and these tests draw with real '
                    'OpenGL on it: run `make setup` (it installs the Debian '
                    'package xvfb) or apt-get install xvfb')
    server = xvfb.Xvfb(1024, 1024)
    server.start()
    yield server.display
    server.stop()


OPEN_AND_CLOSE = r'''
import ctypes, ctypes.util, sys
x = ctypes.CDLL(ctypes.util.find_library('X11') or 'libX11.so.6')
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XCloseDisplay.argtypes = [ctypes.c_void_p]
failed = 0
for _ in range(int(sys.argv[2])):
    display = x.XOpenDisplay(sys.argv[1].encode('ascii'))
    if display:
        x.XCloseDisplay(display)
    else:
        failed += 1
print(failed)
'''


def test_the_server_takes_a_client_while_another_leaves():
    # A probe that ends (xwininfo looking for a window) while the program
    # connects: a server that resets itself after its last client would
    # refuse the program (about one connection in six here).
    server = xvfb.Xvfb(64, 64)
    server.start()
    try:
        clients = [subprocess.Popen([sys.executable, '-c', OPEN_AND_CLOSE, server.display, '300'],
                                    stdout=subprocess.PIPE, universal_newlines=True)
                   for _ in range(2)]
        failed = [int(client.communicate()[0]) for client in clients]
    finally:
        server.stop()
    assert failed == [0, 0]


def quadrants(image):
    """The four viewports of a frame, keyed by viewport number."""
    s = image.shape[0] // 2
    return {1: image[s:, :s], 2: image[s:, s:], 3: image[:s, :s], 4: image[:s, s:]}


def black(pixels):
    return np.all(pixels == 0, axis=-1)


# ------------------------------------------------------------- initGL ---

def test_window_creation_and_initgl_state(xserver, tmpdir):
    result = run_probe('''
        class NoInit(object):
            """Movra without initGL: the same window shows GL's defaults."""
            def __getattr__(self, name):
                return getattr(Movra, name)
            def initGL(self):
                pass

        def gl_state():
            return {
                'depth_test': bool(GL.glIsEnabled(GL.GL_DEPTH_TEST)),
                'depth_func': int(GL.glGetIntegerv(GL.GL_DEPTH_FUNC)),
                'cull_face': bool(GL.glIsEnabled(GL.GL_CULL_FACE)),
                'front_face': int(GL.glGetIntegerv(GL.GL_FRONT_FACE)),
                'clear_color': [float(v) for v in GL.glGetFloatv(GL.GL_COLOR_CLEAR_VALUE)],
                'clear_depth': float(GL.glGetFloatv(GL.GL_DEPTH_CLEAR_VALUE)),
                'double_buffer': bool(GL.glGetBooleanv(GL.GL_DOUBLEBUFFER)),
                'depth_bits': int(GL.glGetIntegerv(GL.GL_DEPTH_BITS)),
                'width': GLUT.glutGet(GLUT.GLUT_WINDOW_WIDTH),
                'height': GLUT.glutGet(GLUT.GLUT_WINDOW_HEIGHT),
            }

        plain = KestMain.Window(NoInit(), animate=False)
        defaults = gl_state()
        plain.destroy()

        quadric_before = Movra.myQuadric
        calls = []
        real_init = Movra.initGL
        def counting_init():
            calls.append(1)
            return real_init()
        Movra.initGL = counting_init
        Movra.sizeViewport = 120
        window = KestMain.Window(Movra, animate=False)
        state = gl_state()
        quadric = Movra.myQuadric
        from OpenGL.GLU.quadrics import GLUQuadric
        emit(defaults=defaults, state=state, init_calls=len(calls),
             quadric_before=repr(quadric_before),
             quadric_type=type(quadric).__name__,
             quadric_is_pointer=isinstance(quadric, ctypes.POINTER(GLUQuadric)),
             quadric_non_null=bool(quadric),
             error=int(GL.glGetError()))
    ''', xserver, tmpdir)
    defaults, state = result['defaults'], result['state']
    # GL's defaults differ from what initGL sets, so the checks below
    # can tell whether initGL ran in the host's window.
    assert defaults['depth_test'] is False
    assert defaults['depth_func'] == GL_LESS
    assert defaults['clear_color'] == [0.0, 0.0, 0.0, 0.0]

    assert result['init_calls'] == 1
    assert state['depth_test'] is True
    assert state['depth_func'] == GL_LEQUAL
    assert state['cull_face'] is False
    assert state['front_face'] == GL_CCW
    assert state['clear_color'] == [0.0, 0.0, 0.0, 1.0]
    assert state['clear_depth'] == 1.0
    # GLUT_DOUBLE | GLUT_RGB | GLUT_DEPTH, side 2 x sizeViewport
    assert state['double_buffer'] is True
    assert state['depth_bits'] >= 16
    assert (state['width'], state['height']) == (240, 240)
    assert result['quadric_before'] == '0'
    assert result['quadric_is_pointer'] is True, result['quadric_type']
    assert result['quadric_non_null'] is True
    assert result['error'] == 0


# ------------------------------------------------------------ pictures ---

def test_frame_has_content_in_every_viewport_and_black_elsewhere(xserver, tmpdir):
    run_probe('''
        window = KestMain.Window(Movra, animate=False, labels=False)
        ticks(window, 45)
        np.save('frame.npy', frame(window))
        emit()
    ''', xserver, tmpdir)
    image = np.load(str(tmpdir.join('frame.npy')))
    assert image.shape == (2 * SIZE, 2 * SIZE, 3)
    for number, pixels in sorted(quadrants(image).items()):
        empty = black(pixels).mean()
        # Something is drawn in every viewport, and part of each is still
        # the clear colour: a viewport drawn into the wrong place, over
        # another one, or not cleared fails one of the two bounds.
        assert 1.0 - empty > 0.005, 'viewport %d is empty' % number
        assert empty > 0.10, 'viewport %d: only %.1f%% black' % (number, 100 * empty)
    # Viewport 1 looks down -z from the origin through a 90-degree frustum
    # at the cube at z=-3, turned 45 degrees about y after 45 ticks: its
    # silhouette leaves the four corners of the viewport empty.
    vp1 = quadrants(image)[1]
    for corner in (vp1[:20, :20], vp1[:20, -20:], vp1[-20:, :20], vp1[-20:, -20:]):
        assert black(corner).all()


def project_to_viewport1(point, eye, frustum, size):
    """Window pixel (column, row from the top) of a world point in viewport 1.

    The first camera has pan = tilt = 0, so it looks along -z from `eye`
    and its view transformation is a translation by -eye; glFrustum and the
    viewport transformation follow.
    """
    left, right, bottom, top, near, far = frustum
    x, y, z = np.subtract(point, eye)
    assert -far < z < -near
    x_ndc = (2 * near * x / (right - left) + (right + left) / (right - left) * z) / -z
    y_ndc = (2 * near * y / (top - bottom) + (top + bottom) / (top - bottom) * z) / -z
    column = (x_ndc + 1) / 2 * size
    row_from_bottom = (y_ndc + 1) / 2 * size
    # Viewport 1 is the lower-left quadrant of a window 2*size high.
    return int(column), int(2 * size - 1 - row_from_bottom)


def test_cube_centre_projects_onto_the_cube_in_viewport1(xserver, tmpdir):
    # An off-centre eye and an asymmetric frustum, so that a wrong sign or
    # a swapped term in the projection lands away from the cube.
    eye = (0.6, -0.3, 1.5)
    frustum = (-0.45, 0.55, -0.55, 0.45, 1.0, 7.0)
    result = run_probe('''
        window = KestMain.Window(Movra, animate=False, labels=False)
        # The colour of the cube's +z face: the helper's cube alone, seen
        # straight from +z.
        side = window.side
        GL.glViewport(0, 0, side, side)
        GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glLoadIdentity()
        GL.glOrtho(-4, 4, -4, 4, -4, 4)
        GL.glMatrixMode(GL.GL_MODELVIEW)
        GL.glLoadIdentity()
        KestDrawHelperFunctions.drawColoredCube(1)
        GL.glFinish()
        front = headless.read_frame(side)[side // 2, side // 2].tolist()

        (Movra.eyeX, Movra.eyeY, Movra.eyeZ) = EYE
        (Movra.left, Movra.right, Movra.bottom, Movra.top, Movra.near, Movra.far) = FRUSTUM
        ticks(window, 1)        # the cube turns by 1 degree, the +z face still faces the eye
        np.save('frame.npy', frame(window))
        emit(front=front)
    '''.replace('EYE', repr(eye)).replace('FRUSTUM', repr(frustum)), xserver, tmpdir)
    front = np.array(result['front'])
    assert front.max() > 64                  # a colour, not the background
    image = np.load(str(tmpdir.join('frame.npy'))).astype(int)

    column, row = project_to_viewport1((0, 0, -3), eye, frustum, SIZE)
    # Well away from the centre of viewport 1, at (175, 524).
    assert abs(column - SIZE // 2) > 50 and abs(row - (2 * SIZE - 1 - SIZE // 2)) > 30
    patch = image[row - 2:row + 3, column - 2:column + 3].reshape(-1, 3)
    assert (np.abs(patch - front).max(axis=1) <= 6).all(), (column, row, image[row, column], front)
    # A point 2 below the cube centre is outside the cube (which spans at
    # most [-1, 1]) with nothing in front of it: the same projection must
    # find the background there.
    column, row = project_to_viewport1((0, -2, -3), eye, frustum, SIZE)
    assert 0 <= column < SIZE and SIZE <= row < 2 * SIZE
    assert black(image[row - 2:row + 3, column - 2:column + 3]).all(), image[row, column]


def colour_match(a, b, level):
    return np.abs(a.astype(int) - b.astype(int)).max(axis=-1) <= level


def unmatched_fraction(a, b, radius=2, level=48):
    """Fraction of pixels without a counterpart in the other picture.

    A pixel of `a` has a counterpart when some pixel of `b` within `radius`
    pixels (in x and in y) has nearly its colour (at most `level` apart in
    every channel), and the other way round. The tolerance absorbs the
    rasterisation of edges and thin lines moved by a fraction of a pixel.
    """
    height, width, _ = a.shape

    def unmatched(x, y):
        padded = np.pad(y, ((radius, radius), (radius, radius), (0, 0)), mode='edge')
        found = np.zeros((height, width), bool)
        for dy in range(2 * radius + 1):
            for dx in range(2 * radius + 1):
                near = padded[dy:dy + height, dx:dx + width]
                apart = np.maximum(x, near) - np.minimum(x, near)     # no uint8 overflow
                found |= (apart[..., 0] <= level) & (apart[..., 1] <= level) & (apart[..., 2] <= level)
        return ~found
    return float((unmatched(a, b) | unmatched(b, a)).mean())


def aligned(a, b, shift):
    """The columns a and b share when b is moved `shift` pixels to the right."""
    width = a.shape[1]
    if shift >= 0:
        return a[:, shift:], b[:, :width - shift]
    return a[:, :width + shift], b[:, -shift:]


def picture_difference(a, b, max_shift=12):
    """(smallest unmatched fraction over horizontal shifts, that shift)."""
    return min((unmatched_fraction(*aligned(a, b, shift)), shift)
               for shift in range(-max_shift, max_shift + 1))


# Ticks at which viewport 4 is compared: the moving camera at several
# places of its orbit.
VIEWPORT4_TICKS = (20, 90, 200, 300)
SAME_PICTURE = 0.005


def test_both_viewport4_set_ups_show_nearly_the_same_picture(xserver, tmpdir):
    run_probe('''
        window = KestMain.Window(Movra, animate=False, labels=False)
        s = window.side // 2
        def viewport4(glu):
            Movra.viewport4Sol1 = glu
            return frame(window)[:s, s:]
        for tick in TICKS:
            ticks(window, tick - Movra.movingCameraAngle)
            np.save('glu_%d.npy' % tick, viewport4(True))
            np.save('own_%d.npy' % tick, viewport4(False))
            ticks(window, 10)
            np.save('glu_%d_later.npy' % tick, viewport4(True))
        emit()
    '''.replace('TICKS', repr(VIEWPORT4_TICKS)), xserver, tmpdir)
    for tick in VIEWPORT4_TICKS:
        glu, own, later = [np.load(str(tmpdir.join(name % tick)))
                           for name in ('glu_%d.npy', 'own_%d.npy', 'glu_%d_later.npy')]
        assert (1.0 - black(glu).mean()) > 0.05     # there is a picture
        # The module's own matrices turn the moving camera one degree
        # further about the vertical axis than gluLookAt does. That moves
        # the picture sideways: 1 degree at a focal length of
        # 175 / tan(30 deg) = 303 px is 5 px. With that shift taken out,
        # (nearly) every pixel has a counterpart in the other set-up.
        difference, shift = picture_difference(glu, own)
        assert difference < SAME_PICTURE, (tick, difference, shift)
        assert 3 <= abs(shift) <= 7, (tick, difference, shift)
        # The measure tells different pictures apart: ten ticks later, or
        # mirrored, the GLU set-up is far outside the bound (checked at the
        # first place of the orbit; each check costs a second).
        if tick == VIEWPORT4_TICKS[0]:
            assert picture_difference(glu, later)[0] > 3 * SAME_PICTURE, tick
            assert picture_difference(glu, own[:, ::-1])[0] > 3 * SAME_PICTURE, tick


def test_no_gl_error_after_100_frames_and_ticks(xserver, tmpdir):
    result = run_probe('''
        window = KestMain.Window(Movra, animate=False)
        errors = []
        for index in range(100):
            # Both viewport-4 set-ups and a moved, panned, tilted camera.
            Movra.viewport4Sol1 = (index // 25) % 2 == 0
            if index == 50:
                Movra.pan, Movra.tilt, Movra.eyeX, Movra.near = 20, -10, 0.5, 2.0
            window.scene.draw()
            GLUT.glutSwapBuffers()
            error = GL.glGetError()
            if error:
                errors.append((index, int(error)))
            window.tick()
        emit(errors=errors, drawn=window.scene.frames_drawn,
             failed=window.scene.frames_failed, ticks=window.ticks,
             angle=Movra.movingCameraAngle, error=int(GL.glGetError()))
    ''', xserver, tmpdir)
    assert result['errors'] == []
    assert result['error'] == 0
    assert (result['drawn'], result['failed'], result['ticks']) == (100, 0, 100)
    assert result['angle'] == 100


# ----------------------------------------------- controls, real module ---

def test_controls_rebind_the_compiled_module_and_change_the_picture(xserver, tmpdir):
    result = run_probe('''
        fresh = {}
        for name, _ in controls.DEFAULTS:
            value = getattr(Movra, name)
            fresh[name] = list(value) if isinstance(value, (list, tuple)) else value
        window = KestMain.Window(Movra, animate=False, labels=False)
        state = window.state
        window.tick()           # as the host does before its first frame
        first = frame(window)
        np.save('first.npy', first)
        for key in 'ddw':
            controls.handle_key(key, Movra, state)
        np.save('panned.npy', frame(window))
        for key in ['X', 'N', 'V', '4']:
            controls.handle_key(key, Movra, state)
        changed = dict((name, getattr(Movra, name)) for name in
                       ('pan', 'tilt', 'eyeX', 'near', 'left', 'right', 'bottom', 'top', 'viewport4Sol1'))
        types = dict((name, type(value).__name__) for name, value in changed.items())
        ticks(window, 7)
        controls.handle_key('r', Movra, state)
        after_reset = {}
        for name, _ in controls.DEFAULTS:
            value = getattr(Movra, name)
            after_reset[name] = list(value) if isinstance(value, (list, tuple)) else value
        state.pending_steps = 0     # the tick that r asked for: the window runs it
        ticks(window, 3)
        window.press('r')
        np.save('reset.npy', frame(window))
        emit(fresh=fresh, changed=changed, types=types, after_reset=after_reset,
             angle_after_press=Movra.movingCameraAngle)
    ''', xserver, tmpdir)
    defaults = dict((name, list(value) if isinstance(value, tuple) else value)
                    for name, value in controls.DEFAULTS)
    # The host's table of defaults is what the compiled module starts with.
    assert result['fresh'] == defaults
    changed = result['changed']
    assert (changed['pan'], changed['tilt']) == (10, 5)
    assert result['types']['pan'] == 'int' and result['types']['tilt'] == 'int'
    assert changed['eyeX'] == 0.25
    assert changed['near'] == pytest.approx(1.1)
    assert changed['left'] == pytest.approx(-0.55) and changed['top'] == pytest.approx(0.55)
    assert changed['viewport4Sol1'] is False
    assert result['after_reset'] == defaults
    assert result['angle_after_press'] == 1

    first = np.load(str(tmpdir.join('first.npy')))
    panned = np.load(str(tmpdir.join('panned.npy')))
    reset = np.load(str(tmpdir.join('reset.npy')))
    before, after = quadrants(first), quadrants(panned)
    # Panning and tilting the first camera changes what it sees (viewport
    # 1) and moves its view volume in the overview (viewport 2).
    assert (~colour_match(before[1], after[1], 48)).mean() > 0.01
    assert (~colour_match(before[2], after[2], 48)).mean() > 0.001
    # After a reset (and its tick) the module draws exactly the first frame again.
    assert np.array_equal(first, reset)


# ---------------------------------------------------- the live window ---

class XEvent(ctypes.Union):
    _fields_ = [('type', ctypes.c_int), ('pad', ctypes.c_long * 24)]


# The fields that Xlib's key, button and motion events share, in its order.
_POINTER_EVENT_FIELDS = [
    ('type', ctypes.c_int), ('serial', ctypes.c_ulong), ('send_event', ctypes.c_int),
    ('display', ctypes.c_void_p), ('window', ctypes.c_ulong), ('root', ctypes.c_ulong),
    ('subwindow', ctypes.c_ulong), ('time', ctypes.c_ulong), ('x', ctypes.c_int),
    ('y', ctypes.c_int), ('x_root', ctypes.c_int), ('y_root', ctypes.c_int),
    ('state', ctypes.c_uint)]


class XKeyEvent(ctypes.Structure):
    _fields_ = _POINTER_EVENT_FIELDS + [('keycode', ctypes.c_uint), ('same_screen', ctypes.c_int)]


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [('type', ctypes.c_int), ('serial', ctypes.c_ulong),
                ('send_event', ctypes.c_int), ('display', ctypes.c_void_p),
                ('window', ctypes.c_ulong), ('message_type', ctypes.c_ulong),
                ('format', ctypes.c_int), ('data', ctypes.c_long * 5)]


class XButtonEvent(ctypes.Structure):
    _fields_ = _POINTER_EVENT_FIELDS + [('button', ctypes.c_uint), ('same_screen', ctypes.c_int)]


class XMotionEvent(ctypes.Structure):
    _fields_ = _POINTER_EVENT_FIELDS + [('is_hint', ctypes.c_char), ('same_screen', ctypes.c_int)]


KEY_PRESS = 2
BUTTON_PRESS = 4
BUTTON_RELEASE = 5
MOTION_NOTIFY = 6
CLIENT_MESSAGE = 33
SHIFT_MASK = 1
KEY_PRESS_MASK = 1
BUTTON_PRESS_MASK = 1 << 2
BUTTON_RELEASE_MASK = 1 << 3
BUTTON_MOTION_MASK = 1 << 13
BUTTON_MASKS = {1: 1 << 8, 3: 1 << 10}     # Button1Mask, Button3Mask


class XClient(object):
    """Just enough Xlib to find the host's window and send it events."""

    def __init__(self, display):
        self.lib = lib = ctypes.CDLL(ctypes.util.find_library('X11'))
        lib.XOpenDisplay.restype = ctypes.c_void_p
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        lib.XDefaultRootWindow.restype = ctypes.c_ulong
        lib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        lib.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                   ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
                                   ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                                   ctypes.POINTER(ctypes.c_uint)]
        lib.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
        lib.XFree.argtypes = [ctypes.c_void_p]
        lib.XInternAtom.restype = ctypes.c_ulong
        lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.XStringToKeysym.restype = ctypes.c_ulong
        lib.XStringToKeysym.argtypes = [ctypes.c_char_p]
        lib.XKeysymToKeycode.restype = ctypes.c_ubyte
        lib.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                   ctypes.c_long, ctypes.c_void_p]
        lib.XFlush.argtypes = [ctypes.c_void_p]
        lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.display = lib.XOpenDisplay(display.encode('ascii'))
        assert self.display, 'cannot connect to %s' % display
        self.root = lib.XDefaultRootWindow(self.display)

    def close(self):
        self.lib.XCloseDisplay(self.display)

    def find_window(self, prefix):
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        self.lib.XQueryTree(self.display, self.root, ctypes.byref(root), ctypes.byref(parent),
                            ctypes.byref(children), ctypes.byref(count))
        found = []
        for index in range(count.value):
            name = ctypes.c_char_p()
            if self.lib.XFetchName(self.display, children[index], ctypes.byref(name)) and name.value:
                if name.value.decode('utf-8', 'replace').startswith(prefix):
                    found.append(children[index])
        if children:
            self.lib.XFree(children)
        return found

    def key(self, window, keysym, shift=False):
        event = XEvent()
        key = ctypes.cast(ctypes.pointer(event), ctypes.POINTER(XKeyEvent)).contents
        key.type = KEY_PRESS
        key.display = self.display
        key.window = window
        key.root = self.root
        key.same_screen = 1
        key.state = SHIFT_MASK if shift else 0
        key.keycode = self.lib.XKeysymToKeycode(self.display, self.lib.XStringToKeysym(keysym.encode('ascii')))
        assert key.keycode, keysym
        self.lib.XSendEvent(self.display, window, 1, KEY_PRESS_MASK, ctypes.byref(event))
        self.lib.XFlush(self.display)

    def button(self, window, button, x, y, press):
        """A press or release of X button `button` at window pixel (x, y)."""
        event = XEvent()
        b = ctypes.cast(ctypes.pointer(event), ctypes.POINTER(XButtonEvent)).contents
        b.type = BUTTON_PRESS if press else BUTTON_RELEASE
        b.display, b.window, b.root, b.same_screen = self.display, window, self.root, 1
        b.x, b.y, b.x_root, b.y_root, b.button = x, y, x, y, button
        b.state = 0 if press else BUTTON_MASKS.get(button, 0)
        self.lib.XSendEvent(self.display, window, 1,
                            BUTTON_PRESS_MASK if press else BUTTON_RELEASE_MASK, ctypes.byref(event))
        self.lib.XFlush(self.display)

    def motion(self, window, button, x, y):
        """The pointer at window pixel (x, y) with X button `button` held."""
        event = XEvent()
        m = ctypes.cast(ctypes.pointer(event), ctypes.POINTER(XMotionEvent)).contents
        m.type = MOTION_NOTIFY
        m.display, m.window, m.root, m.same_screen = self.display, window, self.root, 1
        m.x, m.y, m.x_root, m.y_root = x, y, x, y
        m.state = BUTTON_MASKS[button]
        self.lib.XSendEvent(self.display, window, 1, BUTTON_MOTION_MASK, ctypes.byref(event))
        self.lib.XFlush(self.display)

    def close_window(self, window):
        """What a window manager sends when the user closes the window."""
        event = XEvent()
        message = ctypes.cast(ctypes.pointer(event), ctypes.POINTER(XClientMessageEvent)).contents
        message.type = CLIENT_MESSAGE
        message.display = self.display
        message.window = window
        message.message_type = self.lib.XInternAtom(self.display, b'WM_PROTOCOLS', 0)
        message.format = 32
        message.data[0] = self.lib.XInternAtom(self.display, b'WM_DELETE_WINDOW', 0)
        self.lib.XSendEvent(self.display, window, 0, 0, ctypes.byref(event))
        # Wait until the server has handled it: the event then waits in the
        # window owner's queue, whatever the owner does next.
        self.lib.XSync(self.display, 0)


class LiveHost(object):
    """KestMain.py with a window on the test's Xvfb, its output collected."""

    def __init__(self, display, tmpdir, args=()):
        self.out_path = str(tmpdir.join('host.out'))
        self.err_path = str(tmpdir.join('host.err'))
        self._out = open(self.out_path, 'wb')
        self._err = open(self.err_path, 'wb')
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HOST, 'KestMain.py')] + list(args),
            env=real_gl_env(display), cwd=str(tmpdir),
            stdout=self._out, stderr=self._err)
        self.x = XClient(display)

    def output(self):
        with open(self.out_path, 'rb') as stream:
            return stream.read().decode('utf-8', 'replace')

    def errors(self):
        with open(self.err_path, 'rb') as stream:
            return stream.read().decode('utf-8', 'replace')

    def wait_for(self, text, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.output():
                return
            assert self.process.poll() is None, 'host exited early (%s)\n%s\n%s' % (
                self.process.returncode, self.output(), self.errors())
            time.sleep(0.05)
        raise AssertionError('no %r within %d s\n%s\n%s' % (text, timeout, self.output(), self.errors()))

    def window(self, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = self.x.find_window('Movra')
            if found:
                assert len(found) == 1, found
                return found[0]
            time.sleep(0.05)
        raise AssertionError('no Movra window on the display')

    def finish(self, timeout=60):
        deadline = time.time() + timeout
        while self.process.poll() is None and time.time() < deadline:
            time.sleep(0.05)
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
            raise AssertionError('host did not exit\n%s\n%s' % (self.output(), self.errors()))
        return self.process.returncode

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.x.close()
        self._out.close()
        self._err.close()


@pytest.fixture
def live_host(xserver, tmpdir):
    hosts = []

    def start(*args):
        host = LiveHost(xserver, tmpdir, args)
        hosts.append(host)
        return host
    yield start
    for host in hosts:
        host.close()


def test_keys_in_the_window_drive_the_first_camera(live_host):
    host = live_host()
    host.wait_for('press h in the window')
    window = host.window()
    for keysym, shift in [('d', False), ('d', False), ('w', False), ('x', True),
                          ('h', False), ('space', False), ('period', False),
                          ('m', False), ('4', False)]:
        host.x.key(window, keysym, shift)
    host.wait_for('viewport4=own matrices')
    host.x.key(window, 'q')
    assert host.finish() == 0, host.errors()
    out = host.output()
    assert 'pan=5 tilt=0' in out
    assert 'pan=10 tilt=5 eye=(0.25, 0.00, 0.00)' in out
    assert 'Movra keys:' in out and 'pan the first camera' in out
    assert 'animation paused' in out
    report = out.index('matrices in effect when each viewport draws its scene')
    # The matrices are read while the next frame draws, which may already
    # have the 4 that followed m.
    for label in ('1 first camera', '2 overview', '3 normalised view',
                  r'4 moving camera \((GLU|own matrices)\)'):
        assert re.search('\n%s\n  projection\n' % label, out[report:]), label
    # The order of the lines is the order of the keys; the matrices come
    # with the frame drawn after m.
    assert out.index('pan=5 ') < out.index('pan=10 ') < out.index('Movra keys:') \
        < out.index('animation paused') < out.index('viewport4=own matrices')
    assert out.index('animation paused') < report
    closing = [line for line in out.splitlines() if line.startswith('Movra window closed after')]
    assert len(closing) == 1, out
    frames, ticks = [int(word) for word in closing[0].split() if word.isdigit()]
    assert frames >= 1 and ticks >= 1     # the single step ticks even when paused
    assert host.errors() == ''


def test_the_mouse_in_the_window_drives_the_first_camera(live_host):
    # --size 100: a window of 200 x 200, viewport 1 is x < 100, y >= 100.
    host = live_host('--size', '100')
    host.wait_for('press h in the window')
    window = host.window()
    x = host.x
    # Left drag in viewport 1: 20 pixels right and 10 up is pan 10, tilt 5.
    x.button(window, 1, 50, 150, True)
    x.motion(window, 1, 60, 145)
    x.motion(window, 1, 70, 140)
    x.button(window, 1, 70, 140, False)
    host.wait_for('pan=10 tilt=5 ')
    # The same drag started in viewport 4 changes nothing.
    x.button(window, 1, 150, 50, True)
    x.motion(window, 1, 190, 10)
    x.button(window, 1, 190, 10, False)
    # Right drag: 25 pixels right, 50 down.
    x.button(window, 3, 150, 150, True)
    x.motion(window, 3, 175, 200 - 1)
    x.button(window, 3, 175, 199, False)
    host.wait_for('eye=(0.25, -0.49, 0.00)')
    # The wheel: X buttons 4 and 5 are GLUT's 3 (up, narrower) and 4 (wider).
    for button in (4, 4, 5):
        x.button(window, button, 150, 50, True)
        x.button(window, button, 150, 50, False)
    host.wait_for('frustum=[-0.455, 0.455]x[-0.455, 0.455]')
    # The title follows, as it does for the keys (the X server learns of it
    # a moment after the status line is printed).
    title = ('Movra  pan=10 tilt=5 eye=(0.25, -0.49, 0.00) near=1.00 far=7.00 '
             'frustum=[-0.455, 0.455]')
    deadline = time.time() + 10
    while not x.find_window(title) and time.time() < deadline:
        time.sleep(0.05)
    assert len(x.find_window(title)) == 1
    x.key(window, 'q')
    assert host.finish() == 0, host.errors()
    statuses = [line.split(' near=')[0] + ' ' + line.split('frustum=')[1].split(',')[0]
                for line in host.output().splitlines() if line.startswith('pan=')]
    # One status line for every change, none for the drag from viewport 4;
    # pixels short of a whole degree carry over to the next move (5 up and
    # then 6 up make 2 and then 3 degrees). The wheel: v, v, V.
    assert statuses == [
        'pan=0 tilt=0 eye=(0.00, 0.00, 0.00) [-0.500',
        'pan=5 tilt=2 eye=(0.00, 0.00, 0.00) [-0.500',
        'pan=10 tilt=5 eye=(0.00, 0.00, 0.00) [-0.500',
        'pan=10 tilt=5 eye=(0.25, -0.49, 0.00) [-0.500',
        'pan=10 tilt=5 eye=(0.25, -0.49, 0.00) [-0.455',
        'pan=10 tilt=5 eye=(0.25, -0.49, 0.00) [-0.413',
        'pan=10 tilt=5 eye=(0.25, -0.49, 0.00) [-0.455',
    ], statuses
    assert host.errors() == ''


@pytest.mark.parametrize('how', ['q', 'Escape', 'close the window', 'Ctrl+C'])
def test_the_program_ends_cleanly(live_host, how):
    host = live_host('--size', '100')
    host.wait_for('press h in the window')
    window = host.window()
    if how == 'close the window':
        host.x.close_window(window)
    elif how == 'Ctrl+C':
        host.process.send_signal(signal.SIGINT)
    else:
        host.x.key(window, how)
    assert host.finish() == 0, host.errors()
    assert 'Movra window closed after' in host.output()
    assert host.x.find_window('Movra') == []
    assert host.errors() == ''


@pytest.mark.parametrize('when', ['before the loop starts', 'while the loop runs'])
def test_closing_the_window_while_a_tick_is_due(xserver, tmpdir, when):
    # A 0 ms timer is due in every pass of GLUT's loop, so in the pass that
    # handles the close request GLUT destroys the window and then runs the
    # timer. The timer must notice that the window is gone. (With a longer
    # interval the timer may or may not be due in that pass, depending on
    # when the X server hands the request over.)
    script = tmpdir.join('close_probe.py')
    script.write(PROBE_HEADER + textwrap.dedent('''
        window = KestMain.Window(Movra, tick_ms=0)
        def running(value):
            print('RUNNING')
            sys.stdout.flush()
        GLUT.glutTimerFunc(0, running, 0)
        print('READY')
        sys.stdout.flush()
        sys.stdin.readline()
        GLUT.glutMainLoop()
        emit(closed=window.closed, current=GLUT.glutGetWindow(), ticks=window.ticks)
    '''))
    process = subprocess.Popen([sys.executable, str(script)], env=real_gl_env(xserver),
                               cwd=str(tmpdir), stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    x = XClient(xserver)
    timer = threading.Timer(PROBE_TIMEOUT, process.kill)
    timer.start()
    try:
        assert process.stdout.readline().strip() == b'READY'
        windows = x.find_window('Movra')
        assert len(windows) == 1
        if when == 'before the loop starts':
            x.close_window(windows[0])
            process.stdin.write(b'go\n')
            process.stdin.flush()
        else:
            process.stdin.write(b'go\n')
            process.stdin.flush()
            assert process.stdout.readline().strip() == b'RUNNING'
            x.close_window(windows[0])
        out, err = process.communicate()
    finally:
        timer.cancel()
        x.close()
        if process.poll() is None:
            process.kill()
            process.wait()
    err = err.decode('utf-8', 'replace')
    assert process.returncode == 0, err
    assert err == ''
    out = out.decode('utf-8')
    result = json.loads(out.split('RESULT ', 1)[1])
    check_stack(result['stack'])
    assert result['closed'] is True and result['current'] == 0
    if when == 'while the loop runs':
        # The loop was ticking before the close arrived.
        assert result['ticks'] >= 1


def test_an_exception_in_a_frame_is_reported_and_the_window_goes_on(xserver, tmpdir):
    result = run_probe('''
        import threading
        real_draw = Movra.drawMain
        calls = {'n': 0}
        def flaky_draw():
            calls['n'] += 1
            if calls['n'] <= 3:
                raise ValueError('broken frame')
            real_draw()
            if calls['n'] >= 8:
                GLUT.glutLeaveMainLoop()
        Movra.drawMain = flaky_draw
        status = host_window.run_window(Movra)
        emit(status=status, calls=calls['n'])
    ''', xserver, tmpdir)
    err = result['stderr']
    assert result['status'] == 1          # faults are reported in the exit status
    assert result['calls'] >= 8           # drawing went on after the failures
    # The traceback is printed in full, once for three identical failures,
    # and the recovery is reported with the count.
    assert err.count('Traceback (most recent call last)') == 1, err
    assert err.count('ValueError: broken frame') == 1, err
    assert 'in flaky_draw' in err
    assert 'Movra: drawMain() raised an exception; the program goes on' in err
    assert 'Movra: drawMain() works again after 3 failed call(s)' in err
    assert 'Movra window closed after' in result['stdout']


# ------------------------------------------------ helpers' resting colour ---

def test_every_helper_ends_white_so_the_sphere_is_not_the_view_volumes_yellow(xserver, tmpdir):
    result = run_probe('''
        window = KestMain.Window(Movra, animate=False, labels=False)
        after = {}
        calls = [('draw3DCoordinateAxes', ()), ('drawColoredCube', (1,)),
                 ('drawGrayCube', (0.5,)), ('drawViewVolume', (-0.5, 0.5, -0.5, 0.5, 1.0, 7.0))]
        for name, args in calls:
            GL.glColor3f(0.1, 0.2, 0.3)
            getattr(KestDrawHelperFunctions, name)(*args)
            after[name] = [round(float(v), 6) for v in GL.glGetFloatv(GL.GL_CURRENT_COLOR)]
        # Where the sphere's centre lands in viewport 2, from the matrices
        # that viewport draws its scene with.
        window.state.matrices = True
        window.tick()
        image = frame(window)
        projection, modelview = window.overlay.captured[2]
        clip = projection.dot(modelview).dot([2.0, 0.0, -6.0, 1.0])
        ndc = clip[:3] / clip[3]
        s = window.side // 2
        column = int(s + (ndc[0] + 1) / 2 * s)
        row = int(window.side - 1 - (ndc[1] + 1) / 2 * s)
        window.state.matrices = False
        image = frame(window)
        emit(after=after, sphere=image[row - 2:row + 3, column - 2:column + 3].tolist(),
             volume_yellow=int((image == [255, 217, 0]).all(axis=2).sum()))
    ''', xserver, tmpdir)
    for name, colour in sorted(result['after'].items()):
        assert colour == [1.0, 1.0, 1.0, 1.0], name
    sphere = np.array(result['sphere'])
    assert (sphere == 255).all(), sphere           # white, not yellow
    assert result['volume_yellow'] > 100           # the view volume is still yellow


# ------------------------------------------------------------ overlay ---

STATE_PROBE = '''
def gl_state():
    """Everything of GL's state the module or the overlay could leave changed."""
    def floats(values):
        return [round(float(v), 9) for v in np.asarray(values).reshape(-1)]
    return {
        'viewport': floats(GL.glGetIntegerv(GL.GL_VIEWPORT)),
        'matrix_mode': int(GL.glGetIntegerv(GL.GL_MATRIX_MODE)),
        'modelview': floats(GL.glGetDoublev(GL.GL_MODELVIEW_MATRIX)),
        'projection': floats(GL.glGetDoublev(GL.GL_PROJECTION_MATRIX)),
        'modelview_depth': int(GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH)),
        'projection_depth': int(GL.glGetIntegerv(GL.GL_PROJECTION_STACK_DEPTH)),
        'attrib_depth': int(GL.glGetIntegerv(GL.GL_ATTRIB_STACK_DEPTH)),
        'colour': floats(GL.glGetFloatv(GL.GL_CURRENT_COLOR)),
        'depth_test': bool(GL.glIsEnabled(GL.GL_DEPTH_TEST)),
        'depth_func': int(GL.glGetIntegerv(GL.GL_DEPTH_FUNC)),
        'scissor_test': bool(GL.glIsEnabled(GL.GL_SCISSOR_TEST)),
        'scissor_box': floats(GL.glGetIntegerv(GL.GL_SCISSOR_BOX)),
        'list_base': int(GL.glGetIntegerv(GL.GL_LIST_BASE)),
        'line_width': float(GL.glGetFloatv(GL.GL_LINE_WIDTH)),
        'front_face': int(GL.glGetIntegerv(GL.GL_FRONT_FACE)),
        'clear_colour': floats(GL.glGetFloatv(GL.GL_COLOR_CLEAR_VALUE)),
        'error': int(GL.glGetError()),
    }
'''


def test_the_overlay_leaves_gl_as_the_module_left_it(xserver, tmpdir):
    result = run_probe(prelude=STATE_PROBE, body='''
        window = KestMain.Window(Movra, animate=False)
        window.tick()
        states, pictures = {}, {}
        for name, labels, matrices in [('plain', False, False), ('labels', True, False),
                                       ('both', True, True), ('plain again', False, False)]:
            window.state.labels, window.state.matrices = labels, matrices
            pictures[name] = frame(window)
            states[name] = gl_state()
        emit(states=states, faults=window.faults.failures,
             same_after=bool(np.array_equal(pictures['plain'], pictures['plain again'])),
             labels_differ=bool((pictures['plain'] != pictures['labels']).any()),
             matrices_differ=bool((pictures['labels'] != pictures['both']).any()))
    ''', display=xserver, tmpdir=tmpdir)
    states = result['states']
    plain = states['plain']
    assert plain['error'] == 0 and plain['attrib_depth'] == 0
    assert plain['colour'] == [1.0, 1.0, 1.0, 1.0]
    for name in ('labels', 'both', 'plain again'):
        assert states[name] == plain, name
    assert result['labels_differ'] and result['matrices_differ']
    # The frame after an overlay is the module's frame, untouched.
    assert result['same_after'] is True
    assert result['faults'] == 0


EXPECTED_LINES = """
def expected_lines(projection, modelview):
    # The overlay's text, written out independently of the host's code.
    def row(values):
        texts = []
        for value in values:
            text = '%7.3f' % value
            texts.append('  0.000' if text.strip() in ('0.000', '-0.000') else text)
        return ' '.join(texts)
    return (['projection'] + [row(r) for r in projection] +
            ['modelview'] + [row(r) for r in modelview])
"""
exec(EXPECTED_LINES)


def test_the_overlay_shows_what_gl_reports_inside_each_viewport(xserver, tmpdir):
    result = run_probe(prelude=EXPECTED_LINES, body="""
        import io
        # A spy in the module's place before the overlay's reader: both read
        # GL at the same moment, inside each viewport's call of drawScene.
        seen = {}
        original = Movra.drawScene
        def spy():
            x, y = [int(v) for v in GL.glGetIntegerv(GL.GL_VIEWPORT)[:2]]
            seen['%d,%d' % (x, y)] = (np.transpose(GL.glGetDoublev(GL.GL_PROJECTION_MATRIX)),
                                      np.transpose(GL.glGetDoublev(GL.GL_MODELVIEW_MATRIX)))
            return original()
        Movra.drawScene = spy
        out = io.StringIO() if sys.version_info[0] > 2 else __import__('StringIO').StringIO()
        window = KestMain.Window(Movra, animate=False, out=out, matrices=True)
        Movra.pan, Movra.tilt, Movra.eyeX = 15, -10, 0.5
        ticks(window, 5)
        first = frame(window)
        s = Movra.sizeViewport
        origins = {1: '0,0', 2: '%d,0' % s, 3: '0,%d' % s, 4: '%d,%d' % (s, s)}
        spied = dict((n, seen[origins[n]]) for n in origins)
        captured = dict(window.overlay.captured)
        reader_in_place = Movra.drawScene is not spy

        # The reference picture: no scene, and in each viewport the label
        # and the lines written from the spy's matrices, drawn where the
        # overlay draws its text.
        real_draw = Movra.drawMain
        def clear_only():
            GL.glClearColor(0.0, 0.0, 0.0, 1.0)
            GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)
        Movra.drawMain = clear_only
        window.overlay.viewport_text = lambda number: expected_lines(*spied[number])
        reference = frame(window)
        del window.overlay.viewport_text
        Movra.drawMain = real_draw

        ticks(window, 1)
        later = frame(window)
        window.state.matrices = False
        frame(window)
        restored = Movra.drawScene is spy
        window.press('m')
        window.scene.display()
        after_m = Movra.drawScene is spy
        for name, picture in [('first', first), ('reference', reference), ('later', later)]:
            np.save(name + '.npy', picture)
        emit(spied=dict((n, [p.tolist(), m.tolist()]) for n, (p, m) in spied.items()),
             captured=dict((n, [p.tolist(), m.tolist()]) for n, (p, m) in captured.items()),
             reader_in_place=reader_in_place, restored=restored, after_m=after_m,
             printed=out.getvalue(), faults=window.faults.failures)
    """, display=xserver, tmpdir=tmpdir)
    assert result['reader_in_place'] is True
    # Off again, and after m's single frame, the module has its own function.
    assert result['restored'] is True and result['after_m'] is True
    assert result['faults'] == 0
    assert sorted(result['captured']) == ['1', '2', '3', '4']
    assert result['captured'] == result['spied']
    captured = dict((int(k), (np.array(p), np.array(m))) for k, (p, m) in result['captured'].items())
    # What the viewports set up, as GL holds it (floats).
    assert np.allclose(captured[2][0], [[0.2, 0, 0, 0], [0, 0.2, 0, 0],
                                        [0, 0, -2 / 51.0, -49 / 51.0], [0, 0, 0, 1]], atol=1e-7)
    assert np.allclose(captured[1][0], [[2, 0, 0, 0], [0, 2, 0, 0],
                                        [0, 0, -8 / 6.0, -14 / 6.0], [0, 0, -1, 0]], atol=1e-6)
    f = 1 / np.tan(np.radians(30))
    assert np.allclose(captured[4][0], [[f, 0, 0, 0], [0, f, 0, 0],
                                        [0, 0, -20.01 / 19.99, -0.4 / 19.99], [0, 0, -1, 0]], atol=1e-6)
    # The text on the screen is exactly the reference's: the same strings
    # in the same places, in every viewport.
    first, reference, later = [np.load(str(tmpdir.join(name + '.npy')))
                               for name in ('first', 'reference', 'later')]
    text_colour = np.array([178, 230, 255])

    def text(picture):
        return (picture == text_colour).all(axis=2)
    for number in (1, 2, 3, 4):
        shown, wanted = text(quadrants(first)[number]), text(quadrants(reference)[number])
        assert wanted.sum() > 1000, number
        assert np.array_equal(shown, wanted), (number, (shown != wanted).sum())
    # Refreshed every frame: a tick moves the moving camera, and with it the
    # modelview matrix of viewport 4 and its text; viewport 1's stays.
    assert not np.array_equal(text(quadrants(first)[4]), text(quadrants(later)[4]))
    assert np.array_equal(text(quadrants(first)[1]), text(quadrants(later)[1]))
    # m prints the four pairs of the frame it asked for, labelled.
    printed = result['printed']
    start = printed.index('matrices in effect when each viewport draws its scene')
    block = printed[start:].splitlines()[1:]
    labels = ['1 first camera', '2 overview', '3 normalised view', '4 moving camera (GLU)']
    assert [line for line in block if not line.startswith('  ')] == labels
    assert len(block) == 4 * 11


def test_labels_fit_a_small_window_and_never_raise(xserver, tmpdir):
    result = run_probe("""
        window = KestMain.Window(Movra, animate=False, matrices=True)
        window.tick()
        for width, height in [(60, 60), (61, 200), (9, 9), (2, 2)]:
            window.reshape(width, height)
            np.save('%dx%d.npy' % (width, height), frame(window))
        emit(faults=window.faults.failures, size=Movra.sizeViewport,
             drawn=window.scene.frames_drawn, error=int(GL.glGetError()))
    """, xserver, tmpdir)
    assert result['stderr'] == ''
    assert (result['faults'], result['drawn'], result['error']) == (0, 4, 0)
    assert result['size'] == 1
    text_colour = np.array([178, 230, 255])
    for name in ('60x60', '61x200'):
        image = np.load(str(tmpdir.join(name + '.npy')))
        side = image.shape[0]
        drawn = image[side - 60:, :60]          # the viewports of side 30, lower left
        assert not (image[:side - 60] != 0).any() and not (image[:, 60:] != 0).any()
        for number, pixels in quadrants(drawn).items():
            text = (pixels == text_colour).all(axis=2)
            # The start of the label fits, inside its own viewport and clear
            # of its edges; the matrices do not fit below it at all.
            assert text.any(), (name, number)
            rows, columns = np.nonzero(text)
            assert rows.min() >= 4 and rows.max() < 20 and columns.min() >= 4 and columns.max() < 26
    for name in ('9x9', '2x2'):
        image = np.load(str(tmpdir.join(name + '.npy')))
        assert not (image == text_colour).all(axis=2).any(), name


def test_faults_in_the_overlay_are_reported_and_never_reach_the_display_callback(xserver, tmpdir):
    result = run_probe(prelude=STATE_PROBE, body="""
        window = KestMain.Window(Movra, animate=False, matrices=True)
        window.tick()
        frame(window)
        before = gl_state()
        def broken(self, text):
            raise RuntimeError('font went away')
        overlay.BitmapFont.draw = broken
        for _ in range(3):
            window.scene.display()      # the GLUT callback itself
        after = gl_state()
        emit(before=before, after=after, drawn=window.scene.frames_drawn,
             failed=window.scene.frames_failed, faults=window.faults.failures)
    """, display=xserver, tmpdir=tmpdir)
    err = result['stderr']
    assert err.count('Traceback (most recent call last)') == 1, err
    assert 'Movra: drawing the labels and matrices raised an exception; the program goes on' in err
    assert 'RuntimeError: font went away' in err
    # The module's frames were drawn; GL is restored in spite of the failure.
    assert (result['drawn'], result['failed'], result['faults']) == (4, 0, 3)
    assert result['after'] == result['before']
