"""Mistakes named: where a difference is exactly explained by a well-known
mistake, a hint that names it.

Each kind has a test that must hold for every difference of the item it
explains (every differing argument set of a builder, every differing call
and global of a function in every state in which it differs); a hint is
never a guess from one value alone. The kinds, in the order in which they
are tried (the first that holds is given):

  viewport-rectangle  glViewport given corners for width and height, or
                      another viewport's quadrant
  transpose           yours is Movra's matrix transposed
  product-order       a matrix product of the same matrices in another order
  degrees-radians     yours is Movra's for the angle converted the other way
  integer-division    yours is Movra's value rounded down (floor division)
  tick                yours is Movra's state one animation tick early or late
  sign                one entry or one argument negated
  push-pop            a glPushMatrix or glPopMatrix missing or extra
  call-order          the same calls in another order

The values are the encoded values of the workers (see diff.py); a "probe"
is Movra's reply to the same request with the angle converted or the state
shifted by one tick, which the caller fetches on demand.
"""
from __future__ import absolute_import, division, print_function

import itertools
import math

import numpy as np

from kestcompare import codec, diff

KINDS = ['viewport-rectangle', 'transpose', 'product-order', 'degrees-radians',
         'integer-division', 'tick', 'sign', 'push-pop', 'call-order']
PUSH_POP = ('glPushMatrix', 'glPopMatrix')
MATRIX_CALLS = ('glMultMatrixd', 'glMultMatrixf', 'glLoadMatrixd', 'glLoadMatrixf')
MAX_FACTORS = 5
CONVERSION_WORDS = {
    'rad2deg': 'takes the angle in radians where Movra takes degrees (is a deg2rad '
               'missing?): yours equals Movra\'s for the angle converted from radians '
               'to degrees',
    'deg2rad': 'converts the angle to radians twice: yours equals Movra\'s for '
               'deg2rad(angle)',
}


# ----------------------------------------------------------------- values ---

number = codec.as_float


def matrix(value):
    """An encoded 2-D numeric array as a float numpy array, else None."""
    return codec.as_matrix(value, np)


def close(a, b, tolerance=None):
    return diff.numbers_close(a, b, tolerance or diff.TOLERANCE)


def all_close(a, b, tolerance=None):
    return a is not None and b is not None and a.shape == b.shape and all(
        close(x, y, tolerance) for x, y in zip(a.ravel().tolist(), b.ravel().tolist()))


def floored(movra, yours):
    """yours is movra rounded down, and movra is not a whole number."""
    if movra is None or yours is None or math.isnan(movra) or math.isinf(movra):
        return False
    return movra != math.floor(movra) and yours == math.floor(movra)


def negated(movra, yours):
    return movra is not None and yours is not None and movra != 0 and close(-movra, yours)


def in_other_unit(movra, yours):
    """'rad2deg' or 'deg2rad' when yours is movra converted, else None:
    yours = movra * pi / 180 is an angle passed in radians where Movra
    passes degrees."""
    if movra is None or yours is None or movra == 0:
        return None
    if close(math.radians(movra), yours):
        return 'radians'
    if close(math.degrees(movra), yours):
        return 'degrees'
    return None


def index_text(flat, shape):
    return diff.index_text(flat, shape)


# -------------------------------------------------------- matrix mistakes ---

def differing_entries(m, y):
    return [i for i, (a, b) in enumerate(zip(m.ravel().tolist(), y.ravel().tolist()))
            if not close(a, b)]


def is_transpose(m, y):
    return (m is not None and y is not None and m.shape == y.shape and
            m.shape[0] == m.shape[1] and differing_entries(m, y) != [] and
            all_close(m.T, y))


def negated_entries(m, y):
    """The differing entries when each of them is negated, else None."""
    if m is None or y is None or m.shape != y.shape:
        return None
    entries = differing_entries(m, y)
    flat_m, flat_y = m.ravel().tolist(), y.ravel().tolist()
    if entries and all(negated(flat_m[i], flat_y[i]) for i in entries):
        return entries
    return None


def floored_entries(m, y):
    if m is None or y is None or m.shape != y.shape:
        return None
    entries = differing_entries(m, y)
    flat_m, flat_y = m.ravel().tolist(), y.ravel().tolist()
    if entries and all(floored(flat_m[i], flat_y[i]) for i in entries):
        return entries
    return None


def product(factors):
    """The matrix product; infinities and NaNs among the factors (a division
    by zero of a learner's) give what they give, without a warning."""
    result = factors[0]
    with np.errstate(all='ignore'):
        for factor in factors[1:]:
            result = np.dot(result, factor)
    return result


