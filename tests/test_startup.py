"""The import of Movra as the interpreter sees it: which interpreter may
import it, what another thread sees while it runs, the check of the
interpreter's version, what the module declares to Python 3, and failed
allocations during the import and a frame.

Each case runs in a fresh interpreter (test_init.probe): a process imports
the module once."""
import os
import re
import subprocess
import sys
import textwrap

import pytest

from compat import PY2
from conftest import FAKES, ROOT
from test_init import probe

needs_python3 = pytest.mark.skipif(PY2, reason='Python 3 only')


# ------------------------------------------------------- sub-interpreters ---

SUBINTERPRETER_PROBE = '''
    import os
    import _testcapi
    try:
        import _interpreters as interpreters      # 3.13 and later
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            interpreters = None
    read, write = os.pipe()
    CODE = """if 1:
        import os
        try:
            import Movra
            said = 'imported ' + repr(Movra.drawMain)
        except BaseException as e:
            said = type(e).__name__ + ': ' + str(e)
        os.write(FD, said.encode('utf-8'))
        """.replace('FD', str(write))

    def in_legacy():
        _testcapi.run_in_subinterp(CODE)
        return os.read(read, 4096).decode('utf-8')

    def in_isolated():
        if interpreters is None:
            return None
        interpreter = interpreters.create()
        try:
            interpreters.run_string(interpreter, CODE)
            return os.read(read, 4096).decode('utf-8')
        finally:
            interpreters.destroy(interpreter)

    seen = [('legacy', in_legacy()), ('isolated', in_isolated())] if FIRST else []
    import Movra
    import glfake
    Movra.initGL()
    Movra.drawMain()
    seen.append(('main', sys.modules['Movra'] is Movra, Movra.drawMain.__globals__ is vars(Movra),
                 glfake.names().count('glViewport')))
    seen += [('legacy', in_legacy()), ('isolated', in_isolated())]
    Movra.drawMain()
    seen.append(('main again', glfake.names().count('glViewport')))
    result(seen)
    '''

REFUSAL = 'ImportError: module Movra does not support loading in subinterpreters'


@needs_python3
@pytest.mark.parametrize('first', [True, False], ids=['sub-interpreters first', 'main first'])
def test_sub_interpreters_refuse_the_import(first):
    # The module's state is one per process and its objects belong to the
    # main interpreter: every sub-interpreter, legacy or isolated, is refused
    # before any of it is made, whether the main interpreter imported the
    # module before or not; the main interpreter's module works throughout.
    out, value = probe(SUBINTERPRETER_PROBE.replace('FIRST', repr(first)))
    isolated = [v[1] for v in value if v[0] == 'isolated']
    assert [v[1] for v in value if v[0] == 'legacy'] == [REFUSAL] * (2 if first else 1)
    assert all(v in (REFUSAL, None) for v in isolated)
    assert ('main', True, True, 4) in value and value[-1] == ('main again', 8)
    if sys.version_info >= (3, 12):
        assert None not in isolated  # an interpreter here that can show it


# ----------------------------------------------------------------- threads ---

THREAD_PROBE = '''
    import threading, time
    from compat import builtins
    original, seen = builtins.__import__, []

    def other_thread():
        import Movra
        seen.append(('other', hasattr(Movra, 'initGL'), Movra.near))
        Movra.initGL()
        Movra.drawMain()
        seen.append(('other drew', True))

    other = threading.Thread(target=other_thread)

    def slow_helpers(name, *args, **kwargs):
        # While the first thread's initialisation imports the drawing
        # helpers, a second thread imports Movra.
        if name == 'KestDrawHelperFunctions' and not other.is_alive() and not seen:
            seen.append(('first', 'importing the helpers'))
            other.start()
            time.sleep(0.5)
        return original(name, *args, **kwargs)

    builtins.__import__ = slow_helpers
    import Movra
    builtins.__import__ = original
    seen.append(('first', 'done'))
    other.join(30)
    result(seen)
    '''


def test_another_threads_import_waits_for_the_first():
    # The other thread's import blocks until the first one's initialisation
    # has finished, as for any module, and then gets the whole module.
    out, value = probe(THREAD_PROBE)
    assert value == [('first', 'importing the helpers'), ('first', 'done'),
                     ('other', True, 1.0), ('other drew', True)]


# ------------------------------------------------------ the version check ---

FAKE_VERSION_SOURCE = '''
const char* Py_GetVersion(void) { return "%s (main, Dec  9 2026, 00:00:00) \\n[GCC 12.2.0]"; }
'''

