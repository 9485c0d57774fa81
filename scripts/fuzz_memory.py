"""A sweep of failed allocations over the import of Movra, a frame and the
read-back of the matrices (part of `make fuzz`; a short sweep is in the test
suite). Python 3 only: it fails allocations through the interpreter's test
C API (_testcapi.set_nomemory).

    python scripts/fuzz_memory.py PHASE [--first N] [--last N] [--step N] [--burst N]
                                        [--reference-step N] [--quiet]

PHASE is `import`, `frame` or `print`. The phase's preparations are made
once (numpy, PyOpenGL and the drawing helpers imported; for `frame` and
`print` also the module, initialised and run once); then for each
allocation index from --first on, every --step-th, a child forked from that
state makes that one allocation of the phase fail, until --last or, without
it, until the phase has run to its end unharmed for a while (the failing
allocation comes after the phase's last one), and:
  * import: imports the module;
  * frame: calls drawMain();
  * print: calls getGL_MODELVIEW_PROJ(), which prints both matrices.
The outcome is "ok", "MemoryError" or the kind of whatever else was raised.
Then the child checks what a failed allocation must leave: after a failed
import, no module in sys.modules unless a whole one, and a next import that
gives a working module; after a failed call, a next call that works.

The same sweep runs first with the listing (src/Movra.py, loaded as a plain
module) in place of the compiled module: what the listing meets besides
MemoryError -- the guarded import block's exit, for one -- the compiled
module may meet too, with an allocation of its own failing; so may it meet
what the interpreter or numpy makes of a failed allocation in its own code
(LIBRARY_OUTCOMES), which a sweep of the listing with a step may not happen
to meet. Everything else is a fault of the module, and so is a crash
or a hang whose innermost native frame is in the module; one inside the
interpreter or numpy is reported and is not the module's (the listing meets
those too), and so is a next call that fails after the allocation failed
in numpy's own Python code (array printing, say), which the module only
called. Exit status 0 when the sweep found no fault of the module,
else 1.
"""
from __future__ import print_function

import argparse
import ctypes
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
HOST = os.path.join(ROOT, 'host')
FAKES = os.path.join(HOST, 'recordgl')
TESTS = os.path.join(ROOT, 'tests')
LISTING = os.path.join(ROOT, 'src', 'Movra.py')
CRASH_REPORT = os.path.join(HERE, 'crash_report.c')
CRASH_HEAD = 'crash_report: native stack:'
PHASES = ('frame', 'import', 'print')
# Without --last the sweep ends after this many children in a row that were
# not harmed at all.
UNHARMED_RUN = 40
# A child that takes longer is ended by its alarm, and reported as hanging
# where its native stack was then.
CHILD_SECONDS = 3

for folder in (HOST, FAKES, TESTS):
    if folder not in sys.path:
        sys.path.insert(0, folder)

from kesthost import listing  # noqa: E402


def load_crash_report():
    """Builds scripts/crash_report.c into build/ (when it changed) and loads
    it, so that every child forked from here reports its native stack."""
    target = os.path.join(ROOT, 'build', 'fuzz_memory', 'crash_report.so')
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(CRASH_REPORT):
        if not os.path.isdir(os.path.dirname(target)):
            os.makedirs(os.path.dirname(target))
        subprocess.check_call(['gcc', '-O1', '-shared', '-fPIC', '-o', target, CRASH_REPORT])
    ctypes.CDLL(target)


class ListingImporter(object):
    """Imports the listing as the module MovraListing through the import
    system, as `import Movra` goes through it, from its code compiled once
    beforehand (what an import from bytecode runs)."""

    def __init__(self):
        with open(LISTING) as stream:
            self.code = compile(stream.read(), LISTING, 'exec')

    def find_spec(self, name, path=None, target=None):
        if name != 'MovraListing':
            return None
        import importlib.util
        return importlib.util.spec_from_loader(name, self, origin=LISTING)

    def create_module(self, found):
        return None

    def exec_module(self, module):
        exec(self.code, vars(module))


