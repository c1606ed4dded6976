// Goals against a temporary derived-state store: builtins, number texts,
// joins, compiled and fired rules, the constraint pass, evidence id bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ruvo_engine/src/compiler.h"
#include "ruvo_engine/src/eval.h"
#include "ruvo_engine/src/join.h"
#include "testing/test_support.h"

namespace ruvo::test {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr uint64_t kTop = ~uint64_t{0};
constexpr auto kTruthOnly = ApplicabilitySemantics::BodyTruthOnly;
constexpr auto kDiscounted = ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity;

Bindings bind_all(std::initializer_list<std::pair<std::string_view, uint64_t>> items) {
  Bindings b;
  for (const auto& [n, v] : items) b.bind(n, v);
  return b;
}

class StoreTest : public ::testing::Test {
 protected:
  uint64_t sym(std::string_view text) { return ok(store.symbols.get_or_insert(text)); }
  uint64_t pred(const std::string& name, uint64_t arity,
                AggregationMode agg = AggregationMode::Maximum,
                EvidenceMode mode = EvidenceMode::None) {
    return ok(store.registry.register_predicate(name, arity, agg, mode, {})).pred_id;
  }
  void put(uint64_t pred_id, std::vector<uint64_t> args, double b, double d = 0.0,
           std::optional<std::string> evidence = std::nullopt) {
    ok(store.upsert_atom(AtomKey{pred_id, std::move(args)}, Contribution{b, d, evidence}));
  }
  // Bindings point into a goal's terms, so goals live as long as the fixture.
  std::vector<BodyMatch> eval(CompiledGoal g, const std::vector<BodyMatch>& in = {BodyMatch{}}) {
    return eval_goal(store, goals_.emplace_back(std::move(g)), in);
  }

  // Runs "word|arg|.." on one match binding B to the symbol "42". Args: an
  // uppercase letter is a variable, "i:N" Int, "f:X" Float, "#N" a raw id,
  // "s:N" Str, else a symbol's text. Gives "no" (dropped), the new bindings
  // ("Z=3", "#N" without text) or "yes".
  std::string run(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream in(text + "|");
    for (std::string p; std::getline(in, p, '|');) parts.push_back(p);
    std::vector<Term> args;
    for (size_t i = 1; i < parts.size(); ++i) {
      const std::string& a = parts[i];
      const std::string rest = a.substr(std::min<size_t>(a.size(), a[0] == '#' ? 1 : 2));
      args.push_back(a.size() == 1 && std::isupper(static_cast<unsigned char>(a[0]))
                         ? Term::var(a)
                     : a.starts_with("i:") ? Term::integer(std::stoll(rest))
                     : a.starts_with("f:") ? Term::floating(std::strtod(rest.c_str(), nullptr))
                     : a.starts_with("#")  ? Term::constant(std::stoull(rest))
                     : a.starts_with("s:") ? Term::str(std::stoull(rest))
                                           : Term::constant(sym(a)));
    }
    const auto out = eval(BuiltinGoal{builtin_from_word(parts[0]).value(), args},
                          {BodyMatch{bind_all({{"B", sym("42")}})}});
    if (out.empty()) return "no";
    EXPECT_EQ(out.size(), 1u) << text;
    std::string bound;
    for (const auto& [name, value] : out[0].bindings.items()) {
      if (name == "B") continue;
      bound += (bound.empty() ? "" : " ") + std::string(name) + "=" +
               ok(store.symbols.get_text(value)).value_or("#" + std::to_string(value));
    }
    return bound.empty() ? "yes" : bound;
  }
  void check(std::initializer_list<std::string> cases) {
    for (const std::string& c : cases) {
      const size_t arrow = c.find(" => ");
      EXPECT_EQ(run(c.substr(0, arrow)), c.substr(arrow + 4)) << c;
    }
  }
  void check_each(const std::string& word, const std::string& result,
                  std::initializer_list<std::string> texts) {
    for (const std::string& t : texts) EXPECT_EQ(run(word + "|" + t), result) << word << " " << t;
  }
  std::vector<std::string> evidence_ids(uint64_t pred_id, std::vector<uint64_t> args) {
    const std::string prefix = encode_state_key(pred_id, args);
    std::vector<std::string> out;
    for (const auto& [k, v] : dump(store.contrib_tree(), prefix))
      out.push_back(k.substr(prefix.size() + 4));
    return out;
  }

