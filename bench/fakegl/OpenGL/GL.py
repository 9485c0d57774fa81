"""GL names used by Movra: no-op functions and the real constant values."""
from movra_bench import noop

FUNCTIONS = ['glClear', 'glClearColor', 'glClearDepth', 'glDepthFunc', 'glDisable',
             'glEnable', 'glFrontFace', 'glFrustum', 'glGetDoublev', 'glLoadIdentity',
             'glMatrixMode', 'glMultMatrixd', 'glMultMatrixf', 'glOrtho', 'glPopMatrix',
             'glPushMatrix', 'glRotatef', 'glScalef', 'glTranslatef', 'glViewport']
CONSTANTS = dict(GL_CCW=0x0901, GL_COLOR_BUFFER_BIT=0x4000, GL_CULL_FACE=0x0B44,
                 GL_DEPTH_BUFFER_BIT=0x0100, GL_DEPTH_TEST=0x0B71, GL_LEQUAL=0x0203,
                 GL_MODELVIEW=0x1700, GL_MODELVIEW_MATRIX=0x0BA6, GL_PROJECTION=0x1701,
                 GL_PROJECTION_MATRIX=0x0BA7)

globals().update(CONSTANTS)
globals().update(dict((name, noop) for name in FUNCTIONS))
__all__ = FUNCTIONS + sorted(CONSTANTS)
