"""Runtime services as the function bodies use them: global-name lookup,
calls, the truth test, int(), subscripts, printing, traceback records and
reference counting."""
import ctypes
import functools
import gc
import os
import re
import struct
import sys
import types

import numpy
import pytest

import glfake
import Movra
from compat import (CALL_SLOT_CHECKS_NULL_RESULT, DEBUG_INTERPRETER, PY2, SPARE_ARGUMENT_TUPLES,
                    clear_type_cache,
                    RecursionError,
                    builtins,
                    function_arity_message, long_int, none_stdout_print_error,
                    recursion_guard_message,
                    print_with_trailing_comma,
                    soft_space_after_print, soft_space_blank)
from conftest import ROOT, movra_records, run_python, traceback_records


@pytest.fixture
def quadric():
    """A quadric in myQuadric and an empty recorder, as after the host's initGL."""
    Movra.initGL()
    glfake.reset()


def failure(function, *args):
    with pytest.raises(Exception) as info:
        function(*args)
    return info


def outcome(function, *args):
    """(exception type, text) of a call, or None when it returns."""
    try:
        function(*args)
    except Exception as e:
        return type(e), str(e)


# ------------------------------------------------------------------- names ---

@pytest.mark.parametrize('name,function,args,records,calls', [
    ('sizeViewport', 'Viewport1', (), [('Movra.Viewport1', 137)], []),
    ('glViewport', 'Viewport2', (), [('Movra.Viewport2', 152)], []),
    ('GL_PROJECTION', 'Viewport1', (), [('Movra.Viewport1', 141)], ['glViewport']),
    ('np', 'projective', (1.0, 7.0), [('Movra.projective', 228)], []),
    ('tan', 'perspective', (60, 1, 0.01, 20), [('Movra.perspective', 246)], []),
])
def test_missing_global(name, function, args, records, calls):
    delattr(Movra, name)
    info = failure(getattr(Movra, function), *args)
    assert (info.type, str(info.value)) == (NameError, "name '%s' is not defined" % name)
    assert movra_records(info.tb) == records and glfake.names() == calls


def test_builtins_are_the_fallback(quadric, monkeypatch):
    for size, delete in ((200, False), (200, True), (210, True)):
        monkeypatch.setattr(builtins, 'sizeViewport', size, raising=False)
        if delete:
            vars(Movra).pop('sizeViewport', None)
        Movra.Viewport1()
    assert glfake.calls_of('glViewport') == [(0, 0, 350, 350), (0, 0, 200, 200), (0, 0, 210, 210)]


def test_rebinding_within_a_frame_is_seen(quadric):
    Movra.Viewport1 = lambda: setattr(Movra, 'sizeViewport', 7)
    Movra.drawMain()
    assert glfake.calls_of('glViewport') == [(7, 0, 7, 7), (0, 7, 7, 7), (7, 7, 7, 7)]


@pytest.mark.parametrize('change', [
    'Movra.sizeViewport = 150',
    'del Movra.sizeViewport; Movra.sizeViewport = 150',
    # the table grows and shrinks: every name moves to another slot
    'for i in range(2000): setattr(Movra, "x%d" % i, i)\n'
    'for i in range(2000): delattr(Movra, "x%d" % i)\n'
    'Movra.sizeViewport = 150',
    # keys other than exact strings change how the dictionary is searched, for good,
    # which is why these run in their own process
    'vars(Movra)[1] = "not a name"; Movra.sizeViewport = 150',
    'del Movra.sizeViewport; vars(Movra)[Str("sizeViewport")] = 150',
])
def test_lookups_follow_every_change_of_the_globals(change):
    rc, out, err = run_python('''
        import glfake, Movra
        class Str(str):
            pass
        Movra.initGL()
        Movra.drawMain()
        exec(%r)
        glfake.reset()
        Movra.drawMain()
        print(glfake.calls_of('glViewport'))
        ''' % change)
    assert (rc, err) == (0, '')
    assert out == '%r\n' % ([(0, 0, 150, 150), (150, 0, 150, 150), (0, 150, 150, 150),
                              (150, 150, 150, 150)],)


