"""The module, its type and its methods as Python sees them: values in and out, shapes of
results, borrows and faults (signatures are checked by stubtest, semantics in C++)."""

import collections
import gc
import math
import weakref

import pytest

import ruvo
import ruvo._native as native
from conftest import atom, raises_exactly
from ruvo import NativeStore


def test_module_and_class():
    assert native.__all__ == ["NativeStore"] and native.__doc__ == "ruvo._native Python module."
    assert native.NativeStore is NativeStore is ruvo.NativeStore
    assert [k for k, v in vars(native).items() if callable(v)] == ["NativeStore"]
    assert NativeStore.__doc__ == (
        "The main Python-facing handle for the ruvo-native engine.\n\n"
        "Wraps EDB + IDB + fixpoint engine in a single object.")
    assert NativeStore.__qualname__ == "NativeStore" == NativeStore.__name__
    assert len([k for k in vars(NativeStore) if not k.startswith("__")]) == 24
    assert NativeStore.intern.__doc__ == "Intern a symbol string, returning its numeric ID."
    pytest.raises(TypeError, type, "Sub", (NativeStore,), {}).match("not an acceptable base type")
    a = NativeStore.new_temporary()
    pytest.raises(AttributeError, setattr, a, "extra", 1)
    pytest.raises(TypeError, weakref.ref, a)
    b = a.new_temporary()
    assert type(b) is NativeStore and b is not a and a.intern("x") == 1 and b.resolve(1) is None
    interpreters = pytest.importorskip("_interpreters")
    sub = interpreters.create("legacy")  # reaches the module's own initialiser
    try:
        failure = interpreters.run_string(sub, "import ruvo._native")
    finally:
        interpreters.destroy(sub)
    assert failure.type.__name__ == "ImportError"
    assert "sub-interpreters are not supported" in failure.msg
    assert native.NativeStore.new_temporary().intern("still usable") == 1


def test_constructor_binding_and_failures(tmp_path):
    edb, idb = str(tmp_path / "edb"), str(tmp_path / "idb")
    raises_exactly(TypeError, "NativeStore.__new__() missing 2 required positional arguments: "
                   "'edb_path' and 'idb_path'", NativeStore)
    assert NativeStore(idb_path=idb, edb_path=edb).intern("a") == 1
    # An EDB opened by a failed attempt is released again.
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    pytest.raises(RuntimeError, NativeStore, str(blocker / "e"), idb + "2").match(r"^Edb\(Sled\(")
    pytest.raises(RuntimeError, NativeStore, edb + "2", str(blocker / "i")).match(r"^Idb\(Sled\(")
    NativeStore(str(tmp_path / "edb2"), str(tmp_path / "idb2"))
    # A NUL would cut the path short at the file system: refused, nothing made.
    for pair in ((str(tmp_path / "e\0x"), idb), (edb, str(tmp_path / "i\0x"))):
        raises_exactly(ValueError, "embedded null byte", lambda: NativeStore(*pair))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["edb", "edb2", "file", "idb", "idb2"]


def test_symbols(store):
    texts = ["alice", "", "Ünïcødé ✓", "a\x00b", "x" * 1000]
    ids = [store.intern(t) for t in texts]
    assert ids == [1, 2, 3, 4, 5] and [store.resolve(i) for i in ids] == texts
    assert store.intern_batch(texts) == ids and store.resolve_batch(ids) == texts
    assert store.resolve(999) is None and store.resolve_batch([0, 1]) == [None, "alice"]
    assert store.intern_batch(["p", "q", "p"]) == [6, 7, 6] and store.intern_batch([]) == []
    # Any sequence; its length is only a hint.
    Sequence = type("Sequence", (collections.UserList,), {"__len__": lambda self: 1 / 0})
    assert store.intern_batch(("t1", "t2")) == store.intern_batch(Sequence(["t1", "t2"])) == [8, 9]
    pytest.raises(TypeError, store.intern_batch, ["new text", 1])  # converted before interning
    assert store.intern("later") == 10


