"""What the host draws over the module's frame: each viewport's label in its
upper-left corner, a border between the viewports and, on request, the
projection and modelview matrices each viewport draws its scene with (read
from GL while the frame draws), in GLUT bitmap fonts.
"""
from __future__ import division, print_function

import contextlib

import numpy as np

from kesthost import differences, glut  # noqa: F401  (glut before OpenGL.GLUT)
from OpenGL import GL, GLUT


try:
    # GL's own call: PyOpenGL's glCallLists takes 0.5 ms a line to look at
    # its argument (Python 3.13), GL's a tenth of that; the overlay draws
    # some twelve lines a frame in each window, thirty with the matrices.
    from OpenGL.raw.GL.VERSION.GL_1_0 import glCallLists as _call_lists
except ImportError:         # a GL without PyOpenGL's raw layer (the recording GL)
    _call_lists = None


LABEL_TEXTS = {1: '1 first camera', 2: '2 overview', 3: '3 normalised view'}
VIEWPORT4_LABELS = {True: '4 moving camera (GLU)', False: '4 moving camera (own matrices)'}
# Colours as 8-bit values, so that a frame holds exactly these.
TEXT_RGB = (178, 230, 255)         # pale blue: no figure of the scene has it
BORDER_RGB = (76, 76, 76)
TEXT_COLOUR = tuple(value / 255.0 for value in TEXT_RGB)
BORDER_COLOUR = tuple(value / 255.0 for value in BORDER_RGB)
MARK_COLOUR = tuple(value / 255.0 for value in differences.MARK_RGB)
TEXT_MARGIN = 4                    # pixels between a viewport's edge and its text


def viewport_labels(module, name=None):
    """The label of each viewport, by viewport number; with the module's
    name after each when one is given (a run with a learner's module)."""
    labels = dict(LABEL_TEXTS)
    labels[4] = VIEWPORT4_LABELS[bool(module.viewport4Sol1)]
    if name:
        labels = dict((number, '%s  %s' % (text, name)) for number, text in labels.items())
    return labels


def quadrant_origins(size):
    """Lower-left corner of each viewport in GL window coordinates."""
    return {1: (0, 0), 2: (size, 0), 3: (0, size), 4: (size, size)}


def format_number(value):
    text = '%7.3f' % value
    return '%7.3f' % 0.0 if float(text) == 0.0 else text    # no "-0.000"


def matrix_lines(projection, modelview):
    """The overlay's text for one viewport, three decimals, rows as written."""
    lines = ['projection']
    lines += [' '.join(format_number(v) for v in row) for row in projection]
    lines.append('modelview')
    lines += [' '.join(format_number(v) for v in row) for row in modelview]
    return lines


def compared_lines(yours, movra, name='yours'):
    """Both modules' matrices for one viewport: each as (text, marked)
    segments, the entries of yours that differ from Movra's marked; either
    pair may be None (that module drew no scene there)."""
    lines = []
    for which, index in (('projection', 0), ('modelview', 1)):
        mine = yours[index] if yours is not None else None
        theirs = movra[index] if movra is not None else None
        differ = (differences.entries_differ(mine, theirs)
                  if mine is not None and theirs is not None else None)
        for owner, matrix in ((name, mine), ('Movra', theirs)):
            lines.append([('%s %s' % (owner, which), False)])
            if matrix is None:
                lines.append([('(no scene drawn)', False)])
                continue
            for i, row in enumerate(matrix):
                segments = []
                for j, value in enumerate(row):
                    marked = differ is not None and owner != 'Movra' and bool(differ[i][j])
                    segments.append(((' ' if j else '') + format_number(value), marked))
                lines.append(segments)
    return lines


class BitmapFont(object):
    """A GLUT bitmap font compiled into display lists of the current context.

    One glCallLists per line instead of a glutBitmapCharacter per character:
    the matrices overlay draws some 1200 characters a frame.
    """

    FIRST, LAST = 32, 126       # printable ASCII; anything else is shown as '?'

    def __init__(self, font):
        self.base = GL.glGenLists(self.LAST + 1)
        if not self.base:
            raise RuntimeError('glGenLists found no free display lists for a font')
        self.widths = [0] * (self.LAST + 1)
        for code in range(self.FIRST, self.LAST + 1):
            GL.glNewList(self.base + code, GL.GL_COMPILE)
            GLUT.glutBitmapCharacter(font, code)
            GL.glEndList()
            self.widths[code] = int(GLUT.glutBitmapWidth(font, code))
        self.height = int(GLUT.glutBitmapHeight(font)) if bool(GLUT.glutBitmapHeight) else 14
        self.descent = self.height // 4
        self.ascent = self.height - self.descent

    def clean(self, text):
        return ''.join(c if self.FIRST <= ord(c) <= self.LAST else '?' for c in text)

    def fit(self, text, room):
        """The longest start of `text` that is at most `room` pixels wide."""
        used = 0
        for count, char in enumerate(text):
            used += self.widths[ord(char)]
            if used > room:
                return text[:count]
        return text

    def width(self, text):
        return sum(self.widths[ord(c)] for c in text)

    def draw(self, text):
        GL.glListBase(self.base)
        codes = text.encode('ascii')
        if _call_lists is not None:
            _call_lists(len(codes), GL.GL_UNSIGNED_BYTE, codes)
        else:
            GL.glCallLists(codes)


