// The store fixture shared by the goal and builtin tests.
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
// predicates, write atom states and evaluate goals.
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
  std::vector<BodyMatch> eval(CompiledGoal g, const std::vector<BodyMatch>& in = {BodyMatch{}}) {
    return eval_goal(store, goals_.emplace_back(std::move(g)), in);
  }

  const RuvoStore store = ok(RuvoStore::open_temporary());

 private:
  std::deque<CompiledGoal> goals_;
};

inline CompiledAtom atom(uint64_t pred_id, std::vector<Term> args, bool negated = false) {
  const uint64_t arity = args.size();
  return CompiledAtom{std::move(args), pred_id, arity, negated};
}

inline Bindings bind_all(std::initializer_list<std::pair<std::string_view, uint64_t>> items) {
  Bindings b;
  for (const auto& [n, v] : items) b.bind(n, v);
  return b;
}

const Term X = Term::var("X"), Y = Term::var("Y"), Z = Term::var("Z");

}  // namespace ruvo::test
