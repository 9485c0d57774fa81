"""host/KestCompare.py on a class as course platforms hand it out: a flat
folder of files named after their learners, and a zip of one folder per
learner; a second run into the same OUT; and the class page in a real
browser (Debian's chromium, driven through selenium)."""
from __future__ import division

import csv
import io
import json
import os

import pytest

from compare_seeds import (HINT_FAULTS, HOSTILE, RESULTS, expected_row, make_fifo, make_zip,
                           run_tool, seeded, write)
from compat import chromium_driver, find_all

pytestmark = [pytest.mark.compare, pytest.mark.realgl]

LIMIT = '1'
# Each hint fault and hostile file once, under a platform's name for it.
FAULTS = dict(HINT_FAULTS)
FAULTS.update(HOSTILE)
FAULTS['listing'] = []
NUMBERS = dict((name, 10001 + index) for index, name in enumerate(sorted(FAULTS)))


def flat_name(name):
    """lastname_firstname_12345_Movra.py, as a platform names a download."""
    return '%s_learner_%d_Movra.py' % (name.replace('-', ''), NUMBERS[name])


def folder_name(name):
    """One folder per learner, as a platform names it in a zip."""
    return '%s Learner_%d_assignsubmission_file_' % (name.title().replace('-', ''), NUMBERS[name])


def expected(name):
    if name == 'listing':
        return 'identical', 'identical', []
    return expected_row(name, [name] if name in HINT_FAULTS else [])


def run_class(base, impl, *extra):
    out = base.join('out')
    status, text, err = run_tool(str(impl), '--out', str(out), '--time-limit', LIMIT,
                                 '--jobs', '4', '--picture-size', '40', *extra)
    summary = json.loads(out.join('summary.json').read())
    return {'status': status, 'text': text, 'err': err, 'out': out, 'summary': summary,
            'rows': dict((row['learner'], row) for row in summary['rows'])}


@pytest.fixture(scope='module')
def flat(tmpdir_factory):
    base = tmpdir_factory.mktemp('flat')
    folder = base.join('downloads')
    for name, substitutions in FAULTS.items():
        write(str(folder.join(flat_name(name))), seeded(substitutions))
    write(str(folder.join('notes.py')), 'print("questions for Tuesday")\n')
    folder.join('ghost_learner_1_Movra.py').mksymlinkto(folder.join('deleted.py'))
    make_fifo(str(folder.join('pipe_learner_2_Movra.py')))
    return run_class(base, folder)


@pytest.fixture(scope='module')
def zipped(tmpdir_factory):
    base = tmpdir_factory.mktemp('zipped')
    members = [('submissions/%s/%s' % (folder_name(name), 'Movra.py' if index % 2 else
                                       'movra_final.py'), seeded(substitutions))
               for index, (name, substitutions) in enumerate(sorted(FAULTS.items()))]
    members += [('submissions/Broken Learner_1_assignsubmission_file_/Movra.py', seeded([])),
                ('../outside/Movra.py', seeded([])),
                ('submissions/%s/scratch.py' % folder_name('listing'), '# tried things\n')]
    archive = base.join('class.zip')
    make_zip(str(archive), members,
             corrupt='submissions/Broken Learner_1_assignsubmission_file_/Movra.py')
    return run_class(base, archive)


def learner_of(run, name):
    if run is None:
        return None
    for learner in run['rows']:
        if learner.startswith(name.title().replace('-', '') + ' Learner_') or \
                learner == flat_name(name)[:-len('_Movra.py')]:
            return learner
    raise AssertionError('no learner for %s' % name)


@pytest.mark.parametrize('layout', ['flat', 'zipped'])
def test_every_platform_name_is_a_learner_with_its_row(request, layout):
    run = request.getfixturevalue(layout) if hasattr(request, 'getfixturevalue') else \
        request.getfuncargvalue(layout)
    assert run['summary']['learners'] == len(FAULTS)
    for name in FAULTS:
        row = run['rows'][learner_of(run, name)]
        assert (row['result'], row['severity'], [h['kind'] for h in row['hints']]) == \
            expected(name), (layout, name)
    counts = dict((s, 0) for s in ['identical', 'output only', 'calls only', 'pictures',
                                   'not loaded', 'tool error'])
    for name in FAULTS:
        counts[expected(name)[1]] += 1
    assert run['summary']['counts'] == counts
    assert run['status'] == 1
    assert len(run['err'].splitlines()) == len(FAULTS)


