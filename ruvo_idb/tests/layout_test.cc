// Opening, stored layout, key codecs, watermarks and error texts.
#include <gtest/gtest.h>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo {
namespace {

using testing_util::be;
using testing_util::dump;
using testing_util::Entries;
using testing_util::file_store;
using testing_util::ScratchDir;
using testing_util::temp_store;

constexpr const char* kFixedTrees[] = {"sym_by_text",   "sym_by_id", "sym_meta",
                                       "pred_by_name",  "pred_profiles", "pred_meta",
                                       "state",         "contrib",   "branch_watermark"};

TEST(IdbLayout, FreshStoreSeedsCountersAndNothingElse) {
  RuvoStore store = temp_store();
  for (const char* tree : kFixedTrees) {
    Entries entries = dump(store, tree);
    if (std::string_view(tree) == "sym_meta") {
      EXPECT_EQ(entries, (Entries{{"next_sym_id", be({1})}}));
    } else if (std::string_view(tree) == "pred_meta") {
      EXPECT_EQ(entries, (Entries{{"next_pred_id", be({1})}}));
    } else {
      EXPECT_TRUE(entries.empty()) << tree;
    }
  }
  // Flushing a fresh store changes nothing.
  ASSERT_TRUE(store.flush_all());
  EXPECT_EQ(dump(store, "sym_meta"), (Entries{{"next_sym_id", be({1})}}));
  EXPECT_TRUE(dump(store, "state").empty());
}

TEST(IdbLayout, ReopenKeepsCountersAndData) {
  ScratchDir dir;
  AtomKey atom{0, {0, 0}};
  {
    RuvoStore store = file_store(dir.path());
    ASSERT_EQ(store.symbols.get_or_insert("alice"), 1u);
    ASSERT_EQ(store.symbols.get_or_insert("bob"), 2u);
    auto p = store.registry.register_predicate("edge", 2, AggregationMode::NoisyOr,
                                               EvidenceMode::PerSource, {});
    ASSERT_TRUE(p);
    atom = AtomKey{p->pred_id, {1, 2}};
    ASSERT_TRUE(store.upsert_atom(atom, {0.5, 0.25, "edb_1"}));
    ASSERT_TRUE(store.set_branch_watermark("main", 42));
    ASSERT_TRUE(store.flush_all());
  }
  RuvoStore store = file_store(dir.path());
  EXPECT_EQ(dump(store, "sym_meta"), (Entries{{"next_sym_id", be({3})}}));
  EXPECT_EQ(dump(store, "pred_meta"), (Entries{{"next_pred_id", be({2})}}));
  EXPECT_EQ(store.symbols.get_or_insert("alice"), 1u);
  EXPECT_EQ(store.symbols.get_or_insert("carol"), 3u);
  EXPECT_EQ(store.symbols.get_text(2).value(), std::optional<std::string>("bob"));
  auto again = store.registry.register_predicate("edge", 2, AggregationMode::Maximum,
                                                 EvidenceMode::None, {});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->pred_id, atom.pred_id);
  EXPECT_EQ(again->aggregation, AggregationMode::NoisyOr);
  auto s = store.get_state(atom);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->b, 0.5);
  EXPECT_EQ(s->d, 0.25);
  // The known source is replaced, not added, after reopening too.
  auto replaced = store.upsert_atom(atom, {0.5, 0.25, "edb_1"});
  ASSERT_TRUE(replaced);
  EXPECT_EQ(replaced->b, 0.5);
  EXPECT_EQ(store.get_branch_watermark("main").value(), std::optional<uint64_t>(42));
}

TEST(IdbLayout, BrokenCountersOpenAndFaultOnFirstUse) {
  for (bool caches : {true, false}) {
    auto db = kv::Db::open_temporary();
    ASSERT_TRUE(db);
    auto sym_meta = db->open_tree("sym_meta");
    auto pred_meta = db->open_tree("pred_meta");
    ASSERT_TRUE(sym_meta && pred_meta);
    ASSERT_TRUE(sym_meta->insert("next_sym_id", std::string("\0\0\x05", 3)));
    ASSERT_TRUE(pred_meta->insert("next_pred_id", std::string(9, '\0')));
    StoreOptions options;
    options.caches = caches;
    auto store = RuvoStore::from_db(*db, options);
    ASSERT_TRUE(store) << store.error().debug();
    // Opening left both values as they were.
    EXPECT_EQ(sym_meta->get("next_sym_id").value(), std::optional<std::string>(std::string("\0\0\x05", 3)));
    EXPECT_THROW((void)store->symbols.get_or_insert("x"), Fault);
    EXPECT_THROW((void)store->registry.register_predicate("p", 1, AggregationMode::Maximum,
                                                          EvidenceMode::None, {}),
                 Fault);
    // Nothing was claimed or registered, and the counters are untouched.
    EXPECT_TRUE(dump(*sym_meta).size() == 1);
    EXPECT_EQ(sym_meta->get("next_sym_id").value(), std::optional<std::string>(std::string("\0\0\x05", 3)));
    EXPECT_TRUE(dump(store->db().open_tree("sym_by_text").value()).empty());
    EXPECT_TRUE(dump(store->db().open_tree("pred_by_name").value()).empty());
  }
}

