"""An exception as the report describes it: its type and message, the line
and function of the file where it was raised, the traceback's last lines,
the errno of an OSError (which tells a limit that was hit: no more
processes, files too large, too many open files, a full scratch folder)
and, for SystemExit, the exception that was being handled."""
from __future__ import absolute_import, division, print_function

import sys
import traceback

from kestcompare.codec import TEXT, safe_repr, to_text
from kestcompare.worker.alarms import DidNotReturn

TRACEBACK_LIMIT = 3000


def _text_of(exc):
    try:
        return to_text(str(exc))[:2000]
    except BaseException:
        return TEXT('<the exception text could not be made>')


def _handled_of(exc):
    """The exception that was being handled when SystemExit was raised, as
    (type, value, traceback), or None. sys.exit() notes it itself (see
    note_handled_exception); Python 3 also chains it as __context__."""
    handled = getattr(exc, 'kest_handled', None)
    if handled is not None:
        return handled
    context = getattr(exc, '__context__', None)
    if context is not None and not isinstance(context, (SystemExit, DidNotReturn)):
        return type(context), context, getattr(context, '__traceback__', None)
    return None


def describe_error(info, in_module, depth=0):
    """type, message, the line and function of the newest traceback entry in
    the implementation's own source, and the traceback's last lines; for
    SystemExit also the exception that was being handled ("handled")."""
    exc_type, exc, tb = info
    entry = {'type': to_text(getattr(exc_type, '__name__', 'exception'))[:100],
             'message': _text_of(exc), 'line': None, 'function': None}
    number = getattr(exc, 'errno', None)
    if isinstance(exc, EnvironmentError) and isinstance(number, int):
        entry['errno'] = number
    if isinstance(exc, SystemExit):
        entry['message'] = 'sys.exit(%s) was called' % (
            '' if exc.code is None else safe_repr(exc.code))
        handled = _handled_of(exc)
        if handled is not None and depth < 3:
            entry['handled'] = describe_error(handled, in_module, depth + 1)
    if entry['type'] == 'NameError' and entry['message'].startswith('global name '):
        # Python 2 words a function's missing global "global name ..."
        entry['message'] = entry['message'][len('global '):]
    try:
        frames = traceback.extract_tb(tb)
    except BaseException:
        frames = []
    for filename, line, function, _source in frames:
        if in_module(filename):
            entry['line'] = line
            entry['function'] = to_text(function.split(' (')[0].split('.')[-1])[:200]
    if isinstance(exc, SyntaxError) and in_module(exc.filename or ''):
        entry['line'] = exc.lineno
        entry['message'] = to_text(exc.msg)[:2000]
        if exc.text:
            entry['source'] = to_text(exc.text).strip()[:200]
    try:
        text = to_text(''.join(traceback.format_exception(exc_type, exc, tb)))
    except BaseException:
        text = entry['type']
    entry['traceback'] = text[-TRACEBACK_LIMIT:]
    return entry


def note_handled_exception():
    """Puts a sys.exit in place that notes the exception being handled when
    it is called: Python 2 does not chain exceptions, and a file's
    `except: sys.exit()` would hide the failure that led to it."""
    def exit(*args):
        handled = sys.exc_info()
        error = SystemExit(*args)
        if handled[0] is not None and not issubclass(handled[0], (SystemExit, DidNotReturn)):
            error.kest_handled = handled
        raise error
    exit.__doc__ = sys.exit.__doc__
    sys.exit = exit
