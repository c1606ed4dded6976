// Key-value adapter over RocksDB. Trees are column families; a temporary
// database lives in RocksDB's in-memory environment.
#include "ruvo_core/src/kv.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include <rocksdb/cache.h>
#include <rocksdb/convenience.h>
#include <rocksdb/db.h>
#include <rocksdb/env.h>
#include <rocksdb/filter_policy.h>
#include <rocksdb/options.h>
#include <rocksdb/perf_level.h>
#include <rocksdb/slice_transform.h>
#include <rocksdb/sst_file_writer.h>
#include <rocksdb/table.h>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/parallel.h"
#include "ruvo_core/src/pending_rows.h"
#include "ruvo_core/src/sorted_runs.h"

namespace ruvo::kv {

std::string Error::debug() const { return bincode::debug_str(status); }

namespace {

// Values of TreeState::stored.
constexpr uint8_t kStoredUnknown = 0;
constexpr uint8_t kStoredNothing = 1;
constexpr uint8_t kStoredRows = 2;

// What the pending batch may hold in memory, over all trees, before it is
// spilled to files: far above what most calls write, far below a machine's
// memory.
constexpr size_t kPendingBudget = size_t{256} << 20;

}  // namespace

// One open tree, shared by every handle to it.
struct TreeState {
  rocksdb::ColumnFamilyHandle* handle = nullptr;
  // Write attempts on this tree, counted after each one has finished
  // (successful or not); see Tree::write_count.
  std::atomic<uint64_t> writes{0};
  // The value of the key that fetch_and_update last wrote, exactly as
  // stored: every write of the tree passes write_mu and keeps it in step,
  // so a counter is not read back from the database at every draw.
  // Guarded by DbState::write_mu.
  bool memo_valid = false;
  std::string memo_key;
  std::string memo_value;
  // Set once, never cleared: see TreeOptions::deferrable.
  std::atomic<bool> deferrable{false};
  // The tree's inserts in the pending batch. Changed under
  // DbState::batch_mu; a reader that loads zero reads the database alone,
  // which then holds every committed insert.
  std::atomic<uint64_t> pending{0};
  // The pending batch's part for this tree: each key with its latest
  // value, in memory and in runs spilled to files (the rows in memory are
  // newer). Guarded by DbState::batch_mu.
  PendingRows pending_rows;
  SortedRuns runs;
  // Whether pending_rows has rows appended without a lookup (see
  // Tree::insert_many). Changed under DbState::batch_mu (exclusive).
  std::atomic<bool> unsettled{false};
  // What the database (the batch aside) holds of the tree: unknown until a
  // read that misses looks once; set to kStoredRows before any write of the
  // tree reaches the database, and then kept. Trees are never emptied, so
  // while it says kStoredNothing a point read need not ask the database:
  // the first materialisation of a store reads every new atom that way.
  std::atomic<uint8_t> stored{kStoredUnknown};
};

struct DbState {
  // Declared first so it is destroyed last: the database runs on it.
  std::unique_ptr<rocksdb::Env> mem_env;  // set for a temporary database
  rocksdb::DB* db = nullptr;
  rocksdb::Options options;  // what the database was opened with

  std::mutex trees_mu;  // guards the map (not the trees it holds)
  std::map<std::string, std::unique_ptr<TreeState>, std::less<>> trees;

  // Serialises single-key writes so that read-compare-write sequences are
  // atomic with respect to each other.
  std::mutex write_mu;

  // Deferred writes. `deferring` changes under write_mu. The batch (the
  // trees' pending_rows) changes only under write_mu and batch_mu
  // (exclusive); reads through it take batch_mu shared. batch_mu is taken
  // after write_mu, never before.
  std::atomic<bool> deferring{false};
  std::shared_mutex batch_mu;
  size_t pending_bytes = 0;  // of keys and values put, spilled ones included
  std::vector<TreeState*> batched;  // the trees with pending inserts
  // The memory the pending rows take, the most they may take before they
  // are spilled, and the figure that starts a spill (above the budget for
  // a while after a spill failed). `budget` changes under write_mu only.
  size_t pending_memory = 0;
  size_t budget = kPendingBudget;
  size_t spill_at = kPendingBudget;
  bool spilled = false;  // some tree has runs
  RunFiles run_files;

  DbState() = default;
  DbState(const DbState&) = delete;
  DbState& operator=(const DbState&) = delete;

