#include "ruvo_core/src/pending_rows.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <utility>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/parallel.h"
#include "ruvo_core/src/radix_sort.h"

namespace ruvo::kv {

namespace {

uint64_t hash_bytes(std::string_view s) {
  uint64_t h = 0x9e3779b97f4a7c15ull ^ s.size();
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ w) * 0xbf58476d1ce4e5b9ull;
    h ^= h >> 31;
  }
  uint64_t w = 0;
  std::memcpy(&w, s.data() + i, s.size() - i);
  h = (h ^ w) * 0x94d049bb133111ebull;
  return h ^ (h >> 29);
}

constexpr size_t kBlockBytes = size_t{1} << 20;
// Filled appends are filled by up to kFillThreads threads from this many
// rows on.
constexpr size_t kThreadedFillRows = size_t{1} << 16;
constexpr size_t kFillThreads = 4;

// The tail is sorted into the run once it holds this many rows, or a
// thirty-second of the run: a scan filters the tail row by row, a merge
// moves the whole run.
constexpr size_t kMinTail = 1024;

// Where probing for a tag (the high half of a key's hash) starts: the tag
// mixed once more, so that neighbouring slots hold unrelated tags and
// comparing tags keeps sparing key comparisons. REQUIRES: table_size is a
// power of two, at least 2.
size_t home_slot(uint64_t tag, size_t table_size) {
  return static_cast<size_t>((tag * 0x9e3779b97f4a7c15ull) >> (64 - std::countr_zero(table_size)));
}

// A key's first 24 bytes as big-endian words, zero padded: compared as
// numbers they order like the bytes.
struct KeyHead {
  uint64_t w[3];
};

[[gnu::always_inline]] inline KeyHead head_of(std::string_view k) {
  KeyHead h;
  for (size_t j = 0; j < 3; ++j) {
    uint64_t w = 0;  // zero padded past the key's end
    if (k.size() >= 8 * j + 8) {
      std::memcpy(&w, k.data() + 8 * j, 8);  // most keys: whole words
    } else if (k.size() > 8 * j) {
      std::memcpy(&w, k.data() + 8 * j, k.size() - 8 * j);
    }
    h.w[j] = bincode::to_be(w);
  }
  return h;
}

// Whether key head words a order before b, word by word (a tuple
// comparison here is not inlined into plain ones).
[[gnu::always_inline]] inline bool words_less(const uint64_t* a, const uint64_t* b) {
  return a[0] != b[0] ? a[0] < b[0] : a[1] != b[1] ? a[1] < b[1] : a[2] < b[2];
}

}  // namespace

char* PendingRows::allocate(size_t n) {
  if (block_used_ + n > block_size_) {
    block_size_ = std::max(kBlockBytes, n);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(block_size_));
    block_used_ = 0;
  }
  char* p = blocks_.back().get() + block_used_;
  block_used_ += n;
  arena_bytes_ += n;
  return p;
}

// A slot holds the row + 1 in its low half (0: empty) and the key's hash's
// high half in its own: probes compare keys only where the hashes agree.
int64_t PendingRows::slot_of(std::string_view key, uint64_t h) const {
  const size_t mask = table_.size() - 1;
  const uint64_t tag = h >> 32;
  for (size_t i = home_slot(tag, table_.size());; i = (i + 1) & mask) {
    const uint64_t slot = table_[i];
    if (slot == 0) return static_cast<int64_t>(i);
    if ((slot >> 32) == tag && this->key(static_cast<uint32_t>(slot) - 1) == key)
      return static_cast<int64_t>(i);
  }
}

void PendingRows::grow_table() {
  std::vector<uint64_t> old = std::move(table_);
  table_.assign(std::max<size_t>(64, old.size() * 2), 0);
  const size_t mask = table_.size() - 1;
  for (uint64_t slot : old) {
    if (slot == 0) continue;
    size_t i = home_slot(slot >> 32, table_.size());
    while (table_[i] != 0) i = (i + 1) & mask;
    table_[i] = slot;
  }
}

