"""Exception classes and messages that callers match on."""

import pytest

from conftest import atom

# The expected message None: the original exception passes unchanged, without
# the "argument '...': " prefix of a renamed conversion error.
REFUSED_CALLS = [
    # Argument binding
    (lambda s: s.intern(), TypeError,
     "NativeStore.intern() missing 1 required positional argument: 'text'"),
    (lambda s: s.intern("a", "b"), TypeError,
     "NativeStore.intern() takes 1 positional arguments but 2 were given"),
    (lambda s: s.intern("a", x=1), TypeError,
     "NativeStore.intern() got an unexpected keyword argument 'x'"),
    (lambda s: s.intern("a", text="b"), TypeError,
     "NativeStore.intern() got multiple values for argument 'text'"),
    (lambda s: s.assert_fact("m", "p", 1, [1], 1.0, 0.0, None, 9), TypeError,
     "NativeStore.assert_fact() takes from 6 to 7 positional arguments but 8 were given"),
    (lambda s: s.assert_fact("m", "p"), TypeError,
     "NativeStore.assert_fact() missing 4 required positional arguments: "
     "'pred_arity', 'args', 'b', and 'd'"),
    (lambda s: s.configure_predicate(aggregation="maximum"), TypeError,
     "NativeStore.configure_predicate() missing 2 required positional arguments: "
     "'name' and 'evidence_mode'"),
    # A bad value and a missing argument: the binding error wins.
    (lambda s: s.assert_fact(5, "p", 1, [1], 1.0), TypeError,
     "NativeStore.assert_fact() missing 1 required positional argument: 'd'"),
    # Parameter conversion
    (lambda s: s.intern(5), TypeError,
     "argument 'text': 'int' object cannot be converted to 'PyString'"),
    (lambda s: s.intern_batch("abc"), TypeError, "argument 'texts': Can't extract `str` to `Vec`"),
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
    (lambda s: s.get_atom_state("p", "ab"), TypeError, "argument 'args': Can't extract `str` to `Vec`"),
    # Parameters first: a bad d beats a bad head term.
    (lambda s: s.add_rule("m", 1, "h", 1, ["x"], [], 1.0, "d"), TypeError,
     "argument 'd': must be real number, not str"),
    # All three are converted before any word is looked up.
    (lambda s: s.configure_predicate("p", "unlisted", 3), TypeError,
     "argument 'evidence_mode': 'int' object cannot be converted to 'PyString'"),
    # Passed unchanged
    (lambda s: s.resolve(-1), OverflowError, None),
    (lambda s: s.resolve(2**64), OverflowError, None),
    (lambda s: s.materialize("m", -1), OverflowError, None),
    (lambda s: s.get_facts("m", -1), OverflowError, None),
    (lambda s: s.get_atom_state("p", [1, -1]), OverflowError, None),
    (lambda s: s.assert_fact("m", "p", 1, [2**64], 1.0, 0.0), OverflowError, None),
    (lambda s: s.intern("\udcff"), UnicodeEncodeError, None),
    (lambda s: s.get_facts("\udcff"), UnicodeEncodeError, None),
    # Keyword tables
    (lambda s: s.configure_predicate("p", "MAXIMUM", "bogus"), ValueError,
     "Unknown aggregation mode: MAXIMUM"),
    (lambda s: s.configure_predicate("p", "noisy_or", "per-source"), ValueError,
     "Unknown evidence mode: per-source"),
    (lambda s: s.set_semantics("BodyTruthOnly", "body_truth_only"), ValueError,
     "Unknown rule_applicability semantics: BodyTruthOnly"),
    (lambda s: s.set_semantics("body_truth_only", "BodyTruthOnly"), ValueError,
     "Unknown constraint_applicability semantics: BodyTruthOnly"),
]


@pytest.mark.parametrize("call, cls, expected", REFUSED_CALLS)
def test_refused_calls(store, call, cls, expected):
    with pytest.raises(cls) as e:
        call(store)
    assert type(e.value) is cls
    if expected is None:
        assert not str(e.value).startswith("argument")
    else:
        assert str(e.value) == expected
    # Nothing was written or evaluated.
    assert store.current_watermark() == 0 and store.idb_watermark("m") is None


