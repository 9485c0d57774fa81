"""Reference-leak and memory check of the compiled Movra module.

    .venv/bin/python scripts/fuzz_leaks.py [--calls N] [--every K] [--warmup W]

Makes N calls (10**6 by default) of the module's functions, rotating through
a table of cases that succeed and cases that fail in every way the module
reports (missing globals, failing callees, bad arguments, binding errors,
the interpreter's own arity errors, exhausted recursion, a lost stdout).  It
runs on the bench's no-op GL (the recording GL of host/recordgl in the mode
that records nothing, every function movra_bench.noop), so that a million
calls take seconds.

Watched: the reference counts of the module's shared objects -- its global
values and function objects, every interned name its functions use, and the
constants that reach the GL as arguments, found by running every case once
with movra_bench.record bound as the GL (which keeps each argument tuple
itself, so the pre-built literal argument tuples and their items are seen)
-- and the process's resident memory (/proc/self/statm).  After the warm-up,
every K calls, each reference count must equal its value after the warm-up
exactly (None, True, False and the like, whose counts the interpreter moves
itself before 3.12, within a few references), and the resident memory must
not have grown by more than 1 MiB.  Exit status 0 when both stay flat.
"""
from __future__ import print_function

import argparse
import array
import gc
import os
import resource
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, 'bench'))
import bench  # noqa: E402  (builds and finds the no-op GL)

PAGE = resource.getpagesize()
# Empties the interpreter's type-attribute cache: 3.13 adds
# sys._clear_internal_caches, and 3.14 deprecates sys._clear_type_cache.
clear_type_cache = getattr(sys, '_clear_internal_caches', None) or sys._clear_type_cache
RSS_SLACK = 1 << 20

try:  # Python 2
    intern = intern  # noqa: F821
    exc_clear = sys.exc_clear
    xrange = xrange  # noqa: F821
except NameError:  # Python 3 forgets the handled exception when its except clause ends
    intern = sys.intern
    xrange = range

    def exc_clear():
        pass


def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * PAGE


class Sink(object):
    softspace = 0

    def write(self, text):
        pass


class Boom(Exception):
    pass


def boom(*args):
    raise Boom('failing callee')


class BadTruth(object):
    def __nonzero__(self):
        raise Boom('no truth value')

    __bool__ = __nonzero__


