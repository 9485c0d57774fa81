"""The exceptions of the stand-ins (re-exported by the stand-in OpenGL.error)
and Fatal, for what the real library would answer by ending the process."""
from __future__ import absolute_import


class Error(Exception):
    """Base class of the fake package's errors."""


Error.__module__ = 'OpenGL.error'


class GLError(Error):
    """A GL error detected after a call, formatted as PyOpenGL formats it."""

    def __init__(self, err=None, result=None, cArguments=None, cArgs=None,
                 pyArgs=None, baseOperation=None, description=None):
        Error.__init__(self, err, description, baseOperation)
        self.err = err
        self.result = result
        self.cArguments = cArguments
        self.cArgs = cArgs
        self.pyArgs = pyArgs
        self.baseOperation = baseOperation
        self.description = description

    def __str__(self):
        lines = ['GLError(', '\terr = %r' % (self.err,)]
        if self.description is not None:
            lines.append('\tdescription = %r' % (self.description,))
        if self.baseOperation is not None:
            lines.append('\tbaseOperation = %s' % (self.baseOperation,))
        if self.cArguments is not None:
            lines.append('\tcArguments = %r' % (self.cArguments,))
        if self.result is not None:
            lines.append('\tresult = %r' % (self.result,))
        return ',\n'.join(lines) + '\n)'

    __repr__ = __str__


GLError.__module__ = 'OpenGL.error'


class NullFunctionError(Error):
    """Raised by PyOpenGL when an entry point is missing from the library."""


NullFunctionError.__module__ = 'OpenGL.error'


class Fatal(Exception):
    """A call the real library would answer by terminating the process."""
