"""What one request printed, at Python and at descriptor level, and the
warnings it raised.

Descriptors 1 and 2 of the worker are the capture file (see channel.py),
opened for appending; Python's sys.stdout and sys.stderr write to a buffer
while a request runs. A request's output is the buffer and what the file
gained since the request began.
"""
from __future__ import absolute_import, division, print_function

import os
import sys
import warnings

from kestcompare.codec import MAX_ITEMS, TEXT, to_text

if sys.version_info[0] == 2:
    from StringIO import StringIO
else:
    from io import StringIO

OUTPUT_LIMIT = 4000     # characters of output kept per request


class Capture(object):
    """Collects what one request prints; `with capture:` around the calls."""

    def __init__(self, fd):
        self.fd = fd                # the capture file, read through its own offset
        self.position = os.lseek(fd, 0, os.SEEK_END)
        self.buffer = None
        self.saved = None
        try:
            import ctypes
            self.libc = ctypes.CDLL(None)
        except (OSError, AttributeError, ImportError):
            self.libc = None

    def __enter__(self):
        self.buffer = StringIO()
        self.saved = sys.stdout, sys.stderr
        sys.stdout = sys.stderr = self.buffer
        self.position = os.lseek(self.fd, 0, os.SEEK_END)
        # Warnings are kept apart from the output: their text names the
        # line that raised them, which is never the same on both sides.
        self.catcher = warnings.catch_warnings(record=True)
        self.caught = self.catcher.__enter__()
        warnings.simplefilter('always')
        return self

    def __exit__(self, *exc_info):
        self.catcher.__exit__(*exc_info)
        sys.stdout, sys.stderr = self.saved
        return False

    def warnings(self):
        """"Category: message" of every warning of the request, in order."""
        found = []
        for caught in self.caught[:MAX_ITEMS]:
            try:
                found.append('%s: %s' % (caught.category.__name__, to_text(caught.message)))
            except BaseException:
                found.append('<a warning that cannot be shown>')
        return [text[:500] for text in found]

    def written(self):
        """What the capture file gained since the request began (at most
        OUTPUT_LIMIT + 1 characters' worth)."""
        try:
            os.lseek(self.fd, self.position, os.SEEK_SET)
            data = os.read(self.fd, 4 * OUTPUT_LIMIT + 4)
        except OSError:
            return TEXT('')
        return data.decode('utf-8', 'replace')

    def text(self):
        if self.libc is not None:
            try:
                self.libc.fflush(None)   # C-level printf of a native library
            except BaseException:
                pass
        try:
            python = to_text(self.buffer.getvalue())
        except BaseException:
            python = TEXT('')
        text = python + self.written()
        if len(text) > OUTPUT_LIMIT:
            text = text[:OUTPUT_LIMIT] + '\n... (more output)'
        return text
