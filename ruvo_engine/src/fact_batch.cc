// FactBatch: facts folded in memory, their atoms' final states written
// together.
#include "ruvo_engine/src/fact_batch.h"

#include <algorithm>

#include "ruvo_core/src/hash.h"

namespace ruvo {

namespace {

// Atoms are numbered in 32 bits, 0 marking a free slot.
constexpr size_t kMaxAtoms = (size_t{1} << 32) - 2;

uint64_t atom_hash(uint64_t pred_id, std::span<const uint64_t> args) {
  uint64_t h = mix64(pred_id + 0x9e3779b97f4a7c15ULL);
  for (uint64_t a : args) h = mix64(h ^ a);
  return h;
}

}  // namespace

std::span<const uint64_t> FactBatch::args_of(const Atom& a) const {
  return {args_.data() + a.args, profiles_[a.profile].arity};
}

int64_t FactBatch::find(uint32_t profile, std::span<const uint64_t> args, uint64_t h, size_t& slot) const {
  const size_t mask = table_.size() - 1;
  for (slot = h & mask;; slot = (slot + 1) & mask) {
    const uint32_t entry = table_[slot];
    if (entry == 0) return -1;
    const Atom& a = atoms_[entry - 1];
    if (hashes_[entry - 1] == h && a.profile == profile && std::ranges::equal(args_of(a), args)) return entry - 1;
  }
}

void FactBatch::grow_table() {
  table_.assign(std::max<size_t>(64, table_.size() * 2), 0);
  const size_t mask = table_.size() - 1;
  for (size_t i = 0; i < atoms_.size(); ++i) {
    size_t slot = hashes_[i] & mask;
    while (table_[slot] != 0) slot = (slot + 1) & mask;
    table_[slot] = static_cast<uint32_t>(i + 1);
  }
}

StoreResult<bool> FactBatch::add(const PredicateProfile& profile, std::span<const uint64_t> args, double b,
                                 double d) {
  const bool folds_records =
      profile.aggregation != AggregationMode::Maximum && profile.evidence_mode != EvidenceMode::None;
  if (folds_records || !profile.indexes.empty() || profile.arity != args.size() || atoms_.size() >= kMaxAtoms)
    return false;
  // A batch rarely meets more than a few predicates; the latest is the
  // likeliest.
  auto known = std::find_if(profiles_.rbegin(), profiles_.rend(),
                            [&](const PredicateProfile& p) { return p.pred_id == profile.pred_id; });
  uint32_t p;
  if (known != profiles_.rend()) {
    p = static_cast<uint32_t>(profiles_.rend() - known - 1);
  } else {
    p = static_cast<uint32_t>(profiles_.size());
    profiles_.push_back(profile);
  }
  if (table_.empty()) grow_table();
  const uint64_t h = atom_hash(profile.pred_id, args);
  size_t slot;
  int64_t i = find(p, args, h, slot);
  if (i < 0) {
    auto stored = store_.peek_state(profile.pred_id, args);
    if (!stored) return std::unexpected(std::move(stored.error()));
    i = static_cast<int64_t>(atoms_.size());
    atoms_.push_back(Atom{p, args_.size(), *stored});
    args_.insert(args_.end(), args.begin(), args.end());
    hashes_.push_back(h);
    table_[slot] = static_cast<uint32_t>(i + 1);
    if (atoms_.size() * 2 > table_.size()) grow_table();
  }
  Atom& atom = atoms_[static_cast<size_t>(i)];
  const AtomState next = RuvoStore::fold_in(profile.aggregation, atom.state, b, d);
  if (!AtomState::approx_eq(next, atom.state)) {
    atom.state = next;
    atom.changed = true;
    changes_.push_back(Change{static_cast<uint32_t>(i), next});
  }
  return true;
}

StoreResult<void> FactBatch::flush(const OnChange& on_change) {
  // The states written are read next by evaluation, which copies whole
  // predicates and keeps its own copies: caching each one too is work for
  // nothing.
  const NoCacheWrites no_cache_writes(store_);
  StoreResult<void> result;
  std::vector<std::vector<uint32_t>> changed(profiles_.size());
  for (uint32_t i = 0; i < atoms_.size(); ++i)
    if (atoms_[i].changed) changed[atoms_[i].profile].push_back(i);
  for (size_t p = 0; p < profiles_.size() && result; ++p) {
    const std::vector<uint32_t>& rows = changed[p];
    if (rows.empty()) continue;
    size_t written = 0;
    result = store_.write_folded_states(
        profiles_[p], rows.size(),
        [&](size_t k) {
          const Atom& a = atoms_[rows[k]];
          return std::pair<std::span<const uint64_t>, AtomState>(args_of(a), a.state);
        },
        &written);
  }
  if (result && on_change) {
    for (const Change& c : changes_) {
      const Atom& a = atoms_[c.atom];
      on_change(profiles_[a.profile].pred_id, args_of(a), c.state);
    }
  }
  profiles_.clear();
  atoms_.clear();
  args_.clear();
  hashes_.clear();
  table_.clear();
  changes_.clear();
  return result;
}

}  // namespace ruvo
