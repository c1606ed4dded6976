// Key-value adapter: single-key operations, scans, temporary and file
// databases, deferred writes and writers killed mid-stream.
#include "ruvo_core/src/kv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <array>
#include <map>
#include <thread>
#include <random>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/fault.h"
#include "ruvo_core/src/pending_rows.h"
#include "testing/test_support.h"

namespace ruvo::kv {
namespace {

namespace fs = std::filesystem;
using bincode::get_u64_be;
using bincode::u64_be;
using test::dump;
using test::Entries;
using test::ok;
using Opt = std::optional<std::string_view>;

Tree tree(const Db& db, std::string_view name) { return ok(db.open_tree(name)); }
Db temporary() { return ok(Db::open_temporary()); }
std::string increment(Opt cur) { return u64_be(cur ? get_u64_be(cur->data()) + 1 : 1); }

TEST(KvTest, ReadCompareWrite) {
  Db db = temporary();
  Tree t = tree(db, "t");
  // Each row: expected current value, whether it swaps, the value reported.
  ok(t.insert("e", ""));
  const std::tuple<const char*, Opt, bool, Opt> cases[] = {
      {"k", std::nullopt, true, std::nullopt}, {"k", "wrong", false, "none+"},
      {"k", "none+", true, std::nullopt},      {"missing", "", false, std::nullopt},
      {"e", std::nullopt, false, ""},          {"e", "", true, std::nullopt}};
  for (const auto& [key, expected, swapped, current] : cases) {
    auto r = ok(t.compare_and_swap(key, expected, std::string(expected.value_or("none")) + "+"));
    EXPECT_EQ(r.swapped, swapped) << key;
    EXPECT_EQ(r.swapped ? std::nullopt : r.current, current) << key;
  }
  // Trees are separate key spaces; a second handle sees the same data.
  EXPECT_EQ(ok(tree(db, "other").get("e")), std::nullopt);
  EXPECT_EQ(ok(tree(db, "t").get("k")), "none++");
  EXPECT_EQ(ok(t.fetch_and_update("n", increment)), std::nullopt);
  EXPECT_EQ(ok(t.fetch_and_update("n", increment)), u64_be(1));
  // A throwing update writes nothing and releases the write lock.
  auto broken = [](Opt) -> std::string { fault("broken counter"); };
  EXPECT_THROW((void)t.fetch_and_update("n", broken), Fault);
  EXPECT_EQ(ok(t.get("n")), u64_be(2));
  // The value it wrote is not kept past writes by other calls and handles.
  ok(tree(db, "t").insert("n", u64_be(10)));
  EXPECT_EQ(ok(t.fetch_and_update("n", increment)), u64_be(10));
  EXPECT_TRUE(ok(t.compare_and_swap("n", u64_be(11), u64_be(20))).swapped);
  EXPECT_EQ(ok(t.fetch_and_update("n", increment)), u64_be(20));
  // An earlier absence is trusted only while the write count is unchanged.
  uint64_t seen = t.write_count();
  EXPECT_TRUE(ok(t.compare_and_swap_absent("a", "first", seen)).swapped);
  EXPECT_EQ(ok(t.compare_and_swap_absent("a", "second", seen)).current, "first");
  seen = t.write_count();
  ok(tree(db, "t").insert("j", "other"));
  EXPECT_EQ(ok(t.compare_and_swap_absent("j", "mine", seen)).current, "other");
}

// While deferring, every read through any handle answers as if each pending
// insert had been written.
TEST(KvDeferredTest, ReadsSeePendingWrites) {
  Db db = temporary();
  Tree t = ok(db.open_tree("t", TreeOptions{.deferrable = true}));
  Tree again = tree(db, "t");  // opened without the option: the same tree
  const std::string keys[] = {"", std::string("a\0", 2), "a", "ab", "a\xff", "a\xff\xff", "b",
                              "\xff", "\xff\x01"};
  std::map<std::string, std::string> model;
  uint64_t writes = 0;
  auto check = [&](int step) {
    EXPECT_EQ(t.write_count(), writes) << step;
    for (const Tree* h : {&t, &again}) {
      for (const auto& k : keys) {
        auto it = model.find(k);
        EXPECT_EQ(ok(h->get(k)), it == model.end() ? std::nullopt : std::optional(it->second))
            << step;
        EXPECT_EQ(ok(h->contains(k)), it != model.end()) << step;
      }
      // Ascending unsigned byte order, the prefix itself included, also for
      // prefixes ending in 0xff bytes.
      for (const std::string p : {"", "a", "a\xff", "b", "\xff", "c"}) {
        Entries want;
        for (const auto& [k, v] : model)
          if (k.starts_with(p)) want.emplace_back(k, v);
        EXPECT_EQ(dump(*h, p), want) << step << ", prefix of " << p.size();
      }
    }
  };
  // i: insert, x: compare-and-swap from the current value, f: fetch and
  // update, m: insert_many (the key twice, the later value wins), c:
  // commit, b: begin, e: end, F: flush; each with a key index. Keys 2 and 6
  // are committed before deferring starts.
  const char* const steps = "i2i6b0i2i3i0i3i8x3i1c0i4i5f4f7m7f7i7b0F0i3c0c0i1e0m5";
  for (int n = 0; steps[2 * n]; ++n) {
    const char op = steps[2 * n];
    const std::string& k = keys[steps[2 * n + 1] - '0'];
    const std::string value = "v" + std::to_string(n);
    const auto before = model.contains(k) ? std::optional(model[k]) : std::nullopt;
    switch (op) {
      case 'i': ok(t.insert(k, value)); break;
      case 'x': EXPECT_TRUE(ok(again.compare_and_swap(k, before, value)).swapped); break;
      case 'f': EXPECT_EQ(ok(t.fetch_and_update(k, [&](auto) { return value; })), before); break;
      case 'm': {
        size_t written = 0;
        ok(t.insert_many(2, [&](size_t i) {
          return std::pair<std::string_view, std::string_view>(k, i ? std::string_view(value) : "x");
        }, &written));
        break;
      }
      case 'c': ok(db.commit_deferred()); break;
      case 'b': db.begin_deferred(); break;
      case 'e': ok(db.end_deferred()); break;
      case 'F': ok(db.flush()); break;
    }
    if (op == 'i' || op == 'x' || op == 'f' || op == 'm') {
      model[k] = value;
      writes += op == 'm' ? 2 : 1;
    }
    EXPECT_EQ(db.deferring(), n >= 2 && n < 24);
    check(n);
  }
}

// Rows of one key length and one value length inserted together (filled
// by several threads once there are many) answer like the same rows
// inserted one by one, before and after the commit, with or without a
// batch; a key written twice keeps its later value, and a value that
// fetch_and_update remembered for a key the rows overwrite is read again.
TEST(KvDeferredTest, FilledRowsAnswerLikeRowsInsertedOneByOne) {
  for (const bool deferring : {true, false}) {
    for (const size_t n : {size_t{100}, size_t{70000}}) {
      Db db = temporary();
      Tree filled = ok(db.open_tree("filled", TreeOptions{.deferrable = true}));
      Tree one_by_one = ok(db.open_tree("one_by_one", TreeOptions{.deferrable = true}));
      auto key_of = [n](size_t i) { return u64_be(i * 7919 % (n / 2)) + u64_be(i % 3); };
      auto value_of = [](size_t i) { return std::string(8, static_cast<char>('a' + i % 26)) + u64_be(i); };
      const std::string counter = key_of(n - 1);
      if (deferring) db.begin_deferred();
      for (const Tree* t : {&filled, &one_by_one})
        EXPECT_EQ(ok(t->fetch_and_update(counter, [](auto) { return std::string(16, 'c'); })), std::nullopt);
      size_t written = 0;
      ok(filled.insert_filled(n, 16, 16, [&](size_t i, char* k, char* v) {
        std::memcpy(k, key_of(i).data(), 16);
        std::memcpy(v, value_of(i).data(), 16);
      }, &written));
      EXPECT_EQ(written, n);
      ok(one_by_one.insert_many(n, [&, k = std::string(), v = std::string()](size_t i) mutable {
        k = key_of(i);
        v = value_of(i);
        return std::pair<std::string_view, std::string_view>(k, v);
      }, &written));
      for (int round : {0, 1}) {
        EXPECT_EQ(filled.write_count(), one_by_one.write_count()) << n;
        EXPECT_EQ(dump(filled), dump(one_by_one)) << n << " " << round;
        if (deferring && round == 0) ok(db.commit_deferred());
      }
      for (const Tree* t : {&filled, &one_by_one})
        EXPECT_EQ(ok(t->fetch_and_update(counter, [](auto) { return std::string(16, 'd'); })), value_of(n - 1))
            << deferring << " " << n;
      if (deferring) ok(db.end_deferred());
    }
  }
}

// A tree read while it held nothing is read again after each way a row can
// reach the database: through, in a small batch, in an ingested one, and
// after reopening a database whose trees hold rows.
TEST(KvTest, TreeFirstReadEmptySeesEveryLaterWrite) {
  const std::string big(300 << 10, 'v');  // past the size that is ingested
  using Write = std::function<void(Db&, const Tree&)>;
  const std::pair<const char*, Write> writes[] = {
      {"insert", [](Db&, const Tree& t) { ok(t.insert("k", "v")); }},
      {"swap", [](Db&, const Tree& t) { EXPECT_TRUE(ok(t.compare_and_swap("k", std::nullopt, "v")).swapped); }},
      {"update", [](Db&, const Tree& t) { ok(t.fetch_and_update("k", [](Opt) { return std::string("v"); })); }},
      {"small batch", [](Db& db, const Tree& t) { db.begin_deferred(); ok(t.insert("k", "v")); ok(db.end_deferred()); }},
      {"large batch", [&](Db& db, const Tree& t) {
         db.begin_deferred();
         ok(t.insert("big", big));
         ok(t.insert("k", "v"));
         ok(db.end_deferred());
       }}};
  for (const auto& [name, write] : writes) {
    test::ScratchDir dir;
    {
      Db db = ok(Db::open(dir / "db"));
      Tree t = ok(db.open_tree("t", TreeOptions{.deferrable = true}));
      EXPECT_EQ(ok(t.get("k")), std::nullopt) << name;
      write(db, t);
      for (const Tree& h : {t, tree(db, "t")}) {
        EXPECT_EQ(ok(h.get("k")), "v") << name;
        EXPECT_TRUE(ok(h.contains("k"))) << name;
      }
      EXPECT_EQ(ok(tree(db, "other").get("k")), std::nullopt) << name;
    }
    Db db = ok(Db::open(dir / "db"));
    EXPECT_EQ(ok(tree(db, "t").get("k")), "v") << name << ", reopened";
  }
}

// A batch of many MiB reaches the trees as ingested table files, in one
// step: before the commit nothing of it is in the database, after it all
// of it, over older values of the same keys (written through, so still in
// the memtable), and later writes win over it; many rows are written by
// several threads, each a share of the key order.
TEST(KvDeferredTest, LargeBatchIsIngestedWhole) {
  for (const bool on_disk : {false, true}) {
    test::ScratchDir dir;
    Db db = on_disk ? ok(Db::open(dir / "db")) : temporary();
    Tree a = ok(db.open_tree("a", TreeOptions{.deferrable = true}));
    Tree b = ok(db.open_tree("b", TreeOptions{.deferrable = true}));
    ok(a.insert(u64_be(7), "old"));
    ok(b.insert("z", "old"));
    db.begin_deferred();
    Entries want_a, want_b{{"z", "new"}};
    for (uint64_t i = 0; i < 3000; ++i) {
      const std::string v(4096, static_cast<char>('a' + i % 26));
      ok(a.insert(u64_be(i), v));
      want_a.emplace_back(u64_be(i), v);
    }
    ok(b.insert("z", "new"));
    // Many rows appended in scattered key order, some keys twice: written
    // by several threads at once where the machine has them.
    Tree c = ok(db.open_tree("c", TreeOptions{.deferrable = true}));
    constexpr uint64_t kRows = 300000;
    std::map<std::string, std::string> want_c;
    std::string key, value;
    size_t written = 0;
    ok(c.insert_many(kRows + 1000, [&](size_t i) {
      key = u64_be(i * 7919 % kRows);
      value = std::to_string(i);
      want_c[key] = value;
      return std::pair<std::string_view, std::string_view>(key, value);
    }, &written));
    EXPECT_EQ(dump(a), want_a);
    EXPECT_EQ(dump(b), want_b);
    EXPECT_EQ(ok(a.last_key()), u64_be(7)) << "the database alone holds none of it yet";
    ok(db.end_deferred());
    EXPECT_EQ(dump(a), want_a);
    EXPECT_EQ(dump(b), want_b);
    EXPECT_EQ(dump(c), Entries(want_c.begin(), want_c.end()));
    EXPECT_EQ(ok(a.last_key()), u64_be(2999));
    ok(a.insert(u64_be(7), "later"));
    EXPECT_EQ(ok(a.get(u64_be(7))), "later");
  }
}

// A batch that outgrows a tiny budget spills sorted runs to files, again and
// again, and still answers every read like an ordered map of each key's
// latest value (in memory, then runs newest first, then the database); its
// commit stores exactly what the same writes store unspilled.
TEST(KvSpillTest, SpillingBatchReadsAndCommitsLikeAnUnspilledOne) {
  constexpr size_t kBudget = 16 << 10;
  for (const bool on_disk : {false, true}) {
    test::ScratchDir dir;
    Db spilling = on_disk ? ok(Db::open(dir / "db")) : temporary();
    Db plain = temporary();
    spilling.set_pending_budget(kBudget);
    const TreeOptions deferrable{.deferrable = true};
    const Tree trees[2][2] = {{ok(spilling.open_tree("a", deferrable)), ok(spilling.open_tree("b", deferrable))},
                              {ok(plain.open_tree("a", deferrable)), ok(plain.open_tree("b", deferrable))}};
    std::map<std::string, std::string> model[2];
    std::mt19937_64 rng(on_disk);
    auto text = [&](size_t max_len) {
      std::string s(rng() % (max_len + 1), '\0');
      for (char& c : s) c = "\x00\x01" "ab\x7f\x80\xff"[rng() % 7];
      return s;
    };
    bool runs_on_disk = false;
    for (int step = 0; step < 8000; ++step) {
      if (step == 500) spilling.begin_deferred(), plain.begin_deferred();  // some rows committed first
      if (step == 4000) ok(spilling.commit_deferred()), ok(plain.commit_deferred());
      // Tree b takes a write in five, with longer keys: it spills less often.
      const int t = rng() % 5 == 0;
      const std::string key = text(t ? 8 : 5), value = text(30);
      const auto before = model[t].contains(key) ? std::optional(model[t][key]) : std::nullopt;
      for (const auto& db_trees : trees) {
        const Tree& tree = db_trees[t];
        size_t written = 0;
        switch (step % 4) {
          case 0: ok(tree.insert(key, value)); break;
          case 1: EXPECT_TRUE(ok(tree.compare_and_swap(key, before, value)).swapped) << step; break;
          case 2: EXPECT_EQ(ok(tree.fetch_and_update(key, [&](Opt) { return value; })), before) << step; break;
          case 3:  // the key twice: the later row wins
            ok(tree.insert_many(2, [&](size_t i) {
              return std::pair<std::string_view, std::string_view>(key, i ? value : std::string_view("x"));
            }, &written));
            EXPECT_EQ(written, 2u);
            break;
        }
      }
      model[t][key] = value;
      ASSERT_LE(spilling.pending_memory(), kBudget) << step;
      if (on_disk && fs::exists(dir / "db/ruvo-spill") && !fs::is_empty(dir / "db/ruvo-spill")) runs_on_disk = true;
      if (step % 400 != 399) continue;
      for (int u = 0; u < 2; ++u) {
        const Tree& tree = trees[0][u];
        // Read from inside a scan of the other tree: rows just appended are
        // found without settling them.
        bool nested = false;
        ok(trees[0][1 - u].scan_prefix("", [&](std::string_view, std::string_view) {
          for (int probe = 0; probe < 20 && !nested; ++probe) {
            const std::string k = text(u ? 8 : 5);
            auto it = model[u].find(k);
            EXPECT_EQ(ok(tree.get(k)), it == model[u].end() ? std::nullopt : std::optional(it->second)) << step;
          }
          return !(nested = true);
        }));
        EXPECT_EQ(tree.has_pending(), step >= 500) << step;
        for (int probe = 0; probe < 200; ++probe) {
          const std::string k = text(u ? 8 : 5);
          auto it = model[u].find(k);
          ASSERT_EQ(ok(tree.get(k)), it == model[u].end() ? std::nullopt : std::optional(it->second)) << step;
          ASSERT_EQ(ok(tree.contains(k)), it != model[u].end()) << step;
        }
        const std::string p = text(3);
        Entries want;
        for (auto m = model[u].lower_bound(p); m != model[u].end() && m->first.starts_with(p); ++m)
          want.emplace_back(*m);
        ASSERT_EQ(dump(tree, p), want) << step << ", prefix of " << p.size();
      }
    }
    ok(spilling.end_deferred());
    ok(plain.end_deferred());
    EXPECT_EQ(spilling.pending_memory(), 0u);
    for (int u = 0; u < 2; ++u) {
      EXPECT_EQ(dump(trees[0][u]), dump(trees[1][u]));
      EXPECT_EQ(dump(trees[0][u]), Entries(model[u].begin(), model[u].end()));
    }
    if (on_disk) {
      EXPECT_TRUE(runs_on_disk);
      EXPECT_TRUE(fs::is_empty(dir / "db/ruvo-spill")) << "runs are removed at the commit";
    }
  }
}

// A commit that fails drops the whole batch, whichever way it was being
// written: its table files cannot be made (by one writer or by several), or
// a spilled run cannot be read back, which fails reads of the rows in it
// too rather than letting them fall through to the database. Afterwards
// reads, fetch_and_update and a later batch see the database without the
// dropped one, and the tree counts one more write.
TEST(KvDeferredTest, FailedCommitDropsTheWholeBatch) {
  enum Failure { kNoFiles, kNoFilesSeveralWriters, kRunDamaged };
  // Rows of the batch and their value size; runs spill under a small budget.
  const std::tuple<Failure, uint64_t, size_t> cases[] = {
      {kNoFiles, 100, 4096}, {kNoFilesSeveralWriters, 300000, 1}, {kRunDamaged, 3000, 16}};
  for (const auto& [failure, n, value_bytes] : cases) {
    test::ScratchDir dir;
    Db db = ok(Db::open(dir / "db"));
    if (failure == kRunDamaged) db.set_pending_budget(16 << 10);
    Tree t = ok(db.open_tree("t", TreeOptions{.deferrable = true}));
    // A second tree of the batch, whose files are written beside t's.
    Tree u = ok(db.open_tree("u", TreeOptions{.deferrable = true}));
    auto update = [&](const char* next) {
      return ok(t.fetch_and_update("counter", [&](Opt) { return std::string(next); }));
    };
    ok(t.insert("counter", "old"));
    ok(u.insert("k", "old"));
    db.begin_deferred();
    EXPECT_EQ(update("new"), "old") << failure;
    ok(u.insert("k", "new"));
    const std::string value(value_bytes, 'v');
    std::string key;
    size_t written = 0;
    ok(t.insert_many(n, [&](size_t i) {
      key = u64_be(i);
      return std::pair<std::string_view, std::string_view>(key, value);
    }, &written));
    const fs::path runs = dir / "db/ruvo-spill";
    if (failure == kRunDamaged) {
      ASSERT_FALSE(fs::is_empty(runs));
      for (const auto& run : fs::directory_iterator(runs)) {
        // Every block but the file's footer, overwritten in place.
        std::fstream f(run.path(), std::ios::in | std::ios::out | std::ios::binary);
        f.write(std::string(fs::file_size(run.path()) - 100, '\x5a').data(),
                static_cast<std::streamsize>(fs::file_size(run.path()) - 100));
      }
      EXPECT_FALSE(t.get("counter").has_value());
      EXPECT_FALSE(t.contains("counter").has_value());
      EXPECT_FALSE(t.scan_prefix("", [](std::string_view, std::string_view) { return true; }).has_value());
    } else {
      fs::remove_all(runs);
      std::ofstream(runs) << "in the way";
    }
    const uint64_t count = t.write_count();
    // The first failure met is the one reported: the file that could not
    // be made, the block that could not be read.
    auto failed = db.commit_deferred();
    ASSERT_FALSE(failed.has_value()) << failure;
    EXPECT_TRUE(failed.error().status.starts_with(failure == kRunDamaged ? "Corruption"
                                                                          : "IO error: While open a file"))
        << failed.error().status;
    EXPECT_EQ(t.write_count(), count + 1) << failure;
    EXPECT_FALSE(t.has_pending()) << failure;
    EXPECT_EQ(dump(t), (Entries{{"counter", "old"}})) << failure;
    EXPECT_EQ(dump(u), (Entries{{"k", "old"}})) << failure;
    EXPECT_EQ(update("again"), "old") << failure;
    ok(u.insert("k", "again"));
    if (failure != kRunDamaged) fs::remove(runs), fs::create_directory(runs);
    ok(db.end_deferred());
    EXPECT_EQ(dump(t), (Entries{{"counter", "again"}})) << failure;
    EXPECT_EQ(dump(u), (Entries{{"k", "again"}})) << failure;
    EXPECT_TRUE(fs::is_empty(runs)) << "no file of either tree is left behind";
  }
}

// Runs that cannot be written leave the rows in memory, where reads and the
// commit find them; writing is tried again once another budget's worth
// has come in.
TEST(KvSpillTest, FailedSpillKeepsRowsInMemoryAndIsTriedAgain) {
  constexpr size_t kBudget = 16 << 10;
  test::ScratchDir dir;
  Db db = ok(Db::open(dir / "db"));
  db.set_pending_budget(kBudget);
  Tree t = ok(db.open_tree("t", TreeOptions{.deferrable = true}));
  const fs::path runs = dir / "db/ruvo-spill";
  fs::remove_all(runs);
  std::ofstream(runs) << "in the way";
  db.begin_deferred();
  Entries want;
  auto write = [&](uint64_t from, uint64_t to) {
    for (uint64_t i = from; i < to; ++i) {
      ok(t.insert(u64_be(i), "value" + std::to_string(i)));
      want.emplace_back(u64_be(i), "value" + std::to_string(i));
    }
  };
  write(0, 1000);
  EXPECT_GT(db.pending_memory(), 2 * kBudget);
  EXPECT_EQ(dump(t), want);
  fs::remove(runs);
  fs::create_directory(runs);
  write(1000, 2000);
  EXPECT_LE(db.pending_memory(), kBudget);
  EXPECT_FALSE(fs::is_empty(runs));
  ok(db.end_deferred());
  EXPECT_EQ(dump(t), want);
}

// A process killed while its batch has spilled leaves the database as of the
// last commit; the next open removes the runs it left.
TEST(KvCrashTest, KilledSpillingBatchLeavesCommittedStateAndNoRuns) {
  test::KilledWriter run(1, 3000, [](const std::string& dir, int fd) {
    Db db = ok(Db::open(dir + "/db"));
    db.set_pending_budget(16 << 10);
    Tree data = ok(db.open_tree("data", TreeOptions{.deferrable = true}));
    db.begin_deferred();
    for (uint64_t i = 0;; ++i) {
      ok(data.insert(u64_be(i % 2500), "value" + std::to_string(i)));
      if (i == 999) ok(db.commit_deferred());
      test::send_ack(fd, {i});
    }
  });
  const fs::path runs = run.dir() + "/db/ruvo-spill";
  EXPECT_FALSE(fs::is_empty(runs));
  Db db = ok(Db::open(run.dir() + "/db"));
  EXPECT_TRUE(fs::is_empty(runs));
  const Entries data = dump(tree(db, "data"));
  ASSERT_EQ(data.size(), 1000u);
  for (uint64_t i = 0; i < 1000; ++i) EXPECT_EQ(data[i].second, "value" + std::to_string(i));
}

// A kill keeps committed deferred writes and loses pending ones.
// A writer killed while large batches are written by several threads and
// ingested leaves one whole batch: every row from the same one, and none
// of the files it was writing.
TEST(KvCrashTest, KilledLargeCommitLeavesOneWholeBatch) {
  constexpr uint64_t kRows = 300000;
  test::KilledWriter run(1, 4, [](const std::string& dir, int fd) {
    Db db = ok(Db::open(dir + "/db"));
    Tree data = ok(db.open_tree("data", TreeOptions{.deferrable = true}));
    std::string key, value;
    for (uint64_t round = 0;; ++round) {
      db.begin_deferred();
      size_t written = 0;
      ok(data.insert_many(kRows, [&](size_t i) {
        key = u64_be(i * 7919 % kRows);
        value = "round" + std::to_string(round);
        return std::pair<std::string_view, std::string_view>(key, value);
      }, &written));
      test::send_ack(fd, {round});  // every earlier round is committed
      ok(db.end_deferred());
    }
  });
  const uint64_t last = test::ack_word(run.acks().back(), 0);
  Db db = ok(Db::open(run.dir() + "/db"));
  EXPECT_TRUE(fs::is_empty(run.dir() + "/db/ruvo-spill"));
  const Entries data = dump(tree(db, "data"));
  ASSERT_EQ(data.size(), kRows);
  const std::string round = data[0].second;
  EXPECT_TRUE(round == "round" + std::to_string(last) || round == "round" + std::to_string(last - 1)) << round;
  for (uint64_t i = 0; i < kRows; ++i) {
    ASSERT_EQ(data[i].first, u64_be(i));
    ASSERT_EQ(data[i].second, round) << i;
  }
}

TEST(KvCrashTest, PendingWritesLostCommittedKept) {
  constexpr uint64_t kCommitted = 1000;
  test::KilledWriter run(1, 2000, [](const std::string& dir, int fd) {
    Db db = ok(Db::open(dir + "/db"));
    Tree data = ok(db.open_tree("data", TreeOptions{.deferrable = true})), meta = tree(db, "meta");
    db.begin_deferred();
    for (uint64_t i = 0;; ++i) {
      ok(data.insert(u64_be(i), "value" + std::to_string(i)));
      ok(meta.insert(u64_be(i), ""));
      if (i < kCommitted && i % 100 == 99) ok(db.commit_deferred());
      test::send_ack(fd, {i});
    }
  });
  Db db = ok(Db::open(run.dir() + "/db"));
  const Entries data = dump(tree(db, "data"));
  ASSERT_EQ(data.size(), kCommitted);
  for (uint64_t i = 0; i < kCommitted; ++i) EXPECT_EQ(data[i].second, "value" + std::to_string(i));
  EXPECT_GE(dump(tree(db, "meta")).size(), run.acks().size());
}

TEST(KvTest, TemporaryLeavesNoFileAndFileOpenFailuresAreErrors) {
  // Work from an empty directory of our own, restored however the test ends.
  test::ScratchDir cwd;
  struct CwdGuard {
    fs::path old = fs::current_path();
    ~CwdGuard() { fs::current_path(old); }
  } guard;
  fs::current_path(cwd.path());
  {
    Db db = temporary();
    for (int i = 0; i < 1000; ++i) ok(tree(db, "t").insert(u64_be(i), std::string(100, 'x')));
    ok(db.flush());
    // Two temporary databases at once are independent.
    EXPECT_TRUE(dump(tree(temporary(), "t")).empty());
  }
  EXPECT_TRUE(fs::is_empty(cwd.path()));
  test::ScratchDir dir;
  Db db = ok(Db::open(dir / "db"));
  std::ofstream(dir / "plain_file") << "not a database";
  for (const char* path : {"db", "plain_file/below"}) {
    auto again = Db::open(dir / path);
    ASSERT_FALSE(again.has_value()) << path;
    // The user-facing text is the status as a quoted string.
    EXPECT_EQ(again.error().debug(), bincode::debug_str(again.error().status));
  }
  ok(Db::open(dir / "a/b/c"));  // missing parents are made
}

// The write-ahead log: the largest ".log" file of the directory.
fs::path log_file(const fs::path& dir) {
  fs::path largest;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".log" &&
        (largest.empty() || e.file_size() > fs::file_size(largest)))
      largest = e.path();
  return largest;
}

// A killed writer keeps every write that returned. A damaged log fails the
// open; a log cut inside a record opens with every record before the cut.
TEST(KvCrashTest, KilledWriterKeepsWritesDamagedLogFailsTornLogOpens) {
  test::KilledWriter run(1, 2000, [](const std::string& dir, int fd) {
    Db db = ok(Db::open(dir + "/db"));
    Tree data = tree(db, "data"), meta = tree(db, "meta");
    for (uint64_t i = 0;; ++i) {
      ok(data.insert(u64_be(i), "value" + std::to_string(i)));
      ok(meta.fetch_and_update("counter", increment));
      if (i % 100 == 0) ok(db.flush());
      test::send_ack(fd, {i});
    }
  });
  const uint64_t acked = run.acks().size();
  ASSERT_EQ(test::ack_word(run.acks().back(), 0) + 1, acked);
  enum Damage { kNone, kCut, kFlip };
  for (Damage damage : {kNone, kCut, kFlip}) {
    test::ScratchDir copy;
    fs::copy(run.dir() + "/db", copy.path(), fs::copy_options::recursive);
    const fs::path log = log_file(copy.path());
    const auto size = fs::file_size(log);
    ASSERT_GT(size, acked * 16) << "the log holds the records";
    if (damage == kCut) fs::resize_file(log, size / 2 + 3);
    if (damage == kFlip) {
      std::fstream f(log, std::ios::in | std::ios::out | std::ios::binary);
      std::string middle(16, '\0');
      f.seekg(static_cast<std::streamoff>(size / 2)).read(middle.data(), 16);
      for (char& c : middle) c = static_cast<char>(~c);
      f.seekp(static_cast<std::streamoff>(size / 2)).write(middle.data(), 16);
    }
    auto db = Db::open(copy.path());
    if (damage == kFlip) {
      ASSERT_FALSE(db.has_value());
      EXPECT_TRUE(db.error().status.starts_with("Corruption")) << db.error().status;
      continue;
    }
    ASSERT_TRUE(db.has_value()) << db.error().status;
    const Entries kept = dump(tree(*db, "data"));
    for (uint64_t i = 0; i < kept.size(); ++i)
      ASSERT_EQ(kept[i], std::pair(u64_be(i), "value" + std::to_string(i))) << damage;
    // Records are of about one size: the first half of the log holds
    // about half of them.
    if (damage == kCut) {
      EXPECT_TRUE(kept.size() > acked / 3 && kept.size() < acked) << kept.size();
    } else {
      EXPECT_GE(kept.size(), acked);
      EXPECT_GE(get_u64_be(ok(tree(*db, "meta").get("counter")).value().data()), acked);
    }
  }
}


// The pending rows in key order are the model's keys, each with its value.
void ExpectSortedAs(PendingRows& rows, const std::map<std::string, std::string>& model, int label) {
  auto m = model.begin();
  for (uint32_t r : rows.sorted()) {
    ASSERT_TRUE(m != model.end()) << label;
    ASSERT_EQ(rows.key(r), m->first) << label;
    ASSERT_EQ(rows.value(r), (m++)->second) << label;
  }
  EXPECT_TRUE(m == model.end()) << label;
}

// The pending rows of a deferred batch answer like an ordered map of each
// key's latest value: lookups, prefix scans and the full order, through
// many merges of their unsorted tail and rows appended without a lookup,
// settled or not, with keys of every length (empty and
// 0xff bytes included) and values that grow and shrink.
TEST(KvPendingRowsTest, AnswersLikeAnOrderedMap) {
  std::mt19937_64 rng(7);
  PendingRows rows;
  std::map<std::string, std::string> model;
  auto text = [&](size_t max_len) {
    std::string s(rng() % (max_len + 1), '\0');
    for (char& c : s) c = "\x00\x01" "ab\x7f\x80\xff"[rng() % 7];
    return s;
  };
  std::vector<uint32_t> got;
  for (int step = 0; step < 40000; ++step) {
    // Some keys share their first 24 bytes, which a sort compares inline.
    const std::string key = (step % 5 == 0 ? std::string(24, '\x80') : "") + text(step % 3 == 0 ? 2 : 6);
    // Runs of appends, settled now and then or overwritten by a put.
    const bool appending = step % 1000 < 300;
    if (rng() % 4 != 0) {
      const std::string value = text(20);
      if (appending) {
        rows.append(key, value);
      } else {
        rows.put(key, value);
      }
      model[key] = value;
    }
    if (appending && rng() % 200 == 0) rows.settle();
    auto found = rows.find(key);
    auto want = model.find(key);
    ASSERT_EQ(found.has_value(), want != model.end()) << step;
    if (found) {
      ASSERT_EQ(*found, want->second);
    }
    if (step % 97 == 0) {
      const std::string prefix = key.substr(0, rng() % (key.size() + 1));
      if (rows.tail_is_long() && step % 2 == 0) rows.order();
      rows.rows_with_prefix(prefix, got);
      auto m = model.lower_bound(prefix);
      for (uint32_t r : got) {
        ASSERT_TRUE(m != model.end() && m->first.starts_with(prefix)) << step;
        ASSERT_EQ(rows.key(r), m->first);
        ASSERT_EQ(rows.value(r), m->second);
        ++m;
      }
      ASSERT_TRUE(m == model.end() || !m->first.starts_with(prefix)) << step;
    }
    if (step % 9973 == 0 || step % 1000 == 299 || step == 39999) {
      if (!rows.unsettled()) {
        ASSERT_EQ(rows.size(), model.size());
      }
      ASSERT_NO_FATAL_FAILURE(ExpectSortedAs(rows, model, step));
    }
  }
  rows.clear();
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(rows.footprint(), 0u) << "clear() releases the memory";
  EXPECT_FALSE(rows.find("a").has_value());
}

// Appended rows of keys of one length are sorted by the bits that differ
// among them: in each 8-byte word, the span from its highest to its
// lowest differing bit. Spans of up to 64 bits in all are packed into one
// word, with the row's number in the same word while both fit (40 bits
// and 70000 rows do, 41 do not; a whole word is one span of 64); more, or
// one key of another length, and whole keys are compared. Either way each
// key comes once, with the value written last, merged with rows put
// before.
TEST(KvPendingRowsTest, AppendedKeysOfOneLengthSortByTheirDifferingBits) {
  std::mt19937_64 rng(11);
  // Span widths of the three words (0: the word never differs).
  for (const auto& [spans, steps] : {std::pair{std::array{0u, 1u, 0u}, 3000}, {std::array{0u, 10u, 10u}, 3000},
                                     {std::array{7u, 0u, 9u}, 3000}, {std::array{0u, 20u, 20u}, 70000},
                                     {std::array{0u, 20u, 21u}, 70000}, {std::array{0u, 64u, 0u}, 3000},
                                     {std::array{1u, 0u, 64u}, 3000}, {std::array{30u, 30u, 5u}, 3000}}) {
    for (const bool odd_one : {false, true}) {
      PendingRows rows;
      std::map<std::string, std::string> model;
      auto key = [&] {
        std::string k;
        for (int j = 0; j < 3; ++j) {
          const unsigned bits = spans[j];
          // A span's ends both vary, at a few places in the word, and few
          // values, so that keys repeat.
          const unsigned low = bits == 64 ? 0 : (5 * j + 3) % (65 - bits);
          const uint64_t top = bits == 0 ? 0 : uint64_t{1} << (bits - 1);
          const uint64_t pick = std::array{uint64_t{0}, uint64_t{1}, top, top | 1}[rng() % 4];
          const uint64_t fixed = 0x5a5a5a5a5a5a5a5aull;
          const uint64_t span_mask = bits == 64 ? ~uint64_t{0} : ((uint64_t{1} << bits) - 1) << low;
          const uint64_t w = (fixed & ~span_mask) | (bits == 0 ? 0 : pick << low);
          for (int b = 7; b >= 0; --b) k.push_back(static_cast<char>(w >> (8 * b)));
        }
        return k;
      };
      for (int step = 0; step < steps; ++step) {
        const std::string k = odd_one && step == 1500 ? key() + "x" : key();
        const std::string v = std::to_string(step);
        if (step < 300) {
          rows.put(k, v);
        } else {
          rows.append(k, v);
        }
        model[k] = v;
      }
      ExpectSortedAs(rows, model, static_cast<int>(100 * spans[0] + 10 * spans[1] + spans[2]));
    }
  }
  // Bytes that differ all over the key, and keys of another length.
  for (const int differing : {3, 9, 24}) {
    PendingRows rows;
    std::map<std::string, std::string> model;
    for (int step = 0; step < 3000; ++step) {
      std::string k(24, '\x5a');
      for (int i = 0; i < differing; ++i) k[(7 * i + 3) % 24] = "\x00\x7f\x80\xff"[rng() % (differing > 3 ? 2 : 4)];
      if (step % 2 == 0) k.pop_back();
      if (step < 300) {
        rows.put(k, std::to_string(step));
      } else {
        rows.append(k, std::to_string(step));
      }
      model[k] = std::to_string(step);
    }
    ExpectSortedAs(rows, model, differing);
  }
  // Keys appended in ascending order stay as written; one key written
  // twice in a row, or two keys in the wrong order, and they are sorted.
  for (const int flaw : {0, 1, 2}) {
    PendingRows rows;
    std::map<std::string, std::string> model;
    for (uint32_t i = 0; i < 5000; ++i) {
      uint32_t n = i;
      if (flaw == 1 && i == 2500) n = 2499;
      if (flaw == 2 && (i == 2500 || i == 2501)) n = 5001 - i;
      std::string k(24, '\x5a');
      for (int b = 0; b < 4; ++b) k[20 + b] = static_cast<char>(n >> (24 - 8 * b));
      rows.append(k, std::to_string(i));
      model[k] = std::to_string(i);
    }
    ExpectSortedAs(rows, model, flaw);
  }
}

// What the appended rows' keys have in common is gathered as they are
// appended and used for them alone: not for rows put (sorted by the keys
// they hold), nor for rows appended before a settle(), put() or clear().
// Enough rows, and the sort packs them on several threads.
TEST(KvPendingRowsTest, AppendedKeysAreSortedApartFromRowsWrittenBefore) {
  // Keys differing in their last byte only (ascending, as appended), or
  // in their first (descending), and values naming the write.
  auto narrow = [](uint32_t i) { return std::string(23, 'k') + static_cast<char>(i); };
  auto wide = [](uint32_t i) { return static_cast<char>(200 - i) + std::string(23, 'k'); };
  for (const int before : {0, 1, 2, 3}) {  // put, settle(), put after appends, clear()
    PendingRows rows;
    std::map<std::string, std::string> model;
    auto write = [&](const std::string& k, bool append) {
      const std::string v = std::to_string(model.size()) + k;
      append ? rows.append(k, v) : rows.put(k, v);
      model[k] = v;
    };
    for (uint32_t i = 0; i < 50; ++i) write(wide(i), before != 0);
    if (before == 1) rows.settle();
    if (before == 2) write(wide(99), false);
    if (before == 3) {
      rows.clear();
      model.clear();
    }
    for (uint32_t i = 0; i < 50; ++i) write(narrow(i), true);
    ExpectSortedAs(rows, model, before);
  }
  // 140000 state-like keys (two 8-byte arguments below 1000), appended
  // pass by pass, some twice, after a few put.
  PendingRows rows;
  std::map<std::string, std::string> model;
  for (uint64_t k = 1, step = 0; k < 1000 && step < 140000; ++k) {
    for (uint64_t x = 0; x + k < 1000; ++x, ++step) {
      std::string key = u64_be(7) + u64_be(x) + u64_be(x + k);
      const std::string v = std::to_string(step);
      if (step < 300) {
        rows.put(key, v);
      } else {
        rows.append(key, v);
        if (step % 1000 == 0) rows.append(u64_be(7) + u64_be(0) + u64_be(step % 999 + 1), v);
      }
      model[key] = v;
      if (step % 1000 == 0 && step >= 300) model[u64_be(7) + u64_be(0) + u64_be(step % 999 + 1)] = v;
    }
  }
  ExpectSortedAs(rows, model, -1);
}

// Rows appended filled in by several threads are sorted and found as the
// same rows appended one by one: keys that ascend within each thread's
// part but fall back at every part's start, differing between parts in
// bits that stay fixed within each, after rows put, after rows appended
// before, and as the first rows.
TEST(KvPendingRowsTest, FilledRowsAreAppendedAsOneByOne) {
  constexpr size_t kRows = 70000;
  const size_t threads = std::min<size_t>(4, std::max(1u, std::thread::hardware_concurrency()));
  auto key_of = [&](size_t i) {
    size_t part = 0;
    while (part + 1 < threads && kRows * (part + 1) / threads <= i) ++part;
    return u64_be(5) + u64_be(uint64_t{threads - part} << 40 | i) + u64_be(i % 2);
  };
  for (const int before : {0, 1, 2}) {  // nothing, rows put, rows appended
    PendingRows filled, plain;
    std::map<std::string, std::string> model;
    for (uint64_t i = 0; before != 0 && i < 500; ++i) {
      // Other predicates' keys, on either side.
      const std::string k = u64_be(4 + 2 * (i % 2)) + u64_be(i * 977) + u64_be(0), v = std::string(16, 'p');
      before == 1 ? filled.put(k, v) : filled.append(k, v);
      before == 1 ? plain.put(k, v) : plain.append(k, v);
      model[k] = v;
    }
    filled.append_filled(kRows, 24, 16, [&](size_t i, char* k, char* v) {
      std::memcpy(k, key_of(i).data(), 24);
      std::memset(v, 'a' + static_cast<int>(i % 26), 16);
    });
    for (size_t i = 0; i < kRows; ++i) {
      const std::string v(16, static_cast<char>('a' + i % 26));
      plain.append(key_of(i), v);
      model[key_of(i)] = v;
    }
    ASSERT_EQ(filled.footprint(), plain.footprint()) << before;
    ASSERT_EQ(filled.find(key_of(kRows / 2)), plain.find(key_of(kRows / 2))) << before;
    ASSERT_NO_FATAL_FAILURE(ExpectSortedAs(filled, model, before));
  }
}

// Appended rows whose keys could mislead what the sort gathers of them:
// keys of one length past 24 bytes that differ only there, filled keys
// that extend an appended key of another length with zero bytes, a key
// appended after many filled (in parts, where threads are to be had) that
// repeats one near their end, and a filled row's value overwritten by a
// longer one (no longer than its key) after a settle().
TEST(KvPendingRowsTest, AppendedRowsOfEveryShapeSortAsAnOrderedMap) {
  using Model = std::map<std::string, std::string>;
  using KeyOf = std::function<std::string(size_t)>;
  auto fill = [](PendingRows& rows, Model& model, size_t n, size_t value_bytes, const KeyOf& key_of) {
    const size_t key_bytes = key_of(0).size();
    rows.append_filled(n, key_bytes, value_bytes, [&](size_t i, char* k, char* v) {
      std::memcpy(k, key_of(i).data(), key_bytes);
      std::memset(v, 'a' + static_cast<int>(i % 26), value_bytes);
    });
    for (size_t i = 0; i < n; ++i) model[key_of(i)] = std::string(value_bytes, static_cast<char>('a' + i % 26));
  };
  auto write = [](PendingRows& rows, Model& model, const std::string& k, const std::string& v, bool append) {
    append ? rows.append(k, v) : rows.put(k, v);
    model[k] = v;
  };
  const KeyOf long_key = [](size_t i) { return std::string(24, 'k') + u64_be(i * 37 % 50); };
  const KeyOf ascending = [](size_t i) { return u64_be(3) + u64_be(i) + u64_be(0); };
  const std::pair<const char*, std::function<void(PendingRows&, Model&)>> cases[] = {
      {"long keys appended", [&](PendingRows& r, Model& m) {
         for (size_t i = 0; i < 100; ++i) write(r, m, long_key(i), std::to_string(i), true);
       }},
      {"long keys filled", [&](PendingRows& r, Model& m) { fill(r, m, 100, 8, long_key); }},
      {"filled extend appended", [&](PendingRows& r, Model& m) {
         write(r, m, u64_be(9) + u64_be(1), "short", true);
         fill(r, m, 3, 8, [](size_t i) { return u64_be(9) + u64_be(std::array{1, 0, 2}[i]) + u64_be(std::array{0, 0, 5}[i]); });
       }},
      {"repeat after filled", [&](PendingRows& r, Model& m) {
         fill(r, m, 70000, 8, ascending);
         write(r, m, ascending(69994), "again", true);
       }},
      {"longer value over filled", [&](PendingRows& r, Model& m) {
         fill(r, m, 10, 8, ascending);
         r.settle();
         write(r, m, ascending(3), std::string(20, 'z'), false);
       }},
  };
  for (const auto& [name, run] : cases) {
    PendingRows rows;
    Model model;
    run(rows, model);
    SCOPED_TRACE(name);
    ASSERT_NO_FATAL_FAILURE(ExpectSortedAs(rows, model, 0));
    if (model.size() > 1000) continue;  // unsettled rows are searched row by row
    for (const auto& [k, v] : model) ASSERT_EQ(rows.find(k), v);
  }
}

}  // namespace
}  // namespace ruvo::kv
