// Whole-program tests: small programs with facts, rules and constraints,
// materialised through EngineSession, checked against hand-computed states
// and statistics. Each case is a script of directives run top to bottom;
// checks ("=>" or "=") compare the rendered result with the text after it:
//
//   config NAME AGG EVMODE          AGG Maximum|NoisyOr|CappedSum, EVMODE None|PerSource|ProofTree
//   semantics RULE CONSTRAINT       each truth|discounted
//   branch NAME                     following events go to this branch (default "main")
//   fact ATOM [B [D]]               default 1 0; ATOM is name[/arity](terms)
//   rule ID HEAD [:- GOALS] [@ B D] default weights 1 0
//   constraint ID :- GOALS [@ B D]
//   retract EVENT_ID
//   materialize [DEPTH] => iterations I atoms_changed A | error TEXT
//   state ATOM = B D                get_atom_state
//   query NAME => (args) B D STATUS | ...   query_all rows in order ("none" for no rows)
//   watermark = none|edb|N          the branch's IDB watermark ("edb": equal to the EDB's)
//
// Weights render with 12 significant digits, NaN as "nan". Terms starting
// with an uppercase letter or "_" are variables; anything else is a symbol,
// interned on first sight (so symbols order by appearance). A goal is "!"
// for negation, then an atom, or a builtin word with arguments.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ruvo_engine/src/session.h"
#include "testing/test_support.h"

namespace ruvo {
namespace {

using test::ok;

std::string trim(std::string_view s) {
  const size_t a = s.find_first_not_of(" \t");
  return a == std::string_view::npos ? ""
                                     : std::string(s.substr(a, s.find_last_not_of(" \t") - a + 1));
}

// Splits at `sep` outside parentheses.
std::vector<std::string> split_top(std::string_view s, char sep) {
  std::vector<std::string> out;
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && s[i] == '(') ++depth;
    if (i < s.size() && s[i] == ')') --depth;
    if (i == s.size() || (s[i] == sep && depth == 0)) {
      out.push_back(trim(s.substr(start, i - start)));
      start = i + 1;
    }
  }
  if (out.size() == 1 && out[0].empty()) out.clear();
  return out;
}

std::string weight(double x) {
  if (std::isnan(x)) return "nan";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.12g", x + 0.0);  // + 0.0: no "-0"
  return buf;
}

template <class T>
T parse_word(const std::map<std::string, T>& words, const std::string& s) {
  auto it = words.find(s);
  EXPECT_NE(it, words.end()) << "unknown word " << s;
  return it == words.end() ? T{} : it->second;
}
const std::map<std::string, AggregationMode> kAggregations = {
    {"Maximum", AggregationMode::Maximum},
    {"NoisyOr", AggregationMode::NoisyOr},
    {"CappedSum", AggregationMode::CappedSum}};
const std::map<std::string, EvidenceMode> kModes = {{"None", EvidenceMode::None},
                                                    {"PerSource", EvidenceMode::PerSource},
                                                    {"ProofTree", EvidenceMode::ProofTree}};
const std::map<std::string, ApplicabilitySemantics> kKnobs = {
    {"truth", ApplicabilitySemantics::BodyTruthOnly},
    {"discounted", ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity}};

