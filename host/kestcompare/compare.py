"""Comparing one file with the reference: the globals, the matrix builders,
every drawing function over the table of states, and the pictures; the
report's items, their hints and the learner's severity.

Each item of the report is a line: different or the same, and of one
category, which decides the severity: "output" (printed output or
warnings), "calls" (anything else but the pictures) or "pictures".
"""
from __future__ import absolute_import, division, print_function

import os
import shutil
import tempfile

from kestcompare import cases, diff, hints, pythons, reports
from kestcompare.supervise import (RecordedReplies, WorkerProcess, exchange, request_key,
                                   start_all, status_text)

DEFAULT_LIMIT = 5.0
DEFAULT_PICTURE_SIZE = 200
UNDER_TEST = 'MovraUnderTest'      # the module name the file is loaded under
OUTPUT_KINDS = ('output', 'warnings')
# How close a matrix of a float32 angle comes to Movra's of the converted
# angle: the conversion there and back loses float32's last bits.
SINGLE_PRECISION = 1e-5

# The severities, from the best to the worst.
SEVERITIES = ['identical', 'output only', 'calls only', 'pictures', 'not loaded']


class CompareError(Exception):
    """Something outside the file under comparison went wrong."""


# --------------------------------------------------------------- wording ---

def short(text, limit=70):
    text = repr(text)
    if text.startswith('u'):
        text = text[1:]
    return text if len(text) <= limit else text[:limit - 4] + "...'"


def error_text(error):
    if error is None:
        return ''
    text = '%s: %s' % (error['type'], error['message']) if error.get('message') else error['type']
    where = []
    if error.get('line'):
        where.append('line %d' % error['line'])
    if error.get('function') and error['function'] != '<module>':
        where.append('in %s' % error['function'])
    if where:
        text += ' (%s)' % ', '.join(where)
    if error.get('source'):
        text += ': %s' % error['source']
    if error.get('handled'):
        text += ', while handling %s' % error_text(error['handled'])
    return text


def place_text(stop, named=None):
    """Where a stopped call was: "line 246 in perspective: while True:"
    (without the function when the text names it already)."""
    if not stop or not stop.get('line'):
        return None
    text = 'line %d' % stop['line']
    if stop.get('function') and stop['function'] not in ('<module>', named):
        text += ' in %s' % stop['function']
    if stop.get('source'):
        text += ': %s' % stop['source']
    return text


def stop_text(stop, limit, compared=None, named=None):
    """Why a call gave no answer, to follow "yours" (or the function named)."""
    place = place_text(stop, named or compared)
    if stop and stop.get('known'):
        if stop.get('function') == compared:
            return 'did not return before, and is not run again (%s)' % place
        return 'stopped at its call of %s, which did not return before (%s)' % (
            stop.get('function'), place)
    if place:
        return 'did not return within %s s (stopped at %s)' % (seconds_text(limit), place)
    return 'did not return within %s s' % seconds_text(limit)


def failure_text(reply, limit, compared=None):
    """Why a worker gave no ordinary answer (to follow "yours"), or None."""
    if reply.get('hung'):
        return stop_text(reply.get('stopped'), limit, compared)
    if reply.get('crashed'):
        if reply.get('gave_up'):
            return 'was not run: %s' % reply['gave_up']
        if reply.get('reload'):
            return 'could not be started again: %s' % (
                error_text(reply.get('error')) or status_text(reply.get('status')))
        text = 'crashed: its process %s' % status_text(reply.get('status'))
        tail = (reply.get('output') or '').strip().splitlines()
        if tail:
            text += ' (last output: %s)' % short(tail[-1], 60)
        return text
    return None


def seconds_text(limit):
    return ('%g' % limit)


def plural(count, word):
    return '%d %s%s' % (count, word, '' if count == 1 else 's')


def listed(names, most=4):
    return ', '.join(names[:most]) + (', ...' if len(names) > most else '')


