"""Where a benchmark's figures go: bench/results/<date>-<kind>-py<version>.txt,
each run appended to the day's file, and printed."""
import datetime
import os
import sys

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'results')


def save(kind, version, text):
    if not os.path.isdir(RESULTS):
        os.makedirs(RESULTS)
    path = os.path.join(RESULTS, '%s-%s-py%s.txt' % (datetime.date.today().isoformat(), kind,
                                                    version))
    with open(path, 'a') as stream:
        stream.write(text)
    sys.stdout.write(text)
    return path
