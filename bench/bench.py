"""Per-frame, per-tick and per-builder figures: compiled, listing, the three floors.

Usage (from the repository root; `make bench` and `make bench PY=3.11` do
this with the environment of that Python):
    .venv/bin/python bench/bench.py [--reps N] [--seconds S] [--out FILE]
    .venv/bin/python bench/bench.py --check    # only the floors' check, fast

The compiled module and its Python listing (loaded as MovraListing) run side
by side in this process on a no-op GL (the recording GL of host/recordgl in
the mode that records nothing): every GL and GLU function and drawing
helper is movra_bench.noop, a C function that accepts anything and returns
None.  It takes its arguments as a cheap C callee naturally does: an
argument tuple on 2.7 (METH_VARARGS | METH_KEYWORDS), the fast-call vector
on 3.x (METH_FASTCALL | METH_KEYWORDS), so that a vectorcall on 3.x needs no
tuple.  bench/movra_bench.c is built here with setuptools for this
interpreter into bench/build/py<version>/.

The floor of a frame (drawMain, viewport4Sol1 true) and of a tick
(updateAnimationVariables) is what no implementation can avoid: the same
GL, GLU, helper and numpy calls with the same arguments (140 per frame, 3
per tick), the numpy scalar arithmetic (5 and 3) and the item stores into
projective's array (5 per frame), all with pre-built operands, issued from
one flat C loop (movra_bench.run_program).  On 2.7 each call goes through
PyObject_Call with its pre-built tuple; on 3.x through PyObject_Vectorcall
with the tuple's items where the callee has vectorcall (with numpy 2 every
callee of a frame has: noop, numpy's ufuncs, zeros and transpose), else
PyObject_Call.  2.7's PyObject_Call guards every call against deep
recursion, 3.x's PyObject_Vectorcall does not: on 3.x neither this floor
nor the tight floor pays the recursion guard of the safe floor (below), on
2.7 both do.

The tight floor is the floor plus the work that any implementation of the
module must do, derived statement by statement from the listing for the
same frame and tick (bench/floor_programs.py), with the real operands read
from the listing's globals.  Per frame / per tick it adds:
  - 285 / 10 global names, each looked up once per use in the listing's
    real globals: the name's entry of the globals' hash table is read at
    every use (where it stands is found once, when the program is decoded,
    and each read checks that the entry still holds this very name in the
    same table, else a full lookup); 12 / 0 of them (`int`) are not
    globals: on 3.x a stamp of the globals vouches for the absence while
    the globals are unchanged, as the interpreter's own lookup of a built-in
    checks (their version number on 3.8 to 3.11, from 3.12 on the watcher
    counter of the safe floor, below), on 2.7 a full lookup finds nothing;
    then the builtins' entry.
    The value is used without taking a reference, as a compiled body may.
  - 28 / 4 arithmetic operations on Python ints and floats (18 / 3 binary,
    10 / 1 unary minus), each making a fresh result object from the real
    operands: computed in C and the result object made directly where both
    operands are plain ints or floats (the number protocol on overflow and
    the like), beside the floor's numpy arithmetic.  Constant expressions
    such as -3.0 are folded by the compiler and count for nothing.
  - 12 / 0 int() conversions (int(sizeViewport)): PyNumber_Long on 3.x,
    PyNumber_Int on 2.7.
  - 15 / 0 subscripts (movingCameraPos[i]): an exact list read by index,
    as the interpreter's specialised subscript does.
  - 63 / 3 argument containers, one per call that passes a value computed
    at run time, where the callee needs one: on 2.7 every callee (a tuple,
    filled for the call and emptied after it; one spare tuple per call site
    serves while nobody keeps it); on 3.x only a callee without vectorcall
    (with numpy 2 there is none: no container is built; the report says how
    many are built on the Python it ran on).  A call whose
    arguments are all constants needs none: a pre-built tuple serves it, as
    in the floor.  One of the 63 is the call projective(near, far); the
    listing's own functions are judged like any callee.
  - 1 / 0 attribute read (np.zeros), 1 / 0 truth test (viewport4Sol1).
  - 0 / 2 stores into the globals (movingCameraAngle, movingCameraPos) and
    0 / 1 new list (movingCameraPos's value).  The stores go into a copy of
    the listing's globals of the same size, so that the listing's own state
    is left as it is.
Not in any floor, as avoidable: the listing's list displays into locals
(eye, lookat, updir, eye2, lookat2: 9 per frame) and the 27 subscripts of
them (an implementation can use the elements themselves), the invocations
of the listing's own functions (17 per frame; their bodies are the mirror's
own steps, and only the lookup of the name and an argument container
count), frames, locals and returns.  The loop over the steps dispatches
on each step's kind, with every kind inlined, over a program decoded before
the measurement (movra_bench.prepare), and releases every new object at
once.  That dispatch (the loop and its switch) costs some 9 instructions a
step, which a compiled body does not pay: by callgrind on 3.13, about 1.4k
of a frame of the floor (150 steps) and 4.7k of the tight floor's (493
steps) and of the safe floor's (526); each floor is that much above the
least work.

The safe floor, against which the current targets are measured, is the
tight floor's work done as a safe implementation of the module must do it,
in the cheapest way the interpreter allows.  It is built by the same mirror
from the same statements, with the same steps for everything but the name
reads and the calls, which differ in three ways and add one thing:
  - cached lookups: each of the 285 / 10 global names is read through a
    hint of its own use site, as the module's own hints
    (src/runtime/globals.hpp, docs/runtime.md) read it: on 3.8 to 3.11 the
    value found, kept with the version number of the globals (and of the
    builtins for the 12 / 0 built-in names, which the floor caches too, as
    the interpreter's own cache does); from 3.12 on where the name's entry
    stands, read afresh at every use (PyDict_Next) and taken if it holds
    this very name, else a full lookup (a built-in name is looked up in full
    at every use; in a frame the module reads none: where the listing reads
    `int`, it converts with the interpreter's int() itself).  A hint is
    kept only while every key is an exact str (on 3.12+ a dictionary
    watcher, public API, tells when the keys may have changed).  2.7 has
    neither: there each read checks the table entry where the name stood,
    as the tight floor and the module's own 2.7 hint read it.
  - owned references: every value read takes a reference, held on a stack
    until the call whose callee or argument it is has returned (the
    statement's end), or, read into a local, until the function's body
    ends; np.zeros's reference replaces np's, as the interpreter's
    attribute read replaces its owner.  A callee that rebinds or deletes the
    name meanwhile cannot free what is in use.
  - direct entry calls: each of the 140 / 3 calls calls the very callee its
    name read found and holds, through the callee's own entry: on 3.x its
    vectorcall entry, read from the object (its type's flag and offset) as
    the interpreter reads it, not through PyObject_Vectorcall; on 2.7 a
    built-in function's method entry (without a tuple for one taking no
    argument or one), anything else its type's call slot.  Argument
    containers as in the tight floor.  A body of the listing's own
    functions (17 / 0) is entered and left around its own steps.
  - the recursion guard (Py_EnterRecursiveCall with the interpreter's
    words " while calling a Python object", Py_LeaveRecursiveCall) around
    each call and each body: 157 / 3 guards per frame / tick, one for each
    call the listing makes.  The floor includes it because the guard is
    not the module's to drop: the module keeps a guard with that message
    around every call it makes, as the interpreter's PyObject_Call guards
    a call, so that a recursion through rebound callees, however it runs,
    ends in the interpreter's RecursionError; an implementation that keeps
    that behaviour pays a guard per call.  The floor pays one, not two:
    where the module guards again (its own functions' entries guard their
    bodies a second time), the second is above the floor.  A callee's own
    entry may guard too (the interpreter's built-in functions do from 3.9
    on, noop among them): that is the callee's work, the same in every
    variant.  The column "no guard" is the safe floor without the guard
    (movra_bench kinds 19 to 21): what the guard costs on each Python,
    most on pyenv's 3.12 and 3.13, whose shared library fetches the thread
    state through a call at each guard.
The stores of a tick go into a copy of the listing's globals that is not
watched, so that they leave the caches of the names read valid, as a store
of a new value leaves the interpreter's own cache (keyed on the table of
keys, not on the values); the module's version number of its globals (3.8
to 3.11) changes at every store.  floor_programs.check checks the safe floor too: the same work
as the tight floor, step for step, and every call finding its callee where
that callee's name read left it, with nothing held at the end.

The check (floor_programs.check, run by every bench run and by --check,
before anything is measured) keeps the tight floor in step with the
listing: it traces the listing's frame and tick line by line, counts the
work above in the statements that ran (from the listing's syntax trees),
and stops the benchmark unless the floors' builder counted the same in
every function and category, invoked the listing's functions in the same
order, made the same GL and helper calls with the same argument values and
types, stores the same values in a tick, and unless movra_bench makes the
very value the listing's statement makes for every lookup, arithmetic
operation, conversion and subscript.  A statement of a kind it cannot count
(a comparison, a keyword argument, ...) stops it too.

Current targets, on every Python: the compiled frame at most 1.10 x the
safe floor by instructions, and not slower than the listing's by time
(compiled / listing at most 1.00).  Earlier targets, still shown and judged
for comparison with earlier results, apart from the current ones in the
report: on Python 3 the compiled frame at most 0.70 x the listing's, by time
and by instructions; the compiled frame at most 1.08 x the tight floor by
instructions; and by time the compiled frame at most 0.5 x the listing's and
at most 15% above the floor, every matrix builder faster than the listing's.
`--strict` fails on a missed current target only.

Every time is the median over the repetitions of the time per call; the
variants are measured interleaved in each repetition, so that a ratio
compares runs made under the same conditions.  Then the same figures as
instruction counts from callgrind (BENCH_INSTRUCTIONS=0 skips them).
Results are printed and written to bench/results/<date>-py<version>.txt.
"""
from __future__ import division, print_function

