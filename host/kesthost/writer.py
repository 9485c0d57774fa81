"""The frame files of a headless run: one PNG file per frame and one animated
GIF, all with the same exact palette (see ExactPalette), streamed to disk as
the frames are rendered and encoded on a worker thread while the next frame
renders (FrameWriter); and the output folder, checked before anything
renders.
"""
from __future__ import division, print_function

import os
import re
import struct
import threading
import zlib

import numpy as np

try:
    import queue
except ImportError:         # Python 2
    import Queue as queue


FRAME_PATTERN = re.compile(r'^frame_\d{4,}\.png$')


class OutputFolderError(IOError):
    pass


def frame_name(index):
    return 'frame_%04d.png' % index


def prepare_output_folder(folder):
    """Make sure frames can be written to `folder`; return how many old ones went.

    Runs before anything is rendered: creates the folder, writes and removes
    a probe file, and removes the frames of an earlier run (only files named
    like this program's frames, frame_NNNN.png), so that a shorter run does
    not leave stale frames behind. Every failure is one OutputFolderError
    that names the folder.
    """
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise OutputFolderError('output folder %s exists and is not a folder' % folder)
    try:
        if not os.path.isdir(folder):
            os.makedirs(folder)
        probe = os.path.join(folder, '.movra-write-test-%d' % os.getpid())
        with open(probe, 'wb') as stream:
            stream.write(b'movra')
        os.remove(probe)
        removed = 0
        for name in sorted(os.listdir(folder)):
            if FRAME_PATTERN.match(name):
                os.remove(os.path.join(folder, name))
                removed += 1
    except (IOError, OSError) as error:
        raise OutputFolderError('cannot write to the output folder %s: %s'
                                % (folder, error.strerror or error))
    return removed


# ------------------------------------------------------------- palette ---

PALETTE_SIZE = 256          # entries in every colour table written


def _colour_keys(rgba):
    """RGBA bytes as one 24-bit number per pixel, red in the low byte."""
    return np.frombuffer(rgba, dtype='<u4') & 0xFFFFFF


class ExactPalette(object):
    """Colours in the order they first appear; a colour keeps its index.

    The scene is drawn without lighting, blending or smoothing, so a frame
    holds only the few colours the figures are drawn in, and one palette
    holds every colour of every frame exactly. Since an index never changes,
    a frame encoded early stays right when later frames add colours; only
    the colour tables written before then need the added entries (see
    FrameWriter.close).

    A colour that does not fit (more than PALETTE_SIZE colours in all) is
    never merged into another silently: indices() says the frame is not
    exact and maps such pixels to the nearest colour of the palette.
    """

    def __init__(self, size=PALETTE_SIZE):
        self.size = int(size)
        self.keys = []
        # colour key -> index + 1, 0 for a colour not seen yet. np.zeros
        # asks the system for zeroed memory, so only the pages of colours
        # that occur become resident.
        self._lookup = np.zeros(1 << 24, dtype=np.uint16)

    def __len__(self):
        return len(self.keys)

    def indices(self, keys):
        """(uint8 index of every key, True when every key is in the palette)."""
        found = self._lookup.take(keys)
        exact = True
        if not found.all():
            for key in np.unique(keys[found == 0]):
                if len(self.keys) == self.size:
                    break
                self.keys.append(int(key))
                self._lookup[key] = len(self.keys)
            found = self._lookup.take(keys)
            if not found.all():
                exact = False
                missing = found == 0
                unknown, where = np.unique(keys[missing], return_inverse=True)
                found[missing] = self._nearest(unknown)[where] + 1
        found -= 1
        return found.astype(np.uint8), exact

    def _nearest(self, keys):
        table = self.rgb().astype(np.int32)
        colours = np.stack([keys & 255, (keys >> 8) & 255, (keys >> 16) & 255], axis=1)
        distance = ((colours[:, None, :].astype(np.int32) - table[None, :, :]) ** 2).sum(axis=2)
        return distance.argmin(axis=1).astype(np.uint16)

    def rgb(self):
        """The palette as a (colours, 3) uint8 array."""
        keys = np.array(self.keys, dtype=np.uint32)
        return np.stack([keys & 255, (keys >> 8) & 255, (keys >> 16) & 255],
                        axis=1).astype(np.uint8).reshape(-1, 3)

    def table(self):
        """The colour table of every file: PALETTE_SIZE RGB entries, unused
        ones black."""
        table = np.zeros((self.size, 3), dtype=np.uint8)
        table[:len(self.keys)] = self.rgb()
        return table.tobytes()


# ----------------------------------------------------------------- PNG ---

# zlib level 3: on these frames a third of level 6's time, for files about a
# third larger (some 14 kB for 700x700).
PNG_LEVEL = 3


