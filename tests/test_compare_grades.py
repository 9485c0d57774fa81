"""Grades from the compare tool: scores from a rubric (the default one and
a teacher's own), the names and ids that course platforms write into
their download names, grades.csv's cells, the cause-first order of the
report, and the results.json of a course platform's autograder.

A seeded class (one mistake each, under Moodle's, Canvas's and
Blackboard's download names, one of them not ASCII, which a box under
Python 2.7 could not open) is graded twice, with the default rubric and
with a custom one; the units (rubric files, scoring, names, matrix
factors) are tested on their own."""
from __future__ import division

import csv
import io
import json
import os

import pytest

from compare_seeds import (HINT_FAULTS, NEAR_MISSES, PY2, ROTATE_X, TOOL_PYTHON, run_tool,
                           seeded, write)

if TOOL_PYTHON is None:
    pytest.skip('no Python 3 to run the compare tool with', allow_module_level=True)

pytestmark = [pytest.mark.compare,
              pytest.mark.skipif(not TOOL_PYTHON, reason='no Python 3')]

ROTATE_X_SIGN = [(ROTATE_X, '[0, cos(theta), -sin(theta), 0], [0, sin(theta), cos(theta), 0]')]
TWO_DEGREES = NEAR_MISSES['tick'][0]
PROJECTIVE_SIGN = [('    M[3][2] = -1\n', '    M[3][2] = 1\n')]
# learner's download name -> (fault, platform, name, id)
CLASS = {
    u'Jana Nov\u00e1kov\u00e1_123456_assignsubmission_file_Movra.py':
        (TWO_DEGREES, 'Moodle', u'Jana Nov\u00e1kov\u00e1', '123456'),
    u'smithjohn_LATE_4242_99001_Movra-1.py': (ROTATE_X_SIGN, 'Canvas', 'smithjohn', '4242'),
    u'Assignment 2_kimlee_attempt_2024-03-01-14-05-09_Movra.py':
        ([], 'Blackboard', '', 'kimlee'),
    u'zedzed_77_88_Movra.py':
        ([('def rotateX(angle_deg):', 'def rotateX(angle_deg)')], 'Canvas', 'zedzed', '77'),
    u'Ola Kowalska_31337_assignsubmission_file_Movra.py':
        (HINT_FAULTS['viewport-rectangle'], 'Moodle', 'Ola Kowalska', '31337'),
    u'leeann_5_6_movra.py': (PROJECTIVE_SIGN, 'Canvas', 'leeann', '5'),
}
CUSTOM_TOML = u'''title = "Assignment 2"
charge_explained = true
[points]
loading = 4
rotateX = 6
Viewport2 = 10
Viewport4 = 3
drawMain = 2
updateAnimationVariables = 5
"pictures of defaults" = 1
'''


def module_of(name):
    import importlib
    return importlib.import_module(name)


# ------------------------------------------------------------- the units ---

@pytest.fixture(scope='module')
def tool():
    """The tool's modules, imported here only under Python 3 (they are the
    tool's, which runs on Python 3 alone)."""
    import sys
    if sys.version_info[0] < 3:
        pytest.skip('the tool runs on Python 3')
    return dict((name, module_of('kestcompare.' + name))
                for name in ('scores', 'platforms', 'causes', 'reports', 'codec'))


@pytest.mark.parametrize('text, message', [
    ('[points]\nrotateX = "five"\n', 'the points of rotateX must be a number'),
    ('[points]\nrotatex = 5\n', "no item 'rotatex'"),
    ('[points]\nrotateX = -1\n', 'the points of rotateX must be a number from 0'),
    ('title = "x"\n', 'no [points] table'),
    ('[points]\nrotateX = 0\n', 'the points add up to nothing'),
    ('partial = "yes"\n[points]\nrotateX = 1\n', 'partial must be true or false'),
    ('weights = 1\n[points]\nrotateX = 1\n', "unknown key 'weights'"),
    ('[points\nrotateX = 1\n', 'is not valid TOML'),
])
def test_a_rubric_that_cannot_be_used_says_why(tool, tmpdir, text, message):
    path = tmpdir.join('rubric.toml')
    path.write(text)
    with pytest.raises(tool['scores'].RubricError) as raised_:
        tool['scores'].read_rubric(str(path))
    assert message in str(raised_.value)