@pytest.mark.parametrize('change', [
    lambda g: g.update(sizeViewport=120),
    lambda g: g.__setitem__('sizeViewport', 120),
    lambda g: (g.pop('sizeViewport'), g.setdefault('sizeViewport', 120)),
    lambda g: g.update(dict(g, sizeViewport=120)),
    # and the table gains another name afterwards
    lambda g: (g.__setitem__('sizeViewport', 120), g.__setitem__('unrelated', 1)),
])
def test_frames_see_changes_made_through_the_dictionary(quadric, change):
    # every use site has just found sizeViewport; a change through the module's
    # dictionary itself, which no attribute assignment makes, is seen all the same
    Movra.drawMain()
    change(vars(Movra))
    glfake.reset()
    Movra.drawMain()
    assert set(glfake.calls_of('glViewport')) == {(0, 0, 120, 120), (120, 0, 120, 120),
                                                  (0, 120, 120, 120), (120, 120, 120, 120)}
    vars(Movra).pop('unrelated', None)


@pytest.mark.parametrize('near,far,centre', [(1, 7, -4.0), (1, 8, -4.5), (1.0, 7.0, -4.0)])
def test_division_is_true_division(quadric, near, far, centre):
    Movra.near, Movra.far = near, far
    Movra.Viewport2()
    assert glfake.typed(glfake.calls_of('gluLookAt')[0][3:6]) == glfake.typed((0.0, 0.0, centre))


# ----------------------------------------------------------------- records ---

def test_nested_records_in_calling_order(quadric):
    glfake.raise_on['drawColoredCube'] = ValueError('cube')
    info = failure(Movra.drawMain)
    assert str(info.value) == 'cube'
    records = traceback_records(info.tb)
    assert records[0][1] == __file__.rstrip('c')
    assert movra_records(info.tb) == [('Movra.drawMain', 290), ('Movra.Viewport1', 147),
                                      ('Movra.drawScene', 78)]
    assert [r[1] for r in records[1:4]] == ['Movra.py'] * 3
    # Then the recording stand-ins: the drawing helper and the package glfake.
    assert records[4:] and set(
        'glfake' if os.path.basename(os.path.dirname(r[1])) == 'glfake'
        else os.path.basename(r[1]).split('.')[0] for r in records[4:]) == {
        'KestDrawHelperFunctions', 'glfake'}
    # each record names the native statement that carries out its listing line
    for name, filename, line in records[1:4]:
        native_file, native_line = re.match(r'^Movra\.\w+ \((.+):(\d+)\)$', name).groups()
        with open(os.path.join(ROOT, native_file)) as native:
            source = native.read().splitlines()
        assert 'AT(%d)' % line in source[int(native_line) - 1]
    tb = info.tb.tb_next
    assert tb.tb_frame.f_globals is vars(Movra)
    assert tb.tb_frame.f_code.co_firstlineno == tb.tb_lineno == 290
    assert glfake.depth('modelview') == 2  # the failure left the pushed matrix


def test_record_code_objects_are_cached_per_site():
    del Movra.sizeViewport
    codes = [failure(function).tb.tb_next.tb_frame.f_code
             for function in (Movra.Viewport1, Movra.Viewport1, Movra.Viewport2, Movra.Viewport2)]
    assert codes[0] is codes[1] and codes[2] is codes[3] and codes[0] is not codes[2]
    # both statements sit on the same line of their own native files
    assert re.match(r'Movra\.Viewport1 \(.*viewport1\.cpp:\d+\)$', codes[0].co_name)
    assert re.match(r'Movra\.Viewport2 \(.*viewport2\.cpp:\d+\)$', codes[2].co_name)
    assert (codes[0].co_argcount, codes[0].co_nlocals, codes[0].co_varnames,
            codes[0].co_code, codes[0].co_consts) == empty_code_fields(codes[0])


def empty_code_fields(code):
    """The fields of a record's code object: on 2.7 empty throughout; on 3.x
    those of the interpreter's own empty code object of that name and line."""
    if PY2:
        return (0, 0, (), '', ())
    new_empty = ctypes.pythonapi.PyCode_NewEmpty
    new_empty.restype = ctypes.py_object
    new_empty.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
    own = new_empty(b'Movra.py', code.co_name.encode(), code.co_firstlineno)
    return (own.co_argcount, own.co_nlocals, own.co_varnames, own.co_code, own.co_consts)


