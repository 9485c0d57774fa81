"""KestMain.py from the command line: options, headless runs, `make run`.

Every run is a subprocess with the real OpenGL (host/recordgl removed from
PYTHONPATH) and without DISPLAY, as on CI: the program starts and stops its
own Xvfb.
"""
from __future__ import division

import errno
import os
import re
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

pytestmark = [pytest.mark.host, pytest.mark.realgl]

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, 'host')
FAKES = os.path.join(ROOT, 'host', 'recordgl')
MAIN = os.path.join(HOST, 'KestMain.py')
TIMEOUT = 300


def host_env(**changes):
    env = dict(os.environ)
    fakes = os.path.realpath(FAKES)
    parts = [part for part in env.get('PYTHONPATH', '').split(os.pathsep)
             if part and os.path.realpath(part) != fakes]
    env['PYTHONPATH'] = os.pathsep.join([HOST] + parts)
    env.pop('DISPLAY', None)
    env['PYTHONUNBUFFERED'] = '1'
    for name, value in changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def run(args, env=None, cwd=None, timeout=TIMEOUT):
    process = subprocess.Popen(args, env=env if env is not None else host_env(),
                               cwd=cwd or ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    timer = threading.Timer(timeout, process.kill)
    timer.start()
    try:
        out, err = process.communicate()
    finally:
        timer.cancel()
    return process.returncode, out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace')


def run_main(*args, **kwargs):
    return run([sys.executable, MAIN] + list(args), **kwargs)


def run_script(tmpdir, body, *args):
    script = tmpdir.join('driver.py')
    script.write(body)
    return run([sys.executable, str(script)] + list(args), cwd=str(tmpdir))


def xvfb_pid(out):
    match = re.search(r'started Xvfb on display :(\d+) \(pid (\d+)\)', out)
    assert match, out
    return int(match.group(2))


def alive(pid):
    try:
        os.kill(pid, 0)
    except OSError as error:
        assert error.errno == errno.ESRCH
        return False
    return True


def load_png(path):
    """A frame as an RGB array; frames are palette PNGs."""
    from PIL import Image
    image = Image.open(path)
    assert image.mode == 'P', image.mode
    return np.asarray(image.convert('RGB'))


def quadrants(image):
    """The four viewports of a frame, keyed by viewport number."""
    s = image.shape[0] // 2
    return {1: image[s:, :s], 2: image[s:, s:], 3: image[:s, :s], 4: image[:s, s:]}


# ---------------------------------------------------------------- options ---

def test_help_explains_every_option_and_the_keys():
    code, out, err = run_main('--help')
    assert code == 0 and err == ''
    words = ' '.join(out.split())       # argparse wraps the help text
    for text in ('--frames N', '--out DIR', '--size PIXELS', '--headless',
                 '--no-labels', '--matrices',
                 'number of frames to render', "sets the module's sizeViewport",
                 'Before the first frame (and after the key r) the animation advances '
                 'by one tick, so that the moving camera is on its orbit from the start.',
                 'Keys in the window:', 'q quit', "r reset the module's globals",
                 'l show or hide the viewport labels', 'Mouse:',
                 'left drag in viewport 1: pan and tilt the first camera'):
        assert text in words, text


BAD_OPTIONS = [
    (['--frames', '-3'], 'argument -n/--frames: the number of frames must be between 1 and 100000, got -3'),
    (['--frames', '0'], 'argument -n/--frames: the number of frames must be between 1 and 100000, got 0'),
    (['-n', 'ten'], "argument -n/--frames: the number of frames must be a whole number, got 'ten'"),
    (['--size', '12.5'], "argument -s/--size: the viewport size must be a whole number, got '12.5'"),
    (['--size', '8'], 'argument -s/--size: the viewport size must be between 16 and 4096, got 8'),
    (['--size', '-350'], 'argument -s/--size: the viewport size must be between 16 and 4096, got -350'),
    (['--frames'], 'argument -n/--frames: expected one argument'),
    (['--bogus'], 'unrecognized arguments: --bogus'),
    (['extra'], 'unrecognized arguments: extra'),
]


@pytest.mark.parametrize('args, message', BAD_OPTIONS, ids=[' '.join(a) for a, _ in BAD_OPTIONS])
def test_bad_options_are_refused_with_a_clear_message(args, message):
    code, out, err = run_main(*args)
    assert code == 2
    assert out == ''
    lines = err.strip().splitlines()
    assert lines[0].startswith('usage: KestMain.py')
    assert lines[-1] == 'KestMain.py: error: ' + message


# --------------------------------------------------------------- headless ---

def test_headless_run_writes_frames_and_gif_and_stops_its_xvfb(tmpdir):
    out_dir = tmpdir.join('frames')
    out_dir.mkdir()
    out_dir.join('frame_0009.png').write('stale frame of an earlier run')
    out_dir.join('notes.txt').write('not ours')
    code, out, err = run_main('--frames', '4', '--size', '40', '--out', str(out_dir))
    assert code == 0, err
    assert err == ''
    pid = xvfb_pid(out)
    assert not alive(pid)
    assert 'no DISPLAY: rendering 4 frames headless' in out
    assert 'removed 1 frame(s) of an earlier run from %s' % out_dir in out
    assert 'rendering frame 4/4' in out
    assert 'wrote 4 PNG frames (80x80) to %s' % out_dir.join('frame_NNNN.png') in out
    assert 'wrote the animated GIF %s' % out_dir.join('movra.gif') in out
    assert re.search(r'^rendered and wrote 4 frames in \d+\.\d\d s; \d+ colours, one palette '
                     r'for the PNG frames and the GIF$', out, re.M), out

    assert sorted(os.listdir(str(out_dir))) == [
        'frame_0000.png', 'frame_0001.png', 'frame_0002.png', 'frame_0003.png',
        'movra.gif', 'notes.txt']
    frames = [load_png(str(out_dir.join('frame_%04d.png' % i))) for i in range(4)]
    for frame in frames:
        assert frame.shape == (80, 80, 3)
        assert 0.01 < 1.0 - np.all(frame == 0, axis=-1).mean() < 0.95
    # One tick between frames: the animation moves.
    assert not np.array_equal(frames[0], frames[3])

    from PIL import Image
    gif = Image.open(str(out_dir.join('movra.gif')))
    assert gif.format == 'GIF' and gif.size == (80, 80)
    assert gif.n_frames == 4
    assert gif.info.get('loop') == 0
    for index in range(4):
        gif.seek(index)
        # One exact palette: the GIF shows every frame as the PNG does.
        assert np.array_equal(np.asarray(gif.convert('RGB')), frames[index])


def test_headless_flag_uses_its_own_xvfb_even_with_a_display(tmpdir):
    # A DISPLAY that does not exist: --headless must not try to use it.
    env = host_env(DISPLAY=':4242')
    code, out, err = run_main('--headless', '-n', '2', '-s', '32', '-o', str(tmpdir), env=env)
    assert code == 0, err
    assert 'no DISPLAY' not in out
    assert not alive(xvfb_pid(out))
    assert os.path.exists(str(tmpdir.join('frame_0001.png')))
    assert os.path.exists(str(tmpdir.join('movra.gif')))


def test_missing_xvfb_is_explained(tmpdir):
    env = host_env(PATH=str(tmpdir))
    code, out, err = run_main('-n', '1', '-o', str(tmpdir.join('o')), env=env)
    assert code == 1
    assert err.strip() == ('KestMain.py: error: Xvfb not found on PATH: install the '
                           'Debian package xvfb (apt-get install xvfb)')


@pytest.mark.parametrize('where, message', [
    ('a file', 'output folder {} exists and is not a folder'),
    ('under a file', 'cannot write to the output folder {}: Not a directory'),
    ('/proc/movra-frames', 'cannot write to the output folder {}: No such file or directory'),
])
def test_output_folder_that_cannot_be_written_stops_before_rendering(tmpdir, where, message):
    target = tmpdir.join('taken')
    target.write('a file, not a folder')
    folder = {'a file': str(target), 'under a file': str(target.join('frames'))}.get(where, where)
    code, out, err = run_main('-n', '1', '-s', '32', '-o', folder)
    assert code == 1
    assert err == 'KestMain.py: error: %s\n' % message.format(folder)
    # Nothing started, nothing rendered.
    assert 'started Xvfb' not in out and 'rendering frame' not in out


def test_a_display_that_cannot_be_opened_is_one_line(tmpdir):
    code, out, err = run_main('-n', '1', env=host_env(DISPLAY=':4242'), cwd=str(tmpdir))
    assert code == 1 and out == ''
    assert err == ("KestMain.py: error: cannot open the X display ':4242' named by DISPLAY; "
                   "use --headless to render to files without a screen\n")


DRIVER = '''
import sys
import KestMain, Movra
from kesthost import writer
MODE = sys.argv[1]
if MODE == 'gif-ioerror':
    def add(self, indices):
        raise IOError('disk full')
    writer.GifStream.add = add
elif MODE == 'gif-bug':
    def add(self, indices):
        raise RuntimeError('bug in the GIF writer')
    writer.GifStream.add = add
elif MODE == 'draw-fails':
    def drawMain():
        raise ZeroDivisionError('frame cannot be drawn')
    Movra.drawMain = drawMain
sys.exit(KestMain.main(['-n', '3', '-s', '32', '-o', sys.argv[2]]))
'''


@pytest.mark.parametrize('mode, code, message', [
    ('gif-ioerror', 1, 'KestMain.py: error: disk full'),
    ('gif-bug', 1, 'RuntimeError: bug in the GIF writer'),
])
def test_errors_after_xvfb_started_still_stop_it(tmpdir, mode, code, message):
    status, out, err = run_script(tmpdir, DRIVER, mode, str(tmpdir.join('o')))
    assert status == code, err
    assert err.strip().splitlines()[-1] == message
    assert not alive(xvfb_pid(out))
    # No half-written animation is left behind.
    assert not [name for name in os.listdir(str(tmpdir.join('o'))) if 'gif' in name]


def test_frames_that_raise_are_reported_and_the_run_fails(tmpdir):
    status, out, err = run_script(tmpdir, DRIVER, 'draw-fails', str(tmpdir.join('o')))
    assert status == 1
    # One traceback for three identical failures, then the count.
    assert err.count('Traceback (most recent call last)') == 1
    assert 'ZeroDivisionError: frame cannot be drawn' in err
    assert err.strip().splitlines()[-1] == '3 of 3 frames failed to draw (tracebacks above)'
    # The frames and the GIF are still written, so the run can be looked at.
    assert sorted(os.listdir(str(tmpdir.join('o')))) == [
        'frame_0000.png', 'frame_0001.png', 'frame_0002.png', 'movra.gif']
    assert not alive(xvfb_pid(out))


# ------------------------------------------------- what the frames show ---

def test_labels_matrices_and_the_first_frame(tmpdir):
    frames = {}
    for name, extra in [('plain', ['--no-labels']), ('labels', []), ('matrices', ['--matrices'])]:
        out_dir = tmpdir.join(name)
        code, out, err = run_main('-n', '1', '-s', '120', '-o', str(out_dir), *extra)
        assert code == 0 and err == '', err
        frames[name] = load_png(str(out_dir.join('frame_0000.png')))
    plain, labels, matrices = frames['plain'], frames['labels'], frames['matrices']
    # Labels: every viewport's upper-left corner gains text in the text
    # colour, which nothing in the scene has; --no-labels leaves none.
    text_colour = np.array([178, 230, 255])
    for number in (1, 2, 3, 4):
        corner = quadrants(labels)[number][3:20, 3:100]
        assert (np.abs(corner.astype(int) - text_colour).max(axis=2) == 0).sum() > 20, number
        assert not (quadrants(plain)[number] == text_colour).all(axis=2).any(), number
    # Outside the label boxes and the 2-pixel border the pictures are the same.
    changed = np.any(labels != plain, axis=2)
    changed[119:121, :] = changed[:, 119:121] = False
    for row0, col0 in [(0, 0), (0, 120), (120, 0), (120, 120)]:
        changed[row0:row0 + 22, col0:col0 + 116] = False
    assert not changed.any()
    # --matrices adds text below each label.
    for number in (1, 2, 3, 4):
        below = slice(22, 110)
        assert (quadrants(matrices)[number][below] != quadrants(labels)[number][below]).any(), number
    # One tick before the first frame: the moving camera is on its orbit, so
    # viewport 4 looks at the scene instead of being one flat colour.
    colours = set(map(tuple, quadrants(plain)[4].reshape(-1, 3)))
    assert len(colours) >= 4, colours


# --------------------------------------------------------------- Ctrl+C ---

@pytest.mark.parametrize('to', ['process', 'process group'])
def test_ctrl_c_keeps_the_frames_written_and_their_animation(tmpdir, to):
    out_dir = tmpdir.join('o')
    process = subprocess.Popen(
        [sys.executable, MAIN, '-n', '5000', '-s', '32', '-o', str(out_dir)], env=host_env(),
        cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        preexec_fn=os.setsid)       # a group of its own, as a terminal's foreground job
    timer = threading.Timer(TIMEOUT, process.kill)
    timer.start()
    try:
        lines = []
        while True:
            line = process.stdout.readline().decode('utf-8')
            assert line, 'the host ended before it rendered'
            lines.append(line)
            if line.startswith('rendering frame'):
                break
        if to == 'process':
            process.send_signal(signal.SIGINT)
        else:
            os.killpg(process.pid, signal.SIGINT)   # what Ctrl+C in a terminal does
        rest, err = process.communicate()
    finally:
        timer.cancel()
    out = ''.join(lines) + rest.decode('utf-8')
    err = err.decode('utf-8')
    assert process.returncode == 130, err
    match = re.match(r'^KestMain.py: interrupted after (\d+) of 5000 frames: kept '
                     r'frame_0000.png to frame_(\d{4}).png and wrote movra.gif of them in (.*)\n$',
                     err)
    assert match, err
    kept = int(match.group(1))
    assert 1 <= kept < 5000 and int(match.group(2)) == kept - 1
    assert match.group(3) == str(out_dir)
    assert 'wrote the animated GIF' not in out
    names = sorted(os.listdir(str(out_dir)))
    assert names == ['frame_%04d.png' % i for i in range(kept)] + ['movra.gif']
    from PIL import Image
    assert Image.open(str(out_dir.join('movra.gif'))).n_frames == kept
    assert not alive(xvfb_pid(out))


# --------------------------------------------------------------- make run ---

def test_make_run_renders_headless(tmpdir):
    # `make run` is the set-up, then the host with ARGS under the environment's
    # Python. The set-up is CI's to test, in its fresh clone; here the host
    # runs as the recipe runs it, under the interpreter of this suite.
    with open(os.path.join(ROOT, 'Makefile')) as stream:
        recipe = re.search(r'^run:.*\n((?:\t.*\n)+)', stream.read(), re.M)
    assert recipe, 'Makefile has no run target'
    assert recipe.group(1).splitlines()[-1].split()[-6:] == [
        '$(PYTHON)', 'host/KestMain.py', '$(if', '$(MODULE),--module', '$(MODULE))', '$(ARGS)']
    out_dir = tmpdir.join('made')
    code, out, err = run([sys.executable, 'host/KestMain.py', '--frames', '3', '--size', '48',
                          '--out', str(out_dir)], env=host_env(), cwd=ROOT)
    assert code == 0, out + err
    assert 'rendering frame 3/3' in out
    assert sorted(os.listdir(str(out_dir))) == [
        'frame_0000.png', 'frame_0001.png', 'frame_0002.png', 'movra.gif']
    assert load_png(str(out_dir.join('frame_0002.png'))).shape == (96, 96, 3)
    assert not alive(xvfb_pid(out))
