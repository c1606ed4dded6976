// Materialisation benchmarks: whole programs through EngineSession on
// temporary databases. Prints, per program, the passes (iterations),
// atoms_changed, wall time, complete body matches per second and the peak
// resident memory of the process so far.
//
// Usage: engine_bench [--hash] [--reference] [name ...]   (default: every
// program; --reference evaluates the straightforward way)
// --hash also prints, after each run, a digest of the whole "state" and
// "contrib" trees (keys and values in key order) and of the run's figures,
// to compare the results of two builds.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ruvo_engine/src/session.h"

namespace {

using ruvo::AtomGoal;
using ruvo::BuiltinGoal;
using ruvo::BuiltinOp;
using ruvo::Constraint;
using ruvo::EngineSession;
using ruvo::Goal;
using ruvo::Rule;
using ruvo::Term;

Term v(const char* name) { return Term::var(name); }

Goal atom(const char* pred, std::vector<Term> args, bool negated = false) {
  const uint64_t arity = args.size();
  return AtomGoal{pred, arity, negated, std::move(args)};
}

Rule rule(uint64_t id, const char* head, std::vector<Term> head_args, std::vector<Goal> body,
          double b = 1.0) {
  const uint64_t arity = head_args.size();
  return Rule{id, head, arity, std::move(head_args), std::move(body), b, 0.0};
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "setup failed: %s\n", what);
    std::exit(1);
  }
}

struct Bench {
  EngineSession s = std::move(*EngineSession::open_temporary());
  std::vector<uint64_t> nodes;

  void make_nodes(size_t n) {
    for (size_t i = 0; i < n; ++i) {
      std::string name = "n";  // appended, not "n" + ...: g++ 12 warns wrongly on that at -O2
      name += std::to_string(i);
      nodes.push_back(*s.intern(name));
    }
  }
  void fact(const char* pred, std::vector<uint64_t> args, double b = 1.0) {
    const uint64_t arity = args.size();
    check(s.edb.assert_fact("main", pred, arity, std::move(args), b, 0.0, std::nullopt)
              .has_value(),
          "fact");
  }
  void add(Rule r) { check(s.edb.add_rule("main", std::move(r)).has_value(), "rule"); }
  void add(Constraint c) {
    check(s.edb.add_constraint("main", std::move(c)).has_value(), "constraint");
  }
};

bool g_hash = false;
bool g_reference = false;

struct Fnv {
  uint64_t h = 14695981039346656037ull;
  void add(std::string_view s) {
    uint64_t n = s.size();
    for (int i = 0; i < 8; ++i) byte(static_cast<unsigned char>(n >> (8 * i)));
    for (unsigned char c : s) byte(c);
  }
  void byte(unsigned char c) {
    h ^= c;
    h *= 1099511628211ull;
  }
};

uint64_t tree_digest(const ruvo::kv::Tree& tree, uint64_t& rows) {
  Fnv f;
  rows = 0;
  check(tree.scan_prefix("", [&](std::string_view k, std::string_view v) {
              f.add(k);
              f.add(v);
              ++rows;
              return true;
            }).has_value(),
        "digest scan");
  return f.h;
}

long peak_rss_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

void run(const char* name, Bench& b) {
  b.s.eval_control.reference = g_reference;
  const uint64_t matches_before = ruvo::body_matches_found();
  const auto t0 = std::chrono::steady_clock::now();
  auto r = b.s.materialize_with_options("main", std::nullopt);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!r) {
    std::printf("%-28s error %s\n", name, r.error().debug().c_str());
    return;
  }
  const uint64_t matches = ruvo::body_matches_found() - matches_before;
  std::printf("%-28s passes %6llu  atoms_changed %9llu  wall %8.3f s  body matches %10llu "
              "(%.0f/s)  peak rss %ld MiB\n",
              name, static_cast<unsigned long long>(r->iterations),
              static_cast<unsigned long long>(r->atoms_changed), secs,
              static_cast<unsigned long long>(matches), matches / secs, peak_rss_kib() / 1024);
  if (g_hash) {
    uint64_t state_rows = 0, contrib_rows = 0;
    const uint64_t hs = tree_digest(b.s.idb.state_tree(), state_rows);
    const uint64_t hc = tree_digest(b.s.idb.contrib_tree(), contrib_rows);
    std::printf("  digest state %016llx (%llu rows)  contrib %016llx (%llu rows)  stats %llu/%llu "
                "matches %llu\n",
                static_cast<unsigned long long>(hs), static_cast<unsigned long long>(state_rows),
                static_cast<unsigned long long>(hc), static_cast<unsigned long long>(contrib_rows),
                static_cast<unsigned long long>(r->iterations),
                static_cast<unsigned long long>(r->atoms_changed),
                static_cast<unsigned long long>(matches));
  }
  std::fflush(stdout);
}

void closure_rules(Bench& b) {
  b.add(rule(1, "path", {v("X"), v("Y")}, {atom("edge", {v("X"), v("Y")})}));
  b.add(rule(2, "path", {v("X"), v("Z")},
             {atom("edge", {v("X"), v("Y")}), atom("path", {v("Y"), v("Z")})}));
}

