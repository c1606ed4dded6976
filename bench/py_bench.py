"""Benchmarks of the Python boundary of ruvo._native; prints its figures.

Run with the package importable, e.g.
    PYTHONPATH=build/release/python python bench/py_bench.py [--quick]
"""

import math
import random
import sys
import time

from ruvo import NativeStore

QUICK = "--quick" in sys.argv


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def per_call_ns(fn, arg, n):
    def loop():
        for _ in range(n):
            fn(arg)
    best = min(timed(loop)[0] for _ in range(5))
    return best / n * 1e9


def bench_call_overhead():
    s = NativeStore.new_temporary()
    sym = s.intern("cached symbol")
    s.resolve(sym)
    n = 200_000 if QUICK else 1_000_000
    resolve_ns = per_call_ns(s.resolve, sym, n)
    floor_ns = per_call_ns(math.floor, 1.5, n)
    print(f"resolve (cached symbol): {resolve_ns:7.1f} ns/call")
    print(f"math.floor:              {floor_ns:7.1f} ns/call")
    print(f"ratio resolve/floor:     {resolve_ns / floor_ns:7.2f} (target <= 2)")


def bench_intern_batch():
    s = NativeStore.new_temporary()
    n = 200_000 if QUICK else 1_000_000
    texts = [f"text-{i}" for i in range(n)]
    t_new, ids = timed(lambda: s.intern_batch(texts))
    t_known, again = timed(lambda: s.intern_batch(texts))
    assert ids == again
    t_resolve, back = timed(lambda: s.resolve_batch(ids))
    assert back == texts
    print(f"intern_batch new texts:   {n / t_new:12,.0f} texts/s (target >= 300,000)")
    print(f"intern_batch known texts: {n / t_known:12,.0f} texts/s (target >= 2,000,000)")
    print(f"resolve_batch:            {n / t_resolve:12,.0f} ids/s")


def bench_facts_and_queries():
    s = NativeStore.new_temporary()
    n = 50_000 if QUICK else 300_000
    ids = s.intern_batch([f"e{i}" for i in range(n)])
    facts = [("e", 2, [ids[i], ids[(i * 7) % n]], 0.9, 0.05, None) for i in range(n)]
    t_bulk, count = timed(lambda: s.assert_facts_bulk("main", facts))
    assert count == n
    print(f"assert_facts_bulk:        {n / t_bulk:12,.0f} facts/s (target >= 150,000)")
    s.materialize("main")
    # The first large result of a process also pays for fresh memory (page
    # faults, new allocator arenas); later ones reuse it.
    for name, query, target in (("query_predicate_bulk", s.query_predicate_bulk, "2,000,000"),
                                ("query_predicate", s.query_predicate, "700,000")):
        times = []
        for _ in range(3):
            t, rows = timed(lambda: query("e"))
            assert len(rows) == n
            times.append(t)
            del rows
        print(f"{name + ':':25} {n / min(times):12,.0f} rows/s best of 3, "
              f"{n / times[0]:,.0f} first call (target >= {target})")


def closure(name, edges, nodes):
    s = NativeStore.new_temporary()
    ids = s.intern_batch([f"n{i}" for i in range(nodes)])
    s.assert_facts_bulk("main", [("edge", 2, [ids[a], ids[b]], 1.0, 0.0, None)
                                 for a, b in edges])
    edge = lambda x, y: {"pred_name": "edge", "pred_arity": 2, "args": [x, y]}
    path = lambda x, y: {"pred_name": "path", "pred_arity": 2, "args": [x, y]}
    s.add_rule("main", 1, "path", 2, ["X", "Y"], [edge("X", "Y")], 1.0, 0.0)
    s.add_rule("main", 2, "path", 2, ["X", "Z"], [path("X", "Y"), edge("Y", "Z")], 1.0, 0.0)
    t_eval, stats = timed(lambda: s.materialize("main"))
    t_conv, rows = timed(lambda: s.query_predicate_bulk("path"))
    # Point reads of stored atoms, in random order, right after the call
    # that wrote them.
    sample = random.Random(2).sample([args for args, _, _ in rows], min(len(rows), 100_000))
    t_point, _ = timed(lambda: [s.get_atom_state("path", args) for args in sample])
    print(f"closure {name}: materialize {t_eval:8.3f} s "
          f"({stats['iterations']} passes, {stats['atoms_changed']:,} changes), "
          f"{len(rows):,} path rows converted in {t_conv * 1e3:.1f} ms, "
          f"{len(sample) / t_point:,.0f} point reads/s")


def main():
    bench_call_overhead()
    bench_intern_batch()
    bench_facts_and_queries()
    closure("chain of 200", [(i, i + 1) for i in range(199)], 200)
    rng = random.Random(1)
    edges = set()
    while len(edges) < 2000:
        a, b = rng.randrange(1000), rng.randrange(1000)
        if a != b:
            edges.add((a, b))
    closure("random 1,000 nodes / 2,000 edges", sorted(edges), 1000)


if __name__ == "__main__":
    main()
