"""`python -m kestcompare`: the compare tool's command line, the same as
the command `movra-compare` and host/KestCompare.py."""
import sys

if sys.version_info[0] < 3:
    # Before the tool's modules, which are Python 3's only.
    sys.exit('python -m kestcompare: the compare tool runs on Python 3, not %d.%d; run it '
             'with a Python 3 and --python 2.7 for a learner\'s Python 2 file'
             % sys.version_info[:2])

from kestcompare.cli import main  # noqa: E402

if __name__ == '__main__':
    sys.exit(main())
