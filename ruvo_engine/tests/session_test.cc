// EngineSession: opening, error texts, queries and what persists across
// sessions over file databases.
#include <gtest/gtest.h>

#include <filesystem>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <unistd.h>

#include "ruvo_engine/src/session.h"

namespace ruvo {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    static int counter = 0;
    path_ = fs::path(::testing::TempDir()) /
            ("ruvo_session_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

EngineSession temporary() {
  auto s = EngineSession::open_temporary();
  EXPECT_TRUE(s.has_value());
  return std::move(*s);
}

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

TEST(SessionOpen, EdbFailureNeverTouchesTheIdb) {
  TempDir dir;
  std::ofstream(dir / "file") << "not a database";
  auto s = EngineSession::open(dir / "file", dir / "idb");
  ASSERT_FALSE(s.has_value());
  EXPECT_TRUE(s.error().debug().starts_with("Edb(Sled(\"")) << s.error().debug();
  EXPECT_FALSE(fs::exists(dir / "idb"));
}

TEST(SessionOpen, IdbFailureReleasesTheEdb) {
  TempDir dir;
  std::ofstream(dir / "file") << "not a database";
  auto s = EngineSession::open(dir / "edb", dir / "file");
  ASSERT_FALSE(s.has_value());
  EXPECT_TRUE(s.error().debug().starts_with("Idb(Sled(\"")) << s.error().debug();
  // The EDB's lock was given up: the same directory opens again at once.
  auto again = EngineSession::open(dir / "edb", dir / "idb");
  ASSERT_TRUE(again.has_value()) << again.error().debug();
}

TEST(SessionOpen, NewSessionAnswersNothingUntilItMaterialises) {
  TempDir dir;
  uint64_t a = 0, b = 0;
  {
    auto s = EngineSession::open(dir / "edb", dir / "idb");
    ASSERT_TRUE(s.has_value()) << s.error().debug();
    a = *s->intern("a");
    b = *s->intern("b");
    ASSERT_TRUE(s->edb.assert_fact("main", "e", 2, {a, b}, 0.9, 0.0, std::nullopt));
    Rule r{1, "p", 2, {Term::var("X"), Term::var("Y")},
           {AtomGoal{"e", 2, false, {Term::var("X"), Term::var("Y")}}}, 1.0, 0.0};
    ASSERT_TRUE(s->edb.add_rule("main", r));
    auto m = s->materialize_with_options("main", std::nullopt);
    ASSERT_TRUE(m.has_value()) << m.error().debug();
    EXPECT_EQ(s->query_all("p")->size(), 1u);
    ASSERT_TRUE(s->flush_all().has_value());
  }
  auto s = EngineSession::open(dir / "edb", dir / "idb");
  ASSERT_TRUE(s.has_value()) << s.error().debug();
  EXPECT_TRUE(s->query_all("p")->empty());
  EXPECT_EQ(s->get_atom_state("p", {a, b})->b, 0.0);
  // Stored values outside the name map are still there.
  EXPECT_EQ(*s->intern("a"), a);
  EXPECT_EQ(*s->idb_watermark("main"), std::optional<uint64_t>(2));
  EXPECT_EQ(*s->edb_watermark(), 2u);

  auto m = s->materialize_with_options("main", std::nullopt);
  ASSERT_TRUE(m.has_value()) << m.error().debug();
  EXPECT_EQ(m->iterations, 1u);
  EXPECT_EQ(m->atoms_changed, 0u);  // derived by the first session already
  auto rows = s->query_all("p");
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0].args, (std::vector<uint64_t>{a, b}));
  EXPECT_DOUBLE_EQ((*rows)[0].b, 0.9);
  EXPECT_EQ((*rows)[0].status, BelnapStatus::True);
}

