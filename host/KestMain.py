#!/usr/bin/env python
"""Movra host: a GLUT window around the Movra module's four viewports.

With a screen (DISPLAY set) it opens a window of side 2 x sizeViewport,
draws Movra.drawMain() on every display callback and advances the
animation with Movra.updateAnimationVariables() on a 33 ms timer; the
keyboard and the mouse move the first camera and change its view volume
(press h). Over the module's frame the host draws a label in each viewport,
a border between them and, on request, the matrices each viewport draws
its scene with (Overlay).

Without a screen, or with --headless, it starts its own Xvfb server, renders
a short animation (one animation tick between frames), reads every frame
back with glReadPixels and streams PNG frames plus one animated GIF to disk.

Before the first frame, and after the key r, the host runs one animation
tick: until its first tick the moving camera sits at the origin, on the
first camera, and viewport 4 shows one flat colour.

Run `python host/KestMain.py --help` for the options.
"""
from __future__ import division, print_function

import argparse
import contextlib
import os
import signal
import sys
import time
import traceback
import warnings

import numpy as np

import KestGlut  # noqa: F401  (must come before OpenGL.GLUT and Movra)
from OpenGL import GL, GLUT

import KestControls
import KestHeadless

TICK_MS = 33            # animation timer period
DEFAULT_FRAMES = 60     # headless frames when --frames is not given
DEFAULT_OUT = 'out'
GIF_NAME = 'movra.gif'
MIN_SIZE = 16           # smallest and largest accepted sizeViewport
MAX_SIZE = 4096
MAX_FRAMES = 100000
WINDOW_TITLE = 'Movra'

PROG = 'KestMain.py'

# The module's matrix builders return numpy.matrix by design, and numpy warns
# of it for every matrix made; a debug interpreter's default filters, unlike
# a release build's, would print each of those warnings.
warnings.filterwarnings('ignore', 'the matrix subclass is not the recommended way',
                        PendingDeprecationWarning)


# --------------------------------------------------------------- options ---

def _int_in_range(what, low, high):
    def convert(text):
        try:
            value = int(text, 10)
        except (TypeError, ValueError):
            raise argparse.ArgumentTypeError(
                '%s must be a whole number, got %r' % (what, text))
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(
                '%s must be between %d and %d, got %d' % (what, low, high, value))
        return value
    return convert


def build_parser():
    keys = KestControls.help_text().splitlines()[1:]
    parser = argparse.ArgumentParser(
        prog=PROG,
        description='Show the Movra scene in its four viewports.\n\n'
                    'With a screen (DISPLAY set) this opens an interactive window;\n'
                    'press h in it for the keys. Without a screen, or with --headless,\n'
                    'it starts its own Xvfb, renders a short animation and writes\n'
                    'PNG frames and an animated GIF.\n\n'
                    'Before the first frame (and after the key r) the animation\n'
                    'advances by one tick, so that the moving camera is on its orbit\n'
                    'from the start.',
        epilog='Keys in the window:\n' + '\n'.join(keys),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        '-n', '--frames', type=_int_in_range('the number of frames', 1, MAX_FRAMES),
        default=DEFAULT_FRAMES, metavar='N',
        help='headless only: number of frames to render, one animation tick '
             'apart (default: %(default)s)')
    parser.add_argument(
        '-o', '--out', default=DEFAULT_OUT, metavar='DIR',
        help='headless only: folder for frame_NNNN.png and ' + GIF_NAME +
             ' (default: %(default)s); frames of an earlier run there are replaced')
    parser.add_argument(
        '-s', '--size', type=_int_in_range('the viewport size', MIN_SIZE, MAX_SIZE),
        default=None, metavar='PIXELS',
        help="side of each of the four square viewports, sets the module's "
             "sizeViewport; the window is twice as wide and high "
             "(default: the module's own value, 350)")
    parser.add_argument(
        '--headless', action='store_true',
        help='render to files through a private Xvfb even when a screen is available')
    parser.add_argument(
        '--no-labels', action='store_true',
        help='draw neither the viewport labels nor the border between the '
             'viewports (the key l toggles them in the window)')
    parser.add_argument(
        '--matrices', action='store_true',
        help='show in each viewport the projection and modelview matrices it '
             'draws its scene with (the key i toggles them in the window)')
    return parser


