"""KestCompare: a plain-Python implementation of the module (a learner's
Movra.py), or a whole class of them, compared with the compiled Movra.

The tool runs on Python 3. A learner's code runs only in its workers, each
in a box of its own (sandbox), under the learner's interpreter (2.7 or 3.x);
the tool reads what they send as untrusted data (protocol) and makes the
verdict outside the boxes.

One module per job:
    cli          the command line (host/KestCompare.py)
    settings     everything a comparison is told, in one object
    submissions  finding the learners of a folder or zip, and what is not taken
    sandbox      the box a learner's process runs in: bubblewrap, its view, limits
    supervise    the worker processes: time limits, kills, what a limit ended
    protocol     the requests, and the replies as typed objects checked on arrival
    codec        the typed image of a value, both ways (the workers import it too)
    worker/      the worker process itself, one module per job (runs in the box)
    pythons      which Python runs the file, and the other one
    cases        the argument sets and states that both sides run, as requests
    diff         how two recorded values, calls and matrices are told apart
    compare      one file against the reference: the report's items, severity
    wording      how the report words failures, stops and limits
    hints        mistakes named: the tests behind each hint
    pictures     the side-by-side pictures and their shares per viewport
    reports      text, JSON and HTML reports, grades.csv and the class page
    classrun     a class: OUT's folders, Movra recorded once, the process pool
"""
import os
import sys

# The program's name in its messages: the command that pip installs, the
# package run with python -m, or the checkout's entry point.
PROG = {'movra-compare': 'movra-compare', '-m': 'python -m kestcompare',
        '__main__.py': 'python -m kestcompare'}.get(
    os.path.basename(sys.argv[0] or '') if sys.argv else '', 'KestCompare.py')
