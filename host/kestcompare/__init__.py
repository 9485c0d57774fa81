"""KestCompare: a plain-Python implementation of the module (a learner's
Movra.py), or a whole class of them, compared with the compiled Movra.

One module per job:
    submissions  finding the learners of a folder or zip, and what is not taken
    supervise    running untrusted code: worker processes, time limits, kills
    worker       the worker process itself (run as a script)
    pythons      which Python loads the file, and the other one
    cases        the argument sets and states that both sides run
    diff         how two recorded values, calls and matrices are told apart
    compare      one file against the reference: the report's items, severity
    hints        mistakes named: the tests behind each hint
    pictures     the side-by-side pictures and their shares per viewport
    reports      text, JSON and HTML reports, grades.csv and the class page
    classrun     a class: OUT's folders, Movra recorded once, parallel runs
    cli          the command line (host/KestCompare.py)
"""