# ------------------------------------------------------------------- calls ---

class Recorder(object):
    def method(self, *args):
        vars(self).setdefault('seen', (self,) + args)  # the first call


@pytest.mark.parametrize('name,function,args', [
    ('Viewport1', 'drawMain', ()),                     # no arguments
    ('glMatrixMode', 'Viewport1', (0x1701,)),          # one argument
    ('glViewport', 'Viewport1', (0, 0, 350, 350)),     # several
    ('glClearColor', 'initGL', (0.0, 0.0, 0.0, 1.0)),  # a literal argument list
])
def test_bound_method_gets_its_instance_first(quadric, name, function, args):
    recorder = Recorder()
    setattr(Movra, name, recorder.method)
    getattr(Movra, function)()
    assert recorder.seen[0] is recorder
    assert glfake.typed(recorder.seen[1:]) == glfake.typed(args)


class MethodDef(ctypes.Structure):
    _fields_ = [('name', ctypes.c_char_p), ('meth', ctypes.c_void_p), ('flags', ctypes.c_int),
                ('doc', ctypes.c_char_p)]


# Built-in functions whose native code returns NULL without setting an error.
_silent_code = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)(
    lambda self, args: None)
_new_builtin = ctypes.pythonapi.PyCFunction_NewEx
_new_builtin.restype = ctypes.py_object
_new_builtin.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.py_object]
_SILENT = dict((flags, MethodDef(b'silent', ctypes.cast(_silent_code, ctypes.c_void_p), flags,
                                 None)) for flags in (1, 3, 4, 8))


def silent(flags):
    return _new_builtin(ctypes.addressof(_SILENT[flags]), None, None)


NULL_RESULT = (SystemError, 'NULL result without error in PyObject_Call')


def null_result(flags):
    """What calling the silent built-in of these flags raises: the module's
    check, or where the callee's call slot checks first, its own text (a
    debug interpreter ends the process there instead: None)."""
    if not CALL_SLOT_CHECKS_NULL_RESULT or flags in (4, 8):
        return NULL_RESULT
    if DEBUG_INTERPRETER:
        return None
    return outcome(silent(flags), *([0] * (flags != 4)))


def numpy_store_error(value):
    """What numpy says when `value` is stored into a float array."""
    return outcome(numpy.zeros(1).__setitem__, 0, value)


@pytest.mark.parametrize('name,callable_,function,error,records', [
    ('drawScene', types.MethodType(Movra.scale, 'ab'), 'Viewport1', numpy_store_error('a'),
     [('Movra.Viewport1', 147), ('Movra.scale', 221)]),
    ('Viewport1', types.MethodType(Movra.drawMain, 5), 'drawMain',
     (TypeError, function_arity_message('none', 'drawMain', 1)), [('Movra.drawMain', 290)]),
    ('glMatrixMode', types.MethodType(Movra.rotateX, 5), 'Viewport1',
     (TypeError, function_arity_message('one', 'rotateX', 2)), [('Movra.Viewport1', 141)]),
    # an unbound method on 2.7, a function missing its argument on 3.x
    ('Viewport1', Recorder.method, 'drawMain', outcome(Recorder.method),
     [('Movra.drawMain', 290)]),
    ('Viewport1', 5, 'drawMain', (TypeError, "'int' object is not callable"),
     [('Movra.drawMain', 290)]),
    # a result without an error, on each way of calling
    ('Viewport1', silent(4), 'drawMain', null_result(4), [('Movra.drawMain', 290)]),
    ('glMatrixMode', silent(8), 'Viewport1', null_result(8), [('Movra.Viewport1', 141)]),
    ('glViewport', silent(1), 'Viewport1', null_result(1), [('Movra.Viewport1', 137)]),
    ('glViewport', silent(3), 'Viewport1', null_result(3), [('Movra.Viewport1', 137)]),
    ('glClearColor', silent(1), 'initGL', null_result(1), [('Movra.initGL', 64)]),
])
def test_calls_fail_as_when_python_calls(quadric, name, callable_, function, error, records):
    if error is None:
        pytest.skip('a debug interpreter ends the process on a NULL result without an error')
    setattr(Movra, name, callable_)
    info = failure(getattr(Movra, function))
    assert (info.type, str(info.value)) == error
    assert movra_records(info.tb) == records


