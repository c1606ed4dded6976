// The caches and batched writes change no result and no stored byte: a
// randomized workload runs against stores without caches, with caches, with
// caches too small to hold anything for long, and with batched writes; and
// concurrent use keeps the caches in step with the database.
#include <gtest/gtest.h>

#include <barrier>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <thread>

#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo::test {
namespace {

std::string show(const AtomState& s) {
  uint64_t b, d;
  std::memcpy(&b, &s.b, 8);
  std::memcpy(&d, &s.d, 8);
  std::ostringstream out;
  out << std::hex << b << "/" << d;
  return out.str();
}
std::string show(const StoreResult<AtomState>& r) {
  return r ? show(*r) : "E:" + r.error().debug();
}
std::string show(const StoreResult<std::vector<std::pair<AtomKey, AtomState>>>& r) {
  if (!r) return "E:" + r.error().debug();
  std::ostringstream out;
  for (const auto& [k, s] : *r) {
    out << k.pred_id;
    for (uint64_t a : k.args) out << "," << a;
    out << "=" << show(s) << ";";
  }
  return out.str();
}

// Runs the same seeded workload on a store and records every answer.
// `between` runs before each step.
std::vector<std::string> run_workload(const RuvoStore& store, uint32_t seed,
                                      const std::function<void(int)>& between = {}) {
  std::mt19937_64 rng(seed);
  auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
  std::vector<PredicateProfile> preds;
  for (AggregationMode agg :
       {AggregationMode::Maximum, AggregationMode::NoisyOr, AggregationMode::CappedSum}) {
    for (EvidenceMode ev : {EvidenceMode::None, EvidenceMode::PerSource, EvidenceMode::ProofTree}) {
      const uint64_t n = preds.size(), arity = 1 + (n % 4);  // arity 4: keys too long to sit inline
      std::vector<IndexSpec> idx;
      if (n % 4 == 0) idx.push_back(IndexSpec{"i", {arity - 1}});
      preds.push_back(
          ok(store.registry.register_predicate("p" + std::to_string(n), arity, agg, ev, idx)));
    }
  }
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const double kInf = std::numeric_limits<double>::infinity();
  const double amounts[] = {0.0,  0.1,  0.5,    0.9, 1.0,   -0.5, 0.3,  1e-13, 2e-12,
                            0.7,  0.25, 0.05, -1e-13, 1.5, 0.999, kNaN, kInf};
  auto amount = [&] {
    const uint64_t i = pick(200);  // NaN and infinity only rarely
    return i < 2 ? amounts[15 + i] : amounts[i % 15];
  };
  auto args_for = [&](uint64_t arity) {
    std::vector<uint64_t> args(arity);
    for (auto& a : args) a = pick(4);
    return args;
  };
  std::vector<std::string> log;
  for (int step = 0; step < 6000; ++step) {
    if (between) between(step);
    const PredicateProfile& p = preds[pick(preds.size())];
    const uint64_t what = pick(10);
    if (what < 4) {
      std::optional<std::string> id;
      if (pick(8) != 0) id = "e" + std::to_string(pick(5));
      log.push_back("up " + show(store.upsert_atom(AtomKey{p.pred_id, args_for(p.arity)},
                                                   {amount(), amount(), id})));
    } else if (what < 6) {
      const uint64_t pred = pick(12) == 0 ? 99 : p.pred_id;
      const uint64_t arity = pick(3) == 0 ? 2 : p.arity;
      log.push_back("get " + show(store.get_state(AtomKey{pred, args_for(arity)})));
    } else if (what == 6) {
      log.push_back("scan " + show(store.scan_predicate(p.pred_id)));
    } else if (what == 7) {
      const auto lead = args_for(pick(p.arity + 1));
      log.push_back("prefix " + show(store.scan_predicate_prefix(p.pred_id, lead)));
    } else if (what == 8) {
      // Every third text is too long to sit inline in the cache.
      const uint64_t i = pick(300);
      const std::string text = "s" + std::to_string(i) + std::string(i % 3 == 0 ? 50 : 0, 'x');
      auto r = store.symbols.get_or_insert(text);
      log.push_back("intern " + (r ? std::to_string(*r) : r.error().debug()));
    } else {
      auto r = store.symbols.get_text(pick(320));
      log.push_back("text " + (r ? r->value_or("<none>") : r.error().debug()));
    }
  }
  return log;
}

std::vector<Entries> dump_all(const RuvoStore& store) {
  std::vector<Entries> out;
  for (const char* t :
       {"sym_by_text", "sym_by_id", "sym_meta", "pred_by_name", "pred_profiles", "pred_meta",
        "state", "contrib", "branch_watermark", "idx_1_i", "idx_5_i", "idx_9_i"}) {
    out.push_back(dump(store, t));
  }
  return out;
}

TEST(IdbCaches, SameAnswersAndBytesWithAndWithoutCaches) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    RuvoStore plain = temp_store(false);
    const auto expected = run_workload(plain, seed);
    // Default caches, budgets that hold a few entries (constant eviction),
    // and budgets too small to hold any.
    for (size_t budget : {size_t{0}, size_t{48} << 10, size_t{3000}}) {
      RuvoStore cached = temp_store(true, budget);
      const auto got = run_workload(cached, seed);
      ASSERT_EQ(expected.size(), got.size());
      for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(expected[i], got[i]) << "seed " << seed << " budget " << budget << " step " << i;
      }
      EXPECT_EQ(dump_all(plain), dump_all(cached)) << "seed " << seed << " budget " << budget;
    }
  }
}