def parse_args(argv=None):
    return build_parser().parse_args(argv)


def load_movra():
    """Import the compiled module, or explain how to build it."""
    try:
        import Movra
    except ImportError as error:
        raise SystemExit('%s: error: cannot import Movra (%s); build it with '
                         '`make build` and run this program with .venv/bin/python'
                         % (PROG, error))
    return Movra


# ---------------------------------------------------------------- faults ---

class FaultReporter(object):
    """Prints an exception raised by the module with its traceback.

    A traceback is printed once while the same one keeps repeating frame
    after frame; when the failing call works again, one line says after how
    many failed calls in a row.
    """

    def __init__(self, stream=None):
        self.stream = stream
        self.failures = 0
        self._last = {}      # where -> (traceback text, repeats)

    def _out(self):
        return self.stream if self.stream is not None else sys.stderr

    def failed(self, where):
        self.failures += 1
        text = traceback.format_exc()
        last, failed_in_a_row = self._last.get(where, (None, 0))
        if text != last:
            self._out().write('Movra: %s raised an exception; the program '
                              'goes on and tries again:\n%s' % (where, text))
        self._last[where] = (text, failed_in_a_row + 1)
        self._out().flush()

    def succeeded(self, where):
        last = self._last.pop(where, None)
        if last is not None:
            self._out().write('Movra: %s works again after %d failed call(s)\n'
                              % (where, last[1]))
            self._out().flush()


# --------------------------------------------------------------- overlay ---

LABEL_TEXTS = {1: '1 first camera', 2: '2 overview', 3: '3 normalised view'}
VIEWPORT4_LABELS = {True: '4 moving camera (GLU)', False: '4 moving camera (own matrices)'}
# Colours as 8-bit values, so that a frame holds exactly these.
TEXT_RGB = (178, 230, 255)         # pale blue: no figure of the scene has it
BORDER_RGB = (76, 76, 76)
TEXT_COLOUR = tuple(value / 255.0 for value in TEXT_RGB)
BORDER_COLOUR = tuple(value / 255.0 for value in BORDER_RGB)
TEXT_MARGIN = 4                    # pixels between a viewport's edge and its text


def viewport_labels(module):
    """The label of each viewport, by viewport number."""
    labels = dict(LABEL_TEXTS)
    labels[4] = VIEWPORT4_LABELS[bool(module.viewport4Sol1)]
    return labels


def quadrant_origins(size):
    """Lower-left corner of each viewport in GL window coordinates."""
    return {1: (0, 0), 2: (size, 0), 3: (0, size), 4: (size, size)}


def format_number(value):
    text = '%7.3f' % value
    return '%7.3f' % 0.0 if float(text) == 0.0 else text    # no "-0.000"


def matrix_lines(projection, modelview):
    """The overlay's text for one viewport, three decimals, rows as written."""
    lines = ['projection']
    lines += [' '.join(format_number(v) for v in row) for row in projection]
    lines.append('modelview')
    lines += [' '.join(format_number(v) for v in row) for row in modelview]
    return lines


class BitmapFont(object):
    """A GLUT bitmap font compiled into display lists of the current context.

    One glCallLists per line instead of a glutBitmapCharacter per character:
    the matrices overlay draws some 1200 characters a frame.
    """

    FIRST, LAST = 32, 126       # printable ASCII; anything else is shown as '?'

    def __init__(self, font):
        self.base = GL.glGenLists(self.LAST + 1)
        if not self.base:
            raise RuntimeError('glGenLists found no free display lists for a font')
        self.widths = [0] * (self.LAST + 1)
        for code in range(self.FIRST, self.LAST + 1):
            GL.glNewList(self.base + code, GL.GL_COMPILE)
            GLUT.glutBitmapCharacter(font, code)
            GL.glEndList()
            self.widths[code] = int(GLUT.glutBitmapWidth(font, code))
        self.height = int(GLUT.glutBitmapHeight(font)) if bool(GLUT.glutBitmapHeight) else 14
        self.descent = self.height // 4
        self.ascent = self.height - self.descent

    def clean(self, text):
        return ''.join(c if self.FIRST <= ord(c) <= self.LAST else '?' for c in text)

    def fit(self, text, room):
        """The longest start of `text` that is at most `room` pixels wide."""
        used = 0
        for count, char in enumerate(text):
            used += self.widths[ord(char)]
            if used > room:
                return text[:count]
        return text

    def width(self, text):
        return sum(self.widths[ord(c)] for c in text)

    def draw(self, text):
        GL.glListBase(self.base)
        GL.glCallLists(text.encode('ascii'))


