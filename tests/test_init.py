"""Initialisation: the module object, its globals and functions, and the
top-level statements, including their failure paths.

Every path that needs a different import environment runs in a fresh
interpreter (run_python), because the interpreter initialises an extension
once per process. Those probes report through one line "RESULT <repr>" on
stderr, so that stdout holds exactly what the module printed.
"""
import ast
import os
import sys
import textwrap
import types
from inspect import CO_NEWLOCALS, CO_OPTIMIZED

import pytest

import glfake
import Movra
from compat import (IMPORT_LEVEL, IMPORT_READS_FROMLIST, INT_DIVISION_BY_ZERO, builtins,
                    function_arity_message, sequence_item_error)
from conftest import FAKES, LISTING, listing, movra_records, native_locals, run_python

NUMPY_NAMES = ['sqrt', 'arctan2', 'cos', 'sin', 'tan', 'pi', 'transpose', 'rad2deg', 'deg2rad']
GUARD_TEXT = '\nERROR: PyOpenGL not installed properly.\n        \n'

# Helpers every probe starts with: the records of a traceback, the result line.
PROBE_HEAD = '''
import sys
def records(tb):
    out = []
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == 'Movra.py':
            out.append((code.co_name.split(' (')[0], tb.tb_lineno))
        tb = tb.tb_next
    return out
def result(value):
    sys.stderr.write('RESULT %r\\n' % (value,))
'''


def probe(code, env=None, path=()):
    """Runs PROBE_HEAD + code; returns (stdout, the reported value)."""
    environment = dict(env or {})
    if path:
        environment['PYTHONPATH'] = os.pathsep.join(list(path) + [FAKES])
    rc, out, err = run_python(PROBE_HEAD + textwrap.dedent(code), env=environment)
    lines = [l for l in err.splitlines() if l.startswith('RESULT ')]
    assert rc == 0 and len(lines) == 1, err
    return out, ast.literal_eval(lines[0][len('RESULT '):])


def write_tree(root, files):
    for name, text in files.items():
        path = root.join(*name.split('/'))
        path.dirpath().ensure(dir=True)
        path.write(textwrap.dedent(text))
    return str(root)


# ---------------------------------------------------------------- the module ---

# name, call kind, parameters, further locals (in code-object order), as the
# listing states them
FUNCTIONS = [(f.name, f.kind, f.parameters, native_locals(f.name))
             for f in listing.MOVRA.functions.values()]
DEFS = dict((f.name, (f.line, f.doc)) for f in listing.MOVRA.functions.values())

# name, default, type: the listing's assignments, and the dictionary bound last
GLOBALS = [(g.name, g.value, type(g.value)) for g in listing.MOVRA.globals.values()] + [
    ('__test__', {}, dict)]


def test_module_object():
    assert Movra.__doc__ == '\nSTUDENT NAME:\nSTUDENT ID:\n\nTavrel Lab\n'
    assert Movra.__name__ == 'Movra'
    assert Movra.__builtins__ is builtins
    assert Movra.np is sys.modules['numpy'] and Movra.sys is sys
    assert [getattr(Movra, n) for n in NUMPY_NAMES] == [getattr(Movra.np, n)
                                                        for n in NUMPY_NAMES]
    assert Movra.glClear is glfake.GL_FUNCS['glClear']
    assert Movra.gluLookAt is glfake.GLU_FUNCS['gluLookAt']
    assert Movra.glutInit is glfake.GLUT_FUNCS['glutInit']
    assert Movra.drawColoredCube is sys.modules['KestDrawHelperFunctions'].drawColoredCube
    # __loader__ and __spec__: what Python 3's import adds to every module
    assert not [n for n in vars(Movra) if n.startswith('_') and n not in (
        '__name__', '__doc__', '__file__', '__package__', '__builtins__', '__test__',
        '__loader__', '__spec__')]


@pytest.mark.parametrize('name,value,kind', GLOBALS)
def test_global_defaults(name, value, kind):
    assert type(getattr(Movra, name)) is kind and getattr(Movra, name) == value


def test_shared_constants():
    # one float object for near and the clear colour's alpha
    Movra.initGL()
    assert glfake.calls_of('glClearColor')[0][3] is Movra.near
    assert [id(x) for x in Movra.movingCameraPos] == [id(0)] * 3


