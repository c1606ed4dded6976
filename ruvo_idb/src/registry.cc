// PredicateRegistry: predicates by (name, arity). "pred_by_name" maps
// "<name>#<arity>" to the id, "pred_profiles" the id to its profile, and
// "pred_meta" holds the next id. A profile is fixed when the predicate is
// first registered; later registrations get the stored one back whatever
// modes they ask for. With caches on, profiles are shared, never copied.
#include "ruvo_idb/src/store.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/src/caches.h"
#include "ruvo_idb/src/store_internal.h"

namespace ruvo {

using bincode::u64_be;

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

}  // namespace ruvo
