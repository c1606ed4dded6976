// Throughput of the derived-state store on a file database, pinned to one
// core: atom upserts (unchanged and written), per-source upserts, cached
// state reads, predicate scans and symbol interning, with caches on and
// off, plus the memory that each cached atom costs. Upserts that write are
// also timed with batched writes, committed every kCommitEvery upserts.
#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ruvo_idb/src/store.h"

namespace {

using namespace ruvo;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kAtoms = 200000;
constexpr uint64_t kCommitEvery = 10000;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "idb_bench: %s failed\n", what);
    std::exit(1);
  }
}

template <class F>
double rate(uint64_t n, F&& body) {
  auto start = Clock::now();
  for (uint64_t i = 0; i < n; ++i) body(i);
  std::chrono::duration<double> secs = Clock::now() - start;
  return static_cast<double>(n) / secs.count();
}

void report(const char* label, double per_sec, const char* unit = "ops/s") {
  std::printf("  %-52s %12.0f %s\n", label, per_sec, unit);
}

// `upsert(i)` for i < n inside batched writes, committing every
// kCommitEvery calls and at the end.
template <class F>
double batched_rate(const RuvoStore& store, uint64_t n, F&& upsert) {
  store.begin_batched_writes();
  const double r = rate(n, [&](uint64_t i) {
    upsert(i);
    if (i % kCommitEvery == kCommitEvery - 1) check(store.commit_batched_writes().has_value(), "commit");
  });
  check(store.end_batched_writes().has_value(), "end batch");
  return r;
}

void report_ratio(const char* label, double direct, double batched) {
  std::printf("  %-52s %12.2f x\n", label, batched / direct);
}

RuvoStore open_at(const std::string& path, bool caches) {
  auto db = kv::Db::open(path);
  check(db.has_value(), "open");
  StoreOptions options;
  options.caches = caches;
  auto store = RuvoStore::from_db(std::move(*db), options);
  check(store.has_value(), "from_db");
  return std::move(*store);
}

AtomKey atom(uint64_t pred, uint64_t i) { return AtomKey{pred, {i % 1000, i / 1000}}; }

