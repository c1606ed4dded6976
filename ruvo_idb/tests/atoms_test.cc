// Atom states: folding by aggregation and evidence mode, the write skip,
// errors, reads and scans. Every case runs with and without caches.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr auto kMax = AggregationMode::Maximum, kNoisyOr = AggregationMode::NoisyOr,
               kCapped = AggregationMode::CappedSum;
constexpr auto kNone = EvidenceMode::None, kPerSource = EvidenceMode::PerSource,
               kProofTree = EvidenceMode::ProofTree;
const char kEof[] = "Bincode(Io(Kind(UnexpectedEof)))";

#define EXPECT_STATE(s, eb, ed) \
  do {                          \
    const AtomState s_ = (s);   \
    EXPECT_EQ(s_.b, (eb));      \
    EXPECT_EQ(s_.d, (ed));      \
  } while (0)

using IdbAtoms = IdbTest;

TEST_P(IdbAtoms, MaximumAndModeNoneFoldEveryApplication) {
  // Maximum ignores the evidence mode and id.
  for (EvidenceMode ev : {kNone, kPerSource, kProofTree}) {
    uint64_t p = reg("max" + std::to_string(static_cast<int>(ev)), 1, kMax, ev).pred_id;
    EXPECT_STATE(up(p, {1}, 0.2, 0.0), 0.2, 0.0);
    EXPECT_STATE(up(p, {1}, 0.5, 0.1), 0.5, 0.1);
    EXPECT_STATE(up(p, {1}, 0.3, 0.0, "src"), 0.5, 0.1);
    EXPECT_EQ(raw_state(p, {1}), encode_atom_state({0.5, 0.1}));
  }
  // Mode None folds the same source twice.
  uint64_t nor = reg("nor", 1, kNoisyOr).pred_id;
  EXPECT_STATE(up(nor, {1}, 0.5, 0.0, "same"), 0.5, 0.0);
  EXPECT_STATE(up(nor, {1}, 0.5, 0.0, "same"), 0.75, 0.0);
  uint64_t cap = reg("cap", 1, kCapped).pred_id;
  EXPECT_STATE(up(cap, {1}, 0.7, 0.2), 0.7, 0.2);
  EXPECT_STATE(up(cap, {1}, 0.7, 0.2), 1.0, 0.4);
  // No lower bound: a negative amount goes below the cap and below zero.
  EXPECT_STATE(up(cap, {1}, -1.5, 0.0), -0.5, 0.4);
  EXPECT_EQ(raw_state(cap, {1}), encode_atom_state({-0.5, 0.4}));
  EXPECT_TRUE(dump(store(), "contrib").empty());
}

TEST_P(IdbAtoms, PerSourceReplacesAKnownSourceAndRecomputes) {
  for (EvidenceMode ev : {kPerSource, kProofTree}) {
    uint64_t p = reg("ps" + std::to_string(static_cast<int>(ev)), 2, kNoisyOr, ev).pred_id;
    EXPECT_STATE(up(p, {1, 2}, 0.5, 0.0, "x"), 0.5, 0.0);
    EXPECT_STATE(up(p, {1, 2}, 0.5, 0.0, "y"), 0.75, 0.0);
    EXPECT_STATE(up(p, {1, 2}, 0.5, 0.0, "x"), 0.75, 0.0);
    EXPECT_STATE(up(p, {1, 2}, 0.0, 0.0, "x"), 0.5, 0.0);
    EXPECT_STATE(get(p, {1, 2}), 0.5, 0.0);
    // One record per source, the latest amount.
    const std::string key = encode_state_key(AtomKey{p, {1, 2}});
    EXPECT_EQ(dump(store().contrib_tree(), key),
              (Entries{{encode_contrib_key(key, "x"), encode_contribution({0.0, 0.0, "x"})},
                       {encode_contrib_key(key, "y"), encode_contribution({0.5, 0.0, "y"})}}));
    EXPECT_STATE(ok(store().recompute_aggregate(kNoisyOr, key)), 0.5, 0.0);
  }
  // Capped sums depend on the order with negative amounts: arrival order
  // 0.9, 0.5, -0.5 folds to 0.5; key order (shorter ids first) to 0.9.
  uint64_t p = reg("cap", 1, kCapped, kPerSource).pred_id;
  EXPECT_STATE(up(p, {1}, 0.9, 0.0, "x1"), 0.9, 0.0);
  EXPECT_STATE(up(p, {1}, 0.5, 0.0, "x2"), 1.0, 0.0);
  EXPECT_STATE(up(p, {1}, -0.5, 0.0, "a"), 0.5, 0.0);
  EXPECT_STATE(ok(store().recompute_aggregate(kCapped, encode_state_key(AtomKey{p, {1}}))), 0.9,
               0.0);
  EXPECT_STATE(get(p, {1}), 0.5, 0.0);
  // Repeating a known source recomputes over all records.
  EXPECT_STATE(up(p, {1}, 0.5, 0.0, "x2"), 0.9, 0.0);
  EXPECT_STATE(get(p, {1}), 0.9, 0.0);
}

