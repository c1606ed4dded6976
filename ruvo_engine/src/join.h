// Body-goal evaluation: joins of atom goals against the derived state,
// negation, builtins, and the term helpers they share.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ruvo_core/src/rule.h"
#include "ruvo_core/src/types.h"
#include "ruvo_idb/src/store.h"

namespace ruvo {

// Variable bindings of one partial solution: a small flat list of
// (name, value). Names point into the terms of the compiled rule or
// constraint being evaluated, which outlive every match made from them.
class Bindings {
 public:
  std::optional<uint64_t> get(std::string_view name) const {
    for (const auto& [n, v] : items_)
      if (n == name) return v;
    return std::nullopt;
  }
  // REQUIRES: name is not bound yet.
  void bind(std::string_view name, uint64_t value) { items_.emplace_back(name, value); }
  void reserve(size_t n) { items_.reserve(n); }
  const std::vector<std::pair<std::string_view, uint64_t>>& items() const { return items_; }
  size_t size() const { return items_.size(); }
  bool operator==(const Bindings& o) const;  // same set of bindings

 private:
  std::vector<std::pair<std::string_view, uint64_t>> items_;
};

// One partial solution of a body. The seed match has no bindings, b 1, d 0.
struct BodyMatch {
  Bindings bindings;
  double b = 1.0;
  double d = 0.0;
};

// Value of a term under bindings: symbol id, or raw 64 bits of Int/Float;
// nullopt for an unbound variable.
std::optional<uint64_t> resolve_term(const Term& term, const Bindings& bindings);
// All terms resolved in order; nullopt at the first unbound variable.
std::optional<std::vector<uint64_t>> resolve_args(std::span<const Term> terms,
                                                  const Bindings& bindings);
// The bindings extended so that each term matches the value at its position.
std::optional<Bindings> unify_args(const Bindings& bindings, std::span<const Term> terms,
                                   std::span<const uint64_t> values);
// Numeric value: Int/Float directly, otherwise the symbol's text parsed as a
// number. nullopt when unbound, unknown, unreadable or not a number.
std::optional<double> resolve_to_f64(const RuvoStore& store, const Term& term,
                                     const Bindings& bindings);

// Optional sign, then digits with optional point and exponent, or
// inf/infinity/nan in any case. No blanks.
std::optional<double> parse_number(std::string_view text);
// The text without characters of the Unicode White_Space property at either
// end (UTF-8; digits and everything else stay).
std::string_view trim_white_space(std::string_view text);
// Trimmed (Unicode White_Space) text is an optional "-" and ASCII digits.
bool is_int_text(std::string_view text);
// Shortest round-trip digits laid out positionally; "NaN", "inf", "-inf".
std::string float_display(double x);
// Integral results below 2^63 in magnitude as integers, else float_display.
std::string number_text(double r);

// Evaluates one goal over the input matches. Never fails: store errors read
// as absent atoms / empty predicates.
std::vector<BodyMatch> eval_goal(const RuvoStore& store, const CompiledGoal& goal,
                                 const std::vector<BodyMatch>& matches);
// The builtin part of eval_goal.
std::vector<BodyMatch> eval_builtin(const RuvoStore& store, BuiltinOp op,
                                    std::span<const Term> args,
                                    const std::vector<BodyMatch>& matches);

}  // namespace ruvo
