"""A short run of the property-based differential fuzzer (scripts/fuzz.py and
scripts/fuzz_differential.py; `make fuzz` runs the long one), and the checks
that the fuzzer's own comparisons and invariants do fail when they should.

FUZZ_TEST_EXAMPLES sets the number of examples of each property (default 150).
"""
import os
import sys
import unittest

import numpy as np
import pytest

import compat
from conftest import PRISTINE, ROOT

sys.path.insert(0, os.path.join(ROOT, 'scripts'))
import fuzz_differential as fuzz  # noqa: E402

fuzz.use_pristine(PRISTINE)
EXAMPLES = int(os.environ.get('FUZZ_TEST_EXAMPLES', 150))
Case, Mismatch = fuzz.Case, fuzz.Mismatch


@pytest.fixture
def listing_function(monkeypatch):
    """Replaces a function of the listing for one test."""
    def replace(name, function):
        monkeypatch.setitem(fuzz.PRISTINE[fuzz.L], name, function)
    return replace


# ---------------------------------------------------------------- the run ---

@pytest.mark.parametrize('name, function, strategy', fuzz.PROPERTIES,
                         ids=[p[0] for p in fuzz.PROPERTIES])
def test_property(name, function, strategy):
    fuzz.STATS.pop(name, None)
    # The same examples at every run, so that a run of the tests passes or
    # fails by the code alone; `make fuzz` draws new ones.
    fuzz.property_test(function, strategy(), EXAMPLES, fixed_seed=True)()
    counts = fuzz.STATS[name]
    assert sum(counts.values()) >= EXAMPLES
    # Each property reached the outcomes it is there for.
    wanted = {'globals': ['same'], 'builders': ['same', 'refused'],
              'hostile keys': ['failed', 'succeeded']}[name]
    assert all(counts.get(kind) for kind in wanted), counts


# A property that fails for numbers above a bound while SWITCH says so.
SWITCH = {'failing': True}
TRIED = []


def fails_above_fifty_thousand(n):
    TRIED.append(n)
    assert not (SWITCH['failing'] and n > 50000)


def run_not_skipped(test):
    try:
        test()
    except unittest.SkipTest as skipped:
        pytest.fail('the run was skipped: %s' % skipped)


def test_a_kept_failure_is_replayed_before_the_seeded_draws(monkeypatch, tmpdir):
    from hypothesis import strategies as st
    monkeypatch.setattr(fuzz, 'REPLAY_DB', str(tmpdir.join('db')))
    numbers = st.integers(min_value=0, max_value=10 ** 6)
    monkeypatch.setitem(SWITCH, 'failing', True)
    # Nothing kept yet: the seeded run draws its own examples.
    del TRIED[:]
    with pytest.raises(AssertionError):
        run_not_skipped(fuzz.property_test(fails_above_fifty_thousand, numbers, 50,
                                           fixed_seed=True))
    assert TRIED
    # A random run finds the failure, shrinks it and keeps it.
    with pytest.raises(AssertionError):
        fuzz.property_test(fails_above_fifty_thousand, numbers, 200)()
    # The seeded run tries the kept example first, and fails by it.
    del TRIED[:]
    with pytest.raises(AssertionError):
        run_not_skipped(fuzz.property_test(fails_above_fifty_thousand, numbers, 1,
                                           fixed_seed=True))
    assert TRIED[0] == 50001
    # Once it passes, the seeded run goes on to draw its own examples.
    SWITCH['failing'] = False
    del TRIED[:]
    run_not_skipped(fuzz.property_test(fails_above_fifty_thousand, numbers, 5, fixed_seed=True))
    assert TRIED[0] == 50001 and len(TRIED) > 1


# ------------------------------------------------- the reproducer ---

def far_key(meddle):
    """A key that hashes like 'far', equals everything, and first runs `meddle`."""
    return ('hostile', 'str', 'k', (('__eq__', meddle, ('value', ('lit', 'True'))),
                                    ('__hash__', (), ('value', ('hash', 'far')))))


def stored_in_a_matrix(value):
    """(type, text) of what numpy raises when `value` is stored into an
    element of a float matrix, as the listing's `M[0][0] = near` does."""
    return compat.raised(lambda: np.zeros((4, 4))[0].__setitem__(0, value))


