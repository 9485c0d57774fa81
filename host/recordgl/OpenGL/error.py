"""Exception classes of the stand-in package, shared with glfake."""
from __future__ import absolute_import

import glfake as _rec

Error = _rec.Error
GLError = _rec.GLError
NullFunctionError = _rec.NullFunctionError

__all__ = ['Error', 'GLError', 'NullFunctionError']
