#include "ruvo_engine/src/fast_eval.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "ruvo_core/src/fault.h"
#include "ruvo_core/src/pod_vector.h"
#include "ruvo_core/src/radix_sort.h"
#include "ruvo_engine/src/relation.h"

namespace ruvo {

namespace {

bool present(double b) { return b > kPresenceThreshold; }

bool is_arithmetic(BuiltinOp op) {
  return op == BuiltinOp::Add || op == BuiltinOp::Sub || op == BuiltinOp::Mul ||
         op == BuiltinOp::Div;
}

// A term of a compiled rule: a variable slot or a fixed value.
struct ArgRef {
  bool var = false;
  uint32_t slot = 0;
  uint64_t value = 0;
};

struct GoalPlan {
  enum class Kind : uint8_t { Positive, Negated, Builtin };
  Kind kind = Kind::Builtin;
  uint64_t pred_id = 0;
  Relation* rel = nullptr;  // set before each firing
  std::vector<ArgRef> args;
  const BuiltinGoal* builtin = nullptr;
  uint32_t positive_index = 0;  // among the positive goals
  // Scratch for one visit (goals are visited at one depth each).
  std::vector<uint64_t> values;
  std::vector<uint32_t> free_pos;
  std::vector<uint32_t> same_pos;  // pairs: position, earlier position
};

struct RulePlan {
  std::vector<std::string_view> var_names;  // by slot
  std::vector<uint32_t> slots_by_name;      // slots in ascending name byte order
  // The variables of the positive goals in the order they first occur
  // there. Their values order the matches as the positive rows'
  // arguments, in body order, do: every other argument is a constant or
  // repeats one of them.
  std::vector<uint32_t> key_slots;
  std::vector<GoalPlan> goals;
  std::vector<ArgRef> head;
  uint32_t positives = 0;
  bool has_arithmetic = false;
  bool positive_only = true;  // every goal a positive atom

  uint32_t slot_of(std::string_view name) {
    for (uint32_t i = 0; i < var_names.size(); ++i)
      if (var_names[i] == name) return i;
    var_names.push_back(name);
    return static_cast<uint32_t>(var_names.size() - 1);
  }
  ArgRef ref(const Term& t) {
    ArgRef a;
    if (t.kind == Term::Kind::Var) {
      a.var = true;
      a.slot = slot_of(t.name);
    } else {
      a.value = t.value;
    }
    return a;
  }

