"""The floor, the tight floor and the safe floor of a frame and of a tick, and their check.

bench.py's docstring says what the floors contain.  All three are built
here by one mirror of the listing (src/Movra.py): the functions m_<name>
below walk the statements that drawMain() (viewport4Sol1 true) and
updateAnimationVariables() execute, in the listing's order of evaluation,
with the real operands read from the listing's globals, and hand every
piece of work to a Builder.  The Builder puts each piece into the floor
program, the tight floor program and the safe floor program, some of them,
or none (work that no implementation must do, which it only counts), as
steps for movra_bench.run_program.  The safe floor holds the tight floor's
work with its name reads and calls made as a safe implementation makes
them (cached reads that hold a reference, direct calls of the callee read,
under the recursion guard); unguarded() gives it without the guard.

check() keeps the mirror in step with the listing: it runs the listing's
frame and tick under a line tracer and counts, in the statements that ran
(the listing's own syntax trees), every piece of work of each category; it
fails unless the mirror made the same count in every function and category,
invoked the listing's functions in the same order, made the same GL and
helper calls with the same argument values and types, and stores the same
values in a tick.  A statement of a kind the count does not know stops the
check too, so a change to the listing cannot slip past it.  It also fails
unless the safe floor does the tight floor's work in the same order, step
for step, and unless each of its calls calls the very callee that the name
read it holds found, with every reference it held released by the end.
"""
from __future__ import division

import ast
import collections
import operator
import sys

try:
    import builtins as builtins_module  # Python 3
except ImportError:  # Python 2.7
    import __builtin__ as builtins_module

try:
    intern_name = sys.intern
except AttributeError:  # Python 2.7
    intern_name = intern  # noqa: F821

OPERATORS = {'+': operator.add, '-': operator.sub, '*': operator.mul, '/': operator.truediv,
             '|': operator.or_}

# The categories of work, in the order of the report, with what each means.
CATEGORIES = collections.OrderedDict([
    ('call', 'GL, GLU, helper and numpy calls (floor)'),
    ('item store', 'item stores into a numpy array, a[i][j] = v (floor)'),
    ('numpy arithmetic', 'arithmetic with a numpy operand (floor)'),
    ('arithmetic', 'arithmetic on Python ints and floats'),
    ('global name', 'global names looked up'),
    ('builtin name', '... of them found in the builtins'),
    ('attribute', 'attributes read (np.zeros)'),
    ('int()', 'int() conversions'),
    ('subscript', 'subscripts of a global sequence (list items by index)'),
    ('container', 'argument containers (calls that pass a value computed at run time)'),
    ('own call', "calls of the listing's own functions"),
    ('truth test', 'truth tests (if)'),
    ('global store', 'stores into the globals'),
    ('stored list', 'lists displayed into a global'),
    ('local list display', 'lists displayed into a local (not in any floor)'),
    ('display subscript', 'subscripts of such a local list (not in any floor)'),
])
IN_FLOOR = ('call', 'item store', 'numpy arithmetic')
IN_NEITHER = ('local list display', 'display subscript')


class CheckFailed(Exception):
    pass


def is_numpy(value):
    import numpy
    return isinstance(value, (numpy.generic, numpy.ndarray))


class Callee(object):
    """A callable the mirror looked up, called as the listing calls it.
    `mark` is how many references the safe floor held before the callee's
    own was taken: its call releases everything held above that."""

    def __init__(self, builder, name, value, mark):
        self.builder, self.name, self.value, self.mark = builder, name, value, mark

    def __call__(self, *args):
        return self.builder.call(self, args, constant=False)

    def const(self, *args):
        """A call whose arguments are all constants of the listing."""
        return self.builder.call(self, args, constant=True)


