"""Headless runs of the host: time for 60 frames at 700x700, and peak memory.

Usage (from the repository root; `make bench` runs it after bench.py):
    .venv/bin/python bench/headless.py [--runs N] [--out FILE]

Every run is `host/KestMain.py --headless` in a process of its own, with
the compiled module and the real OpenGL on a private Xvfb, as `make run`
does without a screen. Figures:

- time: what the host reports as "rendered and wrote N frames in T s",
  from the first frame's rendering to the animated GIF written, for 60
  frames at --size 350 (700x700); the median over --runs runs for each
  mode of the frame writer (KestHeadless.FrameWriter: encoding on a worker
  thread, as the host does, or in line with rendering), the runs of the
  modes interleaved;
- memory: the peak resident set (VmHWM) of the host process at the end of
  a 50-frame and of a 400-frame run at the same size. Xvfb is a process of
  its own and not counted;
- a learner's module beside Movra's (--module, with the Python listing
  src/Movra.py as the learner's file): the headless time per frame of
  --beside and of --beside --diff (frames of the pair, 1400x700) against
  Movra alone, the same runs as above; and the window's frame rate: frames
  drawn per second (module frame, overlay, buffer swap, glFinish; one tick
  between frames) in the window of Movra alone, and in the two windows of
  --beside with and without the differences marked, on a private Xvfb, the
  median over the runs. The window's own timer asks for a frame every 33 ms;
  these are the rates it can keep.

Results are printed and written to bench/results/<date>-headless-py<version>.txt.
"""
from __future__ import division, print_function

import argparse
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
HOST = os.path.join(ROOT, 'host')

TIME_FRAMES = 60
SIZE = 350                      # sizeViewport: frames of 700x700
MEMORY_FRAMES = (50, 400)
TIME_TARGET = 1.2               # seconds for the 60 frames
MEMORY_TARGET = 0.15            # 400-frame peak at most 15% above the 50-frame one
MODES = ('thread', 'inline')     # the first is the host's own
WINDOW_VARIANTS = ('alone', 'beside', 'diff')
WINDOW_LABELS = {'alone': 'Movra alone', 'beside': 'both (--beside)',
                 'diff': 'both, with d'}

# Runs KestMain.main() with the frame writer in the given mode and reports
# the peak resident set of its process.
DRIVER = r'''
import sys
import KestHeadless
import KestMain
mode = sys.argv[1]
plain_init = KestHeadless.FrameWriter.__init__
def init(self, *args, **kwargs):
    kwargs['mode'] = mode
    plain_init(self, *args, **kwargs)
KestHeadless.FrameWriter.__init__ = init
status = KestMain.main(sys.argv[2:])
with open('/proc/self/status') as stream:
    for line in stream:
        if line.startswith('VmHWM:'):
            print('PEAK_RSS_KB %d' % int(line.split()[1]))
sys.exit(status)
'''


LISTING = os.path.join(ROOT, 'src', 'Movra.py')
BESIDE_TIME_TARGET = 2.5        # --beside per frame at most 2.5 x Movra alone
WINDOW_RATE_TARGET = 2.0        # both windows' frame rate at least Movra alone's / 2
WINDOW_FRAMES = 60
# --module arguments of each variant of the runs with a learner's module.
BESIDE = (('beside', ['--module', LISTING, '--beside']),
          ('diff', ['--module', LISTING, '--diff']))

# Draws frames as fast as it can in the host's window (alone) or windows
# (beside, diff) on the DISPLAY it is given, and prints the frames per second.
WINDOW_DRIVER = r'''
import sys, time
import KestMain
import Movra
from kesthost import beside, learner, window
from OpenGL import GL
variant, frames, listing = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if variant == 'alone':
    shown = window.Window(Movra, animate=False)
    def frame():
        shown.tick()
        shown.scene.display()
else:
    yours = learner.load(listing)
    pair = beside.Beside(yours, Movra, 'listing', diff=variant == 'diff', animate=False)
    def frame():
        pair.tick()
        pair.draw()
for _ in range(5):
    frame()
GL.glFinish()
cpu_time = time.process_time if hasattr(time, 'process_time') else time.clock  # 2.7
started, cpu = time.time(), cpu_time()
for _ in range(frames):
    frame()
    GL.glFinish()
print('FRAMES_PER_SECOND %.3f' % (frames / (time.time() - started)))
print('CPU_MS_PER_FRAME %.3f' % (1000 * (cpu_time() - cpu) / frames))
'''