  const RuvoStore store = ok(RuvoStore::open_temporary());

 private:
  std::deque<CompiledGoal> goals_;
};

CompiledAtom atom(uint64_t pred_id, std::vector<Term> args, bool negated = false) {
  return CompiledAtom{args, pred_id, args.size(), negated};
}

const Term X = Term::var("X"), Y = Term::var("Y"), Z = Term::var("Z");

using BuiltinsTest = StoreTest;

TEST_F(BuiltinsTest, ComparisonsArithmeticAndTypeTests) {
  // eq binds either side or compares; ne needs both sides; an Int binds its
  // raw bits; numbers, not texts, compare (3 and 3.0 are two symbols).
  check({"eq|X|B => X=42", "eq|B|X => X=42", "eq|X|Z => no", "eq|B|B => yes", "eq|B|41 => no",
         "ne|#1|#2 => yes", "ne|#1|#1 => no", "ne|X|#1 => no", "ne|#1|X => no",
         "eq|X|i:-1 => X=#18446744073709551615", "eq|3|3.0 => no", "ne|3|3.0 => yes",
         "leq|3|3.0 => yes", "geq|3|3.0 => yes", "lt|3|3.0 => no", "gt|10|9 => yes",
         "lt|i:-3|-2.5 => yes", "lt|-inf|1e308 => yes", "between|5|5|5 => yes",
         "between|7|i:5|1e1 => yes", "between|5|10|1 => no", "between|5|nan|10 => no"});
  for (const char* op : {"lt", "leq", "gt", "geq"}) {
    check_each(op, "no", {"abc|1", "nan|nan", "X|1", "#999999|1"});
  }
  // Arithmetic solves for one unknown or checks.
  check({"add|1|2|Z => Z=3", "add|X|2|5 => X=3", "add|2|Y|5 => Y=3", "sub|1|3|Z => Z=-2",
         "sub|X|3|1 => X=4", "sub|10|Y|4 => Y=6", "mul|2|Y|5 => Y=2.5", "div|1|Y|4 => Y=0.25",
         "div|1|3|Z => Z=0.3333333333333333", "add|i:2|f:0.5|Z => Z=2.5",
         "add|0.1|0.2|0.3 => yes", "add|0.1|0.2|0.30001 => no", "add|nan|1|nan => no",
         // Divisors at or below 1e-12 drop the match; solving div for X multiplies.
         "mul|X|1e-12|5 => no", "mul|X|-1e-12|5 => no", "mul|X|nan|5 => no",
         "mul|X|2e-12|5 => X=2500000000000", "div|X|0|5 => X=0", "div|1|0|Z => no",
         "div|1|Y|0 => no", "div|5|1e-12|5e12 => no", "add|X|X|4 => no", "add|X|Y|4 => no",
         "add|X|abc|4 => no", "mul|4294967296|2147483648|Z => Z=9223372036854776000",
         "mul|1e10|1e10|Z => Z=100000000000000000000", "mul|-1|0|Z => Z=0",
         "add|inf|-inf|Z => Z=NaN", "sub|2.5e-7|0|Z => Z=0.00000025"});
  // Type tests read Int and Float terms through their decimal and display texts.
  check({"int| 42  => yes", "int|\xE3\x80\x80" "42 => yes", "int|\x1C" "42 => no", "int|+42 => no",
         "float|\x1C" "2.5 => no", "entity|\x1C" "2.5 => yes", "string|\"\" => yes",
         "string|\" => no", "string| \"x\" => no", "date|d\" => yes", "date|dt\"2024\" => no",
         "datetime|dt\"2024-01-01T00:00\" => yes", "datetime|d\"x\" => no",
         "duration|dur\"PT1H\" => yes", "duration|du\"x\" => no", "duration|dur\"x => no",
         "int|f:3.0 => yes", "float|f:3.0 => no", "int|f:-0.0 => yes", "int|i:-12 => yes",
         "int|f:1e20 => yes", "float|f:nan => yes", "int|B => yes", "predicate_ref|B => no"});
  for (const char* word : {"float", "entity"}) {
    check_each(word, word[0] == 'f' ? "yes" : "no", {"4.0", "+42", " 2.5 ", "nan", "-INF"});
  }
  check_each("entity", "yes", {"", "a b", "\"", "d\"x", "p/2"});
  check_each("entity", "no", {"42", "\"x\"", "d\"x\"", "dt\"x\"", "dur\"x\""});
  check_each("predicate_ref", "yes", {"edge/2", "aB9_/123"});
  check_each("predicate_ref", "no",
             {"Edge/2", "edge/", "/2", "edge/2/3", "edge/x", "edge", "_e/1", "edge/2 "});
  for (const char* op : {"int", "string", "float", "entity", "predicate_ref", "duration"}) {
    check_each(op, "no", {"X", "#987654", "s:987654"});
  }
}

TEST_F(BuiltinsTest, MatchesKeepOrderAndWeights) {
  // A wrong argument count drops every match; filters keep the input order
  // and bindings the weights.
  const Term one = Term::constant(sym("1"));
  EXPECT_TRUE(eval(BuiltinGoal{BuiltinOp::Add, {one, one}}, {{}, {}}).empty());
  std::vector<BodyMatch> in;
  for (const char* v : {"1", "5", "3", "9"}) in.push_back({bind_all({{"X", sym(v)}}), 0.5, 0.25});
  auto out = eval(BuiltinGoal{BuiltinOp::Gt, {X, Term::constant(sym("2"))}}, in);
  out = eval(BuiltinGoal{BuiltinOp::Add, {X, one, Y}}, out);
  ASSERT_EQ(out.size(), 3u);
  const char* xy[][2] = {{"5", "6"}, {"3", "4"}, {"9", "10"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(out[i].bindings, bind_all({{"X", sym(xy[i][0])}, {"Y", sym(xy[i][1])}}));
    EXPECT_EQ(std::pair(out[i].b, out[i].d), std::pair(0.5, 0.25));
  }
}

TEST(NumberTextTest, ParsingAndDisplay) {
  const std::pair<std::string, double> parsed[] = {
      {"5.", 5}, {".5", 0.5}, {"+7", 7}, {"-.5e1", -5}, {"007", 7}, {"1e400", kInf},
      {"1e-400", 0.0}, {"1e99999999999999999999", kInf}, {"0e99999999999999999999", 0.0},
      {"0.000001e-320", 0.0}, {"4.9e-324", 5e-324}, {"9007199254740993", 9007199254740992.0},
      {"17976931348623157" + std::string(292, '0'), 1.7976931348623157e308}, {"+iNf", kInf}};
  for (const auto& [text, value] : parsed) EXPECT_EQ(parse_number(text), value) << text;
  EXPECT_TRUE(std::signbit(*parse_number("-1e-400")));
  EXPECT_TRUE(std::isnan(*parse_number("-NaN")));
  for (std::string_view bad : {"", ".", "e5", "1e+", " 1", "0x10", "1_000", "+-1", "1..2",
                               "inf1", "infinit", "nan(1)", "1e5.0", "١", "1,5", ".e1"})
    EXPECT_FALSE(parse_number(bad).has_value()) << "'" << bad << "'";
  // Integer texts: Unicode White_Space trimmed, nothing else.
  for (std::string_view yes :
       {"-007", "12345678901234567890123456789", "\t\n\v\f\r 5",
        "\xC2\x85\xE1\x9A\x80\xE2\x80\x80" "1\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"
        "\xE2\x80\xAF\xE2\x81\x9F\xC2\xA0"})
    EXPECT_TRUE(is_int_text(yes)) << yes;
  for (std::string_view no : {"", "-", "4.0", "1 2", "5\x1F", "\xE2\x80\x8B" "5",
                              "\xEF\xBB\xBF" "5", "- 5", "٣", "\xC2\xA0"})
    EXPECT_FALSE(is_int_text(no)) << no;
  EXPECT_EQ(trim_white_space("\xE3\x80\x80" "a b\xE3\x80\x80 "), "a b");
  EXPECT_EQ(number_text(-9223372036854774784.0), "-9223372036854774784");
  const std::pair<double, std::string> floats[] = {
      {1e23, "100000000000000000000000"}, {0.1 + 0.2, "0.30000000000000004"}, {-0.0, "-0"},
      {3.0, "3"}, {5e-324, "0." + std::string(323, '0') + "5"}, {-kNaN, "NaN"}, {kInf, "inf"}};
  for (const auto& [x, text] : floats) EXPECT_EQ(float_display(x), text) << x;
}

TEST(EvidenceId, BytesSortBindingsByName) {
  const std::string nul(1, '\0');
  // Values big-endian after 0x00; names order as unsigned bytes.
  EXPECT_EQ(constraint_evidence_id(7, 1, bind_all({{"X", 5}})), be({7, 1}) + "X" + nul + be({5}));
  EXPECT_EQ(
      rule_evidence_id(0, bind_all({{"_a", 4}, {"\xc3\xa9", 5}, {"Y", 3}, {"X1", 2}, {"X", 1}})),
      be({0}) + "X" + nul + be({1}) + "X1" + nul + be({2}) + "Y" + nul + be({3}) + "_a" + nul +
          be({4}) + "\xc3\xa9" + nul + be({5}));
}

using EvalTest = StoreTest;

Goal goal(std::string name, std::vector<Term> args, bool negated = false) {
  return AtomGoal{name, args.size(), negated, args};
}

TEST_F(EvalTest, CompilingGivesOneIdPerNameInFirstMentionOrder) {
  const std::vector<Rule> rules{
      {7, "p", 2, {X, Y}, {goal("e", {X, Y})}, 0.9, 0.1},
      {7, "q", 1, {X},
       {goal("p", {X, Y, Z}), goal("r", {X}, true), BuiltinGoal{BuiltinOp::Add, {X}}}, 1, 0}};
  const auto [compiled, names] = ok(compile_rules(store, rules, {}));
  // Head, then body atoms, rule by rule; negated-only names are registered,
  // builtins not; the first arity met wins, and a mention keeps its own.
  EXPECT_EQ(names, (NameMap{{"p", 1}, {"e", 2}, {"q", 3}, {"r", 4}}));
  EXPECT_EQ(ok(store.registry.get_profile(1))->arity, 2u);
  EXPECT_EQ(std::get<CompiledAtom>(compiled[1].body[0]).pred_arity, 3u);
  // Constraints register with the configuration unless registered already.
  PredConfigs configs{{"c", {{}, AggregationMode::CappedSum, EvidenceMode::ProofTree}},
                      {"p", {{}, AggregationMode::NoisyOr, EvidenceMode::PerSource}}};
  const Constraint c{3, {goal("c", {X}), goal("p", {X, Y})}, 0.5, 0.0};
  EXPECT_EQ(ok(compile_constraints(store, {c}, configs)).second, (NameMap{{"c", 5}, {"p", 1}}));
  EXPECT_EQ(ok(store.registry.get_profile(5))->evidence_mode, EvidenceMode::ProofTree);
  EXPECT_EQ(ok(store.registry.get_profile(1))->aggregation, AggregationMode::Maximum);
  EXPECT_EQ(err(compile_goal(goal("q\"\\\n", {}), {})), "UnknownPredicate(\"q\\\"\\\\\\n\")");
}

TEST_F(EvalTest, JoinTermKindsShapesAndNaN) {
  const uint64_t p = pred("p", 2), on = pred("on", 0), off = pred("off", 0);
  put(p, {1, 2}, 1.0);
  put(on, {}, 0.7);
  // Constants compare raw values, in scans and point lookups alike; another
  // argument count finds nothing; no input gives no output.
  const std::pair<CompiledAtom, size_t> cases[] = {
      {atom(p, {Term::constant(1), Y}), 1}, {atom(p, {Term::integer(1), Y}), 1},
      {atom(p, {Term::str(1), Y}), 1},      {atom(p, {Term::integer(1), Term::constant(2)}), 1},
      {atom(p, {Term::floating(1.0), Y}), 0}, {atom(p, {X, Y, Z}), 0},
      {atom(p, {Term::constant(1), Y, Z}), 0}, {atom(p, {Term::constant(1), Y, Z}, true), 1},
      {atom(p, {X}), 0}, {atom(on, {}), 1}, {atom(off, {}), 0}, {atom(off, {}, true), 1},
      {atom(on, {}, true), 0}};
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(eval(cases[i].first).size(), cases[i].second) << i;
  EXPECT_EQ(eval(atom(p, {Term::integer(1), Y})).at(0).bindings, bind_all({{"Y", 2}}));
  EXPECT_EQ(eval(atom(on, {})).at(0).b, 0.7);
  EXPECT_TRUE(eval(atom(p, {X, Y}), {}).empty() && eval(atom(p, {X, Y}, true), {}).empty());
  // A NaN b is absent to lookups and negation, but a positive scan joins it.
  const uint64_t n = pred("n", 1, AggregationMode::NoisyOr);
  put(n, {1}, kNaN);  // noisy-or spreads it into the state
  EXPECT_TRUE(eval(atom(n, {Term::constant(1)})).empty());
  EXPECT_EQ(eval(atom(n, {Term::constant(1)}, true)).size(), 1u);
  EXPECT_EQ(eval(atom(n, {X}, true)).size(), 1u);
  EXPECT_TRUE(std::isnan(eval(atom(n, {X})).at(0).b));
}

// Reference join: every row unified in turn; present means b > 1e-12.
std::vector<BodyMatch> by_full_scan(const RuvoStore& store, const CompiledAtom& g,
                                    const std::vector<BodyMatch>& in) {
  std::vector<BodyMatch> out;
  for (const auto rows = ok(store.scan_predicate(g.pred_id)); const auto& m : in) {
    bool any = false;
    for (const auto& [key, s] : rows) {
      if (g.negated ? !(s.b > 1e-12) : s.b <= 1e-12) continue;
      auto u = unify_args(m.bindings, g.args, key.args);
      if (!u || (any = true, g.negated)) continue;
      out.push_back(BodyMatch{*u, m.b * s.b, 1.0 - (1.0 - m.d) * (1.0 - s.d)});
    }
    if (g.negated && !any) out.push_back(m);
  }
  return out;
}

// Output order, repeated variables, constants, negation and weights.
TEST_F(EvalTest, JoinPrefixScanEqualsFullScan) {
  const uint64_t e = pred("e", 3);
  std::mt19937_64 rng(42);
  for (int i = 0; i < 600; ++i) {
    uint64_t a = rng() % 12, b = rng() % 6, c = rng() % 6;
    if (i % 50 == 0) a = kTop - (rng() % 2);
    put(e, {a, b, c}, (rng() % 5) * 0.25, (rng() % 3) * 0.125);
  }
  std::vector<BodyMatch> in{{bind_all({{"A", kTop}}), 1.0, 0.0}};
  for (uint64_t a : {0, 3, 11, 12, 5}) in.push_back(BodyMatch{bind_all({{"A", a}}), 0.5, 0.1});
  for (uint64_t a : {1, 2}) in.push_back(BodyMatch{bind_all({{"A", a}, {"B", 3}}), 0.9, 0.0});
  const Term A = Term::var("A"), B = Term::var("B"), C = Term::var("C"), k4 = Term::constant(4);
  for (const std::vector<Term>& shape : std::vector<std::vector<Term>>{
           {A, B, C}, {A, B, B}, {A, Term::constant(2), C}, {A, C, A}, {k4, A, C}, {C, B, A}}) {
    for (bool negated : {false, true}) {
      const CompiledAtom g{shape, e, 3, negated};
      const auto got = eval(g, in), want = by_full_scan(store, g, in);
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].bindings.items(), want[i].bindings.items()) << i;
        EXPECT_EQ(std::tie(got[i].b, got[i].d), std::tie(want[i].b, want[i].d)) << i;
      }
    }
  }
  // One unreadable row fails the whole predicate's read, for every input.
  const uint64_t q = pred("q", 2);
  put(q, {1, 10}, 0.9), put(q, {2, 20}, 0.9);
  ok(store.state_tree().insert(encode_state_key(q, std::vector<uint64_t>{2, 20}), "short"));
  const std::vector<BodyMatch> x1{BodyMatch{bind_all({{"X", 1}}), 1.0, 0.0}};
  EXPECT_TRUE(eval(atom(q, {X, Y}), x1).empty());
  EXPECT_EQ(eval(atom(q, {X, Y}, true), x1).size(), 1u);
}

