"""What a learner's worker may send: each reply checked field by field, the
typed values of the codec, the notes between replies, and a worker process
that sends what no worker should (checked against a stand-in worker that is
a script of a few lines)."""
from __future__ import division

import json
import sys
import time

import numpy as np
import pytest

from kestcompare import cases, codec, protocol, supervise

pytestmark = pytest.mark.compare


def line(data):
    return json.dumps(data).encode('ascii')


DRAW = {'op': 'draw', 'function': 'drawScene', 'limit': 1.0}
GOOD_CALL = ['glTranslatef', [{'t': 'float', 'v': 0.0}, {'t': 'int', 'v': 0},
                              {'t': 'float', 'v': -3.0}]]


def test_a_valid_reply_is_read_into_its_class():
    reply = protocol.parse_line(line({'calls': [GOOD_CALL], 'output': 'x\n', 'hung': False,
                                      'depth': {'modelview': 1, 'projection': 1}}), DRAW)
    assert isinstance(reply, protocol.DrawReply)
    assert reply.calls == [GOOD_CALL] and reply.output == 'x\n'
    assert reply.error is None and reply.crashed is False and reply.warnings == []


@pytest.mark.parametrize('data, why', [
    ({'identical': True}, 'an unknown field identical'),
    ({'crashed': False}, 'an unknown field crashed'),          # the tool's own fields
    ({'limit': 'time'}, 'an unknown field limit'),
    ({'hung': 'no'}, 'DrawReply.hung: not true or false'),
    ({'output': 5}, 'DrawReply.output: not a string'),
    ({'output': 'x' * 6000}, 'DrawReply.output: 6000 characters, at most 5000'),
    ({'calls': [['glFoo']]}, 'not a [name, arguments] pair'),
    ({'calls': [GOOD_CALL] * (protocol.MAX_CALLS + 1)}, 'not a list of at most 20000'),
    ({'calls': [['glFoo', [{'t': 'float', 'v': 'big'}]]]}, 'not a number'),
    ({'depth': {'modelview': 1}}, 'no field projection'),
    ({'error': {'type': 'X'}}, 'no field message'),
    ({'error': {'type': 'X', 'message': '', 'line': 1.5}}, 'line: not a whole number'),
    ({'stopped': {'function': 'f', 'line': 3, 'where': 'x'}}, 'an unknown field where'),
    ({'globals': dict(('g%d' % i, {'t': 'None'}) for i in range(65))}, 'at most 64 names'),
    ({'result': {'t': 'float', 'v': float('nan')}}, 'a non-finite float must be written'),
    ({'result': {'t': 'matrix', 'dtype': 'float64', 'shape': [2, 2], 'v': [1.0]}},
     'an array of 4 elements with 1'),
    ({'result': {'t': 'list', 'length': 1, 'items': [{'t': 'None'}, {'t': 'None'}]}},
     'more items than it has'),
    ({'spans': [['drawMain', 0, 5]]}, 'not a [name, first, end, depth] span'),
    ({'spans': [['drawMain', 5, 2, 0]]}, 'not a span of the recorded calls'),
    ({'spans': [['drawMain', -1, 2, 0]]}, 'not a span of the recorded calls'),
    ({'spans': [['drawMain', 0, protocol.MAX_CALLS + 1, 0]]}, 'not a span of the recorded'),
    ({'spans': [['drawMain', 0, 1.5, 0]]}, 'not a whole number'),
    ({'spans': [['drawMain', 0, 1, 0]] * 65}, 'not a list of at most 64'),
    ({'builders': [{'at': 0, 'level': 0, 'name': 'rotateX', 'result': {'t': 'None'},
                    'args': [['angle', {'t': 'int', 'v': 1}, 3]]}]},
     'not a [keyword, value] pair'),
    ({'builders': [{'at': 0, 'level': 0, 'name': 'rotateX', 'result': {'t': 'None'},
                    'caller': 7}]}, 'caller: not a string'),
])
def test_a_reply_with_a_field_of_another_kind_is_not_read(data, why):
    with pytest.raises(protocol.ReplyError) as raised:
        protocol.parse_line(line(data), DRAW)
    assert why in str(raised.value)


@pytest.mark.parametrize('raw, why', [
    (b'not json', 'not a line of JSON'),
    (b'[1, 2]', 'not a JSON object'),
    (b'{"output": "\xff"}', 'not a line of JSON'),
    (b' ' * (protocol.REPLY_LIMIT + 1), 'a reply of %d bytes' % (protocol.REPLY_LIMIT + 1)),
])
def test_a_line_that_is_no_reply_is_not_read(raw, why):
    with pytest.raises(protocol.ReplyError) as raised:
        protocol.parse_line(raw, DRAW)
    assert why in str(raised.value)


def nested(depth):
    value = {'t': 'None'}
    for _ in range(depth):
        value = {'t': 'list', 'length': 1, 'items': [value]}
    return value


