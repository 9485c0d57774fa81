"""What KestCompare and its workers say to each other: the requests, and the
replies as typed objects, each field checked on arrival.

Every message is one line of JSON (never pickle: a reply is data, and the
worker that sends a learner's replies runs the learner's code, so it may
send anything). A reply line is read only up to REPLY_LIMIT bytes; each
field is checked against its kind below (values against the typed images
of kestcompare.codec), and a reply with a field it does not know, a field
of another kind or a size past its bound is not read at all: the worker
counts as crashed, with "its reply was not valid" and why. Nothing a
worker can send reaches the verdict but through these fields, and the
verdict compares them with Movra's, which come from workers that run no
learner's code.

The replies, by request ("op" of the request):
    load      LoadReply      ok, python, file, compiled, globals, functions
    builder   BuilderReply   result, missing
    prepare   PrepareReply   states, seconds
    draw      DrawReply      preparation, result, calls, globals, depth,
                             matrix_mode, missing
    render    RenderReply    preparation, ticks, image, read_error
and in all of them: output, warnings, error, hung, stopped, cut_short,
imports, internal_error, calls_made, owners, builders (see Reply). A
reply that the tool makes itself, for a worker that crashed, was killed or
could not be started, is of the same class with `crashed` or `hung` set,
`status` (the process's exit status) and `limit` (a limit of the sandbox
that the worker hit, see LIMITS).
"""
from __future__ import absolute_import, division, print_function

import json

from kestcompare import codec

REPLY_LIMIT = 32 * 1024 * 1024      # bytes of one reply line
MAX_CALLS = 20000                   # recorded calls in a reply
MAX_NAMES = 64                      # globals, functions, states of a reply
TEXT_LIMIT = 5000                   # characters of a text field

# The limits a worker may hit, as the report names them.
LIMITS = {
    'time': 'the time limit',
    'cpu': 'its CPU time',
    'memory': 'the memory limit',
    'processes': 'the process limit',
    'file size': 'the file size limit',
    'open files': 'the limit of open files',
    'scratch': 'the space of its scratch folder',
}


class ReplyError(ValueError):
    """A reply that is not what its request asks for."""


# ------------------------------------------------------------- checkers ---
# A checker takes (value, where) and returns the value, or raises
# ReplyError naming where the value was.

def text(limit=TEXT_LIMIT):
    def check(value, where):
        if not isinstance(value, str):
            raise ReplyError('%s: not a string' % where)
        if len(value) > limit:
            raise ReplyError('%s: %d characters, at most %d' % (where, len(value), limit))
        return value
    return check


def boolean(value, where):
    if not isinstance(value, bool):
        raise ReplyError('%s: not true or false' % where)
    return value


def integer(value, where):
    if isinstance(value, bool) or not isinstance(value, int) or abs(value) > 2 ** 53:
        raise ReplyError('%s: not a whole number' % where)
    return value


def seconds(value, where):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or \
            not 0 <= value <= 1e6:
        raise ReplyError('%s: not a number of seconds' % where)
    return float(value)


def optional(check):
    def checked(value, where):
        return None if value is None else check(value, where)
    return checked


def list_of(check, most):
    def checked(value, where):
        if not isinstance(value, list) or len(value) > most:
            raise ReplyError('%s: not a list of at most %d' % (where, most))
        return [check(item, '%s[%d]' % (where, index)) for index, item in enumerate(value)]
    return checked


def mapping(check, most=MAX_NAMES):
    def checked(value, where):
        if not isinstance(value, dict) or len(value) > most:
            raise ReplyError('%s: not an object of at most %d names' % (where, most))
        for key in value:
            text(100)(key, where + ' name')
        return dict((key, check(item, '%s[%s]' % (where, key))) for key, item in value.items())
    return checked


def image(value, where):
    try:
        return codec.validate(value, where)
    except codec.CodecError as error:
        raise ReplyError(str(error))


def record(fields, required=()):
    """A checker of an object with the given fields (name -> checker), of
    which those in `required` must be there."""
    def checked(value, where):
        if not isinstance(value, dict):
            raise ReplyError('%s: not an object' % where)
        unknown = sorted(set(value) - set(fields))
        if unknown:
            raise ReplyError('%s: an unknown field %s' % (where, unknown[0][:40]))
        for name in required:
            if name not in value:
                raise ReplyError('%s: no field %s' % (where, name))
        return dict((name, fields[name](item, '%s.%s' % (where, name)))
                    for name, item in value.items())
    return checked


def _error(value, where):
    return ERROR(value, where)


ERROR = record({'type': text(100), 'message': text(2100), 'line': optional(integer),
                'function': optional(text(200)), 'source': text(200),
                'traceback': text(3100), 'errno': integer, 'handled': _error},
               required=('type', 'message'))
STOP = record({'function': optional(text(200)), 'line': optional(integer),
               'source': text(200), 'known': boolean})


def call(value, where):
    if not isinstance(value, list) or len(value) != 2:
        raise ReplyError('%s: not a [name, arguments] pair' % where)
    return [text(100)(value[0], where + ' name'),
            list_of(image, codec.MAX_ITEMS)(value[1], where + ' arguments')]


BUILDER_RESULT = record({'at': integer, 'level': integer, 'name': text(100), 'result': image},
                        required=('at', 'level', 'name', 'result'))
PYTHON = record({'version': text(100), 'implementation': text(100), 'executable': text(1000)})
STATE = record({'hung': boolean, 'stopped': optional(STOP), 'exhausted': boolean,
                'seconds': seconds, 'ticks': integer, 'error': ERROR})
PREPARATION = record({'ticks': integer, 'exhausted': boolean, 'hung': boolean,
                      'output': text(), 'seconds': seconds, 'stopped': optional(STOP),
                      'fresh': boolean, 'initGL_error': ERROR, 'error': ERROR})
