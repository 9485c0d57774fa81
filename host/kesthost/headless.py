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

from kesthost import GIF_NAME, PROG, glut, writer, xvfb
from kesthost.window import TICK_MS, Window, shutdown_glut
from OpenGL import GL, GLUT


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
    frames_out = writer.FrameWriter(out_dir, side, side, TICK_MS, GIF_NAME)
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
            frames_out.add(read_rgba(side))
            GLUT.glutSwapBuffers()
            progress.update(index + 1)
        stopped = stopped or (interruption is not None and interruption.requested)
        report = frames_out.close()
        seconds = time.time() - started
    except BaseException:
        frames_out.abort()
        raise
    finally:
        if window is not None:
            window.destroy()
        shutdown_glut()
    return HeadlessRun(window, report, seconds, stopped)


def run_headless(module, frames, out_dir, labels=True, matrices=False):
    out_dir = os.path.abspath(out_dir)
    # Before the server starts and anything renders: a folder that cannot
    # be written stops the run here, with one line.
    removed = writer.prepare_output_folder(out_dir)
    if removed:
        print('removed %d frame(s) of an earlier run from %s' % (removed, out_dir))
    side = 2 * int(module.sizeViewport)
    progress = Progress(frames)
    with Interruption() as interruption:
        server = xvfb.Xvfb(side, side)
        server.start()
        try:
            print('started Xvfb on display %s (pid %d), screen %dx%d'
                  % (server.display, server.pid, side, side))
            sys.stdout.flush()
            os.environ['DISPLAY'] = server.display
            run = render_headless(module, frames, out_dir, labels, matrices,
                                  interruption, progress)
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
    print('wrote %d PNG frames (%dx%d) to %s'
          % (report.frames, side, side, os.path.join(out_dir, 'frame_NNNN.png')))
    print('wrote the animated GIF %s' % report.gif)
    print('rendered and wrote %d frames in %.2f s; %d colours, one palette for '
          'the PNG frames and the GIF' % (report.frames, run.seconds, report.colours))
    if report.inexact:
        print('warning: %d frame(s) had more colours than one palette of %d holds: '
              'their PNG files are RGB, and the GIF shows them with the nearest '
              'palette colours' % (report.inexact, writer.PALETTE_SIZE), file=sys.stderr)
    failed = run.window.scene.frames_failed
    if failed or run.window.faults.failures:
        print('%d of %d frames failed to draw (tracebacks above)' % (failed, frames),
              file=sys.stderr)
        return 1
    return 0
