#include "ruvo_engine/src/compiler.h"

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/fault.h"

namespace ruvo {

std::string CompileError::debug() const {
  if (const auto* store = std::get_if<StoreError>(&v)) return "Store(" + store->debug() + ")";
  return "UnknownPredicate(" + bincode::debug_str(std::get<UnknownPredicate>(v).name) + ")";
}

PredConfig config_for(const PredConfigs& configs, const std::string& name) {
  auto it = configs.find(name);
  if (it == configs.end()) return PredConfig{};
  return it->second;
}

CompileResult<void> ensure_predicate(const RuvoStore& idb, const std::string& name,
                                     uint64_t arity, const PredConfigs& configs,
                                     NameMap& names) {
  // The name alone identifies a predicate within one compilation: later
  // mentions with another arity reuse the id of the first.
  if (names.contains(name)) return {};
  PredConfig config = config_for(configs, name);
  auto profile = idb.registry.register_predicate(name, arity, config.aggregation,
                                                 config.evidence_mode,
                                                 std::move(config.indexes));
  if (!profile) return std::unexpected(CompileError(std::move(profile.error())));
  names.emplace(name, profile->pred_id);
  return {};
}

CompileResult<CompiledGoal> compile_goal(const Goal& goal, const NameMap& names) {
  if (const auto* atom = std::get_if<AtomGoal>(&goal)) {
    auto it = names.find(atom->pred_name);
    if (it == names.end())
      return std::unexpected(CompileError(CompileError::UnknownPredicate{atom->pred_name}));
    CompileResult<CompiledGoal> out(std::in_place, std::in_place_type<CompiledAtom>);
    auto& compiled = std::get<CompiledAtom>(*out);
    compiled.args = atom->args;
    compiled.pred_id = it->second;
    compiled.pred_arity = atom->pred_arity;
    compiled.negated = atom->negated;
    return out;
  }
  return CompileResult<CompiledGoal>(std::in_place, std::get<BuiltinGoal>(goal));
}

namespace {

// Registers every atom predicate of a body, negated goals included.
CompileResult<void> ensure_body(const RuvoStore& idb, const std::vector<Goal>& body,
                                const PredConfigs& configs, NameMap& names) {
  for (const Goal& goal : body) {
    const auto* atom = std::get_if<AtomGoal>(&goal);
    if (atom == nullptr) continue;
    auto r = ensure_predicate(idb, atom->pred_name, atom->pred_arity, configs, names);
    if (!r) return r;
  }
  return {};
}

CompileResult<std::vector<CompiledGoal>> compile_body(const std::vector<Goal>& body,
                                                      const NameMap& names) {
  std::vector<CompiledGoal> out;
  out.reserve(body.size());
  for (const Goal& goal : body) {
    auto g = compile_goal(goal, names);
    if (!g) return std::unexpected(std::move(g.error()));
    out.push_back(std::move(*g));
  }
  return out;
}

}  // namespace

CompileResult<std::pair<std::vector<CompiledRule>, NameMap>> compile_rules(
    const RuvoStore& idb, const std::vector<Rule>& rules, const PredConfigs& configs) {
  NameMap names;
  std::vector<CompiledRule> out;
  out.reserve(rules.size());

  for (const Rule& rule : rules) {
    auto r = ensure_predicate(idb, rule.head_pred_name, rule.head_pred_arity, configs, names);
    if (!r) return std::unexpected(std::move(r.error()));
    r = ensure_body(idb, rule.body, configs, names);
    if (!r) return std::unexpected(std::move(r.error()));
  }

  for (const Rule& rule : rules) {
    auto head = names.find(rule.head_pred_name);
    if (head == names.end()) fault("no entry found for key");
    auto body = compile_body(rule.body, names);
    if (!body) return std::unexpected(std::move(body.error()));
    out.push_back(CompiledRule{rule.head_args, std::move(*body), rule.id, head->second,
                               rule.head_pred_arity, rule.b, rule.d});
  }
  return std::pair{std::move(out), std::move(names)};
}

CompileResult<std::pair<std::vector<CompiledConstraint>, NameMap>> compile_constraints(
    const RuvoStore& idb, const std::vector<Constraint>& constraints,
    const PredConfigs& configs) {
  NameMap names;
  std::vector<CompiledConstraint> out;
  out.reserve(constraints.size());

  for (const Constraint& c : constraints) {
    auto r = ensure_body(idb, c.body, configs, names);
    if (!r) return std::unexpected(std::move(r.error()));
  }

  for (const Constraint& c : constraints) {
    auto body = compile_body(c.body, names);
    if (!body) return std::unexpected(std::move(body.error()));
    out.push_back(CompiledConstraint{std::move(*body), c.id, c.b, c.d});
  }
  return std::pair{std::move(out), std::move(names)};
}

}  // namespace ruvo
