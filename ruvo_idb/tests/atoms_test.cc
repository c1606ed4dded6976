// Atom states: folding, the write skip, errors, reads, scans and index
// entries, with and without caches.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>

#include "ruvo_core/src/fault.h"
#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const char kEof[] = "Bincode(Io(Kind(UnexpectedEof)))";

// Equal, with NaN equal to NaN.
bool same_state(AtomState g, AtomState e) {
  auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
  return same(g.b, e.b) && same(g.d, e.d);
}
#define EXPECT_STATE(s, eb, ed) EXPECT_PRED2(same_state, s, (AtomState{eb, ed}))

// One upsert of an atom: the amounts, the state it returns, the source.
struct Step { double b, d, eb, ed; const char* id = nullptr; };
struct FoldCase {  // with the record present before, if any
  AggregationMode agg; EvidenceMode ev; std::vector<Step> steps;
  std::optional<AtomState> stored = std::nullopt;
};
const std::vector<Step> kMaxSteps = {{0.2, 0, 0.2, 0}, {0.5, 0.1, 0.5, 0.1},
                                     {0.3, 0, 0.5, 0.1, "x"}};
const std::vector<Step> kSources = {
    {0.5, 0, 0.5, 0, "x"}, {0.5, 0, 0.75, 0, "y"}, {0.5, 0, 0.75, 0, "x"}, {0, 0, 0.5, 0, "x"}};
const FoldCase kFolds[] = {
    // Maximum ignores the evidence mode and id, and keeps no records.
    {kMax, kNone, kMaxSteps}, {kMax, kPerSource, kMaxSteps}, {kMax, kProofTree, kMaxSteps},
    // Mode None folds the same source twice; capped sums have no lower bound.
    {kNoisyOr, kNone, {{0.5, 0, 0.5, 0, "same"}, {0.5, 0, 0.75, 0, "same"}}},
    {kCapped, kNone, {{0.7, 0.2, 0.7, 0.2}, {0.7, 0.2, 1, 0.4}, {-1.5, 0, -0.5, 0.4}}},
    // A known source is replaced and the state recomputed over all records.
    {kNoisyOr, kPerSource, kSources}, {kNoisyOr, kProofTree, kSources},
    // Capped sums depend on the order with negative amounts: arrival order
    // folds to 0.5; recomputing in key order (shorter ids first) to 0.9.
    {kCapped, kPerSource,
     {{0.9, 0, 0.9, 0, "x1"}, {0.5, 0, 1, 0, "x2"}, {-0.5, 0, 0.5, 0, "a"},
      {0.5, 0, 0.9, 0, "x2"}}},
    // Changes strictly below 1e-12 are not written.
    {kCapped, kNone, {{1e-13, 0, 1e-13, 0}, {1e-13, 0, 1e-13, 0}, {1e-12, 0, 1e-12, 0}}},
    // A NaN contribution is ignored by max folding, but a stored NaN is kept.
    {kMax, kNone, {{0.5, 0, 0.5, 0}, {kNaN, kNaN, 0.5, 0}}},
    {kMax, kNone, {{0.9, 0.1, kNaN, 0.1}}, AtomState{kNaN, 0}},
    {kNoisyOr, kNone, {{kNaN, 0, kNaN, 0}, {0.5, 0, kNaN, 0}}},
    // A NaN sum caps to 1, and so does -inf + inf.
    {kCapped, kNone, {{kNaN, 0, 1, 0}, {kInf, -kInf, 1, -kInf}, {0, kInf, 1, 1}}},
};

using IdbAtoms = IdbTest;

