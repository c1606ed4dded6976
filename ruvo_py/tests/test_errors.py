"""Exception classes and messages that callers match on."""

import pytest

from conftest import atom, raises_exactly


def conv(arg, got, want):
    return f"argument '{arg}': '{got}' object cannot be converted to '{want}'"


NO_VEC = "argument '{}': Can't extract `str` to `Vec`"
NOT_INT = "argument '{}': 'float' object cannot be interpreted as an integer"
NOT_REAL = "argument '{}': must be real number, not str"

# Calls as text after "s."; None: the original exception passes unchanged (no "argument" prefix).
REFUSED_CALLS = [
    ("intern()", TypeError, "NativeStore.intern() missing 1 required positional argument: 'text'"),
    ("intern('a', 'b')", TypeError,
     "NativeStore.intern() takes 1 positional arguments but 2 were given"),
    ("intern('a', x=1)", TypeError, "NativeStore.intern() got an unexpected keyword argument 'x'"),
    ("intern('a', text='b')", TypeError,
     "NativeStore.intern() got multiple values for argument 'text'"),
    ("assert_fact('m', 'p', 1, [1], 1.0, 0.0, None, 9)", TypeError,
     "NativeStore.assert_fact() takes from 6 to 7 positional arguments but 8 were given"),
    ("assert_fact('m', 'p')", TypeError, "NativeStore.assert_fact() missing 4 required "
     "positional arguments: 'pred_arity', 'args', 'b', and 'd'"),
    # A bad value and a missing argument: the binding error wins.
    ("assert_fact(5, 'p', 1, [1], 1.0)", TypeError,
     "NativeStore.assert_fact() missing 1 required positional argument: 'd'"),
    ("intern(5)", TypeError, conv("text", "int", "PyString")),
    ("intern_batch('abc')", TypeError, NO_VEC.format("texts")),
    ("intern_batch(['a', 1])", TypeError, conv("texts", "int", "PyString")),
    ("resolve_batch(7)", TypeError, conv("sym_ids", "int", "Sequence")),
    ("assert_fact('m', 'p', 1, [1.5], 1.0, 0.0)", TypeError, NOT_INT.format("args")),
    ("assert_fact('m', 'p', 1, [1], 'x', 0.0)", TypeError, NOT_REAL.format("b")),
    ("add_rule('m', 1, 'h', 1, ('X',), [], 1.0, 0.0)", TypeError,
     conv("head_args", "tuple", "PyList")),
    ("assert_facts_bulk('m', [('p', 1, [1], 1.0, 0.0, None), ['p', 1, [1], 1, 0, None]])",
     TypeError, conv("facts", "list", "PyTuple")),
    ("assert_facts_bulk('m', [('p', 1, [1], 1.0, 0.0)])", ValueError,
     "expected tuple of length 6, but got tuple of length 5"),
    ("materialize('m', 1.5)", TypeError, NOT_INT.format("max_depth")),
    # Parameters first: a bad d beats a bad head term; all three words are
    # converted before any is looked up.
    ("add_rule('m', 1, 'h', 1, ['x'], [], 1.0, 'd')", TypeError, NOT_REAL.format("d")),
    ("configure_predicate('p', 'unlisted', 3)", TypeError,
     conv("evidence_mode", "int", "PyString")),
    *[(call, OverflowError, None) for call in (
        "resolve(-1)", "materialize('m', -1)", "assert_fact('m', 'p', 1, [2**64], 1.0, 0.0)")],
    ("intern('\\udcff')", UnicodeEncodeError, None),
    ("configure_predicate('p', 'MAXIMUM', 'bogus')", ValueError, "Unknown aggregation mode: MAXIMUM"),
    ("configure_predicate('p', 'noisy_or', 'per-source')", ValueError,
     "Unknown evidence mode: per-source"),
    ("set_semantics('BodyTruthOnly', 'body_truth_only')", ValueError,
     "Unknown rule_applicability semantics: BodyTruthOnly"),
    ("set_semantics('body_truth_only', 'BodyTruthOnly')", ValueError,
     "Unknown constraint_applicability semantics: BodyTruthOnly"),
]


@pytest.mark.parametrize("call, cls, expected", REFUSED_CALLS)
def test_refused_calls(store, call, cls, expected):
    raises_exactly(cls, expected, lambda: eval("s." + call, {"s": store}))
    assert store.current_watermark() == 0 and store.idb_watermark("m") is None


