"""Faults of the compare tool itself, each found by running it as a teacher
would: an infinite difference, a failure of the tool's own code, files that
the interpreter's import accepts or refuses for their bytes, texts of several
lines in a table's cell, a run without the sandbox, and a machine without
bubblewrap."""
from __future__ import division

import csv
import io
import json
import os
import subprocess
import sys

import pytest

from compare_seeds import PY2, run_tool, seeded, write
from conftest import LISTING

pytestmark = pytest.mark.compare

PRODUCT = ('    P = translate([-1, -1, -1]) * scale([2 / (right - left), 2 / (top - bottom), '
           '-2 / (far - near)]) * translate([-left, -bottom, near]) * projective(near, far)')
REORDERED = ('    P = projective(near, far) * translate([-left, -bottom, near]) * '
             'scale([2 / (right - left), 2 / (top - bottom), -2 / (far - near)]) * '
             'translate([-1, -1, -1])')
RAISES = [('    glViewport(0, 0, int(sizeViewport), int(sizeViewport))',
           "    raise ValueError('first line\\nsecond\\tline')")]


def test_an_infinite_difference_is_reported_as_such(tmpdir):
    impl = tmpdir.join('Movra.py')
    impl.write(seeded([(PRODUCT, REORDERED)]))
    status, text, err = run_tool(str(impl), '--out', str(tmpdir.join('o')), '--no-pictures')
    assert (status, err) == (1, '')
    report = json.loads(tmpdir.join('o', 'report.json').read())
    builder = report['matrices']['perspective']
    assert builder['verdict'] == 'different'
    assert builder['largest_difference'] == 'inf'
    assert builder['largest_at'] == 'perspective(60, 0, 1, 10)'
    assert ', largest difference inf at perspective(60, 0, 1, 10); first ' in text


@pytest.mark.skipif(PY2, reason='the compare tool runs on Python 3')
def test_a_failure_of_the_tool_itself_is_never_the_learners(tmpdir, monkeypatch):
    from kestcompare import compare
    from kestcompare.settings import Settings

    def broken(self, m_load, y_load):
        raise KeyError('a fault of the tool')
    monkeypatch.setattr(compare.Comparison, 'compare_names', broken)
    settings = Settings(LISTING, out=str(tmpdir), pictures=False, echo=False)
    status = compare.Comparison(settings).run()
    assert status == compare.TOOL_ERROR == 3
    report = json.loads(tmpdir.join('report.json').read())
    assert report['severity'] == 'tool error' and report['status'] == 3
    assert "KeyError: 'a fault of the tool'" in report['tool_error']
    assert 'in broken' in report['tool_error']          # the whole traceback
    assert [item['text'] for item in report['items'] if item['different']] == [
        "the tool itself failed: KeyError: 'a fault of the tool' (the traceback is in the "
        "report)"]


ENCODINGS = [
    ('comment', b'# caf\xe9\n'),
    ('string', b"_word = 'caf\xe9'\n"),
    ('declared', b'# -*- coding: latin-1 -*-\n# caf\xe9\n'),
    ('utf-8', u"_word = 'caf\xe9'\n".encode('utf-8')),
    ('bom', b'\xef\xbb\xbf_word = 1\n'),
]


def imports(folder):
    """Whether this interpreter's own import takes the file folder/learner.py."""
    return subprocess.call([sys.executable, '-c', 'import sys; sys.path.insert(0, %r); '
                            'sys.dont_write_bytecode = True; import learner' % str(folder)],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE) == 0


@pytest.mark.parametrize('name, head', ENCODINGS, ids=[e[0] for e in ENCODINGS])
def test_a_file_is_loaded_as_the_interpreters_import_loads_it(tmpdir, name, head):
    source = seeded([]).encode('ascii')
    docstring_end = source.index(b'"""\n', 3) + 4
    data = source[:docstring_end] + head + source[docstring_end:]
    if name in ('declared', 'bom'):
        data = head + source
    tmpdir.join('learner.py').write_binary(data)
    expected = imports(tmpdir)
    status, text, err = run_tool(str(tmpdir.join('learner.py')), '--out',
                                 str(tmpdir.join('o')), '--no-pictures')
    assert status == (0 if expected else 2), text
    if not expected:
        assert 'SyntaxError' in text.splitlines()[1]


