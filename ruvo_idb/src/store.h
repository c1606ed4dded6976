// RuvoStore: the derived-state database (IDB): symbols, predicate registry,
// atom states, contributions, index trees and branch watermarks.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/kv.h"
#include "ruvo_core/src/pod_vector.h"
#include "ruvo_core/src/types.h"
#include "ruvo_idb/src/types.h"

namespace ruvo {

// Error of every IDB operation. debug() gives: Sled(...), Bincode(...),
// UnknownPredicate(7), UnknownIndex { pred_id: 3, index_name: "x" },
// InvalidArity { expected: 2, found: 3 }, MissingEvidence.
struct StoreError {
  struct UnknownPredicate { uint64_t pred_id; };
  struct UnknownIndex { uint64_t pred_id; std::string index_name; };
  struct InvalidArity { uint64_t expected; uint64_t found; };
  struct MissingEvidence {};
  std::variant<kv::Error, bincode::Error, UnknownPredicate, UnknownIndex, InvalidArity,
               MissingEvidence>
      v;

  StoreError(kv::Error e) : v(std::move(e)) {}
  StoreError(bincode::Error e) : v(std::move(e)) {}
  StoreError(UnknownPredicate e) : v(e) {}
  StoreError(UnknownIndex e) : v(std::move(e)) {}
  StoreError(InvalidArity e) : v(e) {}
  StoreError(MissingEvidence e) : v(e) {}
  std::string debug() const;
};

template <class T>
using StoreResult = std::expected<T, StoreError>;

// ---- Key encodings ----
// pred_id then each argument, 8 bytes big-endian each.
std::string encode_state_key(const AtomKey& atom);
std::string encode_state_key(uint64_t pred_id, std::span<const uint64_t> args);
// state key, u32 big-endian length of the evidence id, the id's bytes.
std::string encode_contrib_key(std::string_view state_key, std::string_view evidence_id);
// Inverse of encode_state_key. A key shorter than 8 bytes or not 8 + 8n
// bytes long is a fault.
AtomKey decode_state_key(std::string_view key);

// Rows of a scan laid out without an allocation per row: row i has the
// arguments args[begin[i] .. begin[i + 1]) and the state states[i]. The
// engine takes args and states over as its copy of a predicate.
struct ScanRows {
  PodVector<uint64_t> args;
  std::vector<size_t> begin{0};
  PodVector<AtomState> states;

  size_t size() const { return states.size(); }
  std::span<const uint64_t> row(size_t i) const {
    return std::span<const uint64_t>(args).subspan(begin[i], begin[i + 1] - begin[i]);
  }
  // Keeps the capacity for the next scan.
  void clear() {
    args.clear();
    begin.assign(1, 0);
    states.clear();
  }
};

struct StoreOptions {
  // In-memory caches (profiles, atom states, whole predicates for scans,
  // per-source contributions, symbols). Results and stored bytes are the
  // same with and without them; the database stays the durable truth.
  // The index-tree cache is not affected: it is always on.
  bool caches = true;
  // Upper bound on the memory the atom-state cache may hold (single atoms
  // and whole-predicate copies for scans together).
  size_t state_cache_bytes = size_t{256} << 20;
  // Upper bound on the memory of the symbol cache (both directions).
  size_t symbol_cache_bytes = size_t{128} << 20;
  // Upper bound on the memory of the per-atom contribution cache (used by
  // the per-source evidence modes).
  size_t contrib_cache_bytes = size_t{64} << 20;
};

struct StoreCaches;     // internal
struct IndexTreeCache;  // internal

// Symbols: texts interned into ids 1, 2, 3, ... ("sym_by_text",
// "sym_by_id", "sym_meta").
class SymbolStore {
 public:
  // The text's id, handing out a new one (claimed by compare-and-swap from
  // absent) when the text is new.
  StoreResult<uint64_t> get_or_insert(std::string_view text) const;
  // The id's text, nullopt when the id has none. Non-UTF-8 text is a fault.
  StoreResult<std::optional<std::string>> get_text(uint64_t id) const;
  // The same answer as a view, without copying a cached text. The view
  // points into `buffer` or into cache memory that this store shares with
  // its copies and that lasts until the last of them is gone; it stays
  // valid while the store lives and `buffer` is not changed. Safe to call
  // from many threads, each with its own buffer.
  StoreResult<std::optional<std::string_view>> get_text_into(uint64_t id, std::string& buffer) const;

