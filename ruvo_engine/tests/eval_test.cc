// Goals joined against a temporary derived-state store, rules compiled and
// fired, the constraint pass: bindings, negation, order, strengths and the
// bytes of evidence ids. Whole evaluations are covered by e2e_test.cc.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "ruvo_engine/src/compiler.h"
#include "ruvo_engine/tests/engine_test_util.h"

namespace ruvo::test {
namespace {

constexpr uint64_t kTop = ~uint64_t{0};
constexpr auto kTruthOnly = ApplicabilitySemantics::BodyTruthOnly;
constexpr auto kDiscounted = ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity;

TEST(EvidenceId, BytesSortBindingsByName) {
  const std::string nul(1, '\0');
  // Values big-endian after 0x00; names order as unsigned bytes.
  EXPECT_EQ(rule_evidence_id(7, bind_all({{"Y", 3}, {"X", 5}})),
            be({7}) + "X" + nul + be({5}) + "Y" + nul + be({3}));
  EXPECT_EQ(constraint_evidence_id(7, 1, bind_all({{"X", 5}})), be({7, 1}) + "X" + nul + be({5}));
  EXPECT_EQ(rule_evidence_id(0x0102030405060708, {}), bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(
      rule_evidence_id(0, bind_all({{"_a", 4}, {"\xc3\xa9", 5}, {"Y", 3}, {"X1", 2}, {"X", 1}})),
      be({0}) + "X" + nul + be({1}) + "X1" + nul + be({2}) + "Y" + nul + be({3}) + "_a" + nul +
          be({4}) + "\xc3\xa9" + nul + be({5}));
}

class EvalTest : public StoreTest {
 protected:
  // Evidence ids stored for the atom, in key order.
  std::vector<std::string> evidence_ids(uint64_t pred_id, std::vector<uint64_t> args) {
    const std::string prefix = encode_state_key(pred_id, args);
    std::vector<std::string> out;
    for (const auto& [k, v] : dump(store.contrib_tree(), prefix))
      out.push_back(k.substr(prefix.size() + 4));
    return out;
  }
};

Goal goal(std::string name, std::vector<Term> args, bool negated = false) {
  const uint64_t arity = args.size();
  return AtomGoal{std::move(name), arity, negated, std::move(args)};
}

TEST_F(EvalTest, CompilingGivesOneIdPerNameInFirstMentionOrder) {
  const std::vector<Rule> rules{
      Rule{7, "p", 2, {X, Y}, {goal("e", {X, Y})}, 0.9, 0.1},
      Rule{7, "q", 1, {X},
           {goal("p", {X, Y, Z}), goal("r", {X}, true), BuiltinGoal{BuiltinOp::Add, {X}}}, 1.0,
           0.0}};
  const auto [compiled, names] = ok(compile_rules(store, rules, {}));
  // Head, then body atoms, rule by rule; negated-only names are registered,
  // builtins not;
  // the first arity met wins, and a mention keeps its own.
  EXPECT_EQ(names, (NameMap{{"p", 1}, {"e", 2}, {"q", 3}, {"r", 4}}));
  EXPECT_EQ(ok(store.registry.get_profile(1))->arity, 2u);
  EXPECT_EQ(std::get<CompiledAtom>(compiled[1].body[0]).pred_arity, 3u);
  // Constraints register with the configuration unless registered already.
  PredConfigs configs{{"c", {{}, AggregationMode::CappedSum, EvidenceMode::ProofTree}},
                      {"p", {{}, AggregationMode::NoisyOr, EvidenceMode::PerSource}}};
  const Constraint c{3, {goal("c", {X}), goal("p", {X, Y})}, 0.5, 0.0};
  EXPECT_EQ(ok(compile_constraints(store, {c}, configs)).second, (NameMap{{"c", 5}, {"p", 1}}));
  EXPECT_EQ(ok(store.registry.get_profile(5))->evidence_mode, EvidenceMode::ProofTree);
  EXPECT_EQ(ok(store.registry.get_profile(1))->aggregation, AggregationMode::Maximum);
  EXPECT_EQ(err(compile_goal(goal("q\"\\\n", {}), {})), "UnknownPredicate(\"q\\\"\\\\\\n\")");
}

TEST_F(EvalTest, JoinTermKindsShapesAndNaN) {
  const uint64_t p = pred("p", 2), on = pred("on", 0), off = pred("off", 0);
  put(p, {1, 2}, 1.0);
  put(on, {}, 0.7);
  // Constants compare raw values, in scans and point lookups alike; another
  // argument count finds nothing; no input gives no output.
  const std::pair<CompiledAtom, size_t> cases[] = {
      {atom(p, {Term::constant(1), Y}), 1}, {atom(p, {Term::integer(1), Y}), 1},
      {atom(p, {Term::str(1), Y}), 1},      {atom(p, {Term::integer(1), Term::constant(2)}), 1},
      {atom(p, {Term::floating(1.0), Y}), 0}, {atom(p, {X, Y, Z}), 0},
      {atom(p, {Term::constant(1), Y, Z}), 0}, {atom(p, {Term::constant(1), Y, Z}, true), 1},
      {atom(p, {X}), 0}, {atom(on, {}), 1}, {atom(off, {}), 0}, {atom(off, {}, true), 1},
      {atom(on, {}, true), 0}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(eval(cases[i].first).size(), cases[i].second) << i;
  }
  EXPECT_EQ(eval(atom(p, {Term::integer(1), Y})).at(0).bindings, bind_all({{"Y", 2}}));
  EXPECT_EQ(eval(atom(on, {})).at(0).b, 0.7);
  EXPECT_TRUE(eval(atom(p, {X, Y}), {}).empty());
  EXPECT_TRUE(eval(atom(p, {X, Y}, true), {}).empty());
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
TEST_F(EvalTest, JoinPrefixScanEqualsFullScan) {
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
  for (const std::vector<Term>& shape : std::vector<std::vector<Term>>{
           {A, B, C}, {A, B, B}, {A, Term::constant(2), C}, {A, C, A}, {Term::constant(4), A, C},
           {C, B, A}}) {
    for (bool negated : {false, true}) {
      const CompiledAtom g{shape, e, 3, negated};
      const auto got = eval(g, in), want = by_full_scan(store, g, in);
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].bindings.items(), want[i].bindings.items()) << i;
        EXPECT_EQ(std::tie(got[i].b, got[i].d), std::tie(want[i].b, want[i].d)) << i;
      }
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

TEST_F(EvalTest, FireRuleScalesByStrengthAndStoresRuleEvidenceIds) {
  const uint64_t p = pred("p", 2);
  const uint64_t q = pred("q", 1, AggregationMode::NoisyOr, EvidenceMode::PerSource);
  put(p, {1, 2}, 0.8, 0.5);
  put(p, {1, 3}, 1.5, 0.0);  // strength clamps to 1
  put(p, {4, 5}, 0.5, 1.5);  // strength 0.5 * (1 - 1.5) < 0: skipped
  const CompiledRule rule{{X}, {atom(p, {X, Y})}, 9, q, 1, 0.5, 0.25};
  // Two matches reach q(1), each reading the state the previous one left:
  // contributions (0.2, 0.1) and (0.5, 0.25), noisy-or folded.
  EXPECT_EQ(ok(fire_rule(store, rule, kDiscounted)), 2u);
  EXPECT_DOUBLE_EQ(state(q, {1}).b, 1 - (1 - 0.5 * 0.4) * (1 - 0.5));
  EXPECT_DOUBLE_EQ(state(q, {1}).d, 1 - (1 - 0.25 * 0.4) * (1 - 0.25));
  EXPECT_EQ(state(q, {4}).b, 0.0);
  EXPECT_EQ(evidence_ids(q, {1}),
            (std::vector<std::string>{rule_evidence_id(9, bind_all({{"X", 1}, {"Y", 2}})),
                                      rule_evidence_id(9, bind_all({{"X", 1}, {"Y", 3}}))}));
  // Firing again replaces its own contributions: nothing changes. Under
  // BodyTruthOnly p(1, 2) has strength 0.8 and p(4, 5) is not discounted.
  EXPECT_EQ(ok(fire_rule(store, rule, kDiscounted)), 0u);
  EXPECT_EQ(ok(fire_rule(store, rule, kTruthOnly)), 2u);
  EXPECT_DOUBLE_EQ(state(q, {1}).b, 1 - (1 - 0.5 * 0.8) * (1 - 0.5));
  EXPECT_DOUBLE_EQ(state(q, {4}).b, 0.25);
}

TEST_F(EvalTest, ConstraintPassCountsEveryGoalPosition) {
  const uint64_t p = pred("p", 1, AggregationMode::NoisyOr, EvidenceMode::PerSource);
  const uint64_t s = pred("s", 1), w = pred("w", 1);
  put(p, {1}, 0.5, 0.0, "edb_test");
  put(w, {1}, 0.5, 1.0);
  // Positions: 0 p, 1 negated s, 2 builtin, 3 p again.
  const CompiledConstraint c{{atom(p, {X}), atom(s, {X}, true),
                              BuiltinGoal{BuiltinOp::Ne, {X, Term::constant(2)}}, atom(p, {X})},
                             4, 1.0, 0.5};
  EXPECT_EQ(ok(run_constraint_pass(store, {c}, kTruthOnly)), 2u);
  // Strength 0.25, v = 0.25 twice; the constraint's d plays no part.
  EXPECT_DOUBLE_EQ(state(p, {1}).b, 0.5);
  EXPECT_DOUBLE_EQ(state(p, {1}).d, 1 - (1 - 0.25) * (1 - 0.25));
  const Bindings x = bind_all({{"X", 1}});
  EXPECT_EQ(evidence_ids(p, {1}),
            (std::vector<std::string>{"edb_test", constraint_evidence_id(4, 0, x),
                                      constraint_evidence_id(4, 3, x)}));  // shorter first
  // Matches without strength write nothing: discounted strength 0, an empty
  // body (its seed match has no goal to receive), v = 0 * strength.
  const CompiledConstraint weak{{atom(w, {X})}, 1, 1.0, 0.0}, empty{{}, 2, 1.0, 0.0},
      zero{{atom(w, {X})}, 3, 0.0, 1.0};
  EXPECT_EQ(ok(run_constraint_pass(store, {weak, empty}, kDiscounted)), 0u);
  EXPECT_EQ(ok(run_constraint_pass(store, {zero}, kTruthOnly)), 0u);
  EXPECT_EQ(state(w, {1}).d, 1.0);
}

}  // namespace
}  // namespace ruvo::test