@contextlib.contextmanager
def _matrix_kept(mode):
    """The matrix of `mode` as it was before the block, whatever the block
    does to it."""
    GL.glMatrixMode(mode)
    GL.glPushMatrix()
    try:
        yield
    finally:
        GL.glMatrixMode(mode)
        GL.glPopMatrix()


class Overlay(object):
    """What the host draws over the module's frame, and the matrices behind it.

    Labels: each viewport's name in its upper-left corner and a border
    between the viewports (state.labels). Matrices: the projection and
    modelview matrices that each viewport draws its scene with
    (state.matrices), and a printed report of them (state.print_matrices).

    The matrices are read from GL at the moment they are used: the module
    looks drawScene up by name every time a viewport calls it, so while
    they are wanted the module's drawScene is replaced by a function that
    reads GL_PROJECTION_MATRIX and GL_MODELVIEW_MATRIX and then calls the
    module's own function; the original is put back as soon as they are
    not wanted. GL_VIEWPORT says which viewport is drawing.

    Drawing saves every GL attribute and both matrices and restores them,
    so the module's next frame starts from the state it left. No exception
    from here reaches the display callback: it is reported as the module's
    are, and the frame goes on.
    """

    def __init__(self, module, state, faults, say):
        self.module = module
        self.state = state
        self.faults = faults
        self.say = say
        self.captured = {}     # viewport -> (projection, modelview) as row-major arrays
        self.labels = {}       # viewport -> its label when its matrices were read
        self._original = None  # the module's drawScene while the wrapper stands in
        self._wrapper = None
        self._fonts = {}

    # -- reading the matrices --
    def wanted(self):
        return bool(self.state.matrices or self.state.print_matrices)

    def install(self):
        if self._wrapper is not None and getattr(self.module, 'drawScene', None) is self._wrapper:
            return
        original = self.module.drawScene
        capture = self.capture

        def drawScene(*args, **kwargs):
            capture()
            return original(*args, **kwargs)
        drawScene.__doc__ = getattr(original, '__doc__', None)
        self._original, self._wrapper = original, drawScene
        self.module.drawScene = drawScene

    def remove(self):
        if self._wrapper is None:
            return
        if getattr(self.module, 'drawScene', None) is self._wrapper:
            self.module.drawScene = self._original
        self._original = self._wrapper = None

    def capture(self):
        try:
            x, y = [int(v) for v in GL.glGetIntegerv(GL.GL_VIEWPORT)[:2]]
            number = 1 + (1 if x > 0 else 0) + (2 if y > 0 else 0)
            projection = np.array(GL.glGetDoublev(GL.GL_PROJECTION_MATRIX), dtype=float)
            modelview = np.array(GL.glGetDoublev(GL.GL_MODELVIEW_MATRIX), dtype=float)
            # GL hands the 16 values over column by column.
            self.captured[number] = (projection.reshape(4, 4).T, modelview.reshape(4, 4).T)
            self.labels[number] = viewport_labels(self.module)[number]
        except Exception:
            self.faults.failed('reading the matrices for the overlay')
        else:
            self.faults.succeeded('reading the matrices for the overlay')

    def start_frame(self):
        self.captured = {}
        self.labels = {}
        try:
            if self.wanted():
                self.install()
            else:
                self.remove()
        except Exception:
            self.faults.failed('putting the matrices reader in place')

    def finish_frame(self):
        if self.state.print_matrices:
            self.state.print_matrices = False
            self.say(self.report())
        if not self.state.matrices:
            self.remove()
        if not (self.state.labels or self.state.matrices):
            return
        try:
            self.draw(int(self.module.sizeViewport))
        except Exception:
            self.faults.failed('drawing the labels and matrices')
        else:
            self.faults.succeeded('drawing the labels and matrices')

    def viewport_text(self, number):
        if number in self.captured:
            return matrix_lines(*self.captured[number])
        return ['(no scene drawn)']

    def report(self):
        """The printed form: the four pairs, labelled by viewport."""
        try:
            current = viewport_labels(self.module)
        except Exception:
            current = dict(LABEL_TEXTS, **{4: '4 moving camera'})
        lines = ['matrices in effect when each viewport draws its scene '
                 '(rows as the module writes its matrices):']
        for number in (1, 2, 3, 4):
            lines.append(self.labels.get(number, current[number]))
            lines.extend('  ' + line for line in self.viewport_text(number))
        return '\n'.join(lines)

    # -- drawing --
    def _font(self, kind):
        if kind not in self._fonts:
            self._fonts[kind] = BitmapFont(GLUT.GLUT_BITMAP_HELVETICA_12 if kind == 'label'
                                           else GLUT.GLUT_BITMAP_8_BY_13)
        return self._fonts[kind]

    def draw(self, size):
        if size < 1:
            return
        GL.glPushAttrib(GL.GL_ALL_ATTRIB_BITS)
        try:
            with _matrix_kept(GL.GL_PROJECTION), _matrix_kept(GL.GL_MODELVIEW):
                self._paint(size)
        finally:
            GL.glPopAttrib()

    def _paint(self, size):
        full = 2 * size
        GL.glViewport(0, 0, full, full)
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glLoadIdentity()
        GL.glOrtho(0, full, 0, full, -1, 1)
        GL.glMatrixMode(GL.GL_MODELVIEW)
        GL.glLoadIdentity()
        for capability in (GL.GL_DEPTH_TEST, GL.GL_LIGHTING, GL.GL_TEXTURE_2D,
                           GL.GL_BLEND, GL.GL_CULL_FACE, GL.GL_SCISSOR_TEST):
            GL.glDisable(capability)
        if self.state.labels:
            GL.glColor3f(*BORDER_COLOUR)
            GL.glRecti(size - 1, 0, size + 1, full)
            GL.glRecti(0, size - 1, full, size + 1)
        labels = viewport_labels(self.module) if self.state.labels else {}
        GL.glEnable(GL.GL_SCISSOR_TEST)
        for number, (x0, y0) in sorted(quadrant_origins(size).items()):
            lines = []
            if number in labels:
                lines.append(('label', labels[number]))
            if self.state.matrices:
                lines.extend(('matrix', line) for line in self.viewport_text(number))
            GL.glScissor(x0, y0, size, size)
            self._text(lines, x0, y0, size)

    def _text(self, lines, x0, y0, size):
        """Lines from the top-left corner down, as many and as long as fit."""
        x = x0 + TEXT_MARGIN
        room = size - 2 * TEXT_MARGIN
        top = y0 + size - TEXT_MARGIN
        for kind, text in lines:
            font = self._font(kind)
            baseline = top - font.ascent
            if baseline - font.descent < y0 + TEXT_MARGIN:
                return
            shown = font.fit(font.clean(text), room)
            if shown:
                GL.glColor3f(0.0, 0.0, 0.0)
                GL.glRecti(x - 1, baseline - font.descent, x + font.width(shown) + 1, top)
                GL.glColor3f(*TEXT_COLOUR)
                GL.glRasterPos2i(x, baseline)
                font.draw(shown)
            top -= font.height