 private:
  friend class RuvoStore;
  // get_text_into past the lock-free cache: the bounded cache, then the
  // database. Kept out of line so the cached path stays short.
  [[gnu::noinline]] StoreResult<std::optional<std::string_view>> read_text(uint64_t id,
                                                                          std::string& buffer) const;
  // Whether symbols were claimed in a batch not yet committed. The caches
  // then learn nothing new: a cached text cannot be taken back, and a
  // failed commit drops the claims.
  bool uncommitted() const { return by_text_.has_pending() || by_id_.has_pending(); }
  kv::Tree by_text_, by_id_, meta_;
  std::shared_ptr<StoreCaches> caches_;
};

// Predicates by (name, arity) with fixed profiles ("pred_by_name",
// "pred_profiles", "pred_meta").
class PredicateRegistry {
 public:
  // Returns the stored profile of (name, arity), or registers a new one with
  // the given modes and indexes. A registered key without profile is a fault.
  StoreResult<PredicateProfile> register_predicate(std::string_view name, uint64_t arity,
                                                   AggregationMode aggregation,
                                                   EvidenceMode evidence_mode,
                                                   std::vector<IndexSpec> indexes) const;
  StoreResult<std::optional<PredicateProfile>> get_profile(uint64_t pred_id) const;

 private:
  friend class RuvoStore;
  // The profile without copying it; null when the id has none. The pointee
  // never changes.
  StoreResult<std::shared_ptr<const PredicateProfile>> profile_ptr(uint64_t pred_id) const;
  kv::Tree by_name_, profiles_, meta_;
  std::shared_ptr<StoreCaches> caches_;
};

class RuvoStore {
 public:
  static StoreResult<RuvoStore> open_temporary(StoreOptions options = {});
  // Takes over an open database: opens the nine fixed trees and seeds the
  // two counters with 1 when absent.
  static StoreResult<RuvoStore> from_db(kv::Db db, StoreOptions options = {});

  // Flushes "state", "contrib", "branch_watermark", then the database.
  // Batched writes are committed first.
  StoreResult<void> flush_all() const;

  // Batched writes. Between begin_batched_writes() and end_batched_writes(),
  // every write of the store (symbols, registrations, counters, states,
  // contributions, index entries, watermarks) is held in one pending batch
  // of the database instead of going to the log on its own;
  // commit_batched_writes() writes them all in one atomic step.
  //  - Every read of the store (and of those trees through any handle)
  //    sees the pending writes, exactly as if they had been written; the
  //    caches stay write-through, as without batching.
  //  - After a commit the database holds exactly the bytes it would hold
  //    had each write gone straight through.
  //  - A crash loses exactly the writes made since the last commit; a
  //    store closed while batching commits first.
  //  - A failed commit (Sled) writes none of the pending writes and drops
  //    them all, together with the cached states, contributions and
  //    profiles: reads then answer from the database as it is, without
  //    them.
  // begin when already batching changes nothing. Not meant to overlap
  // with writers on other threads: the caller brackets its own writes.
  void begin_batched_writes() const;
  StoreResult<void> commit_batched_writes() const;
  // Commits, then stops batching (also when the commit failed).
  StoreResult<void> end_batched_writes() const;

  // nullopt when absent or not 8 bytes long.
  StoreResult<std::optional<uint64_t>> get_branch_watermark(std::string_view branch) const;
  StoreResult<void> set_branch_watermark(std::string_view branch, uint64_t event_id) const;

