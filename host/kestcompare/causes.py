"""Cause first: which item's difference explains the differences of others.

The functions of the module feed each other: the tick (updateAnimationVariables)
makes the animation state that every drawing function reads, a viewport
draws through drawScene, drawMovingCamera and the others, drawMain through
the four viewports, Viewport3 and Viewport4 through the matrix builders,
perspective through projective, scale and translate. A learner's single
mistake in one of them therefore shows in all that it feeds. An item is
explained by others only when a test shows that, with Movra's part in place
of yours, yours is Movra's, in every state (or argument set) in which it
differs:

- the tick: yours, given Movra's animation state (movingCameraAngle and
  movingCameraPos as Movra's ticks leave them) in place of the one your
  own ticks made, draws exactly what Movra draws; the tool runs this, in
  yours' sandbox, only for a file whose tick differs;
- a function of the file that it calls: with every call it makes of that
  function replaced by Movra's own calls of it in the same state, its calls
  are Movra's;
- a matrix builder: each matrix it passes (or returns) is the product of
  the builder results it made just before, in the same order as Movra's is
  of Movra's results for the very same arguments; only the results differ.

Nothing here is a guess from one value: each test is on the recorded calls
and values of both sides, as compare.py made them; the tool computes it
outside the boxes. Pictures are never explained: they are what a learner
sees.
"""
from __future__ import absolute_import, division, print_function

import itertools

from kestcompare import cases, diff, hints

TICK = 'updateAnimationVariables'
ANIMATION = ('movingCameraAngle', 'movingCameraPos')
# What a substitution can account for; any other difference (an exception,
# a call that did not return, a result) is the function's own.
EXPLAINABLE = ('calls', 'depth', 'global')


def animation_differs(m, y):
    """Whether yours' animation globals (as the state left them) differ from
    Movra's."""
    for name in ANIMATION:
        a, b = (m.globals or {}).get(name), (y.globals or {}).get(name)
        if a is not None and b is not None and diff.compare_values(a, b) is not None:
            return True
    return False


def differing_kinds(entry):
    """The kinds of a compare_state entry's differences, printed output and
    warnings left out."""
    return set(d['kind'] for d in entry['differences']
               if d['kind'] not in ('output', 'warnings'))


def only_animation_globals(m, y):
    """Every global that differs afterwards is an animation global."""
    a, b = m.globals or {}, y.globals or {}
    return all(name in ANIMATION for name in set(a) & set(b)
               if diff.compare_values(a[name], b[name]) is not None)


# ------------------------------------------------------ matrix factors ---

def _same_arguments(a, b):
    if a is None or b is None or len(a) != len(b):
        return False
    for x, y in zip(a, b):
        if isinstance(x, list) != isinstance(y, list):
            return False
        if isinstance(x, list):
            if x[0] != y[0] or diff.compare_values(x[1], y[1]) is not None:
                return False
        elif diff.compare_values(x, y) is not None:
            return False
    return True


def factor_causes(m_value, y_value, m_factors, y_factors):
    """The builders whose results alone make y_value differ from m_value:
    both the product of their factors (builder entries of the same names
    and arguments) in the same order and layout; a set of builder names,
    or None when that does not hold."""
    if not m_factors or len(m_factors) != len(y_factors) or \
            len(m_factors) > hints.MAX_FACTORS:
        return None
    for a, b in zip(m_factors, y_factors):
        if a['name'] != b['name'] or not _same_arguments(a.get('args'), b.get('args')):
            return None
    target_m, target_y = hints.matrix(m_value), hints.matrix(y_value)
    m_mats = [hints.matrix(f['result']) for f in m_factors]
    y_mats = [hints.matrix(f['result']) for f in y_factors]
    if target_m is None or target_y is None or any(
            f is None or f.shape != target_m.shape for f in m_mats + y_mats):
        return None
    differing = set(a['name'] for a, x, y in zip(m_factors, m_mats, y_mats)
                    if not hints.all_close(x, y))
    if not differing:
        return None
    for layout in (lambda a: a, lambda a: a.T):
        for order in itertools.permutations(range(len(m_mats))):
            if hints.all_close(hints.product([m_mats[i] for i in order]), layout(target_m)) \
                    and hints.all_close(hints.product([y_mats[i] for i in order]),
                                        layout(target_y)):
                return differing
    return None


