"""Where a learner's frame differs from Movra's: the pixels that differ (any
channel), the share of them in each viewport, the marks drawn in magenta over
the learner's frame; and the matrices' entries that differ, `[i][j]` as the
compare report counts them (row i, column j as written, from 0).

The frames are compared as glReadPixels gives them, RGBA bytes from the
bottom row up, before the overlay is drawn on them, so that the labels (which
name the module) never count as a difference.
"""
from __future__ import division, print_function

import numpy as np

MARK_RGB = (255, 0, 255)        # magenta
# Matrix entries count as equal within this relative tolerance, as the
# compare tool's do.
TOLERANCE = 1e-9


def pixels(rgba, side):
    """RGBA bytes of a (2 side) x (2 side) frame as a (rows, columns, 4)
    array, bottom row first."""
    return np.frombuffer(rgba, dtype=np.uint8).reshape(2 * side, 2 * side, 4)


def differing(yours, movra, side, alpha=False):
    """(rows, columns) bool array: True where any of R, G, B differs; the
    frames as RGBA bytes or as uint8 arrays of them (kesthost.readback).

    A pixel is compared as one 32-bit number, several times as fast as
    channel by channel. The host's windows have no alpha bits (GLUT_RGB), so
    GL reads every pixel's alpha as 255 and the whole number may be
    compared; alpha=True masks the alpha byte out, for frames that have one.
    """
    a = _words(yours, side)
    b = _words(movra, side)
    if not alpha:
        return a != b
    changed = np.bitwise_xor(a, b)
    np.bitwise_and(changed, 0xFFFFFF, out=changed)
    return changed != 0


def _words(frame, side):
    """A frame (RGBA bytes, or a uint8 array of them) as one 32-bit number
    a pixel, (rows, columns), without a copy."""
    if isinstance(frame, np.ndarray):
        return np.ascontiguousarray(frame, dtype=np.uint8).reshape(-1).view('<u4').reshape(
            2 * side, 2 * side)
    return np.frombuffer(frame, dtype='<u4').reshape(2 * side, 2 * side)


def shares(mask, side):
    """The share (0 to 1) of differing pixels in each viewport, by number.
    The mask's rows run bottom up, as GL counts them: viewport 1 lower left,
    2 lower right, 3 upper left, 4 upper right."""
    out = {}
    for number, (x, y) in ((1, (0, 0)), (2, (side, 0)), (3, (0, side)), (4, (side, side))):
        out[number] = np.count_nonzero(mask[y:y + side, x:x + side]) / float(side * side)
    return out


def marks(mask):
    """RGBA bytes for glDrawPixels: magenta where the mask is set, fully
    transparent elsewhere."""
    out = np.zeros(mask.shape + (4,), dtype=np.uint8)
    out[mask] = MARK_RGB + (255,)
    return out.tobytes()


def mark_pixels(rgba, mask):
    """The frame `rgba` (bytes, bottom row first) with the masked pixels
    magenta: what the window shows, for a frame read before the marks."""
    frame = np.frombuffer(rgba, dtype=np.uint8).reshape(mask.shape + (4,)).copy()
    frame[mask, :3] = MARK_RGB
    return frame.tobytes()


def share_text(share):
    """A share as the overlay shows it: "0%" only for none at all."""
    if share == 0:
        return '0%'
    percent = 100 * share
    return '%.2f%%' % percent if percent >= 0.01 else '<0.01%'


def entries_differ(a, b):
    """Which entries of two 4x4 arrays differ beyond TOLERANCE (NaN equals
    NaN; an infinity equals only itself): a (4, 4) bool array."""
    a = np.asarray(a, dtype=float)
    b = np.asarray(b, dtype=float)
    both_nan = np.isnan(a) & np.isnan(b)
    finite = np.isfinite(a) & np.isfinite(b)
    with np.errstate(invalid='ignore', over='ignore'):
        close = finite & (np.abs(a - b)
                          <= TOLERANCE * np.maximum(1.0, np.maximum(np.abs(a), np.abs(b))))
    return ~(close | both_nan | (a == b))


def entry_list(differ):
    """"[i][j]" of every differing entry, row by row."""
    return ['[%d][%d]' % (i, j) for i, j in zip(*np.nonzero(differ))]


def draw_marks(gl, mask):
    """Draw the marks over the current frame: the whole window, no depth
    test, only the magenta pixels (alpha test), GL's state kept."""
    rows, columns = mask.shape
    if not mask.any():
        return
    gl.glPushAttrib(gl.GL_ALL_ATTRIB_BITS)
    try:
        gl.glViewport(0, 0, columns, rows)
        for capability in (gl.GL_DEPTH_TEST, gl.GL_LIGHTING, gl.GL_TEXTURE_2D, gl.GL_BLEND,
                           gl.GL_SCISSOR_TEST, gl.GL_FOG):
            gl.glDisable(capability)
        gl.glEnable(gl.GL_ALPHA_TEST)
        gl.glAlphaFunc(gl.GL_GREATER, 0.5)
        gl.glPixelStorei(gl.GL_UNPACK_ALIGNMENT, 4)
        gl.glPixelZoom(1.0, 1.0)
        gl.glWindowPos2i(0, 0)
        gl.glDrawPixels(columns, rows, gl.GL_RGBA, gl.GL_UNSIGNED_BYTE, marks(mask))
    finally:
        gl.glPopAttrib()
