"""The differences between Python 2.7 and 3.x that the tests meet, in one
place: test files import names from here instead of testing the version."""
import sys

PY2 = sys.version_info[0] == 2

if PY2:
    import __builtin__ as builtins  # noqa: F401
    import cPickle as fast_pickle  # noqa: F401
    import imp
    from StringIO import StringIO  # noqa: F401

    string_types = (basestring,)  # noqa: F821
    integer_types = (int, long)  # noqa: F821
    text_type = unicode  # noqa: F821
    xrange = xrange  # noqa: F821

    def load_source(name, path):
        """The Python file at `path`, executed as a new module `name`."""
        return imp.load_source(name, path)
else:
    import builtins  # noqa: F401
    import importlib.util
    import pickle as fast_pickle  # noqa: F401
    from io import StringIO  # noqa: F401

    string_types = (str,)
    integer_types = (int,)
    text_type = str
    xrange = range

    def load_source(name, path):
        """The Python file at `path`, executed as a new module `name`."""
        found = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(found)
        sys.modules[name] = module
        found.loader.exec_module(module)
        return module
