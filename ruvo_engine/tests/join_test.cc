// Atom goals joined against the derived state: bindings, negation, weights,
// order, and the equivalence of the prefix scan with the full scan.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <random>

#include "ruvo_engine/src/join.h"

namespace ruvo {
namespace {

class JoinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = RuvoStore::open_temporary();
    ASSERT_TRUE(s.has_value()) << s.error().debug();
    store_.emplace(std::move(*s));
  }

  uint64_t pred(const std::string& name, uint64_t arity,
                AggregationMode agg = AggregationMode::Maximum) {
    auto p = store().registry.register_predicate(name, arity, agg, EvidenceMode::None, {});
    EXPECT_TRUE(p.has_value());
    return p->pred_id;
  }

  void put(uint64_t pred_id, std::vector<uint64_t> args, double b, double d = 0.0) {
    auto r = store().upsert_atom(AtomKey{pred_id, std::move(args)}, Contribution{b, d, {}});
    ASSERT_TRUE(r.has_value()) << r.error().debug();
  }

  // Bindings point into the goal's terms, so every goal lives as long as the
  // fixture.
  const CompiledGoal& atom(uint64_t pred_id, std::vector<Term> args, bool negated = false) {
    uint64_t arity = args.size();
    return goals_.emplace_back(CompiledAtom{std::move(args), pred_id, arity, negated});
  }

  std::vector<BodyMatch> eval(const CompiledGoal& g, const std::vector<BodyMatch>& in) {
    return eval_goal(store(), g, in);
  }

  static std::vector<BodyMatch> seed() { return {BodyMatch{}}; }

  const RuvoStore& store() { return *store_; }
  std::optional<RuvoStore> store_;
  std::deque<CompiledGoal> goals_;
};

Bindings bind_all(std::initializer_list<std::pair<std::string_view, uint64_t>> items) {
  Bindings b;
  for (const auto& [n, v] : items) b.bind(n, v);
  return b;
}

TEST_F(JoinTest, TermHelpers) {
  Bindings b = bind_all({{"X", 7}});
  EXPECT_EQ(resolve_term(Term::var("X"), b), 7u);
  EXPECT_EQ(resolve_term(Term::var("Y"), b), std::nullopt);
  EXPECT_EQ(resolve_term(Term::integer(-1), b), ~uint64_t{0});
  EXPECT_EQ(resolve_term(Term::floating(1.0), b), 0x3FF0000000000000u);
  EXPECT_EQ(resolve_term(Term::str(9), b), 9u);

  std::vector<Term> terms{Term::var("X"), Term::constant(3)};
  EXPECT_EQ(resolve_args(terms, b), (std::vector<uint64_t>{7, 3}));
  EXPECT_EQ(resolve_args(std::vector<Term>{Term::var("Y")}, b), std::nullopt);
  EXPECT_EQ(resolve_args({}, b), std::vector<uint64_t>{});

  // A variable met twice must see the same value; the input stays untouched.
  std::vector<Term> xyx{Term::var("X"), Term::var("Z"), Term::var("Z")};
  auto u = unify_args(b, xyx, std::vector<uint64_t>{7, 4, 4});
  ASSERT_TRUE(u.has_value());
  EXPECT_EQ(*u, bind_all({{"Z", 4}, {"X", 7}}));
  EXPECT_EQ(b.size(), 1u);
  EXPECT_FALSE(unify_args(b, xyx, std::vector<uint64_t>{7, 4, 5}).has_value());
  EXPECT_FALSE(unify_args(b, xyx, std::vector<uint64_t>{8, 4, 4}).has_value());
  EXPECT_FALSE(unify_args(b, xyx, std::vector<uint64_t>{7, 4}).has_value());

  EXPECT_FALSE(bind_all({{"X", 1}}) == bind_all({{"X", 2}}));
  EXPECT_FALSE(bind_all({{"X", 1}}) == bind_all({{"X", 1}, {"Y", 1}}));
}

