"""Let PyOpenGL find freeglut 3.x before anything imports OpenGL.GLUT.

PyOpenGL 3.1.5 looks for GLUT only as libglut.so.0 ... libglut.so.9.
freeglut 3.4 (Debian 12) installs libglut.so.3.12, so PyOpenGL loads no
GLUT library at all and every glut* call fails with NullFunctionError.
Importing this module loads the library the system linker knows as "glut"
and hands it to PyOpenGL's platform object. It changes nothing on disk and
does nothing when PyOpenGL found a GLUT library by itself.

Import it before OpenGL.GLUT and before Movra (which imports OpenGL.GLUT):
GLUT's Python functions are bound to the library when OpenGL.GLUT is first
imported.
"""
import ctypes
import ctypes.util
import sys


# freeglut's library package: Debian 12's name (Debian 11 called it freeglut3).
GLUT_HINT = 'install the Debian package libglut3.12 (apt-get install libglut3.12)'


class GlutNotFound(ImportError):
    pass


def _load():
    from OpenGL.platform import PLATFORM
    if getattr(PLATFORM, 'GLUT', None) is not None:
        return PLATFORM.GLUT
    if 'OpenGL.GLUT' in sys.modules:
        raise GlutNotFound('OpenGL.GLUT was imported before kesthost.glut and found '
                           'no GLUT library; import kesthost.glut first')
    candidates = []
    found = ctypes.util.find_library('glut')
    if found:
        candidates.append(found)
    candidates.append('libglut.so')
    errors = []
    for name in candidates:
        try:
            library = ctypes.CDLL(name, ctypes.RTLD_GLOBAL)
        except OSError as error:
            errors.append('%s: %s' % (name, error))
            continue
        PLATFORM.GLUT = library
        return library
    raise GlutNotFound('no GLUT library found (%s): %s' % ('; '.join(errors), GLUT_HINT))


GLUT_LIBRARY = _load()


def glut_exit():
    """freeglut's glutExit(): destroy all windows, close the X connection.

    PyOpenGL 3.1.5 has no wrapper for it; returns False when the GLUT
    library has no such function (GLUT implementations other than freeglut).
    """
    try:
        function = GLUT_LIBRARY.glutExit
    except AttributeError:
        return False
    function.restype = None
    function.argtypes = []
    function()
    return True


def display_problem(name):
    """Why the X display `name` cannot be opened, or None when it can.

    Asked of Xlib before glutInit, because freeglut, failing to open the
    display, prints its own message and ends the process. When there is no
    Xlib to ask, the answer is None and GLUT finds out for itself.
    """
    try:
        xlib = ctypes.CDLL(ctypes.util.find_library('X11') or 'libX11.so.6')
    except OSError:
        return None
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    if not isinstance(name, bytes):
        name = name.encode('utf-8', 'replace')
    connection = xlib.XOpenDisplay(name)
    if not connection:
        return "cannot open the X display '%s' named by DISPLAY" % name.decode('utf-8', 'replace')
    xlib.XCloseDisplay(connection)
    return None
