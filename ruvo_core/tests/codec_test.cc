// Record codec: error texts, UTF-8 validation, string rendering, and the
// records of terms, goals, rules and constraints.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/rule.h"
#include "ruvo_core/src/types.h"

namespace ruvo {
namespace {

using bincode::Error;

// Builds bytes from a list of byte values.
std::string bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

std::string le64(uint64_t v) {
  std::string s;
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  return s;
}
std::string le32(uint32_t v) { return le64(v).substr(0, 4); }
std::string str_rec(std::string_view s) { return le64(s.size()) + std::string(s); }

std::string decode_rule_error(std::string_view b) {
  auto r = decode_rule(b);
  return r ? std::string("(decoded)") : r.error().debug();
}
std::string decode_constraint_error(std::string_view b) {
  auto r = decode_constraint(b);
  return r ? std::string("(decoded)") : r.error().debug();
}

std::string utf8_error(std::string_view b) {
  auto e = bincode::check_utf8(b);
  return e ? e->debug() : std::string("(valid)");
}

AtomGoal atom(std::string name, uint64_t arity, bool negated, std::vector<Term> args) {
  return AtomGoal{std::move(name), arity, negated, std::move(args)};
}

// A rule touching every kind of field: all five term kinds, positive and
// negated atoms, a builtin, non-ASCII names.
Rule sample_rule() {
  Rule r;
  r.id = 0x0102030405060708ull;
  r.head_pred_name = "pfad_ä";
  r.head_pred_arity = 2;
  r.head_args = {Term::var("X"), Term::var("Y")};
  r.body = {
      atom("edge", 2, false, {Term::var("X"), Term::var("Z")}),
      atom("pfad_ä", 2, false, {Term::var("Z"), Term::var("Y")}),
      atom("blocked", 1, true, {Term::constant(42)}),
      BuiltinGoal{BuiltinOp::Between, {Term::integer(-3), Term::floating(2.5), Term::str(7)}},
      BuiltinGoal{BuiltinOp::Duration, {}},
  };
  r.b = 0.75;
  r.d = 0.125;
  return r;
}

TEST(CodecErrorTest, DebugTextsAreBincodes) {
  EXPECT_EQ(Error::eof().debug(), "Io(Kind(UnexpectedEof))");
  EXPECT_EQ(Error::eof_bytes().debug(), "Io(Custom { kind: UnexpectedEof, error: \"\" })");
  EXPECT_EQ((Error{Error::Kind::kInvalidBool, 2, std::nullopt, {}}).debug(),
            "InvalidBoolEncoding(2)");
  EXPECT_EQ((Error{Error::Kind::kInvalidTag, 2, std::nullopt, {}}).debug(),
            "InvalidTagEncoding(2)");
  EXPECT_EQ((Error{Error::Kind::kInvalidUtf8, 3, 1, {}}).debug(),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 3, error_len: Some(1) })");
  EXPECT_EQ((Error{Error::Kind::kInvalidUtf8, 0, std::nullopt, {}}).debug(),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: None })");
  EXPECT_EQ(Error::invalid_variant(5, 5).debug(),
            "Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\")");
  EXPECT_EQ(Error::invalid_variant(4294967295u, 19).message,
            "invalid value: integer `4294967295`, expected variant index 0 <= i < 19");
  // Custom messages are rendered as escaped strings.
  EXPECT_EQ((Error{Error::Kind::kCustom, 0, std::nullopt, "say \"hi\"\n"}).debug(),
            "Custom(\"say \\\"hi\\\"\\n\")");
}

TEST(CodecErrorTest, ReaderTagsAndBools) {
  const std::string in = bytes({0, 1, 2, 1, 0, 2});
  bincode::Reader r(in);
  EXPECT_EQ(r.option_tag(), false);
  EXPECT_EQ(r.option_tag(), true);
  EXPECT_EQ(r.option_tag().error().debug(), "InvalidTagEncoding(2)");
  EXPECT_EQ(r.boolean(), true);
  EXPECT_EQ(r.boolean(), false);
  EXPECT_EQ(r.boolean().error().debug(), "InvalidBoolEncoding(2)");
  EXPECT_EQ(r.u8().error(), Error::eof());
}