def test_keywords_defaults_and_conversion_hooks(store):
    sym = store.intern(text="a")
    eid = store.assert_fact(d=0.0, b=1.0, args=[sym], pred_arity=1, pred_name="p", branch="m")
    assert store.get_facts("m", watermark=None)[0]["event_id"] == eid
    assert store.materialize(branch="m", max_depth=None) == {"atoms_changed": 0, "iterations": 0}
    Hooks = type("Hooks", (), {"__index__": lambda self: 1, "__float__": lambda self: 0.25})

    def bad_hook(self):
        raise TypeError("hook failed") from KeyError("inner")

    assert store.resolve(Hooks()) == "a"
    eid = store.assert_fact("n", "p", True, range(sym, sym + 1), Hooks(), 0, None)
    assert list(store.get_facts("n")[0].values()) == [eid, "p", 1, [sym], 0.25, 0.0, None]
    # A renamed TypeError keeps its cause.
    e = raises_exactly(TypeError, "argument 'sym_id': hook failed",
                       lambda: store.resolve(type("Bad", (), {"__index__": bad_hook})()))
    assert isinstance(e.__cause__, KeyError)
    assert {store.configure_predicate("p", agg, ev)
            for agg in ("maximum", "Maximum", "noisy_or", "NoisyOr", "capped_sum", "CappedSum")
            for ev in ("none", "None", "per_source", "PerSource", "proof_tree", "ProofTree")} == {None}
    assert store.set_semantics("body_truth_only", "body_truth_discounted_by_body_falsity") is None


ENTITY = "Term string '{}' looks like an entity \u2014 use intern() first and pass the SymId"
NOT_A_TERM = "Term must be str, int, or dict"
NO_KEY = "Term dict must have 'Var' or 'Const' key"


@pytest.mark.parametrize("term, cls, expected", [
    *[(t, ValueError, ENTITY.format(t)) for t in ("x", "")],
    *[(t, ValueError, NOT_A_TERM) for t in (-1, 2**64, 5.0, None, "\udcff")],
    *[(t, ValueError, NO_KEY) for t in ({}, {"Int": 3})],
    ({"Var": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"Const": -1}, OverflowError, None),
    ({"Const": "a"}, TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_term_refusals(store, term, cls, expected):
    # Head terms are converted before body goals.
    raises_exactly(cls, expected,
                   lambda: store.add_rule("m", 1, "h", 1, [term], ["not a goal"], 1.0, 0.0))
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
    ({"pred_name": "p", "pred_arity": -1, "args": []}, OverflowError, None),
    (atom("p", "X", negated=1), TypeError, "'int' object cannot be converted to 'PyBool'"),
    (atom("p", "x"), ValueError, ENTITY.format("x")),
])
def test_goal_refusals(store, goal, cls, expected):
    raises_exactly(cls, expected, lambda: store.add_rule("m", 1, "h", 1, ["X"], [goal], 1.0, 0.0))
    raises_exactly(cls, expected, lambda: store.add_constraint("m", 1, [goal], 1.0, 0.0))
    assert store.current_watermark() == 0


def test_engine_errors_reach_python(store):
    a = store.intern("a")
    store.configure_predicate("r", "noisy_or", "none")
    store.assert_fact("m", "r", 1, [a], float("nan"), 0.0)  # NaN changes on every pass
    store.assert_fact("m", "base", 1, [a], 1.0, 0.0)
    store.add_rule("m", 1, "r", 1, ["X"], [atom("r", "X"), atom("base", "X")], 1.0, 0.0)
    raises_exactly(RuntimeError, "Eval(MaxIterationsExceeded)", lambda: store.materialize("m"))
    assert store.idb_watermark("m") is None
    # A cap given by the caller stops quietly; 0 acts as 1.
    assert store.materialize("m", 0)["iterations"] == store.materialize("m", 1)["iterations"]
    assert store.idb_watermark("m") == store.edb_watermark()
    store.assert_fact("w", "p", 2, [1, 2, 3], 1.0, 0.0)
    raises_exactly(RuntimeError, "Idb(InvalidArity { expected: 2, found: 3 })",
                   lambda: store.materialize("w"))


def test_edb_error_is_wrapped_only_through_the_engine(paths, corrupt):
    from ruvo import NativeStore
    s = NativeStore(*paths)
    s.assert_facts_bulk("m", [("p", 1, [i], 1.0, 0.0, None) for i in (1, 2)])
    del s
    corrupt("record", paths[0], 2)
    s = NativeStore(*paths)
    for read in (s.get_facts, s.get_rules, s.get_constraints):
        raises_exactly(RuntimeError, "Bincode(Io(Kind(UnexpectedEof)))", lambda: read("m"))
    raises_exactly(RuntimeError, "Edb(Bincode(Io(Kind(UnexpectedEof))))", lambda: s.materialize("m"))
    assert s.current_watermark() == s.edb_watermark() == 2  # the counter is intact