TEST_P(IdbAtoms, FoldsByAggregationAndEvidenceMode) {
  for (size_t i = 0; i < std::size(kFolds); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const FoldCase& c = kFolds[i];
    const uint64_t p = reg("p" + std::to_string(i), 1, c.agg, c.ev).pred_id;
    const std::string key = encode_state_key(AtomKey{p, {1}});
    if (c.stored) ok(store().state_tree().insert(key, encode_atom_state(*c.stored)));
    std::map<std::string, std::string> records;  // the latest amount per source
    AtomState last{};
    for (const Step& s : c.steps) {
      const auto id = s.id ? std::optional<std::string>(s.id) : std::nullopt;
      last = up(p, {1}, s.b, s.d, id);
      EXPECT_STATE(last, s.eb, s.ed);
      if (id && c.agg != kMax && c.ev != kNone)
        records[encode_contrib_key(key, *id)] = encode_contribution({s.b, s.d, id});
    }
    EXPECT_STATE(get(p, {1}), last.b, last.d);
    EXPECT_EQ(ok(store().state_tree().get(key)), encode_atom_state(last));
    EXPECT_EQ(dump(store().contrib_tree(), key), Entries(records.begin(), records.end()));
    if (!records.empty()) {
      EXPECT_STATE(ok(store().recompute_aggregate(c.agg, key)), last.b, last.d);
    }
  }
}

TEST_P(IdbAtoms, ChangesWithinTheThresholdAreNotWritten) {
  // From (0, 0) a fold's change is the amount itself: strictly below 1e-12
  // on both sides changes nothing; exactly 1e-12 on either side does.
  const double lo = std::nextafter(1e-12, 0.0), hi = std::nextafter(1e-12, 1.0);
  const std::tuple<double, double, bool> cases[] = {
      {lo, 0, false},    {1e-12, 0, true}, {hi, 0, true},      {0, lo, false},
      {0, 1e-12, true},  {0, hi, true},    {lo, lo, false},    {lo, 1e-12, true},
      {1e-12, lo, true}, {-lo, -lo, false}, {0, -1e-12, true}};
  for (AggregationMode agg : {kMax, kCapped}) {
    const uint64_t p = reg("t" + std::to_string(int(agg)), 1, agg).pred_id;
    for (uint64_t i = 0; i < std::size(cases); ++i) {
      const auto [b, d, written] = cases[i];
      if (agg == kMax && (b < 0 || d < 0)) continue;  // a maximum never falls below 0
      SCOPED_TRACE(::testing::Message() << std::hexfloat << b << " " << d);
      EXPECT_STATE(up(p, {i}, b, d), b, d);  // returned even when not written
      const auto rec = ok(store().state_tree().get(encode_state_key(AtomKey{p, {i}})));
      EXPECT_EQ(rec.has_value(), written);
      EXPECT_STATE(get(p, {i}), written ? b : 0, written ? d : 0);
    }
  }
}

TEST_P(IdbAtoms, RecomputationOverRecords) {
  // maxNum skips NaN records; noisy-or spreads them; capped sums cap them.
  const uint64_t p = reg("ps", 1, kNoisyOr, kPerSource).pred_id;
  EXPECT_STATE(up(p, {1}, kNaN, 0.0, "a"), kNaN, 0.0);
  up(p, {1}, 0.3, 0.2, "b");
  const std::string key = encode_state_key(AtomKey{p, {1}});
  EXPECT_STATE(ok(store().recompute_aggregate(kMax, key)), 0.3, 0.2);
  EXPECT_TRUE(std::isnan(ok(store().recompute_aggregate(kNoisyOr, key)).b));
  EXPECT_STATE(ok(store().recompute_aggregate(kCapped, key)), 1.0, 0.2);
  // A broken record: a new source folds without reading it; a known one
  // recomputes and meets it; reporting the broken source replaces it.
  const uint64_t q = reg("broken", 1, kNoisyOr, kPerSource).pred_id;
  const std::string qkey = encode_state_key(AtomKey{q, {1}});
  ok(store().contrib_tree().insert(encode_contrib_key(qkey, "bad"), std::string(10, '\0')));
  EXPECT_STATE(up(q, {1}, 0.5, 0.0, "x"), 0.5, 0.0);
  EXPECT_EQ(err(store().upsert_atom(AtomKey{q, {1}}, {0.5, 0.0, "x"})), kEof);
  EXPECT_STATE(up(q, {1}, 0.5, 0.0, "bad"), 0.75, 0.0);
  EXPECT_STATE(up(q, {1}, 0.0, 0.0, "x"), 0.5, 0.0);
}

