"""What KestCompare runs on both implementations: the names, the argument
sets of the six matrix builders and the states of the drawing functions,
and the probes that the hints ask Movra for (the same argument sets with the
angle converted, the same states one tick early or late); and the requests
that carry them to the workers.

Only the tool reads these tables. A request carries its arguments and its
state as typed images (kestcompare.codec), from which each worker makes new
objects of the very same types, so that nothing one call does to an
argument can reach the other side, and a worker needs no table of its own.
"""
from __future__ import division, print_function

import numpy as np

from kesthost import listing
from kestcompare import codec

# The eighteen functions, in the order in which the module binds them, and
# the module globals, in the order of their default assignments: as the
# listing states them.
FUNCTIONS = listing.FUNCTIONS
GLOBALS = listing.GLOBALS

# The matrix builders: the functions that take arguments.
BUILDERS = listing.BUILDERS

# Every function that takes no arguments is run over the table of states.
DRAWING = listing.NO_ARGUMENTS

f32, f64, i32, i64 = np.float32, np.float64, np.int32, np.int64


def _builder_table():
    """(builder, args, kwargs) for every argument set, in report order.

    Integers, floats and numpy scalars of each kind, the documented edge
    cases (rotations by 90 degrees, a translation by one number, too short
    vectors, a zero depth range) and the keyword calls of the two projection
    builders.
    """
    angles = [0, 90, 30, 30.0, f64(30), f32(30), i32(30), i64(-720), -45.5, 180, 270.5,
              1, 360, 1e6]
    vectors = [[1, 2, 3], (1, 2, 3), np.array([1, 2, 3]), [0.5, -1.5, 2.25],
               [f32(1.1), i32(2), 3], np.array([1.5, 2, 3], dtype=f32), [-1, -1, -1], 5, 2.5,
               [1, 2, 3, 4], [1, 2], [[1, 2, 3]]]
    near_far = [(1, 3), (1.0, 7.0), (1, 7), (0.5, 100), (0.01, 20), (f32(1.5), 2),
                (f64(0.1), i64(3)), (-1, 1), (0, 0), (2 ** 40, 2 ** 40)]
    perspective = [(90, 1, 1, 3), (90, 2, 1, 3), (60, 1, 0.01, 20), (60.0, 1.5, 0.1, 100.0),
                   (45, 4 / 3, 1, 10), (f32(45), f64(1.0), 0.5, 50),
                   (i32(30), i64(2), i32(1), i64(4)), (179, 2, 0.001, 1000), (1, 1, 1, 2),
                   (60, 1, 5, 5), (60, 0, 1, 10), (0, 1, 1, 10)]
    table = []
    for name in ('rotateX', 'rotateY'):
        table += [(name, (a,), {}) for a in angles]
    for name in ('translate', 'scale'):
        table += [(name, (v,), {}) for v in vectors]
    table += [('projective', nf, {}) for nf in near_far]
    table += [('projective', (), {'near': 1, 'far': 3}), ('projective', (0.5,), {'far': 9})]
    table += [('perspective', p, {}) for p in perspective]
    table += [('perspective', (), {'fovy': 60, 'aspect': 1, 'near': 0.01, 'far': 20})]
    return table


def builder_cases():
    """A fresh copy of the argument table (new objects on every call)."""
    return _builder_table()


# The builders that take an angle in degrees, and where: (position, keyword).
ANGLE_ARGUMENT = {'rotateX': (0, 'angle_deg'), 'rotateY': (0, 'angle_deg'),
                  'perspective': (0, 'fovy')}
# How a probe converts that angle before Movra gets it: a learner who forgot
# deg2rad computes Movra's matrix of rad2deg(angle); one who converted twice,
# Movra's matrix of deg2rad(angle).
CONVERSIONS = {'rad2deg': np.rad2deg, 'deg2rad': np.deg2rad}


def _angle(name, args, kwargs):
    position, keyword = ANGLE_ARGUMENT[name]
    return args[position] if len(args) > position else kwargs[keyword]