import argparse
import gc
import glob
import os
import platform
import subprocess
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PY_VERSION = '%d.%d' % sys.version_info[:2]
BUILD = os.path.join(HERE, 'build', 'py' + PY_VERSION)
LISTING = os.path.join(ROOT, 'src', 'Movra.py')
HOST = os.path.join(ROOT, 'host')
RECORDGL = os.path.join(HOST, 'recordgl')
PY3 = sys.version_info[0] >= 3
TICKS_BEFORE = 37  # the moving camera somewhere on its orbit, numpy floats in its position

sys.path.insert(0, HERE)
import floor_programs  # noqa: E402
# The listing's builders, from this checkout's reader; host/ goes on the
# path for this import only, so that a process that imports this file (the
# leak check's tests) keeps its own order of the path.
sys.path.insert(0, HOST)
try:
    from kesthost import listing as facts  # noqa: E402
finally:
    sys.path.remove(HOST)


def build_helpers():
    """Builds bench/movra_bench.c for this interpreter with setuptools, into
    bench/build/py<version>/, unless the built module is newer than the source."""
    source = os.path.join(HERE, 'movra_bench.c')
    built = glob.glob(os.path.join(BUILD, 'movra_bench*.so'))
    if built and min(os.path.getmtime(p) for p in built) >= os.path.getmtime(source):
        return
    script = ('from setuptools import setup, Extension\n'
              'setup(name="movra_bench", script_args=["-q", "build_ext", "--build-lib", %r,'
              ' "--build-temp", %r], ext_modules=[Extension("movra_bench", [%r],'
              ' extra_compile_args=["-O2"])])\n'
              % (BUILD, os.path.join(BUILD, 'tmp'), source))
    subprocess.check_call([sys.executable, '-c', script], cwd=HERE)


