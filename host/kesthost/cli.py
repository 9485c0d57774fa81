"""The command line of the host (the command `movra`, `python -m kesthost`
and host/KestMain.py): the options, and the choice between the window and
the headless run, with the exit status and the one-line messages of what
stops a run before it starts, a missing system part among them, named by
the Debian package to install.

Run `movra --help` for the options.
"""
from __future__ import division, print_function

import argparse
import os
import sys
import warnings

# No OpenGL here: what imports it (glut, headless, window) is imported by
# main(), which reports a missing GL or GLUT library in one line.
from kesthost import GIF_NAME, PROG, controls, learner, xvfb

DEFAULT_FRAMES = 60     # headless frames when --frames is not given
DEFAULT_OUT = 'out'
MIN_SIZE = 16           # smallest and largest accepted sizeViewport
MAX_SIZE = 4096
MAX_FRAMES = 100000


def _int_in_range(what, low, high):
    def convert(text):
        try:
            value = int(text, 10)
        except (TypeError, ValueError):
            raise argparse.ArgumentTypeError(
                '%s must be a whole number, got %r' % (what, text))
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(
                '%s must be between %d and %d, got %d' % (what, low, high, value))
        return value
    return convert


def build_parser():
    keys = controls.help_text().splitlines()[1:]
    parser = argparse.ArgumentParser(
        prog=PROG,
        description='Show the Movra scene in its four viewports.\n\n'
                    'With a screen (DISPLAY set) this opens an interactive window;\n'
                    'press h in it for the keys. Without a screen, or with --headless,\n'
                    'it starts its own Xvfb, renders a short animation and writes\n'
                    'PNG frames and an animated GIF.\n\n'
                    'Before the first frame (and after the key r) the animation\n'
                    'advances by one tick, so that the moving camera is on its orbit\n'
                    'from the start.',
        epilog='Keys in the window:\n' + '\n'.join(keys) +
               '\nWith --module, in place of d and v:\n' + '\n'.join(
                   '  %-6s %s' % (key, description)
                   for key, _, description, _ in controls.COMPARE_KEYS),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        '-n', '--frames', type=_int_in_range('the number of frames', 1, MAX_FRAMES),
        default=DEFAULT_FRAMES, metavar='N',
        help='headless only: number of frames to render, one animation tick '
             'apart (default: %(default)s)')
    parser.add_argument(
        '-o', '--out', default=DEFAULT_OUT, metavar='DIR',
        help='headless only: folder for frame_NNNN.png and ' + GIF_NAME +
             ' (default: %(default)s); frames of an earlier run there are replaced')
    parser.add_argument(
        '-s', '--size', type=_int_in_range('the viewport size', MIN_SIZE, MAX_SIZE),
        default=None, metavar='PIXELS',
        help="side of each of the four square viewports, sets the module's "
             "sizeViewport; the window is twice as wide and high "
             "(default: the module's own value, 350)")
    parser.add_argument(
        '--headless', action='store_true',
        help='render to files through a private Xvfb even when a screen is available')
    parser.add_argument(
        '--no-labels', action='store_true',
        help='draw neither the viewport labels nor the border between the '
             'viewports (the key l toggles them in the window)')
    parser.add_argument(
        '--matrices', action='store_true',
        help='show in each viewport the projection and modelview matrices it '
             'draws its scene with (the key i toggles them in the window); with '
             '--beside, both modules\' matrices, the entries of yours that differ '
             'marked')
    parser.add_argument(
        '--module', metavar='PATH',
        help='draw your own Movra.py (the file at PATH, loaded as Python imports '
             'a file) instead of the compiled module; Movra\'s is driven in step '
             'with it, and the key v shows the other one')
    parser.add_argument(
        '--beside', action='store_true',
        help='with --module: your module and Movra\'s side by side, two windows '
             '(headless: each frame the pair), every key, drag and tick to both')
    parser.add_argument(
        '--diff', action='store_true',
        help='with --module, implies --beside: mark in magenta the pixels where '
             'your frame differs from Movra\'s, with the share per viewport (the '
             'key d toggles it in the window)')
    return parser


