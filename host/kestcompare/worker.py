"""Runs one implementation of the module for KestCompare, in a process of its
own.

    python host/kestcompare/worker.py record|render CAPTURE_FILE

KestCompare starts one worker for Movra and one for the file under
comparison. A worker reads one JSON request per line on its standard input
and answers each with one JSON line on its standard output. Before it runs
any code of the implementation it moves both channels to private
descriptors: the implementation's stdin reads /dev/null, and whatever it
prints (through sys.stdout, sys.stderr or straight to descriptors 1 and 2)
ends up in CAPTURE_FILE, from where each reply hands back the output of its
own request.

In "record" mode the recording GL of host/recordgl is first on the path, and
a reply carries the GL and drawing-helper calls that a function made, with
every argument in a typed, comparable form (see encode()). For the file
under comparison the worker also notes which of its functions made each
call and what its matrix builders returned on the way (see Observer), for
the hints. In "render" mode the real PyOpenGL draws into a GLUT window on
$DISPLAY and a request writes the frame that drawMain() drew to a PNG file.

Each call into the implementation is bounded by the request's "limit"
(seconds), the preparation of states by the learner's remaining
"prepare_limit": SIGALRM raises DidNotReturn, which the implementation's own
`except Exception` does not catch. The alarm first notes where the file was
(its function and line) and tells KestCompare on the reply channel, so that
even code that swallows the alarm is reported at its line when KestCompare
kills the worker. A function that did not return is replaced by a stand-in
that stops at once (KnownHang), so that nothing waits for it twice.
"""
from __future__ import absolute_import, division, print_function

import copy
import json
import linecache
import os
import platform
import signal
import sys
import time
import traceback
import warnings

PACKAGE = os.path.dirname(os.path.abspath(__file__))
HOST = os.path.dirname(PACKAGE)
RECORDGL = os.path.join(HOST, 'recordgl')

PY2 = sys.version_info[0] == 2
if PY2:
    INTEGERS = (int, long)  # noqa: F821
    TEXT = unicode  # noqa: F821
    from StringIO import StringIO
else:
    INTEGERS = (int,)
    TEXT = str
    from io import StringIO

OUTPUT_LIMIT = 4000     # characters of output kept per request
MAX_ITEMS = 64          # items of a list or object array kept in a reply


class DidNotReturn(BaseException):
    """Raised by the alarm in the middle of a call that ran too long; where
    is the place of the file it stopped (see Worker.locate), or None."""

    def __init__(self, where=None):
        BaseException.__init__(self)
        self.where = where


class KnownHang(DidNotReturn):
    """Raised by the stand-in of a function that did not return before."""


# The worker's links to its channel and its module, for the alarm handler,
# which runs wherever the implementation happens to be.
CURRENT = {'tell': None, 'locate': None, 'cut': []}


def _on_alarm(signum, frame):
    locate = CURRENT['locate']
    where = locate(frame) if locate is not None else None
    if CURRENT['tell'] is not None:
        CURRENT['tell']({'stopped': where})
    raise DidNotReturn(where)


def set_path(mode):
    """host/ for the tables; in record mode host/recordgl before everything,
    in render mode nowhere, so that the real OpenGL is found. This script's
    own folder is left out: its modules are imported as kestcompare.*."""
    own = [os.path.realpath(p) for p in (RECORDGL, PACKAGE, HOST)]
    kept = [p for p in sys.path if p and os.path.realpath(p) not in own]
    sys.path[:] = ([RECORDGL] if mode == 'record' else []) + [HOST] + kept


# ----------------------------------------------------------------- values ---

def _number(value):
    if isinstance(value, float):
        if value != value:
            return 'nan'
        if value in (float('inf'), float('-inf')):
            return 'inf' if value > 0 else '-inf'
    return value


def to_text(value):
    """Text that JSON can carry: bytes are decoded, undecodable ones replaced."""
    if isinstance(value, bytes):
        return value.decode('utf-8', 'replace')
    if isinstance(value, TEXT):
        return value
    try:
        return TEXT(value)
    except BaseException:
        return TEXT('<%s>' % type(value).__name__)


