"""Keyboard and mouse controls of the Movra host, as plain Python functions.

Nothing here touches OpenGL: every control takes the Movra module (or any
object with the same attributes) and a ControlState, rebinds the module's
globals as attributes (module.pan = ...) and says what the window should do
next. kesthost.window maps GLUT's key callbacks onto handle_key() and its
mouse callbacks onto mouse_button() and mouse_motion(); the tests drive
these directly.

Keys follow one rule: a lower-case letter decreases a value, the same letter
in upper case increases it.
"""
from __future__ import division, print_function

import math

from kesthost import listing

# The module's configuration as it is when Movra is first imported, as the
# listing assigns it (a list as a tuple, so that no reset shares it). "reset"
# puts these values back; sizeViewport is left alone because it fixes the
# size of the window that is already open, and myQuadric because it is the
# quadric that initGL made for the frames.
KEPT_ON_RESET = ('sizeViewport', 'myQuadric')
DEFAULTS = tuple((name, tuple(value) if isinstance(value, list) else value)
                 for name, value in listing.MOVRA.defaults(leave_out=KEPT_ON_RESET))

# Step sizes. Pan and tilt stay whole degrees (the module's own values are
# ints) and stay inside +-PAN_TILT_LIMIT: the first camera looks at
# eye + (tan(pan), tan(tilt), -1), which runs off to infinity at 90 degrees.
ANGLE_STEP = 5
PAN_TILT_LIMIT = 80
EYE_STEP = 0.25
NEAR_STEP = 0.1
FAR_STEP = 0.5
MIN_NEAR = 0.1
MIN_DEPTH = 0.5          # far - near never drops below this
FOV_FACTOR = 1.1         # left/right/bottom/top are scaled by this
MIN_HALF_WIDTH = 0.05    # the frustum never shrinks below this at the near plane
MAX_HALF_WIDTH = 20.0

ESCAPE = '\x1b'


# Mouse: GLUT's button numbers (the wheel arrives as buttons 3 and 4).
LEFT_BUTTON = 0
RIGHT_BUTTON = 2
WHEEL_UP = 3
WHEEL_DOWN = 4
PIXELS_PER_DEGREE = 2    # a left drag turns the first camera 1 degree per 2 pixels
EYE_PER_PIXEL = 0.01     # a right drag moves it 0.01 per pixel


class ControlState(object):
    """What the host itself keeps between key presses and mouse events."""

    def __init__(self):
        self.paused = False
        self.pending_steps = 0   # animation ticks to run now, also while paused
        self.quit = False
        self.labels = True       # viewport labels and the border between viewports
        self.matrices = False    # the live matrices overlay
        self.print_matrices = False   # print the matrices of the next frame
        self.drag = None         # (button, x, y) of a drag in progress
        # A run with a learner's module (--module) beside Movra's:
        self.compare = False     # d and v then mark the differences and swap
        self.diff = False        # the differing pixels marked in magenta
        self.swapped = False     # the two pictures' places exchanged


class Outcome(object):
    """What a key press asks of the window."""

    def __init__(self, key, name=None, changed=False, message=None,
                 redisplay=False, quit=False, known=True, replay=None):
        self.key = key
        self.name = name
        self.changed = changed        # a module global was rebound
        self.message = message        # a line to print, if any
        self.redisplay = redisplay    # the scene needs drawing again
        self.quit = quit
        self.known = known
        # replay(module): the same change made to another module, from its
        # own values (None when the module's globals were not touched), so
        # that a second module driven beside the first gets every key and
        # every drag too.
        self.replay = replay

    def __repr__(self):
        return 'Outcome(%r, name=%r, changed=%r, redisplay=%r, quit=%r)' % (
            self.key, self.name, self.changed, self.redisplay, self.quit)


def _clamp(value, low, high):
    return max(low, min(high, value))