def _picture(rows, palette):
    """A Pillow image of top-down rows: (height, width) uint8 palette
    indices with `palette` (the RGB bytes of the colour table), or
    (height, width, 3) uint8 RGB without one."""
    from PIL import Image
    rows = np.ascontiguousarray(rows, dtype=np.uint8)
    if palette is not None and rows.ndim != 2:
        raise ValueError('palette rows must be (height, width), not %r' % (rows.shape,))
    if palette is None and (rows.ndim != 3 or rows.shape[2] != 3):
        raise ValueError('RGB rows must be (height, width, 3), not %r' % (rows.shape,))
    height, width = rows.shape[:2]
    image = Image.frombytes('RGB' if palette is None else 'P', (width, height), rows.tobytes())
    if palette is not None:
        image.putpalette(palette)
    return image


def save_png(rows, path, palette=None, level=PNG_LEVEL):
    """Rows as _picture takes them, written as the PNG file `path`."""
    _picture(rows, palette).save(path, 'PNG', compress_level=level)


def write_png(frame, path):
    """One (height, width, 3) uint8 RGB picture as a PNG file."""
    save_png(frame, path)


# Pillow writes a palette PNG's PLTE chunk right after IHDR: the signature
# (8 bytes), IHDR (4 length + 4 type + 13 + 4 CRC), then PLTE's length and type.
_PLTE_OFFSET = 8 + 25


def replace_png_palette(path, palette, level=PNG_LEVEL):
    """Give the palette PNG `path` the colour table `palette`, its pixels
    as they are. Returns False, changing nothing, when the file has no
    colour table (an RGB frame).

    The table is overwritten in place where Pillow put it, with its
    checksum, which takes a fraction of a millisecond; most frames of a run
    need it (the palette grows while the moving camera comes round), and
    saving each again with Pillow took 5 ms a frame at 700x700. A file laid
    out otherwise is saved again through Pillow.
    """
    head = struct.pack('>I', len(palette)) + b'PLTE'
    with open(path, 'r+b') as stream:
        stream.seek(_PLTE_OFFSET)
        if stream.read(8) == head:
            crc = zlib.crc32(palette, zlib.crc32(b'PLTE')) & 0xFFFFFFFF
            stream.write(palette + struct.pack('>I', crc))
            return True
    from PIL import Image
    with open(path, 'rb') as stream:
        image = Image.open(stream)
        if image.mode != 'P':
            return False
        image.load()
    image.putpalette(palette)
    image.save(path, 'PNG', compress_level=level)
    return True


# ----------------------------------------------------------------- GIF ---

_GIF_TABLE_OFFSET = 13      # the global colour table follows the screen descriptor


class GifStream(object):
    """An animated, looping GIF written one frame at a time.

    Every frame uses the global colour table of PALETTE_SIZE entries. The
    table is written last (close() puts it in place), so frames can be
    added while the palette still grows. The file is built under a .part
    name and renamed when complete.

    Pillow encodes each frame's pixels (its GIF encoder's LZW data); the
    few bytes around them are written here, because Pillow's animated-GIF
    writer takes all frames at once (it holds every frame until it has
    compared them, so memory grows with the run), writes the colour table
    first, and crops and re-palettes frames as it sees fit: this stream
    holds one frame at a time, and every frame keeps the one exact table.
    """

    def __init__(self, path, width, height, frame_ms):
        self.path = path
        self.width = int(width)
        self.height = int(height)
        self.delay = max(1, int(round(frame_ms / 10.0)))   # hundredths of a second
        self.frames = 0
        self._part = path + '.part'
        self._stream = open(self._part, 'wb')
        # size code 7: 2 ** (7 + 1) = 256 entries; colour resolution 8 bits
        self._stream.write(b'GIF89a' + struct.pack('<HHBBB', self.width, self.height, 0xF7, 0, 0))
        self._stream.write(b'\0' * (3 * PALETTE_SIZE))
        self._stream.write(b'!\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00')   # loop forever

    def add(self, indices):
        """One frame: top-down (height, width) uint8 indices into the table."""
        from PIL import Image
        indices = np.ascontiguousarray(indices, dtype=np.uint8)
        image = Image.frombuffer('P', (self.width, self.height), indices.tobytes(), 'raw', 'P', 0, 1)
        data = image.tobytes('gif', 'P')    # LZW data in sub-blocks, 8-bit codes
        self._stream.write(b'!\xf9\x04\x00' + struct.pack('<H', self.delay) + b'\x00\x00')
        self._stream.write(b',' + struct.pack('<HHHHB', 0, 0, self.width, self.height, 0))
        self._stream.write(b'\x08' + data + b'\x00')
        self.frames += 1

    def close(self, table):
        """Write the colour table and the trailer; returns the path, or None
        (and no file) when no frame was added."""
        if self.frames == 0:
            self.abort()
            return None
        self._stream.write(b';')
        self._stream.seek(_GIF_TABLE_OFFSET)
        self._stream.write(table)
        self._stream.close()
        os.rename(self._part, self.path)
        return self.path

    def abort(self):
        if not self._stream.closed:
            self._stream.close()
        if os.path.exists(self._part):
            os.remove(self._part)


