"""The runtime where it once failed, each case run on the compiled module and
on its listing (src/Movra.py, loaded as the module Movra) in fresh
processes of this Python, and compared: code objects run as Python code,
the global-name lookup while other code changes, watches or unwatches the
globals, unbounded recursion on small thread stacks, import-star from a
hostile helper module, the shared function type's registry, and importing
again or reloading the module.

A case that once crashed the interpreter crashes only its own process, whose
exit status the test then reports."""
import ast
import os
import resource
import subprocess
import sys
import textwrap

import pytest

from compat import PY2
from conftest import FAKES, HERE, LISTING

# Every probe starts with this: M is the module under test, `result` reports
# one value on stderr (stdout is the module's).
HEAD = '''
import sys
KIND = %r
LISTING = %r
if KIND == 'none':
    M = None
elif KIND == 'listing':
    # The listing's folder first, so that an import or reload by name finds it.
    import os
    sys.path.insert(0, os.path.dirname(%r))
    sys.dont_write_bytecode = True
    from compat import load_source
    try:
        M = load_source('Movra', %r)
    except Exception as error:
        M = error
else:
    try:
        import Movra as M
    except Exception as error:
        M = error
import glfake

def result(value):
    sys.stderr.write('RESULT %%r\\n' %% (value,))

def run_exec(code, namespace):
    exec(code, namespace)

def failure(call):
    try:
        call()
    except Exception as error:
        return type(error).__name__, str(error)
    return None
'''


def run(kind, code, path=(), stack=None):
    """Runs the probe on `kind` ('compiled' or 'listing'): (exit status,
    reported value or None, stderr)."""
    environment = dict(os.environ)
    environment['PYTHONPATH'] = os.pathsep.join(list(path) + [FAKES])

    def limit_stack():
        if stack is not None:
            resource.setrlimit(resource.RLIMIT_STACK, (stack, resource.getrlimit(
                resource.RLIMIT_STACK)[1]))

    process = subprocess.Popen(
        [sys.executable, '-c', HEAD % (kind, LISTING, LISTING, LISTING) + textwrap.dedent(code)],
        env=environment, cwd=HERE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, preexec_fn=limit_stack)
    out, err = process.communicate()
    lines = [line for line in err.splitlines() if line.startswith('RESULT ')]
    value = ast.literal_eval(lines[-1][len('RESULT '):]) if lines else None
    return process.returncode, value, err


def both(code, path=(), stack=None):
    """The reported values of the compiled module and of the listing, each
    from a process that ended normally."""
    values = []
    for kind in ('compiled', 'listing'):
        status, value, err = run(kind, code, path, stack)
        assert status == 0 and value is not None, '%s: status %s\n%s' % (kind, status, err)
        values.append(value)
    return values


# ---------------------------------------------------------- code objects ---

CODE_OBJECTS = '''
import types
M.initGL()
glfake.reset()
out = []
run_exec(M.drawMain.__code__, vars(M))
out.append(('exec drawMain', glfake.names()))
glfake.reset()
out.append(('eval Viewport2', eval(M.Viewport2.__code__, vars(M)), glfake.names()))
wrapped = types.FunctionType(M.rotateX.__code__, vars(M))
out.append(('wrapped rotateX', wrapped(30).tolist(), wrapped.__name__))
keywords = types.FunctionType(M.perspective.__code__, vars(M))
out.append(('wrapped perspective', keywords(60, 1, near=0.01, far=20).tolist()))
out.append(('projective by keyword',
            types.FunctionType(M.projective.__code__, vars(M))(far=7.0, near=1.0).tolist()))
for name, call in [
        ('no argument', lambda: wrapped()),
        ('two arguments', lambda: wrapped(1, 2)),
        ('unknown keyword', lambda: keywords(60, 1, near=1, depth=2)),
        ('exec rotateX', lambda: run_exec(M.rotateX.__code__, vars(M))),
        ('eval projective', lambda: eval(M.projective.__code__, vars(M)))]:
    out.append((name, failure(call)))
result(out)
'''


def test_code_objects_run_as_the_listings_do():
    # Executing, evaluating or wrapping a function's code object does what
    # the listing's does: the same GL calls, results and refusals.
    compiled, listing = both(CODE_OBJECTS)
    assert compiled == listing
    assert listing[0][1][:2] == ['glClearColor', 'glClear'] and len(listing) == 10


