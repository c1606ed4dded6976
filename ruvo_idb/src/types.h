// Atom states and contributions, with their records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ruvo_core/src/codec.h"

namespace ruvo {

// Evidence for (b) and against (d) one ground atom; never written reads as
// (0, 0). Record: 16 bytes, b then d, little-endian IEEE-754.
struct AtomState {
  double b = 0.0;
  double d = 0.0;
  // True exactly when both fields differ by strictly less than 1e-12 (a NaN
  // difference, e.g. inf - inf, is never equal).
  static bool approx_eq(const AtomState& s, const AtomState& t);
};

// One source's evidence. Record: b, d, option tag, then (when present) the
// id's u64 length and bytes: 17 or 25 + len bytes.
struct Contribution {
  double b = 0.0;
  double d = 0.0;
  std::optional<std::string> evidence_id;
};

std::string encode_atom_state(const AtomState& s);
// The same record written into `out`, which holds kAtomStateBytes bytes.
inline constexpr size_t kAtomStateBytes = 16;
void encode_atom_state_into(const AtomState& s, char* out);
// Fewer than 16 bytes: Io(Kind(UnexpectedEof)); extra bytes ignored.
bincode::Result<AtomState> decode_atom_state(std::string_view bytes);
std::string encode_contribution(const Contribution& c);
bincode::Result<Contribution> decode_contribution(std::string_view bytes);

}  // namespace ruvo
