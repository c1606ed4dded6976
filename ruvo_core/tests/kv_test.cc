// Key-value adapter: single-key operations, scans, temporary and file
// databases, deferred writes, concurrent writers and writers killed
// mid-stream.
#include "ruvo_core/src/kv.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/fault.h"
#include "testing/test_support.h"

namespace ruvo::kv {
namespace {

namespace fs = std::filesystem;
using bincode::get_u64_be;
using bincode::u64_be;
using test::dump;
using test::Entries;
using test::ok;

Tree tree(const Db& db, std::string_view name) { return ok(db.open_tree(name)); }
Db temporary() { return ok(Db::open_temporary()); }

std::vector<std::string> keys(const Tree& t, std::string_view prefix) {
  std::vector<std::string> out;
  for (auto& [k, v] : dump(t, prefix)) {
    EXPECT_EQ(v, "v" + k);
    out.push_back(k);
  }
  return out;
}

TEST(KvTest, CompareAndSwap) {
  Db db = temporary();
  Tree t = tree(db, "t");
  auto cas = [&](std::string_view key, std::optional<std::string_view> expected) {
    return ok(t.compare_and_swap(key, expected, std::string(expected.value_or("none")) + "+"));
  };
  EXPECT_TRUE(cas("k", std::nullopt).swapped);
  // Must be absent but is present, or holds another value: refused with
  // the current value, nothing written.
  for (auto expected :
       {std::optional<std::string_view>(), std::optional<std::string_view>("wrong")}) {
    auto r = cas("k", expected);
    EXPECT_FALSE(r.swapped);
    EXPECT_EQ(r.current, "none+");
  }
  EXPECT_TRUE(cas("k", "none+").swapped);
  EXPECT_EQ(ok(t.get("k")), "none++");
  // Expected a value (even an empty one), key absent: refused, current
  // absent, nothing written.
  for (const char* expected : {"x", ""}) {
    auto r = cas("missing", expected);
    EXPECT_FALSE(r.swapped);
    EXPECT_EQ(r.current, std::nullopt);
  }
  EXPECT_FALSE(ok(t.contains("missing")));
  // An empty value is not absent.
  ok(t.insert("e", ""));
  EXPECT_TRUE(ok(t.contains("e")));
  auto r = cas("e", std::nullopt);
  EXPECT_FALSE(r.swapped);
  EXPECT_EQ(r.current, "");
  EXPECT_TRUE(cas("e", "").swapped);
  // Trees are separate key spaces; a second handle sees the same data.
  EXPECT_EQ(ok(tree(db, "other").get("e")), std::nullopt);
  EXPECT_EQ(ok(tree(db, "t").get("e")), "+");
}

TEST(KvTest, FetchAndUpdate) {
  Db db = temporary();
  Tree t = tree(db, "t");
  auto increment = [](std::optional<std::string_view> cur) {
    return u64_be(cur ? get_u64_be(cur->data()) + 1 : 2);
  };
  EXPECT_EQ(ok(t.fetch_and_update("n", increment)), std::nullopt);
  EXPECT_EQ(ok(t.fetch_and_update("n", increment)), u64_be(2));
  EXPECT_EQ(ok(t.get("n")), u64_be(3));
  // A throwing update writes nothing, the exception reaches the caller and
  // the database's write lock is released.
  auto broken = [](std::optional<std::string_view>) -> std::string { fault("broken counter"); };
  EXPECT_THROW((void)t.fetch_and_update("n", broken), Fault);
  EXPECT_THROW((void)t.fetch_and_update("absent", broken), Fault);
  EXPECT_EQ(ok(t.get("n")), u64_be(3));
  EXPECT_FALSE(ok(t.contains("absent")));
  // The value it wrote is not kept past writes by other calls and handles.
  ok(tree(db, "t").insert("n", u64_be(10)));
  EXPECT_EQ(ok(t.fetch_and_update("n", increment)), u64_be(10));
  EXPECT_TRUE(ok(t.compare_and_swap("n", u64_be(11), u64_be(20))).swapped);
  EXPECT_EQ(ok(t.fetch_and_update("m", increment)), std::nullopt);
  EXPECT_EQ(ok(t.fetch_and_update("n", increment)), u64_be(20));
}

// compare_and_swap_absent trusts an earlier absence only while the tree's
// write count is unchanged.
TEST(KvTest, CompareAndSwapAbsentRechecksAfterWrites) {
  Db db = temporary();
  Tree t = tree(db, "t");
  uint64_t seen = t.write_count();
  EXPECT_FALSE(ok(t.contains("k")));
  EXPECT_TRUE(ok(t.compare_and_swap_absent("k", "first", seen)).swapped);
  // Stale count: the key is read again and the claim refused.
  auto refused = ok(t.compare_and_swap_absent("k", "second", seen));
  EXPECT_FALSE(refused.swapped);
  EXPECT_EQ(refused.current, "first");
  // A write through another handle also moves the count.
  seen = t.write_count();
  ok(tree(db, "t").insert("j", "other"));
  refused = ok(t.compare_and_swap_absent("j", "mine", seen));
  EXPECT_FALSE(refused.swapped);
  EXPECT_EQ(refused.current, "other");
  EXPECT_TRUE(ok(t.compare_and_swap_absent("i", "new", std::nullopt)).swapped);
  EXPECT_EQ(ok(t.get("k")), "first");
}

TEST(KvTest, ScanPrefixOrderAndStop) {
  Db db = temporary();
  Tree t = tree(db, "t");
  // Binary keys, including the empty key and NUL bytes.
  const std::vector<std::string> all = {
      std::string("a\x00", 2), "a", "ab", "a\x7f", "a\x80", "a\xff", "a\xff\xff", "b", "", "\xff",
      "\xff\xff\x01"};
  for (const auto& k : all) ok(t.insert(k, "v" + k));
  ok(tree(db, "u").insert("a1", "elsewhere"));
  // Ascending unsigned byte order; the prefix itself is included.
  EXPECT_EQ(keys(t, "a"), (std::vector<std::string>{"a", std::string("a\x00", 2), "ab", "a\x7f",
                                                    "a\x80", "a\xff", "a\xff\xff"}));
  // Prefixes ending in 0xff bytes have no simple upper bound.
  EXPECT_EQ(keys(t, "\xff"), (std::vector<std::string>{"\xff", "\xff\xff\x01"}));
  EXPECT_EQ(keys(t, "a\xff").size(), 2u);
  // The empty prefix visits the whole tree and nothing of other trees.
  auto whole = keys(t, "");
  EXPECT_EQ(whole.size(), all.size());
  EXPECT_TRUE(std::is_sorted(whole.begin(), whole.end()));
  EXPECT_TRUE(keys(t, "c").empty());
  EXPECT_EQ(ok(t.last_key()), "\xff\xff\x01");
  EXPECT_EQ(ok(tree(db, "empty").last_key()), std::nullopt);
  // Returning false stops the scan.
  int visits = 0;
  ok(t.scan_prefix("a", [&](std::string_view, std::string_view) { return ++visits < 3; }));
  EXPECT_EQ(visits, 3);
}

// While the database defers, every read of a deferrable tree, through any
// of its handles, answers as if each pending insert had been written;
// commits, read-compare-writes and the end of deferring change no answer.
TEST(KvDeferredTest, ReadsSeePendingWrites) {
  Db db = temporary();
  Tree t = ok(db.open_tree("t", TreeOptions{.deferrable = true}));
  Tree again = tree(db, "t");  // opened without the option: the same tree
  const std::vector<std::string> keys = {"",  std::string("a\0", 2), "a", "ab", "a\xff", "a\xff\xff",
                                         "b", "\xff",                "\xff\x01"};
  const std::vector<std::string> prefixes = {"", "a", "a\xff", "b", "\xff", "c"};
  std::map<std::string, std::string> model;
  uint64_t writes = 0;
  auto check = [&](const std::string& when) {
    EXPECT_EQ(t.write_count(), writes) << when;
    for (const Tree* h : {&t, &again}) {
      for (const auto& k : keys) {
        auto it = model.find(k);
        EXPECT_EQ(ok(h->get(k)), it == model.end() ? std::nullopt : std::optional(it->second)) << when;
        EXPECT_EQ(ok(h->contains(k)), it != model.end()) << when;
      }
      for (const auto& p : prefixes) {
        test::Entries want;
        for (const auto& [k, v] : model)
          if (k.starts_with(p)) want.emplace_back(k, v);
        EXPECT_EQ(dump(*h, p), want) << when << ", prefix " << test::bytes({p.empty() ? 0 : p[0]});
      }
    }
  };
  // i: insert, x: compare-and-swap from the current value, f: fetch and
  // update, c: commit, b: begin, e: end, F: flush. Keys 2 and 6 are
  // committed before deferring starts.
  struct Step {
    char op;
    size_t key;
  };
  const Step steps[] = {{'i', 2}, {'i', 6}, {'b', 0}, {'i', 2}, {'i', 3}, {'i', 0}, {'i', 3}, {'i', 8},
                        {'x', 3}, {'i', 1}, {'c', 0}, {'i', 4}, {'i', 5}, {'f', 4}, {'f', 7}, {'i', 7},
                        {'b', 0}, {'F', 0}, {'i', 3}, {'c', 0}, {'c', 0}, {'i', 1}, {'e', 0}, {'i', 5}};
  int n = 0;
  for (const Step& step : steps) {
    const std::string& k = keys[step.key];
    const std::string value = "v" + std::to_string(n++);
    const std::optional<std::string> before =
        model.contains(k) ? std::optional(model[k]) : std::nullopt;
    switch (step.op) {
      case 'i': ok(t.insert(k, value)); break;
      case 'x': EXPECT_TRUE(ok(again.compare_and_swap(k, before, value)).swapped); break;
      case 'f': EXPECT_EQ(ok(t.fetch_and_update(k, [&](auto) { return value; })), before); break;
      case 'c': ok(db.commit_deferred()); break;
      case 'b': db.begin_deferred(); break;
      case 'e': ok(db.end_deferred()); break;
      case 'F': ok(db.flush()); break;
    }
    if (std::string("ixf").find(step.op) != std::string::npos) {
      model[k] = value;
      ++writes;
    }
    EXPECT_EQ(db.deferring(), n > 2 && n < 23);
    check(std::string("step ") + std::to_string(n));
  }
  // A batch past its bound is committed on the way; reads are unaffected.
  db.begin_deferred();
  for (uint64_t i = 0; i < 3000; ++i) ok(t.insert("big" + u64_be(i), std::string(4096, 'x')));
  EXPECT_EQ(dump(again, "big").size(), 3000u);
  ok(db.end_deferred());
}

// Committed deferred writes survive a kill; inserts still pending are gone,
// while a tree that is not deferrable wrote through.
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
  ASSERT_GE(run.acks().size(), 2000u);
  Db db = ok(Db::open(run.dir() + "/db"));
  const test::Entries data = dump(tree(db, "data"));
  ASSERT_EQ(data.size(), kCommitted);
  for (uint64_t i = 0; i < kCommitted; ++i) EXPECT_EQ(data[i].second, "value" + std::to_string(i));
  EXPECT_GE(dump(tree(db, "meta")).size(), run.acks().size());
}

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

TEST(KvTest, TemporaryDatabaseLeavesNoFileAndStartsEmpty) {
  // Work from an empty directory of our own, restored however the test ends.
  test::ScratchDir cwd;
  struct CwdGuard {
    fs::path old = fs::current_path();
    ~CwdGuard() { fs::current_path(old); }
  } guard;
  fs::current_path(cwd.path());
  const auto tmp_before = entries("/tmp");
  for (int round = 0; round < 2; ++round) {
    Db db = temporary();
    Tree t = tree(db, "t");
    EXPECT_TRUE(dump(t).empty()) << "round " << round;
    for (int i = 0; i < 1000; ++i) ok(t.insert(u64_be(i), std::string(100, 'x')));
    ok(db.flush());
    // Two temporary databases at once are independent.
    EXPECT_TRUE(dump(tree(temporary(), "t")).empty());
  }
  EXPECT_TRUE(entries(cwd.path()).empty());
  // Other processes may use /tmp meanwhile, tests running in parallel
  // among them (their scratch directories hold databases): what must not
  // appear is anything else that looks like a database.
  for (const auto& name : entries("/tmp")) {
    std::error_code ec;
    EXPECT_TRUE(tmp_before.count(name) || name.starts_with("ruvo_") ||
                !(name.starts_with("ruvo-temporary") || name == "CURRENT" || name == "LOCK" ||
                  fs::exists(fs::path("/tmp") / name / "CURRENT", ec)))
        << name;
  }
}

TEST(KvFileTest, OpenFailuresAreErrors) {
  test::ScratchDir dir;
  Db db = ok(Db::open(dir / "db"));
  auto again = Db::open(dir / "db");
  ASSERT_FALSE(again.has_value());
  EXPECT_FALSE(again.error().status.empty());
  // The user-facing text is the status as a quoted string.
  EXPECT_EQ(again.error().debug(), bincode::debug_str(again.error().status));
  std::ofstream(dir / "plain_file") << "not a database";
  auto on_file = Db::open(dir / "plain_file");
  ASSERT_FALSE(on_file.has_value());
  EXPECT_FALSE(on_file.error().status.empty());
  EXPECT_FALSE(Db::open(dir / "plain_file/below").has_value());
  // Missing parent directories are not an error.
  ok(Db::open(dir / "a/b/c"));
  // The open database is unharmed by the failed attempts.
  ok(tree(db, "t").insert("k", "v"));
  EXPECT_EQ(ok(tree(db, "t").get("k")), "v");
}

TEST(KvConcurrencyTest, FetchAndUpdateHandsOutDistinctValues) {
  Db db = temporary();
  Tree t = tree(db, "meta");
  ok(t.insert("next", u64_be(1)));
  constexpr int kThreads = 8, kEach = 2000;
  std::vector<std::vector<uint64_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < kEach; ++n) {
        auto prev = ok(t.fetch_and_update("next", [](std::optional<std::string_view> cur) {
          if (!cur || cur->size() != 8) fault("counter missing");
          return u64_be(get_u64_be(cur->data()) + 1);
        }));
        drawn[i].push_back(get_u64_be(prev.value().data()));
        // Plain writes to other keys, and trees opened by name (half the
        // threads racing on the same names), interleave freely.
        ok(t.insert("noise" + std::to_string(i), u64_be(n)));
        if (n < 10)
          ok(tree(db, "tree" + std::to_string(i % 2 == 0 ? n : i * 100 + n))
                 .insert(std::to_string(i), ""));
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<uint64_t> all;
  for (const auto& d : drawn) {
    EXPECT_TRUE(std::is_sorted(d.begin(), d.end()));  // each thread sees its draws increase
    all.insert(d.begin(), d.end());
  }
  ASSERT_EQ(all.size(), size_t{kThreads * kEach});
  EXPECT_EQ(*all.begin(), 1u);
  EXPECT_EQ(*all.rbegin(), uint64_t{kThreads * kEach});
  EXPECT_EQ(ok(t.get("next")), u64_be(kThreads * kEach + 1));
  for (int n = 0; n < 10; ++n) EXPECT_EQ(dump(tree(db, "tree" + std::to_string(n))).size(), 4u);
}

// A process killed without warning keeps every write that returned.
TEST(KvCrashTest, WritesSurviveProcessCrash) {
  test::KilledWriter run(1, 3000, [](const std::string& dir, int fd) {
    Db db = ok(Db::open(dir + "/db"));
    Tree data = tree(db, "data"), meta = tree(db, "meta");
    for (uint64_t i = 0;; ++i) {
      ok(data.insert(u64_be(i), "value" + std::to_string(i)));
      ok(meta.fetch_and_update("counter", [](std::optional<std::string_view> cur) {
        return u64_be(cur ? get_u64_be(cur->data()) + 1 : 1);
      }));
      test::send_ack(fd, {i});
    }
  });
  const auto& acks = run.acks();
  ASSERT_GE(acks.size(), 3000u);
  ASSERT_EQ(test::ack_word(acks.back(), 0) + 1, acks.size());
  Db db = ok(Db::open(run.dir() + "/db"));
  Tree data = tree(db, "data");
  for (uint64_t i = 0; i < acks.size(); ++i)
    ASSERT_EQ(ok(data.get(u64_be(i))), "value" + std::to_string(i)) << i;
  EXPECT_GE(get_u64_be(ok(tree(db, "meta").get("counter")).value().data()), acks.size());
}

// The write-ahead log of a database whose writer was killed: the largest
// ".log" file of the directory.
fs::path log_file(const fs::path& dir) {
  fs::path largest;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".log" && (largest.empty() || e.file_size() > fs::file_size(largest)))
      largest = e.path();
  return largest;
}

