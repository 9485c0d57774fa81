"""The request and reply channels on private descriptors.

The worker starts with its requests on descriptor 0, its replies on 1 and
the capture file (opened by the tool, for appending) on the descriptor the
settings name. Before any code of the implementation runs, the channels
move to descriptors of their own: the implementation's stdin then reads
/dev/null, and whatever it prints (through sys.stdout, sys.stderr or
straight to descriptors 1 and 2) ends up in the capture file, from where
each reply hands back the output of its own request.

One request per line, one reply per line, both JSON. Besides the replies
the worker writes two kinds of short lines: {"phase": seconds} when a call
into the implementation starts, with its time limit, and {"stopped":
where} when the alarm stopped one. All of this is the worker's word: the
tool reads it as untrusted data.
"""
from __future__ import absolute_import, division, print_function

import json
import os
import sys

PY2 = sys.version_info[0] == 2
REQUEST_LIMIT = 16 * 1024 * 1024     # bytes of one request line


class Channel(object):
    def __init__(self, capture_fd):
        self.requests = os.fdopen(os.dup(0), 'rb')
        self.replies = os.fdopen(os.dup(1), 'wb')
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, 0)
        os.close(null)
        os.dup2(capture_fd, 1)
        os.dup2(capture_fd, 2)
        sys.stdin = open(os.devnull, 'r')
        if PY2:
            sys.stdout = sys.stderr = os.fdopen(os.dup(1), 'w', 0)
        else:
            sys.stdout = sys.stderr = open(1, 'w', buffering=1, closefd=False)

    def read(self):
        """The next request as a dict, or None at the end of the requests."""
        line = self.requests.readline(REQUEST_LIMIT)
        if not line:
            return None
        return json.loads(line.decode('utf-8'))

    def write(self, message):
        data = json.dumps(message, sort_keys=True, allow_nan=False)
        self.replies.write(data.encode('ascii') + b'\n')
        self.replies.flush()