def _factors(reply, caller, level, low, high):
    return [b for b in reply.builders or [] if b.get('caller') == caller and
            b.get('level') == level and low < b['at'] <= high]


def builder_causes(name, sets):
    """The builders that explain a builder's differing argument sets
    [(Movra's reply, yours)]: a set, or None."""
    found = set()
    for m, y in sets:
        if m.result is None or y.result is None or y.failed or y.error or m.error:
            return None
        here = factor_causes(m.result, y.result, _factors(m, name, 1, -1, 1 << 30),
                             _factors(y, name, 1, -1, 1 << 30))
        if not here:
            return None
        found |= here
    return found


# ------------------------------------------------------ drawing functions ---

def substituted(name, y, movra_calls_of):
    """Yours' calls with each call of a function of the file that `name`
    makes directly replaced by Movra's calls of that function in the same
    state: [(call, position in yours or None)], and the callees whose own
    calls differ from Movra's; None when that cannot be made."""
    spans = sorted((s for s in y.spans or [] if s[3] == 1 and s[0] in cases.DRAWING),
                   key=lambda s: s[1])
    calls = y.calls or []
    if y.spans is None or len(calls) != (y.calls_made or len(calls)):
        return None
    out, differing, position = [], set(), 0
    for callee, first, end, _depth in spans:
        if first < position or end > len(calls):
            return None
        movra = movra_calls_of(callee)
        if movra is None:
            return None
        out += [(call, k) for k, call in enumerate(calls[position:first], position)]
        out += [(call, None) for call in movra]
        if diff.first_call_difference(movra, calls[first:end]) is not None:
            differing.add(callee)
        position = end
    out += [(call, k) for k, call in enumerate(calls[position:], position)]
    return out, differing


def call_causes(name, m, y, movra_calls_of):
    """The items whose differences make yours' calls of `name` differ from
    Movra's in one state (callees, builders): a set, or None when yours'
    own calls differ."""
    made = substituted(name, y, movra_calls_of)
    if made is None:
        return None
    ours, found = made
    movra = m.calls or []
    if len(ours) != len(movra):
        return None
    last_m = last_y = -1
    for p, ((call, k), m_call) in enumerate(zip(ours, movra)):
        matrix_call = m_call[0] in hints.MATRIX_CALLS
        if diff.first_call_difference([m_call], [call]) is None:
            if matrix_call and k is not None:
                last_m, last_y = p, k
            continue
        if k is None or call[0] != m_call[0] or not matrix_call or \
                len(call[1]) != len(m_call[1]):
            return None
        changed = [i for i, (a, b) in enumerate(zip(m_call[1], call[1]))
                   if diff.compare_values(a, b) is not None]
        if len(changed) != 1:
            return None
        here = factor_causes(m_call[1][changed[0]], call[1][changed[0]],
                             _factors(m, name, 0, last_m, p), _factors(y, name, 0, last_y, k))
        if not here:
            return None
        found |= here
        last_m, last_y = p, k
    return found