def _safe_repr(value, limit=200):
    try:
        text = to_text(repr(value))
    except BaseException as error:  # a learner's __repr__ may do anything
        text = TEXT('<%s whose repr raised %s>' % (type(value).__name__, type(error).__name__))
    return text if len(text) <= limit else text[:limit] + '...'


def encode(value, np, quadric_type=None, depth=0):
    """A JSON-able, typed image of a value, so that the other process can tell
    an int from a float from a numpy scalar and compare numbers exactly:
    {"t": type, "v": value} for numbers and strings, arrays with dtype, shape
    and their values in order, lists and tuples item by item."""
    if depth > 8:
        return {'t': 'nested', 'repr': _safe_repr(value)}
    if value is None:
        return {'t': 'None'}
    if isinstance(value, bool):
        return {'t': 'bool', 'v': value}
    if isinstance(value, np.ndarray):
        kind = 'matrix' if isinstance(value, np.matrix) else (
            'ndarray' if type(value) is np.ndarray else type(value).__name__)
        out = {'t': kind, 'dtype': value.dtype.name, 'shape': list(value.shape)}
        if value.dtype.kind in 'biuf':
            out['v'] = [_number(v) for v in np.asarray(value).ravel().tolist()]
        else:
            out['items'] = [encode(v, np, quadric_type, depth + 1)
                            for v in np.asarray(value).ravel().tolist()[:MAX_ITEMS]]
        return out
    if isinstance(value, np.generic):
        # numpy 2 names its bool scalar "bool", like Python's own
        name = 'bool_' if isinstance(value, np.bool_) else type(value).__name__
        try:
            return {'t': name, 'v': _number(value.item())}
        except (TypeError, ValueError):
            return {'t': name, 'repr': _safe_repr(value)}
    if isinstance(value, INTEGERS):
        return {'t': 'int', 'v': int(value)}
    if isinstance(value, float):
        return {'t': 'float', 'v': _number(float(value))}
    if type(value) in (list, tuple):
        return {'t': type(value).__name__, 'length': len(value),
                'items': [encode(v, np, quadric_type, depth + 1) for v in value[:MAX_ITEMS]]}
    if quadric_type is not None and isinstance(value, quadric_type):
        return {'t': 'quadric'}
    if isinstance(value, (bytes, TEXT)):
        return {'t': 'str', 'v': to_text(value)[:500]}
    return {'t': type(value).__name__, 'repr': _safe_repr(value)}


# ----------------------------------------------------------------- errors ---

def _text_of(exc):
    try:
        return to_text(str(exc))
    except BaseException:
        return TEXT('<the exception text could not be made>')


def _handled_of(exc):
    """The exception that was being handled when SystemExit was raised, as
    (type, value, traceback), or None. sys.exit() notes it itself (see
    note_handled_exception); Python 3 also chains it as __context__."""
    handled = getattr(exc, 'kest_handled', None)
    if handled is not None:
        return handled
    context = getattr(exc, '__context__', None)
    if context is not None and not isinstance(context, (SystemExit, DidNotReturn)):
        return type(context), context, getattr(context, '__traceback__', None)
    return None


def describe_error(info, in_module, depth=0):
    """type, message, the line and function of the newest traceback entry in
    the implementation's own source, and the traceback's last lines; for
    SystemExit also the exception that was being handled ("handled")."""
    exc_type, exc, tb = info
    entry = {'type': exc_type.__name__, 'message': _text_of(exc), 'line': None,
             'function': None}
    if isinstance(exc, SystemExit):
        entry['message'] = 'sys.exit(%s) was called' % (
            '' if exc.code is None else _safe_repr(exc.code))
        handled = _handled_of(exc)
        if handled is not None and depth < 3:
            entry['handled'] = describe_error(handled, in_module, depth + 1)
    if entry['type'] == 'NameError' and entry['message'].startswith('global name '):
        # Python 2 words a function's missing global "global name ..."
        entry['message'] = entry['message'][len('global '):]
    try:
        frames = traceback.extract_tb(tb)
    except BaseException:
        frames = []
    for filename, line, function, _source in frames:
        if in_module(filename):
            entry['line'] = line
            entry['function'] = function.split(' (')[0].split('.')[-1]
    if isinstance(exc, SyntaxError) and in_module(exc.filename or ''):
        entry['line'] = exc.lineno
        entry['message'] = exc.msg
        if exc.text:
            entry['source'] = to_text(exc.text).strip()[:200]
    try:
        text = to_text(''.join(traceback.format_exception(exc_type, exc, tb)))
    except BaseException:
        text = entry['type']
    entry['traceback'] = text[-3000:]
    return entry


