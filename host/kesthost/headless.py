"""A run without a screen: the host's own Xvfb, the frames rendered one
animation tick apart in a window on it, each read back with glReadPixels
and handed to the frame writer as soon as it is drawn; a progress line,
and Ctrl+C between frames, which keeps what was written.
"""
from __future__ import division, print_function

import os
import signal
import sys
import time

import numpy as np

from kesthost import GIF_NAME, PROG, differences, glut, writer, xvfb  # noqa: F401  (glut first)
from kesthost.readback import read_frame, read_rgba, read_rgba_into  # noqa: F401  (read_frame: tests)
from kesthost.window import TICK_MS, Window, shutdown_glut
from OpenGL import GLUT


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


class Single(object):
    """One module in one window, as a headless run drives it."""

    def __init__(self, module, labels, matrices, name=None, partners=()):
        self.window = Window(module, animate=False, labels=labels, matrices=matrices,
                             name=name, partners=partners)
        self.side = self.window.side
        self.width = self.height = self.side

    def tick(self):
        self.window.tick()

    def frame(self):
        """Draw one frame and read it back (RGBA, bottom row first)."""
        self.window.scene.draw()
        rgba = read_rgba(self.side)
        GLUT.glutSwapBuffers()
        return rgba

    def failures(self):
        return sum(driven.faults.failures for driven in self.window.driven)

    def frames_failed(self):
        return self.window.scene.frames_failed

    def destroy(self):
        self.window.destroy()


class Pair(object):
    """The learner's module beside Movra's (kesthost.beside), each frame the
    two windows' frames side by side: the learner's on the left."""

    def __init__(self, yours, movra, name, labels, matrices, diff):
        from kesthost.beside import Beside
        self.beside = Beside(yours, movra, name, labels=labels, matrices=matrices, diff=diff,
                             animate=False)
        self.window = self.beside.yours
        self.side = self.window.side
        self.width, self.height = 2 * self.side, self.side
        self._frame = None
        self.beside.on_drawn = self._on_drawn

    def _on_drawn(self, window):
        left = self.beside.movra if self.beside.state.swapped else self.beside.yours
        read_rgba_into(self._frame, 0 if window is left else self.side)

    def tick(self):
        self.beside.tick()

    def frame(self):
        # A new array each frame: the writer's thread may still hold the last.
        self._frame = np.empty((self.height, self.width, 4), dtype=np.uint8)
        self.beside.draw()
        return self._frame.tobytes()

    def failures(self):
        return self.beside.failures()

    def frames_failed(self):
        return max(window.scene.frames_failed for window in self.beside.windows)

    def destroy(self):
        self.beside.destroy()


def render_headless(module, frames, out_dir, labels=True, matrices=False,
                    interruption=None, progress=None, name=None, partners=(), beside=None,
                    diff=False):
    """Render `frames` frames on the current DISPLAY and stream them to files.

    beside: Movra's module, drawn beside `module` (named `name`) in frames
    of the two side by side; partners: modules driven in step, not drawn.
    """
    progress = progress if progress is not None else Progress(frames)
    shown = None
    stopped = False
    frames_out = None
    try:
        if beside is not None:
            shown = Pair(module, beside, name, labels, matrices, diff)
        else:
            shown = Single(module, labels, matrices, name, partners)
        frames_out = writer.FrameWriter(out_dir, shown.width, shown.height, TICK_MS, GIF_NAME)
        started = time.time()
        shown.tick()        # the moving camera on its orbit before the first frame
        for index in range(frames):
            if interruption is not None and interruption.requested:
                stopped = True
                break
            if index:
                shown.tick()
            frames_out.add(shown.frame())
            progress.update(index + 1)
        stopped = stopped or (interruption is not None and interruption.requested)
        report = frames_out.close()
        seconds = time.time() - started
    except BaseException:
        if frames_out is not None:
            frames_out.abort()
        raise
    finally:
        if shown is not None:
            shown.destroy()
        shutdown_glut()
    return HeadlessRun(shown, report, seconds, stopped)


def run_headless(module, frames, out_dir, labels=True, matrices=False, name=None,
                 partners=(), beside=None, diff=False):
    out_dir = os.path.abspath(out_dir)
    # Before the server starts and anything renders: a folder that cannot
    # be written stops the run here, with one line.
    removed = writer.prepare_output_folder(out_dir)
    if removed:
        print('removed %d frame(s) of an earlier run from %s' % (removed, out_dir))
    side = 2 * int(module.sizeViewport)
    width = 2 * side if beside is not None else side
    progress = Progress(frames)
    with Interruption() as interruption:
        server = xvfb.Xvfb(width, side)
        server.start()
        try:
            print('started Xvfb on display %s (pid %d), screen %dx%d'
                  % (server.display, server.pid, width, side))
            sys.stdout.flush()
            os.environ['DISPLAY'] = server.display
            run = render_headless(module, frames, out_dir, labels, matrices,
                                  interruption, progress, name, partners, beside, diff)
        finally:
            server.stop()
    report = run.report
    if run.interrupted:
        progress.end_line()
        if report.frames:
            print('%s: interrupted after %d of %d frames: kept %s to %s and wrote %s of them in %s'
                  % (PROG, report.frames, frames, writer.frame_name(0),
                     writer.frame_name(report.frames - 1), GIF_NAME, out_dir),
                  file=sys.stderr)
        else:
            print('%s: interrupted before the first frame: nothing was written to %s'
                  % (PROG, out_dir), file=sys.stderr)
        return 130
    print('wrote %d PNG frames (%dx%d%s) to %s'
          % (report.frames, width, side,
             ', %s on the left, Movra on the right' % name if beside is not None else '',
             os.path.join(out_dir, 'frame_NNNN.png')))
    print('wrote the animated GIF %s' % report.gif)
    print('rendered and wrote %d frames in %.2f s; %d colours, one palette for '
          'the PNG frames and the GIF' % (report.frames, run.seconds, report.colours))
    if report.inexact:
        print('warning: %d frame(s) had more colours than one palette of %d holds: '
              'their PNG files are RGB, and the GIF shows them with the nearest '
              'palette colours' % (report.inexact, writer.PALETTE_SIZE), file=sys.stderr)
    if beside is not None and diff:
        print(differences_summary(name, run.window.beside.largest_shares))
    failed = run.window.frames_failed()
    if failed or run.window.failures():
        print('%d of %d frames failed to draw (tracebacks above)' % (failed, frames),
              file=sys.stderr)
        return 1
    return 0


def differences_summary(name, largest):
    """One line: the largest share of differing pixels of each viewport
    over the frames of a run."""
    parts = ['%d %s' % (number, differences.share_text(largest.get(number, 0.0)))
             for number in (1, 2, 3, 4)]
    return ('%s differs from Movra, the largest share of pixels over the frames, '
            'by viewport: %s' % (name, ', '.join(parts)))