FOREIGN_GLOBALS = '''
import types
out = [failure(lambda: eval(M.initGL.__code__, {})),
       failure(lambda: types.FunctionType(M.rotateX.__code__, {'np': M.np})(30)),
       failure(lambda: run_exec(M.drawMain.__code__, dict(vars(M))))]
result(out)
'''


def test_code_objects_refuse_other_globals():
    # The native body runs on the module's own globals only; with any other
    # globals its code object raises instead of running there. (The listing
    # runs its body with those globals and fails or not as they allow.)
    status, value, err = run('compiled', FOREIGN_GLOBALS)
    assert status == 0, err
    assert value == [('TypeError', 'code of Movra.%s can only run with the globals of module '
                      'Movra' % name) for name in ('initGL', 'rotateX', 'drawMain')]


RECORDS = '''
import traceback
del M.sizeViewport
try:
    run_exec(M.Viewport1.__code__, vars(M))
except NameError as error:
    tb = sys.exc_info()[2]
    records = [(frame.f_code.co_filename, frame.f_code.co_name.split(' (')[0], line)
               for frame, line in traceback.walk_tb(tb)] if hasattr(traceback, 'walk_tb') else []
    if not records:
        while tb is not None:
            records.append((tb.tb_frame.f_code.co_filename,
                            tb.tb_frame.f_code.co_name.split(' (')[0], tb.tb_lineno))
            tb = tb.tb_next
    result((str(error), [r for r in records if r[0].endswith('Movra.py')]))
'''


def test_a_failing_code_object_keeps_its_records():
    compiled, listing = both(RECORDS)
    # (Python 2's own lookup of a global says "global name ...")
    assert compiled[0] == listing[0].replace('global name', 'name') == (
        "name 'sizeViewport' is not defined")
    # the listing's frame of Viewport1, then the module's own record of it
    assert [r[1:] for r in listing[1]] == [('Viewport1', 137)]
    assert [r[1:] for r in compiled[1]] == [('Viewport1', 137), ('Movra.Viewport1', 137)]


MONITORING = '''
import types
monitoring = sys.monitoring
tool = monitoring.PROFILER_ID
monitoring.use_tool_id(tool, 'probe')
started = []
monitoring.register_callback(tool, monitoring.events.PY_START,
                             lambda code, offset: started.append(code.co_name))
monitoring.set_local_events(tool, M.rotateX.__code__, monitoring.events.PY_START)
types.FunctionType(M.rotateX.__code__, vars(M))(30)
result(started)
'''


@pytest.mark.skipif(sys.version_info < (3, 12), reason='sys.monitoring is new in 3.12')
def test_monitoring_instruments_the_code_objects():
    # A tool that instruments a function's code sees it start when the code
    # runs, as for the listing's. (Calling the function itself runs the
    # native body, not this code.)
    compiled, listing = both(MONITORING)
    assert compiled == listing == ['rotateX']


# ------------------------------------------------------ the name lookup ---

# movingCameraPos is rebound while Python code runs inside the change: in a
# value's __str__ that another dictionary watcher calls, or in the
# unraisable hook that a failing watcher makes the interpreter call. That
# code draws the moving camera (it sees the old value, which the globals
# still hold), and the next draw must see the new one; the old value is
# freed by then.
WATCHED_CHANGE = '''
import _testcapi
M.initGL()
M.drawMain()
seen = []

def draw():
    glfake.reset()
    M.drawMovingCamera()
    seen.append(glfake.calls_of('glTranslatef')[0])

class Position(list):
    def __str__(self):
        draw()
        return 'Position'

M.movingCameraPos = [1.25, 0, 0]
draw()
if MODE == 'str':
    watcher = _testcapi.add_dict_watcher(0)     # records each new value by its str()
elif MODE == 'hook':
    watcher = _testcapi.add_dict_watcher(1)     # fails at every event
    sys.unraisablehook = lambda unraisable: draw()
_testcapi.watch_dict(watcher, vars(M))
M.movingCameraPos = Position([2.5, 0, 0])
_testcapi.unwatch_dict(watcher, vars(M))
_testcapi.clear_dict_watcher(watcher)
sys.unraisablehook = sys.__unraisablehook__
draw()
M.movingCameraPos = [3.75, 0, 0]
draw()
result(seen)
'''


