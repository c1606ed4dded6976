// The derived-state store. The database is the durable truth: every write
// goes to it first, in the order the operations define. The optional caches
// below only spare reads; each one is filled from the database or from a
// write that has just succeeded, so a cached answer is always the answer
// the database would give.
#include "ruvo_idb/src/store.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_map>

#include "ruvo_core/src/fault.h"

namespace ruvo {

using bincode::get_u64_be;
using bincode::put_u64_be;
using bincode::u64_be;

namespace {

constexpr std::string_view kNextSymId = "next_sym_id";
constexpr std::string_view kNextPredId = "next_pred_id";

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void store_u64_be(char* p, uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<char>(v & 0xff);
    v >>= 8;
  }
}

bool well_formed_state_key(std::string_view key) {
  return key.size() >= 8 && (key.size() - 8) % 8 == 0;
}

void check_state_key(std::string_view key) {
  if (!well_formed_state_key(key)) {
    fault("malformed state key of " + std::to_string(key.size()) + " bytes");
  }
}

// A state key built on the stack for the common small arities, so that hot
// lookups allocate nothing. Not copyable: view() points into the object.
class StateKeyBuf {
 public:
  StateKeyBuf(uint64_t pred_id, std::span<const uint64_t> args) {
    n_ = 8 + 8 * args.size();
    if (n_ <= sizeof(inline_)) {
      p_ = inline_;
    } else {
      heap_.resize(n_);
      p_ = heap_.data();
    }
    store_u64_be(p_, pred_id);
    for (size_t i = 0; i < args.size(); ++i) store_u64_be(p_ + 8 + 8 * i, args[i]);
  }
  StateKeyBuf(const StateKeyBuf&) = delete;
  StateKeyBuf& operator=(const StateKeyBuf&) = delete;
  std::string_view view() const { return std::string_view(p_, n_); }

