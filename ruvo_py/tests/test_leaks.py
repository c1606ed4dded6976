"""No method leaks references or memory over many calls, on success and on error."""

import functools
import gc
import sys

import pytest

from conftest import atom
from ruvo import NativeStore

CALLS = 100_000


def fresh_text(text):
    """An equal str that is a new, uninterned object."""
    return "".join(list(text))


def calls(store):
    """name -> (method, arguments): every method, on data of every shape it takes or gives.
    Texts are longer than one character: those of one are shared, immortal objects."""
    a, b = store.intern_batch(["alice", "bob"])
    store.assert_fact("main", "edge", 2, [a, b], 0.9, 0.1, "src")
    edge = atom("edge", "Src", "Dst")
    store.add_rule("main", 1, "pair", 2, ["Src", "Dst"], [edge], 1.0, 0.0)
    store.add_constraint("main", 2, [edge, {"builtin_name": "eq", "args": ["Src", "Dst"]}], 0.5, 0)
    store.materialize("main")
    branch, pred, big = fresh_text("main"), fresh_text("pair"), 10**15
    texts = [fresh_text("alice"), fresh_text("carol")]
    return {name: (name, *args) for name, *args in [
        ("intern", texts[0]), ("intern_batch", texts), ("resolve", a), ("resolve_batch", [a, b]),
        ("configure_predicate", pred, "noisy_or", "per_source"),
        ("set_semantics", "body_truth_only", "body_truth_only"),
        ("assert_fact", "w", pred, 2, [a, b], 1.0, 0.0, branch),
        ("assert_facts_bulk", "w", [(fresh_text("edge"), 2, [a, b], 1.0, 0.0, None)]),
        ("retract_fact", "w", big),
        ("add_rule", "w", big, pred, 2, ["Src", "Dst"], [atom("edge", "Src", "Dst")], 1.0, 0.0),
        ("add_constraint", "w", 1, [atom("edge", "Src", "Dst", negated=True)], 0.5, 0.0),
        ("get_facts", branch, big), ("get_rules", branch), ("get_constraints", branch),
        ("list_branches",), ("materialize", branch, big), ("get_atom_state", pred, [a, b]),
        ("query_predicate", pred), ("query_predicate_bulk", pred), ("current_watermark",),
        ("edb_watermark",), ("idb_watermark", branch), ("flush",)]}


def errors(store):
    """name -> (method, arguments): calls that fail, each on a different error path."""
    store.assert_fact("arity", "q", 2, [1, 2, 3], 1.0, 0.0)
    bad_term = [fresh_text("lower")]
    bad_goal = [{"pred_name": "p", "pred_arity": 1, "args": ("X",)}]
    return {
        "binding": ("intern",),
        "keyword": ("intern", {"text": bad_term[0], "extra": 1}), "text": ("intern", bad_goal),
        "overflow": ("resolve", -1), "sequence": ("resolve_batch", [1, 2, "x"]),
        "term": ("add_rule", "m", 1, "h", 1, bad_term, [], 1.0, 0.0),
        "goal": ("add_constraint", "m", 1, bad_goal, 1.0, 0.0),
        "tuple": ("assert_facts_bulk", "m", [("p", 1, [1], 1.0, 0.0)]),
        "keyword_table": ("configure_predicate", "p", bad_term[0], "none"),
        "engine": ("materialize", "arity"),
    }


def watched(args):
    """The arguments and what they hold, down to the items of tuples in lists."""
    out = []
    for arg in args:
        out.append(arg)
        for item in arg if isinstance(arg, (list, tuple)) else ():
            out += [item, *(item if isinstance(item, tuple) else ())]
    return out


def run_and_measure(call, watched, n):
    for _ in range(min(n, 100)):
        call()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(n):
        call()
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    assert [sys.getrefcount(o) for o in watched] == counts
    # A leaked object per call would add n blocks; allow for caches settling.
    assert grown < max(n // 100, 10), f"{grown} blocks more after {n} calls"


@pytest.mark.parametrize("kind, name", [("ok", n) for n in calls(NativeStore.new_temporary())]
                         + [("error", n) for n in errors(NativeStore.new_temporary())])
def test_method_does_not_leak(kind, name):
    store = NativeStore.new_temporary()
    method, *args = (calls if kind == "ok" else errors)(store)[name]
    # A dict in the first place holds keyword arguments.
    kw = args.pop(0) if args and type(args[0]) is dict else {}
    bound = functools.partial(getattr(store, method), **kw)
    objects = [store, *watched([*args, *kw.values()])]
    if kind == "ok":
        run_and_measure(lambda: bound(*args), objects, CALLS)
        return

    def failing():
        try:
            bound(*args)
        except (TypeError, ValueError, OverflowError, RuntimeError):
            return
        raise AssertionError("expected a failure")

    run_and_measure(failing, objects, CALLS // 10)


def test_construction_does_not_leak(tmp_path):
    # Opening databases is slow (milliseconds), so fewer rounds.
    edb, idb = fresh_text(str(tmp_path / "e")), fresh_text(str(tmp_path / "i"))
    run_and_measure(lambda: NativeStore(edb, idb), [edb, idb], 60)
    run_and_measure(NativeStore.new_temporary, [], 60)
