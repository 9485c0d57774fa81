"""The compiled module against its Python listing, run side by side.

The listing is loaded as the plain module MovraListing; both import the same
recording GL and drawing helpers.  For each case the same globals are set in
both, the same function is run on each with a fresh recorder, and everything
observable is compared: the recorded calls with exact argument types (numpy
arrays bit for bit), the result, printed text, warnings, the globals and the
simulated GL state left behind, and for a failure the exception type, its
text and the listing lines that its traceback names.
"""
import sys
import warnings

import numpy as np
import pytest

import glfake
import Movra
from compat import CALLEE_SEES_NON_STRING_KEYWORDS, StringIO, load_source, raised
from conftest import LISTING, PRISTINE, listing, movra_records, traceback_records

_write = sys.dont_write_bytecode
sys.dont_write_bytecode = True  # no Movra.pyc next to the listing
try:
    L = load_source('MovraListing', LISTING)
finally:
    sys.dont_write_bytecode = _write
L_PRISTINE = dict(vars(L))
BOTH = (Movra, L)

NOARG = listing.NO_ARGUMENTS
FUNCTIONS = NOARG + listing.BUILDERS
FITTING = listing.FITTING
GLOBALS = listing.GLOBALS
QUADRIC = glfake.Quadric()


@pytest.fixture(autouse=True)
def listing_state():
    """The listing's globals as loading left them, around every test."""
    for namespace in (vars(L),):
        namespace.clear()
        namespace.update(L_PRISTINE)
    yield
    vars(L).clear()
    vars(L).update(L_PRISTINE)


# --------------------------------------------------------------- observing ---

def norm(value):
    """A comparable, exact image of a value: arrays by type, dtype, shape and
    bytes, containers item by item, everything else by type and repr."""
    if isinstance(value, np.ndarray):
        data = (tuple(norm(v) for v in value.flat) if value.dtype == object
                else value.tobytes())
        return (type(value).__name__, value.dtype.str, value.shape, data)
    if type(value) in (list, tuple):
        return (type(value).__name__, tuple(norm(v) for v in value))
    if isinstance(value, glfake.Quadric):  # a fresh one has a fresh number
        return ('Quadric', value.deleted)
    return (type(value).__name__, repr(value))


def module_state(module):
    return dict((name, norm(vars(module)[name])) for name in GLOBALS if name in vars(module))


def gl_state():
    s = glfake.state
    return (s.matrix_mode, s.viewport, s.clears, s.clear_color, s.clear_depth,
            sorted(s.enabled), s.front_face, s.depth_func,
            sorted((mode, [m.tobytes() for m in stack]) for mode, stack in s.stacks.items()))


def records(module, tb):
    """(traceback name, listing line) of the module's own frames, oldest first."""
    if module is Movra:
        return movra_records(tb)
    return [('Movra.' + name, line) for name, filename, line in traceback_records(tb)
            if filename == LISTING]


