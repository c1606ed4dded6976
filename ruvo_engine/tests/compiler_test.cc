// Compiling rules and constraints against the predicate registry.
#include "ruvo_engine/src/compiler.h"

#include <gtest/gtest.h>

#include "ruvo_engine/tests/engine_test_util.h"

namespace ruvo::test {
namespace {

Goal atom_goal(std::string name, std::vector<Term> args, bool negated = false) {
  const uint64_t arity = args.size();
  return AtomGoal{std::move(name), arity, negated, std::move(args)};
}

using CompilerTest = StoreTest;

TEST_F(CompilerTest, OneIdPerNameInFirstMentionOrder) {
  const std::vector<Rule> rules{
      Rule{7, "p", 2, {X, Y}, {atom_goal("e", {X, Y})}, 0.9, 0.1},
      Rule{7, "q", 1, {X},
           {atom_goal("p", {X, Y, Z}), atom_goal("r", {X}, true), BuiltinGoal{BuiltinOp::Add, {X}}},
           1.0, 0.0}};
  const auto [compiled, names] = ok(compile_rules(store, rules, {}));
  // Head, then body atoms, rule by rule; negated-only names are registered.
  EXPECT_EQ(names, (NameMap{{"p", 1}, {"e", 2}, {"q", 3}, {"r", 4}}));
  EXPECT_EQ(ok(store.registry.get_profile(1))->arity, 2u);  // the first arity met wins
  const auto& p_mention = std::get<CompiledAtom>(compiled[1].body[0]);
  EXPECT_EQ(std::tie(p_mention.pred_id, p_mention.pred_arity), std::make_tuple(1ul, 3ul));
  // Constraints register with the configuration unless registered already.
  PredConfigs configs;
  configs["c"] = PredConfig{{}, AggregationMode::CappedSum, EvidenceMode::ProofTree};
  configs["p"] = PredConfig{{}, AggregationMode::NoisyOr, EvidenceMode::PerSource};
  const auto cnames =
      ok(compile_constraints(
             store, {Constraint{3, {atom_goal("c", {X}), atom_goal("p", {X, Y})}, 0.5, 0.0}}, configs))
          .second;
  EXPECT_EQ(cnames, (NameMap{{"c", 5}, {"p", 1}}));
  EXPECT_EQ(ok(store.registry.get_profile(5))->evidence_mode, EvidenceMode::ProofTree);
  EXPECT_EQ(ok(store.registry.get_profile(1))->aggregation, AggregationMode::Maximum);
}

TEST_F(CompilerTest, ErrorTexts) {
  EXPECT_EQ(err(compile_goal(atom_goal("q\"\\\n", {}), {})), "UnknownPredicate(\"q\\\"\\\\\\n\")");
  EXPECT_EQ(CompileError(StoreError(StoreError::InvalidArity{2, 3})).debug(),
            "Store(InvalidArity { expected: 2, found: 3 })");
}

}  // namespace
}  // namespace ruvo::test
