#include "ruvo_core/src/types.h"

namespace ruvo {

using bincode::Reader;
using bincode::Result;
using bincode::Writer;

std::string_view belnap_text(BelnapStatus s) {
  switch (s) {
    case BelnapStatus::True: return "True";
    case BelnapStatus::False: return "False";
    case BelnapStatus::Both: return "Both";
    case BelnapStatus::Neither: return "Neither";
  }
  return "Neither";
}

BelnapStatus classify(double b, double d) {
  // Written as "greater than" so that a NaN compares false: not present.
  const bool b_present = b > kPresenceThreshold;
  const bool d_present = d > kPresenceThreshold;
  if (b_present) return d_present ? BelnapStatus::Both : BelnapStatus::True;
  return d_present ? BelnapStatus::False : BelnapStatus::Neither;
}

// ---- Term ----

Result<Term> read_term(Reader& r) {
  Term t;
  RUVO_CHECK(read_term_into(r, t));
  return t;
}

// ---- PredicateProfile ----

namespace {

// AggregationMode and EvidenceMode both have three variants.
constexpr uint32_t kModeVariants = 3;

size_t index_spec_size(const IndexSpec& s) {
  return bincode::size_str(s.name) + bincode::kU64 + bincode::kU64 * s.positions.size();
}

size_t profile_size(const PredicateProfile& p) {
  size_t n = bincode::kU64 + bincode::size_str(p.name) + bincode::kU64 + 2 * bincode::kU32 +
             bincode::kU64;
  for (const IndexSpec& s : p.indexes) n += index_spec_size(s);
  return n;
}

void write_profile(Writer& w, const PredicateProfile& p) {
  w.u64(p.pred_id);
  w.str(p.name);
  w.u64(p.arity);
  w.u32(static_cast<uint32_t>(p.aggregation));
  w.u32(static_cast<uint32_t>(p.evidence_mode));
  w.u64(p.indexes.size());
  for (const IndexSpec& s : p.indexes) {
    w.str(s.name);
    w.u64(s.positions.size());
    for (uint64_t pos : s.positions) w.u64(pos);
  }
}

Result<IndexSpec> read_index_spec(Reader& r) {
  IndexSpec s;
  RUVO_CHECK(r.str_into(s.name));
  RUVO_TRY(uint64_t n, r.count());
  s.positions.reserve(Reader::cautious(n, sizeof(uint64_t)));
  for (uint64_t i = 0; i < n; ++i) {
    RUVO_TRY(uint64_t pos, r.u64());
    s.positions.push_back(pos);
  }
  return s;
}

}  // namespace

std::string encode_profile(const PredicateProfile& p) {
  return bincode::encode_with([&] { return profile_size(p); },
                              [&](Writer& w) { write_profile(w, p); });
}

Result<PredicateProfile> decode_profile(std::string_view bytes) {
  Reader r(bytes);
  PredicateProfile p;
  RUVO_TRY(p.pred_id, r.u64());
  RUVO_CHECK(r.str_into(p.name));
  RUVO_TRY(p.arity, r.u64());
  RUVO_TRY(uint32_t aggregation, r.variant(kModeVariants));
  p.aggregation = static_cast<AggregationMode>(aggregation);
  RUVO_TRY(uint32_t evidence_mode, r.variant(kModeVariants));
  p.evidence_mode = static_cast<EvidenceMode>(evidence_mode);
  RUVO_TRY(uint64_t n, r.count());
  p.indexes.reserve(Reader::cautious(n, sizeof(IndexSpec)));
  for (uint64_t i = 0; i < n; ++i) {
    RUVO_TRY(IndexSpec s, read_index_spec(r));
    p.indexes.push_back(std::move(s));
  }
  return p;
}

}  // namespace ruvo
