"""The headless frame files: exact palette, PNG and GIF streams, output folder.

No GL here: frames are made up as glReadPixels would return them (RGBA,
bottom row first), and every file is read back with Pillow.
"""
from __future__ import division

import os
import sys

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, 'host')
if HOST not in sys.path:
    sys.path.append(HOST)

from kesthost import writer as frame_files, xvfb  # noqa: E402
from kesthost.writer import (ExactPalette, FrameWriter, GifStream, OutputFolderError,  # noqa: E402
                             PALETTE_SIZE, prepare_output_folder, replace_png_palette,
                             save_png)

pytestmark = pytest.mark.host

W, H = 24, 10


def rgba(top_down_rgb):
    """What glReadPixels(GL_RGBA) returns for a top-down RGB picture."""
    rgb = np.asarray(top_down_rgb, dtype=np.uint8)
    alpha = np.full(rgb.shape[:2] + (1,), 255, dtype=np.uint8)
    return np.concatenate([rgb, alpha], axis=2)[::-1].tobytes()


def picture(colours, seed=0):
    """A W x H picture of stripes in the given RGB colours."""
    table = np.array(colours, dtype=np.uint8)
    pick = (np.arange(W * H).reshape(H, W) // 5 + seed) % len(colours)
    return table[pick]


def load(path):
    from PIL import Image
    image = Image.open(path)
    image.load()
    return image


def gif_frames(path):
    """(the GIF's information as opened, its frames as RGB arrays)."""
    image = load(path)
    info = dict(image.info, n_frames=image.n_frames)
    frames = []
    for index in range(image.n_frames):
        image.seek(index)
        frames.append(np.asarray(image.convert('RGB')))
    return info, frames


def keys_of(rgb):
    rgb = np.asarray(rgb, dtype=np.uint32).reshape(-1, 3)
    return rgb[:, 0] | (rgb[:, 1] << 8) | (rgb[:, 2] << 16)


# -------------------------------------------------------------- palette ---

def test_palette_keeps_indices_in_order_of_first_appearance():
    palette = ExactPalette()
    first = keys_of([[0, 0, 0], [255, 0, 0], [0, 0, 0]])
    indices, exact = palette.indices(first)
    assert exact and indices.tolist() == [0, 1, 0] and indices.dtype == np.uint8
    second = keys_of([[0, 255, 0], [255, 0, 0], [1, 2, 3]])
    indices, exact = palette.indices(second)
    # New colours come after the old ones, which keep their indices.
    assert exact and indices.tolist() == [2, 1, 3]
    assert palette.rgb().tolist() == [[0, 0, 0], [255, 0, 0], [0, 255, 0], [1, 2, 3]]
    table = palette.table()
    assert len(table) == 3 * PALETTE_SIZE
    assert table[:12] == bytes(bytearray([0, 0, 0, 255, 0, 0, 0, 255, 0, 1, 2, 3]))
    assert table[12:] == b'\0' * (3 * PALETTE_SIZE - 12)


def test_a_full_palette_says_the_frame_is_not_exact_and_picks_the_nearest():
    palette = ExactPalette(size=3)
    palette.indices(keys_of([[0, 0, 0], [200, 0, 0], [0, 0, 200]]))
    indices, exact = palette.indices(keys_of([[190, 10, 0], [0, 0, 0], [0, 20, 180]]))
    assert exact is False
    assert indices.tolist() == [1, 0, 2]
    assert len(palette) == 3
    # Colours already in the palette stay exact afterwards.
    indices, exact = palette.indices(keys_of([[200, 0, 0]]))
    assert exact is True and indices.tolist() == [1]


# ------------------------------------------------------------------ PNG ---

def test_png_of_palette_indices_and_of_rgb_reads_back_exactly(tmpdir):
    rgb = picture([[0, 0, 0], [255, 217, 0], [179, 230, 255]])
    palette = ExactPalette()
    indices, _ = palette.indices(keys_of(rgb))
    path = str(tmpdir.join('p.png'))
    save_png(indices.reshape(H, W), path, palette.table())
    image = load(path)
    assert image.mode == 'P' and image.size == (W, H)
    assert len(image.getpalette()) == 3 * PALETTE_SIZE
    assert np.array_equal(np.asarray(image.convert('RGB')), rgb)
    frame_files.write_png(rgb, str(tmpdir.join('rgb.png')))
    image = load(str(tmpdir.join('rgb.png')))
    assert image.mode == 'RGB' and np.array_equal(np.asarray(image), rgb)


@pytest.mark.parametrize('shape, palette', [((H, W, 3), True), ((H, W), False), ((H, W, 4), False)])
def test_png_refuses_rows_of_the_wrong_shape(tmpdir, shape, palette):
    with pytest.raises(ValueError):
        save_png(np.zeros(shape, np.uint8), str(tmpdir.join('f.png')),
                 b'\0' * 768 if palette else None)
    assert os.listdir(str(tmpdir)) == []


def test_replacing_a_png_palette_in_place(tmpdir):
    indices = np.arange(W * H, dtype=np.uint8).reshape(H, W) % 3
    old = b'\0' * 768
    new = bytes(bytearray([9, 8, 7, 6, 5, 4, 3, 2, 1])) + b'\0' * 759
    path = str(tmpdir.join('f.png'))
    save_png(indices, path, old)
    size = os.path.getsize(path)
    assert replace_png_palette(path, new) is True
    assert os.path.getsize(path) == size
    image = load(path)          # Pillow checks the chunk's CRC
    assert np.array_equal(np.asarray(image), indices)
    assert image.getpalette()[:9] == [9, 8, 7, 6, 5, 4, 3, 2, 1]
    # An RGB frame has no table to replace: it is left as it was.
    rgb_path = str(tmpdir.join('rgb.png'))
    save_png(np.zeros((H, W, 3), np.uint8), rgb_path)
    before = open(rgb_path, 'rb').read()
    assert replace_png_palette(rgb_path, new) is False
    assert open(rgb_path, 'rb').read() == before


# ------------------------------------------------------------------ GIF ---

def test_gif_stream_loops_with_one_table_written_at_the_end(tmpdir):
    path = str(tmpdir.join('a.gif'))
    gif = GifStream(path, W, H, 33)
    frames = [np.full((H, W), k, np.uint8) for k in range(3)]
    for frame in frames:
        gif.add(frame)
    assert not os.path.exists(path) and os.path.exists(path + '.part')
    table = bytes(bytearray([10, 0, 0, 0, 20, 0, 0, 0, 30])) + b'\0' * 759
    assert gif.close(table) == path
    assert not os.path.exists(path + '.part')
    info, decoded = gif_frames(path)
    assert info['n_frames'] == 3 and info['loop'] == 0 and info['duration'] == 30
    assert [frame[0, 0].tolist() for frame in decoded] == [[10, 0, 0], [0, 20, 0], [0, 0, 30]]


def test_gif_stream_without_frames_leaves_no_file(tmpdir):
    path = str(tmpdir.join('none.gif'))
    assert GifStream(path, W, H, 33).close(b'\0' * 768) is None
    assert os.listdir(str(tmpdir)) == []


# --------------------------------------------------------------- writer ---

@pytest.mark.parametrize('mode', FrameWriter.MODES)
def test_writer_streams_exact_frames_with_one_shared_palette(tmpdir, mode):
    # The palette grows in frame 1 and again in frame 3: the tables of the
    # files written before must be completed at the end.
    black, red, yellow, blue = [0, 0, 0], [255, 0, 0], [255, 217, 0], [0, 0, 255]
    pictures = [picture([black, red]), picture([black, red, yellow], 1),
                picture([red, black], 2), picture([blue, yellow, black], 3)]
    writer = FrameWriter(str(tmpdir), W, H, 33, 'movra.gif', mode=mode, backlog=1)
    for rgb in pictures:
        writer.add(rgba(rgb))
    report = writer.close()
    assert (report.frames, report.colours, report.inexact) == (4, 4, 0)
    assert report.gif == str(tmpdir.join('movra.gif'))
    assert sorted(os.listdir(str(tmpdir))) == [
        'frame_0000.png', 'frame_0001.png', 'frame_0002.png', 'frame_0003.png', 'movra.gif']
    info, decoded = gif_frames(report.gif)
    assert info['n_frames'] == 4 and info['loop'] == 0
    tables = set()
    for index, rgb in enumerate(pictures):
        png = load(str(tmpdir.join('frame_%04d.png' % index)))
        assert png.mode == 'P'
        tables.add(tuple(png.getpalette()))
        assert np.array_equal(np.asarray(png.convert('RGB')), rgb), index
        assert np.array_equal(decoded[index], rgb), index
    # One table, the same in every file; GIF frames carry no table of their own.
    with open(report.gif, 'rb') as stream:
        head = stream.read(13 + 768)
    assert tables == set([tuple(bytearray(head[13:]))])


def test_writer_keeps_a_frame_with_too_many_colours_exact_in_its_png(tmpdir):
    width, height = 40, 10          # 400 pixels, each its own colour
    pixel = np.arange(width * height)
    rgb = np.stack([pixel % 256, pixel // 256, np.full_like(pixel, 50)], axis=1)
    rgb = rgb.astype(np.uint8).reshape(height, width, 3)
    writer = FrameWriter(str(tmpdir), width, height, 33, 'movra.gif', mode='inline')
    writer.add(rgba(rgb))
    writer.add(rgba(rgb[::-1]))
    report = writer.close()
    assert (report.frames, report.colours, report.inexact) == (2, PALETTE_SIZE, 2)
    png = load(str(tmpdir.join('frame_0000.png')))
    assert png.mode == 'RGB' and np.array_equal(np.asarray(png), rgb)
    _, decoded = gif_frames(report.gif)
    # The GIF shows the colours the palette has; where a colour is missing
    # it uses the nearest one: (r, 1, 50) is shown as (r, 0, 50).
    difference = np.abs(decoded[0].astype(int) - rgb.astype(int))
    assert difference.max() == 1
    assert (difference.sum(axis=2) > 0).sum() == 400 - 256


def test_writer_refuses_a_frame_of_the_wrong_size(tmpdir):
    writer = FrameWriter(str(tmpdir), W, H, 33, 'movra.gif', mode='inline')
    with pytest.raises(ValueError) as error:
        writer.add(b'\0' * (W * H * 3))
    assert str(error.value) == 'a frame of 24x10 RGBA pixels has 960 bytes, not 720'
    writer.abort()
    assert os.listdir(str(tmpdir)) == []


@pytest.mark.parametrize('mode', FrameWriter.MODES)
def test_an_error_in_the_encoder_reaches_the_caller(tmpdir, monkeypatch, mode):
    out = tmpdir.mkdir('out')
    tries = []

    def broken(rows, path, palette=None, level=3):
        tries.append(1)
        raise IOError('disk full')
    monkeypatch.setattr(frame_files, 'save_png', broken)
    writer = FrameWriter(str(out), W, H, 33, 'movra.gif', mode=mode, backlog=1)
    frame = rgba(picture([[0, 0, 0], [9, 9, 9]]))
    with pytest.raises(IOError) as error:
        for _ in range(50):         # some add() sees the error, or close() does
            writer.add(frame)
        writer.close()
    assert str(error.value) == 'disk full'
    assert len(tries) == 1          # frames after the failure are not tried
    writer.abort()
    assert os.listdir(str(out)) == []


@pytest.mark.parametrize('mode', FrameWriter.MODES)
def test_abort_keeps_the_png_frames_and_drops_the_gif(tmpdir, mode):
    writer = FrameWriter(str(tmpdir), W, H, 33, 'movra.gif', mode=mode)
    writer.add(rgba(picture([[0, 0, 0], [1, 1, 1]])))
    writer.abort()
    writer.abort()                  # twice is harmless
    assert os.listdir(str(tmpdir)) == ['frame_0000.png']


def test_an_unknown_mode_is_refused(tmpdir):
    with pytest.raises(ValueError) as error:
        FrameWriter(str(tmpdir), W, H, 33, 'movra.gif', mode='fork')
    assert str(error.value) == "mode must be one of thread, inline, not 'fork'"
    assert os.listdir(str(tmpdir)) == []


# --------------------------------------------------------------- folder ---

def test_output_folder_is_created_and_old_frames_go(tmpdir):
    folder = tmpdir.join('a', 'b')
    assert prepare_output_folder(str(folder)) == 0
    for name in ('frame_0000.png', 'frame_12345.png', 'frame_1.png', 'movra.gif', 'x.png'):
        folder.join(name).write('old')
    assert prepare_output_folder(str(folder)) == 2
    assert sorted(os.listdir(str(folder))) == ['frame_1.png', 'movra.gif', 'x.png']


@pytest.mark.parametrize('make, message', [
    (lambda t: t.join('file').write('x') or t.join('file'),
     'output folder {} exists and is not a folder'),
    (lambda t: t.join('file').write('x') or t.join('file', 'sub'),
     'cannot write to the output folder {}: Not a directory'),
    (lambda t: '/proc/movra-frames', 'cannot write to the output folder {}: No such file or directory'),
    (lambda t: '/proc/self', 'cannot write to the output folder {}: '),
])
def test_output_folder_that_cannot_be_written_is_one_error(tmpdir, make, message):
    folder = str(make(tmpdir))
    with pytest.raises(OutputFolderError) as error:
        prepare_output_folder(folder)
    assert str(error.value).startswith(message.format(folder))
    assert '\n' not in str(error.value)


def test_find_executable_without_shutil_which(tmpdir, monkeypatch):
    tool = tmpdir.join('movra-tool')
    tool.write('#!/bin/sh\n')
    tool.chmod(0o755)
    tmpdir.join('not-executable').write('')
    monkeypatch.setattr(xvfb, '_which', None)
    monkeypatch.setenv('PATH', os.pathsep.join(['/nonexistent', str(tmpdir)]))
    assert xvfb.find_executable('movra-tool') == str(tool)
    assert xvfb.find_executable('not-executable') is None
    assert xvfb.find_executable('absent') is None
    assert xvfb.find_executable(str(tool)) == str(tool)



def test_a_palette_png_laid_out_otherwise_gets_its_table_all_the_same(tmpdir):
    # A colour profile (iCCP) stands before the table, where the frames of
    # the writer have none: the table is then written by saving again.
    from PIL import Image
    indices = np.arange(W * H, dtype=np.uint8).reshape(H, W) % 3
    image = Image.frombytes('P', (W, H), indices.tobytes())
    image.putpalette(b'\0' * 768)
    path = str(tmpdir.join('profiled.png'))
    image.save(path, 'PNG', icc_profile=b'\0' * 128)
    new = bytes(bytearray([9, 8, 7, 6, 5, 4, 3, 2, 1])) + b'\0' * 759
    assert replace_png_palette(path, new) is True
    image = load(path)
    assert np.array_equal(np.asarray(image), indices)
    assert image.getpalette()[:9] == [9, 8, 7, 6, 5, 4, 3, 2, 1]
