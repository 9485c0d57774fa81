"""The frame writer under its earlier name, for bench/headless.py, which
imports it from here; the writer is kesthost.writer."""
from kesthost.writer import *  # noqa: F401,F403
from kesthost.writer import FrameWriter  # noqa: F401
