"""A store and its process: acknowledged writes survive a SIGKILL, Ctrl-C
stops evaluation, fork() is refused."""

import gc
import json
import os
import select
import signal
import subprocess
import sys
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
    # About a thousand passes: a tenth of a full run spans many polls for signals.
    n, depth = 1000, 10**6
    reference = chain_store(n)
    start = time.monotonic()
    assert reference.materialize("main", depth)["iterations"] == n - 1
    full_time = time.monotonic() - start
    s = chain_store(n)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    # The timer's handler runs once the evaluation polls for signals; the
    # real SIGINT it sends becomes KeyboardInterrupt at the next poll.
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
    assert elapsed < full_time / 2 and s.idb_watermark("main") is None
    assert 0 < len(s.query_predicate("path")) < len(reference.query_predicate("path"))
    s.materialize("main", depth)
    assert s.query_predicate("path") == reference.query_predicate("path")
    assert s.idb_watermark("main") == reference.idb_watermark("main")


def test_store_refuses_use_after_fork(paths):
    s = NativeStore(*paths)
    a = s.intern("a")
    written = [s.assert_fact("main", "p", 1, [a], 0.5, 0.0)]
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
            f"NativeStore was opened in process {os.getpid()} and cannot be used in process "
            f"{pid} (after fork); open a new store in this process"] * 7
    written.append(s.assert_fact("main", "p", 1, [a], 0.1, 0.0))
    s.materialize("main")
    del s, calls
    gc.collect()
    reopened = NativeStore(*paths)
    assert [f["event_id"] for f in reopened.get_facts("main")] == written
    assert (reopened.current_watermark(), reopened.resolve(a), reopened.intern("b")) == (
        written[-1], "a", a + 1)


# Writes a known history, prints what the store then reads back, and waits
# to be killed.
WRITER = r"""
import json, sys, time
from ruvo import NativeStore
s = NativeStore(sys.argv[1], sys.argv[2])
s.configure_predicate("score", "noisy_or", "none")
a, b = s.intern_batch(["alice", "bob"])
s.retract_fact("main", s.assert_fact("main", "knows", 2, [b, a], 0.7, 0.0))
s.assert_fact("main", "knows", 2, [a, b], 0.9, 0.0, "seed")
s.assert_fact("main", "score", 1, [a], 0.5, 0.0)
s.add_rule("main", 7, "friend", 2, ["X", "Y"],
           [{"pred_name": "knows", "pred_arity": 2, "args": ["X", "Y"]}], 1.0, 0.0)
s.add_constraint("side", 3, [], 0.5, 0.0)
s.materialize("main")
print(json.dumps((READ)(s)), flush=True)
time.sleep(600)
"""
READ = """lambda s: [s.resolve_batch([1, 2, 3]), s.get_facts("main"), s.get_rules("main"),
                 s.get_constraints("side"), s.list_branches(), s.current_watermark(),
                 s.idb_watermark("main")]"""


def test_acknowledged_writes_survive_sigkill_and_reopen(paths):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    writer = subprocess.Popen([sys.executable, "-c", WRITER.replace("READ", READ), *paths],
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        written = json.loads(writer.stdout.readline())
    finally:
        writer.kill()  # SIGKILL
    assert writer.wait(timeout=60) == -signal.SIGKILL
    s = NativeStore(*paths)
    assert json.loads(json.dumps(eval(READ)(s))) == written
    assert written[0] == ["alice", "bob", None] and len(written[1]) == 2 and written[-1] == 6
    # Queries know no predicate before this session's first materialisation.
    assert s.intern("alice") == 1 and s.query_predicate("friend") == []
    s.materialize("main")
    assert s.query_predicate_bulk("friend") == [([1, 2], 0.9, 0.0)]
    # The noisy-or state of the first session was kept and is folded into again.
    assert s.get_atom_state("score", [1])["b"] == pytest.approx(0.75)
