"""Exception classes and messages that callers match on."""

import re

import pytest

from conftest import atom


def message(excinfo):
    return str(excinfo.value)


# ---- Argument binding -------------------------------------------------------

@pytest.mark.parametrize("call, expected", [
    (lambda s: s.intern(),
     "NativeStore.intern() missing 1 required positional argument: 'text'"),
    (lambda s: s.intern("a", "b"),
     "NativeStore.intern() takes 1 positional arguments but 2 were given"),
    (lambda s: s.intern("a", x=1),
     "NativeStore.intern() got an unexpected keyword argument 'x'"),
    (lambda s: s.intern("a", text="b"),
     "NativeStore.intern() got multiple values for argument 'text'"),
    (lambda s: s.assert_fact("m", "p", 1, [1], 1.0, 0.0, None, 9),
     "NativeStore.assert_fact() takes from 6 to 7 positional arguments but 8 were given"),
    (lambda s: s.assert_fact("m", "p"),
     "NativeStore.assert_fact() missing 4 required positional arguments: "
     "'pred_arity', 'args', 'b', and 'd'"),
    (lambda s: s.configure_predicate(aggregation="maximum"),
     "NativeStore.configure_predicate() missing 2 required positional arguments: "
     "'name' and 'evidence_mode'"),
])
def test_binding_errors_name_the_call(store, call, expected):
    with pytest.raises(TypeError) as e:
        call(store)
    assert message(e) == expected


def test_keywords_and_defaults_bind(store):
    sym = store.intern(text="a")
    eid = store.assert_fact(d=0.0, b=1.0, args=[sym], pred_arity=1, pred_name="p", branch="m")
    assert store.get_facts("m", watermark=None)[0]["event_id"] == eid
    assert store.materialize(branch="m", max_depth=None) == {"atoms_changed": 0, "iterations": 0}


def test_binding_errors_come_before_conversion(store):
    # A bad value and a missing argument: the binding error wins.
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'd'"):
        store.assert_fact(5, "p", 1, [1], 1.0)


# ---- Parameter conversion ---------------------------------------------------

@pytest.mark.parametrize("call, cls, expected", [
    (lambda s: s.intern(5), TypeError,
     "argument 'text': 'int' object cannot be converted to 'PyString'"),
    (lambda s: s.intern_batch("abc"), TypeError,
     "argument 'texts': Can't extract `str` to `Vec`"),
    (lambda s: s.intern_batch(["a", 1]), TypeError,
     "argument 'texts': 'int' object cannot be converted to 'PyString'"),
    (lambda s: s.resolve_batch({1: 2}), TypeError,
     "argument 'sym_ids': 'dict' object cannot be converted to 'Sequence'"),
    (lambda s: s.resolve_batch(7), TypeError,
     "argument 'sym_ids': 'int' object cannot be converted to 'Sequence'"),
    (lambda s: s.assert_fact("m", "p", 1, "ab", 1.0, 0.0), TypeError,
     "argument 'args': Can't extract `str` to `Vec`"),
    (lambda s: s.assert_fact("m", "p", 1, [1.5], 1.0, 0.0), TypeError,
     "argument 'args': 'float' object cannot be interpreted as an integer"),
    (lambda s: s.assert_fact("m", "p", 1, [1], "x", 0.0), TypeError,
     "argument 'b': must be real number, not str"),
    (lambda s: s.assert_fact("m", "p", 1, [1], 1.0, 0.0, 5), TypeError,
     "argument 'source': 'int' object cannot be converted to 'PyString'"),
    (lambda s: s.add_rule("m", 1, "h", 1, ("X",), [], 1.0, 0.0), TypeError,
     "argument 'head_args': 'tuple' object cannot be converted to 'PyList'"),
    (lambda s: s.add_constraint("m", 1, None, 1.0, 0.0), TypeError,
     "argument 'body': 'NoneType' object cannot be converted to 'PyList'"),
    (lambda s: s.assert_facts_bulk("m", [("p", 1, [1], 1.0, 0.0, None), ["p", 1, [1], 1, 0, None]]),
     TypeError, "argument 'facts': 'list' object cannot be converted to 'PyTuple'"),
    (lambda s: s.assert_facts_bulk("m", [("p", 1, "x", 1.0, 0.0, None)]), TypeError,
     "argument 'facts': Can't extract `str` to `Vec`"),
    (lambda s: s.assert_facts_bulk("m", [("p", 1, [1], 1.0, 0.0)]), ValueError,
     "expected tuple of length 6, but got tuple of length 5"),
    (lambda s: s.get_facts("m", "5"), TypeError,
     "argument 'watermark': 'str' object cannot be interpreted as an integer"),
    (lambda s: s.materialize("m", 1.5), TypeError,
     "argument 'max_depth': 'float' object cannot be interpreted as an integer"),
    (lambda s: s.get_atom_state("p", "ab"), TypeError,
     "argument 'args': Can't extract `str` to `Vec`"),
])
def test_parameter_conversion_errors(store, call, cls, expected):
    with pytest.raises(cls) as e:
        call(store)
    assert type(e.value) is cls
    assert message(e) == expected
    assert store.current_watermark() == 0


