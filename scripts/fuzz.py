"""Robustness fuzzer for the compiled Movra module.

    .venv/bin/python scripts/fuzz.py [--iterations N] [--seed S] [--verbose]

Runs in this process, on the recording GL of host/recordgl.  Each iteration
rebinds module globals to hostile values or deletes them (None, strings,
lists of the wrong length, huge ints, nan and inf, numpy scalars and arrays,
objects whose arithmetic, truth test, int(), indexing or float() raise,
callables that raise, re-enter the module, rebind its globals or collect
garbage), sometimes reshapes the globals' table or makes the n-th GL call
fail, and then calls one of the eighteen functions with fitting or unfitting
arguments.  After every call:

* a failure is an Exception (never SystemError, never a stale error left
  pending after a call that returned);
* a call refused by the interpreter itself (wrong arity or keywords for a
  function without keyword parameters) is a TypeError with no module record;
* any other failure carries module records whose outermost names the called
  function, each at a statement line of that function (a binding failure of
  projective/perspective at its definition line), and every record that
  has another module record right below it stands at a statement that
  makes a call (other code below a record may come from a value's Python
  methods: arithmetic, truth test, conversion, printing);
* with glPushMatrix and glPopMatrix bound to the recording GL's own
  functions, and neither of them bound under another name, the total
  matrix-stack depth is unchanged after a success (per stack, too, unless a
  callback into the module or a GL function under another name may have
  changed the matrix mode), and after a failure it is deeper by at least 0
  and at most the number of glPushMatrix calls made during the call.

The generator is seeded, so a run is reproducible; --verbose prints every
operation, so the last lines before a crash name what caused it.  Exit
status 0 when no check failed.
"""
from __future__ import print_function

import argparse
import ast
import ctypes
import decimal
import fractions
import gc
import os
import random
import StringIO
import sys
import warnings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAKES = os.path.join(ROOT, 'host', 'recordgl')
LISTING = os.path.join(ROOT, 'src', 'Movra.py')
if FAKES not in sys.path:
    sys.path.insert(0, FAKES)

import numpy as np  # noqa: E402

import glfake  # noqa: E402
import Movra  # noqa: E402

NOARG = ['getGL_MODELVIEW_PROJ', 'initGL', 'drawScene', 'drawMovingViewVolume',
         'drawMovingCamera', 'drawCamera', 'Viewport1', 'Viewport2', 'Viewport3',
         'Viewport4', 'drawMain', 'updateAnimationVariables']
ONEARG = ['rotateX', 'rotateY', 'translate', 'scale']
PARAMS = {'projective': ('near', 'far'), 'perspective': ('fovy', 'aspect', 'near', 'far')}
FUNCTIONS = NOARG + ONEARG + sorted(PARAMS)
STATE = ['near', 'far', 'left', 'right', 'bottom', 'top', 'viewport4Sol1',
         'movingCameraRadius', 'movingCameraHeight', 'movingCameraPos', 'movingCameraAngle',
         'sizeViewport', 'eyeX', 'eyeY', 'eyeZ', 'pan', 'tilt', 'myQuadric']
NUMPY_NAMES = ['np', 'sqrt', 'arctan2', 'cos', 'sin', 'tan', 'pi', 'transpose', 'rad2deg',
               'deg2rad']
HELPERS = ['draw3DCoordinateAxes', 'drawColoredCube', 'drawGrayCube', 'drawViewVolume']


class FuzzError(Exception):
    """What the hostile objects raise."""


def _listing_layout():
    """{function: (definition line, statement lines, lines with a call)}."""
    tree = ast.parse(open(LISTING).read())
    layout = {}
    for node in tree.body:
        if not isinstance(node, ast.FunctionDef):
            continue
        statements, calling = set(), set()
        for sub in ast.walk(node):
            if isinstance(sub, ast.stmt) and sub is not node:
                if isinstance(sub, ast.Expr) and isinstance(sub.value, ast.Str):
                    continue  # the docstring
                statements.add(sub.lineno)
            if isinstance(sub, ast.Call):
                calling.add(sub.lineno)
        layout[node.name] = (node.lineno, statements, calling)
    return layout


LAYOUT = _listing_layout()
PRISTINE = dict(vars(Movra))
# The GL and GLU functions and constants that the listing names.
GL_USED = sorted(set(node.id for node in ast.walk(ast.parse(open(LISTING).read()))
                     if isinstance(node, ast.Name) and node.id in PRISTINE
                     and (node.id.startswith('gl') or node.id.startswith('GL_'))))
