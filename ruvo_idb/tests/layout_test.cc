// Opening, stored layout, counters, symbols and predicates, key and record
// codecs, watermarks and error texts.
#include <gtest/gtest.h>

#include <limits>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo::test {
namespace {

TEST(IdbLayout, FreshStoreSeedsCountersAndNothingElse) {
  RuvoStore store = temp_store();
  ok(store.flush_all());  // changes nothing
  for (const char* tree : {"sym_by_text", "sym_by_id", "pred_by_name", "pred_profiles", "state",
                           "contrib", "branch_watermark"})
    EXPECT_TRUE(dump(store, tree).empty()) << tree;
  EXPECT_EQ(dump(store, "sym_meta"), (Entries{{"next_sym_id", be({1})}}));
  EXPECT_EQ(dump(store, "pred_meta"), (Entries{{"next_pred_id", be({1})}}));
}

// Broken counters open and fault on first use, leaving them as they were.
// The last id of a counter is never handed out: the counter cannot grow
// past it without wrapping onto ids in use. Drawing there is a fault that
// writes nothing.
TEST(IdbLayout, BrokenAndExhaustedCountersFault) {
  constexpr uint64_t kLast = std::numeric_limits<uint64_t>::max() - 1;
  const std::string three("\0\0\x05", 3), nine(9, '\0');
  for (bool caches : {true, false}) {
    for (bool exhausted : {false, true}) {
      kv::Db db = ok(kv::Db::open_temporary());
      kv::Tree sym_meta = ok(db.open_tree("sym_meta")), pred_meta = ok(db.open_tree("pred_meta"));
      ok(sym_meta.insert("next_sym_id", exhausted ? be({kLast}) : three));
      ok(pred_meta.insert("next_pred_id", exhausted ? be({kLast}) : nine));
      RuvoStore store = ok(RuvoStore::from_db(db, store_options(caches)));
      auto reg = [&](const char* name) {
        return ok(store.registry.register_predicate(name, 1, kMax, kNone, {})).pred_id;
      };
      for (int round = 0; exhausted && round < 2; ++round) {  // known names keep their ids
        EXPECT_EQ(store.symbols.get_or_insert("last"), kLast);
        EXPECT_EQ(reg("last"), kLast);
      }
      EXPECT_THROW((void)store.symbols.get_or_insert("x"), Fault);
      EXPECT_THROW((void)reg("x"), Fault);
      EXPECT_EQ(dump(sym_meta), (Entries{{"next_sym_id", exhausted ? be({kLast + 1}) : three}}));
      EXPECT_EQ(dump(pred_meta), (Entries{{"next_pred_id", exhausted ? be({kLast + 1}) : nine}}));
      EXPECT_EQ(dump(store, "sym_by_text").size(), exhausted ? 1u : 0u);
      EXPECT_EQ(dump(store, "pred_by_name").size(), exhausted ? 1u : 0u);
    }
  }
}

TEST(IdbLayout, BranchWatermarks) {
  RuvoStore store = temp_store();
  for (auto [name, id] : {std::pair{"main", 9}, {"", 1}, {"main", 3}})  // smaller ids replace too
    ok(store.set_branch_watermark(name, id));
  EXPECT_EQ(ok(store.get_branch_watermark("main")), 3u);
  EXPECT_EQ(dump(store, "branch_watermark"), (Entries{{"", be({1})}, {"main", be({3})}}));
  // Names are exact; a value of another length reads as absent.
  kv::Tree tree = ok(store.db().open_tree("branch_watermark"));
  ok(tree.insert("odd", std::string(7, '\x01')));
  ok(tree.insert("long", std::string(9, '\x01')));
  for (const char* name : {"Main", "odd", "long", "other"})
    EXPECT_EQ(ok(store.get_branch_watermark(name)), std::nullopt) << name;
}

TEST(IdbLayout, KeyAndRecordCodecs) {
  EXPECT_EQ(encode_state_key(AtomKey{7, {}}), be({7}));
  EXPECT_EQ(encode_state_key(AtomKey{1, {UINT64_MAX, 2}}), be({1, UINT64_MAX, 2}));
  EXPECT_EQ(decode_state_key(be({3, 5, 9})), (AtomKey{3, {5, 9}}));
  for (size_t bad : {12, 7, 0})
    EXPECT_THROW((void)decode_state_key(std::string(bad, '\0')), Fault) << bad;
  EXPECT_EQ(encode_contrib_key(be({7}), ""), be({7}) + std::string(4, '\0'));
  EXPECT_EQ(encode_contrib_key(be({3, 5}), "edb_7"),
            be({3, 5}) + std::string("\0\0\0\x05", 4) + "edb_7");
  // Within an atom, shorter ids sort first.
  EXPECT_LT(encode_contrib_key(be({3}), "zz"), encode_contrib_key(be({3}), "aaa"));

  const std::string half = std::string("\0\0\0\0\0\0\xE0\x3F", 8) + std::string(8, '\0');
  EXPECT_EQ(encode_atom_state({0.5, 0.0}), half);
  // The worked example: (0.5, 0.0) from the fact with event id 7.
  const std::string rec = encode_contribution({0.5, 0.0, "edb_7"});
  EXPECT_EQ(rec, half + std::string("\x01\x05", 2) + std::string(7, '\0') + "edb_7");
  EXPECT_EQ(encode_contribution({0.5, 0.0, std::nullopt}), half + std::string(1, '\0'));
  EXPECT_EQ(ok(decode_contribution(rec)).evidence_id, "edb_7");
  for (size_t cut : {29, 16})
    EXPECT_EQ(err(decode_contribution(rec.substr(0, cut))), "Io(Kind(UnexpectedEof))");
  std::string bad_tag = rec;
  bad_tag[16] = 2;
  EXPECT_EQ(err(decode_contribution(bad_tag)), "InvalidTagEncoding(2)");
  // Ids are bytes, not necessarily UTF-8.
  for (std::optional<std::string> id : {std::optional<std::string>(), {std::string("\xff\0", 2)}})
    EXPECT_EQ(ok(decode_contribution(encode_contribution({1, 2, id}))).evidence_id, id);
  // A malformed state key is a fault for the scan meeting it, and only it.
  for (bool caches : {true, false}) {
    RuvoStore store = temp_store(caches);
    ok(store.state_tree().insert(be({4}) + "abcd", std::string(16, '\0')));
    ok(store.state_tree().insert(be({4, 1}), std::string(16, '\0')));
    EXPECT_THROW((void)store.scan_predicate(4), Fault);
    EXPECT_EQ(ok(store.scan_predicate_prefix(4, std::vector<uint64_t>{1})).size(), 1u);
  }
  // The error texts not met elsewhere.
  EXPECT_EQ(StoreError(kv::Error{"IO error: disk \"full\""}).debug(),
            "Sled(\"IO error: disk \\\"full\\\"\")");
  EXPECT_EQ(StoreError(StoreError::UnknownIndex{3, "a\"b\n"}).debug(),
            "UnknownIndex { pred_id: 3, index_name: \"a\\\"b\\n\" }");
}

using IdbNames = IdbTest;

TEST_P(IdbNames, SymbolsAndPredicates) {
  const SymbolStore& sym = store().symbols;
  for (const char* text : {"alice", "bob", "alice"}) ok(sym.get_or_insert(text));
  EXPECT_EQ(dump(store(), "sym_meta"), (Entries{{"next_sym_id", be({3})}}));
  EXPECT_EQ(dump(store(), "sym_by_text"), (Entries{{"alice", be({1})}, {"bob", be({2})}}));
  EXPECT_EQ(dump(store(), "sym_by_id"), (Entries{{be({1}), "alice"}, {be({2}), "bob"}}));
  // Texts are exact bytes: case, leading zeros and emptiness all count.
  for (std::string text : {"", "a", "A", "1", "01"}) {
    const uint64_t id = ok(sym.get_or_insert(text));
    EXPECT_EQ(ok(sym.get_text(id)), text);
    std::string buffer = "stale";
    EXPECT_EQ(ok(sym.get_text_into(id, buffer)), std::optional<std::string_view>(text));
  }
  EXPECT_EQ(dump(store(), "sym_by_id").size(), 7u);
  std::string buffer;
  EXPECT_EQ(ok(sym.get_text_into(999, buffer)), std::nullopt);
  for (uint64_t id : {0, 1000}) EXPECT_EQ(ok(sym.get_text(id)), std::nullopt);

  // The first registration fixes the profile; later ones return it and
  // draw no id. Another arity is another predicate; arity 0 and names
  // holding '#' work.
  const PredicateProfile parent = reg("parent", 2, kNoisyOr, kPerSource, {{"by_child", {1}}});
  EXPECT_EQ(parent, (PredicateProfile{1, "parent", 2, kNoisyOr, kPerSource, {{"by_child", {1}}}}));
  EXPECT_EQ(reg("edge", 2).pred_id, 2u);
  EXPECT_EQ(reg("parent", 2, kCapped, kProofTree, {{"other", {0}}}), parent);
  EXPECT_EQ(dump(store(), "pred_meta"), (Entries{{"next_pred_id", be({3})}}));
  for (auto [name, arity] : {std::pair{"parent", 3}, {"flag", 0}, {"a#1", 2}, {"a", 12}})
    reg(name, arity);
  EXPECT_EQ(dump(store(), "pred_by_name"),
            (Entries{{"a#1#2", be({5})}, {"a#12", be({6})}, {"edge#2", be({2})},
                     {"flag#0", be({4})}, {"parent#2", be({1})}, {"parent#3", be({3})}}));
  EXPECT_EQ(ok(ok(store().db().open_tree("pred_profiles")).get(be({1}))), encode_profile(parent));
  EXPECT_EQ(ok(store().registry.get_profile(1)), parent);
  for (uint64_t id : {0, 99}) EXPECT_EQ(ok(store().registry.get_profile(id)), std::nullopt);
}

// Broken stored values: ids of the wrong length, a text that is not UTF-8
// and a name without a profile are faults; a corrupt profile record is a
// Bincode error from get_profile and from upserts.
TEST_P(IdbNames, BrokenEntries) {
  const char* text =
      "Bincode(Custom(\"invalid value: integer `7`, expected variant index 0 <= i < 3\"))";
  std::string rec = encode_profile({41, "bad", 1, kMax, kNone, {}});
  rec[24 + 3] = 7;  // aggregation index 7
  for (auto [tree, key, value] : std::vector<std::tuple<const char*, std::string, std::string>>{
           {"sym_by_text", "short", std::string(4, '\x01')}, {"sym_by_id", be({77}), "\xff\xfe"},
           {"pred_by_name", "orphan#1", be({40})}, {"pred_by_name", "short#1", "abc"},
           {"pred_profiles", be({41}), rec}})
    ok(ok(store().db().open_tree(tree)).insert(key, value));
  EXPECT_THROW((void)store().symbols.get_or_insert("short"), Fault);
  EXPECT_THROW((void)store().symbols.get_text(77), Fault);
  EXPECT_THROW((void)reg("orphan", 1), Fault);
  EXPECT_THROW((void)reg("short", 1), Fault);
  EXPECT_EQ(err(store().registry.get_profile(41)), text);
  EXPECT_EQ(err(store().upsert_atom(AtomKey{41, {1}}, {1, 0, std::nullopt})), text);
}

INSTANTIATE_TEST_SUITE_P(Caches, IdbNames, ::testing::Bool());

}  // namespace
}  // namespace ruvo::test