  // Folds the contribution into the atom's state by the predicate's profile
  // and returns the new state (also when the change was below 1e-12 and
  // nothing was written). `read`, when given, receives the state it folded
  // into (set only when the fold was reached).
  StoreResult<AtomState> upsert_atom(const AtomKey& atom, const Contribution& c,
                                     AtomState* read = nullptr) const;
  // get_state followed by upsert_atom, reading the state once: sets `old`
  // to the state before the fold and returns the new one. A failed read is
  // reported before any profile error, as that pair of calls would. `old`
  // is unspecified on failure.
  StoreResult<AtomState> upsert_atom_reading_old(uint64_t pred_id, std::span<const uint64_t> args,
                                                 const Contribution& c, AtomState& old) const;
  // The state a contribution folds `old` into when the profile keeps no
  // per-source records (aggregation Maximum, or evidence mode None), as
  // upsert_atom computes it. Nothing is read or written.
  static AtomState fold_in(AggregationMode aggregation, const AtomState& old, double b, double d);
  // upsert_atom_reading_old for a caller that already knows the stored
  // state and the predicate's profile: `old` must be exactly what reading
  // the atom's state would give now, `profile` what get_profile gives for
  // its predicate. Skips both reads; everything else is the same.
  StoreResult<AtomState> upsert_atom_known_old(const PredicateProfile& profile,
                                               std::span<const uint64_t> args,
                                               const Contribution& c, const AtomState& old) const;
  // Stores `s` as the atom's state with everything an upsert that changed
  // the state to `s` writes besides (for a profile without per-source
  // records: its index entries, where a position beyond the arguments
  // faults after the state was written, as in an upsert). For a caller
  // that folded the contribution itself with fold_in and found the state
  // changed. REQUIRES: the profile keeps no per-source records;
  // args.size() == profile.arity.
  StoreResult<void> write_folded_state(const PredicateProfile& profile,
                                       std::span<const uint64_t> args, const AtomState& s) const;
  // The i-th atom of write_folded_states: its arguments (valid until the
  // next call on the same thread) and its state. May be called from
  // several threads at once, for different atoms, and more than once for
  // an atom.
  using FoldedRowFn = std::function<std::pair<std::span<const uint64_t>, AtomState>(size_t i)>;
  // write_folded_state for atoms rows(0) ... rows(n - 1) of one predicate,
  // in that order, as one step to other writers and to readers of the
  // caches; into the batch without a lookup per atom while writes are
  // batched. `*written` (always set) tells how many atoms were written
  // before a failure. REQUIRES: as write_folded_state, for every atom;
  // rows(i) does not use the store.
  StoreResult<void> write_folded_states(const PredicateProfile& profile, size_t n, const FoldedRowFn& rows,
                                        size_t* written) const;
  // While off, writes of atom states keep the in-memory caches exact but
  // add nothing to them, and drop the whole-predicate copies they touch;
  // scans then make no new copies. For a caller that keeps its own copy of
  // what it reads and writes. Results are the same either way.
  void set_cache_writes(bool on) const;
  // The stored state, (0, 0) when never written. Does not look at profiles.
  StoreResult<AtomState> get_state(const AtomKey& atom) const;
  StoreResult<AtomState> get_state(uint64_t pred_id, std::span<const uint64_t> args) const;
  // get_state that adds nothing to the caches: for a caller about to write
  // the state, which updates or drops the cached copy anyway.
  StoreResult<AtomState> peek_state(uint64_t pred_id, std::span<const uint64_t> args) const;
  // Every stored atom of the predicate with its state, ascending by
  // arguments (unsigned, first argument first). Nothing is filtered.
  StoreResult<std::vector<std::pair<AtomKey, AtomState>>> scan_predicate(uint64_t pred_id) const;
  // The same restricted to atoms whose leading arguments equal `leading`,
  // in the same order: exactly the matching rows of scan_predicate. Only
  // the rows under the prefix are checked: a broken row elsewhere in the
  // predicate, which fails scan_predicate, does not fail this.
  StoreResult<std::vector<std::pair<AtomKey, AtomState>>> scan_predicate_prefix(
      uint64_t pred_id, std::span<const uint64_t> leading) const;
  // scan_predicate into `out`, replacing what it held: the same rows in the
  // same order, and the same failures (after which `out` is empty).
  StoreResult<void> scan_predicate_into(uint64_t pred_id, ScanRows& out) const;

