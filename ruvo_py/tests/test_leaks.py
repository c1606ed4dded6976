"""No method leaks references or memory over many calls, on success and on error."""

import gc
import sys

import pytest

from conftest import atom
from ruvo import NativeStore

CALLS = 100_000


def fresh_text(text):
    """An equal str that is a new, uninterned object."""
    return "".join(list(text))


def prepared(store):
    """A small store: symbols, a fact, a rule and a constraint on branch m."""
    a, b = store.intern_batch(["a", "b"])
    store.assert_fact("m", "e", 2, [a, b], 0.9, 0.1, "src")
    store.add_rule("m", 1, "p", 2, ["X", "Y"], [atom("e", "X", "Y")], 1.0, 0.0)
    store.add_constraint("m", 2, [atom("e", "X", "Y"), {"builtin_name": "eq", "args": ["X", "Y"]}],
                         0.5, 0.0)
    store.materialize("m")
    return a, b


def calls(store):
    """name -> (zero-argument call, objects whose reference counts must not move)."""
    a, b = prepared(store)
    branch = fresh_text("m")
    pred = fresh_text("p")
    args = [a, b]
    texts = [fresh_text("a"), fresh_text("b")]
    head = ["X", "Y"]
    body = [atom("e", "X", "Y")]
    cbody = [atom("e", "X", "Y", negated=True)]
    facts = [(fresh_text("e"), 2, args, 1.0, 0.0, None)]
    big = 10**15
    return {
        "intern": (lambda: store.intern(texts[0]), texts),
        "intern_batch": (lambda: store.intern_batch(texts), [texts, *texts]),
        "resolve": (lambda: store.resolve(a), []),
        "resolve_batch": (lambda: store.resolve_batch(args), [args]),
        "configure_predicate": (lambda: store.configure_predicate(pred, "noisy_or", "per_source"),
                                [pred]),
        "set_semantics": (lambda: store.set_semantics("body_truth_only", "body_truth_only"), []),
        "assert_fact": (lambda: store.assert_fact("w", pred, 2, args, 1.0, 0.0, branch),
                        [pred, args, branch]),
        "assert_facts_bulk": (lambda: store.assert_facts_bulk("w", facts), [facts, facts[0]]),
        "retract_fact": (lambda: store.retract_fact("w", big), [big]),
        "add_rule": (lambda: store.add_rule("w", big, pred, 2, head, body, 1.0, 0.0),
                     [big, pred, head, body, body[0]]),
        "add_constraint": (lambda: store.add_constraint("w", 1, cbody, 0.5, 0.0), [cbody, cbody[0]]),
        "get_facts": (lambda: store.get_facts(branch, big), [branch, big]),
        "get_rules": (lambda: store.get_rules(branch), [branch]),
        "get_constraints": (lambda: store.get_constraints(branch), [branch]),
        "list_branches": (store.list_branches, []),
        "materialize": (lambda: store.materialize(branch, big), [branch, big]),
        "get_atom_state": (lambda: store.get_atom_state(pred, args), [pred, args]),
        "query_predicate": (lambda: store.query_predicate(pred), [pred]),
        "query_predicate_bulk": (lambda: store.query_predicate_bulk(pred), [pred]),
        "current_watermark": (store.current_watermark, []),
        "edb_watermark": (store.edb_watermark, []),
        "idb_watermark": (lambda: store.idb_watermark(branch), [branch]),
        "flush": (store.flush, []),
    }


def errors(store):
    """Calls that fail, each on a different error path."""
    bad_term = [fresh_text("lower")]
    bad_goal = [{"pred_name": "p", "pred_arity": 1, "args": ("X",)}]
    short = [("p", 1, [1], 1.0, 0.0)]
    return {
        "binding": (lambda: store.intern(), []),
        "keyword": (lambda: store.intern(text=bad_term[0], extra=1), bad_term),
        "text": (lambda: store.intern(bad_goal), [bad_goal]),
        "overflow": (lambda: store.resolve(-1), []),
        "sequence": (lambda: store.resolve_batch([1, 2, "x"]), []),
        "term": (lambda: store.add_rule("m", 1, "h", 1, bad_term, [], 1.0, 0.0), [bad_term]),
        "goal": (lambda: store.add_constraint("m", 1, bad_goal, 1.0, 0.0), [bad_goal]),
        "tuple": (lambda: store.assert_facts_bulk("m", short), [short, short[0]]),
        "keyword_table": (lambda: store.configure_predicate("p", bad_term[0], "none"), bad_term),
        "engine": (lambda: store.materialize("arity"), []),
    }


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


METHODS = list(calls(NativeStore.new_temporary()))


@pytest.mark.parametrize("name", METHODS)
def test_method_does_not_leak(name):
    store = NativeStore.new_temporary()
    call, watched = calls(store)[name]
    run_and_measure(call, [store, *watched], CALLS)


ERRORS = list(errors(NativeStore.new_temporary()))


@pytest.mark.parametrize("name", ERRORS)
def test_error_path_does_not_leak(name):
    store = NativeStore.new_temporary()
    store.assert_fact("arity", "q", 2, [1, 2, 3], 1.0, 0.0)
    call, watched = errors(store)[name]

    def failing():
        try:
            call()
        except (TypeError, ValueError, OverflowError, RuntimeError):
            return
        raise AssertionError("expected a failure")

    run_and_measure(failing, [store, *watched], CALLS // 10)


def test_construction_does_not_leak(tmp_path):
    # Opening databases is slow (milliseconds), so fewer rounds.
    edb, idb = fresh_text(str(tmp_path / "e")), fresh_text(str(tmp_path / "i"))
    run_and_measure(lambda: NativeStore(edb, idb), [edb, idb], 60)
    run_and_measure(NativeStore.new_temporary, [], 60)
