// EdbStore: ids, appending, branch views and failure reporting.
#include "ruvo_edb/src/store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>

#include "ruvo_core/src/fault.h"

namespace ruvo {
namespace {

const char kCounter[] = "next_event_id";

EdbStore temp_store() {
  auto s = EdbStore::open_temporary();
  if (!s) throw std::runtime_error(s.error().debug());
  return std::move(*s);
}

template <class T, class E>
T ok(std::expected<T, E> r) {
  if (!r) throw std::runtime_error(r.error().debug());
  return std::move(*r);
}

std::string err(const auto& r) { return r ? std::string("ok") : r.error().debug(); }

uint64_t fact(const EdbStore& s, std::string_view branch, std::string_view pred,
              std::vector<uint64_t> args = {1}) {
  return ok(s.assert_fact(branch, pred, args.size(), std::move(args), 1.0, 0.0, std::nullopt));
}

std::vector<uint64_t> fact_ids(const EdbStore& s, std::string_view branch,
                               std::optional<uint64_t> wm = std::nullopt) {
  std::vector<uint64_t> ids;
  for (const GroundFact& f : ok(s.get_facts(branch, wm))) ids.push_back(f.event_id);
  return ids;
}

Rule rule_with_id(uint64_t id, std::string head) {
  Rule r;
  r.id = id;
  r.head_pred_name = std::move(head);
  r.head_pred_arity = 1;
  r.head_args = {Term::var("X")};
  r.body.emplace_back(AtomGoal{"q", 1, false, {Term::var("X")}});
  r.b = 0.5;
  r.d = 0.1;
  return r;
}

Constraint constraint_with_id(uint64_t id) {
  Constraint c;
  c.id = id;
  c.body.emplace_back(AtomGoal{"q", 1, true, {Term::constant(4)}});
  c.b = 1.0;
  return c;
}

std::vector<std::pair<std::string, std::string>> dump(const kv::Tree& t) {
  std::vector<std::pair<std::string, std::string>> out;
  auto r = t.scan_prefix("", [&](std::string_view k, std::string_view v) {
    out.emplace_back(std::string(k), std::string(v));
    return true;
  });
  if (!r) throw std::runtime_error("scan failed");
  return out;
}

class FileDir {
 public:
  FileDir() {
    static std::atomic<int> n{0};
    path_ = ::testing::TempDir() + "ruvo_edb_store_" + std::to_string(::getpid()) + "_" +
            std::to_string(n++);
    std::filesystem::remove_all(path_);
  }
  ~FileDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }
  EdbStore open() const {
    auto db = kv::Db::open(path_);
    if (!db) throw std::runtime_error(db.error().debug());
    return ok(EdbStore::from_db(std::move(*db)));
  }

