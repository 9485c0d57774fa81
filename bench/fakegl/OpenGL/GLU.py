"""GLU names used by Movra, all no-op functions."""
from movra_bench import noop

FUNCTIONS = ['gluCylinder', 'gluLookAt', 'gluNewQuadric', 'gluPerspective', 'gluSphere']
globals().update(dict((name, noop) for name in FUNCTIONS))
__all__ = FUNCTIONS
