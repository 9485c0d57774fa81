"""Render mode: the real PyOpenGL draws into a GLUT window on $DISPLAY (an X
server of this worker's own under the sandbox), and a request hands back
the frame that drawMain() drew, as raw RGB rows, top first, compressed with
zlib and written in base64: the tool checks its size before it looks at a
pixel, and no image file format is parsed on the tool's side."""
from __future__ import absolute_import, division, print_function

import base64
import sys
import time
import zlib

from kestcompare.worker.alarms import attempt
from kestcompare.worker.errors import describe_error
from kestcompare.worker.session import Session


def _nowhere(filename):
    return False


class Renderer(Session):

    def __init__(self, capture, np):
        Session.__init__(self, capture, np)
        self.GL = self.GLUT = None
        self.size = None

    def prepare_load(self, request):
        return self.open_window(int(request['size']))

    def open_window(self, size):
        try:
            from kesthost import glut  # noqa: F401  (PyOpenGL 3.1.5 finds freeglut 3.x)
            problem = glut.display_problem(self.display())
            if problem is not None:
                raise RuntimeError(problem)
            from OpenGL import GL, GLUT
            GLUT.glutInit([b'KestCompare'])
            GLUT.glutInitDisplayMode(GLUT.GLUT_DOUBLE | GLUT.GLUT_RGB | GLUT.GLUT_DEPTH)
            GLUT.glutInitWindowSize(2 * size, 2 * size)
            GLUT.glutInitWindowPosition(0, 0)
            GLUT.glutCreateWindow(b'KestCompare')
        except BaseException:
            return describe_error(sys.exc_info(), _nowhere)
        self.GL, self.GLUT, self.size = GL, GLUT, size
        return None

    @staticmethod
    def display():
        import os
        return os.environ.get('DISPLAY', '')

    def reset_gl(self):
        GL = self.GL
        for _ in range(100):
            if not GL.glGetError():
                break
        for mode, query in ((GL.GL_PROJECTION, GL.GL_PROJECTION_STACK_DEPTH),
                            (GL.GL_MODELVIEW, GL.GL_MODELVIEW_STACK_DEPTH)):
            GL.glMatrixMode(mode)
            for _ in range(int(GL.glGetIntegerv(query)) - 1):
                GL.glPopMatrix()
            GL.glLoadIdentity()
        GL.glViewport(0, 0, 2 * self.size, 2 * self.size)
        GL.glClearColor(0.0, 0.0, 0.0, 1.0)
        GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)

    def read_frame(self):
        """The back buffer as top-down RGB rows (bytes of side * side * 3)."""
        GL, side = self.GL, 2 * self.size
        GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 1)
        GL.glReadBuffer(GL.GL_BACK)
        data = GL.glReadPixels(0, 0, side, side, GL.GL_RGB, GL.GL_UNSIGNED_BYTE)
        if isinstance(data, bytes):
            pixels = self.np.frombuffer(data, dtype=self.np.uint8)
        else:
            pixels = self.np.asarray(data, dtype=self.np.uint8)
        return pixels.reshape(side, side, 3)[::-1].tobytes()

    def render(self, request):
        """The frame of a state as the host draws it: sizeViewport, initGL(),
        the state's globals, then its ticks (the host's own first tick among
        them), then drawMain()."""
        self.learn(request)
        state = request['state']
        ticks = int(state['ticks'])
        limit = request['limit']
        budget = request.get('prepare_limit', limit)
        self.restore(self.pristine)
        self.reset_gl()
        namespace = vars(self.module)
        reply = {'ticks': ticks}

        def prepare():
            namespace['sizeViewport'] = self.size
            namespace['initGL']()
            self.set_globals(state['globals'])
            for _ in range(ticks):
                namespace['updateAnimationVariables']()
        started = time.time()
        with self.capture:
            info, stop = None, None
            if budget > 0:
                _, info, stop = attempt(prepare, budget)
            reply['preparation'] = {'seconds': round(time.time() - started, 4),
                                    'exhausted': budget <= 0, 'fresh': True,
                                    'hung': stop is not None}
            if stop is not None:
                reply['preparation']['stopped'] = stop
                self.remember(stop)
            if info is None and stop is None and budget > 0:
                _, info, stop = attempt(lambda: namespace['drawMain'](), limit)
                self.stop_reply(reply, stop)
        reply['output'] = self.capture.text()
        reply.setdefault('hung', stop is not None)
        if info is not None:
            reply['error'] = self.error(info)
        try:
            self.GL.glFinish()
            rows = self.read_frame()
            side = 2 * self.size
            reply['image'] = {'width': side, 'height': side,
                              'rgb': base64.b64encode(zlib.compress(rows, 6)).decode('ascii')}
        except BaseException:
            reply['read_error'] = describe_error(sys.exc_info(), _nowhere)
        return reply

    def close(self):
        if self.GLUT is not None:
            try:
                from kesthost import glut
                glut.glut_exit()
            except BaseException:
                pass

    def handle(self, op, request):
        if op == 'render':
            return self.render(request)
        return None