def product_orders(m, y, factors):
    """(Movra's order, yours) as lists of factor indexes when m and y are
    products of the same factors (yours' builder results) in two different
    orders, in the same layout (both as they are, or both transposed);
    else None."""
    if m is None or y is None or not 2 <= len(factors) <= MAX_FACTORS:
        return None
    if any(f is None or f.shape != m.shape for f in factors) or m.shape != y.shape:
        return None
    products = [(order, product([factors[i] for i in order]))
                for order in itertools.permutations(range(len(factors)))]
    for layout in (lambda a: a, lambda a: a.T):
        target_m, target_y = layout(m), layout(y)
        movra = [order for order, value in products if all_close(value, target_m)]
        yours = [order for order, value in products if all_close(value, target_y)]
        if movra and yours and not set(movra) & set(yours):
            return list(movra[0]), list(yours[0])
    return None


def order_text(names, order):
    return ' * '.join(names[i] for i in order)


# ---------------------------------------------------------------- builders ---

def builder_hint(name, sets):
    """The hint for a builder, from its differing argument sets: dicts with
    "movra" and "yours" (the results), "probes" (conversion -> Movra's
    result for the converted angle), "tolerance" (for a probe of a float32
    angle, which converts only to float32's precision) and "factors"
    (yours' builder results made inside the call, as [name, encoded]).
    None when none holds."""
    if not sets:
        return None
    pairs = [(matrix(s['movra']), matrix(s['yours'])) for s in sets]
    if any(m is None or y is None or m.shape != y.shape for m, y in pairs):
        return None
    if all(is_transpose(m, y) for m, y in pairs):
        return {'kind': 'transpose',
                'text': 'yours is Movra\'s matrix transposed (rows and columns '
                        'exchanged)%s' % _in_all(sets)}
    orders = []
    for (m, y), entry in zip(pairs, sets):
        names = [f[0] for f in entry.get('factors') or []]
        found = product_orders(m, y, [matrix(f[1]) for f in entry.get('factors') or []])
        orders.append(None if found is None else (order_text(names, found[0]),
                                                  order_text(names, found[1])))
    if all(orders) and len(set(orders)) == 1:
        movra, yours = orders[0]
        return {'kind': 'product-order',
                'text': 'yours multiplies %s where Movra\'s matrix is %s: the same '
                        'matrices in another order%s' % (yours, movra, _in_all(sets))}
    for conversion in ('rad2deg', 'deg2rad'):
        probes = [matrix((s.get('probes') or {}).get(conversion)) for s in sets]
        if all(p is not None for p in probes) and all(
                all_close(p, y, s.get('tolerance'))
                for p, (_m, y), s in zip(probes, pairs, sets)):
            return {'kind': 'degrees-radians',
                    'text': 'yours %s%s' % (CONVERSION_WORDS[conversion], _in_all(sets))}
    floors = [floored_entries(m, y) for m, y in pairs]
    if all(floors):
        return {'kind': 'integer-division',
                'text': 'yours is Movra\'s matrix with %s rounded down, as integer '
                        '(floor) division gives%s' % (
                            _entries_text(floors[0], pairs[0][0].shape), _in_all(sets))}
    signs = [negated_entries(m, y) for m, y in pairs]
    if all(signs):
        return {'kind': 'sign',
                'text': 'yours has the other sign at %s%s' % (
                    _entries_text(signs[0], pairs[0][0].shape), _in_all(sets))}
    return None


def _in_all(sets):
    return ', in %s' % ('the differing argument set' if len(sets) == 1 else
                        'all %d differing argument sets' % len(sets))


def _entries_text(entries, shape):
    return ' and '.join(index_text(i, shape) for i in entries[:4]) + (
        ' and more' if len(entries) > 4 else '')


def global_hint(name, movra, yours):
    """A global's default: only a sign can be named."""
    if negated(number(movra), number(yours)):
        return {'kind': 'sign', 'text': 'yours has the other sign'}
    return None


# ---------------------------------------------------------- one call apart ---

def _differing_arguments(m_call, y_call):
    return [i for i, (a, b) in enumerate(zip(m_call[1], y_call[1]))
            if diff.compare_values(a, b) is not None]


