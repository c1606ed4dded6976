// Sorted runs: a tree's pending rows written out to table files when the
// pending batch outgrows its memory budget, and the merge of sorted sources
// of rows (rows in memory, runs, the database) that reads see through.
//
// A run holds each of its keys once, with the value the tree's pending rows
// had for it when they were written out. Runs of one tree share keys: a
// newer run wins over an older one, and the rows still in memory win over
// every run. A run is a table file in the database's environment (a
// temporary database's runs stay in memory too); it is never part of the
// database, which learns of its rows only when the batch commits.
//
// Not thread-safe: the owner locks. Reads (find, cursors) may run together
// while nothing is written (add, clear).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <rocksdb/cache.h>
#include <rocksdb/iterator.h>
#include <rocksdb/options.h>
#include <rocksdb/sst_file_reader.h>
#include <rocksdb/status.h>

#include "ruvo_core/src/pending_rows.h"

namespace ruvo::kv {

// The smallest key greater than every key that starts with `prefix`;
// empty when there is none (the prefix is empty or all 0xff bytes).
std::string prefix_end(std::string_view prefix);

// A sorted source of rows: ascending key byte order, each key at most once.
class RowCursor {
 public:
  virtual ~RowCursor() = default;
  virtual bool valid() const = 0;
  // REQUIRES: valid(). Views stay valid until next().
  virtual std::string_view key() const = 0;
  virtual std::string_view value() const = 0;
  virtual void next() = 0;
  // A failed read ends the source early; the failure is reported here.
  virtual rocksdb::Status status() const = 0;
};

// Pending rows, given as row indexes in ascending key order. The rows must
// not change while the cursor is used.
class PendingCursor final : public RowCursor {
 public:
  PendingCursor(const PendingRows& rows, std::span<const uint32_t> order) : rows_(rows), order_(order) {}
  bool valid() const override { return at_ < order_.size(); }
  std::string_view key() const override { return rows_.key(order_[at_]); }
  std::string_view value() const override { return rows_.value(order_[at_]); }
  void next() override { ++at_; }
  rocksdb::Status status() const override { return rocksdb::Status::OK(); }

 private:
  const PendingRows& rows_;
  std::span<const uint32_t> order_;
  size_t at_ = 0;
};

// The entries of a RocksDB iterator, from where it stands, while their keys
// start with `prefix`.
class IteratorCursor final : public RowCursor {
 public:
  IteratorCursor(std::unique_ptr<rocksdb::Iterator> it, std::string_view prefix)
      : it_(std::move(it)), prefix_(prefix) {}
  bool valid() const override { return it_->Valid() && key().starts_with(prefix_); }
  std::string_view key() const override { return {it_->key().data(), it_->key().size()}; }
  std::string_view value() const override { return {it_->value().data(), it_->value().size()}; }
  void next() override { it_->Next(); }
  rocksdb::Status status() const override { return it_->status(); }

 private:
  std::unique_ptr<rocksdb::Iterator> it_;
  std::string prefix_;
};

// Read options for runs read whole, front to back.
const rocksdb::ReadOptions& whole_run_options();

using RowVisitor = std::function<bool(std::string_view key, std::string_view value)>;

// Visits every key of the sources once, in ascending key order, with the
// value of the first source (in the order given) that holds it; stops when
// `visit` returns false. Returns the first failure of a source met on the
// way.
rocksdb::Status merge_rows(std::span<RowCursor* const> sources, const RowVisitor& visit);

// Where and how a database writes its table files of pending rows.
struct RunFiles {
  // The database's options with the runs' table format: partitioned
  // indexes and filters through `cache` (the memory a run holds does not
  // grow with it), and a whole-key filter consulted by point reads.
  rocksdb::Options options;
  std::shared_ptr<rocksdb::Cache> cache;  // the runs' alone
  std::string dir;  // removed with everything in it when the database opens
  std::atomic<uint64_t> next{0};  // table files are written by several threads at once

  // A file name not used before in this database's lifetime.
  std::string new_path() { return dir + "/" + std::to_string(next.fetch_add(1)) + ".sst"; }
};

// The spilled rows of one tree, oldest run first.
class SortedRuns {
 public:
  SortedRuns() = default;
  SortedRuns(const SortedRuns&) = delete;
  SortedRuns& operator=(const SortedRuns&) = delete;
  ~SortedRuns() { clear(); }

  bool empty() const { return runs_.empty(); }
  size_t size() const { return runs_.size(); }

  // Writes every row of `rows` to a new file as the newest run. The runs
  // are then merged from the newest back while a run is no larger than
  // twice the next newer one, which keeps their number logarithmic in the
  // rows spilled. On failure the runs are as before and `rows` still holds
  // everything.
  rocksdb::Status add(PendingRows& rows, RunFiles& files);
  // The value of `key` in the newest run that holds it, into `value`;
  // NotFound when none does.
  rocksdb::Status find(std::string_view key, std::string* value) const;
  // One cursor per run over its rows from `prefix` on, newest run first.
  // `options` (its iterate_upper_bound included) must outlive the cursors.
  void cursors(std::string_view prefix, const rocksdb::ReadOptions& options,
               std::vector<std::unique_ptr<RowCursor>>& out) const;
  // Removes every run and its file.
  void clear();

 private:
  struct Run {
    std::string path;
    uint64_t bytes = 0;
    rocksdb::Env* env = nullptr;
    std::unique_ptr<rocksdb::SstFileReader> reader;
    // A point read reuses an iterator (creating one costs more than a
    // seek); a read that finds it taken makes its own.
    mutable std::mutex lookup_mu;
    mutable std::unique_ptr<rocksdb::Iterator> lookup;
    ~Run();
  };
  // Writes the rows of `sources` merged as a run into a new file.
  rocksdb::Status write_run(std::span<RowCursor* const> sources, RunFiles& files, std::unique_ptr<Run>& out);
  // Replaces the two newest runs by one; false when that failed.
  bool merge_newest(RunFiles& files);

  std::vector<std::unique_ptr<Run>> runs_;
};

}  // namespace ruvo::kv
