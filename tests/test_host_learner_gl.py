"""A learner's module beside Movra's under real OpenGL on Xvfb: the pixels
compared (the listing: no difference anywhere; one seeded mistake: its
viewport marked, its share above zero, the others zero), headless pairs, the
live windows taking keys and drags for both modules, and the one report of a
frame that raises.

Every check runs in a subprocess with the real PyOpenGL and the compiled
module, as in test_host_gl.py, whose plumbing these tests use.
"""
from __future__ import division, print_function

import ctypes
import json
import os
import re
import signal
import sys
import textwrap
import time

import numpy as np
import pytest

from test_host_gl import (HOST, PROBE_HEADER, check_stack, live_host, quadrants,  # noqa: F401
                          real_gl_env, run_with_deadline, xserver)

pytestmark = [pytest.mark.host, pytest.mark.realgl]

ROOT = os.path.dirname(HOST)
LISTING = os.path.join(ROOT, 'src', 'Movra.py')
MAIN = os.path.join(HOST, 'KestMain.py')
SEEDED = ('    M[2][3] = near * far\n', '    M[2][3] = -near * far\n')
MAGENTA = (255, 0, 255)


def learner_file(tmpdir, mistake=False, name='Movra.py', extra=''):
    with open(LISTING) as stream:
        text = stream.read()
    if mistake:
        assert SEEDED[0] in text
        text = text.replace(*SEEDED)
    path = tmpdir.join(name)
    path.write(text + extra)
    return str(path)


def magenta(pixels):
    return np.all(pixels == MAGENTA, axis=-1)


PAIR_PROBE = '''
    from kesthost import beside, learner
    yours = learner.load(sys.argv[1])
    pair = beside.Beside(yours, Movra, 'yours', diff=True, labels=False, animate=False)
    frames = {}
    def drawn(window):
        frames[window.name] = headless.read_frame(window.side)
    pair.on_drawn = drawn
    results = []
    pair.tick()
    for index in range(4):
        if index:
            pair.tick()
        pair.draw()
        own = frames['yours']
        results.append({
            'shares': pair.yours.overlay.shares,
            'marked': dict((n, int(magenta.sum())) for n, magenta in
                           ((n, np.all(q == (255, 0, 255), axis=-1))
                            for n, q in quadrants(own).items())),
            'movra_marked': int(np.all(frames['Movra'] == (255, 0, 255), axis=-1).sum()),
        })
    emit(results=results, angles=[yours.movingCameraAngle, Movra.movingCameraAngle],
         failures=pair.failures())
'''

QUADRANTS = '''
def quadrants(image):
    s = image.shape[0] // 2
    return {1: image[s:, :s], 2: image[s:, s:], 3: image[:s, :s], 4: image[:s, s:]}
'''


def run_pair_probe(tmpdir, display, mistake):
    # Not Movra.py: the probe's folder is first on its path, and its own
    # `import Movra` must find the compiled module.
    path = learner_file(tmpdir, mistake, name='mine.py')
    script = tmpdir.join('pair_probe.py')
    script.write(PROBE_HEADER + QUADRANTS + textwrap.dedent(PAIR_PROBE))
    code, out, err = run_with_deadline([sys.executable, str(script), path],
                                       real_gl_env(display), str(tmpdir))
    assert code == 0, out + err
    result = json.loads(out.split('RESULT ', 1)[1].splitlines()[0])
    check_stack(result['stack'])
    return result


def test_the_listing_beside_movra_differs_nowhere(xserver, tmpdir):
    result = run_pair_probe(tmpdir, xserver, mistake=False)
    assert result['failures'] == 0
    assert result['angles'] == [4, 4]
    for frame in result['results']:
        assert frame['shares'] == {'1': 0.0, '2': 0.0, '3': 0.0, '4': 0.0}
        assert frame['marked'] == {'1': 0, '2': 0, '3': 0, '4': 0}
        assert frame['movra_marked'] == 0


