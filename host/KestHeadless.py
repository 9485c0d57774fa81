"""Rendering without a screen: a private Xvfb server and the frame files.

Xvfb is started with -displayfd, so it picks a free display number itself
and writes it to a pipe once it accepts connections: no guessing of numbers,
no polling for lock files. The server is killed when the Xvfb object is
stopped, when the with-block around it ends (also on an exception) and, on
Linux, by the kernel when the process that started it dies without cleaning
up (freeglut ends the process with exit() on fatal errors, which skips
Python's own clean-up). It runs in a process group of its own, so that a
Ctrl+C in the terminal reaches only the program that started it, which can
then finish its files before it stops the server.

FrameWriter streams frames to disk as they are rendered: one PNG file per
frame and one animated GIF, all with the same exact palette (see
ExactPalette), encoded on a worker thread while the next frame renders.
"""
from __future__ import division, print_function

import errno
import os
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

import numpy as np

try:
    import queue
except ImportError:         # Python 2
    import Queue as queue

try:
    from shutil import which as _which
except ImportError:         # Python 2
    _which = None

XVFB_HINT = 'install the Debian package xvfb (apt-get install xvfb)'


class XvfbError(RuntimeError):
    pass


def find_executable(name):
    """The full path of program `name` on PATH, or None."""
    if _which is not None:
        return _which(name)
    if os.path.dirname(name):
        return name if os.access(name, os.X_OK) and not os.path.isdir(name) else None
    for folder in os.environ.get('PATH', os.defpath).split(os.pathsep):
        path = os.path.join(folder or os.curdir, name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


def _parent_death_signal():
    """A preexec_fn for the server: its own process group, and SIGTERM from
    Linux when the parent dies."""
    try:
        import ctypes
        import ctypes.util
        libc = ctypes.CDLL(ctypes.util.find_library('c') or 'libc.so.6', use_errno=True)
        prctl = libc.prctl
    except (OSError, AttributeError, ImportError):
        prctl = None
    PR_SET_PDEATHSIG = 1

    def preexec():
        os.setpgid(0, 0)
        if prctl is not None:
            prctl(PR_SET_PDEATHSIG, int(signal.SIGTERM), 0, 0, 0)
    return preexec


class Xvfb(object):
    """One Xvfb server on a display number it chooses itself."""

    def __init__(self, width, height, depth=24, timeout=30.0, executable='Xvfb'):
        self.width = int(width)
        self.height = int(height)
        self.depth = int(depth)
        self.timeout = float(timeout)
        self.executable = executable
        self.process = None
        self.display = None
        self._log = None

    @property
    def pid(self):
        return self.process.pid if self.process is not None else None

    def command(self, path):
        return [path, '-displayfd', '1',
                '-screen', '0', '%dx%dx%d' % (self.width, self.height, self.depth),
                '-nolisten', 'tcp']

    def start(self):
        if self.process is not None:
            raise XvfbError('Xvfb is already running on %s' % self.display)
        path = find_executable(self.executable)
        if path is None:
            raise XvfbError('%s not found on PATH: %s' % (self.executable, XVFB_HINT))
        self._log = tempfile.TemporaryFile(prefix='movra-xvfb-')
        read_end, write_end = os.pipe()
        try:
            with open(os.devnull, 'rb') as devnull:
                # stdout is the pipe: -displayfd 1 writes the number there.
                self.process = subprocess.Popen(
                    self.command(path), stdin=devnull, stdout=write_end,
                    stderr=self._log, close_fds=True,
                    preexec_fn=_parent_death_signal())
        finally:
            os.close(write_end)
        try:
            number = self._read_display_number(read_end)
        except BaseException:
            os.close(read_end)
            self.stop()
            raise
        os.close(read_end)
        self.display = ':%d' % number
        return self

    def _read_display_number(self, fd):
        deadline = time.time() + self.timeout
        text = b''
        while not text.endswith(b'\n'):
            remaining = deadline - time.time()
            if remaining <= 0:
                raise XvfbError('Xvfb did not come up within %.0f s%s'
                                % (self.timeout, self._log_tail()))
            try:
                ready, _, _ = select.select([fd], [], [], min(remaining, 0.5))
            except select.error as error:
                if error.args[0] == errno.EINTR:
                    continue
                raise
            if not ready:
                continue
            chunk = os.read(fd, 64)
            if not chunk:
                self.process.wait()
                raise XvfbError('Xvfb exited with status %s before it was ready%s'
                                % (self.process.returncode, self._log_tail()))
            text += chunk
        match = re.match(br'^\s*(\d+)\s*$', text)
        if match is None:
            raise XvfbError('Xvfb reported an unexpected display %r' % text)
        return int(match.group(1))

    def _log_tail(self, lines=15):
        if self._log is None:
            return ''
        try:
            self._log.seek(0)
            tail = self._log.read().decode('utf-8', 'replace').strip().splitlines()[-lines:]
        except (IOError, OSError, ValueError):
            return ''
        return (':\n    ' + '\n    '.join(tail)) if tail else ''

    def running(self):
        return self.process is not None and self.process.poll() is None

    def stop(self):
        """Terminate the server and wait for it; safe to call twice."""
        process, self.process = self.process, None
        if process is not None and process.poll() is None:
            process.terminate()
            deadline = time.time() + 5.0
            while process.poll() is None and time.time() < deadline:
                time.sleep(0.02)
            if process.poll() is None:
                process.kill()
                process.wait()
        if self._log is not None:
            self._log.close()
            self._log = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()
        return False


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


def write_png(frame, path):
    """One (height, width, 3) uint8 RGB picture as a PNG file."""
    with open(path, 'wb') as stream:
        stream.write(png_bytes(frame))


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

PNG_SIGNATURE = b'\x89PNG\r\n\x1a\n'
# png_bytes writes PLTE right after IHDR (4 length + 4 type + 13 + 4 CRC).
_PLTE_OFFSET = len(PNG_SIGNATURE) + 25


def _png_chunk(kind, data):
    crc = zlib.crc32(data, zlib.crc32(kind)) & 0xFFFFFFFF
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', crc)


def png_bytes(rows, palette=None, level=3):
    """A PNG file of top-down rows: (height, width) uint8 palette indices
    with `palette` (the RGB bytes of the colour table), or (height, width, 3)
    uint8 RGB without one.

    zlib level 3: on these frames a third of level 6's time, for files
    about a third larger (some 14 kB for 700x700).
    """
    rows = np.asarray(rows, dtype=np.uint8)
    height, width = rows.shape[:2]
    if palette is not None and rows.ndim != 2:
        raise ValueError('palette rows must be (height, width), not %r' % (rows.shape,))
    if palette is None and (rows.ndim != 3 or rows.shape[2] != 3):
        raise ValueError('RGB rows must be (height, width, 3), not %r' % (rows.shape,))
    lines = np.empty((height, 1 + rows[0].size), dtype=np.uint8)
    lines[:, 0] = 0                         # filter type None on every row
    lines[:, 1:] = rows.reshape(height, -1)
    colour_type = 2 if palette is None else 3
    parts = [PNG_SIGNATURE,
             _png_chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, colour_type, 0, 0, 0))]
    if palette is not None:
        parts.append(_png_chunk(b'PLTE', palette))
    parts.append(_png_chunk(b'IDAT', zlib.compress(lines.tobytes(), level)))
    parts.append(_png_chunk(b'IEND', b''))
    return b''.join(parts)