def _step_angle(attr, delta):
    def control(module, state):
        old = int(getattr(module, attr))
        new = _clamp(old + delta, -PAN_TILT_LIMIT, PAN_TILT_LIMIT)
        setattr(module, attr, new)
        return new != old
    return control


def _step_eye(attr, delta):
    def control(module, state):
        # Rounded so that repeated steps land on exact quarters again.
        setattr(module, attr, round(float(getattr(module, attr)) + delta, 6))
        return True
    return control


def _step_near(delta):
    def control(module, state):
        old = float(module.near)
        new = _clamp(round(old + delta, 6), MIN_NEAR, float(module.far) - MIN_DEPTH)
        if new == old or new < MIN_NEAR:
            return False
        module.near = new
        return True
    return control


def _step_far(delta):
    def control(module, state):
        old = float(module.far)
        new = max(round(old + delta, 6), float(module.near) + MIN_DEPTH)
        if new == old:
            return False
        module.far = new
        return True
    return control


def _scale_frustum(factor):
    def control(module, state):
        sides = [float(getattr(module, name)) for name in ('left', 'right', 'bottom', 'top')]
        scaled = [side * factor for side in sides]
        widest = max(abs(side) for side in scaled)
        narrowest = min(abs(scaled[1] - scaled[0]), abs(scaled[3] - scaled[2])) / 2
        if widest > MAX_HALF_WIDTH or narrowest < MIN_HALF_WIDTH:
            return False
        for name, value in zip(('left', 'right', 'bottom', 'top'), scaled):
            setattr(module, name, round(value, 9))
        return True
    return control


def _toggle_viewport4(module, state):
    module.viewport4Sol1 = not bool(module.viewport4Sol1)
    return True


def _toggle_pause(module, state):
    state.paused = not state.paused
    state.pending_steps = 0
    return False


def _single_step(module, state):
    # A step always leaves the animation paused, so that it can be followed
    # one tick at a time.
    state.paused = True
    state.pending_steps += 1
    return False


def _print_matrices(module, state):
    # The matrices are read from GL while the next frame draws (kesthost.overlay).
    state.print_matrices = True
    return False


def _toggle_labels(module, state):
    state.labels = not state.labels
    return False


def _toggle_matrices(module, state):
    state.matrices = not state.matrices
    return False


def _reset(module, state):
    for name, value in DEFAULTS:
        setattr(module, name, list(value) if isinstance(value, tuple) else value)
    # One tick puts the moving camera back on its orbit: before its first
    # tick it sits at the origin, on the first camera.
    state.pending_steps += 1
    return True


def _toggle_diff(module, state):
    state.diff = not state.diff
    return False


def _swap(module, state):
    state.swapped = not state.swapped
    return False


def _help(module, state):
    return False


def _quit(module, state):
    state.quit = True
    return False