@pytest.mark.parametrize('near, expected', [
    (('lit', 'Plain()'), (stored_in_a_matrix(fuzz.Plain()), 229)),
    (('flt', 1.25), [[1.25, 0, 0, 0], [0, 1.25, 0, 0], [0, 0, 8.75, 9.375], [0, 0, -1, 0]]),
])
@pytest.mark.parametrize('meddle', [(('kw_pop', 'near'), ('gc',)), (('kw_set', 'near', ('flt', 99.5)),)],
                         ids=['pop', 'replace'])
def test_a_key_that_takes_near_away(near, expected, meddle):
    """Looking up `far` runs the key's __eq__, which takes `near` out of the
    dictionary after it was bound: the body sees the bound value. (On
    Python 3 the binding's dictionary is its own, made from the names after
    hashing each again: what the key's __eq__ takes out of the caller's
    dictionary is no longer in the binding's way at all.)"""
    case = Case('projective', kwargs=(('near', near), (far_key(meddle), ('flt', 7.5))))
    outcome = fuzz.run(fuzz.Movra, case)
    fuzz.compiled_invariants(case, outcome)
    key = "<Hostile str 'k' #0>"
    hashed = [(key, '__hash__')] if compat.KEYWORD_NAMES_HASHED_AGAIN else []
    assert outcome['log'] == hashed + [(key, '__eq__')]
    if isinstance(expected, tuple):
        assert outcome['error'] == expected[0]
        assert outcome['records'] == [('Movra.projective', expected[1])]
        assert fuzz.check_hostile_keys_case(case) == 'failed'
    else:
        assert outcome['result'] == fuzz.norm(np.array(expected, dtype=float))
        assert fuzz.check_hostile_keys_case(case) == 'succeeded'


# --------------------------------------------- the checks fail when they should ---

def test_a_different_result_is_a_mismatch(listing_function):
    listing_function('scale', fuzz.PRISTINE[fuzz.L]['translate'])
    with pytest.raises(Mismatch) as info:
        fuzz.check_case(Case('scale', args=fuzz.fitting_plans('scale')))
    assert 'differ in result' in str(info.value)


def test_a_different_protocol_sequence_is_a_mismatch(listing_function):
    """The listing's rotateX with the truth test of its argument added."""
    rotate = fuzz.PRISTINE[fuzz.L]['rotateX']
    listing_function('rotateX', lambda angle: (bool(angle), rotate(angle))[1])
    hostile = ('hostile', 'float', 30.0, (('__nonzero__', (), ('base',)),))
    with pytest.raises(Mismatch) as info:
        fuzz.check_case(Case('rotateX', args=(hostile,)))
    assert 'differ in log' in str(info.value)


def test_printed_reprs_of_the_modules_own_functions_compare_alike():
    # glGetDoublev answers a matrix of one function, and getGL_MODELVIEW_PROJ
    # prints it: the reprs, and the lines numpy wraps them in, differ between
    # the modules, the values do not.
    function = ('fn', 'getGL_MODELVIEW_PROJ')
    hostile = ('hostile', 'object', None, (('__call__', (), ('value', function)),))
    case = Case('getGL_MODELVIEW_PROJ', sol=False, setup=(('glGetDoublev', hostile),))
    assert fuzz.check_case(case) == 'same'
    printed = fuzz.run(fuzz.Movra, case)['printed']
    assert ' 0x' not in printed and '\n' not in printed
    assert printed.startswith("('GL_MODELVIEW ', array(<function getGL_MODELVIEW_PROJ>, ")


def test_messages_that_name_the_module_compare_alike():
    # np is the module itself, which has no eye: under Python 3 the message
    # names the module, and the listing is loaded under another name.
    case = Case('translate', sol=False, setup=(('np', ('lit', 'module')),),
                args=(('fit', 'translate', 0),))
    assert fuzz.check_case(case) == 'same'
    error = fuzz.run(fuzz.L, case)['error']
    assert error[0] is AttributeError and 'eye' in error[1]
    assert fuzz.L.__name__ not in error[1]