std::optional<uint32_t> PendingRows::find_unsettled(std::string_view key) const {
  for (uint32_t row = size_; row > settled_; --row)
    if (this->key(row - 1) == key) return row - 1;
  return std::nullopt;
}

std::optional<std::string_view> PendingRows::find(std::string_view key) const {
  if (auto row = find_unsettled(key)) return value(*row);
  if (hashed_ == 0) return std::nullopt;
  const uint64_t slot = table_[static_cast<size_t>(slot_of(key, hash_bytes(key)))];
  if (slot == 0) return std::nullopt;
  return value(static_cast<uint32_t>(slot) - 1);
}

uint32_t PendingRows::add_row(std::string_view key, std::string_view value) {
  char* k = allocate(key.size() + value.size());
  if (!key.empty()) std::memcpy(k, key.data(), key.size());
  if (!value.empty()) std::memcpy(k + key.size(), value.data(), value.size());
  const uint32_t row = size_++;
  if ((row >> kChunkBits) == chunks_.size()) chunks_.push_back(std::make_unique_for_overwrite<Entry[]>(kChunk));
  entry(row) = Entry{k, k + key.size(), static_cast<uint32_t>(key.size()),
                     static_cast<uint32_t>(value.size()), static_cast<uint32_t>(value.size())};
  return row;
}

void PendingRows::put(std::string_view key, std::string_view value) {
  settle();
  if ((size_t{hashed_} + 1) * 2 > table_.size()) grow_table();
  const uint64_t h = hash_bytes(key);
  const size_t slot = static_cast<size_t>(slot_of(key, h));
  if (table_[slot] != 0) {
    Entry& e = entry(static_cast<uint32_t>(table_[slot]) - 1);
    if (value.size() > e.value_cap) {
      e.value = allocate(value.size());
      e.value_cap = static_cast<uint32_t>(value.size());
    }
    if (!value.empty()) std::memcpy(e.value, value.data(), value.size());
    e.value_len = static_cast<uint32_t>(value.size());
    return;
  }
  const uint32_t row = add_row(key, value);
  settled_ = size_;
  index_row(slot, h, row);
}

void PendingRows::index_row(size_t slot, uint64_t h, uint32_t row) {
  ++hashed_;
  table_[slot] = (h >> 32 << 32) | (row + 1);
  tail_.push_back(row);
}

void PendingRows::KeyFacts::start(std::string_view k) {
  const KeyHead h = head_of(k);
  for (int j = 0; j < 3; ++j) first[j] = last[j] = h.w[j], differ[j] = 0;
  len = k.size();
  one_len = len <= 24;
  ascending = true;
}

[[gnu::always_inline]] inline void PendingRows::KeyFacts::add(std::string_view k) {
  if (!one_len) return;  // nothing more is needed
  one_len = k.size() == len;
  const KeyHead h = head_of(k);
  for (int j = 0; j < 3; ++j) differ[j] |= h.w[j] ^ first[j];
  ascending = ascending && words_less(last, h.w);
  for (int j = 0; j < 3; ++j) last[j] = h.w[j];
}

void PendingRows::KeyFacts::merge(const KeyFacts& next) {
  if (!one_len) return;
  one_len = next.one_len && next.len == len;
  // A key of `next` differs from this first key where it differs from
  // next's first key, or next's first key from this one.
  for (int j = 0; j < 3; ++j) differ[j] |= next.differ[j] | (next.first[j] ^ first[j]);
  ascending = ascending && next.ascending && words_less(last, next.first);
  for (int j = 0; j < 3; ++j) last[j] = next.last[j];
}

void PendingRows::append(std::string_view key, std::string_view value) {
  if (unsettled()) {
    appended_.add(key);
  } else {
    appended_.start(key);
  }
  (void)add_row(key, value);
}

