// EngineSession: owns both databases, the predicate configuration, the
// name-to-id map and the two applicability knobs.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "ruvo_core/src/types.h"
#include "ruvo_edb/src/store.h"
#include "ruvo_engine/src/compiler.h"
#include "ruvo_engine/src/eval.h"
#include "ruvo_idb/src/store.h"

namespace ruvo {

// Idb(...), Edb(...), Compile(...), Eval(...).
struct EngineError {
  std::variant<StoreError, EdbError, CompileError, EvalError> v;
  EngineError(StoreError e) : v(std::move(e)) {}
  EngineError(EdbError e) : v(std::move(e)) {}
  EngineError(CompileError e) : v(std::move(e)) {}
  EngineError(EvalError e) : v(std::move(e)) {}
  std::string debug() const;
};

template <class T>
using EngineResult = std::expected<T, EngineError>;

struct PredicateAnswer {
  std::vector<uint64_t> args;
  double b = 0.0;
  double d = 0.0;
  BelnapStatus status = BelnapStatus::Neither;
};

class EngineSession {
 public:
  // Opens the EDB at edb_path, then the IDB at idb_path; an IDB failure
  // releases the EDB again.
  static EngineResult<EngineSession> open(std::string edb_path, std::string idb_path);
  static EngineResult<EngineSession> open_temporary();

  void configure_predicate(std::string name, AggregationMode aggregation,
                           EvidenceMode evidence_mode);
  EngineResult<uint64_t> intern(std::string_view text) const;
  EngineResult<uint64_t> edb_watermark() const;
  EngineResult<std::optional<uint64_t>> idb_watermark(std::string_view branch) const;
  // (0, 0) without touching the store when the name is not in pred_ids.
  EngineResult<AtomState> get_atom_state(std::string_view pred_name,
                                         const std::vector<uint64_t>& args) const;
  // Rows with b or d above 1e-12, ascending by arguments.
  EngineResult<std::vector<PredicateAnswer>> query_all(std::string_view pred_name) const;
  // Returns (iterations, atoms_changed).
  EngineResult<EvalStats> materialize_with_options(std::string_view branch,
                                                   std::optional<uint64_t> max_depth);
  // EDB first; an EDB failure leaves the IDB unflushed.
  EngineResult<void> flush_all() const;

  ~EngineSession();
  EngineSession(EngineSession&&) noexcept;
  EngineSession& operator=(EngineSession&&) noexcept;

  // How materialisation evaluates (reference switch, interrupt check); no
  // result depends on it.
  EvalControl eval_control;

  // The most heap memory, in bytes, the warm state may keep between calls;
  // unset: kWarmBudgetFactor times the stored size (keys and values) of the
  // states its copies hold, and at least kWarmBudgetFloor. After a
  // successful call over it, the warm state frees the scratch of its last
  // firing, then the changes no rule will ask about, then the copies a
  // firing used least recently, until it is met; a dropped copy is read
  // from the store again when next needed, and the rules over it fire on
  // it whole. When it cannot be met, the next call starts cold. No result
  // depends on it.
  std::optional<uint64_t> warm_budget;
  // Per row a copy holds its arguments, its state and change number, two
  // to four hash-table slots and some bytes per index on bound arguments,
  // in arrays that grow by doubling and may stand half empty: for a
  // predicate of two arguments that is 2.5 times its stored size when read
  // from the store, and up to 4 times when its rows were written one by
  // one. Four times keeps such copies whole as they grow; what goes beyond
  // is the scratch of a whole firing, a long log of changes, or many
  // indexes. Below the floor, memory is not worth reading a copy again.
  static constexpr uint64_t kWarmBudgetFactor = 4;
  static constexpr uint64_t kWarmBudgetFloor = uint64_t{64} << 20;
  // The heap bytes the warm state holds now, approximately: 0 when the
  // next call starts cold.
  size_t warm_bytes() const;

  // Declared in reverse so that destruction releases the IDB, then the EDB,
  // then the configuration, then the name map.
  ApplicabilitySemantics constraint_applicability =
      ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity;
  ApplicabilitySemantics rule_applicability =
      ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity;
  std::unordered_map<std::string, uint64_t> pred_ids;
  PredConfigs pred_configs;
  EdbStore edb;
  RuvoStore idb;

 private:
  EngineSession(EdbStore e, RuvoStore i);

  // What a successful materialisation leaves for the next one: the compiled
  // program and the fast firing with its copies of the predicates and the
  // point up to which each rule has seen them. A later call with the same
  // program and knobs goes on from there; any other call, and any failure,
  // drops it. Declared last: released first.
  struct WarmState;
  std::unique_ptr<WarmState> warm_;
};

}  // namespace ruvo