def note_handled_exception():
    """Puts a sys.exit in place that notes the exception being handled when
    it is called: Python 2 does not chain exceptions, and a file's
    `except: sys.exit()` would hide the failure that led to it."""
    def exit(*args):
        handled = sys.exc_info()
        error = SystemExit(*args)
        if handled[0] is not None and not issubclass(handled[0], (SystemExit, DidNotReturn)):
            error.kest_handled = handled
        raise error
    exit.__doc__ = sys.exit.__doc__
    sys.exit = exit


# Called before each call into the implementation with its time limit: tells
# KestCompare that a new call starts, so that it can time it.
HEARTBEAT = [None]


def attempt(function, limit):
    """Runs function() with the alarm set: (value, error info or None, stop),
    where stop is None when it returned or raised, else where it was
    stopped: {"function", "line", "source", "known"}."""
    if HEARTBEAT[0] is not None:
        HEARTBEAT[0](limit)
    try:
        signal.setitimer(signal.ITIMER_REAL, max(0.01, float(limit)))
        try:
            value = function()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    except DidNotReturn as stopped:
        stop = dict(stopped.where or {})
        stop['known'] = isinstance(stopped, KnownHang)
        return None, None, stop
    except BaseException:
        return None, sys.exc_info(), None
    return value, None, None


class Capture(object):
    """Collects what one request prints, at Python and at descriptor level."""

    def __init__(self, path):
        self.reader = open(path, 'rb')
        self.buffer = None
        self.saved = None
        try:
            import ctypes
            self.libc = ctypes.CDLL(None)
        except (OSError, AttributeError, ImportError):
            self.libc = None

    def __enter__(self):
        self.buffer = StringIO()
        self.saved = sys.stdout, sys.stderr
        sys.stdout = sys.stderr = self.buffer
        self.reader.seek(0, os.SEEK_END)
        # Warnings are kept apart from the output: their text names the
        # line that raised them, which is never the same on both sides.
        self.catcher = warnings.catch_warnings(record=True)
        self.caught = self.catcher.__enter__()
        warnings.simplefilter('always')
        return self

    def __exit__(self, *exc_info):
        self.catcher.__exit__(*exc_info)
        sys.stdout, sys.stderr = self.saved
        return False

    def warnings(self):
        """"Category: message" of every warning of the request, in order."""
        found = []
        for caught in self.caught[:MAX_ITEMS]:
            try:
                found.append('%s: %s' % (caught.category.__name__, to_text(caught.message)))
            except BaseException:
                found.append('<a warning that cannot be shown>')
        return found

    def text(self):
        if self.libc is not None:
            try:
                self.libc.fflush(None)   # C-level printf of a native library
            except BaseException:
                pass
        try:
            python = to_text(self.buffer.getvalue())
        except BaseException:
            python = TEXT('')
        text = python + self.reader.read().decode('utf-8', 'replace')
        if len(text) > OUTPUT_LIMIT:
            text = text[:OUTPUT_LIMIT] + '\n... (%d more characters)' % (len(text) - OUTPUT_LIMIT)
        return text