def test_a_rubric_reads_from_toml_and_json_alike(tool, tmpdir):
    scores = tool['scores']
    toml = tmpdir.join('r.toml')
    toml.write(CUSTOM_TOML)
    from_toml = scores.read_rubric(str(toml))
    as_json = tmpdir.join('r.json')
    as_json.write(json.dumps({'title': 'Assignment 2', 'charge_explained': True,
                              'points': dict(from_toml.points)}))
    from_json = scores.read_rubric(str(as_json))
    assert from_toml.points == from_json.points == [
        ('loading', 4), ('rotateX', 6), ('Viewport2', 10), ('Viewport4', 3), ('drawMain', 2),
        ('updateAnimationVariables', 5), ('pictures of defaults', 1)]
    assert (from_toml.out_of, from_toml.title, from_toml.charge_explained) == \
        (31, 'Assignment 2', True)
    # The file form of a rubric reads back as itself.
    as_json.write(json.dumps(from_toml.to_file()))
    assert scores.read_rubric(str(as_json)).points == from_toml.points
    # The default rubric written out reads back as itself.
    written = tmpdir.join('default.toml')
    written.write(scores.rubric_toml())
    again = scores.read_rubric(str(written))
    assert again.points == scores.DEFAULT.points and again.out_of == 100


def report_of(items, **fields):
    report = {'loaded': True, 'status': 1, 'missing': [], 'items': items,
              'pictures': {'defaults': {}}, 'matrices': {
                  'rotateX': {'cases': 14, 'differing': 7}},
              'functions': {'Viewport4': dict(('s%d' % i, {'differences': [
                  {'kind': 'calls'}] if i < 2 else []}) for i in range(8))}}
    report.update(fields)
    return report


def item(name, different=True, category='calls', **extra):
    return dict({'item': name, 'different': different, 'category': category, 'text': name},
                **extra)


def test_scores_item_by_item(tool):
    scores = tool['scores']
    rubric = scores.rubric_of({'points': {'loading': 10, 'globals': 5, 'rotateX': 5,
                                          'Viewport4': 8, 'drawMain': 2, 'output': 3,
                                          'pictures of defaults': 3, 'drawCamera': 4}})
    items = [item('rotateX', explains=['Viewport4']),
             item('Viewport4', explained_by=['rotateX']),
             item('Viewport4', category='output'),
             item('globals', different=False), item('drawMain', different=False),
             item('pictures of defaults', category='pictures')]
    found = scores.score(report_of(items, missing=['drawCamera']), rubric)
    rows = dict((r['item'], (r['earned'], r['status'])) for r in found['items'])
    assert rows == {'loading': (10, 'same'), 'globals': (5, 'same'),
                    'rotateX': (0, 'different'), 'Viewport4': (8, 'explained'),
                    'drawMain': (2, 'same'), 'output': (0, 'different'),
                    'pictures of defaults': (0, 'different'), 'drawCamera': (0, 'missing')}
    assert (found['score'], found['out_of']) == (25, 40)
    # Charged: the explained item loses its points too; partial: shares.
    charged = scores.rubric_of({'charge_explained': True, 'partial': True,
                                'points': dict(rubric.points)})
    found = scores.score(report_of(items, missing=['drawCamera']), charged)
    rows = dict((r['item'], r['earned']) for r in found['items'])
    assert rows['rotateX'] == 2.5 and rows['Viewport4'] == 6    # 7 of 14 sets, 6 of 8 states
    assert found['score'] == 10 + 5 + 2.5 + 6 + 2


