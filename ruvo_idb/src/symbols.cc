// SymbolStore: texts interned into ids. "sym_by_text" maps a text to its
// id, "sym_by_id" the id back to the text, and "sym_meta" holds the next id.
// An id is claimed by compare-and-swap from absent, so concurrent callers
// agree on one id per text (a losing caller's drawn id is never used).
// With caches on, both directions are remembered once the database is
// known to hold them; texts pinned for the store's life are read without a
// lock.
#include "ruvo_idb/src/store.h"

#include <mutex>
#include <optional>
#include <string>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/src/caches.h"
#include "ruvo_idb/src/store_internal.h"

namespace ruvo {

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
    if (c == nullptr || uncommitted()) return;
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
  if (c != nullptr && !uncommitted()) {
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

}  // namespace ruvo