def test_texts_of_several_lines_take_one_line_of_a_table(tmpdir):
    folder = tmpdir.join('class')
    write(str(folder.join('ann', 'Movra.py')), seeded(RAISES))
    write(str(folder.join('bob', 'Movra.py')), seeded([]))
    status, text, err = run_tool(str(folder), '--out', str(tmpdir.join('o')), '--no-pictures')
    assert status == 1
    with io.open(str(tmpdir.join('o', 'grades.csv')), encoding='utf-8', newline='') as stream:
        raw = stream.read()
    table = list(csv.reader(io.StringIO(raw)))
    assert len(raw.splitlines()) == len(table) == 3
    ann = [cells for cells in table if cells[0] == 'ann'][0]
    assert 'ValueError: first line / second line' in ann[9]
    assert all('\n' not in cell and '\t' not in cell for cells in table for cell in cells)
    table_lines = [line for line in text.splitlines() if line.startswith('ann ')]
    assert len(table_lines) == 1 and 'first line / second line' in table_lines[0]


def test_without_the_sandbox_every_report_says_so(tmpdir):
    folder = tmpdir.join('class')
    write(str(folder.join('ann', 'Movra.py')), seeded([]))
    status, text, err = run_tool(str(folder), '--out', str(tmpdir.join('o')), '--no-pictures',
                                 '--no-sandbox')
    assert status == 0
    out = tmpdir.join('o')
    report = json.loads(out.join('ann', 'report.json').read())
    assert report['sandbox'] == {'sandboxed': False, 'limits': None}
    assert report['lines'][0].endswith(', not sandboxed')
    assert 'not sandboxed' in out.join('ann', 'report.html').read()
    assert '<span id="sandbox">not sandboxed</span>' in out.join('index.html').read()
    with io.open(str(out.join('grades.csv')), encoding='utf-8', newline='') as stream:
        table = list(csv.reader(stream))
    assert [cells[-1] for cells in table] == ['sandbox', 'not sandboxed']
    assert text.splitlines()[-1].count(', not sandboxed;') == 1


def test_where_bubblewrap_is_missing_the_tool_refuses_and_says_what_to_install(tmpdir):
    bare = tmpdir.join('bin')
    bare.ensure(dir=True)
    env = dict(os.environ, PATH=str(bare))
    status, text, err = run_tool(LISTING, '--out', str(tmpdir.join('o')), '--no-pictures',
                                 env=env)
    assert (status, text) == (2, '')
    assert err.strip() == (
        "KestCompare.py: error: refusing to run the learner's code: bubblewrap is not "
        "installed: install the Debian package bubblewrap (apt-get install bubblewrap), or "
        "run with --no-sandbox only for files you trust")
    assert not tmpdir.join('o').check()
    # told --no-sandbox, it runs
    status, text, err = run_tool(LISTING, '--out', str(tmpdir.join('o')), '--no-pictures',
                                 '--no-sandbox', env=env)
    assert status == 0 and text.splitlines()[0].endswith(', not sandboxed')


def test_a_file_that_uses_up_its_cpu_time_is_told_so(tmpdir):
    impl = tmpdir.join('Movra.py')
    # A loop that needs no memory (Python 2's range would make a list).
    impl.write(seeded([('myQuadric = 0\n', 'myQuadric = 0\n_spent = 0\nwhile True:\n'
                                            '    _spent += 1\n')]))
    status, text, err = run_tool(str(impl), '--out', str(tmpdir.join('o')), '--no-pictures',
                                 '--cpu-limit', '1', '--time-limit', '20')
    assert status == 2
    assert text.splitlines()[1] == (
        'DIFFERENT  loading: %s could not be loaded: loading it used up its CPU time (1 s)'
        % impl)
