// Symbol table and predicate registry, with and without caches.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo {
namespace {

using testing_util::be;
using testing_util::dump;
using testing_util::Entries;
using testing_util::temp_store;

class IdbSymbols : public ::testing::TestWithParam<bool> {};

TEST_P(IdbSymbols, InterningAndResolving) {
  RuvoStore store = temp_store(GetParam());
  const SymbolStore& sym = store.symbols;
  EXPECT_EQ(sym.get_or_insert("alice").value(), 1u);
  EXPECT_EQ(sym.get_or_insert("bob").value(), 2u);
  EXPECT_EQ(sym.get_or_insert("alice").value(), 1u);
  EXPECT_EQ(dump(store, "sym_meta"), (Entries{{"next_sym_id", be({3})}}));
  // Texts are exact bytes: case, leading zeros and emptiness all count.
  uint64_t empty = sym.get_or_insert("").value();
  uint64_t a = sym.get_or_insert("a").value(), A = sym.get_or_insert("A").value();
  uint64_t one = sym.get_or_insert("1").value(), zero_one = sym.get_or_insert("01").value();
  std::vector<uint64_t> ids{1, 2, empty, a, A, one, zero_one};
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
  EXPECT_EQ(sym.get_text(empty).value(), std::optional<std::string>(""));
  EXPECT_EQ(sym.get_text(A).value(), std::optional<std::string>("A"));
  EXPECT_EQ(sym.get_text(zero_one).value(), std::optional<std::string>("01"));
  EXPECT_EQ(sym.get_text(0).value(), std::nullopt);
  EXPECT_EQ(sym.get_text(1000).value(), std::nullopt);
  // Both directions as stored.
  auto by_text = store.db().open_tree("sym_by_text").value();
  auto by_id = store.db().open_tree("sym_by_id").value();
  EXPECT_EQ(by_text.get("bob").value(), std::optional<std::string>(be({2})));
  EXPECT_EQ(by_id.get(be({2})).value(), std::optional<std::string>("bob"));
}

TEST_P(IdbSymbols, BrokenStoredValuesAreFaults) {
  RuvoStore store = temp_store(GetParam());
  auto by_text = store.db().open_tree("sym_by_text").value();
  auto by_id = store.db().open_tree("sym_by_id").value();
  ASSERT_TRUE(by_text.insert("short", std::string(4, '\x01')));
  ASSERT_TRUE(by_id.insert(be({77}), "\xff\xfe"));
  EXPECT_THROW((void)store.symbols.get_or_insert("short"), Fault);
  EXPECT_THROW((void)store.symbols.get_text(77), Fault);
}

TEST_P(IdbSymbols, ConcurrentFirstInterningAgreesOnOneId) {
  RuvoStore store = temp_store(GetParam());
  for (int round = 0; round < 20; ++round) {
    const std::string text = "shared-" + std::to_string(round);
    constexpr int kThreads = 8;
    std::vector<uint64_t> got(kThreads, 0);
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        got[t] = store.symbols.get_or_insert(text).value();
      });
    }
    for (auto& th : threads) th.join();
    for (uint64_t id : got) EXPECT_EQ(id, got[0]);
    EXPECT_EQ(store.symbols.get_text(got[0]).value(), std::optional<std::string>(text));
    EXPECT_EQ(store.symbols.get_or_insert(text).value(), got[0]);
  }
  // Burnt ids are never reused: a new text gets an id above every one seen.
  uint64_t fresh = store.symbols.get_or_insert("fresh").value();
  for (const auto& [text, id] : dump(store, "sym_by_text")) {
    if (text != "fresh") {
      EXPECT_LT(bincode::get_u64_be(id.data()), fresh);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Caches, IdbSymbols, ::testing::Bool());

class IdbRegistry : public ::testing::TestWithParam<bool> {};

TEST_P(IdbRegistry, FirstRegistrationFixesTheProfile) {
  RuvoStore store = temp_store(GetParam());
  const PredicateRegistry& reg = store.registry;
  auto parent = reg.register_predicate("parent", 2, AggregationMode::NoisyOr, EvidenceMode::PerSource,
                                       {IndexSpec{"by_child", {1}}});
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->pred_id, 1u);
  EXPECT_EQ(parent->name, "parent");
  EXPECT_EQ(parent->indexes, (std::vector<IndexSpec>{IndexSpec{"by_child", {1}}}));
  auto edge = reg.register_predicate("edge", 2, AggregationMode::Maximum, EvidenceMode::None, {});
  ASSERT_TRUE(edge);
  EXPECT_EQ(edge->pred_id, 2u);
  // Later registrations return the stored profile and draw no id.
  auto again = reg.register_predicate("parent", 2, AggregationMode::CappedSum, EvidenceMode::ProofTree,
                                      {IndexSpec{"other", {0}}});
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *parent);
  EXPECT_EQ(dump(store, "pred_meta"), (Entries{{"next_pred_id", be({3})}}));
  // Another arity is another predicate; arity 0 and names holding '#' work.
  EXPECT_EQ(reg.register_predicate("parent", 3, AggregationMode::Maximum, EvidenceMode::None, {})->pred_id, 3u);
  EXPECT_EQ(reg.register_predicate("flag", 0, AggregationMode::Maximum, EvidenceMode::None, {})->pred_id, 4u);
  EXPECT_EQ(reg.register_predicate("a#1", 2, AggregationMode::Maximum, EvidenceMode::None, {})->pred_id, 5u);
  EXPECT_EQ(reg.register_predicate("a", 12, AggregationMode::Maximum, EvidenceMode::None, {})->pred_id, 6u);
  EXPECT_EQ(dump(store, "pred_by_name"),
            (Entries{{"a#1#2", be({5})}, {"a#12", be({6})}, {"edge#2", be({2})}, {"flag#0", be({4})},
                     {"parent#2", be({1})}, {"parent#3", be({3})}}));
  // The stored record is the profile's encoding.
  EXPECT_EQ(store.db().open_tree("pred_profiles")->get(be({1})).value(),
            std::optional<std::string>(encode_profile(*parent)));
  EXPECT_EQ(reg.get_profile(1).value(), std::optional<PredicateProfile>(*parent));
  EXPECT_EQ(reg.get_profile(0).value(), std::nullopt);
  EXPECT_EQ(reg.get_profile(99).value(), std::nullopt);
}

