// Key-value adapter: the one place that talks to RocksDB.
//
// A database (Db) holds named trees (RocksDB column families). Handles are
// cheap shared references: copying a Db or a Tree shares the same open
// database, which closes when the last handle goes (background work
// cancelled, tree handles released, then the database, then - for a
// temporary database - its in-memory environment).
//
// Every write goes through RocksDB's write-ahead log without sync, so a write
// that returned survives a crash of the process; flush() syncs the log and so
// survives a crash of the machine. Single-key writes (insert,
// compare_and_swap, fetch_and_update) are atomic with respect to each other
// across threads: they take the database's mutex. Every write of a database
// goes through its handles (nothing else opens it while it is open), which
// lets fetch_and_update keep the value it last wrote instead of reading it
// back.
//
// A process that forks must open its databases after the fork.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ruvo::kv {

// A failure of the key-value store. `status` is RocksDB's status text.
struct Error {
  std::string status;
  // The text that reaches users: the status as a quoted, escaped string.
  std::string debug() const;
};

template <class T>
using Result = std::expected<T, Error>;

struct DbState;  // internal

class Tree {
 public:
  struct CasOutcome {
    bool swapped = false;
    std::optional<std::string> current;  // the key's value when refused
  };
  // Receives the current value (absent: nullopt), returns the new value
  // (nullopt is not allowed to delete: callers always return a value).
  // May run more than once; may throw ruvo::Fault, which leaves the key
  // unchanged and propagates. Runs under the database's write lock:
  // REQUIRES: update does not write to the same database.
  using UpdateFn = std::function<std::string(std::optional<std::string_view>)>;
  // Receives key and value of one entry; returns false to stop the scan.
  using VisitFn = std::function<bool(std::string_view key, std::string_view value)>;

  Result<std::optional<std::string>> get(std::string_view key) const;
  // Like get, into `value` (whose buffer is reused); false when absent, and
  // `value` is then unspecified.
  Result<bool> get_into(std::string_view key, std::string& value) const;
  // Reports whether the key exists, without copying its value.
  Result<bool> contains(std::string_view key) const;
  // Stores value under key, replacing any earlier value.
  Result<void> insert(std::string_view key, std::string_view value) const;
  // Stores `desired` when the key's current value equals `expected`
  // (nullopt: the key must be absent); otherwise reports the current value.
  Result<CasOutcome> compare_and_swap(std::string_view key,
                                      std::optional<std::string_view> expected,
                                      std::string_view desired) const;
  // compare_and_swap with expected = absent. `absent_at`: a write_count()
  // read before a get() that found the key absent, or nullopt. When the
  // tree's write count still equals it, nothing has been written to the tree
  // since, and the key is not read again.
  Result<CasOutcome> compare_and_swap_absent(std::string_view key, std::string_view desired,
                                             std::optional<uint64_t> absent_at) const;
  // The number of writes made or attempted on this tree, through any of its
  // handles, since the database was opened. Each counts once it has
  // finished, so a read made after loading the count sees every write the
  // count includes.
  uint64_t write_count() const;
  // Atomically replaces the value by update(current) and returns the value
  // from before the update (nullopt when the key was absent).
  Result<std::optional<std::string>> fetch_and_update(std::string_view key,
                                                      const UpdateFn& update) const;
  // Visits every entry whose key starts with `prefix` (all entries for the
  // empty prefix) in ascending key byte order.
  Result<void> scan_prefix(std::string_view prefix, const VisitFn& visit) const;
  // Makes every earlier write of the whole database durable.
  Result<void> flush() const;

  const std::string& name() const { return name_; }

 private:
  friend class Db;
  std::shared_ptr<DbState> db_;
  void* cf_ = nullptr;  // the tree's state, owned by DbState
  std::string name_;
};

class Db {
 public:
  // Opens (creating if missing) the database in directory `path`, reopening
  // every tree it already holds.
  static Result<Db> open(const std::string& path);
  // Opens a fresh database in memory; no file is created and everything is
  // gone when the last handle closes.
  static Result<Db> open_temporary();

  // Opens the named tree, creating it when missing. Safe while other trees
  // are in use.
  Result<Tree> open_tree(std::string_view name) const;
  // The names of every tree the database holds, ascending byte order
  // (RocksDB's own "default" tree included).
  std::vector<std::string> tree_names() const;
  // Makes every earlier write durable (syncs the write-ahead log).
  Result<void> flush() const;

 private:
  std::shared_ptr<DbState> state_;
};

}  // namespace ruvo::kv