def test_one_seeded_mistake_is_marked_in_its_viewport_alone(xserver, tmpdir):
    result = run_pair_probe(tmpdir, xserver, mistake=True)
    assert result['failures'] == 0
    for frame in result['results']:
        shares, marked = frame['shares'], frame['marked']
        assert shares['3'] > 0.01 and marked['3'] > 0
        assert [shares[n] for n in '124'] == [0.0, 0.0, 0.0]
        assert [marked[n] for n in '124'] == [0, 0, 0]
        # Exactly the differing pixels are magenta, and only on the learner's side.
        assert abs(marked['3'] - shares['3'] * 350 * 350) <= 1
        assert frame['movra_marked'] == 0


def run_main(tmpdir, *args):
    return run_with_deadline([sys.executable, MAIN] + list(args), real_gl_env(None), str(tmpdir))


def load_png(path):
    from PIL import Image
    return np.asarray(Image.open(path).convert('RGB'))


def test_headless_beside_writes_the_pairs_and_names_the_differences(tmpdir):
    path = learner_file(tmpdir, mistake=True, name='mine.py')
    code, out, err = run_main(tmpdir, '--module', path, '--diff', '-n', '3', '-s', '100',
                              '-o', str(tmpdir.join('out')))
    assert code == 0, out + err
    assert err == ''
    assert re.search(r'^started Xvfb on display :\d+ \(pid \d+\), screen 400x200$', out, re.M)
    assert 'wrote 3 PNG frames (400x200, mine.py (yours) on the left, Movra on the right)' in out
    summary = re.search(r'^mine\.py \(yours\) differs from Movra, the largest share of pixels '
                        r'over the frames, by viewport: 1 0%, 2 0%, 3 (\d+\.\d\d)%, 4 0%$',
                        out, re.M)
    assert summary and float(summary.group(1)) > 1, out
    assert sorted(os.listdir(str(tmpdir.join('out')))) == [
        'frame_0000.png', 'frame_0001.png', 'frame_0002.png', 'movra.gif']
    frame = load_png(str(tmpdir.join('out', 'frame_0002.png')))
    assert frame.shape == (200, 400, 3)
    left, right = frame[:, :200], frame[:, 200:]
    # The magenta of the marks (the overlay's share line is magenta too, in
    # each viewport's top left corner: leave those rows out).
    body = dict((n, q[40:]) for n, q in quadrants(left).items())
    assert magenta(body[3]).sum() > 0
    assert [int(magenta(body[n]).sum()) for n in (1, 2, 4)] == [0, 0, 0]
    assert magenta(right).sum() == 0
    from PIL import Image
    gif = Image.open(str(tmpdir.join('out', 'movra.gif')))
    assert gif.size == (400, 200) and gif.n_frames == 3


def test_headless_beside_of_the_listing_marks_nothing(tmpdir):
    path = learner_file(tmpdir)
    code, out, err = run_main(tmpdir, '--module', path, '--diff', '-n', '2', '-s', '64',
                              '-o', str(tmpdir.join('out')))
    assert code == 0, out + err
    assert 'by viewport: 1 0%, 2 0%, 3 0%, 4 0%' in out
    frame = load_png(str(tmpdir.join('out', 'frame_0001.png')))
    assert frame.shape == (128, 256, 3)
    # The labels stand where the pictures agree; the two halves differ
    # only in the labels' rows (which name the module) and the share lines.
    rows = np.any(frame[:, :128] != frame[:, 128:], axis=(1, 2))
    for top in (0, 64):
        assert not rows[top + 40:top + 64].any()


