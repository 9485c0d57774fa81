"""The set-up and lane scripts, driven with stand-in commands in a copy of
scripts/ (so that nothing they make lands in this checkout): which Python
each lane takes, what set-up tells an ordinary user and that it installs
nothing, which lanes scripts/test.sh runs and how it reports them, and
what the Makefile's targets run.
"""
from __future__ import division

import os
import re
import shutil
import stat
import subprocess
import sys

import pytest

pytestmark = pytest.mark.scripts

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUPPORTED_OUTSIDE_ROOT = ['3.%d' % minor for minor in range(8, 14)]
TEST_PACKAGES = ('g++ make libglu1-mesa-dev libgl1-mesa-dri xvfb xauth x11-utils mesa-utils '
                 'chromium chromium-driver bubblewrap')


def write_script(path, text):
    with open(path, 'w') as stream:
        stream.write('#!/bin/sh\n' + text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def run(args, env, cwd):
    process = subprocess.Popen(args, cwd=str(cwd), env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    out, err = process.communicate()
    return process.returncode, out.decode('utf-8'), err.decode('utf-8')


@pytest.fixture
def checkout(tmpdir):
    """A copy of scripts/ and requirements/, and a folder for stand-ins."""
    copy = tmpdir.join('checkout')
    for part in ('scripts', 'requirements'):
        shutil.copytree(os.path.join(ROOT, part), str(copy.join(part)))
    tmpdir.join('bin').ensure(dir=True)
    return copy


def fake_pyenv(tmpdir, versions):
    """A pyenv whose root holds each x.y.z of `versions`; its environment."""
    root = tmpdir.join('pyenv')
    for version in versions:
        short = '.'.join(version.split('.')[:2])
        root.join('versions', version, 'bin').ensure(dir=True)
        write_script(str(root.join('versions', version, 'bin', 'python' + short)), 'exit 0\n')
    root.join('bin').ensure(dir=True)
    write_script(str(root.join('bin', 'pyenv')), 'echo %s\n' % root)
    return {'PYENV_ROOT': str(root)}


def clean_env(tmpdir, **more):
    env = {'PATH': '%s:/usr/bin:/bin' % tmpdir.join('bin'), 'HOME': str(tmpdir.join('home')),
           'LANG': 'C.UTF-8'}
    env.update(more)
    return env


def system_pythons():
    return [v for v in SUPPORTED_OUTSIDE_ROOT
            if any(os.access(os.path.join(folder, 'python' + v), os.X_OK)
                   for folder in ('/usr/bin', '/usr/local/bin'))]


def newest(versions):
    return max(versions, key=lambda v: tuple(int(p) for p in v.split('.'))) if versions else ''


# ------------------------------------------------------- scripts/pythons.sh ---

def test_the_newest_python3_is_pyenvs_or_the_systems(tmpdir, checkout):
    env = clean_env(tmpdir, **fake_pyenv(tmpdir, ['2.7.18', '3.9.4', '3.9.10', '3.8.1']))
    code, out, err = run(['bash', 'scripts/pythons.sh', 'newest-python3'], env, checkout)
    assert (code, err) == (0, '')
    assert out == newest(['3.9'] + system_pythons()) + '\n'
    # the newest patch release of a version, by number (3.9.10 after 3.9.4)
    code, out, err = run(['bash', '-c', '. scripts/pythons.sh; find_interpreter 3.9'], env,
                         checkout)
    assert (code, out) == (0, str(tmpdir.join('pyenv', 'versions', '3.9.10', 'bin',
                                              'python3.9')) + '\n')
    for version, has in [('2.7', 0), ('3.14', 1), ('3.14d', 1), ('4.0', 1)]:
        assert run(['bash', 'scripts/pythons.sh', 'has', version], env, checkout)[0] == has


def test_without_pyenv_the_systems_python_is_taken_or_named(tmpdir, checkout):
    env = clean_env(tmpdir)
    code, out, err = run(['bash', 'scripts/pythons.sh', 'newest-python3'], env, checkout)
    expected = newest(system_pythons())
    assert (code, out) == ((0, expected + '\n') if expected else (1, ''))
    missing = [v for v in SUPPORTED_OUTSIDE_ROOT if v not in system_pythons()]
    if not missing:
        pytest.skip('this machine has every Python 3 of the project as /usr/bin/python3.x')
    code, out, err = run(['bash', '-c', '. scripts/pythons.sh; find_interpreter %s' % missing[0]],
                         env, checkout)
    assert (code, out) == (1, '')
    assert err == ('ERROR: Python {0} not found: neither pyenv (not on PATH, nor in '
                   '$PYENV_ROOT/bin or ~/.pyenv/bin) nor /usr/bin/python{0} (Debian: apt-get '
                   'install python{0})\n'.format(missing[0]))


# --------------------------------------------------------- scripts/setup.sh ---

def ordinary_user(tmpdir, missing):
    """Stand-ins for an ordinary user's machine: `id` says uid 1000, dpkg-query
    knows every package but `missing`, and apt-get, which must not run,
    leaves a mark."""
    bin_dir = tmpdir.join('bin')
    write_script(str(bin_dir.join('id')), 'case "$1" in -u) echo 1000 ;; -un) echo learner ;; '
                                          '*) echo "uid=1000(learner)" ;; esac\n')
    write_script(str(bin_dir.join('dpkg-query')),
                 'for p in "$@"; do case "$p" in -*) ;; %s) ;; *) echo "$p ii " ;; '
                 'esac; done\n' % '|'.join(missing or ['-none-']))
    write_script(str(bin_dir.join('apt-get')), 'echo "$@" >> %s\n' % tmpdir.join('apt-get-ran'))
    write_script(str(bin_dir.join('ln')), 'echo "$@" >> %s\n' % tmpdir.join('ln-ran'))


@pytest.mark.parametrize('missing, args, line', [
    (['xvfb', 'libglut-dev', 'freeglut3-dev'], ['3.13'], 'xvfb libglut-dev'),
    (['chromium', 'bubblewrap', 'valgrind'], ['3.13'], 'chromium bubblewrap'),
    (['chromium', 'bubblewrap', 'valgrind'], ['--check', '3.13'], 'chromium bubblewrap valgrind'),
    (['*'], ['2.7', '3.13'], TEST_PACKAGES + ' libglut-dev'),
])
def test_set_up_as_an_ordinary_user_prints_the_apt_get_line_and_installs_nothing(
        tmpdir, checkout, missing, args, line):
    ordinary_user(tmpdir, missing)
    env = clean_env(tmpdir, **fake_pyenv(tmpdir, ['2.7.18', '3.13.0']))
    code, out, err = run(['bash', 'scripts/setup.sh'] + args, env, checkout)
    assert (code, out) == (1, '')
    assert err == ('setup: these Debian packages are missing; as root, run:\n'
                   '    apt-get install %s\n'
                   'setup: ERROR: then run this again (set-up installs nothing outside the '
                   'checkout as learner)\n' % line)
    assert not tmpdir.join('apt-get-ran').check()
    assert sorted(p.basename for p in checkout.listdir()) == ['requirements', 'scripts']


def test_set_up_needs_the_system_pythons_headers_and_venv(tmpdir, checkout):
    found = system_pythons()
    if not found or not os.path.exists('/usr/bin/python' + newest(found)):
        pytest.skip('no /usr/bin/python3.x on this machine')
    version = newest(found)
    ordinary_user(tmpdir, ['python%s-dev' % version, 'python%s-venv' % version])
    code, out, err = run(['bash', 'scripts/setup.sh'], clean_env(tmpdir), checkout)
    assert code == 1
    assert err.splitlines()[1] == '    apt-get install python{0}-dev python{0}-venv'.format(version)


def test_python27s_glut_link_is_asked_of_root_too(tmpdir, checkout):
    # Every package there, the link libglut.so.3 missing: the line to run.
    ordinary_user(tmpdir, [])
    lib = tmpdir.join('lib').ensure(dir=True)
    lib.join('libglut.so.3.12.0').write('')
    write_script(str(tmpdir.join('bin', 'gcc')), 'echo ../../%s\n' % lib)
    env = clean_env(tmpdir, **fake_pyenv(tmpdir, ['2.7.18']))
    code, out, err = run(['bash', 'scripts/setup.sh', '2.7'], env, checkout)
    assert code == 1
    assert err == ('setup: Python 2.7\'s PyOpenGL needs /usr/lib/../../{0}/libglut.so.3; as root, '
                   'run:\n    ln -s libglut.so.3.12.0 /usr/lib/../../{0}/libglut.so.3\n'
                   'setup: ERROR: then run this again\n'.format(lib))
    assert not tmpdir.join('ln-ran').check() and lib.listdir() == [lib.join('libglut.so.3.12.0')]


# ---------------------------------------------------------- scripts/test.sh ---

def fake_environments(checkout, statuses):
    """Environments whose python records its arguments and exits with the
    version's status: (version, status) pairs."""
    for version, status in statuses:
        folder = checkout.join('.venv' if version == '2.7' else '.venv-' + version, 'bin')
        folder.ensure(dir=True)
        write_script(str(folder.join('python')),
                     'echo "%s $* (bytecode: ${PYTHONDONTWRITEBYTECODE:-written})" >> %s\n'
                     'exit %d\n' % (version, checkout.join('calls'), status))


def calls(checkout):
    return sorted(checkout.join('calls').read().splitlines())


def test_make_tests_two_pythons_run_at_once_and_both_count(tmpdir, checkout):
    fake_environments(checkout, [('3.13', 0), ('2.7', 0)])
    code, out, err = run(['bash', 'scripts/test.sh', '3.13', '2.7'], clean_env(tmpdir), checkout)
    assert (code, err) == (0, '')
    lines = out.splitlines()
    assert lines[0] == 'test: Python 2.7 beside the others (build/test-2.7.log)'
    assert lines[-1] == 'test: passed under Python 3.13 2.7'
    assert 'test: ---- Python 2.7, from build/test-2.7.log:' in lines
    for version in ('2.7', '3.13'):
        assert len([line for line in lines if re.match(
            r'test: Python %s, the whole suite: status 0 after \d+ s$' % version, line)]) == 1
    # no lane writes bytecode into the checkout, which the other lane watches
    assert calls(checkout) == [
        '2.7 -m pytest bench/test_floor_programs.py -q -p no:cacheprovider (bytecode: 1)',
        '2.7 -m pytest tests -q (bytecode: 1)',
        '3.13 -m pytest bench/test_floor_programs.py -q -p no:cacheprovider (bytecode: 1)',
        '3.13 -m pytest tests -q (bytecode: 1)']


@pytest.mark.parametrize('statuses, failed', [
    ([('3.13', 0), ('2.7', 1)], 'Python 2.7'),
    ([('3.13', 1), ('2.7', 0)], '3.13 (status 1)'),
    ([('3.13', 5), ('2.7', 5)], '3.13 (status 5) Python 2.7'),
])
def test_a_failure_in_either_lane_fails_the_run(tmpdir, checkout, statuses, failed):
    fake_environments(checkout, statuses)
    code, out, err = run(['bash', 'scripts/test.sh', '3.13', '2.7'], clean_env(tmpdir), checkout)
    assert code == 1
    assert err.splitlines()[-1] == 'test: FAILED under Python ' + failed


def test_the_module_lane_selects_by_marker(tmpdir, checkout):
    fake_environments(checkout, [('3.11', 0)])
    code, out, err = run(['bash', 'scripts/test.sh', '--module', '3.11'], clean_env(tmpdir),
                         checkout)
    assert (code, err) == (0, '')
    assert calls(checkout) == ['3.11 -m pytest tests -m not host and not compare and not '
                               'scripts -q (bytecode: 1)']
    assert out.splitlines()[-1] == 'test: passed under Python , the module tests under 3.11'


# ----------------------------------------------------------------- Makefile ---

def make_n(*args):
    code, out, err = run(['make', '-n', '--no-print-directory'] + list(args), dict(os.environ),
                         ROOT)
    assert (code, err) == (0, ''), err
    # the check that a Python was found comes first
    lines = out.splitlines()
    assert lines[0].startswith('test -n "') and 'no Python 3 found' in lines[0]
    return lines[1:]


def test_every_command_takes_the_newest_python3_unless_py_says(tmpdir):
    newest_here = subprocess.check_output(['bash', 'scripts/pythons.sh', 'newest-python3'],
                                          cwd=ROOT).decode('utf-8').strip()
    has27 = subprocess.call(['bash', 'scripts/pythons.sh', 'has', '2.7'], cwd=ROOT) == 0
    assert make_n('run')[-1].split() == ['.venv-%s/bin/python' % newest_here, 'host/KestMain.py']
    assert make_n('test') == ['bash scripts/setup.sh %s%s' % (newest_here, ' 2.7' * has27),
                              'bash scripts/test.sh %s%s' % (newest_here, ' 2.7' * has27)]
    assert make_n('test', 'PY=3.11') == ['bash scripts/setup.sh 3.11', 'bash scripts/test.sh 3.11']
    assert make_n('run', 'PY=2.7')[-1].split() == ['.venv/bin/python', 'host/KestMain.py']
    assert make_n('run', 'MODULE=mine.py')[-1].split()[-2:] == ['--module', 'mine.py']
    assert make_n('compare', 'IMPL=x.py')[-1].split() == [
        '.venv-%s/bin/python' % newest_here, 'host/KestCompare.py', 'x.py']


def test_make_compare_runs_the_tool_under_python3_and_the_learners_file_under_py():
    newest_here = subprocess.check_output(['bash', 'scripts/pythons.sh', 'newest-python3'],
                                          cwd=ROOT).decode('utf-8').strip()
    lines = make_n('compare', 'PY=3.14', 'IMPL=/tmp/learner/Movra.py', 'OUT=/tmp/o',
                   'JSON=/tmp/r.json')
    assert lines[-2] == 'bash scripts/setup.sh %s' % ' '.join(sorted([newest_here, '3.14']))
    assert lines[-1].split() == [
        '.venv-%s/bin/python' % newest_here, 'host/KestCompare.py', '/tmp/learner/Movra.py',
        '--out', '/tmp/o', '--json', '/tmp/r.json', '--python', '3.14']
