"""No method leaks references or memory over many calls."""

import gc
import sys

import pytest

from conftest import atom
from ruvo import NativeStore


def fresh(text):
    """An equal, new str (those of one character are shared, immortal objects)."""
    return "".join(list(text))


def calls(store, tmp):
    """name -> arguments: every method, on data of every shape it takes or gives."""
    a, b = store.intern_batch(["alice", "bob"])
    store.assert_fact("main", "edge", 2, [a, b], 0.9, 0.1, "src")
    edge = atom("edge", "Src", "Dst")
    store.add_rule("main", 1, "pair", 2, ["Src", "Dst"], [edge], 1.0, 0.0)
    store.add_constraint("main", 2, [edge, {"builtin_name": "eq", "args": ["Src", "Dst"]}], 0.5, 0)
    store.materialize("main")
    branch, pred, big, texts = fresh("main"), fresh("pair"), 10**15, [fresh("alice"), fresh("carol")]
    return {name: args for name, *args in [
        ("intern", texts[0]), ("intern_batch", texts), ("resolve", a), ("resolve_batch", [a, b]),
        ("configure_predicate", pred, "noisy_or", "per_source"),
        ("set_semantics", "body_truth_only", "body_truth_only"),
        ("assert_fact", "w", pred, 2, [a, b], 1.0, 0.0, branch),
        ("assert_facts_bulk", "w", [(fresh("edge"), 2, [a, b], 1.0, 0.0, None)]),
        ("retract_fact", "w", big),
        ("add_rule", "w", big, pred, 2, ["Src", "Dst"], [atom("edge", "Src", "Dst")], 1.0, 0.0),
        ("add_constraint", "w", 1, [atom("edge", "Src", "Dst", negated=True)], 0.5, 0.0),
        ("get_facts", branch, big), ("get_rules", branch), ("get_constraints", branch),
        ("list_branches",), ("materialize", branch, big), ("get_atom_state", pred, [a, b]),
        ("query_predicate", pred), ("query_predicate_bulk", pred), ("current_watermark",),
        ("edb_watermark",), ("idb_watermark", branch), ("flush",), ("new_temporary",),
        ("NativeStore", fresh(tmp + "/e"), fresh(tmp + "/i"))]}


@pytest.mark.parametrize("name", calls(NativeStore.new_temporary(), ""))
def test_method_does_not_leak(name, tmp_path):
    store = NativeStore.new_temporary()
    args = calls(store, str(tmp_path))[name]
    call = NativeStore if name == "NativeStore" else getattr(store, name)
    # Opening databases takes milliseconds: fewer rounds.
    n = 60 if name in ("NativeStore", "new_temporary") else 100_000
    watched = [store]  # the arguments, down to the items of tuples in lists
    for arg in args:
        watched.append(arg)
        for item in arg if isinstance(arg, (list, tuple)) else ():
            watched += [item, *(item if isinstance(item, tuple) else ())]
    for _ in range(min(n, 100)):
        call(*args)
    gc.collect()
    counts, blocks = [sys.getrefcount(o) for o in watched], sys.getallocatedblocks()
    for _ in range(n):
        call(*args)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts
    # A leaked object per call would add n blocks; allow for caches settling.
    grown = sys.getallocatedblocks() - blocks
    assert grown < max(n // 100, 10), f"{grown} blocks more after {n} calls"