def load_listing(name='MovraListing', path=LISTING):
    """src/Movra.py (or another listing) as a module of its own, compiled
    with its own future statements only, from its own file name, without
    writing bytecode."""
    module = types.ModuleType(name)
    module.__file__ = path
    sys.modules[name] = module
    with open(path) as f:
        code = compile(f.read(), path, 'exec', 0, True)
    try:
        exec(code, vars(module))
    except BaseException:
        del sys.modules[name]
        raise
    return module


def load_modules():
    """The compiled module and the listing, on the recording GL in the mode
    that records nothing: every GL, GLU and GLUT function and drawing helper
    is movra_bench.noop."""
    sys.path[:0] = [BUILD, RECORDGL]
    import glfake
    import movra_bench
    glfake.record_nothing(movra_bench.noop)
    import Movra
    if not Movra.__file__.endswith('.so'):
        sys.exit('bench: the compiled module is not the one imported: %s' % Movra.__file__)
    listing = load_listing()
    if Movra.glViewport is not movra_bench.noop or listing.glViewport is not movra_bench.noop:
        sys.exit('bench: the no-op GL is not the one imported')
    return Movra, listing


def prepare(module):
    module.initGL()
    for _ in range(TICKS_BEFORE):
        module.updateAnimationVariables()


GL_AND_HELPERS = None  # names of the functions a frame may call outside the module