# key -> (name shown in the help, what it does, control function).
# Arrow keys arrive from GLUT's special-key callback; the window passes them
# on under the names LEFT/RIGHT/UP/DOWN.
KEYS = (
    ('a', 'pan-left', 'pan the first camera 5 degrees to the left', _step_angle('pan', -ANGLE_STEP)),
    ('d', 'pan-right', 'pan the first camera 5 degrees to the right', _step_angle('pan', +ANGLE_STEP)),
    ('LEFT', 'pan-left', 'same as a', _step_angle('pan', -ANGLE_STEP)),
    ('RIGHT', 'pan-right', 'same as d', _step_angle('pan', +ANGLE_STEP)),
    ('s', 'tilt-down', 'tilt the first camera 5 degrees down', _step_angle('tilt', -ANGLE_STEP)),
    ('w', 'tilt-up', 'tilt the first camera 5 degrees up', _step_angle('tilt', +ANGLE_STEP)),
    ('DOWN', 'tilt-down', 'same as s', _step_angle('tilt', -ANGLE_STEP)),
    ('UP', 'tilt-up', 'same as w', _step_angle('tilt', +ANGLE_STEP)),
    ('x', 'eye-x-', 'move the first camera 0.25 along -x', _step_eye('eyeX', -EYE_STEP)),
    ('X', 'eye-x+', 'move the first camera 0.25 along +x', _step_eye('eyeX', +EYE_STEP)),
    ('y', 'eye-y-', 'move the first camera 0.25 along -y', _step_eye('eyeY', -EYE_STEP)),
    ('Y', 'eye-y+', 'move the first camera 0.25 along +y', _step_eye('eyeY', +EYE_STEP)),
    ('z', 'eye-z-', 'move the first camera 0.25 along -z (towards the cube)', _step_eye('eyeZ', -EYE_STEP)),
    ('Z', 'eye-z+', 'move the first camera 0.25 along +z (away from the cube)', _step_eye('eyeZ', +EYE_STEP)),
    ('n', 'near-', 'move the near plane 0.1 closer (not below 0.1)', _step_near(-NEAR_STEP)),
    ('N', 'near+', 'move the near plane 0.1 further (stays 0.5 before far)', _step_near(+NEAR_STEP)),
    ('f', 'far-', 'move the far plane 0.5 closer (stays 0.5 behind near)', _step_far(-FAR_STEP)),
    ('F', 'far+', 'move the far plane 0.5 further', _step_far(+FAR_STEP)),
    ('v', 'fov-', 'narrow the field of view: left/right/bottom/top / 1.1', _scale_frustum(1 / FOV_FACTOR)),
    ('V', 'fov+', 'widen the field of view: left/right/bottom/top x 1.1', _scale_frustum(FOV_FACTOR)),
    ('4', 'viewport4', 'switch viewport 4 between the GLU set-up and the module\'s own matrices', _toggle_viewport4),
    (' ', 'pause', 'pause or resume the animation', _toggle_pause),
    ('.', 'step', 'pause and advance the animation by one tick', _single_step),
    ('l', 'labels', 'show or hide the viewport labels and the border', _toggle_labels),
    ('i', 'overlay', 'show or hide each viewport\'s projection and modelview matrices', _toggle_matrices),
    ('m', 'matrices', 'print each viewport\'s projection and modelview matrices', _print_matrices),
    ('r', 'reset', 'reset the module\'s globals to their defaults, then one tick', _reset),
    ('h', 'help', 'print this list', _help),
    ('?', 'help', 'same as h', _help),
    ('q', 'quit', 'quit', _quit),
    (ESCAPE, 'quit', 'same as q', _quit),
)

KEY_TABLE = dict((key, (name, control)) for key, name, _, control in KEYS)

# In a run with a learner's module these keys take the place of the same
# keys above (d: pan right, v: narrower field of view, which stay on the Right
# arrow, the left drag and the wheel).
COMPARE_KEYS = (
    ('d', 'diff', 'mark in magenta the pixels where your frame differs from Movra\'s, '
                  'with the share per viewport', _toggle_diff),
    ('v', 'swap', 'swap the two pictures: their places beside each other, or which '
                  'one a single window shows', _swap),
)
COMPARE_KEY_TABLE = dict((key, (name, control)) for key, name, _, control in COMPARE_KEYS)
# The keys that change a module's globals: the ones a second module replays.
MODULE_KEYS = frozenset(('pan-left', 'pan-right', 'tilt-down', 'tilt-up', 'eye-x-', 'eye-x+',
                         'eye-y-', 'eye-y+', 'eye-z-', 'eye-z+', 'near-', 'near+', 'far-',
                         'far+', 'fov-', 'fov+', 'viewport4', 'reset'))


def key_label(key):
    return {' ': 'Space', ESCAPE: 'Esc', 'LEFT': 'Left', 'RIGHT': 'Right',
            'UP': 'Up', 'DOWN': 'Down'}.get(key, key)


