// Programs run through EngineSession against hand-computed states and
// statistics. Steps end at newlines or " ; "; "=> TEXT" checks the result:
//   config (NAME AGG EVMODE)..  |  semantics RULE CONSTRAINT (truth|discounted)
//   branch NAME  |  fact (ATOM [B D])..  |  retract EVENT_ID  |  reopen
//   rule ID HEAD [:- GOAL..] [@ B D]  |  constraint ID :- GOAL.. [@ B D]
//   materialize [DEPTH]  |  state ATOM..  |  query NAME  |  watermark (none|edb|N)
// Goals are [!]name[/arity][(t,..)]; terms starting uppercase or "_" are
// variables, others symbols. A weight ending in "+" or "-" is the next double
// above or below; weights print with 12 significant digits. Every program
// runs with the default and with the reference evaluation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "ruvo_engine/src/session.h"
#include "testing/test_support.h"

namespace ruvo {
namespace {

using test::ok;

std::string weight(double x) {
  char buf[32];  // + 0.0: no "-0"
  return x != x ? "nan" : (std::snprintf(buf, sizeof buf, "%.12g", x + 0.0), buf);
}

// The enums number their values in the order of `words`.
template <class E>
E word(std::initializer_list<std::string_view> words, std::string_view w) {
  return static_cast<E>(std::find(words.begin(), words.end(), w) - words.begin());
}

// "1e-12+" is the next double above 1e-12, "1e-12-" the one below.
double num(const std::string& w) {
  const double x = std::stod(w), inf = HUGE_VAL;
  return w.back() == '+' ? std::nextafter(x, inf) : w.back() == '-' ? std::nextafter(x, -inf) : x;
}

class Runner {
 public:
  explicit Runner(bool reference) : reference_(reference) { s_ = open(); }
  void run(const std::string& script) {
    std::istringstream in(script);
    for (std::string all; std::getline(in, all);) {
      if (all.empty() || all[0] == '#') continue;
      SCOPED_TRACE(all);
      for (size_t at = 0, end = 0; end != std::string::npos; at = end + 3) {
        const std::string line = all.substr(at, (end = all.find(" ; ", at)) - at);
        const size_t arrow = line.find(" => ");
        std::vector<std::string> w;
        std::istringstream words(line.substr(0, arrow));
        for (std::string s; words >> s;) w.push_back(s);
        const std::string got = step(w);
        if (arrow != std::string::npos) { EXPECT_EQ(got, line.substr(arrow + 4)) << line; }
      }
    }
  }

 private:
  Term term(const std::string& t) {
    return std::isupper(static_cast<unsigned char>(t[0])) || t[0] == '_'
               ? Term::var(t)
               : Term::constant(ok(s_->intern(t)));
  }
  AtomGoal atom(std::string s) {
    AtomGoal g;
    g.negated = s[0] == '!';
    s.erase(0, g.negated ? 1 : 0);
    const size_t open = s.find('('), slash = s.find('/');
    if (open != std::string::npos) {
      std::istringstream in(s.substr(open + 1, s.size() - open - 2));
      for (std::string t; std::getline(in, t, ',');) g.args.push_back(term(t));
    }
    g.pred_name = s.substr(0, std::min(open, slash));
    g.pred_arity = slash == std::string::npos ? g.args.size() : std::stoull(s.substr(slash + 1));
    return g;
  }
  std::vector<uint64_t> values(const std::string& s) {
    std::vector<uint64_t> v;
    for (const Term& t : atom(s).args) v.push_back(t.value);
    return v;
  }
  // Goals from w[i] on, then "@ B D".
  std::vector<Goal> body(const std::vector<std::string>& w, size_t i, double& b, double& d) {
    std::vector<Goal> goals;
    for (; i < w.size() && w[i] != "@"; ++i) {
      if (w[i] == ":-") continue;
      AtomGoal g = atom(w[i]);
      const auto op = builtin_from_word(g.pred_name);
      if (op && !g.negated && w[i].find('/') == std::string::npos)
        goals.push_back(BuiltinGoal{*op, g.args});
      else
        goals.emplace_back(std::move(g));
    }
    b = i < w.size() ? num(w[i + 1]) : 1.0;
    d = i < w.size() ? num(w[i + 2]) : 0.0;
    return goals;
  }