@pytest.mark.parametrize("call", [
    lambda s: s.resolve(-1),
    lambda s: s.resolve(2**64),
    lambda s: s.materialize("m", -1),
    lambda s: s.get_facts("m", -1),
    lambda s: s.get_atom_state("p", [1, -1]),
    lambda s: s.assert_fact("m", "p", 1, [2**64], 1.0, 0.0),
])
def test_overflow_passes_unchanged(store, call):
    with pytest.raises(OverflowError) as e:
        call(store)
    assert not message(e).startswith("argument")


def test_lone_surrogate_passes_unchanged(store):
    with pytest.raises(UnicodeEncodeError):
        store.intern("\udcff")
    with pytest.raises(UnicodeEncodeError):
        store.get_facts("\udcff")


def test_renamed_type_error_keeps_the_cause(store):
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as k:
                raise TypeError("hook failed") from k

    with pytest.raises(TypeError) as e:
        store.resolve(Bad())
    assert message(e) == "argument 'sym_id': hook failed"
    assert isinstance(e.value.__cause__, KeyError)


def test_integer_and_float_hooks_are_accepted(store):
    class Index:
        def __index__(self):
            return 1

    class Real:
        def __float__(self):
            return 0.25

    sym = store.intern("a")
    assert store.resolve(Index()) == "a"
    eid = store.assert_fact("m", "p", True, range(sym, sym + 1), Real(), 0)
    fact = store.get_facts("m")[0]
    assert (fact["event_id"], fact["pred_arity"], fact["args"], fact["b"], fact["d"]) == (
        eid, 1, [sym], 0.25, 0.0)


# ---- Keyword tables ---------------------------------------------------------

def test_configure_predicate_words(store):
    for agg in ("maximum", "Maximum", "noisy_or", "NoisyOr", "capped_sum", "CappedSum"):
        for ev in ("none", "None", "per_source", "PerSource", "proof_tree", "ProofTree"):
            assert store.configure_predicate("p", agg, ev) is None
    with pytest.raises(ValueError) as e:
        store.configure_predicate("p", "MAXIMUM", "bogus")
    assert message(e) == "Unknown aggregation mode: MAXIMUM"
    with pytest.raises(ValueError) as e:
        store.configure_predicate("p", "noisy_or", "per-source")
    assert message(e) == "Unknown evidence mode: per-source"
    # All three are converted before any word is looked up.
    with pytest.raises(TypeError, match="^argument 'evidence_mode': "):
        store.configure_predicate("p", "unlisted", 3)


def test_set_semantics_words(store):
    assert store.set_semantics("body_truth_only", "body_truth_discounted_by_body_falsity") is None
    with pytest.raises(ValueError) as e:
        store.set_semantics("BodyTruthOnly", "body_truth_only")
    assert message(e) == "Unknown rule_applicability semantics: BodyTruthOnly"
    with pytest.raises(ValueError) as e:
        store.set_semantics("body_truth_only", "BodyTruthOnly")
    assert message(e) == "Unknown constraint_applicability semantics: BodyTruthOnly"


# ---- Terms and goals --------------------------------------------------------

ENTITY = "Term string '{}' looks like an entity \u2014 use intern() first and pass the SymId"