def test_a_flat_folder_lists_what_it_does_not_take(flat):
    lines = flat['text'].splitlines()
    assert lines[:4] == [
        'KestCompare: %d learners in %s; 3 .py files not taken:' % (
            len(FAULTS), flat['summary']['folder']),
        '  not taken  ghost_learner_1_Movra.py: unreadable: a symbolic link to nothing',
        "  not taken  notes.py: defines none of the module's functions",
        '  not taken  pipe_learner_2_Movra.py: not a regular file']
    assert flat['rows']['transpose_learner_%d' % NUMBERS['transpose']]['file'] == \
        flat_name('transpose')


def test_a_zip_lists_what_it_does_not_take_and_shows_paths_inside_it(zipped):
    skipped = [(s['path'], s['reason'].split(':')[0]) for s in zipped['summary']['skipped']]
    assert skipped == [
        ('submissions/Broken Learner_1_assignsubmission_file_/Movra.py', 'unreadable in the zip'),
        ('../outside/Movra.py', "its path leaves the zip's folder"),
        ('submissions/%s/scratch.py' % folder_name('listing'),
         "defines none of the module's functions")]
    row = zipped['rows'][learner_of(zipped, 'tick')]
    assert row['file'] == 'submissions/%s/%s' % (
        folder_name('tick'), 'Movra.py' if sorted(FAULTS).index('tick') % 2 else 'movra_final.py')
    report = json.loads(zipped['out'].join(row['report']).read())
    assert report['implementation'] == row['file']
    assert report['lines'][0].startswith('KestCompare: %s against ' % row['file'])


def test_the_gradebook_of_a_zip(zipped):
    with io.open(str(zipped['out'].join('grades.csv')), encoding='utf-8', newline='') as stream:
        table = list(csv.reader(stream))
    assert table[0] == ['learner', 'name', 'id', 'platform', 'file', 'score', 'out of',
                        'severity', 'differences', 'first difference', 'hints', 'sandbox']
    rows = dict((cells[0], cells) for cells in table[1:])
    for name in FAULTS:
        learner = learner_of(zipped, name)
        row = zipped['rows'][learner]
        # Moodle's folders: the name before the participant number.
        assert rows[learner] == [learner, name.title().replace('-', '') + ' Learner',
                                 str(NUMBERS[name]), 'Moodle', row['file'],
                                 str(row['score']), '100', expected(name)[1],
                                 str(row['differences']),
                                 row['first_difference'] or '-',
                                 '; '.join(expected(name)[2]) or '-', 'sandboxed']
        severity = expected(name)[1]
        assert row['score'] == 100 if severity == 'identical' else (
            row['score'] == 0 if severity == 'not loaded' else 0 < row['score'] < 100)


def test_out_holds_only_this_runs_learners(tmpdir):
    first_class, second_class, out = tmpdir.join('one'), tmpdir.join('two'), tmpdir.join('out')
    for folder, learners in ((first_class, ('ann', 'bob')), (second_class, ('bob', 'mine'))):
        for learner in learners:
            write(str(folder.join(learner, 'Movra.py')), seeded([]))
    status = run_tool(str(first_class), '--out', str(out), '--no-pictures')[0]
    assert status == 0 and sorted(os.listdir(str(out))) == [
        'ann', 'bob', 'grades.csv', 'index.html', 'summary.json']
    out.join('bob', 'stale.txt').write('from the first run')
    write(str(out.join('mine', 'notes.txt')), 'the teacher\'s own folder')
    status, text, err = run_tool(str(second_class), '--out', str(out), '--no-pictures')
    assert status == 0
    assert sorted(os.listdir(str(out))) == ['bob', 'grades.csv', 'index.html',
                                            'mine', 'mine_2', 'summary.json']
    assert not out.join('bob', 'stale.txt').check()
    assert out.join('mine', 'notes.txt').read() == 'the teacher\'s own folder'
    summary = json.loads(out.join('summary.json').read())
    assert [(r['learner'], r['folder']) for r in summary['rows']] == [('bob', 'bob'),
                                                                      ('mine', 'mine_2')]
    assert summary['left_alone'] == ['mine']