def outside_names():
    """The GL and GLU functions and the drawing helpers of the stand-ins."""
    import glfake
    return glfake.function_names()


def record_frame(module):
    """(name, args) of every GL, GLU and helper call of one frame."""
    calls = []
    saved = {}
    for name in GL_AND_HELPERS:
        saved[name] = getattr(module, name)
        setattr(module, name, (lambda n: lambda *a: calls.append((n, a)))(name))
    try:
        module.drawMain()
    finally:
        for name, value in saved.items():
            setattr(module, name, value)
    return calls


def typed(calls):
    return [(n, tuple((type(a).__name__, repr(a)) for a in args)) for n, args in calls]


def floor_builders(listing, check=True):
    """{'frame': Builder, 'tick': Builder} of floor_programs, checked against
    the listing unless check is false.  Exits if the check fails."""
    builders = dict((what, floor_programs.build(listing, LISTING, GL_AND_HELPERS, what))
                    for what in ('frame', 'tick'))
    if check:
        try:
            floor_programs.check(listing, LISTING, builders, record_frame(listing))
        except floor_programs.CheckFailed as e:
            sys.exit('bench: the tight floor is out of step with src/Movra.py: %s' % e)
    return builders


def programs(builders):
    """{(variant, what): program} for the floor, the tight floor, the safe
    floor and the safe floor without the recursion guard, each decoded for
    movra_bench.run_program (movra_bench.prepare)."""
    from movra_bench import prepare
    out = {}
    for what, b in builders.items():
        out[('floor', what)] = prepare(tuple(b.floor))
        out[('tight', what)] = prepare(tuple(b.tight))
        out[('safe', what)] = prepare(tuple(b.safe))
        out[('unguarded', what)] = prepare(floor_programs.unguarded(b.safe))
    return out


FLOORS = ('floor', 'tight', 'safe', 'unguarded')


BUILDER_ARGS = [(name, facts.FITTING[name]) for name in facts.BUILDERS]
VARIANTS = ('compiled', 'listing', 'floor', 'tight', 'safe', 'unguarded')
HEADINGS = ('compiled', 'listing', 'floor', 'tight floor', 'safe floor', 'no guard')


def median(values):
    values = sorted(values)
    n = len(values)
    return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def calibrate(run, seconds):
    n = 1
    while True:
        start = time.time()
        run(n)
        elapsed = time.time() - start
        if elapsed >= seconds / 4:
            return max(1, int(n * seconds / elapsed))
        n *= 4


def measure(variants, reps, seconds):
    """{label: [seconds per call, one per repetition]}.

    In each repetition every variant runs once, in turn, forwards in even
    repetitions and backwards in odd ones, so that a drift of the machine's
    speed falls on all variants alike and a ratio compares neighbours."""
    counts = dict((label, calibrate(run, seconds)) for label, run in variants)
    samples = dict((label, []) for label, _ in variants)
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        for rep in range(reps):
            for label, run in (variants if rep % 2 == 0 else variants[::-1]):
                n = counts[label]
                start = time.time()
                run(n)
                samples[label].append((time.time() - start) / n)
    finally:
        if gc_was_on:
            gc.enable()
    return samples


def ratio(samples, a, b):
    """Median over the repetitions of a's time over b's in the same repetition."""
    return median([x / y for x, y in zip(samples[a], samples[b])])


INSTRUCTION_CALLS = 300


def count_instructions(variant, what):
    """Instructions per call of one variant, by callgrind (bench/profile_frame.py)."""
    out = os.path.join(BUILD, 'callgrind.%s.%s.out' % (variant, what))
    command = ['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out,
               '--collect-atstart=no', '--toggle-collect=repeat', '--toggle-collect=run_steps',
               sys.executable, os.path.join(HERE, 'profile_frame.py'), variant, what,
               str(INSTRUCTION_CALLS)]
    log = subprocess.check_output(command, stderr=subprocess.STDOUT)
    if not isinstance(log, str):
        log = log.decode('utf-8', 'replace')
    for line in log.splitlines():
        if 'Collected :' in line:
            # The profile also holds one warm-up call.
            return int(line.split(':')[-1]) / (INSTRUCTION_CALLS + 1.0)
    raise RuntimeError('callgrind reported no count for %s %s:\n%s' % (variant, what, log))


