"""How KestCompare finds the learners of a class folder or zip, and what it
says about every .py file it does not take."""
from __future__ import division

import os
import zipfile

import pytest

from compare_seeds import make_fifo, make_zip
from kestcompare import submissions

pytestmark = pytest.mark.compare

CANDIDATE = 'def rotateX(angle_deg):\n    return None\n'
HELPER = 'def helper():\n    return 1\n'


def layout(root, files):
    for path, text in files.items():
        full = root.join(*path.split('/'))
        full.dirpath().ensure(dir=True)
        full.write(text)


def found(impl, **options):
    result = submissions.find(str(impl), **options)
    learners = [(l['learner'], l['shown']) for l in result['learners']]
    skipped = [(s['path'], s['reason']) for s in result['skipped']]
    return learners, skipped, result


@pytest.mark.parametrize('name, learner', [
    ('lastname_firstname_12345_Movra.py', 'lastname_firstname_12345'),
    ('leekim_12345_67890_Movra-1.py', 'leekim_12345_67890'),
    ('Kim Lee_4711_assignsubmission_file_movra.py', 'Kim Lee_4711_assignsubmission_file'),
    ('xu_Movra.py', 'xu'),
    ('xu Movra (2).py', 'xu'),
    ('solution.py', 'solution'),
    ('Movra.py', 'class'),
    ('Movrazzi.py', 'Movrazzi'),
])
def test_a_flat_file_is_named_after_its_learner(name, learner):
    assert submissions.learner_name(name, 'class') == learner


def test_both_layouts_and_every_file_not_taken(tmpdir):
    layout(tmpdir, {
        'lee_kim_1_Movra.py': CANDIDATE,            # flat, a learner
        'notes.py': '# nothing\n',                  # flat, defines nothing
        'kim/Movra.py': CANDIDATE,                  # a folder per learner
        'kim/helpers.py': HELPER,
        'kim/old/Movra.py': CANDIDATE,              # below a learner's folder
        'zed/movra.py': CANDIDATE,
        'yan/Movra (1).py': CANDIDATE,
        'group2/ann/answer.py': 'rotateY = lambda a: None\n',
        'twice/Movra.py': CANDIDATE,                # Movra.py is taken
        'twice/Movra_v2.py': CANDIDATE,
        'both/a.py': CANDIDATE,                     # neither is taken
        'both/b.py': CANDIDATE,
        '.git/hooks/x.py': CANDIDATE,
        '__MACOSX/kim/._Movra.py': 'binary',
        'empty/readme.txt': 'no python here',
    })
    tmpdir.join('ghost_Movra.py').mksymlinkto(tmpdir.join('nowhere.py'))
    make_fifo(str(tmpdir.join('fifo_Movra.py')))
    tmpdir.join('huge_Movra.py').write(CANDIDATE + '#' * (submissions.MAX_BYTES + 1))
    learners, skipped, _ = found(tmpdir)
    assert learners == [('lee_kim_1', 'lee_kim_1_Movra.py'), ('group2/ann', 'group2/ann/answer.py'),
                        ('kim', 'kim/Movra.py'), ('twice', 'twice/Movra.py'),
                        ('yan', 'yan/Movra (1).py'), ('zed', 'zed/movra.py')]
    assert skipped == [
        ('fifo_Movra.py', 'not a regular file'),
        ('ghost_Movra.py', 'unreadable: a symbolic link to nothing'),
        ('huge_Movra.py', 'larger than 2 MB'),
        ('notes.py', "defines none of the module's functions"),
        ('.git/', 'a hidden or system folder, not looked into (1 .py file)'),
        ('__MACOSX/', 'a hidden or system folder, not looked into (1 .py file)'),
        ('both/a.py', 'two candidates in one folder (a.py, b.py): none is taken, keep one'),
        ('both/b.py', 'two candidates in one folder (a.py, b.py): none is taken, keep one'),
        ('kim/helpers.py', "defines none of the module's functions"),
        ('kim/old/', 'below the folder of learner kim, not looked into (1 .py file)'),
        ('twice/Movra_v2.py', 'two candidates in one folder: Movra.py is taken'),
    ]


