"""Comparing one file with the reference: the globals, the matrix builders,
every drawing function over the table of states, and the pictures; the
report's items, their hints and the learner's severity.

Each item of the report is a line: different or the same, and of one
category, which decides the severity: "output" (printed output or
warnings), "calls" (anything else but the pictures) or "pictures".

The learner's file runs in workers of its own, in the sandbox; Movra's side
in others, which never run a learner's code (or, for a class, from the
replies recorded once). Everything a learner's worker says is checked on
arrival (kestcompare.protocol) and compared with Movra's; the report is
written into OUT only after every worker of the learner has ended.
"""
from __future__ import absolute_import, division, print_function

import os
import shutil
import tempfile
import time
import traceback

from kestcompare import cases, diff, hints, pictures, pythons, reports, sandbox
from kestcompare.protocol import request_key
from kestcompare.settings import Settings
from kestcompare.supervise import (LearnerTimeLimit, RecordedReplies, Worker, WorkerProcess,
                                   exchange, start_all)
from kestcompare.wording import (error_text, failure_text, listed, plural, raised_text,
                                 result_name, seconds_text, short, stop_text, warnings_text)
from kesthost.xvfb import Xvfb

UNDER_TEST = 'MovraUnderTest'      # the module name the file is loaded under
WATCHED = ('Movra',)               # modules a learner's file must not reach for
OUTPUT_KINDS = ('output', 'warnings')
# How close a matrix of a float32 angle comes to Movra's of the converted
# angle: the conversion there and back loses float32's last bits.
SINGLE_PRECISION = 1e-5
# The least time a frame drawn with real GL may take: software GL compiles
# its pipeline at the first frames of a process, which a busy machine
# stretches past a short call limit; a function that does not return is
# known from the recorded calls by then and is not waited for.
RENDER_LIMIT = 10.0

# The severities, from the best to the worst.
SEVERITIES = reports.SEVERITIES
TOOL_ERROR = 3                     # the exit status of a failure of the tool itself


class CompareError(Exception):
    """Something outside the file under comparison went wrong."""


def severity(status, items):
    """The learner's one severity, from the status and the items."""
    if status == TOOL_ERROR:
        return 'tool error'
    if status == 2:
        return 'not loaded'
    categories = set(item['category'] for item in items if item['different'])
    if not categories:
        return 'identical'
    if 'pictures' in categories:
        return 'pictures'
    if categories - set(['output']):
        return 'calls only'
    return 'output only'


def start_display(size):
    """A private X server for one side's pictures: (its Xvfb, (number,
    socket path))."""
    xvfb = Xvfb(2 * size, 2 * size)
    xvfb.start()
    number = int(xvfb.display.lstrip(':').split('.')[0])
    return xvfb, (number, '/tmp/.X11-unix/X%d' % number)


# ------------------------------------------------------------ comparison ---

