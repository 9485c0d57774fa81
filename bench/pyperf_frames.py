"""pyperf's timings of a frame and a tick: the compiled module against its
listing, each in pyperf's own worker processes, which set up the same way
(the no-op GL, initGL and the ticks of bench.prepare) and time the one
function alone.

    .venv-3.13/bin/python bench/pyperf_frames.py [pyperf options, e.g. --fast -o out.json]

bench.py runs it (with --fast) when pyperf is installed for the running
Python and prints its figures beside its own.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pyperf  # noqa: E402

import bench  # noqa: E402

CASES = [('frame', 'drawMain'), ('tick', 'updateAnimationVariables')]


def main():
    runner = pyperf.Runner()
    runner.metadata['description'] = 'Movra: compiled module against its listing, no-op GL'
    bench.build_helpers()
    compiled, listing = bench.load_modules()
    bench.GL_AND_HELPERS = bench.outside_names()
    for module in (compiled, listing):
        bench.prepare(module)
    for what, function in CASES:
        for variant, module in (('compiled', compiled), ('listing', listing)):
            runner.bench_func('%s %s' % (what, variant), getattr(module, function))


if __name__ == '__main__':
    main()
