"""A private X server for the runs without a screen.

Xvfb is started with -displayfd, so it picks a free display number itself
and writes it to a pipe once it accepts connections: no guessing of numbers,
no polling for lock files. The server is killed when the Xvfb object is
stopped, when the with-block around it ends (also on an exception) and, on
Linux, by the kernel when the process that started it dies without cleaning
up (freeglut ends the process with exit() on fatal errors, which skips
Python's own clean-up). It runs in a process group of its own, so that a
Ctrl+C in the terminal reaches only the program that started it, which can
then finish its files before it stops the server.
"""
from __future__ import division, print_function

import errno
import os
import re
import select
import signal
import subprocess
import tempfile
import time

try:
    from shutil import which as _which
except ImportError:         # Python 2
    _which = None

XVFB_HINT = 'install the Debian package xvfb (apt-get install xvfb)'


class XvfbError(RuntimeError):
    pass


def find_executable(name):
    """The full path of program `name` on PATH, or None."""
    if _which is not None:
        return _which(name)
    if os.path.dirname(name):
        return name if os.access(name, os.X_OK) and not os.path.isdir(name) else None
    for folder in os.environ.get('PATH', os.defpath).split(os.pathsep):
        path = os.path.join(folder or os.curdir, name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


def _parent_death_signal():
    """A preexec_fn for the server: its own process group, and SIGTERM from
    Linux when the parent dies."""
    try:
        import ctypes
        import ctypes.util
        libc = ctypes.CDLL(ctypes.util.find_library('c') or 'libc.so.6', use_errno=True)
        prctl = libc.prctl
    except (OSError, AttributeError, ImportError):
        prctl = None
    PR_SET_PDEATHSIG = 1

    def preexec():
        os.setpgid(0, 0)
        if prctl is not None:
            prctl(PR_SET_PDEATHSIG, int(signal.SIGTERM), 0, 0, 0)
    return preexec


class Xvfb(object):
    """One Xvfb server on a display number it chooses itself."""

    def __init__(self, width, height, depth=24, timeout=30.0, executable='Xvfb'):
        self.width = int(width)
        self.height = int(height)
        self.depth = int(depth)
        self.timeout = float(timeout)
        self.executable = executable
        self.process = None
        self.display = None
        self._log = None

    @property
    def pid(self):
        return self.process.pid if self.process is not None else None

    def command(self, path):
        # -noreset: by default the server resets itself whenever its last
        # client disconnects, and a client that connects meanwhile (a probe
        # such as xwininfo ending as the program starts) is refused.
        return [path, '-displayfd', '1',
                '-screen', '0', '%dx%dx%d' % (self.width, self.height, self.depth),
                '-nolisten', 'tcp', '-noreset']

    def start(self):
        if self.process is not None:
            raise XvfbError('Xvfb is already running on %s' % self.display)
        path = find_executable(self.executable)
        if path is None:
            raise XvfbError('%s not found on PATH: %s' % (self.executable, XVFB_HINT))
        self._log = tempfile.TemporaryFile(prefix='movra-xvfb-')
        read_end, write_end = os.pipe()
        try:
            with open(os.devnull, 'rb') as devnull:
                # stdout is the pipe: -displayfd 1 writes the number there.
                self.process = subprocess.Popen(
                    self.command(path), stdin=devnull, stdout=write_end,
                    stderr=self._log, close_fds=True,
                    preexec_fn=_parent_death_signal())
        finally:
            os.close(write_end)
        try:
            number = self._read_display_number(read_end)
        except BaseException:
            os.close(read_end)
            self.stop()
            raise
        os.close(read_end)
        self.display = ':%d' % number
        return self

    def _read_display_number(self, fd):
        deadline = time.time() + self.timeout
        text = b''
        while not text.endswith(b'\n'):
            remaining = deadline - time.time()
            if remaining <= 0:
                raise XvfbError('Xvfb did not come up within %.0f s%s'
                                % (self.timeout, self._log_tail()))
            try:
                ready, _, _ = select.select([fd], [], [], min(remaining, 0.5))
            except select.error as error:
                if error.args[0] == errno.EINTR:
                    continue
                raise
            if not ready:
                continue
            chunk = os.read(fd, 64)
            if not chunk:
                self.process.wait()
                raise XvfbError('Xvfb exited with status %s before it was ready%s'
                                % (self.process.returncode, self._log_tail()))
            text += chunk
        match = re.match(br'^\s*(\d+)\s*$', text)
        if match is None:
            raise XvfbError('Xvfb reported an unexpected display %r' % text)
        return int(match.group(1))

    def _log_tail(self, lines=15):
        if self._log is None:
            return ''
        try:
            self._log.seek(0)
            tail = self._log.read().decode('utf-8', 'replace').strip().splitlines()[-lines:]
        except (IOError, OSError, ValueError):
            return ''
        return (':\n    ' + '\n    '.join(tail)) if tail else ''

    def running(self):
        return self.process is not None and self.process.poll() is None

    def stop(self):
        """Terminate the server and wait for it; safe to call twice."""
        process, self.process = self.process, None
        if process is not None and process.poll() is None:
            process.terminate()
            deadline = time.time() + 5.0
            while process.poll() is None and time.time() < deadline:
                time.sleep(0.02)
            if process.poll() is None:
                process.kill()
                process.wait()
        if self._log is not None:
            self._log.close()
            self._log = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()
        return False
