// Rule firing, the constraint pass and fixpoint evaluation by components.
//
// fire_rule is the reference: every pass fires every rule of a component
// over the whole derived state and re-upserts every contribution. For
// predicates that fold repeated evidence (noisy-or and capped sum without
// per-source bookkeeping) both the states and the change counts depend on
// this re-firing. FastFiring (fast_eval.h) gives the same results faster and
// is used unless the evaluation control asks for the reference.
#include "ruvo_engine/src/eval.h"

#include <algorithm>
#include <atomic>
#include <string_view>

#include "ruvo_core/src/scc.h"
#include "ruvo_engine/src/fast_eval.h"

namespace ruvo {

std::string EvalError::debug() const {
  if (const auto* e = std::get_if<StoreError>(&v)) return "Store(" + e->debug() + ")";
  if (interrupted()) return "Interrupted";
  return "MaxIterationsExceeded";
}

namespace {
const EvalControl kDefaultControl{};
thread_local const EvalControl* t_control = &kDefaultControl;
thread_local bool t_stop = false;
thread_local uint32_t t_steps = 0;
constexpr uint32_t kStepsPerCheck = 256;
}  // namespace

ScopedEvalControl::ScopedEvalControl(const EvalControl& control)
    : previous_(t_control), previous_stop_(t_stop) {
  t_control = &control;
  t_stop = false;
}

ScopedEvalControl::~ScopedEvalControl() {
  t_control = previous_;
  t_stop = previous_stop_;
}

const EvalControl& current_eval_control() { return *t_control; }

bool interrupt_requested() {
  if (t_stop) return true;
  if (++t_steps < kStepsPerCheck) return false;
  t_steps = 0;
  if (t_control->interrupt_check && t_control->interrupt_check()) t_stop = true;
  return t_stop;
}

namespace {

std::atomic<uint64_t> g_body_matches{0};


// Every binding as name, 0x00, value (8 bytes big-endian), ascending by name
// compared as unsigned bytes (a prefix sorts first).
void append_binding_suffix(std::string& out, const Bindings& bindings) {
  // Reused between calls: one evidence id per match is built in the hot loop.
  thread_local std::vector<std::pair<std::string_view, uint64_t>> items;
  items.assign(bindings.items().begin(), bindings.items().end());
  // char_traits<char> compares as unsigned char, which is the byte order.
  std::sort(items.begin(), items.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  size_t extra = 0;
  for (const auto& [name, value] : items) extra += name.size() + 1 + 8;
  out.reserve(out.size() + extra);
  for (const auto& [name, value] : items) append_binding(out, name, value);
}

double strength_of(const BodyMatch& m, ApplicabilitySemantics semantics) {
  return match_strength(m.b, m.d, semantics);
}

// Runs a body from the seed match. Stops at the first empty result: every
// goal maps an empty list to an empty list.
std::vector<BodyMatch> match_body(const RuvoStore& store,
                                  const std::vector<CompiledGoal>& body) {
  std::vector<BodyMatch> matches(1);
  for (const CompiledGoal& goal : body) {
    matches = eval_goal(store, goal, matches);
    if (matches.empty()) break;
  }
  g_body_matches.fetch_add(matches.size(), std::memory_order_relaxed);
  return matches;
}

// One contribution: state read just before the upsert, so that several
// matches reaching one atom each see the state the previous one left.
EvalResult<bool> contribute(const RuvoStore& store, uint64_t pred_id,
                            std::span<const uint64_t> args, const Contribution& c,
                            const WriteObserver* observer = nullptr) {
  AtomState old_state;
  auto new_state = store.upsert_atom_reading_old(pred_id, args, c, old_state);
  if (!new_state) return std::unexpected(EvalError(std::move(new_state.error())));
  const bool written = !AtomState::approx_eq(old_state, *new_state);
  if (written && observer != nullptr) (*observer)(pred_id, args, *new_state);
  return written;
}

// resolve_args into a reused buffer; false at the first unbound variable.
bool resolve_args_into(std::span<const Term> terms, const Bindings& bindings,
                       std::vector<uint64_t>& out) {
  out.clear();
  for (const Term& t : terms) {
    auto v = resolve_term(t, bindings);
    if (!v) return false;
    out.push_back(*v);
  }
  return true;
}

using InverseNames = std::unordered_map<uint64_t, std::string_view>;

std::string name_for(const InverseNames& names, uint64_t id) {
  auto it = names.find(id);
  if (it != names.end()) return std::string(it->second);
  return "__pred_" + std::to_string(id);
}

// The rule back in name form, only for the component computation.
Rule compiled_to_core_rule(const CompiledRule& cr, const InverseNames& names) {
  Rule r;
  r.id = cr.id;
  r.head_pred_name = name_for(names, cr.head_pred_id);
  r.head_pred_arity = cr.head_pred_arity;
  r.head_args = cr.head_args;
  r.body.reserve(cr.body.size());
  for (const CompiledGoal& g : cr.body) {
    if (const auto* a = std::get_if<CompiledAtom>(&g)) {
      r.body.emplace_back(AtomGoal{name_for(names, a->pred_id), a->pred_arity, a->negated,
                                   a->args});
    } else {
      r.body.emplace_back(std::get<BuiltinGoal>(g));
    }
  }
  r.b = cr.b;
  r.d = cr.d;
  return r;
}

}  // namespace

void append_binding(std::string& out, std::string_view name, uint64_t value) {
  out.append(name);
  out.push_back('\0');
  bincode::put_u64_be(out, value);
}

uint64_t body_matches_found() { return g_body_matches.load(std::memory_order_relaxed); }

std::string rule_evidence_id(uint64_t rule_id, const Bindings& bindings) {
  std::string out;
  bincode::put_u64_be(out, rule_id);
  append_binding_suffix(out, bindings);
  return out;
}

std::string constraint_evidence_id(uint64_t constraint_id, uint64_t position,
                                   const Bindings& bindings) {
  std::string out;
  bincode::put_u64_be(out, constraint_id);
  bincode::put_u64_be(out, position);
  append_binding_suffix(out, bindings);
  return out;
}

void count_body_matches(uint64_t n) { g_body_matches.fetch_add(n, std::memory_order_relaxed); }

EvalResult<uint64_t> fire_rule(const RuvoStore& store, const CompiledRule& rule,
                               ApplicabilitySemantics semantics, const WriteObserver* observer) {
  // Every match is computed before the first contribution is written.
  const std::vector<BodyMatch> matches = match_body(store, rule.body);
  if (interrupt_requested()) return std::unexpected(EvalError(EvalError::Interrupted{}));
  uint64_t changed = 0;
  std::vector<uint64_t> args;
  args.reserve(rule.head_args.size());
  Contribution c{0.0, 0.0, std::string()};
  std::string& evidence = *c.evidence_id;
  for (const BodyMatch& m : matches) {
    if (interrupt_requested()) return std::unexpected(EvalError(EvalError::Interrupted{}));
    if (!resolve_args_into(rule.head_args, m.bindings, args)) continue;  // a head variable the body never bound
    const double strength = strength_of(m, semantics);
    if (strength <= 0.0) continue;
    c.b = product_keeping_left_nan(rule.b, strength);
    c.d = product_keeping_left_nan(rule.d, strength);
    evidence.clear();
    bincode::put_u64_be(evidence, rule.id);
    append_binding_suffix(evidence, m.bindings);
    auto r = contribute(store, rule.head_pred_id, args, c, observer);
    if (!r) return std::unexpected(std::move(r.error()));
    if (*r) ++changed;
  }
  return changed;
}

EvalResult<uint64_t> run_constraint_pass(const RuvoStore& store,
                                         const std::vector<CompiledConstraint>& constraints,
                                         ApplicabilitySemantics semantics,
                                         const WriteObserver* observer) {
  uint64_t changed = 0;
  std::vector<uint64_t> args;
  Contribution contrib{0.0, 0.0, std::string()};
  std::string& evidence = *contrib.evidence_id;
  for (const CompiledConstraint& c : constraints) {
    const std::vector<BodyMatch> matches = match_body(store, c.body);
    for (const BodyMatch& m : matches) {
      if (interrupt_requested()) return std::unexpected(EvalError(EvalError::Interrupted{}));
      const double strength = strength_of(m, semantics);
      const double v = product_keeping_left_nan(c.b, strength);
      if (strength <= 0.0 || v <= 0.0) continue;
      // Positions count every goal, builtins and negated atoms included;
      // only positive atoms receive evidence against.
      for (size_t i = 0; i < c.body.size(); ++i) {
        const auto* atom = std::get_if<CompiledAtom>(&c.body[i]);
        if (atom == nullptr || atom->negated) continue;
        if (!resolve_args_into(atom->args, m.bindings, args)) continue;
        contrib.b = 0.0;
        contrib.d = v;
        evidence.clear();
        bincode::put_u64_be(evidence, c.id);
        bincode::put_u64_be(evidence, i);
        append_binding_suffix(evidence, m.bindings);
        auto r = contribute(store, atom->pred_id, args, contrib, observer);
        if (!r) return std::unexpected(std::move(r.error()));
        if (*r) ++changed;
      }
    }
  }
  return changed;
}

EvalResult<EvalStats> evaluate_to_fixpoint(
    const RuvoStore& store, const std::vector<CompiledRule>& rules,
    const std::vector<CompiledConstraint>& constraints, const Semantics& semantics,
    const std::unordered_map<std::string, uint64_t>& pred_ids,
    std::optional<uint64_t> max_depth, FastFiring* warm) {
  // Built once per call; the results equal rebuilding them per rule and per
  // component, since nothing changes pred_ids during evaluation.
  InverseNames inverse;
  inverse.reserve(pred_ids.size());
  for (const auto& [name, id] : pred_ids) inverse[id] = name;

  std::vector<Rule> core_rules;
  core_rules.reserve(rules.size());
  for (const CompiledRule& r : rules) core_rules.push_back(compiled_to_core_rule(r, inverse));
  const std::vector<Scc> components = compute_sccs(core_rules);
  core_rules.clear();

  if (current_eval_control().reference) warm = nullptr;
  // A warm firing keeps copies of the predicates it has read: it is told
  // of the constraint pass's writes too.
  const WriteObserver warm_observer = [warm](uint64_t pred_id, std::span<const uint64_t> args,
                                             const AtomState& stored) {
    warm->note_write(pred_id, args, stored);
  };
  EvalStats stats;
  auto constraint_changes = run_constraint_pass(store, constraints, semantics.constraint_applicability,
                                                warm != nullptr ? &warm_observer : nullptr);
  if (!constraint_changes) return std::unexpected(std::move(constraint_changes.error()));
  stats.atoms_changed = *constraint_changes;

  if (components.empty()) return stats;

  const uint64_t cap = !max_depth ? 1000 : (*max_depth == 0 ? 1 : *max_depth);

  // Rule indices by head predicate id, each list in input order.
  std::unordered_map<uint64_t, std::vector<size_t>> rules_by_head;
  for (size_t i = 0; i < rules.size(); ++i) rules_by_head[rules[i].head_pred_id].push_back(i);

  // Made after the constraint pass: it copies predicates as it first
  // meets them and sees every later write.
  std::optional<FastFiring> fresh;
  FastFiring* fast = warm;
  if (fast == nullptr && !current_eval_control().reference) {
    fresh.emplace(store, rules, semantics.rule_applicability);
    fast = &*fresh;
  }
  // The fast firing reads its own copies; the store's caches need not
  // grow with what it writes.
  const NoCacheWrites no_cache_writes(store, fast != nullptr);
  // Whatever way evaluation ends, the states the fast firing holds back
  // reach the store before anything reads it: on success below, where a
  // failure to write them is the call's failure, otherwise here.
  struct FlushOnExit {
    FastFiring* fast;
    ~FlushOnExit() {
      if (fast != nullptr) (void)fast->finish();  // a failure is already being reported
    }
  } flush_on_exit{fast};

  std::vector<size_t> selected;
  for (const Scc& comp : components) {
    selected.clear();
    for (const std::string& name : comp.predicates) {
      auto id = pred_ids.find(name);
      if (id == pred_ids.end()) continue;
      auto found = rules_by_head.find(id->second);
      if (found == rules_by_head.end()) continue;
      selected.insert(selected.end(), found->second.begin(), found->second.end());
    }
    if (selected.empty()) continue;
    // Back to input order; two member names never share an id, but stay
    // safe against duplicates all the same.
    std::sort(selected.begin(), selected.end());
    selected.erase(std::unique(selected.begin(), selected.end()), selected.end());

    auto run_pass = [&]() -> EvalResult<uint64_t> {
      uint64_t pass_changed = 0;
      for (size_t i : selected) {
        auto n = fast ? fast->fire(i) : fire_rule(store, rules[i], semantics.rule_applicability);
        if (!n) return std::unexpected(std::move(n.error()));
        pass_changed += *n;
      }
      return pass_changed;
    };

    auto first = run_pass();
    if (!first) return std::unexpected(std::move(first.error()));
    uint64_t passes = 1;
    uint64_t changed = *first;
    uint64_t last = *first;
    if (comp.is_recursive) {
      while (last > 0) {
        if (passes == cap) {
          if (max_depth) break;
          return std::unexpected(EvalError(EvalError::MaxIterationsExceeded{}));
        }
        auto next = run_pass();
        if (!next) return std::unexpected(std::move(next.error()));
        ++passes;
        last = *next;
        changed += last;
      }
    }
    stats.iterations += passes;
    stats.atoms_changed += changed;
  }
  flush_on_exit.fast = nullptr;
  if (fast != nullptr) {
    if (auto f = fast->finish(); !f) return std::unexpected(std::move(f.error()));
  }
  return stats;
}

}  // namespace ruvo