# ----------------------------------------------------------- scene, window ---

class Scene(object):
    """Draws one frame: Movra.drawMain(), the overlay, then the buffer swap."""

    def __init__(self, module, faults=None, overlay=None):
        self.module = module
        self.faults = faults if faults is not None else FaultReporter()
        self.overlay = overlay
        self.frames_drawn = 0
        self.frames_failed = 0

    def draw(self):
        """Draw into the back buffer; return False when the module raised."""
        if self.overlay is not None:
            self.overlay.start_frame()
        try:
            self.module.drawMain()
        except Exception:
            self.frames_failed += 1
            self.faults.failed('drawMain()')
            drawn = False
        else:
            self.frames_drawn += 1
            self.faults.succeeded('drawMain()')
            drawn = True
        if self.overlay is not None:
            self.overlay.finish_frame()
        return drawn

    def display(self):
        """glutDisplayFunc callback."""
        self.draw()
        GLUT.glutSwapBuffers()


_glut_ready = False


def _init_glut():
    """glutInit may run only once per process (freeglut aborts otherwise)."""
    global _glut_ready
    if not _glut_ready:
        GLUT.glutInit([sys.argv[0] if sys.argv and sys.argv[0] else PROG])
        _glut_ready = True


def _shutdown_glut():
    """Close GLUT's connection to the X server (freeglut's glutExit).

    Needed before our own Xvfb goes away: a connection left open would make
    Xlib end the process with a fatal IO error at exit.
    """
    global _glut_ready
    if _glut_ready and KestGlut.glut_exit():
        _glut_ready = False


