// Throughput of the key-value adapter: inserts (written at once, and
// deferred with a commit every 10k), point reads and counter updates on a
// file database and on a temporary one.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/kv.h"

namespace {

using ruvo::bincode::get_u64_be;
using ruvo::bincode::u64_be;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kOps = 200000;

template <class F>
double ops_per_sec(uint64_t n, F&& body) {
  auto start = Clock::now();
  for (uint64_t i = 0; i < n; ++i) body(i);
  std::chrono::duration<double> secs = Clock::now() - start;
  return static_cast<double>(n) / secs.count();
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "kv_bench: %s failed\n", what);
    std::exit(1);
  }
}

void run(const char* label, const ruvo::kv::Db& db) {
  auto tree = db.open_tree("bench");
  check(tree.has_value(), "open_tree");
  const std::string value(64, 'v');
  // Keys spread over the key space in a scrambled order, like hashed ids.
  auto key = [](uint64_t i) { return u64_be(i * 0x9E3779B97F4A7C15ull); };

  double insert = ops_per_sec(kOps, [&](uint64_t i) { check(tree->insert(key(i), value).has_value(), "insert"); });
  auto deferrable = db.open_tree("bench_deferred", ruvo::kv::TreeOptions{.deferrable = true});
  check(deferrable.has_value(), "open_tree");
  db.begin_deferred();
  double deferred = ops_per_sec(kOps, [&](uint64_t i) {
    check(deferrable->insert(key(i), value).has_value(), "deferred insert");
    if (i % 10000 == 9999) check(db.commit_deferred().has_value(), "commit");
  });
  check(db.end_deferred().has_value(), "end");
  double get_hit = ops_per_sec(kOps, [&](uint64_t i) {
    auto v = tree->get(key((i * 7919) % kOps));
    check(v.has_value() && v->has_value(), "get");
  });
  double get_miss = ops_per_sec(kOps, [&](uint64_t i) {
    auto v = tree->get(key(kOps + i));
    check(v.has_value() && !v->has_value(), "get miss");
  });
  double counter = ops_per_sec(kOps, [&](uint64_t) {
    auto v = tree->fetch_and_update("counter", [](std::optional<std::string_view> cur) {
      return u64_be(cur ? get_u64_be(cur->data()) + 1 : 1);
    });
    check(v.has_value(), "fetch_and_update");
  });
  uint64_t seen = 0;
  auto start = Clock::now();
  check(tree->scan_prefix("", [&](std::string_view, std::string_view) { return ++seen, true; }).has_value(), "scan");
  std::chrono::duration<double> scan_secs = Clock::now() - start;
  auto fstart = Clock::now();
  check(db.flush().has_value(), "flush");
  std::chrono::duration<double> flush_secs = Clock::now() - fstart;

  std::printf("%-10s insert %10.0f ops/s  deferred insert %10.0f ops/s (%.2f x)  get(hit) %10.0f ops/s  get(miss) %10.0f ops/s  "
              "fetch_and_update %10.0f ops/s  scan %10.0f entries/s  flush %.3f ms\n",
              label, insert, deferred, deferred / insert, get_hit, get_miss, counter, static_cast<double>(seen) / scan_secs.count(),
              flush_secs.count() * 1e3);
}

}  // namespace

int main() {
  std::printf("kv_bench: %llu operations each, 8-byte keys, 64-byte values\n",
              static_cast<unsigned long long>(kOps));
  {
    auto db = ruvo::kv::Db::open_temporary();
    check(db.has_value(), "open_temporary");
    run("temporary", *db);
  }
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("ruvo_kv_bench_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  {
    auto db = ruvo::kv::Db::open(dir.string());
    check(db.has_value(), "open");
    run("file", *db);
  }
  fs::remove_all(dir);
  return 0;
}
