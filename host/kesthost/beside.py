"""A learner's module beside Movra's (--beside): two windows side by side,
each with its own GL context, so its own GL state, and each module with its
own globals. Every key, mouse drag and tick goes to both, so that the two
cameras, view volumes and animations stay in step; a frame draws Movra's
window first and then the learner's, which the differences are marked on
(key d, --diff): the pixels where it differs from Movra's frame in magenta,
the share per viewport in its overlay. Key v swaps the windows' places.
"""
from __future__ import division, print_function

import signal
import sys

from kesthost import controls, differences, glut  # noqa: F401  (glut before OpenGL.GLUT)
from kesthost.readback import read_pixels
from kesthost.window import TICK_MS, Window
from OpenGL import GL, GLUT


class Beside(object):
    """The learner's window (left) and Movra's (right), driven as one.

    on_drawn(window), when set, is called after each window's frame and
    overlay, before its buffer swap (the headless run reads the frame
    there). animate=False leaves the timer out, as for Window.
    """

    def __init__(self, yours, movra, name, labels=True, matrices=False, diff=False,
                 animate=True, tick_ms=TICK_MS, out=None):
        self.state = controls.ControlState()
        self.state.labels = bool(labels)
        self.state.matrices = bool(matrices)
        self.state.compare = True
        self.state.diff = bool(diff)
        self.name = name
        self.tick_ms = int(tick_ms)
        self.out = out
        self.ticks = 0
        self.frames = 0
        self.closed = False           # a window was closed: the run ends
        self._closing_watched = False
        self.on_drawn = None
        self.reference = None         # Movra's frame of this tick, before its overlay
        self.mask = None              # the pixels marked on the learner's frame
        self.largest_shares = {}      # viewport -> the largest share of differing pixels seen
        self._said_sizes = False
        self.yours = Window(yours, name=name, state=self.state, animate=False, out=out,
                            position=(0, 0))
        self.movra = Window(movra, name='Movra', state=self.state, animate=False, out=out,
                            position=(self.yours.side, 0))
        self.windows = (self.yours, self.movra)
        for window in self.windows:
            window.controller = self
        self.close_returns = self.yours.close_returns
        self.movra.overlay.prints = False
        self.yours.overlay.partner = self.movra.overlay
        self.movra.scene.after_module = self._after_movra
        self.yours.scene.after_module = self._after_yours
        # The timer belongs to the learner's window: PyOpenGL keeps a timer's
        # callback with the GL context current when it is registered, and
        # lets it go with the context current when it has run, so both are
        # the same window's (see timer_func).
        GLUT.glutSetWindow(self.yours.id)
        if animate:
            GLUT.glutTimerFunc(self.tick_ms, self.timer_func, 0)

    # -- a window closed by its title bar --
    def watch_closing(self):
        """Note which window the window manager closes (freeglut's
        glutCloseFunc), so that nothing draws into it or makes it current
        again: freeglut then returns from its loop (GLUT_ACTION_ON_WINDOW_CLOSE),
        and the other window may still be asked to draw once.

        For the time of the main loop only (run_beside): freeglut calls the
        callbacks still registered in its own clean-up at exit, after
        Python's, which ends the process with a segmentation fault."""
        try:
            available = bool(GLUT.glutCloseFunc)
        except (AttributeError, TypeError):
            available = False
        if not available:
            return
        for window in self.windows:
            def closed(window=window):
                window.closed = True
                self.closed = True
            GLUT.glutSetWindow(window.id)
            GLUT.glutCloseFunc(closed)
        self._closing_watched = True

    def stop_watching(self):
        """Take the close callbacks back (see watch_closing)."""
        if not self._closing_watched:
            return
        self._closing_watched = False
        for window in self.windows:
            if not window.closed:
                GLUT.glutSetWindow(window.id)
                GLUT.glutCloseFunc(None)

    @property
    def faults(self):
        return [window.faults for window in self.windows]

    def failures(self):
        return sum(window.faults.failures for window in self.windows)

    def say(self, text):
        self.yours.say(text)

    # -- frames --
    def display_frames(self, window):
        """Either window's display callback: both are drawn, Movra's first,
        so that the learner's is compared with Movra's frame of the same tick."""
        self.draw()

    def draw(self):
        if self.closed:
            return
        current = GLUT.glutGetWindow()
        for window in (self.movra, self.yours):
            GLUT.glutSetWindow(window.id)
            window.scene.draw()
            if self.on_drawn is not None:
                self.on_drawn(window)
            GLUT.glutSwapBuffers()
        if current:
            GLUT.glutSetWindow(current)
        self.frames += 1

    def comparable(self):
        if self.yours.side == self.movra.side:
            return True
        if not self._said_sizes:
            self._said_sizes = True
            self.say('%s: the differences cannot be marked: its sizeViewport is %d, Movra\'s %d'
                     % (self.name, self.yours.side // 2, self.movra.side // 2))
        return False

    def _after_movra(self):
        self.reference = None
        if self.state.diff:
            try:
                self.reference = read_pixels(self.movra.side)
            except Exception:
                self.movra.faults.failed('reading the frame to compare')

    def _after_yours(self):
        overlay = self.yours.overlay
        overlay.shares = None
        self.mask = None
        if not self.state.diff or self.reference is None or not self.comparable():
            return
        size = self.yours.side // 2
        try:
            mask = differences.differing(read_pixels(self.yours.side), self.reference, size)
            differences.draw_marks(GL, mask)
        except Exception:
            self.yours.faults.failed('marking the differences')
            return
        self.mask = mask
        overlay.shares = differences.shares(mask, size)
        for number, share in overlay.shares.items():
            self.largest_shares[number] = max(share, self.largest_shares.get(number, 0.0))

    def post_redisplay(self):
        if not self.closed:
            GLUT.glutPostWindowRedisplay(self.yours.id)

    # -- animation --
    def tick(self):
        """One animation step of both modules."""
        ticked = [window.tick() for window in self.windows]
        self.ticks += 1
        return all(ticked)

    def _run_pending_steps(self):
        stepped = False
        while self.state.pending_steps > 0:
            self.state.pending_steps -= 1
            self.tick()
            stepped = True
        return stepped

    def timer_func(self, value):
        """glutTimerFunc callback: re-arm, tick both unless paused, redraw."""
        if self.closed or GLUT.glutGetWindow() not in [window.id for window in self.windows]:
            # A window was closed (see Window.timer_func): the run ends.
            self.closed = True
            return
        GLUT.glutSetWindow(self.yours.id)
        GLUT.glutTimerFunc(self.tick_ms, self.timer_func, value)
        if self.state.quit:
            self.quit()
            return
        if self.state.paused:
            if self._run_pending_steps():
                self.post_redisplay()
            return
        self.tick()
        self.post_redisplay()

    # -- input, from either window --
    # Movra's module takes each key and drag first, with the host's state
    # (pause, the pending tick of a reset, the drag); the learner's then
    # makes the same change from its own values, so that a failure of the
    # learner's (a global it lacks) is reported as its own and Movra's
    # still moves.
    def press(self, key):
        try:
            outcome = controls.handle_key(key, self.movra.module, self.state)
        except Exception:
            self.movra.faults.failed('key %r' % (key,))
            return None
        self.movra.replay(outcome, self.yours.driven)
        if outcome.name == 'swap':
            self.place()
        return self.follow(outcome)

    def mouse_event(self, button, down, x, y, window_height):
        try:
            outcome = controls.mouse_button(button, down, x, y, self.movra.module, self.state,
                                            window_height)
        except Exception:
            self.movra.faults.failed('mouse button %r' % (button,))
            return None
        self.movra.replay(outcome, self.yours.driven)
        return self.follow(outcome)

    def motion_event(self, x, y):
        try:
            outcome = controls.mouse_motion(x, y, self.movra.module, self.state)
        except Exception:
            self.movra.faults.failed('mouse motion')
            return None
        self.movra.replay(outcome, self.yours.driven)
        return self.follow(outcome)

    def follow(self, outcome):
        message = outcome.message
        if message and outcome.replay is not None:
            # The status line is the learner's module's, after its change.
            try:
                message = controls.status_line(self.yours.module, self.state)
            except Exception:
                message = 'Movra: ' + controls.status_line(self.movra.module, self.state)
            else:
                message = '%s: %s' % (self.name, message)
        elif message and outcome.name != 'help':
            message = '%s: %s' % (self.name, message)
        if message:
            self.say(message)
        if outcome.name in ('pause', 'step') or outcome.changed:
            current = GLUT.glutGetWindow()
            for window in self.windows:
                GLUT.glutSetWindow(window.id)
                window.update_title()
            if current:
                GLUT.glutSetWindow(current)
        if self._run_pending_steps() or outcome.redisplay:
            self.post_redisplay()
        if outcome.quit:
            self.quit()
        return outcome

    def place(self):
        """The windows side by side, the learner's on the left unless swapped."""
        left, right = (self.movra, self.yours) if self.state.swapped else self.windows
        current = GLUT.glutGetWindow()
        for window, x in ((left, 0), (right, left.side)):
            GLUT.glutSetWindow(window.id)
            GLUT.glutPositionWindow(x, 0)
        if current:
            GLUT.glutSetWindow(current)

    def quit(self):
        self.state.quit = True
        if bool(GLUT.glutLeaveMainLoop):
            GLUT.glutLeaveMainLoop()
        else:
            sys.exit(0)

    def destroy(self):
        self.stop_watching()
        for window in self.windows:
            if not window.closed and window.id:
                GLUT.glutSetWindow(window.id)
            window.destroy()


def run_beside(yours, movra, name, labels=True, matrices=False, diff=False):
    pair = Beside(yours, movra, name, labels=labels, matrices=matrices, diff=diff)
    if not pair.close_returns:
        print('note: this GLUT cannot return from its main loop; closing a '
              'window ends the program at once')
    pair.tick()         # the moving cameras on their orbits before the first frame
    previous = signal.getsignal(signal.SIGINT)

    def interrupt(signum, frame):
        pair.state.quit = True
    signal.signal(signal.SIGINT, interrupt)
    pair.watch_closing()
    print('%s (left) beside Movra (right): %s' % (name, controls.status_line(yours, pair.state)))
    print('press h in a window for the keys, d to mark the differences, q or Esc to quit')
    sys.stdout.flush()
    try:
        GLUT.glutMainLoop()
    finally:
        signal.signal(signal.SIGINT, previous)
        for window in pair.windows:
            window.overlay.remove()
        pair.stop_watching()
    print('%s beside Movra: windows closed after %d frames and %d ticks'
          % (name, pair.frames, pair.ticks))
    return 0 if pair.failures() == 0 else 1
