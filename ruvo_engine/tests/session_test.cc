// EngineSession: error texts, opening, fact evidence ids, and what persists
// across sessions over file databases. Materialisation results themselves
// are covered by e2e_test.cc.
#include "ruvo_engine/src/session.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testing/test_support.h"

namespace ruvo::test {
namespace {

TEST(EngineErrorText, WrapsEachLayer) {
  EXPECT_EQ(EngineError(StoreError(StoreError::InvalidArity{2, 3})).debug(),
            "Idb(InvalidArity { expected: 2, found: 3 })");
  EXPECT_EQ(EngineError(EdbError(EdbError::EventNotFound{5})).debug(), "Edb(EventNotFound(5))");
  EXPECT_EQ(EngineError(CompileError(StoreError(StoreError::MissingEvidence{}))).debug(),
            "Compile(Store(MissingEvidence))");
  EXPECT_EQ(EngineError(EvalError(EvalError::MaxIterationsExceeded{})).debug(),
            "Eval(MaxIterationsExceeded)");
  EXPECT_EQ(EngineError(EvalError(StoreError(StoreError::UnknownPredicate{7}))).debug(),
            "Eval(Store(UnknownPredicate(7)))");
}

TEST(SessionOpen, FailuresReleaseWhatWasOpened) {
  ScratchDir dir;
  std::ofstream(dir / "file") << "not a database";
  // An EDB failure never touches the IDB.
  auto s = EngineSession::open(dir / "file", dir / "idb");
  ASSERT_FALSE(s.has_value());
  EXPECT_TRUE(s.error().debug().starts_with("Edb(Sled(\"")) << s.error().debug();
  EXPECT_FALSE(std::filesystem::exists(dir / "idb"));
  // An IDB failure gives up the EDB's lock: it opens again at once.
  s = EngineSession::open(dir / "edb", dir / "file");
  ASSERT_FALSE(s.has_value());
  EXPECT_TRUE(s.error().debug().starts_with("Idb(Sled(\"")) << s.error().debug();
  ok(EngineSession::open(dir / "edb", dir / "idb"));
}

TEST(SessionOpen, NewSessionAnswersNothingUntilItMaterialises) {
  ScratchDir dir;
  uint64_t a = 0, b = 0;
  {
    EngineSession s = ok(EngineSession::open(dir / "edb", dir / "idb"));
    a = ok(s.intern("a"));
    b = ok(s.intern("b"));
    ok(s.edb.assert_fact("main", "e", 2, {a, b}, 0.9, 0.0, std::nullopt));
    ok(s.edb.add_rule("main", Rule{1,
                                   "p",
                                   2,
                                   {Term::var("X"), Term::var("Y")},
                                   {AtomGoal{"e", 2, false, {Term::var("X"), Term::var("Y")}}},
                                   1.0,
                                   0.0}));
    ok(s.materialize_with_options("main", std::nullopt));
    EXPECT_EQ(ok(s.query_all("p")).size(), 1u);
    ok(s.flush_all());
  }
  EngineSession s = ok(EngineSession::open(dir / "edb", dir / "idb"));
  EXPECT_TRUE(ok(s.query_all("p")).empty());
  EXPECT_EQ(ok(s.get_atom_state("p", {a, b})).b, 0.0);
  // Stored values outside the name map are still there.
  EXPECT_EQ(ok(s.intern("a")), a);
  EXPECT_EQ(ok(s.idb_watermark("main")), 2u);
  EXPECT_EQ(ok(s.edb_watermark()), 2u);
  const EvalStats m = ok(s.materialize_with_options("main", std::nullopt));
  EXPECT_EQ(m.iterations, 1u);
  EXPECT_EQ(m.atoms_changed, 0u);  // derived by the first session already
  const auto rows = ok(s.query_all("p"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].args, (std::vector<uint64_t>{a, b}));
  EXPECT_DOUBLE_EQ(rows[0].b, 0.9);
  EXPECT_EQ(rows[0].status, BelnapStatus::True);
}

TEST(SessionMaterialize, FactEvidenceIdsAndRetraction) {
  EngineSession s = ok(EngineSession::open_temporary());
  s.configure_predicate("p", AggregationMode::NoisyOr, EvidenceMode::PerSource);
  ok(s.edb.assert_fact("main", "p", 1, {1}, 0.5, 0.0, std::nullopt));
  for (int i = 0; i < 9; ++i) ok(s.edb.assert_fact("other", "q", 0, {}, 1, 0, {}));
  ASSERT_EQ(ok(s.edb.assert_fact("main", "p", 1, {1}, 0.5, 0.0, std::nullopt)), 11u);
  ok(s.materialize_with_options("main", std::nullopt));
  EXPECT_DOUBLE_EQ(ok(s.get_atom_state("p", {1})).b, 0.75);
  const std::string prefix = encode_state_key(s.pred_ids.at("p"), std::vector<uint64_t>{1});
  std::vector<std::string> ids;
  for (const auto& [k, v] : dump(s.idb.contrib_tree(), prefix))
    ids.push_back(k.substr(prefix.size() + 4));
  EXPECT_EQ(ids, (std::vector<std::string>{"edb_1", "edb_11"}));  // length first in key order
  // A retracted fact is not applied again, but its contribution stays.
  ok(s.edb.retract_fact("main", 11));
  ok(s.materialize_with_options("main", std::nullopt));
  EXPECT_DOUBLE_EQ(ok(s.get_atom_state("p", {1})).b, 0.75);
  EXPECT_EQ(ok(s.idb_watermark("main")), 12u);
  EXPECT_EQ(ok(s.idb_watermark("other")), std::nullopt);
}

}  // namespace
}  // namespace ruvo::test