TEST_P(IdbRegistry, BrokenRegistryEntries) {
  RuvoStore store = temp_store(GetParam());
  auto by_name = store.db().open_tree("pred_by_name").value();
  auto profiles = store.db().open_tree("pred_profiles").value();
  // A key without a profile, and an id of the wrong length: faults.
  ASSERT_TRUE(by_name.insert("orphan#1", be({40})));
  ASSERT_TRUE(by_name.insert("short#1", "abc"));
  EXPECT_THROW((void)store.registry.register_predicate("orphan", 1, AggregationMode::Maximum,
                                                       EvidenceMode::None, {}),
               Fault);
  EXPECT_THROW((void)store.registry.register_predicate("short", 1, AggregationMode::Maximum,
                                                       EvidenceMode::None, {}),
               Fault);
  // A corrupt profile record: Bincode from get_profile and from upserts.
  PredicateProfile p{41, "bad", 1, AggregationMode::Maximum, EvidenceMode::None, {}};
  std::string rec = encode_profile(p);
  rec[24 + 3] = 7;  // aggregation index 7
  ASSERT_TRUE(profiles.insert(be({41}), rec));
  EXPECT_EQ(store.registry.get_profile(41).error().debug(),
            "Bincode(Custom(\"invalid value: integer `7`, expected variant index 0 <= i < 3\"))");
  EXPECT_EQ(store.upsert_atom(AtomKey{41, {1}}, {1, 0, std::nullopt}).error().debug(),
            "Bincode(Custom(\"invalid value: integer `7`, expected variant index 0 <= i < 3\"))");
}

INSTANTIATE_TEST_SUITE_P(Caches, IdbRegistry, ::testing::Bool());

}  // namespace
}  // namespace ruvo