TEST(IdbLayout, BranchWatermarks) {
  RuvoStore store = temp_store();
  EXPECT_EQ(store.get_branch_watermark("main").value(), std::nullopt);
  ASSERT_TRUE(store.set_branch_watermark("main", 9));
  ASSERT_TRUE(store.set_branch_watermark("", 1));
  EXPECT_EQ(store.get_branch_watermark("main").value(), std::optional<uint64_t>(9));
  EXPECT_EQ(store.get_branch_watermark("Main").value(), std::nullopt);
  EXPECT_EQ(store.get_branch_watermark("").value(), std::optional<uint64_t>(1));
  // A smaller id replaces a larger one.
  ASSERT_TRUE(store.set_branch_watermark("main", 3));
  EXPECT_EQ(store.get_branch_watermark("main").value(), std::optional<uint64_t>(3));
  EXPECT_EQ(dump(store, "branch_watermark"), (Entries{{"", be({1})}, {"main", be({3})}}));
  // A value of another length reads as absent.
  auto tree = store.db().open_tree("branch_watermark");
  ASSERT_TRUE(tree->insert("odd", std::string(7, '\x01')));
  ASSERT_TRUE(tree->insert("long", std::string(9, '\x01')));
  EXPECT_EQ(store.get_branch_watermark("odd").value(), std::nullopt);
  EXPECT_EQ(store.get_branch_watermark("long").value(), std::nullopt);
}

TEST(IdbLayout, KeyCodecs) {
  EXPECT_EQ(encode_state_key(AtomKey{7, {}}), be({7}));
  EXPECT_EQ(encode_state_key(AtomKey{3, {5, 9}}), be({3, 5, 9}));
  EXPECT_EQ(encode_state_key(AtomKey{1, {UINT64_MAX}}), be({1, UINT64_MAX}));
  EXPECT_EQ(decode_state_key(be({7})), (AtomKey{7, {}}));
  EXPECT_EQ(decode_state_key(be({3, 5, 9})), (AtomKey{3, {5, 9}}));
  EXPECT_THROW((void)decode_state_key(std::string(12, '\0')), Fault);
  EXPECT_THROW((void)decode_state_key(std::string(7, '\0')), Fault);
  EXPECT_THROW((void)decode_state_key(""), Fault);

  EXPECT_EQ(encode_contrib_key(be({7}), ""), be({7}) + std::string(4, '\0'));
  EXPECT_EQ(encode_contrib_key(be({3, 5}), "edb_7"), be({3, 5}) + std::string("\0\0\0\x05", 4) + "edb_7");
  // Within an atom, shorter ids sort first.
  EXPECT_LT(encode_contrib_key(be({3}), "zz"), encode_contrib_key(be({3}), "aaa"));
}

TEST(IdbLayout, MalformedStateKeyMetByScanIsAFault) {
  for (bool caches : {true, false}) {
    RuvoStore store = temp_store(caches);
    ASSERT_TRUE(store.state_tree().insert(be({4}) + "abcd", std::string(16, '\0')));
    EXPECT_THROW((void)store.scan_predicate(4), Fault);
    // A prefix scan that does not reach the broken key is unaffected.
    ASSERT_TRUE(store.state_tree().insert(be({4, 1}), std::string(16, '\0')));
    auto rows = store.scan_predicate_prefix(4, std::vector<uint64_t>{1});
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->size(), 1u);
  }
}

TEST(IdbLayout, ErrorTexts) {
  EXPECT_EQ(StoreError(kv::Error{"IO error: disk \"full\""}).debug(),
            "Sled(\"IO error: disk \\\"full\\\"\")");
  EXPECT_EQ(StoreError(bincode::Error::eof()).debug(), "Bincode(Io(Kind(UnexpectedEof)))");
  EXPECT_EQ(StoreError(StoreError::UnknownPredicate{7}).debug(), "UnknownPredicate(7)");
  EXPECT_EQ(StoreError(StoreError::UnknownIndex{3, "x"}).debug(),
            "UnknownIndex { pred_id: 3, index_name: \"x\" }");
  EXPECT_EQ(StoreError(StoreError::UnknownIndex{3, "a\"b\n"}).debug(),
            "UnknownIndex { pred_id: 3, index_name: \"a\\\"b\\n\" }");
  EXPECT_EQ(StoreError(StoreError::InvalidArity{2, 3}).debug(), "InvalidArity { expected: 2, found: 3 }");
  EXPECT_EQ(StoreError(StoreError::MissingEvidence{}).debug(), "MissingEvidence");
}

TEST(IdbLayout, RecordCodecs) {
  EXPECT_EQ(encode_atom_state({0.5, 0.0}), std::string("\0\0\0\0\0\0\xE0\x3F", 8) + std::string(8, '\0'));
  // The worked example: (0.5, 0.0) from the fact with event id 7.
  std::string rec = encode_contribution({0.5, 0.0, "edb_7"});
  EXPECT_EQ(rec, std::string("\0\0\0\0\0\0\xE0\x3F", 8) + std::string(8, '\0') + std::string("\x01\x05", 2) +
                     std::string(7, '\0') + "edb_7");
  EXPECT_EQ(encode_contribution({0.5, 0.0, std::nullopt}).size(), 17u);
  auto back = decode_contribution(rec);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->evidence_id, std::optional<std::string>("edb_7"));
  EXPECT_EQ(decode_contribution(rec.substr(0, 29)).error().debug(), "Io(Kind(UnexpectedEof))");
  EXPECT_EQ(decode_contribution(rec.substr(0, 16)).error().debug(), "Io(Kind(UnexpectedEof))");
  std::string bad_tag = rec;
  bad_tag[16] = 2;
  EXPECT_EQ(decode_contribution(bad_tag).error().debug(), "InvalidTagEncoding(2)");
  EXPECT_FALSE(decode_contribution(encode_contribution({1, 2, std::nullopt}))->evidence_id.has_value());
  // Non-UTF-8 ids are fine: they are bytes.
  EXPECT_EQ(decode_contribution(encode_contribution({1, 2, std::string("\xff\x00", 2)}))->evidence_id,
            std::optional<std::string>(std::string("\xff\x00", 2)));
}

}  // namespace
}  // namespace ruvo
