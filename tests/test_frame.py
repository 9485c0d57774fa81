"""initGL and drawMain: exact calls with argument types, the state they
leave, and where they stop when something fails."""
import pytest

import glfake
import Movra
from compat import function_arity_message
from conftest import movra_records

GL = dict(glfake.GL_CONSTS)
INIT_CALLS = [
    ('glFrontFace', (('int', str(GL['GL_CCW'])),)),
    ('glEnable', (('int', str(GL['GL_DEPTH_TEST'])),)),
    ('glDepthFunc', (('int', str(GL['GL_LEQUAL'])),)),
    ('glDisable', (('int', str(GL['GL_CULL_FACE'])),)),
    ('glClearColor', (('float', '0.0'),) * 3 + (('float', '1.0'),)),
    ('glClearDepth', (('int', '1'),)),
    ('gluNewQuadric', ()),
]
VIEWPORTS = [(0, 0, 350, 350), (350, 0, 350, 350), (0, 350, 350, 350), (350, 350, 350, 350)]


@pytest.fixture
def quadric():
    Movra.initGL()
    glfake.reset()


def test_initGL_calls_and_state():
    assert Movra.myQuadric == 0
    assert Movra.initGL() is None
    assert glfake.typed_calls() == INIT_CALLS
    state = glfake.state
    assert Movra.myQuadric is state.quadrics[0]
    assert (GL['GL_DEPTH_TEST'] in state.enabled, GL['GL_CULL_FACE'] in state.enabled) == (
        True, False)
    assert (state.depth_func, state.front_face, state.clear_color, state.clear_depth) == (
        GL['GL_LEQUAL'], GL['GL_CCW'], (0.0, 0.0, 0.0, 1.0), 1.0)


def test_initGL_again_makes_a_new_quadric():
    Movra.initGL()
    first = Movra.myQuadric
    Movra.initGL()
    assert glfake.typed_calls() == INIT_CALLS * 2
    assert Movra.myQuadric is glfake.state.quadrics[1] and Movra.myQuadric is not first
    # the literal arguments are shared constants, not rebuilt per call
    colours = glfake.calls_of('glClearColor')
    assert [a is b for a, b in zip(*colours)] == [True] * 4


@pytest.mark.parametrize('name,how,line', [
    ('GL_LEQUAL', 'missing', 62), ('glDisable', 'missing', 63),
    ('glClearDepth', 'raises', 65), ('gluNewQuadric', 'raises', 66),
    ('gluNewQuadric', 'missing', 66),
])
def test_initGL_stops_at_the_failing_statement(name, how, line):
    if how == 'missing':
        delattr(Movra, name)
    else:
        glfake.raise_on[name] = KeyError(name)
    with pytest.raises((NameError, KeyError)) as info:
        Movra.initGL()
    assert movra_records(info.tb) == [('Movra.initGL', line)]
    made = [n for n, args in INIT_CALLS][:line - 60 + (how == 'raises')]
    assert glfake.names() == made and Movra.myQuadric == 0


def test_initGL_refuses_arguments():
    with pytest.raises(TypeError) as info:
        Movra.initGL(1)
    assert str(info.value) == function_arity_message('none', 'initGL', 1) and glfake.calls == []


# ----------------------------------------------------------------- drawMain ---

def frame_calls():
    """The calls drawMain makes itself and the viewport rectangles, in order."""
    return [(n, glfake.typed(a)) for n, a in glfake.calls
            if n in ('glClearColor', 'glClear', 'glViewport')]


FRAME = [('glClearColor', INIT_CALLS[4][1]), ('glClear', (('int', str(0x4100)),))] + [
    ('glViewport', glfake.typed(v)) for v in VIEWPORTS]


@pytest.mark.parametrize('viewport4Sol1', [True, False])
def test_drawMain_calls(quadric, viewport4Sol1):
    Movra.viewport4Sol1 = viewport4Sol1
    assert Movra.drawMain() is None
    assert frame_calls() == FRAME
    assert glfake.names()[:3] == ['glClearColor', 'glClear', 'glViewport']
    assert glfake.state.clears == [0x4100] and glfake.state.viewport == VIEWPORTS[3]
    assert glfake.depth('modelview') == glfake.depth('projection') == 1


def test_drawMain_calls_the_viewports_bound_now(quadric):
    order = []
    for n in (1, 2, 3, 4):
        setattr(Movra, 'Viewport%d' % n, lambda n=n: order.append(n))
    Movra.Viewport3 = Movra.Viewport1
    Movra.drawMain()
    assert order == [1, 2, 1, 4] and glfake.names() == ['glClearColor', 'glClear']


def test_clear_mask_is_colour_or_depth(quadric):
    class Bits(object):
        def __init__(self, tag):
            self.tag = tag

        def __or__(self, other):
            return ('or', self.tag, other.tag)

        __ror__ = None
    seen = []
    Movra.GL_COLOR_BUFFER_BIT, Movra.GL_DEPTH_BUFFER_BIT = Bits('colour'), Bits('depth')
    Movra.glClear = seen.append
    Movra.drawMain()
    assert seen == [('or', 'colour', 'depth')]


@pytest.mark.parametrize('missing,named,line,viewports', [
    (['glClearColor'], 'glClearColor', 288, 0),
    (['glClear', 'GL_COLOR_BUFFER_BIT'], 'glClear', 289, 0),
    (['GL_COLOR_BUFFER_BIT', 'GL_DEPTH_BUFFER_BIT'], 'GL_COLOR_BUFFER_BIT', 289, 0),
    (['GL_DEPTH_BUFFER_BIT'], 'GL_DEPTH_BUFFER_BIT', 289, 0),
    (['Viewport1'], 'Viewport1', 290, 0),
    (['Viewport4'], 'Viewport4', 293, 3),
])
def test_drawMain_missing_name(quadric, missing, named, line, viewports):
    for name in missing:
        delattr(Movra, name)
    with pytest.raises(NameError) as info:
        Movra.drawMain()
    assert str(info.value) == "name '%s' is not defined" % named
    assert movra_records(info.tb) == [('Movra.drawMain', line)]
    assert glfake.calls_of('glViewport') == VIEWPORTS[:viewports]
    assert len(glfake.calls_of('glClear')) == (line > 289)


class Stop(Exception):
    pass


def test_failing_viewport_ends_the_frame(quadric):
    def viewport2():
        raise Stop('viewport 2')
    Movra.Viewport2 = viewport2
    with pytest.raises(Stop) as info:
        Movra.drawMain()
    assert movra_records(info.tb) == [('Movra.drawMain', 291)]
    assert glfake.calls_of('glViewport') == VIEWPORTS[:1]
    assert glfake.names()[-1] == 'glPopMatrix'  # Viewport1 was drawn to its end


def test_failure_inside_a_viewport(quadric):
    glfake.raise_on['glOrtho'] = Stop('ortho')
    with pytest.raises(Stop) as info:
        Movra.drawMain()
    assert movra_records(info.tb) == [('Movra.drawMain', 291), ('Movra.Viewport2', 155)]
    assert glfake.calls_of('glViewport') == VIEWPORTS[:2]
    assert glfake.names()[-1] == 'glOrtho'


def test_fractional_size_truncates(quadric):
    Movra.sizeViewport = 350.9
    Movra.drawMain()
    assert [c for c in frame_calls() if c[0] == 'glViewport'] == FRAME[2:]


def test_drawMain_refuses_arguments(quadric):
    with pytest.raises(TypeError) as info:
        Movra.drawMain(None)
    assert str(info.value) == function_arity_message('none', 'drawMain', 1) and glfake.calls == []
