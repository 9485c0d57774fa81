"""Tests of the floors' programs and of their check (fast, not timed).

    .venv/bin/python -m pytest bench/test_floor_programs.py
    .venv-3.11/bin/python -m pytest bench/test_floor_programs.py

The check must pass on src/Movra.py and fail on every listing that does
other work than the floors' mirror counts; movra_bench's own arithmetic,
and its reads of global names, must give what the interpreter gives.
"""
from __future__ import division

import operator
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402
import floor_programs  # noqa: E402
from floor_programs import builtins_module as builtins, intern_name  # noqa: E402



@pytest.fixture(scope='module')
def modules():
    bench.build_helpers()
    compiled, listing = bench.load_modules()
    bench.GL_AND_HELPERS = bench.outside_names()
    bench.prepare(listing)
    return compiled, listing


def check(listing, path, mirrors=None):
    saved = dict(floor_programs.MIRRORS)
    if mirrors:
        floor_programs.MIRRORS.update(mirrors)
    try:
        builders = dict((w, floor_programs.build(listing, path, bench.GL_AND_HELPERS, w))
                        for w in ('frame', 'tick'))
        floor_programs.check(listing, path, builders, bench.record_frame(listing))
        return builders
    finally:
        floor_programs.MIRRORS.clear()
        floor_programs.MIRRORS.update(saved)


def test_the_floors_are_in_step_with_the_listing(modules):
    _, listing = modules
    builders = check(listing, bench.LISTING)
    frame, tick = [floor_programs.totals(builders[w]) for w in ('frame', 'tick')]
    # What the docstring of bench.py says the tight floor holds.
    said = ('global name', 'builtin name', 'arithmetic', 'int()', 'subscript', 'container',
            'attribute', 'truth test', 'global store', 'stored list', 'local list display',
            'display subscript', 'own call', 'call', 'numpy arithmetic', 'item store')
    assert [frame[c] for c in said] == [285, 12, 28, 12, 15, 63, 1, 1, 0, 0, 9, 27, 17, 140, 5, 5]
    assert [tick[c] for c in said] == [10, 0, 4, 0, 0, 3, 0, 0, 2, 1, 0, 0, 0, 3, 3, 0]


def test_the_floor_is_part_of_the_tight_floor(modules):
    _, listing = modules
    for b in check(listing, bench.LISTING).values():
        calls = [(s[1], s[2]) for s in b.tight if s[0] in (0, 5)]
        assert calls == [(s[1], s[2]) for s in b.floor if s[0] == 0]
        numbers = [s for s in b.floor if s[0] != 0]
        assert all(s in b.tight for s in numbers)


EDITS = [
    ('an extra operation', 'glRotatef(tilt, 1, 0, 0)\n    drawViewVolume',
     'glRotatef(tilt * 1, 1, 0, 0)\n    drawViewVolume'),
    ('an extra call', '    glPushMatrix()\n    glTranslatef(0.0',
     '    glPushMatrix()\n    glPushMatrix()\n    glTranslatef(0.0'),
    ('another constant', 'glTranslatef(2.0, 0, -6.0)', 'glTranslatef(2.5, 0, -6.0)'),
    ('a comparison', '    if viewport4Sol1:', '    if viewport4Sol1 == True:'),
    ('another tick', 'movingCameraAngle = movingCameraAngle + 1',
     'movingCameraAngle = movingCameraAngle + 2'),
    ('a global subscript for a local one', 'eye[2] - 1', 'movingCameraPos[2] - 1'),
    ('another built-in', 'glViewport(0, 0, int(sizeViewport), int(sizeViewport))',
     'glViewport(0, 0, int(sizeViewport), abs(sizeViewport))'),
    ('a conditional expression', '    deg = movingCameraAngle\n    glPushMatrix()\n    glTranslatef(0.0',
     '    deg = movingCameraAngle if viewport4Sol1 else 0\n    glPushMatrix()\n    glTranslatef(0.0'),
]


@pytest.mark.parametrize('label,old,new', EDITS, ids=[e[0] for e in EDITS])
def test_the_check_fails_on_a_listing_that_does_other_work(modules, tmp_path, label, old, new):
    with open(bench.LISTING) as f:
        source = f.read()
    assert old in source
    path = str(tmp_path / 'Movra.py')
    with open(path, 'w') as f:
        f.write(source.replace(old, new, 1))
    listing = bench.load_listing('MovraEdited', path)
    bench.prepare(listing)
    with pytest.raises(floor_programs.CheckFailed):
        check(listing, path)


