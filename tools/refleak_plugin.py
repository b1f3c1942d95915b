"""pytest plugin for reference and memory leak hunting on a debug interpreter.

Each test body runs WARMUP + RUNS times in a row; after every run the cyclic
collector runs and sys.gettotalrefcount() and sys.getallocatedblocks() are
read. As in CPython's own `regrtest -R`, a test leaks when every one of the
measured runs grew a count; it must do so in two windows in a row.
"""

import gc
import sys

import pytest

WARMUP = 3
RUNS = 3
WINDOWS = 2


def pytest_configure(config):
    config.addinivalue_line("markers", "no_refleak: run once, not in the leak loop")
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("the refleak plugin needs a debug build of Python")


def counts():
    # The method cache holds a reference to each attribute name it has seen,
    # keyed by address, so names built at run time fill it for thousands of
    # calls (datetime.utcoffset() is one such caller); regrtest clears it too.
    sys._clear_type_cache()
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def measure(function, args, ref_deltas, block_deltas):
    refs, blocks = counts()
    for i in range(RUNS):
        function(**args)
        refs_after, blocks_after = counts()
        ref_deltas[i] = refs_after - refs
        block_deltas[i] = blocks_after - blocks
        refs, blocks = refs_after, blocks_after


def leak_report(ref_deltas, block_deltas):
    if all(d >= 1 for d in ref_deltas):
        return f"leaked references: {ref_deltas} over {RUNS} runs"
    if all(d >= 1 for d in block_deltas):
        return f"leaked memory blocks: {block_deltas} over {RUNS} runs"
    return None


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    if pyfuncitem.get_closest_marker("no_refleak"):
        return None
    function = pyfuncitem.obj
    args = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    # Preallocated, and filled with small ints the interpreter caches, so that
    # the bookkeeping itself adds no references between two readings.
    ref_deltas = [0] * RUNS
    block_deltas = [0] * RUNS
    for _ in range(WARMUP):
        function(**args)
    # Other caches of the interpreter may still grow through one window; a
    # real leak grows in every run, so it shows again in the next.
    reports = []
    for _ in range(WINDOWS):
        measure(function, args, ref_deltas, block_deltas)
        report = leak_report(ref_deltas, block_deltas)
        if report is None:
            return True
        reports.append(report)
    pytest.fail("; then ".join(reports), pytrace=False)
