// Whole-program tests: small programs with facts, rules and constraints,
// materialised through EngineSession, checked against hand-computed states
// and statistics. Each case is a script of directives run top to bottom:
//
//   config NAME AGG EVMODE          AGG Maximum|NoisyOr|CappedSum, EVMODE None|PerSource|ProofTree
//   semantics RULE CONSTRAINT       each truth|discounted
//   branch NAME                     following events go to this branch (default "main")
//   fact ATOM [B [D]]               default 1 0; ATOM is name[/arity](terms)
//   rule ID HEAD [:- GOALS] [@ B D] default weights 1 0
//   constraint ID :- GOALS [@ B D]
//   retract EVENT_ID
//   materialize [DEPTH] => iterations I atoms_changed A
//   materialize [DEPTH] => error TEXT
//   state ATOM = B D                get_atom_state ("nan" allowed)
//   query NAME => (args) B D STATUS | ...   query_all rows in order ("=> none" for no rows)
//   watermark = none|edb|N          the branch's IDB watermark (edb: the current EDB watermark)
//
// Terms starting with an uppercase letter or "_" are variables; anything else
// is a symbol, interned on first sight (so symbols order by appearance). A
// goal is "!" for negation, then an atom, or a builtin word with arguments.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "ruvo_engine/src/session.h"

namespace ruvo {
namespace {

std::string trim(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return std::string(s.substr(a, b - a));
}

// Splits at `sep` outside parentheses.
std::vector<std::string> split_top(std::string_view s, char sep) {
  std::vector<std::string> out;
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '(') ++depth;
    if (s[i] == ')') --depth;
    if (s[i] == sep && depth == 0) {
      out.push_back(trim(s.substr(start, i - start)));
      start = i + 1;
    }
  }
  std::string last = trim(s.substr(start));
  if (!last.empty() || !out.empty()) out.push_back(last);
  return out;
}

