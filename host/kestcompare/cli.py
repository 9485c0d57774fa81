"""The command line of KestCompare (host/KestCompare.py).

    python host/KestCompare.py IMPL [--out DIR] [--json FILE] [options]

IMPL is a plain-Python file that claims to be the module (a learner's
Movra.py), or a folder or .zip of a class: then every learner found in it
(see submissions.py) is compared, in parallel processes, followed by a
summary. Exit status: 0 identical, 1 different, 2 the file could not be
loaded (for a class: 0 when every learner is identical, 1 otherwise, 2 when
no learner was found or IMPL cannot be read).
"""
from __future__ import absolute_import, division, print_function

import argparse
import json
import os
import sys

from kestcompare import classrun
from kestcompare.compare import (DEFAULT_LIMIT, DEFAULT_PICTURE_SIZE, CompareError,
                                 Comparison)

PROG = 'KestCompare.py'
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


def picture_size(text):
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError('the picture size must be a whole number, got %r'
                                         % text)
    if not 16 <= value <= 1024:
        raise argparse.ArgumentTypeError('the picture size must be between 16 and 1024, got %d'
                                         % value)
    return value


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
    """One learner more than there are cores: a comparison spends part of its
    time waiting (on its workers, on a call that does not return)."""
    try:
        import multiprocessing
        return max(1, multiprocessing.cpu_count()) + 1
    except (ImportError, NotImplementedError):
        return 2


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description='Compare a plain-Python implementation of the module (a Movra.py) '
                    'with the compiled Movra, or every learner of a folder or .zip.',
        epilog='Exit status: 0 identical, 1 different, 2 the file could not be loaded '
               '(for a folder or zip: 0 when every learner is identical, else 1; 2 when '
               'it holds no learner).')
    parser.add_argument('impl', metavar='IMPL',
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
                        help='for a class: learners compared at once (default: one more '
                             'than the cores, %(default)s)')
    parser.add_argument('--learner-limit', type=positive_seconds, default=600,
                        metavar='SECONDS', help=argparse.SUPPRESS)
    # What a class run hands each learner's comparison: Movra's replies,
    # recorded once (classrun.record_reference), the X display of the class
    # and how the file is named in the reports (a path inside a zip).
    parser.add_argument('--recorded-reference', default=None, metavar='FILE',
                        help=argparse.SUPPRESS)
    parser.add_argument('--display', default=None, help=argparse.SUPPRESS)
    parser.add_argument('--shown-as', default=None, help=argparse.SUPPRESS)
    return parser


def main(argv=None):
    options = build_parser().parse_args(argv)
    if options.prepare_limit is None:
        options.prepare_limit = options.time_limit
    if options.reference and not os.path.isfile(options.reference):
        sys.stderr.write('%s: error: no reference file %s\n' % (PROG, options.reference))
        return 2
    if os.path.isdir(options.impl) or (os.path.isfile(options.impl) and
                                       options.impl.lower().endswith('.zip')):
        return classrun.compare_class(options.impl, options.out, options)
    if not os.path.isfile(options.impl):
        sys.stderr.write('%s: error: no such file or folder: %s\n' % (PROG, options.impl))
        return 2
    recorded = None
    if options.recorded_reference:
        with open(options.recorded_reference) as stream:
            recorded = json.load(stream)
    comparison = Comparison(options.impl, options.out, options.reference, options.time_limit,
                            not options.no_pictures, options.picture_size, options.json,
                            recorded, options.prepare_limit, options.ignore_output,
                            options.display, options.shown_as)
    try:
        return comparison.run()
    except CompareError as error:
        sys.stderr.write('%s: error: %s\n' % (PROG, error))
        return 2