def _has_dict_watchers():
    try:
        import _testcapi
    except ImportError:
        return False
    return hasattr(_testcapi, "add_dict_watcher") and hasattr(_testcapi, 'watch_dict')


needs_watchers = pytest.mark.skipif(not _has_dict_watchers(),
                                    reason="needs _testcapi's dictionary watchers (3.12+)")


@needs_watchers
@pytest.mark.parametrize('mode', ['str', 'hook'])
def test_code_run_during_a_change_never_leaves_a_stale_value(mode):
    compiled, listing = both(WATCHED_CHANGE.replace('MODE', repr(mode)))
    assert compiled == listing
    assert [call[0] for call in listing] == [1.25, 1.25, 2.5, 3.75]


UNWATCHED = '''
import _testcapi
M.initGL()
M.drawMain()
for watcher in range(8):            # whatever watches the globals stops
    try:
        _testcapi.unwatch_dict(watcher, vars(M))
    except Exception:
        pass
seen = []
for value in (1.5, 2.5, 3.5):
    M.movingCameraPos = [value, 0, 0]
    glfake.reset()
    M.drawMovingCamera()
    seen.append(glfake.calls_of('glTranslatef')[0][0])
del M.sizeViewport
seen.append(failure(M.Viewport1))
result(seen)
'''


@needs_watchers
def test_lookups_stay_correct_when_the_globals_are_unwatched():
    compiled, listing = both(UNWATCHED)
    assert compiled == listing == [1.5, 2.5, 3.5, ('NameError',
                                                   "name 'sizeViewport' is not defined")]


REBIND_IN_DEL = '''
M.initGL()
M.drawMain()
seen = []

class Rebinds(object):
    """A value whose release rebinds the name it was bound to."""
    def __del__(self):
        M.movingCameraPos = [4.5, 0, 0]

M.movingCameraPos = [1.0, 0, 0]
M.movingCameraRadius = Rebinds()
M.movingCameraRadius = 5            # frees the old value, which rebinds movingCameraPos
glfake.reset()
M.drawMovingCamera()
seen.append(glfake.calls_of('glTranslatef')[0])
result(seen)
'''


def test_a_change_made_while_a_value_is_released_is_seen():
    compiled, listing = both(REBIND_IN_DEL)
    assert compiled == listing and listing[0][0] == 4.5


# ------------------------------------------------------------- recursion ---

RECURSION = '''
import threading
M.initGL()
M.drawScene = M.drawMain
outcome = []

def recurse():
    outcome.append(failure(M.drawMain))

if SIZE:
    threading.stack_size(SIZE)
    thread = threading.Thread(target=recurse)
    thread.start()
    thread.join()
else:
    recurse()
kind, text = outcome[0]
result((kind, 'recursion' in text or 'Stack overflow' in text))
'''


# Under AddressSanitizer (scripts/sanitize.sh preloads its runtime) every
# native frame is several times larger, and the sanitizer reports the
# interpreter's own overflow of a small stack: the sizes here mean nothing.
UNDER_SANITIZER = 'libasan' in os.environ.get('LD_PRELOAD', '')


@pytest.mark.skipif(UNDER_SANITIZER, reason='stack sizes are not comparable under the sanitizer')
@pytest.mark.parametrize('size,stack', [
    (256 * 1024, None), (1024 * 1024, None), (0, 2 * 1024 * 1024)],
    ids=['thread of 256 KiB', 'thread of 1 MiB', 'main thread, stack of 2 MiB'])
def test_unbounded_recursion_raises(size, stack):
    code = RECURSION.replace('SIZE', str(size))
    status, listing, err = run('listing', code, stack=stack)
    if status != 0:
        pytest.skip('the interpreter itself does not survive this stack (%s)' % status)
    status, compiled, err = run('compiled', code, stack=stack)
    assert status == 0, err
    assert compiled == listing == ('RuntimeError' if PY2 else 'RecursionError', True)


# ----------------------------------------------------------- import-star ---

HELPERS = ['draw3DCoordinateAxes', 'drawColoredCube', 'drawGrayCube', 'drawViewVolume']
HELPER_DEFS = ''.join('def %s(*a): pass\n' % n for n in HELPERS)