def test_what_cannot_be_scored(tool):
    scores = tool['scores']
    # Not loaded: nothing but its out-of.
    found = scores.score({'loaded': False, 'status': 2, 'items': []})
    assert (found['score'], found['out_of']) == (0, 100)
    assert scores.lost_text(found) == 'the file could not be loaded'
    # No pictures on this machine: their points leave the out-of.
    report = report_of([item('rotateX', different=False)], pictures={},
                       pictures_error='no pictures: Xvfb not found on PATH')
    found = scores.score(report)
    assert found['out_of'] == 91
    assert [r['status'] for r in found['items'] if r['item'].startswith('pictures')] == \
        ['not scored'] * 3
    # The learner's own: drawn, but no frame came back.
    report = report_of([], pictures={}, pictures_error='no pictures: yours crashed')
    assert scores.score(report)['out_of'] == 100
    # A failure of the tool is nobody's score.
    assert scores.score({'status': 3, 'loaded': True, 'items': []}) is None


@pytest.mark.parametrize('raw, platform, name, id_', [
    (u'Jana Nov\u00e1kov\u00e1_123456_assignsubmission_file_/Movra.py', 'Moodle',
     u'Jana Nov\u00e1kov\u00e1', '123456'),
    ('sub/Kim Lee_7_assignsubmission_onlinetext_/x/movra.py', 'Moodle', 'Kim Lee', '7'),
    ('novakovajana_12345_67890_Movra.py', 'Canvas', 'novakovajana', '12345'),
    ('novakovajana_LATE_12345_67890_Movra-1.py', 'Canvas', 'novakovajana', '12345'),
    ('Lab 3_jnovak_attempt_2024-03-01-14-05-09_Movra.py', 'Blackboard', '', 'jnovak'),
    ('Lab 3_jnovak_attempt_2024-03-01-14-05-09', 'Blackboard', '', 'jnovak'),
    ('lastname_firstname_12345_Movra.py', '', '', ''),
    ('kim/Movra.py', '', '', ''),
    ('novakovajana_12345_Movra.py', '', '', ''),
])
def test_names_and_ids_of_the_platforms_download_names(tool, raw, platform, name, id_):
    assert tool['platforms'].identity(raw) == {'platform': platform, 'name': name, 'id': id_,
                                               'raw': raw}


def test_a_tiny_share_is_written_as_under_a_hundredth(tool):
    reports = tool['reports']
    assert [reports.share_text(s) for s in (0.0, 0.00004, 0.000099, 0.0001, 0.1043)] == \
        ['0.00%', '<0.01%', '<0.01%', '0.01%', '10.43%']
    table = reports.shares_table([{'state': 'defaults', 'shares': {
        'viewport1': 0.0, 'viewport2': 0.00002, 'viewport3': 0.5, 'viewport4': None}}])
    assert '<td class="zero">0.00%</td><td class="tiny">&lt;0.01%</td>' \
           '<td class="nonzero">50.00%</td><td>?</td>' in table


def matrix_image(tool, value):
    import numpy
    return tool['codec'].encode(numpy.matrix(value, dtype=float), numpy)


def builder(tool, name, value, at, args=(1,), caller='Viewport4', level=0):
    import numpy
    return {'name': name, 'result': matrix_image(tool, value), 'at': at, 'level': level,
            'caller': caller, 'args': [tool['codec'].encode(a, numpy) for a in args]}


