"""A learner's module in the host, on the recording GL: loading it (and the
one report of a file that does not load), its faults in a frame, and
--beside: two windows with a context each, every key, drag and tick reaching
both modules (checked through their globals), the differing matrix entries
marked. The pixels themselves are compared on real GL (test_host_learner_gl.py):
the recording GL draws no pixels.
"""
from __future__ import division, print_function

import os
import re
import sys

import pytest

import glfake
import Movra
from kesthost import beside, cli, differences, learner, window as host_window
from kesthost.overlay import compared_lines

pytestmark = [pytest.mark.host, pytest.mark.realgl]

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LISTING = os.path.join(ROOT, 'src', 'Movra.py')

# One sign wrong in projective: only viewport 3 (the normalised view) uses
# it in the module's default set-up.
SEEDED = ('    M[2][3] = near * far\n', '    M[2][3] = -near * far\n')


def listing_text():
    with open(LISTING) as stream:
        return stream.read()


def write(tmpdir, text, name='Movra.py'):
    path = tmpdir.join(name)
    path.write(text)
    return str(path)


@pytest.fixture
def learners(tmpdir):
    """The learner's modules loaded by a test, taken out of sys.modules after it."""
    loaded = []

    def load(text=None, name='Movra.py'):
        path = write(tmpdir, listing_text() if text is None else text, name)
        module = learner.load(path)
        loaded.append(module)
        return module
    yield load
    for module in loaded:
        sys.modules.pop(module.__name__, None)
    folder = str(tmpdir)
    while folder in sys.path:
        sys.path.remove(folder)


def seeded():
    text = listing_text()
    assert SEEDED[0] in text
    return text.replace(SEEDED[0], SEEDED[1])


# ------------------------------------------------------------- loading ---

def test_the_listing_loads_as_a_module_of_its_own_beside_the_compiled_one(learners):
    yours = learners()
    assert yours is not Movra and yours.__name__ == 'Movra_yours'
    assert sys.modules['Movra'] is Movra
    assert yours.__file__.endswith('Movra.py')
    assert learner.missing_entries(yours) == []
    # Its own globals: a change to one module's is not the other's.
    yours.pan = 30
    assert Movra.pan == 0


# (file text, the report's words after "could not be loaded: ", the
# traceback's last line or None when there is none to show)
BROKEN = [
    ('import sys\ndef f(:\n    pass\n',
     r'SyntaxError: invalid syntax \(line 2\): def f\(:', None),
    ('import sys\nvalue = undefined_name + 1\n',
     r"NameError: name 'undefined_name' is not defined \(line 2\): value = undefined_name \+ 1",
     "NameError: name 'undefined_name' is not defined"),
    ('def helper():\n    return 1 / 0\n\nhelper()\n',
     r'ZeroDivisionError: .*division.* by zero \(line 2, in helper\): return 1 / 0',
     'ZeroDivisionError'),
    ('import sys\nsys.exit(3)\n',
     r'SystemExit: sys.exit\(3\) was called \(line 2\): sys.exit\(3\)', None),
    # As the interpreter's import: a latin-1 byte in a string and no coding
    # line (Python 3.13's import takes one in a comment, as this loader does;
    # 3.14 words it "Non-UTF-8 code starting with '\xe9'").
    ('x = 1\ns = "caf\xe9"\n', r"SyntaxError: .*('utf-8'|Non-ASCII|Non-UTF-8).*\(line 2\).*",
     None),
    ('x = 1\n', r'it defines none of initGL, drawMain, updateAnimationVariables, the '
     r'functions the host calls', None),
]


@pytest.mark.parametrize('text, words, last', BROKEN, ids=[
    'syntax error', 'name error', 'error in a function', 'sys.exit', 'latin-1 byte', 'no entries'])
