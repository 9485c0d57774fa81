"""Record mode: the recording GL (host/recordgl) first on the path, and each
reply carries the GL and drawing-helper calls that a function made, every
argument a typed image (see kestcompare.codec). For the file under
comparison the worker also notes which of its functions made each call and
what its matrix builders returned on the way (see observer.py), for the
hints.

A state is what the tool sends: {"name", "ticks", "globals"}: initGL(),
the globals set, then the ticks. Each state is made once, and every
function of it starts from the same globals.
"""
from __future__ import absolute_import, division, print_function

import time

from kestcompare.codec import MAX_ITEMS
from kestcompare.worker.alarms import attempt
from kestcompare.worker.observer import Observer
from kestcompare.worker.session import Session

MAX_CALLS = 20000       # recorded calls kept in a reply


class Recorder(Session):

    def __init__(self, capture, np):
        Session.__init__(self, capture, np)
        import glfake
        self.glfake = glfake
        self.quadric_type = glfake.Quadric
        self.prepared = {}
        self.observer = None

    def loaded(self, request):
        if request.get('observe'):
            namespace = vars(self.module)
            self.observer = Observer(self.glfake.calls, self.builders, self.encode)
            for function in self.functions:
                if callable(namespace.get(function)):
                    namespace[function] = self.observer.wrap(function, namespace[function])

    def fresh(self):
        self.restore(self.pristine)
        self.glfake.reset()
        if self.observer is not None:
            self.observer.reset()

    def trace(self):
        calls = self.glfake.calls
        return [[name, [self.encode(a) for a in args[:MAX_ITEMS]]]
                for name, args in calls[:MAX_CALLS]]

    def finish(self, reply):
        """The count of calls, and the observer's notes for the hints."""
        reply['calls_made'] = len(self.glfake.calls)
        if self.observer is not None:
            reply['owners'] = self.observer.owners(min(len(self.glfake.calls), MAX_CALLS))
            reply['builders'] = self.observer.builders[:MAX_ITEMS]

    # -- requests --
    def builder(self, request):
        self.learn(request)
        name = request['function']
        args = [self.decode(a) for a in request['args']]
        kwargs = dict((k, self.decode(v)) for k, v in request['kwargs'].items())
        self.fresh()
        function = vars(self.module).get(name)
        if function is None:
            return {'missing': True}
        with self.capture:
            value, info, stop = attempt(lambda: function(*args, **kwargs), request['limit'])
            reply = {}
            self.stop_reply(reply, stop)
            if info is not None:
                reply['error'] = self.error(info)
            elif stop is None:
                encoded, _, late = attempt(lambda: self.encode(value), request['limit'])
                reply['result'] = encoded
                if late is not None:
                    self.stop_reply(reply, late)
        reply['output'] = self.capture.text()
        reply['warnings'] = self.capture.warnings()
        self.finish(reply)
        return reply

    def prepare(self, state, budget):
        """Runs initGL(), sets the state's globals and ticks, within what is
        left of the preparation budget; keeps the result so that every
        function of this state starts from the same globals.

        A failing initGL() is noted and the preparation goes on (the drawing
        then shows what that costs); a failing tick ends it."""
        name = state['name']
        if name in self.prepared:
            saved, report = self.prepared[name]
            return saved, dict(report, fresh=False)
        ticks = int(state['ticks'])
        self.fresh()
        namespace = vars(self.module)
        report = {'ticks': ticks}
        if budget <= 0:
            report.update(exhausted=True, hung=False, output='', seconds=0.0)
            return None, dict(report, fresh=True)

        def run_ticks():
            tick = namespace['updateAnimationVariables']
            for _ in range(ticks):
                tick()
        started = time.time()
        with self.capture:
            stop = None
            init = namespace.get('initGL')
            if init is not None:
                _, info, stop = attempt(init, budget)
                if info is not None:
                    report['initGL_error'] = self.error(info)
            if stop is None:
                self.set_globals(state['globals'])
                if ticks:
                    _, info, stop = attempt(run_ticks, max(0.01, budget - (time.time() - started)))
                    if info is not None:
                        report['error'] = self.error(info)
        report.update(output=self.capture.text(), hung=stop is not None,
                      seconds=round(time.time() - started, 4))
        if stop is not None:
            report['stopped'] = stop
            self.remember(stop)
        self.prepared[name] = (self.snapshot(), report)
        return self.prepared[name][0], dict(report, fresh=True)

    def prepare_all(self, request):
        """Makes the requested states one after the other, those with the
        fewest ticks first, all within one budget: prepare_limit."""
        self.learn(request)
        budget = float(request.get('prepare_limit', request['limit']))
        started = time.time()
        states = {}
        for state in sorted(request['states'], key=lambda s: s['ticks']):
            _, report = self.prepare(state, budget - (time.time() - started))
            states[state['name']] = dict((key, report[key]) for key in
                                         ('hung', 'stopped', 'exhausted', 'seconds', 'ticks',
                                          'error') if key in report)
        return {'states': states, 'seconds': round(time.time() - started, 4)}

    def draw(self, request):
        self.learn(request)
        name, limit = request['function'], request['limit']
        saved, preparation = self.prepare(request['state'], request.get('prepare_limit', limit))
        reply = {'preparation': preparation}
        if preparation['hung'] or preparation.get('exhausted'):
            return reply
        self.restore(saved)
        self.glfake.reset()
        if self.observer is not None:
            self.observer.reset()
        function = vars(self.module).get(name)
        if function is None:
            reply['missing'] = True
            return reply
        readback = request.get('readback')
        if readback:
            stacks = self.glfake.state.stacks
            consts = self.glfake.GL_CONSTS
            stacks[consts['GL_MODELVIEW']][-1] = self.decode(readback['modelview'])
            stacks[consts['GL_PROJECTION']][-1] = self.decode(readback['projection'])
        with self.capture:
            value, info, stop = attempt(function, limit)
            self.stop_reply(reply, stop)
            if info is not None:
                reply['error'] = self.error(info)
            if stop is None:
                namespace = vars(self.module)
                encoded, _, late = attempt(lambda: {
                    'result': self.encode(value),
                    'calls': self.trace(),
                    'globals': dict((g, self.encode(namespace[g]))
                                    for g in self.globals if g in namespace)}, limit)
                if late is not None:
                    self.stop_reply(reply, late)
                else:
                    reply.update(encoded)
            if reply['hung']:
                reply['calls'] = self.trace()
        reply['output'] = self.capture.text()
        reply['warnings'] = self.capture.warnings()
        glfake = self.glfake
        reply['depth'] = {'modelview': glfake.depth('modelview'),
                          'projection': glfake.depth('projection')}
        reply['matrix_mode'] = {glfake.GL_CONSTS['GL_MODELVIEW']: 'GL_MODELVIEW',
                                glfake.GL_CONSTS['GL_PROJECTION']: 'GL_PROJECTION'}.get(
                                    glfake.state.matrix_mode, str(glfake.state.matrix_mode))
        self.finish(reply)
        return reply

    def handle(self, op, request):
        if op == 'builder':
            return self.builder(request)
        if op == 'draw':
            return self.draw(request)
        if op == 'prepare':
            return self.prepare_all(request)
        return None