# A built-in function that keeps its very argument tuple, as a C function may.
KEPT = []
_keep_code = ctypes.CFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.py_object)(
    lambda self, args: KEPT.append(args))
_KEEP = MethodDef(b'keep', ctypes.cast(_keep_code, ctypes.c_void_p), 1, None)


@pytest.mark.parametrize('name,function', [('glViewport', 'Viewport1'),
                                           ('gluLookAt', 'Viewport1'),
                                           ('glRotatef', 'drawScene'),
                                           ('gluSphere', 'drawScene')])
def test_an_argument_tuple_the_callee_keeps(quadric, name, function):
    getattr(Movra, function)()
    args = glfake.calls_of(name)
    setattr(Movra, name, _new_builtin(ctypes.addressof(_KEEP), None, None))
    del KEPT[:]
    for _ in range(3):
        getattr(Movra, function)()
    assert [glfake.typed(a) for a in KEPT] == [glfake.typed(a) for a in args * 3]
    assert len(set(map(id, KEPT))) == len(KEPT)  # no later call reused a kept tuple
    # an ordinary tuple from then on: seen by the collector, held by the list alone
    assert all(gc.is_tracked(a) for a in KEPT) or not SPARE_ARGUMENT_TUPLES
    assert [sys.getrefcount(KEPT[i]) for i in range(len(KEPT))] == [2] * len(KEPT)
    del KEPT[:]


def python_headroom():
    """How many Python calls deep this point can still go."""
    def dig(level):
        try:
            return dig(level + 1)
        except RecursionError:
            return level
    return dig(0)


def recursing_frame(make):
    """drawMain with Viewport1 calling back into it (make() gives the callee),
    and built-ins in place of the two GL calls, so that only the module's
    calls recurse: the exception, and the number of module records."""
    saved = dict((n, getattr(Movra, n)) for n in ('glClearColor', 'glClear', 'Viewport1'))
    Movra.glClearColor, Movra.glClear = struct.Struct('4d').pack, id
    Movra.Viewport1 = make()
    try:
        info = failure(Movra.drawMain)
    finally:
        for name, value in saved.items():
            setattr(Movra, name, value)
    return info, movra_records(info.tb)


def guard_headroom():
    """How many levels deep the module's calls can nest from here: a guard
    left entered by some call would leave fewer."""
    return len(recursing_frame(lambda: Movra.drawMain)[1])


@pytest.mark.parametrize('make', [lambda: Movra.drawMain,
                                  lambda: functools.partial(Movra.drawMain)])
def test_recursion_limit(quadric, make):
    limit, headroom = sys.getrecursionlimit(), python_headroom()
    sys.setrecursionlimit(limit - headroom + 100)  # about 100 levels from here
    try:
        before = guard_headroom()
        info, records = recursing_frame(make)
        after = guard_headroom()
    finally:
        sys.setrecursionlimit(limit)
    assert info.type is RecursionError and recursion_guard_message(str(info.value))
    # the guard trips at whichever call reaches the limit first: the innermost level's
    # glClearColor or the call of its Viewport1
    assert len(records) > 20 and set(records[:-1]) == {('Movra.drawMain', 290)}
    assert records[-1] in (('Movra.drawMain', 288), ('Movra.drawMain', 290))
    assert after == before and python_headroom() == headroom  # every level left the guard


# ------------------------------------------------------- truth and int() ---

class Truth(object):
    def __init__(self, value):
        self.value, self.asked = value, 0

    def __nonzero__(self):
        self.asked += 1
        if isinstance(self.value, Exception):
            raise self.value
        return self.value

    __bool__ = __nonzero__


