// Record codec: error texts, UTF-8, string rendering, records; Belnap classes.
#include "ruvo_core/src/codec.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "ruvo_core/src/rule.h"
#include "ruvo_core/src/types.h"
#include "testing/test_support.h"

namespace ruvo {
namespace {

using test::bytes;
using test::err;
using test::le32;
using test::le64;
using test::str_rec;

const std::string kVariant5of5 =
    "Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\")";
const std::string kEof = "Io(Kind(UnexpectedEof))";
std::string utf8_error(int valid_up_to, const char* len) {
  return "InvalidUtf8Encoding(Utf8Error { valid_up_to: " + std::to_string(valid_up_to) +
         ", error_len: " + len + " })";
}

// Every kind of field: all term kinds, negation, builtins, NaN payloads.
Rule sample_rule() {
  return Rule{0x0102030405060708ull, "pfad_ä", 2, {Term::var("X"), Term::var("Y")},
              {AtomGoal{"edge", 2, false, {Term::var("X"), Term::var("Z")}},
               AtomGoal{"blocked", 1, true, {Term::constant(42)}},
               BuiltinGoal{BuiltinOp::Between,
                           {Term::integer(-3), Term::floating(2.5), Term::str(7)}},
               BuiltinGoal{BuiltinOp::Duration, {}}},
              std::bit_cast<double>(uint64_t{0x7ff4000000000abc}),
              std::bit_cast<double>(uint64_t{0xfff8000000000001})};
}

TEST(StringsTest, Utf8CheckAndDebugRendering) {
  // Each input with its error as "valid_up_to error_len", or "" when valid.
  const std::pair<const char*, const char*> cases[] = {
      {"", ""}, {"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x8e\x89\xf4\x8f\xbf\xbf", ""},
      // Bytes that never start a sequence; second bytes outside their first
      // byte's range: overlong, surrogate, above U+10FFFF, no continuation.
      {"abc\xff", "3 Some(1)"}, {"\x80", "0 Some(1)"}, {"\xc1\xbf", "0 Some(1)"},
      {"\xf5\x80\x80\x80", "0 Some(1)"},
      {"ab\xe0\x80\x80", "2 Some(1)"}, {"\xed\xa0\x80", "0 Some(1)"},
      {"\xf0\x80\x80\x80", "0 Some(1)"}, {"\xf4\x90\x80\x80", "0 Some(1)"}, {"\xc3(", "0 Some(1)"},
      // A later continuation byte missing.
      {"\xe2\x82(", "0 Some(2)"}, {"x\xf0\x9f((", "1 Some(2)"}, {"x\xf0\x9f\x98(", "1 Some(3)"},
      // Input ends inside a sequence that could still be valid...
      {"a\xc3", "1 None"}, {"\xe2", "0 None"}, {"\xc3\xa9\xf0\x9f\x98", "2 None"},
      // ...but an invalid second byte is reported even at the end.
      {"\xe0\x80", "0 Some(1)"}};
  for (const auto& [in, want] : cases) {
    auto e = bincode::check_utf8(in);
    const std::string w(want);
    EXPECT_EQ(e ? e->debug() : "", w.empty() ? "" : utf8_error(std::stoi(w), w.c_str() + 2)) << in;
  }
  // Strings render like Rust's str Debug.
  EXPECT_EQ(bincode::debug_str(std::string("it's q\"b\\n\n\r\t\0\x01\x1b\x7f", 17)),
            "\"it's q\\\"b\\\\n\\n\\r\\t\\0\\u{1}\\u{1b}\\u{7f}\"");
  // Printable non-ASCII stays; C1 controls, non-breaking and zero-width
  // spaces, line separators, combining marks and private use are escaped.
  EXPECT_EQ(bincode::debug_str("\xc3\xa9|\xc2\x85|\xc2\xa0|\xe2\x80\x8b|\xe2\x80\xa8|e\xcc\x81|\xee\x80\x80"),
            "\"\xc3\xa9|\\u{85}|\\u{a0}|\\u{200b}|\\u{2028}|e\\u{301}|\\u{e000}\"");
  const bincode::Error custom{bincode::Error::Kind::kCustom, 0, std::nullopt, "say \"hi\"\n"};
  EXPECT_EQ(custom.debug(), "Custom(\"say \\\"hi\\\"\\n\")");
}

TEST(TermRecordTest, LayoutAndRoundTrips) {
  auto enc = [](const Term& t) {
    return bincode::encode_with([&] { return term_size(t); },
                                [&](bincode::Writer& w) { write_term(w, t); });
  };
  const std::pair<Term, std::string> cases[] = {
      {Term::constant(5), bytes({1, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0})},
      {Term::var(""), std::string(12, '\0')},
      {Term::var("Xy"), le32(0) + str_rec("Xy")},
      {Term::integer(-2), le32(2) + le64(static_cast<uint64_t>(-2))},
      {Term::floating(-0.5), le32(3) + le64(0xbfe0000000000000ull)},
      {Term::str(9), le32(4) + le64(9)}};
  for (const auto& [term, want] : cases) {
    EXPECT_EQ(enc(term), want);
    const std::string b = want + "trailing";
    bincode::Reader r(b);
    EXPECT_EQ(read_term(r), term);
    EXPECT_EQ(r.remaining(), 8u);
  }
}

TEST(RuleRecordTest, LayoutAndBitExactRoundTrip) {
  Constraint c{2, {BuiltinGoal{BuiltinOp::Ne, {Term::var("A"), Term::var("B")}}}, 0.0, 1.0};
  const std::string c_bytes = le64(2) + le64(1) + le32(1) + le32(1) + le64(2) + le32(0) +
                              str_rec("A") + le32(0) + str_rec("B") + le64(0) +
                              bytes({0, 0, 0, 0, 0, 0, 0xf0, 0x3f});
  EXPECT_EQ(constraint_size(c), 74u);
  EXPECT_EQ(encode_constraint(c), c_bytes);
  EXPECT_EQ(encode_constraint(decode_constraint(c_bytes + "\xff\xff").value()), c_bytes);
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
  EXPECT_EQ(std::tie(back->head_pred_name, back->head_args, back->body),
            std::tie(r.head_pred_name, r.head_args, r.body));
  EXPECT_EQ(encode_rule(*back), enc);
}

TEST(RuleRecordTest, DecodingFailuresNameTheFirstBadField) {
  const std::string head = le64(1) + str_rec("p") + le64(1) + le64(0);  // id, name, arity, no args
  auto one_goal = [&](const std::string& g) { return head + le64(1) + g + le64(0) + le64(0); };
  const std::pair<std::string, std::string> cases[] = {
      {one_goal(le32(2)),
       "Custom(\"invalid value: integer `2`, expected variant index 0 <= i < 2\")"},
      // A bad builtin op, with no argument list following.
      {head + le64(1) + le32(1) + le32(19),
       "Custom(\"invalid value: integer `19`, expected variant index 0 <= i < 19\")"},
      {one_goal(le32(0) + str_rec("q") + le64(0) + bytes({2}) + le64(0)), "InvalidBoolEncoding(2)"},
      {one_goal(le32(1) + le32(0) + le64(1) + le32(5) + le64(0)), kVariant5of5},
      // Invalid UTF-8 in the head name, a goal name, a variable name.
      {le64(1) + str_rec("ok\xff") + le64(0) + le64(0) + le64(0), utf8_error(2, "Some(1)")},
      {head.substr(0, 25) + le64(1) + le32(0) + str_rec("V\xed\xa0\x80"), utf8_error(1, "Some(1)")},
      // A string announcing more bytes than there are, versus a cut length.
      {le64(1) + le64(5) + "abc", "Io(Custom { kind: UnexpectedEof, error: \"\" })"},
      {le64(1) + le64(5).substr(0, 7), kEof},
      // A count promising far more elements than exist ends at the input's
      // end instead of exhausting memory.
      {head.substr(0, 25) + le64(UINT64_MAX) + le32(1) + le64(2), kEof}};
  for (const auto& [record, text] : cases) EXPECT_EQ(err(decode_rule(record)), text);
  EXPECT_EQ(err(decode_constraint(le64(1) + le64(uint64_t{1} << 60))), kEof);
}

TEST(ProfileRecordTest, LayoutRoundTripsAndFailures) {
  PredicateProfile edge{3, "edge", 2, AggregationMode::NoisyOr, EvidenceMode::PerSource, {}};
  const std::string expected = le64(3) + str_rec("edge") + le64(2) + le32(1) + le32(1) + le64(0);
  EXPECT_EQ(encode_profile(edge), expected);
  EXPECT_EQ(decode_profile(expected), edge);
  // 40 + L, then 16 + Ln + 8 * P per index specification.
  PredicateProfile p{77, "wohnt_in", 3, AggregationMode::CappedSum, EvidenceMode::ProofTree,
                     {IndexSpec{"by_city", {1}}, IndexSpec{"", {}}, IndexSpec{"pair", {2, 0}}}};
  const std::string enc = encode_profile(p);
  EXPECT_EQ(enc.substr(40), le64(3) + str_rec("by_city") + le64(1) + le64(1) + str_rec("") +
                                le64(0) + str_rec("pair") + le64(2) + le64(2) + le64(0));
  EXPECT_EQ(decode_profile(enc + "extra bytes"), p);
  const std::string head = le64(1) + str_rec("p") + le64(2), none = le32(0) + le32(0);
  const std::string eof = "Io(Kind(UnexpectedEof))";
  auto variant = [](int i) {
    return "Custom(\"invalid value: integer `" + std::to_string(i) +
           "`, expected variant index 0 <= i < 3\")";
  };
  const std::pair<std::string, std::string> cases[] = {
      {head + le32(3) + le32(0) + le64(0), variant(3)},
      // The aggregation index is tested before evidence_mode is read.
      {head + le32(3), variant(3)},
      {head + le32(2) + le32(7) + le64(0), variant(7)},
      {head + none + le64(1) + str_rec("\xf0\x9f"),
       "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: None })"},
      {le64(1) + le64(100) + "short", "Io(Custom { kind: UnexpectedEof, error: \"\" })"},
      // Counts far beyond the input end in end of input, not in exhausted memory.
      {head + none + le64(UINT64_MAX), eof},
      {head + none + le64(1) + le64(0) + le64(uint64_t{1} << 61) + le64(5), eof}};
  for (const auto& [record, text] : cases) EXPECT_EQ(test::err(decode_profile(record)), text);
}

TEST(BelnapTest, Classification) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::tuple<double, double, const char*> cases[] = {
      {2e-12, 0.0, "True"}, {1e-12, 0.0, "Neither"}, {std::nextafter(1e-12, 1.0), 0.0, "True"},
      {0.0, 0.5, "False"},  {0.3, 0.4, "Both"},      {nan, 0.0, "Neither"},
      {nan, 1.0, "False"},  {1.0, nan, "True"},      {-1.0, -1.0, "Neither"},
      {inf, inf, "Both"},   {-inf, 0.0, "Neither"}};
  for (const auto& [b, d, text] : cases)
    EXPECT_EQ(belnap_text(classify(b, d)), text) << b << " " << d;
  // One step below, exactly at and one step above the threshold, on each
  // side, with the other side absent and present.
  const double lo = std::nextafter(1e-12, 0.0), hi = std::nextafter(1e-12, 1.0);
  const std::tuple<double, double, const char*> edges[] = {
      {lo, 0, "Neither"}, {1e-12, 0, "Neither"}, {hi, 0, "True"},  {0, lo, "Neither"},
      {0, 1e-12, "Neither"}, {0, hi, "False"},   {lo, 1, "False"}, {1e-12, 1, "False"},
      {hi, 1, "Both"},      {1, lo, "True"},     {1, 1e-12, "True"}, {1, hi, "Both"}};
  for (const auto& [b, d, text] : edges)
    EXPECT_EQ(belnap_text(classify(b, d)), text) << std::hexfloat << b << " " << d;
}

}  // namespace
}  // namespace ruvo