STAR = '''
names = NAMES
if isinstance(M, Exception):
    tb, bound = sys.exc_info()[2], []
    error = M
    # the dictionary the failed import left: the globals of its frames
    import traceback
    frames = []
    tb = error.__traceback__ if hasattr(error, '__traceback__') else None
    result((type(error).__name__, str(error)))
else:
    g = vars(M)
    result(('imported', sorted(n for n in names if n in g),
            g.get('__dict__') is sys.modules['KestDrawHelperFunctions'].__dict__))
'''


@pytest.mark.parametrize('helper', [
    HELPER_DEFS + '__all__ = ["draw3DCoordinateAxes", 5]\n',
    HELPER_DEFS + 'globals()[5] = "five"\n',
    HELPER_DEFS + '__all__ = %r + ["__dict__"]\n' % HELPERS,
    HELPER_DEFS + '__all__ = [b"drawGrayCube"]\n',
    HELPER_DEFS + '__all__ = [5]\n__name__ = 7\n',
    HELPER_DEFS + '__all__ = ["_private"]\n_private = 1\n',
], ids=['int in __all__', 'int key in __dict__', '__dict__ in __all__', 'bytes in __all__',
        'module name not a str', 'private name listed'])
def test_import_star_binds_as_the_listing_does(tmpdir, helper):
    tmpdir.join('KestDrawHelperFunctions.py').write(helper)
    code = STAR.replace('NAMES', repr(HELPERS + ['_private', '__dict__', 'near']))
    compiled, listing = both(code, path=[str(tmpdir)])
    assert compiled == listing


# -------------------------------------------------------------- registry ---

REGISTRY = '''
import ctypes, types
registry = types.ModuleType('_native_function_registry_1')
sys.modules[registry.__name__] = registry
if CASE == 'size':
    slots = tuple('s%d' % i for i in range(SLOTS))
    registry.native_function_or_method = type('native_function_or_method', (object,),
                                              {'__slots__': slots})
else:
    registry.native_function_or_method = type('native_function_or_method', (object,), {})
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    name = (b'_native_function_registry_1.native_function_or_method.layout_3'
            if CASE == 'capsule of another type' else b'another.layout')
    NAME = ctypes.create_string_buffer(name)
    # a capsule of this layout's name vouches for the type it points to only
    registry.native_function_or_method_layout = new_capsule(
        id(registry.native_function_or_method if CASE == 'other capsule' else int), NAME, None)
import gc
gc.collect()
result(failure(lambda: __import__('Movra')))
'''

NOT_OURS = ('TypeError', 'Shared function type native_function_or_method is not of this '
                         "module's layout, try recompiling")


def _slots_for(size):
    """How many slots a class needs for instances of `size` bytes."""
    import ctypes
    base = type('Base', (object,), {'__slots__': ()}).__basicsize__
    return (size - base) // ctypes.sizeof(ctypes.c_void_p)


@pytest.mark.parametrize('case,size', [
    ('size', 176), ('size', None), ('other capsule', None), ('capsule of another type', None)],
    ids=['the old size', "this module's size", 'a capsule of another name',
         'a capsule of this layout for another type'])
def test_registry_recognises_only_its_own_type(case, size):
    import Movra
    size = size or type(Movra.drawMain).__basicsize__
    code = REGISTRY.replace('CASE', repr(case)).replace('SLOTS', str(_slots_for(size)))
    status, value, err = run('none', code)
    assert status == 0, err  # refused at import; nothing crashes at exit
    assert value == NOT_OURS


def test_the_registry_holds_the_type_and_its_layout():
    import Movra
    registry = sys.modules['_native_function_registry_1']
    assert registry.native_function_or_method is type(Movra.drawMain)
    assert type(registry.native_function_or_method_layout).__name__ == 'PyCapsule'
    assert "layout_3" in repr(registry.native_function_or_method_layout)


# ------------------------------------------------------ importing again ---

RELOAD = '''
try:
    from importlib import reload
except ImportError:
    pass  # Python 2's built-in reload
first = M.drawMain
M.near, M.extra = 5.0, 'kept'
M.movingCameraAngle = 40
again = reload(M)
result((again is M, M.near, M.extra, M.movingCameraAngle, M.drawMain is first,
        M.drawMain.__globals__ is vars(M), len(vars(M)) > 100))
'''


