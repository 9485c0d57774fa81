"""The Movra host, one module per job (the command `movra`, `python -m
kesthost` and host/KestMain.py are its entry points, all of them cli.main):

    cli       the command line: options, choosing the window or the files
    learner   a learner's own Movra.py (--module): loading it, or the report
    window    the GLUT window: the scene's frame, the callbacks, the timer
    beside    the learner's window beside Movra's (--beside), driven as one
    differences  the differing pixels and matrix entries, the magenta marks
    readback  the back buffer read with glReadPixels
    overlay   the viewport labels, the border and the matrices over a frame
    controls  the keys and the mouse, as plain functions on the module
    faults    the report of an exception that the module raised
    headless  a run without a screen: frames rendered, read back, handed on
    writer    the frame files: PNG frames and one animated GIF, one palette
    xvfb      a private X server for the runs without a screen
    glut      lets PyOpenGL load freeglut 3.x; the X display's checks
    listing   the module's facts as its Python listing states them

`pip install .` installs this package beside the module, with the command
`movra`, so that a host of one's own can use its window-less route and its
GLUT loader.
"""
import os
import sys

# The program's name in its messages: the command that pip installs, or the
# checkout's entry point (__main__.py names `python -m kesthost` itself).
PROG = ('movra' if sys.argv and os.path.basename(sys.argv[0] or '') == 'movra'
        else 'KestMain.py')
GIF_NAME = 'movra.gif'  # the headless run's animation, beside its PNG frames
