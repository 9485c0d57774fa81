#!/usr/bin/env python
"""Compare an implementation of the module with Movra.

    python host/KestCompare.py IMPL [--out DIR] [--json FILE]

IMPL is a plain-Python file that claims to be the module (a learner's
Movra.py), or a folder: then every Movra.py in it or below it is compared,
one learner each, in parallel processes, followed by a summary.

The file runs in processes of its own (see KestCompareWorker.py), loaded
under another name, on the same recording GL and drawing helpers as the
compiled Movra, which runs in another. The tool compares:

1. the module globals' default values and types;
2. the six matrix builders over a table of argument sets;
3. every function without arguments over a table of states, call by call;
4. with real GL under a private Xvfb, pictures of three states, side by side
   with a panel that marks the pixels that differ.

It prints a short report (differences first, then a last line "identical"
or "N differences"), writes the same as JSON and exits 0 when identical, 1
when not, 2 when the file could not be loaded.
"""
from __future__ import division, print_function

import argparse
import errno
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import KestCompareCases as cases  # noqa: E402
import KestCompareDiff as diff  # noqa: E402

PROG = 'KestCompare.py'
WORKER = os.path.join(HERE, 'KestCompareWorker.py')
DEFAULT_OUT = os.path.join('out', 'compare')
DEFAULT_LIMIT = 5.0
DEFAULT_PICTURE_SIZE = 200
UNDER_TEST = 'MovraUnderTest'      # the module name the file is loaded under
GRACE = 1.5                        # beyond a worker's own alarm, before a kill
START_GRACE = 20.0                 # interpreter start-up and imports of a worker
MAX_STARTS = 25                    # restarts of one worker before giving up
LEARNER_FILE = 'Movra.py'


class CompareError(Exception):
    """Something outside the file under comparison went wrong."""


# ----------------------------------------------------------- the workers ---

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
    """One KestCompareWorker process, restarted with its load request after
    it crashed or was killed for not answering."""

    def __init__(self, mode, load_request, scratch, env=None):
        self.mode = mode
        self.load_request = load_request
        self.scratch = scratch
        self.env = env
        # Each call into the implementation may take the limit; the worker
        # announces each one, and is killed when one runs this much longer.
        self.phase_seconds = load_request['limit'] + GRACE
        self.process = None
        self.capture = None
        self.pending = b''
        self.starts = 0
        self.load_reply = None

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
        """The next reply; the deadline moves on with every call the worker
        announces. A worker past it is killed: {"hung": true}."""
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
                deadline = time.time() + self.phase_seconds
                continue
            return reply

    def _line(self, deadline):
        fd = self.process.stdout.fileno()
        while b'\n' not in self.pending:
            remaining = deadline - time.time()
            if remaining <= 0:
                self.kill()
                return {'hung': True, 'killed': True}
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
    """What identifies a request's answer: everything but its time limit and
    where a picture goes."""
    return json.dumps(dict((k, v) for k, v in request.items() if k not in ('limit', 'path')),
                      sort_keys=True)


class RecordedReplies(object):
    """Stands in for Movra's worker with the replies recorded once for a
    whole class (record_reference), so that each learner's comparison runs
    only the learner's code."""

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


# --------------------------------------------------------------- wording ---

def short(text, limit=70):
    text = repr(text)
    if text.startswith('u'):
        text = text[1:]
    return text if len(text) <= limit else text[:limit - 4] + "...'"


def error_text(error):
    if error is None:
        return ''
    text = '%s: %s' % (error['type'], error['message']) if error.get('message') else error['type']
    where = []
    if error.get('line'):
        where.append('line %d' % error['line'])
    if error.get('function') and error['function'] != '<module>':
        where.append('in %s' % error['function'])
    if where:
        text += ' (%s)' % ', '.join(where)
    if error.get('source'):
        text += ': %s' % error['source']
    return text


def failure_text(reply, limit):
    """Why a worker gave no ordinary answer (to follow "yours"), or None."""
    if reply.get('hung'):
        return 'did not return within %s s' % seconds_text(limit)
    if reply.get('crashed'):
        if reply.get('gave_up'):
            return 'was not run: %s' % reply['gave_up']
        if reply.get('reload'):
            return 'could not be started again: %s' % (
                error_text(reply.get('error')) or status_text(reply.get('status')))
        text = 'crashed: its process %s' % status_text(reply.get('status'))
        tail = (reply.get('output') or '').strip().splitlines()
        if tail:
            text += ' (last output: %s)' % short(tail[-1], 60)
        return text
    return None


def seconds_text(limit):
    return ('%g' % limit)


def plural(count, word):
    return '%d %s%s' % (count, word, '' if count == 1 else 's')


# ------------------------------------------------------------ comparison ---

