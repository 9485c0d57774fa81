"""The GLUT functions of the stand-in OpenGL.GLUT, each registered in
GLUT_FUNCS: the window and its callbacks kept on the state, the main loop
that runs ``glfake.on_main_loop``; run_display() and run_timers() call the
registered callbacks as GLUT's loop would."""
from __future__ import absolute_import

import glfake
from glfake.constants import _C
from glfake.errors import Fatal
from glfake.recording import _glut
from glfake.state import state


@_glut(None)
def glutInit(*args):
    if len(args) > 1:
        raise TypeError('glutInit() takes at most 1 argument (%d given)'
                        % len(args))
    return [str(a) for a in args[0]] if args else []


@_glut('i')
def glutInitDisplayMode(mode):
    state.display_mode = int(mode)


@_glut('ii')
def glutInitWindowSize(w, h):
    state.window_size = (int(w), int(h))


@_glut('ii')
def glutInitWindowPosition(x, y):
    state.window_position = (int(x), int(y))


@_glut('s')
def glutCreateWindow(title):
    """A window with a context of its own, made current. The first one
    takes the state as the calls before it left it (a test's set-up);
    every later one starts from a new context's state."""
    if state.windows:
        saved = state.save_context()
        state.reset_context()
        fresh = state.save_context()
        state.load_context(saved)
    state.windows.append(title)
    state.window_positions.append(tuple(state.window_position))
    window = len(state.windows)
    if window == 1:
        state.current_window = window
    else:
        state.contexts[window] = fresh
        state.make_current(window)
    # the context made current gets the window's size as viewport
    state.viewport = (0, 0) + tuple(state.window_size)
    return window


def _window(window):
    window = int(window)
    if not 1 <= window <= len(state.windows) or window in state.destroyed:
        raise Fatal('window %d does not exist (freeglut: "window ID %d not found")'
                    % (window, window))
    return window


def _current():
    if not state.current_window:
        raise Fatal('no current window (freeglut ends the process)')
    return state.current_window


@_glut('i')
def glutDestroyWindow(window):
    window = _window(window)
    state.destroyed.add(window)
    state.contexts.pop(window, None)
    if window == state.current_window:
        state.current_window = 0


@_glut('i')
def glutSetWindow(window):
    state.make_current(_window(window))


@_glut('')
def glutGetWindow():
    return state.current_window


@_glut('ii')
def glutPositionWindow(x, y):
    state.window_positions[_current() - 1] = (int(x), int(y))


@_glut('s')
def glutSetWindowTitle(title):
    if state.windows:
        state.windows[_current() - 1] = title


@_glut('ii')
def glutReshapeWindow(w, h):
    state.window_size = (int(w), int(h))


@_glut('c')
def glutDisplayFunc(func):
    state.display_func = func


@_glut('C')
def glutReshapeFunc(func):
    state.reshape_func = func


@_glut('C')
def glutKeyboardFunc(func):
    state.keyboard_func = func


@_glut('C')
def glutIdleFunc(func):
    state.idle_func = func


@_glut('ici')
def glutTimerFunc(msecs, func, value):
    state.timers.append((int(msecs), func, int(value)))


@_glut('')
def glutPostRedisplay():
    state.redisplay_requests += 1
    state.redisplay_windows.append(_current())


@_glut('i')
def glutPostWindowRedisplay(window):
    state.redisplay_requests += 1
    state.redisplay_windows.append(_window(window))


@_glut('')
def glutSwapBuffers():
    state.swaps += 1
    state.swapped_windows.append(state.current_window)


@_glut('C')
def glutSpecialFunc(func):
    state.special_func = func


@_glut('C')
def glutMouseFunc(func):
    state.mouse_func = func


@_glut('C')
def glutMotionFunc(func):
    state.motion_func = func


@_glut('C')
def glutCloseFunc(func):
    state.close_func = func


@_glut('ii')
def glutSetOption(what, value):
    state.options[int(what)] = int(value)


# The fonts' glyphs are 8 pixels wide and 13 high, the 8-by-13 font's.
_GLYPH_WIDTH, _GLYPH_HEIGHT = 8, 13


@_glut('oi')
def glutBitmapCharacter(font, character):
    pass


@_glut('oi')
def glutBitmapWidth(font, character):
    return _GLYPH_WIDTH


@_glut('o')
def glutBitmapHeight(font):
    return _GLYPH_HEIGHT


@_glut('')
def glutMainLoop():
    """Runs ``on_main_loop`` if a test set one, then returns (the real loop
    never returns)."""
    if glfake.on_main_loop is not None:
        glfake.on_main_loop()


@_glut('')
def glutLeaveMainLoop():
    pass


@_glut('i')
def glutGet(what):
    what = int(what)
    if what == _C['GLUT_ELAPSED_TIME']:
        return int(state.elapsed_ms)
    if what == _C['GLUT_WINDOW_WIDTH']:
        return state.window_size[0]
    if what == _C['GLUT_WINDOW_HEIGHT']:
        return state.window_size[1]
    if what == _C['GLUT_WINDOW_X']:
        return state.window_position[0]
    if what == _C['GLUT_WINDOW_Y']:
        return state.window_position[1]
    return 0


def run_display(window=None):
    """Call the display callback of `window` (an id; the current window by
    default), made current as GLUT makes it; returns its result."""
    if window is not None:
        state.make_current(_window(window))
    if state.display_func is None:
        raise Fatal('no display callback registered')
    return state.display_func()


def run_timers():
    """Fire all pending GLUT timers in registration order (timers registered
    while firing wait for the next call); returns how many were fired."""
    pending = list(state.timers)
    del state.timers[:]
    for _msecs, func, value in pending:
        func(value)
    return len(pending)