void PendingRows::append_filled(size_t n, size_t key_bytes, size_t value_bytes, const FillFn& fill) {
  if (n == 0) return;
  const size_t row_bytes = key_bytes + value_bytes;
  char* const base = allocate(n * row_bytes);  // one piece of the arena
  const uint32_t first_row = size_;
  while (chunks_.size() * kChunk < size_t{size_} + n) chunks_.push_back(std::make_unique_for_overwrite<Entry[]>(kChunk));
  const size_t threads = n < kThreadedFillRows ? 1 : worker_count(kFillThreads);
  std::vector<KeyFacts> facts(threads);
  // Each part fills its rows and gathers their facts; the fresh pages they
  // land on are faulted in by the threads at once.
  auto part = [&](size_t t) {
    const size_t from = n * t / threads, to = n * (t + 1) / threads;
    for (size_t i = from; i < to; ++i) {
      char* k = base + i * row_bytes;
      fill(i, k, k + key_bytes);
      entry(first_row + static_cast<uint32_t>(i)) =
          Entry{k, k + key_bytes, static_cast<uint32_t>(key_bytes), static_cast<uint32_t>(value_bytes),
                static_cast<uint32_t>(value_bytes)};
      const std::string_view key(k, key_bytes);
      if (i == from) {
        facts[t].start(key);
      } else {
        facts[t].add(key);
      }
    }
  };
  run_parts(threads, part);
  // The parts' facts in row order, as append() gathers them row by row.
  for (size_t t = 0; t < threads; ++t) {
    if (n * t / threads == n * (t + 1) / threads) continue;  // an empty part
    if (t == 0 && !unsettled()) {
      appended_ = facts[0];
    } else {
      appended_.merge(facts[t]);
    }
  }
  size_ += static_cast<uint32_t>(n);
}

void PendingRows::settle() {
  for (; settled_ < size_; ++settled_) {
    const uint32_t row = settled_;
    if ((size_t{hashed_} + 1) * 2 > table_.size()) grow_table();
    const std::string_view k = key(row);
    const uint64_t h = hash_bytes(k);
    const size_t slot = static_cast<size_t>(slot_of(k, h));
    if (table_[slot] == 0) {
      index_row(slot, h, row);
      continue;
    }
    // The key is held already: that row takes this one's value, whose
    // bytes stay in the arena, unused.
    Entry& held = entry(static_cast<uint32_t>(table_[slot]) - 1);
    const Entry& e = entry(row);
    held.value = e.value;
    held.value_len = held.value_cap = e.value_len;
    ++dead_;
  }
}

bool PendingRows::tail_is_long() const { return tail_.size() >= std::max(kMinTail, run_.size() / 32); }

void PendingRows::order() {
  if (tail_is_long()) merge_tail();
}

void PendingRows::clear() {
  blocks_.clear();
  block_used_ = block_size_ = arena_bytes_ = 0;
  chunks_ = std::vector<std::unique_ptr<Entry[]>>();
  size_ = settled_ = dead_ = hashed_ = 0;
  table_ = std::vector<uint64_t>();
  run_ = std::vector<uint32_t>();
  tail_ = std::vector<uint32_t>();
  merged_ = std::vector<uint32_t>();
}

