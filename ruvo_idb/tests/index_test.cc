// Index trees written alongside state writes.
#include <gtest/gtest.h>

#include <thread>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo::test {
namespace {

using IdbIndexes = IdbTest;

TEST_P(IdbIndexes, WorkedExampleAndOneEntryPerAtom) {
  reg("a", 1);
  reg("b", 1);
  ASSERT_EQ(
      reg("edge", 2, AggregationMode::CappedSum, EvidenceMode::None, {IndexSpec{"by_obj", {1}}})
          .pred_id,
      3u);
  up(3, {5, 9}, 0.5);
  EXPECT_EQ(dump(store(), "idx_3_by_obj"), (Entries{{be({9, 3, 5, 9}), ""}}));
  // State changes rewrite the same key; a skipped write writes nothing.
  up(3, {5, 9}, 0.25);
  up(3, {5, 9}, 1e-14);
  up(3, {4, 9}, 0.5);
  up(3, {6, 1}, 0.5);
  EXPECT_EQ(dump(store(), "idx_3_by_obj"),
            (Entries{{be({1, 3, 6, 1}), ""}, {be({9, 3, 4, 9}), ""}, {be({9, 3, 5, 9}), ""}}));
  EXPECT_EQ(ok(store().get_index_tree(3, "by_obj")).name(), "idx_3_by_obj");
}

TEST_P(IdbIndexes, PositionsRepeatAndSpecsShareTreesByName) {
  const uint64_t p =
      reg("p", 2, AggregationMode::Maximum, EvidenceMode::None,
          {IndexSpec{"twice", {0, 0}}, IndexSpec{"ix", {0}}, IndexSpec{"ix", {1, 0}}})
          .pred_id;
  up(p, {7, 8}, 0.5);
  const std::string prefix = "idx_" + std::to_string(p) + "_";
  EXPECT_EQ(dump(store(), prefix + "twice"), (Entries{{be({7, 7, p, 7, 8}), ""}}));
  EXPECT_EQ(dump(store(), prefix + "ix"),
            (Entries{{be({7, p, 7, 8}), ""}, {be({8, 7, p, 7, 8}), ""}}));
}

TEST_P(IdbIndexes, PositionBeyondTheArgumentsIsAFault) {
  const PredicateProfile p = reg("p", 2, AggregationMode::Maximum, EvidenceMode::None,
                                 {IndexSpec{"ok", {0}}, IndexSpec{"bad", {2}}});
  const std::string prefix = "idx_" + std::to_string(p.pred_id) + "_";
  EXPECT_THROW((void)up(p.pred_id, {1, 2}, 0.5), Fault);
  // The state and the earlier index entry were written before the fault.
  EXPECT_EQ(get(p.pred_id, {1, 2}).b, 0.5);
  EXPECT_EQ(dump(store(), prefix + "ok").size(), 1u);
  EXPECT_TRUE(dump(store(), prefix + "bad").empty());
  // Direct calls fault the same way and the store keeps working.
  EXPECT_THROW((void)store().update_indices(p, std::vector<uint64_t>{1}, be({p.pred_id, 1})),
               Fault);
  EXPECT_TRUE(store().get_index_tree(p.pred_id, "ok"));
}

TEST_P(IdbIndexes, ConcurrentFirstUseOpensOneTree) {
  std::vector<std::thread> threads;
  std::vector<std::string> names(8);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] { names[t] = ok(store().get_index_tree(12, "shared")).name(); });
  for (auto& th : threads) th.join();
  for (const auto& n : names) EXPECT_EQ(n, "idx_12_shared");
}

INSTANTIATE_TEST_SUITE_P(Caches, IdbIndexes, ::testing::Bool());

}  // namespace
}  // namespace ruvo::test
