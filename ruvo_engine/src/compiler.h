// Compiles rules and constraints into predicate-id form, registering every
// predicate they mention.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "ruvo_core/src/rule.h"
#include "ruvo_core/src/types.h"
#include "ruvo_idb/src/store.h"

namespace ruvo {

// Configuration of one predicate name. A name without one is treated as
// (no indexes, Maximum, None).
struct PredConfig {
  std::vector<IndexSpec> indexes;
  AggregationMode aggregation = AggregationMode::Maximum;
  EvidenceMode evidence_mode = EvidenceMode::None;
};

using PredConfigs = std::unordered_map<std::string, PredConfig>;
using NameMap = std::unordered_map<std::string, uint64_t>;

// Store(<StoreError>) or UnknownPredicate("name").
struct CompileError {
  struct UnknownPredicate { std::string name; };
  std::variant<StoreError, UnknownPredicate> v;
  CompileError(StoreError e) : v(std::move(e)) {}
  CompileError(UnknownPredicate e) : v(std::move(e)) {}
  std::string debug() const;
};

template <class T>
using CompileResult = std::expected<T, CompileError>;

// The configuration for `name`, or the default.
PredConfig config_for(const PredConfigs& configs, const std::string& name);

// Registers `name` under `arity` unless the name map already holds it (the
// first arity met in a compilation stands for all mentions).
CompileResult<void> ensure_predicate(const RuvoStore& idb, const std::string& name,
                                     uint64_t arity, const PredConfigs& configs,
                                     NameMap& names);
CompileResult<CompiledGoal> compile_goal(const Goal& goal, const NameMap& names);

CompileResult<std::pair<std::vector<CompiledRule>, NameMap>> compile_rules(
    const RuvoStore& idb, const std::vector<Rule>& rules, const PredConfigs& configs);
CompileResult<std::pair<std::vector<CompiledConstraint>, NameMap>> compile_constraints(
    const RuvoStore& idb, const std::vector<Constraint>& constraints,
    const PredConfigs& configs);

}  // namespace ruvo
