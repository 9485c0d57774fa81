#!/usr/bin/env python
"""Movra host: a GLUT window around the Movra module's four viewports.

With a screen (DISPLAY set) it opens a window of side 2 x sizeViewport,
draws Movra.drawMain() on every display callback and advances the
animation with Movra.updateAnimationVariables() on a 33 ms timer; the
keyboard moves the first camera and changes its view volume (press h).

Without a screen, or with --headless, it starts its own Xvfb server, renders
a short animation (one animation tick between frames), reads every frame
back with glReadPixels and writes PNG frames plus one animated GIF.

Run `python host/KestMain.py --help` for the options.
"""
from __future__ import division, print_function

import argparse
import os
import signal
import sys
import traceback

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
                    'PNG frames and an animated GIF.',
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


# ----------------------------------------------------------- scene, window ---

class Scene(object):
    """Draws one frame: Movra.drawMain(), then the buffer swap."""

    def __init__(self, module, faults=None):
        self.module = module
        self.faults = faults if faults is not None else FaultReporter()
        self.frames_drawn = 0
        self.frames_failed = 0

    def draw(self):
        """Draw into the back buffer; return False when the module raised."""
        try:
            self.module.drawMain()
        except Exception:
            self.frames_failed += 1
            self.faults.failed('drawMain()')
            return False
        self.frames_drawn += 1
        self.faults.succeeded('drawMain()')
        return True

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
    tick() itself between frames.
    """

    def __init__(self, module, scene=None, title=WINDOW_TITLE, tick_ms=TICK_MS,
                 animate=True, out=None):
        self.module = module
        self.scene = scene if scene is not None else Scene(module)
        self.faults = self.scene.faults
        self.state = KestControls.ControlState()
        self.title = title
        self.tick_ms = int(tick_ms)
        self.ticks = 0
        self.out = out
        self.side = 2 * int(module.sizeViewport)
        self.closed = False       # set when a timer finds the window gone

        _init_glut()
        GLUT.glutInitDisplayMode(GLUT.GLUT_DOUBLE | GLUT.GLUT_RGB | GLUT.GLUT_DEPTH)
        GLUT.glutInitWindowSize(self.side, self.side)
        GLUT.glutInitWindowPosition(0, 0)
        self.close_returns = _close_returns_from_main_loop()
        self.id = GLUT.glutCreateWindow(title.encode('ascii') if isinstance(title, type(u'')) else title)
        module.initGL()
        GLUT.glutDisplayFunc(self.scene.display)
        GLUT.glutKeyboardFunc(self.keyboard)
        GLUT.glutSpecialFunc(self.special)
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
        if self.id and not self.closed:
            GLUT.glutDestroyWindow(self.id)
            self.id = 0


# ------------------------------------------------------------ interactive ---

def run_window(module):
    window = Window(module)
    if not window.close_returns:
        print('note: this GLUT cannot return from its main loop; closing the '
              'window ends the program at once')

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


class Progress(object):
    """One updating line on a terminal, a line per tenth of the work elsewhere."""

    def __init__(self, total, stream=None):
        self.total = total
        self.stream = stream if stream is not None else sys.stdout
        self.tty = hasattr(self.stream, 'isatty') and self.stream.isatty()
        self._shown = -1

    def update(self, done):
        text = 'rendering frame %d/%d' % (done, self.total)
        if self.tty:
            self.stream.write('\r' + text + ('\n' if done == self.total else ''))
        else:
            tenth = (done * 10) // self.total
            if tenth == self._shown and done != self.total:
                return
            self._shown = tenth
            self.stream.write(text + '\n')
        self.stream.flush()


def render_headless(module, frames, out_dir):
    """Render `frames` frames on the current DISPLAY and write the files."""
    removed = KestHeadless.prepare_output_folder(out_dir)
    if removed:
        print('removed %d frame(s) of an earlier run from %s' % (removed, out_dir))
    window = Window(module, animate=False)
    side = window.side
    progress = Progress(frames)
    images = []
    try:
        for index in range(frames):
            window.scene.draw()
            GL.glFinish()
            frame = read_frame(side)
            GLUT.glutSwapBuffers()
            KestHeadless.write_png(frame, os.path.join(out_dir, KestHeadless.frame_name(index)))
            images.append(frame)
            progress.update(index + 1)
            window.tick()
    finally:
        window.destroy()
        _shutdown_glut()
    gif = KestHeadless.write_gif(images, os.path.join(out_dir, GIF_NAME), TICK_MS)
    return window, gif


def run_headless(module, frames, out_dir):
    out_dir = os.path.abspath(out_dir)
    side = 2 * int(module.sizeViewport)
    xvfb = KestHeadless.Xvfb(side, side)
    xvfb.start()
    try:
        print('started Xvfb on display %s (pid %d), screen %dx%d'
              % (xvfb.display, xvfb.pid, side, side))
        sys.stdout.flush()
        os.environ['DISPLAY'] = xvfb.display
        window, gif = render_headless(module, frames, out_dir)
    finally:
        xvfb.stop()
    print('wrote %d PNG frames (%dx%d) to %s'
          % (frames, side, side, os.path.join(out_dir, 'frame_NNNN.png')))
    print('wrote the animated GIF %s' % gif)
    failed = window.scene.frames_failed
    if failed or window.faults.failures:
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
    headless = args.headless or not os.environ.get('DISPLAY')
    try:
        if headless:
            if not args.headless:
                print('no DISPLAY: rendering %d frames headless' % args.frames)
            return run_headless(module, args.frames, args.out)
        return run_window(module)
    except (KestHeadless.XvfbError, IOError, OSError) as error:
        print('%s: error: %s' % (PROG, error), file=sys.stderr)
        return 1


if __name__ == '__main__':
    sys.exit(main())