 private:
  std::string path_;
};

TEST(EdbStoreTest, ErrorDebugTexts) {
  EXPECT_EQ(EdbError(EdbError::EventNotFound{5}).debug(), "EventNotFound(5)");
  EXPECT_EQ(EdbError(EdbError::UnknownBranch{"main"}).debug(), "UnknownBranch(\"main\")");
  EXPECT_EQ(EdbError(EdbError::UnknownBranch{"a\"b\\c\nd\te"}).debug(),
            "UnknownBranch(\"a\\\"b\\\\c\\nd\\te\")");
  EXPECT_EQ(EdbError(bincode::Error::eof()).debug(), "Bincode(Io(Kind(UnexpectedEof)))");
  EXPECT_EQ(EdbError(kv::Error{"IO error: disk full"}).debug(), "Sled(\"IO error: disk full\")");
}

TEST(EdbStoreTest, WorkedExampleRecordsAsStored) {
  EdbStore s = temp_store();
  EXPECT_EQ(ok(s.assert_fact("a", "p", 1, {7}, 1.0, 0.0, std::nullopt)), 1u);
  EXPECT_EQ(ok(s.retract_fact("a", 1)), 2u);
  auto rows = dump(s.events_tree());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].first, std::string("\0\0\0\0\0\0\0\x01", 8));
  EXPECT_EQ(rows[0].second,
            std::string("\0\0\0\0"
                        "\x01\0\0\0\0\0\0\0"
                        "\x01\0\0\0\0\0\0\0a"
                        "\x01\0\0\0\0\0\0\0p"
                        "\x01\0\0\0\0\0\0\0"
                        "\x01\0\0\0\0\0\0\0\x07\0\0\0\0\0\0\0"
                        "\0\0\0\0\0\0\xf0\x3f"
                        "\0\0\0\0\0\0\0\0"
                        "\0",
                        71));
  EXPECT_EQ(rows[1].first, std::string("\0\0\0\0\0\0\0\x02", 8));
  EXPECT_EQ(rows[1].second, std::string("\x04\0\0\0"
                                        "\x02\0\0\0\0\0\0\0"
                                        "\x01\0\0\0\0\0\0\0a"
                                        "\x01\0\0\0\0\0\0\0",
                                        29));
  // The meta tree holds the counter and nothing else.
  auto meta = dump(s.meta_tree());
  ASSERT_EQ(meta.size(), 1u);
  EXPECT_EQ(meta[0].first, kCounter);
  EXPECT_EQ(meta[0].second, bincode::u64_be(3));
}

TEST(EdbStoreTest, IdsCounterAndGaps) {
  EdbStore s = temp_store();
  EXPECT_EQ(ok(s.current_watermark()), 0u);
  EXPECT_TRUE(ok(s.list_branches()).empty());
  EXPECT_EQ(ok(s.get_facts("main", std::nullopt)).size(), 0u);

  EXPECT_EQ(fact(s, "main", "p"), 1u);
  EXPECT_EQ(ok(s.add_rule("main", rule_with_id(1, "r"))), 2u);
  EXPECT_EQ(ok(s.add_constraint("main", constraint_with_id(1))), 3u);
  // A retraction of an id nobody has is stored like any other.
  EXPECT_EQ(ok(s.retract_fact("main", 1000)), 4u);
  EXPECT_EQ(ok(s.meta_tree().get(kCounter)), bincode::u64_be(5));
  EXPECT_EQ(ok(s.current_watermark()), 4u);

  // An id taken without a record (as a failed append leaves it) is a gap:
  // never handed out again, counted by the watermark, tolerated by readers.
  EXPECT_EQ(ok(s.next_event_id()), 5u);
  EXPECT_EQ(fact(s, "main", "p"), 6u);
  EXPECT_EQ(ok(s.current_watermark()), 6u);
  EXPECT_FALSE(ok(s.events_tree().contains(event_key(5))));
  EXPECT_EQ(fact_ids(s, "main"), (std::vector<uint64_t>{1, 6}));
  EXPECT_EQ(fact_ids(s, "main", 5), (std::vector<uint64_t>{1}));

  // Nothing is validated: arity 3 with two arguments, weights out of range.
  uint64_t odd = ok(s.assert_fact("", "", 3, {8, 9}, -2.0, std::nan(""), std::string("")));
  auto facts = ok(s.get_facts("", std::nullopt));
  ASSERT_EQ(facts.size(), 1u);
  EXPECT_EQ(facts[0].event_id, odd);
  EXPECT_EQ(facts[0].pred_arity, 3u);
  EXPECT_EQ(facts[0].args, (std::vector<uint64_t>{8, 9}));
  EXPECT_EQ(facts[0].b, -2.0);
  EXPECT_TRUE(std::isnan(facts[0].d));
  EXPECT_EQ(facts[0].source, std::optional<std::string>(""));
}