namespace {

// Rows from which sort_one_word packs keys on more than one thread, and
// the most threads it packs on.
constexpr size_t kThreadedRows = size_t{1} << 17;
constexpr size_t kMaxPackThreads = 4;

// Sorts `rows` (newest first) stably by the `span_bits` bits that
// packed(row) gives, and keeps the first row of each packed value. Each
// row becomes one word, its packed bits above its number (in the low
// `row_bits`), sorted by a counting pass per digit of up to 11 bits. The
// packing, which reads every key, counts every digit as it goes, and many
// rows are packed by a few threads at once (by this one alone where no
// other thread is to be had): reading the keys waits on memory, and a
// thread waits for few loads at a time.
// REQUIRES: span_bits + row_bits <= 64; every row < 2^row_bits.
template <class Packed>
void sort_one_word(std::vector<uint32_t>& rows, unsigned row_bits, unsigned span_bits, const Packed& packed) {
  const size_t n = rows.size();
  constexpr unsigned kMaxDigitBits = 11;
  const unsigned passes = (span_bits + kMaxDigitBits - 1) / kMaxDigitBits;
  const unsigned digit_bits = passes == 0 ? 0 : (span_bits + passes - 1) / passes;
  const size_t buckets = size_t{1} << digit_bits;
  const uint64_t digit_mask = buckets - 1;
  auto items = std::make_unique_for_overwrite<uint64_t[]>(n);
  auto scratch = std::make_unique_for_overwrite<uint64_t[]>(n);
  const size_t threads = n < kThreadedRows ? 1 : worker_count(kMaxPackThreads);
  std::vector<uint32_t> counts(threads * passes * buckets, 0);  // by thread, pass, digit
  auto pack = [&](size_t t) {
    const size_t from = n * t / threads, to = n * (t + 1) / threads;
    uint32_t* count = counts.data() + t * passes * buckets;
    for (size_t i = from; i < to; ++i) {
      const uint64_t item = packed(rows[i]) << row_bits | rows[i];
      items[i] = item;
      for (unsigned p = 0; p < passes; ++p) ++count[p * buckets + ((item >> (row_bits + p * digit_bits)) & digit_mask)];
    }
    // The first pass would take the scratch's fresh pages one by one.
    if (passes != 0) std::fill(scratch.get() + from, scratch.get() + to, 0);
  };
  run_parts(threads, pack);
  std::vector<size_t> at(buckets);
  for (unsigned p = 0; p < passes; ++p) {
    size_t sum = 0;
    bool one_digit = false;  // the same in every row: the pass would move nothing
    for (size_t d = 0; d < buckets; ++d) {
      size_t c = 0;
      for (size_t t = 0; t < threads; ++t) c += counts[(t * passes + p) * buckets + d];
      one_digit = one_digit || c == n;
      at[d] = sum;
      sum += c;
    }
    if (one_digit) continue;
    const unsigned shift = row_bits + p * digit_bits;
    for (size_t i = 0; i < n; ++i) scratch[at[(items[i] >> shift) & digit_mask]++] = items[i];
    items.swap(scratch);
  }
  scratch.reset();
  rows.clear();
  const uint64_t row_mask = (uint64_t{1} << row_bits) - 1;
  for (size_t i = 0; i < n; ++i)
    if (i == 0 || items[i] >> row_bits != items[i - 1] >> row_bits) rows.push_back(static_cast<uint32_t>(items[i] & row_mask));
}

}  // namespace

