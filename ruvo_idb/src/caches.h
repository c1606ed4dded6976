// The store's in-memory caches and their building blocks. The database is
// the durable truth: every cache here only spares reads, and each entry is
// filled from the database or from a write that has just succeeded, so a
// cached answer is always the answer the database would give.
//  - StoreCaches: the optional caches (profiles, symbols, atom states,
//    per-atom contributions, whole-predicate copies for scans), owned
//    jointly by a store and its copies; null when caches are off.
//  - IndexTreeCache: the opened index trees, always present.
// Each cache is bounded by its share of StoreOptions; the comments below
// say which mutex guards what. Internal to the IDB: callers include store.h.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ruvo_idb/src/store.h"

namespace ruvo {

// ---- Cache building blocks ----

struct SvHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
struct SvEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

// Bytes that malloc hands out for a request of n bytes (glibc: 8 bytes of
// header, 16-byte granules, 32 bytes at least).
constexpr size_t chunk(size_t n) { return std::max<size_t>(32, (n + 8 + 15) & ~size_t{15}); }
// Heap bytes of a std::string's buffer (none while it fits inline).
inline size_t string_heap(std::string_view s) { return s.size() > 15 ? chunk(s.size() + 1) : 0; }

// A bounded map with approximately least-recently-used eviction: entries go
// into the current generation; when it reaches half the budget it becomes
// the old generation (dropping the previous old one) and a new current one
// starts. A hit in the old generation moves the entry back. Memory stays
// below the budget plus one entry.
template <class K, class V, class Hash, class Eq, class Cost>
class TwoGenMap {
  using Map = std::unordered_map<K, V, Hash, Eq>;

 public:
  void set_budget(size_t bytes) { half_ = bytes / 2; }

  // The value, or null. The pointer is valid until the next mutation.
  template <class Q>
  V* find(const Q& key) {
    if (auto it = cur_.find(key); it != cur_.end()) return &it->second;
    if (old_.empty()) return nullptr;
    auto it = old_.find(key);
    if (it == old_.end()) return nullptr;
    auto node = old_.extract(it);
    const size_t cost = Cost{}(node.key(), node.mapped());
    V* v = &cur_.insert(std::move(node)).position->second;
    grow(cost);  // element addresses survive the generation change
    return v;
  }

  template <class Q>
  void put(const Q& key, V value) {
    if (auto it = cur_.find(key); it != cur_.end()) {
      it->second = std::move(value);
      return;
    }
    if (auto it = old_.find(key); it != old_.end()) {
      auto node = old_.extract(it);
      node.mapped() = std::move(value);
      const size_t cost = Cost{}(node.key(), node.mapped());
      cur_.insert(std::move(node));
      grow(cost);
      return;
    }
    auto [it, inserted] = cur_.emplace(K(key), std::move(value));
    grow(Cost{}(it->first, it->second));
  }

  template <class Q>
  void erase(const Q& key) {
    if (auto it = cur_.find(key); it != cur_.end()) cur_.erase(it);
    if (auto it = old_.find(key); it != old_.end()) old_.erase(it);
  }

  // Accounts for an entry that grew by `cost` bytes after it was found or
  // put (and so sits in the current generation).
  void add_cost(size_t cost) { grow(cost); }

  size_t size() const { return cur_.size() + old_.size(); }

 private:
  void grow(size_t cost) {
    cur_bytes_ += cost;
    if (cur_bytes_ > half_) {
      old_ = std::move(cur_);
      cur_ = Map();
      cur_bytes_ = 0;
    }
  }

  Map cur_, old_;
  size_t cur_bytes_ = 0;
  size_t half_ = 0;
};

// Values of short keys in open-addressing tables whose 64-byte slots hold
// key and value inline: one cache line per lookup. Two generations bound
// the memory as in TwoGenMap; a hit in the old generation is copied into
// the current one (the old copy is dropped with its generation, and the
// current one is always looked at first). Keys longer than kMaxKey go
// elsewhere.
template <class V>
class FlatCache {
 public:
  static constexpr size_t kMaxKey = 64 - 8 - sizeof(V) - 1;

