// Key-value adapter over RocksDB. Trees are column families; a temporary
// database lives in RocksDB's in-memory environment.
#include "ruvo_core/src/kv.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <rocksdb/cache.h>
#include <rocksdb/convenience.h>
#include <rocksdb/db.h>
#include <rocksdb/env.h>
#include <rocksdb/filter_policy.h>
#include <rocksdb/options.h>
#include <rocksdb/table.h>

#include "ruvo_core/src/codec.h"

namespace ruvo::kv {

std::string Error::debug() const { return bincode::debug_str(status); }

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
};

struct DbState {
  // Declared first so it is destroyed last: the database runs on it.
  std::unique_ptr<rocksdb::Env> mem_env;  // set for a temporary database
  rocksdb::DB* db = nullptr;
  rocksdb::ColumnFamilyOptions cf_options;

  std::mutex trees_mu;  // guards the map (not the trees it holds)
  std::map<std::string, std::unique_ptr<TreeState>, std::less<>> trees;

  // Serialises single-key writes so that read-compare-write sequences are
  // atomic with respect to each other.
  std::mutex write_mu;

  DbState() = default;
  DbState(const DbState&) = delete;
  DbState& operator=(const DbState&) = delete;

  ~DbState() {
    if (db == nullptr) return;
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
};

namespace {

Error error_of(const rocksdb::Status& s) { return Error{s.ToString()}; }

rocksdb::Slice slice(std::string_view s) { return rocksdb::Slice(s.data(), s.size()); }

std::string_view view(const rocksdb::Slice& s) { return std::string_view(s.data(), s.size()); }

TreeState& tree_of(void* cf) { return *static_cast<TreeState*>(cf); }
rocksdb::ColumnFamilyHandle* handle_of(void* cf) { return tree_of(cf).handle; }

// Built once: the option structs are not trivial to construct, and every
// read and write would otherwise make one.
const rocksdb::ReadOptions& read_options() {
  static const rocksdb::ReadOptions options;
  return options;
}
const rocksdb::WriteOptions& write_options() {
  static const rocksdb::WriteOptions options;  // the log is written, not synced
  return options;
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
  state->cf_options = options;
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

// The smallest key greater than every key that starts with `prefix`;
// empty when there is none (the prefix is empty or all 0xff bytes).
std::string prefix_end(std::string_view prefix) {
  std::string end(prefix);
  while (!end.empty()) {
    auto last = static_cast<unsigned char>(end.back());
    if (last != 0xff) {
      end.back() = static_cast<char>(last + 1);
      return end;
    }
    end.pop_back();
  }
  return end;
}

}  // namespace

// ---- Tree ----

namespace {

// Writes one key. REQUIRES: write_mu held. Keeps the tree's memo and write
// count in step with the database, whatever the outcome.
rocksdb::Status put_locked(DbState& db, TreeState& tree, std::string_view key, std::string_view value) {
  rocksdb::Status s = db.db->Put(write_options(), tree.handle, slice(key), slice(value));
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

}  // namespace

Result<std::optional<std::string>> Tree::get(std::string_view key) const {
  std::string value;
  auto found = get_into(key, value);
  if (!found) return std::unexpected(std::move(found.error()));
  if (!*found) return std::optional<std::string>();
  return std::optional<std::string>(std::move(value));
}

Result<bool> Tree::get_into(std::string_view key, std::string& value) const {
  rocksdb::Status s = db_->db->Get(read_options(), handle_of(cf_), slice(key), &value);
  if (s.IsNotFound()) return false;
  if (!s.ok()) return std::unexpected(error_of(s));
  return true;
}

Result<bool> Tree::contains(std::string_view key) const {
  rocksdb::PinnableSlice value;
  rocksdb::Status s = db_->db->Get(read_options(), handle_of(cf_), slice(key), &value);
  if (s.IsNotFound()) return false;
  if (!s.ok()) return std::unexpected(error_of(s));
  return true;
}

uint64_t Tree::write_count() const { return tree_of(cf_).writes.load(std::memory_order_acquire); }

Result<void> Tree::insert(std::string_view key, std::string_view value) const {
  std::lock_guard<std::mutex> lock(db_->write_mu);
  rocksdb::Status s = put_locked(*db_, tree_of(cf_), key, value);
  if (!s.ok()) return std::unexpected(error_of(s));
  return {};
}

Result<Tree::CasOutcome> Tree::compare_and_swap(std::string_view key, std::optional<std::string_view> expected,
                                                 std::string_view desired) const {
  std::lock_guard<std::mutex> lock(db_->write_mu);
  auto current = get(key);
  if (!current) return std::unexpected(current.error());
  bool matches = current->has_value() == expected.has_value() &&
                 (!expected.has_value() || std::string_view(**current) == *expected);
  if (!matches) return CasOutcome{false, std::move(*current)};
  rocksdb::Status s = put_locked(*db_, tree_of(cf_), key, desired);
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
  rocksdb::Status s = put_locked(*db_, tree, key, desired);
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
  rocksdb::Status s = put_locked(*db_, tree, key, next);
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
  std::unique_ptr<rocksdb::Iterator> it(db_->db->NewIterator(options, handle_of(cf_)));
  for (it->Seek(slice(prefix)); it->Valid(); it->Next()) {
    std::string_view key = view(it->key());
    if (key.substr(0, prefix.size()) != prefix) break;
    if (!visit(key, view(it->value()))) return {};
  }
  if (!it->status().ok()) return std::unexpected(error_of(it->status()));
  return {};
}

namespace {

// Syncs the write-ahead log, which every tree shares. A temporary database
// has nothing to make durable, and its in-memory log files cannot be synced.
Result<void> sync_log(const DbState& state) {
  rocksdb::Status s = state.db->FlushWAL(/*sync=*/state.mem_env == nullptr);
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

Result<Tree> Db::open_tree(std::string_view name) const {
  std::lock_guard<std::mutex> lock(state_->trees_mu);
  auto it = state_->trees.find(name);
  if (it == state_->trees.end()) {
    auto created = std::make_unique<TreeState>();
    rocksdb::Status s = state_->db->CreateColumnFamily(state_->cf_options, std::string(name), &created->handle);
    if (!s.ok()) return std::unexpected(error_of(s));
    it = state_->trees.emplace(std::string(name), std::move(created)).first;
  }
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

}  // namespace ruvo::kv
