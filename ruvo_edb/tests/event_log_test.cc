// Event records: layout, round trips and decoding failures.
#include "ruvo_edb/src/event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "ruvo_edb/src/store.h"
#include "testing/test_support.h"

namespace ruvo {
namespace {

using test::le32;
using test::le64;
using test::str_rec;

// The debug text a reader reports for a record that fails to decode.
std::string failure_text(std::string_view record) {
  auto e = decode_event(record);
  return e ? "decoded" : EdbError(e.error()).debug();
}

Rule sample_rule() {
  return Rule{9,
              "path",
              2,
              {Term::var("X"), Term::var("Z")},
              {AtomGoal{"edge", 2, false, {Term::var("X"), Term::var("Y")}},
               AtomGoal{"path", 2, true, {Term::var("Y"), Term::constant(5)}},
               BuiltinGoal{BuiltinOp::Ne, {Term::var("X"), Term::integer(-3)}}},
              0.75,
              std::numeric_limits<double>::quiet_NaN()};
}

Constraint sample_constraint() {
  return Constraint{2, {BuiltinGoal{BuiltinOp::Ne, {Term::var("A"), Term::var("B")}}}, 0.0, 1.0};
}

std::vector<EdbEvent> every_variant() {
  return {AssertFactEvent{1, "main", "likes", 3, {1, 2}, -0.5, 2.0, std::string("sensor \xc3\xa9")},
          AssertFactEvent{2, "", "", 0, {}, 0.0, 0.0, std::nullopt},
          DeclarePredicateEvent{3, "main", "likes", 2},
          AddRuleEvent{4, "main", sample_rule()},
          AddConstraintEvent{5, "other", sample_constraint()},
          RetractFactEvent{6, "main", 99}};
}

TEST(EventRecord, LayoutOfEveryVariant) {
  EXPECT_EQ(event_key(1), std::string("\0\0\0\0\0\0\0\x01", 8));
  EXPECT_EQ(event_key(256), std::string("\0\0\0\0\0\0\x01\0", 8));
  // An empty branch, an empty name and no arguments: the 61-byte minimum.
  EXPECT_EQ(encode_event(AssertFactEvent{3, "", "", 0, {}, 0.0, 0.0, std::nullopt}).size(), 61u);
  EXPECT_EQ(encode_event(AssertFactEvent{1, "a", "p", 1, {7}, 1.0, 0.0, std::string("src")}),
            le32(0) + le64(1) + str_rec("a") + str_rec("p") + le64(1) + le64(1) + le64(7) +
                le64(0x3ff0000000000000) + le64(0) + "\x01" + str_rec("src"));
  EXPECT_EQ(encode_event(DeclarePredicateEvent{4, "br", "pred", 3}),
            le32(1) + le64(4) + str_rec("br") + str_rec("pred") + le64(3));
  // Nested rule and constraint records follow the head unchanged.
  EXPECT_EQ(encode_event(AddRuleEvent{6, "b", sample_rule()}),
            le32(2) + le64(6) + str_rec("b") + encode_rule(sample_rule()));
  EXPECT_EQ(encode_event(AddConstraintEvent{5, "b", sample_constraint()}),
            le32(3) + le64(5) + str_rec("b") + encode_constraint(sample_constraint()));
  EXPECT_EQ(encode_event(RetractFactEvent{2, "", 1}), le32(4) + le64(2) + str_rec("") + le64(1));
}

TEST(EventRecord, RoundTripsEveryVariant) {
  for (const EdbEvent& e : every_variant()) {
    const std::string bytes = encode_event(e);
    // Bytes after a complete record are ignored; byte equality covers every
    // field, NaN payloads included.
    auto back = decode_event(bytes + "trailing junk");
    ASSERT_TRUE(back) << EdbError(back.error()).debug();
    EXPECT_EQ(back->index(), e.index());
    EXPECT_EQ(event_id_of(*back), event_id_of(e));
    EXPECT_EQ(branch_of(*back), branch_of(e));
    EXPECT_EQ(encode_event(*back), bytes);
    test::expect_every_cut_fails_with_eof(bytes, decode_event);
  }
  const auto fact =
      std::get<AssertFactEvent>(decode_event(encode_event(every_variant()[0])).value());
  EXPECT_EQ(fact.args, (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(fact.source, std::optional<std::string>("sensor \xc3\xa9"));
}

TEST(EventRecord, DecodingFailuresCarryTheCodecError) {
  const std::string fact =
      encode_event(AssertFactEvent{1, "a", "p", 1, {7}, 1.0, 0.0, std::nullopt});
  auto patched = [&](size_t at, std::string_view with) {
    std::string r = fact;
    r.replace(at, with.size(), with);
    return r;
  };
  const std::pair<std::string, std::string> cases[] = {
      {patched(0, "\x05"),
       "Bincode(Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\"))"},
      // The index is unsigned: 0xffffffff is not negative.
      {patched(0, "\xff\xff\xff\xff"),
       "Bincode(Custom(\"invalid value: integer `4294967295`, expected variant index 0 <= i < "
       "5\"))"},
      {patched(70, "\x02"), "Bincode(InvalidTagEncoding(2))"},  // the source tag
      {patched(20, "\xff"),
       "Bincode(InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) }))"},
      {"", "Bincode(Io(Kind(UnexpectedEof)))"},
      {fact.substr(0, 21), "Bincode(Io(Kind(UnexpectedEof)))"},
      // The branch announces 1 byte but none follows.
      {fact.substr(0, 20), "Bincode(Io(Custom { kind: UnexpectedEof, error: \"\" }))"}};
  for (const auto& [record, text] : cases) EXPECT_EQ(failure_text(record), text);

  // Errors inside the nested rule are the core record's own: a head term
  // whose variant index is 5.
  std::string add_rule = encode_event(AddRuleEvent{1, "a", sample_rule()});
  const size_t first_term = 21 + 8 + 8 + 4 + 8 + 8;
  ASSERT_EQ(add_rule[first_term], 0);
  add_rule[first_term] = 5;
  EXPECT_EQ(failure_text(add_rule),
            "Bincode(Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\"))");
}

}  // namespace
}  // namespace ruvo