class Comparison(object):
    """One file against the reference, into one report folder."""

    def __init__(self, impl, out, reference=None, limit=DEFAULT_LIMIT, pictures=True,
                 picture_size=DEFAULT_PICTURE_SIZE, json_path=None, recorded=None):
        self.recorded = recorded
        self.impl = os.path.abspath(impl)
        self.out_given = out        # as the user wrote it, for the report's lines
        self.out = os.path.abspath(out)
        self.reference = os.path.abspath(reference) if reference else None
        self.limit = float(limit)
        self.want_pictures = pictures
        self.picture_size = int(picture_size)
        self.json_path = os.path.abspath(json_path) if json_path else os.path.join(
            self.out, 'report.json')
        self.workers = []
        self.report = {
            'implementation': self.impl,
            'reference': self.reference or 'the compiled module Movra',
            'time_limit': self.limit,
            'loaded': False, 'load_error': None, 'missing': [], 'globals': [],
            'matrices': {}, 'functions': {}, 'pictures': {}, 'pictures_error': None,
            'output': {},
        }
        self.items = []      # (different, text)
        self.notes = []

    # -- helpers --
    def load_request(self, reference, size=None):
        if reference:
            target = self.reference or 'compiled'
            name = 'MovraReference' if self.reference else 'Movra'
        else:
            target, name = self.impl, UNDER_TEST
        request = {'op': 'load', 'target': target, 'name': name, 'limit': self.limit}
        if size is not None:
            request['size'] = size
        return request

    def worker(self, mode, reference, env=None, size=None):
        if reference and self.recorded is not None:
            return RecordedReplies(self.recorded, self.load_request(reference, size))
        worker = WorkerProcess(mode, self.load_request(reference, size), self.scratch, env)
        self.workers.append(worker)
        return worker

    def add(self, different, text):
        self.items.append((bool(different), text))

    # -- the steps --
    def run(self):
        self.scratch = tempfile.mkdtemp(prefix='kestcompare-')
        try:
            status = self._run()
        finally:
            for worker in self.workers:
                worker.stop()
            shutil.rmtree(self.scratch, ignore_errors=True)
        return status

    def _run(self):
        self.movra = self.worker('record', True)
        self.yours = self.worker('record', False)
        m_load, y_load = start_all([self.movra, self.yours], self.limit)
        if not m_load.get('ok'):
            raise CompareError('the reference could not be loaded: %s' % (
                error_text(m_load.get('error')) or failure_text(m_load, self.limit)
                or m_load.get('internal_error')))
        self.report['reference_file'] = m_load.get('file')
        self.report['output']['loading'] = y_load.get('output', '')
        if not y_load.get('ok'):
            return self.not_loaded(y_load)
        present = [f for f in cases.FUNCTIONS if f in y_load['functions']]
        if not present:
            return self.not_loaded(y_load, 'it defines none of the eighteen functions of '
                                            'the module')
        self.report['loaded'] = True
        self.report['file'] = y_load.get('file')
        if y_load.get('output'):
            self.add(True, 'loading: yours printed while loading: %s (Movra prints nothing)'
                     % short(y_load['output']))
        self.compare_names(m_load, y_load)
        self.compare_builders(m_load, y_load)
        self.compare_drawing(y_load)
        if self.want_pictures:
            self.compare_pictures()
        return self.finish()

    def not_loaded(self, reply, why=None):
        if why is None:
            why = (error_text(reply.get('error')) or failure_text(reply, self.limit)
                   or reply.get('internal_error') or 'unknown failure')
            if reply.get('hung') or reply.get('crashed'):
                why = 'loading it ' + why
        self.report['load_error'] = dict(reply.get('error') or {}, text=why)
        self.add(True, 'loading: %s could not be loaded: %s' % (self.impl, why))
        if reply.get('output'):
            self.notes.append('output while loading: %s' % short(reply['output']))
        return self.finish(status=2)

    def compare_names(self, m_load, y_load):
        missing = [f for f in cases.FUNCTIONS if f not in y_load['functions']]
        missing += [g for g in cases.GLOBALS if g not in y_load['globals']]
        self.report['missing'] = missing
        if missing:
            self.add(True, 'missing in yours: %s' % ', '.join(missing))
        same = 0
        for name in cases.GLOBALS:
            m, y = m_load['globals'].get(name), y_load['globals'].get(name)
            row = {'name': name,
                   'movra': None if m is None else {'value': diff.value_text(m),
                                                    'type': diff.type_name(m)},
                   'yours': None if y is None else {'value': diff.value_text(y),
                                                    'type': diff.type_name(y)}}
            if m is None or y is None:
                row['equal'] = m is None and y is None
                self.report['globals'].append(row)
                continue
            found = diff.compare_values(m, y)
            row['equal'] = found is None
            if found is None:
                same += 1
            else:
                row['difference'] = found[0]
                self.add(True, 'global %s: Movra %s (%s), yours %s (%s)' % (
                    name, diff.value_text(m), diff.type_name(m), diff.value_text(y),
                    diff.type_name(y)))
            self.report['globals'].append(row)
        compared = len([r for r in self.report['globals'] if r['movra'] and r['yours']])
        if same:
            self.add(False, 'globals: %d of %d the same in value and type' % (same, compared)
                     if same != compared else
                     'globals: all %d the same in value and type' % same)

    # -- matrices --
    def compare_builders(self, m_load, y_load):
        table = cases.builder_cases()
        by_name = {}
        for index, (name, args, kwargs) in enumerate(table):
            by_name.setdefault(name, []).append((index, cases.call_text(name, args, kwargs)))
        for name in cases.BUILDERS:
            if name not in y_load['functions']:
                self.report['matrices'][name] = {'verdict': 'missing'}
                continue
            self.report['matrices'][name] = self.compare_builder(name, by_name[name])

    def compare_builder(self, name, entries):
        result = {'cases': len(entries), 'differing': 0, 'largest_difference': 0.0,
                  'largest_at': None, 'first_difference': None,
                  'result_type': {'movra': None, 'yours': None}, 'verdict': None,
                  'output': {}}
        bitwise = True
        hung = None
        run = 0
        for index, text in entries:
            if hung is not None:
                break
            m, y = exchange([(self.movra, {'op': 'builder', 'case': index, 'limit': self.limit}),
                             (self.yours, {'op': 'builder', 'case': index, 'limit': self.limit})])
            self.check_reference(m, text)
            run += 1
            failure = failure_text(y, self.limit)
            if failure is None and (y.get('output', ''), y.get('warnings', [])) != \
                    (m.get('output', ''), m.get('warnings', [])):
                result['output'][text] = {'movra': m.get('output', ''),
                                          'yours': y.get('output', ''),
                                          'warnings': {'movra': m.get('warnings', []),
                                                       'yours': y.get('warnings', [])}}
            if failure is not None:
                hung = (text, failure)
                result['differing'] += 1
                result['first_difference'] = result['first_difference'] or {
                    'arguments': text, 'detail': failure}
                continue
            detail, largest = self.builder_case(m, y, result)
            if largest is not None and largest > result['largest_difference']:
                result['largest_difference'], result['largest_at'] = largest, text
            if detail is None:
                continue
            if detail[0] == 'close':
                bitwise = False
                continue
            bitwise = False
            result['differing'] += 1
            if result['first_difference'] is None:
                result['first_difference'] = {'arguments': text, 'detail': detail[1]}
        result['run'] = run
        if result['largest_at'] is None:
            result['largest_difference'] = None if result['differing'] else 0.0
        types = result['result_type']
        type_words = ('Movra %s, yours %s' % (types['movra'], types['yours'])
                      if types['movra'] != types['yours'] else types['movra'] or 'no result')
        if hung is not None:
            result['verdict'] = 'did not return'
            result['first_difference'] = {'arguments': hung[0], 'detail': hung[1]}
            self.add(True, '%s: yours %s for %s; %s not run' % (
                name, hung[1], hung[0], plural(len(entries) - run, 'other argument set')))
        elif result['differing']:
            result['verdict'] = 'different'
            first = result['first_difference']
            largest = result['largest_difference']
            self.add(True, '%s: different in %d of %s%s; first %s: %s' % (
                name, result['differing'], plural(len(entries), 'argument set'),
                '' if largest in (None, 0.0) else ', largest difference %s at %s' % (
                    diff.difference_text(largest), result['largest_at']),
                first['arguments'], first['detail']))
        elif bitwise:
            result['verdict'] = 'bitwise equal'
            self.add(False, '%s: bitwise equal in %s (%s)' % (
                name, plural(len(entries), 'argument set'), type_words))
        else:
            result['verdict'] = 'equal within %g' % diff.TOLERANCE
            self.add(False, '%s: equal within %g in %s, largest difference %s at %s (%s)' % (
                name, diff.TOLERANCE, plural(len(entries), 'argument set'),
                diff.difference_text(result['largest_difference']), result['largest_at'],
                type_words))
        if result['output']:
            where = [text for _index, text in entries if text in result['output']]
            printed = result['output'][where[0]]
            if printed['movra'] != printed['yours']:
                self.add(True, '%s: printed output differs in %s; first %s: Movra %s, yours %s'
                         % (name, plural(len(where), 'argument set'), where[0],
                            short(printed['movra']), short(printed['yours'])))
            else:
                self.add(True, '%s: warnings differ in %s; first %s: Movra %s, yours %s' % (
                    name, plural(len(where), 'argument set'), where[0],
                    warnings_text(printed['warnings']['movra']),
                    warnings_text(printed['warnings']['yours'])))
        return result

    def builder_case(self, m, y, result):
        """(None, largest) when equal bitwise, (("close", ''), largest) when
        within the tolerance, ((kind, detail), largest) otherwise."""
        m_error, y_error = m.get('error'), y.get('error')
        if m_error is not None or y_error is not None:
            if m_error is not None and y_error is not None and m_error['type'] == y_error['type']:
                return None, None
            return ('raises', '%s, %s' % (
                'Movra raises %s' % error_text(m_error) if m_error else
                'Movra returns %s' % result_name(m['result']),
                'yours raises %s' % error_text(y_error) if y_error else
                'yours returns %s' % result_name(y['result']))), None
        types = result['result_type']
        types['movra'] = types['movra'] or result_name(m['result'])
        types['yours'] = types['yours'] or result_name(y['result'])
        found = diff.compare_matrices(m['result'], y['result'])
        if found['bitwise']:
            return None, found['largest']
        if found['close']:
            return ('close', ''), found['largest']
        return ('value', found['detail']), found['largest']

    def check_reference(self, reply, what):
        if reply.get('internal_error'):
            raise CompareError('the reference worker failed on %s:\n%s'
                               % (what, reply['internal_error']))
        failure = failure_text(reply, self.limit)
        if failure is not None:
            raise CompareError('the reference %s on %s' % (failure, what))

    # -- drawing --
    def compare_drawing(self, y_load):
        hung_states = {}
        reference_raised = set()
        for name in cases.DRAWING:
            if name not in y_load['functions']:
                self.report['functions'][name] = {'missing': True}
                continue
            results = {}
            hung = None
            for state in cases.STATE_NAMES:
                if state in hung_states:
                    results[state] = not_run('not run: the state could not be prepared: %s'
                                             % hung_states[state])
                    continue
                if hung is not None:
                    results[state] = not_run('not run: yours %s in %s' % (hung[1], hung[0]))
                    continue
                request = {'op': 'draw', 'function': name, 'state': state, 'limit': self.limit}
                m, y = exchange([(self.movra, request), (self.yours, request)])
                self.check_reference(m, '%s in %s' % (name, state))
                if m.get('error') and name not in reference_raised:
                    reference_raised.add(name)
                    self.notes.append('Movra itself raised %s in %s, state %s' % (
                        error_text(m['error']), name, state))
                results[state] = compare_state(m, y, self.limit)
                preparation = y.get('preparation') or {}
                if preparation.get('hung'):
                    hung_states[state] = 'preparing it did not return within %s s' % (
                        seconds_text(self.limit))
                elif y.get('hung') or y.get('crashed'):
                    hung = (state, failure_text(y, self.limit))
            self.report['functions'][name] = results
            self.add_function_line(name, results)

    def add_function_line(self, name, results):
        differing = [s for s in cases.STATE_NAMES if not results[s]['equal']]
        total = len(cases.STATE_NAMES)
        if not differing:
            calls = results[cases.STATE_NAMES[0]]['calls']['movra']
            self.add(False, '%s: the same in all %d states (%s in the defaults)' % (
                name, total, plural(calls, 'call')))
            return
        first = results[differing[0]]
        listed = ', '.join(differing[:4]) + (', ...' if len(differing) > 4 else '')
        more = len(first['differences']) - 1
        self.add(True, '%s: differs in %d of %d states (%s); first in %s: %s%s' % (
            name, len(differing), total, listed, differing[0],
            first['differences'][0]['text'],
            '; and %s there' % plural(more, 'more difference') if more > 0 else ''))

    # -- pictures --
    def compare_pictures(self):
        folder = os.path.join(self.out, 'pictures')
        size = self.picture_size
        try:
            import KestHeadless
            xvfb = KestHeadless.Xvfb(2 * size, 2 * size)
            xvfb.start()
        except Exception as error:   # no Xvfb, or the headless module is broken
            self.report['pictures_error'] = 'no pictures: %s' % error
            self.notes.append('pictures: not made: %s' % error)
            return
        try:
            if not os.path.isdir(folder):
                os.makedirs(folder)
            env = {'DISPLAY': xvfb.display}
            movra = self.worker('render', True, env, size)
            yours = self.worker('render', False, env, size)
            m_load, y_load = start_all([movra, yours], self.limit)
            if not m_load.get('ok'):
                reason = (error_text(m_load.get('error')) or failure_text(m_load, self.limit)
                          or m_load.get('internal_error'))
                self.report['pictures_error'] = 'no pictures: Movra could not draw: %s' % reason
                self.notes.append('pictures: not made: Movra could not draw: %s' % reason)
                return
            for state in cases.PICTURE_STATES:
                problem = self.picture(state, movra, yours, folder, size)
                if problem is not None:
                    self.report['pictures_error'] = 'no pictures: %s' % problem
                    self.notes.append('pictures: not made: %s' % problem)
                    break
            for worker in (movra, yours):
                worker.stop()
        finally:
            xvfb.stop()

    def picture(self, state, movra, yours, folder, size):
        import KestComparePictures as pictures
        paths = [os.path.join(self.scratch, '%s-%s.png' % (side, state))
                 for side in ('movra', 'yours')]
        requests = [{'op': 'render', 'state': state, 'path': path, 'limit': self.limit}
                    for path in paths]
        m, y = exchange([(movra, requests[0]), (yours, requests[1])])
        failure = failure_text(m, self.limit) or m.get('internal_error')
        if failure:
            return 'Movra %s while drawing the picture of %s' % (failure, state)
        if m.get('error'):
            return 'Movra raised %s while drawing the picture of %s' % (
                error_text(m['error']), state)
        out_path = os.path.join(folder, '%s.png' % state)
        shares = pictures.compose(m.get('image'), y.get('image'), out_path, 2 * size)
        entry = dict(shares)
        entry['image'] = os.path.relpath(out_path, self.out)
        problems = []
        failure = failure_text(y, self.limit)
        if failure:
            problems.append('yours ' + failure)
        if y.get('error'):
            problems.append('yours raised %s' % error_text(y['error']))
        if y.get('read_error'):
            problems.append('its frame could not be read back')
        if problems:
            entry['problems'] = problems
        self.report['pictures'][state] = entry
        known = [shares[v] for v in pictures.VIEWPORTS if shares[v] is not None]
        where = os.path.join(self.out_given, entry['image'])
        if len(known) == len(pictures.VIEWPORTS) and not any(known) and not problems:
            self.add(False, 'pictures of %s: the same pixels in all four viewports (%s)'
                     % (state, where))
            return None
        shares_text = ', '.join('%s %s' % (v, 'unknown' if shares[v] is None else
                                           '%.2f%%' % (100 * shares[v]))
                                for v in pictures.VIEWPORTS)
        self.add(True, 'pictures of %s: pixels differ: %s%s (%s)' % (
            state, shares_text, ''.join('; ' + p for p in problems), where))
        return None

    # -- the report --
    def finish(self, status=None):
        different = [text for flag, text in self.items if flag]
        same = [text for flag, text in self.items if not flag]
        count = len(different)
        if status is None:
            status = 0 if count == 0 else 1
        lines = ['KestCompare: %s against %s' % (self.impl, self.report['reference'])]
        lines += ['DIFFERENT  ' + text for text in different]
        lines += ['same       ' + text for text in same]
        lines += ['note       ' + text for text in self.notes]
        if status == 2:
            lines.append('could not be loaded')
        else:
            lines.append('identical' if count == 0 else plural(count, 'difference'))
        self.report.update(identical=status == 0, differences=count, status=status,
                           first_difference=different[0] if different else None, lines=lines)
        self.write(lines)
        return status

    def write(self, lines):
        if not os.path.isdir(self.out):
            os.makedirs(self.out)
        folder = os.path.dirname(self.json_path)
        if folder and not os.path.isdir(folder):
            os.makedirs(folder)
        with open(self.json_path, 'w') as stream:
            json.dump(self.report, stream, indent=1, sort_keys=True, allow_nan=False)
            stream.write('\n')
        text = '\n'.join(lines) + '\n'
        with open(os.path.join(self.out, 'report.txt'), 'wb') as stream:
            stream.write(text.encode('utf-8'))
        write_text(text)