TEST(EdbStoreTest, MalformedCounterFaultsAndWritesNothing) {
  for (std::string bad : {std::string("abc"), std::string(9, '\0'), std::string()}) {
    EdbStore s = temp_store();
    fact(s, "main", "p");
    ASSERT_TRUE(s.meta_tree().insert(kCounter, bad));
    EXPECT_THROW((void)s.next_event_id(), Fault);
    EXPECT_THROW((void)fact(s, "main", "p"), Fault);
    EXPECT_THROW((void)s.retract_fact("main", 1), Fault);
    EXPECT_THROW((void)s.add_rule("main", rule_with_id(1, "r")), Fault);
    EXPECT_THROW((void)s.add_constraint("main", constraint_with_id(1)), Fault);
    EXPECT_THROW((void)s.current_watermark(), Fault);
    EXPECT_EQ(ok(s.meta_tree().get(kCounter)), bad);
    EXPECT_EQ(dump(s.events_tree()).size(), 1u);
    // Readers of the log do not touch the counter.
    EXPECT_EQ(fact_ids(s, "main"), (std::vector<uint64_t>{1}));
  }
}

TEST(EdbStoreTest, CounterEdgeValues) {
  EdbStore s = temp_store();
  // A counter of 0 reads as watermark 0.
  ASSERT_TRUE(s.meta_tree().insert(kCounter, bincode::u64_be(0)));
  EXPECT_EQ(ok(s.current_watermark()), 0u);

  // The last id is handed out; after it the counter cannot grow without
  // wrapping onto ids already used, so the store refuses (a fault) and
  // writes nothing.
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  ASSERT_TRUE(s.meta_tree().insert(kCounter, bincode::u64_be(max - 1)));
  EXPECT_EQ(fact(s, "main", "p"), max - 1);
  EXPECT_EQ(ok(s.current_watermark()), max - 1);
  EXPECT_THROW((void)fact(s, "main", "p"), Fault);
  EXPECT_EQ(ok(s.meta_tree().get(kCounter)), bincode::u64_be(max));
  EXPECT_EQ(dump(s.events_tree()).size(), 1u);
}

TEST(EdbStoreTest, ReopenKeepsLogAndContinuesIds) {
  FileDir dir;
  {
    EdbStore s = dir.open();
    fact(s, "main", "p", {1, 2});
    ok(s.add_rule("main", rule_with_id(7, "r")));
    ok(s.retract_fact("side", 1));
    ASSERT_TRUE(s.flush_all());
  }
  {
    // No flush: a write that returned survives closing the store.
    EdbStore s = dir.open();
    EXPECT_EQ(ok(s.current_watermark()), 3u);
    EXPECT_EQ(fact(s, "main", "q"), 4u);
  }
  {
    // An existing counter is left as it is, whatever it holds.
    auto db = kv::Db::open(dir.path());
    ASSERT_TRUE(db);
    auto meta = db->open_tree("edb_meta");
    ASSERT_TRUE(meta);
    ASSERT_TRUE(meta->insert(kCounter, bincode::u64_be(42)));
  }
  EdbStore s = dir.open();
  EXPECT_EQ(ok(s.current_watermark()), 41u);
  EXPECT_EQ(fact_ids(s, "main"), (std::vector<uint64_t>{1, 4}));
  auto rules = ok(s.get_rules("main", std::nullopt));
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(encode_rule(rules[0]), encode_rule(rule_with_id(7, "r")));
  EXPECT_EQ(ok(s.list_branches()), (std::vector<std::string>{"main", "side"}));
  EXPECT_EQ(fact(s, "main", "p"), 42u);
}

