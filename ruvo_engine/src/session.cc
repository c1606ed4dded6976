// EngineSession: opening the two stores, configuration, queries and the
// materialisation of a branch.
#include "ruvo_engine/src/session.h"

#include <algorithm>
#include <string>
#include <utility>

#include "ruvo_core/src/kv.h"
#include "ruvo_engine/src/fact_batch.h"
#include "ruvo_engine/src/fast_eval.h"

namespace ruvo {

struct EngineSession::WarmState {
  explicit WarmState(const RuvoStore& s) : store(s) {}
  RuvoStore store;  // shares the session's database, at a fixed address
  std::vector<CompiledRule> rules;
  Semantics semantics;
  // The branch of the last call, and the greatest event id among the facts
  // it applied: every fact of that branch up to it was applied.
  std::string branch;
  uint64_t facts_applied_up_to = 0;
  std::optional<FastFiring> fast;
};

EngineSession::EngineSession(EdbStore e, RuvoStore i) : edb(std::move(e)), idb(std::move(i)) {}
EngineSession::~EngineSession() = default;
EngineSession::EngineSession(EngineSession&&) noexcept = default;
EngineSession& EngineSession::operator=(EngineSession&&) noexcept = default;

std::string EngineError::debug() const {
  struct Render {
    std::string operator()(const StoreError& e) const { return "Idb(" + e.debug() + ")"; }
    std::string operator()(const EdbError& e) const { return "Edb(" + e.debug() + ")"; }
    std::string operator()(const CompileError& e) const { return "Compile(" + e.debug() + ")"; }
    std::string operator()(const EvalError& e) const { return "Eval(" + e.debug() + ")"; }
  };
  return std::visit(Render{}, v);
}

EngineResult<EngineSession> EngineSession::open(std::string edb_path, std::string idb_path) {
  auto edb_db = kv::Db::open(edb_path);
  if (!edb_db) return std::unexpected(EngineError(EdbError(std::move(edb_db.error()))));
  auto edb = EdbStore::from_db(std::move(*edb_db));
  if (!edb) return std::unexpected(EngineError(std::move(edb.error())));
  // On an IDB failure `edb` goes out of scope before the error reaches the
  // caller, so the event-log database is closed again and can be reopened.
  auto idb_db = kv::Db::open(idb_path);
  if (!idb_db) return std::unexpected(EngineError(StoreError(std::move(idb_db.error()))));
  auto idb = RuvoStore::from_db(std::move(*idb_db));
  if (!idb) return std::unexpected(EngineError(std::move(idb.error())));
  return EngineSession(std::move(*edb), std::move(*idb));
}

EngineResult<EngineSession> EngineSession::open_temporary() {
  auto edb = EdbStore::open_temporary();
  if (!edb) return std::unexpected(EngineError(std::move(edb.error())));
  auto idb = RuvoStore::open_temporary();
  if (!idb) return std::unexpected(EngineError(std::move(idb.error())));
  return EngineSession(std::move(*edb), std::move(*idb));
}

void EngineSession::configure_predicate(std::string name, AggregationMode aggregation,
                                        EvidenceMode evidence_mode) {
  pred_configs.insert_or_assign(std::move(name), PredConfig{{}, aggregation, evidence_mode});
}

EngineResult<uint64_t> EngineSession::intern(std::string_view text) const {
  auto id = idb.symbols.get_or_insert(text);
  if (!id) return std::unexpected(EngineError(std::move(id.error())));
  return *id;
}

EngineResult<uint64_t> EngineSession::edb_watermark() const {
  auto wm = edb.current_watermark();
  if (!wm) return std::unexpected(EngineError(std::move(wm.error())));
  return *wm;
}

EngineResult<std::optional<uint64_t>> EngineSession::idb_watermark(
    std::string_view branch) const {
  auto wm = idb.get_branch_watermark(branch);
  if (!wm) return std::unexpected(EngineError(std::move(wm.error())));
  return *wm;
}

EngineResult<AtomState> EngineSession::get_atom_state(std::string_view pred_name,
                                                      const std::vector<uint64_t>& args) const {
  // Only names this session has materialised are known; the persisted
  // registry is deliberately not consulted.
  auto it = pred_ids.find(std::string(pred_name));
  if (it == pred_ids.end()) return AtomState{0.0, 0.0};
  auto state = idb.get_state(AtomKey{it->second, args});
  if (!state) return std::unexpected(EngineError(std::move(state.error())));
  return *state;
}

EngineResult<std::vector<PredicateAnswer>> EngineSession::query_all(
    std::string_view pred_name) const {
  std::vector<PredicateAnswer> out;
  auto it = pred_ids.find(std::string(pred_name));
  if (it == pred_ids.end()) return out;
  auto rows = idb.scan_predicate(it->second);
  if (!rows) return std::unexpected(EngineError(std::move(rows.error())));
  out.reserve(rows->size());
  for (auto& [key, state] : *rows) {
    // A NaN field is not <= the threshold, so such a row stays.
    if (state.b <= kPresenceThreshold && state.d <= kPresenceThreshold) continue;
    out.push_back(PredicateAnswer{std::move(key.args), state.b, state.d,
                                  classify(state.b, state.d)});
  }
  return out;
}

EngineResult<EvalStats> EngineSession::materialize_with_options(
    std::string_view branch, std::optional<uint64_t> max_depth) {
  // The watermark is read before anything else, so the one recorded at the
  // end never claims events that appeared after this call began.
  auto wm = edb.current_watermark();
  if (!wm) return std::unexpected(EngineError(std::move(wm.error())));
  auto program = edb.get_program(branch);
  if (!program) return std::unexpected(EngineError(std::move(program.error())));

  // Every IDB write of the call reaches the database in one atomic step
  // before it returns: the whole call with its watermark on success, what
  // was written before the failure otherwise. The bytes stored are those
  // of writing each through; a crash during the call leaves the IDB as it
  // was before it.
  struct Batching {
    const RuvoStore& idb;
    bool on = true;
    ~Batching() {
      if (on) (void)idb.end_batched_writes();  // a failure was already reported, or is
    }
  } batching{idb};
  idb.begin_batched_writes();

  const ScopedEvalControl control(eval_control);
  // Taken out for the call: any return before the end drops it.
  std::unique_ptr<WarmState> warm = std::move(warm_);
  if (eval_control.reference) warm.reset();
  // Event ids only grow, and a retraction is never undone: a fact of the
  // same branch up to the last call's greatest fact id was applied by a
  // successful call. Folded in again by maximum it changes nothing, so it
  // is only registered, as before.
  const uint64_t applied_up_to = warm && warm->branch == branch ? warm->facts_applied_up_to : 0;
  uint64_t greatest_fact = 0;
  // Facts folded in memory and written together where that stores the
  // same bytes (the reference upserts each one). The warm copies learn of
  // every state a fact changes.
  FactBatch batch(idb);
  const FactBatch::OnChange on_change;
  const FactBatch::OnChange note_warm = [&](uint64_t pred_id, std::span<const uint64_t> args,
                                            const AtomState& s) { warm->fast->note_write(pred_id, args, s); };
  // Whatever ends the facts, the batch is written first: a failure leaves
  // every fact before it applied, as upserting them one by one does.
  auto flushed = [&](EngineError e) -> EngineResult<EvalStats> {
    (void)batch.flush(warm ? note_warm : on_change);
    return std::unexpected(std::move(e));
  };
  // A run of facts of one predicate registers it once: registering again
  // returns the stored profile and writes nothing.
  std::optional<PredicateProfile> last_profile;
  for (GroundFact& fact : program->facts) {
    // A long log can be stopped while its facts are applied, too.
    if (interrupt_requested()) return flushed(EngineError(EvalError(EvalError::Interrupted{})));
    if (!last_profile || last_profile->name != fact.pred_name || last_profile->arity != fact.pred_arity) {
      last_profile.reset();
      PredConfig config = config_for(pred_configs, fact.pred_name);
      auto profile = idb.registry.register_predicate(fact.pred_name, fact.pred_arity,
                                                     config.aggregation, config.evidence_mode,
                                                     std::move(config.indexes));
      if (!profile) return flushed(EngineError(std::move(profile.error())));
      // Recorded before the upsert, so a refused fact still leaves its
      // name queryable.
      pred_ids.insert_or_assign(fact.pred_name, profile->pred_id);
      last_profile = std::move(*profile);
    }
    const PredicateProfile& profile = *last_profile;
    greatest_fact = std::max(greatest_fact, fact.event_id);
    if (fact.event_id <= applied_up_to && profile.aggregation == AggregationMode::Maximum) continue;
    if (!eval_control.reference) {
      auto taken = batch.add(profile, fact.args, fact.b, fact.d);
      if (!taken) return flushed(EngineError(std::move(taken.error())));
      if (*taken) continue;
      if (auto r = batch.flush(warm ? note_warm : on_change); !r)
        return std::unexpected(EngineError(std::move(r.error())));
    }
    Contribution c{fact.b, fact.d, "edb_" + std::to_string(fact.event_id)};
    const AtomKey atom{profile.pred_id, std::move(fact.args)};
    AtomState old;
    auto state = idb.upsert_atom(atom, c, &old);
    if (!state) return std::unexpected(EngineError(std::move(state.error())));
    if (warm && !AtomState::approx_eq(old, *state)) warm->fast->note_write(atom.pred_id, atom.args, *state);
  }
  if (auto r = batch.flush(warm ? note_warm : on_change); !r)
    return std::unexpected(EngineError(std::move(r.error())));

  auto compiled_rules = compile_rules(idb, program->rules, pred_configs);
  if (!compiled_rules) return std::unexpected(EngineError(std::move(compiled_rules.error())));
  for (const auto& [name, id] : compiled_rules->second) pred_ids.insert_or_assign(name, id);
  auto compiled_constraints = compile_constraints(idb, program->constraints, pred_configs);
  if (!compiled_constraints)
    return std::unexpected(EngineError(std::move(compiled_constraints.error())));
  for (const auto& [name, id] : compiled_constraints->second)
    pred_ids.insert_or_assign(name, id);

  const Semantics semantics{rule_applicability, constraint_applicability};
  // Warm only for the knobs the fast firing was made for. The names
  // evaluation looks up (those of the rules and constraints) map to the
  // same ids as before: registration gives one id per name and arity, and
  // the compiled forms hold the ids. The configuration plays no part: it
  // fixes a predicate's profile once, when the predicate is first
  // registered, and the firing reads profiles as it meets them. A rule that
  // is new, or changed, or no longer there loses only its own firing
  // point; constraints are checked in full on every call.
  if (warm && !(warm->semantics.rule_applicability == semantics.rule_applicability &&
                warm->semantics.constraint_applicability == semantics.constraint_applicability))
    warm.reset();
  if (warm) {
    warm->fast->replace_rules(warm->rules, compiled_rules->first);
    warm->rules = std::move(compiled_rules->first);
  } else if (!eval_control.reference) {
    warm = std::make_unique<WarmState>(idb);
    warm->rules = std::move(compiled_rules->first);
    warm->semantics = semantics;
    warm->fast.emplace(warm->store, warm->rules, semantics.rule_applicability);
  }
  auto stats = evaluate_to_fixpoint(idb, warm ? warm->rules : compiled_rules->first,
                                    compiled_constraints->first, semantics, pred_ids, max_depth,
                                    warm ? &*warm->fast : nullptr);
  if (!stats) return std::unexpected(EngineError(std::move(stats.error())));

  // The watermark joins the batch: it reaches the database together with
  // everything it claims, or not at all.
  auto set = idb.set_branch_watermark(branch, *wm);
  if (!set) return std::unexpected(EngineError(std::move(set.error())));
  batching.on = false;
  if (auto r = idb.end_batched_writes(); !r) return std::unexpected(EngineError(std::move(r.error())));
  if (warm) {
    warm->branch = std::string(branch);
    warm->facts_applied_up_to = greatest_fact;
    const uint64_t budget =
        warm_budget ? *warm_budget
                    : std::max(kWarmBudgetFloor, kWarmBudgetFactor * warm->fast->stored_bytes());
    if (!warm->fast->shrink_to(budget)) warm.reset();
  }
  warm_ = std::move(warm);
  return *stats;
}

size_t EngineSession::warm_bytes() const { return warm_ ? warm_->fast->bytes() : 0; }

EngineResult<void> EngineSession::flush_all() const {
  auto e = edb.flush_all();
  if (!e) return std::unexpected(EngineError(std::move(e.error())));
  auto i = idb.flush_all();
  if (!i) return std::unexpected(EngineError(std::move(i.error())));
  return {};
}

}  // namespace ruvo