def write_text(text):
    stream = getattr(sys.stdout, 'buffer', None)
    if stream is not None:
        stream.write(text.encode('utf-8'))
    elif isinstance(text, bytes):
        sys.stdout.write(text)
    else:
        sys.stdout.write(text.encode('utf-8'))
    sys.stdout.flush()


def warnings_text(found, limit=90):
    if not found:
        return 'none'
    return '; '.join(w if len(w) <= limit else w[:limit - 3] + '...' for w in found)


def result_name(value):
    if value is None:
        return 'nothing'
    if 'shape' in value:
        return diff.type_name(value)
    return '%s %s' % (diff.type_name(value), diff.value_text(value))


def not_run(why):
    return {'equal': False, 'not_run': True, 'calls': {'movra': None, 'yours': None},
            'first_difference': None, 'differences': [{'kind': 'not run', 'text': why}]}


def compare_state(m, y, limit):
    """Movra's and your reply for one function in one state, as a report entry."""
    found = []
    first = None
    failure = failure_text(y, limit)
    if y.get('internal_error'):
        found.append(('internal', 'the worker failed: %s' % y['internal_error'].splitlines()[-1]))
    if failure is not None:
        found.append(('did not return' if y.get('hung') else 'crashed', 'yours ' + failure))
    preparation = y.get('preparation') or {}
    if preparation.get('hung'):
        found.append(('preparation', 'preparing the state did not return within %s s'
                      % seconds_text(limit)))
    elif preparation.get('error'):
        found.append(('preparation', 'while preparing the state yours raised %s'
                      % error_text(preparation['error'])))
    if preparation.get('initGL_error') and not (m.get('preparation') or {}).get('initGL_error'):
        found.append(('preparation', 'initGL() raised %s while preparing the state'
                      % error_text(preparation['initGL_error'])))
    m_error, y_error = m.get('error'), y.get('error')
    if y_error is not None and (m_error is None or m_error['type'] != y_error['type']):
        found.append(('exception', 'yours raised %s' % error_text(y_error)))
    elif m_error is not None and y_error is None and failure is None:
        found.append(('exception', 'Movra raised %s, yours did not' % error_text(m_error)))
    if 'calls' in y and 'calls' in m:
        first = diff.first_call_difference(m['calls'], y['calls'])
        if first is not None:
            found.append(('calls', diff.first_difference_text(first)))
    m_depth, y_depth = m.get('depth'), y.get('depth')
    if m_depth and y_depth and m_depth != y_depth and failure is None:
        parts = ['%s Movra %d, yours %d' % (stack, m_depth[stack], y_depth[stack])
                 for stack in ('modelview', 'projection') if m_depth[stack] != y_depth[stack]]
        found.append(('depth', 'matrix stack depth left behind: %s' % ', '.join(parts)))
    if 'result' in m and 'result' in y:
        difference = diff.compare_values(m['result'], y['result'])
        if difference is not None:
            found.append(('result', 'result: %s' % difference[1]))
    if 'globals' in m and 'globals' in y:
        for name in cases.GLOBALS:
            a, b = m['globals'].get(name), y['globals'].get(name)
            if a is None or b is None:
                continue
            difference = diff.compare_values(a, b)
            if difference is not None:
                found.append(('global', 'global %s afterwards: Movra %s, yours %s (%s)' % (
                    name, diff.value_text(a), diff.value_text(b), difference[1])))
    if m.get('output', '') != y.get('output', '') and failure is None:
        found.append(('output', 'printed output: Movra %s, yours %s'
                      % (short(m.get('output', '')), short(y.get('output', '')))))
    if m.get('warnings', []) != y.get('warnings', []) and failure is None:
        found.append(('warnings', 'warnings: Movra %s, yours %s'
                      % (warnings_text(m.get('warnings', [])),
                         warnings_text(y.get('warnings', [])))))
    calls = lambda reply: len(reply['calls']) if 'calls' in reply else None  # noqa: E731
    return {'equal': not found,
            'calls': {'movra': calls(m), 'yours': calls(y)},
            'first_difference': first,
            'differences': [{'kind': kind, 'text': text} for kind, text in found],
            'error': {'movra': m_error, 'yours': y_error},
            'depth': {'movra': m_depth, 'yours': y_depth},
            'output': {'movra': m.get('output', ''), 'yours': y.get('output', '')},
            'warnings': {'movra': m.get('warnings', []), 'yours': y.get('warnings', [])}}


