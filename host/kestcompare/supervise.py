"""Running untrusted code: the worker processes of one comparison (see
worker.py), each call bounded in time, a worker that does not answer killed
and started again.

A worker announces each call into the implementation with its time limit
({"phase": seconds}) and, when its alarm goes off, where the implementation
was ({"stopped": {...}}); a worker that outlives a call's limit by GRACE is
killed, and its reply then says where it was stopped.
"""
from __future__ import absolute_import, division, print_function

import errno
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

PACKAGE = os.path.dirname(os.path.abspath(__file__))
WORKER = os.path.join(PACKAGE, 'worker.py')
GRACE = 1.5                        # beyond a worker's own alarm, before a kill
START_GRACE = 20.0                 # interpreter start-up and imports of a worker
MAX_STARTS = 25                    # restarts of one worker before giving up


def _preexec():
    """A function run in each worker child: its own process group, and on
    Linux a SIGKILL when the tool dies, so that no worker outlives it."""
    prctl = None
    try:
        import ctypes
        import ctypes.util
        libc = ctypes.CDLL(ctypes.util.find_library('c') or 'libc.so.6', use_errno=True)
        prctl = libc.prctl
    except (OSError, AttributeError, ImportError):
        pass

    def child():
        os.setsid()
        if prctl is not None:
            prctl(1, int(signal.SIGKILL), 0, 0, 0)   # PR_SET_PDEATHSIG
    return child


PREEXEC = _preexec()

SIGNAL_NAMES = dict((getattr(signal, n), n) for n in dir(signal)
                    if n.startswith('SIG') and not n.startswith('SIG_') and
                    isinstance(getattr(signal, n), int))


def status_text(status):
    if status is None:
        return 'did not end'
    if status < 0:
        return 'was killed by %s' % SIGNAL_NAMES.get(-status, 'signal %d' % -status)
    return 'ended with exit status %d' % status


def worker_environment(extra):
    env = dict(os.environ)
    env.pop('MOVRA_FAKE_GL_BROKEN', None)
    env['PYTHONIOENCODING'] = 'utf-8'
    env['PYTHONDONTWRITEBYTECODE'] = '1'
    env.setdefault('OPENBLAS_NUM_THREADS', '1')
    env.update(extra or {})
    return env


