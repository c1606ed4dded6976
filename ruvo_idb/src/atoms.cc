// Atom states and what changes them. RuvoStore's part that owns the
// "state" and "contrib" trees and the index trees:
//  - reads of a state (through the state cache and whole-predicate copies
//    when caches are on, else from the database);
//  - upserts: the profile's checks, the fold of a contribution into the
//    state (one record per source in the per-source evidence modes), the
//    write of a changed state and of its index entries;
//  - scans of a predicate, whole or by leading arguments, always in key
//    order and with the rows the database holds.
// Every write goes to the database first; the caches follow only after it
// succeeded, under the shard mutex that also covers the read of a miss.
#include "ruvo_idb/src/store.h"

#include <array>
#include <bit>
#include <cmath>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/src/caches.h"
#include "ruvo_idb/src/store_internal.h"

namespace ruvo {

using bincode::get_u64_be;
using bincode::put_u64_be;
using bincode::u64_be;

namespace {

// A state key built on the stack for the common small arities, so that hot
// lookups allocate nothing. Not copyable: view() points into the object.
class StateKeyBuf {
 public:
  StateKeyBuf() = default;
  StateKeyBuf(uint64_t pred_id, std::span<const uint64_t> args) { assign(pred_id, args); }
  // Holds the key of another atom; earlier views are invalid.
  void assign(uint64_t pred_id, std::span<const uint64_t> args) {
    n_ = 8 + 8 * args.size();
    if (n_ <= sizeof(inline_)) {
      p_ = inline_;
    } else {
      heap_.resize(n_);
      p_ = heap_.data();
    }
    encode_state_key_into(pred_id, args, p_);
  }
  StateKeyBuf(const StateKeyBuf&) = delete;
  StateKeyBuf& operator=(const StateKeyBuf&) = delete;
  std::string_view view() const { return std::string_view(p_, n_); }