class Comparison(object):
    """One file against the reference, into one report folder."""

    def __init__(self, settings, recorded=None, slot=0):
        self.settings = settings
        self.recorded = recorded            # Movra's replies recorded for a class, or None
        self.slot = slot
        self.impl = os.path.abspath(settings.impl)
        self.shown_as = settings.shown_as or self.impl
        self.out = settings.out
        self.limit = settings.time_limit
        self.prepare_limit = settings.prepare_limit
        self.prepare_left = self.prepare_limit
        self.limits = settings.limits()
        self.interpreter = None
        self.workers = []
        self.hung = {}              # yours' functions that did not return
        self.not_prepared = {}      # state -> why yours' state could not be made
        self.probes = {}
        self.imports = []           # modules yours tried to import that it must not
        self.deadline = None
        self.staged = {}            # OUT's relative path -> a file of the scratch folder
        self.report = {
            'implementation': self.shown_as,
            'reference': settings.reference or 'the compiled module Movra',
            'time_limit': self.limit, 'prepare_limit': self.prepare_limit,
            'ignore_output': settings.ignore_output,
            'python': pythons.this_python(),
            'sandbox': {'sandboxed': settings.sandbox,
                        'limits': self.limits.words() if settings.sandbox else None},
            'loaded': False, 'load_error': None, 'missing': [], 'globals': [],
            'matrices': {}, 'functions': {}, 'pictures': {}, 'pictures_error': None,
            'output': {}, 'hints': [], 'hangs': {},
        }
        self.items = []
        self.found_hints = []
        self.notes = []

    # -- workers --
    def target(self, reference):
        if reference:
            return self.reference_copy or 'compiled'
        return self.learner_copy

    def load_request(self, reference, size=None):
        if reference:
            name = 'MovraReference' if self.settings.reference else 'Movra'
            return cases.load_request(self.worker_target(True), name, self.limit, size=size)
        return cases.load_request(self.worker_target(False), UNDER_TEST, self.limit,
                                  watch=WATCHED, size=size)

    def worker_target(self, reference):
        worker = self.worker_for('record', reference)
        return worker.inside_target()

    def worker_for(self, mode, reference, display=None):
        return Worker(self.interpreter, mode, self.target(reference), self.limits,
                      boxed=self.settings.sandbox, slot=self.slot * 2 + (0 if reference else 1),
                      display=display, reference=reference)

    def worker(self, mode, reference, display=None, size=None):
        if reference and self.recorded is not None:
            return RecordedReplies(self.recorded, self.load_request(reference, size))
        process = WorkerProcess(self.worker_for(mode, reference, display),
                                self.load_request(reference, size), self.scratch,
                                None if reference else self.deadline)
        self.workers.append(process)
        return process

    def stop_workers(self):
        for worker in self.workers:
            worker.stop()
        self.workers = []

    # -- helpers --
    def add(self, different, text, category='calls', item=None):
        if different and category == 'output' and self.settings.ignore_output:
            self.notes.append('ignored: ' + text)
            return
        self.items.append({'different': bool(different), 'text': text, 'category': category,
                           'item': item})

    def hint(self, item, found):
        if found is not None:
            found = dict(found, item=item)
            self.found_hints.append(found)

    def yours(self, request):
        """The request as yours' worker gets it: with the functions known
        not to return and what is left of the preparation budget."""
        request = dict(request)
        request['hung'] = dict(self.hung)
        request['prepare_limit'] = max(0.0, self.prepare_left)
        return request

    def learn(self, reply, context):
        """Notes a function of yours that did not return (once, with where),
        the preparation time a reply used and the modules it tried."""
        preparation = getattr(reply, 'preparation', None) or {}
        stops = [reply.stopped, preparation.get('stopped')]
        stops += [state.get('stopped') for state in (getattr(reply, 'states', None)
                                                     or {}).values()]
        for stop in stops:
            if stop and not stop.get('known') and stop.get('function') and \
                    stop['function'] not in self.hung:
                self.hung[stop['function']] = stop
                self.report['hangs'][stop['function']] = dict(stop, context=context)
        if preparation.get('fresh'):
            self.prepare_left -= preparation.get('seconds') or 0.0
        for name in reply.imports:
            if name not in self.imports:
                self.imports.append(name)

    def failure(self, reply, compared=None):
        return failure_text(reply, self.limit, compared, self.limits)

    def movra_probe(self, request):
        """Movra's reply to a probe request, fetched once; None when it has
        none (a recorded class that lacks it, or a failure)."""
        key = request_key(request)
        if key not in self.probes:
            reply = exchange([(self.movra, dict(request, limit=self.limit))])[0]
            preparation = getattr(reply, 'preparation', None) or {}
            if reply.internal_error or self.failure(reply) or reply.error or \
                    preparation.get('hung'):
                reply = None
            self.probes[key] = reply
        return self.probes[key]

    def check_reference(self, reply, what):
        if reply.internal_error:
            raise CompareError('the reference worker failed on %s:\n%s'
                               % (what, reply.internal_error))
        failure = self.failure(reply)
        if failure is not None:
            raise CompareError('the reference %s on %s' % (failure, what))

    # -- the steps --
    def run(self):
        """Compares, then writes the reports: the exit status (0 identical,
        1 different, 2 not loaded, 3 a failure of the tool itself)."""
        self.scratch = tempfile.mkdtemp(prefix='kestcompare-')
        try:
            self.prepare_files()
            try:
                status = self.compare()
            except CompareError as error:
                status = self.tool_error('%s: %s' % (type(error).__name__, error))
            except Exception:
                status = self.tool_error(traceback.format_exc())
            finally:
                self.stop_workers()
            status = self.write(status)
        finally:
            shutil.rmtree(self.scratch, ignore_errors=True)
        return status

    def prepare_files(self, learner=True):
        """The learner's interpreter, and copies of the files the workers
        load: a box shows a copy, never the learner's folder."""
        settings = self.settings
        if settings.sandbox:
            problem = sandbox.problem()
            if problem is not None:
                raise CompareError('refusing to run the learner\'s code: %s' % problem)
        try:
            self.interpreter = pythons.interpreter_for(settings.python, settings.sandbox)
        except (pythons.PythonError, sandbox.SandboxError) as error:
            raise CompareError(str(error))
        self.report['python'] = dict(self.report['python'], learner=self.interpreter.version)
        self.learner_copy = None
        if learner:
            self.learner_copy = self.copy(self.impl, 'learner') if settings.sandbox else self.impl
        self.reference_copy = None
        if settings.reference:
            self.reference_copy = self.copy(settings.reference, 'reference') \
                if settings.sandbox else settings.reference

    def copy(self, path, folder):
        target = os.path.join(self.scratch, folder)
        os.makedirs(target)
        copied = os.path.join(target, os.path.basename(path))
        shutil.copyfile(path, copied)
        os.chmod(copied, 0o644)
        return copied

    def compare(self):
        self.deadline = time.time() + self.settings.learner_limit
        try:
            return self.compare_all()
        except LearnerTimeLimit:
            self.stop_workers()
            self.add(True, 'the comparison was stopped after %s s, the limit of one learner '
                     '(--learner-limit); what follows it was not compared'
                     % seconds_text(self.settings.learner_limit), item='learner limit')
            self.report['timed_out'] = True
            return 1

    def compare_all(self):
        self.movra = self.worker('record', True)
        self.yours_worker = self.worker('record', False)
        m_load, y_load = start_all([self.movra, self.yours_worker], self.limit)
        if not m_load.ok:
            raise CompareError('the reference could not be loaded: %s' % (
                error_text(m_load.error) or self.failure(m_load) or m_load.internal_error))
        self.learn(y_load, 'loading')
        self.report['reference_file'] = m_load.file
        self.report['output']['loading'] = y_load.output
        if y_load.python:
            self.report['python'] = dict(self.report['python'], **y_load.python)
        if not y_load.ok:
            return self.not_loaded(y_load)
        present = [f for f in cases.FUNCTIONS if f in (y_load.functions or {})]
        if not present:
            return self.not_loaded(y_load, 'it defines none of the eighteen functions of '
                                            'the module')
        self.report['loaded'] = True
        self.report['file'] = self.shown_as
        if y_load.output:
            self.add(True, 'loading: yours printed while loading: %s (Movra prints nothing)'
                     % short(y_load.output), 'output', 'loading')
        self.compare_names(m_load, y_load)
        self.prepare_states(y_load)
        self.compare_builders(m_load, y_load)
        self.compare_drawing(y_load)
        self.stop_workers()
        if self.settings.pictures:
            self.compare_pictures()
        return None

    def not_loaded(self, reply, why=None):
        if why is None:
            why = (self.error_words(reply.error) or self.failure(reply)
                   or reply.internal_error or 'unknown failure')
            if reply.failed or reply.limit:
                why = 'loading it ' + why
        self.report['load_error'] = dict(reply.error or {}, text=why)
        if reply.stopped:
            self.report['load_error']['stopped'] = reply.stopped
        advice = pythons.syntax_advice(self.impl, reply.error, self.interpreter.version,
                                       self.settings.sandbox, self.limits)
        if advice is not None:
            self.report['load_error']['other_python'] = advice
            why += '; ' + advice['advice']
        self.add(True, 'loading: %s could not be loaded: %s' % (self.shown_as, why), 'load',
                 'loading')
        if reply.output:
            self.notes.append('output while loading: %s' % short(reply.output))
        return 2

    def error_words(self, error):
        if error is None:
            return ''
        words = raised_text(error, self.limits)
        return words[len('raised '):] if words.startswith('raised ') else words

    def tool_error(self, text):
        """A failure of the tool itself: never the learner's."""
        self.items = [item for item in self.items if not item['different']]
        self.report['tool_error'] = text
        self.add(True, 'the tool itself failed: %s (the traceback is in the report)'
                 % text.strip().splitlines()[-1], 'tool', 'tool')
        return TOOL_ERROR

    def compare_names(self, m_load, y_load):
        y_functions, y_globals = y_load.functions or {}, y_load.globals or {}
        m_globals = m_load.globals or {}
        missing = [f for f in cases.FUNCTIONS if f not in y_functions]
        missing += [g for g in cases.GLOBALS if g not in y_globals]
        self.report['missing'] = missing
        if missing:
            self.add(True, 'missing in yours: %s' % ', '.join(missing), item='missing')
        same = 0
        for name in cases.GLOBALS:
            m, y = m_globals.get(name), y_globals.get(name)
            row = {'name': name,
                   'movra': None if m is None else {'value': diff.value_text(m),
                                                    'type': diff.type_name(m)},
                   'yours': None if y is None else {'value': diff.value_text(y),
                                                    'type': diff.type_name(y)}}
            if m is None or y is None:
                row['equal'] = m is None and y is None
                self.report['globals'].append(row)
                continue
            found = diff.compare_values(m, y)
            row['equal'] = found is None
            if found is None:
                same += 1
            else:
                row['difference'] = found[0]
                item = 'global ' + name
                self.add(True, 'global %s: Movra %s (%s), yours %s (%s)' % (
                    name, diff.value_text(m), diff.type_name(m), diff.value_text(y),
                    diff.type_name(y)), item=item)
                self.hint(item, hints.global_hint(name, m, y))
            self.report['globals'].append(row)
        compared = len([r for r in self.report['globals'] if r['movra'] and r['yours']])
        if same:
            self.add(False, 'globals: %d of %d the same in value and type' % (same, compared)
                     if same != compared else
                     'globals: all %d the same in value and type' % same)

    # -- the states --
    def prepare_states(self, y_load):
        """Makes every state of yours at once, within the one preparation
        budget; a state that could not be made is not compared, and why is
        said once."""
        functions = y_load.functions or {}
        if 'updateAnimationVariables' not in functions and 'initGL' not in functions:
            return
        reply = exchange([(self.yours_worker, self.yours(cases.prepare_request(self.limit)))])[0]
        self.learn(reply, 'preparing the states')
        states = reply.states
        if states is None:
            return      # a crash: each draw request prepares its state again
        self.prepare_left = self.prepare_limit - (reply.seconds or 0.0)
        stopped = [s for s in cases.STATE_NAMES
                   if (states.get(s) or {}).get('hung') or (states.get(s) or {}).get('exhausted')]
        if not stopped:
            return
        stop = None
        for name in stopped:
            stop = stop or (states[name].get('stopped') if states[name].get('hung') else None)
        first = stopped[0]
        if stop is not None:
            function = stop.get('function') or 'yours'
            why = '%s %s' % (function, stop_text(stop, self.prepare_limit, named=function))
            reason = 'preparing it needs %s, which did not return' % function
        else:
            why = 'the preparation did not finish within %s s' % seconds_text(self.prepare_limit)
            reason = 'the time for preparing states (%s s) was used up' % seconds_text(
                self.prepare_limit)
        for name in stopped:
            self.not_prepared[name] = reason
        self.add(True, 'preparing the states: %s while preparing %s; %s not compared (%s)' % (
            why, first, plural(len(stopped), 'state'), listed(stopped)), item='preparing')

    # -- matrices --
    def compare_builders(self, m_load, y_load):
        table = cases.builder_cases()
        by_name = {}
        for index, (name, args, kwargs) in enumerate(table):
            by_name.setdefault(name, []).append((index, cases.call_text(name, args, kwargs)))
        for name in cases.BUILDERS:
            if name not in (y_load.functions or {}):
                self.report['matrices'][name] = {'verdict': 'missing'}
                continue
            self.report['matrices'][name] = self.compare_builder(name, by_name[name])

    def compare_builder(self, name, entries):
        result = {'cases': len(entries), 'differing': 0, 'largest_difference': 0.0,
                  'largest_at': None, 'first_difference': None,
                  'result_type': {'movra': None, 'yours': None}, 'verdict': None,
                  'output': {}}
        bitwise = True
        hung = None
        run = 0
        differing = []
        for index, text in entries:
            if hung is not None:
                break
            request = cases.builder_request(index, self.limit)
            m, y = exchange([(self.movra, request), (self.yours_worker, self.yours(request))])
            self.learn(y, text)
            self.check_reference(m, text)
            run += 1
            failure = self.failure(y, name)
            if failure is None and (y.output, y.warnings) != (m.output, m.warnings):
                result['output'][text] = {'movra': m.output, 'yours': y.output,
                                          'warnings': {'movra': m.warnings,
                                                       'yours': y.warnings}}
            if failure is not None:
                hung = (text, failure)
                result['differing'] += 1
                result['first_difference'] = result['first_difference'] or {
                    'arguments': text, 'detail': failure}
                continue
            detail, largest = self.builder_case(m, y, result)
            if largest is not None and largest > result['largest_difference']:
                result['largest_difference'], result['largest_at'] = largest, text
            if detail is None:
                continue
            if detail[0] == 'close':
                bitwise = False
                continue
            bitwise = False
            result['differing'] += 1
            differing.append((index, m, y))
            if result['first_difference'] is None:
                result['first_difference'] = {'arguments': text, 'detail': detail[1]}
        result['run'] = run
        if result['largest_at'] is None:
            result['largest_difference'] = None if result['differing'] else 0.0
        types = result['result_type']
        type_words = ('Movra %s, yours %s' % (types['movra'], types['yours'])
                      if types['movra'] != types['yours'] else types['movra'] or 'no result')
        if hung is not None:
            result['verdict'] = 'did not return'
            result['first_difference'] = {'arguments': hung[0], 'detail': hung[1]}
            self.add(True, '%s: yours %s for %s; %s not run' % (
                name, hung[1], hung[0], plural(len(entries) - run, 'other argument set')),
                item=name)
        elif result['differing']:
            result['verdict'] = 'different'
            first = result['first_difference']
            largest = result['largest_difference']
            self.add(True, '%s: different in %d of %s%s; first %s: %s' % (
                name, result['differing'], plural(len(entries), 'argument set'),
                '' if largest in (None, 0.0) else ', largest difference %s at %s' % (
                    diff.difference_text(largest), result['largest_at']),
                first['arguments'], first['detail']), item=name)
            if len(differing) == result['differing']:
                self.hint(name, hints.builder_hint(name, self.builder_sets(name, differing)))
        elif bitwise:
            result['verdict'] = 'bitwise equal'
            self.add(False, '%s: bitwise equal in %s (%s)' % (
                name, plural(len(entries), 'argument set'), type_words))
        else:
            result['verdict'] = 'equal within %g' % diff.TOLERANCE
            self.add(False, '%s: equal within %g in %s, largest difference %s at %s (%s)' % (
                name, diff.TOLERANCE, plural(len(entries), 'argument set'),
                diff.difference_text(result['largest_difference']), result['largest_at'],
                type_words))
        if result['output']:
            where = [text for _index, text in entries if text in result['output']]
            printed = result['output'][where[0]]
            if printed['movra'] != printed['yours']:
                self.add(True, '%s: printed output differs in %s; first %s: Movra %s, yours %s'
                         % (name, plural(len(where), 'argument set'), where[0],
                            short(printed['movra']), short(printed['yours'])), 'output', name)
            else:
                self.add(True, '%s: warnings differ in %s; first %s: Movra %s, yours %s' % (
                    name, plural(len(where), 'argument set'), where[0],
                    warnings_text(printed['warnings']['movra']),
                    warnings_text(printed['warnings']['yours'])), 'output', name)
        return result

    def builder_sets(self, name, differing):
        """The differing argument sets as the hints take them, with Movra's
        results for the converted angle where the builder takes one."""
        sets = []
        for index, m, y in differing:
            if m.result is None or y.result is None:
                return []
            probes = {}
            if name in cases.ANGLE_ARGUMENT:
                for conversion in sorted(cases.CONVERSIONS):
                    reply = self.movra_probe(cases.builder_request(index, self.limit,
                                                                   conversion))
                    if reply is not None and reply.result is not None:
                        probes[conversion] = reply.result
            factors = [[b['name'], b['result']] for b in y.builders or []
                       if b.get('level') == 1]
            sets.append({'movra': m.result, 'yours': y.result, 'probes': probes,
                         'factors': factors, 'tolerance': SINGLE_PRECISION
                         if cases.single_precision_angle(index) else None})
        return sets

    def builder_case(self, m, y, result):
        """(None, largest) when equal bitwise, (("close", ''), largest) when
        within the tolerance, ((kind, detail), largest) otherwise."""
        if m.error is not None or y.error is not None:
            if m.error is not None and y.error is not None and \
                    m.error['type'] == y.error['type']:
                return None, None
            return ('raises', '%s, %s' % (
                'Movra raises %s' % error_text(m.error) if m.error else
                'Movra returns %s' % result_name(m.result),
                'yours %s' % raised_text(y.error, self.limits).replace('raised', 'raises', 1)
                if y.error else 'yours returns %s' % result_name(y.result))), None
        if m.result is None or y.result is None:
            return ('value', 'Movra returns %s, yours %s' % (
                result_name(m.result), 'nothing' if y.missing else result_name(y.result))), None
        types = result['result_type']
        types['movra'] = types['movra'] or result_name(m.result)
        types['yours'] = types['yours'] or result_name(y.result)
        found = diff.compare_matrices(m.result, y.result)
        if found['bitwise']:
            return None, found['largest']
        if found['close']:
            return ('close', ''), found['largest']
        return ('value', found['detail']), found['largest']

    # -- drawing --
    def compare_drawing(self, y_load):
        reference_raised = set()
        for name in cases.DRAWING:
            if name not in (y_load.functions or {}):
                self.report['functions'][name] = {'missing': True}
                continue
            results = {}
            crashed = None
            explanations = []
            for state in cases.STATE_NAMES:
                if state in self.not_prepared:
                    results[state] = not_run('not compared: %s' % self.not_prepared[state],
                                             'not prepared')
                    continue
                if crashed is not None:
                    results[state] = not_run('not run: yours %s in %s' % (crashed[1],
                                                                          crashed[0]))
                    continue
                request = cases.draw_request(name, state, self.limit)
                m, y = exchange([(self.movra, request), (self.yours_worker, self.yours(request))])
                self.learn(y, '%s in %s' % (name, state))
                self.check_reference(m, '%s in %s' % (name, state))
                if m.error and name not in reference_raised:
                    reference_raised.add(name)
                    self.notes.append('Movra itself raised %s in %s, state %s' % (
                        error_text(m.error), name, state))
                results[state] = compare_state(m, y, self.limit, name, self.limits)
                if y.crashed:
                    crashed = (state, self.failure(y, name))
                if any(d['kind'] not in OUTPUT_KINDS for d in results[state]['differences']):
                    explanations.append(self.explain(name, state, m, y))
            self.report['functions'][name] = results
            self.add_function_lines(name, results)
            if explanations:
                self.hint(name, hints.function_hint(name, explanations))

    def explain(self, name, state, m, y):
        def probe(delta):
            shifted = cases.shifted(state, delta)
            if shifted is None:
                return None
            return self.movra_probe(cases.draw_request(name, shifted, self.limit))
        if y.failed or (y.preparation or {}).get('error'):
            return None
        return hints.state_explanation(m, y, probe)

    def add_function_lines(self, name, results):
        compared = [s for s in cases.STATE_NAMES if not results[s].get('not_prepared')]
        total = len(compared)
        unprepared = len(cases.STATE_NAMES) - total
        suffix = '' if not unprepared else '; %s not compared' % plural(unprepared, 'state')

        def differing(output):
            found = []
            for state in compared:
                kinds = [d for d in results[state]['differences']
                         if (d['kind'] in OUTPUT_KINDS) == output]
                if kinds:
                    found.append((state, kinds))
            return found
        calls, printed = differing(False), differing(True)
        if not calls and not printed:
            if total:
                first = results[compared[0]]['calls']['movra']
                self.add(False, '%s: the same in all %d states (%s in the %s)%s' % (
                    name, total, plural(first, 'call'), compared[0], suffix))
            return
        for found, category in ((calls, 'calls'), (printed, 'output')):
            if not found:
                continue
            states = [state for state, _kinds in found]
            first_state, kinds = found[0]
            more = len(kinds) - 1
            what = 'differs' if category == 'calls' else (
                'printed output differs' if kinds[0]['kind'] == 'output' else 'warnings differ')
            self.add(True, '%s: %s in %d of %d states (%s); first in %s: %s%s%s' % (
                name, what, len(states), total, listed(states), first_state, kinds[0]['text'],
                '; and %s there' % plural(more, 'more difference') if more > 0 else '',
                suffix), category, name)

    # -- pictures --
    def compare_pictures(self):
        """Movra's frames (recorded for a class, else drawn now) and yours,
        each drawn on an X server of its own, in its own box."""
        size = self.settings.picture_size
        servers = []
        try:
            try:
                yours_x = start_display(size)
                servers.append(yours_x[0])
                movra_x = None
                if self.recorded is None:
                    movra_x = start_display(size)
                    servers.append(movra_x[0])
            except Exception as error:   # no Xvfb, or the headless module is broken
                self.report['pictures_error'] = 'no pictures: %s' % error
                self.notes.append('pictures: not made: %s' % error)
                return
            movra = self.worker('render', True, movra_x and movra_x[1], size)
            yours = self.worker('render', False, yours_x[1], size)
            m_load, y_load = start_all([movra, yours], self.limit)
            self.learn(y_load, 'loading for the pictures')
            if not m_load.ok:
                reason = (error_text(m_load.error) or self.failure(m_load)
                          or m_load.internal_error)
                self.report['pictures_error'] = 'no pictures: Movra could not draw: %s' % reason
                self.notes.append('pictures: not made: Movra could not draw: %s' % reason)
                return
            for state in cases.PICTURE_STATES:
                problem = self.picture(state, movra, yours, size)
                if problem is not None:
                    self.report['pictures_error'] = 'no pictures: %s' % problem
                    self.notes.append('pictures: not made: %s' % problem)
                    break
        finally:
            self.stop_workers()
            for server in servers:
                server.stop()

    def picture(self, state, movra, yours, size):
        request = cases.render_request(state, max(self.limit, RENDER_LIMIT))
        m, y = exchange([(movra, request), (yours, self.yours(request))])
        self.learn(y, 'the picture of %s' % state)
        failure = self.failure(m) or m.internal_error
        if failure:
            return 'Movra %s while drawing the picture of %s' % (failure, state)
        if m.error:
            return 'Movra raised %s while drawing the picture of %s' % (
                error_text(m.error), state)
        image = os.path.join('pictures', '%s.png' % state)
        thumbnail = os.path.join('pictures', '%s.thumb.png' % state)
        preparation = y.preparation or {}
        drawn = not (preparation.get('hung') or preparation.get('exhausted'))
        side = 2 * size
        movra_frame = pictures.frame_of(m.image, side)
        yours_frame = pictures.frame_of(y.image, side) if drawn else None
        staged = [os.path.join(self.scratch, '%s-%s.png' % (kind, state))
                  for kind in ('picture', 'thumbnail')]
        shares = pictures.compose(movra_frame, yours_frame, staged[0], side, staged[1])
        self.staged[image], self.staged[thumbnail] = staged
        entry = dict(shares)
        entry['image'] = image
        entry['thumbnail'] = thumbnail
        entry['ticks'] = m.ticks
        problems = []
        blocking = [name for name in ('initGL', 'updateAnimationVariables') if name in self.hung]
        if preparation.get('hung'):
            problems.append('yours was not drawn: preparing it, yours %s' % stop_text(
                preparation.get('stopped'), self.prepare_limit))
        elif preparation.get('exhausted') and blocking:
            problems.append('yours was not drawn: preparing it needs %s, which did not return'
                            % blocking[0])
        elif preparation.get('exhausted'):
            problems.append('yours was not drawn: the time for preparing states (%s s) was '
                            'used up' % seconds_text(self.prepare_limit))
        failure = self.failure(y, 'drawMain')
        if failure:
            problems.append('yours ' + failure)
        if y.error:
            problems.append('yours %s' % raised_text(y.error, self.limits))
        if y.read_error or (drawn and not y.failed and y.image is not None and
                            yours_frame is None):
            problems.append('its frame could not be read back')
        if y.internal_error:
            problems.append('the worker failed: %s' % y.internal_error.strip().splitlines()[-1])
        if problems:
            entry['problems'] = problems
        self.report['pictures'][state] = entry
        known = [shares[v] for v in pictures.VIEWPORTS if shares[v] is not None]
        where = os.path.join(self.settings.out_given, entry['image'])
        if len(known) == len(pictures.VIEWPORTS) and not any(known) and not problems:
            self.add(False, 'pictures of %s: the same pixels in all four viewports (%s)'
                     % (state, where), 'pictures')
            return None
        shares_text = ', '.join('%s %s' % (v, 'unknown' if shares[v] is None else
                                           reports.share_text(shares[v]))
                                for v in pictures.VIEWPORTS)
        self.add(True, 'pictures of %s: pixels differ: %s%s (%s)' % (
            state, shares_text, ''.join('; ' + p for p in problems), where), 'pictures',
            'pictures of ' + state)
        return None

    # -- the report --
    def write(self, status):
        """The report, into OUT: after every worker has ended."""
        if self.imports:
            self.notes.append('yours tried to import %s, the module it is compared with; '
                              'the sandbox offers no module of that name'
                              % ' and '.join(self.imports) if self.settings.sandbox else
                              'yours imports %s, the module it is compared with'
                              % ' and '.join(self.imports))
            self.report['imports'] = list(self.imports)
        different = [item for item in self.items if item['different']]
        count = len(different)
        if status is None:
            status = 0 if count == 0 else 1
        merged = hints.merge(self.found_hints)
        self.report.update(
            identical=status == 0, differences=count, status=status,
            severity=severity(status, self.items), hints=merged,
            first_difference=different[0]['text'] if different else None,
            items=self.items, notes=self.notes)
        lines = reports.report_lines(self.report, self.items, merged, self.notes)
        self.report['lines'] = lines
        for relative, staged in self.staged.items():
            target = os.path.join(self.out, relative)
            if not os.path.isdir(os.path.dirname(target)):
                os.makedirs(os.path.dirname(target))
            shutil.copyfile(staged, target)
        reports.write_report(self.report, self.out, self.settings.report_json, lines,
                             echo=self.settings.echo)
        return status