@pytest.mark.parametrize('name,kind,params,local_names', FUNCTIONS)
def test_function_objects(name, kind, params, local_names):
    f = getattr(Movra, name)
    assert type(f).__name__ == 'native_function_or_method'
    assert f.__name__ == name and f.__qualname__ == name and f.__module__ == 'Movra'
    assert f.__doc__ == DEFS[name][1]
    code = f.__code__
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (name, 'Movra.py',
                                                                      DEFS[name][0])
    assert (code.co_argcount, code.co_nlocals, code.co_varnames) == (
        len(params), len(params + local_names), params + local_names)
    # real bytecode, as the listing's compiler makes it (tests/test_code_objects.py runs it)
    assert code.co_code and code.co_flags & CO_OPTIMIZED and code.co_flags & CO_NEWLOCALS
    assert (code.co_freevars, code.co_cellvars) == ((), ())


def test_docstring_texts():
    assert Movra.drawMain.__doc__ == (
        '\n    This is the main drawing function. All drawing code should be called by this \n'
        '    function. This function gets called from Scene.display which is the callback\n'
        '    function for glutDisplayFunc\n    ')
    assert Movra.translate.__doc__ == ('\n    translate is a (1, 3) vector\n'
                                       '    The function is called as: translate([x, y, z])\n'
                                       '    ')
    assert [n for n, k, p, l in FUNCTIONS if getattr(Movra, n).__doc__ is None] == [
        n for n, (line, doc) in sorted(DEFS.items(), key=lambda item: item[1][0]) if doc is None]


# The interpreter checks the call kinds of no-argument and one-argument functions,
# in the words it uses for its own built-in functions.
WRONG_CALLS = [(n, (1,), {}, function_arity_message('none', n, 1))
               for n, k, p, l in FUNCTIONS if k == 'none'] + \
              [(n, (), {'x': 1}, function_arity_message('none', n, None))
               for n in ('drawMain', 'initGL', 'Viewport4')] + \
              [(n, args, kw, text) for n, k, p, l in FUNCTIONS if k == 'one' for args, kw, text in (
                  ((), {}, function_arity_message('one', n, 0)),
                  ((1, 2), {}, function_arity_message('one', n, 2)),
                  ((), {p[0]: 1}, function_arity_message('one', n, None)))]


