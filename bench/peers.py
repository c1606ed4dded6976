"""ruvo side by side with the engines a user would pick instead.

Each workload runs on the same data in ruvo (a temporary store), clingo
(ground + solve), SQLite (recursive CTE, or a join) and DuckDB (one thread,
same SQL). Every measurement runs in a fresh subprocess, so the peak RSS is
that of one engine on one workload. Every peer's result count must equal
ruvo's, or the run fails.

    bench/setup_peers.sh                  # once, and after changing ruvo
    bench/.venv/bin/python bench/peers.py [--workloads a,c,d] [--repeat N]
                                          [--chain 200,400 | --full]
    bench/.venv/bin/python bench/peers.py --stream [--stream-large]
                                          [--stream-reps N] [--repeat N]

Workloads:
  a  transitive closure, random graph of 1,000 nodes / 2,000 edges
  b  transitive closure over a chain (--chain N; --full for 1,000 nodes)
  c  same generation over a binary tree of depth 10
  d  directed triangles over 20,000 random edges on 1,000 nodes
  e  as a, edges at b 0.9, path folded by noisy_or with evidence mode none
     (the peers compute the plain closure of a)

Streaming (--stream): what re-materialising costs after appending a few
facts. ruvo builds the closure of a in a store on disk (--stream-large: of a
random graph of 3,000 nodes / 6,000 edges, about 5.7 M paths), then times,
in one process: the first materialize, one with no new facts, +1, +10 and
+100 new random edges (appended, then materialised), and +1 edge after
dropping the store and opening it again. A "+k" time takes in the append;
each row but the first is the median of --stream-reps calls, each with edges
of its own; the RSS shown is the process's, idle after the row's last call.
For each "+k" row the peers evaluate the closure from scratch (as in the
tables above: data loaded and indexed, then timed) over the graph as it
stands after that row's last call.
"""

import argparse
import importlib.util
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ENGINES = ("ruvo", "clingo", "sqlite", "duckdb")
HERE = os.path.dirname(os.path.abspath(__file__))


# ---- data and programs ------------------------------------------------------

def random_edges(nodes, count, seed):
    rng = random.Random(seed)
    edges = set()
    while len(edges) < count:
        a, b = rng.randrange(nodes), rng.randrange(nodes)
        if a != b:
            edges.add((a, b))
    return sorted(edges)


