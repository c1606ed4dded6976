// The fast way of firing rules, with results identical to fire_rule's.
//
// It differs from the straightforward firing in how it finds matches, never
// in which contributions reach the store or in what order:
// - bodies are joined depth first over in-memory copies of the predicates
//   (Relation) through hash indexes on the bound arguments; depth-first
//   order over rows in key order is exactly the order goal-at-a-time
//   evaluation gives;
// - a rule whose head folds by maximum re-applies only the matches that use
//   an atom changed since the rule's previous firing. Every other match
//   would re-apply a contribution the head state already covers, which
//   changes nothing and counts nothing while that state is finite. The
//   remaining matches are applied in the order the full firing would apply
//   them.
// Whatever cannot be shown to give the same result goes the straightforward
// way: rules whose arithmetic may intern new symbols (interning order
// decides symbol ids), firings after a predicate could not be read whole,
// rules negating a predicate that changed since their previous firing,
// heads holding or receiving non-finite values.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ruvo_engine/src/eval.h"

namespace ruvo {

// How a firing of FastFiring went: a delta pass, or a full one and why.
// Counted process-wide for tests and diagnostics; evaluation never reads
// the counts.
enum class FiringWay : uint8_t {
  Delta,                 // only matches using a changed atom
  First,                 // the rule's first firing in the call
  NotMaximum,            // the head folds by noisy-or or capped sum
  InterningArithmetic,   // straightforward firing: arithmetic may intern
  UnreadablePredicate,   // straightforward firing: a predicate was not read whole
  OtherArityHead,        // the head is mentioned with another arity than it has
  NonFiniteHead,         // the head holds an infinity or a NaN
  NegatedChanged,        // a negated goal's predicate changed since
  NonFiniteContribution, // a delta match contributed an infinity or a NaN
  kCount,
};
const char* firing_way_name(FiringWay way);
// Equal rules, weights compared bit for bit.
bool same_compiled_rule(const CompiledRule& a, const CompiledRule& b);
uint64_t firings_counted(FiringWay way);

class FastFiring {
 public:
  // `store` and `rules` must outlive this object. All atom states written
  // while it lives must be written through fire() (or reported to
  // note_write), so that its copies stay equal to the store.
  FastFiring(const RuvoStore& store, const std::vector<CompiledRule>& rules,
             ApplicabilitySemantics semantics);
  ~FastFiring();
  FastFiring(const FastFiring&) = delete;
  FastFiring& operator=(const FastFiring&) = delete;

  // fire_rule(store, rules[index], semantics), faster. Some of the states
  // it changes may stay in its copies until flush().
  EvalResult<uint64_t> fire(size_t index);
  // Hands every state fire() changed but has not written yet to the store.
  // Must be called before anything but this object reads the store's atom
  // states; on a failure what is left is written by the next flush().
  EvalResult<void> flush();
  // The end of an evaluation: frees what the firings used for their
  // matches (the next firing builds it anew), so that the commit that
  // follows has that memory, then flush().
  EvalResult<void> finish();
  // Reports a state the store now holds (a write made elsewhere).
  void note_write(uint64_t pred_id, std::span<const uint64_t> args, const AtomState& stored);
  // The program changes from `before` (the rules this object fires now) to
  // `after`: a rule of `after` equal to one of `before` (same_compiled_rule)
  // keeps the point it last fired at; any other rule's next firing is a
  // full one. The copies of the predicates stay. REQUIRES: before fire() is
  // called again, the vector this object was made with holds `after`'s
  // rules, in `after`'s order.
  void replace_rules(const std::vector<CompiledRule>& before, const std::vector<CompiledRule>& after);

  // The heap bytes it holds, approximately: its copies of the predicates
  // (arrays by capacity, hash tables, indexes), the scratch the last firing
  // left allocated, its rule plans and cached profiles. No row is visited.
  size_t bytes() const;
  // The bytes the states its copies hold take in the store (keys and
  // values).
  size_t stored_bytes() const;
  // Frees the scratch and the changes no rule will ask about again, then
  // drops the copies a firing used least recently until bytes() <= budget.
  // A dropped copy is read from the store again when next used; every rule that reads or writes it fires
  // whole at its next firing, since the change numbers a delta firing
  // relies on went with it. Results stay those of a firing that never
  // dropped anything. Returns false when even with every copy dropped it
  // holds more than `budget`. REQUIRES: no firing is under way.
  bool shrink_to(size_t budget);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ruvo