class Builder(object):
    """Collects the steps of the floor and the tight floor from the mirror."""

    def __init__(self, listing, listing_file, outside, mirrors):
        self.g = vars(listing)
        self.listing_file = listing_file
        self.builtins = vars(builtins_module)
        self.outside = set(outside)  # the GL, GLU and helper names
        self.mirrors = mirrors  # the listing's own functions: name -> mirror
        self.globals_copy = dict(self.g)  # stores go here, not into the listing
        self.floor, self.tight, self.safe = [], [], []
        self.held = 0  # references the safe floor holds at this point
        self.pushed = []  # (safe step, the value it pushes on the held stack)
        self.counts = collections.Counter()
        self.invocations, self.outside_calls = [], []
        self.made = []  # (tight step, the value the listing's statement makes)
        self.function = None

    def count(self, category):
        self.counts[(self.function, category)] += 1

    def name(self, name):
        key = intern_name(name)
        self.count('global name')
        if key in self.g:
            value = self.g[key]
        else:
            self.count('builtin name')
            value = self.builtins[key]
        self.tight.append((4, self.g, self.builtins, key))
        self.made.append((self.tight[-1], value))
        self._push((13, self.g, self.builtins, key), value)
        return value

    def _push(self, step, value):
        """A safe floor step that holds a reference to `value`."""
        self.safe.append(step)
        self.made.append((step, value))
        self.pushed.append((step, value))
        self.held += 1

    def both(self, step):
        """A step of the tight floor that the safe floor makes alike."""
        self.tight.append(step)
        self.safe.append(step)

    def fn(self, name):
        mark = self.held
        return Callee(self, name, self.name(name), mark)

    def method(self, owner, name):
        self.count('attribute')
        self.tight.append((10, owner, intern_name(name)))
        value = getattr(owner, name)
        self.made.append((self.tight[-1], value))
        if not self.pushed or self.pushed[-1][1] is not owner or self.safe[-1][0] != 13:
            raise CheckFailed('%s.%s: the owner is not the name read just before' % (owner, name))
        # The attribute's reference replaces the owner's on the held stack.
        step = (17, owner, intern_name(name))
        self.safe.append(step)
        self.made.append((step, value))
        self.pushed.append((step, value))
        return Callee(self, '%s.%s' % (owner.__name__, name), value, self.held - 1)

    def call(self, callee, args, constant):
        if constant and any(is_numpy(a) for a in args):
            raise CheckFailed('a numpy value is no constant of the listing: %s%r'
                              % (callee.name, args))
        if callee.name in self.mirrors:
            code = getattr(callee.value, '__code__', None)
            if code is None or code.co_name != callee.name or \
                    code.co_filename != self.listing_file:
                raise CheckFailed("%s is not the listing's own function" % callee.name)
            self.count('own call')
            if not constant:
                self.count('container')
                self.tight.append((6, callee.value, args))
            self.safe.append((15, callee.value, args, constant))
            result = self.run(callee.name, *args)
            self.safe.append((16, callee.value, self.held - callee.mark))
            self.held = callee.mark
            return result
        self.count('call')
        self.floor.append((0, callee.value, args))
        if constant:
            self.tight.append((0, callee.value, args))
        else:
            self.count('container')
            self.tight.append((5, callee.value, args))
        self.safe.append((14, callee.value, args, self.held - callee.mark, constant))
        self.held = callee.mark
        if callee.name in self.outside:
            self.outside_calls.append((callee.name, args))
        return callee.value(*args)

    def run(self, name, *args):
        caller, self.function = self.function, name
        self.invocations.append(name)
        try:
            return self.mirrors[name](self, *args)
        finally:
            self.function = caller

    def arith(self, op, x, y):
        return self._number((2, op, x, y), x, y, OPERATORS[op](x, y))

    def neg(self, x):
        return self._number((3, x), x, x, -x)

    def _number(self, step, x, y, result):
        if is_numpy(x) or is_numpy(y):
            self.count('numpy arithmetic')
            self.floor.append(step)
        else:
            self.count('arithmetic')
        self.both(step)
        self.made.append((step, result))
        return result

    def int(self, conversion, x):
        if conversion is not int:
            raise CheckFailed('int is not the built-in int')
        self.count('int()')
        self.both((7, x))
        self.made.append((self.tight[-1], int(x)))
        return int(x)

    def item(self, sequence, index):
        self.count('subscript')
        self.both((8, sequence, index))
        self.made.append((self.tight[-1], sequence[index]))
        return sequence[index]

    def store_item(self, array, i, j, value):
        self.count('item store')
        step = (1, array, i, j, value)
        self.floor.append(step)
        self.both(step)
        array[i][j] = value

    def truth(self, value):
        self.count('truth test')
        self.both((9, value))
        return bool(value)

    def set_global(self, name, value):
        self.count('global store')
        key = intern_name(name)
        self.both((11, self.globals_copy, key, value))
        self.globals_copy[key] = value
        return value

    def stored_list(self, items):
        self.count('stored list')
        self.both((12, tuple(items)))
        self.made.append((self.tight[-1], list(items)))
        return list(items)

    def display(self, items):
        self.count('local list display')
        return list(items)

    def display_item(self, display, index):
        self.count('display subscript')
        return display[index]


