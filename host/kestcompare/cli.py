"""The command line of KestCompare (host/KestCompare.py).

    python host/KestCompare.py IMPL [--out DIR] [--json FILE] [options]

IMPL is a plain-Python file that claims to be the module (a learner's
Movra.py), or a folder or .zip of a class: then every learner found in it
(see submissions.py) is compared, in parallel processes, followed by a
summary. Exit status: 0 identical, 1 different, 2 the file could not be
loaded (for a class: 0 when every learner is identical, 1 otherwise, 2 when
no learner was found or IMPL cannot be read), 3 the tool itself failed.

The tool runs on Python 3; --python chooses the interpreter of the
learner's code, which runs in the sandbox unless --no-sandbox.
"""
from __future__ import absolute_import, division, print_function

import argparse
import os
import sys

from kestcompare import reports, scores
from kestcompare.compare import CompareError, Comparison
from kestcompare.settings import (DEFAULT_CPU_SECONDS, DEFAULT_LEARNER_LIMIT, DEFAULT_LIMIT,
                                  DEFAULT_MEMORY_MB, DEFAULT_PICTURE_SIZE, Settings)

from kestcompare import PROG  # noqa: E402  (the program's name in its messages)
DEFAULT_OUT = os.path.join('out', 'compare')


def positive_seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError('the time limit must be a number of seconds, got %r'
                                         % text)
    if not 0.1 <= value <= 600:
        raise argparse.ArgumentTypeError('the time limit must be between 0.1 and 600 s, got %s'
                                         % text)
    return value


def whole_number(what, low, high):
    def parse(text):
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError('%s must be a whole number, got %r' % (what, text))
        if not low <= value <= high:
            raise argparse.ArgumentTypeError('%s must be between %d and %d, got %d'
                                             % (what, low, high, value))
        return value
    return parse


picture_size = whole_number('the picture size', 16, 1024)


def job_count(text):
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError('the number of jobs must be a whole number, got %r'
                                         % text)
    if value < 1:
        raise argparse.ArgumentTypeError('the number of jobs must be at least 1, got %d' % value)
    return value


def default_jobs():
    """As many learners as there are cores: each comparison keeps two of its
    own processes busy at once (its recording and its pictures), so more
    learners at a time only take turns (a class of 10 on two cores: 5.7 s
    with 2, 6.6 s with 3, 8.3 s with 4)."""
    return max(1, os.cpu_count() or 1)


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description='Compare a plain-Python implementation of the module (a Movra.py) '
                    'with the compiled Movra, or every learner of a folder or .zip.',
        epilog='Exit status: 0 identical, 1 different, 2 the file could not be loaded '
               '(for a folder or zip: 0 when every learner is identical, else 1; 2 when '
               'it holds no learner), 3 the tool itself failed.')
    parser.add_argument('impl', metavar='IMPL', nargs='?',
                        help='the Movra.py to compare, or a folder or .zip of learners')
    parser.add_argument('--out', default=DEFAULT_OUT, metavar='DIR',
                        help='folder for the report and the pictures (default: %(default)s)')
    parser.add_argument('--json', default=None, metavar='FILE',
                        help='where the JSON report goes (default: DIR/report.json, for a '
                             'class DIR/summary.json)')
    parser.add_argument('--time-limit', type=positive_seconds, default=DEFAULT_LIMIT,
                        metavar='SECONDS',
                        help='longest time one call may take before it counts as not '
                             'returning (default: %(default)s)')
    parser.add_argument('--prepare-limit', type=positive_seconds, default=None,
                        metavar='SECONDS',
                        help='time for preparing all the states of one learner together '
                             '(default: the time limit)')
    parser.add_argument('--ignore-output', action='store_true',
                        help='printed output and warnings are notes, not differences')
    parser.add_argument('--no-pictures', action='store_true',
                        help='leave out the pictures drawn with real GL')
    parser.add_argument('--picture-size', type=picture_size, default=DEFAULT_PICTURE_SIZE,
                        metavar='PIXELS',
                        help='side of each viewport in the pictures (default: %(default)s)')
    parser.add_argument('--reference', default=None, metavar='FILE',
                        help='compare with this plain-Python file instead of the compiled '
                             'Movra')
    parser.add_argument('--jobs', type=job_count, default=default_jobs(), metavar='N',
                        help='for a class: learners compared at once (default: the '
                             'number of cores, %(default)s)')
    parser.add_argument('--learner-limit', type=float, default=DEFAULT_LEARNER_LIMIT,
                        metavar='SECONDS',
                        help='longest time the whole comparison of one learner may take '
                             '(default: %(default)s)')
    parser.add_argument('--python', default=None, metavar='VERSION|PATH',
                        help="the interpreter of the learner's code: a version this project "
                             'has an environment of (2.7, 3.13, 3.14, ...) or a path '
                             "(default: the tool's own)")
    parser.add_argument('--no-sandbox', action='store_true',
                        help="run the learner's code without the sandbox: only for files "
                             'you trust; every report then says "not sandboxed"')
    parser.add_argument('--memory-limit', type=whole_number('the memory limit', 256, 65536),
                        default=DEFAULT_MEMORY_MB, metavar='MB',
                        help="address space of each process of the learner's code "
                             '(default: %(default)s)')
    parser.add_argument('--cpu-limit', type=whole_number('the CPU limit', 1, 3600),
                        default=DEFAULT_CPU_SECONDS, metavar='SECONDS',
                        help="CPU seconds of each process of the learner's code "
                             '(default: %(default)s)')
    parser.add_argument('--no-cache', action='store_true',
                        help="record Movra's side anew instead of reading it from the tool's "
                             'cache (see kestcompare/refcache.py)')
    parser.add_argument('--rubric', default=None, metavar='FILE',
                        help='the points of each item, a TOML or JSON file (default: the '
                             "tool's own rubric, out of 100; --print-rubric shows it)")
    parser.add_argument('--print-rubric', action='store_true',
                        help='print the rubric (the default, or --rubric FILE) as TOML, and '
                             'stop: a start for your own')
    parser.add_argument('--results-json', default=None, metavar='FILE',
                        help="write the comparison's score as a course platform's autograder "
                             'results.json (one test per rubric item)')
    parser.add_argument('--grades-bom', action='store_true',
                        help='for a class: write grades.csv with a byte-order mark, for '
                             'spreadsheet programs that otherwise garble UTF-8')
    parser.add_argument('--autograder-bundle', default=None, metavar='DIR',
                        help="write the course platform's autograder zip (setup.sh, "
                             'run_autograder, this tool and the rubric) into DIR, and stop')
    parser.add_argument('--autograder-run', default=None, metavar='SOURCE',
                        help="what the bundle's run_autograder runs inside the platform's "
                             'container: grade the file in /autograder/submission/ with the '
                             'bundle unpacked in SOURCE, into /autograder/results/results.json')
    parser.add_argument('--autograder-unsandboxed', action='store_true',
                        help='with --autograder-bundle: where the platform\'s container '
                             'cannot make a sandbox, run the file without one (every result '
                             'then says "not sandboxed") instead of refusing to grade')
    return parser