# (mirror, global name it reads): each read in turn made without its lookup.
SKIPPED_LOOKUPS = [('drawCamera', 'myQuadric'), ('drawMovingViewVolume', 'pan'),
                   ('Viewport1', 'near'), ('updateAnimationVariables', 'movingCameraRadius')]


@pytest.mark.parametrize('mirror,name', SKIPPED_LOOKUPS, ids=['.'.join(s) for s in SKIPPED_LOOKUPS])
def test_the_check_fails_on_a_mirror_that_misses_a_lookup(modules, mirror, name):
    _, listing = modules
    real = floor_programs.MIRRORS[mirror]

    def missing_one_lookup(b, *args):
        # The value as the globals hold it, but no step looks the name up.
        lookup = b.name
        b.name = lambda n: b.g[n] if n == name else lookup(n)
        try:
            return real(b, *args)
        finally:
            del b.name

    with pytest.raises(floor_programs.CheckFailed, match='global name'):
        check(listing, bench.LISTING, {mirror: missing_one_lookup})


OPERATORS = {'+': operator.add, '-': operator.sub, '*': operator.mul,
             '/': operator.truediv, '|': operator.or_}


def outcome(f, *args):
    try:
        value = f(*args)
    except Exception as e:  # the same exception type on both sides
        return ('raises', type(e).__name__)
    return (type(value).__name__, repr(value))


def test_the_plain_arithmetic_gives_what_the_interpreter_gives(modules):
    import numpy
    from movra_bench import step_value
    values = [0, 1, -1, 7, 2 ** 40, 2 ** 53, 2 ** 53 + 1, -2 ** 62, 2 ** 63 - 1, 2 ** 70,
              0.0, -0.0, 1.5, float('inf'), 3.0e300, numpy.float64(2.5), True]
    with numpy.errstate(all='ignore'):
        for op, f in OPERATORS.items():
            for x in values:
                for y in values:
                    assert outcome(step_value, (2, op, x, y)) == outcome(f, x, y), (x, op, y)
        for x in values:
            assert outcome(step_value, (3, x)) == outcome(operator.neg, x), x


def test_a_global_read_follows_the_globals(modules):
    from movra_bench import last_value, prepare, run_program
    a, c, d, e = object(), object(), object(), object()
    g = dict(('filler%d' % i, i) for i in range(50))
    g[intern_name('x')] = a
    b = vars(builtins)
    x_step = prepare(((4, g, b, intern_name('x')),))
    run_program(x_step, 2)
    assert last_value() is a
    g['x'] = c                                  # rebound
    run_program(x_step, 1)
    assert last_value() is c
    del g['x']
    g['y'] = 1
    g['x'] = d                                  # deleted and stored again elsewhere
    run_program(x_step, 1)
    assert last_value() is d
    g.update(('more%d' % i, i) for i in range(1000))  # a new table
    run_program(x_step, 1)
    assert last_value() is d
    del g['x']
    with pytest.raises(NameError):
        run_program(x_step, 1)

    len_step = prepare(((4, g, b, intern_name('len')),))
    run_program(len_step, 1)
    assert last_value() is len
    g['len'] = e                                # a global now hides the built-in
    run_program(len_step, 1)
    assert last_value() is e
    del g['len']
    run_program(len_step, 1)
    assert last_value() is len


def test_a_call_gets_its_arguments_and_a_kept_container_is_not_reused(modules):
    from movra_bench import has_vectorcall, prepare, run_program
    kept = []
    f = lambda *args: kept.append(args)  # noqa: E731  keeps its argument tuple
    program = prepare(((5, f, (1, 2.5)), (6, f, (3,)), (0, f, ('x',))))
    run_program(program, 3)
    assert kept == [(1, 2.5), ('x',)] * 3
    if not has_vectorcall(f):  # the containers of (5, ...): each kept, so each new
        assert len(set(id(args) for args in kept[::2])) == 3


# --- the safe floor -----------------------------------------------------------

