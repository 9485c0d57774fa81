"""The GLUT window: it creates the window, initialises the module, draws a
frame on every display callback (Scene: Movra.drawMain(), the overlay, the
buffer swap), advances the animation on a 33 ms timer and hands the keys
and the mouse to kesthost.controls. run_window() is the interactive run.
"""
from __future__ import division, print_function

import signal
import sys

from kesthost import PROG, controls, glut
from kesthost.faults import FaultReporter
from kesthost.overlay import Overlay
from OpenGL import GLUT

TICK_MS = 33            # animation timer period
WINDOW_TITLE = 'Movra'


class Scene(object):
    """Draws one frame: Movra.drawMain(), the overlay, then the buffer swap.

    after_module, when set, is called (with no arguments) between the
    module's frame and the overlay: the comparison of two modules' frames
    reads and marks the pixels there.
    """

    def __init__(self, module, faults=None, overlay=None):
        self.module = module
        self.faults = faults if faults is not None else FaultReporter()
        self.overlay = overlay
        self.after_module = None
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
        if self.after_module is not None:
            self.after_module()
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


def shutdown_glut():
    """Close GLUT's connection to the X server (freeglut's glutExit).

    Needed before our own Xvfb goes away: a connection left open would make
    Xlib end the process with a fatal IO error at exit.
    """
    global _glut_ready
    if _glut_ready and glut.glut_exit():
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


class Driven(object):
    """A module the window drives: its name in the messages and its faults.

    name None is the compiled Movra of a plain run, which the messages call
    Movra and the labels do not name.
    """

    def __init__(self, module, name=None, faults=None):
        self.module = module
        self.name = name
        self.faults = faults if faults is not None else FaultReporter(name=name or 'Movra')
        self.initialised = False      # its initGL has run in this window's context


def _native(key):
    """A key as the interpreter's own str, for its repr in a message (on
    Python 2 the controls hand keys over as unicode)."""
    if not isinstance(key, str) and isinstance(key, type(u'')):
        return key.encode('latin-1', 'replace')
    return key


def _title_bytes(title):
    return title.encode('ascii', 'replace') if isinstance(title, type(u'')) else title


