// Relation: the engine's in-memory copy of one predicate's stored atoms for
// the length of one evaluation, with hash indexes on bound argument
// positions and a log of which atoms changed when.
//
// A relation is loaded once from the store and from then on kept equal to
// it by the evaluation, which reports every state it writes (note_write).
// Nothing else may write atom states while an evaluation runs.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ruvo_core/src/pod_vector.h"
#include "ruvo_idb/src/store.h"
#include "ruvo_idb/src/types.h"

namespace ruvo {

// Sorts row ids ascending by their rows' arguments (unsigned, first
// argument first). `all_args` is a relation's flat argument array of rows
// of `arity` arguments; the rows are distinct. Rows already in order cost
// one pass.
void sort_rows_by_args(std::span<uint32_t> rows, const PodVector<uint64_t>& all_args,
                       uint32_t arity);

// Row ids of one access pattern, grouped by the hash of the values at the
// pattern's positions. A group is handed out sorted by the rows' arguments
// (ascending, unsigned, first argument first), which is the order a scan of
// the store gives; rows of other values that share the hash are in it too,
// so callers still compare the values.
class RowIndex {
 public:
  // `mask`: bit i set when argument i is bound (arguments beyond 63 are
  // never indexed).
  RowIndex(uint64_t mask, uint32_t arity) : mask_(mask), arity_(arity) {}
  uint64_t mask() const { return mask_; }
  // REQUIRES: row's arguments are final (rows never change arguments).
  void add(uint32_t row, const uint64_t* args);
  // The group of rows whose values at the pattern's positions hash like
  // `args` (only the masked positions of `args` are read), sorted by
  // arguments. `all_args` is the relation's flat argument array.
  const std::vector<uint32_t>& group(const uint64_t* args, const PodVector<uint64_t>& all_args);
  // The same rows in no particular order.
  const std::vector<uint32_t>& group_unsorted(const uint64_t* args);
  uint64_t hash_of(const uint64_t* args) const;
  // The heap bytes it holds (arrays by capacity); no group is visited.
  size_t bytes() const;

 private:
  struct Group {
    std::vector<uint32_t> rows;
    size_t sorted = 0;  // rows[0, sorted) are in order
  };
  uint64_t mask_;
  uint32_t arity_;
  std::vector<uint64_t> keys_;  // open addressing: hash per slot (0 = empty)
  std::vector<uint32_t> slot_group_;
  std::vector<Group> groups_;
  size_t group_bytes_ = 0;  // the capacities of the groups' row lists
  static const std::vector<uint32_t> kEmpty;
  Group* find_or_add(uint64_t h, bool add);
};

class Relation {
 public:
  explicit Relation(uint32_t arity) : arity_(arity) {}

  uint32_t arity() const { return arity_; }
  size_t size() const { return states_.size(); }
  const PodVector<uint64_t>& all_args() const { return args_; }
  std::span<const uint64_t> args(uint32_t row) const {
    return {args_.data() + static_cast<size_t>(row) * arity_, arity_};
  }
  const AtomState& state(uint32_t row) const { return states_[row]; }
  uint64_t changed_at(uint32_t row) const { return changed_at_[row]; }
  // The sequence number of the latest write, 0 when none since loading.
  uint64_t last_change() const { return log_.empty() ? 0 : log_.back().seq; }
  // Rows holding an infinity or a NaN in either field.
  size_t non_finite() const { return non_finite_; }