class Finder(object):
    """Collects, function by function and state by state, what explains each
    difference; then says which items are the causes and what each one
    explains.

    replies: {(function, state): (Movra's reply, yours)} of every state that
    was compared; different: the items that differ (not by output alone);
    tick_probe(function, state, Movra's reply): yours' reply for that
    function in that state made from Movra's animation state, or None."""

    def __init__(self, replies, different, tick_probe=None, limits=None, limit=5.0):
        self.replies = replies
        self.different = set(different)
        self.tick_probe = tick_probe
        self.limits = limits
        self.limit = limit
        self.explained_by = {}     # item -> the items that explain it directly
        self.how = {}              # item -> "tick", "callees", "builders"

    def movra_calls(self, state):
        def of(callee):
            pair = self.replies.get((callee, state))
            return None if pair is None or pair[0].calls is None else pair[0].calls
        return of

    def state_causes(self, name, state, m, y):
        """What explains yours' `name` in `state`: a set of items, or None."""
        from kestcompare.compare import compare_state
        entry = compare_state(m, y, self.limit, name, self.limits)
        kinds = differing_kinds(entry)
        if not kinds:
            return set()
        found = set()
        if name != TICK and TICK in self.different and cases.state(state)[1] > 0 and \
                animation_differs(m, y) and self.tick_probe is not None:
            probe = self.tick_probe(name, state, m)
            if probe is not None and not probe.failed and not probe.internal_error:
                found.add(TICK)
                y = probe
                kinds = differing_kinds(compare_state(m, y, self.limit, name, self.limits))
                if not kinds:
                    return found
        if not kinds <= set(EXPLAINABLE):
            return None
        if 'global' in kinds and not (TICK in found and only_animation_globals(m, y)):
            return None
        if 'calls' in kinds or 'depth' in kinds:
            here = call_causes(name, m, y, self.movra_calls(state))
            if not here:
                return None
            found |= here
        return found

    def function(self, name):
        """Tests one drawing function over its differing states."""
        if name not in self.different:
            return
        found = set()
        states = [s for (f, s) in self.replies if f == name]
        for state in states:
            m, y = self.replies[(name, state)]
            here = self.state_causes(name, state, m, y)
            if here is None:
                return
            found |= here
        found.discard(name)
        if found and found <= self.different:
            self.explained_by[name] = sorted(found, key=order_key)

    def builder(self, name, sets):
        if name not in self.different or not sets:
            return
        found = builder_causes(name, sets)
        if found:
            found.discard(name)
        if found and found <= self.different:
            self.explained_by[name] = sorted(found, key=order_key)

    def roots(self, item, seen=None):
        """The causes at the bottom of an explained item's chain."""
        seen = set() if seen is None else seen
        if item in seen:
            return []
        seen.add(item)
        if item not in self.explained_by:
            return [item]
        found = []
        for cause in self.explained_by[item]:
            for root in self.roots(cause, seen):
                if root not in found:
                    found.append(root)
        return found

    def causes(self):
        """[{"item": a cause, "explains": [items]}] in the order of the
        items, and {item: [its causes]} of every explained item."""
        explained = {}
        for item in self.explained_by:
            roots = [r for r in self.roots(item) if r != item]
            if roots:
                explained[item] = sorted(roots, key=order_key)
        by_root = {}
        for item in sorted(explained, key=order_key):
            for root in explained[item]:
                by_root.setdefault(root, []).append(item)
        return ([{'item': root, 'explains': by_root[root]}
                 for root in sorted(by_root, key=order_key)], explained)


def order_key(item):
    """The order of the report's items: the builders, then the functions in
    the order the module binds them."""
    order = list(cases.BUILDERS) + [f for f in cases.FUNCTIONS if f not in cases.BUILDERS]
    return (order.index(item), item) if item in order else (len(order), item)


def cause_first(items, found, explained):
    """The report's items with each cause first: every cause that explains
    others (with "explains"), right after it the items it explains (with
    "explained_by"), then the other differences in their order; the items
    that are the same keep theirs, after them."""
    roots = dict((entry['item'], entry['explains']) for entry in found)
    marked = []
    for item in items:
        item = dict(item)
        item.pop('explains', None)
        item.pop('explained_by', None)
        if item['different'] and item['category'] == 'calls':
            if item.get('item') in explained:
                item['explained_by'] = list(explained[item['item']])
            if item.get('item') in roots:
                item['explains'] = list(roots[item['item']])
        marked.append(item)
    different = [item for item in marked if item['different']]
    ordered, placed = [], set()

    def place(item):
        if id(item) not in placed:
            placed.add(id(item))
            ordered.append(item)
    for item in different:
        if not item.get('explains'):
            continue
        place(item)
        for name in item['explains']:
            for other in different:
                if other.get('item') == name and other.get('explained_by'):
                    place(other)
    for item in different:
        place(item)
    return ordered + [item for item in marked if not item['different']]
