#!/usr/bin/env python
"""Movra host: a GLUT window around the Movra module's four viewports.

With a screen (DISPLAY set) it opens a window of side 2 x sizeViewport,
draws Movra.drawMain() on every display callback and advances the
animation with Movra.updateAnimationVariables() on a 33 ms timer; the
keyboard and the mouse move the first camera and change its view volume
(press h). Over the module's frame the host draws a label in each viewport,
a border between them and, on request, the matrices each viewport draws
its scene with (Overlay).

Without a screen, or with --headless, it starts its own Xvfb server, renders
a short animation (one animation tick between frames), reads every frame
back with glReadPixels and streams PNG frames plus one animated GIF to disk.

Before the first frame, and after the key r, the host runs one animation
tick: until its first tick the moving camera sits at the origin, on the
first camera, and viewport 4 shows one flat colour.

Run `python host/KestMain.py --help` for the options. The work is done by
the package kesthost beside this file, one module per job (its docstring
lists them); this file is the checkout's entry point, as the command
`movra` is the installed one.
"""
from __future__ import division, print_function

import sys

from kesthost.cli import main

if __name__ == '__main__':
    # main() imports kesthost.glut before OpenGL.GLUT and Movra, and says in
    # one line which package to install when a GL or GLUT library is missing.
    sys.exit(main())
else:
    # The module's docstrings name the window's constructor, Scene.display
    # and Window.timer_func as KestMain's: they are these.
    from kesthost import glut  # noqa: F401  (must come before OpenGL.GLUT and Movra)
    from kesthost.window import Scene, Window  # noqa: F401