def test_a_matrix_made_of_builders_names_the_builders_that_differ(tool):
    import numpy
    causes = tool['causes']
    # Shears that do not commute: the order of a product shows.
    a = numpy.array([[1, 2, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]], float)
    b = numpy.array([[1, 0, 0, 0], [3, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]], float)
    wrong_a = numpy.array([[1, -2, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]], float)
    assert not numpy.allclose(numpy.dot(wrong_a, b), numpy.dot(b, wrong_a))
    movra = [builder(tool, 'rotateX', a, 5), builder(tool, 'translate', b, 5)]
    yours = [builder(tool, 'rotateX', wrong_a, 5), builder(tool, 'translate', b, 5)]
    m_value = matrix_image(tool, numpy.dot(a, b).T)     # as glMultMatrixd(transpose(M)) gets it
    y_value = matrix_image(tool, numpy.dot(wrong_a, b).T)
    assert causes.factor_causes(m_value, y_value, movra, yours) == set(['rotateX'])
    # In another order than Movra's, the product is the learner's own mistake.
    y_swapped = matrix_image(tool, numpy.dot(b, wrong_a).T)
    assert causes.factor_causes(m_value, y_swapped, movra, yours) is None
    # Another argument: the builder may be right and the caller wrong.
    other = [builder(tool, 'rotateX', wrong_a, 5, args=(-1,)), yours[1]]
    assert causes.factor_causes(m_value, y_value, movra, other) is None
    # The same factors: nothing of theirs explains a difference.
    assert causes.factor_causes(m_value, y_value, movra, movra) is None


def test_the_cause_comes_first_with_what_it_explains(tool):
    items = [item('loading', different=False), item('drawScene'),
             item('Viewport4'), item('drawMain'), item('drawMain', category='output'),
             item('updateAnimationVariables'), item('pictures of defaults', category='pictures')]
    found = [{'item': 'updateAnimationVariables', 'explains': ['Viewport4', 'drawMain']}]
    explained = {'Viewport4': ['updateAnimationVariables'],
                 'drawMain': ['updateAnimationVariables']}
    ordered = tool['causes'].cause_first(items, found, explained)
    assert [(i['item'], i['category'], i.get('explains'), i.get('explained_by'))
            for i in ordered] == [
        ('updateAnimationVariables', 'calls', ['Viewport4', 'drawMain'], None),
        ('Viewport4', 'calls', None, ['updateAnimationVariables']),
        ('drawMain', 'calls', None, ['updateAnimationVariables']),
        ('drawScene', 'calls', None, None), ('drawMain', 'output', None, None),
        ('pictures of defaults', 'pictures', None, None), ('loading', 'calls', None, None)]


# ------------------------------------------------------- a seeded class ---

def csv_rows(text):
    """The rows of a CSV text, as text cells (Python 2's csv reads bytes)."""
    if PY2:
        return [[cell.decode('utf-8') for cell in cells]
                for cells in csv.reader(io.BytesIO(text.encode('utf-8')))]
    return list(csv.reader(io.StringIO(text)))


def run_class(base, *extra):
    folder = base.join('downloads')
    for raw, (fault, _platform, _name, _id) in CLASS.items():
        write(os.path.join(str(folder), raw), seeded(fault))
    out = base.join('out')
    status, text, err = run_tool(str(folder), '--out', str(out), '--no-pictures',
                                 '--time-limit', '2', '--jobs', '3', *extra)
    assert status == 1, err
    with io.open(str(out.join('grades.csv')), encoding='utf-8', newline='') as stream:
        raw = stream.read()
    summary = json.loads(out.join('summary.json').read())
    rows = dict((row['file'], row) for row in summary['rows'])
    reports = dict((row['file'], json.loads(out.join(row['report']).read()))
                   for row in summary['rows'] if row.get('report'))
    table = csv_rows(raw[1:] if raw.startswith(u'\ufeff') else raw)
    return {'raw': raw, 'table': table, 'rows': rows,
            'reports': reports, 'summary': summary, 'out': out, 'text': text}


@pytest.fixture(scope='module')
def default_class(tmpdir_factory):
    return run_class(tmpdir_factory.mktemp('default'))


@pytest.fixture(scope='module')
def custom_class(tmpdir_factory):
    base = tmpdir_factory.mktemp('custom')
    base.join('rubric.toml').write(CUSTOM_TOML)
    return run_class(base, '--rubric', str(base.join('rubric.toml')), '--grades-bom')