def test_printed_text_keeps_its_layout_where_the_reprs_agree():
    text = "('GL_MODELVIEW ', array([[1., 0.],\n       [0., 1.]]))\n"
    assert fuzz.printed_image(text) == text
    assert fuzz.printed_image(text.replace('\n       ', ' ')) != text


def test_a_different_global_effect_is_a_mismatch(listing_function):
    def draw_camera():
        vars(fuzz.L)['pan'] = 5
    listing_function('drawCamera', draw_camera)
    with pytest.raises(Mismatch) as info:
        fuzz.check_case(Case('drawCamera', setup=(('pan', ('lit', '1')),)))
    assert 'globals' in str(info.value)


def test_a_finalizer_run_at_another_moment_relaxes_the_comparison():
    compiled = {'log': [('a', '__float__'), ('b', '__del__')], 'acting_finalizers': 0}
    listing = {'log': [('b', '__del__'), ('a', '__float__')], 'acting_finalizers': 0}
    assert fuzz._finalizer_timing_differs(compiled, listing)
    assert not fuzz._finalizer_timing_differs(
        compiled, {'log': [('a', '__float__')] * 2, 'acting_finalizers': 0})
    # A finalizer with effects of its own: where its effects land may differ
    # even with the same log; other protocol calls must still agree.
    acting = dict(compiled, acting_finalizers=1)
    assert fuzz._finalizer_timing_differs(acting, dict(acting))
    assert not fuzz._finalizer_timing_differs(
        acting, {'log': [('a', '__int__'), ('b', '__del__')], 'acting_finalizers': 1})


def test_a_finalizer_that_draws_when_a_temporary_goes():
    # cos returns an object whose finalizer draws the moving camera: the
    # listing lets go of it within the statement, before movingCameraPos is
    # rebound, the module when the statement ends, after.
    dropping = ('hostile', 'object', None, (('__del__', (('call', 'drawMovingCamera'),),
                                              ('base',)),))
    case = Case('updateAnimationVariables', sol=False, setup=(
        ('cos', ('hostile', 'object', None, (('__call__', (), ('value', dropping)),
                                             ('__del__', (), ('base',))))),))
    assert fuzz.check_case(case) == 'finalizer timing'


def test_protocol_calls_made_by_a_finalizer_are_its_own():
    # deg2rad returns a string whose finalizer calls perspective, which calls
    # deg2rad again: the module's finalizers run (and call) before the run
    # ends, the listing's after, when its traceback goes.
    near = ('hostile', 'str', 'near', (('__del__', (('call', 'perspective'),), ('base',)),))
    case = Case('updateAnimationVariables', sol=False, setup=(
        ('deg2rad', ('hostile', 'object', None, (('__call__', (), ('value', near)),
                                                 ('__del__', (), ('base',))))),))
    assert fuzz.check_case(case) == 'finalizer timing'
    compiled = fuzz.run(fuzz.Movra, case)['log']
    assert compiled.count(('<Hostile object None #0>', '__call__')) == 1
    assert ('<Hostile object None #0>', fuzz.FROM_FINALIZER + '__call__') in compiled


def outcome(**fields):
    base = dict(depth={'modelview': 0, 'projection': 0}, pushes=0, calls=[],
                gl_functions_intact=True, frames=[])
    base.update(fields)
    return base


DRAW_CAMERA = fuzz.LAYOUT['drawCamera']
STATEMENT = min(DRAW_CAMERA[1])
# drawScene's `deg = movingCameraAngle` calls nothing.
NO_CALL = sorted(fuzz.LAYOUT['drawScene'][1] - fuzz.LAYOUT['drawScene'][2])[0]


def frames(*records):
    return [('Movra.py', 'Movra.' + name, line) for name, line in records]