def host_env():
    env = dict(os.environ)
    env.pop('DISPLAY', None)
    env['PYTHONPATH'] = os.pathsep.join([HOST] + [p for p in env.get('PYTHONPATH', '').split(os.pathsep)
                                                  if p and 'recordgl' not in p])
    return env


def window_rate(variant, display):
    """(frames per second drawn in the window(s) of `variant` on `display`,
    the process's CPU milliseconds per frame, GL's rendering threads
    included: the figure that the other sessions of a shared machine
    disturb least)."""
    env = host_env()
    env['DISPLAY'] = display
    process = subprocess.Popen([sys.executable, '-c', WINDOW_DRIVER, variant, str(WINDOW_FRAMES),
                                LISTING], env=env, cwd=ROOT,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = process.communicate()
    out, err = out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace')
    rate = re.search(r'^FRAMES_PER_SECOND (\d+\.\d+)$', out, re.M)
    cpu = re.search(r'^CPU_MS_PER_FRAME (\d+\.\d+)$', out, re.M)
    if process.returncode != 0 or not (rate and cpu):
        sys.exit('bench: the window run failed (%s):\n%s%s' % (process.returncode, out, err))
    return float(rate.group(1)), float(cpu.group(1))


def run_host(mode, frames, out_dir, extra=()):
    """(seconds the host reports, peak RSS in KiB) of one headless run."""
    env = host_env()
    command = [sys.executable, '-c', DRIVER, mode, '--headless', '-n', str(frames),
               '-s', str(SIZE), '-o', out_dir] + list(extra)
    process = subprocess.Popen(command, env=env, cwd=ROOT,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = process.communicate()
    out, err = out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace')
    if process.returncode != 0:
        sys.exit('bench: the host failed (%s):\n%s%s' % (process.returncode, out, err))
    seconds = re.search(r'^rendered and wrote %d frames in (\d+\.\d+) s' % frames, out, re.M)
    peak = re.search(r'^PEAK_RSS_KB (\d+)$', out, re.M)
    if not (seconds and peak):
        sys.exit('bench: unexpected output of the host:\n%s%s' % (out, err))
    return float(seconds.group(1)), int(peak.group(1))


def median(values):
    values = sorted(values)
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def load_average():
    try:
        return ' '.join('%.2f' % v for v in os.getloadavg())
    except (AttributeError, OSError):
        return 'unknown'


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--runs', type=int, default=7, help='timed runs per variant (default 7)')
    parser.add_argument('--out', default=os.path.join(HERE, 'results', '%s-headless-py%d.%d.txt' % (
        (time.strftime('%Y-%m-%d'),) + tuple(sys.version_info[:2]))))
    options = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix='movra-bench-')
    try:
        times = dict((mode, []) for mode in MODES + tuple(name for name, _ in BESIDE))
        for _ in range(max(1, options.runs)):
            for mode in MODES:
                times[mode].append(run_host(mode, TIME_FRAMES, os.path.join(scratch, 'time'))[0])
            for name, extra in BESIDE:
                times[name].append(run_host(MODES[0], TIME_FRAMES, os.path.join(scratch, 'time'),
                                            extra)[0])
        peaks = {}
        for frames in MEMORY_FRAMES:
            peaks[frames] = run_host(MODES[0], frames, os.path.join(scratch, 'memory'))[1]
        sys.path.insert(0, HOST)
        from kesthost import xvfb
        server = xvfb.Xvfb(4 * SIZE, 2 * SIZE)
        server.start()
        try:
            rates = dict((variant, []) for variant in WINDOW_VARIANTS)
            for _ in range(max(1, options.runs)):
                for variant in WINDOW_VARIANTS:
                    rates[variant].append(window_rate(variant, server.display))
        finally:
            server.stop()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    shipped = median(times[MODES[0]])
    growth = peaks[MEMORY_FRAMES[1]] / peaks[MEMORY_FRAMES[0]] - 1
    lines = [
        'Movra headless benchmark, %s' % time.strftime('%Y-%m-%d %H:%M:%S'),
        'Python %s, %s; %d CPUs; load average %s' % (
            platform.python_version(), platform.machine(), os.cpu_count() if hasattr(os, 'cpu_count')
            else __import__('multiprocessing').cpu_count(), load_average()),
        '',
        'Time for %d frames at %dx%d, first frame rendered to the GIF written (the host\'s '
        'own figure), seconds over %d runs:' % (TIME_FRAMES, 2 * SIZE, 2 * SIZE, options.runs),
    ]
    for mode in MODES:
        values = times[mode]
        lines.append('  %-8s median %.2f  min %.2f  max %.2f' % (
            mode, median(values), min(values), max(values)))
    lines += [
        '  target <= %.1f s (%s, median): %s' % (TIME_TARGET, MODES[0],
                                                'met' if shipped <= TIME_TARGET else 'MISSED'),
        '',
        'Peak resident memory of the host process (VmHWM), frames at %dx%d:' % (2 * SIZE, 2 * SIZE),
    ]
    for frames in MEMORY_FRAMES:
        lines.append('  %4d frames  %7.1f MiB' % (frames, peaks[frames] / 1024))
    lines.append('  %d frames over %d: %+.1f%%, target <= +%d%%: %s' % (
        MEMORY_FRAMES[1], MEMORY_FRAMES[0], 100 * growth, 100 * MEMORY_TARGET,
        'met' if growth <= MEMORY_TARGET else 'MISSED'))
    alone = shipped / TIME_FRAMES
    lines += [
        '',
        'A learner\'s module (the listing) beside Movra\'s, headless, milliseconds per frame '
        '(%d frames, median):' % TIME_FRAMES,
        '  %-14s %6.1f ms' % ('Movra alone', 1000 * alone),
    ]
    for name, _ in BESIDE:
        per_frame = median(times[name]) / TIME_FRAMES
        lines.append('  %-14s %6.1f ms  %.2fx, target <= %.1fx: %s' % (
            '--' + name, 1000 * per_frame, per_frame / alone, BESIDE_TIME_TARGET,
            'met' if per_frame <= BESIDE_TIME_TARGET * alone else 'MISSED'))
    lines += ['', 'The window\'s frame rate, frames drawn per second (median of %d runs of %d '
              'frames, %dx%d a window):' % (max(1, options.runs), WINDOW_FRAMES,
                                            2 * SIZE, 2 * SIZE)]
    alone_rate = median([rate for rate, _ in rates['alone']])
    alone_cpu = median([cpu for _, cpu in rates['alone']])
    for variant in WINDOW_VARIANTS:
        rate = median([rate for rate, _ in rates[variant]])
        cpu = median([cpu for _, cpu in rates[variant]])
        line = '  %-16s %6.1f frames/s, CPU %5.1f ms a frame' % (WINDOW_LABELS[variant], rate, cpu)
        if variant != 'alone':
            line += ' (%.2fx); %.2fx slower, target <= %.1fx: %s' % (
                cpu / alone_cpu, alone_rate / rate, WINDOW_RATE_TARGET,
                'met' if rate * WINDOW_RATE_TARGET >= alone_rate else 'MISSED')
        lines.append(line)
    text = '\n'.join(lines) + '\n'
    print(text, end='')
    folder = os.path.dirname(options.out)
    if folder and not os.path.isdir(folder):
        os.makedirs(folder)
    with open(options.out, 'w') as stream:
        stream.write(text)
    print('written to %s' % os.path.relpath(options.out))


if __name__ == '__main__':
    main()
