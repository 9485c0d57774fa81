"""host/KestCompare.py on copies of the listing with faults seeded in them.

The tool runs as a subprocess, as `make compare` runs it. One run over a
folder of learners (every fault at once, in parallel) is shared by most
tests; a few single-file runs check the command line: exit statuses, the
text report, --json and the pictures.
"""
from __future__ import division

import json
import os
import subprocess
import sys

import numpy
import pytest

from conftest import LISTING, ROOT

COMPARE = os.path.join(ROOT, 'host', 'KestCompare.py')
LIMIT = '1'          # seconds per call: the hanging faults cost this much
with open(LISTING) as _listing:
    SOURCE = _listing.read()


def seeded(substitutions):
    """The listing with each (old, new) applied; old must occur exactly once."""
    text = SOURCE
    for old, new in substitutions:
        assert text.count(old) == 1, 'the listing changed: %r' % old
        text = text.replace(old, new)
    return text


def line_of(text, fragment):
    return text[:text.index(fragment)].count('\n') + 1


FAULTS = {
    'sign': [('[0, cos(theta), sin(theta), 0], [0, -sin(theta), cos(theta), 0]',
              '[0, cos(theta), -sin(theta), 0], [0, sin(theta), cos(theta), 0]')],
    'intfloat': [('glTranslatef(0.0, 0, -3.0)', 'glTranslatef(0, 0, -3.0)')],
    'nopop': [('    glPopMatrix()\n\n\ndef Viewport1', '\n\ndef Viewport1')],
    'quadrant': [('glViewport(int(sizeViewport), 0, int(sizeViewport), int(sizeViewport))',
                  'glViewport(0, int(sizeViewport), int(sizeViewport), int(sizeViewport))')],
    'syntax': [('def rotateX(angle_deg):', 'def rotateX(angle_deg)')],
    'loops': [('    thetaY = deg2rad(fovy)', '    while True:\n        pass\n'
               '    thetaY = deg2rad(fovy)')],
    # Swallows the alarm too: only the kill ends it.
    'stubborn': [('    glModelViewMatrix = transpose(',
                  '    while True:\n        try:\n            while True:\n                pass\n'
                  '        except BaseException:\n            pass\n'
                  '    glModelViewMatrix = transpose(')],
    'exits': [('    glPushMatrix()\n    glTranslatef(eyeX, eyeY, eyeZ)',
               '    sys.exit(3)\n    glPushMatrix()\n    glTranslatef(eyeX, eyeY, eyeZ)')],
    'crashes': [('    glViewport(0, 0, int(sizeViewport), int(sizeViewport))',
                 '    import ctypes\n    ctypes.string_at(0)\n'
                 '    glViewport(0, 0, int(sizeViewport), int(sizeViewport))')],
    'prints': [('    glViewport(0, int(sizeViewport), int(sizeViewport), int(sizeViewport))',
                "    print('hello from Viewport3')\n"
                '    glViewport(0, int(sizeViewport), int(sizeViewport), int(sizeViewport))'),
               ('    T = np.eye(4)\n', '    T = np.eye(4)\n    print(translate_vec)\n')],
    'missing': [('def drawCamera():', 'def drawKamera():'), ('myQuadric = 0\n', '')],
    'importerror': [('import numpy as np', 'import numpi as np')],
    # Writes to descriptor 1 itself, reads stdin and drops sys.stdout while loading.
    'hostile': [('import numpy as np\n', 'import numpy as np\nimport os as _os\n'
                 "_os.write(1, b'written to fd 1\\n')\n_read = sys.stdin.read()\n"
                 'sys.stdout = None\n'),
                ('    glModelViewMatrix = transpose(',
                 "    import warnings\n    warnings.warn('careful', UserWarning)\n"
                 '    glModelViewMatrix = transpose(')],
    'listing': [],
}
# Folder of each learner below the class folder: one nested, one with
# characters that the index page must escape.
FOLDERS = dict((name, name) for name in FAULTS)
FOLDERS['sign'] = os.path.join('group2', 'sign')
FOLDERS['prints'] = 'prints <b>&'


