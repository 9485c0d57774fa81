"""The loaded module of a worker: its globals as they were after loading,
where its code is when an alarm goes off, the functions that did not
return, and the load request itself.

The module's names (its functions, globals and matrix builders) come with
the load request: the worker knows nothing of the module by itself.
"""
from __future__ import absolute_import, division, print_function

import copy
import linecache
import os
import platform
import sys

from kestcompare import codec
from kestcompare.codec import to_text
from kestcompare.worker import alarms
from kestcompare.worker.errors import describe_error
from kestcompare.worker.loading import ImportWatch, load_file


class Session(object):
    """What every worker keeps of its module, in record and render mode."""

    def __init__(self, capture, np):
        self.capture = capture
        self.np = np
        self.module = None
        self.path = None
        self.pristine = None
        self.functions = []
        self.globals = []
        self.builders = []
        self.hung = {}          # function name -> where it did not return
        self.own_code = {}      # code object -> name, of the file's functions
        self.watch = None
        self.quadric_type = None

    # -- values --
    def encode(self, value):
        return codec.encode(value, self.np, self.quadric_type)

    def decode(self, value):
        return codec.decode(value, self.np)

    # -- where the file is --
    def in_module(self, filename):
        if self.path is None:
            return os.path.basename(filename) == 'Movra.py'
        try:
            return os.path.abspath(filename) == self.path
        except (TypeError, ValueError):
            return False

    def locate(self, frame):
        """Where the file was when the alarm went off: the innermost of its
        module-level functions on the stack ("function"; "<module>" while it
        loads) and the line its innermost frame was executing."""
        innermost, blamed = None, None
        while frame is not None:
            code = frame.f_code
            if self.in_module(code.co_filename):
                if innermost is None:
                    innermost = frame
                if blamed is None and code in self.own_code:
                    blamed = self.own_code[code]
            frame = frame.f_back
        if innermost is None:
            return None
        line = innermost.f_lineno
        source = linecache.getline(self.path, line).strip() if self.path else ''
        return {'function': to_text(blamed or innermost.f_code.co_name)[:200], 'line': line,
                'source': to_text(source)[:200]}

    def error(self, info):
        entry = describe_error(info, self.in_module)
        handled = entry.get('handled')
        if handled and handled.get('line') and self.path and 'source' not in handled:
            source = linecache.getline(self.path, handled['line']).strip()
            if source:
                handled['source'] = to_text(source)[:200]
        return entry

    # -- the globals --
    def snapshot(self):
        namespace = vars(self.module)
        shallow = dict(namespace)
        deep = {}
        for name in self.globals:
            if name in namespace:
                try:
                    deep[name] = copy.deepcopy(namespace[name])
                except BaseException:
                    deep[name] = namespace[name]
        return shallow, deep

    def restore(self, saved):
        shallow, deep = saved
        namespace = vars(self.module)
        namespace.clear()
        namespace.update(shallow)
        for name, value in deep.items():
            try:
                namespace[name] = copy.deepcopy(value)
            except BaseException:
                namespace[name] = value
        self.install_stand_ins()

    def set_globals(self, images):
        """The globals of a state, as the tool sends them."""
        namespace = vars(self.module)
        for key, image in images.items():
            namespace[key] = self.decode(image)

    # -- what did not return --
    def learn(self, request):
        """Takes the functions that KestCompare knows not to return (found by
        this worker or by another one of the same file) and puts their
        stand-ins in place."""
        for name, where in (request.get('hung') or {}).items():
            self.hung.setdefault(name, where)
        self.install_stand_ins()

    def install_stand_ins(self):
        if self.module is None:
            return
        namespace = vars(self.module)
        for name, where in self.hung.items():
            if name in namespace and callable(namespace[name]):
                namespace[name] = alarms.stand_in(name, where)

    def remember(self, stop):
        """Notes a function that did not return, from now on a stand-in."""
        if stop and not stop.get('known') and stop.get('function') and \
                self.module is not None and stop['function'] in vars(self.module):
            self.hung.setdefault(stop['function'], dict(
                (k, stop[k]) for k in ('function', 'line', 'source') if k in stop))
            self.install_stand_ins()

    def stop_reply(self, reply, stop):
        reply['hung'] = stop is not None
        if stop is not None:
            reply['stopped'] = stop
            self.remember(stop)

    # -- loading --
    def prepare_load(self, request):
        """Hook of the modes: what must be in place before the module loads
        (a window), or an error entry."""
        return None

    def load(self, request):
        target, name, limit = request['target'], request['name'], request['limit']
        self.functions = list(request['functions'])
        self.globals = list(request['globals'])
        self.builders = list(request['builders'])
        reply = {'python': {'version': platform.python_version(),
                            'implementation': platform.python_implementation(),
                            'executable': sys.executable}}
        failure = self.prepare_load(request)
        if failure is not None:
            reply.update(ok=False, error=failure, output='')
            return reply
        if request.get('watch'):
            self.watch = ImportWatch(request['watch']).install()
        if target != 'compiled':
            self.path = os.path.abspath(target)
        sys.dont_write_bytecode = True      # nothing written next to the file

        def run():
            if target == 'compiled':
                import Movra
                return Movra
            return load_file(name, self.path)
        with self.capture:
            module, info, stop = alarms.attempt(run, limit)
        reply['output'] = self.capture.text()
        if stop is not None:
            reply.update(ok=False, hung=True, stopped=stop)
            return reply
        if info is not None:
            reply.update(ok=False, error=self.error(info))
            return reply
        self.module = module
        namespace = vars(module)
        for key, value in list(namespace.items()):
            code = getattr(value, '__code__', None)
            if code is not None and self.in_module(code.co_filename):
                self.own_code[code] = key
        reply.update(ok=True, file=to_text(getattr(module, '__file__', None) or '')[:500],
                     compiled=not str(getattr(module, '__file__', '')).endswith(
                         ('.py', '.pyc')),
                     globals=dict((g, self.encode(namespace[g])) for g in self.globals
                                  if g in namespace),
                     functions=dict((f, bool(callable(namespace[f]))) for f in self.functions
                                    if f in namespace))
        self.loaded(request)
        self.pristine = self.snapshot()
        return reply

    def loaded(self, request):
        """Hook of the modes: what follows a successful load."""

    def tried_imports(self):
        return list(self.watch.tried) if self.watch is not None else []