def tree_parents(depth):
    # Node i has children 2i+1 and 2i+2; rows are (child, parent).
    return [(c, (c - 1) // 2) for c in range(1, 2 ** (depth + 1) - 1)]


CLOSURE = {
    "rules": [("path", ["X", "Y"], [("edge", "X", "Y")]),
              ("path", ["X", "Z"], [("path", "X", "Y"), ("edge", "Y", "Z")])],
    "sql": """WITH RECURSIVE path(x, y) AS (
                SELECT x, y FROM edge
                UNION SELECT p.x, e.y FROM path p JOIN edge e ON p.y = e.x)
              SELECT count(*) FROM path""",
}
SAME_GEN = {
    "rules": [("sg", ["X", "Y"], [("par", "X", "P"), ("par", "Y", "P")]),
              ("sg", ["X", "Y"], [("par", "X", "P"), ("sg", "P", "Q"), ("par", "Y", "Q")])],
    "sql": """WITH RECURSIVE sg(x, y) AS (
                SELECT a.x, b.x FROM par a JOIN par b ON a.y = b.y
                UNION SELECT a.x, b.x FROM sg s JOIN par a ON a.y = s.x
                                                JOIN par b ON b.y = s.y)
              SELECT count(*) FROM sg""",
}
TRIANGLES = {
    "rules": [("tri", ["X", "Y", "Z"], [("e", "X", "Y"), ("e", "Y", "Z"), ("e", "Z", "X")])],
    "sql": """SELECT count(*) FROM e e1 JOIN e e2 ON e1.y = e2.x
              JOIN e e3 ON e2.y = e3.x AND e3.y = e1.x""",
}


def workload(name, chain):
    """Returns (label, input predicate, rows, program, fact b, noisy_or)."""
    if name == "a":
        return "a closure random 1k/2k", "edge", random_edges(1000, 2000, 1), CLOSURE, 1.0, False
    if name == "b":
        return (f"b closure chain {chain}", "edge",
                [(i, i + 1) for i in range(chain - 1)], CLOSURE, 1.0, False)
    if name == "c":
        return "c same-gen tree d10", "par", tree_parents(10), SAME_GEN, 1.0, False
    if name == "d":
        return "d triangles 1k/20k", "e", random_edges(1000, 20000, 2), TRIANGLES, 1.0, False
    if name == "e":
        return ("e closure a, noisy_or b=0.9", "edge", random_edges(1000, 2000, 1),
                CLOSURE, 0.9, True)
    if name.startswith("@"):  # an edge list written by the streaming run
        with open(name[1:]) as f:
            return name, "edge", [tuple(e) for e in json.load(f)], CLOSURE, 1.0, False
    raise SystemExit(f"unknown workload {name!r}")


# ---- one engine on one workload, inside a child process -------------------

def add_rules(s, prog):
    goal = lambda g: {"pred_name": g[0], "pred_arity": len(g) - 1, "args": list(g[1:])}
    for rid, (head, args, body) in enumerate(prog["rules"], 1):
        s.add_rule("main", rid, head, len(args), args, [goal(g) for g in body], 1.0, 0.0)


def run_ruvo(pred, rows, prog, b, noisy):
    from ruvo import NativeStore
    t0 = time.perf_counter()
    s = NativeStore.new_temporary()
    nodes = sorted({v for row in rows for v in row})
    ids = dict(zip(nodes, s.intern_batch([f"n{v}" for v in nodes])))
    s.assert_facts_bulk("main", [(pred, 2, [ids[x], ids[y]], b, 0.0, None) for x, y in rows])
    add_rules(s, prog)
    head = prog["rules"][0][0]
    if noisy:
        s.configure_predicate(head, "noisy_or", "none")
    t1 = time.perf_counter()
    stats = s.materialize("main")
    t2 = time.perf_counter()
    rss = peak_rss_kib()  # before the result rows are built for counting
    return t2 - t1, t2 - t0, len(s.query_predicate_bulk(head)), stats, rss


def run_clingo(pred, rows, prog, b, noisy):
    import clingo
    t0 = time.perf_counter()
    text = [f"{pred}({x},{y})." for x, y in rows]
    for head, args, body in prog["rules"]:
        goals = ", ".join(f"{g[0]}({','.join(g[1:])})" for g in body)
        text.append(f"{head}({','.join(args)}) :- {goals}.")
    ctl = clingo.Control(["--warn=none"])
    ctl.add("base", [], "\n".join(text))
    t1 = time.perf_counter()
    ctl.ground([("base", [])])
    ctl.solve()
    t2 = time.perf_counter()
    rss = peak_rss_kib()
    head, args, _ = prog["rules"][0]
    count = sum(1 for _ in ctl.symbolic_atoms.by_signature(head, len(args)))
    return t2 - t1, t2 - t0, count, None, rss


def run_sql(engine, pred, rows, prog):
    t0 = time.perf_counter()
    if engine == "sqlite":
        import sqlite3
        con = sqlite3.connect(":memory:")
        con.execute(f"CREATE TABLE {pred}(x INTEGER, y INTEGER)")
        con.executemany(f"INSERT INTO {pred} VALUES (?, ?)", rows)
    else:
        import duckdb
        con = duckdb.connect(":memory:")
        con.execute("SET threads = 1")
        con.execute(f"CREATE TABLE {pred}(x INTEGER, y INTEGER)")
        con.execute(f"INSERT INTO {pred} VALUES " + ", ".join(f"({x},{y})" for x, y in rows))
    # What a user would add: covering lookups by either column.
    con.execute(f"CREATE INDEX {pred}_xy ON {pred}(x, y)")
    con.execute(f"CREATE INDEX {pred}_yx ON {pred}(y, x)")
    t1 = time.perf_counter()
    (count,) = con.execute(prog["sql"]).fetchone()
    t2 = time.perf_counter()
    return t2 - t1, t2 - t0, count, None, peak_rss_kib()


def peak_rss_kib():
    """Peak resident memory so far: taken when the evaluation is done, so
    that building result rows only to count them is not included."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def child(engine, name, chain):
    _, pred, rows, prog, b, noisy = workload(name, chain)
    if engine == "ruvo":
        out = run_ruvo(pred, rows, prog, b, noisy)
    elif engine == "clingo":
        out = run_clingo(pred, rows, prog, b, noisy)
    else:
        out = run_sql(engine, pred, rows, prog)
    eval_s, total_s, count, stats, rss_kib = out
    print(json.dumps({"eval_s": eval_s, "total_s": total_s, "count": count,
                      "stats": stats, "rss_kib": rss_kib}))


# ---- streaming: append a few edges to a store on disk, re-materialise -----

STREAM_STORES = {"small": ("1k/2k", 1000, 2000), "large": ("3k/6k", 3000, 6000)}


def idle_rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def stream_child(store, reps):
    import gc
    from ruvo import NativeStore
    _, nodes, count = STREAM_STORES[store]
    edges = random_edges(nodes, count, 1)
    have, rng, added, rows = set(edges), random.Random(2), [], []
    tmp = tempfile.TemporaryDirectory()
    dirs = [os.path.join(tmp.name, d) for d in ("edb", "idb")]

    def open_store():
        s = NativeStore(*dirs)
        s.configure_predicate("path", "maximum", "none")  # held in memory only
        return s, s.intern_batch([f"n{v}" for v in range(nodes)])

    def facts(new):
        return [("edge", 2, [ids[x], ids[y]], 1.0, 0.0, None) for x, y in new]

    def call(k):
        new = []
        while len(new) < k:
            e = (rng.randrange(nodes), rng.randrange(nodes))
            if e[0] != e[1] and e not in have:
                have.add(e)
                new.append(e)
        t0 = time.perf_counter()
        if new:
            s.assert_facts_bulk("main", facts(new))
        stats = s.materialize("main")
        added.extend(new)
        return time.perf_counter() - t0, stats

    def row(name, k, times, stats=None):
        rows.append({"call": name, "k": k, "times": times, "stats": stats,
                     "edges": len(edges) + len(added), "rss_kib": idle_rss_kib()})

    s, ids = open_store()
    s.assert_facts_bulk("main", facts(edges))
    add_rules(s, CLOSURE)
    t, stats = call(0)
    row("first materialize", 0, [t], stats)
    for name, k in (("no new facts", 0), ("+1 edge", 1), ("+10 edges", 10), ("+100 edges", 100)):
        runs = [call(k) for _ in range(reps)]
        row(name, k, [t for t, _ in runs], runs[-1][1])
    opens, runs = [], []
    for _ in range(reps):
        t0 = time.perf_counter()
        del s
        gc.collect()
        s, ids = open_store()
        opens.append(time.perf_counter() - t0)
        runs.append(call(1))
    row("close + reopen", 0, opens)
    row("reopen, +1 edge", 1, [t for t, _ in runs], runs[-1][1])
    peak = peak_rss_kib()  # before the result rows are built for counting
    print(json.dumps({"rows": rows, "edges": edges + added, "peak_rss_kib": peak,
                      "count": len(s.query_predicate_bulk("path"))}))


def stream(args, timeout):
    stores = (["small"] if args.stream else []) + (["large"] if args.stream_large else [])
    out, bad = [], []
    for store in stores:
        cmd = [sys.executable, os.path.abspath(__file__), "--stream-child", store,
               str(args.stream_reps)]
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        if p.returncode != 0:
            raise SystemExit(f"ruvo stream {store}: {p.stderr.strip()}")
        res = json.loads(p.stdout.strip().splitlines()[-1])
        label = STREAM_STORES[store][0]
        for r in res["rows"]:
            r["peers"] = {}
            if r["k"]:
                with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
                    json.dump(res["edges"][:r["edges"]], f)
                for e in ("clingo", "sqlite", "duckdb"):
                    r["peers"][e] = measure(e, "@" + f.name, 0, args.repeat, timeout)
                os.unlink(f.name)
                counts = {e: q.get("count") for e, q in r["peers"].items()}
                if r is res["rows"][-1]:
                    counts["ruvo"] = res["count"]
                if len(set(c for c in counts.values() if c is not None)) > 1:
                    bad.append(f"{label} {r['call']}: {counts}")
            print(f"{label} {r['call']:18} ruvo {statistics.median(r['times']):.3f} s  "
                  + "  ".join(f"{e} {secs(q)}" for e, q in r["peers"].items()),
                  file=sys.stderr, flush=True)
        out.append((label, res))
    cols = ["store", "call", "ruvo s median (min-max)", "iterations / atoms_changed",
            "ruvo idle RSS", "clingo s", "SQLite s", "DuckDB s (1 thread)", "ruvo/DuckDB"]
    print("| " + " | ".join(cols) + " |")
    print("|" + "---|" * len(cols))
    for label, res in out:
        for r in res["rows"]:
            t, st, q = r["times"], r["stats"], r["peers"]
            cells = [label, r["call"], f"{statistics.median(t):.3f} ({min(t):.3f}-{max(t):.3f})",
                     f"{st['iterations']} / {st['atoms_changed']:,}" if st else "-",
                     mib(r)] + [secs(q[e]) if q else "-" for e in ("clingo", "sqlite", "duckdb")]
            cells.append(ratio({"eval_s": statistics.median(t)}, q["duckdb"]) if q else "-")
            print("| " + " | ".join(cells) + " |")
    print()
    for label, res in out:
        print(f"{label}: {res['count']:,} paths after {len(res['edges']):,} edges; "
              f"ruvo peak RSS {res['peak_rss_kib'] / 1024:.0f} MiB")
    if bad:
        print("\nRESULT COUNT MISMATCH:\n  " + "\n  ".join(bad))
        sys.exit(1)


# ---- parent: spawn, collect, print ----------------------------------------

def measure(engine, name, chain, repeat, timeout):
    runs = []
    for _ in range(repeat):
        cmd = [sys.executable, os.path.abspath(__file__), "--child", engine, name, str(chain)]
        try:
            p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return {"error": f"timeout > {timeout:g} s"}
        if p.returncode != 0:
            tail = (p.stderr.strip().splitlines() or ["exit %d" % p.returncode])[-1]
            return {"error": tail}
        runs.append(json.loads(p.stdout.strip().splitlines()[-1]))
    res = dict(runs[0])
    for key in ("eval_s", "total_s"):
        res[key] = statistics.median(r[key] for r in runs)
    res["rss_kib"] = max(r["rss_kib"] for r in runs)
    return res


def secs(r):
    return f"{r['eval_s']:.3f}" if "eval_s" in r else r.get("error", "-")


def ratio(ruvo, peer):
    if "eval_s" not in ruvo or "eval_s" not in peer or peer["eval_s"] <= 0:
        return "-"
    return f"{ruvo['eval_s'] / peer['eval_s']:.1f}x"


def mib(r):
    return f"{r['rss_kib'] / 1024:.0f} MiB" if "rss_kib" in r else "-"


def print_tables(results, engines):
    cols = ["workload", "atoms", "ruvo materialize s", "clingo s", "SQLite s", "DuckDB s",
            "ruvo/clingo", "ruvo/SQLite", "ruvo/DuckDB", "ruvo peak RSS", "clingo peak RSS",
            "ruvo iterations / atoms_changed", "ruvo total s"]
    print("| " + " | ".join(cols) + " |")
    print("|" + "---|" * len(cols))
    none = {}
    for label, res in results:
        r = res["ruvo"]
        st = r.get("stats") or {}
        row = [label, f"{r['count']:,}" if "count" in r else "-", secs(r)]
        row += [secs(res.get(e, none)) for e in ("clingo", "sqlite", "duckdb")]
        row += [ratio(r, res.get(e, none)) for e in ("clingo", "sqlite", "duckdb")]
        row += [mib(r), mib(res.get("clingo", none))]
        row += [f"{st['iterations']} / {st['atoms_changed']:,}" if st else "-",
                f"{r['total_s']:.3f}" if "total_s" in r else "-"]
        print("| " + " | ".join(row) + " |")
    print()
    print("Totals (load + evaluate) and peak RSS per engine:")
    print()
    print("| workload | " + " | ".join(f"{e} total s | {e} peak RSS" for e in engines) + " |")
    print("|" + "---|" * (1 + 2 * len(engines)))
    for label, res in results:
        cells = []
        for e in engines:
            r = res.get(e, none)
            cells += [f"{r['total_s']:.3f}" if "total_s" in r else r.get("error", "-"), mib(r)]
        print(f"| {label} | " + " | ".join(cells) + " |")


def reexec_in_bench_venv():
    # Only looked up, not imported: a child's peak RSS starts from what its
    # parent held when it was spawned.
    if all(importlib.util.find_spec(m) for m in ("clingo", "duckdb", "ruvo")):
        return
    venv = os.path.join(HERE, ".venv")
    py = os.path.join(venv, "bin", "python")
    if os.path.exists(py) and os.path.realpath(sys.prefix) != os.path.realpath(venv):
        os.execv(py, [py] + sys.argv)
    raise SystemExit("clingo, duckdb or ruvo missing: run bench/setup_peers.sh first")


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        return child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    if len(sys.argv) == 4 and sys.argv[1] == "--stream-child":
        return stream_child(sys.argv[2], int(sys.argv[3]))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--workloads", default="a,b,c,d,e")
    ap.add_argument("--engines", default=",".join(ENGINES))
    ap.add_argument("--repeat", type=int, default=1, help="runs per cell; the median is shown")
    ap.add_argument("--chain", default="200", help="chain length(s) for b, e.g. 200,400")
    ap.add_argument("--full", action="store_true", help="b over a chain of 1,000 nodes")
    ap.add_argument("--timeout", type=float, default=1800, help="seconds per run")
    ap.add_argument("--stream", action="store_true", help="the streaming workload instead")
    ap.add_argument("--stream-large", action="store_true",
                    help="the 3k/6k store (with --stream: both stores)")
    ap.add_argument("--stream-reps", type=int, default=5, help="ruvo calls per streaming row")
    args = ap.parse_args()
    reexec_in_bench_venv()
    if args.stream or args.stream_large:
        return stream(args, args.timeout)
    engines = [e for e in ENGINES if e in args.engines.split(",")]
    if "ruvo" not in engines:
        raise SystemExit("ruvo must be among the engines: its count is the reference")
    chains = [1000] if args.full else [int(c) for c in args.chain.split(",")]
    jobs = [(w, c) for w in args.workloads.split(",") for c in (chains if w == "b" else [0])]
    results, bad = [], []
    for name, chain in jobs:
        label = workload(name, chain)[0]
        res = {}
        for e in engines:
            res[e] = measure(e, name, chain, args.repeat, args.timeout)
            print(f"{label:32} {e:7} {secs(res[e]):>12} s  count {res[e].get('count', '-')}",
                  file=sys.stderr, flush=True)
        want = res["ruvo"].get("count")
        for e in engines[1:]:
            got = res[e].get("count")
            if got is not None and got != want:
                bad.append(f"{label}: {e} counted {got:,}, ruvo {want}")
        results.append((label, res))
    print_tables(results, engines)
    if bad:
        print("\nRESULT COUNT MISMATCH:\n  " + "\n  ".join(bad))
        sys.exit(1)


if __name__ == "__main__":
    main()
