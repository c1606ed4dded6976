// Atom states: folding by aggregation and evidence mode, the write skip,
// errors, reads and scans. Every case runs with and without caches.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo {
namespace {

using testing_util::be;
using testing_util::dump;
using testing_util::temp_store;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class IdbAtoms : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { store_.emplace(temp_store(GetParam())); }

  RuvoStore& store() { return *store_; }

  uint64_t reg(const std::string& name, uint64_t arity, AggregationMode agg, EvidenceMode ev) {
    return store().registry.register_predicate(name, arity, agg, ev, {}).value().pred_id;
  }
  AtomState up(uint64_t pred, std::vector<uint64_t> args, double b, double d,
               std::optional<std::string> id = std::nullopt) {
    auto r = store().upsert_atom(AtomKey{pred, std::move(args)}, Contribution{b, d, std::move(id)});
    EXPECT_TRUE(r) << r.error().debug();
    return r.value_or(AtomState{-99, -99});
  }
  AtomState get(uint64_t pred, std::vector<uint64_t> args) {
    return store().get_state(AtomKey{pred, std::move(args)}).value();
  }
  std::optional<std::string> raw_state(uint64_t pred, std::vector<uint64_t> args) {
    return store().state_tree().get(encode_state_key(AtomKey{pred, std::move(args)})).value();
  }

  std::optional<RuvoStore> store_;
};

#define EXPECT_STATE(s, eb, ed)  \
  do {                           \
    AtomState s_ = (s);          \
    EXPECT_EQ(s_.b, (eb));       \
    EXPECT_EQ(s_.d, (ed));       \
  } while (0)

TEST_P(IdbAtoms, MaximumIgnoresEvidenceModeAndId) {
  for (EvidenceMode ev : {EvidenceMode::None, EvidenceMode::PerSource, EvidenceMode::ProofTree}) {
    uint64_t p = reg("max" + std::to_string(static_cast<int>(ev)), 1, AggregationMode::Maximum, ev);
    EXPECT_STATE(up(p, {1}, 0.2, 0.0), 0.2, 0.0);
    EXPECT_STATE(up(p, {1}, 0.5, 0.1), 0.5, 0.1);
    EXPECT_STATE(up(p, {1}, 0.3, 0.0, "src"), 0.5, 0.1);
    EXPECT_EQ(raw_state(p, {1}), encode_atom_state({0.5, 0.1}));
  }
  EXPECT_TRUE(dump(store(), "contrib").empty());
}

TEST_P(IdbAtoms, ModeNoneFoldsEveryApplication) {
  uint64_t nor = reg("nor", 1, AggregationMode::NoisyOr, EvidenceMode::None);
  EXPECT_STATE(up(nor, {1}, 0.5, 0.0, "same"), 0.5, 0.0);
  EXPECT_STATE(up(nor, {1}, 0.5, 0.0, "same"), 0.75, 0.0);
  uint64_t cap = reg("cap", 1, AggregationMode::CappedSum, EvidenceMode::None);
  EXPECT_STATE(up(cap, {1}, 0.7, 0.2), 0.7, 0.2);
  EXPECT_STATE(up(cap, {1}, 0.7, 0.2), 1.0, 0.4);
  // No lower bound: a negative amount goes below the cap and below zero.
  EXPECT_STATE(up(cap, {1}, -1.5, 0.0), -0.5, 0.4);
  EXPECT_EQ(raw_state(cap, {1}), encode_atom_state({-0.5, 0.4}));
  EXPECT_TRUE(dump(store(), "contrib").empty());
}

TEST_P(IdbAtoms, PerSourceReplacesAKnownSourceAndRecomputes) {
  for (EvidenceMode ev : {EvidenceMode::PerSource, EvidenceMode::ProofTree}) {
    uint64_t p = reg("ps" + std::to_string(static_cast<int>(ev)), 2, AggregationMode::NoisyOr, ev);
    EXPECT_STATE(up(p, {1, 2}, 0.5, 0.0, "x"), 0.5, 0.0);
    EXPECT_STATE(up(p, {1, 2}, 0.5, 0.0, "y"), 0.75, 0.0);
    EXPECT_STATE(up(p, {1, 2}, 0.5, 0.0, "x"), 0.75, 0.0);
    EXPECT_STATE(up(p, {1, 2}, 0.0, 0.0, "x"), 0.5, 0.0);
    EXPECT_STATE(get(p, {1, 2}), 0.5, 0.0);
    // One record per source, the latest amount.
    std::string key = encode_state_key(AtomKey{p, {1, 2}});
    EXPECT_EQ(store().contrib_tree().get(encode_contrib_key(key, "x")).value(),
              encode_contribution({0.0, 0.0, "x"}));
    EXPECT_EQ(store().contrib_tree().get(encode_contrib_key(key, "y")).value(),
              encode_contribution({0.5, 0.0, "y"}));
    EXPECT_STATE(store().recompute_aggregate(AggregationMode::NoisyOr, key).value(), 0.5, 0.0);
  }
  EXPECT_EQ(dump(store(), "contrib").size(), 4u);
}