# The targets.  Each is (label, what, a, b, limit, applies, measures,
# current): a's figure over b's at most `limit` (below it when the limit is
# negative), on the Pythons where `applies` holds, judged by the timings
# ('time'), the instruction counts ('instructions') or both.  The current
# targets come first; the earlier ones are still shown and judged, for
# comparison with earlier results, and `--strict` fails on the current ones
# only.
TARGETS = [
    ('frame: compiled / safe floor', 'frame', 'compiled', 'safe', 1.10, lambda: True,
     ('instructions',), True),
    ('frame: compiled / listing', 'frame', 'compiled', 'listing', 1.00, lambda: True,
     ('time',), True),
    ('frame: compiled / listing (earlier, Python 3)', 'frame', 'compiled', 'listing', 0.70,
     lambda: PY3, ('time', 'instructions'), False),
    ('frame: compiled / tight floor (earlier)', 'frame', 'compiled', 'tight', 1.08,
     lambda: True, ('instructions',), False),
    ('frame: compiled / listing (earlier)', 'frame', 'compiled', 'listing', 0.50,
     lambda: True, ('time',), False),
    ('frame: compiled / floor (earlier: overhead 15%)', 'frame', 'compiled', 'floor',
     1.15, lambda: True, ('time',), False),
] + [('%s: compiled / listing (earlier)' % name, name, 'compiled', 'listing', -1.0,
      lambda: True, ('time',), False) for name, _ in BUILDER_ARGS]

# Ratios shown without a target.
SHOWN = [('frame', 'compiled', 'unguarded'), ('frame', 'safe', 'tight'),
         ('frame', 'unguarded', 'tight'), ('frame', 'safe', 'listing'),
         ('frame', 'listing', 'tight'), ('frame', 'floor', 'listing'),
         ('frame', 'tight', 'listing'), ('frame', 'tight', 'floor'),
         ('tick', 'compiled', 'listing'), ('tick', 'compiled', 'safe'),
         ('tick', 'compiled', 'tight'), ('tick', 'compiled', 'floor'),
         ('tick', 'listing', 'tight')]


def report(say, jobs, per_call, ratio_of, number, measure_name):
    """Prints per-call figures and ratios; returns the labels of the missed
    targets, current and earlier: (current, earlier)."""
    say('%-34s' % '' + ''.join(' %12s' % h for h in HEADINGS))
    for what, label, variants in jobs:
        t = per_call[what]
        say('%-34s' % label + ''.join(' ' + (number % t[v] if v in t else '%12s' % '-')
                                      for v in VARIANTS))
    missed = ([], [])
    names = dict(zip(VARIANTS, HEADINGS))
    for current in (True, False):
        say('  %s' % ('current targets:' if current else
                      'earlier targets (kept for comparison with earlier results):'))
        for label, what, a, b, limit, applies, measures, is_current in TARGETS:
            if is_current != current or not applies():
                continue
            value = ratio_of(what, a, b)
            if measure_name not in measures:
                say('  %-56s %8.3f' % (label, value))
                continue
            passed = value <= limit if limit >= 0 else value < -limit
            say('  %-56s %8.3f   target %s %.2f: %s' % (
                label, value, '<=' if limit >= 0 else '<', abs(limit),
                'met' if passed else 'MISSED'))
            if not passed:
                missed[0 if current else 1].append('%s (by %s)' % (label, measure_name))
    say('  other ratios:')
    for what, a, b in SHOWN:
        say('  %-56s %8.3f' % ('%s: %s / %s' % (what, names[a], names[b]), ratio_of(what, a, b)))
    return missed


def machine():
    model = '?'
    try:
        with open('/proc/cpuinfo') as f:
            for line in f:
                if line.startswith('model name'):
                    model = line.split(':', 1)[1].strip()
                    break
    except IOError:
        pass
    import numpy
    return 'Python %s, numpy %s, %s, %s; load average %s\n%s' % (
        platform.python_version(), numpy.__version__, platform.machine(), model,
        ' '.join('%.2f' % x for x in os.getloadavg()), interpreter_build())


