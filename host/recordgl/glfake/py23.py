"""The few names that differ between Python 2 and 3 in the recording GL."""
from __future__ import absolute_import

import sys

try:
    string_types = (basestring,)  # noqa: F821  (Python 2)
    integer_type = long  # noqa: F821  glGetError's result type on Python 2
    intern = intern  # noqa: F821
except NameError:
    string_types = (str, bytes)
    integer_type = int
    intern = sys.intern