TEST_P(IdbAtoms, BrokenContributionRecordFailsOnlyTheRecomputation) {
  uint64_t p = reg("nor", 1, kNoisyOr, kPerSource).pred_id;
  const std::string key = encode_state_key(AtomKey{p, {1}});
  ok(store().contrib_tree().insert(encode_contrib_key(key, "bad"), std::string(10, '\0')));
  // A new source folds incrementally and never reads the broken record...
  EXPECT_STATE(up(p, {1}, 0.5, 0.0, "x"), 0.5, 0.0);
  // ...a known one recomputes over all records and meets it.
  EXPECT_EQ(err(store().upsert_atom(AtomKey{p, {1}}, {0.5, 0.0, "x"})), kEof);
  // Reporting the broken source again replaces its record.
  EXPECT_STATE(up(p, {1}, 0.5, 0.0, "bad"), 0.75, 0.0);
  EXPECT_STATE(up(p, {1}, 0.0, 0.0, "x"), 0.5, 0.0);
}

TEST_P(IdbAtoms, RefusedUpsertsWriteNothing) {
  for (AggregationMode agg : {kNoisyOr, kCapped}) {
    for (EvidenceMode ev : {kPerSource, kProofTree}) {
      uint64_t p =
          reg("m" + std::to_string(static_cast<int>(agg)) + std::to_string(static_cast<int>(ev)), 1,
              agg, ev)
              .pred_id;
      EXPECT_EQ(err(store().upsert_atom(AtomKey{p, {1}}, {0.5, 0.5, std::nullopt})),
                "MissingEvidence");
    }
  }
  EXPECT_TRUE(dump(store(), "state").empty());
  EXPECT_TRUE(dump(store(), "contrib").empty());
  // Profile and arity are checked before the state is read: broken records
  // sit under the keys the refused upserts would read.
  uint64_t p = reg("pair", 2).pred_id;
  ok(store().state_tree().insert(encode_state_key(AtomKey{p, {1, 2, 3}}), std::string(15, '\0')));
  ok(store().state_tree().insert(encode_state_key(AtomKey{99, {1}}), std::string(15, '\0')));
  EXPECT_EQ(err(store().upsert_atom(AtomKey{p, {1, 2, 3}}, {1, 0, std::nullopt})),
            "InvalidArity { expected: 2, found: 3 }");
  EXPECT_EQ(err(store().upsert_atom(AtomKey{99, {1}}, {1, 0, std::nullopt})),
            "UnknownPredicate(99)");
  EXPECT_EQ(err(store().get_state(AtomKey{p, {1, 2, 3}})), kEof);
  EXPECT_EQ(err(store().get_state(AtomKey{99, {1}})), kEof);
}

TEST_P(IdbAtoms, ShortAndLongStateRecords) {
  uint64_t p = reg("r", 1).pred_id;
  const std::string rec = encode_atom_state({0.25, 0.75});
  ok(store().state_tree().insert(encode_state_key(AtomKey{p, {1}}), rec + "\x01"));
  ok(store().state_tree().insert(encode_state_key(AtomKey{p, {2}}), rec.substr(0, 15)));
  EXPECT_STATE(get(p, {1}), 0.25, 0.75);
  EXPECT_EQ(err(store().get_state(AtomKey{p, {2}})), kEof);
  EXPECT_EQ(err(store().scan_predicate(p)), kEof);
  EXPECT_EQ(err(store().upsert_atom(AtomKey{p, {2}}, {1, 0, std::nullopt})), kEof);
  // An equal contribution leaves the long record as it was.
  EXPECT_STATE(up(p, {1}, 0.25, 0.0), 0.25, 0.75);
  EXPECT_EQ(raw_state(p, {1}), rec + "\x01");
}

