"""getGL_MODELVIEW_PROJ on the simulating GL: what it queries, prints and returns."""
from __future__ import print_function

import gc
import sys
import tempfile

import numpy as np
import pytest

import glfake
import Movra
from compat import StringIO, exc_clear, soft_space_after_print, soft_space_blank
from conftest import movra_records
from test_matrices import Listing

READ = Movra.getGL_MODELVIEW_PROJ
MV, PROJ = Movra.GL_MODELVIEW_MATRIX, Movra.GL_PROJECTION_MATRIX


class SlotStream(object):
    """A stream that cannot carry a soft-space flag."""
    __slots__ = ('parts',)

    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)

    def getvalue(self):
        return ''.join(self.parts)


def printed(function, stream, monkeypatch):
    monkeypatch.setattr(sys, 'stdout', stream)
    result = function()
    monkeypatch.undo()
    return stream.getvalue(), getattr(stream, 'softspace', None), result


@pytest.mark.parametrize('make_stream, softspace', [
    (StringIO, 0), (StringIO, 1), (SlotStream, None)],
    ids=['plain', 'soft-space set', 'no soft-space attribute'])
def test_identity_prints_two_tuples_and_returns_both(monkeypatch, make_stream, softspace):
    streams = [make_stream(), make_stream()]
    if softspace is not None:
        for stream in streams:
            stream.softspace = softspace
    text, left, result = printed(READ, streams[0], monkeypatch)
    assert glfake.calls == [('glGetDoublev', (MV,)), ('glGetDoublev', (PROJ,))]
    assert all(args[0] is name for (_, args), name in zip(glfake.calls, (MV, PROJ)))
    # What print makes of the same tuples on a fresh stream.
    expected = StringIO()
    print(('GL_MODELVIEW ', result[0]), file=expected)
    print(('GL_PROJECTION ', result[1]), file=expected)
    blank = soft_space_blank(softspace)
    assert text == blank + expected.getvalue()
    lines = [line for line in text.split('\n') if line.lstrip(' ').startswith("('")]
    assert len(lines) == 2 and text.endswith('\n')
    assert lines[0].startswith(blank + "('GL_MODELVIEW ', array([[1., 0.,")
    assert lines[1].startswith("('GL_PROJECTION ', array([[1., 0.,")
    assert (text, left) == printed(Listing.getGL_MODELVIEW_PROJ, streams[1], monkeypatch)[:2]
    assert left == soft_space_after_print(softspace)
    assert type(result) is tuple and len(result) == 2
    for item in result:
        assert type(item) is np.ndarray and item.dtype == np.float64
        assert np.array_equal(item, np.eye(4))
    assert (glfake.depth('modelview'), glfake.depth('projection')) == (1, 1)
    assert glfake.state.matrix_mode == Movra.GL_MODELVIEW


BUILT = ['rotateX(30)', 'rotateY(-70)', 'translate([1, -2, 3.5])', 'scale([2, 0.5, -4])',
         'projective(1, 3)', 'projective(0.5, 20)', 'perspective(60, 1, 0.01, 20)',
         'perspective(45, 1.5, 1, 9)']


@pytest.mark.parametrize('mode, index', [(Movra.GL_MODELVIEW, 0), (Movra.GL_PROJECTION, 1)],
                         ids=['modelview', 'projection'])
@pytest.mark.parametrize('built', BUILT)
def test_matrix_multiplied_onto_identity_reads_back_as_itself(capsys, mode, index, built):
    P = eval(built, vars(Movra))
    Movra.glMatrixMode(mode)
    Movra.glLoadIdentity()
    Movra.glMultMatrixd(np.transpose(P))
    result = READ()
    assert np.array_equal(result[index], P)
    assert np.array_equal(result[1 - index], np.eye(4))
    assert glfake.state.matrix_mode == mode
    assert capsys.readouterr().out.count("('GL_") == 2


class FailingStream(StringIO):
    def write(self, text):
        if text.startswith("('GL_PROJECTION"):
            raise IOError('disk full')
        return StringIO.write(self, text)


def closed_file():
    stream = tempfile.TemporaryFile('w')
    stream.close()
    return stream


def closed_file_error():
    """What writing a text to a closed file raises on this Python."""
    try:
        closed_file().write('text')
    except ValueError as error:
        return (ValueError, str(error))


BOOM = RuntimeError('no context')
FRESH = StringIO


@pytest.mark.parametrize('deleted, make_stream, raise_on, error, line, queries, lines', [
    ((), None, None, (RuntimeError, 'lost sys.stdout'), 47, 1, 0),
    ((), FailingStream, None, (IOError, 'disk full'), 49, 2, 1),
    ((), closed_file, None, closed_file_error(), 47, 1, 0),
    (('GL_MODELVIEW_MATRIX',), FRESH, None,
     (NameError, "name 'GL_MODELVIEW_MATRIX' is not defined"), 46, 0, 0),
    (('transpose', 'GL_MODELVIEW_MATRIX'), FRESH, None,
     (NameError, "name 'transpose' is not defined"), 46, 0, 0),
    (('glGetDoublev',), FRESH, None, (NameError, "name 'glGetDoublev' is not defined"), 46, 0, 0),
    (('GL_PROJECTION_MATRIX',), FRESH, None,
     (NameError, "name 'GL_PROJECTION_MATRIX' is not defined"), 48, 1, 1),
    ((), FRESH, {'glGetDoublev': BOOM}, (RuntimeError, 'no context'), 46, 1, 0),
], ids=['lost stdout', 'failing write', 'closed file', 'no GL_MODELVIEW_MATRIX', 'transpose looked up first',
        'no glGetDoublev', 'no GL_PROJECTION_MATRIX', 'glGetDoublev raises'])
def test_failures(monkeypatch, deleted, make_stream, raise_on, error, line, queries, lines):
    for name in deleted:
        monkeypatch.delattr(Movra, name)
    stream = make_stream() if make_stream else None
    if stream is None:
        monkeypatch.delattr(sys, 'stdout')
    else:
        monkeypatch.setattr(sys, 'stdout', stream)
    glfake.raise_on.update(raise_on or {})
    with pytest.raises(Exception) as info:
        READ()
    monkeypatch.undo()
    assert (info.type, str(info.value)) == error
    assert info.value is BOOM or not raise_on
    assert movra_records(info.tb) == [('Movra.getGL_MODELVIEW_PROJ', line)]
    assert glfake.names() == ['glGetDoublev'] * queries
    text = stream.getvalue() if hasattr(stream, 'getvalue') else ''
    assert text.count("('GL_") == lines
    assert (text.startswith("('GL_MODELVIEW ', array(") and text.endswith('))\n')) or not lines


def test_reference_counts_stay_flat(monkeypatch):
    marker = np.arange(16.0).reshape(4, 4)
    monkeypatch.setattr(Movra, 'transpose', lambda m: marker)
    stream, namespace = StringIO(), vars(Movra)
    watched = [marker, stream, namespace, MV, PROJ, Movra.glGetDoublev]

    def run(times):
        for _ in range(times):
            sys.stdout = stream
            result = READ()
            assert len(result) == 2 and result[0] is marker and result[1] is marker
            del sys.stdout
            with pytest.raises(RuntimeError):
                READ()
            exc_clear()
            del glfake.calls[:]  # the recorder keeps every argument
        del result
        stream.truncate(0)
        gc.collect()
        return [sys.getrefcount(obj) for obj in watched]
    saved = sys.stdout
    try:
        first = run(3)
        assert run(200) == first
    finally:
        sys.stdout = saved
