"""Runs frames, ticks or builder calls of one variant, for an instruction profile.

    .venv/bin/python bench/profile_frame.py VARIANT WHAT [N]

VARIANT is compiled, listing or floor; WHAT is frame, tick or a builder name.
Only the timed loop runs inside movra_bench.repeat / run_program, so
    valgrind --tool=callgrind --collect-atstart=no \\
        --toggle-collect=repeat --toggle-collect=run_program \\
        .venv/bin/python bench/profile_frame.py compiled frame 1000
counts the instructions of exactly N frames (bench/profile.sh does this for
every variant and prints instructions per call).
"""
from __future__ import print_function

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402


def main(variant, what, n=1000):
    n = int(n)
    bench.build_helpers()
    compiled, listing = bench.load_modules()
    from movra_bench import noop, repeat, run_program
    import OpenGL.GL, OpenGL.GLU, KestDrawHelperFunctions as helpers
    bench.GL_AND_HELPERS = OpenGL.GL.FUNCTIONS + OpenGL.GLU.FUNCTIONS + helpers.__all__
    for module in (compiled, listing):
        bench.prepare(module)
    module = compiled if variant == 'compiled' else listing
    if variant == 'floor':
        program = {'frame': lambda: bench.frame_floor(listing, noop),
                   'tick': lambda: bench.tick_floor(listing)}[what]()
        run_program(program, 1)  # warm-up
        run_program(program, n)
        return
    if what == 'frame':
        function, args = module.drawMain, ()
    elif what == 'tick':
        function, args = module.updateAnimationVariables, ()
    else:
        function, args = getattr(module, what), dict(bench.BUILDER_ARGS)[what]
    repeat(function, args, 1)  # warm-up
    repeat(function, args, n)


if __name__ == '__main__':
    main(*sys.argv[1:])