@pytest.mark.parametrize('function, fields, refused, message', [
    ('drawCamera', dict(result=1, depth={'modelview': 1, 'projection': 0}), False,
     'depth change 1'),
    ('drawCamera', dict(error=(SystemError, 'bad'), frames=frames(('drawCamera', STATEMENT))),
     False, 'SystemError'),
    ('drawCamera', dict(error=(ValueError, 'x'), pushes=1, depth={'modelview': 2, 'projection': 0},
                        frames=frames(('drawCamera', STATEMENT))), False, 'after 1 pushes'),
    ('drawCamera', dict(error=(ValueError, 'x'), frames=[('other.py', 'f', 1)]), False,
     'without a record'),
    ('drawCamera', dict(error=(ValueError, 'x'), frames=frames(('drawScene', 80))), False,
     'outermost record'),
    ('drawCamera', dict(error=(ValueError, 'x'), frames=frames(('drawCamera', DRAW_CAMERA[0]))),
     False, 'at no statement'),
    ('drawScene', dict(error=(ValueError, 'x'), frames=frames(('drawScene', NO_CALL),
                                                              ('drawCamera', STATEMENT))),
     False, 'record below it'),
    ('drawCamera', dict(result=1), True, 'should have refused'),
    ('drawCamera', dict(error=(TypeError, 'x'), frames=frames(('drawCamera', STATEMENT))), True,
     'refused call'),
])
def test_invariants_catch_what_they_are_for(function, fields, refused, message):
    with pytest.raises(Mismatch) as info:
        fuzz.compiled_invariants(Case(function), outcome(**fields), refused)
    assert message in str(info.value)


def test_invariants_accept_a_sound_failure():
    fuzz.compiled_invariants(Case('drawCamera'), outcome(
        error=(ValueError, 'x'), pushes=1, depth={'modelview': 1, 'projection': 0},
        frames=[('Movra.py', 'Movra.drawCamera', STATEMENT)]))


def test_a_result_that_is_no_binding_is_a_mismatch(listing_function):
    listing_function('projective', lambda near, far: np.zeros((4, 4)))
    case = Case('projective', kwargs=(('near', ('flt', 1.25)), (far_key(()), ('flt', 7.5))))
    with pytest.raises(Mismatch) as info:
        fuzz.check_hostile_keys_case(case)
    assert 'no binding of the values' in str(info.value)


@pytest.mark.parametrize('name, args, kwargs, expected', [
    ('projective', (1.0,), {'x': 1}, (False, 'projective() takes exactly 2 positional arguments (1 given)')),
    ('projective', (1.0, 7.0), {u'near': 1}, (False, "projective() got multiple values for keyword argument 'near'")),
    ('projective', (), {'far': 2.0, 'near': 1.0}, (True, [1.0, 2.0])),
    # The module's own words on 2.7 and 3.8; from 3.9 on the interpreter's.
    ('projective', (1.0, 2.0), {5: 1},
     (False, compat.non_string_keyword_message('projective', (1.0, 2.0), {5: 1}))),
    ('perspective', (60, 1), {'near': 1, 'far': 2, u'x\xe9': 0},
     (False, "perspective() got an unexpected keyword argument '%s'"
      % compat.native_text(u'x\xe9'))),
    ('perspective', (1, 2, 3, 4, 5), None, (False, 'perspective() takes exactly 4 positional arguments (5 given)')),
])
def test_the_binding_model_agrees_with_the_module(name, args, kwargs, expected):
    assert fuzz.compiled_binding(name, args, kwargs) == expected
    try:
        result = getattr(fuzz.Movra, name)(*args, **(kwargs or {}))
    except TypeError as exc:
        assert not expected[0] and str(exc) == expected[1]
    else:
        assert expected[0] and result.tolist() == getattr(fuzz.L, name)(*expected[1]).tolist()


# ------------------------------------------------ the interpreter's own words ---

def test_a_builtin_of_the_interpreter_keeps_its_own_words():
    """Both modules call len() with no argument: the same refusal, untouched
    (only the module's own functions are refused in other words)."""
    assert fuzz.check_case(Case('drawScene', setup=(('glPushMatrix', ('lit', 'len')),))) == 'same'


@pytest.mark.parametrize('function, setup, refused, given', [
    ('drawScene', (('glPushMatrix', ('fn', 'rotateX')),), 'rotateX', 0),
    ('Viewport4', (('rotateY', ('fn', 'drawCamera')),), 'drawCamera', 1),
])
def test_a_function_of_the_module_refused_in_built_in_words(function, setup, refused, given):
    """The module calls one of its own functions with a count it does not
    take: refused in the words the interpreter has for its built-in functions
    of that kind, where the listing's function is refused in the words for a
    Python function; the outcomes are otherwise the same."""
    case = Case(function, setup=setup, sol=False)
    compiled = fuzz.run(fuzz.Movra, case)
    assert compiled['error'] == (TypeError, compat.function_arity_message(
        fuzz.KINDS[refused], refused, given))
    listing = fuzz.run(fuzz.L, case)
    code = getattr(fuzz.L, refused).__code__
    assert listing['error'] == (TypeError, compat.plain_function_refusal(
        refused, code.co_varnames[:code.co_argcount], [None] * given))
    assert fuzz.check_case(case) == 'same'