MOUSE = (
    ('left drag in viewport 1', 'pan and tilt the first camera (1 degree per 2 pixels)'),
    ('right drag', 'move the first camera along x and y (0.01 per pixel)'),
    ('wheel', 'narrow (up) or widen (down) the field of view, as v and V'),
)


def keys(compare=False):
    """The key table in force: KEYS, with COMPARE_KEYS in place of the same
    keys in a run with a learner's module."""
    if not compare:
        return KEYS
    replaced = dict((entry[0], entry) for entry in COMPARE_KEYS)
    return tuple(replaced.get(entry[0], entry) for entry in KEYS)


def help_text(compare=False):
    lines = ['Movra keys:']
    for key, name, description, _ in keys(compare):
        lines.append('  %-6s %s' % (key_label(key), description))
    lines.append('Mouse:')
    for what, description in MOUSE:
        lines.append('  %s: %s' % (what, description))
    return '\n'.join(lines)


def normalise_key(key):
    """GLUT hands keys over as byte strings (or ints); make them text."""
    if isinstance(key, int):
        return chr(key) if 0 <= key < 256 else None
    if isinstance(key, bytes):
        try:
            return key.decode('latin-1')
        except UnicodeDecodeError:
            return None
    return key


def field_of_view(module):
    """Vertical field of view of the first camera, in degrees."""
    near = float(module.near)
    return math.degrees(math.atan2(float(module.top), near)
                        - math.atan2(float(module.bottom), near))


def status_line(module, state=None):
    text = ('pan=%d tilt=%d eye=(%.2f, %.2f, %.2f) near=%.2f far=%.2f '
            'frustum=[%.3f, %.3f]x[%.3f, %.3f] fov=%.1f viewport4=%s' % (
                int(module.pan), int(module.tilt),
                float(module.eyeX), float(module.eyeY), float(module.eyeZ),
                float(module.near), float(module.far),
                float(module.left), float(module.right),
                float(module.bottom), float(module.top),
                field_of_view(module),
                'GLU' if module.viewport4Sol1 else 'own matrices'))
    if state is not None and state.paused:
        text += ' [paused]'
    return text


def handle_key(key, module, state, plain=False):
    """Carry out one key press and return what the window has to do
    (plain: the key as KEYS has it, also in a run with a learner's module)."""
    key = normalise_key(key)
    entry = (COMPARE_KEY_TABLE.get(key) if state.compare and not plain else None) \
        or KEY_TABLE.get(key)
    if entry is None:
        return Outcome(key, known=False,
                       message='unknown key %r (h lists the keys)' % (key,))
    name, control = entry
    changed = bool(control(module, state))
    replay = None
    if name in MODULE_KEYS:
        def replay(other):
            # The host's own state (pause, the pending tick of a reset) is
            # changed once, by the first module's key.
            return bool(control(other, ControlState()))
    if name == 'help':
        message = help_text(state.compare)
    elif name == 'diff':
        message = 'differences %s' % ('marked' if state.diff else 'not marked')
    elif name == 'swap':
        message = 'pictures swapped' if state.swapped else 'pictures in their places'
    elif name == 'pause':
        message = 'animation paused' if state.paused else 'animation running'
    elif name == 'step':
        message = 'animation paused: one tick'
    elif name in ('matrices', 'quit'):
        message = None
    elif name == 'labels':
        message = 'labels %s' % ('shown' if state.labels else 'hidden')
    elif name == 'overlay':
        message = 'matrices overlay %s' % ('shown' if state.matrices else 'hidden')
    elif changed:
        message = status_line(module, state)
    else:
        message = status_line(module, state) + ' (limit reached, nothing changed)'
    return Outcome(key, name=name, changed=changed, message=message,
                   redisplay=changed or name in ('step', 'labels', 'overlay', 'matrices',
                                                 'diff', 'swap'),
                   quit=state.quit, replay=replay)


# ---------------------------------------------------------------- mouse ---

