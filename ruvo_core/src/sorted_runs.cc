#include "ruvo_core/src/sorted_runs.h"

#include <rocksdb/env.h>
#include <rocksdb/sst_file_writer.h>

namespace ruvo::kv {

namespace {

rocksdb::Slice slice(std::string_view s) { return rocksdb::Slice(s.data(), s.size()); }

}  // namespace

// Whole runs are read front to back: in large reads, and without pushing
// the blocks that point reads use out of the cache.
const rocksdb::ReadOptions& whole_run_options() {
  static const rocksdb::ReadOptions options = [] {
    rocksdb::ReadOptions o;
    o.total_order_seek = true;
    o.fill_cache = false;
    o.readahead_size = size_t{2} << 20;
    return o;
  }();
  return options;
}

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

rocksdb::Status merge_rows(std::span<RowCursor* const> sources, const RowVisitor& visit) {
  while (true) {
    RowCursor* first = nullptr;
    for (RowCursor* c : sources) {
      if (!c->valid()) {
        if (rocksdb::Status s = c->status(); !s.ok()) return s;
        continue;
      }
      // Strictly less: on equal keys the earlier source wins.
      if (first == nullptr || c->key() < first->key()) first = c;
    }
    if (first == nullptr) return rocksdb::Status::OK();
    if (!visit(first->key(), first->value())) return rocksdb::Status::OK();
    for (RowCursor* c : sources)
      if (c != first && c->valid() && c->key() == first->key()) c->next();
    first->next();
  }
}

SortedRuns::Run::~Run() {
  lookup.reset();
  reader.reset();
  (void)env->DeleteFile(path);
}

rocksdb::Status SortedRuns::write_run(std::span<RowCursor* const> sources, RunFiles& files,
                                      std::unique_ptr<Run>& out) {
  auto run = std::make_unique<Run>();
  run->path = files.new_path();
  run->env = files.options.env;
  rocksdb::SstFileWriter writer(rocksdb::EnvOptions(), files.options);
  rocksdb::Status s = writer.Open(run->path);
  if (s.ok()) {
    rocksdb::Status put;
    s = merge_rows(sources, [&](std::string_view k, std::string_view v) {
      put = writer.Put(slice(k), slice(v));
      return put.ok();
    });
    if (s.ok()) s = put;
  }
  rocksdb::ExternalSstFileInfo info;
  if (s.ok()) s = writer.Finish(&info);
  if (s.ok()) {
    run->bytes = info.file_size;
    run->reader = std::make_unique<rocksdb::SstFileReader>(files.options);
    s = run->reader->Open(run->path);
  }
  // On failure the run goes, and its file with it.
  if (s.ok()) out = std::move(run);
  return s;
}

rocksdb::Status SortedRuns::add(PendingRows& rows, RunFiles& files) {
  PendingCursor cursor(rows, rows.sorted());
  RowCursor* const sources[] = {&cursor};
  std::unique_ptr<Run> run;
  rocksdb::Status s = write_run(sources, files, run);
  if (!s.ok()) return s;
  runs_.push_back(std::move(run));
  while (runs_.size() >= 2 && runs_[runs_.size() - 2]->bytes <= 2 * runs_.back()->bytes) {
    // A failed merge leaves one run more than needed, which reads see
    // through just as well.
    if (!merge_newest(files)) break;
  }
  return rocksdb::Status::OK();
}

bool SortedRuns::merge_newest(RunFiles& files) {
  std::unique_ptr<Run> merged;
  {
    auto cursor = [](const Run& run) {
      std::unique_ptr<rocksdb::Iterator> it(run.reader->NewIterator(whole_run_options()));
      it->SeekToFirst();
      return IteratorCursor(std::move(it), "");
    };
    IteratorCursor newer = cursor(*runs_.back()), older = cursor(*runs_[runs_.size() - 2]);
    RowCursor* const both[] = {&newer, &older};
    if (!write_run(both, files, merged).ok()) return false;
  }
  runs_.pop_back();
  runs_.back() = std::move(merged);
  return true;
}

rocksdb::Status SortedRuns::find(std::string_view key, std::string* value) const {
  static const rocksdb::ReadOptions point;  // the runs' filter skips most runs
  for (auto r = runs_.rbegin(); r != runs_.rend(); ++r) {
    const Run& run = **r;
    std::unique_lock<std::mutex> lock(run.lookup_mu, std::try_to_lock);
    std::unique_ptr<rocksdb::Iterator> own;
    rocksdb::Iterator* it;
    if (lock.owns_lock()) {
      if (!run.lookup) run.lookup.reset(run.reader->NewIterator(point));
      it = run.lookup.get();
    } else {
      own.reset(run.reader->NewIterator(point));
      it = own.get();
    }
    it->Seek(slice(key));
    if (it->Valid() && it->key() == slice(key)) {
      value->assign(it->value().data(), it->value().size());
      return rocksdb::Status::OK();
    }
    if (!it->status().ok()) return it->status();
  }
  return rocksdb::Status::NotFound();
}

void SortedRuns::cursors(std::string_view prefix, const rocksdb::ReadOptions& options,
                         std::vector<std::unique_ptr<RowCursor>>& out) const {
  for (auto r = runs_.rbegin(); r != runs_.rend(); ++r) {
    std::unique_ptr<rocksdb::Iterator> it((*r)->reader->NewIterator(options));
    it->Seek(slice(prefix));
    out.push_back(std::make_unique<IteratorCursor>(std::move(it), prefix));
  }
}

void SortedRuns::clear() { runs_.clear(); }

}  // namespace ruvo::kv