  explicit RulePlan(const CompiledRule& rule) {
    for (const CompiledGoal& g : rule.body) {
      GoalPlan p;
      if (const auto* atom = std::get_if<CompiledAtom>(&g)) {
        p.kind = atom->negated ? GoalPlan::Kind::Negated : GoalPlan::Kind::Positive;
        p.pred_id = atom->pred_id;
        for (const Term& t : atom->args) p.args.push_back(ref(t));
        if (!atom->negated) p.positive_index = positives++;
        else positive_only = false;
      } else {
        const auto& b = std::get<BuiltinGoal>(g);
        p.builtin = &b;
        for (const Term& t : b.args) p.args.push_back(ref(t));
        if (is_arithmetic(b.op)) has_arithmetic = true;
        positive_only = false;
      }
      p.values.resize(p.args.size());
      goals.push_back(std::move(p));
    }
    for (const GoalPlan& g : goals) {
      if (g.kind != GoalPlan::Kind::Positive) continue;
      for (const ArgRef& a : g.args)
        if (a.var && std::find(key_slots.begin(), key_slots.end(), a.slot) == key_slots.end())
          key_slots.push_back(a.slot);
    }
    for (const Term& t : rule.head_args) head.push_back(ref(t));
    slots_by_name.resize(var_names.size());
    for (uint32_t i = 0; i < slots_by_name.size(); ++i) slots_by_name[i] = i;
    // char_traits<char> compares as unsigned char: byte order.
    std::sort(slots_by_name.begin(), slots_by_name.end(),
              [&](uint32_t a, uint32_t b) { return var_names[a] < var_names[b]; });
  }
};

struct RuleState {
  std::unique_ptr<RulePlan> plan;
  bool fired = false;
  uint64_t fired_at = 0;  // change number when its last firing began
};

// The matches of one firing, as the contributions they make. `at` numbers
// the match as it was found: its head's arguments are head_args[at * arity,
// (at + 1) * arity), its evidence id (when one is kept) evidence_spans[at].
struct Found {
  double b, d;
  uint32_t at;
};
// The most matches one firing may record: their numbers fit a Found.
constexpr size_t kMaxFound = UINT32_MAX;

// Where one match's evidence id lies in the firing's evidence buffer.
struct EvidenceSpan {
  size_t from, len;
};


// Heap bytes of a hash map's nodes and buckets, approximately.
template <class Map>
size_t map_bytes(const Map& m) {
  return m.bucket_count() * sizeof(void*) +
         m.size() * (sizeof(typename Map::value_type) + 2 * sizeof(void*));
}

size_t plan_bytes(const RulePlan& p) {
  size_t n = sizeof(RulePlan) + p.var_names.capacity() * sizeof(std::string_view) +
             p.slots_by_name.capacity() * sizeof(uint32_t) +
             p.goals.capacity() * sizeof(GoalPlan) + p.head.capacity() * sizeof(ArgRef);
  for (const GoalPlan& g : p.goals)
    n += g.args.capacity() * sizeof(ArgRef) + g.values.capacity() * sizeof(uint64_t) +
         (g.free_pos.capacity() + g.same_pos.capacity()) * sizeof(uint32_t);
  return n;
}

std::atomic<uint64_t> g_firings[static_cast<size_t>(FiringWay::kCount)];

void count_firing(FiringWay way) {
  g_firings[static_cast<size_t>(way)].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

const char* firing_way_name(FiringWay way) {
  static constexpr const char* kNames[] = {
      "delta",           "first firing",        "noisy-or or capped-sum head",
      "interning arithmetic", "unreadable predicate", "head of another arity",
      "non-finite head state",
      "negated predicate changed", "non-finite contribution"};
  static_assert(std::size(kNames) == static_cast<size_t>(FiringWay::kCount));
  return kNames[static_cast<size_t>(way)];
}

bool same_compiled_rule(const CompiledRule& a, const CompiledRule& b) {
  auto bits = [](double x) { return std::bit_cast<uint64_t>(x); };
  return a.id == b.id && a.head_pred_id == b.head_pred_id && a.head_pred_arity == b.head_pred_arity &&
         a.head_args == b.head_args && bits(a.b) == bits(b.b) && bits(a.d) == bits(b.d) &&
         a.body == b.body;
}

uint64_t firings_counted(FiringWay way) {
  return g_firings[static_cast<size_t>(way)].load(std::memory_order_relaxed);
}

struct FastFiring::Impl {
  const RuvoStore& store;
  const std::vector<CompiledRule>& rules;
  ApplicabilitySemantics semantics;
  WriteObserver observer;

  std::unordered_map<uint64_t, std::unique_ptr<Relation>> relations;
  // When a firing last used each copy (use_clock at the time); the least
  // recently used go first when memory is freed.
  std::unordered_map<uint64_t, uint64_t> last_used;
  uint64_t use_clock = 0;
  std::unordered_map<uint64_t, std::optional<PredicateProfile>> profiles;
  std::vector<RuleState> states;
  uint64_t seq = 0;
  // Head states changed by firings but not yet handed to the store: the
  // copies are exact, so each changed atom is written once, with its last
  // state, when something else is about to read the store (flush()).
  struct Unwritten {
    Relation* rel = nullptr;
    const PredicateProfile* profile = nullptr;
    std::vector<uint32_t> rows;
    std::vector<uint8_t> listed;  // by row
  };
  std::unordered_map<uint64_t, Unwritten> unwritten;
  // Set when a predicate could not be read whole: from then on every
  // firing goes the straightforward way, which reads the store itself.
  bool broken = false;

  // ---- one firing ----
  const CompiledRule* rule = nullptr;
  RulePlan* plan = nullptr;
  std::vector<uint64_t> vals;
  std::vector<uint8_t> bound;
  std::vector<uint32_t> key;
  int restricted = -1;  // goal limited to changed rows, -1 for none
  std::vector<uint32_t> order;  // goal indexes in the order they are joined
  bool reordered = false;       // order is not body order
  uint64_t since = 0;
  std::vector<std::pair<uint64_t, std::unique_ptr<RowIndex>>> delta_indexes;
  std::vector<uint32_t> delta_rows;
  bool delta_rows_sorted = false;  // delta_rows are in argument order
  bool want_evidence = false;
  // Whether leaf() records an item for sorting each match: its sort key
  // (the values of the plan's key_slots) followed by its index in found.
  bool want_keys = false;
  bool stopped = false;
  // The match buffers: large ones grow without copying.
  PodVector<Found> found;
  PodVector<uint64_t> head_args;
  std::string evidence;
  PodVector<EvidenceSpan> evidence_spans;
  PodVector<uint64_t> sort_items, sort_scratch;
  PodVector<uint64_t> head_hashes;  // Relation::hash of each match's head

  Impl(const RuvoStore& s, const std::vector<CompiledRule>& r, ApplicabilitySemantics sem)
      : store(s), rules(r), semantics(sem), states(r.size()) {
    observer = [this](uint64_t pred_id, std::span<const uint64_t> args, const AtomState& st) {
      note_write(pred_id, args, st);
    };
  }

  void note_write(uint64_t pred_id, std::span<const uint64_t> args, const AtomState& st) {
    ++seq;
    auto it = relations.find(pred_id);
    if (it != relations.end()) it->second->note_write(args, st, seq);
  }

  const std::optional<PredicateProfile>* profile(uint64_t pred_id) {
    auto it = profiles.find(pred_id);
    if (it != profiles.end()) return &it->second;
    auto p = store.registry.get_profile(pred_id);
    if (!p) return nullptr;  // not cached: a later call may read it
    return &profiles.emplace(pred_id, std::move(*p)).first->second;
  }

  // The relation of a predicate, loaded on first use; null when it cannot
  // be read whole.
  Relation* relation(uint64_t pred_id) {
    if (Relation* rel = loaded(pred_id)) return rel;
    const auto* prof = profile(pred_id);
    if (prof == nullptr || !*prof) return nullptr;
    const uint64_t arity = (*prof)->arity;
    if (arity > UINT32_MAX) return nullptr;
    ScanRows rows;
    if (!store.scan_predicate_into(pred_id, rows)) return nullptr;
    auto rel = std::make_unique<Relation>(static_cast<uint32_t>(arity));
    if (!rel->load(std::move(rows))) return nullptr;
    last_used[pred_id] = ++use_clock;
    return relations.emplace(pred_id, std::move(rel)).first->second.get();
  }

  // The copy of a predicate if one is loaded, else null.
  Relation* loaded(uint64_t pred_id) {
    auto it = relations.find(pred_id);
    if (it == relations.end()) return nullptr;
    last_used[pred_id] = ++use_clock;
    return it->second.get();
  }

  // ---- memory ----

  size_t scratch_bytes() const {
    size_t n = (vals.capacity() + head_args.capacity() + sort_items.capacity() +
                sort_scratch.capacity() + head_hashes.capacity()) * sizeof(uint64_t) +
               bound.capacity() +
               (key.capacity() + order.capacity() + delta_rows.capacity()) * sizeof(uint32_t) +
               delta_indexes.capacity() * sizeof(delta_indexes[0]) +
               (found.capacity() + kept_scratch.capacity()) * sizeof(Found) + evidence.capacity() +
               evidence_spans.capacity() * sizeof(EvidenceSpan) +
               positive_rel.capacity() * sizeof(Relation*);
    for (const auto& [mask, idx] : delta_indexes) n += sizeof(RowIndex) + idx->bytes();
    return n;
  }

  // Scratch buffers of at most this many bytes are kept, emptied, from one
  // evaluation to the next: a warm call's few thousand matches then land
  // in pages already faulted in. Larger ones are freed before the commit.
  static constexpr size_t kKeptScratchBytes = size_t{4} << 20;

  template <class V>
  static void trim(V& v, size_t keep) {
    if (v.capacity() * sizeof(*v.data()) > keep) {
      V().swap(v);
    } else {
      v.clear();
    }
  }

  // Empties the scratch buffers, freeing those over `keep` bytes.
  void release_scratch(size_t keep = 0) {
    trim(vals, keep);
    trim(bound, keep);
    trim(key, keep);
    trim(order, keep);
    std::vector<std::pair<uint64_t, std::unique_ptr<RowIndex>>>().swap(delta_indexes);
    trim(delta_rows, keep);
    trim(found, keep);
    trim(head_args, keep);
    trim(evidence, keep);
    trim(evidence_spans, keep);
    trim(sort_items, keep);
    trim(sort_scratch, keep);
    trim(kept_scratch, keep);
    trim(head_hashes, keep);
    trim(positive_rel, keep);
  }

  size_t bytes() const {
    size_t n = sizeof(Impl) + scratch_bytes() + states.capacity() * sizeof(RuleState) +
               map_bytes(relations) + map_bytes(last_used) + map_bytes(profiles);
    for (const RuleState& st : states)
      if (st.plan) n += plan_bytes(*st.plan);
    for (const auto& [pred_id, rel] : relations) n += sizeof(Relation) + rel->bytes();
    return n;
  }

  size_t stored_bytes() const {
    // A state's key is the predicate id and the arguments, its value b and
    // d: 8 bytes each.
    size_t n = 0;
    for (const auto& [pred_id, rel] : relations) n += rel->size() * (8 * (rel->arity() + 1) + 16);
    return n;
  }

  // Forgets the copy of a predicate. Its change numbers go with it, so
  // every rule that reads or writes it starts again from a whole firing.
  void drop(uint64_t pred_id) {
    // Nothing is held back when copies are dropped (see shrink_to), and
    // the list must not outlive the copy it points into.
    unwritten.erase(pred_id);
    relations.erase(pred_id);
    last_used.erase(pred_id);
    for (size_t i = 0; i < rules.size(); ++i) {
      bool touches = rules[i].head_pred_id == pred_id;
      for (const CompiledGoal& g : rules[i].body) {
        const auto* atom = std::get_if<CompiledAtom>(&g);
        if (atom != nullptr && atom->pred_id == pred_id) touches = true;
      }
      if (touches) states[i].fired = false;
    }
  }

  // Forgets every change no rule will ask about: those up to the start of
  // the earliest last firing among the rules reading the predicate (a rule
  // that has not fired yet fires whole).
  void forget_old_changes() {
    std::unordered_map<uint64_t, uint64_t> needed_after;
    for (size_t i = 0; i < rules.size(); ++i) {
      if (!states[i].fired) continue;
      for (const CompiledGoal& g : rules[i].body) {
        const auto* atom = std::get_if<CompiledAtom>(&g);
        if (atom == nullptr) continue;
        auto [it, fresh] = needed_after.try_emplace(atom->pred_id, states[i].fired_at);
        if (!fresh) it->second = std::min(it->second, states[i].fired_at);
      }
    }
    for (auto& [pred_id, rel] : relations) {
      auto it = needed_after.find(pred_id);
      rel->forget_changes_up_to(it == needed_after.end() ? UINT64_MAX : it->second);
    }
  }

  bool shrink_to(size_t budget) {
    // Whatever the budget, the last firing's large scratch and the changes
    // no rule will ask about again are of no use to the next call; the
    // small scratch goes too when the budget is short.
    release_scratch(kKeptScratchBytes);
    forget_old_changes();
    if (bytes() > budget) release_scratch();
    std::vector<std::pair<uint64_t, uint64_t>> by_use;  // (last used, predicate)
    by_use.reserve(relations.size());
    for (const auto& [pred_id, rel] : relations) by_use.emplace_back(last_used[pred_id], pred_id);
    std::sort(by_use.begin(), by_use.end());
    for (const auto& [used, pred_id] : by_use) {
      if (bytes() <= budget) return true;
      drop(pred_id);
    }
    return bytes() <= budget;
  }

  // interrupt_requested() is asked once per kLocalSteps steps: rows are
  // cheap, and it costs a thread-local access.
  static constexpr uint32_t kLocalSteps = 16;
  uint32_t local_steps = 0;
  bool should_stop() {
    if (stopped) return true;
    if (++local_steps < kLocalSteps) return false;
    local_steps = 0;
    stopped = interrupt_requested();
    return stopped;
  }

  // ---- matching ----

  void leaf(double b, double d) {
    if (reordered) {
      // The goals were joined in another order: the evidence is gathered
      // again in body order, operation for operation as a body-order join
      // gathers it.
      b = 1.0, d = 0.0;
      for (uint32_t j = 0; j < plan->positives; ++j) {
        const AtomState& s = positive_rel[j]->state(key[j]);
        const JoinedEvidence e = join_evidence(b, d, s.b, s.d);
        b = e.b, d = e.d;
      }
    }
    const size_t head_at = head_args.size();
    for (const ArgRef& a : plan->head) {
      if (a.var && !bound[a.slot]) {  // a head variable the body never bound
        head_args.resize(head_at);
        return;
      }
      head_args.push_back(a.var ? vals[a.slot] : a.value);
    }
    const double s = match_strength(b, d, semantics);
    if (s <= 0.0) {
      head_args.resize(head_at);
      return;
    }
    if (found.size() == kMaxFound)
      fault("a rule firing found more than " + std::to_string(kMaxFound) + " matches");
    const Found f{product_keeping_left_nan(rule->b, s), product_keeping_left_nan(rule->d, s),
                  static_cast<uint32_t>(found.size())};
    if (want_evidence) {
      const size_t from = evidence.size();
      bincode::put_u64_be(evidence, rule->id);
      for (uint32_t slot : plan->slots_by_name)
        if (bound[slot]) append_binding(evidence, plan->var_names[slot], vals[slot]);
      evidence_spans.push_back({from, evidence.size() - from});
    }
    if (want_keys) {
      for (uint32_t slot : plan->key_slots) sort_items.push_back(vals[slot]);
      sort_items.push_back(found.size());
    }
    found.push_back(f);
  }

  RowIndex& delta_index(Relation& rel, uint64_t mask) {
    for (auto& [m, idx] : delta_indexes)
      if (m == mask) return *idx;
    auto idx = std::make_unique<RowIndex>(mask, rel.arity());
    for (uint32_t row : delta_rows)
      idx->add(row, rel.all_args().data() + static_cast<size_t>(row) * rel.arity());
    delta_indexes.emplace_back(mask, std::move(idx));
    return *delta_indexes.back().second;
  }

  const std::vector<uint32_t>& sorted_delta_rows(const Relation& rel) {
    if (!delta_rows_sorted) {
      sort_rows_by_args(delta_rows, rel.all_args(), rel.arity());
      delta_rows_sorted = true;
    }
    return delta_rows;
  }

  void run(size_t gi, double b, double d) {
    if (stopped) return;
    if (gi == plan->goals.size()) {
      leaf(b, d);
      return;
    }
    GoalPlan& g = plan->goals[order[gi]];
    if (g.kind == GoalPlan::Kind::Builtin) return run_builtin(gi, b, d);
    Relation& rel = *g.rel;
    const bool negated = g.kind == GoalPlan::Kind::Negated;
    if (g.args.size() != rel.arity()) {
      // No stored atom has this many arguments.
      if (negated) run(gi + 1, b, d);
      return;
    }
    uint64_t mask = 0;
    g.free_pos.clear();
    g.same_pos.clear();
    for (uint32_t i = 0; i < g.args.size(); ++i) {
      const ArgRef& a = g.args[i];
      if (!a.var) {
        g.values[i] = a.value;
      } else if (bound[a.slot]) {
        g.values[i] = vals[a.slot];
      } else {
        uint32_t earlier = UINT32_MAX;
        for (uint32_t f : g.free_pos)
          if (g.args[f].slot == a.slot) earlier = f;
        if (earlier == UINT32_MAX) {
          g.free_pos.push_back(i);
        } else {
          g.same_pos.push_back(i);
          g.same_pos.push_back(earlier);
        }
        continue;
      }
      if (i < 64) mask |= uint64_t{1} << i;
    }
    const bool restrict_here = restricted == static_cast<int>(order[gi]);

    if (g.free_pos.empty()) {  // every argument known: one atom
      const int64_t row = rel.find(g.values);
      const bool here = row >= 0 && present(rel.state(static_cast<uint32_t>(row)).b);
      if (negated) {
        if (!here) run(gi + 1, b, d);
        return;
      }
      if (!here) return;
      const uint32_t r = static_cast<uint32_t>(row);
      if (restrict_here && rel.changed_at(r) <= since) return;
      const AtomState& s = rel.state(r);
      key[g.positive_index] = r;
      const JoinedEvidence e = join_evidence(b, d, s.b, s.d);
      run(gi + 1, e.b, e.d);
      return;
    }

    // Matches that are sorted afterwards may be found in any order: no
    // group need be sorted then (a large one that gained rows since it was
    // last sorted costs more to sort than its matches do), nor, when
    // nothing about the changed rows is known yet, indexed.
    // With no argument bound, the changed rows are the group: sorted as
    // they are rather than through an index of one group.
    const std::vector<uint32_t>& rows =
        !want_keys ? (!restrict_here ? rel.index(mask).group(g.values.data(), rel.all_args())
                      : mask == 0    ? sorted_delta_rows(rel)
                                     : delta_index(rel, mask).group(g.values.data(), rel.all_args()))
        : !restrict_here ? rel.index(mask).group_unsorted(g.values.data())
        : mask == 0      ? delta_rows
                         : delta_index(rel, mask).group_unsorted(g.values.data());
    auto fits = [&](std::span<const uint64_t> row) {
      for (uint32_t i = 0; i < g.args.size(); ++i) {
        const ArgRef& a = g.args[i];
        if ((!a.var || bound[a.slot]) && row[i] != g.values[i]) return false;
      }
      for (size_t k = 0; k < g.same_pos.size(); k += 2)
        if (row[g.same_pos[k]] != row[g.same_pos[k + 1]]) return false;
      return true;
    };
    if (negated) {
      for (uint32_t r : rows) {
        if (should_stop()) return;
        if (present(rel.state(r).b) && fits(rel.args(r))) return;
      }
      run(gi + 1, b, d);
      return;
    }
    // Indexes into `rows` rather than iterators: nothing below adds rows,
    // but keep the loop independent of that.
    // A group's rows lie all over a large copy: each is loaded a few rows
    // ahead. (A small copy stays in cache.)
    constexpr size_t kRowsAhead = 8;
    const size_t ahead = rel.size() > (size_t{1} << 15) ? kRowsAhead : 0;
    // When the next goal is an atom whose arguments are all known once this
    // goal's are bound, most rows here lead to an absent atom there (the
    // last goal of a join): the relation's filter says so without a visit.
    GoalPlan* next = nullptr;
    if (gi + 1 < plan->goals.size()) {
      GoalPlan& n = plan->goals[order[gi + 1]];
      auto known = [&](const ArgRef& a) {
        if (!a.var || bound[a.slot]) return true;
        for (uint32_t f : g.free_pos)
          if (g.args[f].slot == a.slot) return true;
        return false;
      };
      if (n.kind == GoalPlan::Kind::Positive && n.args.size() == n.rel->arity() &&
          std::all_of(n.args.begin(), n.args.end(), known))
        next = &n;
    }
    auto next_absent = [&] {
      for (size_t i = 0; i < next->args.size(); ++i) {
        const ArgRef& a = next->args[i];
        next->values[i] = a.var ? vals[a.slot] : a.value;
      }
      return !next->rel->may_hold(Relation::hash(next->values));
    };
    for (size_t k = 0; k < ahead && k < rows.size(); ++k) rel.prefetch_row(rows[k]);
    for (size_t k = 0; k < rows.size(); ++k) {
      if (should_stop()) return;
      if (ahead != 0 && k + ahead < rows.size()) rel.prefetch_row(rows[k + ahead]);
      const uint32_t r = rows[k];
      const AtomState s = rel.state(r);
      if (s.b <= kPresenceThreshold) continue;  // a NaN b is joined
      const auto row = rel.args(r);
      if (!fits(row)) continue;
      for (uint32_t f : g.free_pos) {
        vals[g.args[f].slot] = row[f];
        bound[g.args[f].slot] = 1;
      }
      if (next == nullptr || !next_absent()) {
        key[g.positive_index] = r;
        const JoinedEvidence e = join_evidence(b, d, s.b, s.d);
        run(gi + 1, e.b, e.d);
      }
      for (uint32_t f : g.free_pos) bound[g.args[f].slot] = 0;
    }
  }

  void run_builtin(size_t gi, double b, double d) {
    const GoalPlan& g = plan->goals[order[gi]];
    std::vector<BodyMatch> in(1);
    in[0].b = b;
    in[0].d = d;
    for (uint32_t slot = 0; slot < bound.size(); ++slot)
      if (bound[slot]) in[0].bindings.bind(plan->var_names[slot], vals[slot]);
    std::vector<BodyMatch> out = eval_builtin(store, g.builtin->op, g.builtin->args, in);
    if (out.empty()) return;
    std::vector<uint32_t> added;
    for (const auto& [name, value] : out[0].bindings.items()) {
      const uint32_t slot = plan->slot_of(name);
      if (bound[slot]) continue;
      vals[slot] = value;
      bound[slot] = 1;
      added.push_back(slot);
    }
    run(gi + 1, out[0].b, out[0].d);
    for (uint32_t slot : added) bound[slot] = 0;
  }

  // Whether collect(restrict_goal) joins the goals in another order than
  // the body's.
  bool out_of_body_order(int restrict_goal) const { return restrict_goal > 0 && plan->positive_only; }

  void collect(int restrict_goal) {
    restricted = restrict_goal;
    delta_indexes.clear();
    delta_rows_sorted = false;
    if (restrict_goal >= 0) plan->goals[static_cast<size_t>(restrict_goal)].rel->changed_since(since, delta_rows);
    // Goals are joined in body order, except that a body of positive atoms
    // only starts from the goal limited to changed rows: the goals before
    // it would otherwise be walked whole for a handful of changed rows. The
    // same matches are found either way, and they are put in body order
    // afterwards (order_found).
    order.resize(plan->goals.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    reordered = out_of_body_order(restrict_goal);
    if (reordered) std::rotate(order.begin(), order.begin() + restrict_goal, order.begin() + restrict_goal + 1);
    std::fill(bound.begin(), bound.end(), 0);
    run(0, 1.0, 0.0);
    restricted = -1;
    reordered = false;
  }

  void clear_found() {
    found.clear();
    head_args.clear();
    evidence.clear();
    evidence_spans.clear();
    sort_items.clear();
  }

  // Sorts the matches into the order the full firing finds them and drops
  // repeats (a match using changed atoms at several goals is found once per
  // such goal). That order is ascending by the positive rows' arguments in
  // body order (depth first over groups handed out sorted by arguments),
  // hence by sort key. Distinct rows of a relation differ in their
  // arguments, so equal keys mean the same rows, hence the same head and
  // the same evidence; of equal keys the first found is kept.
  void order_found() {
    const size_t w = plan->key_slots.size();
    const size_t n = found.size();
    kept_scratch.clear();
    if (w > 1 && pack_keys()) {
      // One word per match now: (packed key, index in found).
      radix_sort(sort_items, sort_scratch, n, 2, 1);
      for (size_t i = 0; i < n; ++i) {
        const uint64_t* item = sort_items.data() + i * 2;
        if (i > 0 && item[0] == item[-2]) continue;
        kept_scratch.push_back(found[item[1]]);
      }
    } else {
      radix_sort(sort_items, sort_scratch, n, w + 1, w);
      for (size_t i = 0; i < n; ++i) {
        const uint64_t* item = sort_items.data() + i * (w + 1);
        if (i > 0 && std::equal(item, item + w, item - (w + 1))) continue;
        kept_scratch.push_back(found[item[w]]);
      }
    }
    found.swap(kept_scratch);
  }

  // When the key words of every match fit in one word side by side (each
  // in as many bits as the largest value of its position needs), rewrites
  // sort_items as records (packed key, index in found) and returns true:
  // packed keys order and compare as the keys do, and a record of two
  // words in fewer byte passes sorts faster. False, changing nothing,
  // when they do not fit.
  bool pack_keys() {
    const size_t w = plan->key_slots.size();
    const size_t n = found.size();
    const KeyPacking packing(n, w, [&](size_t i, size_t j) { return sort_items[i * (w + 1) + j]; });
    if (packing.bits() > 64) return false;
    // In place: record i's two words lie at or before its old first word.
    for (size_t i = 0; i < n; ++i) {
      const uint64_t* item = sort_items.data() + i * (w + 1);
      const uint64_t packed = packing.pack(item);
      const uint64_t at = item[w];
      sort_items[i * 2] = packed;
      sort_items[i * 2 + 1] = at;
    }
    return true;
  }
  PodVector<Found> kept_scratch;

  std::vector<Relation*> positive_rel;

  EvalResult<uint64_t> reference_firing(const CompiledRule& r) {
    // The straightforward firing reads the store itself.
    if (auto f = flush(); !f) return std::unexpected(std::move(f.error()));
    return fire_rule(store, r, semantics, &observer);
  }

  // The list of `pred_id`'s held-back states, kept by `rel`.
  Unwritten& unwritten_of(uint64_t pred_id, Relation& rel, const PredicateProfile& profile) {
    Unwritten& u = unwritten[pred_id];
    u.rel = &rel;
    u.profile = &profile;
    return u;
  }

  // Lists `row` of u's relation as held back, once.
  static void write_behind(Unwritten& u, uint32_t row) {
    if (u.listed.size() <= row) u.listed.resize(std::max<size_t>(u.rel->size(), 2 * u.listed.size()), 0);
    if (u.listed[row]) return;
    u.listed[row] = 1;
    u.rows.push_back(row);
  }

  EvalResult<void> flush() {
    for (auto& [pred_id, u] : unwritten) {
      if (u.rows.empty()) continue;
      size_t written = 0;
      auto w = store.write_folded_states(*u.profile, u.rows.size(),
                                         [&u](size_t i) {
                                           const uint32_t row = u.rows[i];
                                           return std::pair(u.rel->args(row), u.rel->state(row));
                                         },
                                         &written);
      for (size_t i = 0; i < written; ++i) u.listed[u.rows[i]] = 0;
      // What is left stays listed, for the flush that follows a failure.
      u.rows.erase(u.rows.begin(), u.rows.begin() + static_cast<std::ptrdiff_t>(written));
      if (!w) return std::unexpected(EvalError(std::move(w.error())));
    }
    return {};
  }

  EvalResult<uint64_t> fire(size_t index) {
    const CompiledRule& r = rules[index];
    RuleState& st = states[index];
    if (!st.plan) st.plan = std::make_unique<RulePlan>(r);
    const bool had_previous = st.fired;
    const uint64_t previous = st.fired_at;
    st.fired = true;
    st.fired_at = seq;
    RulePlan& p = *st.plan;
    if (broken || p.has_arithmetic) {
      count_firing(broken ? FiringWay::UnreadablePredicate : FiringWay::InterningArithmetic);
      return reference_firing(r);
    }

    const auto* head_profile = profile(r.head_pred_id);
    if (head_profile == nullptr || !*head_profile) return reference_firing(r);
    const bool maximum = (*head_profile)->aggregation == AggregationMode::Maximum;
    positive_rel.assign(p.positives, nullptr);
    for (GoalPlan& g : p.goals) {
      if (g.kind == GoalPlan::Kind::Builtin) continue;
      g.rel = relation(g.pred_id);
      if (g.rel == nullptr) {
        broken = true;
        count_firing(FiringWay::UnreadablePredicate);
        return reference_firing(r);
      }
      if (g.kind == GoalPlan::Kind::Positive) positive_rel[g.positive_index] = g.rel;
    }
    Relation* head_rel = nullptr;
    if (maximum) {
      head_rel = relation(r.head_pred_id);
      if (head_rel == nullptr) {
        broken = true;
        count_firing(FiringWay::UnreadablePredicate);
        return reference_firing(r);
      }
    } else {
      head_rel = loaded(r.head_pred_id);
    }
    // Only a copy of the head's own arity can stand for its reads.
    if (head_rel != nullptr && head_rel->arity() != p.head.size()) head_rel = nullptr;

    rule = &r;
    plan = &p;
    vals.assign(p.var_names.size(), 0);
    bound.assign(p.var_names.size(), 0);
    key.assign(p.positives, 0);
    want_evidence = !maximum && (*head_profile)->evidence_mode != EvidenceMode::None;
    stopped = false;
    clear_found();

    FiringWay way = !had_previous ? FiringWay::First
                    : !maximum    ? FiringWay::NotMaximum
                    : head_rel == nullptr ? FiringWay::OtherArityHead
                    : head_rel->non_finite() != 0 ? FiringWay::NonFiniteHead
                                                  : FiringWay::Delta;
    for (const GoalPlan& g : p.goals) {
      if (way == FiringWay::Delta && g.kind == GoalPlan::Kind::Negated &&
          g.rel->last_change() > previous)
        way = FiringWay::NegatedChanged;
    }
    bool delta = way == FiringWay::Delta;
    if (delta) {
      since = previous;
      std::vector<int> changed_goals;
      for (size_t gi = 0; gi < p.goals.size(); ++gi) {
        const GoalPlan& g = p.goals[gi];
        if (g.kind == GoalPlan::Kind::Positive && g.rel->last_change() > previous)
          changed_goals.push_back(static_cast<int>(gi));
      }
      // One pass joined in body order finds each match once, already in
      // order; otherwise the matches are sorted by their keys.
      want_keys = changed_goals.size() > 1 ||
                  (changed_goals.size() == 1 && out_of_body_order(changed_goals[0]));
      for (int gi : changed_goals) collect(gi);
      if (want_keys) order_found();
      // A non-finite contribution may make a head state non-finite, after
      // which every repeated contribution to it counts: apply them all.
      for (const Found& f : found) {
        if (!std::isfinite(f.b) || !std::isfinite(f.d)) {
          delta = false;
          way = FiringWay::NonFiniteContribution;
          break;
        }
      }
      if (!delta) clear_found();
    }
    count_firing(way);
    if (!delta) {
      want_keys = false;
      collect(-1);
    }
    if (stopped || interrupt_requested())
      return std::unexpected(EvalError(EvalError::Interrupted{}));
    count_body_matches(found.size());

    uint64_t changed = 0;
    const size_t arity = p.head.size();
    const AggregationMode aggregation = (*head_profile)->aggregation;
    const bool keeps_records =
        aggregation != AggregationMode::Maximum && (*head_profile)->evidence_mode != EvidenceMode::None;
    // Without per-source records or indexes, a changed state is all an
    // upsert writes: it can wait in the copy.
    const bool behind = head_rel != nullptr && !keeps_records && (*head_profile)->indexes.empty();
    Unwritten* held_back = behind ? &unwritten_of(r.head_pred_id, *head_rel, **head_profile) : nullptr;
    Contribution c{0.0, 0.0, std::nullopt};
    if (want_evidence) c.evidence_id.emplace();
    // Head lookups land all over a large copy: each one's table slot is
    // loaded 2 * kAhead matches ahead, and the row it points to kAhead
    // matches ahead.
    constexpr size_t kAhead = 16;
    head_hashes.clear();
    if (head_rel != nullptr) {
      for (const Found& f : found)
        head_hashes.push_back(Relation::hash({head_args.data() + size_t{f.at} * arity, arity}));
      for (size_t i = 0; i < 2 * kAhead && i < found.size(); ++i) head_rel->prefetch_slot(head_hashes[i]);
      for (size_t i = 0; i < kAhead && i < found.size(); ++i) head_rel->prefetch_candidate(head_hashes[i]);
    }
    for (size_t i = 0; i < found.size(); ++i) {
      const Found& f = found[i];
      if (head_rel != nullptr) {
        if (i + 2 * kAhead < found.size()) head_rel->prefetch_slot(head_hashes[i + 2 * kAhead]);
        if (i + kAhead < found.size()) head_rel->prefetch_candidate(head_hashes[i + kAhead]);
      }
      if (should_stop()) return std::unexpected(EvalError(EvalError::Interrupted{}));
      c.b = f.b;
      c.d = f.d;
      if (want_evidence) {
        const EvidenceSpan& e = evidence_spans[f.at];
        c.evidence_id->assign(evidence, e.from, e.len);
      }
      const std::span<const uint64_t> args(head_args.data() + size_t{f.at} * arity, arity);
      AtomState old;
      StoreResult<AtomState> next;
      int64_t row = -1;
      if (head_rel != nullptr) {
        // The copy holds exactly what the store would read.
        row = head_rel->find(args, head_hashes[i]);
        old = row < 0 ? AtomState{} : head_rel->state(static_cast<uint32_t>(row));
        // Without per-source records the fold is the store's own: one that
        // changes nothing writes nothing, and the store need not be asked.
        // (The copy's arity is the profile's, so the arity check would
        // pass.)
        if (!keeps_records) {
          const AtomState folded = RuvoStore::fold_in(aggregation, old, c.b, c.d);
          if (AtomState::approx_eq(old, folded)) continue;
          // Written as the upsert would write it: now, or, held back, when
          // the store is next read.
          if (!behind) {
            if (auto w = store.write_folded_state(**head_profile, args, folded); !w)
              return std::unexpected(EvalError(std::move(w.error())));
          }
          ++changed;
          const uint32_t at = head_rel->note_write_at(row, args, folded, ++seq, head_hashes[i]);
          if (behind) write_behind(*held_back, at);
          continue;
        }
        next = store.upsert_atom_known_old(**head_profile, args, c, old);
      } else {
        next = store.upsert_atom_reading_old(r.head_pred_id, args, c, old);
      }
      if (!next) return std::unexpected(EvalError(std::move(next.error())));
      if (!AtomState::approx_eq(old, *next)) {
        ++changed;
        if (head_rel != nullptr) {
          head_rel->note_write_at(row, args, *next, ++seq, head_hashes[i]);
        } else {
          note_write(r.head_pred_id, args, *next);
        }
      }
    }
    return changed;
  }
};

void FastFiring::replace_rules(const std::vector<CompiledRule>& before,
                               const std::vector<CompiledRule>& after) {
  std::vector<RuleState> states(after.size());
  std::vector<bool> taken(before.size(), false);
  for (size_t i = 0; i < after.size(); ++i) {
    for (size_t j = 0; j < before.size(); ++j) {
      if (taken[j] || !same_compiled_rule(before[j], after[i])) continue;
      taken[j] = true;
      states[i].fired = impl_->states[j].fired;
      states[i].fired_at = impl_->states[j].fired_at;
      break;
    }
  }
  // Plans point into the rules they were made from: made again on demand.
  impl_->states = std::move(states);
}

FastFiring::FastFiring(const RuvoStore& store, const std::vector<CompiledRule>& rules,
                       ApplicabilitySemantics semantics)
    : impl_(std::make_unique<Impl>(store, rules, semantics)) {}
FastFiring::~FastFiring() = default;

EvalResult<uint64_t> FastFiring::fire(size_t index) { return impl_->fire(index); }

EvalResult<void> FastFiring::flush() { return impl_->flush(); }

EvalResult<void> FastFiring::finish() {
  impl_->release_scratch(Impl::kKeptScratchBytes);
  return impl_->flush();
}

void FastFiring::note_write(uint64_t pred_id, std::span<const uint64_t> args,
                            const AtomState& stored) {
  impl_->note_write(pred_id, args, stored);
}

size_t FastFiring::bytes() const { return impl_->bytes(); }
size_t FastFiring::stored_bytes() const { return impl_->stored_bytes(); }
bool FastFiring::shrink_to(size_t budget) { return impl_->shrink_to(budget); }

}  // namespace ruvo
