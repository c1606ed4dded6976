// Opening, stored layout, key and record codecs, watermarks and error texts.
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
                           "contrib", "branch_watermark"}) {
    EXPECT_TRUE(dump(store, tree).empty()) << tree;
  }
  EXPECT_EQ(dump(store, "sym_meta"), (Entries{{"next_sym_id", be({1})}}));
  EXPECT_EQ(dump(store, "pred_meta"), (Entries{{"next_pred_id", be({1})}}));
}

TEST(IdbLayout, ReopenKeepsCountersAndData) {
  ScratchDir dir;
  AtomKey atom;
  {
    RuvoStore store = file_store(dir.path());
    ASSERT_EQ(store.symbols.get_or_insert("alice"), 1u);
    ASSERT_EQ(store.symbols.get_or_insert("bob"), 2u);
    atom = AtomKey{ok(store.registry.register_predicate("edge", 2, AggregationMode::NoisyOr,
                                                        EvidenceMode::PerSource, {}))
                       .pred_id,
                   {1, 2}};
    ok(store.upsert_atom(atom, {0.5, 0.25, "edb_1"}));
    ok(store.set_branch_watermark("main", 42));
    ok(store.flush_all());
  }
  RuvoStore store = file_store(dir.path());
  EXPECT_EQ(dump(store, "sym_meta"), (Entries{{"next_sym_id", be({3})}}));
  EXPECT_EQ(dump(store, "pred_meta"), (Entries{{"next_pred_id", be({2})}}));
  EXPECT_EQ(store.symbols.get_or_insert("alice"), 1u);
  EXPECT_EQ(store.symbols.get_or_insert("carol"), 3u);
  EXPECT_EQ(ok(store.symbols.get_text(2)), "bob");
  auto again = ok(store.registry.register_predicate("edge", 2, AggregationMode::Maximum,
                                                    EvidenceMode::None, {}));
  EXPECT_EQ(again.pred_id, atom.pred_id);
  EXPECT_EQ(again.aggregation, AggregationMode::NoisyOr);
  EXPECT_TRUE(same_bits(ok(store.get_state(atom)), {0.5, 0.25}));
  // The known source is replaced, not added, after reopening too.
  EXPECT_EQ(ok(store.upsert_atom(atom, {0.5, 0.25, "edb_1"})).b, 0.5);
  EXPECT_EQ(ok(store.get_branch_watermark("main")), 42u);
}

TEST(IdbLayout, BrokenCountersOpenAndFaultOnFirstUse) {
  for (bool caches : {true, false}) {
    kv::Db db = ok(kv::Db::open_temporary());
    kv::Tree sym_meta = ok(db.open_tree("sym_meta"));
    const std::string three_bytes("\0\0\x05", 3);
    ok(sym_meta.insert("next_sym_id", three_bytes));
    ok(ok(db.open_tree("pred_meta")).insert("next_pred_id", std::string(9, '\0')));
    StoreOptions options;
    options.caches = caches;
    RuvoStore store = ok(RuvoStore::from_db(db, options));
    EXPECT_THROW((void)store.symbols.get_or_insert("x"), Fault);
    EXPECT_THROW((void)store.registry.register_predicate("p", 1, AggregationMode::Maximum,
                                                         EvidenceMode::None, {}),
                 Fault);
    // Opening and the faults left the counters as they were; nothing was
    // claimed or registered.
    EXPECT_EQ(dump(sym_meta), (Entries{{"next_sym_id", three_bytes}}));
    EXPECT_TRUE(dump(store, "sym_by_text").empty());
    EXPECT_TRUE(dump(store, "pred_by_name").empty());
  }
}

// The last id of a counter is never handed out: the counter cannot grow
// past it without wrapping onto ids in use. Drawing there is a fault that
// writes nothing.
TEST(IdbLayout, ExhaustedCountersFault) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (bool caches : {true, false}) {
    kv::Db db = ok(kv::Db::open_temporary());
    kv::Tree sym_meta = ok(db.open_tree("sym_meta")), pred_meta = ok(db.open_tree("pred_meta"));
    ok(sym_meta.insert("next_sym_id", be({kMax - 1})));
    ok(pred_meta.insert("next_pred_id", be({kMax - 1})));
    StoreOptions options;
    options.caches = caches;
    RuvoStore store = ok(RuvoStore::from_db(db, options));
    auto reg = [&](const char* name) {
      return ok(store.registry.register_predicate(name, 1, AggregationMode::Maximum,
                                                  EvidenceMode::None, {}))
          .pred_id;
    };
    EXPECT_EQ(store.symbols.get_or_insert("last"), kMax - 1);
    EXPECT_EQ(reg("last"), kMax - 1);
    EXPECT_THROW((void)store.symbols.get_or_insert("x"), Fault);
    EXPECT_THROW((void)reg("x"), Fault);
    EXPECT_EQ(dump(sym_meta), (Entries{{"next_sym_id", be({kMax})}}));
    EXPECT_EQ(dump(pred_meta), (Entries{{"next_pred_id", be({kMax})}}));
    EXPECT_EQ(dump(store, "sym_by_text").size(), 1u);
    EXPECT_EQ(dump(store, "pred_by_name").size(), 1u);
    // Known names keep their ids.
    EXPECT_EQ(store.symbols.get_or_insert("last"), kMax - 1);
    EXPECT_EQ(reg("last"), kMax - 1);
  }
}

