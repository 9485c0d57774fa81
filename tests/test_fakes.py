"""Checks of the OpenGL stand-in where other tests use it as an oracle:
matrix formulas, glGetDoublev layout, stacks, error timing, argument
checks, raise_on, the import-failure knob, and the real drawing helper
running against the stand-in."""
import ctypes
import os
import subprocess
import sys

import numpy
import pytest

try:
    from sys import intern
except ImportError:  # Python 2: a built-in
    pass

HERE = os.path.dirname(os.path.abspath(__file__))
FAKES = os.path.join(os.path.dirname(HERE), 'host', 'recordgl')
if FAKES not in sys.path:
    sys.path.insert(0, FAKES)

import glfake  # noqa: E402
from compat import load_source, output_text  # noqa: E402
from OpenGL.GL import *  # noqa: E402,F401,F403
from OpenGL.GLU import *  # noqa: E402,F401,F403
from OpenGL.GLUT import *  # noqa: E402,F401,F403

assert glfake.__file__.startswith(FAKES), glfake.__file__


@pytest.fixture(autouse=True)
def fresh():
    glfake.reset()
    yield
    glfake.reset()


def rows(*values):
    return numpy.array(values, dtype=numpy.float64).reshape(4, 4)


M = rows(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 1)

# (calls made on a fresh stack, expected row-major result), values by hand
MATRIX_CASES = [
    ([('glFrustum', (-1, 1, -1, 1, 1, 3))],
     rows(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -2, -3, 0, 0, -1, 0)),
    ([('glFrustum', (0, 2, -1, 3, 2, 6))],
     rows(2, 0, 1, 0, 0, 1, .5, 0, 0, 0, -2, -6, 0, 0, -1, 0)),
    ([('glOrtho', (-2, 2, -1, 1, 1, 5))],
     rows(.5, 0, 0, 0, 0, 1, 0, 0, 0, 0, -.5, -1.5, 0, 0, 0, 1)),
    ([('glOrtho', (0, 4, 0, 2, -1, 1))],
     rows(.5, 0, 0, -1, 0, 1, 0, -1, 0, 0, -1, 0, 0, 0, 0, 1)),
    ([('gluPerspective', (90, 2, 1, 3))],
     rows(.5, 0, 0, 0, 0, 1, 0, 0, 0, 0, -2, -3, 0, 0, -1, 0)),
    ([('gluLookAt', (0, 0, 5, 0, 0, 0, 0, 1, 0))],
     rows(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, -5, 0, 0, 0, 1)),
    ([('gluLookAt', (3, 0, 0, 0, 0, 0, 0, 1, 0))],
     rows(0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, -3, 0, 0, 0, 1)),
    ([('glRotatef', (90, 0, 0, 1))],
     rows(0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1)),
    ([('glRotated', (90, 0, 0, 5))],
     rows(0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1)),
    ([('glRotatef', (120, 1, 1, 1))],
     rows(0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1)),
    ([('glTranslatef', (1, 0, 0)), ('glRotatef', (90, 0, 0, 1))],
     rows(0, -1, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1)),
    ([('glScalef', (2, 3, 4)), ('glTranslated', (1, 1, 1))],
     rows(2, 0, 0, 2, 0, 3, 0, 3, 0, 0, 4, 4, 0, 0, 0, 1)),
    ([('glMultMatrixd', (numpy.transpose(M),))], M),
    ([('glMultMatrixf', (numpy.matrix(M).T,))], M),
    ([('glLoadMatrixd', (M.T.tolist(),))], M),
    ([('glLoadMatrixf', (list(M.T.flat),))], M),
]


@pytest.mark.parametrize('mode', [GL_MODELVIEW, GL_PROJECTION])
@pytest.mark.parametrize('ops,expected', MATRIX_CASES)
def test_matrix_formulas(mode, ops, expected):
    glMatrixMode(mode)
    for name, args in ops:
        globals()[name](*args)
    pname = {GL_MODELVIEW: GL_MODELVIEW_MATRIX,
             GL_PROJECTION: GL_PROJECTION_MATRIX}[mode]
    got = glGetDoublev(pname)
    assert type(got) is numpy.ndarray and got.dtype == numpy.float64
    assert got.shape == (4, 4)
    numpy.testing.assert_allclose(got.T, expected, atol=1e-12)
    other = 'projection' if mode == GL_MODELVIEW else 'modelview'
    numpy.testing.assert_array_equal(glfake.matrix(other), numpy.eye(4))