 private:
  struct alignas(64) Slot {
    uint64_t hash;  // 0: empty
    V value;
    uint8_t len;
    char key[kMaxKey];
  };
  static_assert(sizeof(Slot) == 64);

  struct Table {
    std::unique_ptr<Slot[]> slots;
    size_t cap = 0;
    size_t count = 0;

    // The low 32 bits of the hash pick the home slot (the high bits pick
    // the shard of a sharded cache).
    size_t home(uint64_t h) const { return static_cast<size_t>(((h & 0xffffffffu) * cap) >> 32); }
    Slot* find(std::string_view key, uint64_t h) {
      if (cap == 0) return nullptr;
      for (size_t i = home(h);;) {
        Slot& s = slots[i];
        if (s.hash == 0) return nullptr;
        if (s.hash == h && s.len == key.size() && std::memcmp(s.key, key.data(), key.size()) == 0) return &s;
        if (++i == cap) i = 0;
      }
    }
    // REQUIRES: the key is absent and a slot is free.
    Slot* insert(std::string_view key, uint64_t h, const V& value) {
      size_t i = home(h);
      while (slots[i].hash != 0) {
        if (++i == cap) i = 0;
      }
      Slot& s = slots[i];
      s.hash = h;
      s.value = value;
      s.len = static_cast<uint8_t>(key.size());
      std::memcpy(s.key, key.data(), key.size());
      ++count;
      return &s;
    }
    void rehash(size_t new_cap) {
      Table next;
      next.slots.reset(new Slot[new_cap]());
      next.cap = new_cap;
      for (size_t i = 0; i < cap; ++i) {
        const Slot& s = slots[i];
        if (s.hash != 0) next.insert(std::string_view(s.key, s.len), s.hash, s.value);
      }
      *this = std::move(next);
    }
  };

 public:
  // Memory of both generations together.
  void set_budget(size_t bytes) {
    const size_t per_gen = std::min<size_t>(bytes / 2 / sizeof(Slot), size_t{1} << 31);
    max_cap_ = per_gen >= 8 ? per_gen : 0;
  }

  // REQUIRES: key.size() <= kMaxKey; h == hash_key(key).
  const V* find(std::string_view key, uint64_t h) {
    if (Slot* s = cur_.find(key, h)) return &s->value;
    Slot* old = old_.find(key, h);
    if (old == nullptr) return nullptr;
    const V value = old->value;
    V* copy = put(key, h, value);
    return copy != nullptr ? copy : &old->value;
  }

  // Replaces the value of a cached key; adds nothing.
  void update_if_present(std::string_view key, uint64_t h, const V& value) {
    if (Slot* s = cur_.find(key, h)) {
      s->value = value;
    } else if (Slot* o = old_.find(key, h)) {
      o->value = value;
    }
  }

  // Null when the budget is too small to cache anything.
  V* put(std::string_view key, uint64_t h, const V& value) {
    if (max_cap_ == 0) return nullptr;
    if (Slot* s = cur_.find(key, h)) {
      s->value = value;
      return &s->value;
    }
    if ((cur_.count + 1) * 4 > cur_.cap * 3) {
      if (cur_.cap < max_cap_) {
        cur_.rehash(std::min(max_cap_, std::max<size_t>(cur_.cap * 2, 256)));
      } else {
        old_ = std::move(cur_);
        cur_ = Table();
        cur_.rehash(max_cap_);
      }
    }
    return &cur_.insert(key, h, value)->value;
  }

 private:
  Table cur_, old_;
  size_t max_cap_ = 0;
};

// A bounded cache keyed by byte strings: short keys in a FlatCache, long
// ones in a TwoGenMap. Seven eighths of the budget go to the short keys.
template <class V, class LongCost>
class ByteKeyCache {
 public:
  void set_budget(size_t bytes) {
    short_.set_budget(bytes / 8 * 7);
    long_.set_budget(bytes / 8);
  }
  const V* find(std::string_view key, uint64_t h) {
    return key.size() <= FlatCache<V>::kMaxKey ? short_.find(key, h) : long_.find(key);
  }
  void put(std::string_view key, uint64_t h, const V& value) {
    if (key.size() <= FlatCache<V>::kMaxKey) {
      short_.put(key, h, value);
    } else {
      long_.put(key, value);
    }
  }
  void update_if_present(std::string_view key, uint64_t h, const V& value) {
    if (key.size() <= FlatCache<V>::kMaxKey) {
      short_.update_if_present(key, h, value);
    } else if (V* v = long_.find(key)) {
      *v = value;
    }
  }