def parse_args(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.diff:
        args.beside = True
    if args.beside and not args.module:
        parser.error('--%s needs --module PATH, the module to show beside Movra\'s'
                     % ('diff' if args.diff else 'beside'))
    return args


GL_HINT = 'install the Debian package libgl1 (apt-get install libgl1)'


def load_gl():
    """kesthost.glut first (it must come before OpenGL.GLUT and Movra),
    then the window and the headless run: (run_window, run_headless, glut).
    A missing GL or GLUT library stops with the package that brings it."""
    try:
        from kesthost import glut
    except ImportError as error:    # GlutNotFound names the package to install
        raise SystemExit('%s: error: %s' % (PROG, error))
    from OpenGL.platform import PLATFORM
    try:
        library = PLATFORM.GL   # PyOpenGL 3.1.5 gives None, later ones raise
    except ImportError:
        library = None
    if library is None:
        raise SystemExit('%s: error: no OpenGL library found: %s' % (PROG, GL_HINT))
    from kesthost.headless import run_headless
    from kesthost.window import run_window
    return run_window, run_headless, glut


def load_movra():
    """Import the compiled module, or explain how to install it."""
    try:
        import Movra
    except ImportError as error:
        raise SystemExit('%s: error: cannot import Movra (%s); install it with '
                         '`pip install .` from a checkout, or run `make run` there'
                         % (PROG, error))
    return Movra


def load_modules(args):
    """(the module drawn, its name or None, Movra's beside it or None, the
    partners driven in step): the compiled module alone, or the learner's
    file with Movra's. Movra's is imported first, so that a learner's file
    called Movra.py does not take its place."""
    if not args.module:
        return load_movra(), None, None, []
    if args.beside:
        movra = load_movra()
    else:
        try:
            import Movra as movra
        except ImportError:
            movra = None        # the key v then has nothing to swap with
    try:
        module = learner.load(args.module)
    except learner.LoadError as error:
        sys.stderr.write('%s: error: %s\n%s' % (PROG, error, error.details))
        raise SystemExit(1)
    name = learner.display_name(args.module)
    missing = learner.missing_entries(module)
    if missing:
        print('%s: note: %s defines no %s; each call of it fails and is reported'
              % (PROG, name, ', '.join(missing)), file=sys.stderr)
    if args.beside:
        return module, name, movra, []
    from kesthost.window import Driven     # after load_gl(), as it imports OpenGL
    partners = [Driven(movra, None)] if movra is not None else []
    return module, name, None, partners


def main(argv=None):
    args = parse_args(argv)
    # The module's matrix builders return numpy.matrix by design, and numpy
    # warns of it for every matrix made; a debug interpreter's default
    # filters, unlike a release build's, would print each of those warnings.
    warnings.filterwarnings('ignore', 'the matrix subclass is not the recommended way',
                            PendingDeprecationWarning)
    run_window, run_headless, glut = load_gl()
    module, name, beside, partners = load_modules(args)
    others = [beside] if beside is not None else [driven.module for driven in partners]
    try:
        size = args.size if args.size is not None else (
            int(beside.sizeViewport) if beside is not None else None)
        if size is not None:
            if beside is not None and getattr(module, 'sizeViewport', size) != size:
                print('%s: note: %s\'s sizeViewport %r is set to %d, the size of the '
                      'window beside Movra\'s' % (PROG, name, module.sizeViewport, size))
            for each in [module] + others:
                each.sizeViewport = size
        int(module.sizeViewport)
    except Exception as error:
        print('%s: error: %s has no usable sizeViewport (%s: %s), which sets the size of '
              'the window' % (PROG, name or 'Movra', type(error).__name__, error),
              file=sys.stderr)
        return 1
    display = os.environ.get('DISPLAY')
    headless = args.headless or not display
    labels = not args.no_labels
    try:
        if headless:
            if not args.headless:
                print('no DISPLAY: rendering %d frames headless' % args.frames)
            return run_headless(module, args.frames, args.out, labels, args.matrices,
                                name=name, partners=partners, beside=beside, diff=args.diff)
        problem = glut.display_problem(display)
        if problem is not None:
            print('%s: error: %s; use --headless to render to files without a screen'
                  % (PROG, problem), file=sys.stderr)
            return 1
        if beside is not None:
            from kesthost.beside import run_beside
            return run_beside(module, beside, name, labels, args.matrices, args.diff)
        return run_window(module, labels, args.matrices, name=name, partners=partners)
    except KeyboardInterrupt:
        print('%s: interrupted' % PROG, file=sys.stderr)
        return 130
    except (xvfb.XvfbError, IOError, OSError) as error:
        print('%s: error: %s' % (PROG, error), file=sys.stderr)
        return 1
