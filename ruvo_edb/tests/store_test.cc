// EdbStore: ids, appending, branch views and failure reporting.
#include "ruvo_edb/src/store.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ruvo_core/src/fault.h"
#include "testing/test_support.h"

namespace ruvo {
namespace {

using bincode::u64_be;
using test::dump;
using test::err;
using test::ok;
using Ids = std::vector<uint64_t>;
using Names = std::vector<std::string>;

const char kCounter[] = "next_event_id";
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

EdbStore temp_store() { return ok(EdbStore::open_temporary()); }
EdbStore file_store(const std::string& dir) { return ok(EdbStore::from_db(ok(kv::Db::open(dir)))); }

uint64_t fact(const EdbStore& s, std::string_view branch, std::string_view pred = "p",
              Ids args = {1}) {
  const uint64_t arity = args.size();
  return ok(s.assert_fact(branch, pred, arity, std::move(args), 1.0, 0.0, std::nullopt));
}
Ids fact_ids(const EdbStore& s, std::string_view branch, std::optional<uint64_t> wm = {}) {
  Ids ids;
  for (const GroundFact& f : ok(s.get_facts(branch, wm))) ids.push_back(f.event_id);
  return ids;
}
Rule rule(uint64_t id, std::string head) {
  return Rule{id, std::move(head), 1, {Term::var("X")},
              {AtomGoal{"q", 1, false, {Term::var("X")}}}, 0.5, 0.1};
}
Constraint constraint(uint64_t id) {
  return Constraint{id, {AtomGoal{"q", 1, true, {Term::constant(4)}}}, 1.0, 0.0};
}
std::string enc(const Rule& r) { return encode_rule(r); }
std::string enc(const Constraint& c) { return encode_constraint(c); }
// The rules or constraints a read returned, as their stored bytes.
template <class T>
Names enc(const EdbResult<std::vector<T>>& read) {
  Names out;
  for (const T& x : ok(read)) out.push_back(enc(x));
  return out;
}

TEST(EdbStoreTest, ErrorDebugTexts) {
  EXPECT_EQ(EdbError(EdbError::EventNotFound{5}).debug(), "EventNotFound(5)");
  EXPECT_EQ(EdbError(EdbError::UnknownBranch{"a\"b\\c\nd\te"}).debug(),
            "UnknownBranch(\"a\\\"b\\\\c\\nd\\te\")");
  EXPECT_EQ(EdbError(kv::Error{"IO error: disk full"}).debug(), "Sled(\"IO error: disk full\")");
}

TEST(EdbStoreTest, WorkedExampleRecordsAsStored) {
  EdbStore s = temp_store();
  EXPECT_EQ(ok(s.assert_fact("a", "p", 1, {7}, 1.0, 0.0, std::nullopt)), 1u);
  EXPECT_EQ(ok(s.retract_fact("a", 1)), 2u);
  const std::string fact_record(
      "\0\0\0\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0a\x01\0\0\0\0\0\0\0p"
      "\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\x07\0\0\0\0\0\0\0"
      "\0\0\0\0\0\0\xf0\x3f\0\0\0\0\0\0\0\0\0",
      71);
  const std::string retract_record(
      "\x04\0\0\0\x02\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0a\x01\0\0\0\0\0\0\0", 29);
  EXPECT_EQ(dump(s.events_tree()),
            (test::Entries{{event_key(1), fact_record}, {event_key(2), retract_record}}));
  // The meta tree holds the counter and nothing else.
  EXPECT_EQ(dump(s.meta_tree()), (test::Entries{{kCounter, u64_be(3)}}));
}

TEST(EdbStoreTest, IdsCounterGapsAndReopen) {
  test::ScratchDir dir;
  {
    EdbStore s = file_store(dir.path());
    EXPECT_EQ(ok(s.current_watermark()), 0u);
    EXPECT_TRUE(ok(s.list_branches()).empty());
    EXPECT_EQ(fact(s, "main"), 1u);
    EXPECT_EQ(ok(s.add_rule("main", rule(7, "r"))), 2u);
    EXPECT_EQ(ok(s.add_constraint("main", constraint(1))), 3u);
    // A retraction of an id nobody has is stored like any other.
    EXPECT_EQ(ok(s.retract_fact("side", 1000)), 4u);
    EXPECT_EQ(ok(s.meta_tree().get(kCounter)), u64_be(5));
    EXPECT_EQ(ok(s.current_watermark()), 4u);
    // An id taken without a record (as a failed append leaves it) is a gap:
    // never handed out again, counted by the watermark, tolerated by readers.
    EXPECT_EQ(ok(s.next_event_id()), 5u);
    EXPECT_EQ(fact(s, "main"), 6u);
    EXPECT_EQ(ok(s.current_watermark()), 6u);
    EXPECT_FALSE(ok(s.events_tree().contains(event_key(5))));
    EXPECT_EQ(fact_ids(s, "main", 5), (Ids{1}));
    // Nothing is validated: arity 3 with two arguments, weights out of range.
    ok(s.assert_fact("", "", 3, {8, 9}, -2.0, std::nan(""), std::string("")));
    const GroundFact f = ok(s.get_facts("", std::nullopt)).at(0);
    EXPECT_EQ(std::tie(f.event_id, f.pred_arity, f.args, f.b, f.source),
              std::make_tuple(7ul, 3ul, Ids{8, 9}, -2.0, std::optional<std::string>("")));
    EXPECT_TRUE(std::isnan(f.d));
  }
  {
    // No flush: a write that returned survives closing the store.
    EdbStore s = file_store(dir.path());
    EXPECT_EQ(ok(s.current_watermark()), 7u);
    EXPECT_EQ(fact(s, "main", "q"), 8u);
  }
  // An existing counter is left as it is, whatever it holds.
  ok(ok(ok(kv::Db::open(dir.path())).open_tree("edb_meta")).insert(kCounter, u64_be(42)));
  EdbStore s = file_store(dir.path());
  EXPECT_EQ(ok(s.current_watermark()), 41u);
  EXPECT_EQ(fact_ids(s, "main"), (Ids{1, 6, 8}));
  EXPECT_EQ(enc(s.get_rules("main", {})), Names{encode_rule(rule(7, "r"))});
  EXPECT_EQ(ok(s.list_branches()), (Names{"", "main", "side"}));
  EXPECT_EQ(fact(s, "main"), 42u);
}

TEST(EdbStoreTest, BrokenCounterFaultsAndWritesNothing) {
  for (std::string bad : {std::string("abc"), std::string(9, '\0'), std::string()}) {
    EdbStore s = temp_store();
    fact(s, "main");
    ok(s.meta_tree().insert(kCounter, bad));
    EXPECT_THROW((void)s.next_event_id(), Fault);
    EXPECT_THROW((void)fact(s, "main"), Fault);
    EXPECT_THROW((void)s.retract_fact("main", 1), Fault);
    EXPECT_THROW((void)s.add_rule("main", rule(1, "r")), Fault);
    EXPECT_THROW((void)s.add_constraint("main", constraint(1)), Fault);
    EXPECT_THROW((void)s.current_watermark(), Fault);
    EXPECT_EQ(ok(s.meta_tree().get(kCounter)), bad);
    // Nothing written; readers of the log do not touch the counter.
    EXPECT_EQ(fact_ids(s, "main"), (Ids{1}));
    EXPECT_EQ(dump(s.events_tree()).size(), 1u);
  }
  // A counter of 0 reads as watermark 0. The last id is handed out; after it
  // the counter cannot grow without wrapping onto used ids: a fault, and
  // nothing written.
  EdbStore s = temp_store();
  ok(s.meta_tree().insert(kCounter, u64_be(0)));
  EXPECT_EQ(ok(s.current_watermark()), 0u);
  ok(s.meta_tree().insert(kCounter, u64_be(kMax - 1)));
  EXPECT_EQ(fact(s, "main"), kMax - 1);
  EXPECT_EQ(ok(s.current_watermark()), kMax - 1);
  EXPECT_THROW((void)fact(s, "main"), Fault);
  EXPECT_EQ(ok(s.meta_tree().get(kCounter)), u64_be(kMax));
  EXPECT_EQ(dump(s.events_tree()).size(), 1u);
}

// Appends replace whatever their key holds: opening a log whose counter is
// not above every stored id is a fault that writes nothing. A missing
// counter is seeded with 1 only when that is safe; a malformed one is left
// to fault when used.
TEST(EdbStoreTest, CounterNotAboveStoredIdsFaultsOnOpen) {
  const std::string stray("\xff", 1), long_key = event_key(9) + "x";
  const std::tuple<std::optional<std::string>, Names, bool> cases[] = {
      {std::nullopt, {}, true}, {std::nullopt, {event_key(0)}, true},
      {std::nullopt, {event_key(1)}, false}, {u64_be(0), {}, true},
      {u64_be(4), {event_key(1), event_key(3)}, true},
      {u64_be(3), {event_key(1), event_key(3)}, false}, {u64_be(2), {event_key(3)}, false},
      {u64_be(kMax), {event_key(kMax - 1)}, true}, {u64_be(kMax), {event_key(kMax)}, false},
      {std::string("abc"), {event_key(7)}, true},
      // Keys no append writes are not ids; the ids below them still count.
      {u64_be(4), {event_key(3), stray}, true}, {u64_be(3), {event_key(3), stray}, false},
      {u64_be(9), {event_key(8), long_key}, true}, {u64_be(9), {event_key(9), long_key}, false}};
  for (const auto& [counter, keys, opens] : cases) {
    kv::Db db = ok(kv::Db::open_temporary());
    kv::Tree events = ok(db.open_tree("edb_events")), meta = ok(db.open_tree("edb_meta"));
    for (const std::string& key : keys) ok(events.insert(key, "record"));
    if (counter) ok(meta.insert(kCounter, *counter));
    const std::string label =
        testing::PrintToString(keys) + " " + testing::PrintToString(counter.value_or("absent"));
    if (opens) {
      EdbStore s = ok(EdbStore::from_db(db));
      EXPECT_EQ(ok(meta.get(kCounter)), counter.value_or(u64_be(1))) << label;
    } else {
      EXPECT_THROW((void)EdbStore::from_db(db), Fault) << label;
      EXPECT_EQ(ok(meta.get(kCounter)), counter) << label;
    }
    EXPECT_EQ(dump(events).size(), keys.size()) << label;
  }
}

TEST(EdbStoreTest, RetractionsAndWatermarks) {
  EdbStore s = temp_store();
  // A retraction written before its target id exists hides the assertion
  // that later receives that id.
  EXPECT_EQ(ok(s.retract_fact("a", 2)), 1u);
  EXPECT_EQ(fact(s, "a"), 2u);
  EXPECT_EQ(fact(s, "a"), 3u);
  EXPECT_EQ(fact(s, "b"), 4u);
  // Cross-branch retractions hide nothing in either branch.
  ok(s.retract_fact("b", 3));  // 5
  ok(s.retract_fact("a", 4));  // 6
  EXPECT_EQ(fact(s, "a"), 7u);
  ok(s.retract_fact("a", 7));  // 8
  ok(s.retract_fact("a", 7));  // 9: twice is once
  EXPECT_EQ(ok(s.add_rule("a", rule(1, "r"))), 10u);
  ok(s.retract_fact("a", 10));                 // 11: a rule cannot be withdrawn
  EXPECT_EQ(ok(s.retract_fact("a", 8)), 12u);  // nor a retraction
  EXPECT_EQ(fact_ids(s, "a"), (Ids{3}));
  EXPECT_EQ(fact_ids(s, "b"), (Ids{4}));
  // Between an assertion and its retraction the assertion is visible.
  const std::pair<uint64_t, Ids> at[] = {{0, {}}, {1, {}}, {7, {3, 7}}, {kMax, {3}}};
  for (const auto& [wm, ids] : at) EXPECT_EQ(fact_ids(s, "a", wm), ids) << wm;
  EXPECT_TRUE(enc(s.get_rules("a", 9)).empty());
  EXPECT_EQ(enc(s.get_rules("a", 10)).size(), 1u);
  const GroundFact f = ok(s.get_facts("a", std::nullopt)).at(0);
  EXPECT_EQ(std::tie(f.pred_name, f.pred_arity, f.args, f.b, f.d, f.source),
            std::make_tuple("p", 1ul, Ids{1}, 1.0, 0.0, std::nullopt));
}

TEST(EdbStoreTest, RulesConstraintsAndBranchNames) {
  EdbStore s = temp_store();
  ok(s.add_rule("m", rule(5, "first")));
  ok(s.add_constraint("m", constraint(3)));
  ok(s.add_rule("other", rule(5, "elsewhere")));
  ok(s.add_rule("m", rule(5, "second")));
  ok(s.add_constraint("m", constraint(3)));
  ok(s.add_constraint("m", constraint(1)));
  // Insertion order, duplicates kept.
  EXPECT_EQ(enc(s.get_rules("m", {})), (Names{enc(rule(5, "first")), enc(rule(5, "second"))}));
  const std::string c3 = encode_constraint(constraint(3)), c1 = encode_constraint(constraint(1));
  EXPECT_EQ(enc(s.get_constraints("m", std::nullopt)), (Names{c3, c3, c1}));
  EXPECT_EQ(enc(s.get_constraints("m", 2)), Names{c3});
  EXPECT_TRUE(ok(s.get_facts("m", std::nullopt)).empty());

  // Branch names are exact bytes, listed in byte order.
  EdbStore t = temp_store();
  const Names names = {"main", "Main", "main ", "", "\xc3\xa9t\xc3\xa9", "e\xcc\x81", "\x7f", "ma"};
  for (const std::string& n : names) fact(t, n);
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(fact_ids(t, names[i]), (Ids{i + 1}));
  EXPECT_TRUE(fact_ids(t, "m").empty());
  EXPECT_EQ(ok(t.list_branches()),
            (Names{"", "Main", "e\xcc\x81", "ma", "main", "main ", "\x7f", "\xc3\xa9t\xc3\xa9"}));
}

// A declaration is decoded, names its branch, and is otherwise ignored.
TEST(EdbStoreTest, DeclarationsOnlyNameTheirBranch) {
  EdbStore t = temp_store();
  fact(t, "a");
  const uint64_t id = ok(t.next_event_id());
  EXPECT_EQ(ok(t.append_event(DeclarePredicateEvent{id, "only-declared", "p", 1})), id);
  ok(t.append_event(DeclarePredicateEvent{ok(t.next_event_id()), "a", "p", 1}));
  ok(t.retract_fact("only-retracted", 1));
  EXPECT_EQ(fact_ids(t, "a"), (Ids{1}));
  EXPECT_TRUE(enc(t.get_rules("a", std::nullopt)).empty());
  EXPECT_TRUE(enc(t.get_constraints("a", std::nullopt)).empty());
  EXPECT_TRUE(fact_ids(t, "only-declared").empty());
  EXPECT_EQ(ok(t.list_branches()), (Names{"a", "only-declared", "only-retracted"}));
  EXPECT_EQ(ok(t.events_tree().get(event_key(id))),
            encode_event(DeclarePredicateEvent{id, "only-declared", "p", 1}));
}

TEST(EdbStoreTest, CorruptRecordFailsEveryReadReachingIt) {
  EdbStore s = temp_store();
  fact(s, "x");  // 1
  fact(s, "y");  // 2
  ASSERT_EQ(ok(s.next_event_id()), 3u);
  fact(s, "x");  // 4
  std::string tag = encode_event(AssertFactEvent{5, "z", "p", 0, {}, 1.0, 0.0, std::nullopt});
  tag.back() = 7;
  std::string cut = encode_event(RetractFactEvent{5, "z", 1});
  cut.pop_back();
  const std::pair<std::string, std::string> cases[] = {
      {std::string("\x05\0\0\0", 4),
       "Bincode(Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\"))"},
      {tag, "Bincode(InvalidTagEncoding(7))"},
      {cut, "Bincode(Io(Kind(UnexpectedEof)))"}};
  for (const auto& [record, text] : cases) {
    ok(s.events_tree().insert(event_key(3), record));
    // Every branch's reads reach record 3, also with watermark 2: the first
    // record beyond the watermark is still decoded.
    for (const char* b : {"x", "y", "nobody"}) {
      EXPECT_EQ(err(s.get_facts(b, std::nullopt)), text) << b;
      EXPECT_EQ(err(s.get_facts(b, 2)), text) << b;
      EXPECT_EQ(err(s.get_rules(b, std::nullopt)), text) << b;
      EXPECT_EQ(err(s.get_constraints(b, 2)), text) << b;
    }
    EXPECT_EQ(err(s.list_branches()), text);
    // A scan that stops at a sound record before it does not see it.
    EXPECT_EQ(fact_ids(s, "x", 1), (Ids{1}));
    EXPECT_TRUE(enc(s.get_rules("y", 0)).empty());
  }
  // A corrupt first record fails even a read with watermark 0.
  EdbStore t = temp_store();
  ASSERT_EQ(ok(t.next_event_id()), 1u);
  ok(t.events_tree().insert(event_key(1), cut));
  EXPECT_EQ(err(t.get_facts("x", 0)), "Bincode(Io(Kind(UnexpectedEof)))");
  EXPECT_EQ(err(t.get_constraints("other", 0)), "Bincode(Io(Kind(UnexpectedEof)))");
}

}  // namespace
}  // namespace ruvo