@pytest.mark.parametrize('value,branch', [
    (True, 'gluPerspective'), (False, 'glMultMatrixd'), (None, 'glMultMatrixd'),
    (0, 'glMultMatrixd'), (2, 'gluPerspective'), ('', 'glMultMatrixd'), ('x', 'gluPerspective'),
    ([], 'glMultMatrixd'), ([0], 'gluPerspective'), (numpy.float64(0.0), 'glMultMatrixd'),
    (Truth(True), 'gluPerspective'), (Truth(False), 'glMultMatrixd'),
    (Truth(ZeroDivisionError('undecided')), None),
])
def test_truth_of_viewport4Sol1(quadric, value, branch):
    Movra.viewport4Sol1 = value
    if branch is None:
        info = failure(Movra.Viewport4)
        assert (info.type, str(info.value)) == (ZeroDivisionError, 'undecided')
        assert movra_records(info.tb) == [('Movra.Viewport4', 256)]
        assert glfake.names() == ['glViewport']
    else:
        Movra.Viewport4()
        assert glfake.names()[3] == branch
    assert getattr(value, 'asked', 1) == 1


class Number(object):
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


@pytest.mark.parametrize('size', [
    350.9, -0.5, long_int(350), '12', 1e12, numpy.float32(20.7), Number(33), Number(long_int(9)),
    'abc', None, [350], Number(ValueError('no int')), Number('text')])
def test_int_conversion_of_sizeViewport(quadric, size):
    Movra.sizeViewport = size
    expected = outcome(int, size)
    if expected:
        info = failure(Movra.Viewport1)
        assert (info.type, str(info.value)) == expected
        assert movra_records(info.tb) == [('Movra.Viewport1', 137)] and glfake.calls == []
    else:
        Movra.Viewport1()
        assert glfake.typed_calls('glViewport') == [
            ('glViewport', glfake.typed((0, 0, int(size), int(size))))]


class Doubling(list):
    def __getitem__(self, index):
        return 2 * list.__getitem__(self, index)


@pytest.mark.parametrize('position,line', [
    ((1, 2, 3), None), ([1.5, 2, 3], None), (Doubling([1, 2, 3]), None),
    ({0: 4, 1: 5, 2: 6}, None), (numpy.array([1.0, 2.0, 3.0]), None),
    ([1, 2], 115), ((), 112), ([7], 112)])
def test_item_reads_as_python_reads_them(quadric, position, line):
    Movra.movingCameraPos = position
    if line:
        info = failure(Movra.drawMovingCamera)
        assert (info.type, str(info.value)) == (
            IndexError, '%s index out of range' % type(position).__name__)
        assert movra_records(info.tb) == [('Movra.drawMovingCamera', line)]
    else:
        Movra.drawMovingCamera()
        assert glfake.typed_calls('glTranslatef')[0] == (
            'glTranslatef', glfake.typed((position[0], position[1], position[2])))


# ---------------------------------------------------------------- printing ---

class Stream(object):
    def __init__(self, softspace=0, fail_on=None):
        self.softspace, self.fail_on, self.writes = softspace, fail_on, []

    def write(self, text):
        if self.fail_on and text.startswith(self.fail_on):
            raise IOError('disk full')
        self.writes.append(text)


class BareStream(object):
    """No soft-space attribute, and none can be set."""
    __slots__ = ('writes',)

    def write(self, text):
        self.writes.append(text)


@pytest.mark.parametrize('stream,flag', [(Stream(1), 1), (Stream(0), 0), (BareStream(), None)])
def test_print_rule(monkeypatch, stream, flag):
    stream.writes = []
    monkeypatch.setattr(sys, 'stdout', stream)
    mv, pj = Movra.getGL_MODELVIEW_PROJ()
    assert stream.writes == [x for x in (soft_space_blank(flag), str(('GL_MODELVIEW ', mv)), '\n',
                                         str(('GL_PROJECTION ', pj)), '\n') if x]
    assert getattr(stream, 'softspace', None) == soft_space_after_print(flag)


def test_print_to_a_file(monkeypatch, tmpdir):
    with open(str(tmpdir.join('out')), 'w') as stream:
        print_with_trailing_comma(stream, 'before')
        monkeypatch.setattr(sys, 'stdout', stream)
        mv, pj = Movra.getGL_MODELVIEW_PROJ()
        monkeypatch.undo()
    assert tmpdir.join('out').read() == 'before %s\n%s\n' % (str(('GL_MODELVIEW ', mv)),
                                                           str(('GL_PROJECTION ', pj)))


DELETED = object()


