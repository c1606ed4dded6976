// Compiling rules and constraints against the predicate registry.
#include "ruvo_engine/src/compiler.h"

#include <gtest/gtest.h>

#include "ruvo_engine/tests/engine_test_util.h"

namespace ruvo::test {
namespace {

class CompilerTest : public StoreTest {
 protected:
  PredicateProfile profile(uint64_t id) { return ok(store.registry.get_profile(id)).value(); }
  // The id the next new registration gets.
  uint64_t next_id() { return pred("__probe" + std::to_string(probes_++), 0); }
  int probes_ = 0;
};

Goal atom_goal(std::string name, std::vector<Term> args, bool negated = false) {
  const uint64_t arity = args.size();
  return AtomGoal{std::move(name), arity, negated, std::move(args)};
}

TEST_F(CompilerTest, CompilesRulesInOrderWithOneIdPerName) {
  const std::vector<Rule> rules{
      Rule{7, "p", 2, {X, Y}, {atom_goal("e", {X, Y})}, 0.9, 0.1},
      Rule{7,
           "q",
           1,
           {X},
           {atom_goal("p", {X, Y, Z}), atom_goal("r", {X}, true), BuiltinGoal{BuiltinOp::Add, {X}}},
           1.0,
           0.0},
      Rule{8, "s", 0, {}, {}, 0.5, 0.0}};
  const auto [compiled, names] = ok(compile_rules(store, rules, {}));
  // First pass order: head, then body atoms, rule by rule.
  EXPECT_EQ(names, (NameMap{{"p", 1}, {"e", 2}, {"q", 3}, {"r", 4}, {"s", 5}}));
  EXPECT_EQ(profile(1).arity, 2u);  // the first arity met wins
  EXPECT_EQ(profile(4).arity, 1u);  // a negated-only predicate is registered
  EXPECT_EQ(next_id(), 6u);
  ASSERT_EQ(compiled.size(), 3u);
  const CompiledRule& first = compiled[0];
  EXPECT_EQ(std::tie(first.id, first.head_pred_id, first.head_pred_arity, first.b, first.d),
            std::make_tuple(7ul, 1ul, 2ul, 0.9, 0.1));
  EXPECT_EQ(first.head_args, (std::vector<Term>{X, Y}));
  const CompiledRule& second = compiled[1];
  EXPECT_EQ(second.head_pred_id, 3u);
  ASSERT_EQ(second.body.size(), 3u);
  const auto& p_mention = std::get<CompiledAtom>(second.body[0]);
  EXPECT_EQ(std::tie(p_mention.pred_id, p_mention.pred_arity, p_mention.negated),
            std::make_tuple(1ul, 3ul, false));  // keeps its own declared arity
  EXPECT_EQ(p_mention.args, (std::vector<Term>{X, Y, Z}));
  EXPECT_EQ(std::get<CompiledAtom>(second.body[1]).pred_id, 4u);
  EXPECT_TRUE(std::get<CompiledAtom>(second.body[1]).negated);
  // Builtins pass unchecked, wrong argument count included.
  EXPECT_EQ(std::get<BuiltinGoal>(second.body[2]), (BuiltinGoal{BuiltinOp::Add, {X}}));
  EXPECT_TRUE(compiled[2].body.empty());
  EXPECT_EQ(compiled[2].head_pred_id, 5u);

  // Constraints the same way; empty lists and builtin-only bodies register
  // nothing.
  const std::vector<Constraint> cs{
      Constraint{
          4, {atom_goal("a", {X}), BuiltinGoal{BuiltinOp::Gt, {X, Term::integer(3)}}}, 0.7, 0.2},
      Constraint{4, {atom_goal("b", {X}, true), atom_goal("a", {X, Y})}, 0.1, 0.0}};
  const auto [kc, knames] = ok(compile_constraints(store, cs, {}));
  EXPECT_EQ(knames, (NameMap{{"a", 7}, {"b", 8}}));
  ASSERT_EQ(kc.size(), 2u);
  EXPECT_EQ(std::tie(kc[0].id, kc[0].b, kc[0].d), std::make_tuple(4ul, 0.7, 0.2));
  EXPECT_EQ(std::get<BuiltinGoal>(kc[0].body[1]).op, BuiltinOp::Gt);
  EXPECT_EQ(std::get<CompiledAtom>(kc[1].body[1]).pred_id, 7u);
  EXPECT_EQ(std::get<CompiledAtom>(kc[1].body[1]).pred_arity, 2u);
  EXPECT_EQ(profile(7).arity, 1u);
  EXPECT_TRUE(ok(compile_rules(store, {}, {})).second.empty());
  EXPECT_TRUE(ok(compile_constraints(store, {}, {})).first.empty());
  EXPECT_TRUE(ok(compile_constraints(
                     store, {Constraint{1, {BuiltinGoal{BuiltinOp::Eq, {X, X}}}, 1, 0}}, {}))
                  .second.empty());
  EXPECT_EQ(next_id(), 9u);
}

// (Rules registering with the configuration are covered by e2e_test.cc.)
TEST_F(CompilerTest, ConstraintsRegisterWithConfigurationUnlessRegistered) {
  PredConfigs configs;
  configs["c"] = PredConfig{{}, AggregationMode::CappedSum, EvidenceMode::ProofTree};
  configs["p"] = PredConfig{{}, AggregationMode::NoisyOr, EvidenceMode::PerSource};
  const uint64_t p =
      pred("p", 1, AggregationMode::CappedSum);  // registered earlier, e.g. by a fact
  const auto names =
      ok(compile_constraints(
             store, {Constraint{3, {atom_goal("c", {X}), atom_goal("p", {X})}, 0.5, 0.0}}, configs))
          .second;
  EXPECT_EQ(profile(names.at("c")).aggregation, AggregationMode::CappedSum);
  EXPECT_EQ(profile(names.at("c")).evidence_mode, EvidenceMode::ProofTree);
  EXPECT_EQ(names.at("p"), p);
  EXPECT_EQ(profile(p).aggregation, AggregationMode::CappedSum);
  // Another arity under the same name is another predicate.
  EXPECT_NE(
      ok(compile_constraints(store, {Constraint{2, {atom_goal("p", {X, Y})}, 1.0, 0.0}}, configs))
          .second.at("p"),
      p);
  const PredConfig fallback = config_for(configs, "zzz");
  EXPECT_EQ(std::tie(fallback.aggregation, fallback.evidence_mode),
            std::make_tuple(AggregationMode::Maximum, EvidenceMode::None));
  EXPECT_TRUE(fallback.indexes.empty());
}

TEST_F(CompilerTest, CompileGoalAndErrorTexts) {
  const auto g =
      std::get<CompiledAtom>(ok(compile_goal(atom_goal("p", {X}, true), NameMap{{"p", 9}})));
  EXPECT_EQ(g.pred_id, 9u);
  EXPECT_TRUE(g.negated);
  EXPECT_EQ(err(compile_goal(atom_goal("q\"\\\n", {}), {})), "UnknownPredicate(\"q\\\"\\\\\\n\")");
  EXPECT_EQ(err(compile_goal(atom_goal("", {}), {})), "UnknownPredicate(\"\")");
  EXPECT_EQ(CompileError(StoreError(StoreError::InvalidArity{2, 3})).debug(),
            "Store(InvalidArity { expected: 2, found: 3 })");
  EXPECT_EQ(CompileError(StoreError(StoreError::MissingEvidence{})).debug(),
            "Store(MissingEvidence)");
}

}  // namespace
}  // namespace ruvo::test