// Batched writes, committed now and then, give the same answers, and the
// reopened database the same bytes, as writes that go straight through.
TEST(IdbCaches, BatchedWritesSameAnswersAndBytes) {
  for (bool caches : {false, true}) {
    ScratchDir dir;
    std::vector<std::string> expected, got;
    std::vector<Entries> expected_bytes;
    {
      RuvoStore direct = file_store(dir / "direct", caches);
      RuvoStore batched = file_store(dir / "batched", caches);
      expected = run_workload(direct, 1);
      got = run_workload(batched, 1, [&](int step) {
        if (step % 1500 == 0) batched.begin_batched_writes();
        if (step % 1500 == 1499) ok(batched.end_batched_writes());
        if (step % 500 == 250) ok(batched.commit_batched_writes());
      });
      expected_bytes = dump_all(direct);
      EXPECT_EQ(dump_all(batched), expected_bytes) << "caches " << caches << ", pending";
      batched.begin_batched_writes();
      // Written after the last commit: kept by closing, as by a commit.
      ok(batched.upsert_atom(AtomKey{1, {7}}, {0.5, 0.0, std::nullopt}));
      ok(direct.upsert_atom(AtomKey{1, {7}}, {0.5, 0.0, std::nullopt}));
      expected_bytes = dump_all(direct);
    }
    ASSERT_EQ(expected.size(), got.size());
    for (size_t i = 0; i < expected.size(); ++i)
      ASSERT_EQ(expected[i], got[i]) << "caches " << caches << ", step " << i;
    EXPECT_EQ(dump_all(file_store(dir / "batched", false)), expected_bytes) << "caches " << caches;
  }
}

// Several threads upsert, read and scan overlapping atoms; afterwards every
// cached answer equals what the database holds.
TEST(IdbCaches, ConcurrentUseKeepsCachesExact) {
  for (size_t budget : {size_t{0}, size_t{48} << 10, size_t{4096}}) {
    RuvoStore store = temp_store(true, budget);
    const uint64_t cap = ok(store.registry.register_predicate("cap", 2, AggregationMode::CappedSum,
                                                              EvidenceMode::None, {}))
                             .pred_id;
    const uint64_t nor = ok(store.registry.register_predicate("nor", 1, AggregationMode::NoisyOr,
                                                              EvidenceMode::PerSource, {}))
                             .pred_id;
    constexpr int kThreads = 8;
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937_64 rng(t);
        start.arrive_and_wait();
        for (int i = 0; i < 3000; ++i) {
          const uint64_t a = rng() % 6, b = rng() % 6;
          const double amount = static_cast<double>(rng() % 7) / 10.0 - 0.3;
          switch (rng() % 5) {
            case 0:
            case 1:
              (void)store.upsert_atom(AtomKey{cap, {a, b}}, {amount, 0.0, std::nullopt});
              break;
            case 2:
              (void)store.upsert_atom(AtomKey{nor, {a}}, {amount, 0.1, "e" + std::to_string(b)});
              break;
            case 3:
              (void)store.get_state(AtomKey{cap, {a, b}});
              break;
            case 4:
              (void)store.scan_predicate(rng() % 2 ? cap : nor);
              (void)store.scan_predicate_prefix(cap, std::vector<uint64_t>{a});
              break;
          }
        }
      });
    }
    for (auto& th : threads) th.join();

    for (uint64_t pred : {cap, nor}) {
      const Entries raw = dump(store.state_tree(), bincode::u64_be(pred));
      const auto rows = ok(store.scan_predicate(pred));
      ASSERT_EQ(rows.size(), raw.size());
      for (size_t i = 0; i < raw.size(); ++i) {
        EXPECT_EQ(encode_state_key(rows[i].first), raw[i].first);
        EXPECT_TRUE(same_bits(rows[i].second, ok(decode_atom_state(raw[i].second))));
        EXPECT_TRUE(same_bits(ok(store.get_state(rows[i].first)), rows[i].second));
      }
    }
    for (uint64_t a = 0; a < 6; ++a) {
      // A known source folds the atom's cached records: the same as folding
      // what the database holds.
      const AtomKey k{nor, {a}};
      ok(store.upsert_atom(k, {0.2, 0.1, "e0"}));
      const AtomState folded = ok(store.upsert_atom(k, {0.2, 0.1, "e0"}));
      EXPECT_TRUE(same_bits(
          folded, ok(store.recompute_aggregate(AggregationMode::NoisyOr, encode_state_key(k)))));
      for (uint64_t b = 0; b < 6; ++b) {
        const AtomKey c{cap, {a, b}};
        const auto raw = ok(store.state_tree().get(encode_state_key(c)));
        EXPECT_TRUE(
            same_bits(ok(store.get_state(c)), raw ? ok(decode_atom_state(*raw)) : AtomState{}));
      }
    }
  }
}

}  // namespace
}  // namespace ruvo::test