def call_explanations(m_call, y_call, context):
    """Every (kind, variant, phrase) that explains how yours' call differs
    from Movra's at the same position. context: "factors" (yours' builder
    results just before the call, as [name, encoded]) and "probes" (delta
    -> Movra's call at this position in the state shifted by delta)."""
    (m_name, m_args), (y_name, y_args) = m_call, y_call
    found = []
    if m_name != y_name or len(m_args) != len(y_args):
        return found
    for delta, probe in sorted((context.get('probes') or {}).items()):
        if probe is not None and diff.first_call_difference([probe], [y_call]) is None:
            found.append(('tick', delta, None))
    changed = _differing_arguments(m_call, y_call)
    if not changed:
        return found
    numbers_m = [number(a) for a in m_args]
    numbers_y = [number(a) for a in y_args]
    if m_name == 'glViewport' and len(m_args) == 4 and None not in numbers_m + numbers_y:
        found += _viewport(numbers_m, numbers_y)
    if len(changed) == 1 and m_name in MATRIX_CALLS:
        m, y = matrix(m_args[changed[0]]), matrix(y_args[changed[0]])
        if is_transpose(m, y):
            found.append(('transpose', None, 'the matrix yours passes to %s is Movra\'s '
                                             'transposed' % m_name))
        factors = context.get('factors') or []
        orders = product_orders(m, y, [matrix(f[1]) for f in factors])
        if orders is not None:
            names = [f[0] for f in factors]
            found.append(('product-order', None,
                          'the matrix yours passes to %s is %s where Movra\'s is %s: the same '
                          'matrices in another order' % (
                              m_name, order_text(names, orders[1]), order_text(names, orders[0]))))
        if floored_entries(m, y):
            found.append(('integer-division', None, None))
        if negated_entries(m, y):
            found.append(('sign', None, None))
        return found
    if all(floored(numbers_m[i], numbers_y[i]) for i in changed):
        found.append(('integer-division', None, None))
    if len(changed) == 1:
        i = changed[0]
        if negated(numbers_m[i], numbers_y[i]):
            found.append(('sign', None, None))
        unit = in_other_unit(numbers_m[i], numbers_y[i])
        if unit is not None:
            found.append(('degrees-radians', unit, None))
    return found


def _viewport(m, y):
    x, low, width, height = m
    if width != height or width <= 0:
        return []
    if y == [x, low, x + width, low + height]:
        return [('viewport-rectangle', 'corners', None)]
    side = width
    quadrants = {(0, 0): 'Viewport1', (side, 0): 'Viewport2', (0, side): 'Viewport3',
                 (side, side): 'Viewport4'}
    here, there = quadrants.get((x, low)), quadrants.get((y[0], y[1]))
    if here and there and here != there and y[2:] == [width, height]:
        return [('viewport-rectangle', there, None)]
    return []


QUADRANT_WORDS = {'Viewport1': 'the lower left', 'Viewport2': 'the lower right',
                  'Viewport3': 'the upper left', 'Viewport4': 'the upper right'}


def global_explanations(name, movra, yours, probes):
    """(kind, variant, phrase) that explain a global's value afterwards."""
    found = []
    for delta, probe in sorted((probes or {}).items()):
        if probe is not None and diff.compare_values(probe, yours) is None:
            found.append(('tick', delta, None))
    pairs = _number_pairs(movra, yours)
    if pairs:
        changed = [(a, b) for a, b in pairs if not close(a, b)]
        if changed and all(floored(a, b) for a, b in changed):
            found.append(('integer-division', None, None))
        if changed and all(negated(a, b) for a, b in changed):
            found.append(('sign', None, None))
    return found


def _number_pairs(movra, yours):
    if number(movra) is not None and number(yours) is not None:
        return [(number(movra), number(yours))]
    if movra.get('t') in ('list', 'tuple') and yours.get('t') == movra.get('t') and \
            movra.get('length') == yours.get('length'):
        pairs = [(number(a), number(b)) for a, b in zip(movra['items'], yours['items'])]
        if all(a is not None and b is not None for a, b in pairs):
            return pairs
    return None


# ------------------------------------------------------ whole call lists ---

def _same_call(a, b):
    return diff.first_call_difference([a], [b]) is None