def test_a_builder_bound_by_the_module_with_too_many_arguments():
    """perspective in place of projective: the compiled binding refuses the
    four arguments at projective's definition line, the listing's interpreter
    in its own words."""
    case = Case('Viewport3', setup=(('projective', ('fn', 'perspective')),))
    compiled = fuzz.run(fuzz.Movra, case)
    assert compiled['error'] == (TypeError, fuzz.arity_message('perspective', 4, 2))
    assert compiled['records'][-1] == ('Movra.perspective', fuzz.LAYOUT['perspective'][0])
    assert fuzz.check_case(case) == 'same'


# ------------------------------------------------ keys that fight back on 3.x ---

def binding_failure(*below):
    return dict(error=(fuzz.FuzzError, 'x'),
                frames=frames(('projective', fuzz.LAYOUT['projective'][0])) + list(below))


HOSTILE_FRAMES = [(fuzz.HOSTILE_FILE, 'method', 1), (fuzz.HOSTILE_FILE, 'reply', 2)]


def test_a_binding_failure_raised_by_a_key_has_the_key_below_it():
    """Where the binding runs the keys' own code (Python 3), what that code
    raises fails the binding with the key's frames below its record; under
    2.7 nothing can be below a binding failure."""
    case = Case('projective', kwargs=(('near', ('flt', 1.0)),))
    if fuzz.KEY_CODE_FAILS_BINDING:
        fuzz.compiled_invariants(case, outcome(**binding_failure(*HOSTILE_FRAMES)))
    else:
        with pytest.raises(Mismatch) as info:
            fuzz.compiled_invariants(case, outcome(**binding_failure(*HOSTILE_FRAMES)))
        assert 'at no statement' in str(info.value)


def test_a_binding_failure_with_a_record_below_is_a_mismatch():
    case = Case('projective', kwargs=(('near', ('flt', 1.0)),))
    below = HOSTILE_FRAMES + frames(('drawCamera', STATEMENT))
    with pytest.raises(Mismatch) as info:
        fuzz.compiled_invariants(case, outcome(**binding_failure(*below)))
    assert 'at no statement' in str(info.value)


# The key's __eq__ raises KeyError, with the hash of another key: from 3.9 on
# the interpreter's copy of the keyword dictionary fails the call in its own
# words before the module runs; 2.7 and 3.8 hand the dictionary to the module.
KEY_ERROR_KEY = Case('perspective', kwargs=(
    ('fovy', ('num', 0.5)), ('aspect', ('num', 1.25)), ('near', ('num', 2.0)),
    (('hostile', 'str', 'far', (('__eq__', (), ('raise', 'KeyError')),
                                ('__hash__', (), ('value', ('hash', 'near'))))), ('num', 3.5))))


def test_a_call_that_the_interpreter_fails_itself():
    before, handed_over = fuzz.interpreter_part(KEY_ERROR_KEY)
    kind = fuzz.check_hostile_keys_case(KEY_ERROR_KEY)
    compiled = fuzz.run(fuzz.Movra, KEY_ERROR_KEY)
    if handed_over:
        assert kind in ('failed', 'succeeded') and before['log'] == []
    else:
        assert kind == 'refused'
        assert compiled['error'] == before['error'] and compiled['records'] == []


# The key 'near' has the hash of 'fovy', and its __eq__ pops 'fovy': the pop
# finds 'near' again and runs its __eq__, down to the recursion limit. From
# 3.9 on that happens in the interpreter's copy, before the module runs.
ENDLESS_KEY = Case('perspective', kwargs=(
    ('aspect', ('num', 0.5)),
    (('hostile', 'str', 'near', (('__eq__', (('kw_pop', 'fovy'),), ('base',)),
                                 ('__hash__', (), ('value', ('hash', 'fovy'))))), ('num', 1.25)),
    (('hostile', 'str', 'fovy', (('__eq__', (), ('base',)),)), ('num', 2.0))))


