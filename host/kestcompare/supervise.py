"""Running untrusted code: the worker processes of one comparison, each in
its box (kestcompare.sandbox) or, told --no-sandbox, without one; each call
bounded in time; a worker that does not answer killed and started again.

A worker announces each call into the implementation with its time limit
({"phase": seconds}, at most the request's own limit) and, when its alarm
goes off, where the implementation was ({"stopped": {...}}); a worker that
outlives a call's limit by GRACE is killed, and its reply then says where it
was stopped. However many calls a worker announces, one request never
takes longer than its own bound (request_seconds), and no worker outlives
the learner's deadline: a comparison past it ends with LearnerTimeLimit.
Killing a box's bwrap ends every process in it: its PID namespace goes
with it.

Everything a worker writes is read as untrusted data (kestcompare.protocol):
a reply that is not valid counts as a crash of the worker, which is then
killed. When a worker's process ends, what it hit is said from the outside
where the outside can tell (killed at the time limit, SIGXCPU for its CPU
time, SIGXFSZ) and otherwise from its last error: MemoryError for the
memory limit, the errno of an OSError for processes, file size, open files
and the scratch folder.
"""
from __future__ import absolute_import, division, print_function

import errno
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

from kestcompare import protocol, sandbox

GRACE = 1.5                        # beyond a worker's own alarm, before a kill
START_GRACE = 20.0                 # interpreter start-up and imports of a worker
MAX_STARTS = 25                    # restarts of one worker before giving up
CAPTURE_TAIL = 2000

SIGNAL_NAMES = dict((getattr(signal, n), n) for n in dir(signal)
                    if n.startswith('SIG') and not n.startswith('SIG_') and
                    isinstance(getattr(signal, n), int))
ERRNO_LIMITS = {errno.EAGAIN: 'processes', errno.EFBIG: 'file size', errno.EMFILE: 'open files',
                errno.ENFILE: 'open files', errno.ENOSPC: 'scratch'}
SIGNAL_LIMITS = {signal.SIGXCPU: 'cpu', signal.SIGXFSZ: 'file size'}


class LearnerTimeLimit(Exception):
    """The learner's whole comparison ran past its deadline."""


def status_text(status):
    if status is None:
        return 'did not end'
    if status < 0:
        return 'was killed by %s' % SIGNAL_NAMES.get(-status, 'signal %d' % -status)
    return 'ended with exit status %d' % status


def error_limit(error):
    """The limit that an error entry of a worker says was hit, or None."""
    if not error:
        return None
    if error.get('type') == 'MemoryError':
        return 'memory'
    if error.get('errno') in ERRNO_LIMITS and error.get('type') not in ('ImportError',):
        return ERRNO_LIMITS[error['errno']]
    return error_limit(error.get('handled'))


def request_seconds(request):
    """The longest one request may take, whatever the worker announces: its
    preparation, the call and the encoding of what it made."""
    limit = float(request.get('limit', 0))
    preparing = float(request.get('prepare_limit', limit)) if request['op'] in (
        'draw', 'render', 'prepare') else 0.0
    return preparing + 2 * limit + 2 * GRACE


class Worker(object):
    """How to start one worker process: its interpreter, mode and target,
    boxed or not."""

    def __init__(self, interpreter, mode, target, limits, boxed=True, slot=0, display=None,
                 reference=False):
        self.interpreter = interpreter
        self.mode = mode
        self.target = target
        self.limits = limits
        self.boxed = boxed
        self.slot = slot
        self.display = display
        self.reference = reference

    def inside_target(self):
        if self.target == 'compiled' or not self.boxed:
            return self.target
        return sandbox.Box(self.interpreter, self.mode, self.target, self.limits).inside_target()

    def argv(self, capture_fd):
        if self.boxed:
            return sandbox.Box(self.interpreter, self.mode, self.target, self.limits, self.slot,
                               self.display, self.reference).argv(capture_fd)
        host = sandbox.HOST
        first = [os.path.join(host, 'recordgl')] if self.mode == 'record' else [host]
        settings = {'mode': self.mode, 'first': first, 'site': self.interpreter.site,
                    'capture_fd': capture_fd, 'cwd': None, 'processes': 0}
        return [self.interpreter.executable, '-E', '-s', '-S',
                os.path.join(sandbox.PACKAGE, 'worker', '__main__.py'),
                sandbox.json.dumps(settings, sort_keys=True)]

    def environment(self):
        if self.boxed:
            return {}           # bwrap clears it and sets its own
        env = dict(os.environ)
        env.pop('MOVRA_FAKE_GL_BROKEN', None)
        env.update(sandbox.ENVIRONMENT)
        env['HOME'] = os.environ.get('HOME', '/')
        env['TMPDIR'] = os.environ.get('TMPDIR', tempfile.gettempdir())
        env['PATH'] = os.environ.get('PATH', os.defpath)
        if self.display is not None:
            env['DISPLAY'] = ':%d' % self.display[0]
        return env