 private:
  FlatCache<V> short_;
  TwoGenMap<std::string, V, SvHash, SvEq, LongCost> long_;
};

// Symbols kept for the store's whole life: one immutable record per id with
// its text, found by id without any lock and by text through an index.
// What the database is known to hold is marked per record: kForward when
// "sym_by_text" maps the text to the id (only such records are in the
// index), kReverse when "sym_by_id" maps the id to the text (only such
// records answer get_text). Records are never freed before the cache, so a
// view of a record's text stays valid as long as the cache lives. Pinning
// stops when the budget is used up; the caller then keeps the entry in a
// bounded cache instead.
class PinnedSymbols {
 public:
  static constexpr uint8_t kForward = 1;
  static constexpr uint8_t kReverse = 2;

  struct Record {
    std::atomic<uint8_t> flags;
    uint32_t size;
    std::string_view text() const { return std::string_view(reinterpret_cast<const char*>(this + 1), size); }
  };
  static_assert(sizeof(Record) == 8);

  PinnedSymbols() = default;
  PinnedSymbols(const PinnedSymbols&) = delete;
  PinnedSymbols& operator=(const PinnedSymbols&) = delete;

  void set_budget(size_t bytes) { budget_ = bytes; }

  // The record of an id whose text "sym_by_id" is known to hold, or null.
  // Safe without the writers' lock.
  const Record* find_text(uint64_t id) const {
    const Record* r = slot_load(id);
    if (r == nullptr || (r->flags.load(std::memory_order_acquire) & kReverse) == 0) return nullptr;
    return r;
  }

  // The id "sym_by_text" is known to map `text` to. REQUIRES: the writers'
  // lock; h == hash_key(text).
  std::optional<uint64_t> find_id(std::string_view text, uint64_t h) const {
    if (index_cap_ == 0) return std::nullopt;
    const uint32_t tag = tag_of(h);
    for (size_t i = tag & (index_cap_ - 1);; i = (i + 1) & (index_cap_ - 1)) {
      const IndexSlot& slot = index_[i];
      if (slot.id == 0) return std::nullopt;
      if (slot.tag != tag) continue;
      const bool same = slot.len == kLongText
                            ? slot_load(slot.id)->text() == text
                            : slot.len == text.size() && std::memcmp(slot.text, text.data(), text.size()) == 0;
      if (same) return slot.id;
    }
  }

  // Notes that the database maps `text` and `id` to each other in
  // `directions` (kForward, kReverse or both). Returns the directions now
  // pinned: none when the id already has another text (broken stored data)
  // or the budget is used up. REQUIRES: the writers' lock; h ==
  // hash_key(text) when kForward is asked for.
  uint8_t pin(uint64_t id, std::string_view text, uint64_t h, uint8_t directions);

 private:
  using Slot = std::atomic<const Record*>;
  static constexpr unsigned kChunkBits = 12;
  static constexpr size_t kChunkSlots = size_t{1} << kChunkBits;
  // Index slots hold 32-bit ids; larger ids are left to the caller.
  static constexpr uint64_t kMaxId = 0xffffffffu;
  static constexpr size_t kMaxText = 0xffffffffu;
  static constexpr size_t kBlockBytes = size_t{64} << 10;

  // The chunk table: replaced by a larger copy when ids outgrow it, the
  // old copies kept (readers may still hold them) until the cache goes.
  struct Top {
    size_t size;
    std::unique_ptr<std::atomic<Slot*>[]> chunks;
  };
  // A short text sits in its index slot, so that most lookups read one
  // slot and nothing else; a longer one is compared with its record.
  static constexpr uint8_t kLongText = 0xff;
  struct IndexSlot {
    uint32_t tag;
    uint32_t id;  // 0: empty
    uint8_t len;  // kLongText: the text is not inline
    char text[15];
  };
  static_assert(sizeof(IndexSlot) == 24);

