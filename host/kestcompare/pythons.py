"""Which Python loads the file under comparison, and the other one.

The learner's file runs under the interpreter that --python names (a
version this project has an environment of, or an interpreter's path), by
default under the tool's own; the tool itself runs on Python 3. The Debian
root's Pythons (3.14, 3.15 and their debug builds) run in their own system
root: the sandbox shows a box the root's /usr, so that they need no chroot.

A learner's file is written for Python 2 or for Python 3, and a file of the
one often does not even compile under the other (a print statement, an
f-string). When the file does not compile under the Python that loaded it,
it is compiled (never run, and in a box like any learner's code) under the
other one, so that the report can say which Python to choose:
`make compare PY=<version>`.

The other Python is this project's environment of it (.venv/ for 2.7,
.venv-3.x/ for the newest Python 3 that has one), else pyenv's interpreter.
"""
from __future__ import absolute_import, division, print_function

import glob
import os
import platform
import re
import subprocess
import sys

from kestcompare import sandbox

PACKAGE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(PACKAGE))
PYTHONS_SH = os.path.join(ROOT, 'scripts', 'pythons.sh')
DEFAULT_SUPPORTED = ['2.7', '3.8', '3.9', '3.10', '3.11', '3.12', '3.13']
ROOT_PYTHONS = ('3.14', '3.15', '3.14d', '3.15d')
DEBIAN_ROOT = '/var/lib/movra/debian-sid'
COMPILE_SECONDS = 30.0
# Compiles the file named by argv[1] without running it; the snippet's own
# future statements do not reach the file (dont_inherit). It exits with
# NOT_COMPILED when the file does not compile, so that an interpreter that
# cannot start (a missing shared library: status 127) or cannot read the
# file is never taken for a verdict on the file. A NUL byte in the source is
# a SyntaxError from 3.12 on, a ValueError before and a TypeError under 2.7.
NOT_COMPILED = 3
COMPILE = ("import sys\n"
           "source = open(sys.argv[1], 'rb').read()\n"
           "try:\n"
           "    compile(source, sys.argv[1], 'exec', 0, True)\n"
           "except (SyntaxError, ValueError, TypeError):\n"
           "    sys.exit(%d)\n" % NOT_COMPILED)


class PythonError(RuntimeError):
    """No interpreter of that name here."""


def this_python():
    """{"version": "3.13.0", "short": "3.13", "executable": ...}"""
    return {'version': platform.python_version(),
            'short': '%d.%d' % sys.version_info[:2],
            'implementation': platform.python_implementation(),
            'executable': sys.executable}


def supported_versions():
    """The versions this project supports, as scripts/pythons.sh lists them."""
    try:
        with open(PYTHONS_SH) as stream:
            text = stream.read()
    except (IOError, OSError):
        return list(DEFAULT_SUPPORTED)
    found = re.search(r'^SUPPORTED_PYTHONS="([^"]*)"', text, re.M)
    versions = found.group(1).split() if found else []
    return versions or list(DEFAULT_SUPPORTED)


def _version_key(version):
    return tuple(int(part) for part in version.split('.') if part.isdigit())


def _pyenv_interpreter(version):
    root = os.environ.get('PYENV_ROOT') or os.path.expanduser('~/.pyenv')
    found = []
    for folder in glob.glob(os.path.join(root, 'versions', version + '.*')):
        rest = os.path.basename(folder)[len(version) + 1:]
        executable = os.path.join(folder, 'bin', 'python' + version)
        if rest.isdigit() and os.access(executable, os.X_OK):
            found.append((int(rest), executable))
    return max(found)[1] if found else None


def in_debian_root():
    return os.environ.get('MOVRA_IN_DEBIAN_ROOT') == '1'


def debian_root():
    return os.environ.get('MOVRA_DEBIAN_ROOT') or DEBIAN_ROOT


def environment_python(version):
    return os.path.join(ROOT, '.venv' if version == '2.7' else '.venv-' + version,
                        'bin', 'python')


def interpreter(version):
    """This project's environment of the version, else pyenv's, or None
    (for the Debian root's Pythons outside the root: its environment's
    python, which runs only in the root)."""
    venv = environment_python(version)
    if version in ROOT_PYTHONS and not in_debian_root():
        return venv if os.path.lexists(venv) else None
    if os.access(venv, os.X_OK):
        return venv
    return _pyenv_interpreter(version)


