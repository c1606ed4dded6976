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
// Rows may also be appended without a lookup (append(), or many of one
// key length and one value length at once, append_filled()): cheaper for
// many keys written once each, as at the end of a call. Such rows stay
// unsettled, outside the hash table and the key order, until settle()
// looks them up in order as put() would have; a put() settles them first.
// Reads see them either way, newest first, but read them row by row until
// they are settled: owners settle before reading where they can.
//
// Not thread-safe; the owner locks (append_filled() starts threads of its
// own for the length of the call). string_views handed out stay valid
// until the next put(), settle() or clear().
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace ruvo::kv {

class PendingRows {
 public:
  PendingRows() = default;
  PendingRows(const PendingRows&) = delete;
  PendingRows& operator=(const PendingRows&) = delete;

  bool empty() const { return size_ == dead_; }
  // The number of keys held (a key appended again counts once, once
  // settled).
  size_t size() const { return size_ - dead_; }
  // The bytes held for keys and values (what the arena holds).
  size_t bytes() const { return arena_bytes_; }
  // The memory the rows take: the arena's bytes and the index structures
  // (the key order counted as one index per entry; the entries counted
  // without their last chunk's unused room). Changed by put(), append(),
  // settle() and clear() only, so that owners may keep a sum of it up to
  // date.
  size_t footprint() const {
    return arena_bytes_ + size_t{size_} * (sizeof(Entry) + sizeof(uint32_t)) +
           table_.capacity() * sizeof(uint64_t);
  }

  // The latest value written under `key`, or nullopt.
  std::optional<std::string_view> find(std::string_view key) const;
  // Records `value` as the latest value of `key`.
  void put(std::string_view key, std::string_view value);
  // Records `value` as the latest value of `key`, as put() does, without
  // looking the key up: the row stays unsettled until settle().
  void append(std::string_view key, std::string_view value);
  // Writes row i's key into `key` and its value into `value`.
  using FillFn = std::function<void(size_t i, char* key, char* value)>;
  // Appends `n` rows as append() would, one after another, each with a
  // key of `key_bytes` bytes and a value of `value_bytes` that fill()
  // writes into the arena: many rows are filled by a few threads at once,
  // so fill() may be called from several threads at once, for different
  // rows.
  void append_filled(size_t n, size_t key_bytes, size_t value_bytes, const FillFn& fill);
  // What footprint() grows by with `n` more rows of `row_bytes` bytes.
  static size_t footprint_of(size_t n, size_t row_bytes) {
    return n * (row_bytes + sizeof(Entry) + sizeof(uint32_t));
  }
  bool unsettled() const { return settled_ != size_; }
  // Looks the unsettled rows up, oldest first, as put() would have: a key
  // held already takes the row's value, and the row is dropped.
  void settle();
  // Drops every row and releases the memory they took.
  void clear();

  // Every row whose key starts with `prefix`, in ascending key byte order,
  // as indexes for key()/value(). Filters the unsorted tail row by row:
  // callers that scan call order() first whenever tail_is_long().
  void rows_with_prefix(std::string_view prefix, std::vector<uint32_t>& out) const;
  bool tail_is_long() const;
  // Sorts a long tail into the run (a write: readers must be kept out).
  void order();
  // Every key once with its latest value, in ascending key byte order,
  // unsettled rows included (without settling them). Valid until the next
  // put(), append(), settle(), order() or clear().
  const std::vector<uint32_t>& sorted();
  // Reading (find, rows_with_prefix, key, value) changes nothing: readers
  // may share the object while nobody writes.

  std::string_view key(uint32_t row) const { return {entry(row).key, entry(row).key_len}; }
  std::string_view value(uint32_t row) const { return {entry(row).value, entry(row).value_len}; }
  // Asks the processor for the entries, keys and values of rows[0, n),
  // reading ahead into rows[n, ...) as well; changes nothing. Rows taken in
  // key order lie scattered over memory: asked for in this short loop,
  // their loads overlap, where a reader that does much work per row would
  // wait for each in turn. REQUIRES: n <= rows.size().
  void prefetch(std::span<const uint32_t> rows, size_t n) const;

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
  // What a sort needs to know of a list of keys before it starts: the
  // first key's length and first 24 bytes (as big-endian words, zero
  // padded), the bits of those words that differ from the first key's in
  // any key, and whether the keys are of one length up to 24 bytes and
  // strictly ascending (the rest is gathered only while they are of one
  // length). Gathered key by key, in the list's order.
  struct KeyFacts {
    uint64_t first[3], last[3], differ[3];
    size_t len;
    bool one_len, ascending;
    void start(std::string_view k);
    void add(std::string_view k);  // REQUIRES: start() called
    // As if the keys that gave `next` had been added one by one.
    // REQUIRES: start() called on both.
    void merge(const KeyFacts& next);
  };
  // Sorts rows by key and keeps only the newest (highest) row of each key.
  // `facts`, if given, are those of exactly `rows`, in their order.
  void sort_newest_by_key(std::vector<uint32_t>& rows, const KeyFacts* facts = nullptr) const;
  // Merges `newer` (unsettled rows, in any order; sorted here, and reused)
  // into `older` (settled rows, ascending, each key once) as `out`: each
  // key once, the newest unsettled row before every other row of its key.
  // The merge moves rows within `newer`, whose array then becomes `out`'s:
  // room reserved in it for older.size() more rows spares a copy.
  // `facts` as for sort_newest_by_key.
  void merge_newer(const std::vector<uint32_t>& older, std::vector<uint32_t>& newer,
                   std::vector<uint32_t>& out, const KeyFacts* facts = nullptr) const;
  // The newest unsettled row of `key`, searched row by row.
  std::optional<uint32_t> find_unsettled(std::string_view key) const;
  // Adds a new row (key and value copied into the arena) and returns it.
  uint32_t add_row(std::string_view key, std::string_view value);
  // Enters a row of a key not held yet into the table, at the empty `slot`
  // its probe for hash `h` ended on, and into the key order.
  void index_row(size_t slot, uint64_t h, uint32_t row);

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
  // Rows below settled_ are in the table and the key order, unless dead: a
  // settled row whose key was held already (its value moved to that row).
  uint32_t settled_ = 0;
  uint32_t dead_ = 0;
  uint32_t hashed_ = 0;  // rows in the table
  std::vector<uint64_t> table_;  // open addressing: hash tag, row + 1; 0 = empty
  std::vector<uint32_t> run_;    // rows in key order
  std::vector<uint32_t> tail_;   // rows added since the last merge
  std::vector<uint32_t> merged_;  // sorted()'s result when rows are unsettled
  // The facts of the unsettled rows' keys, in row order, gathered by
  // append() while each key is at hand, so that sorted() reads every key
  // once, not twice. Valid while unsettled(): the first row appended
  // after all were settled starts them anew.
  KeyFacts appended_{};
};

}  // namespace ruvo::kv