TEST_P(IdbAtoms, NanAndInfinity) {
  uint64_t mx = reg("mx", 1).pred_id;
  // A NaN contribution is ignored by max folding...
  EXPECT_STATE(up(mx, {1}, 0.5, 0.0), 0.5, 0.0);
  EXPECT_STATE(up(mx, {1}, kNaN, kNaN), 0.5, 0.0);
  // ...but a stored NaN is kept, and written again on every upsert.
  ok(store().state_tree().insert(encode_state_key(AtomKey{mx, {2}}),
                                 encode_atom_state({kNaN, 0.0})));
  const AtomState kept = up(mx, {2}, 0.9, 0.1);
  EXPECT_TRUE(std::isnan(kept.b));
  EXPECT_EQ(kept.d, 0.1);

  uint64_t nor = reg("nor", 1, kNoisyOr).pred_id;
  EXPECT_TRUE(std::isnan(up(nor, {1}, kNaN, 0.0).b));
  EXPECT_TRUE(std::isnan(up(nor, {1}, 0.5, 0.0).b));  // spreads
  EXPECT_TRUE(std::isnan(get(nor, {1}).b));

  uint64_t cap = reg("cap", 1, kCapped).pred_id;
  EXPECT_STATE(up(cap, {1}, kNaN, 0.0), 1.0, 0.0);
  EXPECT_STATE(up(cap, {2}, kInf, -kInf), 1.0, -kInf);
  EXPECT_EQ(raw_state(cap, {2}), encode_atom_state({1.0, -kInf}));
  // -inf + inf is NaN, and a NaN sum caps to 1.
  EXPECT_STATE(up(cap, {2}, 0.0, kInf), 1.0, 1.0);

  // maxNum in recomputation skips NaN records.
  uint64_t ps = reg("ps", 1, kNoisyOr, kPerSource).pred_id;
  EXPECT_TRUE(std::isnan(up(ps, {1}, kNaN, 0.0, "a").b));
  up(ps, {1}, 0.3, 0.2, "b");
  const std::string key = encode_state_key(AtomKey{ps, {1}});
  EXPECT_STATE(ok(store().recompute_aggregate(kMax, key)), 0.3, 0.2);
  EXPECT_TRUE(std::isnan(ok(store().recompute_aggregate(kNoisyOr, key)).b));
  EXPECT_STATE(ok(store().recompute_aggregate(kCapped, key)), 1.0, 0.2);
  EXPECT_STATE(ok(store().recompute_aggregate(kMax, be({ps, 77}))), 0.0, 0.0);
}

TEST_P(IdbAtoms, ChangesBelowTheThresholdAreNotWritten) {
  uint64_t cap = reg("cap", 1, kCapped).pred_id;
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
  uint64_t two = reg("two", 2, kCapped).pred_id;
  EXPECT_TRUE(ok(store().scan_predicate(two)).empty());
  for (auto [a, b] :
       std::vector<std::pair<uint64_t, uint64_t>>{{1, 1}, {2, 1}, {1, 2}, {1, 0}, {UINT64_MAX, 0}})
    up(two, {a, b}, 0.5, 0.0);
  // A state folded back to zero is still listed.
  EXPECT_STATE(up(two, {2, 1}, -0.5, 0.0), 0.0, 0.0);
  using Rows = std::vector<std::vector<uint64_t>>;
  auto scan = [&](std::vector<uint64_t> leading) {
    Rows out;
    for (auto& [k, s] : ok(store().scan_predicate_prefix(two, leading))) {
      EXPECT_EQ(k.pred_id, two);
      EXPECT_TRUE(same_bits(s, get(two, k.args)));
      out.push_back(k.args);
    }
    return out;
  };
  // Ascending unsigned by arguments, first argument first.
  const Rows all{{1, 0}, {1, 1}, {1, 2}, {2, 1}, {UINT64_MAX, 0}};
  EXPECT_EQ(scan({}), all);
  std::vector<std::vector<uint64_t>> full;
  for (auto& [k, s] : ok(store().scan_predicate(two))) full.push_back(k.args);
  EXPECT_EQ(full, all);
  EXPECT_EQ(scan({1}), (Rows{{1, 0}, {1, 1}, {1, 2}}));
  EXPECT_EQ(scan({1, 2}), (Rows{{1, 2}}));
  EXPECT_EQ(scan({3}), Rows{});
  EXPECT_EQ(scan({1, 2, 3}), Rows{});
  // Rows written after a scan are seen by the next one.
  up(two, {1, 5}, 0.5, 0.0);
  EXPECT_EQ(scan({1}), (Rows{{1, 0}, {1, 1}, {1, 2}, {1, 5}}));
  EXPECT_EQ(ok(store().scan_predicate(two)).size(), 6u);
}

INSTANTIATE_TEST_SUITE_P(Caches, IdbAtoms, ::testing::Bool());

}  // namespace
}  // namespace ruvo::test