def test_get_doublev_is_column_by_column():
    glTranslatef(1, 2, 3)
    got = glGetDoublev(GL_MODELVIEW_MATRIX)
    assert got[3].tolist() == [1.0, 2.0, 3.0, 1.0]
    assert got[:, 3].tolist() == [0.0, 0.0, 0.0, 1.0]
    assert glfake.modelview()[:, 3].tolist() == [1.0, 2.0, 3.0, 1.0]


def test_push_pop_depth_and_restore():
    glTranslatef(1, 0, 0)
    glPushMatrix()
    glPushMatrix()
    glScalef(2, 2, 2)
    assert glfake.depth('modelview') == 3
    assert glfake.state.stack_depth(GL_MODELVIEW) == 3
    assert glGetIntegerv(GL_MODELVIEW_STACK_DEPTH) == 3
    assert glfake.depth(GL_PROJECTION) == 1
    glPopMatrix()
    glPopMatrix()
    numpy.testing.assert_array_equal(glfake.modelview(),
                                     glfake.mat_translate(1, 0, 0))
    with pytest.raises(glfake.GLError) as info:
        glPopMatrix()
    assert info.value.err == GL_STACK_UNDERFLOW
    assert info.value.baseOperation == 'glPopMatrix'
    assert 'stack underflow' in str(info.value)
    assert glfake.names()[-1] == 'glPopMatrix'
    for _ in range(31):
        glPushMatrix()
    with pytest.raises(glfake.GLError) as info:
        glPushMatrix()
    assert info.value.err == GL_STACK_OVERFLOW
    assert glfake.depth() == 32


def test_errors_inside_begin_surface_at_end():
    glBegin(GL_LINES)
    glPushMatrix()              # invalid here: ignored, checked later
    glVertex3f(0, 0, 0)
    assert glfake.depth() == 1
    with pytest.raises(glfake.GLError) as info:
        glEnd()
    assert (info.value.err, info.value.baseOperation) == \
        (GL_INVALID_OPERATION, 'glEnd')
    with pytest.raises(glfake.GLError):
        glEnd()                 # no glBegin open any more


@pytest.mark.parametrize('name,args,exc', [
    ('glViewport', (0, 0, 10.5, 10), ctypes.ArgumentError),
    ('glViewport', (0, 0, numpy.float64(10), 10), ctypes.ArgumentError),
    ('glTranslatef', ('1', 0, 0), ctypes.ArgumentError),
    ('glTranslatef', (0, 0), TypeError),
    ('glColor3fv', ([1, 0],), ValueError),
    ('gluSphere', (None, 1, 8, 8), ctypes.ArgumentError),
    ('glMatrixMode', (12345,), glfake.GLError),
    ('glEnable', (1,), glfake.GLError),
    ('glFrustum', (-1, 1, -1, 1, 0, 10), glfake.GLError),
    ('glLineWidth', (0,), glfake.GLError),
])
def test_bad_arguments_fail_like_pyopengl(name, args, exc):
    with pytest.raises(exc):
        globals()[name](*args)
    assert glfake.calls == [(name, args)]


def test_records_exact_argument_types_and_state():
    glViewport(numpy.int32(0), 0, 640, 480)
    glColor3f(numpy.float32(1), 0, 1.0)
    glClearColor(0.1, 0.2, 0.3, 1.0)
    glEnable(GL_DEPTH_TEST)
    assert glfake.typed(glfake.calls_of('glColor3f')[0]) == (  # numpy's own repr of float32(1)
        ('float32', repr(numpy.float32(1))), ('int', '0'), ('float', '1.0'))
    assert glfake.names() == ['glViewport', 'glColor3f', 'glClearColor',
                              'glEnable']
    vp = glGetIntegerv(GL_VIEWPORT)
    assert vp.dtype == numpy.int32 and vp.tolist() == [0, 0, 640, 480]
    assert glIsEnabled(GL_DEPTH_TEST) == 1 and glIsEnabled(GL_CULL_FACE) == 0
    assert type(glGetIntegerv(GL_DEPTH_FUNC)) is numpy.int32
    assert glGetError() == 0
    assert gluNewQuadric() is not gluNewQuadric()


def test_raise_on_records_first_then_raises():
    glfake.raise_on['glClear'] = RuntimeError('boom')
    glfake.raise_on['drawGrayCube'] = ValueError('helper failed')
    import KestDrawHelperFunctions as helpers
    with pytest.raises(RuntimeError):
        glClear(GL_COLOR_BUFFER_BIT)
    with pytest.raises(ValueError):
        helpers.drawGrayCube(1.0)
    glTranslatef(0, 0, -2)
    helpers.drawColoredCube(0.5)
    assert glfake.names() == ['glClear', 'drawGrayCube', 'glTranslatef',
                              'drawColoredCube']
    assert glfake.state.clears == []
    assert [d.name for d in glfake.draws] == ['drawColoredCube']
    name, args, mv = glfake.draws[0]
    assert args == (0.5,) and mv[:3, 3].tolist() == [0.0, 0.0, -2.0]


