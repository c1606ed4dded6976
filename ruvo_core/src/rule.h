// Goals, rules and constraints with their record encodings, and the
// compiled (predicate-id) forms the engine evaluates.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/types.h"

namespace ruvo {

enum class BuiltinOp : uint8_t {
  Eq = 0, Ne, Lt, Leq, Gt, Geq, Add, Sub, Mul, Div, Between,
  Int, String, Float, Entity, PredicateRef, Date, Datetime, Duration,
};
inline constexpr uint32_t kBuiltinOpCount = 19;

// The one table of builtin words, indexed by BuiltinOp.
extern const std::array<std::string_view, kBuiltinOpCount> kBuiltinWords;
inline std::string_view builtin_word(BuiltinOp op) { return kBuiltinWords[static_cast<size_t>(op)]; }
// Exact, case-sensitive search of the words table.
std::optional<BuiltinOp> builtin_from_word(std::string_view word);

struct AtomGoal {
  std::string pred_name;
  uint64_t pred_arity = 0;
  bool negated = false;
  std::vector<Term> args;
  bool operator==(const AtomGoal&) const = default;
};

struct BuiltinGoal {
  BuiltinOp op = BuiltinOp::Eq;
  std::vector<Term> args;
  bool operator==(const BuiltinGoal&) const = default;
};

// Variant index 0 Atom, 1 Builtin (as stored).
using Goal = std::variant<AtomGoal, BuiltinGoal>;

struct Rule {
  uint64_t id = 0;
  std::string head_pred_name;
  uint64_t head_pred_arity = 0;
  std::vector<Term> head_args;
  std::vector<Goal> body;
  double b = 0.0;
  double d = 0.0;
};

struct Constraint {
  uint64_t id = 0;
  std::vector<Goal> body;
  double b = 0.0;
  double d = 0.0;
};

// Compiled forms: predicate names replaced by predicate ids. Never stored.
struct CompiledAtom {
  std::vector<Term> args;
  uint64_t pred_id = 0;
  uint64_t pred_arity = 0;
  bool negated = false;
  bool operator==(const CompiledAtom&) const = default;
};
using CompiledGoal = std::variant<CompiledAtom, BuiltinGoal>;

struct CompiledRule {
  std::vector<Term> head_args;
  std::vector<CompiledGoal> body;
  uint64_t id = 0;
  uint64_t head_pred_id = 0;
  uint64_t head_pred_arity = 0;
  double b = 0.0;
  double d = 0.0;
};

struct CompiledConstraint {
  std::vector<CompiledGoal> body;
  uint64_t id = 0;
  double b = 0.0;
  double d = 0.0;
};

// ---- Record encodings (bit for bit: NaN weights keep their payload) ----
size_t goal_size(const Goal& g);
void write_goal(bincode::Writer& w, const Goal& g);
bincode::Result<Goal> read_goal(bincode::Reader& r);

size_t rule_size(const Rule& r);
void write_rule(bincode::Writer& w, const Rule& r);
bincode::Result<Rule> read_rule(bincode::Reader& r);

size_t constraint_size(const Constraint& c);
void write_constraint(bincode::Writer& w, const Constraint& c);
bincode::Result<Constraint> read_constraint(bincode::Reader& r);

// Whole-record helpers (exact-length buffer; trailing bytes ignored).
std::string encode_rule(const Rule& r);
bincode::Result<Rule> decode_rule(std::string_view bytes);
std::string encode_constraint(const Constraint& c);
bincode::Result<Constraint> decode_constraint(std::string_view bytes);

}  // namespace ruvo
