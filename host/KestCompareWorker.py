"""Runs one implementation of the module for KestCompare, in a process of its
own.

    python KestCompareWorker.py record|render CAPTURE_FILE

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
every argument in a typed, comparable form (see encode()). In "render" mode
the real PyOpenGL draws into a GLUT window on $DISPLAY and a request writes
the frame that drawMain() drew to a PNG file.

Each call into the implementation is bounded by the request's "limit"
(seconds): SIGALRM raises DidNotReturn, which the implementation's own
`except Exception` does not catch. Code that defeats even that is the
business of KestCompare, which kills a worker that does not answer in time.
"""
from __future__ import division, print_function

import copy
import json
import os
import signal
import sys
import traceback
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDGL = os.path.join(HERE, 'recordgl')

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
    """Raised by the alarm in the middle of a call that ran too long."""


def _on_alarm(signum, frame):
    raise DidNotReturn()


def set_path(mode):
    """host/ for the tables; in record mode host/recordgl before everything,
    in render mode nowhere, so that the real OpenGL is found."""
    own = os.path.realpath(RECORDGL)
    kept = [p for p in sys.path if p and os.path.realpath(p) != own]
    sys.path[:] = ([RECORDGL] if mode == 'record' else []) + [HERE] + kept


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


def describe_error(info, in_module):
    """type, message, the line and function of the newest traceback entry in
    the implementation's own source, and the traceback's last lines."""
    exc_type, exc, tb = info
    entry = {'type': exc_type.__name__, 'message': _text_of(exc), 'line': None,
             'function': None}
    if isinstance(exc, SystemExit):
        entry['message'] = 'sys.exit(%s) was called' % (
            '' if exc.code is None else _safe_repr(exc.code))
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


# Called before each call into the implementation: tells KestCompare that a
# new call (with a time limit of its own) starts, so that it can time it.
HEARTBEAT = [None]


def attempt(function, limit):
    """Runs function() with the alarm set: (value, error info or None, hung)."""
    if HEARTBEAT[0] is not None:
        HEARTBEAT[0]()
    try:
        signal.setitimer(signal.ITIMER_REAL, max(0.01, float(limit)))
        try:
            value = function()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    except DidNotReturn:
        return None, None, True
    except BaseException:
        return None, sys.exc_info(), False
    return value, None, False


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


# -------------------------------------------------------------- the worker ---

