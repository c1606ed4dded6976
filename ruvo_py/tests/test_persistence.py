"""A file-backed store keeps what it acknowledged: across a reopen and a SIGKILL."""

import gc
import os
import signal
import subprocess
import sys

import pytest

from ruvo import NativeStore

# Writes a known history and prints one line per acknowledged write.
WRITER = r"""
import sys, time
from ruvo import NativeStore

s = NativeStore(sys.argv[1], sys.argv[2])
s.configure_predicate("score", "noisy_or", "none")
a, b = s.intern_batch(["alice", "bob"])
print("symbols", a, b, flush=True)
print("fact", s.assert_fact("main", "knows", 2, [a, b], 0.9, 0.0, "seed"), flush=True)
print("fact", s.assert_fact("main", "score", 1, [a], 0.5, 0.0), flush=True)
gone = s.assert_fact("main", "knows", 2, [b, a], 0.7, 0.0)
print("retraction", s.retract_fact("main", gone), flush=True)
print("rule", s.add_rule("main", 7, "friend", 2, ["X", "Y"],
                         [{"pred_name": "knows", "pred_arity": 2, "args": ["X", "Y"]}],
                         1.0, 0.0), flush=True)
print("constraint", s.add_constraint("side", 3, [], 0.5, 0.0), flush=True)
print("stats", s.materialize("main"), flush=True)
print("watermark", s.idb_watermark("main"), flush=True)
print("ready", flush=True)
if sys.argv[3] == "wait":
    time.sleep(600)
"""


def check_reopened(edb, idb):
    s = NativeStore(edb, idb)
    assert s.resolve_batch([1, 2]) == ["alice", "bob"]
    assert s.intern("alice") == 1
    facts = sorted(s.get_facts("main"), key=lambda f: f["event_id"])
    assert [(f["pred_name"], f["args"], f["b"], f["source"]) for f in facts] == [
        ("knows", [1, 2], 0.9, "seed"), ("score", [1], 0.5, None)]
    (rule,) = s.get_rules("main")
    assert rule["id"] == 7 and rule["head_args"] == [{"Var": "X"}, {"Var": "Y"}]
    assert s.get_constraints("side") == [{"id": 3, "body": [], "b": 0.5, "d": 0.0}]
    assert s.list_branches() == ["main", "side"]
    assert s.current_watermark() == 6
    assert s.idb_watermark("main") == 6
    # Queries know no predicate before this session's first materialisation.
    assert s.query_predicate("friend") == []
    s.materialize("main")
    assert s.query_predicate_bulk("friend") == [([1, 2], 0.9, 0.0)]
    # The noisy-or state of the first session was kept and is folded into again.
    assert s.get_atom_state("score", [1])["b"] == pytest.approx(0.75)


def run_writer(edb, idb, mode):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.Popen([sys.executable, "-c", WRITER, edb, idb, mode],
                            stdout=subprocess.PIPE, text=True, env=env)


def test_dropped_store_reopens_with_everything(paths):
    edb, idb = paths
    writer = run_writer(edb, idb, "exit")
    out, _ = writer.communicate(timeout=120)
    assert writer.returncode == 0 and out.splitlines()[-1] == "ready"
    check_reopened(edb, idb)
    gc.collect()
    # Also within one process: the last reference closes both databases.
    s = NativeStore(edb, idb)
    s.assert_fact("main", "knows", 2, [2, 1], 0.1, 0.0)
    del s
    assert NativeStore(edb, idb).current_watermark() == 7


def test_sigkill_after_acknowledged_writes_loses_nothing(paths):
    edb, idb = paths
    writer = run_writer(edb, idb, "wait")
    try:
        lines = []
        for line in writer.stdout:
            lines.append(line.strip())
            if line.strip() == "ready":
                break
        assert lines[-1] == "ready", lines
        assert "watermark 6" in lines
        os.kill(writer.pid, signal.SIGKILL)
        assert writer.wait(timeout=60) == -signal.SIGKILL
    finally:
        if writer.poll() is None:
            writer.kill()
            writer.wait()
    check_reopened(edb, idb)