TEST_P(IdbAtoms, RefusedUpsertsWriteNothing) {
  for (auto [agg, ev] : {std::pair{kNoisyOr, kPerSource}, {kCapped, kProofTree}}) {
    const uint64_t p = reg("m" + std::to_string(int(agg)), 1, agg, ev).pred_id;
    EXPECT_EQ(err(store().upsert_atom(AtomKey{p, {1}}, {0.5, 0.5, {}})), "MissingEvidence");
  }
  EXPECT_TRUE(dump(store(), "state").empty() && dump(store(), "contrib").empty());
  // Profile and arity are checked before the state is read (short records
  // sit under the keys): a short record fails every read reaching it; a long
  // one reads, and an equal contribution leaves it as it was.
  const uint64_t p = reg("pair", 2).pred_id;
  const std::string rec = encode_atom_state({0.25, 0.75});
  for (const AtomKey& k : {AtomKey{p, {1, 2, 3}}, AtomKey{99, {1}}, AtomKey{p, {1, 2}}})
    ok(store().state_tree().insert(encode_state_key(k), rec.substr(0, 15)));
  ok(store().state_tree().insert(encode_state_key(AtomKey{p, {3, 4}}), rec + "\x01"));
  auto upsert = [&](AtomKey k) { return err(store().upsert_atom(k, {1, 0, std::nullopt})); };
  EXPECT_EQ(upsert(AtomKey{p, {1, 2, 3}}), "InvalidArity { expected: 2, found: 3 }");
  EXPECT_EQ(upsert(AtomKey{99, {1}}), "UnknownPredicate(99)");
  EXPECT_EQ(upsert(AtomKey{p, {1, 2}}), kEof);
  EXPECT_EQ(err(store().get_state(AtomKey{p, {1, 2}})), kEof);
  EXPECT_EQ(err(store().scan_predicate(p)), kEof);
  EXPECT_STATE(up(p, {3, 4}, 0.25), 0.25, 0.75);
  EXPECT_EQ(ok(store().state_tree().get(encode_state_key({p, {3, 4}}))), rec + "\x01");
}

TEST_P(IdbAtoms, ReadsAndScans) {
  EXPECT_STATE(get(42, {1, 2, 3}), 0.0, 0.0);  // no profile needed
  const uint64_t two = reg("two", 2, kCapped).pred_id;
  using Rows = std::vector<std::vector<uint64_t>>;
  for (const auto& args : Rows{{1, 1}, {2, 1}, {1, 2}, {1, 0}, {UINT64_MAX, 0}})
    up(two, args, 0.5);
  EXPECT_STATE(up(two, {2, 1}, -0.5), 0.0, 0.0);  // folded back to zero, still listed
  auto args_of = [&](const StoreResult<std::vector<std::pair<AtomKey, AtomState>>>& rows) {
    Rows out;
    for (auto& [k, s] : ok(rows)) {
      EXPECT_TRUE(k.pred_id == two && same_bits(s, get(two, k.args)));
      out.push_back(k.args);
    }
    return out;
  };
  auto scan = [&](Rows::value_type l) { return args_of(store().scan_predicate_prefix(two, l)); };
  // Ascending unsigned by arguments, first argument first.
  const Rows all{{1, 0}, {1, 1}, {1, 2}, {2, 1}, {UINT64_MAX, 0}};
  EXPECT_EQ(args_of(store().scan_predicate(two)), all);
  EXPECT_EQ(scan({}), all);
  EXPECT_EQ(scan({1, 2}), (Rows{{1, 2}}));
  EXPECT_EQ(scan({1, 2, 3}), Rows{});
  up(two, {1, 5}, 0.5);  // rows written after a scan are seen by the next one
  EXPECT_EQ(scan({1}), (Rows{{1, 0}, {1, 1}, {1, 2}, {1, 5}}));
}

