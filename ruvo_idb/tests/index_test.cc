// Index trees written alongside state writes.
#include <gtest/gtest.h>

#include <thread>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo {
namespace {

using testing_util::be;
using testing_util::dump;
using testing_util::Entries;
using testing_util::temp_store;

class IdbIndexes : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { store_.emplace(temp_store(GetParam())); }
  RuvoStore& store() { return *store_; }
  PredicateProfile reg(const std::string& name, uint64_t arity, std::vector<IndexSpec> indexes,
                       AggregationMode agg = AggregationMode::CappedSum) {
    return store().registry.register_predicate(name, arity, agg, EvidenceMode::None, std::move(indexes)).value();
  }
  std::optional<std::string> up(uint64_t pred, std::vector<uint64_t> args, double b) {
    auto r = store().upsert_atom(AtomKey{pred, std::move(args)}, {b, 0.0, std::nullopt});
    if (!r) return r.error().debug();
    return std::nullopt;
  }
  std::optional<RuvoStore> store_;
};

TEST_P(IdbIndexes, WorkedExampleAndOneEntryPerAtom) {
  reg("a", 1, {});
  reg("b", 1, {});
  PredicateProfile p = reg("edge", 2, {IndexSpec{"by_obj", {1}}});
  ASSERT_EQ(p.pred_id, 3u);
  EXPECT_EQ(up(3, {5, 9}, 0.5), std::nullopt);
  EXPECT_EQ(dump(store(), "idx_3_by_obj"), (Entries{{be({9}) + be({3, 5, 9}), ""}}));
  // State changes rewrite the same key; a skipped write writes nothing.
  EXPECT_EQ(up(3, {5, 9}, 0.25), std::nullopt);
  EXPECT_EQ(up(3, {5, 9}, 1e-14), std::nullopt);
  EXPECT_EQ(up(3, {4, 9}, 0.5), std::nullopt);
  EXPECT_EQ(up(3, {6, 1}, 0.5), std::nullopt);
  EXPECT_EQ(dump(store(), "idx_3_by_obj"),
            (Entries{{be({1}) + be({3, 6, 1}), ""}, {be({9}) + be({3, 4, 9}), ""}, {be({9}) + be({3, 5, 9}), ""}}));
  // The cache hands out the same tree.
  auto tree = store().get_index_tree(3, "by_obj");
  ASSERT_TRUE(tree);
  EXPECT_EQ(tree->name(), "idx_3_by_obj");
  EXPECT_EQ(dump(*tree).size(), 3u);
}

TEST_P(IdbIndexes, PositionsRepeatAndSpecsShareTreesByName) {
  PredicateProfile p = reg("p", 2, {IndexSpec{"twice", {0, 0}}, IndexSpec{"ix", {0}}, IndexSpec{"ix", {1, 0}}});
  EXPECT_EQ(up(p.pred_id, {7, 8}, 0.5), std::nullopt);
  const std::string id = std::to_string(p.pred_id);
  const std::string state_key = be({p.pred_id, 7, 8});
  EXPECT_EQ(dump(store(), "idx_" + id + "_twice"), (Entries{{be({7, 7}) + state_key, ""}}));
  EXPECT_EQ(dump(store(), "idx_" + id + "_ix"),
            (Entries{{be({7}) + state_key, ""}, {be({8, 7}) + state_key, ""}}));
}

TEST_P(IdbIndexes, PositionBeyondTheArgumentsIsAFault) {
  PredicateProfile p = reg("p", 2, {IndexSpec{"ok", {0}}, IndexSpec{"bad", {2}}});
  EXPECT_THROW((void)up(p.pred_id, {1, 2}, 0.5), Fault);
  // The state and the earlier index entry were written before the fault.
  EXPECT_EQ(store().get_state(AtomKey{p.pred_id, {1, 2}}).value().b, 0.5);
  EXPECT_EQ(dump(store(), "idx_" + std::to_string(p.pred_id) + "_ok").size(), 1u);
  EXPECT_TRUE(dump(store(), "idx_" + std::to_string(p.pred_id) + "_bad").empty());
  // Direct calls fault the same way and the store keeps working.
  EXPECT_THROW((void)store().update_indices(p, std::vector<uint64_t>{1}, be({p.pred_id, 1})), Fault);
  EXPECT_TRUE(store().get_index_tree(p.pred_id, "ok"));
}

TEST_P(IdbIndexes, ConcurrentFirstUseOpensOneTree) {
  std::vector<std::thread> threads;
  std::vector<std::string> names(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] { names[t] = store().get_index_tree(12, "shared").value().name(); });
  }
  for (auto& th : threads) th.join();
  for (const auto& n : names) EXPECT_EQ(n, "idx_12_shared");
}

INSTANTIATE_TEST_SUITE_P(Caches, IdbIndexes, ::testing::Bool());

}  // namespace
}  // namespace ruvo
