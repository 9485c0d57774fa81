"""How the report words what happened: an exception, where a call was
stopped, why a worker gave no answer, a limit of the sandbox that was hit,
and the small texts of counts and lists. A reply is a kestcompare.protocol
reply; errors and stops are the entries a worker describes them with."""
from __future__ import absolute_import, division, print_function

from kestcompare import diff, protocol
from kestcompare.supervise import status_text


def short(text, limit=70):
    text = repr(text)
    if text.startswith('u'):
        text = text[1:]
    return text if len(text) <= limit else text[:limit - 4] + "...'"


def seconds_text(limit):
    return '%g' % limit


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


def limit_text(limit, limits):
    """A limit of the sandbox, with its figure: "the memory limit (2048 MB)"."""
    name = protocol.LIMITS.get(limit, limit)
    figure = {'memory': '%d MB' % limits.memory_mb, 'cpu': '%d s' % limits.cpu_seconds,
              'processes': '%d' % limits.processes, 'file size': '%d MB' % limits.file_mb,
              'open files': '%d' % limits.open_files,
              'scratch': '%d MB' % (limits.scratch_bytes // (1024 * 1024))}.get(limit)
    return '%s (%s)' % (name, figure) if figure else name


def failure_text(reply, limit, compared=None, limits=None):
    """Why a worker gave no ordinary answer (to follow "yours"), or None."""
    if reply.hung:
        return stop_text(reply.stopped, limit, compared)
    if reply.crashed:
        if reply.gave_up:
            return 'was not run: %s' % reply.gave_up
        if reply.reload:
            return 'could not be started again: %s' % (
                error_text(reply.error) or status_text(reply.status))
        if reply.invalid:
            return 'crashed: its reply was not valid (%s)' % reply.invalid
        if reply.limit and limits is not None:
            place = place_text(reply.stopped)
            return 'used up %s%s' % (limit_text(reply.limit, limits),
                                     ' (at %s)' % place if place else '')
        text = 'crashed: its process %s' % status_text(reply.status)
        tail = (reply.output or '').strip().splitlines()
        if tail:
            text += ' (last output: %s)' % short(tail[-1], 60)
        return text
    return None


def raised_text(error, limits=None):
    """"raised ValueError: ... (line 3)", or for an error that means a
    limit of the sandbox: "hit the memory limit (2048 MB): MemoryError
    (line 3)"."""
    from kestcompare.supervise import error_limit
    hit = error_limit(error)
    if hit and limits is not None:
        return 'hit %s: %s' % (limit_text(hit, limits), error_text(error))
    return 'raised %s' % error_text(error)