def settings_of(options):
    return Settings(options.impl, out=options.out, json_path=options.json,
                    reference=options.reference, time_limit=options.time_limit,
                    prepare_limit=options.prepare_limit, pictures=not options.no_pictures,
                    picture_size=options.picture_size, ignore_output=options.ignore_output,
                    python=options.python, sandbox=not options.no_sandbox,
                    memory_mb=options.memory_limit, cpu_seconds=options.cpu_limit,
                    learner_limit=options.learner_limit, jobs=options.jobs,
                    rubric=options.rubric_read, results_json=options.results_json,
                    grades_bom=options.grades_bom, cache=not options.no_cache)


def main(argv=None):
    options = build_parser().parse_args(argv)
    options.rubric_read = None
    if options.rubric:
        try:
            options.rubric_read = scores.read_rubric(options.rubric)
        except scores.RubricError as error:
            sys.stderr.write('%s: error: %s\n' % (PROG, error))
            return 2
    if options.print_rubric:
        reports.write_text(scores.rubric_toml(options.rubric_read or scores.DEFAULT))
        return 0
    if options.autograder_bundle:
        from kestcompare import autograder
        try:
            path = autograder.write_bundle(options.autograder_bundle,
                                           options.rubric_read or scores.DEFAULT,
                                           unsandboxed=options.autograder_unsandboxed)
        except autograder.BundleError as error:
            sys.stderr.write('%s: error: %s\n' % (PROG, error))
            return 2
        reports.write_text('KestCompare: the autograder bundle is %s\n' % path)
        return 0
    if options.autograder_run:
        from kestcompare import autograder
        return autograder.run(options.autograder_run)
    if options.impl is None:
        build_parser().error('say which file, folder or .zip to compare (IMPL)')
    if options.reference and not os.path.isfile(options.reference):
        sys.stderr.write('%s: error: no reference file %s\n' % (PROG, options.reference))
        return 2
    settings = settings_of(options)
    try:
        if os.path.isdir(options.impl) or (os.path.isfile(options.impl) and
                                           options.impl.lower().endswith('.zip')):
            from kestcompare import classrun
            return classrun.compare_class(settings)
        if not os.path.isfile(options.impl):
            sys.stderr.write('%s: error: no such file or folder: %s\n' % (PROG, options.impl))
            return 2
        return Comparison(settings).run()
    except CompareError as error:
        sys.stderr.write('%s: error: %s\n' % (PROG, error))
        return 2
