"""What the module's Python listing (src/Movra.py) says about the module.

Everything outside src/ that needs the module's own facts takes them from
here: the functions in the order the module binds them, with their
parameters, further locals, docstrings, definition lines and call kinds;
the globals in the order of their assignments, with their defaults; the
matrix builders and the drawing functions. They are read from the listing
once, when this module is first imported, so that a change of the listing
reaches every user and no copy can drift from it.

The listing is found in the checkout (src/Movra.py, beside host/) or, when
this package is installed, beside the installed extension, where
`pip install .` puts it.

The call kind of a function follows from its parameters, as the module
declares it: none ('none', METH_NOARGS), one ('one', METH_O), more
('keywords', METH_VARARGS | METH_KEYWORDS). The functions that take
arguments are the matrix builders; the others draw, tick or read back.
"""
from __future__ import absolute_import

import ast
import collections
import copy
import os

PACKAGE = os.path.dirname(os.path.abspath(__file__))
CANDIDATES = (os.path.join(os.path.dirname(os.path.dirname(PACKAGE)), 'src', 'Movra.py'),
              os.path.join(os.path.dirname(PACKAGE), 'Movra.py'))

KINDS = {0: 'none', 1: 'one'}       # any more parameters: 'keywords'
METH_FLAGS = {'none': 4, 'one': 8, 'keywords': 3}

Function = collections.namedtuple('Function', 'name line parameters locals kind doc')
Global = collections.namedtuple('Global', 'name line value')


class ListingError(ValueError):
    """The listing holds something this reader does not know how to read."""


def find_listing():
    for path in CANDIDATES:
        if os.path.isfile(path):
            return path
    raise ListingError('the Python listing Movra.py is in none of: %s' % ', '.join(CANDIDATES))


def call_kind(parameters):
    return KINDS.get(len(parameters), 'keywords')


def _default(node, path):
    """The value of a global's assignment: a literal, or int() of one."""
    if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
            and node.func.id == 'int' and len(node.args) == 1 and not node.keywords):
        return int(_default(node.args[0], path))
    try:
        return ast.literal_eval(node)
    except ValueError:
        raise ListingError('%s:%d: a global is assigned something other than a literal '
                           'or int() of one' % (path, node.lineno))


def _code_objects(code):
    """{function name: code object} of the functions a module defines."""
    return dict((const.co_name, const) for const in code.co_consts
                if hasattr(const, 'co_varnames'))


class Listing(object):
    """The facts of one listing (read(path) makes one)."""

    def __init__(self, path, functions, globals_):
        self.path = path
        self.functions = collections.OrderedDict((f.name, f) for f in functions)
        self.globals = collections.OrderedDict((g.name, g) for g in globals_)
        self.function_names = list(self.functions)
        self.global_names = list(self.globals)
        self.builders = [f.name for f in functions if f.parameters]
        self.no_arguments = [f.name for f in functions if not f.parameters]

    def kind(self, name):
        return self.functions[name].kind

    def names_of_kind(self, kind):
        return [f.name for f in self.functions.values() if f.kind == kind]

    def default(self, name):
        """A global's default, a fresh copy (movingCameraPos is a list)."""
        return copy.deepcopy(self.globals[name].value)

    def defaults(self, leave_out=()):
        """[(name, default), ...] in assignment order, fresh copies."""
        return [(name, self.default(name)) for name in self.global_names
                if name not in leave_out]


def read(path=None):
    """The facts of the listing at `path` (by default the module's own)."""
    path = path or find_listing()
    with open(path) as stream:
        source = stream.read()
    tree = ast.parse(source, path)
    # The interpreter's own compiler says which names are locals, and in
    # which order a code object of the listing lists them.
    codes = _code_objects(compile(source, path, 'exec', 0, True))
    functions, globals_ = [], []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            parameters = tuple(getattr(a, 'arg', None) or a.id for a in node.args.args)
            varnames = codes[node.name].co_varnames
            functions.append(Function(node.name, node.lineno, parameters,
                                      tuple(varnames[len(parameters):]), call_kind(parameters),
                                      ast.get_docstring(node, clean=False)))
        elif (isinstance(node, ast.Assign) and len(node.targets) == 1
              and isinstance(node.targets[0], ast.Name)
              and not node.targets[0].id.startswith('__')):
            globals_.append(Global(node.targets[0].id, node.lineno, _default(node.value, path)))
    return Listing(path, functions, globals_)


MOVRA = read()
FUNCTIONS = MOVRA.function_names        # the eighteen, in the order they are bound
GLOBALS = MOVRA.global_names            # in the order of their assignments
BUILDERS = MOVRA.builders               # the functions that take arguments
NO_ARGUMENTS = MOVRA.no_arguments



# Arguments each builder accepts, for the tools that call every builder (the
# bench, the fuzzer, the tests): an angle in degrees, a vector of three, the
# near and far planes, a field of view, an aspect and two planes.
FITTING = {'rotateX': (30,), 'rotateY': (-45.5,), 'translate': ([1, 2.5, -3],),
           'scale': ([2, 0.5, 3],), 'projective': (1.0, 7.0), 'perspective': (60, 1, 0.01, 20)}


def check_fitting(facts, fitting):
    """Refuses (ListingError) arguments that are not one tuple for each
    builder of `facts` with as many items as the builder has parameters."""
    wrong = sorted(set(fitting) ^ set(facts.builders)) + [
        name for name in facts.builders
        if name in fitting and len(fitting[name]) != len(facts.functions[name].parameters)]
    if wrong:
        raise ListingError('the builders of %s do not take these arguments: %s'
                           % (facts.path, ', '.join(wrong)))


check_fitting(MOVRA, FITTING)