def viewport_at(x, y, size, window_height):
    """The viewport (1 to 4) under window pixel (x, y), or None.

    GLUT counts y from the top of the window, GL from the bottom; the
    viewports are the quadrants of side `size` from the lower-left corner
    (viewport 1 lower left, 2 lower right, 3 upper left, 4 upper right).
    """
    size = int(size)
    if size <= 0:
        return None
    gl_y = int(window_height) - 1 - int(y)
    column, row = int(x) // size, gl_y // size
    if not (0 <= column < 2 and 0 <= row < 2):
        return None
    return 1 + column + 2 * row


def _changed(name, module, state, changed, replay=None):
    if not changed:
        return Outcome(None, name=name, known=True, replay=replay)
    return Outcome(None, name=name, changed=True, redisplay=True,
                   message=status_line(module, state), replay=replay)


def _turn(module, steps):
    """Add whole degrees to pan and tilt, within the limits; True when one
    of them changed."""
    changed = False
    for name, step in steps:
        if step:
            old = int(getattr(module, name))
            new = _clamp(old + step, -PAN_TILT_LIMIT, PAN_TILT_LIMIT)
            if new != old:
                setattr(module, name, new)
                changed = True
    return changed


def _shift_eye(module, moves):
    """Move the eye by pixels along x and y; True when it moved."""
    changed = False
    for name, pixels in moves:
        if pixels:
            setattr(module, name, round(float(getattr(module, name)) + pixels * EYE_PER_PIXEL, 6))
            changed = True
    return changed


def mouse_button(button, down, x, y, module, state, window_height):
    """A press or release of a mouse button at window pixel (x, y)."""
    button = int(button)
    if button in (WHEEL_UP, WHEEL_DOWN):
        if not down:            # GLUT reports every wheel step as a press and a release
            return Outcome(None, name='wheel', known=True)
        return handle_key('v' if button == WHEEL_UP else 'V', module, state, plain=True)
    if not down:
        if state.drag is not None and state.drag[0] == button:
            state.drag = None
        return Outcome(None, name='release', known=True)
    if button == LEFT_BUTTON:
        if viewport_at(x, y, module.sizeViewport, window_height) != 1:
            return Outcome(None, name='press', known=False)
        state.drag = (button, int(x), int(y))
        return Outcome(None, name='drag-start', known=True)
    if button == RIGHT_BUTTON:
        if viewport_at(x, y, module.sizeViewport, window_height) is None:
            return Outcome(None, name='press', known=False)
        state.drag = (button, int(x), int(y))
        return Outcome(None, name='drag-start', known=True)
    return Outcome(None, name='press', known=False)


def _whole_degrees(pixels):
    """Degrees for a move of `pixels`, toward zero, and the pixels they use."""
    degrees = int(float(pixels) / PIXELS_PER_DEGREE)
    return degrees, degrees * PIXELS_PER_DEGREE


def mouse_motion(x, y, module, state):
    """The pointer moved to (x, y) with a button held."""
    if state.drag is None:
        return Outcome(None, name='motion', known=False)
    button, last_x, last_y = state.drag
    dx, dy = int(x) - last_x, last_y - int(y)       # dy: upwards on the screen
    if button == LEFT_BUTTON:
        pan, used_x = _whole_degrees(dx)
        tilt, used_y = _whole_degrees(dy)
        # Pixels that do not make a whole degree yet count towards the next.
        state.drag = (button, last_x + used_x, last_y - used_y)
        steps = (('pan', pan), ('tilt', tilt))
        return _changed('drag-pan-tilt', module, state, _turn(module, steps),
                        lambda other: _turn(other, steps))
    state.drag = (button, int(x), int(y))
    moves = (('eyeX', dx), ('eyeY', dy))
    return _changed('drag-eye', module, state, _shift_eye(module, moves),
                    lambda other: _shift_eye(other, moves))
