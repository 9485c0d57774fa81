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


def test_the_check_fails_on_a_mirror_that_misses_a_lookup(modules):
    _, listing = modules

    def m_drawCamera(b):
        b.fn('glPushMatrix').const()
        b.fn('glRotatef').const(180, 0, 1, 0)
        b.fn('glScalef').const(0.5, 0.5, 1.0)
        b.fn('drawGrayCube').const(0.5)
        b.fn('glTranslatef').const(0, 0, 0.5)
        b.fn('gluCylinder')(b.g['myQuadric'], 0.2, 0.3, 0.3, 10, 10)
        b.fn('glPopMatrix').const()

    with pytest.raises(floor_programs.CheckFailed, match='global name'):
        check(listing, bench.LISTING, {'drawCamera': m_drawCamera})


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