def test_reload_leaves_the_one_module_as_it_is():
    compiled, listing = both(RELOAD)
    # The listing's reload runs its statements again: the globals are back to
    # their defaults, names added since stay, every function is new.
    assert listing == (True, 1.0, 'kept', 0, False, True, True)
    # The interpreter does not run an extension module's initialisation again:
    # Python 3 leaves the module as it is; Python 2 copies back the
    # dictionary it saved after the first import (the defaults and the same
    # function objects), over what the module holds.
    assert compiled == ((True, 1.0, 'kept', 0, True, True, True) if PY2 else
                        (True, 5.0, 'kept', 40, True, True, True))


IMPORT_AGAIN = '''
first = M
M.near = 5.0
del sys.modules['Movra']
if KIND == 'listing':
    M = load_source('Movra', LISTING)
else:
    import Movra as M
result((M is first, M.near, M.drawMain.__globals__ is vars(M),
        M.drawMain.__globals__ is vars(first)))
'''


def test_importing_again_gives_back_the_one_module():
    code = IMPORT_AGAIN.replace('LISTING', repr(LISTING))
    compiled, listing = both(code)
    # The listing makes a new module. The compiled module is one per
    # process: Python 3 hands it out again as it is; Python 2 makes a new
    # module object from the dictionary it saved after the first import,
    # whose functions keep the first module's globals.
    assert listing == (False, 1.0, True, False)
    assert compiled == ((False, 1.0, False, True) if PY2 else (True, 5.0, True, True))


# The interpreter's own compiling and making of such a code object under the
# same failed allocations: some interpreters (3.11) corrupt their heap there.
COMPILE_UNDER_NOMEMORY = '''
import _testcapi, types
source = "def rotateX(angle_deg):\\n    return 'Movra.rotateX'.__call__(angle_deg)\\n"
for start in range(0, 400, 3):
    _testcapi.set_nomemory(start, start + 2)
    try:
        module = compile(source, 'Movra.py', 'exec')
        code = [c for c in module.co_consts if isinstance(c, types.CodeType)][0]
        code.replace(co_consts=tuple(len if c == 'Movra.rotateX' else c for c in code.co_consts))
    except MemoryError:
        pass
    finally:
        _testcapi.remove_mem_hooks()
result('survived')
'''

CODE_UNDER_NOMEMORY = '''
import _testcapi, types
outcomes = set()
for start in range(0, 400, 3):
    function = getattr(M, NAMES[start % len(NAMES)])
    _testcapi.set_nomemory(start, start + 2)
    try:
        code = function.__code__
        outcome = 'code'
    except MemoryError:
        outcome = 'MemoryError'
    except Exception as error:
        outcome = type(error).__name__ + ': ' + str(error)
    finally:
        _testcapi.remove_mem_hooks()
    outcomes.add(outcome)
# afterwards every code object is there and runs
M.initGL()
made = [getattr(M, n).__code__.co_name for n in NAMES]
wrapped = types.FunctionType(M.rotateX.__code__, vars(M))(30).tolist()
result((sorted(outcomes), made == NAMES, wrapped == M.rotateX(30).tolist()))
'''


@pytest.mark.skipif(PY2, reason="needs _testcapi.set_nomemory, Python 3's test C API")
@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer reports the interpreter's own "
                    "compiler under failed allocations (3.13: a write into a freed table)")
def test_code_objects_made_under_failed_allocations():
    # A code object is made at the first read of __code__; a failed
    # allocation then fails that read with MemoryError, and the next read
    # makes it.
    try:
        import _testcapi
        _testcapi.set_nomemory
    except (ImportError, AttributeError):
        pytest.skip("needs _testcapi.set_nomemory")
    status, value, err = run('none', COMPILE_UNDER_NOMEMORY)
    if status != 0:
        pytest.skip('the interpreter itself does not survive compiling under failed '
                    'allocations (%s)' % status)
    from conftest import listing
    names = sorted(listing.FUNCTIONS)
    status, value, err = run('compiled', CODE_UNDER_NOMEMORY.replace('NAMES', repr(names)))
    assert status == 0, err
    outcomes, made, runs = value
    assert set(outcomes) <= {'code', 'MemoryError'} and made and runs
