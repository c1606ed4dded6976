// Hashing helpers for in-memory tables (never stored: results may change
// between versions).
#pragma once

#include <cstdint>

namespace ruvo {

// A 64-bit finalizer (MurmurHash3's fmix64): every input bit affects every
// output bit.
inline uint64_t mix64(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

}  // namespace ruvo