TEST_F(JoinTest, EmptyInputGivesEmptyOutput) {
  uint64_t p = pred("p", 1);
  put(p, {1}, 1.0);
  EXPECT_TRUE(eval(atom(p, {Term::var("X")}), {}).empty());
  EXPECT_TRUE(eval(atom(p, {Term::var("X")}, true), {}).empty());
  const CompiledGoal eq = BuiltinGoal{BuiltinOp::Eq, {Term::var("X"), Term::constant(1)}};
  EXPECT_TRUE(eval(eq, {}).empty());
}

TEST_F(JoinTest, RepeatedVariableJoinsEqualArgumentsOnly) {
  uint64_t p = pred("p", 2);
  put(p, {1, 2}, 1.0);
  put(p, {3, 3}, 1.0);
  put(p, {4, 4}, 0.5);
  auto out = eval(atom(p, {Term::var("X"), Term::var("X")}), seed());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bindings, bind_all({{"X", 3}}));
  EXPECT_EQ(out[1].bindings, bind_all({{"X", 4}}));
  EXPECT_EQ(out[0].bindings.size(), 1u);
  EXPECT_EQ(out[1].b, 0.5);
}

TEST_F(JoinTest, ConstantsCompareRawValues) {
  uint64_t p = pred("p", 2);
  put(p, {5, 1}, 1.0);
  put(p, {6, 2}, 1.0);
  for (const Term& five : {Term::constant(5), Term::integer(5), Term::str(5)}) {
    auto out = eval(atom(p, {five, Term::var("Y")}), seed());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bindings, bind_all({{"Y", 1}}));
  }
  // Point lookups go by the same raw bits.
  EXPECT_EQ(eval(atom(p, {Term::integer(5), Term::constant(1)}), seed()).size(), 1u);
  EXPECT_TRUE(eval(atom(p, {Term::floating(5.0), Term::var("Y")}), seed()).empty());
}

TEST_F(JoinTest, AtomWithoutArgumentsIsPointLookup) {
  uint64_t on = pred("on", 0), off = pred("off", 0);
  put(on, {}, 0.7);
  auto out = eval(atom(on, {}), seed());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].b, 0.7);
  EXPECT_TRUE(eval(atom(off, {}), seed()).empty());
  EXPECT_EQ(eval(atom(off, {}, true), seed()).size(), 1u);
  EXPECT_TRUE(eval(atom(on, {}, true), seed()).empty());
}

TEST_F(JoinTest, EvidenceOnlyAgainstIsAbsent) {
  uint64_t q = pred("q", 1);
  put(q, {1}, 0.0, 1.0);
  EXPECT_TRUE(eval(atom(q, {Term::constant(1)}), seed()).empty());
  EXPECT_TRUE(eval(atom(q, {Term::var("X")}), seed()).empty());
  EXPECT_EQ(eval(atom(q, {Term::constant(1)}, true), seed()).size(), 1u);
  EXPECT_EQ(eval(atom(q, {Term::var("X")}, true), seed()).size(), 1u);
}

TEST_F(JoinTest, NegatedGoalWithUnboundVariable) {
  uint64_t q = pred("q", 2);
  std::vector<BodyMatch> in{BodyMatch{bind_all({{"Y", 1}}), 0.5, 0.25},
                            BodyMatch{bind_all({{"Y", 2}}), 1.0, 0.0}};
  // No atoms at all: every match survives unchanged, nothing is bound.
  auto out = eval(atom(q, {Term::var("X"), Term::var("Y")}, true), in);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bindings, in[0].bindings);
  EXPECT_EQ(out[0].b, 0.5);
  EXPECT_EQ(out[0].d, 0.25);

  put(q, {9, 2}, 1.0);
  out = eval(atom(q, {Term::var("X"), Term::var("Y")}, true), in);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bindings, bind_all({{"Y", 1}}));

  // With X as the only argument any present atom defeats the goal.
  uint64_t r = pred("r", 1);
  EXPECT_EQ(eval(atom(r, {Term::var("X")}, true), in).size(), 2u);
  put(r, {3}, 0.0, 0.5);
  EXPECT_EQ(eval(atom(r, {Term::var("X")}, true), in).size(), 2u);
  put(r, {4}, 0.1);
  EXPECT_TRUE(eval(atom(r, {Term::var("X")}, true), in).empty());
}

