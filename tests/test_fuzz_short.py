"""A short run of the robustness fuzzer (scripts/fuzz.py; `make fuzz` runs
the long one): hostile globals and arguments never crash the interpreter,
every failure is an exception with the module records the fuzzer checks, and
the matrix stacks change only as allowed."""
import imp
import os

import pytest

from conftest import PRISTINE, ROOT

fuzz = imp.load_source('movra_fuzz', os.path.join(ROOT, 'scripts', 'fuzz.py'))


@pytest.mark.parametrize('seed', [11, 29])
def test_short_fuzz_run_finds_no_violation(seed):
    fuzz.PRISTINE.clear()
    fuzz.PRISTINE.update(PRISTINE)
    fuzzer = fuzz.Fuzzer(seed)
    assert fuzzer.run(1000) == []
    stats = fuzzer.stats
    # The run exercised both outcomes and every check.
    assert stats['calls'] == 1000 and stats['ok'] > 100 and stats['failed'] > 100
    assert stats['refused'] > 0 and stats['depth_checks'] > 500 and stats['per_stack_checks'] > 100
    assert len(fuzzer.sites) > 60 and len(fuzzer.errors) > 4