@pytest.mark.parametrize('name,args,kwargs,text', WRONG_CALLS)
def test_call_kinds_are_checked_by_the_interpreter(name, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        getattr(Movra, name)(*args, **kwargs)
    assert str(info.value) == text
    assert movra_records(info.tb) == [] and glfake.calls == []


def test_registry_holds_the_function_type():
    registry = sys.modules['_native_function_registry_1']
    assert registry.native_function_or_method is type(Movra.drawMain)
    assert set(type(getattr(Movra, n)) for n, k, p, l in FUNCTIONS) == {type(Movra.drawMain)}


# ------------------------------------------------------ the guarded imports ---

@pytest.mark.parametrize('before', [
    '', 'import compat; compat.print_with_trailing_comma(sys.stdout, "x")'])
def test_broken_glut_prints_and_exits(before):
    out, value = probe('''
        attempted = []
        class Spy(object):
            def find_module(self, name, path=None):  # Python 2
                attempted.append(name)
            def find_spec(self, name, path=None, target=None):  # Python 3
                attempted.append(name)
        sys.meta_path.insert(0, Spy())
        %s
        try:
            import Movra
        except SystemExit as e:
            result((e.code, records(sys.exc_info()[2]),
                    [m for m in attempted if m.startswith(('OpenGL', 'Kest'))]))
        ''' % before, env={'MOVRA_FAKE_GL_BROKEN': 'GLUT'})
    assert out == ('x ' if before else '') + GUARD_TEXT
    assert value == (None, [('init Movra', 15)], ['OpenGL', 'OpenGL.GLUT'])


@pytest.mark.parametrize('broken,line,attempted,bound', [
    ('GLUT', 10, ['OpenGL.GLUT'], []),
    ('GL', 11, ['OpenGL.GLUT', 'OpenGL.GL'], ['glutInit']),
    ('GLU', 12, ['OpenGL.GLUT', 'OpenGL.GL', 'OpenGL.GLU'], ['glutInit', 'glClear']),
])
def test_exit_that_returns_sees_the_caught_error(broken, line, attempted, bound):
    out, value = probe('''
        attempted, seen = [], []
        class Spy(object):
            def find_module(self, name, path=None):  # Python 2
                attempted.append(name)
            def find_spec(self, name, path=None, target=None):  # Python 3
                attempted.append(name)
        sys.meta_path.insert(0, Spy())
        def fake_exit(*args):
            t, v, tb = sys.exc_info()
            last = tb
            while last.tb_next is not None:
                last = last.tb_next
            seen.append((t.__name__, str(v), args, records(tb)[:1],
                         tb.tb_frame.f_code.co_name.split(' (')[0],
                         last.tb_frame.f_code.co_name, tb.tb_frame.f_globals['__name__']))
        sys.exit = fake_exit
        try:
            raise KeyError('before')
        except KeyError:
            import Movra
            after = sys.exc_info()
        names = ['glutInit', 'glClear', 'gluLookAt']
        result((seen, after[0].__name__, after[1].args, Movra.near, Movra.np.__name__,
                [n for n in names if n in vars(Movra)],
                [m for m in attempted if m.startswith('OpenGL.GL')]))
        ''', env={'MOVRA_FAKE_GL_BROKEN': broken})
    assert out == GUARD_TEXT
    assert value == (
        [('ImportError', 'No module named %s (simulated by MOVRA_FAKE_GL_BROKEN)' % broken, (),
          [('Movra', line)], 'Movra', 'check_broken', 'Movra')],
        'KeyError', ('before',), 1.0, 'numpy', bound, attempted)


@pytest.mark.parametrize('setup,error,records_', [
    # no sys.stdout while the handler prints: sys.exit is not reached
    ('del sys.stdout', ('RuntimeError', 'lost sys.stdout'), [('init Movra', 14)]),
    # a failing write fails the print
    ('class Bad(object):\n    softspace = 0\n    def write(self, s):\n'
     '        raise IOError("full")\nsys.stdout = Bad()',
     (IOError.__name__, 'full'), [('init Movra', 14)]),
    # an exit that raises something else ends the import with that
    ('sys.exit = lambda: 1 // 0', ('ZeroDivisionError', INT_DIVISION_BY_ZERO),
     [('init Movra', 15)]),
])
def test_handler_failures(setup, error, records_):
    out, value = probe('''
        called = []
        sys.exit = lambda *a: called.append(a)
        saved = sys.stdout
        exec(SETUP)
        try:
            import Movra
        except Exception as e:
            sys.stdout = saved
            result((type(e).__name__, str(e), records(sys.exc_info()[2]), called))
        '''.replace('SETUP', repr(setup)), env={'MOVRA_FAKE_GL_BROKEN': 'GLUT'})
    assert value == (error[0], error[1], records_, [])


# ------------------------------------------------- failing top-level statements ---

# What the probe reports after a failed import: the error, its records, and which
# names the abandoned module dictionary got before the failure. The module table
# no longer holds the module; the dictionary is the globals of the record's frame.
FAILED_IMPORT = '''
exec(SETUP)
try:
    import Movra
except Exception as e:
    assert 'Movra' not in sys.modules
    tb, left = sys.exc_info()[2], {}
    while tb is not None:
        if tb.tb_frame.f_code.co_name.startswith('init Movra'):
            left = tb.tb_frame.f_globals
        tb = tb.tb_next
    result((type(e).__name__, str(e), records(sys.exc_info()[2]),
            sorted(n for n in NAMES if n in left)))
'''


def failed_import(setup, names, env=None, path=()):
    return probe(FAILED_IMPORT.replace('SETUP', repr(textwrap.dedent(setup)))
                 .replace('NAMES', repr(names)), env=env, path=path)


@pytest.mark.parametrize('setup,error,line,bound', [
    ('import numpy\ndel numpy.tan', ('ImportError', 'cannot import name tan'), 17,
     ['arctan2', 'cos', 'np', 'sin', 'sqrt']),
    ('import numpy\ndel numpy.sqrt', ('ImportError', 'cannot import name sqrt'), 17, ['np']),
    # only a missing attribute becomes "cannot import name"
    ('''
     import numpy, types
     class Numpy(types.ModuleType):
         def __getattr__(self, name):
             if name == 'pi':
                 raise ValueError('no pi here')
             return getattr(numpy, name)
     sys.modules['numpy'] = Numpy('numpy')
     ''', ('ValueError', 'no pi here'), 17,
     ['np'] if IMPORT_READS_FROMLIST else ['arctan2', 'cos', 'np', 'sin', 'sqrt', 'tan']),
])
def test_numpy_from_import(setup, error, line, bound):
    out, value = failed_import(setup, NUMPY_NAMES + ['np', 'near'])
    assert out == '' and value == error + ([('init Movra', line)], bound)


def test_failing_helper_import_ends_initialisation():
    out, value = failed_import('', NUMPY_NAMES + ['np', 'near', 'drawMain'],
                               env={'MOVRA_FAKE_GL_BROKEN': 'KestDrawHelperFunctions'})
    assert value == ('ImportError', 'No module named KestDrawHelperFunctions (simulated by '
                     'MOVRA_FAKE_GL_BROKEN)', [('init Movra', 18)], sorted(NUMPY_NAMES + ['np']))


HELPERS = ['draw3DCoordinateAxes', 'drawColoredCube', 'drawGrayCube', 'drawViewVolume']


def missing_attribute_text(module, name):
    """What reading a missing attribute of a module of that name says."""
    try:
        getattr(types.ModuleType(module), name)
    except AttributeError as error:
        return str(error)


@pytest.mark.parametrize('helper,error', [
    # a listed name that the module lacks fails the star-import; nothing is bound
    ('__all__ = %r + ["missing"]\n' % HELPERS,
     ('AttributeError', missing_attribute_text('KestDrawHelperFunctions', 'missing'))),
    ('__all__ = 5', ('TypeError', sequence_item_error(5))),
])
def test_failing_star_import_binds_nothing(tmpdir, helper, error):
    text = ''.join('def %s(*a): pass\n' % n for n in HELPERS) + helper
    path = write_tree(tmpdir, {'KestDrawHelperFunctions.py': text})
    out, value = failed_import('', HELPERS + ['np', 'near'], path=[path])
    assert value == error + ([('init Movra', 18)], ['np'])


def test_star_import_source_without_dict_or_all():
    out, value = failed_import('sys.modules["KestDrawHelperFunctions"] = 5', ['np', 'near'])
    assert value == ('ImportError', 'from-import-* object has no __dict__ and no __all__',
                     [('init Movra', 18)], ['np'])


PRECEDENCE_TREE = {
    'OpenGL/__init__.py': '',
    'OpenGL/GLUT.py': 'shared = "GLUT"\nglut_only = 1\nsqrt = "GLUT"\n',
    'OpenGL/GL.py': 'shared = "GL"\ngl_only = 2\n_hidden = 3\n',
    'OpenGL/GLU.py': '__all__ = ["shared", "_listed"]\nshared = "GLU"\n_listed = 4\n'
                     'not_listed = 5\n',
    'KestDrawHelperFunctions.py': '''
        near = "helper"
        drawCamera = "helper"
        sin = "helper"
        gl_only = "helper"
        _private = 6
        ''',
}


def test_later_bindings_replace_earlier_ones(tmpdir):
    path = write_tree(tmpdir, PRECEDENCE_TREE)
    out, value = probe('''
        try:
            raise KeyError('handled')
        except KeyError:
            import Movra, numpy
            handled = sys.exc_info()[1]
        g = vars(Movra)
        result((handled.args, g['shared'], g['glut_only'], g['gl_only'], g['_listed'], g['near'],
                type(g['drawCamera']).__name__, g['sqrt'] is numpy.sqrt, g['sin'],
                [n for n in ('_hidden', 'not_listed', '_private') if n in g]))
        ''', path=[path])
    assert out == ''
    assert value == (('handled',), 'GLU', 1, 'helper', 4, 1.0, 'native_function_or_method', True,
                     'helper', [])


def test_a_caught_error_of_any_class(tmpdir):
    path = write_tree(tmpdir, {'OpenGL/__init__.py': '',
                               'OpenGL/GLUT.py': 'raise KeyboardInterrupt("stop")\n'})
    out, value = probe('''
        seen = []
        sys.exit = lambda: seen.append(sys.exc_info()[0].__name__)
        import Movra
        result((seen, Movra.near))
        ''', path=[path])
    assert out == GUARD_TEXT and value == (['KeyboardInterrupt'], 1.0)


# ------------------------------------------------------------ the shared type ---

@pytest.mark.parametrize('shared,error', [
    ('5', ('TypeError', 'Shared function type native_function_or_method is not a type object')),
    ('type("T", (object,), {})', ('TypeError', 'Shared function type native_function_or_method '
                                               "is not of this module's layout, try recompiling")),
    (None, ('ValueError', 'registry unreadable')),
])
def test_registry_checks(shared, error):
    out, value = failed_import('''
        import types
        class Registry(types.ModuleType):
            def __getattr__(self, name):
                if name != 'native_function_or_method':
                    raise AttributeError(name)
                raise ValueError('registry unreadable')
        registry = Registry("_native_function_registry_1")
        if %r is not None:
            registry.native_function_or_method = eval(%r)
        sys.modules[registry.__name__] = registry
        ''' % (shared, shared), ['np'])
    assert value == error + ([], [])


def test_second_module_uses_the_registered_type(tmpdir):
    out, value = probe('''
        import shutil
        import compat
        import Movra as first
        del sys.modules['Movra']
        shutil.copy(first.__file__, COPY)
        second = compat.load_extension('Movra', COPY)
        registry = sys.modules['_native_function_registry_1']
        kind = type(second.drawMain)
        result((second is not first, second.__file__ == COPY, kind is type(first.drawMain),
                registry.native_function_or_method is kind,
                second.drawMain.__globals__ is vars(second),
                second.projective(1.0, 7.0).tolist()))
        '''.replace('COPY', repr(str(tmpdir.join('MovraCopy.so')))))
    assert value == (True, True, True, True, True,
                     [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 8, 7], [0, 0, -1, 0]])


