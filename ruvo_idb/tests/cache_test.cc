// The caches and batched writes change no result and no stored byte.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <random>

#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo::test {
namespace {

// Renderings of every answer, states by their f64 bits.
std::string show(uint64_t id) { return std::to_string(id); }
std::string show(const std::optional<std::string>& text) { return text.value_or("<none>"); }
std::string show(const AtomState& s) {
  return show(std::bit_cast<uint64_t>(s.b)) + "/" + show(std::bit_cast<uint64_t>(s.d));
}
std::string show(const std::vector<std::pair<AtomKey, AtomState>>& rows) {
  std::string out;
  for (const auto& [k, s] : rows) out += encode_state_key(k) + "=" + show(s) + ";";
  return out;
}
template <class T>
std::string show(const StoreResult<T>& r) {
  return r ? show(*r) : "E:" + r.error().debug();
}

// Runs a seeded workload on a store and records every answer.
std::vector<std::string> run_workload(const RuvoStore& store, uint32_t seed,
                                      const std::function<void(int)>& between = {}) {
  std::mt19937_64 rng(seed);
  auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
  // Every aggregation and evidence mode; arity 4 makes keys too long to sit
  // inline.
  std::vector<PredicateProfile> preds;
  for (uint64_t n = 0, arity = 1; n < 9; ++n, arity = 1 + n % 4) {
    preds.push_back(ok(store.registry.register_predicate(
        "p" + show(n), arity, AggregationMode(n / 3), EvidenceMode(n % 3),
        n % 4 == 0 ? std::vector<IndexSpec>{{"i", {arity - 1}}} : std::vector<IndexSpec>{})));
  }
  const double amounts[] = {0.0,   0.1, 0.5,  0.9,  1.0,    -0.5, 0.3,   1e-13,        2e-12,
                            0.7,   0.25, 0.05, -1e-13, 1.5, 0.999, std::nan(""), INFINITY};
  auto amount = [&] {
    const uint64_t i = pick(200);  // NaN and infinity only rarely
    return i < 2 ? amounts[15 + i] : amounts[i % 15];
  };
  auto args = [&](uint64_t arity) {
    std::vector<uint64_t> out(arity);
    for (auto& a : out) a = pick(4);
    return out;
  };
  std::vector<std::string> log;
  for (int step = 0; step < 6000; ++step) {
    if (between) between(step);
    const PredicateProfile& p = preds[pick(preds.size())];
    const uint64_t i = pick(300);  // every third text is too long to sit inline
    const std::string text = "s" + show(i) + std::string(i % 3 ? 0 : 50, 'x');
    switch (pick(10)) {
      case 0: case 1: case 2: case 3: {
        const auto id = pick(8) != 0 ? std::optional("e" + show(pick(5))) : std::nullopt;
        log.push_back(show(store.upsert_atom({p.pred_id, args(p.arity)},
                                             {amount(), amount(), id})));
        break;
      }
      case 4: case 5: {
        const uint64_t pred = pick(12) == 0 ? 99 : p.pred_id;
        log.push_back(show(store.get_state(AtomKey{pred, args(pick(3) == 0 ? 2 : p.arity)})));
        break;
      }
      case 6: log.push_back(show(store.scan_predicate(p.pred_id))); break;
      case 7:
        log.push_back(show(store.scan_predicate_prefix(p.pred_id, args(pick(p.arity + 1)))));
        break;
      case 8: log.push_back(show(store.symbols.get_or_insert(text))); break;
      default: log.push_back(show(store.symbols.get_text(pick(320))));
    }
  }
  return log;
}

std::vector<Entries> dump_all(const RuvoStore& store) {
  std::vector<Entries> out;
  for (const char* t :
       {"sym_by_text", "sym_by_id", "sym_meta", "pred_by_name", "pred_profiles", "pred_meta",
        "state", "contrib", "branch_watermark", "idx_1_i", "idx_5_i", "idx_9_i"})
    out.push_back(dump(store, t));
  return out;
}

TEST(IdbCaches, SameAnswersAndBytesWithCachesAndBatchedWrites) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    RuvoStore plain = temp_store(false);
    const auto expected = run_workload(plain, seed);
    // Default caches, budgets that hold a few entries (constant eviction),
    // and budgets too small to hold any.
    for (size_t budget : {size_t{0}, size_t{48} << 10, size_t{3000}}) {
      SCOPED_TRACE("seed " + show(seed) + " budget " + show(budget));
      RuvoStore cached = temp_store(true, budget);
      // Writes are cached for half the steps, else only refresh held entries.
      auto toggle = [&](int step) { cached.set_cache_writes(step % 1000 < 500); };
      EXPECT_EQ(run_workload(cached, seed, toggle), expected);
      EXPECT_EQ(dump_all(cached), dump_all(plain));
    }
  }
  // Batched writes give the same answers and, reopened, the same bytes.
  for (bool caches : {false, true}) {
    SCOPED_TRACE(caches ? "caches" : "no caches");
    ScratchDir dir;
    std::vector<Entries> expected_bytes;
    {
      RuvoStore direct = file_store(dir / "direct", caches);
      RuvoStore batched = file_store(dir / "batched", caches);
      const auto expected = run_workload(direct, 1);
      EXPECT_EQ(run_workload(batched, 1, [&](int step) {
        if (step % 1500 == 0) batched.begin_batched_writes();
        if (step % 1500 == 1499) ok(batched.end_batched_writes());
        if (step % 500 == 250) ok(batched.commit_batched_writes());
      }), expected);
      EXPECT_EQ(dump_all(batched), dump_all(direct)) << "pending";
      // Written after the last commit: kept by closing, as by a commit.
      batched.begin_batched_writes();
      for (const RuvoStore* s : {&batched, &direct})
        ok(s->upsert_atom(AtomKey{1, {7}}, {0.5, 0.0, std::nullopt}));
      expected_bytes = dump_all(direct);
    }
    EXPECT_EQ(dump_all(file_store(dir / "batched", false)), expected_bytes);
  }
}

}  // namespace
}  // namespace ruvo::test