 private:
  char inline_[72];
  std::string heap_;
  char* p_ = inline_;
  size_t n_ = 0;
};

// ---- Folds ----

// Ordered "greater than": a NaN on either side keeps the old value.
double fold_max(double o, double c) { return c > o ? c : o; }
double fold_noisy_or(double o, double c) { return 1.0 - (1.0 - o) * (1.0 - c); }
// IEEE minNum: a NaN sum gives 1.0. No lower bound.
double fold_capped_sum(double o, double c) { return std::fmin(o + c, 1.0); }
// IEEE maxNum: a NaN operand gives the other one.
double fold_max_num(double o, double c) { return std::fmax(o, c); }

template <class Fold>
AtomState fold_both(const AtomState& o, double cb, double cd, Fold f) {
  return AtomState{f(o.b, cb), f(o.d, cd)};
}

// Folds one contribution into a state by the aggregation mode. A
// recomputation over stored records uses maxNum in place of max folding.
AtomState fold_state(AggregationMode mode, const AtomState& o, double cb, double cd,
                     bool recomputing) {
  switch (mode) {
    case AggregationMode::NoisyOr: return fold_both(o, cb, cd, fold_noisy_or);
    case AggregationMode::CappedSum: return fold_both(o, cb, cd, fold_capped_sum);
    case AggregationMode::Maximum: break;
  }
  return recomputing ? fold_both(o, cb, cd, fold_max_num) : fold_both(o, cb, cd, fold_max);
}
AtomState fold_aggregation(AggregationMode mode, const AtomState& o, double cb, double cd) {
  return fold_state(mode, o, cb, cd, false);
}
AtomState fold_recomputed(AggregationMode mode, const AtomState& acc, double cb, double cd) {
  return fold_state(mode, acc, cb, cd, true);
}

using Rows = std::vector<std::pair<AtomKey, AtomState>>;

template <class It>
Rows rows_of(It first, It last, size_t reserve) {
  Rows out;
  out.reserve(reserve);
  for (; first != last; ++first) out.emplace_back(decode_state_key(first->first), first->second);
  return out;
}

// Appends the row of a state key, checked as decode_state_key checks it.
void append_flat_row(ScanRows& out, std::string_view key, const AtomState& s) {
  check_state_key(key);
  const size_t n = (key.size() - 8) / 8;
  for (size_t i = 0; i < n; ++i) out.args.push_back(get_u64_be(key.data() + 8 + 8 * i));
  out.begin.push_back(out.args.size());
  out.states.push_back(s);
}

template <class It>
void flat_rows_of(It first, It last, size_t rows, ScanRows& out) {
  out.clear();
  out.states.reserve(rows);
  out.begin.reserve(rows + 1);
  for (; first != last; ++first) append_flat_row(out, first->first, first->second);
}

}  // namespace

// ---- Atom states ----

StoreResult<AtomState> RuvoStore::load_state_uncached(std::string_view state_key) const {
  auto stored = state_.get(state_key);
  if (!stored) return std::unexpected(StoreError(stored.error()));
  if (!stored->has_value()) return AtomState{};
  auto s = decode_atom_state(**stored);
  if (!s) return std::unexpected(StoreError(s.error()));
  return *s;
}

StoreResult<AtomState> RuvoStore::load_state(std::string_view state_key, bool keep) const {
  if (!caches_) return load_state_uncached(state_key);
  StoreCaches& c = *caches_;
  const uint64_t h = hash_key(state_key);
  StoreCaches::Shard& shard = c.shard_of(h);
  std::lock_guard<std::mutex> lock(shard.mu);
  if (const AtomState* s = shard.states.find(state_key, h)) return *s;
  if (well_formed_state_key(state_key)) {
    // A loaded copy of the predicate knows every atom, the absent ones too.
    std::optional<AtomState> known;
    {
      std::lock_guard<std::mutex> mlock(c.mirror_mu);
      auto it = c.mirrors.find(get_u64_be(state_key.data()));
      if (it != c.mirrors.end() && it->second.loaded) {
        auto row = it->second.rows.find(state_key);
        known = row == it->second.rows.end() ? AtomState{} : row->second;
      }
    }
    if (known) {
      if (keep) shard.states.put(state_key, h, *known);
      return *known;
    }
  }
  auto s = load_state_uncached(state_key);
  if (s && keep) shard.states.put(state_key, h, *s);
  return s;
}

namespace {

// Keeps a whole-predicate copy exact after a state write. REQUIRES:
// mirror_mu held.
void note_in_mirror(StoreCaches& c, StoreCaches::Mirror& m, std::string_view state_key, const AtomState& s,
                    bool add) {
  ++m.gen;
  if (m.loaded && !add) {
    c.drop(m);
  } else if (m.loaded) {
    auto [row, inserted] = m.rows.insert_or_assign(std::string(state_key), s);
    if (inserted) {
      const size_t cost = mirror_row_cost(row->first);
      m.bytes += cost;
      c.mirror_bytes += cost;
      c.enforce_mirror_budget();
    }
  }
}

// Keeps the cached state exact after a state write. REQUIRES: the shard's
// mutex held.
void note_in_shard(StoreCaches::Shard& shard, std::string_view state_key, uint64_t h, const AtomState& s,
                   bool add) {
  if (add) {
    shard.states.put(state_key, h, s);
  } else {
    shard.states.update_if_present(state_key, h, s);
  }
}

}  // namespace

StoreResult<void> RuvoStore::write_state(std::string_view state_key, const AtomState& s) const {
  char bytes[kAtomStateBytes];
  encode_atom_state_into(s, bytes);
  const std::string_view record(bytes, sizeof bytes);
  if (!caches_) {
    if (auto r = state_.insert(state_key, record); !r) return std::unexpected(StoreError(r.error()));
    return {};
  }
  StoreCaches& c = *caches_;
  const uint64_t h = hash_key(state_key);
  StoreCaches::Shard& shard = c.shard_of(h);
  std::lock_guard<std::mutex> lock(shard.mu);
  if (auto r = state_.insert(state_key, record); !r) return std::unexpected(StoreError(r.error()));
  const bool add = c.cache_writes.load(std::memory_order_relaxed);
  note_in_shard(shard, state_key, h, s, add);
  if (well_formed_state_key(state_key)) {
    std::lock_guard<std::mutex> mlock(c.mirror_mu);
    auto it = c.mirrors.find(get_u64_be(state_key.data()));
    if (it != c.mirrors.end()) note_in_mirror(c, it->second, state_key, s, add);
  }
  return {};
}

namespace {
// write_folded_states forgets the cached states instead of updating them
// from this many written atoms on.
constexpr size_t kForgetCachedStatesAt = 4096;
}  // namespace

StoreResult<void> RuvoStore::write_folded_states(const PredicateProfile& profile, size_t n,
                                                 const FoldedRowFn& rows, size_t* written) const {
  *written = 0;
  if (!profile.indexes.empty()) {
    for (; *written < n; ++*written) {
      const auto [args, s] = rows(*written);
      if (auto r = write_folded_state(profile, args, s); !r) return r;
    }
    return {};
  }
  // Every key is as long as the predicate's arity makes it.
  const size_t key_bytes = 8 + 8 * size_t{profile.arity};
  auto fill = [&](size_t i, char* key, char* value) {
    const auto [args, s] = rows(i);
    encode_state_key_into(profile.pred_id, args, key);
    encode_atom_state_into(s, value);
  };
  if (!caches_) {
    if (auto r = state_.insert_filled(n, key_bytes, kAtomStateBytes, fill, written); !r)
      return std::unexpected(StoreError(r.error()));
    return {};
  }
  // Every shard is held across the writes and their cache updates, as one
  // write holds its own, so that no cached state goes stale meanwhile.
  StoreCaches& c = *caches_;
  std::array<std::unique_lock<std::mutex>, StoreCaches::kShards> locks;
  for (size_t i = 0; i < StoreCaches::kShards; ++i) locks[i] = std::unique_lock<std::mutex>(c.shards[i].mu);
  auto stored = state_.insert_filled(n, key_bytes, kAtomStateBytes, fill, written);
  const bool add = c.cache_writes.load(std::memory_order_relaxed);
  // Writes that add nothing to the cache: forgetting every cached state
  // costs less than looking each written one up, and reads refill it.
  const bool forget = !add && *written >= kForgetCachedStatesAt;
  if (forget) {
    for (StoreCaches::Shard& shard : c.shards) {
      shard.states = ByteKeyCache<AtomState, StateCost>();
      shard.states.set_budget(c.state_shard_budget);
    }
  }
  // One pass keeps the cached states and the predicate's whole copy exact.
  std::lock_guard<std::mutex> mlock(c.mirror_mu);
  const auto mirror = c.mirrors.find(profile.pred_id);
  bool mirrored = mirror != c.mirrors.end();
  if (mirrored && forget) {
    // Each write counts one generation and drops a loaded copy, whatever
    // the row: done at once for them all.
    StoreCaches::Mirror& m = mirror->second;
    m.gen += *written;
    if (m.loaded) c.drop(m);
    mirrored = false;
  }
  StateKeyBuf key;
  for (size_t i = 0; i < *written && (!forget || mirrored); ++i) {
    const auto [args, s] = rows(i);
    key.assign(profile.pred_id, args);
    if (!forget) {
      const uint64_t h = hash_key(key.view());
      note_in_shard(c.shard_of(h), key.view(), h, s, add);
    }
    if (mirrored) note_in_mirror(c, mirror->second, key.view(), s, add);
  }
  if (!stored) return std::unexpected(StoreError(stored.error()));
  return {};
}

StoreResult<AtomState> RuvoStore::get_state(const AtomKey& atom) const {
  return get_state(atom.pred_id, atom.args);
}

StoreResult<AtomState> RuvoStore::get_state(uint64_t pred_id, std::span<const uint64_t> args) const {
  StateKeyBuf key(pred_id, args);
  return load_state(key.view());
}

StoreResult<AtomState> RuvoStore::peek_state(uint64_t pred_id, std::span<const uint64_t> args) const {
  StateKeyBuf key(pred_id, args);
  return load_state(key.view(), false);
}

StoreResult<AtomState> RuvoStore::recompute_aggregate(AggregationMode mode,
                                                      std::string_view state_key) const {
  AtomState acc{0.0, 0.0};
  std::optional<StoreError> failure;
  auto scan = contrib_.scan_prefix(state_key, [&](std::string_view, std::string_view value) {
    auto c = decode_contribution(value);
    if (!c) {
      failure.emplace(c.error());
      return false;
    }
    // The record's own evidence id is not looked at.
    acc = fold_recomputed(mode, acc, c->b, c->d);
    return true;
  });
  if (!scan) return std::unexpected(StoreError(scan.error()));
  if (failure) return std::unexpected(std::move(*failure));
  return acc;
}

namespace {

// InvalidArity when an atom of `found` arguments does not fit the profile.
std::optional<StoreError> arity_error(const PredicateProfile& profile, size_t found) {
  if (found == profile.arity) return std::nullopt;
  return StoreError(StoreError::InvalidArity{profile.arity, found});
}

}  // namespace

StoreResult<std::shared_ptr<const PredicateProfile>> RuvoStore::upsert_profile(uint64_t pred_id,
                                                                               size_t found) const {
  auto profile = registry.profile_ptr(pred_id);
  if (!profile) return profile;
  if (!*profile) return std::unexpected(StoreError(StoreError::UnknownPredicate{pred_id}));
  if (auto e = arity_error(**profile, found)) return std::unexpected(std::move(*e));
  return profile;
}

StoreResult<AtomState> RuvoStore::upsert_atom(const AtomKey& atom, const Contribution& c,
                                              AtomState* read) const {
  auto profile = upsert_profile(atom.pred_id, atom.args.size());
  if (!profile) return std::unexpected(std::move(profile.error()));
  StateKeyBuf key(atom.pred_id, atom.args);
  auto old = load_state(key.view());
  if (!old) return old;
  if (read != nullptr) *read = *old;
  return fold_and_write(**profile, atom.args, key.view(), *old, c);
}

StoreResult<AtomState> RuvoStore::upsert_atom_reading_old(uint64_t pred_id,
                                                          std::span<const uint64_t> args,
                                                          const Contribution& c,
                                                          AtomState& old) const {
  StateKeyBuf key(pred_id, args);
  auto loaded = load_state(key.view());
  if (!loaded) return loaded;
  old = *loaded;
  auto profile = upsert_profile(pred_id, args.size());
  if (!profile) return std::unexpected(std::move(profile.error()));
  // Nothing is written between the read and the fold, so this is the state
  // upsert_atom would read again.
  return fold_and_write(**profile, args, key.view(), old, c);
}

void RuvoStore::set_cache_writes(bool on) const {
  if (caches_) caches_->cache_writes.store(on, std::memory_order_relaxed);
}

AtomState RuvoStore::fold_in(AggregationMode aggregation, const AtomState& old, double b, double d) {
  return fold_aggregation(aggregation, old, b, d);
}

StoreResult<AtomState> RuvoStore::upsert_atom_known_old(const PredicateProfile& profile,
                                                        std::span<const uint64_t> args,
                                                        const Contribution& c,
                                                        const AtomState& old) const {
  if (auto e = arity_error(profile, args.size())) return std::unexpected(std::move(*e));
  StateKeyBuf key(profile.pred_id, args);
  return fold_and_write(profile, args, key.view(), old, c);
}

StoreResult<void> RuvoStore::write_folded_state(const PredicateProfile& profile,
                                                std::span<const uint64_t> args,
                                                const AtomState& s) const {
  StateKeyBuf key(profile.pred_id, args);
  if (auto r = write_state(key.view(), s); !r) return r;
  return update_indices(profile, args, key.view());
}

StoreResult<AtomState> RuvoStore::fold_and_write(const PredicateProfile& profile,
                                                 std::span<const uint64_t> args,
                                                 std::string_view state_key, const AtomState& old,
                                                 const Contribution& c) const {
  AtomState next;
  if (profile.aggregation == AggregationMode::Maximum || profile.evidence_mode == EvidenceMode::None) {
    // Folded into the stored state; the evidence id is not looked at and
    // nothing goes to "contrib".
    next = fold_aggregation(profile.aggregation, old, c.b, c.d);
  } else {
    // One record per source: a source reporting again replaces its record,
    // and the state is rebuilt from all of them.
    if (!c.evidence_id) return std::unexpected(StoreError(StoreError::MissingEvidence{}));
    auto folded = store_contribution(profile.aggregation, state_key, old, c);
    if (!folded) return folded;
    next = *folded;
  }

  if (AtomState::approx_eq(next, old)) return next;
  if (auto r = write_state(state_key, next); !r) return std::unexpected(std::move(r.error()));
  if (auto r = update_indices(profile, args, state_key); !r) {
    return std::unexpected(std::move(r.error()));
  }
  return next;
}

StoreResult<AtomState> RuvoStore::store_contribution(AggregationMode mode, std::string_view state_key,
                                                     const AtomState& old, const Contribution& c) const {
  const std::string ckey = encode_contrib_key(state_key, *c.evidence_id);
  const std::string record = encode_contribution(c);
  if (caches_) {
    const uint64_t h = hash_key(state_key);
    StoreCaches::ContribShard& shard = caches_->contrib_shards[h >> 60];
    std::lock_guard<std::mutex> lock(shard.mu);
    AtomContribs* known = shard.atoms.find(state_key);
    if (known == nullptr) {
      // The atom's records, read once; later upserts of the atom neither
      // probe for their key nor scan them again.
      AtomContribs loaded;
      bool decoded = true;
      auto scan = contrib_.scan_prefix(state_key, [&](std::string_view key, std::string_view value) {
        auto rec = decode_contribution(value);
        if (!rec) {
          decoded = false;
          return false;
        }
        loaded.entries.push_back({std::string(key.substr(state_key.size())), rec->b, rec->d});
        return true;
      });
      // A broken record is left to the database path, which reports it
      // when (and only when) it folds the records.
      if (scan && decoded) {
        shard.atoms.put(state_key, std::move(loaded));
        known = shard.atoms.find(state_key);
      }
    }
    if (known != nullptr) {
      const std::string_view id_key = std::string_view(ckey).substr(state_key.size());
      const AtomContribs::Entry* entry = known->find(id_key);
      const bool existed = entry != nullptr;
      // A source repeating the same amount leaves the record's bytes as
      // they are: writing them again would change nothing stored.
      const bool same = existed && std::bit_cast<uint64_t>(entry->b) == std::bit_cast<uint64_t>(c.b) &&
                        std::bit_cast<uint64_t>(entry->d) == std::bit_cast<uint64_t>(c.d);
      if (auto r = same ? kv::Result<void>{} : contrib_.insert(ckey, record); !r) {
        shard.atoms.erase(state_key);  // the database decides again next time
        return std::unexpected(StoreError(r.error()));
      }
      const size_t added = known->put(id_key, c.b, c.d);
      AtomState next{0.0, 0.0};
      if (!existed) {
        next = fold_aggregation(mode, old, c.b, c.d);
      } else {
        for (const auto& e : known->entries) next = fold_recomputed(mode, next, e.b, e.d);
      }
      // Accounting for the growth may start a new generation and drop the
      // one holding `known`: done last, once `known` is no longer needed.
      shard.atoms.add_cost(added);
      return next;
    }
  }

  auto existed = contrib_.contains(ckey);
  if (!existed) return std::unexpected(StoreError(existed.error()));
  if (auto r = contrib_.insert(ckey, record); !r) return std::unexpected(StoreError(r.error()));
  if (!*existed) return fold_aggregation(mode, old, c.b, c.d);
  return recompute_aggregate(mode, state_key);
}

namespace {

// Calls row(key, state) for each stored atom under the prefix, in key
// order, checking each key before its record. A record that does not
// decode ends the scan and is the error.
template <class Row>
StoreResult<void> scan_rows(const kv::Tree& state, std::string_view prefix, Row row) {
  std::optional<StoreError> failure;
  auto scan = state.scan_prefix(prefix, [&](std::string_view key, std::string_view value) {
    check_state_key(key);
    auto s = decode_atom_state(value);
    if (!s) {
      failure.emplace(s.error());
      return false;
    }
    row(key, *s);
    return true;
  });
  if (!scan) return std::unexpected(StoreError(scan.error()));
  if (failure) return std::unexpected(std::move(*failure));
  return {};
}

// Reads a whole predicate into a fresh copy, in key order, checking keys and
// records exactly as a scan does.
StoreResult<MirrorRows> load_rows(const kv::Tree& state, uint64_t pred_id, size_t& bytes) {
  MirrorRows rows;
  bytes = 0;
  auto r = scan_rows(state, u64_be(pred_id), [&](std::string_view key, const AtomState& s) {
    rows.emplace_hint(rows.end(), std::string(key), s);
    bytes += mirror_row_cost(key);
  });
  if (!r) return std::unexpected(std::move(r.error()));
  return rows;
}

// Looks at the predicate's copy under the copies' mutex. A loaded copy is
// marked as used and answers through serve(rows). Otherwise the answer is
// nullopt, `gen` is the predicate's write count (a copy loaded now is
// installed with it) and `may_load` says whether to load one at all: not
// when the copy was rejected, nor, with `needs_cache_writes`, while cache
// writes are off (the caller's first write would drop the copy).
template <class Serve>
auto serve_from_copy(StoreCaches& c, uint64_t pred_id, bool needs_cache_writes, uint64_t& gen,
                     bool& may_load, Serve serve)
    -> std::optional<decltype(serve(std::declval<const MirrorRows&>()))> {
  std::lock_guard<std::mutex> lock(c.mirror_mu);
  StoreCaches::Mirror& m = c.mirrors[pred_id];
  if (m.loaded) {
    m.last_use = ++c.tick;
    return serve(m.rows);
  }
  may_load = !m.rejected && (!needs_cache_writes || c.cache_writes.load(std::memory_order_relaxed));
  gen = m.gen;
  return std::nullopt;
}

}  // namespace

StoreResult<Rows> RuvoStore::scan_uncached(std::string_view prefix) const {
  Rows out;
  auto r = scan_rows(state_, prefix, [&](std::string_view key, const AtomState& s) {
    out.emplace_back(decode_state_key(key), s);
  });
  if (!r) return std::unexpected(std::move(r.error()));
  return out;
}

StoreResult<void> RuvoStore::scan_uncached_into(std::string_view prefix, ScanRows& out) const {
  out.clear();
  auto r = scan_rows(state_, prefix,
                     [&](std::string_view key, const AtomState& s) { append_flat_row(out, key, s); });
  if (!r) out.clear();
  return r;
}

StoreResult<Rows> RuvoStore::scan_predicate(uint64_t pred_id) const {
  if (!caches_) return scan_uncached(u64_be(pred_id));
  StoreCaches& c = *caches_;
  auto all = [](const MirrorRows& rows) { return rows_of(rows.begin(), rows.end(), rows.size()); };
  uint64_t gen = 0;
  bool may_load = false;
  if (auto served = serve_from_copy(c, pred_id, false, gen, may_load, all)) return std::move(*served);
  if (!may_load) return scan_uncached(u64_be(pred_id));
  size_t bytes = 0;
  auto rows = load_rows(state_, pred_id, bytes);
  if (!rows) return std::unexpected(std::move(rows.error()));
  Rows out = all(*rows);
  c.install(pred_id, gen, *rows, bytes);
  return out;
}

StoreResult<void> RuvoStore::scan_predicate_into(uint64_t pred_id, ScanRows& out) const {
  if (!caches_) return scan_uncached_into(u64_be(pred_id), out);
  StoreCaches& c = *caches_;
  auto all = [&out](const MirrorRows& rows) {
    flat_rows_of(rows.begin(), rows.end(), rows.size(), out);
    return true;
  };
  uint64_t gen = 0;
  bool may_load = false;
  if (serve_from_copy(c, pred_id, true, gen, may_load, all)) return {};
  if (!may_load) return scan_uncached_into(u64_be(pred_id), out);
  size_t bytes = 0;
  auto rows = load_rows(state_, pred_id, bytes);
  if (!rows) {
    out.clear();
    return std::unexpected(std::move(rows.error()));
  }
  all(*rows);
  c.install(pred_id, gen, *rows, bytes);
  return {};
}

StoreResult<Rows> RuvoStore::scan_predicate_prefix(uint64_t pred_id,
                                                   std::span<const uint64_t> leading) const {
  const std::string prefix = encode_state_key(pred_id, leading);
  if (!caches_) return scan_uncached(prefix);
  auto matching = [&](const MirrorRows& rows) {
    auto first = rows.lower_bound(std::string_view(prefix));
    auto last = first;
    size_t n = 0;
    while (last != rows.end() && std::string_view(last->first).starts_with(prefix)) {
      ++last;
      ++n;
    }
    return rows_of(first, last, n);
  };
  StoreCaches& c = *caches_;
  uint64_t gen = 0;
  bool may_load = false;
  if (auto served = serve_from_copy(c, pred_id, false, gen, may_load, matching)) return std::move(*served);
  if (!may_load) return scan_uncached(prefix);
  // Load the whole predicate once; later lookups are served from memory.
  // Rows outside the prefix must not change the answer: when they are
  // broken, ask the database for the prefix alone.
  size_t bytes = 0;
  std::optional<StoreResult<MirrorRows>> rows;
  try {
    rows.emplace(load_rows(state_, pred_id, bytes));
  } catch (const Fault&) {
    return scan_uncached(prefix);
  }
  if (!*rows) return scan_uncached(prefix);
  MirrorRows& loaded = **rows;
  Rows out = matching(loaded);
  c.install(pred_id, gen, loaded, bytes);
  return out;
}

// ---- Index trees ----

StoreResult<void> RuvoStore::update_indices(const PredicateProfile& profile,
                                            std::span<const uint64_t> args,
                                            std::string_view state_key) const {
  for (const IndexSpec& spec : profile.indexes) {
    auto tree = get_index_tree(profile.pred_id, spec.name);
    if (!tree) return std::unexpected(std::move(tree.error()));
    std::string key;
    key.reserve(8 * spec.positions.size() + state_key.size());
    for (uint64_t p : spec.positions) {
      if (p >= args.size()) {
        fault("index " + bincode::debug_str(spec.name) + " of predicate " +
              std::to_string(profile.pred_id) + " projects position " + std::to_string(p) +
              " of an atom with " + std::to_string(args.size()) + " arguments");
      }
      put_u64_be(key, args[p]);
    }
    key.append(state_key);
    if (auto r = tree->insert(key, std::string_view()); !r) return std::unexpected(StoreError(r.error()));
  }
  return {};
}

StoreResult<kv::Tree> RuvoStore::get_index_tree(uint64_t pred_id, std::string_view index_name) const {
  std::string name = "idx_" + std::to_string(pred_id) + "_";
  name.append(index_name);
  IndexTreeCache& cache = *index_trees_;
  {
    std::shared_lock<std::shared_mutex> lock(cache.mu);
    if (cache.poisoned) fault("index tree cache lock poisoned");
    if (auto it = cache.trees.find(name); it != cache.trees.end()) return it->second;
  }
  // Not upgraded: another caller may have opened the tree in between.
  std::unique_lock<std::shared_mutex> lock(cache.mu);
  if (cache.poisoned) fault("index tree cache lock poisoned");
  try {
    if (auto it = cache.trees.find(name); it != cache.trees.end()) return it->second;
    auto tree = db_.open_tree(name, kv::TreeOptions{.deferrable = true});
    if (!tree) return std::unexpected(StoreError(tree.error()));
    return cache.trees.emplace(std::move(name), std::move(*tree)).first->second;
  } catch (...) {
    cache.poisoned = true;
    throw;
  }
}

}  // namespace ruvo