def test_a_file_that_does_not_load_is_one_report(tmpdir, capsys, text, words, last):
    path = tmpdir.join('broken.py')
    path.write_binary(text if isinstance(text, bytes) else text.encode('latin-1'))
    here = os.getcwd()
    os.chdir(str(tmpdir))
    try:
        with pytest.raises(SystemExit) as stopped:
            cli.main(['--module', 'broken.py', '--headless'])
    finally:
        os.chdir(here)
        sys.modules.pop('broken', None)
        while str(tmpdir) in sys.path:
            sys.path.remove(str(tmpdir))
    assert stopped.value.code == 1
    out, err = capsys.readouterr()
    assert out == ''
    first = err.splitlines()[0]
    assert re.match(r'KestMain\.py: error: broken\.py could not be loaded: ' + words + '$',
                    first), first
    assert err.count('could not be loaded') == 1
    # The interpreter's own words follow, from the file's frames on: nothing
    # of the host or of the import machinery.
    assert 'kesthost' not in err and 'importlib' not in err and '<frozen' not in err
    if last is not None:
        assert err.splitlines()[1] == 'Traceback (most recent call last):'
        assert 'broken.py", line ' in err
        assert err.rstrip().splitlines()[-1].startswith(last)


def test_a_missing_file_is_one_line(capsys):
    with pytest.raises(SystemExit):
        cli.main(['--module', os.path.join(HERE, 'no-such-dir', 'Movra.py'), '--headless'])
    err = capsys.readouterr()[1]
    assert err.endswith('could not be loaded: no such file\n') and err.count('\n') == 1


@pytest.mark.parametrize('args, message', [
    (['--beside'], "--beside needs --module PATH, the module to show beside Movra's"),
    (['--diff'], "--diff needs --module PATH, the module to show beside Movra's"),
])
def test_beside_and_diff_need_a_module(capsys, args, message):
    with pytest.raises(SystemExit) as stopped:
        cli.parse_args(args)
    assert stopped.value.code == 2
    assert capsys.readouterr()[1].rstrip().endswith('error: ' + message)


def test_diff_implies_beside():
    args = cli.parse_args(['--module', 'x.py', '--diff'])
    assert args.beside and args.diff and args.module == 'x.py'


def test_the_help_names_the_options_and_the_keys_of_a_comparison(capsys):
    with pytest.raises(SystemExit):
        cli.parse_args(['--help'])
    words = ' '.join(capsys.readouterr()[0].split())
    for text in ('--module PATH', '--beside', '--diff', 'With --module, in place of d and v:',
                 "d mark in magenta the pixels where your frame differs from Movra's",
                 'v swap the two pictures'):
        assert text in words, text


# ------------------------------------------------------------ one window ---

def test_a_frame_that_raises_is_reported_once_by_the_learners_name(learners, capsys):
    yours = learners(listing_text() + '\n\nBROKEN = [True]\n_drawMain = drawMain\n\n'
                     'def drawMain():\n    if BROKEN[0]:\n'
                     '        raise ValueError("my frame is broken")\n    _drawMain()\n')
    name = learner.display_name(yours.__file__)
    shown = host_window.Window(yours, name=name, animate=False,
                               partners=[host_window.Driven(Movra)])
    for _ in range(3):
        assert shown.scene.draw() is False
    yours.BROKEN[0] = False
    assert shown.scene.draw() is True
    err = capsys.readouterr()[1]
    assert err.count('Traceback (most recent call last)') == 1, err
    assert err.startswith('%s: drawMain() raised an exception; the program goes on and '
                          'tries again:\n' % name)
    assert 'raise ValueError("my frame is broken")' in err
    assert err.rstrip().splitlines()[-1] == ('%s: drawMain() works again after 3 failed '
                                             'call(s)' % name)
    assert shown.scene.frames_failed == 3 and shown.scene.frames_drawn == 1
    assert glfake.state.windows[0].startswith(name.encode('ascii') + b'  pan=0 tilt=0 ')


def test_one_window_drives_movra_in_step_and_v_shows_it(learners, capsys):
    yours = learners()
    shown = host_window.Window(yours, name='mine', animate=False,
                               partners=[host_window.Driven(Movra)])
    shown.state.compare = True
    shown.tick()
    shown.press('a')
    assert (yours.pan, Movra.pan) == (-5, -5)
    assert yours.movingCameraAngle == Movra.movingCameraAngle == 1
    del glfake.calls[:]
    shown.press('v')
    assert shown.module is Movra and shown.scene.module is Movra
    # Movra's own initGL (it makes the quadric), once it is shown.
    assert glfake.names().count('gluNewQuadric') == 1
    shown.scene.draw()
    shown.press('v')
    assert shown.module is yours
    assert glfake.names().count('gluNewQuadric') == 1
    assert capsys.readouterr()[0].splitlines()[1:] == ['showing Movra', 'showing mine']


