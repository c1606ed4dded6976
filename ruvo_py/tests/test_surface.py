"""The module and the NativeStore type as Python code sees them."""

import importlib
import inspect
import sys
import weakref

import pytest

import ruvo
import ruvo._native as native
from conftest import raises_exactly
from ruvo import NativeStore

def test_module_exports_only_the_class():
    assert native.__all__ == ["NativeStore"]
    assert native.__doc__ == "ruvo._native Python module."
    assert native.NativeStore is NativeStore is ruvo.NativeStore
    assert [k for k, v in vars(native).items() if callable(v)] == ["NativeStore"]
    # A second import hands out the same module.
    first = sys.modules.pop("ruvo._native")
    try:
        assert importlib.import_module("ruvo._native") is first
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
    # The signatures of the others are checked against the type stubs.
    assert NativeStore.new_temporary.__text_signature__ == "()"
    assert len([k for k in vars(NativeStore) if not k.startswith("__")]) == 24
    assert str(inspect.signature(NativeStore.assert_fact)) == (
        "(self, /, branch, pred_name, pred_arity, args, b, d, source=None)")
    assert NativeStore.intern.__doc__ == "Intern a symbol string, returning its numeric ID."


def test_type_is_closed_and_temporaries_are_independent():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (NativeStore,), {})
    a = NativeStore.new_temporary()
    for refused, cls in ((lambda: setattr(a, "extra", 1), AttributeError),
                         (lambda: weakref.ref(a), TypeError),
                         (lambda: NativeStore.new_temporary(1), TypeError)):
        pytest.raises(cls, refused)
    b = a.new_temporary()
    assert type(b) is NativeStore and b is not a
    assert a.intern("x") == 1 and b.resolve(1) is None


def test_constructor_binding_and_failures(tmp_path):
    edb, idb = str(tmp_path / "edb"), str(tmp_path / "idb")
    raises_exactly(TypeError, "NativeStore.__new__() missing 2 required positional arguments: "
                   "'edb_path' and 'idb_path'", NativeStore)
    raises_exactly(TypeError, "argument 'edb_path': 'int' object cannot be converted to 'PyString'",
                   lambda: NativeStore(1, 2))
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
        raises_exactly(ValueError, "embedded null byte", lambda: NativeStore(*pair))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["edb", "edb2", "file", "idb", "idb2"]
