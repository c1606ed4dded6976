"""A short tour of ruvo: a store on disk, weighted facts, a recursive rule
with negation and a builtin, a constraint, materialisation, queries, and the
data surviving a reopen."""

import os
import sys
import tempfile

from ruvo import NativeStore


def show(store: NativeStore, pred: str, names: dict[int, str]) -> None:
    rows = store.query_predicate(pred)
    print(f"  {pred}: {len(rows)} atom(s)")
    for row in rows:
        args = ", ".join(names[a] for a in row["args"])
        print(f"    {pred}({args})  b={row['b']:.3f} d={row['d']:.3f}  {row['status']}")


def main() -> None:
    # A store directory given on the command line is kept; the default one
    # is removed when the demo ends.
    if len(sys.argv) > 1:
        run(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory(prefix="ruvo-demo-") as root:
            run(root)


def run(root: str) -> None:
    edb_path, idb_path = os.path.join(root, "edb"), os.path.join(root, "idb")
    print(f"Store in {root}")

    store = NativeStore(edb_path, idb_path)
    people = ["alice", "bob", "carol", "dave"]
    ids = store.intern_batch(people)
    alice, bob, carol, dave = ids
    names = dict(zip(ids, people))

    branch = "main"
    # Weighted facts: evidence for (b) and against (d).
    store.assert_fact(branch, "knows", 2, [alice, bob], 0.9, 0.0, source="survey")
    store.assert_fact(branch, "knows", 2, [bob, carol], 0.8, 0.1)
    store.assert_fact(branch, "knows", 2, [carol, dave], 0.7, 0.0)
    store.assert_fact(branch, "blocked", 1, [dave], 1.0, 0.0)

    # reach(X, Y) :- knows(X, Y).
    store.add_rule(branch, 1, "reach", 2, ["X", "Y"],
                   [{"pred_name": "knows", "pred_arity": 2, "args": ["X", "Y"]}], 1.0, 0.0)
    # reach(X, Z) :- reach(X, Y), knows(Y, Z), not blocked(Z), X != Z.
    store.add_rule(branch, 2, "reach", 2, ["X", "Z"], [
        {"pred_name": "reach", "pred_arity": 2, "args": ["X", "Y"]},
        {"pred_name": "knows", "pred_arity": 2, "args": ["Y", "Z"]},
        {"pred_name": "blocked", "pred_arity": 1, "negated": True, "args": ["Z"]},
        {"builtin_name": "ne", "args": ["X", "Z"]},
    ], 0.9, 0.0)
    # Constraint: nobody should know a blocked person. Each violation adds
    # evidence against the atoms involved.
    store.add_constraint(branch, 1, [
        {"pred_name": "knows", "pred_arity": 2, "args": ["X", "Y"]},
        {"pred_name": "blocked", "pred_arity": 1, "args": ["Y"]},
    ], 0.6, 0.0)

    stats = store.materialize(branch)
    print(f"Materialised {branch!r}: {stats}")
    show(store, "knows", names)
    show(store, "reach", names)
    state = store.get_atom_state("reach", [alice, carol])
    print(f"  reach(alice, carol) -> {state}")

    store.flush()
    print(f"EDB watermark {store.edb_watermark()}, IDB watermark of {branch!r}: "
          f"{store.idb_watermark(branch)}")
    del store

    print("Reopened:")
    store = NativeStore(edb_path, idb_path)
    print(f"  branches {store.list_branches()}, facts {len(store.get_facts(branch))}, "
          f"rules {len(store.get_rules(branch))}, constraints {len(store.get_constraints(branch))}")
    print(f"  symbol {alice} is {store.resolve(alice)!r}; "
          f"IDB watermark {store.idb_watermark(branch)}")
    store.materialize(branch)
    show(store, "reach", names)


if __name__ == "__main__":
    main()
