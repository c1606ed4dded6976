// Helpers shared by the IDB tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ruvo_idb/src/store.h"
#include "testing/test_support.h"

namespace ruvo::test {

constexpr auto kMax = AggregationMode::Maximum, kNoisyOr = AggregationMode::NoisyOr,
               kCapped = AggregationMode::CappedSum;
constexpr auto kNone = EvidenceMode::None, kPerSource = EvidenceMode::PerSource,
               kProofTree = EvidenceMode::ProofTree;

// A nonzero `budget` bounds the caches.
inline StoreOptions store_options(bool caches, size_t budget = 0) {
  StoreOptions o;
  o.caches = caches;
  if (budget != 0) std::tie(o.state_cache_bytes, o.symbol_cache_bytes, o.contrib_cache_bytes) =
      std::tuple(budget, budget / 8, budget / 4);
  return o;
}
inline RuvoStore temp_store(bool caches = true, size_t budget = 0) {
  return ok(RuvoStore::open_temporary(store_options(caches, budget)));
}
inline RuvoStore file_store(const std::string& path, bool caches = true) {
  return ok(RuvoStore::from_db(ok(kv::Db::open(path)), store_options(caches)));
}
inline Entries dump(const RuvoStore& store, std::string_view tree) {
  return dump(ok(store.db().open_tree(tree)));
}

// Bit-exact comparison, so that NaNs compare equal to themselves.
inline bool same_bits(const AtomState& a, const AtomState& b) {
  return std::memcmp(&a.b, &b.b, 8) == 0 && std::memcmp(&a.d, &b.d, 8) == 0;
}

// A store per test, with and without caches (the parameter).
class IdbTest : public ::testing::TestWithParam<bool> {
 protected:
  RuvoStore& store() { return store_; }
  PredicateProfile reg(const std::string& name, uint64_t arity, AggregationMode agg = kMax,
                       EvidenceMode ev = kNone, std::vector<IndexSpec> indexes = {}) {
    return ok(store_.registry.register_predicate(name, arity, agg, ev, std::move(indexes)));
  }
  AtomState up(uint64_t pred, std::vector<uint64_t> args, double b, double d = 0.0,
               std::optional<std::string> id = std::nullopt) {
    return ok(
        store_.upsert_atom(AtomKey{pred, std::move(args)}, Contribution{b, d, std::move(id)}));
  }
  AtomState get(uint64_t pred, std::vector<uint64_t> args) {
    return ok(store_.get_state(AtomKey{pred, std::move(args)}));
  }

  RuvoStore store_ = temp_store(GetParam());
};

}  // namespace ruvo::test
