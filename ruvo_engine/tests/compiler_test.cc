// Compiling rules and constraints against the predicate registry.
#include <gtest/gtest.h>

#include "ruvo_engine/src/compiler.h"

namespace ruvo {
namespace {

class CompilerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = RuvoStore::open_temporary();
    ASSERT_TRUE(s.has_value()) << s.error().debug();
    store_.emplace(std::move(*s));
  }

  PredicateProfile profile(uint64_t id) {
    auto p = store_->registry.get_profile(id);
    EXPECT_TRUE(p.has_value() && p->has_value());
    return p->value_or(PredicateProfile{});
  }
  // The id the next new registration would get.
  uint64_t next_id() {
    auto p = store_->registry.register_predicate("__probe" + std::to_string(probes_++), 0,
                                                 AggregationMode::Maximum, EvidenceMode::None, {});
    EXPECT_TRUE(p.has_value());
    return p->pred_id;
  }

  std::optional<RuvoStore> store_;
  int probes_ = 0;
};

Goal atom(std::string name, std::vector<Term> args, bool negated = false) {
  uint64_t arity = args.size();
  return AtomGoal{std::move(name), arity, negated, std::move(args)};
}

const Term X = Term::var("X"), Y = Term::var("Y"), Z = Term::var("Z");

TEST_F(CompilerTest, CompilesRulesInOrderWithOneIdPerName) {
  std::vector<Rule> rules{
      Rule{7, "p", 2, {X, Y}, {atom("e", {X, Y})}, 0.9, 0.1},
      Rule{7, "q", 1, {X},
           {atom("p", {X, Y, Z}), atom("r", {X}, true),
            BuiltinGoal{BuiltinOp::Add, {X}}},
           1.0, 0.0},
      Rule{8, "s", 0, {}, {}, 0.5, 0.0},
  };
  auto r = compile_rules(*store_, rules, {});
  ASSERT_TRUE(r.has_value()) << r.error().debug();
  const auto& [compiled, names] = *r;

  // First pass order: head, then body atoms, rule by rule.
  EXPECT_EQ(names, (NameMap{{"p", 1}, {"e", 2}, {"q", 3}, {"r", 4}, {"s", 5}}));
  EXPECT_EQ(profile(1).arity, 2u);  // the first arity met wins
  EXPECT_EQ(profile(4).arity, 1u);  // a negated-only predicate is registered
  EXPECT_EQ(next_id(), 6u);

  ASSERT_EQ(compiled.size(), 3u);
  EXPECT_EQ(compiled[0].id, 7u);
  EXPECT_EQ(compiled[0].head_pred_id, 1u);
  EXPECT_EQ(compiled[0].head_pred_arity, 2u);
  EXPECT_EQ(compiled[0].head_args, (std::vector<Term>{X, Y}));
  EXPECT_EQ(compiled[0].b, 0.9);
  EXPECT_EQ(compiled[0].d, 0.1);

  const CompiledRule& second = compiled[1];
  EXPECT_EQ(second.id, 7u);
  EXPECT_EQ(second.head_pred_id, 3u);
  ASSERT_EQ(second.body.size(), 3u);
  const auto& p_mention = std::get<CompiledAtom>(second.body[0]);
  EXPECT_EQ(p_mention.pred_id, 1u);
  EXPECT_EQ(p_mention.pred_arity, 3u);  // keeps its own declared arity
  EXPECT_EQ(p_mention.args, (std::vector<Term>{X, Y, Z}));
  EXPECT_FALSE(p_mention.negated);
  EXPECT_TRUE(std::get<CompiledAtom>(second.body[1]).negated);
  EXPECT_EQ(std::get<CompiledAtom>(second.body[1]).pred_id, 4u);
  // Builtins pass unchecked, wrong argument count included.
  EXPECT_EQ(std::get<BuiltinGoal>(second.body[2]), (BuiltinGoal{BuiltinOp::Add, {X}}));

  EXPECT_TRUE(compiled[2].body.empty());
  EXPECT_EQ(compiled[2].head_pred_id, 5u);
}

TEST_F(CompilerTest, RegistersWithConfigurationOfTheName) {
  PredConfigs configs;
  configs["n"] = PredConfig{{}, AggregationMode::NoisyOr, EvidenceMode::PerSource};
  configs["c"] = PredConfig{{}, AggregationMode::CappedSum, EvidenceMode::ProofTree};
  std::vector<Rule> rules{Rule{1, "h", 1, {X}, {atom("n", {X}, true)}, 1.0, 0.0}};
  auto r = compile_rules(*store_, rules, configs);
  ASSERT_TRUE(r.has_value());
  PredicateProfile n = profile(r->second.at("n"));
  EXPECT_EQ(n.aggregation, AggregationMode::NoisyOr);
  EXPECT_EQ(n.evidence_mode, EvidenceMode::PerSource);
  PredicateProfile h = profile(r->second.at("h"));
  EXPECT_EQ(h.aggregation, AggregationMode::Maximum);
  EXPECT_EQ(h.evidence_mode, EvidenceMode::None);

  std::vector<Constraint> cs{Constraint{3, {atom("c", {X}), atom("n", {X})}, 0.5, 0.0}};
  auto k = compile_constraints(*store_, cs, configs);
  ASSERT_TRUE(k.has_value());
  PredicateProfile c = profile(k->second.at("c"));
  EXPECT_EQ(c.aggregation, AggregationMode::CappedSum);
  EXPECT_EQ(c.evidence_mode, EvidenceMode::ProofTree);
  // Same name and arity as in the rules: the same predicate.
  EXPECT_EQ(k->second.at("n"), r->second.at("n"));

  EXPECT_EQ(config_for(configs, "n").aggregation, AggregationMode::NoisyOr);
  EXPECT_EQ(config_for(configs, "zzz").aggregation, AggregationMode::Maximum);
  EXPECT_EQ(config_for(configs, "zzz").evidence_mode, EvidenceMode::None);
  EXPECT_TRUE(config_for(configs, "zzz").indexes.empty());
}