def _close_returns_from_main_loop():
    """Make closing the window return from glutMainLoop (freeglut only)."""
    try:
        if bool(GLUT.glutSetOption):
            GLUT.glutSetOption(GLUT.GLUT_ACTION_ON_WINDOW_CLOSE,
                               GLUT.GLUT_ACTION_GLUTMAINLOOP_RETURNS)
            return True
    except Exception:
        pass
    return False


SPECIAL_KEYS = {
    GLUT.GLUT_KEY_LEFT: 'LEFT',
    GLUT.GLUT_KEY_RIGHT: 'RIGHT',
    GLUT.GLUT_KEY_UP: 'UP',
    GLUT.GLUT_KEY_DOWN: 'DOWN',
}


class Window(object):
    """The GLUT window: creates it, initialises the module, owns the callbacks.

    animate=False leaves the timer out; the headless renderer then calls
    tick() itself between frames. labels and matrices set what the overlay
    shows at the start (the keys l and i change it).
    """

    def __init__(self, module, scene=None, title=WINDOW_TITLE, tick_ms=TICK_MS,
                 animate=True, out=None, labels=True, matrices=False):
        self.module = module
        self.scene = scene if scene is not None else Scene(module)
        self.faults = self.scene.faults
        self.state = KestControls.ControlState()
        self.state.labels = bool(labels)
        self.state.matrices = bool(matrices)
        self.title = title
        self.tick_ms = int(tick_ms)
        self.ticks = 0
        self.out = out
        self.side = 2 * int(module.sizeViewport)
        self.window_height = self.side
        self.closed = False       # set when a timer finds the window gone

        _init_glut()
        GLUT.glutInitDisplayMode(GLUT.GLUT_DOUBLE | GLUT.GLUT_RGB | GLUT.GLUT_DEPTH)
        GLUT.glutInitWindowSize(self.side, self.side)
        GLUT.glutInitWindowPosition(0, 0)
        self.close_returns = _close_returns_from_main_loop()
        self.id = GLUT.glutCreateWindow(title.encode('ascii') if isinstance(title, type(u'')) else title)
        module.initGL()
        self.overlay = Overlay(module, self.state, self.faults, self.say)
        self.scene.overlay = self.overlay
        GLUT.glutDisplayFunc(self.scene.display)
        GLUT.glutKeyboardFunc(self.keyboard)
        GLUT.glutSpecialFunc(self.special)
        GLUT.glutMouseFunc(self.mouse)
        GLUT.glutMotionFunc(self.motion)
        GLUT.glutReshapeFunc(self.reshape)
        if animate:
            GLUT.glutTimerFunc(self.tick_ms, self.timer_func, 0)
        self.update_title()

    # -- output --
    def say(self, text):
        stream = self.out if self.out is not None else sys.stdout
        stream.write(text + '\n')
        stream.flush()

    def update_title(self):
        title = '%s  %s' % (self.title, KestControls.status_line(self.module, self.state))
        GLUT.glutSetWindowTitle(title)

    # -- animation --
    def tick(self):
        """One animation step of the module."""
        try:
            self.module.updateAnimationVariables()
        except Exception:
            self.faults.failed('updateAnimationVariables()')
            return False
        self.faults.succeeded('updateAnimationVariables()')
        self.ticks += 1
        return True

    def _run_pending_steps(self):
        stepped = False
        while self.state.pending_steps > 0:
            self.state.pending_steps -= 1
            self.tick()
            stepped = True
        return stepped

    def timer_func(self, value):
        """glutTimerFunc callback: re-arm, tick unless paused, redraw."""
        if GLUT.glutGetWindow() != self.id:
            # The window was closed while this timer was pending: there is
            # nothing left to animate, and GLUT calls that need a current
            # window (glutPostRedisplay) would now end the process. (A
            # glutCloseFunc is not used for this: with one registered, the
            # process crashed in freeglut's clean-up at exit.)
            self.closed = True
            return
        GLUT.glutTimerFunc(self.tick_ms, self.timer_func, value)
        if self.state.quit:
            self.quit()
            return
        if self.state.paused:
            if self._run_pending_steps():
                GLUT.glutPostRedisplay()
            return
        self.tick()
        GLUT.glutPostRedisplay()

    # -- input --
    def keyboard(self, key, x, y):
        self.press(key)

    def special(self, key, x, y):
        name = SPECIAL_KEYS.get(key)
        if name is not None:
            self.press(name)

    def press(self, key):
        """Carry out one key of the control table."""
        try:
            outcome = KestControls.handle_key(key, self.module, self.state)
        except Exception:
            self.faults.failed('key %r' % (key,))
            return None
        return self.follow(outcome)

    def mouse(self, button, state, x, y):
        """glutMouseFunc callback."""
        try:
            outcome = KestControls.mouse_button(button, state == GLUT.GLUT_DOWN, x, y,
                                                self.module, self.state, self.window_height)
        except Exception:
            self.faults.failed('mouse button %r' % (button,))
            return None
        return self.follow(outcome)

    def motion(self, x, y):
        """glutMotionFunc callback: the pointer moved with a button held."""
        try:
            outcome = KestControls.mouse_motion(x, y, self.module, self.state)
        except Exception:
            self.faults.failed('mouse motion')
            return None
        return self.follow(outcome)

    def follow(self, outcome):
        """Do what a key press or mouse event asks of the window."""
        if outcome.message:
            self.say(outcome.message)
        if outcome.name in ('pause', 'step') or outcome.changed:
            self.update_title()
        if self._run_pending_steps() or outcome.redisplay:
            GLUT.glutPostRedisplay()
        if outcome.quit:
            self.quit()
        return outcome

    def reshape(self, width, height):
        # The module lays its viewports out by sizeViewport alone; follow
        # the window when it is resized.
        self.window_height = int(height)
        size = max(1, min(int(width), int(height)) // 2)
        if size != int(self.module.sizeViewport):
            self.module.sizeViewport = size
            self.say('window is %dx%d: sizeViewport = %d' % (width, height, size))
        GLUT.glutPostRedisplay()

    def quit(self):
        self.state.quit = True
        if bool(GLUT.glutLeaveMainLoop):
            GLUT.glutLeaveMainLoop()
        else:
            sys.exit(0)

    def destroy(self):
        self.overlay.remove()
        if self.id and not self.closed:
            GLUT.glutDestroyWindow(self.id)
            self.id = 0


# ------------------------------------------------------------ interactive ---

def run_window(module, labels=True, matrices=False):
    window = Window(module, labels=labels, matrices=matrices)
    if not window.close_returns:
        print('note: this GLUT cannot return from its main loop; closing the '
              'window ends the program at once')
    window.tick()       # the moving camera on its orbit before the first frame

    previous = signal.getsignal(signal.SIGINT)

    def interrupt(signum, frame):
        # Raising KeyboardInterrupt inside a GLUT callback would be lost in
        # the C main loop; ask the timer to leave the loop instead.
        window.state.quit = True
    signal.signal(signal.SIGINT, interrupt)
    print(KestControls.status_line(module, window.state))
    print('press h in the window for the keys, q or Esc to quit')
    sys.stdout.flush()
    try:
        GLUT.glutMainLoop()
    finally:
        signal.signal(signal.SIGINT, previous)
        window.overlay.remove()
    print('Movra window closed after %d frames and %d ticks'
          % (window.scene.frames_drawn, window.ticks))
    return 0 if window.faults.failures == 0 else 1


# --------------------------------------------------------------- headless ---

def read_frame(side):
    """The back buffer as a top-down (side, side, 3) uint8 array."""
    GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 1)
    GL.glReadBuffer(GL.GL_BACK)
    data = GL.glReadPixels(0, 0, side, side, GL.GL_RGB, GL.GL_UNSIGNED_BYTE)
    if isinstance(data, bytes):
        pixels = np.frombuffer(data, dtype=np.uint8)
    else:
        pixels = np.asarray(data, dtype=np.uint8)
    return pixels.reshape(side, side, 3)[::-1].copy()


