"""No-op stand-in for PyOpenGL, for the benchmarks only.

Every GL and GLU function that Movra calls is bound to movra_bench.noop, a C
function that accepts any arguments and returns None, so that a timed frame
measures the module's own work and not a GL implementation's.
"""