TEST(SessionQuery, ThresholdAndStatus) {
  EngineSession s = temporary();
  s.configure_predicate("spread", AggregationMode::NoisyOr, EvidenceMode::None);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ASSERT_TRUE(s.edb.assert_fact("main", "p", 1, {1}, 1e-12, 0.0, std::nullopt));
  ASSERT_TRUE(s.edb.assert_fact("main", "p", 1, {2}, 2e-12, 0.0, std::nullopt));
  ASSERT_TRUE(s.edb.assert_fact("main", "p", 1, {3}, 0.0, 0.5, std::nullopt));
  ASSERT_TRUE(s.edb.assert_fact("main", "p", 1, {4}, 0.5, 0.5, std::nullopt));
  ASSERT_TRUE(s.edb.assert_fact("main", "p", 1, {6}, 0.0, 0.0, "src"));
  // Noisy-or spreads a NaN into the stored state.
  ASSERT_TRUE(s.edb.assert_fact("main", "spread", 1, {5}, nan, 0.0, std::nullopt));

  EXPECT_TRUE(s.query_all("p")->empty());  // not materialised yet
  ASSERT_TRUE(s.materialize_with_options("main", std::nullopt).has_value());
  auto rows = s.query_all("p");
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ((*rows)[0].args, std::vector<uint64_t>{2});
  EXPECT_EQ((*rows)[0].b, 2e-12);
  EXPECT_EQ((*rows)[0].status, BelnapStatus::True);
  EXPECT_EQ((*rows)[1].status, BelnapStatus::False);
  EXPECT_EQ((*rows)[2].status, BelnapStatus::Both);
  EXPECT_EQ(s.get_atom_state("p", {1})->b, 1e-12);  // stored, yet not listed

  auto spread = s.query_all("spread");
  ASSERT_EQ(spread->size(), 1u);
  EXPECT_TRUE(std::isnan((*spread)[0].b));
  EXPECT_EQ((*spread)[0].status, BelnapStatus::Neither);

  // Another argument count names another key: no state and no error.
  auto st = s.get_atom_state("p", {4, 4});
  ASSERT_TRUE(st.has_value());
  EXPECT_EQ(st->b, 0.0);
  EXPECT_EQ(s.get_atom_state("p", {4})->d, 0.5);
  EXPECT_TRUE(s.query_all("nothing")->empty());
}

TEST(SessionConfig, TakesEffectOnlyAtFirstRegistration) {
  EngineSession s = temporary();
  s.configure_predicate("n", AggregationMode::CappedSum, EvidenceMode::None);
  s.configure_predicate("n", AggregationMode::NoisyOr, EvidenceMode::None);  // replaces
  s.configure_predicate("m", AggregationMode::NoisyOr, EvidenceMode::None);
  ASSERT_TRUE(s.edb.assert_fact("main", "n", 1, {1}, 0.6, 0.0, std::nullopt));
  ASSERT_TRUE(s.edb.assert_fact("main", "m", 1, {1}, 0.6, 0.0, std::nullopt));
  ASSERT_TRUE(s.materialize_with_options("main", std::nullopt));
  // m is registered now; configuring it again changes nothing.
  s.configure_predicate("m", AggregationMode::CappedSum, EvidenceMode::None);
  ASSERT_TRUE(s.materialize_with_options("main", std::nullopt));
  EXPECT_DOUBLE_EQ(s.get_atom_state("n", {1})->b, 1 - 0.4 * 0.4);
  EXPECT_DOUBLE_EQ(s.get_atom_state("m", {1})->b, 1 - 0.4 * 0.4);
}

TEST(SessionMaterialize, FactEvidenceIdsAndRetraction) {
  EngineSession s = temporary();
  s.configure_predicate("p", AggregationMode::NoisyOr, EvidenceMode::PerSource);
  ASSERT_TRUE(s.edb.assert_fact("main", "p", 1, {1}, 0.5, 0.0, std::nullopt));
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(s.edb.assert_fact("other", "q", 0, {}, 1, 0, {}));
  auto late = s.edb.assert_fact("main", "p", 1, {1}, 0.5, 0.0, std::nullopt);
  ASSERT_EQ(*late, 11u);
  ASSERT_TRUE(s.materialize_with_options("main", std::nullopt));
  EXPECT_DOUBLE_EQ(s.get_atom_state("p", {1})->b, 0.75);

  const std::string prefix = encode_state_key(s.pred_ids.at("p"), std::vector<uint64_t>{1});
  std::vector<std::string> ids;
  ASSERT_TRUE(s.idb.contrib_tree().scan_prefix(prefix, [&](std::string_view k, std::string_view) {
    ids.emplace_back(k.substr(prefix.size() + 4));
    return true;
  }));
  EXPECT_EQ(ids, (std::vector<std::string>{"edb_1", "edb_11"}));  // length first in key order

  // A retracted fact is not applied again, but its contribution stays.
  ASSERT_TRUE(s.edb.retract_fact("main", 11));
  ASSERT_TRUE(s.materialize_with_options("main", std::nullopt));
  EXPECT_DOUBLE_EQ(s.get_atom_state("p", {1})->b, 0.75);
  EXPECT_EQ(**s.idb_watermark("main"), 12u);
  EXPECT_FALSE(s.idb_watermark("other")->has_value());
}

}  // namespace
}  // namespace ruvo