TARGETS = STATE + FUNCTIONS + NUMPY_NAMES + HELPERS + GL_USED
_pending = ctypes.pythonapi.Py_GetRecursionLimit  # ctypes raises an error left pending


# ------------------------------------------------------------------ hostiles ---

class Hostile(object):
    """Every numeric, truth, conversion and item protocol raises."""

    def _raise(self, *args):
        raise FuzzError('hostile operation')
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _raise
    __div__ = __rdiv__ = __truediv__ = __rtruediv__ = __neg__ = __or__ = __ror__ = _raise
    __nonzero__ = __int__ = __long__ = __float__ = __index__ = __getitem__ = __len__ = _raise
    __iter__ = __call__ = __getattr__ = _raise

    def __repr__(self):
        return '<Hostile>'


class Shapeshifter(object):
    """Arithmetic and indexing answer with odd objects, sometimes itself.

    It has no length, so numpy does not take it for a (never ending)
    sequence."""

    def __init__(self, rng):
        self.rng = rng

    def _odd(self, *args):
        return self.rng.choice([None, 'x', self, 1e308, -1, [], Hostile()])
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _odd
    __truediv__ = __rtruediv__ = __neg__ = __or__ = __ror__ = _odd

    def __getitem__(self, index):
        if not isinstance(index, (int, long)) or index > 3:
            raise IndexError(index)
        return self.rng.choice([None, 'x', 1e308, -1, 2.5])

    def __nonzero__(self):
        return self.rng.random() < 0.5

    def __int__(self):
        return self.rng.choice([3, 2 ** 70, -7])

    def __float__(self):
        return self.rng.choice([0.5, float('nan')])


class OldStyle:
    def __getitem__(self, i):
        if i > 1:
            raise IndexError(i)
        return i + 0.5


class Raiser(object):
    def __init__(self, exc):
        self.exc = exc

    def __call__(self, *args, **kwargs):
        raise self.exc('raised by a callable given %d arguments' % len(args))


class ReEnter(object):
    """Calls one of the module's functions (as a host callback might)."""

    def __init__(self, name):
        self.name = name

    def __call__(self, *args):
        function = PRISTINE[self.name]
        if self.name in PARAMS:
            return function(1.0, 7.0) if self.name == 'projective' else function(60, 1, 0.1, 9)
        if self.name in ONEARG:
            return function(args[0] if args else [1, 2, 3])
        return function()


class Mutator(object):
    """Rebinds or deletes module globals while a function runs."""

    def __init__(self, rng, fuzzer):
        self.rng, self.fuzzer = rng, fuzzer

    def __call__(self, *args):
        for _ in range(self.rng.randint(1, 3)):
            self.fuzzer.mutate(quiet=True, reentrant=False)
        return self.rng.choice([None, 0, args])


class FailingCall(object):
    """Stands in for glfake.raise_on: the n-th recorded GL or helper call raises."""

    def __init__(self, n):
        self.n, self.seen = n, 0

    def get(self, name):
        self.seen += 1
        return FuzzError('call %d (%s) failed' % (self.n, name)) if self.seen == self.n else None

    def clear(self):
        pass


class FlakyStream(object):
    """A stdout whose n-th write raises."""
    softspace = 0

    def __init__(self, n):
        self.n = n

    def write(self, text):
        self.n -= 1
        if self.n == 0:
            raise IOError('write failed')


def collector(*args):
    gc.collect()


def make_value(rng, fuzzer=None, callables=True):
    """One hostile or harmless value."""
    nan, inf = float('nan'), float('inf')
    simple = [None, True, False, 0, 1, -1, 7, 2 ** 64, -2 ** 63 - 1, 10 ** 400, 1e308, -0.0,
              nan, inf, -inf, 0.25, 'str', u'uni\u20ac', '', [], [1], [1, 2], [1, 2, 3],
              [1.5, -2, 3], [1, 2, 3, 4], ['a', 'b', 'c'], (1, 2, 3), (), {}, {0: 1, 1: 2, 2: 3},
              set([1]), 1j, np.float32(nan), np.float16(1.5), np.int8(-128),
              np.uint64(2 ** 64 - 1), np.bool_(True), np.complex64(1j), np.float64(inf),
              np.int64(350), np.array([1.0, 2.0, 3.0]), np.array([]), np.zeros((2, 2)),
              np.array(['a', 'b', 'c']), np.array([1, 2, 3], dtype=object), np.eye(4),
              np.array(5.0), fractions.Fraction(1, 3), decimal.Decimal('1.5'), Hostile(),
              Shapeshifter(rng), OldStyle(), object(), glfake.Quadric(), Movra, np,
              [Hostile(), 0, 0], [0, Hostile(), 0], [0, 0, np.nan], [[1, 2, 3]]]
    if callables:
        simple += [Raiser(FuzzError), Raiser(ValueError), Raiser(MemoryError), collector,
                   len, abs, ReEnter(rng.choice(FUNCTIONS)), PRISTINE[rng.choice(FUNCTIONS)],
                   PRISTINE[rng.choice(GL_USED)], PRISTINE['glPushMatrix'],
                   PRISTINE['glPopMatrix'], np.matrix, lambda *a: None, lambda *a: a]
        if fuzzer is not None:
            simple.append(Mutator(rng, fuzzer))
    return rng.choice(simple)


