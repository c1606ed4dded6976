// Rule firing and the constraint pass driven directly against a temporary
// derived-state store: strengths, evidence ids and their bytes, error texts.
// Whole evaluations (components, passes, caps, NaN, arity clashes) are
// covered by e2e_test.cc.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ruvo_engine/tests/engine_test_util.h"

namespace ruvo::test {
namespace {

constexpr auto kTruthOnly = ApplicabilitySemantics::BodyTruthOnly;
constexpr auto kDiscounted = ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity;

TEST(EvidenceId, WorkedExamplesAndNameOrder) {
  const std::string nul(1, '\0');
  // Bound out of order: the id sorts by name, values big-endian after 0x00.
  EXPECT_EQ(rule_evidence_id(7, bind_all({{"Y", 3}, {"X", 5}})),
            be({7}) + "X" + nul + be({5}) + "Y" + nul + be({3}));
  EXPECT_EQ(constraint_evidence_id(7, 1, bind_all({{"X", 5}})), be({7, 1}) + "X" + nul + be({5}));
  EXPECT_EQ(rule_evidence_id(0x0102030405060708, {}), bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(constraint_evidence_id(1, 2, {}), be({1, 2}));
  // Names order as unsigned bytes: a non-ASCII name after every ASCII one.
  EXPECT_EQ(
      rule_evidence_id(0, bind_all({{"_a", 4}, {"\xc3\xa9", 5}, {"Y", 3}, {"X1", 2}, {"X", 1}})),
      be({0}) + "X" + nul + be({1}) + "X1" + nul + be({2}) + "Y" + nul + be({3}) + "_a" + nul +
          be({4}) + "\xc3\xa9" + nul + be({5}));
}

TEST(EvalErrorText, Renderings) {
  EXPECT_EQ(EvalError(EvalError::MaxIterationsExceeded{}).debug(), "MaxIterationsExceeded");
  EXPECT_EQ(EvalError(StoreError(StoreError::InvalidArity{2, 3})).debug(),
            "Store(InvalidArity { expected: 2, found: 3 })");
  EXPECT_EQ(EvalError(StoreError(StoreError::MissingEvidence{})).debug(), "Store(MissingEvidence)");
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
  static CompiledAtom catom(uint64_t pred_id, std::vector<Term> args, bool negated = false) {
    const uint64_t arity = args.size();
    return CompiledAtom{std::move(args), pred_id, arity, negated};
  }
};

TEST_F(EvalTest, FireRuleScalesByStrengthAndStoresRuleEvidenceIds) {
  const uint64_t p = pred("p", 2);
  const uint64_t q = pred("q", 1, AggregationMode::NoisyOr, EvidenceMode::PerSource);
  put(p, {1, 2}, 0.8, 0.5);
  put(p, {1, 3}, 1.5, 0.0);  // strength clamps to 1
  put(p, {4, 5}, 0.5, 1.5);  // strength 0.5 * (1 - 1.5) < 0: skipped
  const CompiledRule rule{{X}, {catom(p, {X, Y})}, 9, q, 1, 0.5, 0.25};
  // Two matches reach q(1), each reading the state the previous one left:
  // contributions (0.2, 0.1) and (0.5, 0.25), noisy-or folded.
  EXPECT_EQ(ok(fire_rule(store, rule, kDiscounted)), 2u);
  EXPECT_DOUBLE_EQ(state(q, {1}).b, 1 - (1 - 0.5 * 0.4) * (1 - 0.5));
  EXPECT_DOUBLE_EQ(state(q, {1}).d, 1 - (1 - 0.25 * 0.4) * (1 - 0.25));
  EXPECT_EQ(state(q, {4}).b, 0.0);
  EXPECT_EQ(evidence_ids(q, {1}),
            (std::vector<std::string>{rule_evidence_id(9, bind_all({{"X", 1}, {"Y", 2}})),
                                      rule_evidence_id(9, bind_all({{"X", 1}, {"Y", 3}}))}));
  // Firing again replaces its own contributions: nothing changes.
  EXPECT_EQ(ok(fire_rule(store, rule, kDiscounted)), 0u);
  // Under BodyTruthOnly p(1, 2) has strength 0.8 and p(4, 5) is no longer
  // discounted below zero.
  EXPECT_EQ(ok(fire_rule(store, rule, kTruthOnly)), 2u);
  EXPECT_DOUBLE_EQ(state(q, {1}).b, 1 - (1 - 0.5 * 0.8) * (1 - 0.5));
  EXPECT_DOUBLE_EQ(state(q, {4}).b, 0.25);
}

TEST_F(EvalTest, ConstraintPassCountsEveryGoalPosition) {
  const uint64_t p = pred("p", 1, AggregationMode::NoisyOr, EvidenceMode::PerSource);
  const uint64_t s = pred("s", 1);
  put(p, {1}, 0.5, 0.0, "edb_test");
  // Positions: 0 p, 1 negated s, 2 builtin, 3 p again.
  const CompiledConstraint c{{catom(p, {X}), catom(s, {X}, true),
                              BuiltinGoal{BuiltinOp::Ne, {X, Term::constant(2)}}, catom(p, {X})},
                             4,
                             1.0,
                             0.5};
  EXPECT_EQ(ok(run_constraint_pass(store, {c}, kTruthOnly)), 2u);
  // Strength 0.25, v = 0.25 twice; the constraint's d plays no part.
  EXPECT_DOUBLE_EQ(state(p, {1}).b, 0.5);
  EXPECT_DOUBLE_EQ(state(p, {1}).d, 1 - (1 - 0.25) * (1 - 0.25));
  const Bindings x = bind_all({{"X", 1}});
  EXPECT_EQ(evidence_ids(p, {1}),
            (std::vector<std::string>{"edb_test", constraint_evidence_id(4, 0, x),
                                      constraint_evidence_id(4, 3, x)}));  // shorter first

  // Matches without strength write nothing: discounted strength 0, an
  // empty body (its seed match has no goal to receive), v = 0 * strength.
  const uint64_t w = pred("w", 1);
  put(w, {1}, 0.5, 1.0);
  const CompiledConstraint weak{{catom(w, {X})}, 1, 1.0, 0.0}, empty{{}, 2, 1.0, 0.0};
  EXPECT_EQ(ok(run_constraint_pass(store, {weak, empty}, kDiscounted)), 0u);
  EXPECT_EQ(ok(run_constraint_pass(store, {CompiledConstraint{{catom(w, {X})}, 3, 0.0, 1.0}},
                                   kTruthOnly)),
            0u);
  EXPECT_EQ(state(w, {1}).d, 1.0);
}

}  // namespace
}  // namespace ruvo::test