def test_the_safe_floor_holds_what_the_docstring_says(modules):
    _, listing = modules
    builders = check(listing, bench.LISTING)
    for what, reads, calls, bodies in (('frame', 285, 140, 17), ('tick', 10, 3, 0)):
        kinds = [s[0] for s in builders[what].safe]
        assert (kinds.count(13), kinds.count(14), kinds.count(15), kinds.count(16)) == \
            (reads, calls, bodies, bodies)
        assert kinds.count(17) == (1 if what == 'frame' else 0)  # np.zeros
        unguarded = [s[0] for s in floor_programs.unguarded(builders[what].safe)]
        assert (unguarded.count(19), unguarded.count(20), unguarded.count(21)) == \
            (calls, bodies, bodies)
        assert not set(unguarded) & {14, 15, 16}


def _drop_first(kind):
    def tamper(steps):
        i = next(i for i, s in enumerate(steps) if s[0] == kind)
        del steps[i]
    return tamper


def _swap_first_two_reads(steps):
    # glClear's name read and the first operand of its argument.
    i = next(i for i, s in enumerate(steps) if s[0] == 14 and s[3] > 1)
    j = i - 1
    while steps[j][0] != 13:
        j -= 1
    k = j - 1
    while steps[k][0] != 13:
        k -= 1
    steps[j], steps[k] = steps[k], steps[j]


def _release_one_less(steps):
    i = next(i for i, s in enumerate(steps) if s[0] == 14 and s[3] > 1)
    s = steps[i]
    steps[i] = s[:3] + (s[3] - 1,) + s[4:]


@pytest.mark.parametrize('tamper', [_drop_first(13), _drop_first(14), _drop_first(8),
                                    _swap_first_two_reads, _release_one_less],
                         ids=['a read dropped', 'a call dropped', 'a subscript dropped',
                              'reads in another order', 'a reference kept'])
def test_the_check_fails_on_a_safe_floor_out_of_step(modules, tamper):
    _, listing = modules
    b = check(listing, bench.LISTING)['frame']
    tamper(b.safe)
    with pytest.raises(floor_programs.CheckFailed):
        floor_programs.check_safe('frame', b)


class Recorder(object):
    """A callee that records its calls under its own name."""

    def __init__(self, log, name):
        self.log, self.name = log, name

    def __call__(self, *args):
        self.log.append((self.name,) + args)


@pytest.mark.parametrize('guarded', [True, False], ids=['guarded', 'unguarded'])
def test_a_cached_read_follows_the_globals_and_its_call_calls_what_it_read(modules, guarded):
    from movra_bench import prepare, run_program
    log = []
    f1, f2, f3, h1, h2, h3 = [Recorder(log, n) for n in ('f1', 'f2', 'f3', 'h1', 'h2', 'h3')]
    g = dict(('filler%d' % i, i) for i in range(50))
    g['f'] = f1
    own_builtins = {'h': h1}
    steps = ((13, g, own_builtins, intern_name('f')), (14, f1, (1,), 1, True),
             (13, g, own_builtins, intern_name('h')), (14, h1, (), 1, True))
    program = prepare(steps if guarded else floor_programs.unguarded(steps))

    def calls():
        del log[:]
        run_program(program, 1)
        return [entry[0] for entry in log]

    assert calls() == ['f1', 'h1']
    assert calls() == ['f1', 'h1']                 # from the caches
    g['f'] = f2                                    # rebound
    assert calls() == ['f2', 'h1']
    del g['f']
    g['y'] = 1
    g['f'] = f3                                    # deleted and stored again elsewhere
    assert calls() == ['f3', 'h1']
    g.update(('more%d' % i, i) for i in range(1000))  # a new table
    assert calls() == ['f3', 'h1']
    g['h'] = h2                                    # a global hides the built-in
    assert calls() == ['f3', 'h2']
    del g['h']
    assert calls() == ['f3', 'h1']
    own_builtins['h'] = h3                         # the builtins change, the globals do not
    assert calls() == ['f3', 'h3']
    del g['f']
    with pytest.raises(NameError):
        run_program(program, 1)


class Colliding(object):
    """A key that collides with a name and compares by running code."""

    def __init__(self, name, log):
        self.h, self.log = hash(name), log

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        self.log.append(other)
        return False


@pytest.mark.skipif(sys.version_info[0] < 3, reason="2.7 reads the table's entry of the "
                    "name itself, which no other key's comparison can change: no cache to drop")