def run_tool(*args):
    process = subprocess.Popen([sys.executable, COMPARE] + list(args), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, cwd=ROOT)
    out, err = process.communicate()
    return process.returncode, out.decode('utf-8'), err.decode('utf-8')


@pytest.fixture(scope='module')
def klass(tmpdir_factory):
    """One run of the tool over a folder holding every seeded fault."""
    base = tmpdir_factory.mktemp('compare')
    for name, substitutions in FAULTS.items():
        folder = base.join('class', FOLDERS[name])
        folder.ensure(dir=True)
        folder.join('Movra.py').write(seeded(substitutions))
    out = base.join('out')
    status, text, err = run_tool(str(base.join('class')), '--out', str(out), '--time-limit',
                                 LIMIT, '--jobs', '4', '--picture-size', '40')
    summary = json.loads(out.join('summary.json').read())
    by_file = dict((row['learner'], row) for row in summary['rows'])
    rows = dict((name, by_file[os.path.join(FOLDERS[name], 'Movra.py')]) for name in FAULTS)
    reports = dict((name, json.loads(out.join(rows[name]['folder'], 'report.json').read()))
                   for name in FAULTS)
    return {'status': status, 'text': text, 'err': err, 'summary': summary, 'out': out,
            'rows': rows, 'reports': reports}


def first(report, function, state='defaults'):
    return report['functions'][function][state]


def kinds(entry):
    return [d['kind'] for d in entry['differences']]


# -------------------------------------------------- each fault, where it is ---

def check_sign(r):
    rotate = r['matrices']['rotateX']
    assert rotate['verdict'] == 'different'
    assert rotate['first_difference']['arguments'] == 'rotateX(90)'
    assert rotate['first_difference']['detail'] == '[1][2] Movra 1.0, yours -1.0'
    assert rotate['largest_difference'] == 2.0 and rotate['largest_at'] == 'rotateX(90)'
    assert rotate['result_type'] == {'movra': 'numpy.matrix', 'yours': 'numpy.matrix'}
    # rotateX(0) gives -0.0 where Movra has 0.0: equal, not bitwise equal.
    assert r['matrices']['rotateY']['verdict'] == 'bitwise equal'
    found = first(r, 'Viewport4', 'own-matrices')['first_difference']
    assert (found['call'], found['kind'], found['argument']) == (7, 'value', 1)
    assert found['movra'] == 'glMultMatrixd(<4x4 numpy.matrix of float64>)'
    assert first(r, 'Viewport4', 'defaults')['equal']      # GLU set-up: no rotateX
    assert first(r, 'Viewport4', 'own-matrices-start')['equal']


def check_intfloat(r):
    for state in ('defaults', 'tick45', 'own-matrices'):
        found = first(r, 'drawScene', state)['first_difference']
        assert found == {'call': 3, 'kind': 'type', 'argument': 1,
                         'movra': 'glTranslatef(0.0, 0, -3.0)',
                         'yours': 'glTranslatef(0, 0, -3.0)',
                         'detail': 'argument 1: Movra float, yours int'}
    assert first(r, 'Viewport1')['first_difference']['call'] == 7 + 3
    assert first(r, 'drawCamera')['equal']


def check_nopop(r):
    camera = first(r, 'drawCamera')
    assert camera['first_difference']['call'] == 7
    assert camera['first_difference']['kind'] == 'missing'
    assert camera['first_difference']['movra'] == 'glPopMatrix()'
    assert camera['first_difference']['yours'] is None
    assert camera['depth'] == {'movra': {'modelview': 1, 'projection': 1},
                               'yours': {'modelview': 2, 'projection': 1}}
    assert kinds(camera) == ['calls', 'depth']
    # Viewport2 goes on after the figure: the next call comes one too early.
    found = first(r, 'Viewport2')['first_difference']
    assert (found['call'], found['kind']) == (29, 'function')
    assert found['movra'] == 'glPopMatrix()' and found['yours'] == 'glPushMatrix()'