TEST_F(CompilerTest, EarlierRegistrationKeepsIdAndProfile) {
  auto fact = store_->registry.register_predicate("p", 1, AggregationMode::CappedSum,
                                                  EvidenceMode::None, {});
  ASSERT_TRUE(fact.has_value());
  PredConfigs configs;
  configs["p"] = PredConfig{{}, AggregationMode::NoisyOr, EvidenceMode::PerSource};
  std::vector<Constraint> cs{Constraint{1, {atom("p", {X})}, 1.0, 0.0}};
  auto k = compile_constraints(*store_, cs, configs);
  ASSERT_TRUE(k.has_value());
  EXPECT_EQ(k->second.at("p"), fact->pred_id);
  EXPECT_EQ(profile(fact->pred_id).aggregation, AggregationMode::CappedSum);

  // Another arity under the same name is another predicate.
  std::vector<Constraint> other{Constraint{2, {atom("p", {X, Y})}, 1.0, 0.0}};
  auto k2 = compile_constraints(*store_, other, configs);
  ASSERT_TRUE(k2.has_value());
  EXPECT_NE(k2->second.at("p"), fact->pred_id);
}

TEST_F(CompilerTest, ConstraintsCompileInOrder) {
  std::vector<Constraint> cs{
      Constraint{4, {atom("a", {X}), BuiltinGoal{BuiltinOp::Gt, {X, Term::integer(3)}}}, 0.7, 0.2},
      Constraint{4, {atom("b", {X}, true), atom("a", {X, Y})}, 0.1, 0.0},
  };
  auto k = compile_constraints(*store_, cs, {});
  ASSERT_TRUE(k.has_value());
  const auto& [compiled, names] = *k;
  EXPECT_EQ(names, (NameMap{{"a", 1}, {"b", 2}}));
  ASSERT_EQ(compiled.size(), 2u);
  EXPECT_EQ(compiled[0].id, 4u);
  EXPECT_EQ(compiled[0].b, 0.7);
  EXPECT_EQ(compiled[0].d, 0.2);
  EXPECT_EQ(std::get<BuiltinGoal>(compiled[0].body[1]).op, BuiltinOp::Gt);
  EXPECT_EQ(std::get<CompiledAtom>(compiled[1].body[1]).pred_id, 1u);
  EXPECT_EQ(std::get<CompiledAtom>(compiled[1].body[1]).pred_arity, 2u);
  EXPECT_EQ(profile(1).arity, 1u);
}

TEST_F(CompilerTest, EmptyListsRegisterNothing) {
  auto r = compile_rules(*store_, {}, {});
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->first.empty());
  EXPECT_TRUE(r->second.empty());
  auto k = compile_constraints(*store_, {}, {});
  ASSERT_TRUE(k.has_value());
  EXPECT_TRUE(k->first.empty());
  EXPECT_TRUE(k->second.empty());
  // Bodies of builtins only register nothing either.
  std::vector<Constraint> cs{Constraint{1, {BuiltinGoal{BuiltinOp::Eq, {X, X}}}, 1.0, 0.0}};
  k = compile_constraints(*store_, cs, {});
  ASSERT_TRUE(k.has_value());
  EXPECT_TRUE(k->second.empty());
  EXPECT_EQ(next_id(), 1u);
}

TEST_F(CompilerTest, CompileGoalAndErrorTexts) {
  NameMap names{{"p", 9}};
  auto g = compile_goal(atom("p", {X}, true), names);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(std::get<CompiledAtom>(*g).pred_id, 9u);
  EXPECT_TRUE(std::get<CompiledAtom>(*g).negated);

  auto missing = compile_goal(atom("q\"\\\n", {}), names);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().debug(), "UnknownPredicate(\"q\\\"\\\\\\n\")");
  EXPECT_EQ(compile_goal(atom("", {}), {}).error().debug(), "UnknownPredicate(\"\")");

  EXPECT_EQ(CompileError(StoreError(StoreError::InvalidArity{2, 3})).debug(),
            "Store(InvalidArity { expected: 2, found: 3 })");
  EXPECT_EQ(CompileError(StoreError(StoreError::MissingEvidence{})).debug(),
            "Store(MissingEvidence)");
}

TEST_F(CompilerTest, EnsurePredicateSkipsKnownNames) {
  NameMap names;
  ASSERT_TRUE(ensure_predicate(*store_, "p", 2, {}, names).has_value());
  ASSERT_TRUE(ensure_predicate(*store_, "p", 5, {}, names).has_value());
  EXPECT_EQ(names, (NameMap{{"p", 1}}));
  EXPECT_EQ(next_id(), 2u);  // the second call registered nothing
}

}  // namespace
}  // namespace ruvo