def test_the_cache_is_kept_only_while_every_key_is_text(modules):
    from movra_bench import prepare, run_program
    compared, log = [], []
    g = {}
    key = Colliding('f', compared)
    g[key] = 0                                     # probed before the name
    g['f'] = Recorder(log, 'f')
    program = prepare(((13, g, {}, intern_name('f')), (14, g['f'], (), 1, True)))
    before = len(compared)                         # the stores and g['f'] above compared too
    run_program(program, 1)
    per_read = len(compared) - before
    assert per_read >= 1
    run_program(program, 3)
    assert len(log) == 4 and len(compared) == before + 4 * per_read  # looked up at every read
    del g[key]
    after = len(compared)
    run_program(program, 4)                        # refilled once, then kept
    assert len(log) == 8 and len(compared) == after


def test_a_held_reference_outlives_the_name_while_the_callee_runs(modules):
    import weakref
    from movra_bench import prepare, run_program

    class Thing(object):
        pass

    g = {}
    seen = []

    def callee():
        del g['thing']                             # the globals' reference goes
        seen.append(alive() is not None)

    g['callee'], g['thing'] = callee, Thing()
    alive = weakref.ref(g['thing'])
    program = prepare(((13, g, {}, intern_name('callee')), (13, g, {}, intern_name('thing')),
                       (14, callee, (), 2, True)))
    run_program(program, 1)
    assert seen == [True]
    assert alive() is None                         # released after the call


def test_a_failing_body_leaves_its_guard_and_releases_what_it_held(modules):
    import weakref
    from movra_bench import prepare, run_program

    class Body(object):
        pass

    g = {'body': Body()}
    gone = weakref.ref(g['body'])
    program = prepare(((13, g, {}, intern_name('body')), (15, g['body'], (), True),
                       (13, g, {}, intern_name('missing')), (16, g['body'], 2)))
    # Were the guard's count left raised, the body's entry would raise
    # RecursionError long before the end (on Pythons that count; 3.14 and
    # later measure the C stack instead).
    for _ in range(20000):
        with pytest.raises(NameError):
            run_program(program, 1)
    del g['body'], program                         # the program's steps hold it too
    assert gone() is None


@pytest.mark.parametrize('steps', [
    ((13, {}, {}, 'f'), (14, None, (), 2, True)),            # releases more than it holds
    ((13, {}, {}, 'f'), (15, None, (), True)),                # a body that does not end
    ((13, {}, {}, 'f'),),                                     # a reference held at the end
    ((17, None, 'name'),),                                    # an attribute of nothing held
], ids=['over-release', 'open body', 'held at the end', 'attribute of nothing'])
def test_a_program_that_does_not_balance_is_refused(modules, steps):
    from movra_bench import prepare
    with pytest.raises(ValueError):
        prepare(steps)


def test_direct_calls_give_what_the_interpreters_calls_give(modules):
    """Every way a direct call takes (a method entry with no argument, one,
    or a tuple, a vectorcall entry, a call slot with a container that the
    callee may keep), against the same calls made by the interpreter."""
    from movra_bench import prepare, run_program

    class Keeper(object):
        """A callable without vectorcall that keeps its argument tuples."""

        def __init__(self):
            self.kept = []

        def __call__(self, *args):
            self.kept.append(args)

    def python_function(*args):
        made.append(args)

    def calls(items, keeper, made_list):
        return [(items.append, (7,)), (items.reverse, ()), (items.insert, (0, 'x')),
                (keeper, (1, 2.5)), (keeper, ('y',)), (python_function, (3, 4))]

    results = []
    for direct in (True, False):
        items, keeper, made = [1, 2], Keeper(), []
        global_names = {}
        steps = []
        for i, (f, args) in enumerate(calls(items, keeper, made)):
            name = intern_name('callee%d' % i)
            global_names[name] = f
            steps += [(13, global_names, {}, name), (14, f, args, 1, i % 2 == 0)]
        if direct:
            run_program(prepare(tuple(steps)), 2)
        else:
            for _ in range(2):
                for f, args in calls(items, keeper, made):
                    f(*args)
        results.append((items, keeper.kept, made))
        if direct:
            # each kept container is a tuple of its own
            assert len(set(id(t) for t in keeper.kept)) == len(keeper.kept)
    assert results[0] == results[1]