def check_quadrant(r):
    found = first(r, 'Viewport2')['first_difference']
    assert (found['call'], found['kind'], found['argument']) == (1, 'value', 1)
    assert found['movra'] == 'glViewport(350, 0, 350, 350)'
    assert found['yours'] == 'glViewport(0, 350, 350, 350)'
    picture = r['pictures']['defaults']
    assert picture['viewport2'] > 0.01 and picture['viewport3'] > 0.01
    assert picture['viewport1'] == 0 and picture['viewport4'] == 0


def check_syntax(r):
    assert r['status'] == 2 and not r['loaded'] and not r['identical']
    error = r['load_error']
    assert error['type'] == 'SyntaxError'
    assert error['line'] == line_of(SOURCE, 'def rotateX(angle_deg):')
    assert error['source'] == 'def rotateX(angle_deg)'
    assert r['lines'][-1] == 'could not be loaded'


def check_loops(r):
    builder = r['matrices']['perspective']
    assert builder['verdict'] == 'did not return' and builder['run'] == 1
    assert builder['first_difference'] == {'arguments': 'perspective(90, 1, 1, 3)',
                                           'detail': 'did not return within 1 s'}
    hung = first(r, 'Viewport4', 'own-matrices-start')
    assert hung['differences'][0] == {'kind': 'did not return',
                                      'text': 'yours did not return within 1 s'}
    # The calls made before the loop are still compared.
    assert hung['calls']['yours'] == 3 and hung['first_difference']['kind'] == 'missing'
    assert first(r, 'Viewport4', 'own-matrices')['not_run']
    assert first(r, 'Viewport4', 'defaults')['equal']
    assert first(r, 'drawMain', 'own-matrices-start')['differences'][0]['kind'] == \
        'did not return'
    assert r['matrices']['rotateX']['verdict'] == 'bitwise equal'


def check_stubborn(r):
    entry = first(r, 'getGL_MODELVIEW_PROJ')
    assert kinds(entry) == ['did not return']
    assert all(first(r, 'getGL_MODELVIEW_PROJ', s)['not_run']
               for s in ('tick1', 'own-matrices'))
    # The killed worker was started again for everything after it.
    assert all(first(r, 'drawMain', s)['equal'] for s in r['functions']['drawMain'])
    assert r['differences'] == 1


def check_exits(r):
    entry = first(r, 'drawMovingViewVolume')
    assert entry['error']['yours']['type'] == 'SystemExit'
    assert entry['differences'][0]['text'] == (
        'yours raised SystemExit: sys.exit(3) was called (line %d, in drawMovingViewVolume)'
        % line_of(seeded(FAULTS['exits']), 'sys.exit(3)'))
    assert entry['calls'] == {'movra': 6, 'yours': 0}
    assert first(r, 'Viewport2')['error']['yours']['type'] == 'SystemExit'
    assert first(r, 'Viewport1')['equal']


def check_crashes(r):
    for function in ('Viewport1', 'drawMain'):
        entry = first(r, function)
        assert entry['differences'][0] == {
            'kind': 'crashed', 'text': 'yours crashed: its process was killed by SIGSEGV'}
        assert all(first(r, function, s)['not_run'] for s in ('tick1', 'own-matrices'))
    assert first(r, 'Viewport2')['equal'] and first(r, 'Viewport4', 'own-matrices')['equal']
    assert r['matrices']['perspective']['verdict'] == 'bitwise equal'
    assert r['pictures']['defaults']['viewport1'] is None
    assert 'yours crashed: its process was killed by SIGSEGV' in \
        r['pictures']['defaults']['problems']


