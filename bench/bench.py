"""Per-frame, per-tick and per-builder timings: compiled module, listing, floor.

Usage (from the repository root; `make bench` does this):
    .venv/bin/python bench/bench.py [--reps N] [--seconds S] [--out FILE]

The compiled module and its Python listing (loaded as MovraListing) run side
by side in this process on a no-op GL: every GL and GLU function and drawing
helper is movra_bench.noop, a C function that accepts anything and returns
None (bench/movra_bench.c, built here with this interpreter into bench/build/).

The floor of a frame is what no implementation of the frame can avoid: the
same GL and helper calls with the same arguments (recorded from one frame of
the listing and pre-built), plus the numpy work a frame must do (numpy
function calls, numpy scalar arithmetic and the item stores into
projective's array, with pre-built operands), issued from one flat C loop
(movra_bench.run_program).  Plain Python arithmetic on ints and floats, list
displays and name lookups are left out of the floor: they are the overhead
being measured.

Every figure is the median over the repetitions of the time per call; the
variants are measured interleaved in each repetition, so that a ratio
compares runs made under the same conditions.  Results are printed and
written to bench/results/<date>.txt.
"""
from __future__ import division, print_function

import argparse
import gc
import imp
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(HERE, 'build')
LISTING = os.path.join(ROOT, 'src', 'Movra.py')
TARGETS = {'frame_vs_listing': 0.5, 'frame_over_floor': 0.15}
TICKS_BEFORE = 37  # the moving camera somewhere on its orbit, numpy floats in its position


def build_helpers():
    """Compiles bench/movra_bench.c with this interpreter if it changed."""
    source = os.path.join(HERE, 'movra_bench.c')
    target = os.path.join(BUILD, 'movra_bench.so')
    if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(source):
        return
    script = ('from distutils.core import setup, Extension\n'
              'setup(name="movra_bench", script_args=["-q", "build_ext", "--build-lib", %r,'
              ' "--build-temp", %r], ext_modules=[Extension("movra_bench", [%r],'
              ' extra_compile_args=["-O2"])])\n'
              % (BUILD, os.path.join(BUILD, 'tmp'), source))
    subprocess.check_call([sys.executable, '-c', script], cwd=HERE)


def load_modules():
    sys.path[:0] = [BUILD, os.path.join(HERE, 'fakegl')]
    import Movra
    if not Movra.__file__.endswith('.so'):
        sys.exit('bench: the compiled module is not the one imported: %s' % Movra.__file__)
    saved, sys.dont_write_bytecode = sys.dont_write_bytecode, True
    try:
        listing = imp.load_source('MovraListing', LISTING)
    finally:
        sys.dont_write_bytecode = saved
    import OpenGL.GL
    import movra_bench
    if Movra.glViewport is not movra_bench.noop or listing.glViewport is not movra_bench.noop:
        sys.exit('bench: the no-op GL is not the one imported')
    return Movra, listing


def prepare(module):
    module.initGL()
    for _ in range(TICKS_BEFORE):
        module.updateAnimationVariables()


GL_AND_HELPERS = None  # names of the functions a frame calls outside the module


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


def frame_floor(listing, noop):
    """The floor program of one frame with viewport4Sol1 true (the default)."""
    import numpy as np
    g = vars(listing)
    assert g['viewport4Sol1'] is True
    steps = [(0, noop, args) for _name, args in record_frame(listing)]
    # Viewport1: gluLookAt's eye[0] + tan(pan / 180.0 * pi), and the same for tilt.
    for eye, angle in (('eyeX', 'pan'), ('eyeY', 'tilt')):
        t = np.tan(g[angle] / 180.0 * np.pi)
        steps += [(0, np.tan, (g[angle] / 180.0 * np.pi,)), (2, '+', g[eye], t)]
    # drawMovingCamera, called by Viewports 1, 2 and 3: -rad2deg(arctan2(y, radius)).
    y, radius = g['movingCameraPos'][1], g['movingCameraRadius']
    a = np.arctan2(y, radius)
    steps += [(0, np.arctan2, (y, radius)), (0, np.rad2deg, (a,)),
              (3, np.rad2deg(a))] * 3
    # Viewport3: projective(near, far) fills a zero array, then transpose(M).
    near, far = g['near'], g['far']
    m = np.zeros((4, 4))
    steps += [(0, np.zeros, ((4, 4),)), (1, m, 0, 0, near), (1, m, 1, 1, near),
              (1, m, 2, 2, near + far), (1, m, 3, 2, -1), (1, m, 2, 3, near * far),
              (0, np.transpose, (m,))]
    return tuple(steps)