TEST_F(JoinTest, NaNEvidenceForIsAbsentExceptToPositiveScans) {
  // Noisy-or spreads a NaN contribution into the stored state.
  uint64_t p = pred("p", 1, AggregationMode::NoisyOr);
  put(p, {1}, std::numeric_limits<double>::quiet_NaN(), 0.0);
  ASSERT_TRUE(std::isnan(store().get_state(p, std::vector<uint64_t>{1})->b));

  EXPECT_TRUE(eval(atom(p, {Term::constant(1)}), seed()).empty());
  EXPECT_EQ(eval(atom(p, {Term::constant(1)}, true), seed()).size(), 1u);
  EXPECT_EQ(eval(atom(p, {Term::var("X")}, true), seed()).size(), 1u);

  auto out = eval(atom(p, {Term::var("X")}), seed());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bindings, bind_all({{"X", 1}}));
  EXPECT_TRUE(std::isnan(out[0].b));
}

TEST_F(JoinTest, OutputOrderFollowsInputThenKeys) {
  uint64_t p = pred("p", 2);
  for (uint64_t v : {7, 5, 10}) put(p, {v, 1}, 1.0);
  put(p, {~uint64_t{0}, 1}, 1.0);  // unsigned order: the largest value last
  std::vector<BodyMatch> in{BodyMatch{bind_all({{"A", 1}}), 1.0, 0.0},
                            BodyMatch{bind_all({{"A", 2}}), 1.0, 0.0}};
  auto out = eval(atom(p, {Term::var("X"), Term::constant(1)}), in);
  std::vector<std::pair<uint64_t, uint64_t>> seen;
  for (const auto& m : out) seen.emplace_back(*m.bindings.get("A"), *m.bindings.get("X"));
  std::vector<std::pair<uint64_t, uint64_t>> want{
      {1, 5}, {1, 7}, {1, 10}, {1, ~uint64_t{0}}, {2, 5}, {2, 7}, {2, 10}, {2, ~uint64_t{0}}};
  EXPECT_EQ(seen, want);
}

TEST_F(JoinTest, PositiveJoinsMultiplyWeights) {
  uint64_t p = pred("p", 1), q = pred("q", 1);
  put(p, {1}, 0.5, 0.1);
  put(q, {1}, 0.4, 0.2);
  auto out = eval(atom(p, {Term::var("X")}), seed());
  out = eval(atom(q, {Term::var("X")}), out);
  ASSERT_EQ(out.size(), 1u);
  double d1 = 1.0 - (1.0 - 0.0) * (1.0 - 0.1);
  double d2 = 1.0 - (1.0 - d1) * (1.0 - 0.2);
  EXPECT_EQ(out[0].b, 1.0 * 0.5 * 0.4);
  EXPECT_EQ(out[0].d, d2);
  EXPECT_NEAR(out[0].b, 0.2, 1e-15);
  EXPECT_NEAR(out[0].d, 0.28, 1e-15);

  // Negated goals pass the weights through.
  uint64_t r = pred("r", 1);
  auto kept = eval(atom(r, {Term::var("X")}, true), out);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].b, out[0].b);
  EXPECT_EQ(kept[0].d, out[0].d);
}

