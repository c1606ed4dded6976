// Rule firing, the constraint pass and fixpoint evaluation driven directly
// against a temporary derived-state store, plus the evidence-id bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ruvo_engine/src/eval.h"

namespace ruvo {
namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}

TEST(EvidenceId, WorkedExamples) {
  Bindings xy;
  xy.bind("Y", 3);  // bound out of order: the id sorts by name
  xy.bind("X", 5);
  const std::string rule = rule_evidence_id(7, xy);
  EXPECT_EQ(rule.size(), 28u);
  EXPECT_EQ(rule, bytes({0, 0, 0, 0, 0, 0, 0, 7, 'X', 0, 0, 0, 0, 0, 0, 0, 0, 5, 'Y', 0, 0, 0,
                         0, 0, 0, 0, 0, 3}));

  Bindings x;
  x.bind("X", 5);
  const std::string constraint = constraint_evidence_id(7, 1, x);
  EXPECT_EQ(constraint.size(), 26u);
  EXPECT_EQ(constraint, bytes({0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 1, 'X', 0, 0, 0, 0,
                               0, 0, 0, 0, 5}));

  Bindings none;
  EXPECT_EQ(rule_evidence_id(0x0102030405060708, none),
            bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(constraint_evidence_id(1, 2, none), bytes({0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0,
                                                       0, 0, 2}));
}

TEST(EvidenceId, NamesOrderAsUnsignedBytes) {
  Bindings b;
  b.bind("_a", 4);
  b.bind("\xc3\xa9", 5);  // a non-ASCII name sorts after every ASCII one
  b.bind("Y", 3);
  b.bind("X1", 2);
  b.bind("X", 1);
  const std::string id = rule_evidence_id(0, b);
  std::vector<std::string> names;
  size_t pos = 8;
  while (pos < id.size()) {
    size_t zero = id.find('\0', pos);
    names.push_back(id.substr(pos, zero - pos));
    pos = zero + 1 + 8;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"X", "X1", "Y", "_a", "\xc3\xa9"}));
  // Values are big-endian after the 0x00 separator.
  EXPECT_EQ(id.substr(8, 10), bytes({'X', 0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST(EvalErrorText, Renderings) {
  EXPECT_EQ(EvalError(EvalError::MaxIterationsExceeded{}).debug(), "MaxIterationsExceeded");
  EXPECT_EQ(EvalError(StoreError(StoreError::InvalidArity{2, 3})).debug(),
            "Store(InvalidArity { expected: 2, found: 3 })");
  EXPECT_EQ(EvalError(StoreError(StoreError::MissingEvidence{})).debug(),
            "Store(MissingEvidence)");
}

// A temporary store with helpers to register predicates, write facts and
// read back the evidence ids stored for an atom.
class EvalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = RuvoStore::open_temporary();
    ASSERT_TRUE(s.has_value());
    store_.emplace(std::move(*s));
  }
  const RuvoStore& store() { return *store_; }

  uint64_t pred(const std::string& name, uint64_t arity,
                AggregationMode agg = AggregationMode::Maximum,
                EvidenceMode mode = EvidenceMode::None) {
    auto p = store().registry.register_predicate(name, arity, agg, mode, {});
    EXPECT_TRUE(p.has_value());
    return p->pred_id;
  }
  void fact(uint64_t pred_id, std::vector<uint64_t> args, double b, double d) {
    ASSERT_TRUE(store().upsert_atom(AtomKey{pred_id, std::move(args)},
                                    Contribution{b, d, "edb_test"}).has_value());
  }
  AtomState state(uint64_t pred_id, std::vector<uint64_t> args) {
    return store().get_state(AtomKey{pred_id, std::move(args)}).value();
  }
  // Evidence ids stored for the atom, in key order.
  std::vector<std::string> evidence_ids(uint64_t pred_id, std::vector<uint64_t> args) {
    const std::string prefix = encode_state_key(pred_id, args);
    std::vector<std::string> out;
    auto r = store().contrib_tree().scan_prefix(prefix, [&](std::string_view k, std::string_view) {
      out.emplace_back(k.substr(prefix.size() + 4));
      return true;
    });
    EXPECT_TRUE(r.has_value());
    return out;
  }

  static CompiledAtom atom(uint64_t pred_id, std::vector<Term> args, bool negated = false) {
    const uint64_t arity = args.size();
    return CompiledAtom{std::move(args), pred_id, arity, negated};
  }

  std::optional<RuvoStore> store_;
};

TEST_F(EvalTest, FireRuleScalesByStrengthAndStoresRuleEvidenceIds) {
  const uint64_t p = pred("p", 2);
  const uint64_t q = pred("q", 1, AggregationMode::NoisyOr, EvidenceMode::PerSource);
  fact(p, {1, 2}, 0.8, 0.5);
  fact(p, {1, 3}, 1.5, 0.0);  // strength clamps to 1
  fact(p, {4, 5}, 0.5, 1.5);  // strength 0.5 * (1 - 1.5) < 0: skipped

  CompiledRule rule{{Term::var("X")}, {atom(p, {Term::var("X"), Term::var("Y")})}, 9, q, 1,
                    0.5, 0.25};
  auto n = fire_rule(store(), rule, ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity);
  ASSERT_TRUE(n.has_value());
  // Two matches reach q(1), each reading the state the previous one left.
  EXPECT_EQ(*n, 2u);
  // Contributions (0.2, 0.1) and (0.5, 0.25), noisy-or folded.
  const AtomState s = state(q, {1});
  EXPECT_DOUBLE_EQ(s.b, 1 - (1 - 0.5 * 0.4) * (1 - 0.5));
  EXPECT_DOUBLE_EQ(s.d, 1 - (1 - 0.25 * 0.4) * (1 - 0.25));
  EXPECT_EQ(state(q, {4}).b, 0.0);

  Bindings b2, b3;
  b2.bind("X", 1);
  b2.bind("Y", 2);
  b3.bind("X", 1);
  b3.bind("Y", 3);
  EXPECT_EQ(evidence_ids(q, {1}),
            (std::vector<std::string>{rule_evidence_id(9, b2), rule_evidence_id(9, b3)}));

  // Firing again replaces its own contributions: nothing changes.
  n = fire_rule(store(), rule, ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 0u);

  // Under BodyTruthOnly p(1, 2) has strength 0.8 and p(4, 5) is no longer
  // discounted below zero.
  n = fire_rule(store(), rule, ApplicabilitySemantics::BodyTruthOnly);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 2u);
  EXPECT_DOUBLE_EQ(state(q, {1}).b, 1 - (1 - 0.5 * 0.8) * (1 - 0.5));
  EXPECT_DOUBLE_EQ(state(q, {4}).b, 0.25);
}