# ------------------------------------------------------------ a whole class ---

def find_learners(folder):
    """Every Movra.py in the folder or below it, in a stable order."""
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith('.') and d != '__pycache__')
        if LEARNER_FILE in files:
            found.append(os.path.join(root, LEARNER_FILE))
    return found


def report_folder_name(relative, taken):
    name = relative.replace(os.sep, '__') if relative not in ('', '.') else '_top'
    name = re.sub(r'[^A-Za-z0-9._-]', '_', name).strip('.') or '_learner'
    candidate, number = name, 2
    while candidate in taken:
        candidate = '%s_%d' % (name, number)
        number += 1
    taken.add(candidate)
    return candidate


def html_escape(text):
    return (text.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')
            .replace('"', '&quot;'))


def link(path):
    return '/'.join(html_escape(part) for part in path.split(os.sep))


def record_reference(folder, options):
    """Movra's reply to every request that a comparison can make, in
    FOLDER/replies.json, and its pictures beside it."""
    if not os.path.isdir(folder):
        os.makedirs(folder)
    comparison = Comparison(folder, folder, options.reference, options.time_limit,
                            picture_size=options.picture_size)
    comparison.scratch = tempfile.mkdtemp(prefix='kestcompare-')
    replies = {}

    def keep(worker, request):
        reply = exchange([(worker, request)])[0]
        comparison.check_reference(reply, request_key(request))
        replies[request_key(request)] = reply
        return reply
    limit = comparison.limit
    try:
        worker = comparison.worker('record', True)
        load = start_all([worker], limit)[0]
        if not load.get('ok'):
            raise CompareError('the reference could not be loaded: %s' % (
                error_text(load.get('error')) or failure_text(load, limit)
                or load.get('internal_error')))
        replies[request_key(worker.load_request)] = load
        for index in range(len(cases.builder_cases())):
            keep(worker, {'op': 'builder', 'case': index, 'limit': limit})
        for name in cases.DRAWING:
            for state in cases.STATE_NAMES:
                keep(worker, {'op': 'draw', 'function': name, 'state': state, 'limit': limit})
        worker.stop()
        if not options.no_pictures:
            record_pictures(comparison, folder, replies, keep)
    finally:
        for worker in comparison.workers:
            worker.stop()
        shutil.rmtree(comparison.scratch, ignore_errors=True)
    path = os.path.join(folder, 'replies.json')
    with open(path, 'w') as stream:
        json.dump(replies, stream, sort_keys=True, allow_nan=False)
    return path