def interpreter_build():
    """Where the interpreter comes from and whether it runs from a shared
    libpython: timings and counts depend on both (code in a shared library
    fetches the thread state through a call, for one).  Told from the
    libraries mapped into this process, not from sysconfig, which on Debian
    describes the shared library while its executable is linked statically."""
    library = None
    try:
        with open('/proc/self/maps') as f:
            for line in f:
                path = line.split()[-1]
                if os.path.basename(path).startswith('libpython'):
                    library = path
                    break
    except (IOError, OSError, IndexError):
        return 'interpreter %s' % sys.executable
    return 'interpreter %s%s, %s' % (
        os.path.realpath(getattr(sys, '_base_executable', sys.executable)),
        ' (Debian root)' if os.environ.get('MOVRA_IN_DEBIAN_ROOT') == '1' else '',
        'running from the shared library ' + library if library
        else 'linked statically (no libpython loaded)')


def composition(builders):
    """Lines that say what each floor of a frame and a tick holds."""
    import movra_bench
    frame, tick = [floor_programs.totals(builders[w]) for w in ('frame', 'tick')]
    lines = ['%-70s %6s %5s' % ('work per call (floor: the first three rows)', 'frame', 'tick')]
    for category, meaning in floor_programs.CATEGORIES.items():
        lines.append('  %-68s %6d %5d' % (meaning, frame[category], tick[category]))
    for what, b in sorted(builders.items()):
        needing = sum(1 for s in b.tight if s[0] in (5, 6) and not movra_bench.has_vectorcall(s[1]))
        lines.append('  %s: %d of the %d argument containers are filled on this Python (%s)'
                     % (what, needing, floor_programs.totals(b)['container'],
                        'callees without vectorcall' if PY3 else 'no vectorcall on 2.7'))
    for what, b in sorted(builders.items()):
        kinds = [s[0] for s in b.safe]
        depth = most = 0
        for s in b.safe:
            depth += 1 if s[0] == 13 else -s[3] if s[0] == 14 else \
                -s[2] if s[0] == 16 else -s[1] if s[0] == 18 else 0
            most = max(most, depth)
        lines.append('  %s, safe floor: %d cached reads and %d attribute reads holding a '
                     'reference (at most %d held at once), %d direct calls and %d bodies of '
                     "the listing's functions, each under the recursion guard"
                     % (what, kinds.count(13), kinds.count(17), most, kinds.count(14),
                        kinds.count(15)))
    return lines


def pyperf_figures():
    """pyperf's times of a frame and a tick, compiled and listing, from
    bench/pyperf_frames.py in worker processes of its own (--fast), as lines
    of the report; one line saying why there are none if pyperf is not
    installed for this Python."""
    try:
        import pyperf
    except ImportError:
        return ['pyperf: not installed for this Python (requirements/%s.txt): no pyperf timings'
                % PY_VERSION]
    out = os.path.join(BUILD, 'pyperf.json')
    if os.path.exists(out):
        os.remove(out)
    subprocess.check_call([sys.executable, os.path.join(HERE, 'pyperf_frames.py'), '--fast',
                           '--quiet', '-o', out])
    suite = pyperf.BenchmarkSuite.load(out)
    means = dict((b.get_name(), (b.mean(), b.stdev())) for b in suite.get_benchmarks())
    lines = ['Time per call by pyperf %s (--fast: worker processes of their own, each variant '
             'alone), microseconds, mean +- std dev:' % pyperf.__version__]
    for what in ('frame', 'tick'):
        (c, cs), (l, ls) = means['%s compiled' % what], means['%s listing' % what]
        lines.append('  %-6s compiled %9.3f +- %.3f   listing %9.3f +- %.3f   compiled / listing '
                     '%.3f' % (what, c * 1e6, cs * 1e6, l * 1e6, ls * 1e6, c / l))
    return lines


