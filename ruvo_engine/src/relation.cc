#include "ruvo_engine/src/relation.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "ruvo_core/src/fault.h"
#include "ruvo_core/src/hash.h"
#include "ruvo_core/src/radix_sort.h"

namespace ruvo {

namespace {

// Word by word: rows are short, and a call into memcmp costs more.
bool same_args(std::span<const uint64_t> a, const uint64_t* b) {
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

bool row_less(const PodVector<uint64_t>& all, uint32_t arity, uint32_t a, uint32_t b) {
  const uint64_t* pa = all.data() + static_cast<size_t>(a) * arity;
  const uint64_t* pb = all.data() + static_cast<size_t>(b) * arity;
  return std::lexicographical_compare(pa, pa + arity, pb, pb + arity);
}

}  // namespace

void sort_rows_by_args(std::span<uint32_t> rows, const PodVector<uint64_t>& all_args,
                       uint32_t arity) {
  // Below this many rows a comparison sort reads fewer arguments than
  // gathering them all does.
  constexpr size_t kGatherFrom = 64;
  const size_t n = rows.size();
  auto less = [&](uint32_t a, uint32_t b) { return row_less(all_args, arity, a, b); };
  // Rows in the order of a scan (a relation as loaded, rows added in
  // order) are in order already: checked in one pass, they need no sort.
  if (std::is_sorted(rows.begin(), rows.end(), less)) return;
  if (n < kGatherFrom || arity == 0) {
    std::sort(rows.begin(), rows.end(), less);
    return;
  }
  // When every argument position's values fit side by side in the 32 bits
  // above a row number (a few thousand symbols per position, say), a row
  // is one word: its arguments packed above the row number. Rows differ in
  // their arguments, so no two words tie.
  auto row_args = [&](size_t i) { return all_args.data() + static_cast<size_t>(rows[i]) * arity; };
  const KeyPacking packing(n, arity, [&](size_t i, size_t j) { return row_args(i)[j]; });
  if (packing.bits() <= 32) {
    PodVector<uint64_t> items, scratch;
    items.resize(n);
    for (size_t i = 0; i < n; ++i) items[i] = packing.pack(row_args(i)) << 32 | rows[i];
    radix_sort(items, scratch, n, 1, 1, 32);
    for (size_t i = 0; i < n; ++i) rows[i] = static_cast<uint32_t>(items[i]);
    return;
  }
  // Otherwise each row's arguments are read once, into a record
  // (arguments, row) sorted by its arguments: rows differ in their
  // arguments, so this is the one order a comparison sort gives.
  const size_t stride = size_t{arity} + 1;
  std::vector<uint64_t> items(n * stride), scratch;
  for (size_t i = 0; i < n; ++i) {
    uint64_t* to = items.data() + i * stride;
    std::copy_n(row_args(i), arity, to);
    to[arity] = rows[i];
  }
  radix_sort(items, scratch, n, stride, arity);
  for (size_t i = 0; i < n; ++i) rows[i] = static_cast<uint32_t>(items[i * stride + arity]);
}

bool non_finite_state(const AtomState& s) { return !std::isfinite(s.b) || !std::isfinite(s.d); }

// ---- RowIndex ----

const std::vector<uint32_t> RowIndex::kEmpty;

uint64_t RowIndex::hash_of(const uint64_t* args) const {
  uint64_t h = 0x51ed2701f3a5c7b9ULL;
  for (uint32_t i = 0; i < arity_ && i < 64; ++i) {
    if (mask_ & (uint64_t{1} << i)) h = mix64(h ^ args[i]) + i;
  }
  return h | 1;  // 0 marks an empty slot
}

RowIndex::Group* RowIndex::find_or_add(uint64_t h, bool add) {
  if (keys_.empty()) {
    if (!add) return nullptr;
    keys_.assign(16, 0);
    slot_group_.assign(16, 0);
  }
  size_t cap = keys_.size();
  size_t i = h & (cap - 1);
  while (keys_[i] != 0) {
    if (keys_[i] == h) return &groups_[slot_group_[i]];
    i = (i + 1) & (cap - 1);
  }
  if (!add) return nullptr;
  if ((groups_.size() + 1) * 2 > cap) {
    std::vector<uint64_t> old_keys(cap * 2, 0);
    std::vector<uint32_t> old_groups(cap * 2, 0);
    old_keys.swap(keys_);
    old_groups.swap(slot_group_);
    const size_t ncap = keys_.size();
    for (size_t j = 0; j < old_keys.size(); ++j) {
      if (old_keys[j] == 0) continue;
      size_t k = old_keys[j] & (ncap - 1);
      while (keys_[k] != 0) k = (k + 1) & (ncap - 1);
      keys_[k] = old_keys[j];
      slot_group_[k] = old_groups[j];
    }
    return find_or_add(h, add);
  }
  keys_[i] = h;
  slot_group_[i] = static_cast<uint32_t>(groups_.size());
  groups_.emplace_back();
  return &groups_.back();
}

void RowIndex::add(uint32_t row, const uint64_t* args) {
  std::vector<uint32_t>& rows = find_or_add(hash_of(args), true)->rows;
  const size_t before = rows.capacity();
  rows.push_back(row);
  group_bytes_ += (rows.capacity() - before) * sizeof(uint32_t);
}

size_t RowIndex::bytes() const {
  return keys_.capacity() * sizeof(uint64_t) + slot_group_.capacity() * sizeof(uint32_t) +
         groups_.capacity() * sizeof(Group) + group_bytes_;
}

const std::vector<uint32_t>& RowIndex::group(const uint64_t* args,
                                             const PodVector<uint64_t>& all_args) {
  Group* g = find_or_add(hash_of(args), false);
  if (g == nullptr) return kEmpty;
  if (g->sorted < g->rows.size()) {
    auto less = [&](uint32_t a, uint32_t b) { return row_less(all_args, arity_, a, b); };
    std::vector<uint32_t>& rows = g->rows;
    const auto mid = rows.begin() + static_cast<std::ptrdiff_t>(g->sorted);
    sort_rows_by_args({mid, rows.end()}, all_args, arity_);
    if ((rows.end() - mid) * 16 < mid - rows.begin()) {
      // A few rows joining a large group: each finds its place by binary
      // search, so that comparisons (each reading two rows' arguments)
      // grow with the rows added rather than with the group. Rows differ
      // in their arguments, so the merged order is the only sorted one.
      const std::vector<uint32_t> added(mid, rows.end());
      auto placed = mid;  // rows[0, placed) of the old ones are not yet moved
      auto out = rows.end();
      for (auto t = added.rbegin(); t != added.rend(); ++t) {
        const auto at = std::upper_bound(rows.begin(), placed, *t, less);
        out = std::move_backward(at, placed, out);
        *--out = *t;
        placed = at;
      }
    } else {
      std::inplace_merge(rows.begin(), mid, rows.end(), less);
    }
    g->sorted = rows.size();
  }
  return g->rows;
}

const std::vector<uint32_t>& RowIndex::group_unsorted(const uint64_t* args) {
  Group* g = find_or_add(hash_of(args), false);
  return g == nullptr ? kEmpty : g->rows;
}

// ---- Relation ----

// A slot holds the row in its low half and the upper half of the row's
// hash in its high half, so that most slots of other atoms are passed over
// without reading their arguments. The top bits of that half pick the home
// slot, so that a table grows without hashing a row again, and the order
// of a table is kept in its doubled successor: it grows in one sweep.
namespace {
constexpr uint64_t kEmptySlot = ~uint64_t{0};
constexpr uint64_t kTagMask = 0xffffffff00000000ULL;
uint64_t slot_of(uint32_t row, uint64_t h) { return (h & kTagMask) | row; }
}  // namespace

void Relation::place(uint64_t slot) {
  const size_t mask = table_.size() - 1;
  size_t i = home(slot);
  while (table_[i] != kEmptySlot) i = (i + 1) & mask;
  table_[i] = slot;
  if (!filter_.empty()) filter_[filter_word(slot)] |= filter_bits(slot);
}

void Relation::size_filter() {
  // Four bits per slot: a table of 64 slots or more has whole words.
  const size_t words = table_.size() / 16;
  filter_.assign(words, 0);
  filter_shift_ = 64 - static_cast<unsigned>(std::countr_zero(words));
}

void Relation::build_filter() {
  size_filter();
  for (uint64_t slot : table_)
    if (slot != kEmptySlot) filter_[filter_word(slot)] |= filter_bits(slot);
}

uint64_t Relation::hash(std::span<const uint64_t> args) {
  uint64_t h = 0x9e3779b97f4a7c15ULL ^ args.size();
  for (uint64_t a : args) h = mix64(h ^ a) + 0x9e3779b97f4a7c15ULL;
  return h;
}

int64_t Relation::find(std::span<const uint64_t> args, uint64_t h) const {
  if (table_.empty()) return -1;
  const size_t mask = table_.size() - 1;
  const uint64_t tag = h & kTagMask;
  size_t i = home(h);
  while (table_[i] != kEmptySlot) {
    if ((table_[i] & kTagMask) == tag) {
      const uint32_t row = static_cast<uint32_t>(table_[i]);
      if (same_args(args, args_.data() + static_cast<size_t>(row) * arity_)) return row;
    }
    i = (i + 1) & mask;
  }
  return -1;
}

void Relation::prefetch_slot(uint64_t h) const {
  if (table_.empty()) return;
  __builtin_prefetch(&table_[home(h)]);
}

void Relation::prefetch_candidate(uint64_t h) const {
  if (table_.empty()) return;
  const uint64_t slot = table_[home(h)];
  if (slot == kEmptySlot || (slot & kTagMask) != (h & kTagMask)) return;
  prefetch_row(static_cast<uint32_t>(slot));
}

void Relation::reset_table(size_t cap) {
  // Homes come from the 32 bits a slot keeps of the hash.
  if (cap > (size_t{1} << 32)) fault("relation of more than 2^31 rows");
  table_.assign(cap, kEmptySlot);
  table_shift_ = 64 - static_cast<unsigned>(std::countr_zero(cap));
  // A filter in use is sized to the new table; the slots placed next
  // (growth) set its bits.
  if (!filter_.empty()) size_filter();
}

void Relation::grow_table() {
  PodVector<uint64_t> old;
  old.swap(table_);
  reset_table(old.empty() ? 64 : old.size() * 2);
  for (uint64_t slot : old)
    if (slot != kEmptySlot) place(slot);
}

uint32_t Relation::add_row(std::span<const uint64_t> a, const AtomState& s, uint64_t h) {
  const uint32_t row = static_cast<uint32_t>(states_.size());
  args_.append(a);
  states_.push_back(s);
  changed_at_.push_back(0);
  if (non_finite_state(s)) ++non_finite_;
  if (states_.size() * 2 > table_.size()) grow_table();
  place(slot_of(row, h));
  return row;
}

bool Relation::load(ScanRows&& rows) {
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows.row(i).size() != arity_) return false;
  args_ = std::move(rows.args);
  states_ = std::move(rows.states);
  changed_at_.assign(states_.size(), 0);
  for (const AtomState& s : states_)
    if (non_finite_state(s)) ++non_finite_;
  size_t cap = 64;
  while (cap < states_.size() * 2) cap *= 2;
  reset_table(cap);
  for (uint32_t row = 0; row < states_.size(); ++row) place(slot_of(row, hash(args(row))));
  return true;
}

void Relation::note_write(std::span<const uint64_t> a, const AtomState& s, uint64_t seq) {
  note_write_at(find(a), a, s, seq);
}

uint32_t Relation::note_write_at(int64_t found, std::span<const uint64_t> a, const AtomState& s,
                                 uint64_t seq, uint64_t h) {
  uint32_t row;
  if (found < 0) {
    row = add_row(a, s, h);
  } else {
    row = static_cast<uint32_t>(found);
    if (non_finite_state(states_[row])) --non_finite_;
    states_[row] = s;
    if (non_finite_state(s)) ++non_finite_;
  }
  changed_at_[row] = seq;
  log_.push_back({seq, row});
  return row;
}

RowIndex& Relation::index(uint64_t mask) {
  auto it = std::find_if(indexes_.begin(), indexes_.end(),
                         [mask](const Index& i) { return i.rows_by->mask() == mask; });
  if (it == indexes_.end()) {
    indexes_.push_back(Index{std::make_unique<RowIndex>(mask, arity_), 0});
    it = indexes_.end() - 1;
  }
  catch_up(*it->rows_by, it->rows_in);
  it->rows_in = states_.size();
  return *it->rows_by;
}

void Relation::catch_up(RowIndex& idx, size_t from) {
  for (size_t row = from; row < states_.size(); ++row)
    idx.add(static_cast<uint32_t>(row), args_.data() + row * arity_);
}

void Relation::forget_changes_up_to(uint64_t seq) {
  const auto end = std::upper_bound(log_.begin(), log_.end(), seq,
                                    [](uint64_t s, const LogEntry& e) { return s < e.seq; });
  log_.erase(log_.begin(), end);
  log_.shrink_to_fit();
}

size_t Relation::bytes() const {
  size_t n = args_.capacity() * sizeof(uint64_t) + states_.capacity() * sizeof(AtomState) +
             changed_at_.capacity() * sizeof(uint64_t) + log_.capacity() * sizeof(LogEntry) +
             table_.capacity() * sizeof(uint64_t) + filter_.capacity() * sizeof(uint64_t) +
             indexes_.capacity() * sizeof(indexes_[0]);
  // With the rows each index takes in when next asked for.
  for (const Index& i : indexes_)
    n += sizeof(RowIndex) + i.rows_by->bytes() + (states_.size() - i.rows_in) * sizeof(uint32_t);
  return n;
}

void Relation::changed_since(uint64_t since, std::vector<uint32_t>& out) const {
  out.clear();
  auto first = std::upper_bound(log_.begin(), log_.end(), since,
                                [](uint64_t s, const LogEntry& e) { return s < e.seq; });
  for (auto it = first; it != log_.end(); ++it) {
    // A row's latest entry is the one carrying its current change number.
    if (changed_at_[it->row] == it->seq) out.push_back(it->row);
  }
}

}  // namespace ruvo
