#include "ruvo_engine/src/join.h"

#include "ruvo_engine/src/eval.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>
#include <tuple>

namespace ruvo {

// ---- Bindings and terms ----

bool Bindings::operator==(const Bindings& o) const {
  // Names are unique within one set, so equal sizes plus inclusion suffice.
  if (items_.size() != o.items_.size()) return false;
  for (const auto& [name, value] : items_) {
    auto other = o.get(name);
    if (!other || *other != value) return false;
  }
  return true;
}

std::optional<uint64_t> resolve_term(const Term& term, const Bindings& bindings) {
  // Const and Str hold symbol ids, Int and Float their raw 64 bits: the
  // stored value is the resolved value for every kind but a variable.
  if (term.kind == Term::Kind::Var) return bindings.get(term.name);
  return term.value;
}

std::optional<std::vector<uint64_t>> resolve_args(std::span<const Term> terms,
                                                  const Bindings& bindings) {
  std::vector<uint64_t> out;
  out.reserve(terms.size());
  for (const Term& t : terms) {
    auto v = resolve_term(t, bindings);
    if (!v) return std::nullopt;
    out.push_back(*v);
  }
  return out;
}

std::optional<Bindings> unify_args(const Bindings& bindings, std::span<const Term> terms,
                                   std::span<const uint64_t> values) {
  if (terms.size() != values.size()) return std::nullopt;
  Bindings out;
  out.reserve(bindings.size() + terms.size());
  for (const auto& [name, value] : bindings.items()) out.bind(name, value);
  for (size_t i = 0; i < terms.size(); ++i) {
    const Term& t = terms[i];
    if (t.kind != Term::Kind::Var) {
      if (t.value != values[i]) return std::nullopt;
    } else if (auto bound = out.get(t.name)) {
      if (*bound != values[i]) return std::nullopt;
    } else {
      out.bind(t.name, values[i]);
    }
  }
  return out;
}

std::optional<double> resolve_to_f64(const RuvoStore& store, const Term& term,
                                     const Bindings& bindings) {
  switch (term.kind) {
    case Term::Kind::Int:
      return static_cast<double>(term.as_int());
    case Term::Kind::Float:
      return term.as_float();
    default:
      break;
  }
  auto id = resolve_term(term, bindings);
  if (!id) return std::nullopt;
  auto text = store.symbols.get_text(*id);
  if (!text || !*text) return std::nullopt;
  return parse_number(**text);
}

// ---- Number texts ----

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

// Length of the White_Space character that starts `s`, 0 when none does.
size_t white_space_prefix(std::string_view s) {
  if (s.empty()) return 0;
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(0);
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20) return 1;
  if (c == 0xC2 && s.size() >= 2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
  if (s.size() < 3) return 0;
  if (c == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;                  // U+1680
  if (c == 0xE2 && b(1) == 0x80) {
    unsigned char t = b(2);
    if ((t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF) return 3;
  }                                                                          // U+2000-200A, 2028, 2029, 202F
  if (c == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;                  // U+205F
  if (c == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;                  // U+3000
  return 0;
}

// Length of the White_Space character that ends `s`, 0 when none does. In
// UTF-8 a tail that spells a complete character is that character, since
// its first byte cannot be a continuation byte.
size_t white_space_suffix(std::string_view s) {
  for (size_t len = 1; len <= 3 && len <= s.size(); ++len) {
    if (white_space_prefix(s.substr(s.size() - len)) == len) return len;
  }
  return 0;
}

// Decides an out-of-range decimal: infinity when its leading digit stands at
// or above the units place (overflow), zero otherwise (underflow).
double out_of_range_value(std::string_view body) {
  size_t i = 0;
  long long lead_exp = 0;  // decimal exponent of the first non-zero digit
  bool found = false;
  long long int_digits = 0;
  while (i < body.size() && is_digit(body[i])) {
    if (!found && body[i] != '0') { found = true; lead_exp = int_digits; }
    ++int_digits;
    ++i;
  }
  if (found) lead_exp = int_digits - 1 - lead_exp;
  if (i < body.size() && body[i] == '.') {
    ++i;
    long long k = 0;
    while (i < body.size() && is_digit(body[i])) {
      if (!found && body[i] != '0') { found = true; lead_exp = -(k + 1); }
      ++k;
      ++i;
    }
  }
  if (!found) return 0.0;
  long long exp = 0;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    bool neg = false;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) { neg = body[i] == '-'; ++i; }
    while (i < body.size()) {
      if (exp < 1'000'000'000) exp = exp * 10 + (body[i] - '0');
      ++i;
    }
    if (neg) exp = -exp;
  }
  return lead_exp + exp >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

}  // namespace

std::optional<double> parse_number(std::string_view text) {
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  auto sign = [&](double v) { return negative ? -v : v; };
  if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity"))
    return sign(std::numeric_limits<double>::infinity());
  if (equals_ignoring_case(body, "nan")) return sign(std::numeric_limits<double>::quiet_NaN());

  // Check the grammar ourselves; from_chars then only converts.
  size_t i = 0, n = body.size();
  size_t int_digits = 0, frac_digits = 0;
  while (i < n && is_digit(body[i])) { ++i; ++int_digits; }
  if (i < n && body[i] == '.') {
    ++i;
    while (i < n && is_digit(body[i])) { ++i; ++frac_digits; }
  }
  if (int_digits == 0 && frac_digits == 0) return std::nullopt;
  if (i < n && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < n && (body[i] == '+' || body[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < n && is_digit(body[i])) { ++i; ++exp_digits; }
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != n) return std::nullopt;

  double value = 0.0;
  auto r = std::from_chars(body.data(), body.data() + n, value, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) return sign(out_of_range_value(body));
  if (r.ec != std::errc() || r.ptr != body.data() + n) return std::nullopt;
  return sign(value);
}

std::string_view trim_white_space(std::string_view text) {
  while (size_t k = white_space_prefix(text)) text.remove_prefix(k);
  while (size_t k = white_space_suffix(text)) text.remove_suffix(k);
  return text;
}

bool is_int_text(std::string_view text) {
  std::string_view t = trim_white_space(text);
  if (!t.empty() && t[0] == '-') t.remove_prefix(1);
  if (t.empty()) return false;
  for (char c : t)
    if (!is_digit(c)) return false;
  return true;
}

std::string float_display(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";

  // The shortest round-trip digits come from the scientific form
  // d[.ddd]e±XX; the positional layout is ours (fixed notation would print
  // the exact binary value of large integers, not the shortest digits).
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
  size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos))
    if (c != '.') digits.push_back(c);
  int exp = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text[0] == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);

  std::string out;
  if (std::signbit(x)) out.push_back('-');
  const int n = static_cast<int>(digits.size());
  if (exp >= n - 1) {
    out += digits;
    out.append(static_cast<size_t>(exp - (n - 1)), '0');
  } else if (exp >= 0) {
    out.append(digits, 0, static_cast<size_t>(exp + 1));
    out.push_back('.');
    out.append(digits, static_cast<size_t>(exp + 1));
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out += digits;
  }
  return out;
}

std::string number_text(double r) {
  if (r == std::floor(r) && std::fabs(r) < 9223372036854775808.0)
    return std::to_string(static_cast<int64_t>(r));
  return float_display(r);
}

// ---- Atom goals ----

namespace {

// How one argument of an atom goal meets a row under a given input match:
// a known value, the value of an earlier position (a repeated unbound
// variable), or free (binds the variable). Working out this plan once per
// input match lets every row be tested with integer compares alone, so a
// row that fails costs no allocation; a row that passes gives exactly the
// bindings unify_args would.
struct ArgPlan {
  enum class Kind : uint8_t { Known, SameAs, Free };
  Kind kind;
  uint64_t value;       // Known: the value; SameAs: the earlier position
  std::string_view name;  // Free: the variable
};

struct AtomPlan {
  std::vector<ArgPlan> args;
  std::vector<uint64_t> leading;  // values of the leading Known positions
  size_t free_count = 0;
  bool all_known = false;

  void build(const std::vector<Term>& terms, const Bindings& bindings) {
    args.clear();
    leading.clear();
    free_count = 0;
    bool in_prefix = true;
    for (size_t i = 0; i < terms.size(); ++i) {
      const Term& t = terms[i];
      ArgPlan p{ArgPlan::Kind::Known, 0, {}};
      if (t.kind != Term::Kind::Var) {
        p.value = t.value;
      } else if (auto v = bindings.get(t.name)) {
        p.value = *v;
      } else {
        p.kind = ArgPlan::Kind::Free;
        p.name = t.name;
        for (size_t j = 0; j < i; ++j) {
          if (args[j].kind == ArgPlan::Kind::Free && args[j].name == t.name) {
            p.kind = ArgPlan::Kind::SameAs;
            p.value = j;
            break;
          }
        }
        if (p.kind == ArgPlan::Kind::Free) ++free_count;
      }
      if (p.kind != ArgPlan::Kind::Known) in_prefix = false;
      if (in_prefix) leading.push_back(p.value);
      args.push_back(p);
    }
    all_known = leading.size() == terms.size();
  }

  bool matches(std::span<const uint64_t> row) const {
    if (row.size() != args.size()) return false;
    for (size_t i = 0; i < args.size(); ++i) {
      const ArgPlan& p = args[i];
      switch (p.kind) {
        case ArgPlan::Kind::Known:
          if (row[i] != p.value) return false;
          break;
        case ArgPlan::Kind::SameAs:
          if (row[i] != row[p.value]) return false;
          break;
        case ArgPlan::Kind::Free:
          break;
      }
    }
    return true;
  }

  // REQUIRES: matches(row).
  Bindings extend(const Bindings& base, std::span<const uint64_t> row) const {
    Bindings out;
    out.reserve(base.size() + free_count);
    for (const auto& [name, value] : base.items()) out.bind(name, value);
    for (size_t i = 0; i < args.size(); ++i)
      if (args[i].kind == ArgPlan::Kind::Free) out.bind(args[i].name, row[i]);
    return out;
  }
};

// The rows [first, last) of `rows` (in key order) whose arguments begin
// with `leading`.
std::pair<size_t, size_t> rows_with_prefix(const ScanRows& rows,
                                           std::span<const uint64_t> leading) {
  size_t lo = 0, hi = rows.size();
  while (lo < hi) {  // first row not below `leading`
    const size_t mid = lo + (hi - lo) / 2;
    const auto a = rows.row(mid);
    if (std::lexicographical_compare(a.begin(), a.end(), leading.begin(), leading.end())) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const size_t first = lo;
  hi = rows.size();
  while (lo < hi) {  // first row from `first` on not beginning with `leading`
    const size_t mid = lo + (hi - lo) / 2;
    const auto a = rows.row(mid);
    if (a.size() >= leading.size() && std::equal(leading.begin(), leading.end(), a.begin())) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return {first, lo};
}

bool present(double b) { return b > kPresenceThreshold; }

void join_row(const BodyMatch& m, const AtomState& s, Bindings bindings,
              std::vector<BodyMatch>& out) {
  const JoinedEvidence e = join_evidence(m.b, m.d, s.b, s.d);
  out.push_back(BodyMatch{std::move(bindings), e.b, e.d});
}

std::vector<BodyMatch> eval_atom(const RuvoStore& store, const CompiledAtom& goal,
                                 const std::vector<BodyMatch>& matches) {
  std::vector<BodyMatch> out;
  AtomPlan plan;
  plan.args.reserve(goal.args.size());
  plan.leading.reserve(goal.args.size());
  // Nothing writes atom states while a goal is evaluated, so the whole
  // predicate read once serves every input match that needs it. It is read
  // whole even when leading arguments are bound: one unreadable row makes
  // the read fail, and then no input match sees any row, wherever that row
  // sits in key order.
  ScanRows full_scan;
  bool scanned = false;

  for (const BodyMatch& m : matches) {
    // Partial output is fine once a stop is requested: the caller checks
    // before it writes anything and then discards the matches.
    if (interrupt_requested()) break;
    plan.build(goal.args, m.bindings);

    if (plan.all_known) {
      auto st = store.get_state(goal.pred_id, plan.leading);
      AtomState s = st ? *st : AtomState{};
      if (goal.negated) {
        if (!present(s.b)) out.push_back(m);
      } else if (present(s.b)) {
        join_row(m, s, m.bindings, out);
      }
      continue;
    }

    if (!scanned) {
      // A failed read leaves the rows empty.
      (void)store.scan_predicate_into(goal.pred_id, full_scan);
      scanned = true;
    }
    // Rows in ascending key order, that is by arguments compared as
    // unsigned numbers, first argument first. The rows sharing the bound
    // leading arguments are one run of them; every row outside it fails
    // plan.matches at a leading position.
    size_t first = 0, last = full_scan.size();
    if (!plan.leading.empty()) std::tie(first, last) = rows_with_prefix(full_scan, plan.leading);

    if (goal.negated) {
      bool defeated = false;
      for (size_t i = first; i < last; ++i) {
        if (present(full_scan.states[i].b) && plan.matches(full_scan.row(i))) {
          defeated = true;
          break;
        }
      }
      if (!defeated) out.push_back(m);
    } else {
      for (size_t i = first; i < last; ++i) {
        if (interrupt_requested()) break;
        const AtomState& s = full_scan.states[i];
        if (s.b <= kPresenceThreshold) continue;  // a NaN b is joined
        const auto row = full_scan.row(i);
        if (!plan.matches(row)) continue;
        join_row(m, s, plan.extend(m.bindings, row), out);
      }
    }
  }
  return out;
}

}  // namespace

std::vector<BodyMatch> eval_goal(const RuvoStore& store, const CompiledGoal& goal,
                                 const std::vector<BodyMatch>& matches) {
  if (const auto* atom = std::get_if<CompiledAtom>(&goal)) return eval_atom(store, *atom, matches);
  const auto& builtin = std::get<BuiltinGoal>(goal);
  return eval_builtin(store, builtin.op, builtin.args, matches);
}

}  // namespace ruvo