_PROBED = {}


def interpreter_for(wanted, boxed=True):
    """The probed sandbox.Interpreter that runs the learner's file: wanted is
    a version ("2.7", "3.14d"), an interpreter's path, or None for the
    tool's own interpreter. Probed once per process (a class's comparisons
    in one process of the pool share it)."""
    key = (wanted, bool(boxed))
    if key not in _PROBED:
        _PROBED[key] = _interpreter_for(wanted, boxed)
    return _PROBED[key]


def _interpreter_for(wanted, boxed):
    if wanted is None:
        found = sandbox.Interpreter(sys.executable)
        return found.probe(sandbox.probe_directly)
    if os.sep in wanted:
        if not os.access(wanted, os.X_OK):
            raise PythonError('no interpreter %s' % wanted)
        return sandbox.Interpreter(os.path.abspath(wanted)).probe(sandbox.probe_directly)
    if wanted not in supported_versions():
        raise PythonError('Python %s is not one this project supports (%s)'
                          % (wanted, ' '.join(supported_versions())))
    command = interpreter(wanted)
    if command is None:
        raise PythonError('no environment of Python %s here: make it with make setup PY=%s'
                          % (wanted, wanted))
    if wanted in ROOT_PYTHONS and not in_debian_root():
        if not boxed:
            raise PythonError('Python %s lives in the Debian root, which only the sandbox '
                              'enters here: leave out --no-sandbox' % wanted)
        found = sandbox.Interpreter(command, wanted, debian_root())
        return found.probe(sandbox.probe_in_root(found))
    return sandbox.Interpreter(command, wanted).probe(sandbox.probe_directly)


def _first_found(versions):
    for version in versions:
        if version in ROOT_PYTHONS and not in_debian_root():
            continue
        executable = interpreter(version)
        if executable is not None:
            return version, executable
    return None


def newest_python3():
    """(version, executable) of the newest Python 3 this project supports
    that can be found, or None."""
    return _first_found(sorted((v for v in supported_versions() if v.startswith('3.')),
                               key=_version_key, reverse=True))


def other_python(here):
    """(version, executable) of the other Python than version `here`: 2.7
    for a Python 3, the newest Python 3 that can be found for 2.7; None
    when there is none."""
    if here.startswith('2.'):
        return newest_python3()
    return _first_found([v for v in supported_versions() if v == '2.7'])


def compiles_under(executable, path, boxed=True, limits=None):
    """True when the file compiles under that interpreter, False when it
    does not, None when that could not be found out (the interpreter did not
    start, failed otherwise or did not finish)."""
    argv = [executable, '-c', COMPILE, path]
    if boxed:
        try:
            found = sandbox.Interpreter(executable).probe(sandbox.probe_directly)
        except (sandbox.SandboxError, OSError, ValueError):
            return None
        box = sandbox.Box(found, 'compile', path, limits or sandbox.Limits())
        argv = box.argv(command=['-c', COMPILE, box.inside_target()])
    try:
        with open(os.devnull, 'wb') as null:
            process = subprocess.Popen(argv, stdin=null, stdout=null, stderr=null,
                                       close_fds=True,
                                       preexec_fn=sandbox.preexec(limits if boxed else None))
    except (IOError, OSError):
        return None
    try:
        process.wait(timeout=COMPILE_SECONDS)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None
    return {0: True, NOT_COMPILED: False}.get(process.returncode)


def syntax_advice(path, load_error, here, boxed=True, limits=None):
    """For a file that does not compile under this Python: whether it does
    under the other one, as {"version", "compiles", "advice"}; None for any
    other failure or when there is no other Python."""
    if not load_error or load_error.get('type') not in ('SyntaxError', 'IndentationError',
                                                        'TabError'):
        return None
    other = other_python(here)
    if other is None:
        return None
    version, executable = other
    compiles = compiles_under(executable, path, boxed, limits)
    if compiles is None:
        return None
    if compiles:
        advice = ('it compiles under Python %s but not under Python %s, which loaded it: '
                  'compare it under Python %s (--python %s, or make compare PY=%s)'
                  % (version, here, version, version, version))
    else:
        advice = 'it does not compile under Python %s either' % version
    return {'version': version, 'compiles': compiles, 'advice': advice}