def check_prints(r):
    entry = first(r, 'Viewport3', 'tick45')
    assert kinds(entry) == ['output']
    assert entry['output'] == {'movra': '', 'yours': 'hello from Viewport3\n'}
    assert first(r, 'drawMain')['output']['yours'] == 'hello from Viewport3\n'
    printed = first(r, 'getGL_MODELVIEW_PROJ')['output']
    assert printed['movra'] == printed['yours'] and "('GL_PROJECTION ', " in printed['movra']
    builder = r['matrices']['translate']
    assert builder['verdict'] == 'bitwise equal'          # the matrices are right
    printed = builder['output']['translate([1, 2, 3])']
    assert (printed['movra'], printed['yours']) == ('', '[1, 2, 3]\n')
    assert printed['warnings']['movra'] == printed['warnings']['yours']
    assert len(builder['output']) == 12
    # perspective calls translate, and Viewport4 perspective: they print too.
    # The second list holds numpy floats, printed as this numpy prints them.
    half = numpy.tan(numpy.deg2rad(90) / 2.0)
    top, right = 1 * half, 1 * 1 * half
    assert r['matrices']['perspective']['output']['perspective(90, 1, 1, 3)']['yours'] == \
        '%s\n%s\n' % ([-1, -1, -1], [-(-right), -(-top), 1])
    assert kinds(first(r, 'Viewport4', 'own-matrices')) == ['output']
    assert ("DIFFERENT  translate: printed output differs in 12 argument sets; first "
            "translate([1, 2, 3]): Movra '', yours '[1, 2, 3]\\n'") in r['lines']


def check_missing(r):
    assert r['missing'] == ['drawCamera', 'myQuadric']
    assert r['functions']['drawCamera'] == {'missing': True}
    error = first(r, 'drawMovingCamera')['error']['yours']
    assert (error['type'], error['message'], error['function']) == (
        'NameError', "name 'drawCamera' is not defined", 'drawMovingCamera')
    # initGL binds the quadric, so drawing needs no default.
    assert first(r, 'drawScene')['equal']
    assert [g['equal'] for g in r['globals'] if g['name'] == 'myQuadric'] == [False]


def check_importerror(r):
    assert r['status'] == 2
    assert r['load_error']['line'] == line_of(SOURCE, 'import numpy as np')
    assert r['load_error']['type'] in ('ImportError', 'ModuleNotFoundError')
    assert 'numpi' in r['load_error']['message']


def check_hostile(r):
    assert r['loaded'] and r['output']['loading'] == 'written to fd 1\n'
    assert r['differences'] == 2
    entry = first(r, 'getGL_MODELVIEW_PROJ', 'tick45')
    assert kinds(entry) == ['warnings']
    assert entry['differences'][0]['text'] == 'warnings: Movra none, yours UserWarning: careful'
    assert r['first_difference'] == ("loading: yours printed while loading: 'written to fd 1\\n'"
                                     " (Movra prints nothing)")


def check_listing(r):
    assert r['identical'] and r['status'] == 0 and r['differences'] == 0
    assert r['lines'][-1] == 'identical'
    assert all(row['equal'] for row in r['globals'])
    assert set(r['functions']) == set(['getGL_MODELVIEW_PROJ', 'initGL', 'drawScene',
                                       'drawMovingViewVolume', 'drawMovingCamera', 'drawCamera',
                                       'Viewport1', 'Viewport2', 'Viewport3', 'Viewport4',
                                       'drawMain', 'updateAnimationVariables'])
    assert len(r['functions']['drawMain']) == 11
    assert first(r, 'drawMain')['calls'] == {'movra': 130, 'yours': 130}


CHECKS = sorted((name, globals()['check_' + name]) for name in FAULTS)


@pytest.mark.parametrize('name, check', CHECKS, ids=[c[0] for c in CHECKS])
def test_each_fault_is_reported_where_it_is(klass, name, check):
    check(klass['reports'][name])


EXPECTED_RESULTS = {
    'sign': '4 differences', 'intfloat': '6 differences', 'nopop': '8 differences',
    'quadrant': '5 differences', 'syntax': 'could not be loaded', 'loops': '4 differences',
    'stubborn': '1 difference', 'exits': '7 differences', 'crashes': '5 differences',
    'prints': '5 differences', 'missing': '9 differences', 'importerror': 'could not be loaded',
    'hostile': '2 differences', 'listing': 'identical',
}