# ---------------------------------------------------------------- beside ---

@pytest.fixture
def pair(learners):
    made = []

    def make(text=None, **options):
        yours = learners(text)
        made.append(beside.Beside(yours, Movra, 'Movra.py (yours)', animate=False, **options))
        return made[-1]
    yield make
    for each in made:
        for window in each.windows:
            window.overlay.remove()


def test_each_window_has_a_context_of_its_own(pair):
    # The learner's initGL turns face culling on (where the listing turns it
    # off): in its own context only.
    text = listing_text().replace('    glDisable(GL_CULL_FACE)\n',
                                  '    glEnable(GL_CULL_FACE)\n', 1)
    assert text != listing_text()
    both = pair(text)
    yours, movra = both.yours, both.movra
    assert (yours.id, movra.id) == (1, 2)
    assert glfake.state.window_positions == [(0, 0), (700, 0)]
    both.tick()
    both.draw()
    GL_CULL_FACE = glfake.GL_CONSTS['GL_CULL_FACE']
    # The learner's window, current before the frame (the timer's), is
    # current again.
    assert glfake.state.current_window == yours.id
    assert GL_CULL_FACE in glfake.state.enabled
    assert GL_CULL_FACE not in glfake.state.contexts[movra.id]['enabled']
    # Each context saw its own module's frame: viewport 4's rectangle last.
    assert glfake.state.viewport == glfake.state.contexts[movra.id]['viewport'] \
        == (350, 350, 350, 350)
    # Movra's window is drawn first, then the learner's, each swapped.
    assert glfake.state.swapped_windows == [movra.id, yours.id]
    assert both.frames == 1


KEYS_BOTH = [
    ('a', {'pan': -5}), ('RIGHT', {'pan': 5}), ('w', {'tilt': 5}), ('s', {'tilt': -5}),
    ('X', {'eyeX': 0.25}), ('y', {'eyeY': -0.25}), ('z', {'eyeZ': -0.25}),
    ('n', {'near': 0.9}), ('F', {'far': 7.5}), ('V', {'top': 0.55}),
    ('4', {'viewport4Sol1': False}),
]


@pytest.mark.parametrize('key, expected', KEYS_BOTH, ids=[k for k, _ in KEYS_BOTH])
def test_every_key_reaches_both_modules(pair, key, expected):
    both = pair()
    outcome = both.press(key)
    assert outcome.changed
    for name, value in expected.items():
        assert getattr(both.yours.module, name) == pytest.approx(value), name
        assert getattr(Movra, name) == pytest.approx(value), name
    # The titles of both windows follow, each from its own module.
    title = [t for t in glfake.state.windows]
    assert title[0].startswith(b'Movra.py (yours)  pan=') and title[1].startswith(b'Movra  pan=')
    assert title[0].split(b'  ', 1)[1] == title[1].split(b'  ', 1)[1]


def test_each_module_moves_from_its_own_values(pair):
    both = pair()
    both.yours.module.pan = 20
    both.press('a')
    assert (both.yours.module.pan, Movra.pan) == (15, -5)


def test_the_state_of_the_host_changes_once_for_both(pair):
    both = pair()
    for key in (' ', 'd', 'l', 'i'):
        both.press(key)
    state = both.state
    assert (state.paused, state.diff, state.labels, state.matrices) == (True, True, False, True)
    both.press('.')                       # one tick, to both, while paused
    assert both.yours.module.movingCameraAngle == Movra.movingCameraAngle == 1
    both.press('X')
    both.press('r')                       # reset: both, and one tick for both
    assert both.yours.module.eyeX == Movra.eyeX == 0
    assert both.yours.module.movingCameraAngle == Movra.movingCameraAngle == 1
    both.press('v')
    assert state.swapped and glfake.state.window_positions == [(700, 0), (0, 0)]


def test_mouse_drags_and_the_wheel_reach_both_modules(pair):
    both = pair()
    height = both.yours.window_height
    # A left drag in viewport 1 (lower left: y counted from the top).
    both.mouse_event(0, True, 50, height - 50, height)
    both.motion_event(70, height - 60)
    both.mouse_event(0, False, 70, height - 60, height)
    assert (both.yours.module.pan, both.yours.module.tilt) == (Movra.pan, Movra.tilt) == (10, 5)
    # A right drag moves the eye; it may start in any viewport.
    both.mouse_event(2, True, 600, 100, height)
    both.motion_event(625, 150)
    assert (both.yours.module.eyeX, both.yours.module.eyeY) == (Movra.eyeX, Movra.eyeY) \
        == (0.25, -0.5)
    # The wheel narrows the field of view, even where v swaps the pictures.
    both.mouse_event(3, True, 10, 10, height)
    assert both.yours.module.top == Movra.top == pytest.approx(0.5 / 1.1)
    assert not both.state.swapped