double parse_weight(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

AggregationMode parse_agg(const std::string& s) {
  if (s == "NoisyOr") return AggregationMode::NoisyOr;
  if (s == "CappedSum") return AggregationMode::CappedSum;
  EXPECT_EQ(s, "Maximum");
  return AggregationMode::Maximum;
}

EvidenceMode parse_mode(const std::string& s) {
  if (s == "PerSource") return EvidenceMode::PerSource;
  if (s == "ProofTree") return EvidenceMode::ProofTree;
  EXPECT_EQ(s, "None");
  return EvidenceMode::None;
}

ApplicabilitySemantics parse_knob(const std::string& s) {
  if (s == "truth") return ApplicabilitySemantics::BodyTruthOnly;
  EXPECT_EQ(s, "discounted");
  return ApplicabilitySemantics::BodyTruthDiscountedByBodyFalsity;
}

struct ParsedAtom {
  std::string name;
  uint64_t arity = 0;
  bool negated = false;
  std::vector<Term> args;
};

class Runner {
 public:
  Runner() : session_(std::move(*EngineSession::open_temporary())) {}

  void run(const std::string& script) {
    std::istringstream in(script);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
      ++n;
      line = trim(line);
      if (line.empty() || line[0] == '#') continue;
      SCOPED_TRACE("line " + std::to_string(n) + ": " + line);
      step(line);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }

 private:
  uint64_t sym(const std::string& text) {
    auto id = session_.intern(text);
    EXPECT_TRUE(id.has_value());
    return id.value_or(0);
  }

  Term term(const std::string& t) {
    if (!t.empty() && (std::isupper(static_cast<unsigned char>(t[0])) || t[0] == '_'))
      return Term::var(t);
    return Term::constant(sym(t));
  }

  ParsedAtom atom(std::string s) {
    ParsedAtom a;
    if (!s.empty() && s[0] == '!') {
      a.negated = true;
      s = trim(s.substr(1));
    }
    size_t open = s.find('(');
    std::string head = trim(s.substr(0, open));
    std::vector<std::string> parts;
    if (open != std::string::npos) {
      size_t close = s.rfind(')');
      parts = split_top(s.substr(open + 1, close - open - 1), ',');
    }
    for (const auto& p : parts) a.args.push_back(term(p));
    size_t slash = head.find('/');
    a.name = head.substr(0, slash);
    a.arity = slash == std::string::npos ? a.args.size() : std::stoull(head.substr(slash + 1));
    return a;
  }

  Goal goal(const std::string& s) {
    ParsedAtom a = atom(s);
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

  // "text @ b d" -> text, b, d (defaults 1 0).
  static std::string weights(const std::string& s, double& b, double& d) {
    b = 1.0;
    d = 0.0;
    size_t at = s.rfind('@');
    if (at == std::string::npos) return s;
    std::istringstream w(s.substr(at + 1));
    std::string bs, ds;
    w >> bs >> ds;
    b = parse_weight(bs);
    d = parse_weight(ds);
    return trim(s.substr(0, at));
  }

  static void expect_weight(double actual, const std::string& expected, const char* what) {
    double e = parse_weight(expected);
    if (std::isnan(e)) {
      EXPECT_TRUE(std::isnan(actual)) << what << " = " << actual;
    } else {
      EXPECT_NEAR(actual, e, 1e-12) << what;
    }
  }

  void step(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::string rest = trim(line.substr(cmd.size()));
    if (cmd == "config") {
      std::string name, agg, mode;
      in >> name >> agg >> mode;
      session_.configure_predicate(name, parse_agg(agg), parse_mode(mode));
    } else if (cmd == "semantics") {
      std::string r, c;
      in >> r >> c;
      session_.rule_applicability = parse_knob(r);
      session_.constraint_applicability = parse_knob(c);
    } else if (cmd == "branch") {
      in >> branch_;
    } else if (cmd == "fact") {
      // The atom ends at its closing parenthesis; weights may follow.
      size_t close = rest.find(')');
      ParsedAtom a = atom(rest.substr(0, close + 1));
      std::istringstream w(rest.substr(close + 1));
      std::string bs = "1", ds = "0";
      w >> bs >> ds;
      std::vector<uint64_t> args;
      for (const Term& t : a.args) args.push_back(t.value);
      ASSERT_TRUE(session_.edb
                      .assert_fact(branch_, a.name, a.arity, args, parse_weight(bs),
                                   parse_weight(ds), std::nullopt)
                      .has_value());
    } else if (cmd == "rule") {
      std::string id;
      in >> id;
      Rule r;
      r.id = std::stoull(id);
      std::string text = weights(trim(rest.substr(id.size())), r.b, r.d);
      size_t arrow = text.find(":-");
      ParsedAtom h = atom(trim(text.substr(0, arrow)));
      r.head_pred_name = h.name;
      r.head_pred_arity = h.arity;
      r.head_args = h.args;
      if (arrow != std::string::npos) r.body = body(trim(text.substr(arrow + 2)));
      ASSERT_TRUE(session_.edb.add_rule(branch_, r).has_value());
    } else if (cmd == "constraint") {
      std::string id;
      in >> id;
      Constraint c;
      c.id = std::stoull(id);
      std::string text = weights(trim(rest.substr(id.size())), c.b, c.d);
      size_t arrow = text.find(":-");
      ASSERT_NE(arrow, std::string::npos);
      c.body = body(trim(text.substr(arrow + 2)));
      ASSERT_TRUE(session_.edb.add_constraint(branch_, c).has_value());
    } else if (cmd == "retract") {
      uint64_t target = 0;
      in >> target;
      ASSERT_TRUE(session_.edb.retract_fact(branch_, target).has_value());
    } else if (cmd == "materialize") {
      size_t arrow = rest.find("=>");
      ASSERT_NE(arrow, std::string::npos);
      std::string depth = trim(rest.substr(0, arrow));
      std::optional<uint64_t> max_depth;
      if (!depth.empty()) max_depth = std::stoull(depth);
      std::string expect = trim(rest.substr(arrow + 2));
      auto r = session_.materialize_with_options(branch_, max_depth);
      if (expect.starts_with("error ")) {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().debug(), expect.substr(6));
      } else {
        ASSERT_TRUE(r.has_value()) << r.error().debug();
        std::istringstream e(expect);
        std::string k1, k2;
        uint64_t it = 0, ch = 0;
        e >> k1 >> it >> k2 >> ch;
        ASSERT_EQ(k1, "iterations");
        ASSERT_EQ(k2, "atoms_changed");
        EXPECT_EQ(r->iterations, it) << "iterations";
        EXPECT_EQ(r->atoms_changed, ch) << "atoms_changed";
      }
    } else if (cmd == "state") {
      size_t eq = rest.rfind('=');
      ParsedAtom a = atom(trim(rest.substr(0, eq)));
      std::vector<uint64_t> args;
      for (const Term& t : a.args) args.push_back(t.value);
      std::istringstream w(rest.substr(eq + 1));
      std::string bs, ds;
      w >> bs >> ds;
      auto s = session_.get_atom_state(a.name, args);
      ASSERT_TRUE(s.has_value()) << s.error().debug();
      expect_weight(s->b, bs, "b");
      expect_weight(s->d, ds, "d");
    } else if (cmd == "query") {
      size_t arrow = rest.find("=>");
      std::string name = trim(rest.substr(0, arrow));
      std::string expect = trim(rest.substr(arrow + 2));
      auto rows = session_.query_all(name);
      ASSERT_TRUE(rows.has_value()) << rows.error().debug();
      std::vector<std::string> want;
      if (expect != "none") want = split_top(expect, '|');
      ASSERT_EQ(rows->size(), want.size());
      for (size_t i = 0; i < want.size(); ++i) {
        size_t close = want[i].find(')');
        ParsedAtom a = atom("x" + want[i].substr(0, close + 1));
        std::vector<uint64_t> args;
        for (const Term& t : a.args) args.push_back(t.value);
        std::istringstream w(want[i].substr(close + 1));
        std::string bs, ds, status;
        w >> bs >> ds >> status;
        const PredicateAnswer& row = (*rows)[i];
        EXPECT_EQ(row.args, args) << "row " << i;
        expect_weight(row.b, bs, "b");
        expect_weight(row.d, ds, "d");
        EXPECT_EQ(belnap_text(row.status), status) << "row " << i;
      }
    } else if (cmd == "watermark") {
      auto wm = session_.idb_watermark(branch_);
      ASSERT_TRUE(wm.has_value());
      std::string want = trim(rest.substr(rest.find('=') + 1));
      if (want == "none") {
        EXPECT_FALSE(wm->has_value());
      } else {
        ASSERT_TRUE(wm->has_value());
        EXPECT_EQ(**wm, want == "edb" ? *session_.edb_watermark() : std::stoull(want));
      }
    } else {
      FAIL() << "unknown directive " << cmd;
    }
  }

  EngineSession session_;
  std::string branch_ = "main";
};

struct Program {
  const char* name;
  const char* script;
};

// Statistics below are counted by hand: `iterations` is the number of passes
// over components that head a rule; `atoms_changed` counts every upsert (from
// the constraint pass or a firing) that moved its atom's state.
const Program kPrograms[] = {
    {"TransitiveClosureOverChain", R"(
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
    {"EmptyBranch", R"(
materialize => iterations 0 atoms_changed 0
watermark = edb
)"},
};

class ProgramTest : public ::testing::TestWithParam<Program> {};

TEST_P(ProgramTest, Runs) { Runner().run(GetParam().script); }

INSTANTIATE_TEST_SUITE_P(Programs, ProgramTest, ::testing::ValuesIn(kPrograms),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ruvo
