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