class WorkerProcess(object):
    """One worker process, restarted with its load request after it crashed
    or was killed for not answering."""

    def __init__(self, mode, load_request, scratch, env=None):
        self.mode = mode
        self.load_request = load_request
        self.scratch = scratch
        self.env = env
        # Until the worker announces its first call: the call limit.
        self.phase_seconds = load_request['limit'] + GRACE
        self.process = None
        self.capture = None
        self.pending = b''
        self.starts = 0
        self.load_reply = None
        self.last_stop = None

    def _spawn(self):
        fd, self.capture = tempfile.mkstemp(prefix='worker-', suffix='.out', dir=self.scratch)
        os.close(fd)
        with open(self.capture, 'ab') as errors:
            self.process = subprocess.Popen(
                [sys.executable, WORKER, self.mode, self.capture],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors,
                cwd=self.scratch, env=worker_environment(self.env), close_fds=True,
                preexec_fn=PREEXEC)
        self.pending = b''
        self.starts += 1

    def start(self):
        """Starts the process and loads the module; the load reply."""
        self._spawn()
        self.send(self.load_request)
        self.load_reply = self.receive(time.time() + self.load_request['limit'] + START_GRACE)
        return self.load_reply

    def running(self):
        return self.process is not None and self.process.poll() is None

    def ready(self):
        """None when the worker can take a request, else why it cannot."""
        if self.running():
            return None
        if self.starts >= MAX_STARTS:
            return {'crashed': True, 'status': None, 'output': '',
                    'gave_up': 'the process was restarted %d times' % self.starts}
        reply = self.start()
        if not reply.get('ok'):
            reply = dict(reply)
            reply.setdefault('crashed', True)
            reply['reload'] = True
            return reply
        return None

    def send(self, request):
        try:
            self.process.stdin.write(json.dumps(request).encode('ascii') + b'\n')
            self.process.stdin.flush()
        except (IOError, OSError):
            pass            # the process is gone: receive() tells how

    def capture_tail(self, limit=2000):
        try:
            with open(self.capture, 'rb') as capture:
                capture.seek(0, os.SEEK_END)
                size = capture.tell()
                capture.seek(max(0, size - limit))
                return capture.read().decode('utf-8', 'replace')
        except (IOError, OSError):
            return ''

    def receive(self, deadline):
        """The next reply; each call the worker announces moves the deadline
        to its own limit and GRACE. A worker past it is killed: {"hung":
        true, "stopped": where its alarm found the implementation}."""
        self.last_stop = None
        while True:
            line = self._line(deadline)
            if isinstance(line, dict):
                return line
            try:
                reply = json.loads(line.decode('ascii'))
            except ValueError:
                self.kill()
                return {'crashed': True, 'status': None, 'output': self.capture_tail(),
                        'garbled': True}
            if isinstance(reply, dict) and list(reply) == ['phase']:
                deadline = time.time() + float(reply['phase']) + GRACE
                self.last_stop = None
                continue
            if isinstance(reply, dict) and list(reply) == ['stopped']:
                self.last_stop = reply['stopped']
                continue
            return reply

    def _line(self, deadline):
        fd = self.process.stdout.fileno()
        while b'\n' not in self.pending:
            remaining = deadline - time.time()
            if remaining <= 0:
                self.kill()
                reply = {'hung': True, 'killed': True}
                if self.last_stop:
                    reply['stopped'] = dict(self.last_stop, known=False)
                return reply
            try:
                ready, _, _ = select.select([fd], [], [], remaining)
            except (select.error, OSError) as error:
                if error.args and error.args[0] == errno.EINTR:
                    continue
                raise
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                status = self.wait(2.0)
                return {'crashed': True, 'status': status, 'output': self.capture_tail()}
            self.pending += chunk
        line, self.pending = self.pending.split(b'\n', 1)
        return line

    def wait(self, seconds):
        deadline = time.time() + seconds
        while self.process.poll() is None and time.time() < deadline:
            time.sleep(0.01)
        if self.process.poll() is None:
            self.kill()
        return self.process.returncode

    def kill(self):
        if self.process is None:
            return
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except OSError:
            pass
        try:
            self.process.kill()
        except OSError:
            pass
        self.process.wait()

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
            except (IOError, OSError):
                pass
            self.wait(5.0)
        self.kill()
        for stream in (self.process.stdin, self.process.stdout):
            try:
                stream.close()
            except (IOError, OSError):
                pass
        self.process = None


def start_all(workers, limit):
    """Starts the workers and loads their modules at the same time; the load
    replies."""
    for worker in workers:
        worker._spawn()
        worker.send(worker.load_request)
    deadline = time.time() + limit + START_GRACE
    for worker in workers:
        worker.load_reply = worker.receive(deadline)
    return [worker.load_reply for worker in workers]


def exchange(pairs):
    """Sends each (worker, request) and collects the replies, in parallel:
    the workers compute at the same time."""
    replies = [None] * len(pairs)
    for index, (worker, _request) in enumerate(pairs):
        problem = worker.ready()
        if problem is not None:
            replies[index] = problem
    started = time.time()
    for index, (worker, request) in enumerate(pairs):
        if replies[index] is None:
            worker.send(request)
    for index, (worker, _request) in enumerate(pairs):
        if replies[index] is None:
            replies[index] = worker.receive(started + worker.phase_seconds)
    return replies


def request_key(request):
    """What identifies a request's answer: everything but its time limits
    and where a picture goes."""
    return json.dumps(dict((k, v) for k, v in request.items()
                           if k not in ('limit', 'prepare_limit', 'path')), sort_keys=True)


class RecordedReplies(object):
    """Stands in for Movra's worker with the replies recorded once for a
    whole class (classrun.record_reference), so that each learner's
    comparison runs only the learner's code."""

    phase_seconds = GRACE

    def __init__(self, replies, load_request):
        self.replies = replies
        self.load_request = load_request
        self.load_reply = None
        self.queue = []

    def ready(self):
        return None

    def _spawn(self):
        pass

    def start(self):
        self.send(self.load_request)
        self.load_reply = self.receive(None)
        return self.load_reply

    def send(self, request):
        self.queue.append(request)

    def receive(self, deadline):
        key = request_key(self.queue.pop(0))
        if key not in self.replies:
            return {'internal_error': 'no recorded reply of Movra for %s' % key}
        return self.replies[key]

    def stop(self):
        pass
