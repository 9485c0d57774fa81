"""The differences between Python 2.7 and 3.x that the tests meet, in one
place: test files import names from here instead of testing the version."""
from __future__ import print_function

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
    long_int = long  # noqa: F821
    text_type = unicode  # noqa: F821
    xrange = xrange  # noqa: F821
    RecursionError = RuntimeError  # noqa: A001  (Python 3's subclass of RuntimeError)

    def output_text(data):
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
    long_int = int  # the one integer type
    text_type = str
    xrange = range
    RecursionError = RecursionError  # noqa: A001

    def output_text(data):
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


# How this interpreter words a division by zero: Python 3.14 says "division
# by zero" for ints and floats alike, earlier ones "integer division or
# modulo by zero" and "float division by zero".
INT_DIVISION_BY_ZERO = raised(lambda: 1 // 0)[1]
FLOAT_DIVISION_BY_ZERO = raised(lambda: 1.0 / 0.0)[1]


# The interpreter's recursion guard for calls made from C code: up to 3.13 it
# counts calls against the recursion limit ("maximum recursion depth
# exceeded while calling a Python object"); from 3.14 on it watches the C
# stack instead, and trips when the stack is nearly used up ("Stack overflow
# (used 8156 kB) while calling a Python object"), whatever the limit.
C_GUARD_WATCHES_STACK = sys.version_info >= (3, 14)


def recursion_guard_message(text):
    """Whether `text` is the guard's message for a call made from C code."""
    import re
    if C_GUARD_WATCHES_STACK:
        return re.match(r'Stack overflow \(used \d+ kB\) while calling a Python object$',
                        text) is not None
    return text == 'maximum recursion depth exceeded while calling a Python object'


# A debug interpreter (python3.14d) checks every C-API call with assertions
# and ends the process where a release build raises SystemError: a built-in
# function that returns NULL without setting an error is such a case.
DEBUG_INTERPRETER = hasattr(sys, 'gettotalrefcount')


def soft_space_blank(flag):
    """What a print writes before its object when the stream's soft-space
    flag is `flag`: one blank on Python 2 if it is set; Python 3 has no flag."""
    return ' ' if PY2 and flag else ''


def soft_space_after_print(flag):
    """The stream's soft-space flag after a print of one object with a
    newline: Python 2 clears it (None: the stream cannot carry one); Python 3
    leaves it alone."""
    if flag is None:
        return None
    return 0 if PY2 else flag


def clear_type_cache():
    """Empties the interpreter's type-attribute cache, whose entries hold
    references to the names they cache. 3.13 adds sys._clear_internal_caches,
    which also does that; 3.14 deprecates sys._clear_type_cache, whose
    warning would add objects of its own to any count taken after it."""
    (getattr(sys, '_clear_internal_caches', None) or sys._clear_type_cache)()


def exc_clear():
    """Forget the handled exception (Python 2 keeps it after an except
    clause; Python 3 forgets it by itself)."""
    if PY2:
        sys.exc_clear()


def intern(text):
    """The interpreter's one interned copy of `text`."""
    return builtins.intern(text) if PY2 else sys.intern(text)


def interpreter_message(probe, probe_owner, probe_name, owner, name):
    """The interpreter's own error text for a call of `owner`.`name` that
    fails as `probe` (a call of the built-in `probe_owner`.`probe_name`)
    fails: the probe's text, with the names put in. Python 3.10 and later
    write the owner in front of the name ("time.time() takes no arguments"),
    earlier Pythons the name alone."""
    try:
        probe()
    except TypeError as error:
        text = str(error)
    else:
        raise AssertionError('the probe call did not fail')
    qualified = '%s.%s()' % (probe_owner, probe_name)
    if text.startswith(qualified):
        return '%s.%s()' % (owner, name) + text[len(qualified):]
    plain = probe_name + '()'
    assert text.startswith(plain), text
    return name + '()' + text[len(plain):]


def function_arity_message(kind, name, given):
    """The interpreter's text for calling the module's function `name` of
    call kind 'none' or 'one' with `given` positional arguments, or with a
    keyword (given None), as it says it of its own built-in functions."""
    import math
    import time
    probe, probe_name = {'none': (time, 'time'), 'one': (math, 'sqrt')}[kind]
    function = getattr(probe, probe_name)
    if given is None:
        call = lambda: function(x=1)  # noqa: E731
    else:
        call = lambda: function(*[1.0] * given)  # noqa: E731
    return interpreter_message(call, probe.__name__, probe_name, 'Movra', name)


# The func_* names of a function's attributes exist on Python 2 only.
FUNC_ALIASES = {'func_doc': '__doc__', 'func_name': '__name__', 'func_dict': '__dict__',
                'func_globals': '__globals__', 'func_closure': '__closure__',
                'func_code': '__code__', 'func_defaults': '__defaults__'}


def attribute(name):
    """An attribute name as this Python knows it: a func_* alias becomes its
    __dunder__ name on Python 3."""
    return name if PY2 else FUNC_ALIASES.get(name, name)


def as_bytes(text):
    """A str as the bytes that pickles and other binary data hold."""
    return text if PY2 else text.encode('ascii')


# A text of the other string type than str: rejected where only a str is taken.
NOT_STR_TEXT = text_type('drawMain') if PY2 else b'drawMain'


def native_text(text):
    """A unicode text as the module's messages hold it: UTF-8 bytes in a
    Python 2 str, the text itself on Python 3."""
    return text.encode('utf-8') if PY2 else text


# Python 3.9 and later refuse a keyword that is not a string themselves,
# before the callee runs (so the callee adds no traceback record); Python 2
# and 3.8 leave it to the callee.
def _callee_sees_non_string_keywords():
    """Whether a keyword name that is not a string reaches the callee, which
    then refuses it in its own words ("callee() keywords must be strings",
    2.7 and 3.8), or the interpreter refuses it before any callee runs
    ("keywords must be strings", from 3.9 on)."""
    def callee(**names):
        return names
    return raised(lambda: callee(**{5: 1}))[1].startswith('callee() ')


CALLEE_SEES_NON_STRING_KEYWORDS = _callee_sees_non_string_keywords()
CALLER_CHECKS_KEYWORD_TYPES = not CALLEE_SEES_NON_STRING_KEYWORDS


def non_string_keyword_message(name, args, kwargs):
    """The text of a call of the keyword-taking function `name` with a
    keyword that is not a string: the module's own on Python 2, the
    interpreter's (as for a Python function of that name) on Python 3."""
    if not CALLER_CHECKS_KEYWORD_TYPES:
        return '%s() keywords must be strings' % name
    namespace = {}
    exec('def %s(*args, **kwargs): pass' % name, namespace)
    try:
        namespace[name](*args, **kwargs)
    except TypeError as error:
        return str(error)
    raise AssertionError('a keyword that is not a string was accepted')


# A built-in function that returns NULL without an error: Python 3 checks the
# result of one that takes an argument tuple in its own call slot, and says
# so in its own words; a vectorcall entry (or Python 2) leaves the check to
# the caller.
CALL_SLOT_CHECKS_NULL_RESULT = not PY2


def print_with_trailing_comma(stream, text):
    """What `print >>stream, text,` leaves in the stream for the next print:
    Python 2 writes the text and sets the soft-space flag, so that the next
    print writes a blank first; on Python 3 the blank is written at once."""
    if PY2:
        statement = compile('print >>stream, text,', '<print>', 'exec', 0, True)
        exec(statement, {'stream': stream, 'text': text})
    else:
        print(text, end=' ', file=stream)


# The level of the module's imports: Python 2's default (relative, then
# absolute) or Python 3's absolute import.
IMPORT_LEVEL = -1 if PY2 else 0


def load_extension(name, path):
    """The extension module file at `path`, initialised as module `name`."""
    if PY2:
        return imp.load_dynamic(name, path)
    import importlib.machinery
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    found = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def sequence_item_error(obj):
    """What the interpreter's item read by index (PySequence_GetItem) says of obj."""
    import ctypes
    get_item = ctypes.pythonapi.PySequence_GetItem
    get_item.restype = ctypes.py_object
    get_item.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    try:
        get_item(obj, 0)
    except TypeError as error:
        return str(error)
    raise AssertionError('%r can be read by index' % (obj,))


# Python 3's __import__ reads every name of a from-list off the module (to
# import it as a submodule if it is missing), so an error other than a
# missing attribute ends the import before any name is bound; Python 2's
# leaves the names to the importing code.
IMPORT_READS_FROMLIST = not PY2


# Python 2.7's calls reuse argument tuples that nobody kept (untracked by the
# collector while in use, tracked once a callee keeps one). Python 3 builds
# an ordinary tuple for a callee that needs one, which its collector may
# untrack as it does any tuple of atoms.
SPARE_ARGUMENT_TUPLES = PY2


def none_stdout_print_error():
    """What the module's print raises when sys.stdout is None: Python 2 tries
    None's write method; Python 3's print() writes nothing and returns, as
    the listing's print() does (None: no error)."""
    if PY2:
        return (AttributeError, "'NoneType' object has no attribute 'write'")
    return None

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




# Whether numpy itself moves None's reference count for thousands of calls:
# numpy 2's ufunc loops on objects (numpy.deg2rad of an object array, None
# times a numpy float) drop references to None, a few at a time, over their
# first few thousand calls before the count settles (-15 in the first 3000
# calls of numpy.deg2rad on a 0-d object array with numpy 2.4, none after,
# with no other code involved); numpy 1 does so once, in its first calls.
# Where None is immortal (3.12 on) its count never moves at all.
NUMPY_MOVES_NONE_COUNT = (int(numpy.__version__.split('.')[0]) >= 2
                          and sys.getrefcount(None) < 2 ** 30)


# Python 3 hands keywords to a built-in function as a tuple of names, and the
# module's binding puts them into a dictionary of its own, hashing each name
# again; Python 2 hands over the caller's dictionary, whose hashes are kept.
KEYWORD_NAMES_HASHED_AGAIN = not PY2


# Python 3's dictionary lookup reports an error that a key's __eq__ raised
# (PyDict_GetItemWithError), so the module's binding of projective and
# perspective fails with it; Python 2's lookup swallows it.
DICT_LOOKUP_REPORTS_ERRORS = not PY2


def plain_function_refusal(name, parameters, args=(), kwargs=None):
    """The text of the interpreter's refusal of these arguments for a plain
    Python function `name` of `parameters` (all required), whose body never
    runs: what it says when the listing's function of that name is called so."""
    namespace = {}
    exec('def %s(%s):\n    raise AssertionError("bound")\n' % (name, ', '.join(parameters)),
         namespace)
    kind, text = raised(lambda: namespace[name](*args, **(kwargs or {})))
    assert kind is TypeError, 'the arguments bound: %r' % ((args, kwargs),)
    return text


# selenium 3.141.0, the last for Python 2.7, takes the driver's path and
# finds elements by name (find_element_by_css_selector); selenium 4 takes a
# Service and drops those names. Both drive Debian's chromium-driver.
CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'


def chromium_driver():
    """A headless chromium driven through selenium (the caller quits it)."""
    from selenium import webdriver
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ('--headless=new', '--no-sandbox', '--disable-gpu',
                     '--disable-dev-shm-usage', '--window-size=1600,1200'):
        options.add_argument(argument)
    if PY2:
        return webdriver.Chrome(executable_path=CHROMEDRIVER, options=options)
    from selenium.webdriver.chrome.service import Service
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def find_all(driver, selector):
    """The elements that a CSS selector finds, under either selenium."""
    if PY2:
        return driver.find_elements_by_css_selector(selector)
    return driver.find_elements('css selector', selector)