# ---------------------------------------------------------------------------
# The mirror of the listing: one function per listing function, statement by
# statement, for the default frame (viewport4Sol1 true) and a tick.  Names
# are looked up (b.name, b.fn) where the listing evaluates them.

def m_drawMain(b):
    b.fn('glClearColor').const(0.0, 0.0, 0.0, 1.0)
    b.fn('glClear')(b.arith('|', b.name('GL_COLOR_BUFFER_BIT'), b.name('GL_DEPTH_BUFFER_BIT')))
    b.fn('Viewport1').const()
    b.fn('Viewport2').const()
    b.fn('Viewport3').const()
    b.fn('Viewport4').const()


def size(b):
    """int(sizeViewport)"""
    return b.int(b.name('int'), b.name('sizeViewport'))


def m_Viewport1(b):
    b.fn('glViewport')(0, 0, size(b), size(b))
    eye = b.display([b.name('eyeX'), b.name('eyeY'), b.name('eyeZ')])
    b.display([0.0, 0.0, -1.0])  # lookat
    updir = b.display([0.0, 1.0, 0.0])
    b.fn('glMatrixMode')(b.name('GL_PROJECTION'))
    b.fn('glLoadIdentity').const()
    b.fn('glFrustum')(b.name('left'), b.name('right'), b.name('bottom'), b.name('top'),
                      b.name('near'), b.name('far'))
    b.fn('glMatrixMode')(b.name('GL_MODELVIEW'))
    b.fn('glLoadIdentity').const()
    d = b.display_item
    look = b.fn('gluLookAt')
    x0, x1, x2 = d(eye, 0), d(eye, 1), d(eye, 2)
    cx = b.arith('+', d(eye, 0), b.fn('tan')(
        b.arith('*', b.arith('/', b.name('pan'), 180.0), b.name('pi'))))
    cy = b.arith('+', d(eye, 1), b.fn('tan')(
        b.arith('*', b.arith('/', b.name('tilt'), 180.0), b.name('pi'))))
    cz = b.arith('-', d(eye, 2), 1)
    look(x0, x1, x2, cx, cy, cz, d(updir, 0), d(updir, 1), d(updir, 2))
    b.fn('drawScene').const()
    b.fn('drawMovingCamera').const()


def m_drawScene(b):
    b.fn('draw3DCoordinateAxes').const()
    deg = b.name('movingCameraAngle')
    b.fn('glPushMatrix').const()
    b.fn('glTranslatef').const(0.0, 0, -3.0)
    b.fn('glRotatef')(deg, 0, 1, 0)
    b.fn('drawColoredCube').const(1)
    b.fn('glPopMatrix').const()
    b.fn('glPushMatrix').const()
    b.fn('glTranslatef').const(2.0, 0, -6.0)
    b.fn('gluSphere')(b.name('myQuadric'), 0.5, 20, 20)
    b.fn('glPopMatrix').const()


