"""A store within its process: Ctrl-C during evaluation."""

import os
import signal
import time

import pytest

from conftest import atom
from ruvo import NativeStore


def chain_store(n):
    """Transitive closure over a chain of n nodes: one pass per path length."""
    s = NativeStore.new_temporary()
    ids = s.intern_batch([f"n{i}" for i in range(n)])
    s.assert_facts_bulk("main", [("edge", 2, [x, y], 1.0, 0.0, None)
                                 for x, y in zip(ids, ids[1:])])
    s.add_rule("main", 1, "path", 2, ["X", "Y"], [atom("edge", "X", "Y")], 1.0, 0.0)
    s.add_rule("main", 2, "path", 2, ["X", "Z"],
               [atom("path", "X", "Y"), atom("edge", "Y", "Z")], 1.0, 0.0)
    return s


def test_sigint_stops_materialize_and_leaves_the_store_usable():
    n, depth = 220, 10**6
    reference = chain_store(n)
    start = time.monotonic()
    full = reference.materialize("main", depth)
    full_time = time.monotonic() - start
    expected = reference.query_predicate("path")
    assert full["iterations"] == n - 1

    s = chain_store(n)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    # The timer's handler only runs once the evaluation polls for signals;
    # it then sends a real SIGINT, which the next poll turns into
    # KeyboardInterrupt.
    signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGINT))
    try:
        start = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, full_time / 10)
        s.materialize("main", depth)
        time.sleep(full_time)  # a late signal lands here
        pytest.fail("no KeyboardInterrupt")
    except KeyboardInterrupt:
        elapsed = time.monotonic() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
        signal.signal(signal.SIGINT, previous)
    assert elapsed < full_time / 2
    assert s.idb_watermark("main") is None
    assert 0 < len(s.query_predicate("path")) < len(expected)
    s.materialize("main", depth)
    assert s.query_predicate("path") == expected
    assert s.idb_watermark("main") == reference.idb_watermark("main")

