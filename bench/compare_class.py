"""What the sandbox costs a class: the compare tool over a class of 40
learners (copies of the listing, and one realistic mistake each from the
tests' seeds), with pictures, in its sandbox and told --no-sandbox, the
two runs taking turns; the wall-clock seconds of each and their ratio; and
what the X server of each learner's own costs.

    python bench/compare_class.py [--learners 40] [--rounds 2] [--python VERSION]

Adds its figures to bench/results/<date>-compare-class-py<version>.txt and prints them.
"""
from __future__ import division, print_function

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(ROOT, 'tests'), os.path.join(ROOT, 'host')]

from compare_seeds import write_class  # noqa: E402
import results_file  # noqa: E402

COMPARE = os.path.join(ROOT, 'host', 'KestCompare.py')


def x_server_seconds(rounds=10):
    """What a learner's own X server costs: its start and stop, on average."""
    from kesthost.xvfb import Xvfb
    started = time.time()
    for _ in range(rounds):
        server = Xvfb(400, 400)
        server.start()
        server.stop()
    return (time.time() - started) / rounds


def run(folder, out, python, sandboxed):
    command = [sys.executable, COMPARE, folder, '--out', out]
    if python:
        command += ['--python', python]
    if not sandboxed:
        command.append('--no-sandbox')
    # A cache of Movra's replies of its own, empty: each run records them, as
    # a run without the sandbox (which keeps no cache) always does.
    env = dict(os.environ, KESTCOMPARE_CACHE=tempfile.mkdtemp(prefix='bench-cache-'))
    started = time.time()
    with open(os.devnull, 'wb') as null:
        status = subprocess.call(command, stdout=null, stderr=null, env=env)
    shutil.rmtree(env['KESTCOMPARE_CACHE'], ignore_errors=True)
    seconds = time.time() - started
    if status not in (0, 1):
        raise SystemExit('the compare tool ended with status %d' % status)
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--learners', type=int, default=40)
    parser.add_argument('--rounds', type=int, default=2)
    parser.add_argument('--python', default=None, help="the learner's interpreter")
    options = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix='bench-compare-')
    try:
        folder = os.path.join(scratch, 'class')
        write_class(folder, options.learners)
        times = {True: [], False: []}
        for round_ in range(options.rounds):
            for sandboxed in (True, False) if round_ % 2 == 0 else (False, True):
                out = os.path.join(scratch, 'out-%d-%s' % (round_, sandboxed))
                times[sandboxed].append(run(folder, out, options.python, sandboxed))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    version = options.python or '%d.%d' % sys.version_info[:2]
    x_seconds = x_server_seconds()
    best = dict((key, min(values)) for key, values in times.items())
    load = os.getloadavg()
    lines = [
        'compare tool, a class of %d learners with pictures, learner\'s Python %s, '
        '%d rounds, load average %.1f %.1f %.1f at the end'
        % (options.learners, version, options.rounds, load[0], load[1], load[2]),
        'sandboxed:     %s s (best %.1f s)' % (', '.join('%.1f' % t for t in times[True]),
                                               best[True]),
        'not sandboxed: %s s (best %.1f s)' % (', '.join('%.1f' % t for t in times[False]),
                                               best[False]),
        'sandboxed / not sandboxed, best of each: %.2f' % (best[True] / best[False]),
        'an X server of its own for each learner\'s pictures: %.2f s to start and stop'
        % x_seconds,
    ]
    results_file.save('compare-class', version, '\n'.join(lines) + '\n')


if __name__ == '__main__':
    main()