def m_drawMovingCamera(b):
    rad2deg, arctan2 = b.fn('rad2deg'), b.fn('arctan2')
    tilt = b.neg(rad2deg(arctan2(b.item(b.name('movingCameraPos'), 1),
                                 b.name('movingCameraRadius'))))
    deg = b.name('movingCameraAngle')
    b.fn('glPushMatrix').const()
    b.fn('glTranslatef')(b.item(b.name('movingCameraPos'), 0),
                         b.item(b.name('movingCameraPos'), 1),
                         b.item(b.name('movingCameraPos'), 2))
    b.fn('glRotatef')(deg, 0, 1, 0)
    b.fn('glRotatef')(tilt, 1, 0, 0)
    b.fn('drawCamera').const()
    b.fn('glPopMatrix').const()


def m_drawCamera(b):
    b.fn('glPushMatrix').const()
    b.fn('glRotatef').const(180, 0, 1, 0)
    b.fn('glScalef').const(0.5, 0.5, 1.0)
    b.fn('drawGrayCube').const(0.5)
    b.fn('glTranslatef').const(0, 0, 0.5)
    b.fn('gluCylinder')(b.name('myQuadric'), 0.2, 0.3, 0.3, 10, 10)
    b.fn('glPopMatrix').const()


def m_drawMovingViewVolume(b):
    b.fn('glPushMatrix').const()
    b.fn('glTranslatef')(b.name('eyeX'), b.name('eyeY'), b.name('eyeZ'))
    b.fn('glRotatef')(b.neg(b.name('pan')), 0, 1, 0)
    b.fn('glRotatef')(b.name('tilt'), 1, 0, 0)
    b.fn('drawViewVolume')(b.name('left'), b.name('right'), b.name('bottom'), b.name('top'),
                           b.name('near'), b.name('far'))
    b.fn('glPopMatrix').const()


def half_depth(b):
    """-(near + far) / 2"""
    return b.arith('/', b.neg(b.arith('+', b.name('near'), b.name('far'))), 2)


def m_Viewport2(b):
    b.fn('glViewport')(size(b), 0, size(b), size(b))
    b.fn('glMatrixMode')(b.name('GL_PROJECTION'))
    b.fn('glLoadIdentity').const()
    b.fn('glOrtho').const(-5, 5, -5, 5, -1, 50)
    eye2 = b.display([2.0, 1, 4.0])
    lookat2 = b.display([0.0, 0.0, half_depth(b)])
    updir = b.display([0.0, 1.0, 0.0])
    b.fn('glMatrixMode')(b.name('GL_MODELVIEW'))
    b.fn('glLoadIdentity').const()
    d = b.display_item
    b.fn('gluLookAt')(d(eye2, 0), d(eye2, 1), d(eye2, 2), d(lookat2, 0), d(lookat2, 1),
                      d(lookat2, 2), d(updir, 0), d(updir, 1), d(updir, 2))
    b.fn('drawScene').const()
    b.fn('drawMovingCamera').const()
    b.fn('drawMovingViewVolume').const()


