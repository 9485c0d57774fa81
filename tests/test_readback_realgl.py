"""getGL_MODELVIEW_PROJ and perspective against a real GL (PyOpenGL on Mesa,
under an Xvfb server of this module's own), in a fresh interpreter without
the recording stand-ins."""
import os
import subprocess
import time

try:
    from shutil import which as find_executable
except ImportError:  # Python 2
    from distutils.spawn import find_executable

import numpy as np
import pytest

from conftest import run_python

pytestmark = pytest.mark.realgl

EPS32 = np.finfo(np.float32).eps


@pytest.fixture(scope='module')
def display():
    """An Xvfb server on the first free display from :91 on, stopped afterwards."""
    if find_executable('Xvfb') is None:
        pytest.fail('Xvfb is not installed (scripts/setup.sh installs it)')
    devnull = open(os.devnull, 'w')
    for number in range(91, 131):
        socket = '/tmp/.X11-unix/X%d' % number
        if os.path.exists('/tmp/.X%d-lock' % number) or os.path.exists(socket):
            continue
        server = subprocess.Popen(['Xvfb', ':%d' % number, '-screen', '0', '64x64x24',
                                   '-nolisten', 'tcp', '-noreset'], stdout=devnull, stderr=devnull)
        for _ in range(400):  # readiness: the server's socket appears
            if server.poll() is not None or os.path.exists(socket):
                break
            time.sleep(0.025)
        if server.poll() is None and os.path.exists(socket):
            try:
                yield ':%d' % number
            finally:
                server.terminate()
                server.wait()
                devnull.close()
            return
        if server.poll() is None:  # never became ready: give the number up
            server.terminate()
            server.wait()
    devnull.close()
    pytest.fail('no free X display among :91 to :130')


PROBE = '''
    import sys
    import numpy as np
    from OpenGL.GLUT import *
    from OpenGL.GL import *
    from OpenGL.GLU import *
    import compat
    glutInit([b'movra-readback'])
    glutInitDisplayMode(GLUT_RGBA | GLUT_DEPTH)
    glutInitWindowSize(32, 32)
    glutCreateWindow(b'movra-readback')
    import Movra
    assert Movra.__file__.endswith('.so') and 'glfake' not in sys.modules, Movra.__file__
    P = Movra.perspective(60, 1, 0.01, 20)
    M = Movra.rotateX(-31) * Movra.rotateY(40) * Movra.translate([-3.5, -3, 1])
    glMatrixMode(GL_PROJECTION)
    glLoadIdentity()
    glMultMatrixd(np.transpose(P))
    glMatrixMode(GL_MODELVIEW)
    glLoadIdentity()
    glMultMatrixd(np.transpose(M))
    compat.print_with_trailing_comma(sys.stdout, 'soft')
    modelview, projection = Movra.getGL_MODELVIEW_PROJ()
    print(('GL_MODELVIEW ', modelview))  # the interpreter's print, for comparison
    print(('GL_PROJECTION ', projection))
    mode = glGetIntegerv(GL_MATRIX_MODE)
    glMatrixMode(GL_PROJECTION)
    glLoadIdentity()
    gluPerspective(60, 1, 0.01, 20)
    glu = np.transpose(glGetDoublev(GL_PROJECTION_MATRIX))
    np.savez(%r, P=P, M=M, modelview=modelview, projection=projection, glu=glu,
             mode=mode, modelview_mode=GL_MODELVIEW, error=glGetError())
'''


@pytest.fixture(scope='module')
def probe(display, tmpdir_factory):
    path = str(tmpdir_factory.mktemp('realgl').join('probe.npz'))
    rc, out, err = run_python(PROBE % path, fakes=False, env={'DISPLAY': display})
    assert rc == 0, err
    return out, dict(np.load(path))


def within_float32(a, b):
    return a.shape == b.shape == (4, 4) and np.all(np.abs(a - b) <= EPS32 * np.abs(b))


def test_readback_returns_what_was_multiplied_onto_identity(probe):
    _, r = probe
    assert within_float32(r['projection'], r['P']) and within_float32(r['modelview'], r['M'])
    # The GL keeps floats: what comes back is float32-exact, unlike P itself.
    assert np.array_equal(r['projection'], r['projection'].astype(np.float32))
    assert not np.array_equal(r['projection'], r['P'])
    assert int(r['mode']) == int(r['modelview_mode']) and int(r['error']) == 0


def test_perspective_matches_glu_perspective(probe):
    _, r = probe
    assert within_float32(r['glu'], r['P'])
    assert np.allclose(r['P'][[0, 1, 2, 2, 3], [0, 1, 2, 3, 2]],
                       [3 ** 0.5, 3 ** 0.5, -1.0010005, -0.020010005, -1], rtol=1e-7, atol=0)


def test_printed_lines_on_a_real_file(probe):
    out, _ = probe
    assert out.startswith("soft ('GL_MODELVIEW ', array([[")
    printed = out[len('soft '):]
    half = len(printed) // 2
    assert printed[:half] == printed[half:]  # the module's lines equal the print statement's
    assert printed.count("('GL_MODELVIEW ', ") == printed.count("('GL_PROJECTION ', ") == 2
