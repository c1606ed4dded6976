// Core values shared by every subsystem: terms, atom keys, predicate
// profiles and their modes, and the Belnap status of an evidence pair.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ruvo_core/src/codec.h"

namespace ruvo {

// The presence threshold used everywhere: a weight counts as present when it
// is strictly greater than this.
inline constexpr double kPresenceThreshold = 1e-12;

// A term of the rule language. One struct for all five kinds: `value` holds
// the symbol id (Const, Str) or the raw 64 bits of an Int or Float; `name`
// holds a variable's name.
struct Term {
  enum class Kind : uint8_t { Var = 0, Const = 1, Int = 2, Float = 3, Str = 4 };
  Kind kind = Kind::Const;
  uint64_t value = 0;
  std::string name;

  static Term var(std::string n) { return Term{Kind::Var, 0, std::move(n)}; }
  static Term constant(uint64_t id) { return Term{Kind::Const, id, {}}; }
  static Term integer(int64_t i) { return Term{Kind::Int, static_cast<uint64_t>(i), {}}; }
  static Term floating(double x) { return Term{Kind::Float, std::bit_cast<uint64_t>(x), {}}; }
  static Term str(uint64_t id) { return Term{Kind::Str, id, {}}; }

  bool is_var() const { return kind == Kind::Var; }
  int64_t as_int() const { return static_cast<int64_t>(value); }
  double as_float() const { return std::bit_cast<double>(value); }

  bool operator==(const Term&) const = default;
};

// A ground atom: predicate id and argument values.
struct AtomKey {
  uint64_t pred_id = 0;
  std::vector<uint64_t> args;
  bool operator==(const AtomKey&) const = default;
};

enum class AggregationMode : uint8_t { Maximum = 0, NoisyOr = 1, CappedSum = 2 };
enum class EvidenceMode : uint8_t { None = 0, PerSource = 1, ProofTree = 2 };

struct IndexSpec {
  std::string name;
  std::vector<uint64_t> positions;
  bool operator==(const IndexSpec&) const = default;
};

struct PredicateProfile {
  uint64_t pred_id = 0;
  std::string name;
  uint64_t arity = 0;
  AggregationMode aggregation = AggregationMode::Maximum;
  EvidenceMode evidence_mode = EvidenceMode::None;
  std::vector<IndexSpec> indexes;
  bool operator==(const PredicateProfile&) const = default;
};

enum class BelnapStatus : uint8_t { True = 0, False = 1, Both = 2, Neither = 3 };

// "True", "False", "Both" or "Neither".
std::string_view belnap_text(BelnapStatus s);
// Classifies (b, d): a field is present when strictly above 1e-12 (NaN,
// zero, negatives and 1e-12 itself are not).
BelnapStatus classify(double b, double d);

// ---- Record encodings ----
inline constexpr uint32_t kTermVariantCount = 5;

// Term records are inline: they sit in the innermost loops of rule and
// event records, where a call per term would keep the reader's and writer's
// position in memory instead of in a register.
inline size_t term_size(const Term& t) {
  return bincode::kU32 + (t.kind == Term::Kind::Var ? bincode::size_str(t.name) : bincode::kU64);
}

inline void write_term(bincode::Writer& w, const Term& t) {
  w.u32(static_cast<uint32_t>(t.kind));
  if (t.kind == Term::Kind::Var) {
    w.str(t.name);
  } else {
    // Const and Str hold a u64, Int an i64 and Float an f64: each is the
    // same 8 little-endian bytes of `value`.
    w.u64(t.value);
  }
}

// Decodes a term into `out` in place. On failure `out` holds a partly
// decoded term that the caller must discard.
[[gnu::always_inline]] inline bincode::Result<void> read_term_into(bincode::Reader& r, Term& out) {
  using bincode::Reader;
  if (r.remaining() < 4) [[unlikely]] return Reader::eof_error();
  const uint32_t index = r.take_u32();
  if (index >= kTermVariantCount) [[unlikely]] {
    return Reader::variant_error(index, kTermVariantCount);
  }
  out.kind = static_cast<Term::Kind>(index);
  if (out.kind == Term::Kind::Var) {
    out.value = 0;
    return r.str_into(out.name);
  }
  out.name.clear();
  if (r.remaining() < 8) [[unlikely]] return Reader::eof_error();
  out.value = r.take_u64();
  return {};
}

bincode::Result<Term> read_term(bincode::Reader& r);

std::string encode_profile(const PredicateProfile& p);
// Decodes a profile record; trailing bytes are ignored.
bincode::Result<PredicateProfile> decode_profile(std::string_view bytes);

}  // namespace ruvo