class WorkerProcess(object):
    """One worker process, restarted with its load request after it crashed
    or was killed for not answering."""

    def __init__(self, worker, load_request, scratch, deadline=None):
        self.worker = worker
        self.load_request = load_request
        self.scratch = scratch
        self.deadline = deadline        # the learner's, an absolute time, or None
        # Until the worker announces its first call: the call limit.
        self.phase_seconds = load_request['limit'] + GRACE
        self.process = None
        self.capture = None
        self.capture_fd = None
        self.pending = bytearray()
        self.starts = 0
        self.load_reply = None
        self.last_stop = None
        self.last_error = None

    def _spawn(self):
        if self.capture_fd is not None:
            os.close(self.capture_fd)
        fd, self.capture = tempfile.mkstemp(prefix='worker-', suffix='.out', dir=self.scratch)
        os.close(fd)
        self.capture_fd = os.open(self.capture, os.O_RDWR | os.O_APPEND)
        self.process = subprocess.Popen(
            self.worker.argv(self.capture_fd), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=self.capture_fd, cwd=self.scratch, env=self.worker.environment(),
            close_fds=True, pass_fds=(self.capture_fd,),
            preexec_fn=sandbox.preexec(self.worker.limits if self.worker.boxed else None))
        self.pending = bytearray()
        self.last_error = None
        self.starts += 1

    def start(self):
        """Starts the process and loads the module; the load reply."""
        self._spawn()
        self.send(self.load_request)
        self.load_reply = self.receive(self.load_request,
                                       time.time() + self.load_request['limit'] + START_GRACE)
        return self.load_reply

    def running(self):
        return self.process is not None and self.process.poll() is None

    def ready(self, request):
        """None when the worker can take a request, else the reply that says
        why it cannot."""
        if self.running():
            return None
        kind = protocol.reply_class(request)
        if self.starts >= MAX_STARTS:
            return kind.failure(crashed=True, gave_up='the process was restarted %d times'
                                % self.starts)
        reply = self.start()
        if not reply.ok:
            return kind.failure(crashed=True, reload=True, error=reply.error,
                                status=reply.status, limit=reply.limit)
        return None

    def send(self, request):
        try:
            self.process.stdin.write(protocol.json.dumps(request).encode('ascii') + b'\n')
            self.process.stdin.flush()
        except (IOError, OSError):
            pass            # the process is gone: receive() tells how

    def capture_tail(self, limit=CAPTURE_TAIL):
        try:
            with open(self.capture, 'rb') as capture:
                capture.seek(0, os.SEEK_END)
                size = capture.tell()
                capture.seek(max(0, size - limit))
                return capture.read().decode('utf-8', 'replace')
        except (IOError, OSError):
            return ''

    def receive(self, request, deadline):
        """The reply to the request; each call the worker announces moves the
        deadline to its own limit and GRACE, within the request's bound. A
        worker past it is killed: hung, with where its alarm found the
        implementation."""
        kind = protocol.reply_class(request)
        self.last_stop = None
        hard = time.time() + request_seconds(request)
        if request['op'] == 'load':
            hard += START_GRACE
        while True:
            line = self._line(min(deadline, hard), kind)
            if not isinstance(line, bytes):
                return line
            try:
                data = protocol.json.loads(line.decode('ascii'))
            except (UnicodeDecodeError, ValueError):
                data = None
            note = protocol.parse_note(data, float(request.get('limit', 0)))
            if note is not None:
                if note[0] == 'phase':
                    deadline = time.time() + note[1] + GRACE
                    self.last_stop = None
                else:
                    self.last_stop = note[1]
                continue
            try:
                reply = protocol.parse_line(line, request)
            except protocol.ReplyError as error:
                self.kill()
                return kind.failure(crashed=True, status=None, output=self.capture_tail(),
                                    invalid=str(error)[:300])
            self.last_error = reply.error
            if self.last_error is None and getattr(reply, 'preparation', None):
                self.last_error = reply.preparation.get('error')
            if reply.error is not None:
                reply.limit = error_limit(reply.error)
            return reply

    def _line(self, deadline, kind):
        fd = self.process.stdout.fileno()
        complete = b'\n' in self.pending
        while not complete:
            if len(self.pending) > protocol.REPLY_LIMIT:
                self.kill()
                return kind.failure(crashed=True, output=self.capture_tail(),
                                    invalid='a reply of more than %d bytes'
                                    % protocol.REPLY_LIMIT)
            now = time.time()
            if self.deadline is not None and now >= self.deadline:
                self.kill()
                raise LearnerTimeLimit()
            remaining = deadline - now
            if remaining <= 0:
                self.kill()
                reply = kind.failure(hung=True, killed=True, limit='time')
                if self.last_stop:
                    reply.stopped = dict(self.last_stop, known=False)
                return reply
            if self.deadline is not None:
                remaining = min(remaining, self.deadline - now)
            try:
                ready, _, _ = select.select([fd], [], [], remaining)
            except (select.error, OSError) as error:
                if error.args and error.args[0] == errno.EINTR:
                    continue
                raise
            if not ready:
                continue
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                status = self.wait(2.0)
                return kind.failure(crashed=True, status=status, output=self.capture_tail(),
                                    limit=self.ended_at_limit(status), stopped=self.last_stop)
            self.pending += chunk
            complete = b'\n' in chunk
        end = self.pending.index(b'\n')
        line = bytes(self.pending[:end])
        del self.pending[:end + 1]
        return line

    def exit_status(self, status):
        """The worker's own status: bwrap ends with 128 + the signal that
        ended the worker in its box."""
        if status is not None and self.worker.boxed and status > 128:
            return -(status - 128)
        return status

    def ended_at_limit(self, status):
        if status is not None and status < 0 and -status in SIGNAL_LIMITS:
            return SIGNAL_LIMITS[-status]
        return error_limit(self.last_error)

    def wait(self, seconds):
        try:
            self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.kill()
        return self.exit_status(self.process.returncode)

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
        if self.capture_fd is not None:
            os.close(self.capture_fd)
            self.capture_fd = None