def read_rgba(side):
    """The back buffer as glReadPixels gives it: RGBA bytes, bottom row first."""
    GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 4)
    GL.glReadBuffer(GL.GL_BACK)
    data = GL.glReadPixels(0, 0, side, side, GL.GL_RGBA, GL.GL_UNSIGNED_BYTE)
    if not isinstance(data, bytes):
        data = np.ascontiguousarray(data, dtype=np.uint8).tobytes()
    return data


class Progress(object):
    """One updating line on a terminal, a line per tenth of the work elsewhere."""

    def __init__(self, total, stream=None):
        self.total = total
        self.stream = stream if stream is not None else sys.stdout
        self.tty = hasattr(self.stream, 'isatty') and self.stream.isatty()
        self._shown = -1
        self._open = False      # a terminal line without its newline yet

    def update(self, done):
        text = 'rendering frame %d/%d' % (done, self.total)
        if self.tty:
            self._open = done != self.total
            self.stream.write('\r' + text + ('\n' if done == self.total else ''))
        else:
            tenth = (done * 10) // self.total
            if tenth == self._shown and done != self.total:
                return
            self._shown = tenth
            self.stream.write(text + '\n')
        self.stream.flush()

    def end_line(self):
        if self._open:
            self.stream.write('\n')
            self.stream.flush()
            self._open = False


