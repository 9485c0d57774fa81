"""Shared test set-up.

The suite runs with host/recordgl first on the import path, so `Movra` imports
the recording OpenGL stand-in and the recording drawing helpers. Every test
starts from a reset recorder and the module globals as initialisation left
them, and whatever a test rebinds or deletes is put back afterwards.
"""
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
HOST = os.path.join(ROOT, 'host')
FAKES = os.path.join(HOST, 'recordgl')

# The recording GL first; the host's own modules of this checkout next, before
# any copy that an environment has installed (pip install . installs them).
for folder in (HOST, FAKES):
    if folder in sys.path:
        sys.path.remove(folder)
    sys.path.insert(0, folder)

from kesthost import listing  # noqa: E402

LISTING = listing.MOVRA.path

# Where the compiled module's code objects list their locals otherwise than
# the interpreter's own compiler does for the listing (by first use):
# perspective's lists P first, the interpreter's P last. The names are the
# same; tests/test_native_tables.py holds them to that.
NATIVE_LOCALS_ORDER = {'perspective': ('P', 'thetaY', 'top', 'right', 'left', 'bottom')}


def native_locals(name):
    """The further locals of a function's code object in the compiled module."""
    return NATIVE_LOCALS_ORDER.get(name, listing.MOVRA.functions[name].locals)

import glfake  # noqa: E402
from tracebacks import movra_records, traceback_records  # noqa: E402,F401
import Movra  # noqa: E402

# The globals as initialisation leaves them, taken once before any test runs.
PRISTINE = dict(vars(Movra))


def pytest_configure(config):
    assert Movra.__file__.endswith('.so'), 'the compiled module is not the one imported: %s' % (
        Movra.__file__,)


@pytest.fixture(autouse=True)
def movra_state():
    """Resets the recorder and restores the module globals around each test."""
    namespace = vars(Movra)
    namespace.clear()
    namespace.update(PRISTINE)
    glfake.reset()
    yield
    namespace.clear()
    namespace.update(PRISTINE)
    glfake.raise_on.clear()


def run_python(code, env=None, fakes=True, cwd=None):
    """Runs `code` in a fresh interpreter; returns (exit status, stdout, stderr).

    The interpreter initialises an extension once per process, so every
    initialisation path is checked in its own process.
    """
    environment = dict(os.environ)
    path = [FAKES] if fakes else []
    path += [p for p in environment.get('PYTHONPATH', '').split(os.pathsep)
             if p and os.path.abspath(p) != FAKES]
    environment['PYTHONPATH'] = os.pathsep.join(path)
    environment.update(env or {})
    process = subprocess.Popen([sys.executable, '-c', textwrap.dedent(code)], env=environment,
                               cwd=cwd or HERE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               universal_newlines=True)
    out, err = process.communicate()
    return process.returncode, out, err


# The compare tool runs on Python 3 (its workers under any Python): under
# Python 2.7 the tests of its own parts are left out, and those that run it
# as a command run it with a Python 3 beside this one.
if sys.version_info[0] == 2:
    collect_ignore = ['test_compare_hints.py', 'test_compare_parts.py',
                      'test_compare_protocol.py', 'test_compare_submissions.py']