  static uint32_t tag_of(uint64_t h) { return static_cast<uint32_t>(h >> 32); }

  const Record* slot_load(uint64_t id) const {
    const Top* top = top_.load(std::memory_order_acquire);
    const uint64_t c = id >> kChunkBits;
    if (top == nullptr || c >= top->size) return nullptr;
    const Slot* chunk = top->chunks[c].load(std::memory_order_acquire);
    if (chunk == nullptr) return nullptr;
    return chunk[id & (kChunkSlots - 1)].load(std::memory_order_acquire);
  }

  bool reserve(size_t bytes);

  // The chunk that holds `id`, made when missing; null over budget.
  Slot* chunk_for(uint64_t id);

  // A new record without flags, published in its id's slot; null over
  // budget.
  Record* make_record(uint64_t id, std::string_view text);

  // Adds id to the index (load at most 3/4); false over budget.
  bool index_insert(uint32_t tag, uint64_t id, std::string_view text);

  static void place(IndexSlot* slots, size_t cap, const IndexSlot& s);

  std::atomic<const Top*> top_{nullptr};
  // Owned storage, touched only under the writers' lock.
  std::vector<std::unique_ptr<Top>> tops_;
  std::vector<std::unique_ptr<Slot[]>> chunks_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* block_next_ = nullptr;
  size_t block_left_ = 0;
  std::unique_ptr<IndexSlot[]> index_;
  size_t index_cap_ = 0;
  size_t index_count_ = 0;
  size_t budget_ = 0;
  size_t used_ = 0;
};

// unordered_map node: next pointer, key, value, cached hash for string keys;
// plus one bucket pointer per element.
struct StateCost {
  size_t operator()(const std::string& k, const AtomState&) const {
    return chunk(8 + sizeof(std::string) + sizeof(AtomState) + 8) + string_heap(k) + 8;
  }
};
struct TextIdCost {
  size_t operator()(const std::string& k, uint64_t) const {
    return chunk(8 + sizeof(std::string) + 8 + 8) + string_heap(k) + 8;
  }
};
struct IdTextCost {
  size_t operator()(uint64_t, const std::string& v) const {
    return chunk(8 + 8 + sizeof(std::string)) + string_heap(v) + 8;
  }
};

// The stored contributions of one atom, complete: every "contrib" entry
// whose key begins with the atom's state key, by the rest of that key (the
// evidence id's length and bytes) in key order, with the amounts of its
// record.
struct AtomContribs {
  struct Entry {
    std::string id_key;
    double b;
    double d;
  };
  std::vector<Entry> entries;

  Entry* find(std::string_view id_key) {
    auto it = std::lower_bound(entries.begin(), entries.end(), id_key,
                               [](const Entry& e, std::string_view k) { return std::string_view(e.id_key) < k; });
    return it != entries.end() && it->id_key == id_key ? &*it : nullptr;
  }
  // Returns the bytes the entry added, 0 when it replaced one.
  size_t put(std::string_view id_key, double b, double d) {
    auto it = std::lower_bound(entries.begin(), entries.end(), id_key,
                               [](const Entry& e, std::string_view k) { return std::string_view(e.id_key) < k; });
    if (it != entries.end() && it->id_key == id_key) {
      it->b = b;
      it->d = d;
      return 0;
    }
    entries.insert(it, Entry{std::string(id_key), b, d});
    return entry_cost(id_key);
  }
  // Vector slack counted as one more entry.
  static size_t entry_cost(std::string_view id_key) { return 2 * sizeof(Entry) + string_heap(id_key); }
};
struct ContribCost {
  size_t operator()(const std::string& k, const AtomContribs& v) const {
    size_t cost = chunk(8 + sizeof(std::string) + sizeof(AtomContribs) + 8) + string_heap(k) + 8;
    for (const auto& e : v.entries) cost += AtomContribs::entry_cost(e.id_key);
    return cost;
  }
};

// std::map node: colour, three links, key, value.
inline size_t mirror_row_cost(std::string_view key) {
  return chunk(32 + sizeof(std::string) + sizeof(AtomState)) + string_heap(key);
}

using MirrorRows = std::map<std::string, AtomState, std::less<>>;

// ---- Caches ----

struct IndexTreeCache {
  std::shared_mutex mu;
  // Set when a failure escaped while the write lock was held; the map may
  // then be half updated, and every later use is a fault.
  bool poisoned = false;
  std::unordered_map<std::string, kv::Tree, SvHash, SvEq> trees;
};

struct StoreCaches {
  static constexpr size_t kShards = 16;