class Observer(object):
    """Notes, for the file under comparison, which of its own functions made
    each recorded call and what its matrix builders returned, by putting a
    thin wrapper in place of each function of the module (the functions
    look each other up by name, so the wrappers see every call)."""

    def __init__(self, calls, builders, encode_value):
        self.calls = calls              # glfake.calls, emptied in place
        self.builder_names = builders
        self.encode = encode_value
        self.reset()

    def reset(self):
        self.events = []    # (position in calls, +1 enter / -1 leave, name)
        self.stack = []
        self.builders = []  # builder results, in the order they returned

    def wrap(self, name, function):
        observer = self

        def observed(*args, **kwargs):
            level = len([n for n in observer.stack if n in observer.builder_names])
            observer.stack.append(name)
            observer.events.append((len(observer.calls), 1, name))
            returned = False
            try:
                result = function(*args, **kwargs)
                returned = True
            finally:
                observer.stack.pop()
                observer.events.append((len(observer.calls), -1, name))
            if returned and name in observer.builder_names:
                observer.builders.append({'at': len(observer.calls), 'level': level,
                                          'name': name, 'result': observer.encode(result)})
            return result
        observed.__name__ = getattr(function, '__name__', name)
        observed.__doc__ = getattr(function, '__doc__', None)
        return observed

    def owners(self):
        """The innermost function of the file that made each recorded call."""
        owners, stack, events = [], [], list(self.events)
        position = 0
        for index in range(len(self.calls)):
            while position < len(events) and events[position][0] <= index:
                _, step, name = events[position]
                if step > 0:
                    stack.append(name)
                elif stack:
                    stack.pop()
                position += 1
            owners.append(stack[-1] if stack else None)
        return owners


# -------------------------------------------------------------- the worker ---