TEST(Utf8Test, MatchesStrFromUtf8) {
  EXPECT_EQ(utf8_error(""), "(valid)");
  EXPECT_EQ(utf8_error("plain ascii"), "(valid)");
  EXPECT_EQ(utf8_error("\xc3\xa9\xe6\x97\xa5\xf0\x9f\x8e\x89\xf4\x8f\xbf\xbf"), "(valid)");
  auto err = [](int valid, const char* len) {
    return std::string("InvalidUtf8Encoding(Utf8Error { valid_up_to: ") + std::to_string(valid) +
           ", error_len: " + len + " })";
  };
  // Bytes that never start a sequence.
  EXPECT_EQ(utf8_error("abc\xff"), err(3, "Some(1)"));
  EXPECT_EQ(utf8_error("\x80"), err(0, "Some(1)"));
  EXPECT_EQ(utf8_error("\xc0\x80"), err(0, "Some(1)"));
  EXPECT_EQ(utf8_error("\xc1\xbf"), err(0, "Some(1)"));
  EXPECT_EQ(utf8_error("\xf5\x80\x80\x80"), err(0, "Some(1)"));
  // Second byte outside the range its first byte allows: overlong,
  // surrogate, above U+10FFFF.
  EXPECT_EQ(utf8_error("ab\xe0\x80\x80"), err(2, "Some(1)"));
  EXPECT_EQ(utf8_error("\xed\xa0\x80"), err(0, "Some(1)"));
  EXPECT_EQ(utf8_error("\xf0\x80\x80\x80"), err(0, "Some(1)"));
  EXPECT_EQ(utf8_error("\xf4\x90\x80\x80"), err(0, "Some(1)"));
  EXPECT_EQ(utf8_error("\xc3("), err(0, "Some(1)"));
  // A later continuation byte missing.
  EXPECT_EQ(utf8_error("\xe2\x82("), err(0, "Some(2)"));
  EXPECT_EQ(utf8_error("x\xf0\x9f(("), err(1, "Some(2)"));
  EXPECT_EQ(utf8_error("x\xf0\x9f\x98("), err(1, "Some(3)"));
  // Input ends inside a sequence that could still be valid.
  EXPECT_EQ(utf8_error("a\xc3"), err(1, "None"));
  EXPECT_EQ(utf8_error("\xe2\x82"), err(0, "None"));
  EXPECT_EQ(utf8_error("\xe2"), err(0, "None"));
  EXPECT_EQ(utf8_error("\xc3\xa9\xf0\x9f\x98"), err(2, "None"));
  // ...but an invalid second byte is reported even at the end.
  EXPECT_EQ(utf8_error("\xe0\x80"), err(0, "Some(1)"));
}

TEST(DebugStrTest, EscapesLikeStrDebug) {
  EXPECT_EQ(bincode::debug_str(""), "\"\"");
  EXPECT_EQ(bincode::debug_str("edge it's"), "\"edge it's\"");
  EXPECT_EQ(bincode::debug_str(std::string("q\"b\\n\n\r\t\0", 9)),
            "\"q\\\"b\\\\n\\n\\r\\t\\0\"");
  EXPECT_EQ(bincode::debug_str("\x01\x1b\x7f"), "\"\\u{1}\\u{1b}\\u{7f}\"");
  // Printable non-ASCII stays; C1 controls, non-breaking and zero-width
  // spaces, line separators, combining marks and private use are escaped.
  EXPECT_EQ(bincode::debug_str("\xc3\xa9\xe6\x97\xa5\xf0\x9f\x8e\x89"),
            "\"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x8e\x89\"");
  EXPECT_EQ(bincode::debug_str("\xc2\x85|\xc2\xa0|\xe2\x80\x8b|\xe2\x80\xa8|e\xcc\x81|\xee\x80\x80"),
            "\"\\u{85}|\\u{a0}|\\u{200b}|\\u{2028}|e\\u{301}|\\u{e000}\"");
}

TEST(TermRecordTest, WorkedExamples) {
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

  for (const Term& t : {Term::var("Xy"), Term::constant(5), Term::integer(-7),
                        Term::floating(-0.5), Term::str(3)}) {
    std::string b = enc(t) + "trailing";
    bincode::Reader r(b);
    auto back = read_term(r);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, t);
    EXPECT_EQ(r.remaining(), 8u);
  }

  const std::string bad_index = le32(5) + le64(1);
  bincode::Reader bad(bad_index);
  EXPECT_EQ(read_term(bad).error().debug(),
            "Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\")");
}

