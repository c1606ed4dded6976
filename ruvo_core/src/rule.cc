#include "ruvo_core/src/rule.h"

namespace ruvo {

using bincode::Reader;
using bincode::Result;
using bincode::Writer;

const std::array<std::string_view, kBuiltinOpCount> kBuiltinWords = {
    "eq",            "ne",   "lt",       "leq",      "gt",      // 0-4
    "geq",           "add",  "sub",      "mul",      "div",     // 5-9
    "between",       "int",  "string",   "float",    "entity",  // 10-14
    "predicate_ref", "date", "datetime", "duration",            // 15-18
};

std::optional<BuiltinOp> builtin_from_word(std::string_view word) {
  for (uint32_t i = 0; i < kBuiltinOpCount; ++i) {
    if (kBuiltinWords[i] == word) return static_cast<BuiltinOp>(i);
  }
  return std::nullopt;
}

namespace {

constexpr uint32_t kGoalVariants = 2;

size_t terms_size(const std::vector<Term>& ts) {
  size_t n = bincode::kU64;
  for (const Term& t : ts) n += term_size(t);
  return n;
}

void write_terms(Writer& w, const std::vector<Term>& ts) {
  // A local writer keeps the position in a register across the loop.
  Writer local = w;
  local.u64(ts.size());
  for (const Term& t : ts) write_term(local, t);
  w = local;
}

// Decoders below fill their destination in place: moving short strings
// through several temporaries costs more than the decoding itself.
Result<void> read_terms_into(Reader& r, std::vector<Term>& ts) {
  // A local reader keeps the position in registers across the loop.
  Reader local = r;
  RUVO_TRY(uint64_t n, local.count());
  ts.reserve(Reader::cautious(n, sizeof(Term)));
  for (uint64_t i = 0; i < n; ++i) RUVO_CHECK(read_term_into(local, ts.emplace_back()));
  r = local;
  return {};
}

size_t goals_size(const std::vector<Goal>& gs) {
  size_t n = bincode::kU64;
  for (const Goal& g : gs) n += goal_size(g);
  return n;
}

void write_goals(Writer& w, const std::vector<Goal>& gs) {
  w.u64(gs.size());
  for (const Goal& g : gs) write_goal(w, g);
}

Result<void> read_goal_into(Reader& r, std::vector<Goal>& gs) {
  RUVO_TRY(uint32_t index, r.variant(kGoalVariants));
  if (index == 0) {
    auto& a = std::get<0>(gs.emplace_back(std::in_place_index<0>));
    RUVO_CHECK(r.str_into(a.pred_name));
    RUVO_TRY(a.pred_arity, r.u64());
    RUVO_TRY(a.negated, r.boolean());
    return read_terms_into(r, a.args);
  }
  // The op is tested before its argument list is read.
  RUVO_TRY(uint32_t op, r.variant(kBuiltinOpCount));
  auto& b = std::get<1>(gs.emplace_back(std::in_place_index<1>));
  b.op = static_cast<BuiltinOp>(op);
  return read_terms_into(r, b.args);
}

Result<void> read_goals_into(Reader& r, std::vector<Goal>& gs) {
  RUVO_TRY(uint64_t n, r.count());
  gs.reserve(Reader::cautious(n, sizeof(Goal)));
  for (uint64_t i = 0; i < n; ++i) RUVO_CHECK(read_goal_into(r, gs));
  return {};
}

}  // namespace

// ---- Goal ----

size_t goal_size(const Goal& g) {
  if (const auto* a = std::get_if<AtomGoal>(&g)) {
    return bincode::kU32 + bincode::size_str(a->pred_name) + bincode::kU64 + bincode::kBool +
           terms_size(a->args);
  }
  const auto& b = std::get<BuiltinGoal>(g);
  return bincode::kU32 + bincode::kU32 + terms_size(b.args);
}

void write_goal(Writer& w, const Goal& g) {
  if (const auto* a = std::get_if<AtomGoal>(&g)) {
    w.u32(0);
    w.str(a->pred_name);
    w.u64(a->pred_arity);
    w.boolean(a->negated);
    write_terms(w, a->args);
    return;
  }
  const auto& b = std::get<BuiltinGoal>(g);
  w.u32(1);
  w.u32(static_cast<uint32_t>(b.op));
  write_terms(w, b.args);
}

Result<Goal> read_goal(Reader& r) {
  std::vector<Goal> one;
  RUVO_CHECK(read_goal_into(r, one));
  return std::move(one.front());
}

// ---- Rule ----

size_t rule_size(const Rule& r) {
  return bincode::kU64 + bincode::size_str(r.head_pred_name) + bincode::kU64 +
         terms_size(r.head_args) + goals_size(r.body) + bincode::kF64 + bincode::kF64;
}

void write_rule(Writer& w, const Rule& r) {
  w.u64(r.id);
  w.str(r.head_pred_name);
  w.u64(r.head_pred_arity);
  write_terms(w, r.head_args);
  write_goals(w, r.body);
  w.f64(r.b);
  w.f64(r.d);
}

Result<Rule> read_rule(Reader& r) {
  Rule rule;
  RUVO_TRY(rule.id, r.u64());
  RUVO_CHECK(r.str_into(rule.head_pred_name));
  RUVO_TRY(rule.head_pred_arity, r.u64());
  RUVO_CHECK(read_terms_into(r, rule.head_args));
  RUVO_CHECK(read_goals_into(r, rule.body));
  RUVO_TRY(rule.b, r.f64());
  RUVO_TRY(rule.d, r.f64());
  return rule;
}

// ---- Constraint ----

size_t constraint_size(const Constraint& c) {
  return bincode::kU64 + goals_size(c.body) + bincode::kF64 + bincode::kF64;
}

void write_constraint(Writer& w, const Constraint& c) {
  w.u64(c.id);
  write_goals(w, c.body);
  w.f64(c.b);
  w.f64(c.d);
}

Result<Constraint> read_constraint(Reader& r) {
  Constraint c;
  RUVO_TRY(c.id, r.u64());
  RUVO_CHECK(read_goals_into(r, c.body));
  RUVO_TRY(c.b, r.f64());
  RUVO_TRY(c.d, r.f64());
  return c;
}

// ---- Whole records ----

std::string encode_rule(const Rule& r) {
  return bincode::encode_with([&] { return rule_size(r); }, [&](Writer& w) { write_rule(w, r); });
}

Result<Rule> decode_rule(std::string_view bytes) {
  Reader r(bytes);
  return read_rule(r);
}

std::string encode_constraint(const Constraint& c) {
  return bincode::encode_with([&] { return constraint_size(c); },
                              [&](Writer& w) { write_constraint(w, c); });
}

Result<Constraint> decode_constraint(std::string_view bytes) {
  Reader r(bytes);
  return read_constraint(r);
}

}  // namespace ruvo