  std::string step(const std::vector<std::string>& w) {
    const std::string& cmd = w[0];
    double b = 1.0, d = 0.0;
    if (cmd == "config") {
      for (size_t i = 1; i + 2 < w.size(); i += 3)
        s_->configure_predicate(
            w[i], word<AggregationMode>({"Maximum", "NoisyOr", "CappedSum"}, w[i + 1]),
            word<EvidenceMode>({"None", "PerSource", "ProofTree"}, w[i + 2]));
    } else if (cmd == "semantics") {
      s_->rule_applicability = ApplicabilitySemantics(w[1] == "discounted");
      s_->constraint_applicability = ApplicabilitySemantics(w[2] == "discounted");
    } else if (cmd == "branch") {
      branch_ = w[1];
    } else if (cmd == "fact") {
      for (size_t i = 1; i < w.size(); ++i) {
        const AtomGoal a = atom(w[i]);
        const bool weighted = i + 2 < w.size() && w[i + 1].find('(') == std::string::npos;
        ok(s_->edb.assert_fact(branch_, a.pred_name, a.pred_arity, values(w[i]),
                               weighted ? num(w[i + 1]) : 1.0,
                               weighted ? num(w[i + 2]) : 0.0, std::nullopt));
        i += weighted ? 2 : 0;
      }
    } else if (cmd == "rule") {
      const AtomGoal h = atom(w[2]);  // braced lists run left to right: body() sets b, d first
      ok(s_->edb.add_rule(branch_, Rule{std::stoull(w[1]), h.pred_name, h.pred_arity, h.args,
                                       body(w, 3, b, d), b, d}));
    } else if (cmd == "constraint") {
      ok(s_->edb.add_constraint(branch_, Constraint{std::stoull(w[1]), body(w, 2, b, d), b, d}));
    } else if (cmd == "reopen") {
      ok(s_->flush_all());
      s_.reset(), s_ = open();
    } else if (cmd == "retract") {
      ok(s_->edb.retract_fact(branch_, std::stoull(w[1])));
    } else if (cmd == "materialize") {
      auto r = s_->materialize_with_options(
          branch_, w.size() > 1 ? std::optional<uint64_t>(std::stoull(w[1])) : std::nullopt);
      if (!r) return "error " + r.error().debug();
      return "iterations " + std::to_string(r->iterations) + " atoms_changed " +
             std::to_string(r->atoms_changed);
    } else if (cmd == "state") {
      std::string out;
      for (size_t i = 1; i < w.size(); ++i) {
        const AtomState s = ok(s_->get_atom_state(atom(w[i]).pred_name, values(w[i])));
        out += (i > 1 ? " | " : "") + weight(s.b) + " " + weight(s.d);
      }
      return out;
    } else if (cmd == "query") {
      std::string out;
      for (const PredicateAnswer& row : ok(s_->query_all(w[1]))) {
        out += out.empty() ? "(" : " | (";
        for (size_t i = 0; i < row.args.size(); ++i)
          out += (i ? "," : "") + ok(s_->idb.symbols.get_text(row.args[i])).value_or("?");
        out += ") " + weight(row.b) + " " + weight(row.d) + " ";
        out += belnap_text(row.status);
      }
      return out.empty() ? "none" : out;
    } else {
      EXPECT_EQ(cmd, "watermark") << "unknown step";
      const auto wm = ok(s_->idb_watermark(branch_));
      return !wm ? "none" : *wm == ok(s_->edb_watermark()) ? "edb" : std::to_string(*wm);
    }
    return "";
  }