# Without pictures (--no-pictures) their 9 points leave the default's 100.
DEFAULT_SCORES = {
    u'Jana Nov\u00e1kov\u00e1_123456_assignsubmission_file_Movra.py': 86,   # the tick
    u'smithjohn_LATE_4242_99001_Movra-1.py': 86,                          # rotateX
    u'Assignment 2_kimlee_attempt_2024-03-01-14-05-09_Movra.py': 91,
    u'zedzed_77_88_Movra.py': 0,
    u'Ola Kowalska_31337_assignsubmission_file_Movra.py': 86,           # Viewport2
    u'leeann_5_6_movra.py': 86,                                         # projective
}
# Explained items charged; the picture not scored: out of 30.
CUSTOM_SCORES = {
    u'Jana Nov\u00e1kov\u00e1_123456_assignsubmission_file_Movra.py': 10,   # 4 + 6
    u'smithjohn_LATE_4242_99001_Movra-1.py': 19,                          # 4 + 10 + 5
    u'Assignment 2_kimlee_attempt_2024-03-01-14-05-09_Movra.py': 30,
    u'zedzed_77_88_Movra.py': 0,
    u'Ola Kowalska_31337_assignsubmission_file_Movra.py': 18,           # 4 + 6 + 3 + 5
    u'leeann_5_6_movra.py': 25,                                         # 4 + 6 + 10 + 5
}


@pytest.mark.parametrize('which, expected, out_of', [
    ('default_class', DEFAULT_SCORES, 91), ('custom_class', CUSTOM_SCORES, 30)])
def test_every_learner_is_scored_with_the_name_and_id_of_the_download(request, which,
                                                                         expected, out_of):
    run = request.getfixturevalue(which)
    table = run['table']
    assert table[0] == ['learner', 'name', 'id', 'platform', 'file', 'score', 'out of',
                        'severity', 'differences', 'first difference', 'hints', 'sandbox']
    by_file = dict((cells[4], cells) for cells in table[1:])
    assert sorted(by_file) == sorted(CLASS)
    for raw, (_fault, platform, name, id_) in CLASS.items():
        cells = by_file[raw]
        row = run['rows'][raw]
        assert cells[1:7] == [name, id_, platform, raw, str(expected[raw]), str(out_of)], raw
        assert (row['score'], row['out_of']) == (expected[raw], out_of)
        # Every cell is one line, and none is empty but a name or id that the
        # download's name does not hold (Blackboard's holds no name).
        assert all('\n' not in cell and '\t' not in cell for cell in cells), cells
        assert all(cells[i] for i in range(len(cells)) if i not in (1, 2, 3)), cells
    not_loaded = by_file[u'zedzed_77_88_Movra.py']
    assert not_loaded[7:9] == ['not loaded', '1']
    assert not_loaded[9].startswith('loading: zedzed_77_88_Movra.py could not be loaded: ')


def test_a_byte_order_mark_only_when_asked(default_class, custom_class):
    assert not default_class['raw'].startswith(u'\ufeff')
    assert custom_class['raw'].startswith(u'\ufeff')
    with io.open(str(custom_class['out'].join('grades.csv')), 'rb') as stream:
        assert stream.read(3) == b'\xef\xbb\xbf'
    assert u'Jana Nov\u00e1kov\u00e1' in custom_class['raw']


