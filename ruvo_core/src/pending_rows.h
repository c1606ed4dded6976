// PendingRows: the writes of one tree waiting in a deferred batch, each key
// once with its latest value.
//
// Made for a batch that takes a whole call's writes: many keys, most of them
// written again and again, read back by key, and read in key order only now
// and then (a scan, the commit). Keys and values live in one growing arena;
// a hash table finds a key, and key order is kept as a sorted run plus an
// unsorted tail of newer keys, sorted into the run only when order is asked
// for: by a scan once the tail has grown to a thirty-second of the run, by
// the commit always. No node is allocated per key.
//
// Not thread-safe; the owner locks. string_views handed out stay valid
// until the next put() or clear().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace ruvo::kv {

class PendingRows {
 public:
  PendingRows() = default;
  PendingRows(const PendingRows&) = delete;
  PendingRows& operator=(const PendingRows&) = delete;

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  // The bytes held for keys and values (what the arena holds).
  size_t bytes() const { return arena_bytes_; }
  // The memory the rows take: the arena's bytes and the index structures
  // (the key order counted as one index per entry; the entries counted
  // without their last chunk's unused room). Changed by put() and
  // clear() only, so that owners may keep a sum of it up to date.
  size_t footprint() const {
    return arena_bytes_ + size_t{size_} * (sizeof(Entry) + sizeof(uint32_t)) +
           table_.capacity() * sizeof(uint64_t);
  }

  // The latest value written under `key`, or nullopt.
  std::optional<std::string_view> find(std::string_view key) const;
  // Records `value` as the latest value of `key`.
  void put(std::string_view key, std::string_view value);
  // Drops every row and releases the memory they took.
  void clear();

  // Every row whose key starts with `prefix`, in ascending key byte order,
  // as indexes for key()/value(). Filters the unsorted tail row by row:
  // callers that scan call order() first whenever tail_is_long().
  void rows_with_prefix(std::string_view prefix, std::vector<uint32_t>& out) const;
  bool tail_is_long() const;
  // Sorts a long tail into the run (a write: readers must be kept out).
  void order();
  // Every row in ascending key byte order.
  const std::vector<uint32_t>& sorted();
  // Reading (find, rows_with_prefix, key, value) changes nothing: readers
  // may share the object while nobody writes.

  std::string_view key(uint32_t row) const { return {entry(row).key, entry(row).key_len}; }
  std::string_view value(uint32_t row) const { return {entry(row).value, entry(row).value_len}; }

 private:
  // The key's hash lives in the table's slot only (its high half places
  // the slot and tags it), so growing the table reads no key.
  struct Entry {
    const char* key;
    char* value;
    uint32_t key_len;
    uint32_t value_len;
    uint32_t value_cap;
  };
  char* allocate(size_t n);
  int64_t slot_of(std::string_view key, uint64_t h) const;
  void grow_table();
  // Sorts the tail into the run.
  void merge_tail();

  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t block_used_ = 0, block_size_ = 0;
  size_t arena_bytes_ = 0;
  // Entries in fixed chunks: growing never copies them, nor holds two
  // arrays of them at once.
  static constexpr uint32_t kChunkBits = 14;
  static constexpr size_t kChunk = size_t{1} << kChunkBits;
  const Entry& entry(uint32_t row) const { return chunks_[row >> kChunkBits][row & (kChunk - 1)]; }
  Entry& entry(uint32_t row) { return chunks_[row >> kChunkBits][row & (kChunk - 1)]; }
  std::vector<std::unique_ptr<Entry[]>> chunks_;
  uint32_t size_ = 0;
  std::vector<uint64_t> table_;  // open addressing: hash tag, row + 1; 0 = empty
  std::vector<uint32_t> run_;    // rows in key order
  std::vector<uint32_t> tail_;   // rows added since the last merge
};

}  // namespace ruvo::kv
