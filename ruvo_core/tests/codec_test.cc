// Record codec: error texts, UTF-8 validation, string rendering, and the
// records of terms, goals, rules and constraints.
#include "ruvo_core/src/codec.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

#include "ruvo_core/src/rule.h"
#include "ruvo_core/src/types.h"
#include "testing/test_support.h"

namespace ruvo {
namespace {

using bincode::Error;
using test::bytes;
using test::le32;
using test::le64;
using test::str_rec;

constexpr const char* kVariant5of5 =
    "Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\")";

// A rule touching every kind of field: all five term kinds, positive and
// negated atoms, builtins, a non-ASCII name, NaN weights with payloads.
Rule sample_rule() {
  Rule r;
  r.id = 0x0102030405060708ull;
  r.head_pred_name = "pfad_ä";
  r.head_pred_arity = 2;
  r.head_args = {Term::var("X"), Term::var("Y")};
  r.body = {AtomGoal{"edge", 2, false, {Term::var("X"), Term::var("Z")}},
            AtomGoal{"blocked", 1, true, {Term::constant(42)}},
            BuiltinGoal{BuiltinOp::Between, {Term::integer(-3), Term::floating(2.5), Term::str(7)}},
            BuiltinGoal{BuiltinOp::Duration, {}}};
  r.b = std::bit_cast<double>(uint64_t{0x7ff4000000000abc});
  r.d = std::bit_cast<double>(uint64_t{0xfff8000000000001});
  return r;
}

TEST(CodecErrorTest, DebugTextsAreBincodes) {
  const std::pair<Error, const char*> cases[] = {
      {Error::eof(), "Io(Kind(UnexpectedEof))"},
      {Error::eof_bytes(), "Io(Custom { kind: UnexpectedEof, error: \"\" })"},
      {Error{Error::Kind::kInvalidBool, 2, std::nullopt, {}}, "InvalidBoolEncoding(2)"},
      {Error{Error::Kind::kInvalidTag, 2, std::nullopt, {}}, "InvalidTagEncoding(2)"},
      {Error{Error::Kind::kInvalidUtf8, 3, 1, {}},
       "InvalidUtf8Encoding(Utf8Error { valid_up_to: 3, error_len: Some(1) })"},
      {Error{Error::Kind::kInvalidUtf8, 0, std::nullopt, {}},
       "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: None })"},
      {Error::invalid_variant(5, 5), kVariant5of5},
      {Error::invalid_variant(4294967295u, 19),
       "Custom(\"invalid value: integer `4294967295`, expected variant index 0 <= i < 19\")"},
      // Custom messages are rendered as escaped strings.
      {Error{Error::Kind::kCustom, 0, std::nullopt, "say \"hi\"\n"},
       "Custom(\"say \\\"hi\\\"\\n\")"}};
  for (const auto& [e, text] : cases) EXPECT_EQ(e.debug(), text);
}

TEST(Utf8Test, MatchesStrFromUtf8) {
  struct Case {
    const char* in;
    int valid_up_to;  // -1: the input is valid
    const char* error_len;
  };
  const Case cases[] = {{"", -1, ""},
                        {"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x8e\x89\xf4\x8f\xbf\xbf", -1, ""},
                        // Bytes that never start a sequence.
                        {"abc\xff", 3, "Some(1)"},
                        {"\x80", 0, "Some(1)"},
                        {"\xc0\x80", 0, "Some(1)"},
                        {"\xc1\xbf", 0, "Some(1)"},
                        {"\xf5\x80\x80\x80", 0, "Some(1)"},
                        // Second byte outside its first byte's range: overlong, surrogate,
                        // above U+10FFFF, no continuation.
                        {"ab\xe0\x80\x80", 2, "Some(1)"},
                        {"\xed\xa0\x80", 0, "Some(1)"},
                        {"\xf0\x80\x80\x80", 0, "Some(1)"},
                        {"\xf4\x90\x80\x80", 0, "Some(1)"},
                        {"\xc3(", 0, "Some(1)"},
                        // A later continuation byte missing.
                        {"\xe2\x82(", 0, "Some(2)"},
                        {"x\xf0\x9f((", 1, "Some(2)"},
                        {"x\xf0\x9f\x98(", 1, "Some(3)"},
                        // Input ends inside a sequence that could still be valid...
                        {"a\xc3", 1, "None"},
                        {"\xe2\x82", 0, "None"},
                        {"\xe2", 0, "None"},
                        {"\xc3\xa9\xf0\x9f\x98", 2, "None"},
                        // ...but an invalid second byte is reported even at the end.
                        {"\xe0\x80", 0, "Some(1)"}};
  for (const Case& c : cases) {
    auto e = bincode::check_utf8(c.in);
    if (c.valid_up_to < 0) {
      EXPECT_FALSE(e.has_value()) << c.in;
    } else {
      ASSERT_TRUE(e.has_value()) << c.in;
      EXPECT_EQ(e->debug(),
                "InvalidUtf8Encoding(Utf8Error { valid_up_to: " + std::to_string(c.valid_up_to) +
                    ", error_len: " + c.error_len + " })");
    }
  }
}

TEST(DebugStrTest, EscapesLikeStrDebug) {
  EXPECT_EQ(bincode::debug_str("edge it's"), "\"edge it's\"");
  EXPECT_EQ(bincode::debug_str(std::string("q\"b\\n\n\r\t\0", 9)), "\"q\\\"b\\\\n\\n\\r\\t\\0\"");
  EXPECT_EQ(bincode::debug_str("\x01\x1b\x7f"), "\"\\u{1}\\u{1b}\\u{7f}\"");
  // Printable non-ASCII stays; C1 controls, non-breaking and zero-width
  // spaces, line separators, combining marks and private use are escaped.
  EXPECT_EQ(bincode::debug_str("\xc3\xa9\xe6\x97\xa5\xf0\x9f\x8e\x89"),
            "\"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x8e\x89\"");
  EXPECT_EQ(
      bincode::debug_str("\xc2\x85|\xc2\xa0|\xe2\x80\x8b|\xe2\x80\xa8|e\xcc\x81|\xee\x80\x80"),
      "\"\\u{85}|\\u{a0}|\\u{200b}|\\u{2028}|e\\u{301}|\\u{e000}\"");
}

TEST(TermRecordTest, WorkedExamplesAndRoundTrips) {
  auto enc = [](const Term& t) {
    return bincode::encode_with([&] { return term_size(t); },
                                [&](bincode::Writer& w) { write_term(w, t); });
  };
  EXPECT_EQ(enc(Term::constant(5)), bytes({1, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(enc(Term::var("")), std::string(12, '\0'));
  EXPECT_EQ(enc(Term::var("A")), le32(0) + str_rec("A"));
  EXPECT_EQ(enc(Term::integer(-2)), le32(2) + le64(static_cast<uint64_t>(-2)));
  EXPECT_EQ(enc(Term::floating(1.0)), le32(3) + le64(0x3ff0000000000000ull));
  EXPECT_EQ(enc(Term::str(9)), le32(4) + le64(9));
  for (const Term& t : {Term::var("Xy"), Term::constant(5), Term::integer(-7), Term::floating(-0.5),
                        Term::str(3)}) {
    const std::string b = enc(t) + "trailing";
    bincode::Reader r(b);
    EXPECT_EQ(read_term(r), t);
    EXPECT_EQ(r.remaining(), 8u);
  }
  const std::string bad = le32(5) + le64(1);
  bincode::Reader r(bad);
  EXPECT_EQ(test::err(read_term(r)), kVariant5of5);
}

TEST(ConstraintRecordTest, WorkedExample74Bytes) {
  Constraint c{2, {BuiltinGoal{BuiltinOp::Ne, {Term::var("A"), Term::var("B")}}}, 0.0, 1.0};
  const std::string expected = le64(2) + le64(1) + le32(1) + le32(1) + le64(2) + le32(0) +
                               str_rec("A") + le32(0) + str_rec("B") + le64(0) +
                               bytes({0, 0, 0, 0, 0, 0, 0xf0, 0x3f});
  ASSERT_EQ(expected.size(), 74u);
  EXPECT_EQ(constraint_size(c), 74u);
  EXPECT_EQ(encode_constraint(c), expected);
  auto back = decode_constraint(expected + "\xff\xff");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->id, 2u);
  EXPECT_EQ(back->body, c.body);
  EXPECT_EQ(encode_constraint(*back), expected);
}

TEST(RuleRecordTest, LayoutAndBitExactRoundTrip) {
  Rule empty{9, "abc", 0, {}, {}, 0.0, 0.0};
  EXPECT_EQ(encode_rule(empty),
            le64(9) + str_rec("abc") + le64(0) + le64(0) + le64(0) + le64(0) + le64(0));
  // Goal lengths: an atom goal is 29 + L + terms, a builtin 16 + terms.
  EXPECT_EQ(goal_size(Goal(AtomGoal{"edge", 2, false, {Term::var("X"), Term::constant(1)}})),
            29u + 4 + 13 + 12);
  EXPECT_EQ(goal_size(Goal(BuiltinGoal{BuiltinOp::Eq, {Term::constant(1)}})), 16u + 12);
  Rule one{0, "p", 0, {}, {AtomGoal{"q", 1, true, {Term::var("X")}}}, 0.0, 0.0};
  EXPECT_EQ(encode_rule(one), le64(0) + str_rec("p") + le64(0) + le64(0) + le64(1) + le32(0) +
                                  str_rec("q") + le64(1) + bytes({1}) + le64(1) + le32(0) +
                                  str_rec("X") + le64(0) + le64(0));

  // Every field survives, NaN payloads in the weights included.
  const Rule r = sample_rule();
  const std::string enc = encode_rule(r);
  EXPECT_EQ(enc.size(), rule_size(r));
  EXPECT_EQ(enc.substr(enc.size() - 16), le64(0x7ff4000000000abc) + le64(0xfff8000000000001));
  auto back = decode_rule(enc + "junk");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->head_pred_name, r.head_pred_name);
  EXPECT_EQ(back->head_args, r.head_args);
  EXPECT_EQ(back->body, r.body);
  EXPECT_EQ(encode_rule(*back), enc);
  Constraint c{1, {}, -std::numeric_limits<double>::infinity(), r.b};
  EXPECT_EQ(encode_constraint(decode_constraint(encode_constraint(c)).value()),
            encode_constraint(c));
}

TEST(RuleRecordTest, DecodingFailuresNameTheFirstBadField) {
  const std::string head = le64(1) + str_rec("p") + le64(1) + le64(0);  // id, name, arity, no args
  auto one_goal = [&](const std::string& goal) {
    return head + le64(1) + goal + le64(0) + le64(0);
  };
  const std::pair<std::string, std::string> cases[] = {
      {one_goal(le32(2)),
       "Custom(\"invalid value: integer `2`, expected variant index 0 <= i < 2\")"},
      // A bad builtin op, with no argument list following.
      {head + le64(1) + le32(1) + le32(19),
       "Custom(\"invalid value: integer `19`, expected variant index 0 <= i < 19\")"},
      {one_goal(le32(0) + str_rec("q") + le64(0) + bytes({2}) + le64(0)), "InvalidBoolEncoding(2)"},
      {one_goal(le32(1) + le32(0) + le64(1) + le32(7) + le64(0)),
       "Custom(\"invalid value: integer `7`, expected variant index 0 <= i < 5\")"},
      // Invalid UTF-8 in the head name, a goal name, a variable name.
      {le64(1) + str_rec("ok\xff") + le64(0) + le64(0) + le64(0),
       "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: Some(1) })"},
      {one_goal(le32(0) + str_rec("\xe2\x82") + le64(0) + bytes({0}) + le64(0)),
       "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: None })"},
      {head.substr(0, 25) + le64(1) + le32(0) + str_rec("V\xed\xa0\x80"),
       "InvalidUtf8Encoding(Utf8Error { valid_up_to: 1, error_len: Some(1) })"},
      // A string announcing more bytes than there are, versus a cut length.
      {le64(1) + le64(5) + "abc", "Io(Custom { kind: UnexpectedEof, error: \"\" })"},
      {le64(1) + le64(5).substr(0, 7), "Io(Kind(UnexpectedEof))"},
      // A count promising far more elements than exist ends at the input's
      // end instead of exhausting memory.
      {head.substr(0, 25) + le64(UINT64_MAX) + le32(1) + le64(2), "Io(Kind(UnexpectedEof))"}};
  for (const auto& [record, text] : cases) EXPECT_EQ(test::err(decode_rule(record)), text);
  EXPECT_EQ(test::err(decode_constraint(le64(1) + le64(uint64_t{1} << 60))),
            "Io(Kind(UnexpectedEof))");

  test::expect_every_cut_fails_with_eof(encode_rule(sample_rule()), decode_rule);
  test::expect_every_cut_fails_with_eof(
      encode_constraint(Constraint{5, sample_rule().body, 1.0, 0.0}), decode_constraint);
}

}  // namespace
}  // namespace ruvo