def fitting_args(rng, name):
    number = lambda: rng.choice([0, 1, 30, -45.5, 90.0, 1e-3, np.float32(12.5), np.int64(7)])
    if name in ('rotateX', 'rotateY'):
        return (number(),)
    if name in ('translate', 'scale'):
        return ([number(), number(), number()],)
    if name == 'projective':
        return (rng.choice([1.0, 0.5, 2]), rng.choice([7.0, 10, 3.5]))
    if name == 'perspective':
        return (rng.choice([60, 45.0, 90]), rng.choice([1, 1.5]), rng.choice([0.01, 1]),
                rng.choice([20, 100.0]))
    return ()


# -------------------------------------------------------------------- fuzzer ---

class Fuzzer(object):
    def __init__(self, seed, verbose=False):
        self.rng = random.Random(seed)
        self.verbose = verbose
        self.stats = dict(calls=0, ok=0, failed=0, refused=0, depth_checks=0,
                          per_stack_checks=0, reentrant_calls=0)
        self.errors = {}
        self.sites = set()  # (function, listing line) of every record seen
        self.violations = []

    def say(self, text):
        if self.verbose:
            sys.stderr.write(text + '\n')

    def restore(self, host_like=False):
        namespace = vars(Movra)
        namespace.clear()
        namespace.update(PRISTINE)
        if host_like:  # as a host has it: after initGL, either set-up of Viewport 4
            namespace['myQuadric'] = glfake.Quadric()
            namespace['viewport4Sol1'] = self.rng.random() < 0.5

    def mutate(self, quiet=False, reentrant=True):
        rng, namespace = self.rng, vars(Movra)
        kind = rng.random()
        if kind < 0.03:
            namespace.update(('fuzz%d' % i, i) for i in range(rng.randint(100, 3000)))
            what = 'grew the table'
        elif kind < 0.05:
            for key in [k for k in namespace if isinstance(k, str) and k.startswith('fuzz')]:
                del namespace[key]
            what = 'shrank the table'
        elif kind < 0.06:
            namespace[rng.choice([7, 2.5, (1, 2)])] = 'not a string key'
            what = 'added a non-string key'
        else:
            name = rng.choice(TARGETS)
            if rng.random() < 0.2:
                namespace.pop(name, None)
                what = 'deleted %s' % name
            else:
                value = make_value(rng, self if reentrant else None, callables=reentrant)
                namespace[name] = value
                what = '%s = %s' % (name, _show(value))
        if not quiet:
            self.say('  ' + what)

    def arguments(self, name):
        rng = self.rng
        roll = rng.random()
        if name in PARAMS:
            params = PARAMS[name]
            if roll < 0.45:
                return fitting_args(rng, name), {}, False
            if roll < 0.7:  # some by position, the rest by keyword, some wrong
                values = list(fitting_args(rng, name))
                k = rng.randint(0, len(params))
                kwargs = dict(zip(params[k:], values[k:]))
                if rng.random() < 0.5:
                    kwargs.pop(rng.choice(params), None)
                if rng.random() < 0.3:
                    kwargs[rng.choice(['x', params[0], u'far', 5, u'\u20ac'])] = 1
                return tuple(values[:k]), kwargs, False
            count = rng.randint(0, 6)
            return tuple(make_value(rng, self) for _ in range(count)), {}, False
        kind_ok = (0,) if name in NOARG else (1,)
        if roll < 0.1:
            count = rng.choice([c for c in range(4) if c not in kind_ok])
            return tuple(make_value(rng, self) for _ in range(count)), {}, True
        if roll < 0.15:
            args = fitting_args(rng, name)
            return args, {rng.choice(['x', 'angle_deg', 's']): 1}, True
        if name in ONEARG and roll < 0.6:
            return (make_value(rng, self),), {}, False
        return fitting_args(rng, name), {}, False

    def iteration(self):
        rng = self.rng
        if rng.random() < 0.4:
            self.restore(host_like=rng.random() < 0.8)
        if glfake.depth('modelview') > 20 or glfake.depth('projection') > 20 or rng.random() < 0.05:
            glfake.reset()
        for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
            self.mutate()
        name = rng.choice(FUNCTIONS)
        args, kwargs, refused = self.arguments(name)
        self.call(name, args, kwargs, refused)

    def call(self, name, args, kwargs, refused):
        rng = self.rng
        namespace = vars(Movra)
        # The recording GL's functions bound under names not their own.
        foreign = set(GL_FUNCTION_NAMES[id(v)] for k, v in namespace.items()
                      if id(v) in GL_FUNCTION_NAMES and GL_FUNCTION_NAMES[id(v)] != k)
        depth_checked = (namespace.get('glPushMatrix') is PRISTINE['glPushMatrix'] and
                         namespace.get('glPopMatrix') is PRISTINE['glPopMatrix'] and
                         not foreign & set(['glPushMatrix', 'glPopMatrix']))
        reentrant = foreign or any(isinstance(v, (ReEnter, Mutator)) or id(v) in PRISTINE_FUNCTION_IDS
                                   for k, v in namespace.items()
                                   if k not in PRISTINE_FUNCTION_NAMES or v is not PRISTINE.get(k))
        before = dict((m, glfake.depth(m)) for m in ('modelview', 'projection'))
        pushes_before = len(glfake.calls)
        self.say('call %s%s %s' % (name, _show(args), _show(kwargs) if kwargs else ''))
        limit = sys.getrecursionlimit()
        stdout = sys.stdout
        sink = StringIO.StringIO()
        roll = rng.random()
        error = tb = None
        self.stats['calls'] += 1
        self.stats['reentrant_calls'] += bool(reentrant)
        raise_on = glfake.raise_on
        if rng.random() < 0.15:
            glfake.raise_on = FailingCall(rng.randint(1, 160))
            self.say('  GL/helper call %d will fail' % glfake.raise_on.n)
        new_limit = _depth() + rng.choice([25, 60, 150, 400])
        new_stdout = (Hostile() if roll > 0.98 else
                      FlakyStream(rng.randint(1, 4)) if roll > 0.96 else sink)
        with warnings.catch_warnings():
            warnings.simplefilter('error' if roll < 0.05 else 'ignore')
            globals().pop('__warningregistry__', None)  # else an ignored warning stays ignored
            try:
                try:
                    sys.stdout = new_stdout
                    if roll > 0.99:
                        del sys.stdout
                    sys.setrecursionlimit(new_limit)
                    PRISTINE[name](*args, **kwargs)
                finally:
                    sys.stdout = stdout
                    sys.setrecursionlimit(limit)
                    glfake.raise_on = raise_on
                _pending()
            except Exception as exc:
                error, tb = exc, sys.exc_info()[2]
            except BaseException as exc:  # not an Exception: a fault
                self.violation(name, args, kwargs, 'raised %r' % (exc,))
                return
        pushes = sum(1 for n, _ in glfake.calls[pushes_before:] if n == 'glPushMatrix')
        after = dict((m, glfake.depth(m)) for m in before)
        delta = sum(after.values()) - sum(before.values())
        if error is None:
            self.stats['ok'] += 1
            if refused:
                self.violation(name, args, kwargs, 'the interpreter should have refused the call')
            if depth_checked:
                self.stats['depth_checks'] += 1
                if delta != 0:
                    self.violation(name, args, kwargs, 'succeeded with depth change %d' % delta)
                if not reentrant:
                    self.stats['per_stack_checks'] += 1
                    if after != before:
                        self.violation(name, args, kwargs, 'stacks %r -> %r' % (before, after))
            return
        self.stats['failed'] += 1
        kind = type(error).__name__
        self.errors[kind] = self.errors.get(kind, 0) + 1
        self.check_failure(name, args, kwargs, refused, error, tb)
        if depth_checked:
            self.stats['depth_checks'] += 1
            if not 0 <= delta <= pushes:
                self.violation(name, args, kwargs, 'failed with depth change %d after %d pushes'
                               % (delta, pushes))
        del tb

    def check_failure(self, name, args, kwargs, refused, error, tb):
        if isinstance(error, SystemError):
            return self.violation(name, args, kwargs, 'SystemError: %s' % (error,))
        frames = []
        while tb is not None:
            code = tb.tb_frame.f_code
            frames.append((code.co_filename, code.co_name, tb.tb_lineno))
            tb = tb.tb_next
        # The frames below this one: the called function's and everything it called.
        frames = frames[1:]
        records = [(i, n, line) for i, (f, n, line) in enumerate(frames) if f == 'Movra.py']
        if refused:
            self.stats['refused'] += 1
            if not isinstance(error, TypeError) or records:
                self.violation(name, args, kwargs, 'refused call gave %r with records %r'
                               % (error, records))
            return
        if not records or records[0][0] != 0:
            return self.violation(name, args, kwargs, '%r without a record of %s: %r'
                                  % (error, name, frames))
        if not records[0][1].startswith('Movra.%s (' % name) and records[0][1] != 'Movra.' + name:
            return self.violation(name, args, kwargs, 'outermost record %r' % (records[0],))
        for i, code_name, line in records:
            function = code_name.split(' (')[0][len('Movra.'):]
            self.sites.add((function, line))
            if function not in LAYOUT:
                return self.violation(name, args, kwargs, 'record of %r' % code_name)
            definition, statements, calling = LAYOUT[function]
            if line == definition and function in PARAMS and i == len(frames) - 1:
                continue  # a binding failure
            if line not in statements:
                return self.violation(name, args, kwargs, 'record %r at no statement' % (
                    frames[i],))
            if i < len(frames) - 1 and frames[i + 1][0] == 'Movra.py' and line not in calling:
                return self.violation(name, args, kwargs, 'record %r has a record below it but '
                                      'its statement calls nothing' % (frames[i],))

    def violation(self, name, args, kwargs, text):
        message = '%s%s%s: %s' % (name, _show(args), ' ' + _show(kwargs) if kwargs else '', text)
        self.violations.append(message)
        sys.stderr.write('VIOLATION ' + message + '\n')

    def run(self, iterations):
        try:
            for i in range(iterations):
                self.say('iteration %d' % i)
                self.iteration()
                if len(self.violations) >= 20:
                    break
        finally:
            self.restore()
            glfake.reset()
        return self.violations


