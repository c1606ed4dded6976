// Event log throughput on a file database: appending facts, and replaying a
// log of 1,000,000 events over 10 branches with get_facts and list_branches.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "ruvo_edb/src/store.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

ruvo::EdbStore open_store(const std::string& path) {
  auto db = ruvo::kv::Db::open(path);
  if (!db) {
    std::fprintf(stderr, "open failed: %s\n", db.error().debug().c_str());
    std::exit(1);
  }
  auto s = ruvo::EdbStore::from_db(std::move(*db));
  if (!s) {
    std::fprintf(stderr, "open failed: %s\n", s.error().debug().c_str());
    std::exit(1);
  }
  return std::move(*s);
}

void append(const ruvo::EdbStore& s, uint64_t i, int branches) {
  auto id = s.assert_fact("branch-" + std::to_string(i % branches), "likes", 3,
                          {i, i + 1, i + 2}, 0.5, 0.0, std::nullopt);
  if (!id) {
    std::fprintf(stderr, "append failed: %s\n", id.error().debug().c_str());
    std::exit(1);
  }
}

}  // namespace

int main() {
  const std::string base = "/tmp/ruvo_edb_bench_" + std::to_string(::getpid());
  std::filesystem::remove_all(base);
  std::filesystem::create_directories(base);

  {
    const uint64_t n = 300000;
    ruvo::EdbStore s = open_store(base + "/append");
    auto t0 = Clock::now();
    for (uint64_t i = 0; i < n; ++i) append(s, i, 1);
    double dt = seconds_since(t0);
    std::printf("append assert_fact (3 args): %llu events in %.3f s = %.0f events/s\n",
                static_cast<unsigned long long>(n), dt, n / dt);
  }

  {
    const uint64_t n = 1000000;
    ruvo::EdbStore s = open_store(base + "/scan");
    for (uint64_t i = 0; i < n; ++i) append(s, i, 10);
    if (!s.flush_all()) return 1;

    for (int round = 0; round < 3; ++round) {
      auto t0 = Clock::now();
      auto facts = s.get_facts("branch-3", std::nullopt);
      double dt = seconds_since(t0);
      if (!facts) return 1;
      std::printf("get_facts one branch: %zu facts, %llu records in %.3f s = %.0f records/s\n",
                  facts->size(), static_cast<unsigned long long>(n), dt, n / dt);
    }
    for (int round = 0; round < 3; ++round) {
      auto t0 = Clock::now();
      auto branches = s.list_branches();
      double dt = seconds_since(t0);
      if (!branches) return 1;
      std::printf("list_branches: %zu branches, %llu records in %.3f s = %.0f records/s\n",
                  branches->size(), static_cast<unsigned long long>(n), dt, n / dt);
    }
  }
  std::filesystem::remove_all(base);
  return 0;
}
