"""What the million-call leak check (scripts/fuzz_leaks.py) counts as a change."""
import os
import sys

import pytest

from conftest import ROOT

sys.path.insert(0, os.path.join(ROOT, 'scripts'))
import fuzz_leaks  # noqa: E402

NAME = 'a name of its own'
WATCHED = [('None (global myQuadric)', None), ('True (global viewport4Sol1)', True),
           ('global translate', len), ('name %r' % NAME, NAME)]
SLACK = fuzz_leaks.SINGLETON_SLACK


@pytest.mark.parametrize('now, changed, tolerated', [
    # Nothing moved.
    ([10, 20, 30, 40], [], []),
    # The singletons may stray by the slack, either way, and are still shown.
    ([10 + SLACK, 20 - 1, 30, 40], [], ['None (global myQuadric): 10 -> %d' % (10 + SLACK),
                                        'True (global viewport4Sol1): 20 -> 19']),
    # Beyond it, they count.
    ([10 + SLACK + 1, 20, 30, 40], ['None (global myQuadric): 10 -> %d' % (10 + SLACK + 1)], []),
    # Anything else counts at one reference.
    ([10, 20, 31, 39], ['global translate: 30 -> 31', "name %r: 40 -> 39" % NAME], []),
])
def test_changes(now, changed, tolerated):
    found, allowed = fuzz_leaks.changes(WATCHED, [10, 20, 30, 40], now)
    assert found == changed
    assert [line.split(' (the interpreter')[0] for line in allowed] == tolerated


def test_only_the_interpreters_singletons_have_slack():
    assert all(fuzz_leaks.is_singleton(v) for v in (None, True, False, Ellipsis, NotImplemented))
    assert not any(fuzz_leaks.is_singleton(v) for v in (0, 1, '', (), 1.0, len))