def load(kind):
    """The module under the sweep: the compiled Movra, or the listing."""
    if kind == 'compiled':
        import Movra
        return Movra
    if not any(isinstance(f, ListingImporter) for f in sys.meta_path):
        sys.meta_path.insert(0, ListingImporter())
    import MovraListing
    return MovraListing


def module_name(kind):
    return 'Movra' if kind == 'compiled' else 'MovraListing'


ADDRESS = re.compile(r'0x[0-9a-fA-F]+')

# What the interpreter and numpy make of a failed allocation in their own
# code, where a module's code is not involved: the import system's locks,
# the eval loop, and built-in functions and numpy's ufuncs, which answer NULL
# without an error then. (The module's own functions are "native
# function"s: a NULL of theirs without an error is no such outcome.)
LIBRARY_OUTCOMES = re.compile(
    r"RuntimeError: can't allocate (read )?lock$|SystemError: error return without exception "
    r"set$|SystemError: <(built-in function \w+|ufunc '\w+')> returned NULL without setting "
    r"an exception$")


def outcome_of(error):
    if isinstance(error, MemoryError):
        return 'MemoryError'
    text = ADDRESS.sub('0x...', str(error))
    return '%s: %s' % (type(error).__name__, text[:80])


def whole(module):
    """Whether the module holds its eighteen functions and its globals, as
    an import leaves them (the listing's defaults)."""
    missing = object()
    return all(callable(getattr(module, n, None)) for n in listing.FUNCTIONS) and \
        all(getattr(module, name, missing) == value for name, value in listing.MOVRA.defaults())


class Writer(object):
    """sys.stdout for the read-back: keeps what was written."""
    softspace = 0

    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)


def failing(index, burst):
    """Makes allocation `index` of what follows fail, and the burst-1 after
    it too, until _testcapi.remove_mem_hooks()."""
    import _testcapi
    _testcapi.set_nomemory(index, index + burst)


def child(phase, kind, index, burst, state):
    """The body of one child: returns (outcome, fault or None). While
    allocations fail, nothing but the phase's own step runs."""
    import _testcapi
    import glfake
    fault = error = None
    if phase == 'import':
        failing(index, burst)
        try:
            module = load(kind)
        except BaseException as raised:
            error = raised
        finally:
            _testcapi.remove_mem_hooks()
        outcome = 'ok' if error is None else outcome_of(error)
        if outcome != 'ok':
            left = sys.modules.get(module_name(kind))
            if left is not None and not whole(left):
                fault = 'a module that is not whole stays in sys.modules'
            try:
                module = load(kind)
            except BaseException as error:
                return outcome, 'the next import fails: %s' % outcome_of(error)
        if not whole(module):
            return outcome, 'the module is not whole'
        module.myQuadric = glfake.Quadric()
        glfake.reset()
        try:
            module.initGL()
            module.drawMain()
        except BaseException as error:
            fault = fault or 'a frame after the import fails: %s' % outcome_of(error)
        return outcome, fault
    module, call = state
    glfake.reset()
    failing(index, burst)
    try:
        call(module)
    except BaseException as raised:
        error = raised
    finally:
        _testcapi.remove_mem_hooks()
    outcome = 'ok' if error is None else outcome_of(error)
    library = raised_in_library(error)
    glfake.reset()
    try:
        call(module)
    except BaseException as later:
        fault = 'the next call fails: %s' % outcome_of(later)
        if library:
            # The allocation failed in numpy's own Python code, which the
            # module only called: what that leaves behind is numpy's, or
            # the interpreter's, as a crash inside them is.
            fault = LIBRARY_FAULT + '%s (%s)' % (fault, library)
    return outcome, fault