def test_the_cause_leads_the_report_of_the_tick_and_of_rotatex(default_class):
    tick = default_class['reports'][u'Jana Nov\u00e1kov\u00e1_123456_assignsubmission_file_Movra.py']
    lines = tick['lines']
    assert lines[1].startswith('DIFFERENT  updateAnimationVariables: differs in 11 of 11 '
                               'states')
    assert lines[2] == (
        'explains:  getGL_MODELVIEW_PROJ, initGL, drawScene, drawMovingViewVolume, '
        'drawMovingCamera, drawCamera, Viewport1, Viewport2, Viewport3, Viewport4, drawMain '
        "(each is Movra's with Movra's animation state in place of yours)")
    assert all(line.endswith('; explained by updateAnimationVariables')
               for line in lines[3:14]), lines[3:14]
    assert tick['first_difference'].startswith('updateAnimationVariables: ')
    assert tick['causes'] == [{'item': 'updateAnimationVariables', 'explains': [
        'getGL_MODELVIEW_PROJ', 'initGL', 'drawScene', 'drawMovingViewVolume',
        'drawMovingCamera', 'drawCamera', 'Viewport1', 'Viewport2', 'Viewport3', 'Viewport4',
        'drawMain']}]
    rotate = default_class['reports'][u'smithjohn_LATE_4242_99001_Movra-1.py']
    assert rotate['causes'] == [{'item': 'rotateX', 'explains': ['Viewport4', 'drawMain']}]
    different = [line for line in rotate['lines'] if not line.startswith(('same', 'note'))]
    assert different[1].startswith('DIFFERENT  rotateX: different in 10 of 14 argument sets')
    assert different[2].startswith('hint       transpose: rotateX: ')
    assert different[3] == ("explains:  Viewport4, drawMain (each is Movra's with Movra's "
                            'rotateX in place of yours)')
    assert different[4].startswith('DIFFERENT  Viewport4: differs in 1 of 11 states '
                                   '(own-matrices)')
    assert different[4].endswith('; explained by rotateX')
    assert different[5].startswith('DIFFERENT  drawMain: ')
    # The class table and the page lead with the cause too.
    row = default_class['rows'][u'smithjohn_LATE_4242_99001_Movra-1.py']
    assert row['first_difference'].startswith('rotateX: ')
    page = default_class['out'].join('index.html').read_text('utf-8')
    assert '<div class="explains">rotateX explains: Viewport4, drawMain</div>' in page


def test_a_builder_explains_the_builder_and_the_viewports_it_feeds(default_class):
    """projective feeds perspective, Viewport3, and Viewport4 through perspective."""
    report = default_class['reports'][u'leeann_5_6_movra.py']
    assert report['causes'] == [{'item': 'projective', 'explains': [
        'perspective', 'Viewport3', 'Viewport4', 'drawMain']}]
    assert [i['item'] for i in report['items'] if i['different']][:5] == [
        'projective', 'perspective', 'Viewport3', 'Viewport4', 'drawMain']


def test_a_learner_mistake_explains_nothing_it_does_not_feed(default_class):
    """Viewport2's quadrant is its own; the learners without a cause have none."""
    quadrant = default_class['reports'][u'Ola Kowalska_31337_assignsubmission_file_Movra.py']
    assert quadrant['causes'] == [{'item': 'Viewport2', 'explains': ['drawMain']}]
    identical = default_class['reports'][
        u'Assignment 2_kimlee_attempt_2024-03-01-14-05-09_Movra.py']
    assert identical['causes'] == [] and identical['score']['score'] == 91


def test_results_json_of_one_comparison(tmpdir):
    impl = tmpdir.join('Movra.py')
    impl.write(seeded(ROTATE_X_SIGN))
    results = tmpdir.join('results', 'results.json')
    status, text, err = run_tool(str(impl), '--out', str(tmpdir.join('o')), '--no-pictures',
                                 '--results-json', str(results))
    assert status == 1, err
    check_results_schema(json.loads(results.read()), 86, 91)


def check_results_schema(found, score, out_of):
    """A results.json as Gradescope documents it: a total, an execution
    time, and tests of name, score, max_score, status, output, visibility."""
    assert set(found) == set(['score', 'execution_time', 'output', 'visibility',
                              'stdout_visibility', 'tests'])
    assert found['score'] == score and isinstance(found['execution_time'], (int, float))
    assert found['visibility'] == found['stdout_visibility'] == 'visible'
    tests = found['tests']
    for test in tests:
        assert set(test) == set(['name', 'number', 'score', 'max_score', 'status', 'output',
                                 'visibility'])
        assert isinstance(test['score'], (int, float)) and test['score'] <= test['max_score']
        assert test['status'] == ('passed' if test['score'] == test['max_score'] else 'failed')
        assert test['visibility'] == 'visible' and test['output']
    assert sum(t['max_score'] for t in tests) == out_of
    assert sum(t['score'] for t in tests) == score
    return dict((t['name'], t) for t in tests)