  // `keep`: whether a state read from the database joins the cache.
  StoreResult<AtomState> load_state(std::string_view state_key, bool keep = true) const;
  StoreResult<AtomState> recompute_aggregate(AggregationMode mode,
                                             std::string_view state_key) const;

  // Writes the atom's entry into every index tree of the profile. A
  // position beyond the arguments is a fault.
  StoreResult<void> update_indices(const PredicateProfile& profile,
                                   std::span<const uint64_t> args,
                                   std::string_view state_key) const;
  // The tree "idx_<pred_id>_<index_name>", opened once and cached.
  StoreResult<kv::Tree> get_index_tree(uint64_t pred_id, std::string_view index_name) const;

  // The open database and fixed trees, for tests and tools.
  const kv::Db& db() const { return db_; }
  const kv::Tree& state_tree() const { return state_; }
  const kv::Tree& contrib_tree() const { return contrib_; }

  SymbolStore symbols;
  PredicateRegistry registry;

 private:
  RuvoStore() = default;
  // Reads the state from the database, bypassing every cache.
  StoreResult<AtomState> load_state_uncached(std::string_view state_key) const;
  // Inserts the state record and keeps the caches in step with it.
  StoreResult<void> write_state(std::string_view state_key, const AtomState& s) const;
  StoreResult<std::vector<std::pair<AtomKey, AtomState>>> scan_uncached(
      std::string_view prefix) const;
  StoreResult<void> scan_uncached_into(std::string_view prefix, ScanRows& out) const;
  // The profile an upsert of `found` arguments into `pred_id` folds by; a
  // failed read, UnknownPredicate or InvalidArity as upsert_atom reports
  // them.
  StoreResult<std::shared_ptr<const PredicateProfile>> upsert_profile(uint64_t pred_id,
                                                                     size_t found) const;
  // The part of upsert_atom after the profile checks and the read of the
  // old state.
  StoreResult<AtomState> fold_and_write(const PredicateProfile& profile,
                                        std::span<const uint64_t> args,
                                        std::string_view state_key, const AtomState& old,
                                        const Contribution& c) const;
  // Stores a per-source contribution record (replacing that source's
  // earlier one) and folds the atom's new state from `old`; see
  // upsert_atom.
  StoreResult<AtomState> store_contribution(AggregationMode mode, std::string_view state_key,
                                            const AtomState& old, const Contribution& c) const;
  // Maps a failed commit to its error after dropping the caches that may
  // hold the lost writes.
  StoreResult<void> committed(kv::Result<void> r) const;

  kv::Db db_;
  kv::Tree state_, contrib_, branch_watermark_;
  // Always present: the index-tree cache is part of the store's design,
  // not an optional speed-up.
  std::shared_ptr<IndexTreeCache> index_trees_;
  // Null when StoreOptions::caches is false.
  std::shared_ptr<StoreCaches> caches_;
};

// Cache writes off (see set_cache_writes) for the object's lifetime when
// `off`, on again afterwards: for a caller about to write states it keeps
// a copy of, or that nothing reads from the caches soon. Cache writes are
// on whenever no such object lives.
class NoCacheWrites {
 public:
  // `store` must outlive the object.
  explicit NoCacheWrites(const RuvoStore& store, bool off = true) : store_(off ? &store : nullptr) {
    if (store_ != nullptr) store_->set_cache_writes(false);
  }
  ~NoCacheWrites() {
    if (store_ != nullptr) store_->set_cache_writes(true);
  }
  NoCacheWrites(const NoCacheWrites&) = delete;
  NoCacheWrites& operator=(const NoCacheWrites&) = delete;

 private:
  const RuvoStore* store_;
};

}  // namespace ruvo