@pytest.mark.parametrize('value, ok', [
    (nested(codec.MAX_DEPTH), True),
    (nested(codec.MAX_DEPTH + 3), False),
    ({'t': 'int', 'v': True}, False),
    ({'t': 'int', 'v': 2 ** 70}, True),
    ({'t': 'str', 'v': 'x' * (codec.MAX_TEXT + 1)}, False),
    ({'t': 'Thing', 'repr': '<Thing>'}, True),
    ({'t': 'Thing'}, False),
    ({'t': ''}, False),
    ({'t': 'bool_', 'v': 1}, False),
    ({'t': 'ndarray', 'dtype': 'float64', 'shape': [-1], 'v': []}, False),
])
def test_the_typed_values_a_worker_may_send(value, ok):
    if ok:
        assert codec.validate(value) is value
    else:
        with pytest.raises(codec.CodecError):
            codec.validate(value)


def test_every_argument_of_the_tables_crosses_as_the_same_object():
    """What the tool sends a worker decodes to objects of the very types and
    values the tables hold, and each image is one a worker could send."""
    for index in range(len(cases.builder_cases())):
        name, args, kwargs = cases.builder_case(index)
        request = cases.builder_request(index, 1.0)
        decoded = [codec.decode(codec.validate(image), np) for image in request['args']]
        assert [type(a) for a in decoded] == [type(a) for a in args], index
        for sent, kept in zip(decoded, args):
            assert repr(sent) == repr(kept), index
        assert sorted(request['kwargs']) == sorted(kwargs)


@pytest.mark.parametrize('note, limit, expected', [
    ({'phase': 3.0}, 1.0, ('phase', 1.0)),          # never beyond the request's own limit
    ({'phase': 0.5}, 1.0, ('phase', 0.5)),
    ({'phase': -1}, 1.0, None),
    ({'phase': 'soon'}, 1.0, None),
    ({'stopped': {'function': 'f', 'line': 2}}, 1.0, ('stopped', {'function': 'f', 'line': 2})),
    ({'stopped': {'line': 'two'}}, 1.0, None),
    ({'phase': 1, 'stopped': None}, 1.0, None),
])
def test_the_notes_between_replies(note, limit, expected):
    assert protocol.parse_note(note, limit) == expected


# ------------------------------------------------- a worker that misbehaves ---

class Scripted(supervise.Worker):
    """A stand-in worker: a Python script of a few lines, not boxed."""

    def __init__(self, script):
        supervise.Worker.__init__(self, None, 'record', 'compiled', None, boxed=False)
        self.script = script

    def argv(self, capture_fd):
        return [sys.executable, '-c', self.script]

    def environment(self):
        return None


def exchange_with(script, tmpdir, request=None):
    process = supervise.WorkerProcess(Scripted(script), {'op': 'load', 'limit': 1.0},
                                      str(tmpdir))
    try:
        process._spawn()
        started = time.time()
        request = request or dict(DRAW)
        process.send(request)
        reply = process.receive(request, started + process.phase_seconds)
        return reply, time.time() - started
    finally:
        process.stop()


READ = 'import sys, time\nsys.stdin.readline()\n'


def test_a_worker_that_announces_calls_forever_is_still_bounded(tmpdir):
    script = READ + ('while True:\n    sys.stdout.write(\'{"phase": 1.0}\\n\')\n'
                     '    sys.stdout.flush()\n    time.sleep(0.2)\n')
    reply, seconds = exchange_with(script, tmpdir)
    assert reply.hung and reply.killed and reply.limit == 'time'
    assert seconds <= supervise.request_seconds(DRAW) + 1.0


def test_a_worker_that_sends_no_reply_but_garbage_counts_as_crashed(tmpdir):
    reply, _ = exchange_with(READ + 'sys.stdout.write(\'{"identical": true}\\n\')\n'
                                    'sys.stdout.flush()\ntime.sleep(30)\n', tmpdir)
    assert reply.crashed and reply.invalid == 'DrawReply: an unknown field identical'
    assert not reply.hung


def test_a_worker_that_sends_an_endless_line_is_killed(tmpdir):
    script = READ + ('chunk = "x" * (1 << 20)\nwhile True:\n    sys.stdout.write(chunk)\n')
    reply, _ = exchange_with(script, tmpdir)
    assert reply.crashed and reply.invalid == 'a reply of more than %d bytes' % (
        protocol.REPLY_LIMIT)


def test_a_worker_past_the_learners_deadline_ends_the_comparison(tmpdir):
    process = supervise.WorkerProcess(Scripted(READ + 'time.sleep(30)\n'),
                                      {'op': 'load', 'limit': 1.0}, str(tmpdir),
                                      deadline=time.time() + 0.5)
    try:
        process._spawn()
        process.send(DRAW)
        with pytest.raises(supervise.LearnerTimeLimit):
            process.receive(DRAW, time.time() + 10)
        assert not process.running()
    finally:
        process.stop()


@pytest.mark.parametrize('error, limit', [
    ({'type': 'MemoryError', 'message': ''}, 'memory'),
    ({'type': 'OSError', 'message': '', 'errno': 28}, 'scratch'),
    ({'type': 'BlockingIOError', 'message': '', 'errno': 11}, 'processes'),
    ({'type': 'OSError', 'message': '', 'errno': 27}, 'file size'),
    ({'type': 'OSError', 'message': '', 'errno': 24}, 'open files'),
    ({'type': 'OSError', 'message': '', 'errno': 2}, None),
    ({'type': 'SystemExit', 'message': '', 'handled': {'type': 'MemoryError',
                                                         'message': ''}}, 'memory'),
    ({'type': 'ValueError', 'message': ''}, None),
])
def test_the_limit_an_error_means(error, limit):
    assert supervise.error_limit(error) == limit