void chain_closure(size_t n) {
  Bench b;
  b.make_nodes(n);
  for (size_t i = 0; i + 1 < n; ++i) b.fact("edge", {b.nodes[i], b.nodes[i + 1]});
  closure_rules(b);
  run(("tc_chain_" + std::to_string(n)).c_str(), b);
}

// `count` distinct edges between distinct nodes of [0, nodes), seeded.
std::set<std::pair<size_t, size_t>> random_edges(size_t nodes, size_t count) {
  std::mt19937_64 rng(42);
  std::uniform_int_distribution<size_t> pick(0, nodes - 1);
  std::set<std::pair<size_t, size_t>> edges;
  while (edges.size() < count) {
    size_t x = pick(rng), y = pick(rng);
    if (x != y) edges.emplace(x, y);
  }
  return edges;
}

void random_closure(bool noisy) {
  Bench b;
  if (noisy) b.s.configure_predicate("path", ruvo::AggregationMode::NoisyOr, ruvo::EvidenceMode::None);
  b.make_nodes(1000);
  for (auto [x, y] : random_edges(1000, 2000)) b.fact("edge", {b.nodes[x], b.nodes[y]}, noisy ? 0.9 : 1.0);
  closure_rules(b);
  run(noisy ? "tc_random_noisy_or" : "tc_random_1000_2000", b);
}

void triangles() {
  Bench b;
  b.make_nodes(1000);
  for (auto [x, y] : random_edges(1000, 20000)) b.fact("e", {b.nodes[x], b.nodes[y]});
  b.add(rule(1, "tri", {v("X"), v("Y"), v("Z")},
             {atom("e", {v("X"), v("Y")}), atom("e", {v("Y"), v("Z")}), atom("e", {v("Z"), v("X")})}));
  run("triangles_1000_20000", b);
}

void same_generation() {
  // Complete binary tree of depth 10: node i has children 2i+1 and 2i+2.
  Bench b;
  const size_t n = (size_t{1} << 11) - 1;
  b.make_nodes(n);
  for (size_t i = 1; i < n; ++i) b.fact("par", {b.nodes[i], b.nodes[(i - 1) / 2]});
  b.add(rule(1, "sg", {v("X"), v("Y")},
             {atom("par", {v("X"), v("P")}), atom("par", {v("Y"), v("P")})}));
  b.add(rule(2, "sg", {v("X"), v("Y")},
             {atom("par", {v("X"), v("P")}), atom("sg", {v("P"), v("Q")}),
              atom("par", {v("Y"), v("Q")})}));
  run("same_generation_tree_10", b);
}

void mixed() {
  // A DAG with scores: reachability folded by noisy-or per source, a
  // threshold builtin, negation over the result, and a constraint.
  Bench b;
  const size_t n = 300;
  b.make_nodes(n);
  b.s.configure_predicate("reach", ruvo::AggregationMode::NoisyOr,
                          ruvo::EvidenceMode::PerSource);
  b.s.configure_predicate("flagged", ruvo::AggregationMode::NoisyOr,
                          ruvo::EvidenceMode::PerSource);
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<size_t> pick(0, n - 1);
  std::uniform_int_distribution<int> score(0, 100);
  std::set<std::pair<size_t, size_t>> edges;
  while (edges.size() < 600) {
    size_t x = pick(rng), y = pick(rng);
    if (x < y && y - x < 20) edges.emplace(x, y);
  }
  for (auto [x, y] : edges) b.fact("edge", {b.nodes[x], b.nodes[y]}, 0.9);
  const uint64_t limit = *b.s.intern("80");
  for (size_t i = 0; i < n; ++i)
    b.fact("score", {b.nodes[i], *b.s.intern(std::to_string(score(rng)))});
  b.add(rule(1, "reach", {v("X"), v("Y")}, {atom("edge", {v("X"), v("Y")})}, 0.9));
  b.add(rule(2, "reach", {v("X"), v("Z")},
             {atom("reach", {v("X"), v("Y")}), atom("edge", {v("Y"), v("Z")})}, 0.9));
  b.add(rule(3, "hot", {v("X")},
             {atom("score", {v("X"), v("S")}),
              BuiltinGoal{BuiltinOp::Gt, {v("S"), Term::constant(limit)}}}));
  b.add(rule(4, "flagged", {v("X"), v("Y")},
             {atom("reach", {v("X"), v("Y")}), atom("hot", {v("Y")}),
              atom("hot", {v("X")}, true)}));
  b.add(Constraint{1, {atom("flagged", {v("X"), v("Y")}), atom("edge", {v("X"), v("Y")})},
                   0.5, 0.0});
  run("mixed_negation_builtins", b);
  // The second run applies the constraint to what the first derived.
  run("mixed_again", b);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::pair<const char*, std::function<void()>>> all{
      {"chain", [] { chain_closure(200); }},
      {"chain1000", [] { chain_closure(1000); }},
      {"random", [] { random_closure(false); }},
      {"noisy", [] { random_closure(true); }},
      {"sg", same_generation},
      {"triangles", triangles},
      {"mixed", mixed},
  };
  std::set<std::string> wanted;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--hash") g_hash = true;
    else if (std::string_view(argv[i]) == "--reference") g_reference = true;
    else wanted.insert(argv[i]);
  }
  for (const auto& [name, fn] : all)
    if (wanted.empty() || wanted.count(name)) fn();
  return 0;
}
