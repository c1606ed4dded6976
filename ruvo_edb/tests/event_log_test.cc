// Event records: layout, round trips and decoding failures.
#include "ruvo_edb/src/event_log.h"

#include <gtest/gtest.h>

#include <limits>

#include "ruvo_edb/src/store.h"
#include "testing/test_support.h"

namespace ruvo {
namespace {

using test::le32;
using test::le64;
using test::str_rec;

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
    test::expect_every_cut_fails_with_eof(bytes, decode_event);
  }
  const auto fact = std::get<AssertFactEvent>(decode_event(std::get<1>(cases[0])).value());
  EXPECT_EQ(std::tie(fact.args, fact.source),
            std::make_tuple(std::vector<uint64_t>{7}, std::optional<std::string>("src")));
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
      {patched(fact, 0, "\x05"),
       "Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\")"},
      // The index is unsigned: 0xffffffff is not negative.
      {patched(fact, 0, "\xff\xff\xff\xff"),
       "Custom(\"invalid value: integer `4294967295`, expected variant index 0 <= i < 5\")"},
      {patched(fact, 70, "\x02"), "InvalidTagEncoding(2)"},  // the source tag
      {patched(fact, 20, "\xff"),
       "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })"},
      {"", "Io(Kind(UnexpectedEof))"},
      {fact.substr(0, 21), "Io(Kind(UnexpectedEof))"},
      // The branch announces 1 byte but none follows.
      {fact.substr(0, 20), "Io(Custom { kind: UnexpectedEof, error: \"\" })"},
      {patched(add_rule, first_term, "\x05"),
       "Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\")"}};
  for (const auto& [record, text] : cases) {
    auto e = decode_event(record);
    EXPECT_EQ(e ? "decoded" : EdbError(e.error()).debug(), "Bincode(" + text + ")");
  }
}

}  // namespace
}  // namespace ruvo