TEST_P(IdbAtoms, IndexEntries) {
  reg("a", 1), reg("b", 1);
  ASSERT_EQ(reg("edge", 2, kCapped, kNone, {IndexSpec{"by_obj", {1}}}).pred_id, 3u);
  // State changes rewrite the same key; a skipped write writes nothing.
  for (auto [x, y, b] : std::vector<std::tuple<uint64_t, uint64_t, double>>{
           {5, 9, 0.5}, {5, 9, 0.25}, {5, 9, 1e-14}, {4, 9, 0.5}, {6, 1, 0.5}})
    up(3, {x, y}, b);
  EXPECT_EQ(dump(store(), "idx_3_by_obj"),
            (Entries{{be({1, 3, 6, 1}), ""}, {be({9, 3, 4, 9}), ""}, {be({9, 3, 5, 9}), ""}}));
  // Positions may repeat, and specs of one name share a tree.
  const uint64_t p =
      reg("p", 2, kMax, kNone, {{"twice", {0, 0}}, {"ix", {0}}, {"ix", {1, 0}}}).pred_id;
  up(p, {7, 8}, 0.5);
  const std::string prefix = "idx_" + std::to_string(p) + "_";
  EXPECT_EQ(dump(store(), prefix + "twice"), (Entries{{be({7, 7, p, 7, 8}), ""}}));
  EXPECT_EQ(dump(store(), prefix + "ix"),
            (Entries{{be({7, p, 7, 8}), ""}, {be({8, 7, p, 7, 8}), ""}}));
  // A position beyond the arguments is a fault, met after the state and
  // the earlier index entries were written.
  const uint64_t bad = reg("bad", 2, kMax, kNone, {{"ok", {0}}, {"bad", {2}}}).pred_id;
  EXPECT_THROW((void)up(bad, {1, 2}, 0.5), Fault);
  EXPECT_EQ(get(bad, {1, 2}).b, 0.5);
  EXPECT_EQ(dump(store(), "idx_" + std::to_string(bad) + "_ok").size(), 1u);
}

// A caller folding by itself stores what upsert_atom stores: the same
// state and index entries, read back alike through every cache, and the
// same fault on an index position beyond the arguments.
TEST_P(IdbAtoms, FoldedStatesAreStoredAsUpsertsStoreThem) {
  RuvoStore folded = temp_store(GetParam());
  struct Up { uint64_t x, y; double b, d; };
  const std::vector<Up> ups = {{1, 2, 0.5, 0}, {1, 2, 0.7, 0.1}, {1, 2, 0.2, 0}, {3, 2, kNaN, 0.5},
                               {1, 2, 0.7 + 1e-13, 0}, {9, 9, 1, 1}};
  for (const AggregationMode agg : {kMax, kCapped}) {
    const std::string name = "e" + std::to_string(int(agg));
    const std::vector<IndexSpec> ix = {{"by_y", {1}}};
    const PredicateProfile prof = reg(name, 2, agg, kNone, ix);
    ok(folded.registry.register_predicate(name, 2, agg, kNone, ix));
    for (const Up& u : ups) {
      const std::vector<uint64_t> args = {u.x, u.y};
      up(prof.pred_id, args, u.b, u.d);
      const AtomState old = ok(folded.get_state(prof.pred_id, args));
      const AtomState next = RuvoStore::fold_in(agg, old, u.b, u.d);
      if (!AtomState::approx_eq(old, next)) ok(folded.write_folded_state(prof, args, next));
      EXPECT_TRUE(same_bits(ok(folded.get_state(prof.pred_id, args)), get(prof.pred_id, args)));
    }
    for (const std::string& tree : {std::string("state"), "idx_" + std::to_string(prof.pred_id) + "_by_y"})
      EXPECT_EQ(dump(folded, tree), dump(store(), tree)) << tree;
    EXPECT_EQ(ok(folded.scan_predicate(prof.pred_id)).size(), 3u);
  }
  const PredicateProfile bad = ok(folded.registry.register_predicate("bad", 2, kMax, kNone, {{"x", {2}}}));
  EXPECT_THROW((void)folded.write_folded_state(bad, std::vector<uint64_t>{1, 2}, {0.5, 0}), Fault);
  EXPECT_EQ(ok(folded.get_state(bad.pred_id, std::vector<uint64_t>{1, 2})).b, 0.5);
}