def m_Viewport3(b):
    b.fn('glViewport')(0, size(b), size(b), size(b))
    b.fn('glMatrixMode')(b.name('GL_PROJECTION'))
    b.fn('glLoadIdentity').const()
    b.fn('glOrtho').const(-3, 3, -3, 3, -3, 50)
    updir = b.display([0.0, 1.0, 0.0])
    b.fn('glMatrixMode')(b.name('GL_MODELVIEW'))
    b.fn('glLoadIdentity').const()
    d = b.display_item
    b.fn('gluLookAt')(7, 4, 5, 0, 0, 0, d(updir, 0), d(updir, 1), d(updir, 2))
    M = b.fn('projective')(b.name('near'), b.name('far'))
    b.fn('glPushMatrix').const()
    b.fn('glScalef').const(1.0, 1.0, -1.0)
    b.fn('draw3DCoordinateAxes').const()
    b.fn('glPopMatrix').const()
    b.fn('glTranslatef').const(-1, -1, 1)
    b.fn('glScalef')(b.arith('/', 2.0, b.arith('-', b.name('right'), b.name('left'))),
                     b.arith('/', 2.0, b.arith('-', b.name('top'), b.name('bottom'))),
                     b.arith('/', 2.0, b.arith('-', b.name('far'), b.name('near'))))
    b.fn('glTranslatef')(b.neg(b.name('left')), b.neg(b.name('bottom')), b.name('near'))
    mult = b.fn('glMultMatrixf')
    mult(b.fn('transpose')(M))
    b.fn('drawViewVolume')(b.name('left'), b.name('right'), b.name('bottom'), b.name('top'),
                           b.name('near'), b.name('far'))
    b.fn('glTranslatef')(b.neg(b.name('eyeX')), b.neg(b.name('eyeY')), b.neg(b.name('eyeZ')))
    b.fn('glRotatef')(b.name('pan'), 0, 1, 0)
    b.fn('glRotatef')(b.neg(b.name('tilt')), 1, 0, 0)
    b.fn('drawScene').const()
    b.fn('drawMovingCamera').const()


def m_projective(b, near, far):
    M = b.method(b.name('np'), 'zeros').const((4, 4))
    b.store_item(M, 0, 0, near)
    b.store_item(M, 1, 1, near)
    b.store_item(M, 2, 2, b.arith('+', near, far))
    b.store_item(M, 3, 2, -1)
    b.store_item(M, 2, 3, b.arith('*', near, far))
    return M


def m_Viewport4(b):
    b.fn('glViewport')(size(b), size(b), size(b), size(b))
    if not b.truth(b.name('viewport4Sol1')):
        raise CheckFailed('the mirror follows viewport4Sol1 true only')
    b.fn('glMatrixMode')(b.name('GL_PROJECTION'))
    b.fn('glLoadIdentity').const()
    b.fn('gluPerspective').const(60, 1, 0.01, 20)
    b.fn('glMatrixMode')(b.name('GL_MODELVIEW'))
    b.fn('glLoadIdentity').const()
    lookat = b.display([0.0, 0.0, half_depth(b)])
    updir = b.display([0.0, 1.0, 0.0])
    d = b.display_item
    look = b.fn('gluLookAt')
    look(b.item(b.name('movingCameraPos'), 0), b.item(b.name('movingCameraPos'), 1),
         b.item(b.name('movingCameraPos'), 2), d(lookat, 0), d(lookat, 1), d(lookat, 2),
         d(updir, 0), d(updir, 1), d(updir, 2))
    b.fn('drawScene').const()
    b.fn('drawMovingViewVolume').const()


def m_updateAnimationVariables(b):
    theta = b.fn('deg2rad')(b.name('movingCameraAngle'))
    b.set_global('movingCameraAngle', b.arith('+', b.name('movingCameraAngle'), 1))
    x = b.arith('*', b.name('movingCameraRadius'), b.fn('sin')(theta))
    y = b.name('movingCameraHeight')
    z = b.arith('+', half_depth(b), b.arith('*', b.name('movingCameraRadius'),
                                                b.fn('cos')(theta)))
    b.set_global('movingCameraPos', b.stored_list([x, y, z]))


MIRRORS = dict((name[2:], f) for name, f in list(globals().items()) if name.startswith('m_'))


def build(listing, listing_file, outside, what):
    """A Builder that went once through the frame ('frame') or the tick ('tick')."""
    b = Builder(listing, listing_file, outside, MIRRORS)
    b.run({'frame': 'drawMain', 'tick': 'updateAnimationVariables'}[what])
    if b.held:
        b.safe.append((18, b.held))  # the top function's locals and the rest
        b.held = 0
    return b


# The safe floor's kinds under the recursion guard, and the same without it.
UNGUARDED = {14: 19, 15: 20, 16: 21}


def unguarded(steps):
    """The safe floor's steps without the recursion guard."""
    return tuple((UNGUARDED[s[0]],) + tuple(s[1:]) if s[0] in UNGUARDED else s for s in steps)


