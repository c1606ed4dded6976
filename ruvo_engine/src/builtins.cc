// Builtin goals: equality, comparisons, arithmetic and type tests. Numbers
// are symbols: numeric arguments are read by parsing symbol texts, and
// computed numbers are interned as the symbols of their texts.
#include <cmath>
#include <string>

#include "ruvo_engine/src/join.h"

namespace ruvo {
namespace {

constexpr double kDivisorThreshold = 1e-12;
constexpr double kArithmeticTolerance = 1e-9;

size_t required_args(BuiltinOp op) {
  switch (op) {
    case BuiltinOp::Eq: case BuiltinOp::Ne: case BuiltinOp::Lt: case BuiltinOp::Leq:
    case BuiltinOp::Gt: case BuiltinOp::Geq:
      return 2;
    case BuiltinOp::Add: case BuiltinOp::Sub: case BuiltinOp::Mul: case BuiltinOp::Div:
    case BuiltinOp::Between:
      return 3;
    default:
      return 1;
  }
}

std::optional<std::string> symbol_text(const RuvoStore& store, uint64_t id) {
  auto text = store.symbols.get_text(id);
  if (!text) return std::nullopt;
  return std::move(*text);
}

// The text a type test looks at: the symbol's text for symbols and bound
// variables, the decimal or display form for Int and Float terms.
std::optional<std::string> value_text(const RuvoStore& store, const Term& term,
                                      const Bindings& bindings) {
  switch (term.kind) {
    case Term::Kind::Int:
      return std::to_string(term.as_int());
    case Term::Kind::Float:
      return float_display(term.as_float());
    case Term::Kind::Var: {
      auto v = bindings.get(term.name);
      if (!v) return std::nullopt;
      return symbol_text(store, *v);
    }
    default:
      return symbol_text(store, term.value);
  }
}

// A literal d"...", dt"..." or dur"...": the opener ends with a quote, and a
// text made of the opener alone counts, its one quote being first and last.
bool quoted_with_prefix(std::string_view t, std::string_view opener) {
  return t.starts_with(opener) && t.back() == '"';
}

// A string literal needs two quotes: a lone quote is not one.
bool is_string_text(std::string_view t) {
  return t.size() >= 2 && t.front() == '"' && t.back() == '"';
}
bool is_date_text(std::string_view t) { return quoted_with_prefix(t, "d\""); }
bool is_datetime_text(std::string_view t) { return quoted_with_prefix(t, "dt\""); }
bool is_duration_text(std::string_view t) { return quoted_with_prefix(t, "dur\""); }

bool is_float_text(std::string_view t) {
  return parse_number(trim_white_space(t)).has_value() && !is_int_text(t);
}

bool is_entity_text(std::string_view t) {
  return !is_int_text(t) && !is_float_text(t) && !is_string_text(t) && !is_date_text(t) &&
         !is_datetime_text(t) && !is_duration_text(t);
}

bool is_predicate_ref_text(std::string_view t) {
  size_t slash = t.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view name = t.substr(0, slash), arity = t.substr(slash + 1);
  if (arity.find('/') != std::string_view::npos) return false;
  if (name.empty() || name[0] < 'a' || name[0] > 'z') return false;
  for (char c : name.substr(1)) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_';
    if (!ok) return false;
  }
  if (arity.empty()) return false;
  for (char c : arity)
    if (c < '0' || c > '9') return false;
  return true;
}

bool type_test(BuiltinOp op, std::string_view t) {
  switch (op) {
    case BuiltinOp::Int: return is_int_text(t);
    case BuiltinOp::String: return is_string_text(t);
    case BuiltinOp::Float: return is_float_text(t);
    case BuiltinOp::Entity: return is_entity_text(t);
    case BuiltinOp::PredicateRef: return is_predicate_ref_text(t);
    case BuiltinOp::Date: return is_date_text(t);
    case BuiltinOp::Datetime: return is_datetime_text(t);
    case BuiltinOp::Duration: return is_duration_text(t);
    default: return false;
  }
}

bool compare(BuiltinOp op, double a, double b) {
  switch (op) {
    case BuiltinOp::Lt: return a < b;
    case BuiltinOp::Leq: return a <= b;
    case BuiltinOp::Gt: return a > b;
    case BuiltinOp::Geq: return a >= b;
    default: return false;
  }
}

BodyMatch with_binding(const BodyMatch& m, std::string_view name, uint64_t value) {
  BodyMatch out;
  out.bindings.reserve(m.bindings.size() + 1);
  for (const auto& [n, v] : m.bindings.items()) out.bindings.bind(n, v);
  out.bindings.bind(name, value);
  out.b = m.b;
  out.d = m.d;
  return out;
}

std::optional<BodyMatch> eval_eq(const Term& a, const Term& b, const BodyMatch& m) {
  auto va = resolve_term(a, m.bindings);
  auto vb = resolve_term(b, m.bindings);
  if (va && vb) {
    if (*va == *vb) return m;
    return std::nullopt;
  }
  // A term without a value is an unbound variable.
  if (va) return with_binding(m, b.name, *va);
  if (vb) return with_binding(m, a.name, *vb);
  return std::nullopt;
}

// Solves X op Y = Z for the one missing position. nullopt when the divisor
// is too small (or NaN).
std::optional<double> solve(BuiltinOp op, size_t missing, double x, double y, double z) {
  auto quotient = [](double num, double den) -> std::optional<double> {
    if (!(std::fabs(den) > kDivisorThreshold)) return std::nullopt;
    return num / den;
  };
  switch (op) {
    case BuiltinOp::Add:
      return missing == 0 ? z - y : missing == 1 ? z - x : x + y;
    case BuiltinOp::Sub:
      return missing == 0 ? z + y : missing == 1 ? x - z : x - y;
    case BuiltinOp::Mul:
      if (missing == 0) return quotient(z, y);
      if (missing == 1) return quotient(z, x);
      return x * y;
    case BuiltinOp::Div:
      if (missing == 0) return z * y;
      if (missing == 1) return quotient(x, z);
      return quotient(x, y);
    default:
      return std::nullopt;
  }
}

std::optional<BodyMatch> eval_arithmetic(const RuvoStore& store, BuiltinOp op,
                                         std::span<const Term> args, const BodyMatch& m) {
  std::optional<double> v[3];
  size_t numeric = 0, unbound = 0, unbound_pos = 0;
  for (size_t i = 0; i < 3; ++i) {
    v[i] = resolve_to_f64(store, args[i], m.bindings);
    if (v[i]) ++numeric;
    if (args[i].kind == Term::Kind::Var && !m.bindings.get(args[i].name)) {
      ++unbound;
      unbound_pos = i;
    }
  }

  if (numeric == 3) {
    double x = *v[0], y = *v[1], z = *v[2], c = 0.0;
    switch (op) {
      case BuiltinOp::Add: c = x + y; break;
      case BuiltinOp::Sub: c = x - y; break;
      case BuiltinOp::Mul: c = x * y; break;
      default:
        if (!(std::fabs(y) > kDivisorThreshold)) return std::nullopt;
        c = x / y;
        break;
    }
    if (std::fabs(c - z) < kArithmeticTolerance) return m;
    return std::nullopt;
  }

  if (numeric != 2 || unbound != 1) return std::nullopt;
  auto r = solve(op, unbound_pos, v[0].value_or(0.0), v[1].value_or(0.0), v[2].value_or(0.0));
  if (!r) return std::nullopt;
  auto id = store.symbols.get_or_insert(number_text(*r));
  if (!id) return std::nullopt;
  return with_binding(m, args[unbound_pos].name, *id);
}

}  // namespace