def main():
    global GL_AND_HELPERS
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--reps', type=int, default=int(os.environ.get('BENCH_REPS', 21)))
    parser.add_argument('--seconds', type=float, default=float(os.environ.get('BENCH_SECONDS', 0.05)),
                        help='time of one measurement')
    parser.add_argument('--instructions', type=int,
                        default=int(os.environ.get('BENCH_INSTRUCTIONS', 1)),
                        help='1 (default) also counts instructions with callgrind, 0 does not')
    parser.add_argument('--strict', action='store_true',
                        help='exit 1 if a current target is missed')
    parser.add_argument('--check', action='store_true',
                        help='only check the floors against the listing and say what they hold')
    parser.add_argument('--out', default=os.path.join(
        HERE, 'results', '%s-py%s.txt' % (time.strftime('%Y-%m-%d'), PY_VERSION)))
    options = parser.parse_args()

    build_helpers()
    compiled, listing = load_modules()
    import movra_bench
    from movra_bench import repeat, run_program
    GL_AND_HELPERS = outside_names()
    for module in (compiled, listing):
        prepare(module)

    frame_calls = record_frame(listing)
    if typed(record_frame(compiled)) != typed(frame_calls):
        sys.exit('bench: the compiled frame and the listing frame make different calls')
    builders = floor_builders(listing)
    program = programs(builders)
    for p in program.values():
        run_program(p, 1)

    lines = []

    def say(text=''):
        print(text)
        lines.append(text)

    if options.check:
        say('bench: the floors are in step with src/Movra.py (frame and tick)')
        for line in composition(builders):
            say(line)
        return 0

    say('Movra benchmark, %s' % time.strftime('%Y-%m-%d %H:%M:%S'))
    say(machine())
    say('no-op GL (%s); per frame %d GL/helper calls and %d numpy operations in the floor' % (
        movra_bench.__file__.replace(ROOT + os.sep, ''), len(frame_calls),
        len(builders['frame'].floor) - len(frame_calls)))
    say('state: after initGL and %d ticks, viewport4Sol1 true (the default set-up)'
        % TICKS_BEFORE)
    say('the floors are checked against the listing\'s statements (bench/floor_programs.py):')
    for line in composition(builders):
        say('  ' + line)
    say()

    compiled_tick, listing_tick = compiled.updateAnimationVariables, listing.updateAnimationVariables
    jobs = []
    for what, fc, fl in (('frame', compiled.drawMain, listing.drawMain),
                         ('tick', compiled_tick, listing_tick)):
        label = {'frame': 'drawMain()', 'tick': 'updateAnimationVariables()'}[what]
        jobs.append((what, label, [
            ('compiled', (lambda f: lambda n: repeat(f, (), n))(fc)),
            ('listing', (lambda f: lambda n: repeat(f, (), n))(fl)),
        ] + [(v, (lambda p: lambda n: run_program(p, n))(program[(v, what)])) for v in FLOORS]))
    for name, args in BUILDER_ARGS:
        fc, fl = getattr(compiled, name), getattr(listing, name)
        jobs.append((name, '%s%r' % (name, args), [
            ('compiled', (lambda f, a: lambda n: repeat(f, a, n))(fc, args)),
            ('listing', (lambda f, a: lambda n: repeat(f, a, n))(fl, args))]))

    timed = dict((what, measure(variants, options.reps, options.seconds))
                 for what, _, variants in jobs)
    say('Time per call, microseconds: median of %d repetitions of ~%.2f s per variant, '
        'variants interleaved' % (options.reps, options.seconds))
    missed = report(say, jobs, dict((what, dict((v, median(t) * 1e6) for v, t in samples.items()))
                                    for what, samples in timed.items()),
                    lambda what, a, b: ratio(timed[what], a, b), '%12.3f', 'time')

    say()
    for line in pyperf_figures():
        say(line)

    if options.instructions:
        say()
        say('Instructions per call, counted by valgrind --tool=callgrind over %d calls '
            '(bench/profile_frame.py): the same comparison without timing noise'
            % INSTRUCTION_CALLS)
        counted = {}
        for what, _, variants in jobs:
            counted[what] = dict((v, count_instructions(v, what)) for v, _ in variants)
        more = report(say, jobs, counted,
                      lambda what, a, b: counted[what][a] / counted[what][b],
                      '%12.0f', 'instructions')
        missed = (missed[0] + more[0], missed[1] + more[1])
    say()
    say('current targets MISSED: ' + '; '.join(missed[0]) if missed[0] else
        'current targets: all met')
    if missed[1]:
        say('earlier targets missed: ' + '; '.join(missed[1]))

    out_dir = os.path.dirname(options.out)
    if out_dir and not os.path.isdir(out_dir):
        os.makedirs(out_dir)
    with open(options.out, 'w') as f:
        f.write('\n'.join(lines) + '\n')
    print('written to %s' % os.path.relpath(options.out))
    return 1 if missed[0] and options.strict else 0


if __name__ == '__main__':
    sys.exit(main())
