"""The worker's loop: one JSON request in, one JSON reply out, until the
requests end.

Requests, each with "op" and "limit" (seconds per call), and the replies'
fields (documented for the tool in kestcompare.protocol):
    load      {"target": a path or "compiled", "name", "functions",
              "globals", "builders", "observe", "watch", "size" (render)}
    builder   {"function", "args", "kwargs"}: the arguments as typed images
    prepare   {"states": [state, ...], "prepare_limit"}
    draw      {"function", "state", "readback" (the GL's matrices, for the
              read-back function), "prepare_limit"}
    render    {"state", "prepare_limit"}
A state is {"name", "ticks", "globals": {name: image}}. Every reply of a
request after the load may carry "cut_short" (the stand-ins of functions
that did not return before, called during the request) and "imports" (the
watched modules the file tried to import).
"""
from __future__ import absolute_import, division, print_function

import traceback

from kestcompare.worker import alarms
from kestcompare.worker.capture import Capture
from kestcompare.worker.channel import Channel
from kestcompare.worker.errors import note_handled_exception

INTERNAL_LIMIT = 3000   # characters of a worker failure's traceback


def make_session(mode, capture, np):
    if mode == 'record':
        from kestcompare.worker.recording import Recorder
        return Recorder(capture, np)
    from kestcompare.worker.rendering import Renderer
    return Renderer(capture, np)


def handle(session, request):
    op = request.get('op')
    if op == 'load':
        return session.load(request)
    if session.module is None:
        return {'internal_error': 'no module is loaded'}
    reply = session.handle(op, request)
    if reply is None:
        return {'internal_error': 'unknown request %r' % (op,)}
    return reply


def serve(mode, capture_fd):
    channel = Channel(capture_fd)
    alarms.install()
    note_handled_exception()
    alarms.CURRENT['tell'] = channel.write
    alarms.CURRENT['heartbeat'] = lambda limit: channel.write({'phase': float(limit)})
    import numpy
    session = make_session(mode, Capture(capture_fd), numpy)
    alarms.CURRENT['locate'] = session.locate
    try:
        while True:
            request = channel.read()
            if request is None:
                break
            del alarms.CURRENT['cut'][:]
            try:
                reply = handle(session, request)
                if alarms.CURRENT['cut']:
                    reply['cut_short'] = sorted(set(alarms.CURRENT['cut']))
                if session.tried_imports():
                    reply['imports'] = session.tried_imports()
            except BaseException:
                reply = {'internal_error': traceback.format_exc()[-INTERNAL_LIMIT:]}
            try:
                channel.write(reply)
            except (TypeError, ValueError):
                channel.write({'internal_error': traceback.format_exc()[-INTERNAL_LIMIT:]})
    finally:
        if hasattr(session, 'close'):
            session.close()
    return 0
