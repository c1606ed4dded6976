// RuvoStore as a whole: opening the database and its fixed trees, the id
// counters, the error rendering, the key encodings, branch watermarks,
// flushing and batched writes. The parts live beside it: symbols.cc
// (SymbolStore), registry.cc (PredicateRegistry), atoms.cc (atom states,
// contributions, scans, index trees) and caches.h (the in-memory caches).
// The database is the durable truth: every write goes to it first, in the
// order the operations define. The optional caches only spare reads; each
// one is filled from the database or from a write that has just succeeded,
// so a cached answer is always the answer the database would give.
#include "ruvo_idb/src/store.h"

#include <limits>
#include <memory>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/src/caches.h"
#include "ruvo_idb/src/store_internal.h"

namespace ruvo {

using bincode::get_u64_be;
using bincode::u64_be;

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

// ---- Counters ----

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
  std::string key(8 + 8 * args.size(), '\0');
  encode_state_key_into(pred_id, args, key.data());
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
  // Every tree defers while writes are batched: a batch holds all of a
  // call's writes, symbols and registrations included.
  auto open = [&](std::string_view name, kv::Tree& out) -> StoreResult<void> {
    auto tree = db.open_tree(name, kv::TreeOptions{.deferrable = true});
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
  RUVO_IDB_STEP(open("state", store.state_));
  RUVO_IDB_STEP(open("contrib", store.contrib_));
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
  if (caches_) {
    caches_->forget_derived();
    caches_->forget_profiles();
  }
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

}  // namespace ruvo