def test_the_summary_has_one_row_per_learner(klass):
    assert klass['status'] == 1 and klass['err'] == ''
    summary = klass['summary']
    assert summary['learners'] == len(FAULTS) and summary['identical_learners'] == 1
    for name, row in klass['rows'].items():
        assert row['result'] == EXPECTED_RESULTS[name], name
        assert row['identical'] == (name == 'listing')
        assert row['first_difference'] == klass['reports'][name]['first_difference']
    assert klass['rows']['sign']['folder'] == 'group2__sign'
    # Movra's side is recorded once for the class, with its frames.
    recorded = json.loads(klass['out'].join('.reference', 'replies.json').read())
    assert len(recorded) == 1 + 77 + 12 * 11 + 1 + 3
    assert klass['out'].join('.reference', 'own-matrices.png').check(file=1)
    lines = klass['text'].splitlines()
    assert lines[0].split() == ['learner', 'result', 'first', 'difference']
    assert len(lines) == len(FAULTS) + 2
    assert lines[-1].startswith('1 of %d learners identical' % len(FAULTS))
    assert any(l.startswith('listing/Movra.py') and l.split()[1:] == ['identical', '-']
               for l in lines)


def test_the_index_page_links_every_report_and_picture(klass):
    out = str(klass['out'])
    page = klass['out'].join('index.html').read()
    assert page.count('<tr class="') == len(FAULTS)
    assert 'prints &lt;b&gt;&amp;/Movra.py' in page and 'prints <b>' not in page
    for row in klass['rows'].values():
        assert '<a href="%s">report</a>' % row['text_report'].replace('&', '&amp;') \
            .replace('<', '&lt;').replace('>', '&gt;') in page
        assert os.path.isfile(os.path.join(out, row['text_report']))
        for picture in row['pictures']:
            assert os.path.isfile(os.path.join(out, picture))
            assert '<img src="%s"' % picture in page
    assert len(klass['rows']['quadrant']['pictures']) == 3
    assert klass['rows']['syntax']['pictures'] == []


# ------------------------------------------------------- the command line ---

def test_the_listing_is_identical_and_exits_0(tmpdir):
    status, text, err = run_tool(LISTING, '--out', str(tmpdir), '--picture-size', '32')
    assert (status, err) == (0, '')
    lines = text.splitlines()
    assert lines[0] == 'KestCompare: %s against the compiled module Movra' % LISTING
    assert lines[-1] == 'identical'
    assert not [l for l in lines if l.startswith('DIFFERENT')]
    # one line per builder, per drawing function and per picture, and the globals
    assert len([l for l in lines if l.startswith('same ')]) == 1 + 6 + 12 + 3
    assert 'same       rotateX: bitwise equal in 14 argument sets (numpy.matrix)' in lines
    assert 'same       projective: bitwise equal in 12 argument sets (plain array)' in lines
    assert tmpdir.join('report.txt').read() == text
    report = json.loads(tmpdir.join('report.json').read())
    assert report['identical'] is True and report['lines'] == lines
    assert sorted(report['pictures']) == ['defaults', 'moved-panned-tilted', 'own-matrices']
    from PIL import Image
    for state, entry in report['pictures'].items():
        assert [entry['viewport%d' % n] for n in range(1, 5)] == [0.0] * 4
        image = Image.open(str(tmpdir.join(entry['image'])))
        assert image.size == (3 * 64 + 2 * 4, 64 + 18)


def test_a_fault_exits_1_and_writes_json_where_asked(tmpdir):
    impl = tmpdir.join('Movra.py')
    impl.write(seeded(FAULTS['quadrant']))
    target = tmpdir.join('elsewhere', 'r.json')
    status, text, err = run_tool(str(impl), '--out', str(tmpdir.join('o')), '--json',
                                 str(target), '--no-pictures')
    assert (status, err) == (1, '')
    lines = text.splitlines()
    assert lines[1:4] == [
        'DIFFERENT  Viewport2: differs in 11 of 11 states (defaults, tick1, tick45, tick361, '
        '...); first in defaults: call 1: Movra glViewport(350, 0, 350, 350), yours '
        'glViewport(0, 350, 350, 350): another value (argument 1: Movra 350, yours 0)',
        'DIFFERENT  drawMain: differs in 11 of 11 states (defaults, tick1, tick45, tick361, '
        '...); first in defaults: call 32: Movra glViewport(350, 0, 350, 350), yours '
        'glViewport(0, 350, 350, 350): another value (argument 1: Movra 350, yours 0)',
        'same       globals: all 18 the same in value and type']
    assert lines[-1] == '2 differences'
    report = json.loads(target.read())
    assert report['differences'] == 2 and report['status'] == 1
    assert not tmpdir.join('o', 'report.json').check()
    assert tmpdir.join('o', 'report.txt').read() == text
    assert report['pictures'] == {}