# ---------------------------------------------------------------------------
# The count of the listing's own statements.

def _constant(node):
    if isinstance(node, ast.Num if sys.version_info[0] < 3 else ast.Constant):
        return True
    if sys.version_info[0] < 3 and isinstance(node, ast.Str):
        return True
    if isinstance(node, ast.UnaryOp):
        return _constant(node.operand)
    if isinstance(node, ast.BinOp):
        return _constant(node.left) and _constant(node.right)
    if isinstance(node, ast.Tuple):
        return all(_constant(e) for e in node.elts)
    return False


class StatementCount(object):
    """The work of each category in one statement of a listing function."""

    def __init__(self, function_node, local_names, g):
        self.locals = set(local_names)
        self.g = g
        self.declared_global = set()
        self.displays = set()  # locals assigned a list display
        for node in ast.walk(function_node):
            if isinstance(node, ast.Global):
                self.declared_global.update(node.names)
            if (isinstance(node, ast.Assign) and isinstance(node.value, ast.List)
                    and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name)
                    and node.targets[0].id in self.locals):
                self.displays.add(node.targets[0].id)
        self.own_functions = set()

    def statement(self, node):
        self.counts = collections.Counter()
        if isinstance(node, ast.If):
            self.counts['truth test'] += 1
            self.visit(node.test)
        elif isinstance(node, ast.Expr):
            self.visit(node.value)
        elif isinstance(node, ast.Return):
            self.visit(node.value)
        elif isinstance(node, ast.Assign) and len(node.targets) == 1:
            target = node.targets[0]
            if isinstance(node.value, ast.List):
                stored = isinstance(target, ast.Name) and target.id not in self.locals
                self.counts['stored list' if stored else 'local list display'] += 1
                for e in node.value.elts:
                    self.visit(e)
            else:
                self.visit(node.value)
            self.target(target)
        else:
            self.unknown(node)
        return self.counts

    def unknown(self, node):
        raise CheckFailed('the tight floor cannot count a %s (line %s) of the listing'
                          % (type(node).__name__, getattr(node, 'lineno', '?')))

    def target(self, node):
        if isinstance(node, ast.Name):
            if node.id not in self.locals:
                self.counts['global store'] += 1
        elif isinstance(node, ast.Subscript) and isinstance(node.value, ast.Subscript):
            # a[i][j] = v: the row read and the item store are one floor step.
            self.counts['item store'] += 1
            self.visit(node.value.value)
            self.visit(node.value.slice)
            self.visit(node.slice)
        else:
            self.unknown(node)

    def visit(self, node):
        if _constant(node):
            return
        if isinstance(node, ast.Name):
            if node.id not in self.locals:
                self.counts['global name'] += 1
                if node.id not in self.g:
                    self.counts['builtin name'] += 1
        elif isinstance(node, ast.Attribute):
            self.counts['attribute'] += 1
            self.visit(node.value)
        elif isinstance(node, ast.BinOp):
            self.counts['arithmetic'] += 1
            self.visit(node.left)
            self.visit(node.right)
        elif isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub):
            self.counts['arithmetic'] += 1
            self.visit(node.operand)
        elif isinstance(node, ast.Subscript):
            value = node.value
            if isinstance(value, ast.Name) and value.id in self.displays:
                self.counts['display subscript'] += 1
            else:
                self.counts['subscript'] += 1
                self.visit(value)
            self.visit(node.slice)
        elif sys.version_info < (3, 9) and isinstance(node, ast.Index):
            self.visit(node.value)
        elif isinstance(node, ast.Call):
            if node.keywords or getattr(node, 'starargs', None) or getattr(node, 'kwargs', None):
                self.unknown(node)
            func = node.func
            self.visit(func)
            if isinstance(func, ast.Name) and func.id == 'int' and len(node.args) == 1:
                self.counts['int()'] += 1
            else:
                own = isinstance(func, ast.Name) and func.id in self.own_functions
                self.counts['own call' if own else 'call'] += 1
                if not all(_constant(a) for a in node.args):
                    self.counts['container'] += 1
            for a in node.args:
                self.visit(a)
        else:
            self.unknown(node)


