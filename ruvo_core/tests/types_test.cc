// Predicate profile records and Belnap classification. (The builtin words
// are checked end to end by the Python tests.)
#include "ruvo_core/src/types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "ruvo_core/src/rule.h"
#include "testing/test_support.h"

namespace ruvo {
namespace {

using test::le32;
using test::le64;
using test::str_rec;

std::string decode_error(std::string_view b) { return test::err(decode_profile(b)); }

TEST(ProfileRecordTest, WorkedExamplesAndRoundTrips) {
  PredicateProfile edge{3, "edge", 2, AggregationMode::NoisyOr, EvidenceMode::PerSource, {}};
  const std::string expected = le64(3) + str_rec("edge") + le64(2) + le32(1) + le32(1) + le64(0);
  ASSERT_EQ(expected.size(), 44u);
  EXPECT_EQ(encode_profile(edge), expected);
  EXPECT_EQ(decode_profile(expected), edge);
  EXPECT_EQ(encode_profile(PredicateProfile{}), std::string(40, '\0'));

  // 40 + L, then 16 + Ln + 8 * P per index specification.
  PredicateProfile p{77,
                     "wohnt_in",
                     3,
                     AggregationMode::CappedSum,
                     EvidenceMode::ProofTree,
                     {IndexSpec{"by_city", {1}}, IndexSpec{"", {}}, IndexSpec{"pair", {2, 0}}}};
  const std::string enc = encode_profile(p);
  EXPECT_EQ(enc.size(), 40u + 8 + (16 + 7 + 8) + 16 + (16 + 4 + 16));
  EXPECT_EQ(enc.substr(40), le64(3) + str_rec("by_city") + le64(1) + le64(1) + str_rec("") +
                                le64(0) + str_rec("pair") + le64(2) + le64(2) + le64(0));
  EXPECT_EQ(decode_profile(enc + "extra bytes"), p);
}

TEST(ProfileRecordTest, DecodingFailures) {
  const std::string head = le64(1) + str_rec("p") + le64(2);
  const char* const kThree =
      "Custom(\"invalid value: integer `3`, expected variant index 0 <= i < 3\")";
  EXPECT_EQ(decode_error(head + le32(3) + le32(0) + le64(0)), kThree);
  // The aggregation index is tested before evidence_mode is read.
  EXPECT_EQ(decode_error(head + le32(3)), kThree);
  EXPECT_EQ(decode_error(head + le32(2) + le32(7) + le64(0)),
            "Custom(\"invalid value: integer `7`, expected variant index 0 <= i < 3\")");
  EXPECT_EQ(decode_error(le64(1) + str_rec("\xc3\x28") + le64(2)),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })");
  EXPECT_EQ(decode_error(head + le32(0) + le32(0) + le64(1) + str_rec("\xf0\x9f")),
            "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: None })");
  EXPECT_EQ(decode_error(le64(1) + le64(100) + "short"),
            "Io(Custom { kind: UnexpectedEof, error: \"\" })");
  // Counts far beyond the input end in end of input, not in exhausted memory.
  EXPECT_EQ(decode_error(head + le32(0) + le32(0) + le64(UINT64_MAX)), "Io(Kind(UnexpectedEof))");
  EXPECT_EQ(decode_error(head + le32(0) + le32(0) + le64(1) + le64(0) + le64(uint64_t{1} << 61) +
                         le64(5)),
            "Io(Kind(UnexpectedEof))");
  test::expect_every_cut_fails_with_eof(
      encode_profile({5,
                      "knows",
                      2,
                      AggregationMode::NoisyOr,
                      EvidenceMode::None,
                      {IndexSpec{"by_first", {0}}, IndexSpec{"both", {0, 1}}}}),
      decode_profile);
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
}

}  // namespace
}  // namespace ruvo
