"""The worker process: runs one implementation of the module (a learner's
file, or Movra itself) for KestCompare and answers its requests. Under the
sandbox it is the only code of the tool that a learner's process holds, so
it holds nothing that a learner could use: no tables of the module, no
listing, no reply of Movra's.

    python -E -s -S kestcompare/worker/__main__.py SETTINGS_JSON

One module per job:
    __main__   the start: sys.path, the limits set inside, the channels
    channel    the request and reply channels on private descriptors
    alarms     each call bounded in time; where a call that ran on was
    capture    what a request printed, and its warnings
    errors     an exception as the report describes it
    loading    the file loaded as the interpreter's import loads it
    observer   which of the file's functions made each recorded call
    session    the loaded module, its globals, what did not return
    recording  record mode: the calls of the recording GL
    rendering  render mode: a frame drawn with real GL, read back
    serve      the loop: one JSON request in, one JSON reply out

This package runs under Python 2.7 and Python 3.
"""