def raised_in_library(error):
    """Where in numpy's own Python code an error was raised (its innermost
    frame, "numpy/_core/arrayprint.py:1021"), or None."""
    traceback = getattr(error, '__traceback__', None)
    if traceback is None:
        return None
    while traceback.tb_next is not None:
        traceback = traceback.tb_next
    filename = traceback.tb_frame.f_code.co_filename
    parts = filename.replace(os.sep, '/').split('/')
    if 'numpy' not in parts:
        return None
    return '%s:%d' % ('/'.join(parts[parts.index('numpy'):]), traceback.tb_lineno)


def prepare(phase, kind):
    """What every child of the phase starts from."""
    import numpy  # noqa: F401
    import OpenGL.GL  # noqa: F401
    import OpenGL.GLU  # noqa: F401
    import OpenGL.GLUT  # noqa: F401
    import KestDrawHelperFunctions  # noqa: F401
    import glfake
    if phase == 'import':
        if kind == 'listing':
            load(kind)  # compiles it
            del sys.modules['MovraListing']
        return None
    module = load(kind)
    module.myQuadric = glfake.Quadric()
    module.initGL()
    if phase == 'frame':
        def call(m):
            m.drawMain()
    else:
        sys.stdout = Writer()

        def call(m):
            m.getGL_MODELVIEW_PROJ()
    call(module)
    return module, call


def native_owner(report):
    """Which library the innermost frame of a crash is in, past the signal
    handler, the kernel's return path and libc."""
    lines = report.split(CRASH_HEAD, 1)[1].strip().splitlines()
    for line in lines[1:]:  # lines[0]: the handler itself
        library = line.split('(')[0].split('[')[0].strip()
        name = os.path.basename(library)
        if 'crash_report' in name or name.startswith('libc.so') or not name:
            continue
        return name
    return 'unknown'


def run_child(phase, kind, index, burst, state, folder):
    """Forks one child; returns (outcome, fault or None, crash owner or None)."""
    log = os.path.join(folder, 'child.log')
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            import signal
            fd = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
            os.dup2(fd, 1)
            os.dup2(fd, 2)
            signal.alarm(CHILD_SECONDS)
            outcome, fault = child(phase, kind, index, burst, state)
            with open(os.path.join(folder, 'verdict'), 'w') as out:
                out.write('%s\n%s\n' % (outcome, fault or ''))
        except BaseException:
            code = 3
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    with open(log) as stream:
        text = stream.read()
    if os.WIFSIGNALED(status):
        import signal
        owner = native_owner(text) if CRASH_HEAD in text else 'unknown'
        if os.WTERMSIG(status) == signal.SIGALRM:
            return 'crash (hangs for %d s)' % CHILD_SECONDS, None, owner
        return 'crash (signal %d)' % os.WTERMSIG(status), None, owner
    verdict = os.path.join(folder, 'verdict')
    if os.WEXITSTATUS(status) != 0 or not os.path.exists(verdict):
        return 'child failed (status %d)' % os.WEXITSTATUS(status), text[-400:] or None, None
    with open(verdict) as stream:
        outcome, fault = stream.read().split('\n')[:2]
    os.remove(verdict)
    return outcome, fault or None, None


def sweep(phase, kind, first, last, step, burst):
    """{outcome: [indices]}, [(index, fault)], [(index, crash owner)]."""
    folder = tempfile.mkdtemp(prefix='fuzz_memory-')
    state = prepare(phase, kind)
    saved_stdout = sys.stdout
    sys.stdout = sys.__stdout__
    outcomes, faults, crashes = {}, [], []
    index, unharmed = first, 0
    try:
        while (index < last) if last is not None else (unharmed < UNHARMED_RUN):
            outcome, fault, owner = run_child(phase, kind, index, burst, state, folder)
            outcomes.setdefault(outcome, []).append(index)
            if fault:
                faults.append((index, fault))
            if owner:
                crashes.append((index, owner))
            unharmed = unharmed + 1 if outcome == 'ok' and not fault else 0
            index += step
    finally:
        sys.stdout = saved_stdout
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    os.rmdir(folder)
    return outcomes, faults, crashes