TEST(ConstraintRecordTest, WorkedExample74Bytes) {
  Constraint c;
  c.id = 2;
  c.b = 0.0;
  c.d = 1.0;
  c.body.push_back(BuiltinGoal{BuiltinOp::Ne, {Term::var("A"), Term::var("B")}});
  const std::string expected =
      bytes({2, 0, 0, 0, 0, 0, 0, 0}) + bytes({1, 0, 0, 0, 0, 0, 0, 0}) + bytes({1, 0, 0, 0}) +
      bytes({1, 0, 0, 0}) + bytes({2, 0, 0, 0, 0, 0, 0, 0}) +
      bytes({0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x41}) +
      bytes({0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x42}) + bytes({0, 0, 0, 0, 0, 0, 0, 0}) +
      bytes({0, 0, 0, 0, 0, 0, 0xf0, 0x3f});
  ASSERT_EQ(expected.size(), 74u);
  EXPECT_EQ(constraint_size(c), 74u);
  EXPECT_EQ(encode_constraint(c), expected);

  auto back = decode_constraint(expected + "\xff\xff");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->id, 2u);
  EXPECT_EQ(back->b, 0.0);
  EXPECT_EQ(back->d, 1.0);
  ASSERT_EQ(back->body.size(), 1u);
  EXPECT_EQ(back->body[0], c.body[0]);
}

TEST(RuleRecordTest, LayoutAndRoundTrip) {
  Rule empty;
  empty.id = 9;
  empty.head_pred_name = "abc";
  empty.head_pred_arity = 0;
  const std::string e = encode_rule(empty);
  EXPECT_EQ(e.size(), 56u + 3);
  EXPECT_EQ(e, le64(9) + str_rec("abc") + le64(0) + le64(0) + le64(0) + le64(0) + le64(0));

  // Goal lengths: an atom goal is 29 + L + terms, a builtin 16 + terms.
  EXPECT_EQ(goal_size(Goal(atom("edge", 2, false, {Term::var("X"), Term::constant(1)}))),
            29u + 4 + 13 + 12);
  EXPECT_EQ(goal_size(Goal(BuiltinGoal{BuiltinOp::Eq, {Term::constant(1)}})), 16u + 12);
  Rule one;
  one.head_pred_name = "p";
  one.body = {atom("q", 1, true, {Term::var("X")})};
  EXPECT_EQ(encode_rule(one),
            le64(0) + str_rec("p") + le64(0) + le64(0) + le64(1) + le32(0) + str_rec("q") +
                le64(1) + bytes({1}) + le64(1) + le32(0) + str_rec("X") + le64(0) + le64(0));

  const Rule r = sample_rule();
  const std::string enc = encode_rule(r);
  EXPECT_EQ(enc.size(), rule_size(r));
  auto back = decode_rule(enc + "junk");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->id, r.id);
  EXPECT_EQ(back->head_pred_name, r.head_pred_name);
  EXPECT_EQ(back->head_pred_arity, 2u);
  EXPECT_EQ(back->head_args, r.head_args);
  EXPECT_EQ(back->body, r.body);
  EXPECT_EQ(back->b, 0.75);
  EXPECT_EQ(back->d, 0.125);
  EXPECT_EQ(encode_rule(*back), enc);
}

TEST(RuleRecordTest, WeightsKeepTheirBits) {
  const uint64_t payload_nan = 0x7ff4000000000abcull;
  const uint64_t negative_nan = 0xfff8000000000001ull;
  Rule r;
  r.head_pred_name = "p";
  r.b = std::bit_cast<double>(payload_nan);
  r.d = std::bit_cast<double>(negative_nan);
  const std::string enc = encode_rule(r);
  EXPECT_EQ(enc.substr(enc.size() - 16), le64(payload_nan) + le64(negative_nan));
  auto back = decode_rule(enc);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(std::bit_cast<uint64_t>(back->b), payload_nan);
  EXPECT_EQ(std::bit_cast<uint64_t>(back->d), negative_nan);

  Constraint c;
  c.b = -std::numeric_limits<double>::infinity();
  c.d = std::bit_cast<double>(payload_nan);
  auto cback = decode_constraint(encode_constraint(c));
  ASSERT_TRUE(cback.has_value());
  EXPECT_EQ(cback->b, c.b);
  EXPECT_EQ(std::bit_cast<uint64_t>(cback->d), payload_nan);
}