TEST_F(EvalTest, FireRuleCarriesNaNStrengthAndSkipsUnboundHeads) {
  const uint64_t p = pred("p", 1, AggregationMode::NoisyOr, EvidenceMode::None);
  const uint64_t q = pred("q", 1, AggregationMode::NoisyOr, EvidenceMode::None);
  const uint64_t r = pred("r", 2);
  fact(p, {1}, std::numeric_limits<double>::quiet_NaN(), 0.0);

  // A positive scan joins the NaN row; the NaN strength is not skipped.
  CompiledRule carry{{Term::var("X")}, {atom(p, {Term::var("X")})}, 1, q, 1, 1.0, 0.0};
  auto n = fire_rule(store(), carry, ApplicabilitySemantics::BodyTruthOnly);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 1u);
  EXPECT_TRUE(std::isnan(state(q, {1}).b));

  // Y is bound nowhere in the body (a negated goal never binds).
  CompiledRule loose{{Term::var("X"), Term::var("Y")},
                     {atom(q, {Term::var("X")}), atom(r, {Term::var("Y"), Term::var("Y")}, true)},
                     2, r, 2, 1.0, 0.0};
  n = fire_rule(store(), loose, ApplicabilitySemantics::BodyTruthOnly);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 0u);
  EXPECT_TRUE(store().scan_predicate(r)->empty());
}

TEST_F(EvalTest, FireRuleReportsStoreFailures) {
  const uint64_t p = pred("p", 1);
  const uint64_t q = pred("q", 2);
  fact(p, {1}, 1.0, 0.0);
  CompiledRule wrong{{Term::var("X")}, {atom(p, {Term::var("X")})}, 1, q, 1, 1.0, 0.0};
  auto n = fire_rule(store(), wrong, ApplicabilitySemantics::BodyTruthOnly);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error().debug(), "Store(InvalidArity { expected: 2, found: 1 })");
}

TEST_F(EvalTest, ConstraintPassCountsEveryGoalPosition) {
  const uint64_t p = pred("p", 1, AggregationMode::NoisyOr, EvidenceMode::PerSource);
  const uint64_t s = pred("s", 1);
  fact(p, {1}, 0.5, 0.0);
  // Positions: 0 p, 1 negated s, 2 builtin, 3 p again.
  CompiledConstraint c{{atom(p, {Term::var("X")}), atom(s, {Term::var("X")}, true),
                        BuiltinGoal{BuiltinOp::Ne, {Term::var("X"), Term::constant(2)}},
                        atom(p, {Term::var("X")})},
                       4, 1.0, 0.5};
  auto n = run_constraint_pass(store(), {c}, ApplicabilitySemantics::BodyTruthOnly);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 2u);
  // Strength 0.25, v = 0.25 twice; the constraint's d plays no part.
  const AtomState st = state(p, {1});
  EXPECT_DOUBLE_EQ(st.b, 0.5);
  EXPECT_DOUBLE_EQ(st.d, 1 - (1 - 0.25) * (1 - 0.25));
  Bindings x;
  x.bind("X", 1);
  EXPECT_EQ(evidence_ids(p, {1}),
            (std::vector<std::string>{"edb_test", constraint_evidence_id(4, 0, x),
                                      constraint_evidence_id(4, 3, x)}));  // shorter ids first
}