def cases(Movra):
    """[(label, run)]: each run makes one call of a module function and puts
    back whatever it changed.  The first SUCCEEDING cases succeed, the
    others fail."""
    g = vars(Movra)
    pristine = dict(g)

    def call(function, *args, **kwargs):
        return lambda: function(*args, **kwargs)

    def with_globals(values, function, *args):
        def run():
            saved = dict((k, g[k]) for k in values if k in g)
            missing = [k for k in values if k not in g]
            for k, v in values.items():
                if v is DELETE:
                    g.pop(k, None)
                else:
                    g[k] = v
            try:
                return function(*args)
            finally:
                g.update(saved)
                for k in missing:
                    g.pop(k, None)
        return run

    def lost_stdout():
        saved = sys.stdout
        del sys.stdout
        try:
            return Movra.getGL_MODELVIEW_PROJ()
        finally:
            sys.stdout = saved

    def recursion():
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(200)
        try:
            return with_globals({'drawCamera': pristine['drawMovingCamera']},
                                Movra.drawMovingCamera)()
        finally:
            sys.setrecursionlimit(limit)

    m = pristine
    return [
        ('frame', call(m['drawMain'])),
        ('frame, own matrices', with_globals({'viewport4Sol1': False}, m['drawMain'])),
        ('tick', call(m['updateAnimationVariables'])),
        ('initGL', call(m['initGL'])),
        ('read-back', call(m['getGL_MODELVIEW_PROJ'])),
        ('rotateX', call(m['rotateX'], 30)),
        ('rotateY', call(m['rotateY'], -12.5)),
        ('translate', call(m['translate'], [1, 2.5, 3])),
        ('scale', call(m['scale'], (2, 3, 4))),
        ('projective', call(m['projective'], 1.0, 7.0)),
        ('projective by keyword', call(m['projective'], near=0.5, far=3)),
        ('perspective', call(m['perspective'], 60, 1, 0.01, 20)),
        ('perspective by keyword', call(m['perspective'], 45, 2.0, far=9, near=1)),
        ('missing global', with_globals({'sizeViewport': DELETE}, m['drawMain'])),
        ('missing function', with_globals({'drawCamera': DELETE}, m['drawMain'])),
        ('failing GL call', with_globals({'gluLookAt': boom}, m['drawMain'])),
        ('failing helper', with_globals({'drawViewVolume': boom, 'viewport4Sol1': False},
                                        m['drawMain'])),
        ('short position', with_globals({'movingCameraPos': [1]}, m['drawMain'])),
        ('empty frustum', with_globals({'right': -0.5}, m['Viewport3'])),
        ('bad truth value', with_globals({'viewport4Sol1': BadTruth()}, m['Viewport4'])),
        ('int() of a string', with_globals({'sizeViewport': 'x'}, m['Viewport2'])),
        ('bad angle', call(m['rotateX'], 'x')),
        ('short vector', call(m['translate'], [1, 2])),
        ('short scale', call(m['scale'], [1])),
        ('zero depth', call(m['perspective'], 60, 1, 5, 5)),
        ('binding: arity', call(m['projective'], 1.0)),
        ('binding: keyword', call(m['projective'], 1.0, far=2.0, x=3)),
        ('binding: repeated', call(m['perspective'], 1, 2, 3, 4, fovy=1)),
        ('interpreter arity', call(m['drawMain'], 1)),
        ('interpreter arity, one argument', call(m['rotateX'])),
        ('lost stdout', lost_stdout),
        ('recursion', recursion),
    ]


DELETE = object()
SUCCEEDING = 13

# The interpreter's own singletons. Before 3.12 their counts also move by the
# interpreter's own doing: 3.11 empties each entry of its type-attribute
# cache to None, so None's count just after counts() has emptied it depends
# on how many entries are filled again before it is read; over a long run
# None ends one reference up and True one down, under the plain-Python
# listing as under the module. They may stray by a few references; a leak
# in a call would make thousands.
SINGLETONS = (None, True, False, Ellipsis, NotImplemented)
SINGLETON_SLACK = 4


def is_singleton(value):
    return any(value is s for s in SINGLETONS)


def changes(watched, base, now):
    """(changed, tolerated): report lines of the watched reference counts
    that differ from `base`, beyond and within the singletons' slack."""
    changed, tolerated = [], []
    for i, (label, value) in enumerate(watched):
        if now[i] == base[i]:
            continue
        line = '%s: %d -> %d' % (label, base[i], now[i])
        if is_singleton(value) and abs(now[i] - base[i]) <= SINGLETON_SLACK:
            tolerated.append(line + " (the interpreter's own, within %d)" % SINGLETON_SLACK)
        else:
            changed.append(line)
    return changed, tolerated