def trace(listing_file, run):
    """The listing functions invoked and the (function, line) of every
    statement executed while run() runs, from a line tracer."""
    invocations, lines = [], []

    def local(frame, event, arg):
        if event == 'line':
            lines.append((frame.f_code.co_name, frame.f_lineno))
        return local

    def tracer(frame, event, arg):
        if frame.f_code.co_filename != listing_file:
            return None
        if event == 'call':
            invocations.append(frame.f_code.co_name)
        return local

    saved = sys.gettrace()
    sys.settrace(tracer)
    try:
        run()
    finally:
        sys.settrace(saved)
    return invocations, lines


def listing_counts(listing, listing_file, run):
    """(invocations, Counter of (function, category)) of the statements run()
    executes, counted from the listing's syntax trees."""
    g = vars(listing)
    with open(listing_file) as f:
        tree = ast.parse(f.read(), listing_file)
    functions = dict((n.name, n) for n in tree.body if isinstance(n, ast.FunctionDef))
    counters, statements = {}, {}
    for name, node in functions.items():
        counter = StatementCount(node, g[name].__code__.co_varnames, g)
        counter.own_functions = set(functions)
        counters[name] = counter
        for stmt in ast.walk(node):
            if isinstance(stmt, ast.stmt) and stmt is not node:
                statements[(name, stmt.lineno)] = stmt
    invocations, lines = trace(listing_file, run)
    counts = collections.Counter()
    for name, line in lines:
        stmt = statements.get((name, line))
        if stmt is None:
            raise CheckFailed('listing line %d of %s has no statement' % (line, name))
        for category, n in counters[name].statement(stmt).items():
            counts[(name, category)] += n
    return invocations, counts


def _restore(g, saved):
    for key in list(g):
        if key not in saved:
            del g[key]
    for key, value in saved.items():
        if g.get(key, object()) is not value:
            g[key] = value


def typed(values):
    return [(type(v).__name__, repr(v)) for v in values]


def comparable(counts):
    """The counts as the listing's statements show them: arithmetic is one
    category there, whatever the operands' types."""
    out = collections.Counter()
    for (function, category), n in counts.items():
        out[(function, 'arithmetic' if category == 'numpy arithmetic' else category)] += n
    return out


TICK_STORES = ('movingCameraAngle', 'movingCameraPos')


def check(listing, listing_file, builders, recorded_frame_calls):
    """Raises CheckFailed unless the mirror's builders are in step with the
    listing (see the module's docstring)."""
    from movra_bench import step_value
    g = vars(listing)
    for what, run in (('frame', listing.drawMain), ('tick', listing.updateAnimationVariables)):
        b = builders[what]
        saved = dict(g)
        try:
            invocations, counts = listing_counts(listing, listing_file, run)
            stored = [g[k] for k in TICK_STORES]
        finally:
            _restore(g, saved)
        if invocations != b.invocations:
            raise CheckFailed('%s: the listing invokes %s, the mirror %s'
                              % (what, invocations, b.invocations))
        mirrored = comparable(b.counts)
        if counts != mirrored:
            rows = sorted(set(counts) | set(mirrored))
            diff = ['  %-26s %-20s listing %3d, mirror %3d'
                    % (f, c, counts[(f, c)], mirrored[(f, c)])
                    for f, c in rows if counts[(f, c)] != mirrored[(f, c)]]
            raise CheckFailed('%s: the mirror counts other work than the listing:\n%s'
                              % (what, '\n'.join(diff)))
        for made, value in b.made:
            got = step_value(made)
            same = got is value if made[0] in (4, 10, 13, 17) else (
                type(got) is type(value) and typed(got if made[0] == 12 else [got])
                == typed(value if made[0] == 12 else [value]))
            if not same:
                raise CheckFailed('%s: step %r makes %r in movra_bench, %r in the listing'
                                  % (what, made[:1] + made[-2:], got, value))
        check_safe(what, b)
        if what == 'frame':
            mine = [(n, typed(a)) for n, a in b.outside_calls]
            theirs = [(n, typed(a)) for n, a in recorded_frame_calls]
            for i in range(max(len(mine), len(theirs))):
                x = mine[i] if i < len(mine) else None
                y = theirs[i] if i < len(theirs) else None
                if x != y:
                    raise CheckFailed('frame: GL call %d: the listing makes %r, the mirror %r'
                                      % (i, y, x))
        else:
            mine = [b.globals_copy[k] for k in TICK_STORES]
            if type(stored[1]) is not type(mine[1]) or \
                    typed(stored[:1]) + typed(stored[1]) != typed(mine[:1]) + typed(mine[1]):
                raise CheckFailed('tick: the listing stores %r, the mirror %r' % (stored, mine))