def _width_texts():
    """Every length up to 40 bytes with a 2-, 3- or 4-byte character at every byte offset, and
    texts of characters of one width only."""
    ch = lambda width, i: chr((0x61, 0xC0, 0x2080, 0x1F600)[width - 1] + i % 26)
    only = {"".join(ch(w, i) for i in range(n // w)) for w in (1, 2, 3, 4) for n in range(41)}
    return sorted(only | {"".join(ch(1, i) for i in range(at)) + ch(w, n) +
                          "".join(ch(1, i) for i in range(at + w, n))
                          for w in (2, 3, 4) for n in range(w, 41) for at in range(n - w + 1)})


def test_symbols_of_every_width_and_offset(paths):
    texts = _width_texts()
    s = NativeStore(*paths)
    ids = [s.intern(t) for t in texts]
    assert len(set(ids)) == len(texts) and s.intern_batch(texts) == ids
    assert [s.resolve(i) for i in ids] == texts == s.resolve_batch(ids)
    del s
    for first in ("resolve", "intern"):  # reopened: fresh caches, either direction asked first
        s = NativeStore(*paths)
        if first == "resolve":
            assert s.resolve_batch(ids) == texts and [s.resolve(i) for i in ids] == texts
        assert s.intern_batch(texts) == ids and [s.intern(t) for t in texts] == ids
        assert s.resolve_batch(ids) == texts and [s.resolve(i) for i in ids] == texts
        del s


def test_facts_in_and_out(store):
    assert store.assert_fact("m", "p", 1, [1], 1.0, 0.0) == 1
    assert store.assert_fact("m", "p", 3, (1, 2), -0.5, 7.0, "") == 2
    assert store.assert_fact("", "", 0, range(0), math.nan, 0.0, "src") == 3
    f1, f2 = sorted(store.get_facts("m"), key=lambda f: f["event_id"])
    assert list(f1.items()) == [("event_id", 1), ("pred_name", "p"), ("pred_arity", 1),
                                ("args", [1]), ("b", 1.0), ("d", 0.0), ("source", None)]
    assert [f2[k] for k in ("pred_arity", "args", "b", "d", "source")] == [3, [1, 2], -0.5, 7.0, ""]
    (empty,) = [(f["args"], math.isnan(f["b"]), f["source"]) for f in store.get_facts("")]
    assert empty == ([], True, "src") and store.get_facts("M") == []
    assert store.assert_facts_bulk("b", []) == 0
    bulk = [("p", 1, [i], 0.5, 0.0, None) for i in range(2)] + [("q", 2, (1, 2), 1, 0.25, "s")]
    assert store.assert_facts_bulk("b", bulk) == 3
    got = sorted(store.get_facts("b"), key=lambda f: f["event_id"])
    assert [(f["event_id"], f["args"], f["b"], f["d"], f["source"]) for f in got] == [
        (4, [0], 0.5, 0.0, None), (5, [1], 0.5, 0.0, None), (6, [1, 2], 1.0, 0.25, "s")]
    # Every tuple is checked before any is written.
    pytest.raises(ValueError, store.assert_facts_bulk, "b", [("p", 1, [9], 1.0, 0.0, None), ("p",)])
    assert store.retract_fact("m", 1) == 7 and store.retract_fact("m", 10**6) == 8  # unknown id too
    ids = lambda **kw: sorted(f["event_id"] for f in store.get_facts("m", **kw))
    assert ids() == [2] and ids(watermark=6) == [1, 2] and ids(watermark=2**64 - 1) == [2]
    assert store.list_branches() == ["", "b", "m"]
    assert store.current_watermark() == store.edb_watermark() == 8


def test_rules_and_constraints_in_and_out(store):
    x = store.intern("x")
    body = [
        atom("e", "X", {"Var": "y"}, x, negated=False),
        atom("f", "_z", arity=5, negated=True),
        {"builtin_name": "lt", "pred_name": "ignored", "args": ["X", {"Const": x}]},
        {"pred_name": "g", "pred_arity": 1, "args": [{"Var": "Éa", "Const": 1}, True]},
    ]
    store.add_rule("m", 7, "h", 2, ["X", {"Const": 3, "other": 1}], body, 0.9, 0.1)
    store.add_rule("m", 7, "h", 0, [], [], 1.0, 0.0)
    store.add_constraint("m", 8, [atom("h", "X")], 0.5, 0.25)
    r, r2 = store.get_rules("m")
    assert r["id"] == r2["id"] == 7
    assert list(r) == ["id", "head_pred_name", "head_pred_arity", "head_args", "body", "b", "d"]
    assert (r["head_pred_name"], r["head_pred_arity"], r["b"], r["d"]) == ("h", 2, 0.9, 0.1)
    assert r["head_args"] == [{"Var": "X"}, {"Const": 3}] and r["body"] == [
        {"pred_name": "e", "pred_arity": 3, "negated": False,
         "args": [{"Var": "X"}, {"Var": "y"}, {"Const": x}]},
        {"pred_name": "f", "pred_arity": 5, "negated": True, "args": [{"Var": "_z"}]},
        {"builtin_name": "lt", "args": [{"Var": "X"}, {"Const": x}]},
        {"pred_name": "g", "pred_arity": 1, "negated": False, "args": [{"Var": "Éa"}, {"Const": 1}]},
    ]
    assert list(r["body"][0]) == ["pred_name", "pred_arity", "negated", "args"]
    assert store.get_constraints("m") == [{"id": 8, "body": [
        {"pred_name": "h", "pred_arity": 1, "negated": False, "args": [{"Var": "X"}]}],
        "b": 0.5, "d": 0.25}]
    store.add_rule("n", *r.values())  # what get_rules returns is accepted again unchanged
    assert store.get_rules("n") == [r] and store.get_constraints("n") == []
    words = ["eq", "ne", "lt", "leq", "gt", "geq", "add", "sub", "mul", "div", "between",
             "int", "string", "float", "entity", "predicate_ref", "date", "datetime", "duration"]
    store.add_constraint("w", 1, [{"builtin_name": w, "args": []} for w in words], 0.0, 0.0)
    assert [g["builtin_name"] for g in store.get_constraints("w")[0]["body"]] == words


def test_queries_and_watermarks_around_materialize(store):
    a, b = store.intern_batch(["a", "b"])
    assert store.materialize("empty") == {"atoms_changed": 0, "iterations": 0}
    assert store.idb_watermark("empty") == store.edb_watermark() == 0
    assert store.query_predicate_bulk("e") == []
    for args, bd in (([a, b], (1.0, 0.0)), ([b, a], (0.0, 0.5)), ([a, a], (1e-12, 0.0)),
                     ([b, b], (2e-12, 0.0))):
        store.assert_fact("m", "e", 2, args, *bd)
    assert store.get_atom_state("e", [a, b]) == {"b": 0.0, "d": 0.0, "status": "Neither"}
    assert store.idb_watermark("m") is None
    assert list(store.materialize("m").items()) == [("atoms_changed", 0), ("iterations", 0)]
    assert store.idb_watermark("m") == 4
    assert (rows := store.query_predicate("e")) == [
        {"args": [a, b], "b": 1.0, "d": 0.0, "status": "True"},
        {"args": [b, a], "b": 0.0, "d": 0.5, "status": "False"},
        {"args": [b, b], "b": 2e-12, "d": 0.0, "status": "True"}]
    assert store.query_predicate_bulk("e") == [(r["args"], r["b"], r["d"]) for r in rows]
    assert store.get_atom_state("e", (b, a)) == {"b": 0.0, "d": 0.5, "status": "False"}
    assert store.get_atom_state("e", (a, a)) == {"b": 1e-12, "d": 0.0, "status": "Neither"}
    store.assert_fact("m", "e", 2, [a, b], 0.0, 1.0)
    store.materialize("m", True)
    assert store.get_atom_state("e", [a, b])["status"] == "Both"
    assert store.idb_watermark("m") == 5 and store.idb_watermark("M") is None
    assert store.flush() is None
    gc.disable()  # building results leaves the collector as it was
    assert store.query_predicate_bulk("e") and store.get_facts("m") and not gc.isenabled()
    gc.enable()
    assert store.query_predicate("e") and gc.isenabled()


@pytest.mark.parametrize("semantics, config, h_b, n_b", [
    (None, ("maximum", "none"), 0.4, 0.5),
    (("body_truth_only", "body_truth_only"), ("noisy_or", "none"), 0.8, 0.75),
    (("body_truth_discounted_by_body_falsity", "body_truth_only"), ("capped_sum", "none"), 0.4, 1.0),
    (None, ("NoisyOr", "PerSource"), 0.4, 0.75),
])
def test_keywords_reach_the_engine(store, semantics, config, h_b, n_b):
    a = store.intern("a")
    if semantics:
        store.set_semantics(*semantics)
    pytest.raises(ValueError, store.set_semantics, "body_truth_only", "nope")  # changes neither knob
    store.configure_predicate("n", "capped_sum", "none")
    store.configure_predicate("n", *config)             # the last configuration wins
    store.assert_facts_bulk("m", [("e", 1, [a], 0.8, 0.5, None)] + [("n", 1, [a], 0.5, 0.0, None)] * 2)
    store.add_rule("m", 1, "h", 1, ["X"], [atom("e", "X")], 1.0, 0.0)
    store.materialize("m")
    assert store.get_atom_state("h", [a])["b"] == pytest.approx(h_b)
    assert store.get_atom_state("n", [a])["b"] == n_b


def test_borrow_conflicts_from_conversion_hooks(store):
    sym = store.intern("a")

    def hook(call, result=None):
        return type("Hook", (), {"__index__": lambda self: (call(), result)[1]})()

    raises_exactly(RuntimeError, "Already borrowed", lambda: store.assert_fact(
        "m", "p", 1, [hook(lambda: store.intern("inside"))], 1.0, 0.0))
    assert store.current_watermark() == 0
    seen = []
    assert store.assert_fact("m", "p", 1, [hook(lambda: seen.append(store.resolve(sym)), sym)],
                             1.0, 0.0) == 1
    assert seen == ["a"]
    raises_exactly(RuntimeError, "Already mutably borrowed",
                   lambda: store.materialize("m", hook(lambda: store.get_facts("m"))))
    assert store.idb_watermark("m") is None
    assert store.intern("after") == sym + 1  # every borrow was given back


def test_fault_is_a_base_exception(paths, corrupt):
    s = NativeStore(*paths)
    s.assert_fact("m", "p", 1, [1], 1.0, 0.0)
    del s
    corrupt("counter", paths[0])
    s = NativeStore(*paths)
    with pytest.raises(BaseException) as e:
        s.current_watermark()
    panic = type(e.value)
    assert (panic.__name__, panic.__module__) == ("PanicException", "pyo3_runtime")
    assert panic.__mro__[1] is BaseException and len(e.value.args) == 1 and e.value.args[0]
    for call in (s.edb_watermark, lambda: s.assert_fact("m", "p", 1, [1], 1.0, 0.0)):
        pytest.raises(panic, call)
    # Reads that do not touch the counter still work, and no borrow was left.
    assert len(s.get_facts("m")) == 1 and s.intern("ok") == 1
