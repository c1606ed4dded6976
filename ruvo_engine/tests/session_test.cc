// EngineSession: error texts, opening, fact evidence ids, retraction and
// the warm state's memory budget.
#include "ruvo_engine/src/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <functional>
#include <limits>
#include <tuple>

#include "ruvo_core/src/fault.h"
#include "ruvo_engine/src/fast_eval.h"
#include "testing/test_support.h"

namespace ruvo::test {
namespace {

TEST(EngineErrorText, WrapsEachLayer) {
  EXPECT_EQ(EngineError(EdbError(EdbError::EventNotFound{5})).debug(), "Edb(EventNotFound(5))");
  EXPECT_EQ(EngineError(CompileError(StoreError(StoreError::MissingEvidence{}))).debug(),
            "Compile(Store(MissingEvidence))");
}

TEST(SessionOpen, FailuresReleaseWhatWasOpened) {
  ScratchDir dir;
  std::ofstream(dir / "file") << "not a database";
  // An EDB failure never touches the IDB.
  auto s = EngineSession::open(dir / "file", dir / "idb");
  EXPECT_TRUE(err(s).starts_with("Edb(Sled(\"")) << err(s);
  EXPECT_FALSE(std::filesystem::exists(dir / "idb"));
  // An IDB failure gives up the EDB's lock: it opens again at once.
  s = EngineSession::open(dir / "edb", dir / "file");
  EXPECT_TRUE(err(s).starts_with("Idb(Sled(\"")) << err(s);
  ok(EngineSession::open(dir / "edb", dir / "idb"));
}

TEST(SessionMaterialize, FactEvidenceIdsAndRetraction) {
  EngineSession s = ok(EngineSession::open_temporary());
  s.configure_predicate("p", AggregationMode::NoisyOr, EvidenceMode::PerSource);
  ok(s.edb.assert_fact("main", "p", 1, {1}, 0.5, 0.0, std::nullopt));
  for (int i = 0; i < 9; ++i) ok(s.edb.assert_fact("other", "q", 0, {}, 1, 0, {}));
  ASSERT_EQ(ok(s.edb.assert_fact("main", "p", 1, {1}, 0.5, 0.0, std::nullopt)), 11u);
  ok(s.materialize_with_options("main", std::nullopt));
  const std::string key = encode_state_key(s.pred_ids.at("p"), std::vector<uint64_t>{1});
  // Contribution keys: state key, id length (u32 big-endian), id.
  EXPECT_EQ(dump(s.idb.contrib_tree(), key).at(1).first, key + be({6}).substr(4) + "edb_11");
  // A retracted fact is not applied again, but its contribution stays.
  ok(s.edb.retract_fact("main", 11));
  ok(s.materialize_with_options("main", std::nullopt));
  EXPECT_DOUBLE_EQ(ok(s.get_atom_state("p", {1})).b, 0.75);
  EXPECT_EQ(ok(s.idb_watermark("main")), 12u);
  EXPECT_EQ(ok(s.idb_watermark("other")), std::nullopt);
}

// A name asserted under two arities names two predicates: a run of facts
// shares one registration only while both name and arity stay the same.
TEST(SessionMaterialize, OneNameUnderTwoAritiesIsTwoPredicates) {
  for (const bool reference : {true, false}) {
    EngineSession s = ok(EngineSession::open_temporary());
    s.eval_control.reference = reference;
    ok(s.edb.assert_fact("main", "p", 1, {1}, 0.5, 0, {}));
    ok(s.edb.assert_fact("main", "p", 2, {1, 2}, 0.25, 0, {}));
    ok(s.edb.assert_fact("main", "p", 2, {3, 4}, 0.125, 0, {}));
    ok(s.edb.assert_fact("main", "p", 1, {2}, 0.75, 0, {}));
    const auto m = s.materialize_with_options("main", std::nullopt);
    ASSERT_TRUE(m) << m.error().debug() << reference;
    EXPECT_EQ(dump(s.idb.state_tree()).size(), 4u) << reference;
    EXPECT_EQ(ok(s.get_atom_state("p", {1})).b, 0.5) << reference;  // the name's latest arity
    EXPECT_EQ(ok(s.get_atom_state("p", {2})).b, 0.75) << reference;
  }
}

// A fact faulting on its index leaves the facts before it applied and none
// after it, whichever way each predicate's facts are applied.
TEST(SessionMaterialize, FaultingFactLeavesOnlyEarlierFactsApplied) {
  EngineSession s = ok(EngineSession::open_temporary());
  s.pred_configs["p"].indexes.push_back({"far", {5}});  // beyond p's two arguments
  ok(s.edb.assert_fact("main", "q", 1, {1}, 0.5, 0.0, std::nullopt));
  ok(s.edb.assert_fact("main", "p", 2, {1, 2}, 0.5, 0.0, std::nullopt));
  ok(s.edb.assert_fact("main", "q", 1, {2}, 0.5, 0.0, std::nullopt));
  EXPECT_THROW((void)s.materialize_with_options("main", std::nullopt), Fault);
  EXPECT_EQ(ok(s.get_atom_state("q", {1})).b, 0.5);
  EXPECT_EQ(ok(s.get_atom_state("p", {1, 2})).b, 0.5);
  EXPECT_EQ(ok(s.get_atom_state("q", {2})).b, 0.0);
}

// A rule's head faulting on its index stops the call there, whichever way
// rules fire: the states written before stay, and nothing fired after it
// reaches the store (here g, read from h).
TEST(SessionMaterialize, FaultingRuleHeadLeavesOnlyEarlierWritesApplied) {
  std::vector<std::string> seen[2];
  for (const bool reference : {true, false}) {
    EngineSession s = ok(EngineSession::open_temporary());
    s.eval_control.reference = reference;
    s.pred_configs["h"].indexes.push_back({"far", {5}});  // beyond h's one argument
    s.configure_predicate("g", AggregationMode::NoisyOr, EvidenceMode::PerSource);
    const Term X = Term::var("X");
    ok(s.edb.add_rule("main", Rule{1, "h", 1, {X}, {AtomGoal{"p", 1, false, {X}}}, 1, 0}));
    ok(s.edb.add_rule("main", Rule{2, "g", 1, {X}, {AtomGoal{"h", 1, false, {X}}}, 1, 0}));
    for (const uint64_t i : {1, 2}) ok(s.edb.assert_fact("main", "p", 1, {i}, 0.5, 0, {}));
    EXPECT_THROW((void)s.materialize_with_options("main", std::nullopt), Fault) << reference;
    for (const char* p : {"h", "g"})
      for (const uint64_t i : {1, 2})
        seen[reference].push_back(std::string(p) + std::to_string(i) + " " +
                                  std::to_string(ok(s.get_atom_state(p, {i})).b));
  }
  EXPECT_EQ(seen[true], (std::vector<std::string>{"h1 0.500000", "h2 0.000000", "g1 0.000000",
                                                   "g2 0.000000"}));
  EXPECT_EQ(seen[false], seen[true]);
}

// A call stopped part way (here by the interrupt check, at many points)
// leaves nothing for the next call to build on but what it stored: after
// one more call the states are those of a session never stopped.
TEST(SessionMaterialize, StoppedCallLeavesNextOneExact) {
  int checks = 0;  // how often the check was asked, in the last run
  auto run = [&](int stop_at) {
    EngineSession s = ok(EngineSession::open_temporary());
    const Term X = Term::var("X"), Y = Term::var("Y"), Z = Term::var("Z");
    ok(s.edb.add_rule("main", Rule{1, "path", 2, {X, Y}, {AtomGoal{"edge", 2, false, {X, Y}}}, 1, 0}));
    ok(s.edb.add_rule("main", Rule{2, "path", 2, {X, Z},
                                   {AtomGoal{"path", 2, false, {X, Y}},
                                    AtomGoal{"edge", 2, false, {Y, Z}}}, 0.9, 0}));
    for (uint64_t i = 1; i < 300; ++i) ok(s.edb.assert_fact("main", "edge", 2, {i, i + 1}, 1, 0, {}));
    checks = 0;
    s.eval_control.interrupt_check = [&] { return ++checks == stop_at; };
    auto first = s.materialize_with_options("main", std::nullopt);
    EXPECT_EQ(first ? "ok" : first.error().debug(), stop_at > 0 ? "Eval(Interrupted)" : "ok");
    s.eval_control.interrupt_check = nullptr;
    ok(s.edb.assert_fact("main", "edge", 2, {300, 1}, 1, 0, {}));
    ok(s.materialize_with_options("main", std::nullopt));
    std::vector<std::string> rows;
    for (const PredicateAnswer& a : ok(s.query_all("path")))
      rows.push_back(std::to_string(a.args[0]) + "," + std::to_string(a.args[1]) + " " +
                     std::to_string(std::bit_cast<uint64_t>(a.b)));
    return rows;
  };
  const std::vector<std::string> want = run(0);
  const int all = checks;
  ASSERT_GT(all, 8);
  for (int stop_at : {1, all / 8, all / 3, all / 2, all - 1}) EXPECT_EQ(run(stop_at), want) << stop_at;
}

// A later call joins a new row first, yet gathers the evidence in body
// order: (0.1 * 0.2) * 0.3 and (0.3 * 0.1) * 0.2 differ in the last bit.
TEST(SessionMaterialize, LaterCallsGatherEvidenceInBodyOrder) {
  for (const bool reference : {true, false}) {
    EngineSession s = ok(EngineSession::open_temporary());
    s.eval_control.reference = reference;
    const Term X = Term::var("X");
    ok(s.edb.add_rule("main", Rule{1, "h", 1, {X},
                                   {AtomGoal{"p", 1, false, {X}}, AtomGoal{"q", 1, false, {X}},
                                    AtomGoal{"r", 1, false, {X}}}, 1, 0}));
    ok(s.edb.assert_fact("main", "p", 1, {1}, 0.1, 0, {}));
    ok(s.edb.assert_fact("main", "q", 1, {1}, 0.2, 0, {}));
    ok(s.edb.assert_fact("main", "r", 1, {2}, 1, 0, {}));
    ok(s.materialize_with_options("main", std::nullopt));
    ok(s.edb.assert_fact("main", "r", 1, {1}, 0.3, 0, {}));
    ok(s.materialize_with_options("main", std::nullopt));
    EXPECT_EQ(std::bit_cast<uint64_t>(ok(s.get_atom_state("h", {1})).b),
              std::bit_cast<uint64_t>((0.1 * 0.2) * 0.3)) << reference;
  }
}

// Between calls the program changes: a rule is added, another branch has a
// rule of the same id that differs in one respect (its weight, its
// falsity, its head's arguments or its head's predicate) and lacks the
// added one. Only rules equal to one of the previous call keep their
// firing point (the others fire in full: six first firings over the four
// calls), and every call's figures and rows are the reference's.
TEST(SessionMaterialize, ProgramChangesKeepOnlyUnchangedRulesWarm) {
  const Term X = Term::var("X"), Y = Term::var("Y"), Z = Term::var("Z");
  const Rule on_main{1, "path", 2, {X, Y}, {AtomGoal{"edge", 2, false, {X, Y}}}, 0.5, 0};
  const std::vector<std::pair<const char*, std::function<void(Rule&)>>> differences = {
      {"weight", [](Rule& r) { r.b = 1.0; }},
      {"falsity", [](Rule& r) { r.d = 0.25; }},
      {"head arguments", [&](Rule& r) { r.head_args = {Y, X}; }},
      {"head predicate", [](Rule& r) { r.head_pred_name = "walk"; }},
  };
  for (const auto& [differs, change] : differences) {
    Rule on_b2 = on_main;
    change(on_b2);
    auto run = [&](bool reference) {
      EngineSession s = ok(EngineSession::open_temporary());
      s.eval_control.reference = reference;
      for (const auto& [br, rule] : {std::pair("main", &on_main), std::pair("b2", static_cast<const Rule*>(&on_b2))}) {
        ok(s.edb.add_rule(br, *rule));
        ok(s.edb.add_rule(br, Rule{2, "path", 2, {X, Z},
                                   {AtomGoal{"path", 2, false, {X, Y}}, AtomGoal{"edge", 2, false, {Y, Z}}},
                                   0.9, 0}));
        for (uint64_t i = 1; i < 20; ++i) ok(s.edb.assert_fact(br, "edge", 2, {i, i + 1}, 1, 0, {}));
      }
      std::vector<std::string> out;
      auto call = [&](const char* br) {
        const EvalStats m = ok(s.materialize_with_options(br, std::nullopt));
        std::string line = std::string(br) + " " + std::to_string(m.iterations) + " " +
                           std::to_string(m.atoms_changed);
        for (const char* p : {"path", "far", "walk"}) {
          auto rows = s.query_all(p);
          if (!rows) continue;  // not a name of the program yet
          for (const PredicateAnswer& a : *rows)
            line += " " + std::to_string(a.args[0]) + "," + std::to_string(a.args.back()) + ":" +
                    std::to_string(std::bit_cast<uint64_t>(a.b)) + "/" +
                    std::to_string(std::bit_cast<uint64_t>(a.d));
        }
        out.push_back(line);
      };
      call("main");
      ok(s.edb.add_rule("main", Rule{3, "far", 1, {Y}, {AtomGoal{"path", 2, false, {Term::constant(3), Y}}}, 1, 0}));
      ok(s.edb.assert_fact("main", "edge", 2, {20, 21}, 1, 0, {}));
      call("main");
      call("b2");
      call("main");
      return out;
    };
    const uint64_t first = firings_counted(FiringWay::First);
    const std::vector<std::string> want = run(true);
    EXPECT_EQ(firings_counted(FiringWay::First), first) << differs;
    EXPECT_EQ(run(false), want) << differs;
    EXPECT_EQ(firings_counted(FiringWay::First) - first, 6u) << differs;
  }
}

// Budgets from nothing to plenty: whatever the warm state drops between
// calls, every call leaves the stats, rows and stored bytes of the
// reference evaluation.
TEST(SessionWarmBudget, DroppedCopiesGiveReferenceResults) {
  using Facts = std::vector<std::tuple<const char*, std::vector<uint64_t>, double>>;
  const std::vector<std::pair<Facts, uint64_t>> calls = {  // new facts, max_depth (0: none)
      {{{"p", {1}, 0.9}, {"p", {2}, 0.7}, {"q", {1, 2}, 0.8}, {"q", {2, 3}, 0.6}}, 0},
      {{{"p", {3}, 0.5}}, 0},                       // new rows for a rule's body
      {{{"q", {3, 4}, 0.9}, {"p", {1}, 1}}, 0},    // a longer path; a stronger fact
      {{{"q", {4, 1}, 0.3}, {"p", {4}, 0.2}}, 1},  // left unfinished, then finished
      {{}, 0},
      {{{"q", {4, 5}, 0.9}, {"q", {5, 6}, 0.9}}, 1},
      {{}, 0}};
  struct Outcome {
    std::vector<std::string> seen;
    std::vector<size_t> warm_bytes;  // after each call
    uint64_t firsts = 0;             // first firings of rules
  };
  auto run = [&](std::optional<uint64_t> budget, bool reference) {
    EngineSession s = ok(EngineSession::open_temporary());
    s.eval_control.reference = reference;
    s.warm_budget = budget;
    const Term X = Term::var("X"), Y = Term::var("Y"), Z = Term::var("Z");
    auto atom = [](const char* p, std::vector<Term> args, bool negated = false) {
      return AtomGoal{p, args.size(), negated, std::move(args)};
    };
    ok(s.edb.add_rule("main", Rule{1, "a", 1, {X}, {atom("p", {X})}, 1, 0}));
    ok(s.edb.add_rule("main", Rule{2, "b", 2, {X, Y}, {atom("a", {X}), atom("q", {X, Y})}, 0.9, 0}));
    ok(s.edb.add_rule("main", Rule{3, "b", 2, {X, Z}, {atom("b", {X, Y}), atom("q", {Y, Z})}, 0.8, 0}));
    ok(s.edb.add_rule("main", Rule{4, "c", 1, {X}, {atom("b", {X, Y}), atom("p", {Y}, true)}, 1, 0}));
    ok(s.edb.add_constraint("main", Constraint{1, {atom("c", {X}), atom("p", {X})}, 0.5, 0}));
    Outcome o;
    o.firsts = firings_counted(FiringWay::First);
    for (const auto& [facts, depth] : calls) {
      for (const auto& [pred, args, b] : facts)
        ok(s.edb.assert_fact("main", pred, args.size(), args, b, 0, {}));
      const EvalStats st = ok(s.materialize_with_options(
          "main", depth ? std::optional<uint64_t>(depth) : std::nullopt));
      o.seen.push_back(std::to_string(st.iterations) + "/" + std::to_string(st.atoms_changed));
      for (const std::string& tree : s.idb.db().tree_names())
        for (const auto& [k, v] : dump(ok(s.idb.db().open_tree(tree)))) o.seen.push_back(k + v);
      for (const PredicateAnswer& row : ok(s.query_all("b")))
        o.seen.push_back(std::to_string(row.args[0]) + "," + std::to_string(row.args[1]) + " " +
                         std::to_string(std::bit_cast<uint64_t>(row.b)));
      o.warm_bytes.push_back(s.warm_bytes());
    }
    o.firsts = firings_counted(FiringWay::First) - o.firsts;
    return o;
  };
  const Outcome want = run(std::nullopt, true);
  const Outcome full = run(std::numeric_limits<uint64_t>::max(), false);
  ASSERT_EQ(full.seen, want.seen);
  bool dropped_yet_warm = false;
  const size_t most = std::ranges::max(full.warm_bytes);
  for (uint64_t budget = 0; budget <= most; budget += most / 32) {
    const Outcome o = run(budget, false);
    EXPECT_EQ(o.seen, want.seen) << budget;
    EXPECT_LE(std::ranges::max(o.warm_bytes), budget);
    // Copies were dropped, so rules fired whole again, yet no call was cold.
    if (o.firsts > full.firsts && std::ranges::min(o.warm_bytes) > 0) dropped_yet_warm = true;
  }
  EXPECT_TRUE(dropped_yet_warm);
}

// The warm state counts its copies: here of p and a, a thousand rows each.
TEST(SessionWarmBudget, CountsItsCopies) {
  EngineSession s = ok(EngineSession::open_temporary());
  const Term X = Term::var("X");
  ok(s.edb.add_rule("main", Rule{1, "a", 1, {X}, {AtomGoal{"p", 1, false, {X}}}, 1, 0}));
  for (uint64_t i = 0; i < 1000; ++i) ok(s.edb.assert_fact("main", "p", 1, {i}, 1, 0, {}));
  ok(s.materialize_with_options("main", std::nullopt));
  // Per row an argument, a state and a change number.
  EXPECT_GE(s.warm_bytes(), 2 * 1000 * (8 + 16 + 8));
}

// The match buffers a call leaves for the next one go first when the
// budget is short: here they outweigh the copies many times, and a budget
// just under what the call kept leaves the copies alone.
TEST(SessionWarmBudget, KeptScratchGoesBeforeCopies) {
  EngineSession s = ok(EngineSession::open_temporary());
  const Term X = Term::var("X"), Y = Term::var("Y");
  ok(s.edb.add_rule("main", Rule{1, "a", 1, {X},
                                 {AtomGoal{"p", 1, false, {X}}, AtomGoal{"q", 1, false, {Y}}}, 1, 0}));
  for (uint64_t i = 0; i < 1000; ++i) ok(s.edb.assert_fact("main", "p", 1, {i}, 1, 0, {}));
  for (uint64_t i = 0; i < 100; ++i) ok(s.edb.assert_fact("main", "q", 1, {i}, 1, 0, {}));
  ok(s.materialize_with_options("main", std::nullopt));
  ok(s.materialize_with_options("main", std::nullopt));
  const size_t kept = s.warm_bytes();
  s.warm_budget = kept - 1;
  ok(s.materialize_with_options("main", std::nullopt));
  // Per row of p, q and a: an argument, a state and a change number.
  EXPECT_GE(s.warm_bytes(), 2100 * (8 + 16 + 8));
  EXPECT_LT(s.warm_bytes(), kept / 4);
}

// A later call finds the matches of changed rows out of order (joining
// the changed goal first, one pass per changed goal, rows in the order
// they changed), yet applies them in the order of a whole firing. h folds by maximum: a stronger match first
// changes h once, a weaker one first twice, so the counts tell the order.
TEST(SessionMaterialize, LaterCallsApplyMatchesInBodyOrder) {
  struct Fact {
    const char* pred;
    std::vector<uint64_t> args;
    double b;
  };
  struct Case {
    const char* name;
    std::vector<Fact> first, later;
  };
  const std::vector<Case> cases = {
      {"p changed", {{"e", {1, 3}, 1}, {"e", {2, 2}, 1}, {"p", {9}, 1}},
       {{"p", {2}, 0.9}, {"p", {3}, 0.5}}},
      {"e and p changed", {{"e", {1, 3}, 1}, {"p", {9}, 1}},
       {{"e", {2, 2}, 1}, {"p", {2}, 0.5}, {"p", {3}, 0.9}}},
      {"e changed, out of order", {{"p", {2}, 0.9}, {"p", {3}, 0.5}},
       {{"e", {2, 2}, 1}, {"e", {1, 3}, 1}}},
  };
  // Once more with e's rows padded by more arguments: long rows, and many
  // variables to order the matches by; and with ids so large that the
  // matches' keys do not fit in one word together.
  struct Shape {
    size_t pad;
    unsigned shift;
  };
  for (const auto [pad, shift] : {Shape{0, 16}, Shape{7, 16}, Shape{0, 40}, Shape{7, 40}}) {
    for (const Case& c : cases) {
      std::vector<std::string> outcome[2];
      for (const bool reference : {false, true}) {
        EngineSession s = ok(EngineSession::open_temporary());
        s.eval_control.reference = reference;
        const Term X = Term::var("X"), Y = Term::var("Y");
        std::vector<Term> e_args = {X, Y};
        for (size_t i = 0; i < pad; ++i) e_args.push_back(Term::var("P" + std::to_string(i)));
        ok(s.edb.add_rule("main", Rule{1, "h", 1, {Term::constant(7)},
                                       {AtomGoal{"e", 2 + pad, false, e_args}, AtomGoal{"p", 1, false, {Y}}},
                                       1, 0}));
        for (const auto* facts : {&c.first, &c.later}) {
          for (Fact f : *facts) {
            // Ids whose bytes do not all order alike: 1 < 2 in the upper
            // ones, 1 > 2 in the lowest.
            for (uint64_t& a : f.args) a = a << shift | (0xff - a);
            if (f.pred[0] == 'e') f.args.resize(2 + pad, 0);
            ok(s.edb.assert_fact("main", f.pred, f.args.size(), f.args, f.b, 0, {}));
          }
          const EvalStats st = ok(s.materialize_with_options("main", std::nullopt));
          outcome[reference].push_back(std::to_string(st.atoms_changed) + " " +
                                       std::to_string(ok(s.get_atom_state("h", {7})).b));
        }
      }
      EXPECT_EQ(outcome[false], outcome[true])
          << c.name << ", padded by " << pad << ", ids shifted by " << shift;
    }
  }
}


// A weighted closure folded by maximum, grown call by call: later calls
// find thousands of matches, most of whose heads already hold as much,
// from two changed goals at once (sorted afterwards) or from one. Every
// call's counts and every state's bits are the reference's.
TEST(SessionMaterialize, LaterCallsOnAWeightedClosureMatchTheReference) {
  std::vector<std::string> outcome[2];
  for (const bool reference : {false, true}) {
    EngineSession s = ok(EngineSession::open_temporary());
    s.eval_control.reference = reference;
    s.configure_predicate("path", AggregationMode::Maximum, EvidenceMode::None);
    const Term X = Term::var("X"), Y = Term::var("Y"), Z = Term::var("Z");
    ok(s.edb.add_rule("main", Rule{1, "path", 2, {X, Y}, {AtomGoal{"edge", 2, false, {X, Y}}}, 1, 0}));
    ok(s.edb.add_rule("main", Rule{2, "path", 2, {X, Z},
                                   {AtomGoal{"path", 2, false, {X, Y}},
                                    AtomGoal{"edge", 2, false, {Y, Z}}}, 0.9, 0.1}));
    uint64_t seed = 7;
    auto next = [&](uint64_t n) {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      return (seed >> 33) % n;
    };
    for (const size_t edges : {80, 1, 8, 30, 3, 40, 12, 20}) {
      for (size_t i = 0; i < edges; ++i)
        ok(s.edb.assert_fact("main", "edge", 2, {1 + next(60), 1 + next(60)}, 0.125 * double(1 + next(8)),
                             0.0625 * double(next(5)), {}));
      const EvalStats st = ok(s.materialize_with_options("main", std::nullopt));
      outcome[reference].push_back("call " + std::to_string(st.iterations) + " " + std::to_string(st.atoms_changed));
      for (const PredicateAnswer& a : ok(s.query_all("path")))
        outcome[reference].push_back(std::to_string(a.args[0]) + "," + std::to_string(a.args[1]) + " " +
                                     std::to_string(std::bit_cast<uint64_t>(a.b)) + " " +
                                     std::to_string(std::bit_cast<uint64_t>(a.d)));
    }
  }
  ASSERT_GT(outcome[true].size(), 1000u);
  EXPECT_EQ(outcome[false], outcome[true]);
}

// A rule's delta firing gets the changed rows in the order they changed:
// here p(3) before p(2), as the rule deriving p meets q's rows. It still
// applies its matches in argument order, as a whole firing does, right
// after another delta firing sorted rows of its own. h folds by maximum,
// so the count tells the order.
TEST(SessionMaterialize, ChangedRowsAreJoinedInArgumentOrder) {
  std::vector<std::string> outcome[2];
  for (const bool reference : {false, true}) {
    EngineSession s = ok(EngineSession::open_temporary());
    s.eval_control.reference = reference;
    const Term X = Term::var("X"), Y = Term::var("Y");
    ok(s.edb.add_rule("main", Rule{1, "p", 1, {Y}, {AtomGoal{"q", 2, false, {X, Y}}}, 1, 0}));
    ok(s.edb.add_rule("main", Rule{2, "h", 1, {Term::constant(7)}, {AtomGoal{"p", 1, false, {X}}}, 1, 0}));
    using Facts = std::vector<std::pair<std::vector<uint64_t>, double>>;
    for (const Facts& facts : {Facts{{{9, 9}, 0.1}}, Facts{{{1, 3}, 0.5}, {{2, 2}, 0.9}}}) {
      for (const auto& [args, b] : facts) ok(s.edb.assert_fact("main", "q", 2, args, b, 0, {}));
      const EvalStats st = ok(s.materialize_with_options("main", std::nullopt));
      outcome[reference].push_back(std::to_string(st.atoms_changed) + " " +
                                   std::to_string(ok(s.get_atom_state("h", {7})).b));
    }
  }
  EXPECT_EQ(outcome[false], outcome[true]);
}

}  // namespace
}  // namespace ruvo::test
