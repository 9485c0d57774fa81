"""Copies of the listing with faults seeded in them, and the classes that the
tests of host/KestCompare.py run it on: a folder with one folder per
learner, a flat folder of course-platform file names, and a zip.

A fault is a list of (old, new) substitutions; old must occur exactly once
in the listing, so that a change of the listing fails loudly here.
"""
from __future__ import division

import os
import stat
import subprocess
import sys
import zipfile

from conftest import LISTING, ROOT

COMPARE = os.path.join(ROOT, 'host', 'KestCompare.py')
PY2 = sys.version_info[0] == 2
PYTHON2 = os.path.join(ROOT, '.venv', 'bin', 'python')
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


def tool_python():
    """The Python 3 that runs the tool: this one, or under 2.7 the newest
    Python 3 environment of the checkout."""
    if not PY2:
        return sys.executable
    for version in ('3.13', '3.12', '3.11', '3.10', '3.9', '3.8'):
        candidate = os.path.join(ROOT, '.venv-%s' % version, 'bin', 'python')
        if os.access(candidate, os.X_OK):
            return candidate
    return None


TOOL_PYTHON = tool_python()


def run_tool(*args, **options):
    """Runs the tool as make compare does, with this Python as the
    learner's (or the one given as python=); (status, stdout, stderr)."""
    if TOOL_PYTHON is None:
        import pytest
        pytest.skip('no Python 3 environment to run the compare tool with')
    learner = options.get('python') or sys.executable
    command = [TOOL_PYTHON, COMPARE] + list(args) + ['--python', learner]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               cwd=ROOT, env=options.get('env'))
    out, err = process.communicate()
    return process.returncode, out.decode('utf-8'), err.decode('utf-8')


def interpreter_runs(executable):
    """Whether that interpreter starts here (a pyenv one does not in the
    Debian root, where its shared library is missing)."""
    if executable is None:
        return False
    with open(os.devnull, 'wb') as null:
        return subprocess.call([executable, '-c', 'pass'], stdout=null, stderr=null) == 0


def sandbox_words():
    """How the first line of a report states the sandbox, by default."""
    return ('sandboxed (memory 2048 MB, CPU 120 s, 64 processes, files of 16 MB, '
            '256 open files, scratch 64 MB)')


MOVING_VIEW_VOLUME = '    glRotatef(-pan, 0, 1, 0)\n    glRotatef(tilt, 1, 0, 0)'
VIEWPORT4_PRODUCT = ('M = rotateX(movingCameraTilt) * rotateY(deg) * translate([-movingCameraPos[0], '
                     '-movingCameraPos[1], -movingCameraPos[2]])')
VIEWPORT2_LOOKAT = '    lookat2 = [0.0, 0.0, -(near + far) / 2]'
VIEWPORT2_FIGURES = '    drawScene()\n    drawMovingCamera()\n    drawMovingViewVolume()\n'
TICK = ('    theta = deg2rad(movingCameraAngle)\n'
        '    movingCameraAngle = movingCameraAngle + 1\n')
ROTATE_X = '[0, cos(theta), sin(theta), 0], [0, -sin(theta), cos(theta), 0]'
ROTATE_Y_ANGLE = '    theta = deg2rad(angle_deg)\n    R = [[cos(theta), 0, -sin(theta)'
QUADRANT2 = 'glViewport(int(sizeViewport), 0, int(sizeViewport), int(sizeViewport))'
CAMERA_POP = '    glPopMatrix()\n\n\ndef Viewport1'

# One realistic mistake each, and the hint kind that names it.
HINT_FAULTS = {
    'transpose': [(ROTATE_X, '[0, cos(theta), -sin(theta), 0], [0, sin(theta), cos(theta), 0]')],
    'degrees-radians': [(ROTATE_Y_ANGLE, '    theta = angle_deg\n    R = [[cos(theta), 0, '
                                         '-sin(theta)')],
    'sign': [(MOVING_VIEW_VOLUME, '    glRotatef(pan, 0, 1, 0)\n    glRotatef(tilt, 1, 0, 0)')],
    'integer-division': [(VIEWPORT2_LOOKAT, '    lookat2 = [0.0, 0.0, -(near + far) // 2]')],
    'product-order': [(VIEWPORT4_PRODUCT, 'M = translate([-movingCameraPos[0], -movingCameraPos[1], '
                                          '-movingCameraPos[2]]) * rotateY(deg) * '
                                          'rotateX(movingCameraTilt)')],
    'push-pop': [(CAMERA_POP, '\n\ndef Viewport1')],
    'viewport-rectangle': [(QUADRANT2, 'glViewport(0, int(sizeViewport), int(sizeViewport), '
                                       'int(sizeViewport))')],
    'call-order': [(VIEWPORT2_FIGURES, '    drawScene()\n    drawMovingViewVolume()\n'
                                       '    drawMovingCamera()\n')],
    'tick': [(TICK, '    movingCameraAngle = movingCameraAngle + 1\n'
                    '    theta = deg2rad(movingCameraAngle)\n')],
}

