# Type stubs for the native extension module. Checked against the built
# module by scripts/test.sh; keep them in step with ruvo_py/src/module.cc.

from collections.abc import Sequence
from typing import Literal, NotRequired, Self, TypeAlias, TypedDict, final

__all__ = ["NativeStore"]

_Aggregation: TypeAlias = Literal[
    "maximum", "Maximum", "noisy_or", "NoisyOr", "capped_sum", "CappedSum"
]
_EvidenceMode: TypeAlias = Literal[
    "none", "None", "per_source", "PerSource", "proof_tree", "ProofTree"
]
_Applicability: TypeAlias = Literal[
    "body_truth_only", "body_truth_discounted_by_body_falsity"
]
_Status: TypeAlias = Literal["True", "False", "Both", "Neither"]
_BuiltinName: TypeAlias = Literal[
    "eq", "ne", "lt", "leq", "gt", "geq", "add", "sub", "mul", "div", "between",
    "int", "string", "float", "entity", "predicate_ref", "date", "datetime", "duration",
]

# Terms as given: a str starting with an uppercase letter or "_" is a
# variable, an int a symbol id.
_VarTerm = TypedDict("_VarTerm", {"Var": str})
_ConstTerm = TypedDict("_ConstTerm", {"Const": int})
_TermIn: TypeAlias = str | int | _VarTerm | _ConstTerm

# Terms as read back: always a dict with exactly one key.
_IntTerm = TypedDict("_IntTerm", {"Int": int})
_FloatTerm = TypedDict("_FloatTerm", {"Float": float})
_StrTerm = TypedDict("_StrTerm", {"Str": int})
_TermOut: TypeAlias = _VarTerm | _ConstTerm | _IntTerm | _FloatTerm | _StrTerm

class _AtomGoalIn(TypedDict):
    pred_name: str
    pred_arity: int
    negated: NotRequired[bool]
    args: list[_TermIn]

class _BuiltinGoalIn(TypedDict):
    builtin_name: _BuiltinName
    args: list[_TermIn]

_GoalIn: TypeAlias = _AtomGoalIn | _BuiltinGoalIn

class _AtomGoalOut(TypedDict):
    pred_name: str
    pred_arity: int
    negated: bool
    args: list[_TermOut]

class _BuiltinGoalOut(TypedDict):
    builtin_name: _BuiltinName
    args: list[_TermOut]

_GoalOut: TypeAlias = _AtomGoalOut | _BuiltinGoalOut

# (pred_name, pred_arity, args, b, d, source_or_none)
_FactTuple: TypeAlias = tuple[str, int, Sequence[int], float, float, str | None]

class _FactDict(TypedDict):
    event_id: int
    pred_name: str
    pred_arity: int
    args: list[int]
    b: float
    d: float
    source: str | None

class _RuleDict(TypedDict):
    id: int
    head_pred_name: str
    head_pred_arity: int
    head_args: list[_TermOut]
    body: list[_GoalOut]
    b: float
    d: float

class _ConstraintDict(TypedDict):
    id: int
    body: list[_GoalOut]
    b: float
    d: float

class _MaterializeStats(TypedDict):
    atoms_changed: int
    iterations: int

class _AtomState(TypedDict):
    b: float
    d: float
    status: _Status

class _Answer(TypedDict):
    args: list[int]
    b: float
    d: float
    status: _Status

@final
class NativeStore:
    """The main Python-facing handle for the ruvo-native engine."""

    def __new__(cls, edb_path: str, idb_path: str) -> Self: ...
    @staticmethod
    def new_temporary() -> NativeStore: ...
    # Symbols and configuration
    def intern(self, text: str) -> int: ...
    def intern_batch(self, texts: Sequence[str]) -> list[int]: ...
    def resolve_batch(self, sym_ids: Sequence[int]) -> list[str | None]: ...
    def resolve(self, sym_id: int) -> str | None: ...
    def configure_predicate(
        self, name: str, aggregation: _Aggregation, evidence_mode: _EvidenceMode
    ) -> None: ...
    def set_semantics(
        self, rule_applicability: _Applicability, constraint_applicability: _Applicability
    ) -> None: ...
    # Writing the event log; each returns an event id except assert_facts_bulk
    # (the number of facts written).
    def assert_fact(
        self,
        branch: str,
        pred_name: str,
        pred_arity: int,
        args: Sequence[int],
        b: float,
        d: float,
        source: str | None = None,
    ) -> int: ...
    def assert_facts_bulk(self, branch: str, facts: Sequence[_FactTuple]) -> int: ...
    def retract_fact(self, branch: str, target_event_id: int) -> int: ...
    def add_rule(
        self,
        branch: str,
        rule_id: int,
        head_pred_name: str,
        head_pred_arity: int,
        head_args: list[_TermIn],
        body: list[_GoalIn],
        b: float,
        d: float,
    ) -> int: ...
    def add_constraint(
        self, branch: str, constraint_id: int, body: list[_GoalIn], b: float, d: float
    ) -> int: ...
    # Reading the event log
    def get_facts(self, branch: str, watermark: int | None = None) -> list[_FactDict]: ...
    def get_rules(self, branch: str, watermark: int | None = None) -> list[_RuleDict]: ...
    def get_constraints(
        self, branch: str, watermark: int | None = None
    ) -> list[_ConstraintDict]: ...
    def list_branches(self) -> list[str]: ...
    # Evaluation and queries
    def materialize(self, branch: str, max_depth: int | None = None) -> _MaterializeStats: ...
    def get_atom_state(self, pred_name: str, args: Sequence[int]) -> _AtomState: ...
    def query_predicate(self, pred_name: str) -> list[_Answer]: ...
    def query_predicate_bulk(self, pred_name: str) -> list[tuple[list[int], float, float]]: ...
    def current_watermark(self) -> int: ...
    def edb_watermark(self) -> int: ...
    def idb_watermark(self, branch: str) -> int | None: ...
    def flush(self) -> None: ...