def test_ticks_reach_both_modules(pair):
    both = pair()
    for _ in range(3):
        both.tick()
    assert both.yours.module.movingCameraAngle == Movra.movingCameraAngle == 3
    assert list(both.yours.module.movingCameraPos) == list(Movra.movingCameraPos)


def test_a_learners_failure_in_a_key_is_its_own_and_movra_still_moves(pair, capsys):
    both = pair()
    del both.yours.module.pan
    both.press('a')
    assert Movra.pan == -5
    err = capsys.readouterr()[1]
    assert err.startswith("Movra.py (yours): key 'a' raised an exception")
    assert both.yours.faults.failures == 1 and both.movra.faults.failures == 0


@pytest.mark.parametrize('text, differing', [
    (None, {1: 'none', 2: 'none', 3: 'none', 4: 'none'}),
    (seeded(), {1: 'none', 2: 'none', 3: 'modelview [0][3], [1][3], [2][3]', 4: 'none'}),
], ids=['the listing', 'one sign in projective'])
def test_the_matrices_of_both_with_the_differing_entries(pair, capsys, text, differing):
    both = pair(text, matrices=True, diff=True)
    both.tick()
    both.press('m')
    both.draw()
    out = capsys.readouterr()[0]
    report = out[out.index('matrices in effect'):]
    found = dict((int(number), entries) for number, entries in re.findall(
        r'\n(\d) [^\n]*\n(?:  [^\n]*\n)*?  differing entries: ([^\n]*)', report))
    assert found == differing
    for number in (1, 2, 3, 4):
        marked = any(m for line in both.yours.overlay.viewport_text(number) for _, m in line)
        assert marked is (differing[number] != 'none')
    # The recording GL draws no pixels: both frames read back alike, and
    # nothing is marked.
    assert both.yours.overlay.shares == {1: 0.0, 2: 0.0, 3: 0.0, 4: 0.0}
    assert 'glDrawPixels' not in glfake.names()
    assert glfake.names().count('glReadPixels') == 2


def test_compared_lines_mark_only_the_learners_differing_entries():
    import numpy as np
    identity = np.eye(4)
    other = identity.copy()
    other[1][2] = 0.5
    lines = compared_lines((other, identity), (identity, identity), 'mine')
    assert [line[0][0] for line in lines if len(line) == 1] == [
        'mine projection', 'Movra projection', 'mine modelview', 'Movra modelview']
    marked = [(row, column) for row, line in enumerate(lines[1:5])
              for column, (_, m) in enumerate(line) if m]
    assert marked == [(1, 2)]
    assert not any(m for line in lines[5:] for _, m in line)
    assert differences.entry_list(differences.entries_differ(other, identity)) == ['[1][2]']


@pytest.mark.parametrize('a, b, differ', [
    (1.0, 1.0 + 1e-12, False), (0.0, 1e-10, False), (0.0, 1e-8, True),
    (float('nan'), float('nan'), False), (float('inf'), float('inf'), False),
    (float('inf'), -float('inf'), True), (float('nan'), 1.0, True), (-0.0, 0.0, False),
])
def test_entries_differ_as_the_compare_tool_counts_them(a, b, differ):
    import numpy as np
    x, y = np.zeros((4, 4)), np.zeros((4, 4))
    x[2][3], y[2][3] = a, b
    found = differences.entry_list(differences.entries_differ(x, y))
    assert found == (['[2][3]'] if differ else [])


@pytest.mark.parametrize('as_read', [lambda a: a.tobytes(), lambda a: a,
                                     lambda a: a[:, ::-1][:, ::-1]],
                         ids=['bytes', 'array', 'strided array'])
