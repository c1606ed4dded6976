// Rule firing, the constraint pass and fixpoint evaluation by components.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "ruvo_core/src/rule.h"
#include "ruvo_idb/src/store.h"
#include "ruvo_engine/src/join.h"

namespace ruvo {

enum class ApplicabilitySemantics : uint8_t {
  BodyTruthOnly = 0,                     // strength = b
  BodyTruthDiscountedByBodyFalsity = 1,  // strength = b * (1 - d)
};

struct Semantics {
  ApplicabilitySemantics rule_applicability =
      ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity;
  ApplicabilitySemantics constraint_applicability =
      ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity;
};

// Store(<StoreError>) or MaxIterationsExceeded.
struct EvalError {
  struct MaxIterationsExceeded {};
  std::variant<StoreError, MaxIterationsExceeded> v;
  EvalError(StoreError e) : v(std::move(e)) {}
  EvalError(MaxIterationsExceeded e) : v(e) {}
  std::string debug() const;
};

template <class T>
using EvalResult = std::expected<T, EvalError>;

struct EvalStats {
  uint64_t iterations = 0;
  uint64_t atoms_changed = 0;
};

// Fires one rule over the current state; returns the number of
// contributions that changed their atom's state.
EvalResult<uint64_t> fire_rule(const RuvoStore& store, const CompiledRule& rule,
                               ApplicabilitySemantics semantics);
// Applies every constraint once; returns the number of changed states.
EvalResult<uint64_t> run_constraint_pass(const RuvoStore& store,
                                         const std::vector<CompiledConstraint>& constraints,
                                         ApplicabilitySemantics semantics);

// The whole evaluation: constraint pass, then components in dependency
// order, recursive ones until a pass changes nothing (cap: max_depth, 0
// acting as 1, or 1000 with MaxIterationsExceeded).
EvalResult<EvalStats> evaluate_to_fixpoint(
    const RuvoStore& store, const std::vector<CompiledRule>& rules,
    const std::vector<CompiledConstraint>& constraints, const Semantics& semantics,
    const std::unordered_map<std::string, uint64_t>& pred_ids,
    std::optional<uint64_t> max_depth);

// Process-wide number of complete body matches found so far by rule firings
// and constraint passes (a relaxed counter for benchmarks and diagnostics;
// evaluation never reads it).
uint64_t body_matches_found();

// Evidence ids: rule id (8 bytes BE) + binding suffix; constraint id (8) +
// goal position (8) + binding suffix. The suffix lists every binding in
// ascending name byte order as name, 0x00, value (8 bytes BE).
std::string rule_evidence_id(uint64_t rule_id, const Bindings& bindings);
std::string constraint_evidence_id(uint64_t constraint_id, uint64_t position,
                                   const Bindings& bindings);

}  // namespace ruvo
