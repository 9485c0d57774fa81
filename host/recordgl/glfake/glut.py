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
    state.windows.append(title)
    if len(state.windows) == 1:
        # the first context made current gets the window's size as viewport
        state.viewport = (0, 0) + tuple(state.window_size)
    return len(state.windows)


@_glut('i')
def glutDestroyWindow(window):
    pass


@_glut('s')
def glutSetWindowTitle(title):
    if state.windows:
        state.windows[-1] = title


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


@_glut('')
def glutSwapBuffers():
    state.swaps += 1


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


def run_display():
    """Call the registered GLUT display callback; returns its result."""
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
