"""Runs frames, ticks or builder calls of one variant, for an instruction profile.

    .venv/bin/python bench/profile_frame.py VARIANT WHAT [N]

VARIANT is compiled, listing, floor, tight (the tight floor), safe (the safe
floor) or unguarded (the safe floor without the recursion guard); WHAT is
frame, tick or a builder name (the floors have frame and tick only), or,
for compiled and listing, frame-after-tick: each frame after a tick, as the
host runs them, with only the frames inside repeat (a tick's stores can
make the next frame's name reads look their names up again, which frames
run back to back, as bench.py measures them, do not show).
Only the timed loop runs inside movra_bench's repeat (the compiled module
and the listing) or run_steps (the floors' programs, decoded beforehand), so
    valgrind --tool=callgrind --collect-atstart=no \\
        --toggle-collect=repeat --toggle-collect=run_steps \\
        .venv/bin/python bench/profile_frame.py compiled frame 1000
counts the instructions of exactly N frames, plus one warm-up call (bench.py
does this for every variant and divides by N + 1).
"""
from __future__ import print_function

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402


def main(variant, what, n=1000):
    n = int(n)
    if variant not in bench.VARIANTS:
        sys.exit('profile_frame: VARIANT is one of %s' % ', '.join(bench.VARIANTS))
    bench.build_helpers()
    compiled, listing = bench.load_modules()
    from movra_bench import repeat, run_program
    bench.GL_AND_HELPERS = bench.outside_names()
    for module in (compiled, listing):
        bench.prepare(module)
    if variant in bench.FLOORS:
        program = bench.programs(bench.floor_builders(listing))[(variant, what)]
        run_program(program, 1)  # warm-up
        run_program(program, n)
        return
    module = compiled if variant == 'compiled' else listing
    if what == 'frame-after-tick':
        for _ in range(n + 1):  # the first is the warm-up
            module.updateAnimationVariables()
            repeat(module.drawMain, (), 1)
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
