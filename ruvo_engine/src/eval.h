// Rule firing, the constraint pass and fixpoint evaluation by components.
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
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

// Store(<StoreError>) or MaxIterationsExceeded; Interrupted when the
// caller's interrupt check asked to stop (never shown to users: the caller
// reports its own reason, such as a pending KeyboardInterrupt).
struct EvalError {
  struct MaxIterationsExceeded {};
  struct Interrupted {};
  std::variant<StoreError, MaxIterationsExceeded, Interrupted> v;
  EvalError(StoreError e) : v(std::move(e)) {}
  EvalError(MaxIterationsExceeded e) : v(e) {}
  EvalError(Interrupted e) : v(e) {}
  bool interrupted() const { return std::holds_alternative<Interrupted>(v); }
  std::string debug() const;
};

template <class T>
using EvalResult = std::expected<T, EvalError>;

// How an evaluation runs; no result depends on it.
struct EvalControl {
  // The straightforward evaluation: every pass re-derives every match. The
  // default evaluation gives bit-identical results faster; this one is the
  // reference it is checked against.
  bool reference = false;
  // Called from the evaluating thread every few hundred steps of work (a
  // step is a row tried in a join or a contribution written). Once it
  // returns true, the evaluation stops before its next write and returns
  // Interrupted; everything written before stays. Empty: never called.
  std::function<bool()> interrupt_check;
};

// Makes `control` the evaluating thread's control for this object's
// lifetime (the previous one comes back afterwards).
class ScopedEvalControl {
 public:
  explicit ScopedEvalControl(const EvalControl& control);
  ~ScopedEvalControl();
  ScopedEvalControl(const ScopedEvalControl&) = delete;
  ScopedEvalControl& operator=(const ScopedEvalControl&) = delete;

 private:
  const EvalControl* previous_;
  bool previous_stop_;
};
// The control in force on this thread (a default one when none is set).
const EvalControl& current_eval_control();
// Counts one step of work and, every few hundred steps, asks the interrupt
// check. Returns true once a stop was requested (and from then on).
bool interrupt_requested();

struct EvalStats {
  uint64_t iterations = 0;
  uint64_t atoms_changed = 0;
};

// Told of every atom state a firing writes, with the state now stored.
using WriteObserver =
    std::function<void(uint64_t pred_id, std::span<const uint64_t> args, const AtomState& stored)>;

// Fires one rule over the current state; returns the number of
// contributions that changed their atom's state. This is the reference
// firing: every match is re-derived and re-applied.
EvalResult<uint64_t> fire_rule(const RuvoStore& store, const CompiledRule& rule,
                               ApplicabilitySemantics semantics,
                               const WriteObserver* observer = nullptr);
// Applies every constraint once; returns the number of changed states.
// `observer`, when given, is told of every state it changes.
EvalResult<uint64_t> run_constraint_pass(const RuvoStore& store,
                                         const std::vector<CompiledConstraint>& constraints,
                                         ApplicabilitySemantics semantics,
                                         const WriteObserver* observer = nullptr);

class FastFiring;

// The whole evaluation: constraint pass, then components in dependency
// order, recursive ones until a pass changes nothing (cap: max_depth, 0
// acting as 1, or 1000 with MaxIterationsExceeded).
// `warm`: a fast firing of these very rules under these knobs, kept from
// earlier calls and told of every state written since it was made; it is
// used, and told of this call's writes, instead of a fresh one. Ignored
// when the control asks for the reference evaluation.
EvalResult<EvalStats> evaluate_to_fixpoint(
    const RuvoStore& store, const std::vector<CompiledRule>& rules,
    const std::vector<CompiledConstraint>& constraints, const Semantics& semantics,
    const std::unordered_map<std::string, uint64_t>& pred_ids,
    std::optional<uint64_t> max_depth, FastFiring* warm = nullptr);

// Process-wide number of complete body matches found so far by rule firings
// and constraint passes (a relaxed counter for benchmarks and diagnostics;
// evaluation never reads it).
uint64_t body_matches_found();
void count_body_matches(uint64_t n);

// x * y, and x's NaN when both are NaN. A product keeps one operand's NaN,
// but which one follows the operand order the compiler happens to emit, and
// it may swap a product's operands at will: every product of two weights
// that both evaluations compute goes through here, so that they store the
// same bits. (x + x is x, quieted, when x is NaN.)
inline double product_keeping_left_nan(double x, double y) {
  return std::isnan(x) ? x + x : x * y;
}

// A partial match's evidence (b, d) joined with a body row's state.
struct JoinedEvidence {
  double b;
  double d;
};
inline JoinedEvidence join_evidence(double b, double d, double row_b, double row_d) {
  return {product_keeping_left_nan(b, row_b),
          1.0 - product_keeping_left_nan(1.0 - d, 1.0 - row_d)};
}

// Strength of a body match with evidence (b, d) under a knob, clamped to
// [0, 1]. NaN passes through both comparisons untouched and is carried
// into the contribution.
inline double match_strength(double b, double d, ApplicabilitySemantics semantics) {
  double s = semantics == ApplicabilitySemantics::BodyTruthOnly
                 ? b
                 : product_keeping_left_nan(b, 1.0 - d);
  if (s < 0.0) s = 0.0;
  if (s > 1.0) s = 1.0;
  return s;
}
// One entry of an evidence id's binding suffix: name, 0x00, value (8 bytes
// big-endian). Entries go in ascending name byte order.
void append_binding(std::string& out, std::string_view name, uint64_t value);

// Evidence ids: rule id (8 bytes BE) + binding suffix; constraint id (8) +
// goal position (8) + binding suffix. The suffix lists every binding in
// ascending name byte order as name, 0x00, value (8 bytes BE).
std::string rule_evidence_id(uint64_t rule_id, const Bindings& bindings);
std::string constraint_evidence_id(uint64_t constraint_id, uint64_t position,
                                   const Bindings& bindings);

}  // namespace ruvo