@pytest.mark.parametrize("term, cls, expected", [
    ("x", ValueError, ENTITY.format("x")),
    ("1", ValueError, ENTITY.format("1")),
    ("", ValueError, ENTITY.format("")),
    (-1, ValueError, "Term must be str, int, or dict"),
    (2**64, ValueError, "Term must be str, int, or dict"),
    (5.0, ValueError, "Term must be str, int, or dict"),
    (None, ValueError, "Term must be str, int, or dict"),
    ("\udcff", ValueError, "Term must be str, int, or dict"),
    ({}, ValueError, "Term dict must have 'Var' or 'Const' key"),
    ({"Int": 3}, ValueError, "Term dict must have 'Var' or 'Const' key"),
    ({"Var": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"Const": -1}, OverflowError, None),
    ({"Const": "a"}, TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_term_refusals(store, term, cls, expected):
    with pytest.raises(cls) as e:
        store.add_rule("m", 1, "h", 1, [term], [], 1.0, 0.0)
    assert type(e.value) is cls
    if expected is not None:
        assert message(e) == expected
    assert store.current_watermark() == 0


@pytest.mark.parametrize("goal, cls, expected", [
    ([], ValueError, "Goal must be a dict"),
    ({"builtin_name": "EQ"}, ValueError, "Unknown builtin: EQ"),
    ({"builtin_name": "eq"}, ValueError, "Builtin goal missing 'args'"),
    ({"builtin_name": "eq", "args": ("X", "Y")}, ValueError, "Builtin goal 'args' must be a list"),
    ({"builtin_name": None, "args": []}, TypeError,
     "'NoneType' object cannot be converted to 'PyString'"),
    ({"pred_arity": 1, "args": []}, ValueError, "Goal missing 'pred_name'"),
    ({"pred_name": "p", "args": []}, ValueError, "Goal missing 'pred_arity'"),
    ({"pred_name": "p", "pred_arity": 1}, ValueError, "Goal missing 'args'"),
    ({"pred_name": "p", "pred_arity": 1, "args": ("X",)}, ValueError,
     "Goal 'args' must be a list"),
    ({"pred_name": 5}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"pred_name": "p", "pred_arity": -1, "args": []}, OverflowError, None),
    (atom("p", "X", negated=1), TypeError, "'int' object cannot be converted to 'PyBool'"),
    ({"pred_name": "p", "pred_arity": 1, "negated": None, "args": []}, TypeError,
     "'NoneType' object cannot be converted to 'PyBool'"),
    (atom("p", "x"), ValueError, ENTITY.format("x")),
])
def test_goal_refusals(store, goal, cls, expected):
    for call in (lambda: store.add_rule("m", 1, "h", 1, ["X"], [goal], 1.0, 0.0),
                 lambda: store.add_constraint("m", 1, [goal], 1.0, 0.0)):
        with pytest.raises(cls) as e:
            call()
        assert type(e.value) is cls
        if expected is not None:
            assert message(e) == expected
    assert store.current_watermark() == 0


def test_conversion_order_inside_add_rule(store):
    # Parameters first: a bad d beats a bad head term.
    with pytest.raises(TypeError, match="^argument 'd': "):
        store.add_rule("m", 1, "h", 1, ["x"], [], 1.0, "d")
    # Then head terms before body goals.
    with pytest.raises(ValueError, match="^Term string 'x'"):
        store.add_rule("m", 1, "h", 1, ["x"], ["not a goal"], 1.0, 0.0)


# ---- Store and engine errors ------------------------------------------------

def test_eval_cap_reaches_python(store):
    a = store.intern("a")
    store.configure_predicate("r", "noisy_or", "none")
    store.assert_fact("m", "r", 1, [a], float("nan"), 0.0)   # NaN changes on every pass
    store.assert_fact("m", "base", 1, [a], 1.0, 0.0)
    store.add_rule("m", 1, "r", 1, ["X"], [atom("r", "X"), atom("base", "X")], 1.0, 0.0)
    with pytest.raises(RuntimeError) as e:
        store.materialize("m")
    assert message(e) == "Eval(MaxIterationsExceeded)"
    assert store.idb_watermark("m") is None
    # A cap given by the caller stops quietly; 0 acts as 1.
    assert store.materialize("m", 0)["iterations"] == store.materialize("m", 1)["iterations"]
    assert store.idb_watermark("m") == store.edb_watermark()


def test_store_error_reaches_python(store):
    store.assert_fact("m", "p", 2, [1, 2, 3], 1.0, 0.0)
    with pytest.raises(RuntimeError) as e:
        store.materialize("m")
    assert message(e) == "Idb(InvalidArity { expected: 2, found: 3 })"


def test_edb_error_is_wrapped_only_through_the_engine(paths, corrupt):
    from ruvo import NativeStore
    edb, idb = paths
    s = NativeStore(edb, idb)
    s.assert_fact("m", "p", 1, [1], 1.0, 0.0)
    s.assert_fact("m", "p", 1, [2], 1.0, 0.0)
    del s
    corrupt("record", edb, 2)
    s = NativeStore(edb, idb)
    for read in (s.get_facts, s.get_rules, s.get_constraints):
        with pytest.raises(RuntimeError) as e:
            read("m")
        assert message(e) == "Bincode(Io(Kind(UnexpectedEof)))"
    with pytest.raises(RuntimeError) as e:
        s.materialize("m")
    assert message(e) == "Edb(Bincode(Io(Kind(UnexpectedEof))))"
    # The counter is intact: both watermark readers agree.
    assert s.current_watermark() == s.edb_watermark() == 2
    assert re.fullmatch(r"\d+", str(s.edb_watermark()))