class Runner {
 public:
  void run(const std::string& script) {
    std::istringstream in(script);
    int n = 0;
    for (std::string line; std::getline(in, line);) {
      ++n;
      line = trim(line);
      if (line.empty() || line[0] == '#') continue;
      SCOPED_TRACE("line " + std::to_string(n) + ": " + line);
      step(line);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }

 private:
  struct Atom {
    std::string name;
    uint64_t arity = 0;
    bool negated = false;
    std::vector<Term> args;
    std::vector<uint64_t> values() const {
      std::vector<uint64_t> v;
      for (const Term& t : args) v.push_back(t.value);
      return v;
    }
  };

  Term term(const std::string& t) {
    if (!t.empty() && (std::isupper(static_cast<unsigned char>(t[0])) || t[0] == '_'))
      return Term::var(t);
    return Term::constant(ok(session_.intern(t)));
  }

  Atom atom(std::string s) {
    Atom a;
    if (s.starts_with("!")) {
      a.negated = true;
      s = trim(s.substr(1));
    }
    const size_t open = s.find('(');
    const std::string head = trim(s.substr(0, open));
    if (open != std::string::npos) {
      for (const auto& p : split_top(s.substr(open + 1, s.rfind(')') - open - 1), ','))
        a.args.push_back(term(p));
    }
    const size_t slash = head.find('/');
    a.name = head.substr(0, slash);
    a.arity = slash == std::string::npos ? a.args.size() : std::stoull(head.substr(slash + 1));
    return a;
  }

  Goal goal(const std::string& s) {
    Atom a = atom(s);
    if (!a.negated && s.find('/') == std::string::npos) {
      if (auto op = builtin_from_word(a.name)) return BuiltinGoal{*op, a.args};
    }
    return AtomGoal{a.name, a.arity, a.negated, a.args};
  }

  std::vector<Goal> body(const std::string& s) {
    std::vector<Goal> out;
    for (const auto& g : split_top(s, ',')) out.push_back(goal(g));
    return out;
  }

  // "ID HEAD :- GOALS @ B D": id, weights (default 1 0), head and body texts.
  struct Clause {
    uint64_t id = 0;
    double b = 1.0, d = 0.0;
    std::string head, body;
  };
  static Clause clause(const std::string& rest) {
    Clause c;
    c.id = std::stoull(rest);
    std::string text = trim(rest.substr(rest.find(' ')));
    if (const size_t at = text.rfind('@'); at != std::string::npos) {
      std::istringstream(text.substr(at + 1)) >> c.b >> c.d;
      text = trim(text.substr(0, at));
    }
    const size_t arrow = text.find(":-");
    c.head = trim(text.substr(0, arrow));
    if (arrow != std::string::npos) c.body = trim(text.substr(arrow + 2));
    return c;
  }

  // An atom followed by words: "p(a, b) 0.5 0" -> the atom and {"0.5", "0"}.
  std::pair<Atom, std::vector<std::string>> atom_and_words(const std::string& s) {
    const size_t close = s.find(')');
    std::vector<std::string> words;
    std::istringstream in(s.substr(close + 1));
    for (std::string w; in >> w;) words.push_back(w);
    return {atom(s.substr(0, close + 1)), words};
  }

  std::string materialize(const std::string& depth) {
    auto r = session_.materialize_with_options(
        branch_, depth.empty() ? std::nullopt : std::optional<uint64_t>(std::stoull(depth)));
    if (!r) return "error " + r.error().debug();
    return "iterations " + std::to_string(r->iterations) + " atoms_changed " +
           std::to_string(r->atoms_changed);
  }

  std::string query(const std::string& name) {
    std::string out;
    for (const PredicateAnswer& row : ok(session_.query_all(name))) {
      out += out.empty() ? "(" : " | (";
      for (size_t i = 0; i < row.args.size(); ++i) {
        out += (i ? "," : "") + ok(session_.idb.symbols.get_text(row.args[i])).value_or("?");
      }
      out +=
          ") " + weight(row.b) + " " + weight(row.d) + " " + std::string(belnap_text(row.status));
    }
    return out.empty() ? "none" : out;
  }

  void step(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, w1, w2, w3;
    in >> cmd;
    const std::string rest = trim(line.substr(cmd.size()));
    const size_t check = rest.find(cmd == "state" || cmd == "watermark" ? "=" : "=>");
    const std::string subject = trim(rest.substr(0, check));
    const std::string expected =
        check == std::string::npos ? "" : trim(rest.substr(rest.find(' ', check) + 1));
    if (cmd == "config") {
      in >> w1 >> w2 >> w3;
      session_.configure_predicate(w1, parse_word(kAggregations, w2), parse_word(kModes, w3));
    } else if (cmd == "semantics") {
      in >> w1 >> w2;
      session_.rule_applicability = parse_word(kKnobs, w1);
      session_.constraint_applicability = parse_word(kKnobs, w2);
    } else if (cmd == "branch") {
      in >> branch_;
    } else if (cmd == "fact") {
      auto [a, words] = atom_and_words(rest);
      words.resize(2);
      ok(session_.edb.assert_fact(branch_, a.name, a.arity, a.values(),
                                  words[0].empty() ? 1.0 : std::stod(words[0]),
                                  words[1].empty() ? 0.0 : std::stod(words[1]), std::nullopt));
    } else if (cmd == "rule") {
      const Clause c = clause(rest);
      const Atom h = atom(c.head);
      ok(session_.edb.add_rule(branch_,
                               Rule{c.id, h.name, h.arity, h.args, body(c.body), c.b, c.d}));
    } else if (cmd == "constraint") {
      const Clause c = clause(rest);
      ok(session_.edb.add_constraint(branch_, Constraint{c.id, body(c.body), c.b, c.d}));
    } else if (cmd == "retract") {
      ok(session_.edb.retract_fact(branch_, std::stoull(rest)));
    } else if (cmd == "materialize") {
      EXPECT_EQ(materialize(subject), expected);
    } else if (cmd == "state") {
      const AtomState s = ok(session_.get_atom_state(atom(subject).name, atom(subject).values()));
      EXPECT_EQ(weight(s.b) + " " + weight(s.d), expected);
    } else if (cmd == "query") {
      EXPECT_EQ(query(subject), expected);
    } else if (cmd == "watermark") {
      const auto wm = ok(session_.idb_watermark(branch_));
      EXPECT_EQ(!wm                                   ? "none"
                : *wm == ok(session_.edb_watermark()) ? "edb"
                                                      : std::to_string(*wm),
                expected);
    } else {
      FAIL() << "unknown directive " << cmd;
    }
  }

  EngineSession session_ = ok(EngineSession::open_temporary());
  std::string branch_ = "main";
};

struct Program {
  const char* name;
  const char* script;
};
void PrintTo(const Program& p, std::ostream* os) { *os << p.name; }

// Statistics below are counted by hand: `iterations` is the number of passes
// over components that head a rule; `atoms_changed` counts every upsert (from
// the constraint pass or a firing) that moved its atom's state.
const Program kPrograms[] = {{"TransitiveClosureOverChain", R"(
fact edge(a, b)
fact edge(b, c)
fact edge(c, d)
rule 1 path(X, Y) :- edge(X, Y)
rule 2 path(X, Z) :- edge(X, Y), path(Y, Z)
# pass 1: rule 1 gives ab bc cd, rule 2 already sees them: ac bd (5)
# pass 2: ad (1); pass 3 changes nothing
materialize => iterations 3 atoms_changed 6
query path => (a,b) 1 0 True | (a,c) 1 0 True | (a,d) 1 0 True | (b,c) 1 0 True | (b,d) 1 0 True | (c,d) 1 0 True
state path(d, a) = 0 0
watermark = edb
# Maximum states: a second run settles in one pass
materialize => iterations 1 atoms_changed 0
)"},
                             {"TransitiveClosureWithCycle", R"(
fact edge(a, b) 0.5 0
fact edge(b, a) 0.5 0
rule 1 path(X, Y) :- edge(X, Y)
rule 2 path(X, Z) :- path(X, Y), path(Y, Z)
# pass 1: ab ba (0.5); rule 2 over them: aa bb at 0.25 (4)
# pass 2: rule 2 again reaches only weaker or equal evidence (0)
materialize => iterations 2 atoms_changed 4
query path => (a,a) 0.25 0 True | (a,b) 0.5 0 True | (b,a) 0.5 0 True | (b,b) 0.25 0 True
)"},
                             {"NegationFollowsComponentOrder", R"(
fact node(a)
fact node(b)
fact node(c)
fact edge(a, b)
# Listed against dependency order on purpose: components decide, not input order.
rule 1 ok(X) :- node(X), !unreached(X)
rule 2 unreached(X) :- node(X), !reach(X)
rule 3 reach(X) :- edge(X, Y)
materialize => iterations 3 atoms_changed 4
query reach => (a) 1 0 True
query unreached => (b) 1 0 True | (c) 1 0 True
query ok => (a) 1 0 True
)"},
                             {"ConstraintAddsEvidenceAgainst", R"(
fact p(a) 0.8 0
fact q(a) 0.5 0
fact q(b) 0.5 0
constraint 1 :- p(X), q(X) @ 0.5 0.9
# one violation, strength 0.8 * 0.5 = 0.4, v = 0.5 * 0.4; the constraint's d is unused
materialize => iterations 0 atoms_changed 2
query p => (a) 0.8 0.2 Both
query q => (a) 0.5 0.2 Both | (b) 0.5 0 True
# the second run sees d 0.2 on both atoms: strength 0.4 * 0.64, weaker than before
materialize => iterations 0 atoms_changed 0
state p(a) = 0.8 0.2
)"},
                             {"ConstraintPositionsAndNegation", R"(
fact r(a) 1 0
fact r(b) 1 0
fact s(b) 1 0
# only r receives evidence: s is negated and ne is a builtin
constraint 1 :- r(X), !s(X), ne(X, c) @ 0.5 0
materialize => iterations 0 atoms_changed 1
query r => (a) 1 0.5 Both | (b) 1 0 True
query s => (b) 1 0 True
)"},
                             {"ConstraintWithoutPositiveWeightWritesNothing", R"(
fact p(a) 1 0
constraint 1 :- p(X) @ 0 1
constraint 2 :- p(X) @ -1 1
materialize => iterations 0 atoms_changed 0
state p(a) = 1 0
)"},
                             {"ConstraintPassRunsBeforeRules", R"(
fact e(a) 1 0
rule 1 p(X) :- e(X)
constraint 1 :- p(X) @ 1 0
# the constraint sees no p yet
materialize => iterations 1 atoms_changed 1
state p(a) = 1 0
# now it sees p(a) derived by the first run
materialize => iterations 1 atoms_changed 1
state p(a) = 1 1
)"},
                             {"AggregationAndEvidenceModesRematerialised", R"(
config n NoisyOr None
config s NoisyOr PerSource
config t NoisyOr ProofTree
config c CappedSum None
config cs CappedSum PerSource
config np NoisyOr PerSource
config nn NoisyOr None
config cn CappedSum None
fact p(a) 0.5 0
fact n(a) 0.5 0
fact s(a) 0.5 0
fact t(a) 0.5 0
fact c(a) 0.4 0
fact cs(a) 0.4 0
rule 1 np(X) :- p(X) @ 0.5 0
rule 2 nn(X) :- p(X) @ 0.5 0
rule 3 cn(X) :- p(X) @ 0.5 0
materialize => iterations 3 atoms_changed 3
state p(a) = 0.5 0
state n(a) = 0.5 0
state s(a) = 0.5 0
state t(a) = 0.5 0
state c(a) = 0.4 0
state cs(a) = 0.4 0
state np(a) = 0.25 0
state nn(a) = 0.25 0
state cn(a) = 0.25 0
# per-source and Maximum states stay; None folds the same evidence in again
materialize => iterations 3 atoms_changed 2
state p(a) = 0.5 0
state n(a) = 0.75 0
state s(a) = 0.5 0
state t(a) = 0.5 0
state c(a) = 0.8 0
state cs(a) = 0.4 0
state np(a) = 0.25 0
state nn(a) = 0.4375 0
state cn(a) = 0.5 0
materialize => iterations 3 atoms_changed 2
state n(a) = 0.875 0
state c(a) = 1 0
state nn(a) = 0.578125 0
state cn(a) = 0.75 0
)"},
                             {"DuplicateFactsCombineByAggregation", R"(
config n NoisyOr PerSource
fact n(a) 0.5 0
fact n(a) 0.5 0
materialize => iterations 0 atoms_changed 0
state n(a) = 0.75 0
materialize => iterations 0 atoms_changed 0
state n(a) = 0.75 0
)"},
                             {"StrengthKnobsAndClamping", R"(
fact p(a) 0.8 0.5
fact big(a) 1.5 0
rule 1 q(X) :- p(X)
rule 2 w(X) :- big(X) @ 0.5 0.5
materialize => iterations 2 atoms_changed 2
state q(a) = 0.4 0
state w(a) = 0.5 0.5
semantics truth discounted
materialize => iterations 2 atoms_changed 1
state q(a) = 0.8 0
)"},
                             {"EmptyBodyAndUnboundHead", R"(
rule 1 fixed(a) @ 0.7 0.2
rule 2 loose(X, Y) :- fixed(X)
rule 3 neg(X) :- !fixed(X)
materialize => iterations 3 atoms_changed 1
query fixed => (a) 0.7 0.2 Both
query loose => none
query neg => none
)"},
                             {"NonRecursiveWithoutMatchesCountsOnePass", R"(
fact e(a)
rule 1 p(X) :- e(X), f(X)
materialize => iterations 1 atoms_changed 0
query p => none
)"},
                             {"RecursiveWithoutChangeCountsOnePass", R"(
rule 1 p(X) :- p(X)
materialize => iterations 1 atoms_changed 0
)"},
                             {"MaxDepthStopsQuietlyAndLaterComponentsRun", R"(
config r NoisyOr None
fact r(a) nan 0
fact base(a)
rule 1 r(X) :- r(X), base(X)
rule 2 after(X) :- base(X)
rule 3 base2(X) :- base(X)
# r holds NaN, so every pass changes it again
materialize 0 => iterations 3 atoms_changed 3
materialize 4 => iterations 6 atoms_changed 4
state after(a) = 1 0
state r(a) = nan nan
watermark = edb
)"},
                             {"CapErrorKeepsPartialStateAndWatermark", R"(
config r NoisyOr None
fact seed(a)
fact r(a) nan 0
rule 1 base(X) :- seed(X)
rule 2 r(X) :- r(X), base(X)
materialize => error Eval(MaxIterationsExceeded)
state base(a) = 1 0
state r(a) = nan nan
watermark = none
materialize 2 => iterations 3 atoms_changed 2
watermark = edb
fact seed(b)
materialize => error Eval(MaxIterationsExceeded)
state base(b) = 1 0
# still the watermark of the last successful run, not event 5
watermark = 4
)"},
                             {"WrongArityFactFailsEveryRun", R"(
fact q(a)
fact p/2(a, b, c)
fact r(a)
materialize => error Idb(InvalidArity { expected: 2, found: 3 })
materialize => error Idb(InvalidArity { expected: 2, found: 3 })
state q(a) = 1 0
query r => none
watermark = none
retract 2
materialize => iterations 0 atoms_changed 0
query r => (a) 1 0 True
watermark = edb
)"},
                             {"RuleHeadArityClashFailsInEvaluation", R"(
fact e(a, b)
rule 1 p(X, Y) :- e(X, Y)
rule 2 p/3(X, Y, Y) :- e(X, Y)
materialize => error Eval(Store(InvalidArity { expected: 2, found: 3 }))
state p(a, b) = 1 0
)"},
                             {"ConstraintArityWinsOverRules", R"(
fact e(a, b)
rule 1 p(X, Y) :- e(X, Y)
constraint 1 :- p/3(X, Y, Z) @ 0.5 0
# pred_ids keeps p's arity-3 id: the rule's head id has no name left, so it never fires
materialize => iterations 0 atoms_changed 0
query p => none
state p(a, b) = 0 0
)"},
                             {"BranchesShareAtomStates", R"(
branch one
fact p(a) 0.3 0
branch two
fact p(a) 0.6 0
materialize => iterations 0 atoms_changed 0
state p(a) = 0.6 0
watermark = edb
branch one
watermark = none
materialize => iterations 0 atoms_changed 0
state p(a) = 0.6 0
watermark = edb
)"},
                             {"QueryListsPresentRowsWithStatus", R"(
config spread NoisyOr None
fact p(a) 1e-12 0
fact p(b) 2e-12 0
fact p(c) 0 0.5
fact p(d) 0.5 0.5
fact p(e) 0 0
# noisy-or spreads a NaN into the stored state
fact spread(e) nan 0
# nothing is known before the first materialisation
query p => none
materialize => iterations 0 atoms_changed 0
query p => (b) 2e-12 0 True | (c) 0 0.5 False | (d) 0.5 0.5 Both
# stored, yet not listed
state p(a) = 1e-12 0
query spread => (e) nan 0 Neither
# another argument count names another key: no state and no error
state p(d, d) = 0 0
query nothing => none
)"},
                             {"ConfigTakesEffectOnlyAtFirstRegistration", R"(
config n CappedSum None
# the later configuration replaces the earlier one
config n NoisyOr None
config m NoisyOr None
fact n(a) 0.6 0
fact m(a) 0.6 0
materialize => iterations 0 atoms_changed 0
# m is registered now: configuring it again changes nothing
config m CappedSum None
materialize => iterations 0 atoms_changed 0
state n(a) = 0.84 0
state m(a) = 0.84 0
)"},
                             {"EmptyBranch", R"(
materialize => iterations 0 atoms_changed 0
watermark = edb
)"}};

class ProgramTest : public ::testing::TestWithParam<Program> {};

TEST_P(ProgramTest, Runs) { Runner().run(GetParam().script); }

INSTANTIATE_TEST_SUITE_P(Programs, ProgramTest, ::testing::ValuesIn(kPrograms),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ruvo