def builder_case(index, convert=None):
    """(builder, args, kwargs) of one argument set; with convert (a key of
    CONVERSIONS) its angle argument is converted: a float32 stays a float32,
    anything else becomes a float64."""
    name, args, kwargs = _builder_table()[index]
    if convert is None:
        return name, args, kwargs
    position, keyword = ANGLE_ARGUMENT[name]
    angle = _angle(name, args, kwargs)
    change = CONVERSIONS[convert]
    converted = change(angle) if isinstance(angle, f32) else f64(change(f64(angle)))
    if len(args) > position:
        args = args[:position] + (converted,) + args[position + 1:]
    else:
        kwargs = dict(kwargs)
        kwargs[keyword] = converted
    return name, args, kwargs


def single_precision_angle(index):
    """True when the argument set's angle is a float32: a learner's matrix
    then matches Movra's of the converted angle to float32's precision only."""
    name, args, kwargs = _builder_table()[index]
    return name in ANGLE_ARGUMENT and isinstance(_angle(name, args, kwargs), f32)


def angle_cases():
    """The indexes of the argument sets whose angle a probe may convert."""
    return [index for index, (name, _args, _kwargs) in enumerate(_builder_table())
            if name in ANGLE_ARGUMENT]


def _number_text(value):
    if isinstance(value, (bool, np.bool_)):
        return repr(bool(value))
    if isinstance(value, np.generic):
        return 'np.%s(%r)' % (type(value).__name__, value.item())
    if isinstance(value, float):
        return repr(value)
    return str(value)


def argument_text(value):
    """How an argument set is written in the report: as one would type it."""
    if isinstance(value, np.ndarray):
        body = ', '.join(argument_text(v) for v in value.tolist())
        if value.dtype == np.float32:
            return 'np.array([%s], dtype=np.float32)' % body
        return 'np.array([%s])' % body
    if isinstance(value, list):
        return '[%s]' % ', '.join(argument_text(v) for v in value)
    if isinstance(value, tuple):
        return '(%s%s)' % (', '.join(argument_text(v) for v in value),
                           ',' if len(value) == 1 else '')
    return _number_text(value)


def call_text(name, args, kwargs):
    parts = [argument_text(a) for a in args]
    parts += ['%s=%s' % (key, argument_text(kwargs[key])) for key in sorted(kwargs)]
    return '%s(%s)' % (name, ', '.join(parts))


# ------------------------------------------------------------------ states ---
# (name, ticks, globals): the globals are set after initGL() and before the
# ticks (updateAnimationVariables() of the module itself), as a host would.

STATES = [
    ('defaults', 0, {}),
    ('tick1', 1, {}),
    ('tick45', 45, {}),
    ('tick361', 361, {}),
    ('moved', 10, {'eyeX': 0.5, 'eyeY': -0.25, 'eyeZ': 1.5}),
    ('panned', 10, {'pan': 30}),
    ('tilted', 10, {'tilt': -20}),
    ('moved-panned-tilted', 30, {'eyeX': 1, 'eyeY': 0.5, 'eyeZ': 2.0, 'pan': 25, 'tilt': 15}),
    ('int-frustum', 10, {'left': -1, 'right': 1, 'bottom': -1, 'top': 1, 'near': 1,
                         'far': 10}),
    ('own-matrices-start', 0, {'viewport4Sol1': False}),
    ('own-matrices', 45, {'viewport4Sol1': False}),
]
STATE_NAMES = [s[0] for s in STATES]

# The states that are also rendered with real GL.
PICTURE_STATES = ['defaults', 'moved-panned-tilted', 'own-matrices']


# The host runs one animation tick before its first frame (KestMain), so a
# picture of a state is drawn after that tick and the state's own.
HOST_TICKS = 1

# A probe state is a state shifted by one tick: "tick45@+1" is tick45 with
# 46 ticks, "tick45@-1" with 44.
SHIFT = '@'


