"""Side-by-side pictures for KestCompare: Movra's frame, yours, and a third
panel that marks the pixels that differ, with the share of differing pixels
in each of the four viewports; and a thumbnail of the third panel for the
class page, in which no differing pixel is lost to the scaling."""
from __future__ import division, print_function

import base64
import zlib

import numpy as np

LABEL_HEIGHT = 18
GAP = 4
MARK = (255, 0, 255)          # a differing pixel in the third panel
MISSING = (64, 64, 64)        # a panel whose frame could not be made
THUMBNAIL = 200               # side of a thumbnail, in pixels

# Quadrants of a top-down frame of side 2 * size: (rows, columns) as slices
# of half-sides, named after the viewport function that draws there.
QUADRANTS = {
    'viewport1': (1, 0),      # lower left
    'viewport2': (1, 1),      # lower right
    'viewport3': (0, 0),      # upper left
    'viewport4': (0, 1),      # upper right
}
VIEWPORTS = sorted(QUADRANTS)


def frame_of(image, side):
    """A worker's frame (its reply's "image": raw RGB rows, top first, zlib
    and base64) as a (side, side, 3) uint8 array; None when there is none,
    or it is not exactly a frame of that side. The rows are inflated no
    further than one frame's bytes."""
    if not image or image.get('width') != side or image.get('height') != side:
        return None
    expected = side * side * 3
    try:
        packed = base64.b64decode(image['rgb'].encode('ascii'), validate=True)
        inflater = zlib.decompressobj()
        rows = inflater.decompress(packed, expected)
        if len(rows) != expected or inflater.unconsumed_tail or not inflater.eof:
            return None
    except (ValueError, TypeError, zlib.error):
        return None
    return np.frombuffer(rows, dtype=np.uint8).reshape(side, side, 3).copy()


def viewport_shares(movra, yours):
    """Share (0 to 1) of the pixels that differ, per viewport."""
    differing = np.any(movra != yours, axis=-1)
    half = movra.shape[0] // 2
    shares = {}
    for name, (row, column) in QUADRANTS.items():
        part = differing[row * half:(row + 1) * half, column * half:(column + 1) * half]
        shares[name] = float(part.mean()) if part.size else 0.0
    return shares


def difference_panel(movra, yours):
    """Movra's frame dimmed to a third, with every differing pixel marked."""
    differing = np.any(movra != yours, axis=-1)
    panel = (movra.astype(np.uint16) // 3).astype(np.uint8)
    panel[differing] = MARK
    return panel


def write_thumbnail(panel, differing, path, side=THUMBNAIL):
    """The panel scaled to side x side pixels, every pixel of the thumbnail
    that covers a differing pixel marked."""
    from PIL import Image
    image = Image.fromarray(panel, 'RGB').resize((side, side), Image.BILINEAR)
    pixels = np.array(image)
    if differing is not None and differing.any():
        mask = Image.fromarray(differing.astype(np.uint8) * 255, 'L').resize(
            (side, side), Image.BOX)
        pixels[np.asarray(mask) > 0] = MARK
    Image.fromarray(pixels, 'RGB').save(path, 'PNG')


def compose(movra, yours, out_path, side, thumbnail_path=None):
    """Writes the three panels of two frames (arrays, or None where a frame
    is missing: the panel is then gray) as one PNG, and the third as a
    thumbnail; returns the shares per viewport, None for each when a frame
    is missing."""
    from PIL import Image, ImageDraw
    blank = np.empty((side, side, 3), dtype=np.uint8)
    blank[...] = MISSING
    usable = (movra is not None and yours is not None and movra.shape == yours.shape
              == (side, side, 3))
    differing = None
    if usable:
        shares = viewport_shares(movra, yours)
        third = difference_panel(movra, yours)
        differing = np.any(movra != yours, axis=-1)
        caption = 'differing pixels: %.2f%%' % (100.0 * differing.mean())
    else:
        shares = dict((name, None) for name in VIEWPORTS)
        third = blank
        caption = 'no comparison'
    if thumbnail_path is not None:
        write_thumbnail(third, differing, thumbnail_path)
    panels = [(movra if movra is not None and movra.shape == blank.shape else blank, 'Movra'),
              (yours if yours is not None and yours.shape == blank.shape else blank, 'yours'),
              (third, caption)]
    width = 3 * side + 2 * GAP
    canvas = Image.new('RGB', (width, side + LABEL_HEIGHT), (255, 255, 255))
    draw = ImageDraw.Draw(canvas)
    for index, (pixels, label) in enumerate(panels):
        left = index * (side + GAP)
        canvas.paste(Image.fromarray(pixels, 'RGB'), (left, LABEL_HEIGHT))
        draw.text((left + 4, 3), label, fill=(0, 0, 0))
    canvas.save(out_path, 'PNG')
    return shares