std::vector<BodyMatch> eval_builtin(const RuvoStore& store, BuiltinOp op,
                                    std::span<const Term> args,
                                    const std::vector<BodyMatch>& matches) {
  std::vector<BodyMatch> out;
  if (args.size() != required_args(op)) return out;
  out.reserve(matches.size());

  for (const BodyMatch& m : matches) {
    switch (op) {
      case BuiltinOp::Eq:
        if (auto r = eval_eq(args[0], args[1], m)) out.push_back(std::move(*r));
        break;
      case BuiltinOp::Ne: {
        auto a = resolve_term(args[0], m.bindings);
        auto b = resolve_term(args[1], m.bindings);
        if (a && b && *a != *b) out.push_back(m);
        break;
      }
      case BuiltinOp::Lt: case BuiltinOp::Leq: case BuiltinOp::Gt: case BuiltinOp::Geq: {
        auto a = resolve_to_f64(store, args[0], m.bindings);
        auto b = resolve_to_f64(store, args[1], m.bindings);
        if (a && b && compare(op, *a, *b)) out.push_back(m);
        break;
      }
      case BuiltinOp::Between: {
        auto v = resolve_to_f64(store, args[0], m.bindings);
        auto lo = resolve_to_f64(store, args[1], m.bindings);
        auto hi = resolve_to_f64(store, args[2], m.bindings);
        if (v && lo && hi && *lo <= *v && *v <= *hi) out.push_back(m);
        break;
      }
      case BuiltinOp::Add: case BuiltinOp::Sub: case BuiltinOp::Mul: case BuiltinOp::Div:
        if (auto r = eval_arithmetic(store, op, args, m)) out.push_back(std::move(*r));
        break;
      default: {
        auto text = value_text(store, args[0], m.bindings);
        if (text && type_test(op, *text)) out.push_back(m);
        break;
      }
    }
  }
  return out;
}

}  // namespace ruvo