@pytest.mark.browser
@pytest.mark.filterwarnings('ignore:HTTPResponse.getheader:DeprecationWarning')
def test_the_class_page_in_a_browser(flat):
    """At 1400 pixels: no horizontal scrolling, the worst first, an identical
    learner on one line, the score and severity sorted both ways, the
    details of a learner unfolded, a learner's link."""
    page = 'file://' + str(flat['out'].join('index.html'))
    driver = chromium_driver()
    try:
        driver.set_window_size(1400, 1000)
        driver.get(page)
        width = driver.execute_script('return window.innerWidth')
        assert width <= 1400
        assert driver.execute_script(
            'return document.documentElement.scrollWidth <= window.innerWidth')
        counts = dict((cell.get_attribute('data-severity'), int(cell.text))
                      for cell in find_all(driver, '#counts td.count'))
        expected_counts = dict(flat['summary']['counts'], all=len(FAULTS))
        assert counts == expected_counts

        def rows():
            return [(g.get_attribute('data-learner'), int(g.get_attribute('data-rank')),
                     g.get_attribute('data-share'))
                    for g in find_all(driver, '#learners > tbody')]

        def share(row):
            return float(row[2]) if row[2] else -1.0
        assert len(rows()) == len(FAULTS)
        # Worst first: the lowest share of the points, then the worse severity.
        opened = rows()
        assert opened == sorted(opened, key=lambda r: (share(r), -r[1], r[0]))
        assert opened[0][1] == 4 and opened[-1][1] == 0          # not loaded ... identical
        find_all(driver, '#sort-score')[0].click()
        assert rows() == list(reversed(opened))                  # again: the best first
        find_all(driver, '#sort-severity')[0].click()
        by_severity = rows()
        assert by_severity == sorted(by_severity, key=lambda r: (-r[1], r[0]))
        find_all(driver, '#sort-severity')[0].click()
        assert rows() == list(reversed(by_severity))
        find_all(driver, '#sort-learner')[0].click()
        assert [r[0] for r in rows()] == sorted(r[0] for r in rows())
        find_all(driver, '#sort-score')[0].click()
        assert rows() == opened
        # An identical learner takes one line of text; a different one's
        # details are folded until asked for.
        line = driver.execute_script(
            "return parseFloat(getComputedStyle(document.body).lineHeight) || 20")
        for group in find_all(driver, '#learners > tbody.sev-identical'):
            height = driver.execute_script(
                'return arguments[0].getBoundingClientRect().height', group)
            assert height < 2 * line + 8, height
        scores = [cell.text for cell in find_all(driver, '#learners td.score')]
        assert all(text == '-' or text.endswith('/ 100') for text in scores), scores
        assert not find_all(driver, '#learners tr.more img')[0].is_displayed()
        learner = learner_of(flat, 'product-order')
        group = find_all(driver, 'tbody[data-learner="%s"]' % learner)[0]
        group.find_element('css selector', 'button.open').click()
        thumbnails = group.find_elements('css selector', 'tr.more img')
        assert thumbnails and all(t.is_displayed() for t in thumbnails)
        widths = [driver.execute_script('return arguments[0].complete && '
                                        'arguments[0].naturalWidth', i) for i in thumbnails]
        assert widths == [200] * len(thumbnails)
        assert driver.execute_script(
            'return document.documentElement.scrollWidth <= window.innerWidth')
        if os.environ.get('KESTCOMPARE_SCREENSHOT'):      # the picture of docs/teaching.md
            driver.execute_script('arguments[0].scrollIntoView(true); window.scrollBy(0, -260)',
                                  group)
            driver.save_screenshot(os.environ['KESTCOMPARE_SCREENSHOT'])
        # A share too small for two decimals reads "<0.01%", in no warning colour.
        for cell in find_all(driver, '#learners .shares td.tiny'):
            assert cell.get_attribute('textContent') == '<0.01%'
            assert driver.execute_script(
                'return getComputedStyle(arguments[0]).color', cell) == 'rgb(85, 85, 85)'
        tick = learner_of(flat, 'tick')
        first = find_all(driver, 'tbody[data-learner="%s"] td.first' % tick)[0].text
        assert first.startswith('updateAnimationVariables: ')
        link = find_all(driver, 'tbody[data-learner="%s"] a.report'
                        % learner_of(flat, 'viewport-rectangle'))[0]
        link.click()
        assert driver.current_url.endswith('/%s/report.html' % flat['rows'][
            learner_of(flat, 'viewport-rectangle')]['folder'])
        assert 'Severity: pictures' in find_all(driver, '#python')[0].text
        assert any(h.text.startswith('hint       viewport-rectangle: ')
                   for h in find_all(driver, 'div.hint'))
    finally:
        driver.quit()


# Every file of RESULTS lies in both layouts.
assert sorted(RESULTS) == sorted(set(FAULTS) - set(['listing']))