  // Commits what is pending (a failure there cannot be reported: the
  // pending writes are then lost, as in a crash), then closes.
  ~DbState();
};

namespace {

Error error_of(const rocksdb::Status& s) { return Error{s.ToString()}; }

rocksdb::Slice slice(std::string_view s) { return rocksdb::Slice(s.data(), s.size()); }

std::string_view view(const rocksdb::Slice& s) { return std::string_view(s.data(), s.size()); }

TreeState& tree_of(void* cf) { return *static_cast<TreeState*>(cf); }

// Built once: the option structs are not trivial to construct, and every
// read and write would otherwise make one.
const rocksdb::ReadOptions& read_options() {
  static const rocksdb::ReadOptions options;
  return options;
}
// The log is written, not synced. A temporary database, which lives in
// memory and is gone with its process, writes none: it would make nothing
// survive that does not survive without it.
const rocksdb::WriteOptions& write_options(const DbState& db) {
  static const rocksdb::WriteOptions logged;
  static const rocksdb::WriteOptions unlogged = [] {
    rocksdb::WriteOptions o;
    o.disableWAL = true;
    return o;
  }();
  return db.mem_env ? unlogged : logged;
}

// Settings for an embedded store: small memory footprint, two background
// jobs, no compression, and a table format that older RocksDB releases read.
rocksdb::Options make_options() {
  rocksdb::Options options;
  options.create_if_missing = true;
  options.create_missing_column_families = true;
  options.max_background_jobs = 2;
  options.max_subcompactions = 1;
  options.stats_dump_period_sec = 0;
  options.stats_persist_period_sec = 0;
  options.keep_log_file_num = 2;
  options.max_manifest_file_size = 64ull << 20;
  // Many trees share one write-ahead log; bound it so a rarely written tree
  // cannot pin old logs forever.
  options.max_total_wal_size = 64ull << 20;
  options.db_write_buffer_size = 64ull << 20;
  // Replaying a log must not stop quietly at a damaged record: that would
  // drop every acknowledged write after it. Only an incomplete last record,
  // which a crash in the middle of a write leaves, is passed over.
  options.wal_recovery_mode = rocksdb::WALRecoveryMode::kTolerateCorruptedTailRecords;

  options.write_buffer_size = 8ull << 20;
  // A whole-key filter in front of each memtable: a lookup of an absent key
  // (every new symbol, atom or tree entry is looked up first) then skips
  // the walk through the memtable.
  options.memtable_prefix_bloom_size_ratio = 0.02;
  options.memtable_whole_key_filtering = true;
  options.max_write_buffer_number = 2;
  options.compression = rocksdb::kNoCompression;
  options.bottommost_compression = rocksdb::kNoCompression;

  rocksdb::BlockBasedTableOptions table;
  table.format_version = 5;
  table.block_cache = rocksdb::NewLRUCache(32ull << 20);
  table.filter_policy.reset(rocksdb::NewBloomFilterPolicy(10));
  options.table_factory.reset(rocksdb::NewBlockBasedTableFactory(table));
  return options;
}

// The format of spilled runs: the database's, with indexes and filters
// partitioned and read through a block cache (a run then holds little
// memory of its own, however large), and a filter that point reads consult
// (a prefix that is the whole key). The runs have a cache of their own: in
// the database's, their blocks would push out the database's and outstay
// the runs.
rocksdb::Options run_options(const rocksdb::Options& db, std::shared_ptr<rocksdb::Cache> cache) {
  rocksdb::Options options = db;
  rocksdb::BlockBasedTableOptions table = *db.table_factory->GetOptions<rocksdb::BlockBasedTableOptions>();
  table.block_cache = std::move(cache);
  table.index_type = rocksdb::BlockBasedTableOptions::kTwoLevelIndexSearch;
  table.partition_filters = true;
  table.cache_index_and_filter_blocks = true;
  options.table_factory.reset(rocksdb::NewBlockBasedTableFactory(table));
  options.prefix_extractor.reset(rocksdb::NewNoopTransform());
  return options;
}

// Makes `dir` an empty directory. What is there was left by a process that
// stopped during a call: rows of a batch that never committed. A failure is
// left for the first spill or ingestion to meet.
void reset_dir(rocksdb::Env* env, const std::string& dir) {
  (void)env->CreateDirIfMissing(dir);
  std::vector<std::string> children;
  if (!env->GetChildren(dir, &children).ok()) return;
  for (const std::string& child : children)
    if (child != "." && child != "..") (void)env->DeleteFile(dir + "/" + child);
}

Result<std::shared_ptr<DbState>> open_state(const std::string& path, std::unique_ptr<rocksdb::Env> mem_env) {
  rocksdb::Options options = make_options();
  if (mem_env) options.env = mem_env.get();

  std::vector<std::string> names;
  rocksdb::Status s = rocksdb::DB::ListColumnFamilies(options, path, &names);
  if (!s.ok()) {
    // No database there yet: it is created with its default tree. Anything
    // else (a broken database, a file in the way) is left to DB::Open to
    // report, unless the database plainly exists.
    if (options.env->FileExists(path + "/CURRENT").ok()) return std::unexpected(error_of(s));
    names.clear();
  }
  if (names.empty()) names.push_back(rocksdb::kDefaultColumnFamilyName);

  std::vector<rocksdb::ColumnFamilyDescriptor> descriptors;
  descriptors.reserve(names.size());
  for (const auto& name : names) descriptors.emplace_back(name, options);

  std::vector<rocksdb::ColumnFamilyHandle*> handles;
  rocksdb::DB* raw = nullptr;
  s = rocksdb::DB::Open(options, path, descriptors, &handles, &raw);
  if (!s.ok()) {
    if (raw != nullptr) {
      for (auto* h : handles) raw->DestroyColumnFamilyHandle(h);
      delete raw;
    }
    return std::unexpected(error_of(s));
  }

  auto state = std::make_shared<DbState>();
  state->mem_env = std::move(mem_env);
  state->db = raw;
  state->options = options;
  state->run_files.cache = rocksdb::NewLRUCache(32ull << 20);
  state->run_files.options = run_options(options, state->run_files.cache);
  state->run_files.dir = path + "/ruvo-spill";
  reset_dir(options.env, state->run_files.dir);
  for (size_t i = 0; i < handles.size(); ++i) {
    auto tree = std::make_unique<TreeState>();
    tree->handle = handles[i];
    state->trees.emplace(names[i], std::move(tree));
  }
  return state;
}

// A path of its own for every temporary database; the in-memory
// environment is private to the database anyway, so this only keeps the
// names apart in diagnostics.
std::string temporary_path() {
  static std::atomic<uint64_t> counter{0};
  return "/ruvo-temporary-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

}  // namespace

// ---- Tree ----

namespace {

// A pending batch of at least this many bytes reaches the database as
// sorted table files ingested in one step instead of through the log and
// the memtables. A memtable takes a row in several hundred ns once it
// holds a few MiB, a table file in a fraction of that; ingesting costs a
// file and a manifest record. Measured: a call adding 100 edges to a
// closure of 612 k paths (about 1.4 MiB of rows) takes a fifth less
// time, batches of tens of MiB a quarter less time and memory, and below
// this size the two ways measure alike.
constexpr size_t kIngestBytes = size_t{256} << 10;
// The size at which an ingested table file is closed and the next begun.
constexpr size_t kIngestFileBytes = size_t{8} << 20;

// Whether an insert into the tree now joins the pending batch.
// REQUIRES: write_mu held.
bool defers(const DbState& db, const TreeState& tree) {
  return db.deferring.load(std::memory_order_relaxed) && tree.deferrable.load(std::memory_order_relaxed);
}

// The pending batch as one write: each key once, with its last value, in
// key order tree by tree. Only the latest value of a key matters, and a
// memtable takes keys in order much faster than scattered ones.
rocksdb::Status sorted_batch(DbState& db, rocksdb::WriteBatch& out) {
  for (TreeState* tree : db.batched) {
    PendingRows& rows = tree->pending_rows;
    for (uint32_t r : rows.sorted()) {
      rocksdb::Status s = out.Put(tree->handle, slice(rows.key(r)), slice(rows.value(r)));
      if (!s.ok()) return s;
    }
  }
  return rocksdb::Status::OK();
}

// Sorted table files of one tree, each closed once it passes
// kIngestFileBytes: a file is built in memory before it is written (and a
// temporary store keeps it there), so bounded files bound that memory.
// Keys arrive ascending and each once, so the files never overlap.
class TableFiles {
 public:
  // `file_bytes`: the size at which a file is closed.
  TableFiles(DbState& db, TreeState& tree, std::vector<std::string>& paths,
             size_t file_bytes = kIngestFileBytes)
      : db_(db), tree_(tree), paths_(paths), file_bytes_(file_bytes) {}