TEST(EdbStoreTest, RetractionsAndWatermarks) {
  EdbStore s = temp_store();
  // A retraction written before its target id exists hides the assertion
  // that later receives that id.
  EXPECT_EQ(ok(s.retract_fact("a", 2)), 1u);
  EXPECT_EQ(fact(s, "a", "p"), 2u);
  EXPECT_EQ(fact(s, "a", "p"), 3u);
  EXPECT_EQ(fact(s, "b", "p"), 4u);
  // Cross-branch retraction: hides nothing in either branch.
  EXPECT_EQ(ok(s.retract_fact("b", 3)), 5u);
  EXPECT_EQ(ok(s.retract_fact("a", 4)), 6u);
  EXPECT_EQ(fact(s, "a", "p"), 7u);
  EXPECT_EQ(ok(s.retract_fact("a", 7)), 8u);
  EXPECT_EQ(ok(s.retract_fact("a", 7)), 9u);  // twice is once
  EXPECT_EQ(ok(s.add_rule("a", rule_with_id(1, "r"))), 10u);
  EXPECT_EQ(ok(s.retract_fact("a", 10)), 11u);  // a rule cannot be withdrawn
  EXPECT_EQ(ok(s.retract_fact("a", 8)), 12u);   // nor a retraction

  EXPECT_EQ(fact_ids(s, "a"), (std::vector<uint64_t>{3}));
  EXPECT_EQ(fact_ids(s, "b"), (std::vector<uint64_t>{4}));
  EXPECT_EQ(ok(s.get_rules("a", std::nullopt)).size(), 1u);

  EXPECT_TRUE(fact_ids(s, "a", 0).empty());
  EXPECT_TRUE(ok(s.get_rules("a", 0)).empty());
  // Between an assertion and its retraction the assertion is visible.
  EXPECT_EQ(fact_ids(s, "a", 7), (std::vector<uint64_t>{3, 7}));
  EXPECT_EQ(fact_ids(s, "a", 1), (std::vector<uint64_t>{}));
  EXPECT_EQ(fact_ids(s, "a", 12), fact_ids(s, "a"));
  EXPECT_EQ(fact_ids(s, "a", std::numeric_limits<uint64_t>::max()), fact_ids(s, "a"));
  EXPECT_TRUE(ok(s.get_rules("a", 9)).empty());
  EXPECT_EQ(ok(s.get_rules("a", 10)).size(), 1u);

  auto facts = ok(s.get_facts("a", std::nullopt));
  ASSERT_EQ(facts.size(), 1u);
  EXPECT_EQ(facts[0].pred_name, "p");
  EXPECT_EQ(facts[0].args, (std::vector<uint64_t>{1}));
  EXPECT_EQ(facts[0].b, 1.0);
  EXPECT_EQ(facts[0].d, 0.0);
  EXPECT_EQ(facts[0].source, std::nullopt);
}

TEST(EdbStoreTest, RulesAndConstraintsKeepOrderAndDuplicates) {
  EdbStore s = temp_store();
  ok(s.add_rule("m", rule_with_id(5, "first")));
  ok(s.add_constraint("m", constraint_with_id(3)));
  ok(s.add_rule("other", rule_with_id(5, "elsewhere")));
  ok(s.add_rule("m", rule_with_id(5, "second")));
  ok(s.add_constraint("m", constraint_with_id(3)));
  ok(s.add_constraint("m", constraint_with_id(1)));
  auto rules = ok(s.get_rules("m", std::nullopt));
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0].head_pred_name, "first");
  EXPECT_EQ(rules[1].head_pred_name, "second");
  EXPECT_EQ(encode_rule(rules[1]), encode_rule(rule_with_id(5, "second")));
  auto cs = ok(s.get_constraints("m", std::nullopt));
  ASSERT_EQ(cs.size(), 3u);
  EXPECT_EQ(cs[0].id, 3u);
  EXPECT_EQ(cs[1].id, 3u);
  EXPECT_EQ(cs[2].id, 1u);
  EXPECT_EQ(encode_constraint(cs[2]), encode_constraint(constraint_with_id(1)));
  EXPECT_EQ(ok(s.get_constraints("m", 2)).size(), 1u);
  EXPECT_TRUE(ok(s.get_facts("m", std::nullopt)).empty());
}