def push_pop(movra, yours, movra_owners, yours_owners, yours_raised):
    """The pushes and pops that yours misses or adds, when they alone make
    the two call lists differ: [(missing or extra, call name, function)],
    with the function that makes the call in Movra (a missing one) or in
    yours (an extra one); else None. yours may end early at an extra one
    that raised (a pop of an empty stack)."""
    def owner(owners, index):
        owners = owners or []
        return owners[index] if 0 <= index < len(owners) else None

    def same_owner(i, j):
        return owner(movra_owners, i) == owner(yours_owners, j)
    # Two equal calls are first matched only when the same function makes
    # them, so that a missing pop is named in the function that misses it,
    # not in the caller whose own pop comes next.
    if movra_owners and yours_owners:
        found = _align_push_pop(movra, yours, owner, movra_owners, yours_owners, same_owner,
                                yours_raised)
        if found:
            return found
    return _align_push_pop(movra, yours, owner, movra_owners, yours_owners,
                           lambda i, j: True, yours_raised)


def _align_push_pop(movra, yours, owner, movra_owners, yours_owners, matches, yours_raised):
    i = j = 0
    found = []
    while i < len(movra) or j < len(yours):
        if i < len(movra) and j < len(yours) and _same_call(movra[i], yours[j]) and \
                matches(i, j):
            i += 1
            j += 1
        elif i < len(movra) and movra[i][0] in PUSH_POP:
            found.append(('missing', movra[i][0], owner(movra_owners, i)))
            i += 1
        elif j < len(yours) and yours[j][0] in PUSH_POP:
            found.append(('extra', yours[j][0], owner(yours_owners, j)))
            j += 1
            if yours_raised and j == len(yours) and i < len(movra):
                break
        else:
            return None
    return found or None


def call_order(movra, yours):
    """(first, last) 1-based positions of the span in which yours makes
    Movra's calls in another order, when the two hold the same calls."""
    if len(movra) != len(yours) or not movra:
        return None
    unused = list(range(len(yours)))
    for call in movra:
        for position, index in enumerate(unused):
            if _same_call(call, yours[index]):
                del unused[position]
                break
        else:
            return None
    differing = [k for k in range(len(movra)) if not _same_call(movra[k], yours[k])]
    if not differing:
        return None
    return differing[0] + 1, differing[-1] + 1


def state_explanation(movra, yours, probes):
    """Why yours' reply for one function in one state differs from Movra's:
    (kind, variant, phrase, detail) or None. probes: delta -> Movra's reply
    in the state shifted by delta (or a callable giving it)."""
    if movra.calls is None or yours.calls is None:
        return None
    m_calls, y_calls = movra.calls, yours.calls
    m_error, y_error = movra.error, yours.error
    raised = y_error is not None and (m_error is None or m_error['type'] != y_error['type'])
    if raised or (m_error is not None and y_error is None):
        if raised and m_error is None and y_error.get('type') == 'GLError':
            found = push_pop(m_calls, y_calls, movra.owners, yours.owners, True)
            if found:
                return _push_pop_explanation(found)
        return None
    if movra.result is not None and yours.result is not None and \
            diff.compare_values(movra.result, yours.result) is not None:
        return None
    if len(m_calls) != len(y_calls) or any(
            m[0] != y[0] for m, y in zip(m_calls, y_calls)):
        found = push_pop(m_calls, y_calls, movra.owners, yours.owners, False)
        if found:
            return _push_pop_explanation(found)
        span = call_order(m_calls, y_calls)
        if span is not None and _globals_equal(movra, yours):
            return ('call-order', None, None,
                    {'calls': len(m_calls), 'first': span[0], 'last': span[1]})
        return None
    if (movra.depth or {}) != (yours.depth or {}):
        return None
    fetched = {}

    def probe(delta):
        if delta not in fetched:
            source = probes(delta) if callable(probes) else (probes or {}).get(delta)
            fetched[delta] = source
        return fetched[delta]
    candidates = None
    detail = None
    positions = [k for k in range(len(m_calls)) if not _same_call(m_calls[k], y_calls[k])]
    for k in positions:
        context = {'factors': _factors_at(yours, k), 'probes': {}}
        here = call_explanations(m_calls[k], y_calls[k], context)
        if not here and (candidates is None or any(c[0] == 'tick' for c in candidates)):
            for delta in (1, -1):
                reply = probe(delta)
                if reply and len(reply.calls or []) == len(m_calls):
                    context['probes'][delta] = reply.calls[k]
            here = call_explanations(m_calls[k], y_calls[k], context)
        candidates = _narrow(candidates, here)
        if detail is None:
            detail = {'call': k + 1, 'movra': diff.call_text(m_calls[k]),
                      'yours': diff.call_text(y_calls[k]),
                      'phrases': dict(((e[0], e[1]), e[2]) for e in here if e[2])}
        if not candidates:
            return None
    for name in sorted(set(movra.globals or {}) & set(yours.globals or {})):
        a, b = movra.globals[name], yours.globals[name]
        if diff.compare_values(a, b) is None:
            continue
        shifted = {}
        for delta in (1, -1):
            reply = probe(delta)
            if reply and name in (reply.globals or {}):
                shifted[delta] = reply.globals[name]
        candidates = _narrow(candidates, global_explanations(name, a, b, shifted))
        if detail is None:
            detail = {'global': name, 'movra': diff.value_text(a), 'yours': diff.value_text(b),
                      'phrases': {}}
        if not candidates:
            return None
    if not candidates:
        return None
    kind, variant = _first(candidates)
    phrase = (detail or {}).get('phrases', {}).get((kind, variant))
    return kind, variant, phrase, detail


