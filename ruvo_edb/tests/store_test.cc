// EdbStore: event records, ids, branch views, failures and a killed writer.
#include "ruvo_edb/src/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

#include "ruvo_core/src/fault.h"
#include "ruvo_edb/src/event_log.h"
#include "testing/test_support.h"

namespace ruvo {
namespace {

using bincode::u64_be;
using test::dump;
using test::err;
using test::le32;
using test::le64;
using test::ok;
using test::str_rec;
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

TEST(EdbStoreTest, ErrorTextsIdsCounterGapsAndReopen) {
  EXPECT_EQ(EdbError(EdbError::EventNotFound{5}).debug(), "EventNotFound(5)");
  EXPECT_EQ(EdbError(EdbError::UnknownBranch{"a\"b\\c\nd\te"}).debug(),
            "UnknownBranch(\"a\\\"b\\\\c\\nd\\te\")");
  EXPECT_EQ(EdbError(kv::Error{"IO error: disk full"}).debug(), "Sled(\"IO error: disk full\")");
  test::ScratchDir dir;
  {
    EdbStore s = file_store(dir.path());
    EXPECT_EQ(ok(s.current_watermark()), 0u);
    EXPECT_EQ(fact(s, "main"), 1u);
    EXPECT_EQ(ok(s.add_rule("main", rule(7, "r"))), 2u);
    EXPECT_EQ(ok(s.add_constraint("main", constraint(1))), 3u);
    // A retraction of an id nobody has is stored like any other.
    EXPECT_EQ(ok(s.retract_fact("side", 1000)), 4u);
    EXPECT_EQ(dump(s.events_tree())[3].second, encode_event(RetractFactEvent{4, "side", 1000}));
    // The meta tree holds the counter and nothing else.
    EXPECT_EQ(dump(s.meta_tree()), (test::Entries{{kCounter, u64_be(5)}}));
    EXPECT_EQ(ok(s.current_watermark()), 4u);
    // An id taken without a record (as a failed append leaves it) is a gap:
    // never handed out again, counted by the watermark, tolerated by readers.
    EXPECT_EQ(ok(s.next_event_id()), 5u);
    EXPECT_EQ(fact(s, "main"), 6u);
    EXPECT_EQ(ok(s.current_watermark()), 6u);
    EXPECT_FALSE(ok(s.events_tree().contains(event_key(5))));
    EXPECT_EQ(fact_ids(s, "main", 5), (Ids{1}));
    // Nothing is validated: arity 3 with two arguments.
    ok(s.assert_fact("", "", 3, {8, 9}, -2.0, 0.5, std::string("")));
    const GroundFact f = ok(s.get_facts("", std::nullopt)).at(0);
    EXPECT_EQ(std::tie(f.event_id, f.pred_arity, f.args, f.b, f.d, f.source),
              std::make_tuple(7ul, 3ul, Ids{8, 9}, -2.0, 0.5, std::optional<std::string>("")));
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
  EXPECT_EQ(fact(s, "main"), 42u);
}

TEST(EdbStoreTest, BrokenCounterFaultsAndWritesNothing) {
  for (std::string bad : {std::string("abc"), std::string(9, '\0')}) {
    EdbStore s = temp_store();
    fact(s, "main");
    ok(s.meta_tree().insert(kCounter, bad));
    EXPECT_THROW((void)fact(s, "main"), Fault);
    EXPECT_THROW((void)s.add_rule("main", rule(1, "r")), Fault);
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

// A counter not above every stored id faults on open and writes nothing; a
// missing one is seeded with 1 only when that is safe.
TEST(EdbStoreTest, CounterNotAboveStoredIdsFaultsOnOpen) {
  const std::string stray("\xff", 1), long_key = event_key(9) + "x";
  const std::tuple<std::optional<std::string>, Names, bool> cases[] = {
      {std::nullopt, {}, true}, {std::nullopt, {event_key(0)}, true},
      {std::nullopt, {event_key(1)}, false}, {u64_be(4), {event_key(1), event_key(3)}, true},
      {u64_be(3), {event_key(1), event_key(3)}, false},
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
  ok(s.retract_fact("b", 3)), ok(s.retract_fact("a", 4));  // 5, 6
  EXPECT_EQ(fact(s, "a"), 7u);
  ok(s.retract_fact("a", 7)), ok(s.retract_fact("a", 7));  // 8, 9: twice is once
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
}

// One write of a log script; the n-th step gets id n. 'f' asserts a fact,
// 'x' retracts `target`, 'r' adds a rule, 'c' a constraint.
struct Step {
  char op;
  const char* branch;
  uint64_t target = 0;
};

// Retraction targets arrive in any order, repeat, and name facts of other
// branches, non-facts and no event at all.
TEST(EdbStoreTest, RetractionTargetsInAnyOrder) {
  const Step f{'f', "a"}, g{'f', "b"};
  auto x = [](uint64_t target, const char* branch = "a") { return Step{'x', branch, target}; };
  const std::tuple<const char*, std::vector<Step>, std::optional<uint64_t>, Ids, Ids> cases[] = {
      {"ascending", {f, f, f, f, x(1), x(3)}, {}, {2, 4}, {}},
      {"descending", {f, f, f, f, f, x(5), x(3), x(1)}, {}, {2, 4}, {}},
      {"interleaved", {f, f, f, f, f, f, x(4), x(1), x(6), x(2)}, {}, {3, 5}, {}},
      {"repeated", {f, f, f, f, x(3), x(1), x(3)}, {}, {2, 4}, {}},
      {"repeated, then lower", {f, f, f, f, x(4), x(4), x(2)}, {}, {1, 3}, {}},
      {"before the targets", {x(5), x(4), x(3), f, f, f}, {}, {6}, {}},
      {"two branches", {f, g, f, g, f, x(5, "b"), x(4), x(4, "b"), x(3), x(1), x(1, "b")}, {},
       {5}, {2}},
      // A rule, a constraint, a retraction, another branch's fact, no event.
      {"non-facts", {{'r', "a"}, {'c', "a"}, f, g, f, x(5), x(6), x(4), x(2), x(1), x(99)}, {},
       {3}, {4}},
      {"watermark", {f, f, f, f, x(4), x(2), x(1)}, {}, {3}, {}},
      {"watermark 6", {f, f, f, f, x(4), x(2), x(1)}, 6, {1, 3}, {}},
      {"watermark 5", {f, f, f, f, x(4), x(2), x(1)}, 5, {1, 2, 3}, {}},
  };
  for (const auto& [name, log, wm, a, b] : cases) {
    EdbStore s = temp_store();
    size_t rules = 0, constraints = 0;
    for (uint64_t id = 1; const Step& st : log) {
      const uint64_t got = st.op == 'f'   ? fact(s, st.branch)
                           : st.op == 'x' ? ok(s.retract_fact(st.branch, st.target))
                           : st.op == 'r' ? ok(s.add_rule(st.branch, rule(id, "h")))
                                          : ok(s.add_constraint(st.branch, constraint(id)));
      ASSERT_EQ(got, id++) << name;
      rules += st.op == 'r' && (!wm || got <= *wm);
      constraints += st.op == 'c' && (!wm || got <= *wm);
    }
    for (const auto& [branch, want] : {std::pair("a", a), std::pair("b", b)}) {
      Ids got = fact_ids(s, branch, wm);
      std::ranges::sort(got);
      EXPECT_EQ(got, want) << name << " branch " << branch;
      if (wm) continue;
      // The one-pass read of a branch's program sees what the three views see.
      const BranchProgram p = ok(s.get_program(branch));
      Ids program_ids;
      for (const GroundFact& f : p.facts) program_ids.push_back(f.event_id);
      EXPECT_EQ(program_ids, fact_ids(s, branch)) << name << " branch " << branch;
      EXPECT_EQ(p.rules.size(), ok(s.get_rules(branch, {})).size()) << name << " branch " << branch;
      EXPECT_EQ(p.constraints.size(), ok(s.get_constraints(branch, {})).size()) << name;
    }
    // Rules and constraints cannot be withdrawn.
    EXPECT_EQ(ok(s.get_rules("a", wm)).size(), rules) << name;
    EXPECT_EQ(ok(s.get_constraints("a", wm)).size(), constraints) << name;
  }
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

  // Branch names are exact bytes, listed in byte order; a declaration
  // only names its branch.
  EdbStore t = temp_store();
  const Names names = {"main", "Main", "main ", "", "\xc3\xa9t\xc3\xa9", "ma"};
  for (const std::string& n : names) fact(t, n);
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(fact_ids(t, names[i]), (Ids{i + 1}));
  EXPECT_EQ(ok(t.append_event(DeclarePredicateEvent{ok(t.next_event_id()), "decl", "p", 1})), 7u);
  EXPECT_TRUE(fact_ids(t, "m").empty() && fact_ids(t, "decl").empty());
  EXPECT_TRUE(enc(t.get_rules("decl", std::nullopt)).empty());
  EXPECT_EQ(ok(t.list_branches()),
            (Names{"", "Main", "decl", "ma", "main", "main ", "\xc3\xa9t\xc3\xa9"}));
}

TEST(EdbStoreTest, CorruptRecordFailsEveryReadReachingIt) {
  EdbStore s = temp_store();
  fact(s, "x");  // 1
  fact(s, "y");  // 2
  ASSERT_EQ(ok(s.next_event_id()), 3u);
  fact(s, "x");  // 4
  std::string cut = encode_event(RetractFactEvent{5, "z", 1});
  cut.pop_back();
  const std::string text = "Bincode(Io(Kind(UnexpectedEof)))";
  ok(s.events_tree().insert(event_key(3), cut));
  // Every branch's reads reach record 3, also with watermark 2: the first
  // record beyond the watermark is still decoded.
  for (const char* b : {"x", "nobody"}) {
    EXPECT_EQ(err(s.get_facts(b, 2)), text) << b;
    EXPECT_EQ(err(s.get_rules(b, std::nullopt)), text) << b;
    EXPECT_EQ(err(s.get_constraints(b, 2)), text) << b;
  }
  EXPECT_EQ(err(s.list_branches()), text);
  // A scan that stops at a sound record before it does not see it.
  EXPECT_EQ(fact_ids(s, "x", 1), (Ids{1}));
  // A corrupt first record fails even a read with watermark 0.
  ok(s.events_tree().insert(event_key(1), cut));
  EXPECT_EQ(err(s.get_rules("y", 0)), text);
}


const Rule kRule{9, "path", 2, {Term::var("X"), Term::var("Z")},
                 {AtomGoal{"edge", 2, false, {Term::var("X"), Term::var("Y")}},
                  AtomGoal{"path", 2, true, {Term::var("Y"), Term::constant(5)}},
                  BuiltinGoal{BuiltinOp::Ne, {Term::var("X"), Term::integer(-3)}}},
                 0.75, std::numeric_limits<double>::quiet_NaN()};
const Constraint kConstraint{
    2, {BuiltinGoal{BuiltinOp::Ne, {Term::var("A"), Term::var("B")}}}, 0.0, 1.0};

TEST(EventRecord, LayoutAndRoundTripOfEveryVariant) {
  EXPECT_EQ(event_key(256), std::string("\0\0\0\0\0\0\x01\0", 8));
  const std::pair<EdbEvent, std::string> cases[] = {
      {AssertFactEvent{1, "a", "p", 1, {7}, 1.0, 0.0, std::string("src")},
       le32(0) + le64(1) + str_rec("a") + str_rec("p") + le64(1) + le64(1) + le64(7) +
           le64(0x3ff0000000000000) + le64(0) + "\x01" + str_rec("src")},
      // An empty branch, an empty name and no arguments: the 61-byte minimum.
      {AssertFactEvent{3, "", "", 0, {}, 0.0, 0.0, std::nullopt},
       le32(0) + le64(3) + std::string(48, '\0') + '\0'},
      {DeclarePredicateEvent{4, "br", "pred", 3},
       le32(1) + le64(4) + str_rec("br") + str_rec("pred") + le64(3)},
      // Nested rule and constraint records follow the head unchanged.
      {AddRuleEvent{6, "b", kRule}, le32(2) + le64(6) + str_rec("b") + encode_rule(kRule)},
      {AddConstraintEvent{5, "b", kConstraint},
       le32(3) + le64(5) + str_rec("b") + encode_constraint(kConstraint)},
      {RetractFactEvent{2, "", 1}, le32(4) + le64(2) + str_rec("") + le64(1)}};
  for (const auto& [event, bytes] : cases) {
    EXPECT_EQ(encode_event(event), bytes);
    // Bytes after a complete record are ignored; byte equality covers every
    // field, NaN payloads included.
    auto back = decode_event(bytes + "trailing junk");
    ASSERT_TRUE(back) << EdbError(back.error()).debug();
    EXPECT_EQ(back->index(), event.index());
    EXPECT_EQ(std::pair(event_id_of(*back), branch_of(*back)),
              std::pair(event_id_of(event), branch_of(event)));
    EXPECT_EQ(encode_event(*back), bytes);
  }
}

TEST(EventRecord, DecodingFailuresCarryTheCodecError) {
  const std::string fact =
      encode_event(AssertFactEvent{1, "a", "p", 1, {7}, 1.0, 0.0, std::nullopt});
  auto patched = [](std::string r, size_t at, std::string_view with) {
    return r.replace(at, with.size(), with);
  };
  // A head term of the nested rule whose variant index is 5: the core
  // record's own error.
  const std::string add_rule = encode_event(AddRuleEvent{1, "a", kRule});
  const size_t first_term = 21 + 8 + 8 + 4 + 8 + 8;
  ASSERT_EQ(add_rule[first_term], 0);
  const std::pair<std::string, std::string> cases[] = {
      // The index is unsigned: 0xffffffff is not negative.
      {patched(fact, 0, "\xff\xff\xff\xff"),
       "Custom(\"invalid value: integer `4294967295`, expected variant index 0 <= i < 5\")"},
      {patched(fact, 70, "\x02"), "InvalidTagEncoding(2)"},  // the source tag
      {fact.substr(0, 21), "Io(Kind(UnexpectedEof))"},
      {patched(add_rule, first_term, "\x05"),
       "Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\")"}};
  for (const auto& [record, text] : cases) {
    auto e = decode_event(record);
    EXPECT_EQ(e ? "decoded" : EdbError(e.error()).debug(), "Bincode(" + text + ")");
  }
}

// A record written out field by field, so that each field can be damaged on
// its own. Kinds: 'i' variant index (with the number of variants), 'u' eight
// fixed bytes, 'n' count of a u64 list, 'l' string length, 't' string bytes,
// 'o' option tag, 'b' bool.
struct Field {
  char kind;
  std::string bytes;
  uint32_t variants = 0;
};
struct Rec {
  std::vector<Field> fields;
  Rec& add(Field f) { return fields.push_back(std::move(f)), *this; }
  Rec& idx(uint32_t v, uint32_t n) { return add({'i', le32(v), n}); }
  Rec& u(uint64_t v, char kind = 'u') { return add({kind, le64(v)}); }
  Rec& f(double v) { return u(std::bit_cast<uint64_t>(v)); }
  Rec& str(std::string_view s) { return u(s.size(), 'l').add({'t', std::string(s)}); }
  Rec& var(std::string_view name) { return idx(0, 5).str(name); }
  Rec& then(const Rec& r) {
    fields.insert(fields.end(), r.fields.begin(), r.fields.end());
    return *this;
  }
  std::string bytes() const {
    std::string out;
    for (const Field& f : fields) out += f.bytes;
    return out;
  }
};

// Damaged copies of a record's field k, each with the codec error it must give.
std::vector<std::pair<std::string, std::string>> damages(const Rec& rec, size_t k) {
  const std::string whole = rec.bytes(), eof = "Io(Kind(UnexpectedEof))",
                    eof_bytes = "Io(Custom { kind: UnexpectedEof, error: \"\" })";
  const Field& f = rec.fields[k];
  size_t at = 0;
  for (size_t i = 0; i < k; ++i) at += rec.fields[i].bytes.size();
  const size_t rest = whole.size() - at - f.bytes.size(), n = f.bytes.size();
  auto with = [&](const std::string& b) { return std::string(whole).replace(at, n, b); };
  // Cut inside the field (just before it, for a one-byte field).
  std::vector<std::pair<std::string, std::string>> out{
      {whole.substr(0, at + n / 2), f.kind == 't' ? eof_bytes : eof}};
  const std::string v = std::to_string(f.variants);
  if (f.kind == 'i')
    out.emplace_back(with(le32(f.variants)), "Custom(\"invalid value: integer `" + v +
                                                 "`, expected variant index 0 <= i < " + v + "\")");
  if (f.kind == 'n') out.emplace_back(with(le64(rest / 8 + 1)), eof);
  if (f.kind == 'l') out.emplace_back(with(le64(rest + 1)), eof_bytes);  // runs past the end
  if (f.kind == 't')
    out.emplace_back(with(f.bytes.substr(0, n - 1) + "\xff"),
                     "InvalidUtf8Encoding(Utf8Error { valid_up_to: " + std::to_string(n - 1) +
                         ", error_len: Some(1) })");
  if (f.kind == 'o') out.emplace_back(with("\x02"), "InvalidTagEncoding(2)");
  if (f.kind == 'b') out.emplace_back(with("\x02"), "InvalidBoolEncoding(2)");
  return out;
}

// Every field of every kind of record, damaged in every way: each read that
// reaches the record fails with the codec's error, whatever the reader, the
// branch or the record's variant; reads that stop before it answer as before;
// nothing is written.
TEST(EventRecord, DamagedFieldOfEveryVariantFailsEveryReadReachingIt) {
  auto head = [](uint32_t variant) { return Rec().idx(variant, 5).u(3).str("a"); };
  const Rule r{4, "h", 1, {Term::var("X")},
               {AtomGoal{"q", 1, true, {Term::constant(6)}},
                BuiltinGoal{BuiltinOp::Ne, {Term::var("Y"), Term::integer(-3)}}},
               0.5, 0.25};
  const Rec rule_rec = Rec().u(4).str("h").u(1).u(1).var("X").u(2)
                           .idx(0, 2).str("q").u(1).add({'b', "\x01"}).u(1).idx(1, 5).u(6)
                           .idx(1, 2).idx(1, 19).u(2).var("Y").idx(2, 5).u(uint64_t(-3))
                           .f(0.5).f(0.25);
  const Constraint c{5, {BuiltinGoal{BuiltinOp::Lt, {Term::var("A"), Term::constant(4)}}}, 1, 0};
  const Rec constraint_rec =
      Rec().u(5).u(1).idx(1, 2).idx(2, 19).u(2).var("A").idx(1, 5).u(4).f(1).f(0);
  const std::pair<EdbEvent, Rec> cases[] = {
      {AssertFactEvent{3, "a", "pq", 2, {7, 8}, 0.5, 0.25, "src"},
       head(0).str("pq").u(2).u(2, 'n').u(7).u(8).f(0.5).f(0.25).add({'o', "\x01"}).str("src")},
      {DeclarePredicateEvent{3, "a", "p", 1}, head(1).str("p").u(1)},
      {AddRuleEvent{3, "a", r}, head(2).then(rule_rec)},
      {AddConstraintEvent{3, "a", c}, head(3).then(constraint_rec)},
      {RetractFactEvent{3, "a", 2}, head(4).u(2)}};
  EdbStore s = temp_store();
  fact(s, "a"), fact(s, "b");
  ASSERT_EQ(ok(s.next_event_id()), 3u);
  const test::Entries meta = dump(s.meta_tree());
  for (const auto& [event, rec] : cases) {
    ASSERT_EQ(rec.bytes(), encode_event(event));
    ok(s.events_tree().insert(event_key(3), rec.bytes()));
    ASSERT_EQ(ok(s.list_branches()), (Names{"a", "b"}));  // sound, it reads
    for (size_t k = 0; k < rec.fields.size(); ++k) {
      for (const auto& [bad, text] : damages(rec, k)) {
        const std::string want = "Bincode(" + text + ")",
                          label = "variant " + std::to_string(event.index()) + " field " +
                                  std::to_string(k) + " " + rec.fields[k].kind;
        ok(s.events_tree().insert(event_key(3), bad));
        const test::Entries events = dump(s.events_tree());
        auto decoded = decode_event(bad);
        EXPECT_EQ(decoded ? "decoded" : EdbError(decoded.error()).debug(), want) << label;
        for (const std::string& got :
             {err(s.get_facts("a", {})), err(s.get_facts("b", 2)), err(s.get_rules("a", {})),
              err(s.get_rules("b", {})), err(s.get_constraints("a", 2)),
              err(s.get_constraints("b", {})), err(s.list_branches()), err(s.get_program("a")),
              err(s.get_program("b"))})
          EXPECT_EQ(got, want) << label;
        EXPECT_EQ(fact_ids(s, "a", 1), Ids{1}) << label;  // stops at the sound record 2
        EXPECT_EQ(dump(s.events_tree()), events) << label;
        EXPECT_EQ(dump(s.meta_tree()), meta) << label;
      }
    }
  }
}

// The k-th event the writer appends, with the id the store gave it.
EdbEvent kth_event(uint64_t k, uint64_t id) {
  const std::string branch = "branch-" + std::to_string(k % 3);
  switch (k % 4) {
    case 0:
      return AssertFactEvent{id, branch, "p" + std::to_string(k % 5), 2, {k, k * 7}, 0.5, 0.25,
                             k % 8 ? std::nullopt : std::optional("source " + std::to_string(k))};
    case 1: return RetractFactEvent{id, branch, k / 2};
    case 2: return AddRuleEvent{id, branch, rule(k, "h")};
    default: return AddConstraintEvent{id, branch, constraint(k)};
  }
}

uint64_t write_kth(const EdbStore& s, uint64_t k) {
  EdbEvent e = kth_event(k, 0);
  if (auto* a = std::get_if<AssertFactEvent>(&e))
    return ok(
        s.assert_fact(a->branch, a->pred_name, a->pred_arity, a->args, a->b, a->d, a->source));
  if (auto* r = std::get_if<RetractFactEvent>(&e))
    return ok(s.retract_fact(r->branch, r->target_event_id));
  if (auto* r = std::get_if<AddRuleEvent>(&e)) return ok(s.add_rule(r->branch, std::move(r->rule)));
  auto& c = std::get<AddConstraintEvent>(e);
  return ok(s.add_constraint(c.branch, std::move(c.constraint)));
}

TEST(EdbCrashTest, KilledWriterKeepsEveryReportedEvent) {
  test::KilledWriter run(2, 3000, [](const std::string& dir, int fd) {
    EdbStore s = ok(EdbStore::from_db(ok(kv::Db::open(dir))));
    for (uint64_t k = 0;; ++k) test::send_ack(fd, {k, write_kth(s, k)});
  });
  EdbStore s = ok(EdbStore::from_db(ok(kv::Db::open(run.dir()))));
  uint64_t prev_id = 0;
  for (const std::string& ack : run.acks()) {
    const uint64_t k = test::ack_word(ack, 0), id = test::ack_word(ack, 1);
    EXPECT_GT(id, std::exchange(prev_id, id)) << "ids must grow with the order of appends";
    EXPECT_EQ(ok(s.events_tree().get(event_key(id))), encode_event(kth_event(k, id))) << id;
  }
  const test::Entries records = test::dump(s.events_tree());
  EXPECT_GE(records.size(), run.acks().size());
  ok(s.list_branches());  // every stored record decodes
  // The counter went on past every stored id: none is handed out twice.
  const uint64_t max_key = bincode::get_u64_be(records.back().first.data());
  EXPECT_GE(ok(s.current_watermark()), max_key);
  EXPECT_GT(ok(s.assert_fact("after", "p", 0, {}, 1.0, 0.0, std::nullopt)), max_key);
}

}  // namespace
}  // namespace ruvo