@pytest.mark.parametrize('stdout,error,line,reads', [
    (DELETED, (RuntimeError, 'lost sys.stdout'), 47, 1),
    (Stream(0, "('GL_MODELVIEW"), (IOError, 'disk full'), 47, 1),
    (Stream(0, "('GL_PROJECTION"), (IOError, 'disk full'), 49, 2),
] + ([(None, none_stdout_print_error(), 47, 1)] if none_stdout_print_error() else []))
def test_failing_print(monkeypatch, stdout, error, line, reads):
    monkeypatch.setattr(sys, 'stdout', stdout)
    if stdout is DELETED:
        monkeypatch.delattr(sys, 'stdout')
    info = failure(Movra.getGL_MODELVIEW_PROJ)
    monkeypatch.undo()
    assert (info.type, str(info.value)) == error
    assert movra_records(info.tb) == [('Movra.getGL_MODELVIEW_PROJ', line)]
    assert len(glfake.calls_of('glGetDoublev')) == reads


@pytest.mark.skipif(none_stdout_print_error() is not None,
                    reason='Python 2 prints to None as to any stream, and fails')
def test_print_to_none_writes_nothing(monkeypatch):
    # Python 3's print() with sys.stdout None returns without writing; the
    # read-back then returns its matrices as after any print.
    expected = Movra.getGL_MODELVIEW_PROJ()
    glfake.reset()
    monkeypatch.setattr(sys, 'stdout', None)
    mv, pj = Movra.getGL_MODELVIEW_PROJ()
    monkeypatch.undo()
    assert (mv.tolist(), pj.tolist()) == (expected[0].tolist(), expected[1].tolist())
    assert len(glfake.calls_of('glGetDoublev')) == 2


# ------------------------------------------------------ reference counting ---

def counts(watched):
    gc.collect()
    clear_type_cache()  # its entries hold references to the names they cache
    return [sys.getrefcount(o) for o in watched] + [len(gc.get_objects()), python_headroom()]


@pytest.mark.parametrize('prepare,function,args,kwargs', [
    ('', 'drawMain', (), {}),
    ('', 'initGL', (), {}),
    ('del Movra.sizeViewport', 'Viewport1', (), {}),
    ('del Movra.Viewport4', 'drawMain', (), {}),
    ('Movra.sizeViewport = 350.9', 'drawMain', (), {}),
    ('Movra.draw3DCoordinateAxes = None', 'drawMain', (), {}),
    ('', 'projective', (1.0,), {}),
    ('', 'projective', (1.0, 7.0), {'near': 1.0}),
    ('', 'projective', (1.0,), {'far': 7.0, 'x': 1}),
    ('', 'perspective', (), {'fovy': 60, 'aspect': 1, 'near': 0.01, 'far': 20}),
    ('sys.stdout = Stream()', 'getGL_MODELVIEW_PROJ', (), {}),
])
@pytest.mark.filterwarnings('ignore::PendingDeprecationWarning')  # numpy.matrix, not recorded
def test_repeated_calls_keep_counts_flat(monkeypatch, prepare, function, args, kwargs):
    Movra.initGL()
    glfake.reset()
    Movra.drawMain()
    constants = [glfake.calls_of('glClearColor')[0][0], glfake.calls_of('glViewport')[0][2],
                 glfake.calls_of('glOrtho')[0][5], glfake.calls_of('gluPerspective')[0][2]]
    watched = constants + [Movra.near, Movra.far, vars(Movra), Movra.drawMain, Movra.Viewport1,
                           Movra.projective, Movra.myQuadric, 'sizeViewport', 'glViewport',
                           'Viewport4', 'near', 'far', 'projective', 'draw3DCoordinateAxes']
    monkeypatch.setattr(sys, 'stdout', sys.stdout)
    exec(prepare, {'Movra': Movra, 'sys': sys, 'Stream': Stream})
    call = getattr(Movra, function)

    def action():
        glfake.reset()
        try:
            call(*args, **kwargs)
        except Exception:
            pass
        glfake.reset()  # the recorder keeps no argument of the last call

    for _ in range(20):
        action()  # lazily made objects and the records' code objects exist from here on
    before = counts(watched)
    before = counts(watched)  # measured, like the end, with one result list alive
    for _ in range(1000):
        action()
    assert counts(watched) == before