  explicit StoreCaches(const StoreOptions& options);

  // Profiles never change once written; a missing one is never cached,
  // since it may be registered later.
  std::mutex profile_mu;
  std::unordered_map<uint64_t, std::shared_ptr<const PredicateProfile>> profiles;
  std::unordered_map<std::string, std::shared_ptr<const PredicateProfile>, SvHash, SvEq> by_key;

  // A text's id and an id's text never change once written; only present
  // entries are cached. symbol_mu guards all three maps, except that
  // PinnedSymbols::find_text needs no lock.
  std::mutex symbol_mu;
  PinnedSymbols pinned;
  ByteKeyCache<uint64_t, TextIdCost> text_ids;
  TwoGenMap<uint64_t, std::string, std::hash<uint64_t>, std::equal_to<>, IdTextCost> id_texts;

  // Atom states by state key, (0, 0) standing for a known-absent atom. A
  // shard's mutex is held across the database read of a miss and across a
  // state write with its cache update, so a cached entry never goes stale.
  struct Shard {
    std::mutex mu;
    ByteKeyCache<AtomState, StateCost> states;
  };
  Shard shards[kShards];
  size_t state_shard_budget = 0;

  Shard& shard_of(uint64_t h) { return shards[h >> 60]; }

  // Stored contributions per atom, for the per-source evidence modes. A
  // shard's mutex is held across loading an atom's records and across a
  // record write with its cache update.
  struct ContribShard {
    std::mutex mu;
    TwoGenMap<std::string, AtomContribs, SvHash, SvEq, ContribCost> atoms;
  };
  ContribShard contrib_shards[kShards];
  size_t contrib_shard_budget = 0;

  // Whole-predicate copies of "state" for scans: complete once loaded and
  // kept exact by every state write. `gen` counts the predicate's writes,
  // so a load that raced with a write is not installed.
  struct Mirror {
    bool loaded = false;
    bool rejected = false;  // larger than the whole budget: never kept
    uint64_t gen = 0;
    uint64_t last_use = 0;
    size_t bytes = 0;
    MirrorRows rows;
  };
  // Off while a caller keeps its own copy of what it writes (an
  // evaluation): state writes then keep the caches exact without adding
  // to them, and whole-predicate copies they touch are dropped.
  std::atomic<bool> cache_writes{true};

  std::mutex mirror_mu;  // taken after a shard's mutex, never before
  std::unordered_map<uint64_t, Mirror> mirrors;
  size_t mirror_bytes = 0;
  size_t mirror_budget = 0;
  uint64_t tick = 0;

  // REQUIRES: mirror_mu held.
  void drop(Mirror& m) {
    mirror_bytes -= m.bytes;
    m.bytes = 0;
    m.loaded = false;
    MirrorRows().swap(m.rows);
  }
  // Drops the least recently used copies until the total fits.
  // REQUIRES: mirror_mu held.
  void enforce_mirror_budget();
  // Forgets every cached state, contribution record and predicate copy,
  // after writes they mirror were dropped from the database's pending
  // batch. A copy being loaded meanwhile is not installed.
  void forget_derived();
  // Drops every cached profile (a failed commit may have dropped their
  // registrations).
  void forget_profiles();
  // Installs a copy loaded while the predicate's write count was `gen`.
  void install(uint64_t pred_id, uint64_t gen, MirrorRows& rows, size_t bytes);
};

}  // namespace ruvo
