// Atom goals joined against the derived state: bindings, negation, weights,
// order, and the equivalence of the prefix scan with the full scan.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "ruvo_engine/tests/engine_test_util.h"

namespace ruvo::test {
namespace {

constexpr uint64_t kTop = ~uint64_t{0};

using JoinTest = StoreTest;

// The bindings of each output match.
std::vector<Bindings> bindings(const std::vector<BodyMatch>& out) {
  std::vector<Bindings> b;
  for (const auto& m : out) b.push_back(m.bindings);
  return b;
}

TEST(TermHelpers, ResolveAndUnify) {
  const Bindings b = bind_all({{"X", 7}});
  EXPECT_EQ(resolve_term(X, b), 7u);
  EXPECT_EQ(resolve_term(Y, b), std::nullopt);
  EXPECT_EQ(resolve_term(Term::integer(-1), b), kTop);
  EXPECT_EQ(resolve_term(Term::floating(1.0), b), 0x3FF0000000000000u);
  EXPECT_EQ(resolve_term(Term::str(9), b), 9u);
  EXPECT_EQ(resolve_args(std::vector<Term>{X, Term::constant(3)}, b),
            (std::vector<uint64_t>{7, 3}));
  EXPECT_EQ(resolve_args(std::vector<Term>{Y}, b), std::nullopt);
  EXPECT_EQ(resolve_args({}, b), std::vector<uint64_t>{});
  // A variable met twice must see the same value; the input stays untouched.
  const std::vector<Term> xzz{X, Z, Z};
  EXPECT_EQ(unify_args(b, xzz, std::vector<uint64_t>{7, 4, 4}), bind_all({{"Z", 4}, {"X", 7}}));
  EXPECT_EQ(b.size(), 1u);
  for (std::vector<uint64_t> v : {std::vector<uint64_t>{7, 4, 5}, {8, 4, 4}, {7, 4}})
    EXPECT_FALSE(unify_args(b, xzz, v).has_value());
  EXPECT_FALSE(bind_all({{"X", 1}}) == bind_all({{"X", 2}}));
  EXPECT_FALSE(bind_all({{"X", 1}}) == bind_all({{"X", 1}, {"Y", 1}}));
}

TEST_F(JoinTest, TermKindsShapesAndNaN) {
  const uint64_t p = pred("p", 2);
  put(p, {1, 2}, 1.0);
  // Constants compare raw values, in scans and point lookups alike.
  for (const Term& one : {Term::constant(1), Term::integer(1), Term::str(1)})
    EXPECT_EQ(bindings(eval(atom(p, {one, Y}))), std::vector<Bindings>{bind_all({{"Y", 2}})});
  EXPECT_EQ(eval(atom(p, {Term::integer(1), Term::constant(2)})).size(), 1u);
  EXPECT_TRUE(eval(atom(p, {Term::floating(1.0), Y})).empty());
  // Another argument count finds nothing; no input gives no output.
  EXPECT_TRUE(eval(atom(p, {X, Y, Z})).empty());
  EXPECT_TRUE(eval(atom(p, {Term::constant(1), Y, Z})).empty());
  EXPECT_EQ(eval(atom(p, {Term::constant(1), Y, Z}, true)).size(), 1u);
  EXPECT_TRUE(eval(atom(p, {X})).empty());
  EXPECT_TRUE(eval(atom(p, {X, Y}), {}).empty());
  EXPECT_TRUE(eval(atom(p, {X, Y}, true), {}).empty());
  // An atom without arguments is a point lookup.
  const uint64_t on = pred("on", 0), off = pred("off", 0);
  put(on, {}, 0.7);
  EXPECT_EQ(eval(atom(on, {})).at(0).b, 0.7);
  EXPECT_TRUE(eval(atom(off, {})).empty());
  EXPECT_EQ(eval(atom(off, {}, true)).size(), 1u);
  EXPECT_TRUE(eval(atom(on, {}, true)).empty());
  // A NaN b is absent to lookups and negation, but a positive scan joins it.
  const uint64_t n = pred("n", 1, AggregationMode::NoisyOr);
  put(n, {1}, std::numeric_limits<double>::quiet_NaN());  // noisy-or spreads it into the state
  EXPECT_TRUE(eval(atom(n, {Term::constant(1)})).empty());
  EXPECT_EQ(eval(atom(n, {Term::constant(1)}, true)).size(), 1u);
  EXPECT_EQ(eval(atom(n, {X}, true)).size(), 1u);
  const auto out = eval(atom(n, {X}));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bindings, bind_all({{"X", 1}}));
  EXPECT_TRUE(std::isnan(out[0].b));
}

// Reference: the whole predicate scanned and unified row by row. A row is
// present when b > 1e-12; positive goals multiply b and noisy-or d, negated
// goals keep a match that no present row unifies with.
std::vector<BodyMatch> by_full_scan(const RuvoStore& store, const CompiledAtom& g,
                                    const std::vector<BodyMatch>& in) {
  std::vector<BodyMatch> out;
  const auto rows = ok(store.scan_predicate(g.pred_id));
  for (const auto& m : in) {
    bool any = false;
    for (const auto& [key, s] : rows) {
      if (g.negated ? !(s.b > 1e-12) : s.b <= 1e-12) continue;
      auto u = unify_args(m.bindings, g.args, key.args);
      if (!u) continue;
      any = true;
      if (g.negated) break;
      out.push_back(BodyMatch{*u, m.b * s.b, 1.0 - (1.0 - m.d) * (1.0 - s.d)});
    }
    if (g.negated && !any) out.push_back(m);
  }
  return out;
}

// Output order (input, then ascending unsigned keys), repeated variables,
// constants, negation with unbound variables and weights, against the
// reference.
TEST_F(JoinTest, PrefixScanEqualsFullScan) {
  const uint64_t e = pred("e", 3);
  std::mt19937_64 rng(42);
  for (int i = 0; i < 600; ++i) {
    uint64_t a = rng() % 12, b = rng() % 6, c = rng() % 6;
    if (i % 50 == 0) a = kTop - (rng() % 2);                     // high bit set
    put(e, {a, b, c}, (rng() % 5) * 0.25, (rng() % 3) * 0.125);  // some rows at b = 0
  }
  std::vector<BodyMatch> in;
  for (uint64_t a : {0, 3, 11, 12, 5}) in.push_back(BodyMatch{bind_all({{"A", a}}), 0.5, 0.1});
  in.push_back(BodyMatch{bind_all({{"A", kTop}}), 1.0, 0.0});
  for (uint64_t a : {1, 2}) in.push_back(BodyMatch{bind_all({{"A", a}, {"B", 3}}), 0.9, 0.0});
  const Term A = Term::var("A"), B = Term::var("B"), C = Term::var("C");
  const std::vector<std::vector<Term>> shapes{
      {A, B, C}, {A, B, B}, {A, Term::constant(2), C}, {A, C, A}, {Term::constant(4), A, C},
      {C, B, A}};
  for (size_t i = 0; i < shapes.size(); ++i) {
    for (bool negated : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "shape " << i << " negated " << negated);
      const CompiledAtom g{shapes[i], e, 3, negated};
      expect_matches(eval(goal(g), in), by_full_scan(store, g, in));
    }
  }
  // One unreadable row fails the read of the whole predicate, so no input
  // sees any row, also one whose bound leading argument excludes that row.
  const uint64_t q = pred("q", 2);
  put(q, {1, 10}, 0.9);
  put(q, {2, 20}, 0.9);
  ok(store.state_tree().insert(encode_state_key(q, std::vector<uint64_t>{2, 20}), "short"));
  const std::vector<BodyMatch> x1{BodyMatch{bind_all({{"X", 1}}), 1.0, 0.0}};
  EXPECT_TRUE(eval(atom(q, {X, Y}), x1).empty());
  EXPECT_EQ(eval(atom(q, {X, Y}, true), x1).size(), 1u);
}

}  // namespace
}  // namespace ruvo::test