TEST(IdbLayout, BranchWatermarks) {
  RuvoStore store = temp_store();
  EXPECT_EQ(ok(store.get_branch_watermark("main")), std::nullopt);
  ok(store.set_branch_watermark("main", 9));
  ok(store.set_branch_watermark("", 1));
  EXPECT_EQ(ok(store.get_branch_watermark("main")), 9u);
  EXPECT_EQ(ok(store.get_branch_watermark("Main")), std::nullopt);
  EXPECT_EQ(ok(store.get_branch_watermark("")), 1u);
  // A smaller id replaces a larger one.
  ok(store.set_branch_watermark("main", 3));
  EXPECT_EQ(dump(store, "branch_watermark"), (Entries{{"", be({1})}, {"main", be({3})}}));
  // A value of another length reads as absent.
  kv::Tree tree = ok(store.db().open_tree("branch_watermark"));
  ok(tree.insert("odd", std::string(7, '\x01')));
  ok(tree.insert("long", std::string(9, '\x01')));
  EXPECT_EQ(ok(store.get_branch_watermark("odd")), std::nullopt);
  EXPECT_EQ(ok(store.get_branch_watermark("long")), std::nullopt);
}

TEST(IdbLayout, KeyAndRecordCodecs) {
  EXPECT_EQ(encode_state_key(AtomKey{7, {}}), be({7}));
  EXPECT_EQ(encode_state_key(AtomKey{1, {UINT64_MAX}}), be({1, UINT64_MAX}));
  EXPECT_EQ(decode_state_key(be({7})), (AtomKey{7, {}}));
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
  EXPECT_EQ(err(decode_contribution(rec.substr(0, 29))), "Io(Kind(UnexpectedEof))");
  EXPECT_EQ(err(decode_contribution(rec.substr(0, 16))), "Io(Kind(UnexpectedEof))");
  std::string bad_tag = rec;
  bad_tag[16] = 2;
  EXPECT_EQ(err(decode_contribution(bad_tag)), "InvalidTagEncoding(2)");
  EXPECT_EQ(ok(decode_contribution(encode_contribution({1, 2, std::nullopt}))).evidence_id,
            std::nullopt);
  // Ids are bytes, not necessarily UTF-8.
  EXPECT_EQ(
      ok(decode_contribution(encode_contribution({1, 2, std::string("\xff\x00", 2)}))).evidence_id,
      std::string("\xff\x00", 2));
}

TEST(IdbLayout, MalformedStateKeyMetByScanIsAFault) {
  for (bool caches : {true, false}) {
    RuvoStore store = temp_store(caches);
    ok(store.state_tree().insert(be({4}) + "abcd", std::string(16, '\0')));
    EXPECT_THROW((void)store.scan_predicate(4), Fault);
    // A prefix scan that does not reach the broken key is unaffected.
    ok(store.state_tree().insert(be({4, 1}), std::string(16, '\0')));
    EXPECT_EQ(ok(store.scan_predicate_prefix(4, std::vector<uint64_t>{1})).size(), 1u);
  }
}

TEST(IdbLayout, ErrorTexts) {
  EXPECT_EQ(StoreError(kv::Error{"IO error: disk \"full\""}).debug(),
            "Sled(\"IO error: disk \\\"full\\\"\")");
  EXPECT_EQ(StoreError(bincode::Error::eof()).debug(), "Bincode(Io(Kind(UnexpectedEof)))");
  EXPECT_EQ(StoreError(StoreError::UnknownPredicate{7}).debug(), "UnknownPredicate(7)");
  EXPECT_EQ(StoreError(StoreError::UnknownIndex{3, "a\"b\n"}).debug(),
            "UnknownIndex { pred_id: 3, index_name: \"a\\\"b\\n\" }");
  EXPECT_EQ(StoreError(StoreError::InvalidArity{2, 3}).debug(),
            "InvalidArity { expected: 2, found: 3 }");
  EXPECT_EQ(StoreError(StoreError::MissingEvidence{}).debug(), "MissingEvidence");
}

}  // namespace
}  // namespace ruvo::test
