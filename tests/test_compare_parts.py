"""Parts of KestCompare on their own: the side-by-side picture and its shares
per viewport, and how a folder of learners is found and named."""
from __future__ import division

import os

import numpy as np
import pytest

import KestCompare
import KestComparePictures as pictures

SIDE = 20          # frames of 20 x 20 pixels: viewports of 10 x 10


def frame(tmpdir, name, marks=()):
    """A black frame with white rectangles (top, left, height, width)."""
    from PIL import Image
    pixels = np.zeros((SIDE, SIDE, 3), dtype=np.uint8)
    for top, left, height, width in marks:
        pixels[top:top + height, left:left + width] = 255
    path = str(tmpdir.join(name))
    Image.fromarray(pixels, 'RGB').save(path, 'PNG')
    return path


@pytest.mark.parametrize('marks, shares', [
    ([], dict(viewport1=0.0, viewport2=0.0, viewport3=0.0, viewport4=0.0)),
    ([(0, 10, 5, 10)], dict(viewport1=0.0, viewport2=0.0, viewport3=0.0, viewport4=0.5)),
    ([(10, 0, 10, 10)], dict(viewport1=1.0, viewport2=0.0, viewport3=0.0, viewport4=0.0)),
    ([(19, 19, 1, 1), (0, 0, 2, 5)],
     dict(viewport1=0.0, viewport2=0.01, viewport3=0.1, viewport4=0.0)),
])
def test_shares_are_counted_per_quadrant_top_down(tmpdir, marks, shares):
    """Row 0 of the image is the window's top: viewports 3 and 4 are there."""
    out = str(tmpdir.join('side.png'))
    found = pictures.compose(frame(tmpdir, 'm.png'), frame(tmpdir, 'y.png', marks), out, SIDE)
    assert found == shares
    from PIL import Image
    image = np.asarray(Image.open(out).convert('RGB'))
    assert image.shape == (SIDE + pictures.LABEL_HEIGHT, 3 * SIDE + 2 * pictures.GAP, 3)
    third = image[pictures.LABEL_HEIGHT:, 2 * (SIDE + pictures.GAP):]
    marked = np.all(third == pictures.MARK, axis=-1)
    assert marked.sum() == sum(h * w for _, _, h, w in marks)


def test_a_missing_frame_gives_a_gray_panel_and_unknown_shares(tmpdir):
    out = str(tmpdir.join('side.png'))
    found = pictures.compose(frame(tmpdir, 'm.png'), None, out, SIDE)
    assert found == dict((v, None) for v in pictures.VIEWPORTS)
    from PIL import Image
    image = np.asarray(Image.open(out).convert('RGB'))
    yours = image[pictures.LABEL_HEIGHT:, SIDE + pictures.GAP:2 * SIDE + pictures.GAP]
    assert np.all(yours == pictures.MISSING)


def test_learners_are_found_below_the_folder_but_not_in_hidden_ones(tmpdir):
    for folder in ('b', 'a/deep', '.git', '__pycache__', 'c'):
        tmpdir.join(folder).ensure(dir=True)
    for path in ('b/Movra.py', 'a/deep/Movra.py', '.git/Movra.py', '__pycache__/Movra.py',
                 'Movra.py', 'c/movra.py', 'c/Movra.py.bak'):
        tmpdir.join(path).write('')
    found = [os.path.relpath(p, str(tmpdir)) for p in KestCompare.find_learners(str(tmpdir))]
    assert found == ['Movra.py', os.path.join('a', 'deep', 'Movra.py'),
                     os.path.join('b', 'Movra.py')]


def test_report_folders_are_safe_and_distinct():
    taken = set()
    names = [KestCompare.report_folder_name(r, taken)
             for r in ['.', 'alice', os.path.join('group 1', 'bob'), 'alice', '..x', '<>']]
    assert names == ['_top', 'alice', 'group_1__bob', 'alice_2', 'x', '__']


def test_the_index_page_escapes_what_learners_named():
    row = {'learner': '<script>/Movra.py', 'identical': False, 'result': '2 differences',
           'first_difference': 'global near: Movra 1.0 (float), yours "1" (str) & more',
           'folder': 'x', 'text_report': 'a&b/report.txt', 'report': 'a&b/report.json',
           'pictures': ['a&b/pictures/defaults.png']}
    page = KestCompare.summary_html({'folder': '/class <1>', 'identical_learners': 0,
                                     'learners': 1, 'rows': [row]})
    assert '<script>' not in page
    assert '&lt;script&gt;/Movra.py' in page and '/class &lt;1&gt;' in page
    assert 'yours &quot;1&quot; (str) &amp; more' in page
    assert '<a href="a&amp;b/report.txt">report</a>' in page
    assert '<img src="a&amp;b/pictures/defaults.png"' in page