class Interruption(object):
    """Ctrl+C (SIGINT) during a headless run, as a request seen between frames.

    The first one sets `requested`, so that the frames written so far are
    kept and the animation of them is completed; a second one raises
    KeyboardInterrupt as usual.
    """

    def __init__(self):
        self.requested = False
        self._previous = None
        self._installed = False

    def _handler(self, signum, frame):
        self.requested = True
        signal.signal(signal.SIGINT, signal.default_int_handler)

    def __enter__(self):
        try:
            self._previous = signal.signal(signal.SIGINT, self._handler)
            self._installed = True
        except ValueError:      # not the main thread: Ctrl+C stays as it is
            pass
        return self

    def __exit__(self, *exc_info):
        if self._installed:
            signal.signal(signal.SIGINT, self._previous if self._previous is not None
                          else signal.default_int_handler)
        return False


class HeadlessRun(object):
    """What a headless run did: the window, the writer's report, the time."""

    def __init__(self, window, report, seconds, interrupted):
        self.window = window
        self.report = report
        self.seconds = seconds      # first frame's rendering to the GIF written
        self.interrupted = interrupted


def render_headless(module, frames, out_dir, labels=True, matrices=False,
                    interruption=None, progress=None):
    """Render `frames` frames on the current DISPLAY and stream them to files."""
    side = 2 * int(module.sizeViewport)
    progress = progress if progress is not None else Progress(frames)
    writer = KestHeadless.FrameWriter(out_dir, side, side, TICK_MS, GIF_NAME)
    window = None
    stopped = False
    try:
        window = Window(module, animate=False, labels=labels, matrices=matrices)
        started = time.time()
        window.tick()       # the moving camera on its orbit before the first frame
        for index in range(frames):
            if interruption is not None and interruption.requested:
                stopped = True
                break
            if index:
                window.tick()
            window.scene.draw()
            writer.add(read_rgba(side))
            GLUT.glutSwapBuffers()
            progress.update(index + 1)
        stopped = stopped or (interruption is not None and interruption.requested)
        report = writer.close()
        seconds = time.time() - started
    except BaseException:
        writer.abort()
        raise
    finally:
        if window is not None:
            window.destroy()
        _shutdown_glut()
    return HeadlessRun(window, report, seconds, stopped)


