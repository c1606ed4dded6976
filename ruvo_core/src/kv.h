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
// survives a crash of the machine. (A temporary database, which lives in
// memory and dies with its process, keeps no log.) On opening, a log whose
// last record is incomplete (a write cut short by a crash) is replayed up
// to that record; damage anywhere else in a log fails the open instead of
// silently dropping every write after it. Single-key writes (insert,
// compare_and_swap, fetch_and_update) are atomic with respect to each other
// across threads: they take the database's mutex. Every write of a database
// goes through its handles (nothing else opens it while it is open), which
// lets fetch_and_update keep the value it last wrote instead of reading it
// back.
//
// Deferred writes: a tree opened as deferrable may have its writes held
// back. Between Db::begin_deferred() and Db::end_deferred(), every write
// of a deferrable tree (insert, insert_many, compare_and_swap,
// fetch_and_update) goes into one pending batch of the database instead of
// the log; Db::commit_deferred() writes the whole batch in one atomic step
// (large trees' table files built by several threads). Every read of a
// deferrable tree (get, get_into, contains, scan_prefix, through any
// handle) sees the pending writes exactly as if they had been written.
// The batch is never committed on its own, however large it grows: a crash
// loses the pending writes and nothing else, so the database holds all of
// a batch or none of it. A database that closes while deferring commits
// them first (a failure there cannot be reported and loses them). Other
// trees always write through.
//
// The pending batch keeps its memory bounded: once its rows take more than
// a budget, the rows of its largest trees are written out as sorted runs,
// table files in the directory "ruvo-spill" of the database (a temporary
// database's stay in its memory), which are not part of the database;
// reads find them there, and the commit merges them into the files it
// ingests. Opening a database removes what a crashed process left there.
//
// A process that forks must open its databases after the fork.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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
  // Gives the i-th row of insert_many: key and value, valid until the next
  // call (a row may be asked for more than once). Runs under the
  // database's write lock: REQUIRES: it does not use the same database.
  using RowFn = std::function<std::pair<std::string_view, std::string_view>(size_t i)>;
  // Receives key and value of one entry; returns false to stop the scan.
  using VisitFn = std::function<bool(std::string_view key, std::string_view value)>;

  Result<std::optional<std::string>> get(std::string_view key) const;
  // Like get, into `value` (whose buffer is reused); false when absent, and
  // `value` is then unspecified.
  Result<bool> get_into(std::string_view key, std::string& value) const;
  // Reports whether the key exists, without copying its value.
  Result<bool> contains(std::string_view key) const;
  // Stores value under key, replacing any earlier value. While the database
  // defers, an insert into a deferrable tree is only pending and cannot
  // fail.
  Result<void> insert(std::string_view key, std::string_view value) const;
  // Stores rows(0) ... rows(n - 1), each as insert() would, in that order
  // and as one write to other writers. While the database defers, they
  // join the pending batch without a look for earlier pending writes of
  // their keys, left to the commit or to the first read or write that needs
  // it: cheaper for many keys written once each. Otherwise they are written
  // one by one, and `*written` (always set) tells how many were stored
  // before a failure.
  Result<void> insert_many(size_t n, const RowFn& rows, size_t* written) const;
  // Writes row i of insert_filled: its key into `key` and its value into
  // `value`, of the lengths insert_filled was given. May be called from
  // several threads at once, for different rows, and more than once for
  // a row. Runs under the database's write lock: REQUIRES: it does not
  // use the same database.
  using FillRowFn = std::function<void(size_t i, char* key, char* value)>;
  // insert_many for rows whose keys are all `key_bytes` long and whose
  // values are all `value_bytes` long, with the same outcome. Rows going
  // into the pending batch that it can hold without spilling are written
  // in place, many of them by a few threads at once.
  Result<void> insert_filled(size_t n, size_t key_bytes, size_t value_bytes, const FillRowFn& fill,
                             size_t* written) const;
  // Stores `desired` when the key's current value equals `expected`
  // (nullopt: the key must be absent); otherwise reports the current value.
  // This, compare_and_swap_absent and fetch_and_update compare against
  // what reads see, pending writes included, and write like insert.
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
  // count includes. A pending insert counts when it joins the batch; a
  // commit that fails, dropping pending inserts of the tree, counts once
  // more (reads then no longer see them).
  uint64_t write_count() const;
  // Whether the tree has writes in the pending batch (reads then look there
  // too).
  bool has_pending() const;
  // Atomically replaces the value by update(current) and returns the value
  // from before the update (nullopt when the key was absent).
  Result<std::optional<std::string>> fetch_and_update(std::string_view key,
                                                      const UpdateFn& update) const;
  // Visits every entry whose key starts with `prefix` (all entries for the
  // empty prefix) in ascending key byte order.
  // REQUIRES: on a deferrable tree while deferring, visit does not write to
  // the same database (the pending batch is locked during the scan).
  Result<void> scan_prefix(std::string_view prefix, const VisitFn& visit) const;
  // The greatest key of the tree in byte order; nullopt when it is empty.
  // Reads the database only (never a pending batch).
  Result<std::optional<std::string>> last_key() const;
  // Commits the pending batch, then makes every earlier write of the whole
  // database durable.
  Result<void> flush() const;

  const std::string& name() const { return name_; }

 private:
  friend class Db;
  std::shared_ptr<DbState> db_;
  void* cf_ = nullptr;  // the tree's state, owned by DbState
  std::string name_;
};

struct TreeOptions {
  // The tree's inserts wait in the pending batch while the database defers.
  // Once a tree has been opened as deferrable it stays so, for every handle,
  // until the database closes.
  bool deferrable = false;
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
  Result<Tree> open_tree(std::string_view name, TreeOptions options = {}) const;
  // The names of every tree the database holds, ascending byte order
  // (RocksDB's own "default" tree included).
  std::vector<std::string> tree_names() const;
  // Commits the pending batch, then makes every earlier write durable
  // (syncs the write-ahead log).
  Result<void> flush() const;

  // Starts deferring inserts into deferrable trees; no effect when the
  // database already defers.
  void begin_deferred() const;
  // Writes every pending insert in one atomic step and goes on deferring:
  // a batch of a few MiB or more, or one that spilled, as sorted table
  // files ingested into all its trees at once, a smaller one as one write
  // batch through the log. The spilled runs are removed either way.
  // On failure nothing pending is written and all of it is dropped: reads
  // then see the database without it. Nothing to do when nothing is
  // pending, or when the database does not defer.
  Result<void> commit_deferred() const;
  // commit_deferred, then stops deferring (also when the commit failed).
  Result<void> end_deferred() const;
  // Whether the database defers.
  bool deferring() const;

  // Sets the memory the pending batch may take in all, 256 MiB unless set,
  // before rows are spilled to sorted runs. For tests, which make a batch
  // of a few rows spill.
  void set_pending_budget(size_t bytes) const;
  // The memory the pending rows take now; spilled rows do not count. After
  // each write it is at most the budget, unless writing out runs failed.
  size_t pending_memory() const;

 private:
  std::shared_ptr<DbState> state_;
};

}  // namespace ruvo::kv