PRISTINE_FUNCTION_IDS = set(id(PRISTINE[n]) for n in FUNCTIONS)
GL_FUNCTION_NAMES = dict((id(f), n) for table in (glfake.GL_FUNCS, glfake.GLU_FUNCS)
                         for n, f in table.items())
PRISTINE_FUNCTION_NAMES = set(FUNCTIONS)


_thread_state = ctypes.pythonapi.PyThreadState_Get
_thread_state.restype = ctypes.c_void_p


def _depth():
    """The interpreter's recursion depth (the int after three pointers at the
    start of the thread state)."""
    return ctypes.c_int.from_address(_thread_state() + 3 * ctypes.sizeof(ctypes.c_void_p)).value


def _show(value):
    try:
        text = repr(value)
    except Exception:
        text = '<%s with a failing repr>' % type(value).__name__
    return text if len(text) < 80 else text[:77] + '...'


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--iterations', type=int, default=int(os.environ.get('FUZZ_ITERATIONS', 20000)))
    parser.add_argument('--seed', type=int, default=int(os.environ.get('FUZZ_SEED', 20261207)))
    parser.add_argument('--verbose', action='store_true')
    options = parser.parse_args()
    fuzzer = Fuzzer(options.seed, options.verbose)
    violations = fuzzer.run(options.iterations)
    stats = fuzzer.stats
    print('fuzz: seed %d, %d calls: %d succeeded, %d failed (%d refused by the interpreter); '
          'depth checked after %d calls (per stack after %d); %d calls with callbacks into '
          'the module bound' % (options.seed, stats['calls'], stats['ok'], stats['failed'],
                                stats['refused'], stats['depth_checks'],
                                stats['per_stack_checks'], stats['reentrant_calls']))
    statements = sum(len(LAYOUT[f][1]) for f in FUNCTIONS)
    reached = len([s for s in fuzzer.sites if s[1] in LAYOUT[s[0]][1]])
    print('fuzz: records seen at %d of the %d statements of the module functions'
          % (reached, statements))
    print('fuzz: failures by type: ' + ', '.join('%s %d' % kv for kv in sorted(
        fuzzer.errors.items(), key=lambda kv: -kv[1])))
    print('fuzz: %d violations' % len(violations))
    return 1 if violations else 0


if __name__ == '__main__':
    sys.exit(main())