class Worker(object):

    def __init__(self, mode, capture_path):
        self.mode = mode
        self.capture = Capture(capture_path)
        self.module = None
        self.path = None
        self.pristine = None
        self.prepared = {}
        self.hung = {}          # function name -> where it did not return
        self.own_code = {}      # code object -> name, of the file's functions
        self.observer = None
        import numpy
        self.np = numpy
        from kestcompare import cases
        self.cases = cases
        self.glfake = None
        self.quadric_type = None
        if mode == 'record':
            import glfake
            self.glfake = glfake
            self.quadric_type = glfake.Quadric

    # -- the module and its globals --
    def in_module(self, filename):
        if self.path is None:
            return os.path.basename(filename) == 'Movra.py'
        try:
            return os.path.abspath(filename) == self.path
        except (TypeError, ValueError):
            return False

    def locate(self, frame):
        """Where the file was when the alarm went off: the innermost of its
        module-level functions on the stack ("function"; "<module>" while it
        loads) and the line its innermost frame was executing."""
        innermost, blamed = None, None
        while frame is not None:
            code = frame.f_code
            if self.in_module(code.co_filename):
                if innermost is None:
                    innermost = frame
                if blamed is None and code in self.own_code:
                    blamed = self.own_code[code]
            frame = frame.f_back
        if innermost is None:
            return None
        line = innermost.f_lineno
        source = linecache.getline(self.path, line).strip() if self.path else ''
        return {'function': blamed or innermost.f_code.co_name, 'line': line,
                'source': to_text(source)[:200]}

    def snapshot(self):
        namespace = vars(self.module)
        shallow = dict(namespace)
        deep = {}
        for name in self.cases.GLOBALS:
            if name in namespace:
                try:
                    deep[name] = copy.deepcopy(namespace[name])
                except BaseException:
                    deep[name] = namespace[name]
        return shallow, deep

    def restore(self, saved):
        shallow, deep = saved
        namespace = vars(self.module)
        namespace.clear()
        namespace.update(shallow)
        for name, value in deep.items():
            try:
                namespace[name] = copy.deepcopy(value)
            except BaseException:
                namespace[name] = value
        self.install_stand_ins()

    def learn(self, request):
        """Takes the functions that KestCompare knows not to return (found by
        this worker or by another one of the same file) and puts their
        stand-ins in place."""
        for name, where in (request.get('hung') or {}).items():
            self.hung.setdefault(name, where)
        self.install_stand_ins()

    def install_stand_ins(self):
        if self.module is None:
            return
        namespace = vars(self.module)
        for name, where in self.hung.items():
            if name in namespace and callable(namespace[name]):
                namespace[name] = stand_in(name, where)

    def remember(self, stop):
        """Notes a function that did not return, from now on a stand-in."""
        if stop and not stop.get('known') and stop.get('function') and \
                self.module is not None and stop['function'] in vars(self.module):
            self.hung.setdefault(stop['function'], dict(
                (k, stop[k]) for k in ('function', 'line', 'source') if k in stop))
            self.install_stand_ins()

    def encode(self, value):
        return encode(value, self.np, self.quadric_type)

    def error(self, info):
        entry = describe_error(info, self.in_module)
        handled = entry.get('handled')
        if handled and handled.get('line') and self.path and 'source' not in handled:
            source = linecache.getline(self.path, handled['line']).strip()
            if source:
                handled['source'] = to_text(source)[:200]
        return entry

    # -- requests --
    def load(self, request):
        target, name, limit = request['target'], request['name'], request['limit']
        reply = {'python': {'version': platform.python_version(),
                            'implementation': platform.python_implementation(),
                            'executable': sys.executable}}
        if self.mode == 'render':
            failure = self.open_window(int(request['size']))
            if failure is not None:
                reply.update(ok=False, error=failure, output='')
                return reply
        if target != 'compiled':
            self.path = os.path.abspath(target)
            folder = os.path.dirname(self.path)
            if folder not in sys.path:
                sys.path.append(folder)   # its own extra modules, after ours
        sys.dont_write_bytecode = True      # nothing written next to the file

        def run():
            if target == 'compiled':
                import Movra
                return Movra
            return load_file(name, self.path)
        with self.capture:
            module, info, stop = attempt(run, limit)
        reply['output'] = self.capture.text()
        if stop is not None:
            reply.update(ok=False, hung=True, stopped=stop)
            return reply
        if info is not None:
            reply.update(ok=False, error=self.error(info))
            return reply
        self.module = module
        namespace = vars(module)
        for key, value in list(namespace.items()):
            code = getattr(value, '__code__', None)
            if code is not None and self.in_module(code.co_filename):
                self.own_code[code] = key
        reply.update(ok=True, file=getattr(module, '__file__', None),
                     compiled=not str(getattr(module, '__file__', '')).endswith(
                         ('.py', '.pyc')),
                     globals=dict((g, self.encode(namespace[g])) for g in self.cases.GLOBALS
                                  if g in namespace),
                     functions=dict((f, callable(namespace[f])) for f in self.cases.FUNCTIONS
                                    if f in namespace))
        if request.get('observe') and self.glfake is not None:
            self.observer = Observer(self.glfake.calls, self.cases.BUILDERS, self.encode)
            for function in self.cases.FUNCTIONS:
                if callable(namespace.get(function)):
                    namespace[function] = self.observer.wrap(function, namespace[function])
        self.pristine = self.snapshot()
        return reply

    def fresh(self):
        self.restore(self.pristine)
        if self.glfake is not None:
            self.glfake.reset()
        if self.observer is not None:
            self.observer.reset()

    def trace(self):
        return [[name, [self.encode(a) for a in args]] for name, args in self.glfake.calls]

    def observed(self, reply):
        """The observer's notes of the request, for the hints."""
        if self.observer is not None:
            reply['owners'] = self.observer.owners()
            reply['builders'] = self.observer.builders[:MAX_ITEMS]

    def stop_reply(self, reply, stop):
        reply['hung'] = stop is not None
        if stop is not None:
            reply['stopped'] = stop
            self.remember(stop)

    def builder(self, request):
        self.learn(request)
        name, args, kwargs = self.cases.builder_case(int(request['case']),
                                                     request.get('convert'))
        self.fresh()
        function = vars(self.module).get(name)
        if function is None:
            return {'missing': True}
        with self.capture:
            value, info, stop = attempt(lambda: function(*args, **kwargs), request['limit'])
            reply = {}
            self.stop_reply(reply, stop)
            if info is not None:
                reply['error'] = self.error(info)
            elif stop is None:
                encoded, _, late = attempt(lambda: self.encode(value), request['limit'])
                reply['result'] = encoded
                if late is not None:
                    self.stop_reply(reply, late)
        reply['output'] = self.capture.text()
        reply['warnings'] = self.capture.warnings()
        reply['calls'] = len(self.glfake.calls)
        self.observed(reply)
        return reply

    def prepare(self, state_name, budget):
        """Runs initGL(), sets the state's globals and ticks, within what is
        left of the preparation budget; keeps the result so that every
        function of this state starts from the same globals.

        A failing initGL() is noted and the preparation goes on (the drawing
        then shows what that costs); a failing tick ends it."""
        if state_name in self.prepared:
            saved, report = self.prepared[state_name]
            return saved, dict(report, fresh=False)
        _, ticks, values = self.cases.state(state_name)
        self.fresh()
        namespace = vars(self.module)
        report = {'ticks': ticks}
        if budget <= 0:
            report.update(exhausted=True, hung=False, output='', seconds=0.0)
            return None, dict(report, fresh=True)

        def run_ticks():
            tick = namespace['updateAnimationVariables']
            for _ in range(ticks):
                tick()
        started = time.time()
        with self.capture:
            stop = None
            init = namespace.get('initGL')
            if init is not None:
                _, info, stop = attempt(init, budget)
                if info is not None:
                    report['initGL_error'] = self.error(info)
            if stop is None:
                for key, value in values.items():
                    namespace[key] = value
                if ticks:
                    _, info, stop = attempt(run_ticks, max(0.01, budget - (time.time() - started)))
                    if info is not None:
                        report['error'] = self.error(info)
        report.update(output=self.capture.text(), hung=stop is not None,
                      seconds=round(time.time() - started, 4))
        if stop is not None:
            report['stopped'] = stop
            self.remember(stop)
        self.prepared[state_name] = (self.snapshot(), report)
        return self.prepared[state_name][0], dict(report, fresh=True)

    def prepare_all(self, request):
        """Makes the requested states one after the other, those with the
        fewest ticks first, all within one budget: prepare_limit."""
        self.learn(request)
        budget = float(request.get('prepare_limit', request['limit']))
        started = time.time()
        states = {}
        for name in sorted(request['states'], key=lambda s: self.cases.state(s)[1]):
            _, report = self.prepare(name, budget - (time.time() - started))
            states[name] = dict((key, report[key]) for key in
                                ('hung', 'stopped', 'exhausted', 'seconds', 'ticks', 'error')
                                if key in report)
        return {'states': states, 'seconds': round(time.time() - started, 4)}

    def draw(self, request):
        self.learn(request)
        name, state_name, limit = request['function'], request['state'], request['limit']
        saved, preparation = self.prepare(state_name, request.get('prepare_limit', limit))
        reply = {'preparation': preparation}
        if preparation['hung'] or preparation.get('exhausted'):
            return reply
        self.restore(saved)
        self.glfake.reset()
        if self.observer is not None:
            self.observer.reset()
        function = vars(self.module).get(name)
        if function is None:
            reply['missing'] = True
            return reply
        if name == 'getGL_MODELVIEW_PROJ':
            modelview, projection = self.cases.readback_matrices()
            stacks = self.glfake.state.stacks
            stacks[self.glfake.GL_CONSTS['GL_MODELVIEW']][-1] = modelview
            stacks[self.glfake.GL_CONSTS['GL_PROJECTION']][-1] = projection
        with self.capture:
            value, info, stop = attempt(function, limit)
            self.stop_reply(reply, stop)
            if info is not None:
                reply['error'] = self.error(info)
            if stop is None:
                encoded, _, late = attempt(lambda: {
                    'result': self.encode(value),
                    'calls': self.trace(),
                    'globals': dict((g, self.encode(vars(self.module)[g]))
                                    for g in self.cases.GLOBALS if g in vars(self.module))},
                    limit)
                if late is not None:
                    self.stop_reply(reply, late)
                else:
                    reply.update(encoded)
            if reply['hung']:
                reply['calls'] = self.trace()
        reply['output'] = self.capture.text()
        reply['warnings'] = self.capture.warnings()
        state = self.glfake.state
        reply['depth'] = {'modelview': self.glfake.depth('modelview'),
                          'projection': self.glfake.depth('projection')}
        reply['matrix_mode'] = {self.glfake.GL_CONSTS['GL_MODELVIEW']: 'GL_MODELVIEW',
                                self.glfake.GL_CONSTS['GL_PROJECTION']: 'GL_PROJECTION'}.get(
                                    state.matrix_mode, str(state.matrix_mode))
        self.observed(reply)
        return reply

    # -- real GL --
    def open_window(self, size):
        try:
            from kesthost import glut  # noqa: F401  (PyOpenGL 3.1.5 finds freeglut 3.x)
            from OpenGL import GL, GLUT
            GLUT.glutInit([b'KestCompare'])
            GLUT.glutInitDisplayMode(GLUT.GLUT_DOUBLE | GLUT.GLUT_RGB | GLUT.GLUT_DEPTH)
            GLUT.glutInitWindowSize(2 * size, 2 * size)
            GLUT.glutInitWindowPosition(0, 0)
            GLUT.glutCreateWindow(b'KestCompare')
        except BaseException:
            return describe_error(sys.exc_info(), lambda filename: False)
        self.GL, self.GLUT, self.size = GL, GLUT, size
        return None

    def reset_gl(self):
        GL = self.GL
        for _ in range(100):
            if not GL.glGetError():
                break
        for mode, query in ((GL.GL_PROJECTION, GL.GL_PROJECTION_STACK_DEPTH),
                            (GL.GL_MODELVIEW, GL.GL_MODELVIEW_STACK_DEPTH)):
            GL.glMatrixMode(mode)
            for _ in range(int(GL.glGetIntegerv(query)) - 1):
                GL.glPopMatrix()
            GL.glLoadIdentity()
        GL.glViewport(0, 0, 2 * self.size, 2 * self.size)
        GL.glClearColor(0.0, 0.0, 0.0, 1.0)
        GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)

    def read_frame(self):
        """The back buffer as a top-down (side, side, 3) uint8 array."""
        GL, side = self.GL, 2 * self.size
        GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 1)
        GL.glReadBuffer(GL.GL_BACK)
        data = GL.glReadPixels(0, 0, side, side, GL.GL_RGB, GL.GL_UNSIGNED_BYTE)
        if isinstance(data, bytes):
            pixels = self.np.frombuffer(data, dtype=self.np.uint8)
        else:
            pixels = self.np.asarray(data, dtype=self.np.uint8)
        return pixels.reshape(side, side, 3)[::-1].copy()

    def render(self, request):
        """The frame of a state as the host draws it: sizeViewport, initGL(),
        the state's globals, the host's own tick before its first frame and
        the state's ticks, then drawMain()."""
        self.learn(request)
        _, ticks, values = self.cases.state(request['state'])
        ticks += self.cases.HOST_TICKS
        limit = request['limit']
        budget = request.get('prepare_limit', limit)
        self.restore(self.pristine)
        self.reset_gl()
        namespace = vars(self.module)
        reply = {'ticks': ticks}

        def prepare():
            namespace['sizeViewport'] = self.size
            namespace['initGL']()
            for key, value in values.items():
                namespace[key] = value
            for _ in range(ticks):
                namespace['updateAnimationVariables']()
        started = time.time()
        with self.capture:
            info, stop = None, None
            if budget > 0:
                _, info, stop = attempt(prepare, budget)
            reply['preparation'] = {'seconds': round(time.time() - started, 4),
                                    'exhausted': budget <= 0, 'fresh': True,
                                    'hung': stop is not None}
            if stop is not None:
                reply['preparation']['stopped'] = stop
                self.remember(stop)
            if info is None and stop is None and budget > 0:
                _, info, stop = attempt(lambda: namespace['drawMain'](), limit)
                self.stop_reply(reply, stop)
        reply['output'] = self.capture.text()
        reply.setdefault('hung', stop is not None)
        if info is not None:
            reply['error'] = self.error(info)
        try:
            self.GL.glFinish()
            frame = self.read_frame()
            from PIL import Image
            Image.fromarray(frame, 'RGB').save(request['path'], 'PNG')
            reply['image'] = request['path']
        except BaseException:
            reply['read_error'] = describe_error(sys.exc_info(), lambda filename: False)
        return reply

    def close(self):
        if self.mode == 'render' and getattr(self, 'GLUT', None) is not None:
            try:
                from kesthost import glut
                glut.glut_exit()
            except BaseException:
                pass

    def handle(self, request):
        op = request.get('op')
        if op == 'load':
            return self.load(request)
        if self.module is None:
            return {'internal_error': 'no module is loaded'}
        if op == 'builder':
            return self.builder(request)
        if op == 'draw':
            return self.draw(request)
        if op == 'prepare':
            return self.prepare_all(request)
        if op == 'render':
            return self.render(request)
        return {'internal_error': 'unknown request %r' % (op,)}


