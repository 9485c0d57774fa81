"""Each call into the implementation bounded in time.

SIGALRM raises DidNotReturn, which the implementation's own `except
Exception` does not catch. Before it raises, the alarm notes where the file
was (its function and line) and tells KestCompare on the reply channel, so
that even code that swallows the alarm is reported at its line when
KestCompare kills the worker. A function that did not return is replaced by
a stand-in that stops at once (KnownHang), so that nothing waits for it
twice.
"""
from __future__ import absolute_import, division, print_function

import signal
import sys


class DidNotReturn(BaseException):
    """Raised by the alarm in the middle of a call that ran too long; where
    is the place of the file it stopped (see Session.locate), or None."""

    def __init__(self, where=None):
        BaseException.__init__(self)
        self.where = where


class KnownHang(DidNotReturn):
    """Raised by the stand-in of a function that did not return before."""


# The worker's links to its channel and its module, for the alarm handler,
# which runs wherever the implementation happens to be: tell(message) writes
# to the reply channel, locate(frame) says where the file is, cut collects
# the stand-ins that were called during a request, heartbeat(limit) says
# that a call starts.
CURRENT = {'tell': None, 'locate': None, 'cut': [], 'heartbeat': None}


def on_alarm(signum, frame):
    locate = CURRENT['locate']
    where = locate(frame) if locate is not None else None
    if CURRENT['tell'] is not None:
        CURRENT['tell']({'stopped': where})
    raise DidNotReturn(where)


def install():
    signal.signal(signal.SIGALRM, on_alarm)


def attempt(function, limit):
    """Runs function() with the alarm set: (value, error info or None, stop),
    where stop is None when it returned or raised, else where it was
    stopped: {"function", "line", "source", "known"}."""
    if CURRENT['heartbeat'] is not None:
        CURRENT['heartbeat'](limit)
    try:
        signal.setitimer(signal.ITIMER_REAL, max(0.01, float(limit)))
        try:
            value = function()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    except DidNotReturn as stopped:
        stop = dict(stopped.where or {})
        stop['known'] = isinstance(stopped, KnownHang)
        return None, None, stop
    except BaseException:
        return None, sys.exc_info(), None
    return value, None, None


def stand_in(name, where):
    """Takes the place of a function that did not return: stops at once."""
    def hung(*args, **kwargs):
        CURRENT['cut'].append(name)
        raise KnownHang(dict(where, function=name))
    hung.__name__ = str(name)       # a str on Python 2 too, where JSON gives unicode
    return hung