TEST_P(IdbAtoms, CappedSumIsOrderDependentWithNegativeAmounts) {
  uint64_t p = reg("cap", 1, AggregationMode::CappedSum, EvidenceMode::PerSource);
  // Arrival order 0.9, 0.5, -0.5 folds to 0.5; key order (shorter ids
  // first) puts -0.5 first and folds to 0.9.
  EXPECT_STATE(up(p, {1}, 0.9, 0.0, "x1"), 0.9, 0.0);
  EXPECT_STATE(up(p, {1}, 0.5, 0.0, "x2"), 1.0, 0.0);
  EXPECT_STATE(up(p, {1}, -0.5, 0.0, "a"), 0.5, 0.0);
  std::string key = encode_state_key(AtomKey{p, {1}});
  EXPECT_STATE(store().recompute_aggregate(AggregationMode::CappedSum, key).value(), 0.9, 0.0);
  EXPECT_STATE(get(p, {1}), 0.5, 0.0);
  // Repeating a known source recomputes over all records.
  EXPECT_STATE(up(p, {1}, 0.5, 0.0, "x2"), 0.9, 0.0);
  EXPECT_STATE(get(p, {1}), 0.9, 0.0);
}

TEST_P(IdbAtoms, BrokenContributionRecordFailsOnlyTheRecomputation) {
  uint64_t p = reg("nor", 1, AggregationMode::NoisyOr, EvidenceMode::PerSource);
  std::string key = encode_state_key(AtomKey{p, {1}});
  ASSERT_TRUE(store().contrib_tree().insert(encode_contrib_key(key, "bad"), std::string(10, '\0')));
  // A new source folds incrementally and never reads the broken record...
  EXPECT_STATE(up(p, {1}, 0.5, 0.0, "x"), 0.5, 0.0);
  // ...a known one recomputes over all records and meets it.
  auto r = store().upsert_atom(AtomKey{p, {1}}, {0.5, 0.0, "x"});
  EXPECT_EQ(r.error().debug(), "Bincode(Io(Kind(UnexpectedEof)))");
  // Reporting the broken source again replaces its record.
  EXPECT_STATE(up(p, {1}, 0.5, 0.0, "bad"), 0.75, 0.0);
  EXPECT_STATE(up(p, {1}, 0.0, 0.0, "x"), 0.5, 0.0);
}

TEST_P(IdbAtoms, MissingEvidenceWritesNothing) {
  for (AggregationMode agg : {AggregationMode::NoisyOr, AggregationMode::CappedSum}) {
    for (EvidenceMode ev : {EvidenceMode::PerSource, EvidenceMode::ProofTree}) {
      uint64_t p = reg("m" + std::to_string(static_cast<int>(agg)) + std::to_string(static_cast<int>(ev)), 1,
                       agg, ev);
      auto r = store().upsert_atom(AtomKey{p, {1}}, {0.5, 0.5, std::nullopt});
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().debug(), "MissingEvidence");
      EXPECT_STATE(get(p, {1}), 0.0, 0.0);
    }
  }
  EXPECT_TRUE(dump(store(), "state").empty());
  EXPECT_TRUE(dump(store(), "contrib").empty());
}