def record_pictures(comparison, folder, replies, keep):
    """Movra's frames of the picture states; a failure leaves them out, and
    each learner's comparison then says why there are no pictures."""
    size = comparison.picture_size
    try:
        import KestHeadless
        xvfb = KestHeadless.Xvfb(2 * size, 2 * size)
        xvfb.start()
    except Exception:
        return
    try:
        worker = comparison.worker('render', True, {'DISPLAY': xvfb.display}, size)
        load = start_all([worker], comparison.limit)[0]
        if not load.get('ok'):
            return
        replies[request_key(worker.load_request)] = load
        for state in cases.PICTURE_STATES:
            reply = keep(worker, {'op': 'render', 'state': state, 'limit': comparison.limit,
                                  'path': os.path.join(folder, '%s.png' % state)})
            if reply.get('error'):
                return
        worker.stop()
    except CompareError:
        return
    finally:
        xvfb.stop()


def compare_class(folder, out, options):
    """Compares every learner of the folder; writes OUT/summary.json and
    OUT/index.html; prints the summary table."""
    learners = find_learners(folder)
    if not learners:
        sys.stderr.write('%s: error: no %s in %s or below it\n' % (PROG, LEARNER_FILE, folder))
        return 2
    if not os.path.isdir(out):
        os.makedirs(out)
    taken = set()
    jobs = []
    for path in learners:
        relative = os.path.relpath(os.path.dirname(path), folder)
        name = report_folder_name(relative, taken)
        jobs.append({'learner': os.path.relpath(path, folder), 'file': os.path.abspath(path),
                     'folder': os.path.join(out, name), 'name': name})
    try:
        recorded = record_reference(os.path.join(out, '.reference'), options)
    except CompareError as error:
        sys.stderr.write('%s: error: %s\n' % (PROG, error))
        return 2
    run_parallel(jobs, options, recorded)
    rows = [summary_row(job, out) for job in jobs]
    identical = all(row['identical'] for row in rows)
    summary = {'folder': os.path.abspath(folder), 'identical': identical,
               'learners': len(rows), 'identical_learners': sum(r['identical'] for r in rows),
               'rows': rows}
    json_path = options.json or os.path.join(out, 'summary.json')
    with open(json_path, 'w') as stream:
        json.dump(summary, stream, indent=1, sort_keys=True, allow_nan=False)
        stream.write('\n')
    with open(os.path.join(out, 'index.html'), 'wb') as stream:
        stream.write(summary_html(summary).encode('utf-8'))
    write_text(summary_text(summary, out))
    return 0 if identical else 1