void PendingRows::sort_newest_by_key(std::vector<uint32_t>& rows, const KeyFacts* facts) const {
  if (rows.size() < 2) return;
  // Keys of one length up to 24 bytes that differ in at most 64 bits (a
  // predicate's states over a few thousand symbols, say) are sorted by
  // those bits alone, packed into one word: in each of the three words,
  // the span from its highest to its lowest bit that differs anywhere.
  KeyFacts measured;
  if (facts == nullptr) {
    measured.start(key(rows[0]));
    for (size_t i = 1; measured.one_len && i < rows.size(); ++i) measured.add(key(rows[i]));
    facts = &measured;
  }
  const bool packable = facts->one_len;
  const uint64_t* differ = facts->differ;
  // Rows written in key order (a whole predicate's states, say) need no
  // sort: keys strictly ascending are each held once, in order.
  if (packable && facts->ascending) return;
  // Outside its span a word is the same in every key, so the spans side
  // by side, first word first, order and compare as the keys do.
  struct Span {
    int word;
    unsigned low, bits;
  };
  std::vector<Span> spans;
  unsigned span_bits = 0;
  for (int j = 0; packable && j < 3; ++j) {
    if (differ[j] == 0) continue;
    const unsigned low = static_cast<unsigned>(std::countr_zero(differ[j]));
    const unsigned bits = static_cast<unsigned>(std::bit_width(differ[j])) - low;
    spans.push_back(Span{j, low, bits});
    span_bits += bits;
  }
  if (packable && span_bits <= 64) {
    // Newest first, so that the stable passes keep the newest row of a key
    // first.
    if (std::is_sorted(rows.begin(), rows.end())) {
      std::reverse(rows.begin(), rows.end());
    } else {
      std::sort(rows.begin(), rows.end(), std::greater<>());
    }
    const size_t n = rows.size();
    auto packed = [&](uint32_t row) {
      const KeyHead h = head_of(key(row));
      uint64_t k = 0;
      for (const Span& sp : spans) {
        const uint64_t field = h.w[sp.word] >> sp.low;
        k = sp.bits == 64 ? field : (k << sp.bits) | (field & ((uint64_t{1} << sp.bits) - 1));
      }
      return k;
    };
    // Where a row's number fits below the packed bits (keys that differ
    // in up to 40 bits, in up to 16 M rows), a row is one word, and each
    // pass moves half as much.
    const unsigned row_bits = 8 * ((static_cast<unsigned>(std::bit_width(size_)) + 7) / 8);  // rows < size_
    if (span_bits + row_bits <= 64) {
      sort_one_word(rows, row_bits, span_bits, packed);
      return;
    }
    std::vector<uint64_t> items(2 * rows.size()), scratch;  // (packed bits, row)
    for (size_t i = 0; i < rows.size(); ++i) {
      items[2 * i] = packed(rows[i]);
      items[2 * i + 1] = rows[i];
    }
    radix_sort(items, scratch, rows.size(), 2, 1);
    scratch = std::vector<uint64_t>();
    rows.clear();
    for (size_t i = 0; i < n; ++i)
      if (i == 0 || items[2 * i] != items[2 * i - 2]) rows.push_back(static_cast<uint32_t>(items[2 * i + 1]));
    return;
  }
  // Otherwise by the first 24 bytes held inline, the whole keys compared
  // only on a tie: a sort of keys reached through pointers waits on memory
  // at every comparison.
  struct Head {
    KeyHead h;
    uint32_t row;
  };
  std::vector<Head> heads(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) heads[i] = Head{head_of(key(rows[i])), rows[i]};
  auto same_head = [](const Head& a, const Head& b) {
    return a.h.w[0] == b.h.w[0] && a.h.w[1] == b.h.w[1] && a.h.w[2] == b.h.w[2];
  };
  std::sort(heads.begin(), heads.end(), [&](const Head& a, const Head& b) {
    for (int j = 0; j < 3; ++j)
      if (a.h.w[j] != b.h.w[j]) return a.h.w[j] < b.h.w[j];
    if (int c = key(a.row).compare(key(b.row)); c != 0) return c < 0;
    return a.row > b.row;
  });
  rows.clear();
  for (size_t i = 0; i < heads.size(); ++i)
    if (i == 0 || !same_head(heads[i], heads[i - 1]) || key(heads[i].row) != key(heads[i - 1].row))
      rows.push_back(heads[i].row);
}

void PendingRows::merge_tail() {
  if (tail_.empty()) return;
  sort_newest_by_key(tail_);  // its keys differ
  const size_t mid = run_.size();
  run_.insert(run_.end(), tail_.begin(), tail_.end());
  auto less = [this](uint32_t a, uint32_t b) { return key(a) < key(b); };
  std::inplace_merge(run_.begin(), run_.begin() + static_cast<std::ptrdiff_t>(mid), run_.end(), less);
  tail_ = std::vector<uint32_t>();
}

