"""Movra itself calls no GLUT function."""
__all__ = []
