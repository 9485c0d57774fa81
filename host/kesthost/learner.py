"""A learner's own module (--module PATH): the file loaded as the module the
host drives, exactly as the interpreter's own import loads a file (its coding
line, or UTF-8 under Python 3), and, when it does not load, the report that
`make compare` gives: the interpreter's error with its line and source, then
the traceback from the file's own frames on.
"""
from __future__ import division, print_function

import os
import sys
import traceback

PY2 = sys.version_info[0] == 2
# What the host calls: without any of them a file is not a Movra module.
ENTRIES = ('initGL', 'drawMain', 'updateAnimationVariables')


class LoadError(Exception):
    """The file did not load; str() is the one-line report, `details` the
    traceback (or the interpreter's own syntax error display)."""

    def __init__(self, text, details=''):
        Exception.__init__(self, text)
        self.details = details


def shown_name(path):
    """The file as the messages name it: as given, relative to the working
    folder when it lies below it."""
    absolute = os.path.abspath(path)
    here = os.path.abspath(os.curdir)
    if absolute.startswith(here + os.sep):
        return os.path.relpath(absolute, here)
    return path


def display_name(path):
    """The learner's module as the title, the labels and the messages name it."""
    return '%s (yours)' % shown_name(path)


def module_name(path):
    """A name in sys.modules for the file: its stem, unless a module of that
    name is loaded already (the compiled Movra beside it), then stem_yours."""
    stem = os.path.splitext(os.path.basename(path))[0]
    if not stem or not all(c.isalnum() or c == '_' for c in stem) or stem[0].isdigit():
        stem = 'learner'
    name = stem
    while name in sys.modules:
        name += '_yours'
    return name


def _execute(name, path):
    if PY2:
        import imp
        return imp.load_source(name, path)
    import importlib.machinery
    import types
    # The loader named outright: a file without the .py suffix loads too.
    loader = importlib.machinery.SourceFileLoader(name, path)
    module = types.ModuleType(name)
    module.__file__, module.__loader__ = path, loader
    sys.modules[name] = module
    try:
        loader.exec_module(module)
    except BaseException:
        sys.modules.pop(name, None)
        raise
    return module


def _text(value):
    if isinstance(value, bytes):
        return value.decode('utf-8', 'replace')
    return value


def error_text(info, path):
    """The compare tool's words for an exception: "Type: message (line N, in
    function): source"."""
    exc_type, exc, tb = info
    if isinstance(exc, SystemExit):
        message = 'sys.exit(%s) was called' % ('' if exc.code is None else repr(exc.code))
    else:
        message = _text(str(exc)) if not isinstance(exc, SyntaxError) else _text(exc.msg)
    text = '%s: %s' % (exc_type.__name__, message) if message else exc_type.__name__
    line, function, source = None, None, None
    for filename, number, name, code in traceback.extract_tb(tb):
        if os.path.abspath(filename) == path:
            line, function, source = number, name, code
    if isinstance(exc, SyntaxError) and exc.filename and os.path.abspath(exc.filename) == path:
        line, function, source = exc.lineno, None, exc.text
    where = []
    if line:
        where.append('line %d' % line)
    if function and function != '<module>':
        where.append('in %s' % function)
    if where:
        text += ' (%s)' % ', '.join(where)
    if source and _text(source).strip():
        text += ': %s' % _text(source).strip()[:200]
    return text


def traceback_text(info, path):
    """The interpreter's traceback from the file's first frame on (the host's
    and the import machinery's frames before it are left out); a syntax
    error's own display, with its caret, when the file never ran."""
    exc_type, exc, tb = info
    while tb is not None and os.path.abspath(tb.tb_frame.f_code.co_filename) != path:
        tb = tb.tb_next
    if tb is None:
        return _text(''.join(traceback.format_exception_only(exc_type, exc)))
    return _text(''.join(traceback.format_exception(exc_type, exc, tb)))


def load(path):
    """The module of the file at `path`, loaded under a name of its own.

    Its folder goes at the end of sys.path, for modules of its own beside
    it; no bytecode is written next to it. Raises LoadError.
    """
    shown = shown_name(path)
    absolute = os.path.abspath(path)
    if not os.path.isfile(absolute):
        raise LoadError('%s could not be loaded: no such file' % shown)
    folder = os.path.dirname(absolute)
    if folder not in sys.path:
        sys.path.append(folder)
    name = module_name(absolute)
    writes = sys.dont_write_bytecode
    sys.dont_write_bytecode = True
    try:
        module = _execute(name, absolute)
    except KeyboardInterrupt:
        raise
    except BaseException:
        info = sys.exc_info()
        raise LoadError('%s could not be loaded: %s' % (shown, error_text(info, absolute)),
                        traceback_text(info, absolute))
    finally:
        sys.dont_write_bytecode = writes
    if not any(callable(getattr(module, entry, None)) for entry in ENTRIES):
        raise LoadError('%s could not be loaded: it defines none of %s, the functions the '
                        'host calls' % (shown, ', '.join(ENTRIES)))
    return module


def missing_entries(module):
    """The host's entries that the module lacks (each call of one then fails
    and is reported as a failure of the module)."""
    return [entry for entry in ENTRIES if not callable(getattr(module, entry, None))]