class Worker(object):

    def __init__(self, mode, capture_path):
        self.mode = mode
        self.capture = Capture(capture_path)
        self.module = None
        self.path = None
        self.pristine = None
        self.prepared = {}
        import numpy
        self.np = numpy
        import KestCompareCases
        self.cases = KestCompareCases
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

    def encode(self, value):
        return encode(value, self.np, self.quadric_type)

    def error(self, info):
        return describe_error(info, self.in_module)

    # -- requests --
    def load(self, request):
        target, name, limit = request['target'], request['name'], request['limit']
        reply = {}
        if self.mode == 'render':
            failure = self.open_window(int(request['size']))
            if failure is not None:
                return {'ok': False, 'error': failure, 'output': ''}
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
            module, info, hung = attempt(run, limit)
        reply['output'] = self.capture.text()
        if hung:
            reply.update(ok=False, hung=True)
            return reply
        if info is not None:
            reply.update(ok=False, error=self.error(info))
            return reply
        self.module = module
        namespace = vars(module)
        self.pristine = self.snapshot()
        reply.update(ok=True, file=getattr(module, '__file__', None),
                     compiled=not str(getattr(module, '__file__', '')).endswith(
                         ('.py', '.pyc')),
                     globals=dict((g, self.encode(namespace[g])) for g in self.cases.GLOBALS
                                  if g in namespace),
                     functions=dict((f, callable(namespace[f])) for f in self.cases.FUNCTIONS
                                    if f in namespace))
        return reply

    def fresh(self):
        self.restore(self.pristine)
        if self.glfake is not None:
            self.glfake.reset()

    def trace(self):
        return [[name, [self.encode(a) for a in args]] for name, args in self.glfake.calls]

    def builder(self, request):
        name, args, kwargs = self.cases.builder_case(int(request['case']))
        self.fresh()
        function = vars(self.module).get(name)
        if function is None:
            return {'missing': True}
        with self.capture:
            value, info, hung = attempt(lambda: function(*args, **kwargs), request['limit'])
            reply = {'hung': hung}
            if info is not None:
                reply['error'] = self.error(info)
            elif not hung:
                encoded, _, late = attempt(lambda: self.encode(value), request['limit'])
                reply['result'] = encoded
                reply['hung'] = late
        reply['output'] = self.capture.text()
        reply['warnings'] = self.capture.warnings()
        reply['calls'] = len(self.glfake.calls)
        return reply

    def prepare(self, state_name, limit):
        """Runs initGL(), sets the state's globals and ticks; keeps the result
        so that every function of this state starts from the same globals.

        A failing initGL() is noted and the preparation goes on (the drawing
        then shows what that costs); a failing tick ends it."""
        if state_name in self.prepared:
            return self.prepared[state_name]
        _, ticks, values = self.cases.state(state_name)
        self.fresh()
        namespace = vars(self.module)
        report = {}

        def run_ticks():
            tick = namespace['updateAnimationVariables']
            for _ in range(ticks):
                tick()
        with self.capture:
            hung = False
            init = namespace.get('initGL')
            if init is not None:
                _, info, hung = attempt(init, limit)
                if info is not None:
                    report['initGL_error'] = self.error(info)
            if not hung:
                for key, value in values.items():
                    namespace[key] = value
                if ticks:
                    _, info, hung = attempt(run_ticks, limit)
                    if info is not None:
                        report['error'] = self.error(info)
        report.update(output=self.capture.text(), hung=hung)
        self.prepared[state_name] = (self.snapshot(), report)
        return self.prepared[state_name]

    def draw(self, request):
        name, state_name, limit = request['function'], request['state'], request['limit']
        saved, preparation = self.prepare(state_name, limit)
        reply = {'preparation': preparation}
        if preparation['hung']:
            return reply
        self.restore(saved)
        self.glfake.reset()
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
            value, info, hung = attempt(function, limit)
            reply['hung'] = hung
            if info is not None:
                reply['error'] = self.error(info)
            if not hung:
                encoded, _, late = attempt(lambda: {
                    'result': self.encode(value),
                    'calls': self.trace(),
                    'globals': dict((g, self.encode(vars(self.module)[g]))
                                    for g in self.cases.GLOBALS if g in vars(self.module))},
                    limit)
                if late:
                    reply['hung'] = True
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
        return reply

    # -- real GL --
    def open_window(self, size):
        try:
            import KestGlut  # noqa: F401  (PyOpenGL 3.1.5 finds freeglut 3.x)
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
        _, ticks, values = self.cases.state(request['state'])
        limit = request['limit']
        self.restore(self.pristine)
        self.reset_gl()
        namespace = vars(self.module)
        reply = {}

        def prepare():
            namespace['sizeViewport'] = self.size
            namespace['initGL']()
            for key, value in values.items():
                namespace[key] = value
            for _ in range(ticks):
                namespace['updateAnimationVariables']()
        with self.capture:
            _, info, hung = attempt(prepare, limit)
            if info is None and not hung:
                _, info, hung = attempt(lambda: namespace['drawMain'](), limit)
        reply['output'] = self.capture.text()
        reply['hung'] = hung
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
                import KestGlut
                KestGlut.glut_exit()
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
        if op == 'render':
            return self.render(request)
        return {'internal_error': 'unknown request %r' % (op,)}


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
        sys.stderr.write('usage: KestCompareWorker.py record|render CAPTURE_FILE\n')
        return 2
    mode, capture_path = argv[1], argv[2]
    set_path(mode)
    requests, replies = open_channels(capture_path)
    signal.signal(signal.SIGALRM, _on_alarm)

    def heartbeat():
        replies.write(b'{"phase": true}\n')
        replies.flush()
    HEARTBEAT[0] = heartbeat
    worker = Worker(mode, capture_path)
    try:
        while True:
            line = requests.readline()
            if not line:
                break
            try:
                reply = worker.handle(json.loads(line.decode('utf-8')))
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