def at_depth(levels, function, *args):
    """function(*args), called `levels` Python frames further down."""
    return function(*args) if levels == 0 else at_depth(levels - 1, function, *args)


@pytest.mark.parametrize('levels', range(4))
def test_a_call_that_the_interpreter_fails_at_the_recursion_limit(levels):
    # The limit is met at a depth that depends on where the call starts.
    before, handed_over = fuzz.interpreter_part(ENDLESS_KEY)
    kind = at_depth(levels, fuzz.check_hostile_keys_case, ENDLESS_KEY)
    if handed_over:
        assert kind == 'failed'
    else:
        assert kind == 'refused' and fuzz._recursion(before)


EQ = ("<Hostile str 'near' #0>", '__eq__')
NE = ("<Hostile str 'near' #0>", '__ne__')
DEEP = (compat.RecursionError, fuzz.RECURSION)
DEEP_IN_COMPARISON = (compat.RecursionError, fuzz.RECURSION + ' in comparison')


@pytest.mark.parametrize('one, other, same', [
    (dict(error=DEEP, log=[EQ] * 248), dict(error=DEEP, log=[EQ] * 250), True),
    (dict(error=DEEP, log=[EQ] * 3), dict(error=DEEP_IN_COMPARISON, log=[EQ] * 2), True),
    (dict(error=DEEP, log=[EQ, NE]), dict(error=DEEP, log=[EQ, EQ, EQ]), False),
    (dict(error=(KeyError, 'x'), log=[EQ]), dict(error=(KeyError, 'x'), log=[EQ]), True),
    (dict(error=(KeyError, 'x'), log=[EQ]), dict(error=(KeyError, 'x'), log=[EQ, EQ]), False),
    (dict(error=(KeyError, 'x'), log=[EQ]), dict(error=(KeyError, 'y'), log=[EQ]), False),
    (dict(error=DEEP, log=[EQ]), dict(error=(KeyError, 'x'), log=[EQ, EQ]), False),
])
def test_failures_at_the_recursion_limit_compare_up_to_it(one, other, same):
    assert fuzz._failed_alike(one, other) is same
    assert fuzz._failed_alike(other, one) is same


def test_a_module_that_ran_where_the_interpreter_failed_the_call_is_a_mismatch(monkeypatch):
    failed = dict(error=(fuzz.FuzzError, 'refused'), log=[])
    monkeypatch.setattr(fuzz, 'interpreter_part', lambda case: (failed, False))
    with pytest.raises(Mismatch) as info:
        fuzz.check_hostile_keys_case(Case('projective', kwargs=(
            ('near', ('num', 1.0)), (far_key(()), ('num', 7.0)))))
    assert 'the interpreter failed the call' in str(info.value)


def test_keys_that_ran_other_code_before_the_module_are_a_mismatch(monkeypatch):
    ran = dict(error=fuzz.KEYWORDS_HANDED_OVER, log=[("<Hostile str 'k' #0>", '__ne__')])
    monkeypatch.setattr(fuzz, 'interpreter_part', lambda case: (ran, True))
    with pytest.raises(Mismatch) as info:
        fuzz.check_hostile_keys_case(Case('projective', kwargs=(
            ('near', ('num', 1.0)), (far_key(()), ('num', 7.0)))))
    assert 'before the module' in str(info.value)


def test_a_non_string_keyword_name():
    """Refused by the interpreter before the module runs (3.9 on), or by the
    module's binding at the definition line (2.7, 3.8); the listing is
    refused either way."""
    case = Case('projective', args=(('flt', 1.0),), kwargs=(('far', ('flt', 7.0)),
                                                           (5, ('lit', '1'))))
    assert fuzz.check_case(case) == 'binding failure'
    compiled = fuzz.run(fuzz.Movra, case)
    assert compiled['error'] == (TypeError, compat.non_string_keyword_message(
        'projective', (1.0,), {'far': 7.0, 5: 1}))
    assert compiled['records'] == ([('Movra.projective', 227)]
                                   if compat.CALLEE_SEES_NON_STRING_KEYWORDS else [])