void run(const std::string& dir, bool caches) {
  std::printf("caches %s\n", caches ? "on" : "off");
  const std::string path = dir + (caches ? "/on" : "/off");
  std::filesystem::remove_all(path);
  RuvoStore store = open_at(path, caches);
  const uint64_t mx = store.registry.register_predicate("mx", 2, AggregationMode::Maximum, EvidenceMode::None, {})
                          ->pred_id;
  const uint64_t nor =
      store.registry.register_predicate("nor", 2, AggregationMode::NoisyOr, EvidenceMode::PerSource, {})->pred_id;

  // Maximum/None, every call raising the state: one state write each.
  double written = 0;
  for (int round = 1; round <= 3; ++round) {
    const double b = 0.1 * round;
    written = rate(kAtoms, [&](uint64_t i) {
      check(store.upsert_atom(atom(mx, i), {b, 0.0, std::nullopt}).has_value(), "upsert");
    });
  }
  report("upsert Maximum/None, every call writes", written);
  double written_batched = 0;
  for (int round = 4; round <= 6; ++round) {
    const double b = 0.1 * round;
    written_batched = batched_rate(store, kAtoms, [&](uint64_t i) {
      check(store.upsert_atom(atom(mx, i), {b, 0.0, std::nullopt}).has_value(), "upsert");
    });
  }
  report("  the same, batched (commit every 10k)", written_batched);
  report_ratio("  batched / direct", written, written_batched);
  // Each atom raised four times in a row, as atoms settle during a pass.
  auto raise4 = [&](double base) {
    return [&store, mx, base](uint64_t i) {
      const double b = base + 0.01 * static_cast<double>(i % 4 + 1);
      check(store.upsert_atom(atom(mx, i / 4), {b, 0.0, std::nullopt}).has_value(), "upsert");
    };
  };
  const double raised_direct = rate(kAtoms, raise4(0.6));
  const double raised_batched = batched_rate(store, kAtoms, raise4(0.7));
  report("upsert Maximum/None, each atom 4 times in a row", raised_direct);
  report("  the same, batched (commit every 10k)", raised_batched);
  report_ratio("  batched / direct", raised_direct, raised_batched);
  // The same atoms again with smaller amounts: nothing changes.
  double unchanged = rate(kAtoms * 5, [&](uint64_t i) {
    check(store.upsert_atom(atom(mx, i % kAtoms), {0.1, 0.0, std::nullopt}).has_value(), "upsert");
  });
  report("upsert Maximum/None, unchanged", unchanged);

  // NoisyOr/PerSource, 4 evidence ids per atom.
  const uint64_t kPs = kAtoms / 4;
  std::vector<std::string> ids{"edb_1", "edb_2", "edb_3", "edb_4"};
  double ps_new = rate(kPs * 4, [&](uint64_t i) {
    check(store.upsert_atom(atom(nor, i / 4), {0.3, 0.1, ids[i % 4]}).has_value(), "upsert ps");
  });
  report("upsert NoisyOr/PerSource, new source", ps_new);
  double ps_known = rate(kPs * 4, [&](uint64_t i) {
    check(store.upsert_atom(atom(nor, i / 4), {0.3, 0.1, ids[i % 4]}).has_value(), "upsert ps");
  });
  report("upsert NoisyOr/PerSource, known source, unchanged", ps_known);
  double ps_changed = rate(kPs * 4, [&](uint64_t i) {
    check(store.upsert_atom(atom(nor, i / 4), {0.4, 0.1, ids[i % 4]}).has_value(), "upsert ps");
  });
  report("upsert NoisyOr/PerSource, known source, changed", ps_changed);
  double ps_batched = batched_rate(store, kPs * 4, [&](uint64_t i) {
    check(store.upsert_atom(atom(nor, i / 4), {0.5, 0.1, ids[i % 4]}).has_value(), "upsert ps");
  });
  report("  the same, batched (commit every 10k)", ps_batched);
  report_ratio("  batched / direct", ps_changed, ps_batched);

  double get = rate(kAtoms * 10, [&](uint64_t i) {
    check(store.get_state(atom(mx, (i * 7919) % kAtoms)).has_value(), "get_state");
  });
  report("get_state of stored atoms (after first read)", get);

  uint64_t rows = 0;
  auto start = Clock::now();
  for (int i = 0; i < 10; ++i) {
    auto r = store.scan_predicate(mx);
    check(r.has_value() && r->size() == kAtoms, "scan");
    rows += r->size();
  }
  std::chrono::duration<double> secs = Clock::now() - start;
  report("scan_predicate (200k atoms, 10 scans)", static_cast<double>(rows) / secs.count(), "rows/s");
  rows = 0;
  start = Clock::now();
  for (uint64_t i = 0; i < 20000; ++i) {
    std::vector<uint64_t> lead{i % 1000};
    auto r = store.scan_predicate_prefix(mx, lead);
    check(r.has_value() && r->size() == kAtoms / 1000, "scan prefix");
    rows += r->size();
  }
  secs = Clock::now() - start;
  report("scan_predicate_prefix (one leading argument)", static_cast<double>(rows) / secs.count(), "rows/s");

  const uint64_t kSyms = 300000;
  double intern_new = rate(kSyms, [&](uint64_t i) {
    check(store.symbols.get_or_insert("entity-" + std::to_string(i)).has_value(), "intern");
  });
  report("get_or_insert of new texts", intern_new);
  double intern_known = rate(kSyms * 5, [&](uint64_t i) {
    check(store.symbols.get_or_insert("entity-" + std::to_string((i * 7919) % kSyms)).has_value(), "intern");
  });
  report("get_or_insert of known texts", intern_known);
  double text = rate(kSyms * 5, [&](uint64_t i) {
    check(store.symbols.get_text(1 + (i * 7919) % kSyms).has_value(), "get_text");
  });
  report("get_text of known ids", text);
  std::string buffer;
  double text_into = rate(kSyms * 5, [&](uint64_t i) {
    check(store.symbols.get_text_into(1 + (i * 7919) % kSyms, buffer).has_value(), "get_text_into");
  });
  report("get_text_into of known ids (no copy)", text_into);
  check(store.flush_all().has_value(), "flush");
}

// Heap bytes per atom held by the point cache and by a predicate's scan copy,
// measured on a freshly opened store.
void memory(const std::string& dir) {
  RuvoStore store = open_at(dir + "/on", true);
  auto mx = store.registry.register_predicate("mx", 2, AggregationMode::Maximum, EvidenceMode::None, {});
  check(mx.has_value(), "register");
  malloc_trim(0);
  size_t before = mallinfo2().uordblks;
  for (uint64_t i = 0; i < kAtoms; ++i) check(store.get_state(atom(mx->pred_id, i)).has_value(), "get");
  size_t after_points = mallinfo2().uordblks;
  {
    auto rows = store.scan_predicate(mx->pred_id);
    check(rows.has_value(), "scan");
  }
  size_t after_scan = mallinfo2().uordblks;
  std::printf("memory (arity 2)\n");
  std::printf("  %-52s %12.1f bytes\n", "per atom in the state cache",
              static_cast<double>(after_points - before) / kAtoms);
  std::printf("  %-52s %12.1f bytes\n", "per atom in a predicate's scan copy",
              static_cast<double>(after_scan - after_points) / kAtoms);
}

}  // namespace

int main() {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(0, &one);
  sched_setaffinity(0, sizeof one, &one);
  const std::string dir =
      (std::filesystem::temp_directory_path() / ("ruvo_idb_bench_" + std::to_string(::getpid()))).string();
  std::filesystem::create_directories(dir);
  run(dir, true);
  run(dir, false);
  memory(dir);
  std::filesystem::remove_all(dir);
  return 0;
}