def _narrow(candidates, explanations):
    here = set((kind, variant) for kind, variant, _phrase in explanations)
    return here if candidates is None else candidates & here


def _first(candidates):
    return min(candidates, key=lambda c: (KINDS.index(c[0]), repr(c[1])))


def _globals_equal(movra, yours):
    a, b = movra.globals or {}, yours.globals or {}
    return all(diff.compare_values(a[n], b[n]) is None for n in set(a) & set(b))


def _factors_at(yours, position):
    """yours' top-level builder results made right before call `position`."""
    return [[b['name'], b['result']] for b in yours.builders or []
            if b.get('at') == position and b.get('level') == 0]


def _push_pop_explanation(found):
    variant = tuple(sorted(set(found)))
    return 'push-pop', variant, None, {'calls': found}


# -------------------------------------------------------- one function ---

def function_hint(name, explanations):
    """The hint for a drawing function from the explanations of its
    differing states (None for a state that none explains): given only
    when every differing state is explained the same way."""
    if not explanations or any(e is None for e in explanations):
        return None
    kinds = set((e[0], e[1]) for e in explanations)
    if len(kinds) != 1:
        return None
    kind, variant, phrase, detail = explanations[0]
    text = _function_text(kind, variant, phrase, detail)
    found = {'kind': kind, 'text': text, 'function': name, 'detail': detail}
    if kind == 'call-order':
        found['key'] = 'call-order'     # the same mistake, wherever its span is
    return found


def _function_text(kind, variant, phrase, detail):
    detail = detail or {}
    where = ''
    if 'call' in detail:
        where = ' (Movra %s, yours %s)' % (detail['movra'], detail['yours'])
    elif 'global' in detail:
        where = ' (global %s afterwards: Movra %s, yours %s)' % (
            detail['global'], detail['movra'], detail['yours'])
    if kind == 'viewport-rectangle':
        if variant == 'corners':
            return ('glViewport is given the upper right corner where it takes the width '
                    'and the height' + where)
        return ('glViewport is given %s quadrant, the one of %s%s' % (
            QUADRANT_WORDS[variant], variant, where))
    if kind == 'transpose' or kind == 'product-order':
        return phrase or kind
    if kind == 'degrees-radians':
        return ('an angle is passed in %s where Movra passes %s%s' % (
            variant, 'degrees' if variant == 'radians' else 'radians', where))
    if kind == 'integer-division':
        return ('a value is Movra\'s rounded down, as integer (floor) division gives: `//`, '
                'or `/` between two ints under Python 2' + where)
    if kind == 'tick':
        return ('the values that differ are Movra\'s of one animation tick %s, in every '
                'state where they differ' % ('later' if variant > 0 else 'earlier'))
    if kind == 'sign':
        return 'a value has the other sign' + where
    if kind == 'push-pop':
        parts = []
        for how, call, owner in variant:
            parts.append('%s %s %s' % ('a' if how == 'missing' else 'an extra', call,
                                       ('missing in %s' if how == 'missing' else 'in %s')
                                       % (owner or 'yours')))
        return '; '.join(parts)
    if kind == 'call-order':
        return ('the same calls as Movra\'s, in another order (calls %d to %d of %d differ '
                'in place)' % (detail['first'], detail['last'], detail['calls']))
    return kind


# ------------------------------------------------------------ the report ---

def merge(found):
    """One hint per kind and text, naming every item it explains, in the
    order of the items."""
    merged = []
    by_key = {}
    for hint in found:
        key = (hint['kind'], hint.get('key') or hint['text'])
        if key in by_key:
            by_key[key]['explains'].append(hint['item'])
            continue
        entry = {'kind': hint['kind'], 'text': hint['text'], 'explains': [hint['item']]}
        by_key[key] = entry
        merged.append(entry)
    return merged