TEST(EdbStoreTest, BranchNamesAreExactBytes) {
  EdbStore s = temp_store();
  const std::vector<std::string> names = {"main", "Main", "main ", "", "\xc3\xa9t\xc3\xa9",
                                          "e\xcc\x81", "\x7f", "ma"};
  std::vector<uint64_t> ids;
  for (const std::string& n : names) ids.push_back(fact(s, n, "p"));
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(fact_ids(s, names[i]), (std::vector<uint64_t>{ids[i]})) << names[i];
  }
  EXPECT_TRUE(fact_ids(s, "m").empty());
  EXPECT_EQ(ok(s.list_branches()),
            (std::vector<std::string>{"", "Main", "e\xcc\x81", "ma", "main", "main ", "\x7f",
                                      "\xc3\xa9t\xc3\xa9"}));
}

TEST(EdbStoreTest, FactsComeInAscendingEventId) {
  EdbStore s = temp_store();
  std::vector<uint64_t> expect;
  for (uint64_t i = 0; i < 300; ++i) {
    uint64_t id = fact(s, i % 3 == 0 ? "x" : "y", "p", {i});
    if (i % 3 == 0 && i % 7 != 0) expect.push_back(id);
    if (i % 3 == 0 && i % 7 == 0) ok(s.retract_fact("x", id));
  }
  EXPECT_EQ(fact_ids(s, "x"), expect);
}

// A record whose own id differs from its key (only possible by writing the
// tree directly): each assertion id is returned once, the later record wins,
// and the list stays sorted.
TEST(EdbStoreTest, RecordsUnderForeignKeys) {
  EdbStore s = temp_store();
  for (uint64_t id : {1, 2, 3}) ASSERT_EQ(ok(s.next_event_id()), id);
  ok(s.append_event(AssertFactEvent{5, "a", "first", 0, {}, 1.0, 0.0, std::nullopt}));
  ASSERT_TRUE(s.events_tree().insert(
      event_key(1), encode_event(AssertFactEvent{5, "a", "second", 0, {}, 1.0, 0.0, std::nullopt})));
  ASSERT_TRUE(s.events_tree().insert(
      event_key(2), encode_event(AssertFactEvent{4, "a", "third", 0, {}, 1.0, 0.0, std::nullopt})));
  auto facts = ok(s.get_facts("a", std::nullopt));
  ASSERT_EQ(facts.size(), 2u);
  EXPECT_EQ(facts[0].event_id, 4u);
  EXPECT_EQ(facts[1].event_id, 5u);
  EXPECT_EQ(facts[1].pred_name, "first");  // key 5 comes after key 1
}

TEST(EdbStoreTest, DeclarePredicateIsDecodedAndIgnored) {
  EdbStore s = temp_store();
  fact(s, "a", "p");
  uint64_t id = ok(s.next_event_id());
  EXPECT_EQ(ok(s.append_event(DeclarePredicateEvent{id, "only-declared", "p", 1})), id);
  uint64_t id2 = ok(s.next_event_id());
  ok(s.append_event(DeclarePredicateEvent{id2, "a", "p", 1}));
  ok(s.retract_fact("only-retracted", 1));
  EXPECT_EQ(fact_ids(s, "a"), (std::vector<uint64_t>{1}));
  EXPECT_TRUE(ok(s.get_rules("a", std::nullopt)).empty());
  EXPECT_TRUE(ok(s.get_constraints("a", std::nullopt)).empty());
  EXPECT_TRUE(fact_ids(s, "only-declared").empty());
  EXPECT_EQ(ok(s.list_branches()),
            (std::vector<std::string>{"a", "only-declared", "only-retracted"}));
  auto stored = ok(s.events_tree().get(event_key(id)));
  ASSERT_TRUE(stored);
  auto e = decode_event(*stored);
  ASSERT_TRUE(e);
  const auto& p = std::get<DeclarePredicateEvent>(*e);
  EXPECT_EQ(p.event_id, id);
  EXPECT_EQ(p.branch, "only-declared");
  EXPECT_EQ(p.pred_name, "p");
  EXPECT_EQ(p.pred_arity, 1u);
}