def stand_in(name, where):
    """Takes the place of a function that did not return: stops at once."""
    def hung(*args, **kwargs):
        CURRENT['cut'].append(name)
        raise KnownHang(dict(where, function=name))
    hung.__name__ = str(name)       # a str on Python 2 too, where JSON gives unicode
    return hung


def load_file(name, path):
    """Executes the file as the module `name` (in sys.modules under that name)."""
    if PY2:
        import imp
        return imp.load_source(name, path)
    import importlib.util
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    try:
        found.loader.exec_module(module)
    except BaseException:
        sys.modules.pop(name, None)
        raise
    return module


def open_channels(capture_path):
    """The request and reply channels on private descriptors; descriptors
    0, 1 and 2 then belong to the implementation: /dev/null to read, the
    capture file to write."""
    requests = os.fdopen(os.dup(0), 'rb')
    replies = os.fdopen(os.dup(1), 'wb')
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.close(null)
    capture = os.open(capture_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
    os.dup2(capture, 1)
    os.dup2(capture, 2)
    os.close(capture)
    sys.stdin = open(os.devnull, 'r')
    if PY2:
        sys.stdout = sys.stderr = os.fdopen(os.dup(1), 'w', 0)
    else:
        sys.stdout = sys.stderr = open(1, 'w', buffering=1, closefd=False)
    return requests, replies


def main(argv):
    if len(argv) != 3 or argv[1] not in ('record', 'render'):
        sys.stderr.write('usage: worker.py record|render CAPTURE_FILE\n')
        return 2
    mode, capture_path = argv[1], argv[2]
    set_path(mode)
    requests, replies = open_channels(capture_path)
    signal.signal(signal.SIGALRM, _on_alarm)
    note_handled_exception()

    def tell(message):
        replies.write(json.dumps(message, sort_keys=True).encode('ascii') + b'\n')
        replies.flush()
    HEARTBEAT[0] = lambda limit: tell({'phase': float(limit)})
    CURRENT['tell'] = tell
    worker = Worker(mode, capture_path)
    CURRENT['locate'] = worker.locate
    try:
        while True:
            line = requests.readline()
            if not line:
                break
            del CURRENT['cut'][:]
            try:
                reply = worker.handle(json.loads(line.decode('utf-8')))
                if CURRENT['cut']:
                    reply['cut_short'] = sorted(set(CURRENT['cut']))
            except BaseException:
                reply = {'internal_error': traceback.format_exc()[-3000:]}
            try:
                data = json.dumps(reply, sort_keys=True, allow_nan=False)
            except (TypeError, ValueError):
                data = json.dumps({'internal_error': traceback.format_exc()[-3000:]})
            replies.write(data.encode('ascii') + b'\n')
            replies.flush()
    finally:
        worker.close()
    return 0


if __name__ == '__main__':
    # os._exit: the implementation's atexit handlers and any thread it left
    # must not hold the process after the last request.
    status = main(sys.argv)
    try:
        sys.stdout.flush()
    except BaseException:
        pass
    os._exit(status)