def not_run(why, kind='not run'):
    entry = {'equal': False, 'not_run': True, 'calls': {'movra': None, 'yours': None},
             'first_difference': None, 'differences': [{'kind': kind, 'text': why}]}
    if kind == 'not prepared':
        entry['not_prepared'] = True
    return entry


def compare_state(m, y, limit, name=None, limits=None):
    """Movra's and your reply for one function in one state, as a report entry."""
    found = []
    first = None
    failure = failure_text(y, limit, name, limits)
    if y.internal_error:
        found.append(('internal', 'the worker failed: %s' % y.internal_error.splitlines()[-1]))
    if failure is not None:
        found.append(('did not return' if y.hung else 'crashed', 'yours ' + failure))
    preparation = y.preparation or {}
    if preparation.get('hung'):
        found.append(('preparation', 'preparing the state: yours %s' % stop_text(
            preparation.get('stopped'), limit)))
    elif preparation.get('exhausted'):
        found.append(('preparation', 'preparing the state: the time for preparing states '
                                     'was used up'))
    elif preparation.get('error'):
        found.append(('preparation', 'while preparing the state yours %s'
                      % raised_text(preparation['error'], limits)))
    if preparation.get('initGL_error') and not (m.preparation or {}).get('initGL_error'):
        found.append(('preparation', 'initGL() %s while preparing the state'
                      % raised_text(preparation['initGL_error'], limits)))
    m_error, y_error = m.error, y.error
    if y_error is not None and (m_error is None or m_error['type'] != y_error['type']):
        found.append(('exception', 'yours %s' % raised_text(y_error, limits)))
    elif m_error is not None and y_error is None and failure is None:
        found.append(('exception', 'Movra raised %s, yours did not' % error_text(m_error)))
    if y.cut_short and failure is None:
        found.append(('did not return', 'yours went on after its call of %s, which did not '
                                        'return before, was stopped' % ', '.join(y.cut_short)))
    if y.calls is not None and m.calls is not None:
        first = diff.first_call_difference(m.calls, y.calls)
        if first is not None:
            found.append(('calls', diff.first_difference_text(first)))
    m_depth, y_depth = m.depth, y.depth
    if m_depth and y_depth and m_depth != y_depth and failure is None:
        parts = ['%s Movra %d, yours %d' % (stack, m_depth[stack], y_depth[stack])
                 for stack in ('modelview', 'projection') if m_depth[stack] != y_depth[stack]]
        found.append(('depth', 'matrix stack depth left behind: %s' % ', '.join(parts)))
    if m.result is not None and y.result is not None:
        difference = diff.compare_values(m.result, y.result)
        if difference is not None:
            found.append(('result', 'result: %s' % difference[1]))
    if m.globals is not None and y.globals is not None:
        for global_name in cases.GLOBALS:
            a, b = m.globals.get(global_name), y.globals.get(global_name)
            if a is None or b is None:
                continue
            difference = diff.compare_values(a, b)
            if difference is not None:
                found.append(('global', 'global %s afterwards: Movra %s, yours %s (%s)' % (
                    global_name, diff.value_text(a), diff.value_text(b), difference[1])))
    # What a call that raised or did not return printed differs as a matter
    # of course: that is said by the exception or the stop itself.
    cut = failure is not None or any(kind == 'exception' for kind, _text in found)
    if m.output != y.output and not cut:
        found.append(('output', 'printed output: Movra %s, yours %s'
                      % (short(m.output), short(y.output))))
    if m.warnings != y.warnings and not cut:
        found.append(('warnings', 'warnings: Movra %s, yours %s'
                      % (warnings_text(m.warnings), warnings_text(y.warnings))))
    return {'equal': not found,
            'calls': {'movra': None if m.calls is None else len(m.calls),
                      'yours': None if y.calls is None else len(y.calls)},
            'first_difference': first,
            'differences': [{'kind': kind, 'text': text} for kind, text in found],
            'error': {'movra': m_error, 'yours': y_error},
            'depth': {'movra': m_depth, 'yours': y_depth},
            'output': {'movra': m.output, 'yours': y.output},
            'warnings': {'movra': m.warnings, 'yours': y.warnings}}


__all__ = ['Comparison', 'CompareError', 'Settings', 'compare_state', 'severity']
