"""A store within its process: Ctrl-C during evaluation, and fork()."""

import gc
import json
import os
import select
import signal
import time
import warnings

import pytest

from conftest import atom
from ruvo import NativeStore


def chain_store(n):
    """Transitive closure over a chain of n nodes: one pass per path length."""
    s = NativeStore.new_temporary()
    ids = s.intern_batch([f"n{i}" for i in range(n)])
    s.assert_facts_bulk("main", [("edge", 2, [x, y], 1.0, 0.0, None) for x, y in zip(ids, ids[1:])])
    s.add_rule("main", 1, "path", 2, ["X", "Y"], [atom("edge", "X", "Y")], 1.0, 0.0)
    s.add_rule("main", 2, "path", 2, ["X", "Z"],
               [atom("path", "X", "Y"), atom("edge", "Y", "Z")], 1.0, 0.0)
    return s


def test_sigint_stops_materialize_and_leaves_the_store_usable():
    # Long enough (about a thousand passes) that a tenth of a full run
    # spans many polls for signals.
    n, depth = 1000, 10**6
    reference = chain_store(n)
    start = time.monotonic()
    assert reference.materialize("main", depth)["iterations"] == n - 1
    full_time = time.monotonic() - start
    expected = reference.query_predicate("path")

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


def test_store_refuses_use_after_fork(paths):
    s = NativeStore(*paths)
    a = s.intern("a")
    written = [s.assert_fact("main", "p", 1, [a], 0.5, 0.0)]
    parent = os.getpid()
    calls = [lambda: s.assert_fact("main", "p", 1, [a], 0.5, 0.0), lambda: s.intern("b"),
             lambda: s.resolve(a), lambda: s.materialize("main"), lambda: s.flush(),
             lambda: s.current_watermark(), lambda: s.get_facts("main")]
    r, w = os.pipe()
    with warnings.catch_warnings():  # the store's background threads
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        try:
            messages = []
            for call in calls:
                try:
                    messages.append(["returned", repr(call())])
                except RuntimeError as e:
                    messages.append(str(e))
            s = calls = None  # dropping it must leave the parent's databases alone
            gc.collect()
            os.write(w, json.dumps(messages).encode())
        finally:
            os._exit(0)
    os.close(w)
    if not select.select([r], [], [], 60)[0]:
        os.kill(pid, signal.SIGKILL)  # hung
    os.waitpid(pid, 0)
    with os.fdopen(r, "rb") as pipe:
        assert json.loads(pipe.read() or b"null") == [
            f"NativeStore was opened in process {parent} and cannot be used in process "
            f"{pid} (after fork); open a new store in this process"] * 7
    written.append(s.assert_fact("main", "p", 1, [a], 0.1, 0.0))
    s.materialize("main")
    del s, calls
    gc.collect()
    reopened = NativeStore(*paths)
    assert [f["event_id"] for f in reopened.get_facts("main")] == written
    assert reopened.current_watermark() == written[-1]
    assert reopened.resolve(a) == "a" and reopened.intern("b") == a + 1