void PendingRows::merge_newer(const std::vector<uint32_t>& older, std::vector<uint32_t>& newer,
                              std::vector<uint32_t>& out, const KeyFacts* facts) const {
  sort_newest_by_key(newer, facts);
  if (older.empty()) {
    out.swap(newer);
    return;
  }
  // Each older row finds its place among the newer ones by binary search:
  // there are usually far fewer of them (the facts, beside a call's
  // derived states). An older row before the next newer one (as when the
  // two hold different predicates) takes one comparison.
  std::vector<size_t> places(older.size());  // the place, times 2, plus 1 if the row is kept
  size_t kept = 0;
  size_t n = 0;
  auto less = [this](uint32_t r, std::string_view v) { return key(r) < v; };
  for (size_t i = 0; i < older.size(); ++i) {
    const std::string_view k = key(older[i]);
    if (n != newer.size() && !(k < key(newer[n])))
      n = static_cast<size_t>(std::lower_bound(newer.begin() + static_cast<std::ptrdiff_t>(n), newer.end(), k, less) -
                              newer.begin());
    const bool keep = n == newer.size() || key(newer[n]) != k;  // else the newer row wins
    places[i] = 2 * n + keep;
    kept += keep;
  }
  // Then the newer rows move up in place, the last first, to make room
  // for the older rows kept: a fresh array as long would cost more.
  size_t to = newer.size() + kept, from = newer.size();
  newer.resize(to);
  for (size_t i = older.size(); i-- > 0;) {
    const size_t place = places[i] / 2;
    std::copy_backward(newer.begin() + static_cast<std::ptrdiff_t>(place),
                       newer.begin() + static_cast<std::ptrdiff_t>(from), newer.begin() + static_cast<std::ptrdiff_t>(to));
    to -= from - place;
    from = place;
    if (places[i] % 2 != 0) newer[--to] = older[i];
  }
  out.swap(newer);
}

const std::vector<uint32_t>& PendingRows::sorted() {
  merge_tail();
  if (!unsettled()) return run_;
  std::vector<uint32_t> newer;
  newer.reserve(size_t{size_ - settled_} + run_.size());  // room for the merge
  for (uint32_t row = settled_; row < size_; ++row) newer.push_back(row);
  merge_newer(run_, newer, merged_, &appended_);
  return merged_;
}

void PendingRows::prefetch(std::span<const uint32_t> rows, size_t n) const {
  // The entries a step ahead of the bytes: an entry must have arrived
  // before its key and value can be asked for.
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < rows.size()) __builtin_prefetch(&entry(rows[i + kAhead]));
    const Entry& e = entry(rows[i]);
    __builtin_prefetch(e.key);
    if (e.value_len != 0) __builtin_prefetch(e.value + e.value_len - 1);
  }
}

void PendingRows::rows_with_prefix(std::string_view prefix, std::vector<uint32_t>& out) const {
  out.clear();
  auto first = std::lower_bound(run_.begin(), run_.end(), prefix,
                                [this](uint32_t r, std::string_view p) { return key(r) < p; });
  for (; first != run_.end() && key(*first).starts_with(prefix); ++first) out.push_back(*first);
  const size_t from_run = out.size();
  for (uint32_t r : tail_)
    if (key(r).starts_with(prefix)) out.push_back(r);
  if (out.size() != from_run) {
    auto less = [this](uint32_t a, uint32_t b) { return key(a) < key(b); };
    const auto mid = out.begin() + static_cast<std::ptrdiff_t>(from_run);
    std::sort(mid, out.end(), less);
    std::inplace_merge(out.begin(), mid, out.end(), less);
  }
  std::vector<uint32_t> newer;
  for (uint32_t r = settled_; r < size_; ++r)
    if (key(r).starts_with(prefix)) newer.push_back(r);
  if (newer.empty()) return;
  std::vector<uint32_t> older = std::move(out);
  merge_newer(older, newer, out);
}

}  // namespace ruvo::kv