@pytest.mark.parametrize('broken', ['GL', 'GLU', 'GLUT',
                                    'KestDrawHelperFunctions'])
def test_broken_knob_fails_only_that_import(broken):
    code = ('import sys\n'
            'for mod in ["OpenGL.GL", "OpenGL.GLU", "OpenGL.GLUT",'
            ' "KestDrawHelperFunctions"]:\n'
            '    try:\n'
            '        __import__(mod)\n'
            '    except ImportError as e:\n'
            '        print(mod + ": " + str(e))\n')
    env = dict(os.environ, PYTHONPATH=FAKES, MOVRA_FAKE_GL_BROKEN=broken)
    out = output_text(subprocess.check_output([sys.executable, '-c', code], env=env))
    assert out.strip().splitlines() == [
        ('OpenGL.' + broken if broken != 'KestDrawHelperFunctions' else broken)
        + ': No module named %s (simulated by MOVRA_FAKE_GL_BROKEN)' % broken]


def _host_helpers():
    path = os.path.join(HERE, os.pardir, 'host', 'KestDrawHelperFunctions.py')
    return load_source('host_draw_helpers', path)


def test_host_helpers_draw_against_the_stand_in():
    host = _host_helpers()
    assert sorted(n for n in dir(host) if not n.startswith('_')
                  and n not in ('GL_LINES', 'GL_LINE_LOOP', 'GL_LINE_WIDTH',
                                'GL_QUADS') and not n.startswith('gl')) == \
        ['draw3DCoordinateAxes', 'drawColoredCube', 'drawGrayCube',
         'drawViewVolume']
    glLineWidth(1.5)
    host.drawColoredCube(0.5)
    host.draw3DCoordinateAxes()
    host.drawViewVolume(-1, 1, -0.5, 0.5, 1, 3)
    assert glfake.state.line_width == 1.5
    assert glfake.depth() == 1 and glfake.state.error == 0
    cube, axes, near, far, edges = glfake.state.primitives
    assert cube.mode == GL_QUADS and cube.vertices.shape == (24, 3)
    assert set(numpy.abs(cube.vertices).flat) == set([0.5])
    assert len(set(map(tuple, cube.colors))) == 6
    for quad in cube.vertices.reshape(6, 4, 3):     # wound CCW from outside
        normal = numpy.cross(quad[1] - quad[0], quad[2] - quad[0])
        assert normal.dot(quad.mean(axis=0)) > 0
    assert axes.mode == GL_LINES and axes.line_width == 3.0
    assert axes.vertices[1::2].tolist() == numpy.eye(3).tolist()
    assert axes.colors[1::2, :3].tolist() == numpy.eye(3).tolist()
    assert near.vertices.tolist() == [[-1, -.5, -1], [1, -.5, -1],
                                      [1, .5, -1], [-1, .5, -1]]
    assert far.vertices.tolist() == [[-3, -1.5, -3], [3, -1.5, -3],
                                     [3, 1.5, -3], [-3, 1.5, -3]]
    assert edges.mode == GL_LINES and len(edges.vertices) == 16


@pytest.mark.parametrize('name,args,exc', [
    ('drawColoredCube', (), TypeError),
    ('drawGrayCube', ('1',), TypeError),
    ('draw3DCoordinateAxes', (1,), TypeError),
    ('drawViewVolume', (-1, 1, -1, 1, 0, 3), ValueError),
])
def test_stand_in_and_host_helpers_fail_alike(name, args, exc):
    import KestDrawHelperFunctions as stand_in
    for module in (stand_in, _host_helpers()):
        with pytest.raises(exc):
            getattr(module, name)(*args)
    assert glfake.draws == []


