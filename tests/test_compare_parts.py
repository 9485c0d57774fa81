"""Parts of KestCompare on their own: the side-by-side picture and its shares
per viewport, its thumbnail, the report folders of a class and the escaping
of the class page (finding the learners: test_compare_submissions.py)."""
from __future__ import division

import base64
import zlib

import numpy as np
import pytest

from kestcompare import classrun, pictures, reports

pytestmark = pytest.mark.compare

SIDE = 20          # frames of 20 x 20 pixels: viewports of 10 x 10


def frame(tmpdir, name, marks=()):
    """A black frame with white rectangles (top, left, height, width)."""
    pixels = np.zeros((SIDE, SIDE, 3), dtype=np.uint8)
    for top, left, height, width in marks:
        pixels[top:top + height, left:left + width] = 255
    return pixels


def sent(rows, side=SIDE, **fields):
    """A frame as a worker sends it."""
    image = {'width': side, 'height': side,
             'rgb': base64.b64encode(zlib.compress(rows)).decode('ascii')}
    image.update(fields)
    return image


def test_a_frame_as_a_worker_sends_it_is_read_back_exactly():
    pixels = np.arange(SIDE * SIDE * 3, dtype=np.uint8).reshape(SIDE, SIDE, 3)
    assert np.array_equal(pictures.frame_of(sent(pixels.tobytes()), SIDE), pixels)


@pytest.mark.parametrize('image', [
    None,
    sent(b'\0' * (SIDE * SIDE * 3), side=SIDE + 1),              # another side than asked
    sent(b'\0' * (SIDE * SIDE * 3 - 1)),                        # a byte short
    sent(b'\0' * (SIDE * SIDE * 3 + 1)),                        # a byte over
    sent(b'\0' * (100 * 1024 * 1024)),                          # inflates far past a frame
    {'width': SIDE, 'height': SIDE, 'rgb': 'not base64 at all!'},
    {'width': SIDE, 'height': SIDE, 'rgb': base64.b64encode(b'not zlib').decode('ascii')},
], ids=['none', 'side', 'short', 'long', 'bomb', 'base64', 'zlib'])
def test_a_frame_that_is_not_exactly_one_is_no_frame(image):
    assert pictures.frame_of(image, SIDE) is None


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


@pytest.mark.parametrize('side, pixel, marked', [
    (400, (301, 37), (150, 18)),      # halved: the one differing pixel still shows
    (20, (3, 4), (30, 40)),           # enlarged: as a block of ten by ten
])
def test_a_thumbnail_keeps_every_differing_pixel(tmpdir, side, pixel, marked):
    from PIL import Image
    movra = np.zeros((side, side, 3), dtype=np.uint8)
    yours = movra.copy()
    yours[pixel[1], pixel[0]] = 255
    thumbnail = str(tmpdir.join('thumb.png'))
    pictures.compose(movra, yours, str(tmpdir.join('side.png')), side, thumbnail)
    image = np.asarray(Image.open(thumbnail).convert('RGB'))
    assert image.shape == (pictures.THUMBNAIL, pictures.THUMBNAIL, 3)
    found = np.argwhere(np.all(image == pictures.MARK, axis=-1))
    assert len(found) and [marked[1], marked[0]] in found.tolist()
    assert len(found) <= (pictures.THUMBNAIL // side + 1) ** 2 * 4


def test_report_folders_are_safe_and_distinct():
    taken = set(['mine'])
    names = [classrun.report_folder_name(r, taken)
             for r in ['alice', 'group 1/bob', 'alice', '..x', '<>', 'mine', 'Lee Kim (2)']]
    assert names == ['alice', 'group_1__bob', 'alice_2', 'x', '__', 'mine_2', 'Lee_Kim__2_']


def test_the_index_page_escapes_what_learners_named():
    row = {'learner': '<script>/Movra.py', 'file': '<script>/Movra.py', 'identical': False,
           'result': '2 differences',
           'severity': 'calls only', 'differences': 2,
           'first_difference': 'global near: Movra 1.0 (float), yours "1" (str) & more',
           'folder': 'x', 'text_report': 'a&b/report.txt', 'report': 'a&b/report.json',
           'html_report': 'a&b/report.html',
           'hints': [{'kind': 'sign', 'explains': ['global <left>'],
                      'text': 'yours has the other sign'}],
           'pictures': [{'state': 'defaults', 'image': 'a&b/pictures/defaults.png',
                         'thumbnail': 'a&b/pictures/defaults.thumb.png',
                         'shares': {'viewport1': 0.0, 'viewport2': 0.5, 'viewport3': None,
                                    'viewport4': 0.0}}]}
    counts = dict((s, 0) for s in reports.SEVERITIES)
    counts['calls only'] = 1
    page = reports.summary_html({'folder': '/class <1>', 'identical_learners': 0,
                                 'learners': 1, 'counts': counts, 'rows': [row],
                                 'skipped': [{'path': '<x>.py', 'reason': 'a & b', 'files': 1}],
                                 'python': {'version': '3.13.0'}})
    # The page's own script is the only one.
    assert '<script>/Movra.py' not in page and page.count('<script>') == 1
    assert '&lt;script&gt;/Movra.py' in page and '/class &lt;1&gt;' in page
    assert 'yours &quot;1&quot; (str) &amp; more' in page
    assert '<a class="report" href="a&amp;b/report.html">&lt;script&gt;/Movra.py</a>' in page
    assert '<a href="a&amp;b/report.txt">text</a>' in page
    assert ('<a href="a&amp;b/pictures/defaults.png"><img src="a&amp;b/pictures/defaults.thumb'
            '.png" width="200" height="200"') in page
    assert '<span class="kind">sign</span>: global &lt;left&gt;: yours has the other sign' in page
    assert '<li><code>&lt;x&gt;.py</code>: a &amp; b</li>' in page
    assert ('<td class="zero">0.00%</td><td class="nonzero">50.00%</td><td>?</td>'
            '<td class="zero">0.00%</td>') in page
    assert '<td class="count sev-calls-only" data-severity="calls only">1</td>' in page
    assert 'under Python 3.13.0' in page