def tick_floor(listing):
    """The numpy work of one tick: deg2rad, sin, cos and the numpy products and sum."""
    import numpy as np
    g = vars(listing)
    theta = np.deg2rad(g['movingCameraAngle'])
    radius = g['movingCameraRadius']
    return ((0, np.deg2rad, (g['movingCameraAngle'],)), (0, np.sin, (theta,)),
            (2, '*', radius, np.sin(theta)), (0, np.cos, (theta,)),
            (2, '*', radius, np.cos(theta)), (2, '+', -4.0, radius * np.cos(theta)))


BUILDER_ARGS = [('rotateX', (30,)), ('rotateY', (-45.5,)), ('translate', ([1, 2.5, -3],)),
                ('scale', ([2, 0.5, 3],)), ('projective', (1.0, 7.0)),
                ('perspective', (60, 1, 0.01, 20))]


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
               '--collect-atstart=no', '--toggle-collect=repeat', '--toggle-collect=run_program',
               sys.executable, os.path.join(HERE, 'profile_frame.py'), variant, what,
               str(INSTRUCTION_CALLS)]
    log = subprocess.check_output(command, stderr=subprocess.STDOUT)
    for line in log.splitlines():
        if 'Collected :' in line:
            # The profile also holds one warm-up call.
            return int(line.split(':')[-1]) / (INSTRUCTION_CALLS + 1.0)
    raise RuntimeError('callgrind reported no count for %s %s:\n%s' % (variant, what, log))


def report(say, jobs, per_call, ratio_of, number):
    """Prints per-call figures and ratios; returns whether every target is met."""
    say('%-34s %12s %12s %12s' % ('', 'compiled', 'listing', 'floor'))
    for what, label, variants in jobs:
        t = per_call[what]
        say('%-34s %s %s %s' % (label, number % t['compiled'], number % t['listing'],
                                number % t['floor'] if 'floor' in t else '%12s' % '-'))
    ok = True

    def check(label, value, limit, passed):
        say('  %-50s %8.3f   target %s %.2f: %s' % (label, value, '<=' if limit >= 0 else '<',
                                                    abs(limit), 'met' if passed else 'MISSED'))
        return passed

    r = ratio_of('frame', 'compiled', 'listing')
    ok &= check('frame: compiled / listing', r, TARGETS['frame_vs_listing'],
                r <= TARGETS['frame_vs_listing'])
    over = ratio_of('frame', 'compiled', 'floor') - 1
    ok &= check('frame: compiled overhead above the floor', over, TARGETS['frame_over_floor'],
                over <= TARGETS['frame_over_floor'])
    say('  %-50s %8.3f' % ('frame: listing overhead above the floor',
                           ratio_of('frame', 'listing', 'floor') - 1))
    say('  %-50s %8.3f' % ('frame: floor / listing', ratio_of('frame', 'floor', 'listing')))
    say('  %-50s %8.3f' % ('tick: compiled / listing', ratio_of('tick', 'compiled', 'listing')))
    say('  %-50s %8.3f' % ('tick: compiled overhead above the floor',
                           ratio_of('tick', 'compiled', 'floor') - 1))
    for name, _ in BUILDER_ARGS:
        r = ratio_of(name, 'compiled', 'listing')
        ok &= check('%s: compiled / listing' % name, r, -1.0, r < 1.0)
    return ok


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
    return 'Python %s, numpy %s, %s, %s; load average %s' % (
        platform.python_version(), numpy.__version__, platform.machine(), model,
        ' '.join('%.2f' % x for x in os.getloadavg()))


