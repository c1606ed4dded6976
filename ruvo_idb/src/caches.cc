// Out-of-line parts of the caches: the slow paths of the pinned symbols
// (growing the id table, the text blocks and the text index) and the
// bookkeeping of StoreCaches (budgets, whole-predicate copies, forgetting
// after a failed commit). See caches.h for the contracts.
#include "ruvo_idb/src/caches.h"

#include <new>

namespace ruvo {

// ---- PinnedSymbols ----

uint8_t PinnedSymbols::pin(uint64_t id, std::string_view text, uint64_t h, uint8_t directions) {
  if (id == 0 || id > kMaxId || text.size() > kMaxText) return 0;
  Record* r = const_cast<Record*>(slot_load(id));
  if (r == nullptr) {
    r = make_record(id, text);
    if (r == nullptr) return 0;
  } else if (r->text() != text) {
    return 0;
  }
  const uint8_t had = r->flags.load(std::memory_order_relaxed);
  uint8_t add = directions & static_cast<uint8_t>(~had);
  if ((add & kForward) != 0 && !index_insert(tag_of(h), id, text)) add &= static_cast<uint8_t>(~kForward);
  // Release: a reader that sees the flag sees the record's bytes.
  if (add != 0) r->flags.store(had | add, std::memory_order_release);
  return (had | add) & directions;
}

bool PinnedSymbols::reserve(size_t bytes) {
  if (bytes > budget_ - std::min(budget_, used_)) return false;
  used_ += bytes;
  return true;
}

PinnedSymbols::Slot* PinnedSymbols::chunk_for(uint64_t id) {
  const uint64_t c = id >> kChunkBits;
  const Top* top = top_.load(std::memory_order_relaxed);
  if (top == nullptr || c >= top->size) {
    const size_t size = std::max<size_t>({16, top != nullptr ? top->size * 2 : 0, c + 1});
    if (!reserve(size * sizeof(std::atomic<Slot*>))) return nullptr;
    auto grown = std::make_unique<Top>(Top{size, std::make_unique<std::atomic<Slot*>[]>(size)});
    for (size_t i = 0; top != nullptr && i < top->size; ++i) {
      grown->chunks[i].store(top->chunks[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    top = grown.get();
    tops_.push_back(std::move(grown));
    top_.store(top, std::memory_order_release);
  }
  Slot* chunk = top->chunks[c].load(std::memory_order_relaxed);
  if (chunk == nullptr) {
    if (!reserve(kChunkSlots * sizeof(Slot))) return nullptr;
    chunks_.push_back(std::make_unique<Slot[]>(kChunkSlots));
    chunk = chunks_.back().get();
    top->chunks[c].store(chunk, std::memory_order_release);
  }
  return chunk;
}

PinnedSymbols::Record* PinnedSymbols::make_record(uint64_t id, std::string_view text) {
  Slot* chunk = chunk_for(id);
  if (chunk == nullptr) return nullptr;
  const size_t bytes = (sizeof(Record) + text.size() + 7) & ~size_t{7};
  char* at = nullptr;
  if (bytes > kBlockBytes / 4) {
    // A long text gets a block of its own; the current block goes on.
    if (!reserve(bytes)) return nullptr;
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
    at = blocks_.back().get();
  } else {
    if (block_left_ < bytes) {
      if (!reserve(kBlockBytes)) return nullptr;
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockBytes));
      block_next_ = blocks_.back().get();
      block_left_ = kBlockBytes;
    }
    at = block_next_;
    block_next_ += bytes;
    block_left_ -= bytes;
  }
  Record* r = new (at) Record{{0}, static_cast<uint32_t>(text.size())};
  if (!text.empty()) std::memcpy(at + sizeof(Record), text.data(), text.size());
  chunk[id & (kChunkSlots - 1)].store(r, std::memory_order_release);
  return r;
}

bool PinnedSymbols::index_insert(uint32_t tag, uint64_t id, std::string_view text) {
  if ((index_count_ + 1) * 4 > index_cap_ * 3) {
    const size_t cap = std::max<size_t>(256, index_cap_ * 2);
    if (!reserve(cap * sizeof(IndexSlot))) return false;
    auto grown = std::make_unique<IndexSlot[]>(cap);
    for (size_t i = 0; i < index_cap_; ++i) {
      if (index_[i].id != 0) place(grown.get(), cap, index_[i]);
    }
    used_ -= index_cap_ * sizeof(IndexSlot);
    index_ = std::move(grown);
    index_cap_ = cap;
  }
  IndexSlot slot{tag, static_cast<uint32_t>(id), kLongText, {}};
  if (text.size() <= sizeof slot.text) {
    slot.len = static_cast<uint8_t>(text.size());
    if (!text.empty()) std::memcpy(slot.text, text.data(), text.size());
  }
  place(index_.get(), index_cap_, slot);
  ++index_count_;
  return true;
}

void PinnedSymbols::place(IndexSlot* slots, size_t cap, const IndexSlot& s) {
  size_t i = s.tag & (cap - 1);
  while (slots[i].id != 0) i = (i + 1) & (cap - 1);
  slots[i] = s;
}

// ---- StoreCaches ----

StoreCaches::StoreCaches(const StoreOptions& options) {
  // Half of the state budget for single atoms, half for whole-predicate
  // copies.
  state_shard_budget = options.state_cache_bytes / 2 / kShards;
  contrib_shard_budget = options.contrib_cache_bytes / kShards;
  for (auto& shard : shards) shard.states.set_budget(state_shard_budget);
  for (auto& shard : contrib_shards) shard.atoms.set_budget(contrib_shard_budget);
  mirror_budget = options.state_cache_bytes / 2;
  // Seven eighths of the symbol budget pin symbols for good; the rest
  // holds, in both directions, what no longer fits.
  pinned.set_budget(options.symbol_cache_bytes / 8 * 7);
  text_ids.set_budget(options.symbol_cache_bytes / 16);
  id_texts.set_budget(options.symbol_cache_bytes / 16);
}

void StoreCaches::enforce_mirror_budget() {
  while (mirror_bytes > mirror_budget) {
    Mirror* victim = nullptr;
    for (auto& [id, m] : mirrors) {
      if (m.loaded && (victim == nullptr || m.last_use < victim->last_use)) victim = &m;
    }
    if (victim == nullptr) return;
    if (victim->bytes > mirror_budget) victim->rejected = true;
    drop(*victim);
  }
}

void StoreCaches::forget_profiles() {
  std::lock_guard<std::mutex> lock(profile_mu);
  profiles.clear();
  by_key.clear();
}

void StoreCaches::forget_derived() {
  for (auto& shard : shards) {
    std::lock_guard<std::mutex> lock(shard.mu);
    shard.states = ByteKeyCache<AtomState, StateCost>();
    shard.states.set_budget(state_shard_budget);
  }
  for (auto& shard : contrib_shards) {
    std::lock_guard<std::mutex> lock(shard.mu);
    shard.atoms = TwoGenMap<std::string, AtomContribs, SvHash, SvEq, ContribCost>();
    shard.atoms.set_budget(contrib_shard_budget);
  }
  std::lock_guard<std::mutex> lock(mirror_mu);
  for (auto& [id, m] : mirrors) {
    ++m.gen;
    if (m.loaded) drop(m);
  }
}

void StoreCaches::install(uint64_t pred_id, uint64_t gen, MirrorRows& rows, size_t bytes) {
  std::lock_guard<std::mutex> lock(mirror_mu);
  Mirror& m = mirrors[pred_id];
  if (m.loaded || m.gen != gen) return;
  if (bytes > mirror_budget) {
    m.rejected = true;
    return;
  }
  m.rows.swap(rows);
  m.bytes = bytes;
  m.loaded = true;
  m.last_use = ++tick;
  mirror_bytes += bytes;
  enforce_mirror_budget();
}

}  // namespace ruvo