VERSION_PROBE = '''
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter('always')
        try:
            import Movra
            outcome = 'imported', hasattr(Movra, 'drawMain')
        except Exception as e:
            outcome = type(e).__name__, str(e)
    result((sys.version.startswith(FAKE), outcome,
            [(w.category.__name__, str(w.message)) for w in caught
             if "of module 'Movra'" in str(w.message)]))
    '''


def fake_version(tmpdir, version):
    """A library that, preloaded, answers `version` for Py_GetVersion()."""
    source = tmpdir.join('fake_version.c')
    source.write(FAKE_VERSION_SOURCE % version)
    library = str(tmpdir.join('fake_version.so'))
    subprocess.check_call(['gcc', '-shared', '-fPIC', '-o', library, str(source)])
    return library


def preloading(library):
    """The environment that preloads `library` after what is preloaded already
    (a sanitizer's runtime must stay first in the list)."""
    return {'LD_PRELOAD': ':'.join(filter(None, [os.environ.get('LD_PRELOAD'), library]))}


COMPILED = '%d.%d' % sys.version_info[:2]
MAJOR, MINOR = sys.version_info[:2]


@pytest.mark.parametrize('running,warned', [
    ('%d.%d.99' % (MAJOR, MINOR), None),                  # another patch release: the same
    ('%d.%d.0' % (MAJOR, MINOR + 10), '%d.%d' % (MAJOR, MINOR + 10)),
    ('%d.%d.7' % (MAJOR, MINOR // 10), '%d.%d' % (MAJOR, MINOR // 10)),  # 3.13 and 3.1
    ('%d.%d.2' % (MAJOR - 1, MINOR), '%d.%d' % (MAJOR - 1, MINOR)),
], ids=['patch', 'minor', 'minor prefix', 'major'])
def test_the_version_check_compares_major_and_minor(tmpdir, running, warned):
    library = fake_version(tmpdir, running)
    out, value = probe(VERSION_PROBE.replace('FAKE', repr(running)),
                       env=preloading(library))
    interposed, outcome, warnings_ = value
    if not interposed:
        pytest.skip("this interpreter is linked statically: its Py_GetVersion can't be replaced")
    assert outcome == ('imported', True)  # a warning does not stop the import
    if warned is None:
        assert warnings_ == []
    else:
        assert warnings_ == [('RuntimeWarning', "compiletime version %s of module 'Movra' does "
                              "not match runtime version %s" % (COMPILED, warned))]


def test_a_version_warning_turned_error_fails_the_import(tmpdir):
    library = fake_version(tmpdir, '%d.%d.0' % (MAJOR, MINOR + 1))
    out, value = probe('''
        import warnings
        warnings.simplefilter('error')
        try:
            import Movra
            outcome = 'imported'
        except RuntimeWarning as e:
            outcome = str(e), 'Movra' in sys.modules
        result((sys.version.startswith(%r), outcome))
        ''' % ('%d.%d.0' % (MAJOR, MINOR + 1)), env=preloading(library))
    if not value[0]:
        pytest.skip("this interpreter is linked statically: its Py_GetVersion can't be replaced")
    assert value[1] == ("compiletime version %s of module 'Movra' does not match runtime "
                        "version %d.%d" % (COMPILED, MAJOR, MINOR + 1), False)


# ------------------------------------------- what Python 3 is told of it ---

@needs_python3
def test_the_definition_declares_one_interpreter_and_the_gil():
    # A free-threaded interpreter keeps its GIL enabled for the module (with
    # its own warning) and an isolated sub-interpreter refuses it, because
    # the definition says so: read from the definition that PyInit_Movra
    # hands the interpreter. No interpreter here is free-threaded; this pins
    # the declaration that makes one keep its GIL.
    out, value = probe('''
        import ctypes
        import Movra
        library = ctypes.CDLL(Movra.__file__)
        library.PyInit_Movra.restype = ctypes.c_void_p
        definition = library.PyInit_Movra()
        # PyModuleDef: the header (a PyObject, then m_init, m_index, m_copy),
        # m_name, m_doc, m_size, m_methods, m_slots
        head = (ctypes.sizeof(ctypes.c_ssize_t) * 2 + ctypes.sizeof(ctypes.c_void_p) * 3)
        fields = (ctypes.c_void_p * 5).from_address(definition + head)
        name = ctypes.string_at(fields[0]).decode()
        size = ctypes.c_ssize_t.from_address(definition + head + 2 * ctypes.sizeof(ctypes.c_void_p)).value
        class Slot(ctypes.Structure):
            _fields_ = [('slot', ctypes.c_int), ('value', ctypes.c_void_p)]
        slots, i = [], 0
        while True:
            s = Slot.from_address(fields[4] + i * ctypes.sizeof(Slot))
            if s.slot == 0:
                break
            slots.append((s.slot, s.value))
            i += 1
        steps = (84, 85) if sys.version_info >= (3, 15) else (1, 2)
        result((name, size, [(k, v) for k, v in slots if k not in steps],
                sorted(k for k, v in slots if k in steps)))
        ''')
    # The slots' numbers: create, exec, multiple interpreters, GIL; 3.15
    # numbers them anew. The two declarations' values are NOT_SUPPORTED and
    # GIL_USED, both 0 (None through ctypes).
    create, exec_, interpreters, gil = ((84, 85, 86, 87) if sys.version_info >= (3, 15)
                                        else (1, 2, 3, 4))
    declared = []
    if sys.version_info >= (3, 12):
        declared.append((interpreters, None))
    if sys.version_info >= (3, 13):
        declared.append((gil, None))
    assert value == ('Movra', 0, declared, [create, exec_])


# ------------------------------------------------------ failed allocations ---

def _fails_allocations():
    """Whether this interpreter can make allocations fail on purpose."""
    try:
        import _testcapi
    except ImportError:
        return False
    return hasattr(_testcapi, 'set_nomemory')


needs_nomemory = pytest.mark.skipif(not _fails_allocations(),
                                    reason="needs _testcapi.set_nomemory, Python 3's test C API")


@needs_nomemory
@pytest.mark.parametrize('phase,last,step,burst', [
    ('import', None, 7, 1), ('import', None, 5, 3), ('frame', None, 37, 1),
    ('print', 60, 1, 1),   # the first print's own allocations, each of them
    ('print', None, 19, 3),
])
def test_failed_allocations_fail_cleanly(phase, last, step, burst):
    # An allocation in turn fails (every step-th, to the end of the phase),
    # alone or with the few after it, which handle the first failure: the
    # import, a frame or the read-back of the matrices then succeeds or
    # raises MemoryError (or what the listing meets with a failed allocation,
    # such as the guarded import's exit), never another error (such as
    # "lost sys.stdout" while sys.stdout exists), never a half-built module
    # in sys.modules, never a crash in the module; the next try works.
    # scripts/fuzz_memory.py makes the sweep and judges it; make fuzz runs
    # it on every allocation. A fixed hash seed makes it the same sweep at
    # every run.
    # The listing's import is short enough to sweep at every allocation, so
    # that each of its outcomes is known whatever the step meets (its guarded
    # import exits at three allocations in a row, which a step can miss).
    reference_step = 1 if phase == 'import' else step
    command = [sys.executable, os.path.join(ROOT, 'scripts', 'fuzz_memory.py'), phase,
               '--step', str(step), '--reference-step', str(reference_step),
               '--burst', str(burst), '--quiet'] + (['--last', str(last)] if last else [])
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               universal_newlines=True,
                               env=dict(os.environ, PYTHONPATH=FAKES, PYTHONHASHSEED='0'))
    out, _ = process.communicate()
    assert process.returncode == 0, out
    assert re.search(r'^fuzz_memory: %s: no fault of the module in \d+ ' % phase, out, re.M), out


@pytest.mark.skipif(PY2, reason='the sweep of failed allocations is Python 3 only')
def test_the_sweep_tells_a_failure_inside_numpy_from_one_of_the_module():
    """A next call that fails after an allocation failed in numpy's own
    Python code is numpy's (or the interpreter's) to answer for, as a crash
    inside them is; one whose first failure was raised anywhere else stays
    a fault of the module."""
    sys.path.insert(0, os.path.join(ROOT, 'scripts'))
    try:
        import fuzz_memory
    finally:
        sys.path.remove(os.path.join(ROOT, 'scripts'))
    import numpy as np
    try:
        np.linspace(0, 1, num=-1)
    except ValueError as error:
        inside = fuzz_memory.raised_in_library(error)
    assert re.match(r'^numpy/.*\.py:\d+$', inside), inside
    try:
        raise MemoryError()
    except MemoryError as error:
        assert fuzz_memory.raised_in_library(error) is None
    assert fuzz_memory.raised_in_library(None) is None