@pytest.mark.parametrize('args, message', [
    (['/nonexistent/Movra.py'], 'no such file or folder: /nonexistent/Movra.py'),
    ([LISTING, '--reference', '/nonexistent/ref.py'], 'no reference file /nonexistent/ref.py'),
    (['--time-limit', '0', LISTING], 'argument --time-limit: the time limit must be between'),
    (['--picture-size', 'big', LISTING], "argument --picture-size: the picture size must be a "
                                         "whole number, got 'big'"),
])
def test_bad_arguments_exit_2(args, message):
    status, text, err = run_tool(*args)
    assert status == 2 and text == ''
    assert message in err


def test_a_folder_without_learners_exits_2(tmpdir):
    tmpdir.join('notes.txt').write('no Movra.py here')
    status, text, err = run_tool(str(tmpdir), '--out', str(tmpdir.join('o')))
    assert (status, text) == (2, '')
    assert err.strip() == 'KestCompare.py: error: no Movra.py in %s or below it' % tmpdir


def test_a_file_without_the_functions_cannot_be_loaded(tmpdir):
    impl = tmpdir.join('Movra.py')
    impl.write('near = 1.0\nprint("a different program")\n')
    status, text, err = run_tool(str(impl), '--out', str(tmpdir.join('o')))
    assert (status, err) == (2, '')
    assert text.splitlines()[1:] == [
        'DIFFERENT  loading: %s could not be loaded: it defines none of the eighteen '
        'functions of the module' % impl,
        "note       output while loading: 'a different program\\n'",
        'could not be loaded']
    report = json.loads(tmpdir.join('o', 'report.json').read())
    assert report['status'] == 2 and report['globals'] == [] and report['pictures'] == {}


def test_a_reference_file_takes_movras_place(tmpdir):
    """--reference: another plain-Python file stands where Movra stands; one
    that raises in a drawing state gets a note besides the difference."""
    reference = tmpdir.join('ref.py')
    reference.write(seeded([('    draw3DCoordinateAxes()\n    deg',
                             '    draw3DCoordinateAxes(1)\n    deg')]))
    status, text, err = run_tool(LISTING, '--reference', str(reference), '--out', str(tmpdir),
                                 '--no-pictures')
    assert (status, err) == (1, '')
    lines = text.splitlines()
    assert lines[0] == 'KestCompare: %s against %s' % (LISTING, reference)
    report = json.loads(tmpdir.join('report.json').read())
    entry = first(report, 'drawScene')
    assert entry['error']['movra']['type'] == 'TypeError' and entry['error']['yours'] is None
    assert [d['kind'] for d in entry['differences']] == ['exception', 'calls']
    assert entry['first_difference'] == {
        'call': 1, 'kind': 'count', 'argument': None, 'movra': 'draw3DCoordinateAxes(1)',
        'yours': 'draw3DCoordinateAxes()', 'detail': 'Movra passes 1, yours 0'}
    message = ('TypeError: draw3DCoordinateAxes() takes exactly 0 arguments (1 given) '
               '(line %d, in drawScene)' % line_of(SOURCE, '    draw3DCoordinateAxes()\n    deg'))
    assert entry['differences'][0]['text'] == 'Movra raised %s, yours did not' % message
    notes = [l for l in lines if l.startswith('note ')]
    assert notes[0] == 'note       Movra itself raised %s in drawScene, state defaults' % message
    assert len(notes) == 6      # once each: drawScene, the four viewports, drawMain