TEST_F(EvalTest, ConstraintPassCountsEveryGoalPosition) {
  const uint64_t p = pred("p", 1, AggregationMode::NoisyOr, EvidenceMode::PerSource);
  const uint64_t s = pred("s", 1), w = pred("w", 1);
  put(p, {1}, 0.5, 0.0, "edb_test"), put(w, {1}, 0.5, 1.0);
  // Positions: 0 p, 1 negated s, 2 builtin, 3 p again.
  const CompiledConstraint c{{atom(p, {X}), atom(s, {X}, true),
                              BuiltinGoal{BuiltinOp::Ne, {X, Term::constant(2)}}, atom(p, {X})},
                             4, 1.0, 0.5};
  EXPECT_EQ(ok(run_constraint_pass(store, {c}, kTruthOnly)), 2u);
  // Strength 0.25, v = 0.25 twice; the constraint's d plays no part.
  const AtomState ps = ok(store.get_state(AtomKey{p, {1}}));
  EXPECT_EQ(std::pair(ps.b, ps.d), std::pair(0.5, 1 - (1 - 0.25) * (1 - 0.25)));
  const Bindings x = bind_all({{"X", 1}});
  EXPECT_EQ(evidence_ids(p, {1}),
            (std::vector<std::string>{"edb_test", constraint_evidence_id(4, 0, x),
                                      constraint_evidence_id(4, 3, x)}));  // shorter first
  // Matches without strength write nothing: discounted strength 0, an empty
  // body (its seed match has no goal to receive), v = 0 * strength.
  const CompiledConstraint weak{{atom(w, {X})}, 1, 1.0, 0.0}, empty{{}, 2, 1.0, 0.0},
      zero{{atom(w, {X})}, 3, 0.0, 1.0};
  EXPECT_EQ(ok(run_constraint_pass(store, {weak, empty}, kDiscounted)), 0u);
  EXPECT_EQ(ok(run_constraint_pass(store, {zero}, kTruthOnly)), 0u);
  EXPECT_EQ(ok(store.get_state(AtomKey{w, {1}})).d, 1.0);
}

}  // namespace
}  // namespace ruvo::test