TEST_F(JoinTest, OtherArgumentCountFindsNothing) {
  uint64_t p = pred("p", 2);
  put(p, {1, 2}, 1.0);
  EXPECT_TRUE(eval(atom(p, {Term::var("X"), Term::var("Y"), Term::var("Z")}), seed()).empty());
  EXPECT_TRUE(eval(atom(p, {Term::constant(1), Term::var("Y"), Term::var("Z")}), seed()).empty());
  EXPECT_EQ(eval(atom(p, {Term::constant(1), Term::var("Y"), Term::var("Z")}, true), seed()).size(),
            1u);
  EXPECT_TRUE(eval(atom(p, {Term::var("X")}), seed()).empty());
}

// Reference: the whole predicate scanned and unified row by row.
std::vector<BodyMatch> by_full_scan(const RuvoStore& store, const CompiledAtom& g,
                                    const std::vector<BodyMatch>& in) {
  std::vector<BodyMatch> out;
  auto rows = store.scan_predicate(g.pred_id);
  EXPECT_TRUE(rows.has_value());
  for (const auto& m : in) {
    bool any = false;
    for (const auto& [key, s] : *rows) {
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

void expect_same(const std::vector<BodyMatch>& got, const std::vector<BodyMatch>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].bindings.items(), want[i].bindings.items()) << "row " << i;
    EXPECT_EQ(got[i].b, want[i].b) << "row " << i;
    EXPECT_EQ(got[i].d, want[i].d) << "row " << i;
  }
}

TEST_F(JoinTest, PrefixScanEqualsFullScan) {
  uint64_t e = pred("e", 3);
  std::mt19937_64 rng(42);
  for (int i = 0; i < 600; ++i) {
    uint64_t a = rng() % 12, b = rng() % 6, c = rng() % 6;
    if (i % 50 == 0) a = ~uint64_t{0} - (rng() % 2);  // high bit set
    double w = (rng() % 5) * 0.25;                    // some rows at b = 0
    put(e, {a, b, c}, w, (rng() % 3) * 0.125);
  }
  std::vector<BodyMatch> in;
  for (uint64_t a : {0, 3, 11, 12, 5}) in.push_back(BodyMatch{bind_all({{"A", a}}), 0.5, 0.1});
  in.push_back(BodyMatch{bind_all({{"A", ~uint64_t{0}}}), 1.0, 0.0});
  for (uint64_t a : {1, 2}) in.push_back(BodyMatch{bind_all({{"A", a}, {"B", 3}}), 0.9, 0.0});

  const std::vector<std::vector<Term>> shapes{
      {Term::var("A"), Term::var("B"), Term::var("C")},
      {Term::var("A"), Term::var("B"), Term::var("B")},
      {Term::var("A"), Term::constant(2), Term::var("C")},
      {Term::var("A"), Term::var("C"), Term::var("A")},
      {Term::constant(4), Term::var("A"), Term::var("C")},
      {Term::var("C"), Term::var("B"), Term::var("A")},
  };
  for (size_t i = 0; i < shapes.size(); ++i) {
    for (bool negated : {false, true}) {
      SCOPED_TRACE(testing::Message() << "shape " << i << " negated " << negated);
      const CompiledGoal g = CompiledAtom{shapes[i], e, 3, negated};
      expect_same(eval(g, in), by_full_scan(store(), std::get<CompiledAtom>(g), in));
    }
  }

  // One unreadable row fails the read of the whole predicate, so no input
  // sees any row, also one whose bound leading argument excludes that row.
  uint64_t q = pred("q", 2);
  put(q, {1, 10}, 0.9);
  put(q, {2, 20}, 0.9);
  ASSERT_TRUE(store()
                  .state_tree()
                  .insert(encode_state_key(q, std::vector<uint64_t>{2, 20}), "short")
                  .has_value());
  const std::vector<BodyMatch> x1{BodyMatch{bind_all({{"X", 1}}), 1.0, 0.0}};
  EXPECT_TRUE(eval(atom(q, {Term::var("X"), Term::var("Y")}), x1).empty());
  EXPECT_EQ(eval(atom(q, {Term::var("X"), Term::var("Y")}, true), x1).size(), 1u);
}

}  // namespace
}  // namespace ruvo