TEST(RuleRecordTest, DecodingFailuresNameTheFirstBadField) {
  const std::string head = le64(1) + str_rec("p") + le64(1) + le64(0);  // id, name, arity, no args
  auto one_goal = [&](const std::string& goal) {
    return head + le64(1) + goal + le64(0) + le64(0);
  };
  // Bad goal variant.
  EXPECT_EQ(decode_rule_error(one_goal(le32(2))),
            "Custom(\"invalid value: integer `2`, expected variant index 0 <= i < 2\")");
  // Bad builtin op, with no argument list following.
  EXPECT_EQ(decode_rule_error(head + le64(1) + le32(1) + le32(19)),
            "Custom(\"invalid value: integer `19`, expected variant index 0 <= i < 19\")");
  // Bad negated byte.
  EXPECT_EQ(decode_rule_error(one_goal(le32(0) + str_rec("q") + le64(0) + bytes({2}) + le64(0))),
            "InvalidBoolEncoding(2)");
  // Bad term variant inside a goal.
  EXPECT_EQ(decode_rule_error(one_goal(le32(1) + le32(0) + le64(1) + le32(7) + le64(0))),
            "Custom(\"invalid value: integer `7`, expected variant index 0 <= i < 5\")");
  // Invalid UTF-8 in the head name, in a goal name, in a variable name.
  EXPECT_EQ(decode_rule_error(le64(1) + str_rec("ok\xff") + le64(0) + le64(0) + le64(0)),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: Some(1) })");
  EXPECT_EQ(decode_rule_error(one_goal(le32(0) + str_rec("\xe2\x82") + le64(0) + bytes({0}) +
                                       le64(0))),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: None })");
  EXPECT_EQ(decode_rule_error(head.substr(0, 25) + le64(1) + le32(0) + str_rec("V\xed\xa0\x80")),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 1, error_len: Some(1) })");
  // A string announcing more bytes than there are, versus a cut length.
  EXPECT_EQ(decode_rule_error(le64(1) + le64(5) + "abc"),
            "Io(Custom { kind: UnexpectedEof, error: \"\" })");
  EXPECT_EQ(decode_rule_error(le64(1) + le64(5).substr(0, 7)), "Io(Kind(UnexpectedEof))");
  // A count that promises far more elements than exist ends at the input's
  // end instead of exhausting memory.
  EXPECT_EQ(decode_rule_error(head.substr(0, 25) + le64(UINT64_MAX) + le32(1) + le64(2)),
            "Io(Kind(UnexpectedEof))");
  EXPECT_EQ(decode_constraint_error(le64(1) + le64(uint64_t{1} << 60)), "Io(Kind(UnexpectedEof))");
  EXPECT_EQ(decode_rule_error(""), "Io(Kind(UnexpectedEof))");
}

TEST(RuleRecordTest, EveryCutFailsWithEndOfInput) {
  Constraint c;
  c.id = 5;
  c.body = sample_rule().body;
  c.b = 1.0;
  const std::string records[] = {encode_rule(sample_rule()), encode_constraint(c)};
  for (size_t which = 0; which < 2; ++which) {
    const std::string& full = records[which];
    for (size_t cut = 0; cut < full.size(); ++cut) {
      const std::string_view prefix(full.data(), cut);
      std::optional<Error> err;
      if (which == 0) {
        auto r = decode_rule(prefix);
        if (!r) err = r.error();
      } else {
        auto r = decode_constraint(prefix);
        if (!r) err = r.error();
      }
      ASSERT_TRUE(err.has_value()) << "record " << which << " cut at " << cut;
      EXPECT_TRUE(err->kind == Error::Kind::kEof || err->kind == Error::Kind::kEofBytes)
          << "record " << which << " cut at " << cut << ": " << err->debug();
    }
  }
}

}  // namespace
}  // namespace ruvo