// Folded states written together are stored, cached and read back as the
// same states written one by one: batched or not, with cache writes on or
// off, with and without index entries, a key written twice and a
// predicate whose states were read (and copied whole) before.
TEST_P(IdbAtoms, FoldedStatesWrittenTogetherAsOneByOne) {
  using Row = std::pair<std::vector<uint64_t>, AtomState>;
  std::vector<Row> rows = {{{1, 2}, {0.5, 0}}, {{3, 4}, {kNaN, 0.25}}, {{1, 2}, {0.75, 0.5}},
                           {{0, 0}, {1, 1}},   {{7, 2}, {0.125, 0}}};
  // Enough atoms that the cached states are forgotten rather than updated.
  for (uint64_t i = 0; i < 5000; ++i) rows.push_back({{i % 9, i}, {0.25, 0}});
  for (const size_t n : {size_t{5}, rows.size()}) {
    for (const bool batched : {false, true}) {
      for (const bool cache_writes : {false, true}) {
        RuvoStore stores[2] = {temp_store(GetParam()), temp_store(GetParam())};
        for (int ix = 0; ix < 2; ++ix) {
          std::vector<IndexSpec> indexes;
          if (ix) indexes.push_back({"by_y", {1}});
          const std::string name = "p" + std::to_string(ix);
          PredicateProfile prof[2];
          for (int k = 0; k < 2; ++k) {
            const RuvoStore& st = stores[k];
            prof[k] = ok(st.registry.register_predicate(name, 2, kMax, kNone, indexes));
            ok(st.write_folded_state(prof[k], std::vector<uint64_t>{3, 4}, {0.5, 0.5}));
            ok(st.write_folded_state(prof[k], std::vector<uint64_t>{9, 9}, {0.5, 0}));
            (void)ok(st.scan_predicate(prof[k].pred_id));
            (void)ok(st.get_state(prof[k].pred_id, std::vector<uint64_t>{1, 2}));
            if (batched) st.begin_batched_writes();
            st.set_cache_writes(cache_writes);
          }
          for (size_t i = 0; i < n; ++i)
            ok(stores[0].write_folded_state(prof[0], rows[i].first, rows[i].second));
          size_t written = 0;
          ok(stores[1].write_folded_states(prof[1], n, [&](size_t i) {
            return std::pair(std::span<const uint64_t>(rows[i].first), rows[i].second);
          }, &written));
          EXPECT_EQ(written, n);
          auto sig = [](const std::vector<std::pair<AtomKey, AtomState>>& v) {
            std::vector<std::tuple<std::vector<uint64_t>, uint64_t, uint64_t>> out;
            for (const auto& [k, st] : v)
              out.emplace_back(k.args, std::bit_cast<uint64_t>(st.b), std::bit_cast<uint64_t>(st.d));
            return out;
          };
          for (size_t i = 0; i < n; i += 1 + i / 8)
            EXPECT_TRUE(same_bits(ok(stores[1].get_state(prof[1].pred_id, rows[i].first)),
                                  ok(stores[0].get_state(prof[0].pred_id, rows[i].first))));
          EXPECT_EQ(sig(ok(stores[1].scan_predicate(prof[1].pred_id))),
                    sig(ok(stores[0].scan_predicate(prof[0].pred_id))));
          for (const RuvoStore& st : stores) {
            st.set_cache_writes(true);
            if (batched) ok(st.end_batched_writes());
          }
          EXPECT_EQ(sig(ok(stores[1].scan_predicate(prof[1].pred_id))),
                    sig(ok(stores[0].scan_predicate(prof[0].pred_id))));
        }
        for (const char* tree : {"state", "idx_1_by_y", "idx_2_by_y"})
          EXPECT_EQ(dump(stores[1], tree), dump(stores[0], tree)) << tree << batched << cache_writes;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Caches, IdbAtoms, ::testing::Bool());

}  // namespace
}  // namespace ruvo::test
