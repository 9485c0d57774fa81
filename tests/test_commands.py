"""The installed commands and their `python -m` forms: which name each gives
itself, and the one line each says when a system part is missing.

Every run is a subprocess with the real OpenGL (host/recordgl off the path).
The console scripts are those that set-up installed into this suite's
environment (pip install of the checkout, as a user's `pip install .`).
"""
from __future__ import division

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.host

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, 'host')
FAKES = os.path.join(HOST, 'recordgl')
BIN = os.path.dirname(sys.executable)
PY2 = sys.version_info[0] == 2


def user_env(**changes):
    """The environment without the recording GL and without a screen."""
    env = dict(os.environ)
    fakes = os.path.realpath(FAKES)
    parts = [part for part in env.get('PYTHONPATH', '').split(os.pathsep)
             if part and os.path.realpath(part) != fakes]
    env['PYTHONPATH'] = os.pathsep.join(parts)
    env.pop('DISPLAY', None)
    env.update(changes)
    return env


def run(args, cwd, env=None):
    process = subprocess.Popen(args, cwd=str(cwd), env=env or user_env(),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = process.communicate()
    return process.returncode, out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace')


# (command line, the name in its usage line, text the usage must hold)
ENTRIES = [
    ([os.path.join(BIN, 'movra')], 'movra', '[--headless]'),
    ([sys.executable, '-m', 'kesthost'], 'python -m kesthost', '[--headless]'),
    ([sys.executable, os.path.join(HOST, 'KestMain.py')], 'KestMain.py', '[--headless]'),
    ([os.path.join(BIN, 'movra-compare')], None, 'IMPL'),
    ([sys.executable, '-m', 'kestcompare'], None, 'IMPL'),
]


@pytest.mark.parametrize('command, name, holds', ENTRIES,
                         ids=[os.path.basename(e[0][-1]) for e in ENTRIES])
def test_each_entry_point_runs_from_any_folder(tmpdir, command, name, holds):
    if PY2 and holds == 'IMPL':
        pytest.skip('the compare tool runs on Python 3')
    code, out, err = run(command + ['--help'], tmpdir)
    assert (code, err) == (0, '')
    usage = ' '.join(out.split('\n\n')[0].split())
    assert usage.startswith('usage: ') and holds in usage
    if name is not None:
        assert usage.startswith('usage: %s [-h]' % name)
    assert tmpdir.listdir() == []


@pytest.mark.skipif(not PY2, reason='Python 2 only')
def test_the_compare_tool_under_python2_is_one_line_and_no_command(tmpdir):
    assert not os.path.exists(os.path.join(BIN, 'movra-compare'))
    code, out, err = run([sys.executable, '-m', 'kestcompare', '--help'], tmpdir)
    assert (code, out) == (1, '')
    assert err == ('python -m kestcompare: the compare tool runs on Python 3, not 2.7; run it '
                   'with a Python 3 and --python 2.7 for a learner\'s Python 2 file\n')


@pytest.mark.parametrize('command, name', [(e[0], e[1]) for e in ENTRIES[:3]],
                         ids=['movra', 'python -m kesthost', 'KestMain.py'])
def test_a_bad_option_names_the_command_it_was_given_to(tmpdir, command, name):
    code, out, err = run(command + ['--frames', '0'], tmpdir)
    assert code == 2 and out == ''
    assert err.splitlines()[-1] == ('%s: error: argument -n/--frames: the number of frames '
                                    'must be between 1 and 100000, got 0' % name)


# Runs the host's main() with the libraries whose names hold argv[1] hidden
# from ctypes, as on a machine without them.
HIDDEN = textwrap.dedent('''
    import ctypes, ctypes.util, sys
    hide = sys.argv[1]
    real = ctypes.CDLL
    class Hidden(real):
        def __init__(self, name, *args, **kwargs):
            if name and hide in str(name):
                raise OSError('%s: cannot open shared object file' % name)
            real.__init__(self, name, *args, **kwargs)
    ctypes.CDLL = ctypes.cdll._dlltype = Hidden
    find = ctypes.util.find_library
    ctypes.util.find_library = lambda name: None if hide in name else find(name)
    if hide == 'Movra':
        sys.modules['Movra'] = None
    from kesthost.cli import main
    sys.exit(main(['--headless', '--frames', '1', '--out', 'frames']))
''')


@pytest.mark.parametrize('hidden, message', [
    ('glut', 'KestMain.py: error: no GLUT library found (libglut.so: libglut.so: cannot open '
             'shared object file): install the Debian package libglut3.12 (apt-get install '
             'libglut3.12)'),
    ('GL', 'KestMain.py: error: no OpenGL library found: install the Debian package libgl1 '
              '(apt-get install libgl1)'),
])
def test_a_missing_library_is_one_line_naming_its_package(tmpdir, hidden, message):
    code, out, err = run([sys.executable, '-c', HIDDEN, hidden], tmpdir)
    assert (code, out, err) == (1, '', message + '\n')
    assert tmpdir.listdir() == []


def test_a_missing_module_says_how_to_install_it(tmpdir):
    code, out, err = run([sys.executable, '-c', HIDDEN, 'Movra'], tmpdir)
    assert code == 1 and out == ''
    assert err.startswith('KestMain.py: error: cannot import Movra (')
    assert err.endswith('); install it with `pip install .` from a checkout, or run '
                        '`make run` there\n')


def test_a_missing_xvfb_is_one_line_naming_its_package(tmpdir):
    # PATH holds the interpreter's folder alone: no Xvfb on it.
    code, out, err = run([os.path.join(BIN, 'movra'), '--frames', '1'], tmpdir,
                         env=user_env(PATH=BIN))
    assert code == 1
    assert err == ('movra: error: Xvfb not found on PATH: install the Debian package xvfb '
                   '(apt-get install xvfb)\n')
    assert not tmpdir.join('out').listdir()
