// Predicate profile records and Belnap classification. (The builtin words
// are checked end to end by the Python tests.)
#include "ruvo_core/src/types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testing/test_support.h"

namespace ruvo {
namespace {

using test::le32;
using test::le64;
using test::str_rec;

TEST(ProfileRecordTest, LayoutAndRoundTrips) {
  PredicateProfile edge{3, "edge", 2, AggregationMode::NoisyOr, EvidenceMode::PerSource, {}};
  const std::string expected = le64(3) + str_rec("edge") + le64(2) + le32(1) + le32(1) + le64(0);
  EXPECT_EQ(encode_profile(edge), expected);
  EXPECT_EQ(decode_profile(expected), edge);
  EXPECT_EQ(encode_profile(PredicateProfile{}), std::string(40, '\0'));
  // 40 + L, then 16 + Ln + 8 * P per index specification.
  PredicateProfile p{77, "wohnt_in", 3, AggregationMode::CappedSum, EvidenceMode::ProofTree,
                     {IndexSpec{"by_city", {1}}, IndexSpec{"", {}}, IndexSpec{"pair", {2, 0}}}};
  const std::string enc = encode_profile(p);
  EXPECT_EQ(enc.substr(40), le64(3) + str_rec("by_city") + le64(1) + le64(1) + str_rec("") +
                                le64(0) + str_rec("pair") + le64(2) + le64(2) + le64(0));
  EXPECT_EQ(decode_profile(enc + "extra bytes"), p);
  test::expect_every_cut_fails_with_eof(enc, decode_profile);
}

TEST(ProfileRecordTest, DecodingFailures) {
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
      {le64(1) + str_rec("\xc3\x28") + le64(2),
       "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })"},
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
}

}  // namespace
}  // namespace ruvo
