#include "ruvo_idb/src/types.h"

#include <cmath>

#include "ruvo_core/src/types.h"

namespace ruvo {

using bincode::Reader;
using bincode::Writer;

bool AtomState::approx_eq(const AtomState& s, const AtomState& t) {
  // Both comparisons strict; a NaN difference compares false.
  return std::fabs(s.b - t.b) < kPresenceThreshold && std::fabs(s.d - t.d) < kPresenceThreshold;
}

void encode_atom_state_into(const AtomState& s, char* out) {
  Writer w(out);
  w.f64(s.b);
  w.f64(s.d);
}

std::string encode_atom_state(const AtomState& s) {
  return bincode::encode_with([] { return kAtomStateBytes; },
                              [&](Writer& w) { encode_atom_state_into(s, w.pos()); });
}

bincode::Result<AtomState> decode_atom_state(std::string_view bytes) {
  Reader r(bytes);
  AtomState s;
  RUVO_TRY(s.b, r.f64());
  RUVO_TRY(s.d, r.f64());
  return s;
}

std::string encode_contribution(const Contribution& c) {
  const size_t size =
      bincode::kF64 * 2 + bincode::kTag + (c.evidence_id ? bincode::kU64 + c.evidence_id->size() : 0);
  return bincode::encode_with([size] { return size; }, [&](Writer& w) {
    w.f64(c.b);
    w.f64(c.d);
    w.u8(c.evidence_id ? 1 : 0);
    if (c.evidence_id) w.str(*c.evidence_id);
  });
}

bincode::Result<Contribution> decode_contribution(std::string_view bytes) {
  Reader r(bytes);
  Contribution c;
  RUVO_TRY(c.b, r.f64());
  RUVO_TRY(c.d, r.f64());
  RUVO_TRY(bool present, r.option_tag());
  if (present) {
    RUVO_TRY(uint64_t len, r.count());
    // The id is a sequence of single bytes, each read on its own: an id cut
    // short ends like any other fixed-width field, with a plain
    // UnexpectedEof.
    if (len > r.remaining()) return std::unexpected(bincode::Error::eof());
    const size_t offset = bytes.size() - r.remaining();
    c.evidence_id.emplace(bytes.substr(offset, static_cast<size_t>(len)));
  }
  return c;
}

}  // namespace ruvo