 private:
  char inline_[72];
  std::string heap_;
  char* p_;
  size_t n_;
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

// ---- Counters ----

// Draws the next id from a counter key (value: next id, u64 big-endian).
StoreResult<uint64_t> draw_id(const kv::Tree& meta, std::string_view key) {
  auto before = meta.fetch_and_update(key, [key](std::optional<std::string_view> current) {
    if (!current) fault("id counter " + std::string(key) + " is missing");
    if (current->size() != 8) {
      fault("id counter " + std::string(key) + " is " + std::to_string(current->size()) +
            " bytes long, not 8");
    }
    const uint64_t next = get_u64_be(current->data());
    // Wrapping around would hand out ids that are already in use.
    if (next == std::numeric_limits<uint64_t>::max()) {
      fault("id counter " + std::string(key) + " is exhausted");
    }
    return u64_be(next + 1);
  });
  if (!before) return std::unexpected(StoreError(before.error()));
  if (!before->has_value()) fault("id counter " + std::string(key) + " had no value");
  auto id = bincode::read_u64_be(**before);
  if (!id) fault("id counter " + std::string(key) + " had a value not 8 bytes long");
  return *id;
}

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
size_t string_heap(std::string_view s) { return s.size() > 15 ? chunk(s.size() + 1) : 0; }

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

// Hash of a key's bytes, 8 bytes at a time (state keys are 8 + 8n bytes).
uint64_t hash_key(std::string_view key) {
  auto mix = [](uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
  };
  uint64_t h = 0x9E3779B97F4A7C15ull ^ key.size();
  size_t i = 0;
  for (; i + 8 <= key.size(); i += 8) h = mix(h ^ get_u64_be(key.data() + i));
  if (i < key.size()) {
    uint64_t tail = 0;
    for (; i < key.size(); ++i) tail = (tail << 8) | static_cast<uint8_t>(key[i]);
    h = mix(h ^ tail ^ 0xA5);
  }
  return h == 0 ? 1 : h;
}

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
  uint8_t pin(uint64_t id, std::string_view text, uint64_t h, uint8_t directions) {
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

  bool reserve(size_t bytes) {
    if (bytes > budget_ - std::min(budget_, used_)) return false;
    used_ += bytes;
    return true;
  }

  // The chunk that holds `id`, made when missing; null over budget.
  Slot* chunk_for(uint64_t id) {
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

  // A new record without flags, published in its id's slot; null over
  // budget.
  Record* make_record(uint64_t id, std::string_view text) {
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

  // Adds id to the index (load at most 3/4); false over budget.
  bool index_insert(uint32_t tag, uint64_t id, std::string_view text) {
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
  static void place(IndexSlot* slots, size_t cap, const IndexSlot& s) {
    size_t i = s.tag & (cap - 1);
    while (slots[i].id != 0) i = (i + 1) & (cap - 1);
    slots[i] = s;
  }

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
size_t mirror_row_cost(std::string_view key) {
  return chunk(32 + sizeof(std::string) + sizeof(AtomState)) + string_heap(key);
}

using MirrorRows = std::map<std::string, AtomState, std::less<>>;
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

  explicit StoreCaches(const StoreOptions& options) {
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
  void enforce_mirror_budget() {
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
  // Forgets every cached state, contribution record and predicate copy,
  // after writes they mirror were dropped from the database's pending
  // batch. A copy being loaded meanwhile is not installed.
  void forget_derived() {
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
  // Installs a copy loaded while the predicate's write count was `gen`.
  void install(uint64_t pred_id, uint64_t gen, MirrorRows& rows, size_t bytes) {
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
};

// ---- StoreError ----

std::string StoreError::debug() const {
  return std::visit(
      Overloaded{
          [](const kv::Error& e) { return "Sled(" + e.debug() + ")"; },
          [](const bincode::Error& e) { return "Bincode(" + e.debug() + ")"; },
          [](const UnknownPredicate& e) {
            return "UnknownPredicate(" + std::to_string(e.pred_id) + ")";
          },
          [](const UnknownIndex& e) {
            return "UnknownIndex { pred_id: " + std::to_string(e.pred_id) +
                   ", index_name: " + bincode::debug_str(e.index_name) + " }";
          },
          [](const InvalidArity& e) {
            return "InvalidArity { expected: " + std::to_string(e.expected) +
                   ", found: " + std::to_string(e.found) + " }";
          },
          [](const MissingEvidence&) { return std::string("MissingEvidence"); },
      },
      v);
}

// ---- Key encodings ----

std::string encode_state_key(uint64_t pred_id, std::span<const uint64_t> args) {
  std::string key;
  key.reserve(8 + 8 * args.size());
  put_u64_be(key, pred_id);
  for (uint64_t a : args) put_u64_be(key, a);
  return key;
}

std::string encode_state_key(const AtomKey& atom) { return encode_state_key(atom.pred_id, atom.args); }

std::string encode_contrib_key(std::string_view state_key, std::string_view evidence_id) {
  std::string key;
  key.reserve(state_key.size() + 4 + evidence_id.size());
  key.append(state_key);
  // Ids beyond 4 GiB do not fit the length field; the length is truncated.
  bincode::put_u32_be(key, static_cast<uint32_t>(evidence_id.size()));
  key.append(evidence_id);
  return key;
}

AtomKey decode_state_key(std::string_view key) {
  check_state_key(key);
  AtomKey atom;
  atom.pred_id = get_u64_be(key.data());
  const size_t n = (key.size() - 8) / 8;
  atom.args.resize(n);
  for (size_t i = 0; i < n; ++i) atom.args[i] = get_u64_be(key.data() + 8 + 8 * i);
  return atom;
}

// ---- SymbolStore ----

namespace {

// Notes text <-> id in the caches: pinned when possible, otherwise in the
// bounded map of each direction asked for. REQUIRES: c->symbol_mu held.
void remember_symbol(StoreCaches& c, uint64_t id, std::string_view text, uint64_t h, uint8_t directions) {
  const uint8_t pinned = c.pinned.pin(id, text, h, directions);
  const uint8_t rest = directions & static_cast<uint8_t>(~pinned);
  if ((rest & PinnedSymbols::kForward) != 0) c.text_ids.put(text, h, id);
  if ((rest & PinnedSymbols::kReverse) != 0) c.id_texts.put(id, std::string(text));
}

}  // namespace

StoreResult<uint64_t> SymbolStore::get_or_insert(std::string_view text) const {
  StoreCaches* const c = caches_.get();
  const uint64_t h = c != nullptr ? hash_key(text) : 0;
  if (c != nullptr) {
    std::lock_guard<std::mutex> lock(c->symbol_mu);
    if (auto id = c->pinned.find_id(text, h)) return *id;
    if (const uint64_t* id = c->text_ids.find(text, h)) return *id;
  }
  auto remember = [&](uint64_t id, uint8_t directions) {
    if (c == nullptr) return;
    std::lock_guard<std::mutex> lock(c->symbol_mu);
    remember_symbol(*c, id, text, h, directions);
  };

  // Read before the lookup: when nothing is written to the tree between
  // the two, the claim below need not look the text up again.
  const uint64_t absent_at = by_text_.write_count();
  std::string stored;
  auto found = by_text_.get_into(text, stored);
  if (!found) return std::unexpected(StoreError(std::move(found.error())));
  if (*found) {
    auto id = bincode::read_u64_be(stored);
    if (!id) fault("symbol id of " + bincode::debug_str(text) + " is not 8 bytes long");
    remember(*id, PinnedSymbols::kForward);
    return *id;
  }

  auto id = draw_id(meta_, kNextSymId);
  if (!id) return id;
  char id_bytes[8];
  store_u64_be(id_bytes, *id);
  const std::string_view id_view(id_bytes, sizeof id_bytes);
  auto claim = by_text_.compare_and_swap_absent(text, id_view, absent_at);
  if (!claim) return std::unexpected(StoreError(std::move(claim.error())));
  if (claim->swapped) {
    auto reverse = by_id_.insert(id_view, text);
    if (!reverse) return std::unexpected(StoreError(std::move(reverse.error())));
    remember(*id, PinnedSymbols::kForward | PinnedSymbols::kReverse);
    return *id;
  }
  // Another caller claimed the text first: its id wins, ours is burnt.
  if (!claim->current) fault("refused symbol claim without a current value");
  auto winner = bincode::read_u64_be(*claim->current);
  if (!winner) fault("symbol id of " + bincode::debug_str(text) + " is not 8 bytes long");
  remember(*winner, PinnedSymbols::kForward);
  return *winner;
}

StoreResult<std::optional<std::string_view>> SymbolStore::get_text_into(uint64_t id,
                                                                        std::string& buffer) const {
  if (caches_ != nullptr) {
    if (const PinnedSymbols::Record* r = caches_->pinned.find_text(id)) return std::optional(r->text());
  }
  return read_text(id, buffer);
}

StoreResult<std::optional<std::string_view>> SymbolStore::read_text(uint64_t id, std::string& buffer) const {
  StoreCaches* const c = caches_.get();
  if (c != nullptr) {
    std::lock_guard<std::mutex> lock(c->symbol_mu);
    if (const std::string* text = c->id_texts.find(id)) {
      buffer.assign(*text);
      return std::optional<std::string_view>(buffer);
    }
  }
  char key[8];
  store_u64_be(key, id);
  auto found = by_id_.get_into(std::string_view(key, sizeof key), buffer);
  if (!found) return std::unexpected(StoreError(std::move(found.error())));
  if (!*found) return std::optional<std::string_view>();
  if (bincode::check_utf8(buffer)) fault("text of symbol " + std::to_string(id) + " is not UTF-8");
  if (c != nullptr) {
    std::lock_guard<std::mutex> lock(c->symbol_mu);
    remember_symbol(*c, id, buffer, 0, PinnedSymbols::kReverse);
  }
  return std::optional<std::string_view>(buffer);
}

StoreResult<std::optional<std::string>> SymbolStore::get_text(uint64_t id) const {
  std::string buffer;
  auto text = get_text_into(id, buffer);
  if (!text) return std::unexpected(std::move(text.error()));
  if (!*text) return std::optional<std::string>();
  if ((*text)->data() == buffer.data()) return std::optional<std::string>(std::move(buffer));
  return std::optional<std::string>(std::in_place, **text);
}

// ---- PredicateRegistry ----

StoreResult<std::shared_ptr<const PredicateProfile>> PredicateRegistry::profile_ptr(
    uint64_t pred_id) const {
  if (caches_) {
    std::lock_guard<std::mutex> lock(caches_->profile_mu);
    if (auto it = caches_->profiles.find(pred_id); it != caches_->profiles.end()) return it->second;
  }
  auto stored = profiles_.get(u64_be(pred_id));
  if (!stored) return std::unexpected(StoreError(stored.error()));
  if (!stored->has_value()) return std::shared_ptr<const PredicateProfile>();
  auto profile = decode_profile(**stored);
  if (!profile) return std::unexpected(StoreError(profile.error()));
  auto ptr = std::make_shared<const PredicateProfile>(std::move(*profile));
  if (caches_) {
    std::lock_guard<std::mutex> lock(caches_->profile_mu);
    return caches_->profiles.emplace(pred_id, std::move(ptr)).first->second;
  }
  return ptr;
}

StoreResult<std::optional<PredicateProfile>> PredicateRegistry::get_profile(uint64_t pred_id) const {
  auto ptr = profile_ptr(pred_id);
  if (!ptr) return std::unexpected(ptr.error());
  if (!*ptr) return std::optional<PredicateProfile>();
  return std::optional<PredicateProfile>(**ptr);
}

StoreResult<PredicateProfile> PredicateRegistry::register_predicate(
    std::string_view name, uint64_t arity, AggregationMode aggregation, EvidenceMode evidence_mode,
    std::vector<IndexSpec> indexes) const {
  std::string key(name);
  key += '#';
  key += std::to_string(arity);

  if (caches_) {
    std::lock_guard<std::mutex> lock(caches_->profile_mu);
    if (auto it = caches_->by_key.find(key); it != caches_->by_key.end()) return *it->second;
  }
  auto remember = [&](const std::shared_ptr<const PredicateProfile>& p) {
    if (!caches_) return;
    std::lock_guard<std::mutex> lock(caches_->profile_mu);
    caches_->by_key.insert_or_assign(key, p);
    caches_->profiles.emplace(p->pred_id, p);
  };

  auto stored = by_name_.get(key);
  if (!stored) return std::unexpected(StoreError(stored.error()));
  if (stored->has_value()) {
    auto id = bincode::read_u64_be(**stored);
    if (!id) fault("predicate id of " + bincode::debug_str(key) + " is not 8 bytes long");
    auto profile = profile_ptr(*id);
    if (!profile) return std::unexpected(profile.error());
    if (!*profile) {
      fault("predicate " + bincode::debug_str(key) + " has id " + std::to_string(*id) +
            " but no profile");
    }
    remember(*profile);
    return **profile;
  }

  auto id = draw_id(meta_, kNextPredId);
  if (!id) return std::unexpected(id.error());
  auto profile = std::make_shared<PredicateProfile>();
  profile->pred_id = *id;
  profile->name = std::string(name);
  profile->arity = arity;
  profile->aggregation = aggregation;
  profile->evidence_mode = evidence_mode;
  profile->indexes = std::move(indexes);

  const std::string id_bytes = u64_be(*id);
  if (auto r = by_name_.insert(key, id_bytes); !r) return std::unexpected(StoreError(r.error()));
  const std::string record = encode_profile(*profile);
  if (auto r = profiles_.insert(id_bytes, record); !r) return std::unexpected(StoreError(r.error()));
  remember(profile);
  return *profile;
}

// ---- RuvoStore: opening, flushing, watermarks ----

StoreResult<RuvoStore> RuvoStore::open_temporary(StoreOptions options) {
  auto db = kv::Db::open_temporary();
  if (!db) return std::unexpected(StoreError(db.error()));
  return from_db(std::move(*db), options);
}

StoreResult<RuvoStore> RuvoStore::from_db(kv::Db db, StoreOptions options) {
  RuvoStore store;
  // The derived trees may batch their writes; the others always write
  // through.
  auto open = [&](std::string_view name, kv::Tree& out, bool deferrable = false) -> StoreResult<void> {
    auto tree = db.open_tree(name, kv::TreeOptions{.deferrable = deferrable});
    if (!tree) return std::unexpected(StoreError(tree.error()));
    out = std::move(*tree);
    return {};
  };
  // A counter is seeded with 1 when absent; a present one is left as it is,
  // whatever its length (a broken one faults when an id is drawn).
  auto seed = [](const kv::Tree& meta, std::string_view key) -> StoreResult<void> {
    auto current = meta.get(key);
    if (!current) return std::unexpected(StoreError(current.error()));
    if (current->has_value()) return {};
    if (auto r = meta.insert(key, u64_be(1)); !r) return std::unexpected(StoreError(r.error()));
    return {};
  };
#define RUVO_IDB_STEP(expr) \
  if (auto r = (expr); !r) return std::unexpected(std::move(r.error()))
  RUVO_IDB_STEP(open("sym_by_text", store.symbols.by_text_));
  RUVO_IDB_STEP(open("sym_by_id", store.symbols.by_id_));
  RUVO_IDB_STEP(open("sym_meta", store.symbols.meta_));
  RUVO_IDB_STEP(seed(store.symbols.meta_, kNextSymId));
  RUVO_IDB_STEP(open("pred_by_name", store.registry.by_name_));
  RUVO_IDB_STEP(open("pred_profiles", store.registry.profiles_));
  RUVO_IDB_STEP(open("pred_meta", store.registry.meta_));
  RUVO_IDB_STEP(seed(store.registry.meta_, kNextPredId));
  RUVO_IDB_STEP(open("state", store.state_, true));
  RUVO_IDB_STEP(open("contrib", store.contrib_, true));
  RUVO_IDB_STEP(open("branch_watermark", store.branch_watermark_));
#undef RUVO_IDB_STEP
  store.db_ = std::move(db);
  store.index_trees_ = std::make_shared<IndexTreeCache>();
  if (options.caches) {
    store.caches_ = std::make_shared<StoreCaches>(options);
    store.symbols.caches_ = store.caches_;
    store.registry.caches_ = store.caches_;
  }
  return store;
}

StoreResult<void> RuvoStore::flush_all() const {
  if (auto r = committed(db_.commit_deferred()); !r) return r;
  for (const kv::Tree* tree : {&state_, &contrib_, &branch_watermark_}) {
    if (auto r = tree->flush(); !r) return std::unexpected(StoreError(r.error()));
  }
  if (auto r = db_.flush(); !r) return std::unexpected(StoreError(r.error()));
  return {};
}

void RuvoStore::begin_batched_writes() const { db_.begin_deferred(); }

StoreResult<void> RuvoStore::commit_batched_writes() const { return committed(db_.commit_deferred()); }

StoreResult<void> RuvoStore::end_batched_writes() const { return committed(db_.end_deferred()); }

StoreResult<void> RuvoStore::committed(kv::Result<void> r) const {
  if (r) return {};
  if (caches_) caches_->forget_derived();
  return std::unexpected(StoreError(std::move(r.error())));
}

StoreResult<std::optional<uint64_t>> RuvoStore::get_branch_watermark(std::string_view branch) const {
  auto stored = branch_watermark_.get(branch);
  if (!stored) return std::unexpected(StoreError(stored.error()));
  if (!stored->has_value()) return std::optional<uint64_t>();
  // A value of any other length reads as absent.
  return bincode::read_u64_be(**stored);
}

StoreResult<void> RuvoStore::set_branch_watermark(std::string_view branch, uint64_t event_id) const {
  if (auto r = branch_watermark_.insert(branch, u64_be(event_id)); !r) {
    return std::unexpected(StoreError(r.error()));
  }
  return {};
}

// ---- Atom states ----

StoreResult<AtomState> RuvoStore::load_state_uncached(std::string_view state_key) const {
  auto stored = state_.get(state_key);
  if (!stored) return std::unexpected(StoreError(stored.error()));
  if (!stored->has_value()) return AtomState{};
  auto s = decode_atom_state(**stored);
  if (!s) return std::unexpected(StoreError(s.error()));
  return *s;
}

StoreResult<AtomState> RuvoStore::load_state(std::string_view state_key) const {
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
      shard.states.put(state_key, h, *known);
      return *known;
    }
  }
  auto s = load_state_uncached(state_key);
  if (s) shard.states.put(state_key, h, *s);
  return s;
}

StoreResult<void> RuvoStore::write_state(std::string_view state_key, const AtomState& s) const {
  const std::string record = encode_atom_state(s);
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
  if (add) {
    shard.states.put(state_key, h, s);
  } else {
    shard.states.update_if_present(state_key, h, s);
  }
  if (well_formed_state_key(state_key)) {
    std::lock_guard<std::mutex> mlock(c.mirror_mu);
    auto it = c.mirrors.find(get_u64_be(state_key.data()));
    if (it != c.mirrors.end()) {
      StoreCaches::Mirror& m = it->second;
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
  }
  return {};
}

StoreResult<AtomState> RuvoStore::get_state(const AtomKey& atom) const {
  return get_state(atom.pred_id, atom.args);
}

StoreResult<AtomState> RuvoStore::get_state(uint64_t pred_id, std::span<const uint64_t> args) const {
  StateKeyBuf key(pred_id, args);
  return load_state(key.view());
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

StoreResult<AtomState> RuvoStore::upsert_atom(const AtomKey& atom, const Contribution& c) const {
  auto profile_r = registry.profile_ptr(atom.pred_id);
  if (!profile_r) return std::unexpected(profile_r.error());
  if (!*profile_r) return std::unexpected(StoreError(StoreError::UnknownPredicate{atom.pred_id}));
  const PredicateProfile& profile = **profile_r;
  if (atom.args.size() != profile.arity) {
    return std::unexpected(StoreError(StoreError::InvalidArity{profile.arity, atom.args.size()}));
  }

  StateKeyBuf key(atom.pred_id, atom.args);
  auto old = load_state(key.view());
  if (!old) return old;
  return fold_and_write(profile, atom.args, key.view(), *old, c);
}

StoreResult<AtomState> RuvoStore::upsert_atom_reading_old(uint64_t pred_id,
                                                          std::span<const uint64_t> args,
                                                          const Contribution& c,
                                                          AtomState& old) const {
  StateKeyBuf key(pred_id, args);
  auto loaded = load_state(key.view());
  if (!loaded) return loaded;
  old = *loaded;
  auto profile_r = registry.profile_ptr(pred_id);
  if (!profile_r) return std::unexpected(profile_r.error());
  if (!*profile_r) return std::unexpected(StoreError(StoreError::UnknownPredicate{pred_id}));
  const PredicateProfile& profile = **profile_r;
  if (args.size() != profile.arity) {
    return std::unexpected(StoreError(StoreError::InvalidArity{profile.arity, args.size()}));
  }
  // Nothing is written between the read and the fold, so this is the state
  // upsert_atom would read again.
  return fold_and_write(profile, args, key.view(), old, c);
}

void RuvoStore::set_cache_writes(bool on) const {
  if (caches_) caches_->cache_writes.store(on, std::memory_order_relaxed);
}

StoreResult<AtomState> RuvoStore::upsert_atom_known_old(const PredicateProfile& profile,
                                                        std::span<const uint64_t> args,
                                                        const Contribution& c,
                                                        const AtomState& old) const {
  if (args.size() != profile.arity) {
    return std::unexpected(StoreError(StoreError::InvalidArity{profile.arity, args.size()}));
  }
  StateKeyBuf key(profile.pred_id, args);
  return fold_and_write(profile, args, key.view(), old, c);
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

StoreResult<Rows> RuvoStore::scan_uncached(std::string_view prefix) const {
  Rows out;
  std::optional<StoreError> failure;
  auto scan = state_.scan_prefix(prefix, [&](std::string_view key, std::string_view value) {
    AtomKey atom = decode_state_key(key);
    auto s = decode_atom_state(value);
    if (!s) {
      failure.emplace(s.error());
      return false;
    }
    out.emplace_back(std::move(atom), *s);
    return true;
  });
  if (!scan) return std::unexpected(StoreError(scan.error()));
  if (failure) return std::unexpected(std::move(*failure));
  return out;
}

StoreResult<void> RuvoStore::scan_uncached_into(std::string_view prefix, ScanRows& out) const {
  out.clear();
  std::optional<StoreError> failure;
  auto scan = state_.scan_prefix(prefix, [&](std::string_view key, std::string_view value) {
    check_state_key(key);
    auto s = decode_atom_state(value);
    if (!s) {
      failure.emplace(s.error());
      return false;
    }
    append_flat_row(out, key, *s);
    return true;
  });
  if (!scan || failure) {
    out.clear();
    if (!scan) return std::unexpected(StoreError(scan.error()));
    return std::unexpected(std::move(*failure));
  }
  return {};
}

namespace {

// Reads a whole predicate into a fresh copy, in key order, checking keys and
// records exactly as a scan does.
StoreResult<MirrorRows> load_rows(const kv::Tree& state, uint64_t pred_id, size_t& bytes) {
  MirrorRows rows;
  bytes = 0;
  std::optional<StoreError> failure;
  auto scan = state.scan_prefix(u64_be(pred_id), [&](std::string_view key, std::string_view value) {
    check_state_key(key);
    auto s = decode_atom_state(value);
    if (!s) {
      failure.emplace(s.error());
      return false;
    }
    rows.emplace_hint(rows.end(), std::string(key), *s);
    bytes += mirror_row_cost(key);
    return true;
  });
  if (!scan) return std::unexpected(StoreError(scan.error()));
  if (failure) return std::unexpected(std::move(*failure));
  return rows;
}

}  // namespace

StoreResult<Rows> RuvoStore::scan_predicate(uint64_t pred_id) const {
  if (!caches_) return scan_uncached(u64_be(pred_id));
  StoreCaches& c = *caches_;
  uint64_t gen = 0;
  {
    std::lock_guard<std::mutex> lock(c.mirror_mu);
    StoreCaches::Mirror& m = c.mirrors[pred_id];
    if (m.loaded) {
      m.last_use = ++c.tick;
      return rows_of(m.rows.begin(), m.rows.end(), m.rows.size());
    }
    if (m.rejected) gen = UINT64_MAX;
    else gen = m.gen;
  }
  if (gen == UINT64_MAX) return scan_uncached(u64_be(pred_id));
  size_t bytes = 0;
  auto rows = load_rows(state_, pred_id, bytes);
  if (!rows) return std::unexpected(std::move(rows.error()));
  Rows out = rows_of(rows->begin(), rows->end(), rows->size());
  c.install(pred_id, gen, *rows, bytes);
  return out;
}

StoreResult<void> RuvoStore::scan_predicate_into(uint64_t pred_id, ScanRows& out) const {
  if (!caches_) return scan_uncached_into(u64_be(pred_id), out);
  StoreCaches& c = *caches_;
  uint64_t gen = 0;
  {
    std::lock_guard<std::mutex> lock(c.mirror_mu);
    StoreCaches::Mirror& m = c.mirrors[pred_id];
    if (m.loaded) {
      m.last_use = ++c.tick;
      flat_rows_of(m.rows.begin(), m.rows.end(), m.rows.size(), out);
      return {};
    }
    // A copy made now would be dropped by the caller's first write.
    if (m.rejected || !c.cache_writes.load(std::memory_order_relaxed)) gen = UINT64_MAX;
    else gen = m.gen;
  }
  if (gen == UINT64_MAX) return scan_uncached_into(u64_be(pred_id), out);
  size_t bytes = 0;
  auto rows = load_rows(state_, pred_id, bytes);
  if (!rows) {
    out.clear();
    return std::unexpected(std::move(rows.error()));
  }
  flat_rows_of(rows->begin(), rows->end(), rows->size(), out);
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
  bool rejected = false;
  {
    std::lock_guard<std::mutex> lock(c.mirror_mu);
    StoreCaches::Mirror& m = c.mirrors[pred_id];
    if (m.loaded) {
      m.last_use = ++c.tick;
      return matching(m.rows);
    }
    rejected = m.rejected;
    gen = m.gen;
  }
  if (rejected) return scan_uncached(prefix);
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
