"""kesthost.listing: the module's facts read from a listing, on listings of
the tests' own, so that each rule of the reader is seen on its own."""
import textwrap

import pytest

from conftest import listing

SMALL = '''
"""A listing of the same shape as the module's."""
from __future__ import division
import sys
scale = 1.0
size = int(350)
where = [0, 0, 0]
flag = True
count = -2
__test__ = {}


def first():
    """
    Its docstring, kept as written.
    """
    global count
    count = count + 1
    later = 1
    earlier = later


def second(angle):
    turn = angle
    return turn


def third(near, far):
    depth = far - near
    return depth
'''


@pytest.fixture
def small(tmpdir):
    path = tmpdir.join('Small.py')
    path.write(SMALL)
    return listing.read(str(path))


def test_functions_in_definition_order_with_their_call_kinds(small):
    assert [(f.name, f.parameters, f.kind) for f in small.functions.values()] == [
        ('first', (), 'none'), ('second', ('angle',), 'one'),
        ('third', ('near', 'far'), 'keywords')]
    assert (small.builders, small.no_arguments) == (['second', 'third'], ['first'])
    assert small.names_of_kind('keywords') == ['third']


@pytest.mark.parametrize('name, line, local_names, doc', [
    # a global statement's names are not locals; the rest in order of first use
    ('first', 13, ('later', 'earlier'), '\n    Its docstring, kept as written.\n    '),
    ('second', 23, ('turn',), None),
    ('third', 28, ('depth',), None),
])
def test_each_definition_line_locals_and_docstring(small, name, line, local_names, doc):
    function = small.functions[name]
    assert (function.line, function.locals, function.doc) == (line, local_names, doc)


def test_globals_with_their_defaults_and_types_dunders_left_out(small):
    assert [(name, type(value), value) for name, value in small.defaults()] == [
        ('scale', float, 1.0), ('size', int, 350), ('where', list, [0, 0, 0]),
        ('flag', bool, True), ('count', int, -2)]
    assert [g.line for g in small.globals.values()] == [5, 6, 7, 8, 9]
    assert small.defaults(leave_out=('size', 'where')) == [
        ('scale', 1.0), ('flag', True), ('count', -2)]


def test_a_default_is_a_fresh_object_each_time(small):
    small.default('where').append(9)
    assert small.default('where') == [0, 0, 0]
    assert small.default('where') is not small.default('where')


@pytest.mark.parametrize('fitting, wrong', [
    ({'second': (1,), 'third': (1, 2)}, None),
    ({'second': (1,)}, 'third'),                                   # a builder without
    ({'first': (), 'second': (1,), 'third': (1, 2)}, 'first'),     # not a builder
    ({'second': (1,), 'third': (1,)}, 'third'),                    # one too few
    ({'second': (1, 2), 'third': (1, 2, 3)}, 'second, third'),     # too many
])
def test_arguments_for_the_builders_fit_their_parameters(small, fitting, wrong):
    if wrong is None:
        listing.check_fitting(small, fitting)
        return
    with pytest.raises(listing.ListingError) as raised:
        listing.check_fitting(small, fitting)
    assert str(raised.value) == 'the builders of %s do not take these arguments: %s' % (
        small.path, wrong)


@pytest.mark.parametrize('assignment', ['near = float(1)', 'near = other', 'near = int(x)'])
def test_a_default_that_is_not_a_literal_is_refused_with_its_line(tmpdir, assignment):
    path = tmpdir.join('Odd.py')
    path.write(textwrap.dedent('''
        far = 7.0
        %s
    ''' % assignment))
    with pytest.raises(listing.ListingError) as raised:
        listing.read(str(path))
    assert '%s:3: a global is assigned something other than a literal' % path in str(
        raised.value)


def test_the_module_listing_is_the_one_tracebacks_name():
    # the listing beside host/ in a checkout, the one the suite imports Movra for
    assert listing.MOVRA.path.endswith('src/Movra.py') or listing.MOVRA.path.endswith(
        'src\\Movra.py')
    assert len(listing.FUNCTIONS) == 18 and listing.BUILDERS == [
        f for f in listing.FUNCTIONS if listing.MOVRA.kind(f) != 'none']
