"""The differences between Python 2.7 and 3.x that the tests meet, in one
place: test files import names from here instead of testing the version."""
import sys
import warnings

import numpy

PY2 = sys.version_info[0] == 2

if PY2:
    import __builtin__ as builtins  # noqa: F401
    import cPickle as fast_pickle  # noqa: F401
    import imp
    from StringIO import StringIO  # noqa: F401

    string_types = (basestring,)  # noqa: F821
    integer_types = (int, long)  # noqa: F821
    long_integer = long  # noqa: F821
    text_type = unicode  # noqa: F821
    xrange = xrange  # noqa: F821

    def exc_clear():
        """Forgets the exception being handled (sys.exc_info() is empty again)."""
        sys.exc_clear()

    def native_text(data):
        """Bytes a child process wrote, as this Python's `str`."""
        return data

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
    long_integer = int  # the one integer type
    text_type = str
    xrange = range

    def exc_clear():
        """Nothing to do: leaving an `except` clause already forgets the
        exception it handled (sys.exc_info() is empty again)."""

    def native_text(data):
        """Bytes a child process wrote, as this Python's `str`."""
        return data.decode('utf-8')

    def load_source(name, path):
        """The Python file at `path`, executed as a new module `name`."""
        found = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(found)
        sys.modules[name] = module
        found.loader.exec_module(module)
        return module


def raised(call):
    """(type, text) of the exception that `call()` raises: how this
    interpreter, or this numpy, words a failure."""
    try:
        call()
    except Exception as error:
        return type(error), str(error)
    raise AssertionError('%r raised nothing' % (call,))


def _numpy_stores_one_item_arrays():
    """Whether this numpy stores a one-item array of one or more dimensions
    (numpy.matrix([[2]]), say) into a single element: numpy 1 converts it,
    numpy 2.4 and later refuse it with ValueError."""
    target = numpy.zeros(1)
    with warnings.catch_warnings():
        warnings.simplefilter('ignore')
        try:
            target[0] = numpy.matrix([[2]])
        except ValueError:
            return False
    return target[0] == 2


NUMPY_STORES_ONE_ITEM_ARRAYS = _numpy_stores_one_item_arrays()


def no_arguments_text(module, name, given):
    """How this interpreter words a call with `given` arguments of the
    built-in function `name` of module `module`, which takes none: asked of
    sys.getrecursionlimit and renamed. Up to 3.8 the bare name
    ("initGL() takes no arguments (1 given)"), from 3.9 the module's too
    ("Movra.initGL() takes no arguments (1 given)")."""
    text = raised(lambda: sys.getrecursionlimit(*range(given)))[1]
    text = text.replace('sys.getrecursionlimit()', '%s.%s()' % (module, name), 1)
    return text.replace('getrecursionlimit()', name + '()', 1)


def _callee_sees_non_string_keywords():
    """Whether a keyword name that is not a string reaches the callee, which
    then refuses it in its own words ("callee() keywords must be strings",
    2.7 and 3.8), or the interpreter refuses it before any callee runs
    ("keywords must be strings", from 3.9 on)."""
    def callee(**names):
        return names
    return raised(lambda: callee(**{5: 1}))[1].startswith('callee() ')


CALLEE_SEES_NON_STRING_KEYWORDS = _callee_sees_non_string_keywords()


# Whether numpy itself moves None's reference count for thousands of calls:
# numpy 2's ufunc loops on objects (numpy.deg2rad of an object array, None
# times a numpy float) drop references to None, a few at a time, over their
# first few thousand calls before the count settles (-15 in the first 3000
# calls of numpy.deg2rad on a 0-d object array with numpy 2.4, none after,
# with no other code involved); numpy 1 does so once, in its first calls.
# Where None is immortal (3.12 on) its count never moves at all.
NUMPY_MOVES_NONE_COUNT = (int(numpy.__version__.split('.')[0]) >= 2
                          and sys.getrefcount(None) < 2 ** 30)