TEST_F(EvalTest, ConstraintPassSkipsMatchesWithoutStrength) {
  const uint64_t p = pred("p", 1);
  fact(p, {1}, 0.5, 1.0);  // discounted strength 0
  CompiledConstraint weak{{atom(p, {Term::var("X")})}, 1, 1.0, 0.0};
  CompiledConstraint empty{{}, 2, 1.0, 0.0};  // its seed match has no goal to receive
  auto n = run_constraint_pass(store(), {weak, empty},
                               ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 0u);
  EXPECT_EQ(state(p, {1}).d, 1.0);
  // Under BodyTruthOnly the same match has strength 0.5 but v = 0 * 0.5.
  CompiledConstraint zero{{atom(p, {Term::var("X")})}, 3, 0.0, 1.0};
  n = run_constraint_pass(store(), {zero}, ApplicabilitySemantics::BodyTruthOnly);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 0u);
}

TEST_F(EvalTest, FixpointSelectsRulesOnlyThroughPredIds) {
  const uint64_t e = pred("e", 1);
  const uint64_t p = pred("p", 1);
  const uint64_t hidden = pred("hidden", 1);
  fact(e, {1}, 1.0, 0.0);
  std::vector<CompiledRule> rules{
      {{Term::var("X")}, {atom(e, {Term::var("X")})}, 1, p, 1, 1.0, 0.0},
      {{Term::var("X")}, {atom(e, {Term::var("X")})}, 2, hidden, 1, 1.0, 0.0},
  };
  const std::unordered_map<std::string, uint64_t> ids{{"e", e}, {"p", p}};
  auto r = evaluate_to_fixpoint(store(), rules, {}, Semantics{}, ids, std::nullopt);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->iterations, 1u);
  EXPECT_EQ(r->atoms_changed, 1u);
  EXPECT_EQ(state(hidden, {1}).b, 0.0);

  auto none = evaluate_to_fixpoint(store(), {}, {}, Semantics{}, ids, std::nullopt);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->iterations, 0u);
  EXPECT_EQ(none->atoms_changed, 0u);
}

TEST_F(EvalTest, FixpointCountsPassesOfARecursiveComponent) {
  // A chain 1 -> 2 -> ... -> 6 closed under reach(X, Z) :- reach(X, Y), e(Y, Z).
  const uint64_t e = pred("e", 2);
  const uint64_t reach = pred("reach", 2);
  for (uint64_t i = 1; i < 6; ++i) fact(e, {i, i + 1}, 1.0, 0.0);
  std::vector<CompiledRule> rules{
      {{Term::var("X"), Term::var("Y")}, {atom(e, {Term::var("X"), Term::var("Y")})}, 1, reach,
       2, 1.0, 0.0},
      {{Term::var("X"), Term::var("Z")},
       {atom(reach, {Term::var("X"), Term::var("Y")}), atom(e, {Term::var("Y"), Term::var("Z")})},
       2, reach, 2, 1.0, 0.0},
  };
  const std::unordered_map<std::string, uint64_t> ids{{"e", e}, {"reach", reach}};
  // Pass 1: the 5 edges, then rule 2 over them (matches are computed before
  // its own writes): 4 pairs of distance 2. Pass 2: 3 of distance 3; pass 3:
  // 2; pass 4: 1; pass 5 changes nothing.
  auto r = evaluate_to_fixpoint(store(), rules, {}, Semantics{}, ids, std::nullopt);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->iterations, 5u);
  EXPECT_EQ(r->atoms_changed, 15u);
  EXPECT_EQ(store().scan_predicate(reach)->size(), 15u);

  // Depth-capped runs on a fresh closure stop quietly after the cap.
  const uint64_t reach2 = pred("reach2", 2);
  for (auto& rule : rules) rule.head_pred_id = reach2;
  std::get<CompiledAtom>(rules[1].body[0]).pred_id = reach2;
  const std::unordered_map<std::string, uint64_t> ids2{{"e", e}, {"reach2", reach2}};
  auto capped = evaluate_to_fixpoint(store(), rules, {}, Semantics{}, ids2, 1);
  ASSERT_TRUE(capped.has_value());
  EXPECT_EQ(capped->iterations, 1u);
  EXPECT_EQ(capped->atoms_changed, 9u);
  auto three = evaluate_to_fixpoint(store(), rules, {}, Semantics{}, ids2, 3);
  ASSERT_TRUE(three.has_value());
  EXPECT_EQ(three->iterations, 3u);
  EXPECT_EQ(three->atoms_changed, 3u + 2u + 1u);
}

}  // namespace
}  // namespace ruvo
