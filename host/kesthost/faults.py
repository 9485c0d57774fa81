"""What the host says when the module raises: the traceback once, however
often the same failure repeats frame after frame, and a line when the
failing call works again. The window, the overlay and the headless run
report through one FaultReporter.
"""
from __future__ import division, print_function

import sys
import traceback


class FaultReporter(object):
    """Prints an exception raised by the module with its traceback.

    A traceback is printed once while the same one keeps repeating frame
    after frame; when the failing call works again, one line says after how
    many failed calls in a row.
    """

    def __init__(self, stream=None, name='Movra'):
        self.stream = stream
        self.name = name     # the module the messages name
        self.failures = 0
        self._last = {}      # where -> (traceback text, repeats)

    def _out(self):
        return self.stream if self.stream is not None else sys.stderr

    def failed(self, where):
        self.failures += 1
        text = traceback.format_exc()
        last, failed_in_a_row = self._last.get(where, (None, 0))
        if text != last:
            self._out().write('%s: %s raised an exception; the program '
                              'goes on and tries again:\n%s' % (self.name, where, text))
        self._last[where] = (text, failed_in_a_row + 1)
        self._out().flush()

    def succeeded(self, where):
        last = self._last.pop(where, None)
        if last is not None:
            self._out().write('%s: %s works again after %d failed call(s)\n'
                              % (self.name, where, last[1]))
            self._out().flush()