def start_all(workers, limit):
    """Starts the workers and loads their modules at the same time; the load
    replies."""
    for worker in workers:
        worker._spawn()
        worker.send(worker.load_request)
    deadline = time.time() + limit + START_GRACE
    for worker in workers:
        worker.load_reply = worker.receive(worker.load_request, deadline)
    return [worker.load_reply for worker in workers]


def exchange(pairs):
    """Sends each (worker, request) and collects the replies, in parallel:
    the workers compute at the same time."""
    replies = [None] * len(pairs)
    for index, (worker, request) in enumerate(pairs):
        problem = worker.ready(request)
        if problem is not None:
            replies[index] = problem
    started = time.time()
    for index, (worker, request) in enumerate(pairs):
        if replies[index] is None:
            worker.send(request)
    for index, (worker, request) in enumerate(pairs):
        if replies[index] is None:
            replies[index] = worker.receive(request, started + worker.phase_seconds)
    return replies


class RecordedReplies(object):
    """Stands in for Movra's worker with the replies recorded once for a
    whole class (classrun.record_reference), so that each learner's
    comparison runs only the learner's code."""

    phase_seconds = GRACE

    def __init__(self, replies, load_request):
        self.replies = replies          # request key -> reply (to_json())
        self.load_request = load_request
        self.load_reply = None
        self.queue = []

    def ready(self, request):
        return None

    def _spawn(self):
        pass

    def start(self):
        self.send(self.load_request)
        self.load_reply = self.receive(self.load_request, None)
        return self.load_reply

    def send(self, request):
        self.queue.append(request)

    def receive(self, request, deadline):
        request = self.queue.pop(0)
        key = protocol.request_key(request)
        kind = protocol.reply_class(request)
        if key not in self.replies:
            return kind.failure(internal_error='no recorded reply of Movra for %s' % key[:300])
        return kind.from_json(self.replies[key])

    def stop(self):
        pass


def remove(folder):
    shutil.rmtree(folder, ignore_errors=True)