TEST_P(IdbAtoms, ProfileAndArityAreCheckedBeforeTheStateIsRead) {
  uint64_t p = reg("pair", 2, AggregationMode::Maximum, EvidenceMode::None);
  // Broken records under the keys the refused upserts would read.
  ASSERT_TRUE(store().state_tree().insert(encode_state_key(AtomKey{p, {1, 2, 3}}), std::string(15, '\0')));
  ASSERT_TRUE(store().state_tree().insert(encode_state_key(AtomKey{99, {1}}), std::string(15, '\0')));
  auto arity = store().upsert_atom(AtomKey{p, {1, 2, 3}}, {1, 0, std::nullopt});
  EXPECT_EQ(arity.error().debug(), "InvalidArity { expected: 2, found: 3 }");
  auto unknown = store().upsert_atom(AtomKey{99, {1}}, {1, 0, std::nullopt});
  EXPECT_EQ(unknown.error().debug(), "UnknownPredicate(99)");
  // Reading them directly meets the broken records.
  EXPECT_EQ(store().get_state(AtomKey{p, {1, 2, 3}}).error().debug(), "Bincode(Io(Kind(UnexpectedEof)))");
  EXPECT_EQ(store().get_state(AtomKey{99, {1}}).error().debug(), "Bincode(Io(Kind(UnexpectedEof)))");
}

TEST_P(IdbAtoms, ShortAndLongStateRecords) {
  uint64_t p = reg("r", 1, AggregationMode::Maximum, EvidenceMode::None);
  std::string rec = encode_atom_state({0.25, 0.75});
  ASSERT_TRUE(store().state_tree().insert(encode_state_key(AtomKey{p, {1}}), rec + "\x01"));
  ASSERT_TRUE(store().state_tree().insert(encode_state_key(AtomKey{p, {2}}), rec.substr(0, 15)));
  EXPECT_STATE(get(p, {1}), 0.25, 0.75);
  EXPECT_EQ(store().get_state(AtomKey{p, {2}}).error().debug(), "Bincode(Io(Kind(UnexpectedEof)))");
  EXPECT_EQ(store().scan_predicate(p).error().debug(), "Bincode(Io(Kind(UnexpectedEof)))");
  EXPECT_EQ(store().upsert_atom(AtomKey{p, {2}}, {1, 0, std::nullopt}).error().debug(),
            "Bincode(Io(Kind(UnexpectedEof)))");
  // An equal contribution leaves the long record as it was.
  EXPECT_STATE(up(p, {1}, 0.25, 0.0), 0.25, 0.75);
  EXPECT_EQ(raw_state(p, {1}), rec + "\x01");
}

TEST_P(IdbAtoms, NanAndInfinity) {
  uint64_t mx = reg("mx", 1, AggregationMode::Maximum, EvidenceMode::None);
  // A NaN contribution is ignored by max folding...
  EXPECT_STATE(up(mx, {1}, 0.5, 0.0), 0.5, 0.0);
  EXPECT_STATE(up(mx, {1}, kNaN, kNaN), 0.5, 0.0);
  // ...but a stored NaN is kept, and written again on every upsert.
  ASSERT_TRUE(store().state_tree().insert(encode_state_key(AtomKey{mx, {2}}), encode_atom_state({kNaN, 0.0})));
  AtomState kept = up(mx, {2}, 0.9, 0.1);
  EXPECT_TRUE(std::isnan(kept.b));
  EXPECT_EQ(kept.d, 0.1);

  uint64_t nor = reg("nor", 1, AggregationMode::NoisyOr, EvidenceMode::None);
  EXPECT_TRUE(std::isnan(up(nor, {1}, kNaN, 0.0).b));
  EXPECT_TRUE(std::isnan(up(nor, {1}, 0.5, 0.0).b));  // spreads
  EXPECT_TRUE(std::isnan(get(nor, {1}).b));

  uint64_t cap = reg("cap", 1, AggregationMode::CappedSum, EvidenceMode::None);
  EXPECT_STATE(up(cap, {1}, kNaN, 0.0), 1.0, 0.0);
  EXPECT_STATE(up(cap, {2}, kInf, -kInf), 1.0, -kInf);
  EXPECT_EQ(raw_state(cap, {2}), encode_atom_state({1.0, -kInf}));
  // -inf + inf is NaN, and a NaN sum caps to 1.
  EXPECT_STATE(up(cap, {2}, 0.0, kInf), 1.0, 1.0);

  // maxNum in recomputation skips NaN records.
  uint64_t ps = reg("ps", 1, AggregationMode::NoisyOr, EvidenceMode::PerSource);
  EXPECT_TRUE(std::isnan(up(ps, {1}, kNaN, 0.0, "a").b));
  up(ps, {1}, 0.3, 0.2, "b");
  std::string key = encode_state_key(AtomKey{ps, {1}});
  EXPECT_STATE(store().recompute_aggregate(AggregationMode::Maximum, key).value(), 0.3, 0.2);
  EXPECT_TRUE(std::isnan(store().recompute_aggregate(AggregationMode::NoisyOr, key).value().b));
  EXPECT_STATE(store().recompute_aggregate(AggregationMode::CappedSum, key).value(), 1.0, 0.2);
  EXPECT_STATE(store().recompute_aggregate(AggregationMode::Maximum, be({ps, 77})).value(), 0.0, 0.0);
}

