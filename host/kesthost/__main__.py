"""`python -m kesthost`: the host's command line, the same as the command
`movra` and host/KestMain.py."""
import sys

import kesthost

kesthost.PROG = 'python -m kesthost'   # before the modules that name it are imported

from kesthost.cli import main  # noqa: E402

if __name__ == '__main__':
    sys.exit(main())
