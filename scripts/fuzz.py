"""Property-based differential fuzzer of the compiled Movra module.

    <env>/bin/python scripts/fuzz.py [--examples N] [--only NAME] [--fixed-seed]
                                                          (.venv or .venv-3.x)

Runs each property of scripts/fuzz_differential.py for N examples (default
$FUZZ_EXAMPLES or 5000) with hypothesis: hostile globals before any of the
eighteen functions, hostile arguments and keyword dictionaries for the six
matrix builders, and keys that fight back for the two that take keywords.
Every case runs on the compiled module and on its listing, on the recording
GL; the outcomes must agree wherever the two are meant to agree, and the
compiled module must never crash or break its own invariants.  A failure is
shrunk to a minimal example, printed, and kept in tests/fuzz-replay/X.Y/
(one folder for each Python, whose hypothesis alone can read it), from where
every later run under that Python (this one or the test suite's) replays it
first.

Prints, for each property, the number of examples run and what kind of
comparison each one made, then the number of failures.  Exit status 0 when
there was none.
"""
from __future__ import print_function

import argparse
import os
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import fuzz_differential as fuzz  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--examples', type=int,
                        default=int(os.environ.get('FUZZ_EXAMPLES', 5000)),
                        help='examples of each property')
    parser.add_argument('--only', choices=[name for name, _, _ in fuzz.PROPERTIES],
                        help='run this property alone')
    parser.add_argument('--fixed-seed', action='store_true',
                        help='the same examples at every run (for the short runs of the tests)')
    options = parser.parse_args()
    failures = 0
    total = 0
    for name, function, strategy in fuzz.PROPERTIES:
        if options.only and name != options.only:
            continue
        test = fuzz.property_test(function, strategy(), options.examples, options.fixed_seed)
        started = time.time()
        try:
            test()
            failed = False
        except Exception:
            failed = True
            failures += 1
            traceback.print_exc()
        counts = fuzz.STATS.get(name, {})
        examples = sum(counts.values())
        total += examples
        print('fuzz: %-12s %6d examples in %5.1f s%s: %s' % (
            name, examples, time.time() - started, ' FAILED' if failed else '',
            ', '.join('%s %d' % kv for kv in sorted(counts.items(), key=lambda kv: -kv[1]))))
        sys.stdout.flush()
    print('fuzz: %d examples, %d failures' % (total, failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