  // The hash by which the table finds an atom's arguments.
  static uint64_t hash(std::span<const uint64_t> args);
  // Row of the atom, or -1. REQUIRES: args.size() == arity().
  int64_t find(std::span<const uint64_t> args) const { return find(args, hash(args)); }
  // The same for a caller that has the hash: h == hash(args).
  int64_t find(std::span<const uint64_t> args, uint64_t h) const;
  // False when find(args, h) is sure to give -1 (h == hash(args)); true
  // tells nothing. For a join's goals whose arguments are all bound, most
  // of whose atoms are absent: it reads one word of a filter of half a
  // byte per table slot, which stays in cache where the table does not.
  // The filter is built on the first call and kept from then on (rows
  // added later cost a word written each); relations never asked pay
  // nothing.
  bool may_hold(uint64_t h) {
    if (filter_.empty()) {
      if (table_.empty()) return false;
      build_filter();
    }
    const uint64_t bits = filter_bits(h);
    return (filter_[filter_word(h)] & bits) == bits;
  }
  // Starts loading the table slot where find(args, h) starts.
  void prefetch_slot(uint64_t h) const;
  // Starts loading the arguments and state of the row that find(args, h)
  // will most likely compare first, reading the slot prefetch_slot(h)
  // loaded; no effect when that slot holds no such row.
  void prefetch_candidate(uint64_t h) const;
  // Starts loading the arguments and state of `row`.
  void prefetch_row(uint32_t row) const {
    __builtin_prefetch(args_.data() + static_cast<size_t>(row) * arity_);
    __builtin_prefetch(&states_[row]);
  }
  // The rows of a whole-predicate scan (change number 0), taken over from
  // `rows`. False, leaving the relation empty, when a row's length is not
  // the arity. REQUIRES: the relation is empty.
  bool load(ScanRows&& rows);
  // Records that the store now holds `s` for the atom, written as change
  // number `seq` (increasing over the evaluation).
  void note_write(std::span<const uint64_t> args, const AtomState& s, uint64_t seq);
  // The same for a caller that has just looked the atom up: `row` is
  // find(args) (-1 when absent), unchanged since. Returns the atom's row.
  uint32_t note_write_at(int64_t row, std::span<const uint64_t> args, const AtomState& s,
                         uint64_t seq) {
    return note_write_at(row, args, s, seq, row < 0 ? hash(args) : 0);
  }
  // The same with h == hash(args) (any value when row >= 0).
  uint32_t note_write_at(int64_t row, std::span<const uint64_t> args, const AtomState& s,
                         uint64_t seq, uint64_t h);

  // The index of rows by the positions in `mask`, built on first use. An
  // index takes in the rows added since it was last asked for when it is
  // next asked for: an index used in one pass of an evaluation and never
  // again costs nothing for the rows added after it. The reference stays
  // valid as long as the relation; the groups it hands out, until rows are
  // added and an index is asked for again.
  RowIndex& index(uint64_t mask);
  // Every row changed after change number `since`, once each, in the
  // order of their latest change.
  void changed_since(uint64_t since, std::vector<uint32_t>& out) const;

  // Forgets the changes numbered up to `seq` and frees the room they took.
  // Afterwards changed_since(since, ..) and last_change() > since answer
  // as before for every since >= seq.
  void forget_changes_up_to(uint64_t seq);

  // The heap bytes it holds: its arrays by capacity, the hash table and
  // the indexes. Costs one step per index, none per row.
  size_t bytes() const;

 private:
  // REQUIRES: h == hash(args).
  uint32_t add_row(std::span<const uint64_t> args, const AtomState& s, uint64_t h);
  // The table's slot where a search for hash `h` (or for a slot of that
  // hash) starts.
  size_t home(uint64_t h) const { return static_cast<size_t>(h >> table_shift_); }
  // Puts a slot into the table. REQUIRES: a free slot.
  void place(uint64_t slot);
  // An empty table of `cap` slots, a power of two.
  void reset_table(size_t cap);
  // Doubles the table (or makes the first one).
  void grow_table();
  // The filter word and the bits in it that an atom of hash `h` sets (see
  // may_hold). Both come from the upper half of `h`, which its slot keeps,
  // so that a filter is built from the table alone.
  size_t filter_word(uint64_t h) const { return static_cast<size_t>(h >> filter_shift_); }
  // Sizes the filter to the table, all bits clear.
  void size_filter();
  // Sizes the filter to the table and sets the bits of every slot.
  void build_filter();
  static uint64_t filter_bits(uint64_t h) {
    return (uint64_t{1} << ((h >> 32) & 63)) | (uint64_t{1} << ((h >> 38) & 63));
  }
  uint32_t arity_;
  // The arrays that grow with the relation: large ones grow without
  // copying, and never hold an old and a new buffer at once.
  PodVector<uint64_t> args_;
  PodVector<AtomState> states_;
  PodVector<uint64_t> changed_at_;
  struct LogEntry {
    uint64_t seq;
    uint32_t row;
  };
  PodVector<LogEntry> log_;    // every write, by ascending seq
  PodVector<uint64_t> table_;  // open addressing over rows (see find)
  unsigned table_shift_ = 64;
  // Empty, or four bits per table slot in which every slot has set its
  // bits (and rows are never removed): a search whose bits are not all set
  // would find nothing.
  PodVector<uint64_t> filter_;
  unsigned filter_shift_ = 64;
  size_t non_finite_ = 0;
  struct Index {
    std::unique_ptr<RowIndex> rows_by;
    size_t rows_in = 0;  // rows [0, rows_in) are in it
  };
  std::vector<Index> indexes_;
  // Adds rows [from, size()) to `idx`.
  void catch_up(RowIndex& idx, size_t from);
};

// True when a field is an infinity or a NaN.
bool non_finite_state(const AtomState& s);

}  // namespace ruvo