def test_keywords_defaults_and_conversion_hooks(store):
    sym = store.intern(text="a")
    eid = store.assert_fact(d=0.0, b=1.0, args=[sym], pred_arity=1, pred_name="p", branch="m")
    assert store.get_facts("m", watermark=None)[0]["event_id"] == eid
    assert store.materialize(branch="m", max_depth=None) == {"atoms_changed": 0, "iterations": 0}

    class Index:
        def __index__(self):
            return 1

    class Real:
        def __float__(self):
            return 0.25

    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as k:
                raise TypeError("hook failed") from k

    assert store.resolve(Index()) == "a"
    eid = store.assert_fact("n", "p", True, range(sym, sym + 1), Real(), 0)
    fact = store.get_facts("n")[0]
    assert (fact["event_id"], fact["pred_arity"], fact["args"], fact["b"], fact["d"]) == (
        eid, 1, [sym], 0.25, 0.0)
    # A renamed TypeError keeps its cause.
    with pytest.raises(TypeError) as e:
        store.resolve(Bad())
    assert str(e.value) == "argument 'sym_id': hook failed"
    assert isinstance(e.value.__cause__, KeyError)
    for agg in ("maximum", "Maximum", "noisy_or", "NoisyOr", "capped_sum", "CappedSum"):
        for ev in ("none", "None", "per_source", "PerSource", "proof_tree", "ProofTree"):
            assert store.configure_predicate("p", agg, ev) is None
    assert store.set_semantics("body_truth_only", "body_truth_discounted_by_body_falsity") is None


# ---- Terms and goals --------------------------------------------------------

ENTITY = "Term string '{}' looks like an entity \u2014 use intern() first and pass the SymId"
NOT_A_TERM = "Term must be str, int, or dict"
NO_KEY = "Term dict must have 'Var' or 'Const' key"


@pytest.mark.parametrize("term, cls, expected", [
    ("x", ValueError, ENTITY.format("x")),
    ("1", ValueError, ENTITY.format("1")),
    ("", ValueError, ENTITY.format("")),
    (-1, ValueError, NOT_A_TERM),
    (2**64, ValueError, NOT_A_TERM),
    (5.0, ValueError, NOT_A_TERM),
    (None, ValueError, NOT_A_TERM),
    ("\udcff", ValueError, NOT_A_TERM),
    ({}, ValueError, NO_KEY),
    ({"Int": 3}, ValueError, NO_KEY),
    ({"Var": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"Const": -1}, OverflowError, None),
    ({"Const": "a"}, TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_term_refusals(store, term, cls, expected):
    # Head terms are converted before body goals.
    with pytest.raises(cls) as e:
        store.add_rule("m", 1, "h", 1, [term], ["not a goal"], 1.0, 0.0)
    assert type(e.value) is cls
    if expected is not None:
        assert str(e.value) == expected
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
    ({"pred_name": "p", "pred_arity": 1, "args": ("X",)}, ValueError, "Goal 'args' must be a list"),
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
            assert str(e.value) == expected
    assert store.current_watermark() == 0


# ---- Store and engine errors ------------------------------------------------

def test_engine_errors_reach_python(store):
    a = store.intern("a")
    store.configure_predicate("r", "noisy_or", "none")
    store.assert_fact("m", "r", 1, [a], float("nan"), 0.0)  # NaN changes on every pass
    store.assert_fact("m", "base", 1, [a], 1.0, 0.0)
    store.add_rule("m", 1, "r", 1, ["X"], [atom("r", "X"), atom("base", "X")], 1.0, 0.0)
    with pytest.raises(RuntimeError) as e:
        store.materialize("m")
    assert str(e.value) == "Eval(MaxIterationsExceeded)"
    assert store.idb_watermark("m") is None
    # A cap given by the caller stops quietly; 0 acts as 1.
    assert store.materialize("m", 0)["iterations"] == store.materialize("m", 1)["iterations"]
    assert store.idb_watermark("m") == store.edb_watermark()

    store.assert_fact("w", "p", 2, [1, 2, 3], 1.0, 0.0)
    with pytest.raises(RuntimeError) as e:
        store.materialize("w")
    assert str(e.value) == "Idb(InvalidArity { expected: 2, found: 3 })"


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
        assert str(e.value) == "Bincode(Io(Kind(UnexpectedEof)))"
    with pytest.raises(RuntimeError) as e:
        s.materialize("m")
    assert str(e.value) == "Edb(Bincode(Io(Kind(UnexpectedEof))))"
    # The counter is intact: both watermark readers agree.
    assert s.current_watermark() == s.edb_watermark() == 2
