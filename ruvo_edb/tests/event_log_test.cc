// Event records: layout, round trips and decoding failures.
#include "ruvo_edb/src/event_log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "ruvo_edb/src/store.h"

namespace ruvo {
namespace {

std::string hex(std::string_view s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The debug text a reader reports for a record that fails to decode.
std::string failure_text(std::string_view record) {
  auto e = decode_event(record);
  if (e) return "decoded";
  return EdbError(e.error()).debug();
}

Rule sample_rule() {
  Rule r;
  r.id = 9;
  r.head_pred_name = "path";
  r.head_pred_arity = 2;
  r.head_args = {Term::var("X"), Term::var("Z")};
  r.body.emplace_back(AtomGoal{"edge", 2, false, {Term::var("X"), Term::var("Y")}});
  r.body.emplace_back(AtomGoal{"path", 2, true, {Term::var("Y"), Term::constant(5)}});
  r.body.emplace_back(BuiltinGoal{BuiltinOp::Ne, {Term::var("X"), Term::integer(-3)}});
  r.b = 0.75;
  r.d = std::numeric_limits<double>::quiet_NaN();
  return r;
}

Constraint sample_constraint() {
  Constraint c;
  c.id = 2;
  c.body.emplace_back(BuiltinGoal{BuiltinOp::Ne, {Term::var("A"), Term::var("B")}});
  c.b = 0.0;
  c.d = 1.0;
  return c;
}

TEST(EventRecord, LayoutOfEveryVariant) {
  EXPECT_EQ(event_key(1), std::string("\0\0\0\0\0\0\0\x01", 8));
  EXPECT_EQ(event_key(256), std::string("\0\0\0\0\0\0\x01\0", 8));
  EXPECT_LT(event_key(255), event_key(256));

  // An empty branch, an empty name and no arguments: the 61-byte minimum.
  std::string minimal = encode_event(AssertFactEvent{3, "", "", 0, {}, 0.0, 0.0, std::nullopt});
  EXPECT_EQ(minimal.size(), 61u);

  std::string with_source =
      encode_event(AssertFactEvent{1, "a", "p", 1, {7}, 1.0, 0.0, std::string("src")});
  EXPECT_EQ(with_source.size(), 69u + 1 + 1 + 8 + 3);
  EXPECT_EQ(hex(with_source.substr(70)), "01 03 00 00 00 00 00 00 00 73 72 63");

  std::string declare = encode_event(DeclarePredicateEvent{4, "br", "pred", 3});
  EXPECT_EQ(hex(declare),
            "01 00 00 00 04 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 62 72 "
            "04 00 00 00 00 00 00 00 70 72 65 64 03 00 00 00 00 00 00 00");
  EXPECT_EQ(declare.size(), 36u + 2 + 4);

  // The constraint record is the nested one, unchanged, after the head.
  std::string constraint = encode_event(AddConstraintEvent{5, "b", sample_constraint()});
  EXPECT_EQ(constraint.size(), 20u + 1 + 74);
  EXPECT_EQ(hex(constraint.substr(0, 21)),
            "03 00 00 00 05 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 62");
  EXPECT_EQ(constraint.substr(21), encode_constraint(sample_constraint()));

  Rule rule = sample_rule();
  std::string add_rule = encode_event(AddRuleEvent{6, "b", rule});
  EXPECT_EQ(add_rule.size(), 21u + rule_size(rule));
  EXPECT_EQ(add_rule.substr(21), encode_rule(rule));
  EXPECT_EQ(hex(add_rule.substr(0, 4)), "02 00 00 00");

  std::string retract = encode_event(RetractFactEvent{2, "", 1});
  EXPECT_EQ(retract.size(), 28u);
}

TEST(EventRecord, RoundTripsEveryVariant) {
  std::vector<EdbEvent> events = {
      AssertFactEvent{1, "main", "likes", 3, {1, 2}, -0.5, 2.0, std::string("sensor \xc3\xa9")},
      AssertFactEvent{2, "", "", 0, {}, 0.0, 0.0, std::nullopt},
      DeclarePredicateEvent{3, "main", "likes", 2},
      AddRuleEvent{4, "main", sample_rule()},
      AddConstraintEvent{5, "other", sample_constraint()},
      RetractFactEvent{6, "main", 99},
  };
  for (const EdbEvent& e : events) {
    std::string bytes = encode_event(e);
    auto back = decode_event(bytes);
    ASSERT_TRUE(back) << EdbError(back.error()).debug();
    EXPECT_EQ(back->index(), e.index());
    EXPECT_EQ(event_id_of(*back), event_id_of(e));
    EXPECT_EQ(branch_of(*back), branch_of(e));
    // Byte equality covers every field, NaN payloads included.
    EXPECT_EQ(encode_event(*back), bytes);
    // Bytes after a complete record are ignored.
    auto padded = decode_event(bytes + "trailing junk");
    ASSERT_TRUE(padded);
    EXPECT_EQ(encode_event(*padded), bytes);
  }
  auto fact = decode_event(encode_event(events[0]));
  const auto& a = std::get<AssertFactEvent>(*fact);
  EXPECT_EQ(a.pred_name, "likes");
  EXPECT_EQ(a.pred_arity, 3u);
  EXPECT_EQ(a.args, (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(a.source, std::optional<std::string>("sensor \xc3\xa9"));

  auto declared = decode_event(encode_event(events[2]));
  const auto& p = std::get<DeclarePredicateEvent>(*declared);
  EXPECT_EQ(p.event_id, 3u);
  EXPECT_EQ(p.branch, "main");
  EXPECT_EQ(p.pred_name, "likes");
  EXPECT_EQ(p.pred_arity, 2u);
}

TEST(EventRecord, DecodingFailuresCarryTheCodecError) {
  std::string fact = encode_event(AssertFactEvent{1, "a", "p", 1, {7}, 1.0, 0.0, std::nullopt});

  std::string bad_variant = fact;
  bad_variant[0] = 5;
  EXPECT_EQ(failure_text(bad_variant),
            "Bincode(Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\"))");
  // The index is unsigned: 0xffffffff is not negative.
  std::string huge_variant = fact;
  std::memset(huge_variant.data(), 0xff, 4);
  EXPECT_EQ(failure_text(huge_variant),
            "Bincode(Custom(\"invalid value: integer `4294967295`, expected variant index 0 <= "
            "i < 5\"))");

  std::string bad_tag = fact;
  bad_tag[70] = 2;  // the last byte: the source tag
  EXPECT_EQ(failure_text(bad_tag), "Bincode(InvalidTagEncoding(2))");

  std::string bad_branch = fact;
  bad_branch[20] = static_cast<char>(0xff);
  EXPECT_EQ(failure_text(bad_branch),
            "Bincode(InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) }))");

  EXPECT_EQ(failure_text(""), "Bincode(Io(Kind(UnexpectedEof)))");
  EXPECT_EQ(failure_text(fact.substr(0, 21)), "Bincode(Io(Kind(UnexpectedEof)))");
  // The branch announces 1 byte but none follows.
  EXPECT_EQ(failure_text(fact.substr(0, 20)),
            "Bincode(Io(Custom { kind: UnexpectedEof, error: \"\" }))");

  // A record cut anywhere fails with end of input, never a partial event.
  std::vector<std::string> records = {
      fact,
      encode_event(AssertFactEvent{1, "a", "p", 1, {7}, 1.0, 0.0, std::string("s")}),
      encode_event(DeclarePredicateEvent{1, "a", "p", 1}),
      encode_event(AddRuleEvent{1, "a", sample_rule()}),
      encode_event(AddConstraintEvent{1, "a", sample_constraint()}),
      encode_event(RetractFactEvent{1, "a", 1}),
  };
  for (const std::string& rec : records) {
    for (size_t n = 0; n < rec.size(); ++n) {
      auto e = decode_event(std::string_view(rec).substr(0, n));
      ASSERT_FALSE(e) << "prefix " << n << " of " << hex(rec);
      EXPECT_TRUE(e.error().kind == bincode::Error::Kind::kEof ||
                  e.error().kind == bincode::Error::Kind::kEofBytes);
    }
  }

  // Errors inside the nested rule are the core record's own: a head term
  // whose variant index is 5.
  Rule rule = sample_rule();
  std::string add_rule = encode_event(AddRuleEvent{1, "a", rule});
  size_t first_term = 21 + 8 + 8 + rule.head_pred_name.size() + 8 + 8;
  ASSERT_EQ(add_rule[first_term], 0);
  add_rule[first_term] = 5;
  EXPECT_EQ(failure_text(add_rule),
            "Bincode(Custom(\"invalid value: integer `5`, expected variant index 0 <= i < 5\"))");
}

}  // namespace
}  // namespace ruvo
