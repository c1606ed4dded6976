// The caches and batched writes change no result and no stored byte: a
// randomized workload runs against stores without caches, with caches, with
// caches too small to hold anything for long, and with batched writes; and
// concurrent use keeps the caches in step with the database.
#include <gtest/gtest.h>

#include <barrier>
#include <bit>
#include <cmath>
#include <functional>
#include <random>
#include <thread>

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

// Runs the same seeded workload on a store and records every answer.
// `between` runs before each step.
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

TEST(IdbCaches, SameAnswersAndBytesWithAndWithoutCaches) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    RuvoStore plain = temp_store(false);
    const auto expected = run_workload(plain, seed);
    // Default caches, budgets that hold a few entries (constant eviction),
    // and budgets too small to hold any.
    for (size_t budget : {size_t{0}, size_t{48} << 10, size_t{3000}}) {
      SCOPED_TRACE("seed " + show(seed) + " budget " + show(budget));
      RuvoStore cached = temp_store(true, budget);
      EXPECT_EQ(run_workload(cached, seed), expected);
      EXPECT_EQ(dump_all(cached), dump_all(plain));
    }
  }
}

// Batched writes, committed now and then, give the same answers, and the
// reopened database the same bytes, as writes that go straight through.
TEST(IdbCaches, BatchedWritesSameAnswersAndBytes) {
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

// Several threads intern, upsert, read and scan overlapping texts and atoms
// (starting together: the first interning of each text and the first opening
// of the index tree race); afterwards every cached answer equals what the
// database holds.
TEST(IdbCaches, ConcurrentUseKeepsCachesExact) {
  for (size_t budget : {size_t{0}, size_t{48} << 10, size_t{4096}}) {
    RuvoStore store = temp_store(true, budget);
    const uint64_t cap =
        ok(store.registry.register_predicate("cap", 2, kCapped, kNone, {{"i", {1}}})).pred_id;
    const uint64_t nor =
        ok(store.registry.register_predicate("nor", 1, kNoisyOr, kPerSource, {})).pred_id;
    std::barrier start(8);
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937_64 rng(t);
        start.arrive_and_wait();
        for (int i = 0; i < 3000; ++i) {
          const uint64_t a = rng() % 6, b = rng() % 6;
          const double amount = static_cast<double>(rng() % 7) / 10.0 - 0.3;
          switch (rng() % 5) {
            case 0: (void)store.symbols.get_or_insert("t" + show(a)); break;
            case 1: (void)store.upsert_atom({cap, {a, b}}, {amount, 0.0, std::nullopt}); break;
            case 2: (void)store.upsert_atom({nor, {a}}, {amount, 0.1, "e" + show(b)}); break;
            case 3: (void)store.get_state(AtomKey{cap, {a, b}}); break;
            default:
              (void)store.scan_predicate(rng() % 2 ? cap : nor);
              (void)store.scan_predicate_prefix(cap, std::vector<uint64_t>{a});
          }
        }
      });
    }
    threads.clear();
    // One id per text, one index entry per atom.
    EXPECT_EQ(dump(store, "sym_by_id").size(), 6u);
    EXPECT_EQ(dump(store, "idx_" + show(cap) + "_i").size(), ok(store.scan_predicate(cap)).size());
    for (uint64_t pred : {cap, nor}) {
      std::vector<std::pair<AtomKey, AtomState>> held;
      for (const auto& [k, v] : dump(store.state_tree(), bincode::u64_be(pred)))
        held.emplace_back(decode_state_key(k), ok(decode_atom_state(v)));
      EXPECT_EQ(show(store.scan_predicate(pred)), show(held));
      for (const auto& [k, s] : held) EXPECT_EQ(show(store.get_state(k)), show(s));
    }
    // A known source folds the atom's cached records: the same as folding
    // what the database holds.
    for (uint64_t a = 0; a < 6; ++a) {
      const AtomKey k{nor, {a}};
      ok(store.upsert_atom(k, {0.2, 0.1, "e0"}));
      EXPECT_EQ(show(store.upsert_atom(k, {0.2, 0.1, "e0"})),
                show(store.recompute_aggregate(kNoisyOr, encode_state_key(k))));
    }
  }
}

}  // namespace
}  // namespace ruvo::test