def run(module, name, args=(), kwargs=None, setup=None):
    """Runs module.name(*args, **kwargs) on a fresh recorder; returns all it did."""
    glfake.reset()
    if setup is not None:
        setup()
    out, saved = StringIO(), sys.stdout
    outcome = {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter('always')
        sys.stdout = out
        try:
            function = (PRISTINE if module is Movra else L_PRISTINE)[name]
            outcome['result'] = norm(function(*args, **(kwargs or {})))
        except Exception as exc:
            text = str(exc)
            if module is L and type(exc) is NameError and text.startswith('global name '):
                # The interpreter words a function's missing global "global
                # name ..."; the compiled lookup raises "name ... is not defined".
                text = text[len('global '):]
            outcome['error'] = (type(exc), text)
            outcome['records'] = records(module, sys.exc_info()[2])
        finally:
            sys.stdout = saved
    outcome['calls'] = [(n, tuple(norm(a) for a in call)) for n, call in glfake.calls]
    outcome['printed'] = out.getvalue()
    outcome['warnings'] = [(w.category, str(w.message)) for w in caught]
    outcome['globals'] = module_state(module)
    outcome['gl'] = gl_state()
    return outcome


def assert_same(name, args=(), kwargs=None, setup=None):
    compiled = run(Movra, name, args, kwargs, setup)
    listing = run(L, name, args, kwargs, setup)
    for key in sorted(set(compiled) | set(listing)):
        assert compiled.get(key) == listing.get(key), '%s(%r): %s differs' % (name, args, key)
    return compiled


def set_both(**values):
    for module in BOTH:
        for key, value in values.items():
            setattr(module, key, value)


# ------------------------------------------------------------------ states ---

f32, f64, i32, i64 = np.float32, np.float64, np.int32, np.int64
POSE_FRUSTUM = {
    'ints': dict(eyeX=1, eyeY=-2, eyeZ=3, pan=30, tilt=-15, left=-1, right=2, bottom=-1,
                 top=1, near=1, far=10),
    'floats': dict(eyeX=0.5, eyeY=-1.25, eyeZ=2.0, pan=12.5, tilt=7.25, left=-0.75,
                   right=0.5, bottom=-0.4, top=0.6, near=0.5, far=9.5),
    'numpy': dict(eyeX=f64(0.25), eyeY=f32(-1.5), eyeZ=i64(2), pan=f32(33.3), tilt=i32(-20),
                  left=f32(-0.5), right=f64(0.7), bottom=i32(-1), top=f64(0.3),
                  near=f32(0.75), far=i64(12)),
}
STATES = [
    ('defaults', 0, {}),
    ('tick1', 1, {}),
    ('tick90', 90, {}),
    ('tick361', 361, {}),
    ('tick90-own-matrices', 90, dict(viewport4Sol1=False)),
    ('own-matrices', 0, dict(viewport4Sol1=False)),
    ('sol-as-int0', 0, dict(viewport4Sol1=0)),
    ('sol-as-list', 3, dict(viewport4Sol1=[0])),
    ('size-float', 0, dict(sizeViewport=350.0)),
    ('size-float-fraction', 5, dict(sizeViewport=249.75, viewport4Sol1=False)),
    ('size-numpy', 0, dict(sizeViewport=f64(300.5))),
    ('orbit-floats', 7, dict(movingCameraRadius=4.5, movingCameraHeight=-1.25)),
    ('orbit-numpy', 7, dict(movingCameraRadius=f32(4.5), movingCameraHeight=i64(2),
                            viewport4Sol1=False)),
    ('pos-tuple', 0, dict(movingCameraPos=(1, 2.5, f64(-3)), viewport4Sol1=False)),
] + [('%s%s' % (kind, '-own-matrices' if not sol else ''), 12,
      dict(POSE_FRUSTUM[kind], viewport4Sol1=sol))
     for kind in sorted(POSE_FRUSTUM) for sol in (True, False)]


def prepare(ticks, values):
    set_both(**dict(dict(myQuadric=QUADRIC), **values))
    for _ in range(ticks):
        for module in BOTH:
            module.updateAnimationVariables()
    assert module_state(Movra) == module_state(L)


@pytest.mark.parametrize('name', NOARG)
@pytest.mark.parametrize('ticks, values', [s[1:] for s in STATES], ids=[s[0] for s in STATES])
def test_functions_match_the_listing(name, ticks, values):
    prepare(ticks, values)
    outcome = assert_same(name)
    assert 'error' not in outcome, outcome['error']


def test_default_quadric_fails_alike():
    """Before initGL the quadric is the integer 0, which gluSphere rejects."""
    outcome = assert_same('drawMain')
    assert outcome['error'][0].__name__ == 'ArgumentError'
    assert outcome['records'] == [('Movra.drawMain', 290), ('Movra.Viewport1', 147),
                                  ('Movra.drawScene', 82)]


def test_initialisation_binds_the_same_names():
    # What the import system sets besides (Python 3 adds __loader__, __spec__
    # and, for a source file, __cached__).
    ignored = set(['division', '__file__', '__doc__', '__name__', '__package__',
                   '__builtins__', '__loader__', '__spec__', '__cached__'])
    compiled = set(PRISTINE) - ignored
    assert compiled == set(L_PRISTINE) - ignored
    for name in compiled - set(FUNCTIONS):
        assert norm(PRISTINE[name]) == norm(L_PRISTINE[name]), name


# ---------------------------------------------------------------- builders ---

nan, inf = float('nan'), float('inf')
ANGLES = [0, 1, -1, 30, 45.0, 90, 180, 270.5, 360, -720, 1e6, 1e-300, 2 ** 70, True,
          f32(33.3), f64(12.5), i32(7), i64(-720), nan, inf, -inf, np.array(30.0),
          np.array([0.0, 90.0]), None, '30', [30]]
VECTORS = [[1, 2, 3], [0.5, -1.5, 2.25], (1, 2, 3), np.array([1, 2, 3]),
           np.array([1.5, 2, 3], dtype=f32), [f32(1.1), i32(2), 3], [2 ** 62, 0, 0],
           [nan, inf, -inf], [True, False, 1], [1, 2, 3, 4], [1, 2], [], 5, 2.5, 'abc',
           ['1', '2', '3'], {0: 1, 1: 2, 2: 3}, None, [[1], [2], [3]], np.eye(3)[0],
           np.array([[1.0, 2.0, 3.0]]).view(np.matrix), [2 ** 1100, 0, 0]]
NEAR_FAR = [(1.0, 7.0), (1, 7), (0.5, 100), (f32(1.5), 2), (f64(0.1), i64(3)), (0, 0),
            (-1, 1), (nan, 1), (inf, -inf), (2 ** 40, 2 ** 40), (2 ** 600, 1), (1, 2 ** 1100),
            ('a', 1), (None, 1), ([1], 2), (np.array([1.0, 2.0]), 3)]
PERSPECTIVE = [(60, 1, 0.01, 20), (60.0, 1.5, 0.1, 100.0), (90, 4 / 3.0, 1, 10),
               (f32(45), f64(1.0), 0.5, 50), (1, 1, 1, 2), (179, 2, 0.001, 1000),
               (0, 1, 1, 10), (60, 1, 5, 5), (60, 0, 1, 10), (nan, 1, 1, 2), (180, 1, 1, 2),
               (i32(30), i64(2), i32(1), i64(4)), (60, 1, -1, 1), ('60', 1, 1, 2),
               (60, None, 1, 2), (2 ** 1100, 1, 1, 2)]
BUILDER_CASES = ([('rotateX', (a,)) for a in ANGLES] + [('rotateY', (a,)) for a in ANGLES] +
                 [('translate', (v,)) for v in VECTORS] + [('scale', (v,)) for v in VECTORS] +
                 [('projective', nf) for nf in NEAR_FAR] +
                 [('perspective', p) for p in PERSPECTIVE])


@pytest.mark.parametrize('name, args', BUILDER_CASES,
                         ids=['%s-%d' % (c[0], i) for i, c in enumerate(BUILDER_CASES)])
def test_builders_match_the_listing(name, args):
    assert_same(name, args)


@pytest.mark.parametrize('name, args, kwargs', [
    ('projective', (), dict(near=1.0, far=7.0)),
    ('projective', (1.0,), dict(far=7.0)),
    ('projective', (0.5, 9), {}),
    ('projective', (), {u'far': 3, u'near': 2}),
    ('perspective', (), dict(fovy=60, aspect=1, near=0.01, far=20)),
    ('perspective', (45, 2.0), dict(far=50, near=0.5)),
])
def test_keyword_calls_match_the_listing(name, args, kwargs):
    assert 'result' in assert_same(name, args, kwargs)


def plain_function(name):
    """A plain Python function with the parameters of the listing's `name`
    and a body that must not run: what the interpreter says when binding its
    arguments fails is what it says of the listing's function."""
    code = getattr(L, name).__code__
    namespace = {}
    exec('def %s(%s):\n    raise AssertionError("bound")\n'
         % (name, ', '.join(code.co_varnames[:code.co_argcount])), namespace)
    return namespace[name]


def binding_error(name, args, kwargs):
    """(type, text) of the interpreter's refusal of these arguments for the
    listing's function `name`."""
    return raised(lambda: plain_function(name)(*args, **kwargs))


# A keyword name that is not a string reaches the compiled function on 2.7
# and 3.8, which refuses it in its own words at the definition line; from 3.9
# on the interpreter refuses it before any function runs, in its own words,
# as it does for the listing, and the module adds no record.
NON_STRING_KEYWORD = ((1.0,), {'far': 7.0, 5: 1})
NON_STRING_REFUSAL = (('projective() keywords must be strings', [('Movra.projective', 227)])
                      if CALLEE_SEES_NON_STRING_KEYWORDS else
                      (binding_error('projective', *NON_STRING_KEYWORD)[1], []))


@pytest.mark.parametrize('name, args, kwargs, message, records', [
    ('projective', (1.0, 7.0), dict(near=1.0),
     "projective() got multiple values for keyword argument 'near'", [('Movra.projective', 227)]),
    ('projective', (1.0,), dict(far=7.0, x=1),
     "projective() got an unexpected keyword argument 'x'", [('Movra.projective', 227)]),
    ('perspective', (60, 1, 1, 2), dict(aspect=1),
     "perspective() got multiple values for keyword argument 'aspect'",
     [('Movra.perspective', 237)]),
    ('projective',) + NON_STRING_KEYWORD + NON_STRING_REFUSAL,
])
def test_keyword_errors_match_the_listing(name, args, kwargs, message, records):
    """The listing's interpreter raises these before the body runs, in the
    words it has for any Python function of those parameters, and adds no
    frame of the body; the compiled module raises them in its own words and
    records the definition line (unless, for a keyword name that is not a
    string, the interpreter refused the call before the module ran)."""
    compiled, listing = run(Movra, name, args, kwargs), run(L, name, args, kwargs)
    assert compiled['error'] == (TypeError, message)
    assert listing['error'] == binding_error(name, args, kwargs)
    assert listing['records'] == [] and compiled['calls'] == listing['calls'] == []
    assert compiled['records'] == records


@pytest.mark.parametrize('name, args, kwargs, count', [
    ('projective', (1.0,), {}, 1),
    ('projective', (), dict(near=1.0), 1),
    ('projective', (), dict(far=7.0), 0),
    ('projective', (), {}, 0),
    ('projective', (1, 2, 3), {}, 3),
    ('perspective', (60,), dict(near=1, far=2), 1),
    ('perspective', (60, 1, 1, 2, 3), dict(), 5),
])
def test_arity_errors_differ_from_the_listing_only_in_wording(name, args, kwargs, count):
    """The interpreter words a Python function's arity error its own way
    ("takes exactly N arguments (K given)" on 2.7, K counting every bound
    parameter; "missing ... argument" or "takes N positional arguments but
    K were given" on 3.x); the compiled functions say "positional arguments"
    and count the parameters bound before the first missing one."""
    compiled, listing = run(Movra, name, args, kwargs), run(L, name, args, kwargs)
    n = 2 if name == 'projective' else 4
    assert compiled['error'] == (TypeError, '%s() takes exactly %d positional arguments (%d given)'
                                 % (name, n, count))
    assert listing['error'] == binding_error(name, args, kwargs)
    assert listing['error'][0] is TypeError and listing['error'] != compiled['error']


# ---------------------------------------------------------------- failures ---

def names_read_by(name):
    """Globals that the listing's function reads, as its code object lists them."""
    return [n for n in getattr(L, name).__code__.co_names if n in PRISTINE]


READ = sorted(set(n for f in FUNCTIONS for n in names_read_by(f)))


@pytest.mark.parametrize('deleted', READ)
def test_deleted_global_fails_alike(deleted):
    failed = 0
    for name in FUNCTIONS:
        for sol in (True, False):
            prepare(0, dict(viewport4Sol1=sol))
            for module in BOTH:
                delattr(module, deleted)
            outcome = assert_same(name, FITTING.get(name, ()))
            if 'error' in outcome:
                assert outcome['error'] == (NameError, "name '%s' is not defined" % deleted)
                failed += 1
            for module, pristine in ((Movra, PRISTINE), (L, L_PRISTINE)):
                setattr(module, deleted, pristine[deleted])
    # Only the names that a function assigns before it reads them never fail.
    assert failed or deleted in ('myQuadric', 'movingCameraPos')


BAD_STATES = [
    dict(movingCameraPos=[1, 2]),
    dict(movingCameraPos=[]),
    dict(movingCameraPos=(1, 2)),
    dict(movingCameraPos=5),
    dict(movingCameraPos=None),
    dict(right=-0.5),
    dict(right=-0.5, viewport4Sol1=False),
    dict(top=-0.5),
    dict(far=1.0),
    dict(near=0),
    dict(near=-1.0, far=-1),
    dict(sizeViewport='350.5'),
    dict(sizeViewport=None),
    dict(sizeViewport=-1),
    dict(sizeViewport=nan),
    dict(sizeViewport=inf),
    dict(pan='30'),
    dict(tilt=None),
    dict(eyeX='x'),
    dict(eyeY=[1]),
    dict(movingCameraRadius=None, viewport4Sol1=False),
    dict(movingCameraRadius='r'),
    dict(movingCameraAngle=None),
    dict(movingCameraAngle='5', viewport4Sol1=False),
    dict(viewport4Sol1=np.array([True, False])),
    dict(left=None),
    dict(bottom='b'),
    dict(myQuadric=None),
    dict(GL_PROJECTION=12345),
    dict(GL_COLOR_BUFFER_BIT=1.5),
    dict(transpose=None),
    dict(np=None),
    dict(drawScene=5),
]


@pytest.mark.parametrize('values', BAD_STATES, ids=[repr(v)[:60] for v in BAD_STATES])
def test_hostile_globals_fail_alike(values):
    failed = 0
    for name in FUNCTIONS:
        prepare(0, values)
        failed += 'error' in assert_same(name, FITTING.get(name, ()))
    assert failed


def recorded_calls(name, values):
    prepare(0, values)
    return len(run(Movra, name, FITTING.get(name, ()))['calls'])


@pytest.mark.parametrize('name', FUNCTIONS)
@pytest.mark.parametrize('values', [{}, dict(viewport4Sol1=False)], ids=['glu', 'own'])
def test_failure_at_every_call_matches_the_listing(name, values, monkeypatch):
    """Each recorded GL, GLU and helper call in turn raises; the failures end
    the same statements and leave the same records and the same GL state."""
    total = recorded_calls(name, values)
    for n in range(1, total + 1):
        prepare(0, values)
        setup = lambda: monkeypatch.setattr(glfake, 'raise_on', glfake.FailingCall(n))
        outcome = assert_same(name, FITTING.get(name, ()), setup=setup)
        assert outcome['error'][0] is LookupError and len(outcome['calls']) == n


@pytest.mark.parametrize('name, args, error', [
    ('translate', ([1, 2],), ValueError),
    ('scale', ([2, 3],), IndexError),
    ('perspective', (60, 1, 5, 5), ZeroDivisionError),
    ('projective', ('a', 'b'), ValueError),
    ('projective', (None, [1]), TypeError),
])
def test_builder_failures_match_the_listing(name, args, error):
    outcome = assert_same(name, args)
    assert outcome['error'][0] is error and outcome['records'][0][0] == 'Movra.' + name


def _reinsert(namespace):
    value = namespace.pop('pan')
    namespace['pan'] = value + 1


def _grow(namespace):
    # Enough new names to make the dictionary move to a bigger table.
    namespace.update(('extra%d' % i, i) for i in range(3000))
    namespace['tilt'] = 4.5


def _shrink(namespace):
    _grow(namespace)
    for i in range(3000):
        del namespace['extra%d' % i]
    namespace.pop('near')
    namespace['near'] = 0.25


def _foreign_key(namespace):
    # A key that is not a string makes every lookup the general one.
    namespace[7] = 'seven'
    namespace['eyeX'] = -2


def _unequal_identity(namespace):
    # The same name as a different (not interned) string object.
    key = ''.join(['ey', 'eZ'])
    del namespace['eyeZ']
    namespace[key] = 1.5


def _shadow_builtin(namespace):
    namespace['int'] = float  # the compiled int() conversion does not look it up
    del namespace['int']


@pytest.mark.parametrize('change', [_reinsert, _grow, _shrink, _foreign_key, _unequal_identity,
                                    _shadow_builtin])
def test_globals_changed_between_frames_are_seen(change):
    """Each function runs, then the globals' table changes under it (entries
    move, the table is replaced, lookups turn general), then it runs again:
    what the second run reads must be what the globals hold now."""
    for name in NOARG:
        prepare(0, {})
        assert_same(name)
        for module in BOTH:
            change(vars(module))
        assert_same(name)
        vars(Movra).clear()
        vars(Movra).update(PRISTINE)
        vars(L).clear()
        vars(L).update(L_PRISTINE)


def keeper():
    """A callable that keeps the very argument tuple of every other call: an
    exception class, whose inherited initialiser stores the tuple it gets."""
    class Kept(Exception):
        kept, calls = [], [0]

        def __new__(cls, *args):
            self = Exception.__new__(cls)
            cls.calls[0] += 1
            if cls.calls[0] % 2:
                cls.kept.append(self)
            return self
    return Kept


def test_argument_tuples_a_callee_keeps_stay_intact():
    keepers = {}
    prepare(3, {})
    for module in BOTH:
        keepers[module] = dict((n, keeper()) for n in ('glRotatef', 'glTranslatef', 'gluLookAt',
                                                        'drawViewVolume', 'glMatrixMode'))
        vars(module).update(keepers[module])
        for _ in range(3):
            module.drawMain()
    for name, kept in keepers[Movra].items():
        compiled = [norm(k.args) for k in kept.kept]
        assert len(compiled) >= 3 and all(k.args for k in kept.kept)
        assert compiled == [norm(k.args) for k in keepers[L][name].kept], name


class NotAStringKey(object):
    """A key of the module globals that is not a string: it hashes as the
    global `name` and stands before it in the table, so that every lookup of
    `name` compares it; once armed, each comparison is logged, and raises
    if `raising`."""

    def __init__(self, name, log, raising):
        self.name, self.log, self.raising, self.armed = name, log, raising, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if not self.armed:
            return False
        self.log.append(other)
        if self.raising:
            raise KeyError('compared with %s' % other)
        return False

    def __ne__(self, other):
        return not self.__eq__(other)


@pytest.mark.parametrize('name,function', [
    ('near', 'Viewport4'), ('Viewport1', 'drawMain'), ('glViewport', 'Viewport1'),
    ('np', 'projective'), ('movingCameraAngle', 'updateAnimationVariables'),
    ('movingCameraAngle', 'drawScene'), ('drawMovingViewVolume', 'Viewport2'),
])
@pytest.mark.parametrize('raising', [True, False], ids=['raising', 'counting'])
def test_keys_that_are_not_strings_are_compared_as_by_the_listing(name, function, raising):
    # A lookup that a key's comparison fails fails at once with that error,
    # and while such a key is in the globals no use of a name skips its
    # lookup: each use compares the key, as the listing's lookups do. Run
    # twice, after a first run with plain globals (a cached name must not
    # outlive the key's arrival); a fresh listing, whose code has not run.
    listing = load_source('MovraListingKeys', LISTING)
    logs = {}
    outcomes = {}
    for module in (Movra, listing):
        vars(module)['myQuadric'] = QUADRIC
        module_function = getattr(module, function)
        module_function(*FITTING.get(function, ()))
        namespace = vars(module)
        log = logs[module] = []
        key = NotAStringKey(name, log, raising)
        value = namespace.pop(name)
        namespace[key] = 'not a string'
        namespace[name] = value
        key.armed = True
        seen = []
        try:
            for _ in range(2):
                glfake.reset()
                try:
                    seen.append(('result', norm(module_function(*FITTING.get(function, ())))))
                except Exception as exc:
                    seen.append(('error', type(exc), str(exc),
                                 records(Movra, sys.exc_info()[2]) if module is Movra else
                                 [('Movra.' + n, line) for n, f, line in
                                  traceback_records(sys.exc_info()[2])
                                  if f == listing.__file__]))
                seen.append(('calls', [(n, tuple(norm(a) for a in c)) for n, c in glfake.calls]))
        finally:
            key.armed = False
            del namespace[key]
        outcomes[module] = seen
    assert outcomes[Movra] == outcomes[listing]
    assert logs[Movra] == logs[listing] and len(logs[Movra]) >= 2