# -------------------------------------------------------------- writer ---

class WriterReport(object):
    def __init__(self, frames, colours, inexact, gif):
        self.frames = frames        # frames written
        self.colours = colours      # colours in the shared palette
        self.inexact = inexact      # frames whose colours did not all fit
        self.gif = gif              # path of the GIF, None without frames


class FrameWriter(object):
    """Streams rendered frames to frame_NNNN.png files and one GIF.

    add() hands each frame on as it comes, so memory stays the same however
    many frames a run has; where the encoding happens is the mode:

    - 'thread' (the default): a worker thread takes the frames from a queue
      of `backlog` frames and encodes each while the next one renders;
      Pillow's PNG and GIF encoders and the file writes release the
      interpreter lock.
    - 'inline': add() encodes at once.

    (A process of its own for the encoding, frames passed through shared
    memory, was tried as well: on this two-core machine it was slower than
    both, the software renderer's own threads already using both cores.)

    Every PNG file and the GIF carry the same colour table, ExactPalette's
    (see there): a frame is written exactly as it was rendered. A frame
    with more colours than the table holds is written as an RGB PNG, still
    exact, and appears in the GIF with the nearest colours; the report
    counts such frames.
    """

    MODES = ('thread', 'inline')
    _DONE = object()

    def __init__(self, folder, width, height, frame_ms, gif_name, mode='thread',
                 backlog=3, png_level=PNG_LEVEL):
        if mode not in self.MODES:
            raise ValueError('mode must be one of %s, not %r' % (', '.join(self.MODES), mode))
        self.mode = mode
        self.folder = folder
        self.width = int(width)
        self.height = int(height)
        self.png_level = png_level
        self.palette = ExactPalette()
        self.frames = 0                 # frames handed to add()
        self.written = 0                # frames whose files are written
        self.inexact = 0
        self._stale_before = 0          # PNGs before this index lack colours added later
        self._error = None
        self._gif = GifStream(os.path.join(folder, gif_name), width, height, frame_ms)
        self._queue = None
        self._thread = None
        if mode == 'thread':
            self._queue = queue.Queue(maxsize=max(1, int(backlog)))
            self._thread = threading.Thread(target=self._work, name='movra-frame-writer')
            self._thread.daemon = True
            self._thread.start()

    def add(self, rgba):
        """One frame as glReadPixels(GL_RGBA, GL_UNSIGNED_BYTE) returns it:
        width * height * 4 bytes, bottom row first."""
        if len(rgba) != self.width * self.height * 4:
            raise ValueError('a frame of %dx%d RGBA pixels has %d bytes, not %d'
                             % (self.width, self.height, self.width * self.height * 4, len(rgba)))
        self._raise_worker_error()
        index = self.frames
        self.frames += 1
        if self._queue is None:
            self._write(index, rgba)
        else:
            self._queue.put((index, rgba))

    def _work(self):
        while True:
            item = self._queue.get()
            if item is self._DONE:
                return
            if self._error is not None:
                continue                # drain, so that add() never blocks
            try:
                self._write(*item)
            except BaseException as error:
                self._error = error

    def _write(self, index, rgba):
        keys = _colour_keys(rgba)
        known = len(self.palette)
        indices, exact = self.palette.indices(keys)
        indices = indices.reshape(self.height, self.width)[::-1]
        if len(self.palette) != known:
            self._stale_before = index
        path = os.path.join(self.folder, frame_name(index))
        if exact:
            save_png(indices, path, self.palette.table(), self.png_level)
        else:
            self.inexact += 1
            rgb = np.frombuffer(rgba, dtype=np.uint8).reshape(self.height, self.width, 4)[::-1, :, :3]
            save_png(rgb, path, None, self.png_level)
        self._gif.add(indices)
        self.written += 1

    def _raise_worker_error(self):
        if self._error is not None:
            raise self._error

    def _stop_worker(self):
        if self._thread is not None:
            self._queue.put(self._DONE)
            self._thread.join()
            self._thread = None

    def close(self):
        """Write what is queued, complete the colour tables and the GIF."""
        self._stop_worker()
        if self._error is not None:
            self._gif.abort()
            self._raise_worker_error()
        table = self.palette.table()
        for index in range(self._stale_before):
            replace_png_palette(os.path.join(self.folder, frame_name(index)), table,
                                self.png_level)
        gif = self._gif.close(table)
        return WriterReport(self.written, len(self.palette), self.inexact, gif)

    def abort(self):
        """Stop without the GIF; PNG files written so far stay."""
        self._stop_worker()
        self._gif.abort()