def watched_objects(Movra, listing, table, record):
    """The module's long-lived objects: globals, interned names, and every
    object that reached the GL in the same identity on two runs."""
    import movra_bench
    objects = {}
    for name, value in vars(Movra).items():
        label = '%r (global %s)' % (value, name) if is_singleton(value) else 'global %s' % name
        objects[id(value)] = (label, value)
    names = set()
    for function in vars(listing).values():
        code = getattr(function, '__code__', None)
        if code is not None:
            names.update(code.co_names + code.co_varnames)
    names.update(n for n in vars(Movra) if isinstance(n, str))
    for name in names:
        value = intern(name)
        objects[id(value)] = ('name %r' % name, value)

    g = vars(Movra)
    pristine = dict(g)
    runs = []
    for _ in range(2):
        del movra_bench.recorded[:]
        for name in bench.GL_AND_HELPERS:
            g[name] = record
        saved = sys.stdout
        sys.stdout = Sink()
        try:
            for label, run in table:
                try:
                    run()
                except Exception:
                    pass
                exc_clear()
        finally:
            sys.stdout = saved
            g.clear()
            g.update(pristine)
        seen = {}
        for args in movra_bench.recorded:
            seen[id(args)] = args
            for item in args:
                seen[id(item)] = item
        runs.append(seen)
    del movra_bench.recorded[:]
    for key in set(runs[0]) & set(runs[1]):
        if key not in objects:
            value = runs[0][key]
            objects[key] = ('argument %s %r' % (type(value).__name__, value), value)
    return list(objects.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--calls', type=int, default=int(os.environ.get('LEAK_CALLS', 10 ** 6)))
    parser.add_argument('--every', type=int, default=100000, help='calls between checks')
    parser.add_argument('--warmup', type=int, default=100000)
    options = parser.parse_args()

    bench.build_helpers()
    Movra, listing = bench.load_modules()
    from movra_bench import record
    bench.GL_AND_HELPERS = bench.outside_names()
    Movra.initGL()
    table = cases(Movra)
    watched = watched_objects(Movra, listing, table, record)
    watched_args = sum(1 for label, _ in watched if label.startswith('argument'))
    print('leaks: %d cases, %d watched objects (%d of them reached the GL as arguments)'
          % (len(table), len(watched), watched_args))

    saved_stdout = sys.stdout
    outcomes = dict((label, [0, 0]) for label, _ in table)

    def calls(n, start):
        sys.stdout = Sink()
        try:
            for i in xrange(start, start + n):
                label, run = table[i % len(table)]
                try:
                    run()
                    outcomes[label][0] += 1
                except Exception:
                    outcomes[label][1] += 1
            exc_clear()
        finally:
            sys.stdout = saved_stdout

    def counts():
        # Kept as C longs: a list of int objects would itself hold references
        # to the small ints being watched. The interpreter's cache of type
        # attribute lookups holds a reference to each name it has cached
        # until another lookup takes its place: emptied first, it holds none.
        gc.collect()
        clear_type_cache()
        return array.array('l', (sys.getrefcount(value) for _, value in watched))

    def checkpoint(done):
        # A function of its own, so that none of its values outlives it: a
        # local left holding a small int would show as a reference to it.
        now_counts, now_rss = counts(), rss()
        changed, tolerated = changes(watched, base_counts, now_counts)
        grown = now_rss - base_rss
        print('leaks: %8d calls: resident %.1f MiB (%+d KiB), %d reference counts changed'
              % (done, now_rss / 2.0 ** 20, grown // 1024, len(changed)))
        for line in changed[:10] + tolerated:
            print('leaks:     ' + line)
        return not changed and grown <= RSS_SLACK

    # Everything the checks use is bound before the first count, and the
    # checkpoint keeps its values in its own frame: a variable of this
    # function left holding None, True or a small int would change its count.
    done = options.warmup
    ok = True
    calls(done, 0)
    base_counts, base_rss = counts(), rss()
    print('leaks: after %d warm-up calls: resident %.1f MiB' % (done, base_rss / 2.0 ** 20))
    while done < options.calls:
        step = min(options.every, options.calls - done)
        calls(step, done)
        done += step
        if not checkpoint(done):
            ok = False
    wrong = [label for i, (label, _) in enumerate(table)
             if outcomes[label][i >= SUCCEEDING] == 0 or outcomes[label][i < SUCCEEDING] != 0]
    print('leaks: %d cases that succeed, %d that fail%s' % (
        SUCCEEDING, len(table) - SUCCEEDING,
        ', as intended' if not wrong else '; NOT as intended: %s' % ', '.join(wrong)))
    ok = ok and not wrong
    print('leaks: %s' % ('flat' if ok else 'NOT FLAT'))
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main())