def run_parallel(jobs, options, recorded):
    """One KestCompare process per learner, as many at once as --jobs says."""
    waiting = list(jobs)
    running = []
    while waiting or running:
        while waiting and len(running) < options.jobs:
            job = waiting.pop(0)
            if not os.path.isdir(job['folder']):
                os.makedirs(job['folder'])
            stale = os.path.join(job['folder'], 'report.json')
            if os.path.exists(stale):
                os.remove(stale)
            command = [sys.executable, os.path.abspath(__file__), job['file'],
                       '--out', job['folder'], '--time-limit', str(options.time_limit),
                       '--picture-size', str(options.picture_size)]
            if options.no_pictures:
                command.append('--no-pictures')
            if options.reference:
                command += ['--reference', options.reference]
            command += ['--recorded-reference', recorded]
            log = open(os.path.join(job['folder'], 'compare.log'), 'wb')
            job['process'] = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT,
                                              close_fds=True, preexec_fn=PREEXEC)
            job['log'] = log
            job['started'] = time.time()
            job['limit'] = options.learner_limit
            running.append(job)
        time.sleep(0.05)
        for job in list(running):
            process = job['process']
            if process.poll() is None and time.time() - job['started'] > options.learner_limit:
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except OSError:
                    pass
                process.wait()
                job['timed_out'] = True
            if process.poll() is not None:
                job['status'] = process.returncode
                job['seconds'] = round(time.time() - job['started'], 2)
                job['log'].close()
                running.remove(job)