TEST_P(IdbAtoms, ChangesBelowTheThresholdAreNotWritten) {
  uint64_t cap = reg("cap", 1, AggregationMode::CappedSum, EvidenceMode::None);
  for (int i = 0; i < 5; ++i) EXPECT_STATE(up(cap, {1}, 1e-13, 0.0), 1e-13, 0.0);
  EXPECT_EQ(raw_state(cap, {1}), std::nullopt);
  EXPECT_STATE(up(cap, {1}, 1e-12, 0.0), 1e-12, 0.0);  // not strictly below: written
  EXPECT_EQ(raw_state(cap, {1}), encode_atom_state({1e-12, 0.0}));

  EXPECT_TRUE(AtomState::approx_eq({0.0, 0.0}, {9e-13, -9e-13}));
  EXPECT_FALSE(AtomState::approx_eq({0.0, 0.0}, {1e-12, 0.0}));
  EXPECT_FALSE(AtomState::approx_eq({0.0, 0.0}, {0.0, 1e-12}));
  EXPECT_FALSE(AtomState::approx_eq({kInf, 0.0}, {kInf, 0.0}));
  EXPECT_FALSE(AtomState::approx_eq({kNaN, 0.0}, {kNaN, 0.0}));
}

TEST_P(IdbAtoms, ReadsAndScans) {
  EXPECT_STATE(get(42, {1, 2, 3}), 0.0, 0.0);  // no profile needed
  uint64_t one = reg("one", 1, AggregationMode::Maximum, EvidenceMode::None);
  EXPECT_TRUE(store().scan_predicate(one).value().empty());
  for (uint64_t a : {7, 5, 10}) up(one, {a}, 0.1 * static_cast<double>(a), 0.0);
  auto rows = store().scan_predicate(one).value();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].first, (AtomKey{one, {5}}));
  EXPECT_EQ(rows[1].first, (AtomKey{one, {7}}));
  EXPECT_EQ(rows[2].first, (AtomKey{one, {10}}));
  EXPECT_EQ(rows[0].second.b, 0.5);

  uint64_t two = reg("two", 2, AggregationMode::CappedSum, EvidenceMode::None);
  for (auto [a, b] : std::vector<std::pair<uint64_t, uint64_t>>{{1, 1}, {2, 1}, {1, 2}, {1, 0}, {UINT64_MAX, 0}}) {
    up(two, {a, b}, 0.5, 0.0);
  }
  // A state folded back to zero is still listed.
  EXPECT_STATE(up(two, {2, 1}, -0.5, 0.0), 0.0, 0.0);
  rows = store().scan_predicate(two).value();
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[3].first, (AtomKey{two, {2, 1}}));
  EXPECT_STATE(rows[3].second, 0.0, 0.0);
  EXPECT_EQ(rows[4].first, (AtomKey{two, {UINT64_MAX, 0}}));

  auto prefix = [&](std::vector<uint64_t> leading) {
    std::vector<std::vector<uint64_t>> out;
    auto rows = store().scan_predicate_prefix(two, leading).value();
    for (auto& [k, s] : rows) out.push_back(k.args);
    return out;
  };
  using V = std::vector<std::vector<uint64_t>>;
  EXPECT_EQ(prefix({1}), (V{{1, 0}, {1, 1}, {1, 2}}));
  EXPECT_EQ(prefix({1, 2}), (V{{1, 2}}));
  EXPECT_EQ(prefix({3}), V{});
  EXPECT_EQ(prefix({1, 2, 3}), V{});
  EXPECT_EQ(prefix({}).size(), 5u);
  // Rows written after the first scan are seen by the next one.
  up(two, {1, 5}, 0.5, 0.0);
  up(one, {6}, 0.6, 0.0);
  EXPECT_EQ(prefix({1}), (V{{1, 0}, {1, 1}, {1, 2}, {1, 5}}));
  EXPECT_EQ(store().scan_predicate(one).value()[1].first, (AtomKey{one, {6}}));
}

INSTANTIATE_TEST_SUITE_P(Caches, IdbAtoms, ::testing::Bool());

}  // namespace
}  // namespace ruvo