def test_where_bubblewrap_is_refused_namespaces_the_tool_says_so(tool, monkeypatch):
    """A container without user namespaces: bwrap is there but fails."""
    sandbox = module_of('kestcompare.sandbox')
    said = ('bwrap: No permissions to creating new namespace, likely because the kernel does '
            'not allow non-privileged user namespaces')
    monkeypatch.setattr(sandbox, 'bwrap_path', lambda: '/usr/bin/bwrap')
    monkeypatch.setattr(sandbox, 'probe_directly', lambda argv: (1, 'noise\n' + said + '\n'))
    monkeypatch.setattr(sandbox, '_problem', {})
    for root, advice in ((True, ''), (False, ': unprivileged user namespaces may be off')):
        monkeypatch.setattr(sandbox, 'is_root', lambda: root)
        sandbox._problem.clear()
        assert sandbox.problem() == (
            'bubblewrap cannot make a sandbox here (%s)%s; run with --no-sandbox only for '
            'files you trust' % (said, advice + (' (sysctl kernel.unprivileged_userns_clone=1)'
                                                 ', or run the tool as root' if advice else '')))


class FakeInterpreter(object):
    def __init__(self, site):
        self.site, self.executable, self.version, self.system_root = [site], '/x/python', \
            '3.13', '/'

    def outside(self, path):
        return path


def test_movras_replies_are_kept_between_runs_only_when_they_can_be_trusted(
        tool, tmpdir, monkeypatch):
    refcache = module_of('kestcompare.refcache')
    Settings = module_of('kestcompare.settings').Settings
    monkeypatch.setenv('KESTCOMPARE_CACHE', str(tmpdir.join('cache')))
    site = tmpdir.join('site')
    site.join('Movra.cpython-313-x86_64-linux-gnu.so').write('compiled', ensure=True)
    interpreter = FakeInterpreter(str(site))
    recorded = []

    def record():
        recorded.append(1)
        return {'key': {'ok': True}}
    settings = Settings('x.py')
    assert refcache.recorded_replies(settings, interpreter, record) == {'key': {'ok': True}}
    assert refcache.recorded_replies(settings, interpreter, record) == {'key': {'ok': True}}
    assert len(recorded) == 1
    cache = tmpdir.join('cache')
    assert oct(cache.stat().mode & 0o777) == oct(0o700)
    # Another time limit, another compiled module: recorded anew.
    assert refcache.key(Settings('x.py', time_limit=2), interpreter) != \
        refcache.key(settings, interpreter)
    before = refcache.key(settings, interpreter)
    site.join('Movra.cpython-313-x86_64-linux-gnu.so').write('rebuilt')
    assert refcache.key(settings, interpreter) != before
    # A cache file that cannot be read is recorded again.
    name = refcache.key(settings, interpreter)
    refcache.recorded_replies(settings, interpreter, record)
    cache.join(name + '.json').write('{"format": 1, "replies": [')
    refcache.recorded_replies(settings, interpreter, record)
    assert len(recorded) == 3
    # Without the sandbox (a learner's code runs as the teacher), with another
    # reference, or told not to: never read nor written.
    for other in (Settings('x.py', sandbox=False), Settings('x.py', reference=__file__),
                  Settings('x.py', cache=False)):
        assert refcache.recorded_replies(other, interpreter, record) is None
    assert len(recorded) == 3
    # No compiled module: nothing to key the replies on.
    assert refcache.key(settings, FakeInterpreter(str(tmpdir.join('empty')))) is None
