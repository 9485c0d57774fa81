"""`python -m kestcompare`: the compare tool's command line, the same as
the command `movra-compare` and host/KestCompare.py."""
import sys

from kestcompare.cli import main

if __name__ == '__main__':
    sys.exit(main())