def test_imports_go_through_the_current___import__():
    out, value = probe('''
        from compat import IMPORT_LEVEL, builtins
        original, seen = builtins.__import__, []
        def recorder(tag):
            def hook(name, globals=None, locals=None, fromlist=None, level=IMPORT_LEVEL):
                if globals is not None and globals.get('__name__') == 'Movra':
                    seen.append((tag, name, locals, fromlist, level,
                                 globals is sys.modules['Movra'].__dict__))
                    if name == 'numpy' and tag == 'first':
                        builtins.__import__ = recorder('second')
                return original(name, globals, locals, fromlist, level)
            return hook
        builtins.__import__ = recorder('first')
        import Movra
        result(seen)
        ''')
    star = ['*']
    level = IMPORT_LEVEL
    assert value == [
        ('first', 'sys', {}, [], level, True), ('first', 'OpenGL.GLUT', {}, star, level, True),
        ('first', 'OpenGL.GL', {}, star, level, True),
        ('first', 'OpenGL.GLU', {}, star, level, True),
        ('first', 'numpy', {}, [], level, True),
        ('second', 'numpy', {}, NUMPY_NAMES, level, True),
        ('second', 'KestDrawHelperFunctions', {}, star, level, True)]


def test_failed_initialisation_can_be_retried():
    # The failed import leaves nothing in the module table, so the next import
    # runs the initialisation again: it fails the same way while the helper
    # module is broken, and gives a working module once it is not.
    out, value = probe('''
        import os
        seen = []
        os.environ['MOVRA_FAKE_GL_BROKEN'] = 'KestDrawHelperFunctions'
        for attempt in range(2):
            try:
                import Movra
            except ImportError as e:
                seen.append((str(e), 'Movra' in sys.modules, records(sys.exc_info()[2])))
        del os.environ['MOVRA_FAKE_GL_BROKEN']
        import Movra
        import glfake
        Movra.initGL()
        Movra.drawMain()
        seen.append((sys.modules['Movra'] is Movra, Movra.near, Movra.drawMain.__globals__ is vars(Movra),
                     glfake.names().count('glViewport')))
        result(seen)
        ''')
    failure = ('No module named KestDrawHelperFunctions (simulated by MOVRA_FAKE_GL_BROKEN)',
               False, [('init Movra', 18)])
    assert value == [failure, failure, (True, 1.0, True, 4)]