def summary_row(job, out):
    row = {'learner': job['learner'], 'file': job['file'],
           'folder': os.path.relpath(job['folder'], out), 'status': job.get('status'),
           'identical': False, 'differences': None, 'first_difference': None,
           'result': None, 'report': None, 'pictures': [], 'seconds': job.get('seconds')}
    report_path = os.path.join(job['folder'], 'report.json')
    report = None
    if os.path.exists(report_path):
        try:
            with open(report_path) as stream:
                report = json.load(stream)
        except (IOError, OSError, ValueError):
            report = None
    if job.get('timed_out'):
        row['result'] = 'the comparison did not finish'
        row['first_difference'] = 'the comparison was stopped after %g s' % job['limit']
    elif report is None:
        row['result'] = 'the comparison failed'
        row['first_difference'] = 'the comparison %s; see %s' % (
            status_text(job.get('status')), os.path.join(row['folder'], 'compare.log'))
    else:
        row['report'] = os.path.join(row['folder'], 'report.json')
        row['text_report'] = os.path.join(row['folder'], 'report.txt')
        row['identical'] = bool(report.get('identical'))
        row['differences'] = report.get('differences')
        row['first_difference'] = report.get('first_difference')
        if report.get('status') == 2:
            row['result'] = 'could not be loaded'
        else:
            row['result'] = 'identical' if row['identical'] else plural(
                row['differences'], 'difference')
        for state in cases.PICTURE_STATES:
            picture = (report.get('pictures') or {}).get(state)
            if picture and picture.get('image'):
                row['pictures'].append(os.path.join(row['folder'], picture['image']))
    return row


def summary_text(summary, out):
    rows = summary['rows']
    width = max([len('learner')] + [len(r['learner']) for r in rows])
    lines = ['%-*s  %-19s  %s' % (width, 'learner', 'result', 'first difference')]
    for row in rows:
        lines.append('%-*s  %-19s  %s' % (width, row['learner'], row['result'],
                                           row['first_difference'] or '-'))
    lines.append('%d of %d learners identical; summary in %s and %s' % (
        summary['identical_learners'], summary['learners'],
        os.path.join(out, 'summary.json'), os.path.join(out, 'index.html')))
    return '\n'.join(lines) + '\n'