@contextlib.contextmanager
def _matrix_kept(mode):
    """The matrix of `mode` as it was before the block, whatever the block
    does to it."""
    GL.glMatrixMode(mode)
    GL.glPushMatrix()
    try:
        yield
    finally:
        GL.glMatrixMode(mode)
        GL.glPopMatrix()


class Overlay(object):
    """What the host draws over the module's frame, and the matrices behind it.

    Labels: each viewport's name in its upper-left corner and a border
    between the viewports (state.labels). Matrices: the projection and
    modelview matrices that each viewport draws its scene with
    (state.matrices), and a printed report of them (state.print_matrices).

    The matrices are read from GL at the moment they are used: the module
    looks drawScene up by name every time a viewport calls it, so while
    they are wanted the module's drawScene is replaced by a function that
    reads GL_PROJECTION_MATRIX and GL_MODELVIEW_MATRIX and then calls the
    module's own function; the original is put back as soon as they are
    not wanted. GL_VIEWPORT says which viewport is drawing.

    Drawing saves every GL attribute and both matrices and restores them,
    so the module's next frame starts from the state it left. No exception
    from here reaches the display callback: it is reported as the module's
    are, and the frame goes on.
    """

    def __init__(self, module, state, faults, say, name=None):
        self.module = module
        self.state = state
        self.faults = faults
        self.say = say
        self.name = name       # the module's name in the labels, if any
        # Beside Movra's: the overlay of Movra's window, whose matrices are
        # shown below this module's, and the share of differing pixels in
        # each viewport (None while the differences are not marked).
        self.partner = None
        self.shares = None
        self.prints = True     # False: the key m's report is the other window's
        self.captured = {}     # viewport -> (projection, modelview) as row-major arrays
        self.labels = {}       # viewport -> its label when its matrices were read
        self._original = None  # the module's drawScene while the wrapper stands in
        self._wrapper = None
        self._fonts = {}

    # -- reading the matrices --
    def wanted(self):
        return bool(self.state.matrices or self.state.print_matrices)

    def install(self):
        if self._wrapper is not None and getattr(self.module, 'drawScene', None) is self._wrapper:
            return
        original = self.module.drawScene
        capture = self.capture

        def drawScene(*args, **kwargs):
            capture()
            return original(*args, **kwargs)
        drawScene.__doc__ = getattr(original, '__doc__', None)
        self._original, self._wrapper = original, drawScene
        self.module.drawScene = drawScene

    def remove(self):
        if self._wrapper is None:
            return
        if getattr(self.module, 'drawScene', None) is self._wrapper:
            self.module.drawScene = self._original
        self._original = self._wrapper = None

    def capture(self):
        try:
            x, y = [int(v) for v in GL.glGetIntegerv(GL.GL_VIEWPORT)[:2]]
            number = 1 + (1 if x > 0 else 0) + (2 if y > 0 else 0)
            projection = np.array(GL.glGetDoublev(GL.GL_PROJECTION_MATRIX), dtype=float)
            modelview = np.array(GL.glGetDoublev(GL.GL_MODELVIEW_MATRIX), dtype=float)
            # GL hands the 16 values over column by column.
            self.captured[number] = (projection.reshape(4, 4).T, modelview.reshape(4, 4).T)
            self.labels[number] = viewport_labels(self.module, self.name)[number]
        except Exception:
            self.faults.failed('reading the matrices for the overlay')
        else:
            self.faults.succeeded('reading the matrices for the overlay')

    def start_frame(self):
        self.captured = {}
        self.labels = {}
        try:
            if self.wanted():
                self.install()
            else:
                self.remove()
        except Exception:
            self.faults.failed('putting the matrices reader in place')

    def finish_frame(self):
        if self.state.print_matrices and self.prints:
            self.state.print_matrices = False
            self.say(self.report())
        if not self.state.matrices:
            self.remove()
        if not (self.state.labels or self.state.matrices):
            return
        try:
            self.draw(int(self.module.sizeViewport))
        except Exception:
            self.faults.failed('drawing the labels and matrices')
        else:
            self.faults.succeeded('drawing the labels and matrices')

    def viewport_text(self, number):
        if self.partner is not None:
            return compared_lines(self.captured.get(number), self.partner.captured.get(number),
                                  self.name or 'yours')
        if number in self.captured:
            return matrix_lines(*self.captured[number])
        return ['(no scene drawn)']

    def differing_entries(self, number):
        """"projection [2][2], modelview [0][3]" for one viewport, beside
        Movra's: the entries of this module's matrices that differ."""
        yours, movra = self.captured.get(number), self.partner.captured.get(number)
        if yours is None or movra is None:
            return 'not comparable (%s drew no scene here)' % (
                'Movra' if movra is None else self.name or 'yours')
        found = []
        for which, index in (('projection', 0), ('modelview', 1)):
            entries = differences.entry_list(differences.entries_differ(yours[index],
                                                                        movra[index]))
            if entries:
                found.append('%s %s' % (which, ', '.join(entries)))
        return '; '.join(found) or 'none'

    def report(self):
        """The printed form: the four pairs, labelled by viewport."""
        try:
            current = viewport_labels(self.module, self.name)
        except Exception:
            current = dict(LABEL_TEXTS, **{4: '4 moving camera'})
        lines = ['matrices in effect when each viewport draws its scene '
                 '(rows as the module writes its matrices):']
        for number in (1, 2, 3, 4):
            lines.append(self.labels.get(number, current[number]))
            for line in self.viewport_text(number):
                if isinstance(line, list):
                    line = ''.join(text + ('*' if marked else '') for text, marked in line)
                lines.append('  ' + line)
            if self.partner is not None:
                lines.append('  differing entries: %s' % self.differing_entries(number))
        return '\n'.join(lines)

    # -- drawing --
    def _font(self, kind):
        if kind not in self._fonts:
            self._fonts[kind] = BitmapFont(GLUT.GLUT_BITMAP_HELVETICA_12 if kind == 'label'
                                           else GLUT.GLUT_BITMAP_8_BY_13)
        return self._fonts[kind]

    def draw(self, size):
        if size < 1:
            return
        GL.glPushAttrib(GL.GL_ALL_ATTRIB_BITS)
        try:
            with _matrix_kept(GL.GL_PROJECTION), _matrix_kept(GL.GL_MODELVIEW):
                self._paint(size)
        finally:
            GL.glPopAttrib()

    def _paint(self, size):
        full = 2 * size
        GL.glViewport(0, 0, full, full)
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glLoadIdentity()
        GL.glOrtho(0, full, 0, full, -1, 1)
        GL.glMatrixMode(GL.GL_MODELVIEW)
        GL.glLoadIdentity()
        for capability in (GL.GL_DEPTH_TEST, GL.GL_LIGHTING, GL.GL_TEXTURE_2D,
                           GL.GL_BLEND, GL.GL_CULL_FACE, GL.GL_SCISSOR_TEST):
            GL.glDisable(capability)
        if self.state.labels:
            GL.glColor3f(*BORDER_COLOUR)
            GL.glRecti(size - 1, 0, size + 1, full)
            GL.glRecti(0, size - 1, full, size + 1)
        labels = viewport_labels(self.module, self.name) if self.state.labels else {}
        GL.glEnable(GL.GL_SCISSOR_TEST)
        for number, (x0, y0) in sorted(quadrant_origins(size).items()):
            lines = []
            if number in labels:
                lines.append(('label', labels[number]))
            if self.shares is not None and number in self.shares:
                lines.append(('label', [('differs from Movra: %s'
                                         % differences.share_text(self.shares[number]), True)]))
            if self.state.matrices:
                lines.extend(('matrix', line) for line in self.viewport_text(number))
            GL.glScissor(x0, y0, size, size)
            self._text(lines, x0, y0, size)

    def _text(self, lines, x0, y0, size):
        """Lines from the top-left corner down, as many and as long as fit."""
        x = x0 + TEXT_MARGIN
        room = size - 2 * TEXT_MARGIN
        top = y0 + size - TEXT_MARGIN
        for kind, text in lines:
            font = self._font(kind)
            baseline = top - font.ascent
            if baseline - font.descent < y0 + TEXT_MARGIN:
                return
            # A line is a text, or (text, marked) segments: marked ones in magenta.
            segments = text if isinstance(text, list) else [(text, False)]
            left = room
            pieces = []
            for piece, marked in segments:
                shown = font.fit(font.clean(piece), left)
                if shown:
                    pieces.append((shown, marked))
                    left -= font.width(shown)
                if shown != piece:
                    break
            if pieces:
                width = sum(font.width(piece) for piece, _ in pieces)
                GL.glColor3f(0.0, 0.0, 0.0)
                GL.glRecti(x - 1, baseline - font.descent, x + width + 1, top)
                at = x
                for piece, marked in pieces:
                    # The raster colour is the current colour when the
                    # position is set.
                    GL.glColor3f(*(MARK_COLOUR if marked else TEXT_COLOUR))
                    GL.glRasterPos2i(at, baseline)
                    font.draw(piece)
                    at += font.width(piece)
            top -= font.height
