// FactBatch: the log's facts folded into their atoms' states in memory and
// written together, for predicates whose states fold without per-source
// records.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "ruvo_idb/src/store.h"

namespace ruvo {

// Facts are added in log order. One that add() takes is folded into its
// atom's state in memory, exactly as upsert_atom would fold it after every
// fact before it: the first fact of an atom reads the stored state, later
// ones fold into what the earlier ones left, and a fold that changes the
// state by less than 1e-12 in both fields leaves it as it was. flush()
// then writes each changed atom's final state, which stores the bytes the
// upserts one by one would have stored, and reports the changes in the
// order they happened.
//
// Nothing else may write the states of atoms in the batch until it is
// flushed: a fact that add() declines goes the upsert way after a flush.
class FactBatch {
 public:
  // Called by flush() for every change of a state, in the order of the
  // facts that made them: what each upsert that changed it returned.
  using OnChange = std::function<void(uint64_t pred_id, std::span<const uint64_t> args, const AtomState&)>;

  // `store` must outlive the batch.
  explicit FactBatch(const RuvoStore& store) : store_(store) {}

  // Folds the fact in and returns true; false, taking nothing, when the
  // profile keeps per-source records, or has index trees (an index entry
  // can fault, which must happen at its own fact, before later facts are
  // applied), or has another arity than `args` (upsert_atom then reports
  // it), or when the batch is full. A failed read of the
  // stored state is returned, with nothing taken.
  StoreResult<bool> add(const PredicateProfile& profile, std::span<const uint64_t> args, double b, double d);

  // Writes the changed states, reports the changes to `on_change` (may be
  // empty) and empties the batch, also on failure.
  StoreResult<void> flush(const OnChange& on_change);

 private:
  struct Atom {
    uint32_t profile;  // into profiles_
    uint64_t args;     // offset into args_
    AtomState state;   // as the facts so far leave it
    bool changed = false;
  };
  struct Change {
    uint32_t atom;
    AtomState state;
  };
  std::span<const uint64_t> args_of(const Atom& a) const;
  // The atom's index in atoms_, or -1; `slot` receives where it is or
  // would go in table_.
  int64_t find(uint32_t profile, std::span<const uint64_t> args, uint64_t h, size_t& slot) const;
  void grow_table();

  const RuvoStore& store_;
  std::vector<PredicateProfile> profiles_;
  std::vector<Atom> atoms_;
  std::vector<uint64_t> args_;
  std::vector<uint64_t> hashes_;  // per atom
  std::vector<uint32_t> table_;   // open addressing: atom index + 1, 0 = empty
  std::vector<Change> changes_;
};

}  // namespace ruvo