def summary_html(summary):
    rows = []
    for row in summary['rows']:
        links = []
        if row.get('text_report'):
            links.append('<a href="%s">report</a>' % link(row['text_report']))
            links.append('<a href="%s">JSON</a>' % link(row['report']))
        else:
            links.append('<a href="%s">log</a>' % link(os.path.join(row['folder'],
                                                                   'compare.log')))
        pictures = ''.join('<a href="%s"><img src="%s" alt="%s" height="60"></a>' % (
            link(p), link(p), html_escape(os.path.basename(p))) for p in row['pictures'])
        rows.append('<tr class="%s"><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>'
                    % ('same' if row['identical'] else 'differs', html_escape(row['learner']),
                       html_escape(row['result'] or ''),
                       html_escape(row['first_difference'] or '-'), ' '.join(links), pictures))
    return '''<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>KestCompare: %(folder)s</title>
<style>
body { font-family: sans-serif; margin: 1.5em; }
table { border-collapse: collapse; }
td, th { border: 1px solid #bbb; padding: 0.3em 0.6em; vertical-align: top; text-align: left; }
tr.same td:nth-child(2) { color: #060; }
tr.differs td:nth-child(2) { color: #a00; font-weight: bold; }
img { margin-right: 0.3em; border: 1px solid #ccc; }
</style></head><body>
<h1>KestCompare</h1>
<p>%(count)s of %(total)s learners in <code>%(folder)s</code> are identical to Movra.</p>
<table>
<tr><th>learner</th><th>result</th><th>first difference</th><th>reports</th><th>pictures (Movra, yours, differing pixels)</th></tr>
%(rows)s
</table>
</body></html>
''' % {'folder': html_escape(summary['folder']), 'count': summary['identical_learners'],
       'total': summary['learners'], 'rows': '\n'.join(rows)}


# ----------------------------------------------------------------- options ---

def positive_seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError('the time limit must be a number of seconds, got %r'
                                         % text)
    if not 0.1 <= value <= 600:
        raise argparse.ArgumentTypeError('the time limit must be between 0.1 and 600 s, got %s'
                                         % text)
    return value


def picture_size(text):
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError('the picture size must be a whole number, got %r'
                                         % text)
    if not 16 <= value <= 1024:
        raise argparse.ArgumentTypeError('the picture size must be between 16 and 1024, got %d'
                                         % value)
    return value


def job_count(text):
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError('the number of jobs must be a whole number, got %r'
                                         % text)
    if value < 1:
        raise argparse.ArgumentTypeError('the number of jobs must be at least 1, got %d' % value)
    return value


def default_jobs():
    try:
        import multiprocessing
        return max(1, multiprocessing.cpu_count())
    except (ImportError, NotImplementedError):
        return 1


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description='Compare a plain-Python implementation of the module (a Movra.py) '
                    'with the compiled Movra, or every Movra.py in a folder.',
        epilog='Exit status: 0 identical, 1 different, 2 the file could not be loaded '
               '(for a folder: 0 when every learner is identical, else 1).')
    parser.add_argument('impl', metavar='IMPL',
                        help='the Movra.py to compare, or a folder of learners')
    parser.add_argument('--out', default=DEFAULT_OUT, metavar='DIR',
                        help='folder for the report and the pictures (default: %(default)s)')
    parser.add_argument('--json', default=None, metavar='FILE',
                        help='where the JSON report goes (default: DIR/report.json, for a '
                             'folder DIR/summary.json)')
    parser.add_argument('--time-limit', type=positive_seconds, default=DEFAULT_LIMIT,
                        metavar='SECONDS',
                        help='longest time one call may take before it counts as not '
                             'returning (default: %(default)s)')
    parser.add_argument('--no-pictures', action='store_true',
                        help='leave out the pictures drawn with real GL')
    parser.add_argument('--picture-size', type=picture_size, default=DEFAULT_PICTURE_SIZE,
                        metavar='PIXELS',
                        help='side of each viewport in the pictures (default: %(default)s)')
    parser.add_argument('--reference', default=None, metavar='FILE',
                        help='compare with this plain-Python file instead of the compiled '
                             'Movra')
    parser.add_argument('--jobs', type=job_count, default=default_jobs(), metavar='N',
                        help='for a folder: learners compared at once (default: one per '
                             'core, %(default)s)')
    parser.add_argument('--learner-limit', type=positive_seconds, default=600,
                        metavar='SECONDS', help=argparse.SUPPRESS)
    # Movra's replies, recorded once for a class (see record_reference).
    parser.add_argument('--recorded-reference', default=None, metavar='FILE',
                        help=argparse.SUPPRESS)
    return parser


def main(argv=None):
    options = build_parser().parse_args(argv)
    if options.reference and not os.path.isfile(options.reference):
        sys.stderr.write('%s: error: no reference file %s\n' % (PROG, options.reference))
        return 2
    if os.path.isdir(options.impl):
        return compare_class(options.impl, options.out, options)
    if not os.path.isfile(options.impl):
        sys.stderr.write('%s: error: no such file or folder: %s\n' % (PROG, options.impl))
        return 2
    recorded = None
    if options.recorded_reference:
        with open(options.recorded_reference) as stream:
            recorded = json.load(stream)
    comparison = Comparison(options.impl, options.out, options.reference, options.time_limit,
                            not options.no_pictures, options.picture_size, options.json,
                            recorded)
    try:
        return comparison.run()
    except CompareError as error:
        sys.stderr.write('%s: error: %s\n' % (PROG, error))
        return 2


if __name__ == '__main__':
    sys.exit(main())
