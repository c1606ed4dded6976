// Symbol table and predicate registry, with and without caches.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <thread>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo::test {
namespace {

using IdbSymbols = IdbTest;

TEST_P(IdbSymbols, InterningAndResolving) {
  const SymbolStore& sym = store().symbols;
  EXPECT_EQ(sym.get_or_insert("alice"), 1u);
  EXPECT_EQ(sym.get_or_insert("bob"), 2u);
  EXPECT_EQ(sym.get_or_insert("alice"), 1u);
  EXPECT_EQ(dump(store(), "sym_meta"), (Entries{{"next_sym_id", be({3})}}));
  // Both directions as stored.
  EXPECT_EQ(dump(store(), "sym_by_text"), (Entries{{"alice", be({1})}, {"bob", be({2})}}));
  EXPECT_EQ(dump(store(), "sym_by_id"), (Entries{{be({1}), "alice"}, {be({2}), "bob"}}));
  // Texts are exact bytes: case, leading zeros and emptiness all count.
  for (std::string text : {"", "a", "A", "1", "01"}) {
    const uint64_t id = ok(sym.get_or_insert(text));
    EXPECT_EQ(ok(sym.get_text(id)), text);
    std::string buffer = "stale";
    EXPECT_EQ(ok(sym.get_text_into(id, buffer)), std::optional<std::string_view>(text));
  }
  std::string buffer;
  EXPECT_EQ(ok(sym.get_text_into(999, buffer)), std::nullopt);
  EXPECT_EQ(dump(store(), "sym_by_id").size(), 7u);
  EXPECT_EQ(ok(sym.get_text(0)), std::nullopt);
  EXPECT_EQ(ok(sym.get_text(1000)), std::nullopt);
  // Broken stored values are faults: an id of the wrong length, a text
  // that is not UTF-8.
  ok(ok(store().db().open_tree("sym_by_text")).insert("short", std::string(4, '\x01')));
  ok(ok(store().db().open_tree("sym_by_id")).insert(be({77}), "\xff\xfe"));
  EXPECT_THROW((void)sym.get_or_insert("short"), Fault);
  EXPECT_THROW((void)sym.get_text(77), Fault);
}

TEST_P(IdbSymbols, ConcurrentFirstInterningAgreesOnOneId) {
  for (int round = 0; round < 20; ++round) {
    const std::string text = "shared-" + std::to_string(round);
    constexpr int kThreads = 8;
    std::vector<uint64_t> got(kThreads, 0);
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        got[t] = ok(store().symbols.get_or_insert(text));
      });
    }
    for (auto& th : threads) th.join();
    for (uint64_t id : got) EXPECT_EQ(id, got[0]);
    EXPECT_EQ(ok(store().symbols.get_text(got[0])), text);
  }
  // Burnt ids are never reused: a new text gets an id above every one seen.
  const uint64_t fresh = ok(store().symbols.get_or_insert("fresh"));
  for (const auto& [text, id] : dump(store(), "sym_by_text")) {
    if (text != "fresh") {
      EXPECT_LT(bincode::get_u64_be(id.data()), fresh);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Caches, IdbSymbols, ::testing::Bool());

using IdbRegistry = IdbTest;

TEST_P(IdbRegistry, FirstRegistrationFixesTheProfile) {
  const PredicateRegistry& r = store().registry;
  const auto parent = reg("parent", 2, AggregationMode::NoisyOr, EvidenceMode::PerSource,
                          {IndexSpec{"by_child", {1}}});
  EXPECT_EQ(parent, (PredicateProfile{1,
                                      "parent",
                                      2,
                                      AggregationMode::NoisyOr,
                                      EvidenceMode::PerSource,
                                      {IndexSpec{"by_child", {1}}}}));
  EXPECT_EQ(reg("edge", 2).pred_id, 2u);
  // Later registrations return the stored profile and draw no id.
  EXPECT_EQ(reg("parent", 2, AggregationMode::CappedSum, EvidenceMode::ProofTree,
                {IndexSpec{"other", {0}}}),
            parent);
  EXPECT_EQ(dump(store(), "pred_meta"), (Entries{{"next_pred_id", be({3})}}));
  // Another arity is another predicate; arity 0 and names holding '#' work.
  EXPECT_EQ(reg("parent", 3).pred_id, 3u);
  EXPECT_EQ(reg("flag", 0).pred_id, 4u);
  EXPECT_EQ(reg("a#1", 2).pred_id, 5u);
  EXPECT_EQ(reg("a", 12).pred_id, 6u);
  EXPECT_EQ(dump(store(), "pred_by_name"), (Entries{{"a#1#2", be({5})},
                                                    {"a#12", be({6})},
                                                    {"edge#2", be({2})},
                                                    {"flag#0", be({4})},
                                                    {"parent#2", be({1})},
                                                    {"parent#3", be({3})}}));
  // The stored record is the profile's encoding.
  EXPECT_EQ(ok(ok(store().db().open_tree("pred_profiles")).get(be({1}))), encode_profile(parent));
  EXPECT_EQ(ok(r.get_profile(1)), parent);
  EXPECT_EQ(ok(r.get_profile(0)), std::nullopt);
  EXPECT_EQ(ok(r.get_profile(99)), std::nullopt);
}

TEST_P(IdbRegistry, BrokenRegistryEntries) {
  kv::Tree by_name = ok(store().db().open_tree("pred_by_name"));
  // A key without a profile, and an id of the wrong length: faults.
  ok(by_name.insert("orphan#1", be({40})));
  ok(by_name.insert("short#1", "abc"));
  EXPECT_THROW((void)reg("orphan", 1), Fault);
  EXPECT_THROW((void)reg("short", 1), Fault);
  // A corrupt profile record: Bincode from get_profile and from upserts.
  std::string rec =
      encode_profile({41, "bad", 1, AggregationMode::Maximum, EvidenceMode::None, {}});
  rec[24 + 3] = 7;  // aggregation index 7
  ok(ok(store().db().open_tree("pred_profiles")).insert(be({41}), rec));
  const char* text =
      "Bincode(Custom(\"invalid value: integer `7`, expected variant index 0 <= i < 3\"))";
  EXPECT_EQ(err(store().registry.get_profile(41)), text);
  EXPECT_EQ(err(store().upsert_atom(AtomKey{41, {1}}, {1, 0, std::nullopt})), text);
}

INSTANTIATE_TEST_SUITE_P(Caches, IdbRegistry, ::testing::Bool());

}  // namespace
}  // namespace ruvo::test