# A child that runs initGL, one tick and one frame on the stand-ins, in the
# mode that records nothing or not, and reports what it saw as JSON.
NOTHING_CHILD = '''
import json, sys
import glfake
seen = []
def counting(*args, **kwargs):
    seen.append(len(args))
mode = sys.argv[1]
if mode == 'counting':
    glfake.record_nothing(counting)
elif mode == 'default':
    glfake.record_nothing()
import OpenGL.GL as GL, OpenGL.GLU as GLU, OpenGL.GLUT as GLUT
import KestDrawHelperFunctions as helpers
import Movra
Movra.initGL()
Movra.updateAnimationVariables()
Movra.drawMain()
recorded = len(glfake.calls)
result = GL.glFrustum(1, 2, x=3) if mode == 'default' else 'not called'
stand_ins = [(m, n) for m, names in ((GL, glfake.GL_FUNCS), (GLU, glfake.GLU_FUNCS),
                                     (GLUT, glfake.GLUT_FUNCS),
                                     (helpers, [h for h, _ in glfake.HELPERS]))
             for n in names]
used = [getattr(m, n) for m, n in stand_ins] + [getattr(Movra, n) for n in glfake.function_names()]
print(json.dumps({
    'one function': len(set(map(id, used))) == 1 and used[0] is glfake.nothing,
    'constants': [GL.GL_MODELVIEW, GL.GL_PROJECTION_MATRIX, GLUT.GLUT_DOUBLE],
    'result': result, 'recorded': recorded, 'seen': len(seen)}))
'''


def nothing_child(mode):
    env = dict(os.environ, PYTHONPATH=FAKES)
    out = subprocess.check_output([sys.executable, '-c', NOTHING_CHILD, mode], env=env)
    import json
    return json.loads(output_text(out))


def test_the_mode_that_records_nothing_makes_every_function_the_one_given():
    recording, counting, default = [nothing_child(m) for m in ('recording', 'counting', 'default')]
    constants = [GL_MODELVIEW, GL_PROJECTION_MATRIX, GLUT_DOUBLE]
    assert recording['recorded'] > 100 and not recording['one function']
    # Every call of initGL, the tick and the frame reached the function given,
    # and none was recorded.
    assert counting == {'one function': True, 'result': 'not called', 'constants': constants,
                        'recorded': 0, 'seen': recording['recorded']}
    assert default == {'one function': True, 'result': None, 'constants': constants,
                       'recorded': 0, 'seen': 0}


@pytest.mark.parametrize('stand_in', glfake.STAND_INS)
def test_the_mode_that_records_nothing_refuses_after_a_stand_in_is_imported(stand_in):
    code = ('import glfake, %s\n'
            'try:\n'
            '    glfake.record_nothing()\n'
            'except RuntimeError as e:\n'
            '    print(e)\n'
            'print(glfake.nothing)\n' % stand_in)
    env = dict(os.environ, PYTHONPATH=FAKES)
    out = output_text(subprocess.check_output([sys.executable, '-c', code], env=env))
    assert out.splitlines() == [
        'record_nothing() comes before the stand-ins are imported; already imported: %s'
        % stand_in, 'None']


@pytest.mark.parametrize('part', ['OpenGL.GL', 'OpenGL.GLU', 'OpenGL.GLUT'])
def test_the_stand_ins_names_are_interned_as_pyopengls_identifiers_are(part):
    # A module that imports them with * keeps these very strings as its
    # globals' keys; a lookup by identity (an interned name of its code)
    # misses every key that is only equal to it.
    module = sys.modules[part]
    assert [n for n in module.__all__ if intern(n) is not n] == []


# The package's hooks are read from the package at each use, so that an
# assignment to glfake's attribute (as the fuzzer makes: glfake.raise_on =
# FailingCall(...)) reaches the function tables of its modules.
def test_assigning_the_packages_hooks_takes_effect_in_its_modules():
    glfake.raise_on = glfake.FailingCall(2, KeyError)
    try:
        glMatrixMode(GL_MODELVIEW)
        with pytest.raises(KeyError) as raised:
            glPushMatrix()
        assert str(raised.value) == repr('call 2 (glPushMatrix) failed')
        assert glfake.names() == ['glMatrixMode', 'glPushMatrix']
        assert glfake.depth() == 1        # the failing call was not simulated
    finally:
        glfake.raise_on = {}
    seen = []
    glfake.on_main_loop = lambda: seen.append('loop')
    glutMainLoop()
    assert seen == ['loop']
    glfake.reset()
    assert glfake.on_main_loop is None and glfake.raise_on == {}
    glutMainLoop()
    assert seen == ['loop']


@pytest.mark.parametrize('name', sorted(glfake.__all__))
def test_every_name_of_the_package_is_one_object_with_its_modules(name):
    # The package and the module that defines a name hold the same object:
    # a list a test empties in place or a table it reads is the one the
    # stand-ins use.
    value = getattr(glfake, name)
    owners = [module for module in sys.modules.values()
              if getattr(module, '__name__', '').startswith('glfake.')
              and name in vars(module)]
    # The hooks alone belong to the package itself.
    assert bool(owners) is (name not in ('nothing', 'on_main_loop', 'raise_on')), name
    assert all(vars(module)[name] is value for module in owners), name