  rocksdb::Status put(std::string_view key, std::string_view value) {
    rocksdb::Status s;
    if (!writer_) {
      paths_.push_back(db_.run_files.new_path());
      files_.push_back(paths_.back());
      // The file is read again right away, when it is ingested: its pages
      // stay cached.
      writer_.emplace(rocksdb::EnvOptions(), db_.options, tree_.handle, /*invalidate_page_cache=*/false);
      s = writer_->Open(paths_.back());
    }
    if (s.ok()) s = writer_->Put(slice(key), slice(value));
    if (s.ok() && writer_->FileSize() >= file_bytes_) s = finish();
    return s;
  }
  rocksdb::Status finish() {
    if (!writer_) return rocksdb::Status::OK();
    rocksdb::Status s = writer_->Finish();
    writer_.reset();
    return s;
  }
  // The files written, in key order.
  const std::vector<std::string>& files() const { return files_; }

 private:
  DbState& db_;
  TreeState& tree_;
  std::vector<std::string>& paths_;  // every file of the batch, for clean-up
  const size_t file_bytes_;
  std::vector<std::string> files_;
  std::optional<rocksdb::SstFileWriter> writer_;
};

// Writes the tree's pending rows to `out` in key order, each key once with
// its latest value: the rows in memory merged with the spilled runs,
// newest first.
rocksdb::Status write_pending(TreeState& tree, TableFiles& out) {
  PendingRows& rows = tree.pending_rows;
  PendingCursor memory(rows, rows.sorted());
  std::vector<std::unique_ptr<RowCursor>> runs;
  tree.runs.cursors("", whole_run_options(), runs);
  std::vector<RowCursor*> sources{&memory};
  for (auto& run : runs) sources.push_back(run.get());
  rocksdb::Status put;
  rocksdb::Status s = merge_rows(sources, [&](std::string_view key, std::string_view value) {
    put = out.put(key, value);
    return put.ok();
  });
  return s.ok() ? put : s;
}

// Building table files takes most of a large commit: a tree with one and
// a half times this many rows or more, nothing spilled, is written by up
// to six threads (one per 2^16 rows, rounded), into files of their own for
// contiguous pieces of the key order. Measured with the rows prefetched
// and the pieces shared out as the writers come free: four writers instead
// of two take a third off the writing of 650 k closure rows (52.7 to 31.2
// ms) and 1.4 M same-generation rows (114 to 63 ms); six instead of four
// take another 4-5% off whole calls that write 500 k chain closure rows
// or 1.4 M same-generation rows, for about the same processor time and
// peak memory (the files in the making together stay one file's size).
// Smaller commits, as a few new facts cause, stay with one writer: two or
// three made 16-64 k-row commits on disk slower (more files to sync).
constexpr size_t kRowsPerWriter = size_t{1} << 16;
constexpr size_t kMaxWriters = 6;
// At most this many trees of a commit are written at once.
constexpr size_t kMaxTreeWriters = 4;
// With several writers the key order is cut into this many pieces per
// writer, each written into files of its own by whichever writer is free
// next: a writer that runs slower (on a busy machine, or faulting in fresh
// memory as a new thread does) then leaves more pieces to the others
// rather than being waited for. The cuts depend on the row count alone.
constexpr size_t kPiecesPerWriter = 4;
// Rows a writer asks for together (see PendingRows::prefetch): enough to
// overlap the waits, few enough to stay in the nearest caches.
constexpr size_t kPrefetchRows = 256;

// Writes the tree's rows, none of them spilled, as table files: their names
// in key order into `files`, every file begun into `paths`.
rocksdb::Status write_rows_in_memory(DbState& db, TreeState& tree, std::vector<std::string>& files,
                                     std::vector<std::string>& paths) {
  const PendingRows& rows = tree.pending_rows;
  const std::vector<uint32_t>& order = tree.pending_rows.sorted();
  const size_t writers =
      std::clamp<size_t>((order.size() + kRowsPerWriter / 2) / kRowsPerWriter, 1, worker_count(kMaxWriters));
  const size_t piece_count = writers == 1 ? 1 : writers * kPiecesPerWriter;
  struct Piece {
    std::vector<std::string> paths;
    std::vector<std::string> files;
    rocksdb::Status status;
  };
  std::vector<Piece> pieces(piece_count);
  auto write_piece = [&](Piece& piece, std::span<const uint32_t> mine) {
    // Smaller files, so that the writers together hold no more than one.
    TableFiles out(db, tree, piece.paths, kIngestFileBytes / writers);
    // The rows are asked for a few hundred at a time before they are
    // handed on: the table writer does too much per row to overlap the
    // waits on rows scattered over memory.
    rocksdb::Status s;
    for (size_t i = 0; s.ok() && i < mine.size(); i += kPrefetchRows) {
      const size_t n = std::min(kPrefetchRows, mine.size() - i);
      rows.prefetch(mine.subspan(i), n);
      for (size_t j = i; s.ok() && j < i + n; ++j) s = out.put(rows.key(mine[j]), rows.value(mine[j]));
    }
    if (s.ok()) s = out.finish();
    piece.files = out.files();
    piece.status = s;
    return s.ok();
  };
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto write_pieces = [&] {
    for (size_t p; !failed.load(std::memory_order_relaxed) && (p = next.fetch_add(1)) < piece_count;) {
      const size_t from = order.size() * p / piece_count, to = order.size() * (p + 1) / piece_count;
      if (!write_piece(pieces[p], std::span<const uint32_t>(order).subspan(from, to - from)))
        failed.store(true, std::memory_order_relaxed);
    }
  };
  // Where fewer threads can be had, fewer write: the pieces are taken
  // from one queue.
  run_parts(writers, [&](size_t) { write_pieces(); });
  rocksdb::Status s;
  for (Piece& piece : pieces) {
    paths.insert(paths.end(), piece.paths.begin(), piece.paths.end());
    files.insert(files.end(), piece.files.begin(), piece.files.end());
    if (s.ok()) s = piece.status;
  }
  return s;
}

// The pending batch as sorted table files per tree, ingested into all trees
// in one atomic step: after a crash the database holds all of them or
// none. A tree's files hold each key once, so the files of one ingestion
// never overlap within a tree. The files are synced before they are
// ingested, and the ingestion is recorded durably, so no log record is
// needed; until then they are only files among the runs, which the next
// open removes.
rocksdb::Status ingest_batch(DbState& db) {
  // The trees' files are written side by side, a few trees at a time: a
  // commit's small trees (the one row of a watermark, say) then take no
  // time of their own next to a large one.
  struct TreeJob {
    TreeState* tree;
    std::vector<std::string> files;  // in key order
    std::vector<std::string> paths;  // every file begun
    rocksdb::Status status;
  };
  std::vector<TreeJob> jobs;
  for (TreeState* tree : db.batched)
    if (!tree->pending_rows.empty() || !tree->runs.empty()) jobs.push_back(TreeJob{tree, {}, {}, {}});
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  // Trees are taken in order, and none after a failure: the first failure
  // in tree order is the one reported, as when they are written one by one.
  auto write_trees = [&] {
    for (size_t j; !failed.load(std::memory_order_relaxed) && (j = next.fetch_add(1)) < jobs.size();) {
      TreeJob& job = jobs[j];
      if (job.tree->runs.empty()) {
        job.status = write_rows_in_memory(db, *job.tree, job.files, job.paths);
      } else {
        TableFiles out(db, *job.tree, job.paths);
        job.status = write_pending(*job.tree, out);
        if (job.status.ok()) job.status = out.finish();
        job.files = out.files();
      }
      if (!job.status.ok()) failed.store(true, std::memory_order_relaxed);
    }
  };
  run_parts(std::min(jobs.size(), worker_count(kMaxTreeWriters)), [&](size_t) { write_trees(); });
  std::vector<rocksdb::IngestExternalFileArg> args;
  std::vector<std::string> files;
  rocksdb::Status s;
  for (TreeJob& job : jobs) {
    files.insert(files.end(), job.paths.begin(), job.paths.end());
    if (s.ok()) s = job.status;
    if (!s.ok() || job.files.empty()) continue;
    rocksdb::IngestExternalFileArg arg;
    arg.column_family = job.tree->handle;
    arg.external_files = std::move(job.files);
    arg.options.move_files = true;
    args.push_back(std::move(arg));
  }
  if (s.ok() && !args.empty()) s = db.db->IngestExternalFiles(args);
  // Moved files are gone already; what is left is a failure's debris.
  for (const std::string& f : files) (void)db.options.env->DeleteFile(f);
  return s;
}

// Writes the pending batch, if any, in one write and empties it. On
// failure every pending insert is dropped, and each tree that had some
// counts one more write and forgets its memo. REQUIRES: write_mu held.
rocksdb::Status commit_locked(DbState& db) {
  std::unique_lock<std::shared_mutex> lock(db.batch_mu);
  if (db.batched.empty()) return rocksdb::Status::OK();
  for (TreeState* tree : db.batched) tree->stored.store(kStoredRows, std::memory_order_release);
  rocksdb::Status s;
  if (db.spilled || db.pending_bytes >= kIngestBytes) {
    s = ingest_batch(db);
  } else {
    rocksdb::WriteBatch sorted;
    s = sorted_batch(db, sorted);
    if (s.ok()) s = db.db->Write(write_options(db), &sorted);
  }
  for (TreeState* tree : db.batched) {
    if (!s.ok()) tree->memo_valid = false;
    // The database now answers alone: with the writes, or without them.
    tree->pending.store(0, std::memory_order_release);
    tree->pending_rows.clear();
    tree->unsettled.store(false, std::memory_order_relaxed);
    tree->runs.clear();
    if (!s.ok()) tree->writes.fetch_add(1, std::memory_order_release);
  }
  db.batched.clear();
  db.pending_bytes = 0;
  db.pending_memory = 0;
  db.spill_at = db.budget;
  // Blocks of runs that are gone only take memory.
  if (db.spilled) db.run_files.cache->EraseUnRefEntries();
  db.spilled = false;
  return s;
}

}  // namespace

DbState::~DbState() {
  if (db == nullptr) return;
  (void)commit_locked(*this);
  // Background flushes and compactions must be finished before the column
  // family handles and the database go away.
  rocksdb::CancelAllBackgroundWork(db, true);
  for (auto& [name, tree] : trees) db->DestroyColumnFamilyHandle(tree->handle);
  trees.clear();
  db->Close();  // a failed close leaves nothing to recover here
  delete db;
  db = nullptr;
  mem_env.reset();
}

namespace {

// Writes the rows in memory of the largest trees out to runs, until the
// rest takes at most half the budget. A spill that fails keeps the rows in
// memory, where reads and the commit find them as well, and is tried again
// once another budget's worth has come in. REQUIRES: write_mu held,
// batch_mu held exclusively.
void spill_locked(DbState& db) {
  std::vector<TreeState*> trees = db.batched;
  std::sort(trees.begin(), trees.end(), [](const TreeState* a, const TreeState* b) {
    return a->pending_rows.footprint() > b->pending_rows.footprint();
  });
  for (TreeState* tree : trees) {
    if (db.pending_memory <= db.budget / 2 || tree->pending_rows.empty()) break;
    if (!tree->runs.add(tree->pending_rows, db.run_files).ok()) {
      db.spill_at = db.pending_memory + db.budget;
      return;
    }
    db.pending_memory -= tree->pending_rows.footprint();
    tree->pending_rows.clear();
    tree->unsettled.store(false, std::memory_order_relaxed);
    db.spilled = true;
  }
  db.spill_at = db.budget;
}

// Changes the tree's pending rows by `change` and keeps the batch's sums of
// bytes and memory in step. REQUIRES: batch_mu held exclusively.
template <class Change>
void change_pending(DbState& db, TreeState& tree, const Change& change) {
  PendingRows& rows = tree.pending_rows;
  const size_t bytes_before = rows.bytes();
  const size_t memory_before = rows.footprint();
  change(rows);
  db.pending_bytes += rows.bytes() - bytes_before;
  db.pending_memory = db.pending_memory - memory_before + rows.footprint();
}

// Writes one key, into the pending batch when `deferred`. REQUIRES:
// write_mu held; `deferred` only while the database defers. Keeps the
// tree's memo and write count in step with what reads see, whatever the
// outcome.
rocksdb::Status put_locked(DbState& db, TreeState& tree, std::string_view key, std::string_view value,
                           bool deferred = false) {
  rocksdb::Status s;
  if (deferred) {
    std::unique_lock<std::shared_mutex> lock(db.batch_mu);
    // A put settles what was appended first.
    change_pending(db, tree, [&](PendingRows& rows) { rows.put(key, value); });
    tree.unsettled.store(false, std::memory_order_relaxed);
    if (tree.pending.fetch_add(1, std::memory_order_release) == 0) db.batched.push_back(&tree);
    if (db.pending_memory > db.spill_at) spill_locked(db);
  } else {
    tree.stored.store(kStoredRows, std::memory_order_release);
    s = db.db->Put(write_options(db), tree.handle, slice(key), slice(value));
  }
  if (tree.memo_valid && tree.memo_key == key) {
    if (s.ok()) {
      tree.memo_value.assign(value);
    } else {
      tree.memo_valid = false;  // a failed write may leave anything behind
    }
  }
  // Counted once the write has finished: a reader that sees this count
  // also sees the write.
  tree.writes.fetch_add(1, std::memory_order_release);
  return s;
}

// Whether reads of the tree must look into the pending batch. A writer
// racing with the read may or may not be seen, as without a batch.
bool reads_batch(const TreeState& tree) { return tree.pending.load(std::memory_order_acquire) != 0; }

// How many scans this thread is inside: a scan holds the batch's lock
// shared while it visits, so a read from inside its visit cannot take it
// exclusively.
thread_local int t_scans = 0;

// Settles the rows appended to the tree's pending rows before a read,
// which then finds them through the hash table and the key order instead
// of row by row. Inside a scan's visit they are read row by row.
// REQUIRES: batch_mu not held by this thread outside a scan.
void settle_for_read(DbState& db, TreeState& tree) {
  if (!tree.unsettled.load(std::memory_order_acquire) || t_scans > 0) return;
  std::unique_lock<std::shared_mutex> lock(db.batch_mu);
  change_pending(db, tree, [](PendingRows& rows) { rows.settle(); });
  tree.unsettled.store(false, std::memory_order_release);
}

// A point read, through the pending batch when the tree has writes there.
void assign_value(std::string* out, std::string_view v) { out->assign(v); }
void assign_value(rocksdb::PinnableSlice* out, std::string_view v) { out->PinSelf(slice(v)); }

// Whether the database holds no row of the tree, looking once if nobody
// has. A write that races with the look marks the tree first, so the look
// cannot hide it from later reads; the read that looked sees the tree as
// it was when its look began, as a read racing with a write may.
bool stores_nothing(DbState& db, TreeState& tree) {
  uint8_t known = tree.stored.load(std::memory_order_acquire);
  if (known != kStoredUnknown) return known == kStoredNothing;
  std::unique_ptr<rocksdb::Iterator> it(db.db->NewIterator(read_options(), tree.handle));
  it->SeekToFirst();
  if (!it->status().ok()) return false;  // the read itself reports it
  const uint8_t seen = it->Valid() ? kStoredRows : kStoredNothing;
  tree.stored.compare_exchange_strong(known, seen, std::memory_order_acq_rel);
  return seen == kStoredNothing;
}

template <class Value>
rocksdb::Status read_key(DbState& db, TreeState& tree, std::string_view key, Value* value) {
  if (reads_batch(tree)) {
    settle_for_read(db, tree);
    std::shared_lock<std::shared_mutex> lock(db.batch_mu);
    if (auto pending = tree.pending_rows.find(key)) {
      assign_value(value, *pending);
      return rocksdb::Status::OK();
    }
    if (!tree.runs.empty()) {
      std::string spilled;
      rocksdb::Status s = tree.runs.find(key, &spilled);
      if (s.ok()) assign_value(value, spilled);
      if (!s.IsNotFound()) return s;
    }
  }
  if (stores_nothing(db, tree)) return rocksdb::Status::NotFound();
  return db.db->Get(read_options(), tree.handle, slice(key), value);
}

}  // namespace

Result<std::optional<std::string>> Tree::get(std::string_view key) const {
  std::string value;
  auto found = get_into(key, value);
  if (!found) return std::unexpected(std::move(found.error()));
  if (!*found) return std::optional<std::string>();
  return std::optional<std::string>(std::move(value));
}

Result<bool> Tree::get_into(std::string_view key, std::string& value) const {
  rocksdb::Status s = read_key(*db_, tree_of(cf_), key, &value);
  if (s.IsNotFound()) return false;
  if (!s.ok()) return std::unexpected(error_of(s));
  return true;
}

Result<bool> Tree::contains(std::string_view key) const {
  rocksdb::PinnableSlice value;
  rocksdb::Status s = read_key(*db_, tree_of(cf_), key, &value);
  if (s.IsNotFound()) return false;
  if (!s.ok()) return std::unexpected(error_of(s));
  return true;
}

bool Tree::has_pending() const { return reads_batch(tree_of(cf_)); }

uint64_t Tree::write_count() const { return tree_of(cf_).writes.load(std::memory_order_acquire); }

Result<void> Tree::insert(std::string_view key, std::string_view value) const {
  std::lock_guard<std::mutex> lock(db_->write_mu);
  TreeState& tree = tree_of(cf_);
  rocksdb::Status s = put_locked(*db_, tree, key, value, defers(*db_, tree));
  if (!s.ok()) return std::unexpected(error_of(s));
  return {};
}

Result<void> Tree::insert_many(size_t n, const RowFn& rows, size_t* written) const {
  *written = 0;
  DbState& db = *db_;
  std::lock_guard<std::mutex> lock(db.write_mu);
  TreeState& tree = tree_of(cf_);
  if (!defers(db, tree)) {
    for (; *written < n; ++*written) {
      const auto [key, value] = rows(*written);
      rocksdb::Status s = put_locked(db, tree, key, value);
      if (!s.ok()) return std::unexpected(error_of(s));
    }
    return {};
  }
  if (n == 0) return {};
  {
    std::unique_lock<std::shared_mutex> batch(db.batch_mu);
    if (tree.pending.fetch_add(n, std::memory_order_release) == 0) db.batched.push_back(&tree);
    for (size_t i = 0; i < n; ++i) {
      const auto [key, value] = rows(i);
      change_pending(db, tree, [&](PendingRows& pending) { pending.append(key, value); });
      if (tree.memo_valid && tree.memo_key == key) tree.memo_value.assign(value);
      if (db.pending_memory > db.spill_at) spill_locked(db);
    }
    tree.unsettled.store(tree.pending_rows.unsettled(), std::memory_order_release);
  }
  // Counted once written, as by insert().
  tree.writes.fetch_add(n, std::memory_order_release);
  *written = n;
  return {};
}

Result<void> Tree::insert_filled(size_t n, size_t key_bytes, size_t value_bytes, const FillRowFn& fill,
                                 size_t* written) const {
  *written = 0;
  DbState& db = *db_;
  {
    std::lock_guard<std::mutex> lock(db.write_mu);
    TreeState& tree = tree_of(cf_);
    // Rows that stay in memory (none would be spilled) go in together.
    if (defers(db, tree) && n != 0 &&
        db.pending_memory + PendingRows::footprint_of(n, key_bytes + value_bytes) <= db.spill_at) {
      {
        std::unique_lock<std::shared_mutex> batch(db.batch_mu);
        if (tree.pending.fetch_add(n, std::memory_order_release) == 0) db.batched.push_back(&tree);
        change_pending(db, tree,
                       [&](PendingRows& pending) { pending.append_filled(n, key_bytes, value_bytes, fill); });
        // The memo is not looked for among the rows: it is read again.
        tree.memo_valid = false;
        tree.unsettled.store(tree.pending_rows.unsettled(), std::memory_order_release);
      }
      tree.writes.fetch_add(n, std::memory_order_release);
      *written = n;
      return {};
    }
  }
  std::string key(key_bytes, '\0'), value(value_bytes, '\0');
  return insert_many(
      n,
      [&](size_t i) {
        fill(i, key.data(), value.data());
        return std::pair<std::string_view, std::string_view>(key, value);
      },
      written);
}

Result<Tree::CasOutcome> Tree::compare_and_swap(std::string_view key, std::optional<std::string_view> expected,
                                                 std::string_view desired) const {
  std::lock_guard<std::mutex> lock(db_->write_mu);
  TreeState& tree = tree_of(cf_);
  auto current = get(key);
  if (!current) return std::unexpected(current.error());
  bool matches = current->has_value() == expected.has_value() &&
                 (!expected.has_value() || std::string_view(**current) == *expected);
  if (!matches) return CasOutcome{false, std::move(*current)};
  rocksdb::Status s = put_locked(*db_, tree, key, desired, defers(*db_, tree));
  if (!s.ok()) return std::unexpected(error_of(s));
  return CasOutcome{true, std::nullopt};
}

Result<Tree::CasOutcome> Tree::compare_and_swap_absent(std::string_view key, std::string_view desired,
                                                        std::optional<uint64_t> absent_at) const {
  std::lock_guard<std::mutex> lock(db_->write_mu);
  TreeState& tree = tree_of(cf_);
  // Every write of the tree counts under write_mu, which is held: an
  // unchanged count means nothing was written since the key was seen
  // absent, so it still is.
  if (!absent_at || *absent_at != tree.writes.load(std::memory_order_relaxed)) {
    auto current = get(key);
    if (!current) return std::unexpected(current.error());
    if (current->has_value()) return CasOutcome{false, std::move(*current)};
  }
  rocksdb::Status s = put_locked(*db_, tree, key, desired, defers(*db_, tree));
  if (!s.ok()) return std::unexpected(error_of(s));
  return CasOutcome{true, std::nullopt};
}

Result<std::optional<std::string>> Tree::fetch_and_update(std::string_view key, const UpdateFn& update) const {
  std::lock_guard<std::mutex> lock(db_->write_mu);
  TreeState& tree = tree_of(cf_);
  std::optional<std::string> current;
  if (tree.memo_valid && tree.memo_key == key) {
    current = tree.memo_value;
  } else {
    auto stored = get(key);
    if (!stored) return std::unexpected(stored.error());
    current = std::move(*stored);
  }
  // A throwing update leaves the key as it was: nothing is written before
  // it returns.
  std::string next = current.has_value() ? update(std::string_view(*current)) : update(std::nullopt);
  rocksdb::Status s = put_locked(*db_, tree, key, next, defers(*db_, tree));
  if (!s.ok()) return std::unexpected(error_of(s));
  if (!tree.memo_valid || tree.memo_key != key) {
    tree.memo_key.assign(key);
    tree.memo_value = std::move(next);
    tree.memo_valid = true;
  }
  return current;
}

Result<void> Tree::scan_prefix(std::string_view prefix, const VisitFn& visit) const {
  rocksdb::ReadOptions options = read_options();
  std::string end = prefix_end(prefix);
  rocksdb::Slice upper(end);
  if (!end.empty()) options.iterate_upper_bound = &upper;
  TreeState& tree = tree_of(cf_);
  // Held for the whole scan: it reads the batch as it goes.
  std::shared_lock<std::shared_mutex> batch_lock(db_->batch_mu, std::defer_lock);
  std::unique_ptr<rocksdb::Iterator> it(db_->db->NewIterator(options, tree.handle));
  it->Seek(slice(prefix));
  if (!reads_batch(tree)) {
    for (; it->Valid(); it->Next()) {
      std::string_view key = view(it->key());
      if (key.substr(0, prefix.size()) != prefix) break;
      if (!visit(key, view(it->value()))) return {};
    }
    if (!it->status().ok()) return std::unexpected(error_of(it->status()));
    return {};
  }
  // The database's entries merged with the pending ones, which win on
  // equal keys.
  settle_for_read(*db_, tree);
  if (tree.pending_rows.tail_is_long()) {
    // Ordering the pending rows is a write of the batch: it needs the batch
    // to itself. Rows written after it are found in the tail.
    std::unique_lock<std::shared_mutex> exclusive(db_->batch_mu);
    tree.pending_rows.order();
  }
  batch_lock.lock();
  struct InScan {
    InScan() { ++t_scans; }
    ~InScan() { --t_scans; }
  } in_scan;
  std::vector<uint32_t> pending;
  const PendingRows& rows = tree.pending_rows;
  rows.rows_with_prefix(prefix, pending);
  if (!tree.runs.empty()) {
    // Newest first: the rows in memory, the runs, the database.
    // The runs' filter answers for whole keys only: a scan seeks past it.
    rocksdb::ReadOptions run_reads = options;
    run_reads.total_order_seek = true;
    std::vector<std::unique_ptr<RowCursor>> runs;
    tree.runs.cursors(prefix, run_reads, runs);
    PendingCursor memory(rows, pending);
    IteratorCursor stored(std::move(it), prefix);
    std::vector<RowCursor*> sources{&memory};
    for (auto& run : runs) sources.push_back(run.get());
    sources.push_back(&stored);
    rocksdb::Status s = merge_rows(sources, visit);
    if (!s.ok()) return std::unexpected(error_of(s));
    return {};
  }
  size_t p = 0;
  while (true) {
    const bool db_in = it->Valid() && view(it->key()).substr(0, prefix.size()) == prefix;
    if (!db_in && !it->status().ok()) return std::unexpected(error_of(it->status()));
    const bool pend = p < pending.size();
    if (!db_in && !pend) break;
    if (pend && (!db_in || rows.key(pending[p]) <= view(it->key()))) {
      if (db_in && rows.key(pending[p]) == view(it->key())) it->Next();
      if (!visit(rows.key(pending[p]), rows.value(pending[p]))) return {};
      ++p;
    } else {
      if (!visit(view(it->key()), view(it->value()))) return {};
      it->Next();
    }
  }
  return {};
}

Result<std::optional<std::string>> Tree::last_key() const {
  std::unique_ptr<rocksdb::Iterator> it(db_->db->NewIterator(read_options(), tree_of(cf_).handle));
  it->SeekToLast();
  if (!it->status().ok()) return std::unexpected(error_of(it->status()));
  if (!it->Valid()) return std::optional<std::string>();
  return std::optional<std::string>(std::string(view(it->key())));
}

namespace {

// Commits the pending batch and syncs the write-ahead log, which every tree
// shares. A temporary database has nothing to make durable, and its
// in-memory log files cannot be synced.
Result<void> sync_log(DbState& state) {
  rocksdb::Status s;
  {
    std::lock_guard<std::mutex> lock(state.write_mu);
    s = commit_locked(state);
  }
  if (!s.ok()) return std::unexpected(error_of(s));
  s = state.db->FlushWAL(/*sync=*/state.mem_env == nullptr);
  if (!s.ok()) return std::unexpected(error_of(s));
  return {};
}

}  // namespace

Result<void> Tree::flush() const { return sync_log(*db_); }

// ---- Db ----

Result<Db> Db::open(const std::string& path) {
  // Missing parent directories are created too. A failure here is left to
  // RocksDB to report in its own words.
  std::error_code ignored;
  std::filesystem::create_directories(path, ignored);
  auto state = open_state(path, nullptr);
  if (!state) return std::unexpected(state.error());
  Db db;
  db.state_ = std::move(*state);
  return db;
}

Result<Db> Db::open_temporary() {
  std::unique_ptr<rocksdb::Env> env(rocksdb::NewMemEnv(rocksdb::Env::Default()));
  auto state = open_state(temporary_path(), std::move(env));
  if (!state) return std::unexpected(state.error());
  Db db;
  db.state_ = std::move(*state);
  return db;
}

Result<Tree> Db::open_tree(std::string_view name, TreeOptions options) const {
  std::lock_guard<std::mutex> lock(state_->trees_mu);
  auto it = state_->trees.find(name);
  if (it == state_->trees.end()) {
    auto created = std::make_unique<TreeState>();
    rocksdb::Status s = state_->db->CreateColumnFamily(state_->options, std::string(name), &created->handle);
    if (!s.ok()) return std::unexpected(error_of(s));
    it = state_->trees.emplace(std::string(name), std::move(created)).first;
  }
  if (options.deferrable) it->second->deferrable.store(true, std::memory_order_relaxed);
  Tree tree;
  tree.db_ = state_;
  tree.cf_ = it->second.get();
  tree.name_ = it->first;
  return tree;
}

std::vector<std::string> Db::tree_names() const {
  // Opening reopens every tree on disk and open_tree records each new one,
  // so the map names them all.
  std::lock_guard<std::mutex> lock(state_->trees_mu);
  std::vector<std::string> names;
  names.reserve(state_->trees.size());
  for (const auto& [name, tree] : state_->trees) names.push_back(name);
  return names;
}

Result<void> Db::flush() const { return sync_log(*state_); }

void Db::begin_deferred() const {
  // The thread that defers is about to write a lot: RocksDB's per-thread
  // performance counters cost a thread-local lookup per operation, and
  // nothing here reads them.
  rocksdb::SetPerfLevel(rocksdb::PerfLevel::kDisable);
  std::lock_guard<std::mutex> lock(state_->write_mu);
  state_->deferring.store(true, std::memory_order_relaxed);
}

Result<void> Db::commit_deferred() const {
  std::lock_guard<std::mutex> lock(state_->write_mu);
  rocksdb::Status s = commit_locked(*state_);
  if (!s.ok()) return std::unexpected(error_of(s));
  return {};
}

Result<void> Db::end_deferred() const {
  std::lock_guard<std::mutex> lock(state_->write_mu);
  rocksdb::Status s = commit_locked(*state_);
  state_->deferring.store(false, std::memory_order_relaxed);
  if (!s.ok()) return std::unexpected(error_of(s));
  return {};
}

bool Db::deferring() const { return state_->deferring.load(std::memory_order_relaxed); }

void Db::set_pending_budget(size_t bytes) const {
  std::lock_guard<std::mutex> lock(state_->write_mu);
  state_->budget = bytes;
  state_->spill_at = bytes;
}

size_t Db::pending_memory() const {
  std::shared_lock<std::shared_mutex> lock(state_->batch_mu);
  return state_->pending_memory;
}

}  // namespace ruvo::kv