def test_a_folder_holding_one_folder_is_looked_into(tmpdir):
    layout(tmpdir, {'download/submissions/a_Movra.py': CANDIDATE,
                    'download/submissions/b_Movra.py': CANDIDATE,
                    'download/.DS_Store/x.txt': ''})
    learners, skipped, _ = found(tmpdir)
    assert learners == [('a', 'download/submissions/a_Movra.py'),
                        ('b', 'download/submissions/b_Movra.py')]
    assert skipped == []


def test_the_output_folder_inside_the_class_is_not_searched(tmpdir):
    layout(tmpdir, {'kim/Movra.py': CANDIDATE, 'out/kim/copy.py': CANDIDATE})
    learners, skipped, _ = found(tmpdir, exclude=[str(tmpdir.join('out'))])
    assert learners == [('kim', 'kim/Movra.py')] and skipped == []


def test_the_same_learner_name_twice_is_told_apart(tmpdir):
    layout(tmpdir, {'kim_Movra.py': CANDIDATE, 'kim-movra.py': CANDIDATE, 'kim/Movra.py': CANDIDATE})
    learners, _, _ = found(tmpdir)
    assert [l[0] for l in learners] == ['kim', 'kim (2)', 'kim (3)']


def test_a_zip_is_read_without_leaving_its_folder(tmpdir):
    archive = str(tmpdir.join('class.zip'))
    make_zip(archive, [
        ('class/kim/Movra.py', CANDIDATE),
        ('class/zed/movra.py', CANDIDATE),
        ('class/bad/Movra.py', CANDIDATE + '# the end\n'),
        ('../evil/Movra.py', CANDIDATE),
        ('/etc/evil.py', CANDIDATE),
        ('class/kim/inner.zip', 'PK'),
        ('class/readme.txt', 'not python'),
    ], corrupt='class/bad/Movra.py')
    learners, skipped, result = found(archive)
    # the wrapping folder is looked into; files are shown by their path in the zip
    assert learners == [('kim', 'class/kim/Movra.py'), ('zed', 'class/zed/movra.py')]
    assert [l['file'] for l in result['learners']] == [
        os.path.join(result['scratch'], 'zip', 'class', 'kim', 'Movra.py'),
        os.path.join(result['scratch'], 'zip', 'class', 'zed', 'movra.py')]
    assert [s[0] for s in skipped] == ['class/bad/Movra.py', '../evil/Movra.py', '/etc/evil.py',
                                       'class/kim/inner.zip']
    assert skipped[0][1].startswith('unreadable in the zip: Bad CRC-32')
    assert skipped[1:] == [('../evil/Movra.py', "its path leaves the zip's folder"),
                           ('/etc/evil.py', "its path leaves the zip's folder"),
                           ('class/kim/inner.zip',
                            'a zip inside the zip, not looked into (unpack it first)')]
    assert not os.path.exists(os.path.join(result['scratch'], 'evil'))
    assert os.listdir(os.path.join(result['scratch'], 'zip')) == ['class']


def test_a_symbolic_link_in_a_zip_is_not_followed(tmpdir):
    archive = str(tmpdir.join('links.zip'))
    with zipfile.ZipFile(archive, 'w') as out:
        out.writestr('kim/Movra.py', CANDIDATE)
        link = zipfile.ZipInfo('zed/Movra.py')
        link.external_attr = (0o120777 << 16)
        out.writestr(link, '/etc/passwd')
    learners, skipped, _ = found(archive)
    assert learners == [('kim', 'kim/Movra.py')]
    assert skipped == [('zed/Movra.py', 'a symbolic link')]


@pytest.mark.parametrize('content', [b'', b'PK\x05\x06 truncated', b'just text'])
def test_a_zip_that_cannot_be_read_is_an_error(tmpdir, content):
    archive = tmpdir.join('broken.zip')
    archive.write_binary(content)
    with pytest.raises(submissions.SubmissionError) as raised:
        submissions.find(str(archive))
    assert str(raised.value).startswith('%s is not a zip file that can be read: ' % archive)


def test_a_flat_file_named_movra_takes_the_folders_name(tmpdir):
    folder = tmpdir.join('kim')
    layout(folder, {'Movra.py': CANDIDATE})
    assert found(folder)[0] == [('kim', 'Movra.py')]
