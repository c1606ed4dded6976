// Predicate profile records, Belnap classification and the builtin words.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "ruvo_core/src/rule.h"
#include "ruvo_core/src/types.h"

namespace ruvo {
namespace {

std::string le64(uint64_t v) {
  std::string s;
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  return s;
}
std::string le32(uint32_t v) { return le64(v).substr(0, 4); }

std::string decode_error(std::string_view b) {
  auto r = decode_profile(b);
  return r ? std::string("(decoded)") : r.error().debug();
}

TEST(ProfileRecordTest, WorkedExamples) {
  PredicateProfile edge;
  edge.pred_id = 3;
  edge.name = "edge";
  edge.arity = 2;
  edge.aggregation = AggregationMode::NoisyOr;
  edge.evidence_mode = EvidenceMode::PerSource;
  const std::string expected = std::string("\x03\0\0\0\0\0\0\0", 8) +
                               std::string("\x04\0\0\0\0\0\0\0", 8) + "edge" +
                               std::string("\x02\0\0\0\0\0\0\0", 8) + std::string("\x01\0\0\0", 4) +
                               std::string("\x01\0\0\0", 4) + std::string(8, '\0');
  ASSERT_EQ(expected.size(), 44u);
  EXPECT_EQ(encode_profile(edge), expected);
  auto back = decode_profile(expected);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, edge);

  PredicateProfile empty;
  EXPECT_EQ(encode_profile(empty), std::string(40, '\0'));
  EXPECT_EQ(decode_profile(std::string(40, '\0')), empty);
}

TEST(ProfileRecordTest, IndexSpecsRoundTripAndTrailingBytesAreIgnored) {
  PredicateProfile p;
  p.pred_id = 77;
  p.name = "wohnt_in";
  p.arity = 3;
  p.aggregation = AggregationMode::CappedSum;
  p.evidence_mode = EvidenceMode::ProofTree;
  p.indexes = {IndexSpec{"by_city", {1}}, IndexSpec{"", {}}, IndexSpec{"pair", {2, 0}}};
  const std::string enc = encode_profile(p);
  // 40 + L, then 16 + Ln + 8 * P per index specification.
  EXPECT_EQ(enc.size(), 40u + 8 + (16 + 7 + 8) + 16 + (16 + 4 + 16));
  EXPECT_EQ(enc.substr(40), le64(3) + le64(7) + "by_city" + le64(1) + le64(1) + le64(0) +
                                     le64(0) + le64(4) + "pair" + le64(2) + le64(2) + le64(0));
  auto back = decode_profile(enc + "extra bytes");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, p);
}

TEST(ProfileRecordTest, DecodingFailures) {
  const std::string head = le64(1) + le64(1) + "p" + le64(2);
  const char* const kThree =
      "Custom(\"invalid value: integer `3`, expected variant index 0 <= i < 3\")";
  EXPECT_EQ(decode_error(head + le32(3) + le32(0) + le64(0)), kThree);
  // The aggregation index is tested before evidence_mode is read.
  EXPECT_EQ(decode_error(head + le32(3)), kThree);
  EXPECT_EQ(decode_error(head + le32(2) + le32(7) + le64(0)),
            "Custom(\"invalid value: integer `7`, expected variant index 0 <= i < 3\")");
  EXPECT_EQ(decode_error(le64(1) + le64(2) + "\xc3\x28" + le64(2)),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })");
  EXPECT_EQ(decode_error(head + le32(0) + le32(0) + le64(1) + le64(2) + "\xf0\x9f"),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: None })");
  EXPECT_EQ(decode_error(le64(1) + le64(100) + "short"),
            "Io(Custom { kind: UnexpectedEof, error: \"\" })");
  // Counts far beyond the input end in end of input, not in exhausted memory.
  EXPECT_EQ(decode_error(head + le32(0) + le32(0) + le64(UINT64_MAX)), "Io(Kind(UnexpectedEof))");
  EXPECT_EQ(decode_error(head + le32(0) + le32(0) + le64(1) + le64(0) + le64(uint64_t{1} << 61) +
                         le64(5)),
            "Io(Kind(UnexpectedEof))");
}

TEST(ProfileRecordTest, EveryCutFailsWithEndOfInput) {
  PredicateProfile p;
  p.pred_id = 5;
  p.name = "knows";
  p.arity = 2;
  p.aggregation = AggregationMode::NoisyOr;
  p.indexes = {IndexSpec{"by_first", {0}}, IndexSpec{"both", {0, 1}}};
  const std::string full = encode_profile(p);
  for (size_t cut = 0; cut < full.size(); ++cut) {
    auto r = decode_profile(std::string_view(full.data(), cut));
    ASSERT_FALSE(r.has_value()) << "cut at " << cut;
    EXPECT_TRUE(r.error().kind == bincode::Error::Kind::kEof ||
                r.error().kind == bincode::Error::Kind::kEofBytes)
        << "cut at " << cut << ": " << r.error().debug();
  }
}

TEST(BelnapTest, Classification) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(classify(2e-12, 0.0), BelnapStatus::True);
  EXPECT_EQ(classify(1e-12, 0.0), BelnapStatus::Neither);
  EXPECT_EQ(classify(std::nextafter(1e-12, 1.0), 0.0), BelnapStatus::True);
  EXPECT_EQ(classify(0.0, 0.5), BelnapStatus::False);
  EXPECT_EQ(classify(0.3, 0.4), BelnapStatus::Both);
  EXPECT_EQ(classify(nan, 0.0), BelnapStatus::Neither);
  EXPECT_EQ(classify(nan, 1.0), BelnapStatus::False);
  EXPECT_EQ(classify(1.0, nan), BelnapStatus::True);
  EXPECT_EQ(classify(-1.0, -1.0), BelnapStatus::Neither);
  EXPECT_EQ(classify(inf, inf), BelnapStatus::Both);
  EXPECT_EQ(classify(-inf, 0.0), BelnapStatus::Neither);

  EXPECT_EQ(belnap_text(BelnapStatus::True), "True");
  EXPECT_EQ(belnap_text(BelnapStatus::False), "False");
  EXPECT_EQ(belnap_text(BelnapStatus::Both), "Both");
  EXPECT_EQ(belnap_text(BelnapStatus::Neither), "Neither");
}

TEST(BuiltinWordsTest, TableAndSearch) {
  const char* const words[] = {"eq",     "ne",     "lt",      "leq",    "gt",
                               "geq",    "add",    "sub",     "mul",    "div",
                               "between", "int",   "string",  "float",  "entity",
                               "predicate_ref", "date", "datetime", "duration"};
  for (uint32_t i = 0; i < kBuiltinOpCount; ++i) {
    EXPECT_EQ(kBuiltinWords[i], words[i]);
    EXPECT_EQ(builtin_from_word(words[i]), static_cast<BuiltinOp>(i));
  }
  EXPECT_EQ(builtin_word(BuiltinOp::PredicateRef), "predicate_ref");
  EXPECT_EQ(builtin_word(BuiltinOp::Duration), "duration");
  EXPECT_EQ(builtin_from_word("Eq"), std::nullopt);
  EXPECT_EQ(builtin_from_word("eq "), std::nullopt);
  EXPECT_EQ(builtin_from_word(""), std::nullopt);
}

}  // namespace
}  // namespace ruvo
