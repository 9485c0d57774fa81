"""What a learner waits for: one comparison of one file with pictures, from
the command to its last line, and a class of 40, with where the time goes.

    python bench/compare_speed.py [--rounds 5] [--learners 40] [--tool PATH]
                                  [--python VERSION] [--no-class]

Each round runs the compare tool as a learner does (a new process, the
text report on stdout) on a copy of the listing and on a file with one
mistake, and the report's "timings" say where the time went: Movra's side
(read from the tool's cache, or recorded into it by the first run),
loading, the builders, the drawing functions, the pictures (drawn in a
thread meanwhile; their seconds overlap the drawing's). The first round
after a change of the tool or of Movra records Movra's side anew; it is
given apart. --tool times another checkout's host/KestCompare.py (an
earlier version, for a before and after) with the same learner's
interpreter. The load average is given with each figure: time it when the
machine is idle.

Adds its figures to bench/results/<date>-compare-speed-py<version>.txt and prints them.
"""
from __future__ import division, print_function

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(ROOT, 'tests'), os.path.join(ROOT, 'host')]

from compare_seeds import HINT_FAULTS, seeded, write, write_class  # noqa: E402
import results_file  # noqa: E402

COMPARE = os.path.join(ROOT, 'host', 'KestCompare.py')
STEPS = ('reference', 'loading', 'builders', 'drawing', 'causes', 'pictures')


def load_text():
    return '%.2f %.2f %.2f' % os.getloadavg()


def environment():
    """A learner's shell: bytecode written as usual (this machine's
    PYTHONDONTWRITEBYTECODE would make every run compile the tool anew)."""
    env = dict(os.environ)
    env.pop('PYTHONDONTWRITEBYTECODE', None)
    env['PYTHONPATH'] = os.path.join(ROOT, 'host', 'recordgl')
    return env


def one_run(tool, path, out, python):
    command = [sys.executable, tool, path, '--out', out]
    if python:
        command += ['--python', python]
    started = time.time()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=environment())
    stdout, stderr = process.communicate()
    seconds = time.time() - started
    if process.returncode not in (0, 1, 2):
        raise SystemExit('the compare tool ended with status %d:\n%s'
                         % (process.returncode, stderr.decode('utf-8', 'replace')[-2000:]))
    try:
        with open(os.path.join(out, 'report.json')) as stream:
            report = json.load(stream)
    except (IOError, ValueError):
        report = {}
    return seconds, report.get('timings') or {}, report.get('severity')


def timing_text(timings):
    return ', '.join('%s %.2f' % (step, timings[step]) for step in STEPS if step in timings)


def single_file(tool, python, rounds, scratch):
    files = {'listing': seeded([]), 'one mistake (transpose)': seeded(HINT_FAULTS['transpose'])}
    lines = []
    for name, text in sorted(files.items()):
        path = os.path.join(scratch, name.split()[0], 'Movra.py')
        write(path, text)
        runs = []
        for index in range(rounds + 1):
            out = os.path.join(scratch, 'out-%s-%d' % (name.split()[0], index))
            runs.append(one_run(tool, path, out, python) + (load_text(),))
            shutil.rmtree(out, ignore_errors=True)
        first, rest = runs[0], runs[1:]
        best = min(rest, key=lambda r: r[0])
        lines.append('one file, %s: %s s (best %.2f s; severity %s)' % (
            name, ', '.join('%.2f' % r[0] for r in rest), best[0], best[2]))
        lines.append('    load average at each: %s' % '; '.join(r[3] for r in rest))
        lines.append('    the first run: %.2f s (%s)' % (first[0], timing_text(first[1]) or
                                                         'no timings in its report'))
        if best[1]:
            # Movra's side is read meanwhile (recorded, the first time, within
            # the loading); the pictures are drawn meanwhile too.
            known = sum(best[1].get(s, 0.0) for s in ('loading', 'builders', 'drawing',
                                                       'causes'))
            lines.append('    where the best run\'s time went: %s; the rest (the tool\'s start, '
                         'its interpreter probe and sandbox check, what the drawing did not '
                         'hide of the pictures, the report) %.2f s'
                         % (timing_text(best[1]), best[0] - known))
    return lines


def whole_class(tool, python, learners, scratch):
    folder = os.path.join(scratch, 'class')
    write_class(folder, learners)
    command = [sys.executable, tool, folder, '--out', os.path.join(scratch, 'class-out')]
    if python:
        command += ['--python', python]
    before = load_text()
    started = time.time()
    with open(os.devnull, 'wb') as null:
        status = subprocess.call(command, stdout=null, stderr=null, env=environment())
    seconds = time.time() - started
    if status not in (0, 1):
        raise SystemExit('the compare tool ended with status %d on the class' % status)
    return ['a class of %d with pictures: %.1f s (load average %s before, %s after)'
            % (learners, seconds, before, load_text())]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--rounds', type=int, default=5)
    parser.add_argument('--learners', type=int, default=40)
    parser.add_argument('--tool', default=COMPARE, help='the KestCompare.py to time')
    parser.add_argument('--python', default=None, help="the learner's interpreter")
    parser.add_argument('--no-class', action='store_true', help='one file only')
    options = parser.parse_args()
    version = options.python or '%d.%d' % sys.version_info[:2]
    scratch = tempfile.mkdtemp(prefix='bench-speed-')
    try:
        lines = ['compare tool %s, learner\'s Python %s, %d cores; load average %s at the start'
                 % (options.tool, version, os.cpu_count() or 1, load_text())]
        lines += single_file(options.tool, options.python, options.rounds, scratch)
        if not options.no_class:
            lines += whole_class(options.tool, options.python, options.learners, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    results_file.save('compare-speed', version, '\n'.join(lines) + '\n')


if __name__ == '__main__':
    main()