def run_headless(module, frames, out_dir, labels=True, matrices=False):
    out_dir = os.path.abspath(out_dir)
    # Before the server starts and anything renders: a folder that cannot
    # be written stops the run here, with one line.
    removed = KestHeadless.prepare_output_folder(out_dir)
    if removed:
        print('removed %d frame(s) of an earlier run from %s' % (removed, out_dir))
    side = 2 * int(module.sizeViewport)
    progress = Progress(frames)
    with Interruption() as interruption:
        xvfb = KestHeadless.Xvfb(side, side)
        xvfb.start()
        try:
            print('started Xvfb on display %s (pid %d), screen %dx%d'
                  % (xvfb.display, xvfb.pid, side, side))
            sys.stdout.flush()
            os.environ['DISPLAY'] = xvfb.display
            run = render_headless(module, frames, out_dir, labels, matrices,
                                  interruption, progress)
        finally:
            xvfb.stop()
    report = run.report
    if run.interrupted:
        progress.end_line()
        if report.frames:
            print('%s: interrupted after %d of %d frames: kept %s to %s and wrote %s of them in %s'
                  % (PROG, report.frames, frames, KestHeadless.frame_name(0),
                     KestHeadless.frame_name(report.frames - 1), GIF_NAME, out_dir),
                  file=sys.stderr)
        else:
            print('%s: interrupted before the first frame: nothing was written to %s'
                  % (PROG, out_dir), file=sys.stderr)
        return 130
    print('wrote %d PNG frames (%dx%d) to %s'
          % (report.frames, side, side, os.path.join(out_dir, 'frame_NNNN.png')))
    print('wrote the animated GIF %s' % report.gif)
    print('rendered and wrote %d frames in %.2f s; %d colours, one palette for '
          'the PNG frames and the GIF' % (report.frames, run.seconds, report.colours))
    if report.inexact:
        print('warning: %d frame(s) had more colours than one palette of %d holds: '
              'their PNG files are RGB, and the GIF shows them with the nearest '
              'palette colours' % (report.inexact, KestHeadless.PALETTE_SIZE), file=sys.stderr)
    failed = run.window.scene.frames_failed
    if failed or run.window.faults.failures:
        print('%d of %d frames failed to draw (tracebacks above)' % (failed, frames),
              file=sys.stderr)
        return 1
    return 0


# ------------------------------------------------------------------- main ---

def main(argv=None):
    args = parse_args(argv)
    module = load_movra()
    if args.size is not None:
        module.sizeViewport = args.size
    display = os.environ.get('DISPLAY')
    headless = args.headless or not display
    labels = not args.no_labels
    try:
        if headless:
            if not args.headless:
                print('no DISPLAY: rendering %d frames headless' % args.frames)
            return run_headless(module, args.frames, args.out, labels, args.matrices)
        problem = KestGlut.display_problem(display)
        if problem is not None:
            print('%s: error: %s; use --headless to render to files without a screen'
                  % (PROG, problem), file=sys.stderr)
            return 1
        return run_window(module, labels, args.matrices)
    except KeyboardInterrupt:
        print('%s: interrupted' % PROG, file=sys.stderr)
        return 130
    except (KestHeadless.XvfbError, IOError, OSError) as error:
        print('%s: error: %s' % (PROG, error), file=sys.stderr)
        return 1


if __name__ == '__main__':
    sys.exit(main())