def test_a_learners_frame_that_raises_is_one_report_and_the_run_goes_on(tmpdir):
    path = learner_file(tmpdir, name='mine.py', extra=(
        '\n\n_draw = drawMain\nCOUNT = [0]\n\ndef drawMain():\n    COUNT[0] += 1\n'
        '    if COUNT[0] <= 2:\n        raise ValueError("frame %d" % 7)\n    _draw()\n'))
    code, out, err = run_main(tmpdir, '--module', path, '-n', '4', '-s', '48',
                              '-o', str(tmpdir.join('out')))
    assert code == 1, out + err
    assert err.count('Traceback (most recent call last)') == 1, err
    assert err.startswith('mine.py (yours): drawMain() raised an exception; the program goes on '
                          'and tries again:\nTraceback (most recent call last):\n')
    assert 'mine.py", line ' in err and 'ValueError: frame 7' in err
    assert 'mine.py (yours): drawMain() works again after 2 failed call(s)' in err
    assert '2 of 4 frames failed to draw (tracebacks above)' in err
    assert len(os.listdir(str(tmpdir.join('out')))) == 5


def titles(client, prefix):
    found = []
    for window in client.find_window(prefix):
        name = ctypes.c_char_p()
        client.lib.XFetchName(client.display, window, ctypes.byref(name))
        found.append(name.value.decode('utf-8', 'replace'))
    return found


def wait_title(client, prefix, text, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if any(text in title for title in titles(client, prefix)):
            return
        time.sleep(0.05)
    raise AssertionError('no window %r with %r: %r' % (prefix, text, titles(client, prefix)))


def test_the_live_windows_take_keys_and_drags_for_both_modules(live_host, tmpdir):
    path = learner_file(tmpdir, name='mine.py')
    host = live_host('--module', path, '--beside', '--size', '100')
    host.wait_for('press h in a window')
    x = host.x
    yours = x.find_window('mine.py (yours)')
    movra = x.find_window('Movra  ')
    assert len(yours) == 1 and len(movra) == 1
    # A key in the learner's window and one in Movra's: both modules move.
    x.key(yours[0], 'a')
    host.wait_for('mine.py (yours): pan=-5 tilt=0')
    x.key(movra[0], 'w')
    host.wait_for('mine.py (yours): pan=-5 tilt=5')
    # A left drag in viewport 1 of Movra's window: 20 pixels right, 10 up.
    x.button(movra[0], 1, 50, 150, True)
    x.motion(movra[0], 1, 70, 140)
    x.button(movra[0], 1, 70, 140, False)
    host.wait_for('mine.py (yours): pan=5 tilt=10')
    # Each window's title shows its own module's globals.
    wait_title(x, 'Movra  ', 'pan=5 tilt=10 ')
    wait_title(x, 'mine.py (yours)  ', 'pan=5 tilt=10 ')
    x.key(yours[0], 'd')
    host.wait_for('mine.py (yours): differences marked')
    x.key(movra[0], 'q')
    assert host.finish() == 0, host.errors()
    assert host.errors() == ''
    closing = [line for line in host.output().splitlines()
               if line.startswith('mine.py (yours) beside Movra: windows closed after')]
    assert len(closing) == 1


@pytest.mark.parametrize('how', ['close yours', 'close Movra\'s', 'Escape', 'Ctrl+C'])
def test_the_pair_ends_cleanly(live_host, tmpdir, how):
    path = learner_file(tmpdir, name='mine.py')
    host = live_host('--module', path, '--diff', '--size', '64')
    host.wait_for('press h in a window')
    x = host.x
    yours, movra = x.find_window('mine.py (yours)')[0], x.find_window('Movra  ')[0]
    if how == 'Ctrl+C':
        host.process.send_signal(signal.SIGINT)
    elif how == 'Escape':
        x.key(movra, 'Escape')
    else:
        x.close_window(yours if how == 'close yours' else movra)
    assert host.finish() == 0, host.errors()
    # freeglut says nothing (it warns of a window made current after its
    # closing), and both windows are gone.
    assert host.errors() == ''
    assert 'beside Movra: windows closed after' in host.output()
    assert x.find_window('Movra') == [] and x.find_window('mine.py') == []