DEPTH = record({'modelview': integer, 'projection': integer},
               required=('modelview', 'projection'))
IMAGE = record({'width': integer, 'height': integer, 'rgb': text(16 * 1024 * 1024)},
               required=('width', 'height', 'rgb'))


# ---------------------------------------------------------------- replies ---

class Reply(object):
    """A worker's reply, or the tool's in its place. Fields not sent are
    None (False for the flags, empty for the lists)."""

    FIELDS = {
        'output': text(), 'warnings': list_of(text(600), codec.MAX_ITEMS),
        'error': ERROR, 'hung': boolean, 'stopped': optional(STOP),
        'cut_short': list_of(text(200), MAX_NAMES), 'imports': list_of(text(100), 8),
        'internal_error': text(), 'calls_made': integer,
        'owners': list_of(optional(text(200)), MAX_CALLS),
        'builders': list_of(BUILDER_RESULT, codec.MAX_ITEMS),
    }
    # Set by the tool alone, never read from a worker.
    TOOL_FIELDS = ('crashed', 'status', 'killed', 'gave_up', 'reload', 'invalid', 'limit',
                   'phase')
    FLAGS = ('hung', 'crashed', 'killed', 'reload', 'ok', 'missing', 'compiled')
    LISTS = ('warnings', 'cut_short', 'imports')

    def __init__(self, **fields):
        for name in self.all_fields():
            if name in self.FLAGS:
                default = False
            elif name in self.LISTS:
                default = []
            elif name == 'output':
                default = ''
            else:
                default = None
            setattr(self, name, fields.pop(name, default))
        if fields:
            raise TypeError('%s has no field %s' % (type(self).__name__, sorted(fields)[0]))

    @classmethod
    def all_fields(cls):
        return list(cls.FIELDS) + list(cls.TOOL_FIELDS)

    @classmethod
    def parse(cls, data):
        """The reply of a worker's JSON object, each field checked."""
        checked = record(cls.FIELDS)(data, cls.__name__)
        return cls(**checked)

    @classmethod
    def failure(cls, **fields):
        """The tool's reply in place of a worker that gave none."""
        return cls(**fields)

    def to_json(self):
        """The fields that are set, as JSON can carry them."""
        out = {}
        for name in self.all_fields():
            value = getattr(self, name)
            default = False if name in self.FLAGS else ([] if name in self.LISTS else (
                '' if name == 'output' else None))
            if value != default:
                out[name] = value
        return out

    @classmethod
    def from_json(cls, data):
        """A reply that the tool recorded itself (to_json())."""
        fields = dict((k, v) for k, v in data.items() if k in cls.TOOL_FIELDS)
        sent = dict((k, v) for k, v in data.items() if k not in cls.TOOL_FIELDS)
        reply = cls.parse(sent)
        for name, value in fields.items():
            setattr(reply, name, value)
        return reply

    @property
    def failed(self):
        """It gave no ordinary answer: it did not return, or its worker crashed."""
        return self.hung or self.crashed

    def __repr__(self):
        return '%s(%s)' % (type(self).__name__, ', '.join(
            '%s=%r' % item for item in sorted(self.to_json().items())))


class LoadReply(Reply):
    FIELDS = dict(Reply.FIELDS, ok=boolean, python=PYTHON, file=text(500), compiled=boolean,
                  globals=mapping(image), functions=mapping(boolean))


class BuilderReply(Reply):
    FIELDS = dict(Reply.FIELDS, result=image, missing=boolean)


class PrepareReply(Reply):
    FIELDS = dict(Reply.FIELDS, states=mapping(STATE), seconds=seconds)


class DrawReply(Reply):
    FIELDS = dict(Reply.FIELDS, preparation=PREPARATION, result=image,
                  calls=list_of(call, MAX_CALLS), globals=mapping(image), depth=DEPTH,
                  matrix_mode=text(100), missing=boolean)


class RenderReply(Reply):
    FIELDS = dict(Reply.FIELDS, preparation=PREPARATION, ticks=integer, image=IMAGE,
                  read_error=ERROR)


REPLIES = {'load': LoadReply, 'builder': BuilderReply, 'prepare': PrepareReply,
           'draw': DrawReply, 'render': RenderReply}


def reply_class(request):
    return REPLIES[request['op']]


def parse_line(line, request):
    """The reply of one line of a worker to the request; ReplyError when it
    is not one."""
    if len(line) > REPLY_LIMIT:
        raise ReplyError('a reply of %d bytes, at most %d' % (len(line), REPLY_LIMIT))
    try:
        data = json.loads(line.decode('ascii'))
    except (UnicodeDecodeError, ValueError) as error:
        raise ReplyError('not a line of JSON (%s)' % str(error)[:100])
    if not isinstance(data, dict):
        raise ReplyError('not a JSON object')
    return reply_class(request).parse(data)


def parse_note(data, limit):
    """A short line a worker writes between replies: ("phase", seconds) when
    a call starts (at most the request's own limit), ("stopped", where)
    when its alarm stopped one; None for anything else."""
    if not isinstance(data, dict) or len(data) != 1:
        return None
    if 'phase' in data:
        try:
            return 'phase', min(seconds(data['phase'], 'phase'), limit)
        except ReplyError:
            return None
    if 'stopped' in data:
        try:
            return 'stopped', optional(STOP)(data['stopped'], 'stopped')
        except ReplyError:
            return None
    return None


# --------------------------------------------------------------- requests ---

def request_key(request):
    """What identifies a request's answer: everything but its time limits
    and what the learner's worker alone is told."""
    return json.dumps(dict((k, v) for k, v in request.items()
                           if k not in ('limit', 'prepare_limit', 'hung', 'watch')),
                      sort_keys=True)
