// The store fixture shared by the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ruvo_engine/src/eval.h"
#include "ruvo_engine/src/join.h"
#include "testing/test_support.h"

namespace ruvo::test {

// A temporary derived-state store with helpers to intern symbols, register
// predicates and write atom states.
class StoreTest : public ::testing::Test {
 protected:
  uint64_t sym(std::string_view text) { return ok(store.symbols.get_or_insert(text)); }
  uint64_t pred(const std::string& name, uint64_t arity,
                AggregationMode agg = AggregationMode::Maximum,
                EvidenceMode mode = EvidenceMode::None) {
    return ok(store.registry.register_predicate(name, arity, agg, mode, {})).pred_id;
  }
  void put(uint64_t pred_id, std::vector<uint64_t> args, double b, double d = 0.0,
           std::optional<std::string> evidence = std::nullopt) {
    ok(store.upsert_atom(AtomKey{pred_id, std::move(args)},
                         Contribution{b, d, std::move(evidence)}));
  }
  AtomState state(uint64_t pred_id, std::vector<uint64_t> args) {
    return ok(store.get_state(AtomKey{pred_id, args}));
  }
  // Bindings point into a goal's terms, so goals live as long as the fixture.
  const CompiledGoal& goal(CompiledGoal g) { return goals_.emplace_back(std::move(g)); }
  const CompiledGoal& atom(uint64_t pred_id, std::vector<Term> args, bool negated = false) {
    const uint64_t arity = args.size();
    return goal(CompiledAtom{std::move(args), pred_id, arity, negated});
  }
  std::vector<BodyMatch> eval(const CompiledGoal& g,
                              const std::vector<BodyMatch>& in = {BodyMatch{}}) {
    return eval_goal(store, g, in);
  }

  const RuvoStore store = ok(RuvoStore::open_temporary());

 private:
  std::deque<CompiledGoal> goals_;
};

inline Bindings bind_all(std::initializer_list<std::pair<std::string_view, uint64_t>> items) {
  Bindings b;
  for (const auto& [n, v] : items) b.bind(n, v);
  return b;
}

// The same matches in the same order: bindings in binding order, weights
// bit for bit.
inline void expect_matches(const std::vector<BodyMatch>& got, const std::vector<BodyMatch>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].bindings.items(), want[i].bindings.items()) << "match " << i;
    EXPECT_EQ(got[i].b, want[i].b) << "match " << i;
    EXPECT_EQ(got[i].d, want[i].d) << "match " << i;
  }
}

const Term X = Term::var("X"), Y = Term::var("Y"), Z = Term::var("Z");

}  // namespace ruvo::test
