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
size_t term_size(const Term& t);
void write_term(bincode::Writer& w, const Term& t);
bincode::Result<Term> read_term(bincode::Reader& r);

std::string encode_profile(const PredicateProfile& p);
// Decodes a profile record; trailing bytes are ignored.
bincode::Result<PredicateProfile> decode_profile(std::string_view bytes);

}  // namespace ruvo