def warnings_text(found, limit=90):
    if not found:
        return 'none'
    return '; '.join(w if len(w) <= limit else w[:limit - 3] + '...' for w in found)


def result_name(value):
    if value is None:
        return 'nothing'
    if 'shape' in value:
        return diff.type_name(value)
    return '%s %s' % (diff.type_name(value), diff.value_text(value))


def severity(status, items):
    """The learner's one severity, from the status and the items."""
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


# ------------------------------------------------------------ comparison ---

class Comparison(object):
    """One file against the reference, into one report folder."""

    def __init__(self, impl, out, reference=None, limit=DEFAULT_LIMIT, pictures=True,
                 picture_size=DEFAULT_PICTURE_SIZE, json_path=None, recorded=None,
                 prepare_limit=None, ignore_output=False, display=None, shown_as=None):
        self.recorded = recorded
        self.impl = os.path.abspath(impl)
        self.shown_as = shown_as or self.impl
        self.out_given = out        # as the user wrote it, for the report's lines
        self.out = os.path.abspath(out)
        self.reference = os.path.abspath(reference) if reference else None
        self.limit = float(limit)
        self.prepare_limit = float(limit if prepare_limit is None else prepare_limit)
        self.prepare_left = self.prepare_limit
        self.want_pictures = pictures
        self.picture_size = int(picture_size)
        self.ignore_output = bool(ignore_output)
        self.display = display
        self.json_path = os.path.abspath(json_path) if json_path else os.path.join(
            self.out, 'report.json')
        self.workers = []
        self.hung = {}              # yours' functions that did not return
        self.not_prepared = {}      # state -> why yours' state could not be made
        self.probes = {}
        self.report = {
            'implementation': self.shown_as,
            'reference': self.reference or 'the compiled module Movra',
            'time_limit': self.limit, 'prepare_limit': self.prepare_limit,
            'ignore_output': self.ignore_output,
            'python': pythons.this_python(),
            'loaded': False, 'load_error': None, 'missing': [], 'globals': [],
            'matrices': {}, 'functions': {}, 'pictures': {}, 'pictures_error': None,
            'output': {}, 'hints': [], 'hangs': {},
        }
        self.items = []
        self.found_hints = []
        self.notes = []

    # -- helpers --
    def load_request(self, reference, size=None):
        if reference:
            target = self.reference or 'compiled'
            name = 'MovraReference' if self.reference else 'Movra'
        else:
            target, name = self.impl, UNDER_TEST
        request = {'op': 'load', 'target': target, 'name': name, 'limit': self.limit,
                   'observe': True}
        if size is not None:
            request['size'] = size
        return request

    def worker(self, mode, reference, env=None, size=None):
        if reference and self.recorded is not None:
            return RecordedReplies(self.recorded, self.load_request(reference, size))
        worker = WorkerProcess(mode, self.load_request(reference, size), self.scratch, env)
        self.workers.append(worker)
        return worker

    def add(self, different, text, category='calls', item=None):
        if different and category == 'output' and self.ignore_output:
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
        and the preparation time a reply used."""
        stops = [reply.get('stopped'), (reply.get('preparation') or {}).get('stopped')]
        stops += [state.get('stopped') for state in (reply.get('states') or {}).values()]
        for stop in stops:
            if stop and not stop.get('known') and stop.get('function') and \
                    stop['function'] not in self.hung:
                self.hung[stop['function']] = stop
                self.report['hangs'][stop['function']] = dict(stop, context=context)
        preparation = reply.get('preparation') or {}
        if preparation.get('fresh'):
            self.prepare_left -= preparation.get('seconds') or 0.0

    def movra_probe(self, request):
        """Movra's reply to a probe request, fetched once; None when it has
        none (a recorded class that lacks it, or a failure)."""
        key = request_key(request)
        if key not in self.probes:
            reply = exchange([(self.movra, dict(request, limit=self.limit))])[0]
            if reply.get('internal_error') or failure_text(reply, self.limit) or \
                    reply.get('error') or reply.get('preparation', {}).get('hung'):
                reply = None
            self.probes[key] = reply
        return self.probes[key]

    # -- the steps --
    def run(self):
        self.scratch = tempfile.mkdtemp(prefix='kestcompare-')
        try:
            status = self._run()
        finally:
            for worker in self.workers:
                worker.stop()
            shutil.rmtree(self.scratch, ignore_errors=True)
        return status

    def _run(self):
        self.movra = self.worker('record', True)
        self.yours_worker = self.worker('record', False)
        m_load, y_load = start_all([self.movra, self.yours_worker], self.limit)
        if not m_load.get('ok'):
            raise CompareError('the reference could not be loaded: %s' % (
                error_text(m_load.get('error')) or failure_text(m_load, self.limit)
                or m_load.get('internal_error')))
        self.report['reference_file'] = m_load.get('file')
        self.report['output']['loading'] = y_load.get('output', '')
        if y_load.get('python'):
            self.report['python'] = dict(self.report['python'], **y_load['python'])
        if not y_load.get('ok'):
            return self.not_loaded(y_load)
        present = [f for f in cases.FUNCTIONS if f in y_load['functions']]
        if not present:
            return self.not_loaded(y_load, 'it defines none of the eighteen functions of '
                                            'the module')
        self.report['loaded'] = True
        self.report['file'] = y_load.get('file')
        if y_load.get('output'):
            self.add(True, 'loading: yours printed while loading: %s (Movra prints nothing)'
                     % short(y_load['output']), 'output', 'loading')
        self.compare_names(m_load, y_load)
        self.prepare_states(y_load)
        self.compare_builders(m_load, y_load)
        self.compare_drawing(y_load)
        if self.want_pictures:
            self.compare_pictures()
        return self.finish()

    def not_loaded(self, reply, why=None):
        if why is None:
            why = (error_text(reply.get('error')) or failure_text(reply, self.limit)
                   or reply.get('internal_error') or 'unknown failure')
            if reply.get('hung') or reply.get('crashed'):
                why = 'loading it ' + why
        self.report['load_error'] = dict(reply.get('error') or {}, text=why)
        if reply.get('stopped'):
            self.report['load_error']['stopped'] = reply['stopped']
        advice = pythons.syntax_advice(self.impl, reply.get('error'))
        if advice is not None:
            self.report['load_error']['other_python'] = advice
            why += '; ' + advice['advice']
        self.add(True, 'loading: %s could not be loaded: %s' % (self.shown_as, why), 'load',
                 'loading')
        if reply.get('output'):
            self.notes.append('output while loading: %s' % short(reply['output']))
        return self.finish(status=2)

    def compare_names(self, m_load, y_load):
        missing = [f for f in cases.FUNCTIONS if f not in y_load['functions']]
        missing += [g for g in cases.GLOBALS if g not in y_load['globals']]
        self.report['missing'] = missing
        if missing:
            self.add(True, 'missing in yours: %s' % ', '.join(missing), item='missing')
        same = 0
        for name in cases.GLOBALS:
            m, y = m_load['globals'].get(name), y_load['globals'].get(name)
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
        if 'updateAnimationVariables' not in y_load['functions'] and \
                'initGL' not in y_load['functions']:
            return
        reply = exchange([(self.yours_worker, self.yours(
            {'op': 'prepare', 'states': cases.STATE_NAMES, 'limit': self.limit}))])[0]
        self.learn(reply, 'preparing the states')
        states = reply.get('states')
        if states is None:
            return      # a crash: each draw request prepares its state again
        self.prepare_left = self.prepare_limit - (reply.get('seconds') or 0.0)
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
            if name not in y_load['functions']:
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
            request = {'op': 'builder', 'case': index, 'limit': self.limit}
            m, y = exchange([(self.movra, request), (self.yours_worker, self.yours(request))])
            self.learn(y, text)
            self.check_reference(m, text)
            run += 1
            failure = failure_text(y, self.limit, name)
            if failure is None and (y.get('output', ''), y.get('warnings', [])) != \
                    (m.get('output', ''), m.get('warnings', [])):
                result['output'][text] = {'movra': m.get('output', ''),
                                          'yours': y.get('output', ''),
                                          'warnings': {'movra': m.get('warnings', []),
                                                       'yours': y.get('warnings', [])}}
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
            if 'result' not in m or 'result' not in y:
                return []
            probes = {}
            if name in cases.ANGLE_ARGUMENT:
                for conversion in sorted(cases.CONVERSIONS):
                    reply = self.movra_probe({'op': 'builder', 'case': index,
                                              'convert': conversion})
                    if reply is not None and 'result' in reply:
                        probes[conversion] = reply['result']
            factors = [[b['name'], b['result']] for b in y.get('builders') or []
                       if b.get('level') == 1]
            sets.append({'movra': m['result'], 'yours': y['result'], 'probes': probes,
                         'factors': factors, 'tolerance': SINGLE_PRECISION
                         if cases.single_precision_angle(index) else None})
        return sets

    def builder_case(self, m, y, result):
        """(None, largest) when equal bitwise, (("close", ''), largest) when
        within the tolerance, ((kind, detail), largest) otherwise."""
        m_error, y_error = m.get('error'), y.get('error')
        if m_error is not None or y_error is not None:
            if m_error is not None and y_error is not None and m_error['type'] == y_error['type']:
                return None, None
            return ('raises', '%s, %s' % (
                'Movra raises %s' % error_text(m_error) if m_error else
                'Movra returns %s' % result_name(m['result']),
                'yours raises %s' % error_text(y_error) if y_error else
                'yours returns %s' % result_name(y['result']))), None
        types = result['result_type']
        types['movra'] = types['movra'] or result_name(m['result'])
        types['yours'] = types['yours'] or result_name(y['result'])
        found = diff.compare_matrices(m['result'], y['result'])
        if found['bitwise']:
            return None, found['largest']
        if found['close']:
            return ('close', ''), found['largest']
        return ('value', found['detail']), found['largest']

    def check_reference(self, reply, what):
        if reply.get('internal_error'):
            raise CompareError('the reference worker failed on %s:\n%s'
                               % (what, reply['internal_error']))
        failure = failure_text(reply, self.limit)
        if failure is not None:
            raise CompareError('the reference %s on %s' % (failure, what))

    # -- drawing --
    def compare_drawing(self, y_load):
        reference_raised = set()
        for name in cases.DRAWING:
            if name not in y_load['functions']:
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
                request = {'op': 'draw', 'function': name, 'state': state, 'limit': self.limit}
                m, y = exchange([(self.movra, request), (self.yours_worker, self.yours(request))])
                self.learn(y, '%s in %s' % (name, state))
                self.check_reference(m, '%s in %s' % (name, state))
                if m.get('error') and name not in reference_raised:
                    reference_raised.add(name)
                    self.notes.append('Movra itself raised %s in %s, state %s' % (
                        error_text(m['error']), name, state))
                results[state] = compare_state(m, y, self.limit, name)
                if y.get('crashed'):
                    crashed = (state, failure_text(y, self.limit, name))
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
            return self.movra_probe({'op': 'draw', 'function': name, 'state': shifted})
        if y.get('hung') or y.get('crashed') or (y.get('preparation') or {}).get('error'):
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
        folder = os.path.join(self.out, 'pictures')
        size = self.picture_size
        xvfb = None
        display = self.display
        if display is None:
            try:
                from kesthost.xvfb import Xvfb
                xvfb = Xvfb(2 * size, 2 * size)
                xvfb.start()
                display = xvfb.display
            except Exception as error:   # no Xvfb, or the headless module is broken
                self.report['pictures_error'] = 'no pictures: %s' % error
                self.notes.append('pictures: not made: %s' % error)
                return
        try:
            if not os.path.isdir(folder):
                os.makedirs(folder)
            env = {'DISPLAY': display}
            movra = self.worker('render', True, env, size)
            yours = self.worker('render', False, env, size)
            m_load, y_load = start_all([movra, yours], self.limit)
            if not m_load.get('ok'):
                reason = (error_text(m_load.get('error')) or failure_text(m_load, self.limit)
                          or m_load.get('internal_error'))
                self.report['pictures_error'] = 'no pictures: Movra could not draw: %s' % reason
                self.notes.append('pictures: not made: Movra could not draw: %s' % reason)
                return
            for state in cases.PICTURE_STATES:
                problem = self.picture(state, movra, yours, folder, size)
                if problem is not None:
                    self.report['pictures_error'] = 'no pictures: %s' % problem
                    self.notes.append('pictures: not made: %s' % problem)
                    break
            for worker in (movra, yours):
                worker.stop()
        finally:
            if xvfb is not None:
                xvfb.stop()

    def picture(self, state, movra, yours, folder, size):
        from kestcompare import pictures
        paths = [os.path.join(self.scratch, '%s-%s.png' % (side, state))
                 for side in ('movra', 'yours')]
        requests = [{'op': 'render', 'state': state, 'path': path, 'limit': self.limit}
                    for path in paths]
        m, y = exchange([(movra, requests[0]), (yours, self.yours(requests[1]))])
        self.learn(y, 'the picture of %s' % state)
        failure = failure_text(m, self.limit) or m.get('internal_error')
        if failure:
            return 'Movra %s while drawing the picture of %s' % (failure, state)
        if m.get('error'):
            return 'Movra raised %s while drawing the picture of %s' % (
                error_text(m['error']), state)
        out_path = os.path.join(folder, '%s.png' % state)
        thumbnail = os.path.join(folder, '%s.thumb.png' % state)
        preparation = y.get('preparation') or {}
        drawn = not (preparation.get('hung') or preparation.get('exhausted'))
        shares = pictures.compose(m.get('image'), y.get('image') if drawn else None, out_path,
                                  2 * size, thumbnail)
        entry = dict(shares)
        entry['image'] = os.path.relpath(out_path, self.out)
        entry['thumbnail'] = os.path.relpath(thumbnail, self.out)
        entry['ticks'] = m.get('ticks')
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
        failure = failure_text(y, self.limit, 'drawMain')
        if failure:
            problems.append('yours ' + failure)
        if y.get('error'):
            problems.append('yours raised %s' % error_text(y['error']))
        if y.get('read_error'):
            problems.append('its frame could not be read back')
        if y.get('internal_error'):
            problems.append('the worker failed: %s' % y['internal_error'].strip().splitlines()[-1])
        if problems:
            entry['problems'] = problems
        self.report['pictures'][state] = entry
        known = [shares[v] for v in pictures.VIEWPORTS if shares[v] is not None]
        where = os.path.join(self.out_given, entry['image'])
        if len(known) == len(pictures.VIEWPORTS) and not any(known) and not problems:
            self.add(False, 'pictures of %s: the same pixels in all four viewports (%s)'
                     % (state, where), 'pictures')
            return None
        shares_text = ', '.join('%s %s' % (v, 'unknown' if shares[v] is None else
                                           '%.2f%%' % (100 * shares[v]))
                                for v in pictures.VIEWPORTS)
        self.add(True, 'pictures of %s: pixels differ: %s%s (%s)' % (
            state, shares_text, ''.join('; ' + p for p in problems), where), 'pictures',
            'pictures of ' + state)
        return None

    # -- the report --
    def finish(self, status=None):
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
        reports.write_report(self.report, self.out, self.json_path, lines)
        return status


def not_run(why, kind='not run'):
    entry = {'equal': False, 'not_run': True, 'calls': {'movra': None, 'yours': None},
             'first_difference': None, 'differences': [{'kind': kind, 'text': why}]}
    if kind == 'not prepared':
        entry['not_prepared'] = True
    return entry


def compare_state(m, y, limit, name=None):
    """Movra's and your reply for one function in one state, as a report entry."""
    found = []
    first = None
    failure = failure_text(y, limit, name)
    if y.get('internal_error'):
        found.append(('internal', 'the worker failed: %s' % y['internal_error'].splitlines()[-1]))
    if failure is not None:
        found.append(('did not return' if y.get('hung') else 'crashed', 'yours ' + failure))
    preparation = y.get('preparation') or {}
    if preparation.get('hung'):
        found.append(('preparation', 'preparing the state: yours %s' % stop_text(
            preparation.get('stopped'), limit)))
    elif preparation.get('exhausted'):
        found.append(('preparation', 'preparing the state: the time for preparing states '
                                     'was used up'))
    elif preparation.get('error'):
        found.append(('preparation', 'while preparing the state yours raised %s'
                      % error_text(preparation['error'])))
    if preparation.get('initGL_error') and not (m.get('preparation') or {}).get('initGL_error'):
        found.append(('preparation', 'initGL() raised %s while preparing the state'
                      % error_text(preparation['initGL_error'])))
    m_error, y_error = m.get('error'), y.get('error')
    if y_error is not None and (m_error is None or m_error['type'] != y_error['type']):
        found.append(('exception', 'yours raised %s' % error_text(y_error)))
    elif m_error is not None and y_error is None and failure is None:
        found.append(('exception', 'Movra raised %s, yours did not' % error_text(m_error)))
    if y.get('cut_short') and failure is None:
        found.append(('did not return', 'yours went on after its call of %s, which did not '
                                        'return before, was stopped' % ', '.join(y['cut_short'])))
    if 'calls' in y and 'calls' in m:
        first = diff.first_call_difference(m['calls'], y['calls'])
        if first is not None:
            found.append(('calls', diff.first_difference_text(first)))
    m_depth, y_depth = m.get('depth'), y.get('depth')
    if m_depth and y_depth and m_depth != y_depth and failure is None:
        parts = ['%s Movra %d, yours %d' % (stack, m_depth[stack], y_depth[stack])
                 for stack in ('modelview', 'projection') if m_depth[stack] != y_depth[stack]]
        found.append(('depth', 'matrix stack depth left behind: %s' % ', '.join(parts)))
    if 'result' in m and 'result' in y:
        difference = diff.compare_values(m['result'], y['result'])
        if difference is not None:
            found.append(('result', 'result: %s' % difference[1]))
    if 'globals' in m and 'globals' in y:
        for global_name in cases.GLOBALS:
            a, b = m['globals'].get(global_name), y['globals'].get(global_name)
            if a is None or b is None:
                continue
            difference = diff.compare_values(a, b)
            if difference is not None:
                found.append(('global', 'global %s afterwards: Movra %s, yours %s (%s)' % (
                    global_name, diff.value_text(a), diff.value_text(b), difference[1])))
    # What a call that raised or did not return printed differs as a matter
    # of course: that is said by the exception or the stop itself.
    cut = failure is not None or any(kind == 'exception' for kind, _text in found)
    if m.get('output', '') != y.get('output', '') and not cut:
        found.append(('output', 'printed output: Movra %s, yours %s'
                      % (short(m.get('output', '')), short(y.get('output', '')))))
    if m.get('warnings', []) != y.get('warnings', []) and not cut:
        found.append(('warnings', 'warnings: Movra %s, yours %s'
                      % (warnings_text(m.get('warnings', [])),
                         warnings_text(y.get('warnings', [])))))
    calls = lambda reply: len(reply['calls']) if 'calls' in reply else None  # noqa: E731
    return {'equal': not found,
            'calls': {'movra': calls(m), 'yours': calls(y)},
            'first_difference': first,
            'differences': [{'kind': kind, 'text': text} for kind, text in found],
            'error': {'movra': m_error, 'yours': y_error},
            'depth': {'movra': m_depth, 'yours': y_depth},
            'output': {'movra': m.get('output', ''), 'yours': y.get('output', '')},
            'warnings': {'movra': m.get('warnings', []), 'yours': y.get('warnings', [])}}