# A fault that follows an allocation failed inside numpy's own code.
LIBRARY_FAULT = 'inside numpy: '


def in_module(owner):
    return owner.startswith('Movra')


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('phase', choices=PHASES)
    parser.add_argument('--first', type=int, default=0)
    parser.add_argument('--last', type=int)
    parser.add_argument('--step', type=int, default=1)
    parser.add_argument('--burst', type=int, default=1,
                        help='how many allocations in a row fail from each index (default 1); '
                        'a burst also fails what handles the first failure')
    parser.add_argument('--reference-step', type=int, default=1,
                        help="the listing's step (default 1: every kind of outcome it meets "
                        "is known, at the cost of a long sweep of its frame)")
    parser.add_argument('--quiet', action='store_true', help='print faults and the summary only')
    options = parser.parse_args()
    try:
        import _testcapi
        _testcapi.set_nomemory  # noqa: B018
    except (ImportError, AttributeError):
        print('fuzz_memory: this interpreter has no _testcapi.set_nomemory')
        return 0
    load_crash_report()

    def say(text):
        print(text)
        sys.stdout.flush()

    # Each sweep forks from the state its preparations made: the listing's in
    # one process, the module's in another.
    results = {}
    for kind in ('listing', 'compiled'):
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read)
            step = options.reference_step if kind == 'listing' else options.step
            found = sweep(options.phase, kind, options.first, options.last, step, options.burst)
            with os.fdopen(write, 'w') as out:
                out.write(repr(found))
            os._exit(0)
        os.close(write)
        with os.fdopen(read) as stream:
            data = stream.read()
        os.waitpid(pid, 0)
        import ast
        results[kind] = ast.literal_eval(data) if data else ({}, [('-', 'the sweep died')], [])

    allowed = set(['ok', 'MemoryError']) | set(
        o for o in results['listing'][0] if not o.startswith('crash'))
    problems = []
    outcomes, faults, crashes = results['compiled']
    for outcome, where in sorted(outcomes.items()):
        if (outcome not in allowed and not outcome.startswith('crash') and
                not LIBRARY_OUTCOMES.match(outcome)):
            problems.append('%s at allocation %s' % (outcome, ', '.join(map(str, where[:5]))))
    problems += ['allocation %s: %s' % (index, fault) for index, fault in faults
                 if not fault.startswith(LIBRARY_FAULT)]
    problems += ['allocation %s: a crash inside the module (%s)' % (index, owner)
                 for index, owner in crashes if in_module(owner)]
    for kind in ('listing', 'compiled'):
        outcomes, _, crashes = results[kind]
        if not options.quiet:
            for outcome, where in sorted(outcomes.items()):
                say('  %-8s %-70s %5d  (first at %d)' % (kind, outcome, len(where), where[0]))
        for index, owner in crashes:
            if not in_module(owner):
                say('fuzz_memory: %s, allocation %d: a crash or hang inside %s, not the module'
                    % (kind, index, owner))
        for index, fault in results[kind][1]:
            if fault.startswith(LIBRARY_FAULT):
                say('fuzz_memory: %s, allocation %d: %s, not the module'
                    % (kind, index, fault[len(LIBRARY_FAULT):]))
    count = sum(len(where) for where in results['compiled'][0].values())
    if problems:
        for problem in problems:
            say('fuzz_memory: FAULT in %s: %s' % (options.phase, problem))
        say('fuzz_memory: %s: %d faults in %d failed allocations' % (options.phase,
                                                                    len(problems), count))
        return 1
    say('fuzz_memory: %s: no fault of the module in %d sweeps of failed allocations '
        '(%d in a row, from %d, step %d)' % (options.phase, count, options.burst,
                                             options.first, options.step))
    return 0


if __name__ == '__main__':
    sys.exit(main())