def state(name):
    """(name, ticks, globals) of a state or of a probe state."""
    base, shift = name, 0
    if SHIFT in name:
        base, _, delta = name.partition(SHIFT)
        shift = int(delta)
    for entry in STATES:
        if entry[0] == base:
            ticks = entry[1] + shift
            if ticks < 0:
                break
            return name, ticks, entry[2]
    raise KeyError('no state named %r' % (name,))


def shifted(name, delta):
    """The probe state one tick later (+1) or earlier (-1), or None when the
    state has no tick to take away."""
    if delta < 0 and state(name)[1] + delta < 0:
        return None
    return '%s%s%+d' % (name, SHIFT, delta)


def probe_states():
    """Every probe state that a hint may ask Movra for."""
    found = []
    for name in STATE_NAMES:
        for delta in (-1, 1):
            probe = shifted(name, delta)
            if probe is not None:
                found.append(probe)
    return found


def state_text(name):
    """The state in words, for the report."""
    _, ticks, values = state(name)
    parts = ['%d tick%s' % (ticks, '' if ticks == 1 else 's')] if ticks else []
    parts += ['%s=%s' % (key, argument_text(values[key])) for key in sorted(values)]
    return ', '.join(parts) or 'the defaults'


# Matrices in the GL when getGL_MODELVIEW_PROJ reads them back: those that
# Viewport4 leaves with the defaults after one tick (row-major, as the module
# writes them).
def readback_matrices():
    c = 1 / np.tan(np.deg2rad(30))
    projection = np.array([[c, 0, 0, 0], [0, c, 0, 0],
                           [0, 0, -20.01 / 19.99, -0.4 / 19.99], [0, 0, -1, 0]])
    modelview = np.array([[1, 0, 0, 0], [0, 0.857492925712544, -0.514495755427527, -2.05798302],
                          [0, 0.514495755427527, 0.857492925712544, -2.40098019], [0, 0, 0, 1]])
    return modelview, projection


# -------------------------------------------------------------- requests ---

def image(value):
    return codec.encode(value, np)


def load_request(target, name, limit, observe=True, watch=(), size=None):
    """The load request of a worker: the file (or "compiled"), the name to
    load it under and the module's names that the worker reports on."""
    request = {'op': 'load', 'target': target, 'name': name, 'limit': limit,
               'observe': observe, 'functions': list(FUNCTIONS), 'globals': list(GLOBALS),
               'builders': list(BUILDERS)}
    if watch:
        request['watch'] = list(watch)
    if size is not None:
        request['size'] = size
    return request


def builder_request(index, limit, convert=None):
    """One argument set of a builder (with its angle converted, a probe)."""
    name, args, kwargs = builder_case(index, convert)
    request = {'op': 'builder', 'case': index, 'function': name,
               'args': [image(a) for a in args],
               'kwargs': dict((key, image(value)) for key, value in kwargs.items()),
               'limit': limit}
    if convert is not None:
        request['convert'] = convert
    return request


def state_image(name, extra_ticks=0):
    """A state as a worker makes it: {"name", "ticks", "globals"}."""
    _, ticks, values = state(name)
    return {'name': name, 'ticks': ticks + extra_ticks,
            'globals': dict((key, image(value)) for key, value in values.items())}


def prepare_request(limit):
    return {'op': 'prepare', 'states': [state_image(s) for s in STATE_NAMES], 'limit': limit}


def draw_request(function, state_name, limit):
    request = {'op': 'draw', 'function': function, 'state': state_image(state_name),
               'limit': limit}
    if function == 'getGL_MODELVIEW_PROJ':
        modelview, projection = readback_matrices()
        request['readback'] = {'modelview': image(modelview), 'projection': image(projection)}
    return request


def render_request(state_name, limit):
    """The frame of a picture state, after the host's own first tick too."""
    return {'op': 'render', 'state': state_image(state_name, HOST_TICKS), 'limit': limit}
