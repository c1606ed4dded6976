"""A file-backed store keeps what it acknowledged: across a SIGKILL and a reopen."""

import gc
import json
import os
import signal
import subprocess
import sys

import pytest

from ruvo import NativeStore

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
    edb, idb = paths
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    writer = subprocess.Popen([sys.executable, "-c", WRITER.replace("READ", READ), edb, idb],
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        written = json.loads(writer.stdout.readline())
        os.kill(writer.pid, signal.SIGKILL)
        assert writer.wait(timeout=60) == -signal.SIGKILL
    finally:
        if writer.poll() is None:
            writer.kill()
            writer.wait()
    s = NativeStore(edb, idb)
    assert json.loads(json.dumps(eval(READ)(s))) == written
    assert written[0] == ["alice", "bob", None] and len(written[1]) == 2 and written[-1] == 6
    assert s.intern("alice") == 1
    # Queries know no predicate before this session's first materialisation.
    assert s.query_predicate("friend") == []
    s.materialize("main")
    assert s.query_predicate_bulk("friend") == [([1, 2], 0.9, 0.0)]
    # The noisy-or state of the first session was kept and is folded into again.
    assert s.get_atom_state("score", [1])["b"] == pytest.approx(0.75)
    # Within one process too: the last reference closes both databases.
    s.assert_fact("main", "knows", 2, [2, 1], 0.1, 0.0)
    del s
    gc.collect()
    assert NativeStore(edb, idb).current_watermark() == 7
    # So does a process that exits with the store still open.
    subprocess.run([sys.executable, "-c", "import sys; from ruvo import NativeStore; "
                    "s = NativeStore(*sys.argv[1:]); s.retract_fact('main', 1)", edb, idb],
                   env=env, check=True, timeout=120)
    assert NativeStore(edb, idb).current_watermark() == 8