def test_the_shares_count_each_viewport_apart(as_read):
    import numpy as np
    side = 10
    yours = np.zeros((2 * side, 2 * side, 4), dtype=np.uint8)
    movra = yours.copy()
    yours[side + 2:side + 7, 0:5, 1] = 9     # GL rows from the bottom: viewport 3
    assert differences.shares(differences.differing(as_read(yours), as_read(movra), side),
                              side) == {1: 0.0, 2: 0.0, 3: 0.25, 4: 0.0}
    yours[0, side:, 3] = 9                   # alpha alone is no difference where it counts
    mask = differences.differing(yours.tobytes(), movra.tobytes(), side, alpha=True)
    assert differences.shares(mask, side) == {1: 0.0, 2: 0.0, 3: 0.25, 4: 0.0}
    assert differences.shares(differences.differing(yours.tobytes(), movra.tobytes(), side),
                              side) == {1: 0.0, 2: 0.1, 3: 0.25, 4: 0.0}
    marks = np.frombuffer(differences.marks(mask), dtype=np.uint8).reshape(2 * side, 2 * side, 4)
    assert (marks[mask] == (255, 0, 255, 255)).all() and (marks[~mask] == 0).all()
    assert [differences.share_text(s) for s in (0.0, 0.25, 0.00001)] == ['0%', '25.00%', '<0.01%']


def test_a_headless_pair_on_the_recording_gl(tmpdir, capsys):
    # The command line's whole route, the windows and frames on the recording
    # GL (its own Xvfb is started and stopped all the same).
    out = str(tmpdir.join('out'))
    try:
        status = cli.main(['--module', LISTING, '--diff', '--headless', '-n', '2', '-s', '32',
                           '-o', out])
    finally:
        sys.modules.pop('Movra_yours', None)
    printed = capsys.readouterr()[0]
    assert status == 0, printed
    assert 'wrote 2 PNG frames (128x64, %s (yours) on the left, Movra on the right)' % (
        learner.shown_name(LISTING)) in printed
    assert printed.rstrip().endswith('by viewport: 1 0%, 2 0%, 3 0%, 4 0%')
    assert sorted(os.listdir(out)) == ['frame_0000.png', 'frame_0001.png', 'movra.gif']
    from PIL import Image
    assert Image.open(os.path.join(out, 'frame_0001.png')).size == (128, 64)
    # Two windows, each drawn and read back once a frame; Movra's first.
    assert len(glfake.state.windows) == 2 and glfake.state.destroyed == set([1, 2])
    assert glfake.state.swapped_windows == [2, 1] * 2
    assert Movra.sizeViewport == 32


def test_a_closed_window_is_neither_drawn_nor_made_current_again(pair):
    both = pair()
    both.watch_closing()
    # What freeglut does when the window manager closes Movra's window: its
    # close callback, then the window is gone.
    glfake.run_display(both.movra.id)
    del glfake.state.swapped_windows[:]
    glfake.state.close_func()
    glfake.GLUT_FUNCS['glutDestroyWindow'](both.movra.id)
    glfake.GLUT_FUNCS['glutSetWindow'](both.yours.id)
    both.draw()
    both.timer_func(0)
    assert both.closed and both.movra.closed and not both.yours.closed
    assert glfake.state.swapped_windows == [] and glfake.state.timers == []
    # Before the program ends the remaining window's callback is taken back.
    both.stop_watching()
    assert glfake.state.close_func is None


@pytest.mark.parametrize('swapped', [False, True])
def test_a_headless_pair_puts_the_learners_frame_on_the_left_unless_swapped(learners, swapped):
    from kesthost import headless
    import numpy as np
    # The learner's frames are cleared white (the recording GL reads back
    # each window's clear colour), Movra's black.
    yours = learners(listing_text() + '\n\n_drawMain = drawMain\n\ndef drawMain():\n'
                     '    _drawMain()\n    glClearColor(1.0, 1.0, 1.0, 1.0)\n')
    shown = headless.Pair(yours, Movra, 'mine', labels=False, matrices=False, diff=False)
    shown.beside.state.swapped = swapped
    try:
        frame = np.frombuffer(shown.frame(), dtype=np.uint8).reshape(shown.height, shown.width, 4)
    finally:
        shown.destroy()
    assert (shown.width, shown.height) == (1400, 700)
    white, black = (frame[:, :700] == 255).all(), (frame[:, 700:, :3] == 0).all()
    assert (white and black) is not swapped
    if swapped:
        assert (frame[:, 700:] == 255).all() and (frame[:, :700, :3] == 0).all()