TEST(EdbStoreTest, CorruptRecordFailsEveryReadReachingIt) {
  const std::string bad_variant =
      "Bincode(Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\"))";
  EdbStore s = temp_store();
  fact(s, "x", "p");                                   // 1
  fact(s, "y", "p");                                   // 2
  ASSERT_EQ(ok(s.next_event_id()), 3u);
  ASSERT_TRUE(s.events_tree().insert(event_key(3), std::string("\x05\0\0\0", 4)));
  fact(s, "x", "p");                                   // 4

  for (const char* b : {"x", "y", "nobody"}) {
    EXPECT_EQ(err(s.get_facts(b, std::nullopt)), bad_variant) << b;
    EXPECT_EQ(err(s.get_rules(b, std::nullopt)), bad_variant) << b;
    EXPECT_EQ(err(s.get_constraints(b, std::nullopt)), bad_variant) << b;
    // Record 3 is the first beyond watermark 2: it is still decoded.
    EXPECT_EQ(err(s.get_facts(b, 2)), bad_variant) << b;
  }
  EXPECT_EQ(err(s.list_branches()), bad_variant);
  // A scan that stops at a sound record before it does not see it.
  EXPECT_EQ(fact_ids(s, "x", 1), (std::vector<uint64_t>{1}));
  EXPECT_TRUE(ok(s.get_rules("y", 0)).empty());

  // Other corruptions in other branches and fields, each with its own text.
  struct Case {
    std::string record;
    std::string text;
  };
  std::string tag = encode_event(AssertFactEvent{5, "z", "p", 0, {}, 1.0, 0.0, std::nullopt});
  tag.back() = 7;
  std::string cut = encode_event(RetractFactEvent{5, "z", 1});
  cut.resize(cut.size() - 1);
  Rule r = rule_with_id(1, "r");
  std::string negated = encode_event(AddRuleEvent{5, "z", r});
  // head: 4 + 8 + 8 + 1; rule: id, name, arity, one Var "X" (13 bytes),
  // body count, goal index, name "q", arity, then the negated byte.
  negated[21 + 8 + 9 + 8 + 8 + 13 + 8 + 4 + 9 + 8] = 2;
  for (const Case& c : std::vector<Case>{
           {tag, "Bincode(InvalidTagEncoding(7))"},
           {cut, "Bincode(Io(Kind(UnexpectedEof)))"},
           {negated, "Bincode(InvalidBoolEncoding(2))"},
           {std::string("\0\0\0\0\x05\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0\xc3(", 22),
            "Bincode(InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) }))"},
       }) {
    ASSERT_TRUE(s.events_tree().insert(event_key(3), c.record));
    EXPECT_EQ(err(s.get_facts("x", std::nullopt)), c.text);
    EXPECT_EQ(err(s.get_rules("y", std::nullopt)), c.text);
    EXPECT_EQ(err(s.get_constraints("y", 2)), c.text);
    EXPECT_EQ(err(s.list_branches()), c.text);
  }

  // A corrupt first record fails even a read with watermark 0.
  EdbStore t = temp_store();
  ASSERT_EQ(ok(t.next_event_id()), 1u);
  std::string first = encode_event(AssertFactEvent{1, "x", "p", 0, {}, 1.0, 0.0, std::nullopt});
  first.pop_back();  // the source tag is missing
  ASSERT_TRUE(t.events_tree().insert(event_key(1), first));
  EXPECT_EQ(err(t.get_facts("x", 0)), "Bincode(Io(Kind(UnexpectedEof)))");
  EXPECT_EQ(err(t.get_constraints("other", 0)), "Bincode(Io(Kind(UnexpectedEof)))");
}

}  // namespace
}  // namespace ruvo