def replace_png_palette(path, palette):
    """Put `palette` into a palette PNG written by png_bytes, in place.

    Returns False, changing nothing, when the file has no colour table of
    that length where png_bytes puts it (an RGB frame)."""
    with open(path, 'r+b') as stream:
        stream.seek(_PLTE_OFFSET)
        if stream.read(8) != struct.pack('>I', len(palette)) + b'PLTE':
            return False
        crc = zlib.crc32(palette, zlib.crc32(b'PLTE')) & 0xFFFFFFFF
        stream.seek(_PLTE_OFFSET + 8)
        stream.write(palette + struct.pack('>I', crc))
    return True


# ----------------------------------------------------------------- GIF ---

_GIF_TABLE_OFFSET = 13      # the global colour table follows the screen descriptor


class GifStream(object):
    """An animated, looping GIF written one frame at a time.

    Every frame uses the global colour table of PALETTE_SIZE entries. The
    table is written last (close() puts it in place), so frames can be
    added while the palette still grows. The file is built under a .part
    name and renamed when complete.
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
      of `backlog` frames and encodes each while the next one renders; zlib,
      Pillow's GIF encoder and the file writes release the interpreter lock.
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
                 backlog=3, png_level=3):
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
            data = png_bytes(indices, self.palette.table(), self.png_level)
        else:
            self.inexact += 1
            rgb = np.frombuffer(rgba, dtype=np.uint8).reshape(self.height, self.width, 4)[::-1, :, :3]
            data = png_bytes(rgb, None, self.png_level)
        with open(path, 'wb') as stream:
            stream.write(data)
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
            replace_png_palette(os.path.join(self.folder, frame_name(index)), table)
        gif = self._gif.close(table)
        return WriterReport(self.written, len(self.palette), self.inexact, gif)

    def abort(self):
        """Stop without the GIF; PNG files written so far stay."""
        self._stop_worker()
        self._gif.abort()