# A fault close to each kind that the kind does not explain, and the hint
# kinds that it does get instead.
NEAR_MISSES = {
    'transpose': ([(ROTATE_X, '[0, cos(theta), sin(theta), 0], [0, sin(theta), cos(theta), 0]')],
                  ['sign']),
    'degrees-radians': ([(ROTATE_Y_ANGLE, '    theta = angle_deg / 100.0\n    R = [[cos(theta), '
                                          '0, -sin(theta)')], []),
    'sign': ([(MOVING_VIEW_VOLUME, '    glRotatef(-pan / 2, 0, 1, 0)\n    glRotatef(tilt, 1, 0, 0)')],
             []),
    'integer-division': ([(VIEWPORT2_LOOKAT, '    lookat2 = [0.0, 0.0, -(near + far) / 3]')], []),
    'product-order': ([(VIEWPORT4_PRODUCT, 'M = rotateX(movingCameraTilt) * translate('
                                           '[-movingCameraPos[0], -movingCameraPos[1], '
                                           '-movingCameraPos[2]])')], []),
    'push-pop': ([(CAMERA_POP, '    glLoadIdentity()\n\n\ndef Viewport1')], []),
    'viewport-rectangle': ([(QUADRANT2, 'glViewport(int(sizeViewport) + 1, 0, int(sizeViewport), '
                                        'int(sizeViewport))')], []),
    'call-order': ([(VIEWPORT2_FIGURES, '    drawScene()\n    drawMovingViewVolume()\n')], []),
    'tick': ([(TICK, '    theta = deg2rad(movingCameraAngle)\n'
                     '    movingCameraAngle = movingCameraAngle + 2\n')], []),
}

# Hostile files: hangs, a hidden import error, files of one Python only.
HOSTILE = {
    'tick-hangs': [('    global movingCameraAngle, movingCameraPos\n',
                    '    global movingCameraAngle, movingCameraPos\n    while True:\n        pass\n')],
    'import-hangs': [('myQuadric = 0\n', 'myQuadric = 0\nwhile True:\n    pass\n')],
    'glut-misspelt': [('    from OpenGL.GLUT import *', '    from OpenGL.glut import *')],
    'python3-only': [('myQuadric = 0\n', "myQuadric = 0\n_label = f'{near}'\n")],
    'python2-only': [('myQuadric = 0\n', 'myQuadric = 0\n_mode = 0777\n')],
}


# The result and severity that each of those files gets, wherever it lies
# (a file of one Python only: under that Python).
RESULTS = {
    'transpose': ('4 differences', 'pictures'),
    'degrees-radians': ('4 differences', 'pictures'),
    'sign': ('5 differences', 'pictures'),
    'integer-division': ('2 differences', 'calls only'),
    'product-order': ('3 differences', 'pictures'),
    # The picture of the defaults shows it too, now that it is drawn after
    # the host's first tick, with the moving camera on its orbit.
    'push-pop': ('9 differences', 'pictures'),
    'viewport-rectangle': ('5 differences', 'pictures'),
    'call-order': ('2 differences', 'calls only'),
    'tick': ('15 differences', 'pictures'),
    'tick-hangs': ('5 differences', 'pictures'),
    'import-hangs': ('could not be loaded', 'not loaded'),
    'glut-misspelt': ('could not be loaded', 'not loaded'),
    'python3-only': ('identical', 'identical'),
    'python2-only': ('identical', 'identical'),
}


def loaded_here(name):
    """python2-only loads under 2.7 only, python3-only under Python 3 only."""
    return {'python2-only': PY2, 'python3-only': not PY2}.get(name, True)


def expected_row(name, hint_kinds):
    """(result, severity, hint kinds) of one of those files under this Python."""
    if not loaded_here(name):
        return 'could not be loaded', 'not loaded', []
    result, severity = RESULTS[name]
    return result, severity, hint_kinds


def write(path, text):
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        os.makedirs(folder)
    with open(path, 'w') as stream:
        stream.write(text)


def write_class(folder, count):
    """A class of `count` learners in `folder` (learner00/Movra.py, ...): a
    copy of the listing, then one realistic mistake each, in turn."""
    faults = [[]] + [HINT_FAULTS[kind] for kind in sorted(HINT_FAULTS)]
    for index in range(count):
        write(os.path.join(folder, 'learner%02d' % index, 'Movra.py'),
              seeded(faults[index % len(faults)]))


def hint_lines(report):
    return [line for line in report['lines'] if line.startswith('hint ')]


def make_zip(path, members, corrupt=None):
    """A zip of (name, text) members; the member named corrupt is stored
    with one byte of its data changed, so that reading it fails its CRC."""
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as archive:
        for name, text in members:
            archive.writestr(zipfile.ZipInfo(name) if name == corrupt else name, text)
    if corrupt is not None:
        data = bytearray(open(path, 'rb').read())
        marker = dict(members)[corrupt].encode('ascii')[:40]
        at = bytes(data).index(marker)
        data[at] = ord('#') if data[at] != ord('#') else ord('!')
        with open(path, 'wb') as stream:
            stream.write(bytes(data))


def make_fifo(path):
    os.mkfifo(path)
    assert stat.S_ISFIFO(os.stat(path).st_mode)
