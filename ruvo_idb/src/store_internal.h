// Helpers shared by the IDB sources and by nothing else: the codec's u64
// big-endian store under a short name, a state key written in place, the
// hash of a key's bytes, the shape check of state keys, and the two id
// counters (seeded when the store opens, drawn from by symbols and
// predicates). Not part of the store's interface: callers include store.h.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/fault.h"
#include "ruvo_core/src/hash.h"
#include "ruvo_idb/src/store.h"

namespace ruvo {

constexpr std::string_view kNextSymId = "next_sym_id";
constexpr std::string_view kNextPredId = "next_pred_id";

using bincode::store_u64_be;

// The state key of an atom (its predicate id, then its arguments, each a
// big-endian u64) written into `out`, which holds 8 + 8 * args.size()
// bytes.
inline void encode_state_key_into(uint64_t pred_id, std::span<const uint64_t> args, char* out) {
  store_u64_be(out, pred_id);
  for (size_t i = 0; i < args.size(); ++i) store_u64_be(out + 8 + 8 * i, args[i]);
}

inline bool well_formed_state_key(std::string_view key) {
  return key.size() >= 8 && (key.size() - 8) % 8 == 0;
}

inline void check_state_key(std::string_view key) {
  if (!well_formed_state_key(key)) {
    fault("malformed state key of " + std::to_string(key.size()) + " bytes");
  }
}

// Hash of a key's bytes, 8 bytes at a time (state keys are 8 + 8n bytes).
inline uint64_t hash_key(std::string_view key) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ key.size();
  size_t i = 0;
  for (; i + 8 <= key.size(); i += 8) h = mix64(h ^ bincode::get_u64_be(key.data() + i));
  if (i < key.size()) {
    uint64_t tail = 0;
    for (; i < key.size(); ++i) tail = (tail << 8) | static_cast<uint8_t>(key[i]);
    h = mix64(h ^ tail ^ 0xA5);
  }
  return h == 0 ? 1 : h;
}

// Draws the next id from a counter key (value: next id, u64 big-endian).
StoreResult<uint64_t> draw_id(const kv::Tree& meta, std::string_view key);

}  // namespace ruvo
