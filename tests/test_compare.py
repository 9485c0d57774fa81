"""host/KestCompare.py on a class of copies of the listing with faults
seeded in them.

The tool runs as a subprocess, as `make compare` runs it. One run over a
class folder (every fault at once, in parallel) is shared by most tests: the
faults that are located where they are, one fault of each hint kind and a
near miss of each, hangs, a hidden import error and files of one Python
only; a few single-file runs check the command line: exit statuses, the
text report, --json, --ignore-output and the pictures.
"""
from __future__ import division

import csv
import io
import json
import os
import sys

import numpy
import pytest

from compat import PY2, raised
from compare_seeds import (HINT_FAULTS, HOSTILE, NEAR_MISSES, PYTHON2, SOURCE, expected_row,
                           hint_lines, interpreter_runs, line_of, run_tool, sandbox_words,
                           seeded, write)
from conftest import LISTING, listing
from kestcompare import pythons

pytestmark = [pytest.mark.compare, pytest.mark.realgl]

LIMIT = '1'          # seconds per call: the hanging faults cost this much
FAULTS = {
    'transposed': HINT_FAULTS['transpose'],
    'intfloat': [('glTranslatef(0.0, 0, -3.0)', 'glTranslatef(0, 0, -3.0)')],
    'nopop': HINT_FAULTS['push-pop'],
    'quadrant': HINT_FAULTS['viewport-rectangle'],
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
# The file of each learner below the class folder: one nested, one with
# characters that the index page must escape, some not named Movra.py, one
# lying flat in the class folder (a learner named after the file).
FILES = dict((name, os.path.join(name, 'Movra.py')) for name in FAULTS)
FILES['transposed'] = os.path.join('group2', 'transposed', 'Movra.py')
FILES['prints'] = os.path.join('prints <b>&', 'Movra.py')
FILES['listing'] = os.path.join('kim', 'Movra.py')
# One fault of each hint kind (three of them are faults above) ...
HINTED = {'transposed': 'transpose', 'nopop': 'push-pop', 'quadrant': 'viewport-rectangle'}
for kind in HINT_FAULTS:
    if kind not in HINTED.values():
        FAULTS['hint-' + kind] = HINT_FAULTS[kind]
        HINTED['hint-' + kind] = kind
        FILES['hint-' + kind] = os.path.join('hint-' + kind, 'Movra.py')
FILES['hint-call-order'] = os.path.join('zed', 'movra.py')
FILES['hint-tick'] = os.path.join('yan', 'Movra (1).py')
FILES['hint-sign'] = 'xu_Movra.py'
FILES['hint-integer-division'] = os.path.join('hint-integer-division', 'solution.py')
# ... a near miss of each, and the hostile files.
for kind, (substitutions, _hints) in NEAR_MISSES.items():
    FAULTS['near-' + kind] = substitutions
    FILES['near-' + kind] = os.path.join('near-' + kind, 'Movra.py')
for name, substitutions in HOSTILE.items():
    FAULTS[name] = substitutions
    FILES[name] = os.path.join(name, 'Movra.py')
LEARNERS = dict((name, os.path.dirname(path).replace(os.sep, '/') or 'xu')
                for name, path in FILES.items())
# Files that are not taken, and why.
NOT_TAKEN = [
    ('.git/', 'a hidden or system folder, not looked into (1 .py file)'),
    ('both/a.py', 'two candidates in one folder (a.py, b.py): none is taken, keep one'),
    ('both/b.py', 'two candidates in one folder (a.py, b.py): none is taken, keep one'),
    ('kim/notes.py', "defines none of the module's functions"),
    ('zed/old/', 'below the folder of learner zed, not looked into (1 .py file)'),
]


@pytest.fixture(scope='module')
def klass(tmpdir_factory):
    """One run of the tool over a class folder holding every seeded fault."""
    base = tmpdir_factory.mktemp('compare')
    folder = base.join('class')
    for name, substitutions in FAULTS.items():
        write(str(folder.join(FILES[name])), seeded(substitutions))
    write(str(folder.join('kim', 'notes.py')), '# what to ask in class\n')
    write(str(folder.join('both', 'a.py')), seeded([]))
    write(str(folder.join('both', 'b.py')), seeded([]))
    write(str(folder.join('.git', 'hooks', 'check.py')), 'import sys\n')
    write(str(folder.join('zed', 'old', 'Movra.py')), seeded([]))
    out = base.join('out')
    status, text, err = run_tool(str(folder), '--out', str(out), '--time-limit', LIMIT,
                                 '--jobs', '4', '--picture-size', '40')
    summary = json.loads(out.join('summary.json').read())
    by_learner = dict((row['learner'], row) for row in summary['rows'])
    rows = dict((name, by_learner[LEARNERS[name]]) for name in FAULTS)
    reports = dict((name, json.loads(out.join(rows[name]['folder'], 'report.json').read()))
                   for name in FAULTS)
    return {'status': status, 'text': text, 'err': err, 'summary': summary, 'out': out,
            'rows': rows, 'reports': reports, 'folder': folder}


runs = interpreter_runs
HERE = '%d.%d' % sys.version_info[:2]


def first(report, function, state='defaults'):
    return report['functions'][function][state]


def kinds(entry):
    return [d['kind'] for d in entry['differences']]


# -------------------------------------------------- each fault, where it is ---

def check_transposed(r):
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
    assert r['hints'] == [{'kind': 'transpose', 'explains': ['rotateX'],
                           'text': "yours is Movra's matrix transposed (rows and columns "
                                   "exchanged), in all 10 differing argument sets"}]


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
    # The other Python is asked too: the file compiles under neither.
    found = pythons.other_python(HERE)
    if not runs(found and found[1]):
        assert 'other_python' not in error and 'compile under' not in r['first_difference']
        return
    other = found[0]
    assert error['other_python'] == {
        'version': other, 'compiles': False,
        'advice': 'it does not compile under Python %s either' % other}


def check_loops(r):
    place = stopped_in_loop(r['hangs']['perspective'], seeded(FAULTS['loops']),
                            '    while True:', 2)
    builder = r['matrices']['perspective']
    assert builder['verdict'] == 'did not return' and builder['run'] == 1
    assert builder['first_difference'] == {
        'arguments': 'perspective(90, 1, 1, 3)',
        'detail': 'did not return within 1 s (stopped at %s)' % place}
    # Reported once with the time it took; every later call of perspective
    # stops at once and says so.
    line, source = place[len('line '):].split(': ')
    again = ('yours stopped at its call of perspective, which did not return before '
             '(line %s in perspective: %s)' % (line, source))
    for state in ('own-matrices-start', 'own-matrices'):
        hung = first(r, 'Viewport4', state)
        assert hung['differences'][0] == {'kind': 'did not return', 'text': again}
        # The calls made before the loop are still compared.
        assert hung['calls']['yours'] == 3 and hung['first_difference']['kind'] == 'missing'
    assert first(r, 'Viewport4', 'defaults')['equal']
    assert first(r, 'drawMain', 'own-matrices-start')['differences'][0]['kind'] == \
        'did not return'
    assert r['matrices']['rotateX']['verdict'] == 'bitwise equal'


def stopped_in_loop(stop, text, fragment, lines):
    """The stop is at one of the lines of the loop that starts at fragment
    (which one the alarm finds differs between the Pythons), with its source."""
    first_line = line_of(text, fragment)
    source = text.splitlines()
    assert first_line <= stop['line'] < first_line + lines
    assert stop['source'] == source[stop['line'] - 1].strip()
    return 'line %d: %s' % (stop['line'], stop['source'])


def check_stubborn(r):
    # The alarm is swallowed: the worker is killed, and the line where its
    # alarm found the file is still known.
    place = stopped_in_loop(r['hangs']['getGL_MODELVIEW_PROJ'], seeded(FAULTS['stubborn']),
                            '            while True:', 2)
    entry = first(r, 'getGL_MODELVIEW_PROJ')
    assert entry['differences'] == [{'kind': 'did not return', 'text':
                                     'yours did not return within 1 s (stopped at %s)' % place}]
    for state in ('tick1', 'own-matrices'):
        assert first(r, 'getGL_MODELVIEW_PROJ', state)['differences'][0] == {
            'kind': 'did not return', 'text': 'yours did not return before, and is not run '
                                              'again (%s)' % place}
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
    assert set(r['functions']) == set(listing.NO_ARGUMENTS)
    assert len(r['functions']['drawMain']) == 11
    assert first(r, 'drawMain')['calls'] == {'movra': 130, 'yours': 130}


CHECKS = sorted((name[len('check_'):], check) for name, check in list(globals().items())
                if name.startswith('check_'))


@pytest.mark.parametrize('name, check', CHECKS, ids=[c[0] for c in CHECKS])
def test_each_fault_is_reported_where_it_is(klass, name, check):
    check(klass['reports'][name])


# result, severity and hint kinds of every other learner
EXPECTED = {
    'intfloat': ('6 differences', 'calls only', []),
    'syntax': ('could not be loaded', 'not loaded', []),
    'loops': ('4 differences', 'pictures', []),
    'stubborn': ('1 difference', 'calls only', []),
    'exits': ('7 differences', 'pictures', []),
    'crashes': ('5 differences', 'pictures', []),
    'prints': ('5 differences', 'output only', []),
    'missing': ('9 differences', 'pictures', []),
    'importerror': ('could not be loaded', 'not loaded', []),
    'hostile': ('2 differences', 'output only', []),
    'listing': ('identical', 'identical', []),
    'near-transpose': ('4 differences', 'pictures', ['sign']),
    'near-degrees-radians': ('4 differences', 'pictures', []),
    'near-sign': ('5 differences', 'pictures', []),
    'near-integer-division': ('5 differences', 'pictures', []),
    'near-product-order': ('5 differences', 'pictures', []),
    'near-push-pop': ('9 differences', 'pictures', []),
    'near-viewport-rectangle': ('5 differences', 'pictures', []),
    'near-call-order': ('5 differences', 'pictures', []),
    'near-tick': ('15 differences', 'pictures', []),
}


def expected(name):
    if name in HINTED:
        return expected_row(HINTED[name], [HINTED[name]])
    if name in HOSTILE:
        return expected_row(name, [])
    return EXPECTED[name]


def test_every_learner_gets_its_result_severity_and_hints(klass):
    for name, row in klass['rows'].items():
        result, severity, kinds_ = expected(name)
        assert (row['result'], row['severity'], [h['kind'] for h in row['hints']]) == \
            (result, severity, kinds_), name
        assert row['identical'] == (severity == 'identical')
        assert row['first_difference'] == klass['reports'][name]['first_difference']
        assert row['file'] == FILES[name].replace(os.sep, '/')
        assert klass['reports'][name]['severity'] == severity


def test_each_hint_kind_is_given_for_its_fault_only(klass):
    """Each kind names the fault seeded for it and no near miss: the near
    misses get no hint, or the one that does hold (a single sign)."""
    given = dict((kind, []) for kind in HINT_FAULTS)
    for name, row in klass['rows'].items():
        for hint in row['hints']:
            given[hint['kind']].append(name)
    learners = dict((kind, name) for name, kind in HINTED.items())
    for kind in HINT_FAULTS:
        expected_names = [learners[kind]] + [
            'near-' + other for other, (_s, kinds_) in NEAR_MISSES.items() if kind in kinds_]
        assert sorted(given[kind]) == sorted(expected_names), kind


HINT_LINES = {
    'transposed': ["hint       transpose: rotateX: yours is Movra's matrix transposed (rows and "
                   "columns exchanged), in all 10 differing argument sets"],
    'hint-degrees-radians': [
        "hint       degrees-radians: rotateY: yours takes the angle in radians where Movra "
        "takes degrees (is a deg2rad missing?): yours equals Movra's for the angle converted "
        "from radians to degrees, in all 13 differing argument sets"],
    'hint-sign': ["hint       sign: drawMovingViewVolume, Viewport2, Viewport4, drawMain: a value "
                  "has the other sign (Movra glRotatef(-30, 0, 1, 0), yours glRotatef(30, 0, 1, "
                  "0))"],
    'hint-integer-division': [
        "hint       integer-division: Viewport2, drawMain: a value is Movra's rounded down, as "
        "integer (floor) division gives: `//`, or `/` between two ints under Python 2 (Movra "
        "gluLookAt(2.0, 1, 4.0, 0.0, 0.0, -5.5, 0.0, 1.0, 0.0), yours gluLookAt(2.0, 1, 4.0, "
        "0.0, 0.0, -6, 0.0, 1.0, 0.0))"],
    'hint-product-order': [
        "hint       product-order: Viewport4, drawMain: the matrix yours passes to "
        "glMultMatrixd is translate * rotateY * rotateX where Movra's is rotateX * rotateY * "
        "translate: the same matrices in another order"],
    'nopop': ["hint       push-pop: drawMovingCamera, drawCamera, Viewport1, Viewport2, Viewport3, "
              "drawMain: a glPopMatrix missing in drawCamera"],
    'quadrant': ["hint       viewport-rectangle: Viewport2, drawMain: glViewport is given the upper "
                 "left quadrant, the one of Viewport3 (Movra glViewport(350, 0, 350, 350), yours "
                 "glViewport(0, 350, 350, 350))"],
    'hint-call-order': ["hint       call-order: Viewport2, drawMain: the same calls as Movra's, in "
                        "another order (calls 21 to 34 of 35 differ in place)"],
    'hint-tick': ["hint       tick: getGL_MODELVIEW_PROJ, initGL, drawScene, drawMovingViewVolume, "
                  "drawMovingCamera, drawCamera, Viewport1, Viewport2, Viewport3, "
                  "updateAnimationVariables: the values that differ are Movra's of one animation "
                  "tick later, in every state where they differ"],
    'near-transpose': ["hint       sign: rotateX: yours has the other sign at [2][1], in all 10 "
                       "differing argument sets"],
}


@pytest.mark.parametrize('name', sorted(HINT_LINES))
def test_a_hint_follows_the_difference_it_explains(klass, name):
    lines = klass['reports'][name]['lines']
    assert hint_lines(klass['reports'][name]) == HINT_LINES[name]
    hint = lines.index(HINT_LINES[name][0])
    explained = HINT_LINES[name][0].split(': ')[1].split(', ')[0]
    assert lines[hint - 1].startswith('DIFFERENT  %s: ' % explained)


def test_a_hang_in_the_tick_is_reported_once_with_its_line(klass):
    r = klass['reports']['tick-hangs']
    place = stopped_in_loop(r['hangs']['updateAnimationVariables'],
                            seeded(HOSTILE['tick-hangs']), '    while True:', 2)
    unprepared = ['tick1', 'tick45', 'tick361', 'moved', 'panned', 'tilted',
                  'moved-panned-tilted', 'int-frustum', 'own-matrices']
    assert r['lines'][1] == (
        'DIFFERENT  preparing the states: updateAnimationVariables did not return within 1 s '
        '(stopped at %s) while preparing tick1; 9 states not compared '
        '(tick1, tick45, tick361, moved, ...)' % place)
    assert len([l for l in r['lines'] if 'within 1 s' in l]) == 1
    for function in ('drawScene', 'Viewport4', 'drawMain'):
        for state in unprepared:
            assert first(r, function, state)['differences'] == [{
                'kind': 'not prepared', 'text': 'not compared: preparing it needs '
                                                'updateAnimationVariables, which did not return'}]
        assert first(r, function, 'own-matrices-start')['equal']
    assert 'DIFFERENT  updateAnimationVariables: differs in 2 of 2 states (defaults, ' \
        'own-matrices-start); first in defaults: yours did not return before, and is not run ' \
        'again (%s); 9 states not compared' % place in r['lines']
    for state, picture in r['pictures'].items():
        assert picture['problems'] == ['yours was not drawn: preparing it needs '
                                       'updateAnimationVariables, which did not return']
        assert picture['viewport1'] is None


def test_a_hang_at_import_names_its_line(klass):
    r = klass['reports']['import-hangs']
    stop = r['load_error']['stopped']
    place = stopped_in_loop(stop, seeded(HOSTILE['import-hangs']), 'while True:', 2)
    assert (stop['function'], stop['known']) == ('<module>', False)
    assert r['first_difference'] == (
        'loading: import-hangs/Movra.py could not be loaded: loading it did not return within '
        '1 s (stopped at %s)' % place)


def test_sys_exit_shows_the_exception_it_was_handling(klass):
    r = klass['reports']['glut-misspelt']
    import_type, message = raised(lambda: __import__('OpenGL.glut'))
    assert r['load_error']['handled']['type'] == import_type.__name__
    assert r['first_difference'] == (
        'loading: glut-misspelt/Movra.py could not be loaded: SystemExit: sys.exit() was called '
        '(line 15), while handling %s: %s (line 10): from OpenGL.glut import *'
        % (import_type.__name__, message))
    assert r['lines'][2] == ("note       output while loading: "
                             "'\\nERROR: PyOpenGL not installed properly.\\n        \\n'")


def test_a_file_of_the_other_python_says_which_to_choose(klass):
    name = 'python3-only' if PY2 else 'python2-only'
    r = klass['reports'][name]
    found = pythons.other_python(HERE)
    if not runs(found and found[1]):
        # No verdict of an interpreter that cannot run: no advice at all.
        assert 'other_python' not in r['load_error']
        assert 'compiles under' not in r['first_difference']
        return
    other = found[0]
    here = '%d.%d' % sys.version_info[:2]
    assert r['load_error']['other_python']['compiles'] is True
    assert r['first_difference'].endswith(
        '; it compiles under Python %s but not under Python %s, which loaded it: compare it '
        'under Python %s (--python %s, or make compare PY=%s)' % (other, here, other, other,
                                                                  other))
    assert r['python']['version'] == '%d.%d.%d' % sys.version_info[:3]


def test_the_class_run_says_what_it_found_first_and_reports_progress(klass):
    lines = klass['text'].splitlines()
    assert lines[0] == 'KestCompare: %d learners in %s; 5 .py files not taken:' % (
        len(FAULTS), klass['folder'])
    assert lines[1:6] == ['  not taken  %s: %s' % entry for entry in NOT_TAKEN]
    assert klass['summary']['skipped'] == [
        {'path': path, 'reason': reason, 'files': 1} for path, reason in NOT_TAKEN]
    progress = klass['err'].splitlines()
    assert len(progress) == len(FAULTS)
    by_learner = dict((row['learner'], row) for row in klass['summary']['rows'])
    for done, line in enumerate(progress, 1):
        assert line.startswith('KestCompare: [%d/%d] ' % (done, len(FAULTS)))
        learner, rest = line.split('] ', 1)[1].rsplit(': ', 1)
        severity, seconds, left = rest.split(', ')
        assert severity == by_learner[learner]['severity']
        assert seconds == '%.1f s' % by_learner[learner]['seconds']
        assert left == '%d left' % (len(FAULTS) - done)


def test_the_summary_has_one_row_per_learner(klass):
    assert klass['status'] == 1
    summary = klass['summary']
    counts = dict((s, 0) for s in ['identical', 'output only', 'calls only', 'pictures',
                                   'not loaded', 'tool error'])
    for name in FAULTS:
        counts[expected(name)[1]] += 1
    assert summary['learners'] == len(FAULTS) and summary['counts'] == counts
    assert summary['identical_learners'] == counts['identical'] == 2
    assert klass['rows']['transposed']['folder'] == 'group2__transposed'
    assert klass['rows']['hint-sign']['folder'] == 'xu'
    # Movra's side is recorded once for the class and held by the tool: OUT,
    # which a learner's code might reach, holds the learners' folders and the
    # class's files alone.
    assert sorted(os.listdir(str(klass['out']))) == sorted(
        [row['folder'] for row in summary['rows']] + ['grades.csv', 'index.html',
                                                      'summary.json'])
    assert summary['sandbox'] == {'sandboxed': True, 'limits': sandbox_words()[
        len('sandboxed ('):-1]}
    lines = klass['text'].splitlines()[6:]
    assert lines[0].split() == ['learner', 'score', 'severity', 'result', 'first',
                                'difference']
    assert len(lines) == len(FAULTS) + 2
    assert lines[-1].startswith('2 of %d learners identical (2 identical, 2 output only, '
                                % len(FAULTS))
    assert 'under Python %d.%d.%d' % sys.version_info[:3] in lines[-1]
    assert any(l.startswith('kim ') and l.split()[1:] == ['100/100', 'identical', 'identical',
                                                          '-'] for l in lines)


def test_grades_csv_has_one_row_per_learner(klass):
    with io.open(str(klass['out'].join('grades.csv')), encoding='utf-8', newline='') as stream:
        table = list(csv.reader(stream))
    assert table[0] == ['learner', 'name', 'id', 'platform', 'file', 'score', 'out of',
                        'severity', 'differences', 'first difference', 'hints', 'sandbox']
    assert len(table) == len(FAULTS) + 1
    by_learner = dict((cells[0], cells) for cells in table[1:])
    for name, row in klass['rows'].items():
        result, severity, kinds_ = expected(name)
        report = json.loads(klass['out'].join(row['report']).read())
        # Folders named after the learner alone give no platform's name or id.
        assert by_learner[LEARNERS[name]] == [
            LEARNERS[name], '', '', '', FILES[name].replace(os.sep, '/'),
            str(report['score']['score']), str(report['score']['out_of']), severity,
            str(row['differences']),
            ' / '.join((row['first_difference'] or '').splitlines()) or '-',
            '; '.join(kinds_) or '-', 'sandboxed']


def test_the_index_page_links_every_report_and_picture(klass):
    out = str(klass['out'])
    page = klass['out'].join('index.html').read()
    assert page.count('<tbody class="sev-') == len(FAULTS)
    assert 'prints &lt;b&gt;&amp;' in page and 'prints <b>' not in page
    for row in klass['rows'].values():
        assert '<a class="report" href="%s">' % row['html_report'].replace('&', '&amp;') \
            .replace('<', '&lt;').replace('>', '&gt;') in page
        assert os.path.isfile(os.path.join(out, row['html_report']))
        for picture in row['pictures']:
            assert os.path.isfile(os.path.join(out, picture['image']))
            assert os.path.isfile(os.path.join(out, picture['thumbnail']))
            # An identical learner's row is one line: its pictures are in its report.
            shown = '<a href="%s"><img src="%s" width="200" height="200"' % (
                picture['image'], picture['thumbnail'])
            assert (shown in page) == (row['severity'] != 'identical')
    assert len(klass['rows']['quadrant']['pictures']) == 3
    assert klass['rows']['syntax']['pictures'] == []
    from PIL import Image
    thumbnail = klass['rows']['quadrant']['pictures'][0]['thumbnail']
    assert Image.open(os.path.join(out, thumbnail)).size == (200, 200)


def test_each_learner_has_a_page_with_its_whole_report(klass):
    out = klass['out']
    for name in ('quadrant', 'tick-hangs', 'listing'):
        row = klass['rows'][name]
        page = out.join(row['html_report']).read()
        report = klass['reports'][name]
        assert 'under Python %s' % report['python']['version'] in page
        assert page.count('<div class="') == len(report['lines'])
        tag = report['lines'][1].split()[0]
        assert '<div class="%s">%s</div>' % (tag, report['lines'][1].replace('&', '&amp;')
                                             .replace('<', '&lt;').replace('>', '&gt;')) in page
        for picture in report['pictures'].values():
            assert '<img src="%s"' % picture['image'].replace(os.sep, '/') in page


# ------------------------------------------------------- the command line ---

def test_the_listing_is_identical_and_exits_0(tmpdir):
    status, text, err = run_tool(LISTING, '--out', str(tmpdir), '--picture-size', '32')
    assert (status, err) == (0, '')
    lines = text.splitlines()
    assert lines[0] == 'KestCompare: %s against the compiled module Movra, under Python %s, %s' % (
        LISTING, '%d.%d.%d' % sys.version_info[:3], sandbox_words())
    assert lines[-2:] == ['severity   identical', 'identical']
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
    # Each state is drawn as the host draws a frame: after the host's own
    # tick before its first frame and the state's ticks.
    assert [report['pictures'][s]['ticks'] for s in
            ('defaults', 'moved-panned-tilted', 'own-matrices')] == [1, 31, 46]
    assert report['severity'] == 'identical' and report['python']['executable']


def test_a_fault_exits_1_and_writes_json_where_asked(tmpdir):
    impl = tmpdir.join('Movra.py')
    impl.write(seeded(FAULTS['quadrant']))
    target = tmpdir.join('elsewhere', 'r.json')
    status, text, err = run_tool(str(impl), '--out', str(tmpdir.join('o')), '--json',
                                 str(target), '--no-pictures')
    assert (status, err) == (1, '')
    lines = text.splitlines()
    assert lines[1:6] == [
        'DIFFERENT  Viewport2: differs in 11 of 11 states (defaults, tick1, tick45, tick361, '
        '...); first in defaults: call 1: Movra glViewport(350, 0, 350, 350), yours '
        'glViewport(0, 350, 350, 350): another value (argument 1: Movra 350, yours 0)',
        HINT_LINES['quadrant'][0],
        "explains:  drawMain (each is Movra's with Movra's Viewport2 in place of yours)",
        'DIFFERENT  drawMain: differs in 11 of 11 states (defaults, tick1, tick45, tick361, '
        '...); first in defaults: call 32: Movra glViewport(350, 0, 350, 350), yours '
        'glViewport(0, 350, 350, 350): another value (argument 1: Movra 350, yours 0); '
        'explained by Viewport2',
        'same       globals: all 18 the same in value and type']
    # Without pictures their points leave the out-of; drawMain, which the
    # cause explains, is not charged.
    assert lines[-3:] == ['score      86 of 91 (the default rubric; lost: Viewport2 0 of 5)',
                          'severity   calls only', '2 differences']
    report = json.loads(target.read())
    assert report['differences'] == 2 and report['status'] == 1
    assert report['causes'] == [{'item': 'Viewport2', 'explains': ['drawMain']}]
    assert [(i['item'], i.get('explains'), i.get('explained_by')) for i in report['items']
            if i['different']] == [('Viewport2', ['drawMain'], None),
                                   ('drawMain', None, ['Viewport2'])]
    assert (report['score']['score'], report['score']['out_of']) == (86, 91)
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
    tmpdir.join('notes.py').write('print("no functions here")\n')
    status, text, err = run_tool(str(tmpdir), '--out', str(tmpdir.join('o')))
    assert status == 2
    assert text.splitlines() == [
        'KestCompare: 0 learners in %s; 1 .py file not taken:' % tmpdir,
        "  not taken  notes.py: defines none of the module's functions"]
    assert err.strip() == ("KestCompare.py: error: no learner's file in %s: no .py file in it "
                           "defines any of the module's functions" % tmpdir)


@pytest.mark.parametrize('content, message', [
    (b'not a zip at all', 'File is not a zip file'),
    (b'PK\x03\x04' + b'\0' * 40, 'File is not a zip file'),
])
def test_a_broken_zip_exits_2(tmpdir, content, message):
    broken = tmpdir.join('class.zip')
    broken.write_binary(content)
    status, text, err = run_tool(str(broken), '--out', str(tmpdir.join('o')))
    assert (status, text) == (2, '')
    assert err.strip() == ('KestCompare.py: error: %s is not a zip file that can be read: %s'
                           % (broken, message))


def test_ignore_output_makes_debug_printing_a_note(tmpdir):
    impl = tmpdir.join('Movra.py')
    impl.write(seeded(FAULTS['prints']))
    status, text, err = run_tool(str(impl), '--out', str(tmpdir.join('o')), '--no-pictures',
                                 '--ignore-output')
    assert (status, err) == (0, '')
    lines = text.splitlines()
    assert not [l for l in lines if l.startswith('DIFFERENT')]
    assert 'note       ignored: translate: printed output differs in 12 argument sets; first ' \
        "translate([1, 2, 3]): Movra '', yours '[1, 2, 3]\\n'" in lines
    assert len([l for l in lines if l.startswith('note       ignored: ')]) == 5
    assert lines[-2:] == ['severity   identical', 'identical']
    report = json.loads(tmpdir.join('o', 'report.json').read())
    assert report['ignore_output'] is True and report['severity'] == 'identical'


@pytest.mark.skipif(PY2, reason='the compare tool runs on Python 3')
@pytest.mark.parametrize('source,status,verdict', [
    ('x = 1\n', 'starts', True),
    ('x = = 1\n', 'starts', False),
    ('x = 1\0\n', 'starts', False),          # a NUL byte: refused, as a file that does not compile
    ('x = 1\n', 'exits 127', None),           # a shared library missing: no verdict on the file
    ('x = 1\n', 'raises', None),
])
def test_compiling_under_the_other_python_gives_a_verdict_only_when_it_ran(tmpdir, source,
                                                                            status, verdict):
    path = tmpdir.join('learner.py')
    path.write_binary(source.encode('ascii'))
    executable = sys.executable
    if status != 'starts':
        executable = str(tmpdir.join('python'))
        body = 'exit 127' if status == 'exits 127' else 'exec %s -c "raise OSError(5)"' % (
            sys.executable)
        with open(executable, 'w') as stream:
            stream.write('#!/bin/sh\n%s\n' % body)
        os.chmod(executable, 0o755)
    assert pythons.compiles_under(executable, str(path)) is verdict


@pytest.mark.skipif(not runs(PYTHON2 if os.path.exists(PYTHON2) else None),
                    reason='no Python 2.7 environment (.venv) that runs here')
def test_a_python3_file_under_python27_says_to_choose_python3(tmpdir):
    impl = tmpdir.join('Movra.py')
    impl.write(seeded(HOSTILE['python3-only']))
    status, text, err = run_tool(str(impl), '--out', str(tmpdir.join('o')), '--no-pictures',
                                 python=PYTHON2)
    assert (status, err) == (2, '')
    lines = text.splitlines()
    assert lines[0].endswith(', under Python 2.7.18, ' + sandbox_words())
    other = pythons.newest_python3()[0]
    assert lines[1] == (
        "DIFFERENT  loading: %s could not be loaded: SyntaxError: invalid syntax (line %d): "
        "_label = f'{near}'; it compiles under Python %s but not under Python 2.7, which "
        "loaded it: compare it under Python %s (--python %s, or make compare PY=%s)"
        % (impl, line_of(seeded(HOSTILE['python3-only']), '_label'), other, other, other, other))
    assert lines[-2:] == ['severity   not loaded', 'could not be loaded']


def test_a_file_without_the_functions_cannot_be_loaded(tmpdir):
    impl = tmpdir.join('Movra.py')
    impl.write('near = 1.0\nprint("a different program")\n')
    status, text, err = run_tool(str(impl), '--out', str(tmpdir.join('o')))
    assert (status, err) == (2, '')
    assert text.splitlines()[1:] == [
        'DIFFERENT  loading: %s could not be loaded: it defines none of the eighteen '
        'functions of the module' % impl,
        "note       output while loading: 'a different program\\n'",
        'score      0 of 100 (the default rubric; the file could not be loaded)',
        'severity   not loaded', 'could not be loaded']
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
    assert lines[0] == 'KestCompare: %s against %s, under Python %s, %s' % (
        LISTING, reference, '%d.%d.%d' % sys.version_info[:3], sandbox_words())
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
