"""The module and the NativeStore type as Python code sees them."""

import importlib
import inspect
import sys
import weakref

import pytest

import ruvo
import ruvo._native as native
from ruvo import NativeStore

SIGNATURES = {
    "new_temporary": "()",
    "intern": "($self, text)",
    "intern_batch": "($self, texts)",
    "resolve_batch": "($self, sym_ids)",
    "resolve": "($self, sym_id)",
    "configure_predicate": "($self, name, aggregation, evidence_mode)",
    "set_semantics": "($self, rule_applicability, constraint_applicability)",
    "assert_fact": "($self, branch, pred_name, pred_arity, args, b, d, source=None)",
    "assert_facts_bulk": "($self, branch, facts)",
    "retract_fact": "($self, branch, target_event_id)",
    "add_rule": "($self, branch, rule_id, head_pred_name, head_pred_arity, head_args, body, b, d)",
    "add_constraint": "($self, branch, constraint_id, body, b, d)",
    "get_facts": "($self, branch, watermark=None)",
    "get_rules": "($self, branch, watermark=None)",
    "get_constraints": "($self, branch, watermark=None)",
    "list_branches": "($self)",
    "materialize": "($self, branch, max_depth=None)",
    "get_atom_state": "($self, pred_name, args)",
    "query_predicate": "($self, pred_name)",
    "query_predicate_bulk": "($self, pred_name)",
    "current_watermark": "($self)",
    "edb_watermark": "($self)",
    "idb_watermark": "($self, branch)",
    "flush": "($self)",
}


def test_module_exports_only_the_class():
    assert native.__all__ == ["NativeStore"]
    assert native.__doc__ == "ruvo._native Python module."
    assert native.NativeStore is NativeStore is ruvo.NativeStore
    callables = [k for k, v in vars(native).items() if callable(v)]
    assert callables == ["NativeStore"]


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("ruvo._native")
    try:
        again = importlib.import_module("ruvo._native")
        assert again is first
    finally:
        sys.modules["ruvo._native"] = first


def test_sub_interpreter_import_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    # A legacy sub-interpreter reaches the module's own initialiser.
    sub = interpreters.create("legacy")
    try:
        failure = interpreters.run_string(sub, "import ruvo._native")
    finally:
        interpreters.destroy(sub)
    assert failure.type.__name__ == "ImportError"
    assert "sub-interpreters are not supported" in failure.msg
    assert native.NativeStore.new_temporary().intern("still usable") == 1


def test_class_docs_and_signatures():
    assert NativeStore.__name__ == NativeStore.__qualname__ == "NativeStore"
    assert NativeStore.__text_signature__ == "(edb_path, idb_path)"
    assert NativeStore.__doc__ == (
        "The main Python-facing handle for the ruvo-native engine.\n\n"
        "Wraps EDB + IDB + fixpoint engine in a single object.")
    own = [k for k in vars(NativeStore) if not k.startswith("__")]
    assert own == list(SIGNATURES)
    for name, signature in SIGNATURES.items():
        assert getattr(NativeStore, name).__text_signature__ == signature, name
    assert str(inspect.signature(NativeStore.assert_fact)) == (
        "(self, /, branch, pred_name, pred_arity, args, b, d, source=None)")
    assert NativeStore.intern.__doc__ == "Intern a symbol string, returning its numeric ID."
    assert NativeStore.new_temporary.__doc__ == (
        "Create a fully in-memory store (no filesystem I/O).")
    assert NativeStore.assert_facts_bulk.__doc__ == (
        "Assert multiple facts at once. Each fact is a tuple:\n"
        "(pred_name, pred_arity, args, b, d, source_or_none)\n"
        "Returns the number of facts asserted.")
    assert NativeStore.get_constraints.__doc__ == (
        "Return all constraints for a branch, as structured Python dicts\n"
        "mirroring the shape accepted by `add_constraint`.\n\n"
        "Each element is::\n\n"
        '    {"id": u64, "body": [goal_dict, ...], "b": float, "d": float}\n\n'
        "Same source-of-truth contract as `get_rules`.")
    assert '        "body":      [goal_dict, ...],\n' in NativeStore.get_rules.__doc__
    assert NativeStore.flush.__doc__ == "Flush all stores to disk."


def test_type_is_closed_and_temporaries_are_independent():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (NativeStore,), {})
    a = NativeStore.new_temporary()
    with pytest.raises(AttributeError):
        a.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(a)
    b = a.new_temporary()
    assert type(b) is NativeStore and b is not a
    assert a.intern("x") == 1
    assert b.resolve(1) is None
    with pytest.raises(TypeError):
        NativeStore.new_temporary(1)


def test_constructor_binding_and_failures(tmp_path):
    edb, idb = str(tmp_path / "edb"), str(tmp_path / "idb")
    with pytest.raises(TypeError) as e:
        NativeStore()
    assert str(e.value) == (
        "NativeStore.__new__() missing 2 required positional arguments: 'edb_path' and 'idb_path'")
    with pytest.raises(TypeError) as e:
        NativeStore(1, 2)
    assert str(e.value) == "argument 'edb_path': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError, match=r"NativeStore.__new__\(\) got an unexpected keyword"):
        NativeStore(edb, idb, x=1)
    s = NativeStore(edb, idb_path=idb)
    assert s.current_watermark() == 0
    del s
    assert NativeStore(idb_path=idb, edb_path=edb).intern("a") == 1
    # Open failures are RuntimeErrors; an EDB opened by a failed attempt is
    # released again.
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    with pytest.raises(RuntimeError, match=r"^Edb\(Sled\("):
        NativeStore(str(blocker / "edb"), str(tmp_path / "idb2"))
    with pytest.raises(RuntimeError, match=r"^Idb\(Sled\("):
        NativeStore(str(tmp_path / "edb2"), str(blocker / "idb"))
    NativeStore(str(tmp_path / "edb2"), str(tmp_path / "idb2"))
    # A NUL would cut the path short at the file system: refused, nothing made.
    for pair in ((str(tmp_path / "e\0x"), idb), (edb, str(tmp_path / "i\0x"))):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            NativeStore(*pair)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["edb", "edb2", "file", "idb", "idb2"]
