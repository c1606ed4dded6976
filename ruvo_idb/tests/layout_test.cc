// Stored layout, counters, symbols, predicates, codecs and a killed writer.
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <map>
#include <random>
#include <set>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo::test {
namespace {

// Broken counters fault on first use; an exhausted counter faults when it
// would wrap. Either way nothing is written.
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

TEST(IdbLayout, KeyAndRecordCodecs) {
  EXPECT_EQ(encode_state_key(AtomKey{1, {UINT64_MAX, 2}}), be({1, UINT64_MAX, 2}));
  EXPECT_EQ(decode_state_key(be({3, 5, 9})), (AtomKey{3, {5, 9}}));
  for (size_t bad : {12, 7, 0})
    EXPECT_THROW((void)decode_state_key(std::string(bad, '\0')), Fault) << bad;
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
  EXPECT_EQ(err(decode_contribution(rec.substr(0, 29))), "Io(Kind(UnexpectedEof))");
  const std::optional<std::string> raw = std::string("\xff\0", 2);  // ids need not be UTF-8
  EXPECT_EQ(ok(decode_contribution(encode_contribution({1, 2, raw}))).evidence_id, raw);
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

TEST_P(IdbNames, SymbolsPredicatesAndWatermarks) {
  const SymbolStore& sym = store().symbols;
  for (const char* text : {"alice", "bob", "alice"}) ok(sym.get_or_insert(text));
  EXPECT_EQ(dump(store(), "sym_meta"), (Entries{{"next_sym_id", be({3})}}));
  EXPECT_EQ(dump(store(), "sym_by_text"), (Entries{{"alice", be({1})}, {"bob", be({2})}}));
  EXPECT_EQ(dump(store(), "sym_by_id"), (Entries{{be({1}), "alice"}, {be({2}), "bob"}}));
  // Texts are exact bytes: case, leading zeros and emptiness all count.
  for (std::string text : {"", "a", "A", "1", "01"}) {
    const uint64_t id = ok(sym.get_or_insert(text));
    std::string buffer = "stale";
    EXPECT_EQ(ok(sym.get_text_into(id, buffer)), std::optional<std::string_view>(text));
  }
  EXPECT_EQ(dump(store(), "sym_by_id").size(), 7u);
  for (uint64_t id : {0, 1000}) EXPECT_EQ(ok(sym.get_text(id)), std::nullopt);
  // The first registration fixes the profile and draws the id; another
  // arity is another predicate.
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
  EXPECT_EQ(ok(store().registry.get_profile(99)), std::nullopt);
  for (auto [name, id] : {std::pair{"main", 9}, {"", 1}, {"main", 3}})  // smaller ids replace too
    ok(store().set_branch_watermark(name, id));
  EXPECT_EQ(ok(store().get_branch_watermark("main")), 3u);
  EXPECT_EQ(dump(store(), "branch_watermark"), (Entries{{"", be({1})}, {"main", be({3})}}));
  // Names are exact; a value of another length reads as absent.
  ok(ok(store().db().open_tree("branch_watermark")).insert("odd", std::string(7, '\x01')));
  for (const char* name : {"Main", "odd"})
    EXPECT_EQ(ok(store().get_branch_watermark(name)), std::nullopt) << name;
}

// Broken ids, texts and names are faults; a corrupt profile is an error.
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

// Every length up to 40 bytes with a 2-, 3- or 4-byte character at every
// byte offset, and texts of characters of one width only.
std::vector<std::string> width_texts() {
  auto ch = [](size_t width, size_t i) {  // the last byte varies with i
    static const char* const kLead[] = {"", "\xC3", "\xE2\x82", "\xF0\x9F\x98"};
    return kLead[width - 1] + std::string(1, static_cast<char>((width == 1 ? 'a' : 0x80) + i % 26));
  };
  std::set<std::string> texts;
  for (size_t width = 1; width <= 4; ++width) {
    for (size_t len = 0; len <= 40; ++len) {
      std::string only;
      while (only.size() + width <= len) only += ch(width, only.size());
      texts.insert(only);
      for (size_t at = 0; width > 1 && at + width <= len; ++at) {
        std::string t;
        for (size_t i = 0; i < len; i += i == at ? width : 1)
          t += i == at ? ch(width, len) : ch(1, i);
        texts.insert(t);
      }
    }
  }
  return {texts.begin(), texts.end()};
}

// Each text keeps one id of its own and reads back byte for byte: without
// caches, fully pinned, partly pinned, in bounded maps only, and after
// reopening with either direction asked first.
TEST(IdbSymbols, TextsOfEveryWidthAndOffsetRoundTrip) {
  const std::vector<std::string> texts = width_texts();
  // No caches, default ones, and budgets that pin some texts or none.
  for (auto [caches, budget] :
       {std::pair{false, size_t{0}}, {true, 0}, {true, 1 << 20}, {true, 1 << 18}}) {
    for (bool resolve_first : {false, true}) {
      SCOPED_TRACE("caches " + std::to_string(caches) + ", budget " + std::to_string(budget) +
                   ", resolve first " + std::to_string(resolve_first));
      ScratchDir dir;
      auto open = [&] {
        return ok(RuvoStore::from_db(ok(kv::Db::open(dir / "idb")), store_options(caches, budget)));
      };
      std::vector<uint64_t> ids;
      auto check = [&](const RuvoStore& store, bool reverse) {  // stops at the first mismatch
        std::string buffer;  // reused, as a batch does
        for (int pass = 0; pass < 3; ++pass, reverse = !reverse) {
          for (size_t n = 0; n < texts.size(); ++n) {
            // Backwards, forwards, backwards: the reused buffer often holds a longer text.
            const size_t i = pass == 1 ? n : texts.size() - 1 - n;
            if (reverse) {
              ASSERT_EQ(ok(store.symbols.get_text_into(ids[i], buffer)),
                        std::optional<std::string_view>(texts[i]));
            } else {
              ASSERT_EQ(ok(store.symbols.get_or_insert(texts[i])), ids[i]) << texts[i];
            }
          }
        }
      };
      {
        RuvoStore store = open();
        for (const std::string& t : texts) ids.push_back(ok(store.symbols.get_or_insert(t)));
        EXPECT_EQ(std::set<uint64_t>(ids.begin(), ids.end()).size(), texts.size());
        check(store, true);
      }
      check(open(), resolve_first);
    }
  }
}

const PredicateProfile kPreds[] = {{0, "max", 2, kMax, kNone, {}},
                                   {0, "nor", 2, kNoisyOr, kPerSource, {}},
                                   {0, "cap", 1, kCapped, kProofTree, {}},
                                   {0, "sum", 1, kCapped, kNone, {}}};

// The child's operation i: a text to intern or a contribution to an atom.
struct Op {
  std::string text;
  size_t pred = 0;
  std::vector<uint64_t> args;
  Contribution c;
};
Op make_op(uint64_t i) {
  std::mt19937_64 rng(i * 7919 + 13);
  Op op;
  op.text = rng() % 3 == 0 ? "sym-" + std::to_string(rng() % 5000) : "";
  if (!op.text.empty()) return op;
  op.pred = rng() % 4;
  op.args.resize(kPreds[op.pred].arity);
  for (auto& a : op.args) a = rng() % 40;
  op.c.b = static_cast<double>(rng() % 1000) / 1000.0 - 0.2;
  op.c.d = static_cast<double>(rng() % 1000) / 2000.0;
  if (kPreds[op.pred].evidence_mode != kNone) op.c.evidence_id = "edb_" + std::to_string(rng() % 6);
  return op;
}

std::vector<uint64_t> register_all(const RuvoStore& store) {
  std::vector<uint64_t> ids;
  for (const PredicateProfile& p : kPreds)
    ids.push_back(ok(store.registry.register_predicate(p.name, p.arity, p.aggregation,
                                                       p.evidence_mode, {})).pred_id);
  return ids;
}

TEST(IdbCrash, AcknowledgedWorkSurvivesKill) {
  // Acknowledgements: (op index, symbol id, 0) or (op index, b bits, d bits).
  KilledWriter run(3, 4000, [](const std::string& dir, int fd) {
    RuvoStore store = file_store(dir);
    const std::vector<uint64_t> ids = register_all(store);
    for (uint64_t i = 0;; ++i) {
      const Op op = make_op(i);
      if (!op.text.empty()) {
        send_ack(fd, {i, ok(store.symbols.get_or_insert(op.text)), 0});
      } else {
        const AtomState s = ok(store.upsert_atom(AtomKey{ids[op.pred], op.args}, op.c));
        send_ack(fd, {i, std::bit_cast<uint64_t>(s.b), std::bit_cast<uint64_t>(s.d)});
      }
    }
  });
  RuvoStore store = file_store(run.dir(), /*caches=*/false);
  const std::vector<uint64_t> ids = register_all(store);  // finds the child's

  // The last acknowledged result per atom, per source record and per text.
  // The operation after the last acknowledged one may or may not have
  // happened: its atom, record or text is not checked.
  std::map<std::string, AtomState> states;
  std::map<std::string, std::string> records;
  std::map<std::string, uint64_t> symbols;
  for (size_t n = 0; n <= run.acks().size(); ++n) {
    const Op op = make_op(n);
    const std::string key = encode_state_key(AtomKey{ids[op.pred], op.args});
    const std::string rkey = op.c.evidence_id ? encode_contrib_key(key, *op.c.evidence_id) : "";
    if (n == run.acks().size()) {
      symbols.erase(op.text), states.erase(key), records.erase(rkey);
      break;
    }
    const std::string& ack = run.acks()[n];
    ASSERT_EQ(ack_word(ack, 0), n);
    if (!op.text.empty()) {
      symbols[op.text] = ack_word(ack, 1);
      continue;
    }
    states[key] = {std::bit_cast<double>(ack_word(ack, 1)),
                   std::bit_cast<double>(ack_word(ack, 2))};
    if (op.c.evidence_id) records[rkey] = encode_contribution(op.c);
  }
  // A result within 1e-12 of the stored state is returned without a write.
  for (const auto& [key, acked] : states)
    EXPECT_TRUE(AtomState::approx_eq(ok(store.load_state(key)), acked)) << "state lost";
  for (const auto& [rkey, rec] : records)
    EXPECT_EQ(ok(store.contrib_tree().get(rkey)), rec) << "record lost";
  // Everything stored decodes, and the reopened store goes on handing out
  // fresh ids.
  for (uint64_t pred : ids) EXPECT_TRUE(store.scan_predicate(pred));
  const uint64_t fresh = ok(store.symbols.get_or_insert("after-the-crash"));
  for (const auto& [text, id] : symbols) {
    EXPECT_EQ(ok(store.symbols.get_text(id)), text);
    EXPECT_LT(id, fresh);
  }
}

}  // namespace
}  // namespace ruvo::test
