// Helpers shared by the IDB tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "ruvo_idb/src/store.h"

namespace ruvo::testing_util {

// A fresh directory under the test temp dir, removed on destruction.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
    path_ = ::testing::TempDir() + "ruvo_idb_" + std::to_string(::getpid()) + "_" +
            std::to_string(counter.fetch_add(1));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A temporary store; a nonzero `budget` bounds the state cache by it and
// the symbol and contribution caches by a fraction of it.
inline RuvoStore temp_store(bool caches = true, size_t budget = 0) {
  StoreOptions options;
  options.caches = caches;
  if (budget != 0) {
    options.state_cache_bytes = budget;
    options.symbol_cache_bytes = budget / 8;
    options.contrib_cache_bytes = budget / 4;
  }
  auto store = RuvoStore::open_temporary(options);
  if (!store) throw std::runtime_error("open_temporary: " + store.error().debug());
  return std::move(*store);
}

inline RuvoStore file_store(const std::string& path, bool caches = true) {
  auto db = kv::Db::open(path);
  if (!db) throw std::runtime_error("open: " + db.error().status);
  StoreOptions options;
  options.caches = caches;
  auto store = RuvoStore::from_db(std::move(*db), options);
  if (!store) throw std::runtime_error("from_db: " + store.error().debug());
  return std::move(*store);
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// Every entry of a tree, in key order.
inline Entries dump(const kv::Tree& tree) {
  Entries out;
  auto r = tree.scan_prefix("", [&](std::string_view k, std::string_view v) {
    out.emplace_back(std::string(k), std::string(v));
    return true;
  });
  if (!r) throw std::runtime_error("scan: " + r.error().status);
  return out;
}

inline Entries dump(const RuvoStore& store, std::string_view tree) {
  auto t = store.db().open_tree(tree);
  if (!t) throw std::runtime_error("open_tree: " + t.error().status);
  return dump(*t);
}

inline std::string be(std::initializer_list<uint64_t> values) {
  std::string out;
  for (uint64_t v : values) bincode::put_u64_be(out, v);
  return out;
}

// Bit-exact comparison, so that NaNs compare equal to themselves.
inline bool same_bits(const AtomState& a, const AtomState& b) {
  return std::memcmp(&a.b, &b.b, 8) == 0 && std::memcmp(&a.d, &b.d, 8) == 0;
}

inline Contribution contribution(double b, double d, std::optional<std::string> id = std::nullopt) {
  return Contribution{b, d, std::move(id)};
}

}  // namespace ruvo::testing_util