// Damage inside a log fails the open instead of dropping every write after
// it; a log cut inside a record, as a crash mid-write leaves it, opens with
// every record before the cut.
TEST(KvCrashTest, DamagedLogFailsOpenTornLogKeepsCompleteRecords) {
  test::KilledWriter run(1, 2000, [](const std::string& dir, int fd) {
    Db db = ok(Db::open(dir + "/db"));
    Tree data = tree(db, "data");
    for (uint64_t i = 0;; ++i) {
      ok(data.insert(u64_be(i), "value" + std::to_string(i)));
      if (i % 100 == 0) ok(db.flush());
      test::send_ack(fd, {i});
    }
  });
  const uint64_t acked = run.acks().size();
  ASSERT_GE(acked, 2000u);
  enum Damage { kNone, kCut, kFlip };
  for (Damage damage : {kNone, kCut, kFlip}) {
    test::ScratchDir copy;
    fs::copy(run.dir() + "/db", copy.path(), fs::copy_options::recursive);
    const fs::path log = log_file(copy.path());
    ASSERT_FALSE(log.empty());
    const auto size = fs::file_size(log);
    ASSERT_GT(size, acked * 16) << "the log holds the records";
    if (damage == kCut) fs::resize_file(log, size / 2 + 3);
    if (damage == kFlip) {
      std::fstream f(log, std::ios::in | std::ios::out | std::ios::binary);
      f.seekg(static_cast<std::streamoff>(size / 2));
      std::string middle(16, '\0');
      f.read(middle.data(), 16);
      for (char& c : middle) c = static_cast<char>(~c);
      f.seekp(static_cast<std::streamoff>(size / 2));
      f.write(middle.data(), 16);
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
    }
  }
}

}  // namespace
}  // namespace ruvo::kv