  std::optional<EngineSession> open() {
    std::optional<EngineSession> s = ok(EngineSession::open(dir_ / "e", dir_ / "i"));
    s->eval_control.reference = reference_;
    return s;
  }
  const bool reference_;
  test::ScratchDir dir_;
  std::optional<EngineSession> s_;
  std::string branch_ = "main";
};

// `iterations` counts passes over components that head a rule;
// `atoms_changed` counts upserts (constraint pass or firing) that moved a state.
constexpr const char* kPrograms = R"(
== TransitiveClosureOverChain
fact edge(a,b) edge(b,c) edge(c,d) ; rule 1 path(X,Y) :- edge(X,Y) ; rule 2 path(X,Z) :- edge(X,Y) path(Y,Z)
materialize => iterations 3 atoms_changed 6 ; state path(d,a) => 0 0 ; watermark => edb
query path => (a,b) 1 0 True | (a,c) 1 0 True | (a,d) 1 0 True | (b,c) 1 0 True | (b,d) 1 0 True | (c,d) 1 0 True
materialize => iterations 1 atoms_changed 0
== TransitiveClosureWithCycle
fact edge(a,b) 0.5 0 edge(b,a) 0.5 0 ; rule 1 path(X,Y) :- edge(X,Y) ; rule 2 path(X,Z) :- path(X,Y) path(Y,Z)
materialize => iterations 2 atoms_changed 4
query path => (a,a) 0.25 0 True | (a,b) 0.5 0 True | (b,a) 0.5 0 True | (b,b) 0.25 0 True
== NegationFollowsComponentOrder
fact node(a) node(b) node(c) edge(a,b) ; rule 1 ok(X) :- node(X) !unreached(X)
rule 2 unreached(X) :- node(X) !reach(X) ; rule 3 reach(X) :- edge(X,Y)
materialize => iterations 3 atoms_changed 4 ; query unreached => (b) 1 0 True | (c) 1 0 True ; query ok => (a) 1 0 True
== Constraints
# v = 0.5 * 0.8 * 0.5 (the constraint's d is unused), then 0.4 * 0.64: weaker
fact p(a) 0.8 0 q(a) 0.5 0 q(b) 0.5 0 ; constraint 1 :- p(X) q(X) @ 0.5 0.9
materialize => iterations 0 atoms_changed 2 ; query q => (a) 0.5 0.2 Both | (b) 0.5 0 True
materialize => iterations 0 atoms_changed 0
# only r receives evidence: s is negated, ne a builtin; no positive weight writes nothing
fact r(a) r(b) s(b) ; constraint 2 :- r(X) !s(X) ne(X,c) @ 0.5 0
constraint 3 :- p(X) @ 0 1 ; constraint 4 :- p(X) @ -1 1 ; materialize => iterations 0 atoms_changed 1
state p(a) r(a) r(b) s(b) => 0.8 0.2 | 1 0.5 | 1 0 | 1 0
== NewSessionAnswersNothingUntilItMaterialises
fact e(a,b) 0.9 0 ; rule 1 p(X,Y) :- e(X,Y) ; materialize => iterations 1 atoms_changed 1 ; reopen
query p => none ; state p(a,b) => 0 0 ; watermark => edb
materialize => iterations 1 atoms_changed 0 ; query p => (a,b) 0.9 0 True
== ConstraintPassRunsBeforeRules
fact e(a) ; rule 1 p(X) :- e(X) ; constraint 1 :- p(X) @ 1 0
materialize => iterations 1 atoms_changed 1 ; state p(a) => 1 0
materialize => iterations 1 atoms_changed 1 ; state p(a) => 1 1
== AggregationAndEvidenceModesRematerialised
config n NoisyOr None s NoisyOr PerSource t NoisyOr ProofTree c CappedSum None
config cs CappedSum PerSource np NoisyOr PerSource nn NoisyOr None cn CappedSum None dup NoisyOr PerSource
fact p(a) 0.5 0 n(a) 0.5 0 s(a) 0.5 0 t(a) 0.5 0 c(a) 0.4 0 cs(a) 0.4 0 dup(a) 0.5 0 dup(a) 0.5 0
rule 1 np(X) :- p(X) @ 0.5 0 ; rule 2 nn(X) :- p(X) @ 0.5 0 ; rule 3 cn(X) :- p(X) @ 0.5 0
materialize => iterations 3 atoms_changed 3
state p(a) n(a) s(a) t(a) c(a) cs(a) => 0.5 0 | 0.5 0 | 0.5 0 | 0.5 0 | 0.4 0 | 0.4 0
state np(a) nn(a) cn(a) dup(a) => 0.25 0 | 0.25 0 | 0.25 0 | 0.75 0
# per-source and Maximum states stay; None folds the same evidence in again
materialize => iterations 3 atoms_changed 2
state p(a) n(a) s(a) t(a) c(a) cs(a) => 0.5 0 | 0.75 0 | 0.5 0 | 0.5 0 | 0.8 0 | 0.4 0
state np(a) nn(a) cn(a) dup(a) => 0.25 0 | 0.4375 0 | 0.5 0 | 0.75 0
materialize => iterations 3 atoms_changed 2
state n(a) c(a) nn(a) cn(a) dup(a) => 0.875 0 | 1 0 | 0.578125 0 | 0.75 0 | 0.75 0
== StrengthKnobsAndClamping
# strength clamps to 1 for big; below 0 (skipped) for over under discounting
fact p(a) 0.8 0.5 big(a) 1.5 0 over(a) 0.5 1.5 ; rule 1 q(X) :- p(X) ; rule 2 w(X) :- big(X) @ 0.5 0.5
rule 3 o(X) :- over(X) @ 0.5 0 ; materialize => iterations 3 atoms_changed 2
state q(a) w(a) o(a) => 0.4 0 | 0.5 0.5 | 0 0 ; semantics truth discounted
materialize => iterations 3 atoms_changed 2 ; state q(a) o(a) => 0.8 0 | 0.25 0
== EmptyBodyUnboundHeadAndPassesWithoutChange
fact e(a) ; rule 1 fixed(a) @ 0.7 0.2 ; rule 2 loose(X,Y) :- fixed(X) ; rule 3 neg(X) :- !fixed(X)
rule 4 p(X) :- e(X) f(X) ; rule 5 r(X) :- r(X)
materialize => iterations 5 atoms_changed 1 ; query fixed => (a) 0.7 0.2 Both ; query loose => none
query neg => none
== MaxDepthStopsQuietlyAndLaterComponentsRun
# r holds NaN, so every pass changes it again
config r NoisyOr None ; fact r(a) nan 0 base(a) ; rule 1 r(X) :- r(X) base(X)
rule 2 after(X) :- base(X) ; rule 3 base2(X) :- base(X)
materialize 0 => iterations 3 atoms_changed 3 ; materialize 4 => iterations 6 atoms_changed 4
state after(a) r(a) => 1 0 | nan nan ; watermark => edb
== CapErrorKeepsPartialStateAndWatermark
config r NoisyOr None ; fact seed(a) r(a) nan 0 ; rule 1 base(X) :- seed(X) ; rule 2 r(X) :- r(X) base(X)
materialize => error Eval(MaxIterationsExceeded) ; state base(a) r(a) => 1 0 | nan nan ; watermark => none
materialize 2 => iterations 3 atoms_changed 2 ; fact seed(b)
materialize => error Eval(MaxIterationsExceeded) ; state base(b) => 1 0 ; watermark => 4
== CapAllowsAThousandPasses
# pass k derives n(k): n(999) comes with pass 999 and pass 1000 changes nothing
fact n(0) ; rule 1 n(N) :- n(X) add(X,1,N) lt(N,1000)
materialize => iterations 1000 atoms_changed 999
== CapRefusesAThousandAndFirstPass
fact n(0) ; rule 1 n(N) :- n(X) add(X,1,N) lt(N,1001)
materialize => error Eval(MaxIterationsExceeded) ; state n(1000) => 1 0
== ComponentRulesFireInInputOrder
# a head's rules fire where they stand, not grouped by head: twice with the
# names swapped, so that neither order of names hides it
fact base(a) ; rule 1 zb(X) :- za(X) ; rule 2 za(X) :- base(X) ; rule 3 za(X) :- zb(X)
materialize => iterations 3 atoms_changed 2
== ComponentRulesFireInInputOrderNamesSwapped
fact base(a) ; rule 1 za(X) :- zb(X) ; rule 2 zb(X) :- base(X) ; rule 3 zb(X) :- za(X)
materialize => iterations 3 atoms_changed 2
== WrongArityFactFailsEveryRun
fact q(a) p/2(a,b,c) r(a)
materialize => error Idb(InvalidArity { expected: 2, found: 3 })
materialize => error Idb(InvalidArity { expected: 2, found: 3 })
state q(a) => 1 0 ; query r => none ; watermark => none
retract 2 ; materialize => iterations 0 atoms_changed 0 ; query r => (a) 1 0 True ; watermark => edb
== ArityClashes
fact e(a,b) ; rule 1 p(X,Y) :- e(X,Y) ; rule 2 p/3(X,Y,Y) :- e(X,Y)
materialize => error Eval(Store(InvalidArity { expected: 2, found: 3 })) ; state p(a,b) => 1 0
# a constraint's arity wins over the rules': the rule's head id has no name left
branch two ; fact e(a,b) ; rule 1 p2(X,Y) :- e(X,Y) ; constraint 1 :- p2/3(X,Y,Z) @ 0.5 0
materialize => iterations 0 atoms_changed 0 ; query p2 => none
== BranchesShareAtomStates
branch one ; fact p(a) 0.3 0 ; branch two ; fact p(a) 0.6 0
materialize => iterations 0 atoms_changed 0 ; state p(a) => 0.6 0 ; branch one ; watermark => none
materialize => iterations 0 atoms_changed 0 ; state p(a) => 0.6 0 ; watermark => edb
branch empty ; materialize => iterations 0 atoms_changed 0 ; watermark => edb
== QueryListsPresentRowsWithStatus
config spread NoisyOr None
fact p(a) 1e-12 0 p(b) 2e-12 0 p(c) 0 0.5 p(d) 0.5 0.5 p(e) 0 0 spread(e) nan 0
query p => none ; materialize => iterations 0 atoms_changed 0
query p => (b) 2e-12 0 True | (c) 0 0.5 False | (d) 0.5 0.5 Both
query spread => (e) nan 0 Neither ; query nothing => none
# stored, yet not listed; another argument count names another key
state p(a) p(d,d) => 1e-12 0 | 0 0
# exactly 1e-12 on either side is stored yet absent; one step above is present
fact p(f) 0 1e-12 p(g) 0 1e-12+ p(h) 1e-12+ 1e-12 p(i) 1e-12 1e-12+ ; materialize
query p => (b) 2e-12 0 True | (c) 0 0.5 False | (d) 0.5 0.5 Both | (g) 0 1e-12 False | (h) 1e-12 1e-12 True | (i) 1e-12 1e-12 False
state p(f) => 0 1e-12
== PresenceThresholdInJoinsAndNegation
# b one step below, at and one step above 1e-12 (d = 1 keeps each row
# stored); under truth semantics a match's strength is its b
semantics truth truth ; fact k(lo) k(at) k(hi) e(lo,z) 1e-12- 1 e(at,z) 1e-12 1 e(hi,z) 1e-12+ 1
rule 1 q(X) :- e(X,Y) ; rule 2 r(X) :- k(X) e(X,z) ; rule 3 n(X) :- k(X) !e(X,z) ; rule 4 m(X) :- k(X) !e(X,Y)
materialize => iterations 4 atoms_changed 6 ; state q(at) r(at) q(hi) r(hi) => 0 0 | 0 0 | 1e-12 0 | 1e-12 0
query n => (lo) 1 0 True | (at) 1 0 True ; query m => (lo) 1 0 True | (at) 1 0 True
== ContributionsWithinTheThresholdChangeNothing
fact one(x) ; rule 1 b1(X) :- one(X) @ 1e-12- 0 ; rule 2 b2(X) :- one(X) @ 1e-12 0
rule 3 d1(X) :- one(X) @ 0 1e-12- ; rule 4 d2(X) :- one(X) @ 0 1e-12 ; rule 5 bd(X) :- one(X) @ 1e-12- 1e-12
materialize => iterations 5 atoms_changed 3 ; materialize => iterations 5 atoms_changed 0
state b1(x) b2(x) d1(x) d2(x) bd(x) => 0 0 | 1e-12 0 | 0 0 | 0 1e-12 | 1e-12 1e-12
== ConfigTakesEffectOnlyAtFirstRegistration
config m NoisyOr None ; fact m(a) 0.6 0 ; materialize => iterations 0 atoms_changed 0
config m CappedSum None ; materialize => iterations 0 atoms_changed 0 ; state m(a) => 0.84 0
)";

struct Program { std::string name, script; };
void PrintTo(const Program& p, std::ostream* os) { *os << p.name; }

std::vector<Program> programs() {
  std::vector<Program> out;
  std::istringstream in(kPrograms);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("== ")) out.push_back({line.substr(3), ""});
    else if (!out.empty()) out.back().script += line + "\n";
  }
  return out;
}

class ProgramTest : public ::testing::TestWithParam<std::tuple<Program, bool>> {};

TEST_P(ProgramTest, Runs) { Runner(std::get<1>(GetParam())).run(std::get<0>(GetParam()).script); }

INSTANTIATE_TEST_SUITE_P(Programs, ProgramTest,
                         ::testing::Combine(::testing::ValuesIn(programs()), ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) ? "_Reference" : "");
                         });

}  // namespace
}  // namespace ruvo