def main():
    global GL_AND_HELPERS
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--reps', type=int, default=int(os.environ.get('BENCH_REPS', 21)))
    parser.add_argument('--seconds', type=float, default=float(os.environ.get('BENCH_SECONDS', 0.05)),
                        help='time of one measurement')
    parser.add_argument('--instructions', type=int,
                        default=int(os.environ.get('BENCH_INSTRUCTIONS', 1)),
                        help='1 (default) also counts instructions with callgrind, 0 does not')
    parser.add_argument('--strict', action='store_true', help='exit 1 if a target is missed')
    parser.add_argument('--out', default=os.path.join(HERE, 'results', time.strftime('%Y-%m-%d') + '.txt'))
    options = parser.parse_args()

    build_helpers()
    compiled, listing = load_modules()
    import movra_bench
    from movra_bench import noop, repeat, run_program
    import OpenGL.GL, OpenGL.GLU, KestDrawHelperFunctions as helpers
    GL_AND_HELPERS = OpenGL.GL.FUNCTIONS + OpenGL.GLU.FUNCTIONS + helpers.__all__
    for module in (compiled, listing):
        prepare(module)

    frame_calls = record_frame(listing)
    if typed(record_frame(compiled)) != typed(frame_calls):
        sys.exit('bench: the compiled frame and the listing frame make different calls')
    floor = frame_floor(listing, noop)
    run_program(floor, 1)

    lines = []

    def say(text=''):
        print(text)
        lines.append(text)

    say('Movra benchmark, %s' % time.strftime('%Y-%m-%d %H:%M:%S'))
    say(machine())
    say('no-op GL (%s); per frame %d GL/helper calls and %d numpy operations in the floor' % (
        movra_bench.__file__.replace(ROOT + os.sep, ''), len(frame_calls),
        len(floor) - len(frame_calls)))
    say('state: after initGL and %d ticks, viewport4Sol1 true (the default set-up)'
        % TICKS_BEFORE)
    say()

    tick_program = tick_floor(listing)
    compiled_tick, listing_tick = compiled.updateAnimationVariables, listing.updateAnimationVariables
    jobs = [('frame', 'drawMain()', [
        ('compiled', lambda n: repeat(compiled.drawMain, (), n)),
        ('listing', lambda n: repeat(listing.drawMain, (), n)),
        ('floor', lambda n: run_program(floor, n))]),
        ('tick', 'updateAnimationVariables()', [
        ('compiled', lambda n: repeat(compiled_tick, (), n)),
        ('listing', lambda n: repeat(listing_tick, (), n)),
        ('floor', lambda n: run_program(tick_program, n))])]
    for name, args in BUILDER_ARGS:
        fc, fl = getattr(compiled, name), getattr(listing, name)
        jobs.append((name, '%s%r' % (name, args), [
            ('compiled', (lambda f, a: lambda n: repeat(f, a, n))(fc, args)),
            ('listing', (lambda f, a: lambda n: repeat(f, a, n))(fl, args))]))

    timed = dict((what, measure(variants, options.reps, options.seconds))
                 for what, _, variants in jobs)
    say('Time per call, microseconds: median of %d repetitions of ~%.2f s per variant, '
        'variants interleaved' % (options.reps, options.seconds))
    ok = report(say, jobs, dict((what, dict((v, median(t) * 1e6) for v, t in samples.items()))
                                for what, samples in timed.items()),
                lambda what, a, b: ratio(timed[what], a, b), '%12.3f')

    if options.instructions:
        say()
        say('Instructions per call, counted by valgrind --tool=callgrind over %d calls '
            '(bench/profile_frame.py): the same comparison without timing noise'
            % INSTRUCTION_CALLS)
        counted = {}
        for what, _, variants in jobs:
            counted[what] = dict((v, count_instructions(v, what)) for v, _ in variants)
        report(say, jobs, counted, lambda what, a, b: counted[what][a] / counted[what][b],
               '%12.0f')
    say()
    say('all targets met' if ok else 'some targets MISSED (by the timings)')

    out_dir = os.path.dirname(options.out)
    if out_dir and not os.path.isdir(out_dir):
        os.makedirs(out_dir)
    with open(options.out, 'w') as f:
        f.write('\n'.join(lines) + '\n')
    print('written to %s' % os.path.relpath(options.out))
    return 0 if ok or not options.strict else 1


if __name__ == '__main__':
    sys.exit(main())
