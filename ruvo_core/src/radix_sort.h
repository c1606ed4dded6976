// Stable least-significant-digit radix sort of fixed-width records of
// 64-bit words, for the engine's match orders and the pending rows' keys,
// and the packing of a record's key words into one word.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace ruvo {

namespace radix_detail {

// radix_sort with the stride fixed at compile time (0: not fixed), so that
// records move as a few word copies.
template <size_t kStride, class Words>
void sort_by(Words& items, Words& scratch, size_t n,
             size_t dynamic_stride, size_t w, unsigned low_bits) {
  const size_t stride = kStride != 0 ? kStride : dynamic_stride;
  scratch.resize(items.size());
  for (size_t j = w; j-- > 0;) {
    uint64_t all_or = 0, all_and = ~uint64_t{0};
    for (size_t i = 0; i < n; ++i) {
      all_or |= items[i * stride + j];
      all_and &= items[i * stride + j];
    }
    const uint64_t varying = all_or ^ all_and;
    for (unsigned shift = j + 1 == w ? low_bits : 0; shift < 64; shift += 8) {
      if (((varying >> shift) & 0xff) == 0) continue;
      size_t at[256] = {};
      for (size_t i = 0; i < n; ++i) ++at[(items[i * stride + j] >> shift) & 0xff];
      size_t sum = 0;
      for (size_t& c : at) sum += std::exchange(c, sum);
      for (size_t i = 0; i < n; ++i) {
        const uint64_t* from = items.data() + i * stride;
        uint64_t* to = scratch.data() + at[(from[j] >> shift) & 0xff]++ * stride;
        if constexpr (kStride != 0) {
          std::memcpy(to, from, kStride * sizeof(uint64_t));  // a few moves, inline
        } else {
          std::copy_n(from, stride, to);
        }
      }
      items.swap(scratch);
    }
  }
}

}  // namespace radix_detail

// Sorts the `n` records of `stride` words at the front of `items` stably by
// their first `w` words (ascending, first word first): one counting pass
// per byte that is not the same in every record. `scratch` is working
// room; afterwards either vector may hold the other's old buffer. The
// lowest `low_bits` bits of the last key word (a multiple of 8) are not
// sorted by: a record may keep a payload there.
// REQUIRES: items.size() >= n * stride, w <= stride.
// `Words`: std::vector<uint64_t> or PodVector<uint64_t>.
template <class Words>
void radix_sort(Words& items, Words& scratch, size_t n, size_t stride, size_t w, unsigned low_bits = 0) {
  switch (stride) {
    case 1: return radix_detail::sort_by<1>(items, scratch, n, stride, w, low_bits);
    case 2: return radix_detail::sort_by<2>(items, scratch, n, stride, w, low_bits);
    case 3: return radix_detail::sort_by<3>(items, scratch, n, stride, w, low_bits);
    case 4: return radix_detail::sort_by<4>(items, scratch, n, stride, w, low_bits);
    case 5: return radix_detail::sort_by<5>(items, scratch, n, stride, w, low_bits);
    default: return radix_detail::sort_by<0>(items, scratch, n, stride, w, low_bits);
  }
}

// Key words of many records packed side by side into one word each, every
// position in as many bits as its largest value needs: packed words order
// and compare as the records' key word lists do (ascending, first word
// first), so that a sort by a list of words becomes a sort by one.
class KeyPacking {
 public:
  // Measures key positions [0, w) of `n` records; word(i, j) is record
  // i's key word j.
  template <class Word>
  KeyPacking(size_t n, size_t w, Word word) : bits_(w, 0) {
    for (size_t j = 0; j < w; ++j) {
      uint64_t all_or = 0;
      for (size_t i = 0; i < n; ++i) all_or |= word(i, j);
      bits_[j] = static_cast<unsigned>(std::bit_width(all_or));
      total_ += bits_[j];
    }
  }
  // The bits the positions take together; pack() needs at most 64.
  size_t bits() const { return total_; }
  // A measured record's key words key[0, w) as one word, in the low bits().
  uint64_t pack(const uint64_t* key) const {
    uint64_t packed = 0;
    for (size_t j = 0; j < bits_.size(); ++j)
      packed = bits_[j] == 64 ? key[j] : (packed << bits_[j]) | key[j];
    return packed;
  }

 private:
  std::vector<unsigned> bits_;
  size_t total_ = 0;
};

}  // namespace ruvo