class Window(object):
    """The GLUT window: creates it, initialises the module, owns the callbacks.

    animate=False leaves the timer out; the headless renderer then calls
    tick() itself between frames. labels and matrices set what the overlay
    shows at the start (the keys l and i change it).

    name: the module's name in the title, the labels and the messages (a
    learner's file); partners: modules driven in step with it but not drawn
    (Movra's, beside a learner's in one window), each a Driven: every tick
    and every key and drag reaches them too, and the key v shows the next
    one in its place. state: a ControlState shared with another window.
    controller: the object whose press, mouse, motion and display_frames
    the window's callbacks call (the window itself, or the pair of windows
    of kesthost.beside).
    """

    def __init__(self, module, scene=None, title=None, tick_ms=TICK_MS,
                 animate=True, out=None, labels=True, matrices=False, name=None,
                 partners=(), state=None, position=(0, 0)):
        shown = Driven(module, name, scene.faults if scene is not None else None)
        self.driven = [shown] + list(partners)
        self.module = module
        self.name = name
        self.scene = scene if scene is not None else Scene(module, shown.faults)
        self.faults = self.scene.faults
        if state is None:
            state = controls.ControlState()
            state.labels = bool(labels)
            state.matrices = bool(matrices)
        self.state = state
        self.title = title if title is not None else (name or WINDOW_TITLE)
        self.tick_ms = int(tick_ms)
        self.ticks = 0
        self.out = out
        self.side = 2 * int(module.sizeViewport)
        self.window_height = self.side
        self.closed = False       # set when a timer finds the window gone
        self.controller = self

        _init_glut()
        GLUT.glutInitDisplayMode(GLUT.GLUT_DOUBLE | GLUT.GLUT_RGB | GLUT.GLUT_DEPTH)
        GLUT.glutInitWindowSize(self.side, self.side)
        GLUT.glutInitWindowPosition(int(position[0]), int(position[1]))
        self.close_returns = _close_returns_from_main_loop()
        self.id = GLUT.glutCreateWindow(_title_bytes(self.title))
        self.initialise(shown)
        self.overlay = Overlay(module, self.state, self.faults, self.say, name=name)
        self.scene.overlay = self.overlay
        GLUT.glutDisplayFunc(self.display)
        GLUT.glutKeyboardFunc(self.keyboard)
        GLUT.glutSpecialFunc(self.special)
        GLUT.glutMouseFunc(self.mouse)
        GLUT.glutMotionFunc(self.motion)
        GLUT.glutReshapeFunc(self.reshape)
        if animate:
            GLUT.glutTimerFunc(self.tick_ms, self.timer_func, 0)
        self.update_title()

    def initialise(self, driven):
        """The module's initGL, once in this window's context; a failure is
        reported as the module's and the window goes on."""
        if driven.initialised:
            return
        driven.initialised = True
        try:
            driven.module.initGL()
        except Exception:
            driven.faults.failed('initGL()')

    # -- output --
    def say(self, text):
        stream = self.out if self.out is not None else sys.stdout
        stream.write(text + '\n')
        stream.flush()

    def update_title(self):
        try:
            status = controls.status_line(self.module, self.state)
        except Exception:
            status = '(its globals cannot be shown)'
        GLUT.glutSetWindowTitle(_title_bytes('%s  %s' % (self.title, status)))

    def display(self):
        """glutDisplayFunc callback."""
        self.controller.display_frames(self)

    def display_frames(self, window):
        self.scene.display()

    # -- animation --
    def tick(self):
        """One animation step of the module, and of every partner."""
        ticked = True
        for driven in self.driven:
            try:
                driven.module.updateAnimationVariables()
            except Exception:
                driven.faults.failed('updateAnimationVariables()')
                if driven.module is self.module:
                    ticked = False
            else:
                driven.faults.succeeded('updateAnimationVariables()')
        if ticked:
            self.ticks += 1
        return ticked

    def replay(self, outcome, modules):
        """A key's or drag's change made to the other modules too."""
        if outcome is None or outcome.replay is None:
            return
        for driven in modules:
            try:
                outcome.replay(driven.module)
            except Exception:
                driven.faults.failed('key %r' % (_native(outcome.key),)
                                     if outcome.key is not None else 'mouse %s' % outcome.name)

    def show_next(self):
        """The key v in one window: the next module driven is drawn."""
        if len(self.driven) < 2:
            self.say('v: only %s is loaded, there is nothing to swap with'
                     % (self.name or 'Movra'))
            return
        self.driven.append(self.driven.pop(0))
        shown = self.driven[0]
        self.module = self.scene.module = self.overlay.module = shown.module
        self.name = self.overlay.name = shown.name or 'Movra'
        self.title = self.name
        self.faults = self.scene.faults = self.overlay.faults = shown.faults
        self.initialise(shown)
        self.say('showing %s' % self.name)
        self.update_title()

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
        self.controller.press(key)

    def special(self, key, x, y):
        name = SPECIAL_KEYS.get(key)
        if name is not None:
            self.controller.press(name)

    def mouse(self, button, state, x, y):
        """glutMouseFunc callback."""
        self.controller.mouse_event(button, state == GLUT.GLUT_DOWN, x, y, self.window_height)

    def motion(self, x, y):
        """glutMotionFunc callback: the pointer moved with a button held."""
        self.controller.motion_event(x, y)

    def press(self, key):
        """Carry out one key of the control table."""
        try:
            outcome = controls.handle_key(key, self.module, self.state)
        except Exception:
            self.faults.failed('key %r' % (key,))
            return None
        self.replay(outcome, self.driven[1:])
        if outcome.name == 'swap':
            self.show_next()        # which says what it shows
            outcome.message = None
        return self.follow(outcome)

    def mouse_event(self, button, down, x, y, window_height):
        try:
            outcome = controls.mouse_button(button, down, x, y, self.module, self.state,
                                            window_height)
        except Exception:
            self.faults.failed('mouse button %r' % (button,))
            return None
        self.replay(outcome, self.driven[1:])
        return self.follow(outcome)

    def motion_event(self, x, y):
        try:
            outcome = controls.mouse_motion(x, y, self.module, self.state)
        except Exception:
            self.faults.failed('mouse motion')
            return None
        self.replay(outcome, self.driven[1:])
        return self.follow(outcome)

    def follow(self, outcome):
        """Do what a key press or mouse event asks of the window."""
        if outcome.message:
            named = self.name is not None and outcome.name != 'help'
            self.say('%s: %s' % (self.name, outcome.message) if named else outcome.message)
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
            self.say('%swindow is %dx%d: sizeViewport = %d'
                     % ('%s: ' % self.name if self.name else '', width, height, size))
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


def run_window(module, labels=True, matrices=False, name=None, partners=()):
    window = Window(module, labels=labels, matrices=matrices, name=name, partners=partners)
    window.state.compare = bool(partners) or name is not None
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
    print(controls.status_line(module, window.state))
    print('press h in the window for the keys, q or Esc to quit')
    sys.stdout.flush()
    try:
        GLUT.glutMainLoop()
    finally:
        signal.signal(signal.SIGINT, previous)
        window.overlay.remove()
    print('%s window closed after %d frames and %d ticks'
          % (name or 'Movra', window.scene.frames_drawn, window.ticks))
    return 0 if all(driven.faults.failures == 0 for driven in window.driven) else 1