def _tight_work(step):
    kind = step[0]
    if kind == 4:
        return ('name', step[3])
    if kind == 10:
        return ('attribute', step[2])
    if kind in (0, 5):
        return ('call', id(step[1]), id(step[2]))
    if kind == 6:
        return ('container of a body', id(step[1]), id(step[2]))
    return ('step', id(step))


def _safe_work(step):
    kind = step[0]
    if kind == 13:
        return ('name', step[3])
    if kind == 17:
        return ('attribute', step[2])
    if kind == 14:
        return ('call', id(step[1]), id(step[2]))
    if kind == 15:
        return None if step[3] else ('container of a body', id(step[1]), id(step[2]))
    if kind in (16, 18):
        return None
    return ('step', id(step))


def check_safe(what, b):
    """Raises CheckFailed unless the safe floor of builder b does the tight
    floor's work in the same order, and unless each of its calls (and each
    body's end) finds its callee where that callee's name read left it on
    the stack of held references, with nothing held at the end."""
    tight = [_tight_work(s) for s in b.tight]
    safe = [w for w in (_safe_work(s) for s in b.safe) if w is not None]
    if tight != safe:
        at = next(i for i in range(min(len(tight), len(safe)) + 1)
                  if i == min(len(tight), len(safe)) or tight[i] != safe[i])
        raise CheckFailed('%s: the safe floor does other work than the tight floor from its '
                          'step %d on' % (what, at))
    values = dict((id(step), value) for step, value in b.pushed)
    stack, bodies = [], []
    for i, step in enumerate(b.safe):
        kind = step[0]
        if kind == 13:
            stack.append(values[id(step)])
            continue
        if kind == 17:
            if not stack or stack[-1] is not step[1]:
                raise CheckFailed('%s: safe floor step %d reads an attribute of another '
                                  'object than the one on top' % (what, i))
            stack[-1] = values[id(step)]
            continue
        if kind == 15:
            bodies.append(step[1])
            continue
        if kind == 16 and (not bodies or bodies.pop() is not step[1]):
            raise CheckFailed('%s: safe floor step %d ends a body it did not enter' % (what, i))
        if kind in (14, 16):
            callee, n = step[1], step[3 if kind == 14 else 2]
            if not 1 <= n <= len(stack) or stack[-n] is not callee:
                raise CheckFailed('%s: safe floor step %d does not find its callee %r among '
                                  'the references it holds' % (what, i, callee))
            del stack[-n:]
        elif kind == 18:
            if step[1] != len(stack):
                raise CheckFailed('%s: the safe floor holds %d references at its end and '
                                  'releases %d' % (what, len(stack), step[1]))
            del stack[:]
    if stack or bodies:
        raise CheckFailed('%s: the safe floor ends with %d references held and %d bodies open'
                          % (what, len(stack), len(bodies)))


def totals(builder):
    """{category: count} over all functions."""
    out = collections.Counter()
    for (_function, category), n in builder.counts.items():
        out[category] += n
    return out
