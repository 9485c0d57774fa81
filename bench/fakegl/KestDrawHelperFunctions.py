"""No-op drawing helpers for the benchmarks (see OpenGL/__init__.py here)."""
from movra_bench import noop

__all__ = ['draw3DCoordinateAxes', 'drawColoredCube', 'drawGrayCube', 'drawViewVolume']
globals().update(dict((name, noop) for name in __all__))
