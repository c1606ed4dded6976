#include "ruvo_core/src/kv.h"

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ruvo_core/src/codec.h"
#include "ruvo_core/src/fault.h"

namespace ruvo::kv {
namespace {

namespace fs = std::filesystem;
using bincode::get_u64_be;
using bincode::u64_be;

// A fresh directory for file databases, removed afterwards.
class KvFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> n{0};
    dir_ = fs::path(::testing::TempDir()) /
           ("ruvo_kv_test_" + std::to_string(::getpid()) + "_" + std::to_string(n++));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

Tree must_tree(const Db& db, std::string_view name) {
  auto t = db.open_tree(name);
  EXPECT_TRUE(t.has_value()) << t.error().status;
  return *t;
}

std::optional<std::string> must_get(const Tree& t, std::string_view key) {
  auto v = t.get(key);
  EXPECT_TRUE(v.has_value()) << v.error().status;
  return v ? *v : std::nullopt;
}

std::vector<std::pair<std::string, std::string>> scan_all(const Tree& t, std::string_view prefix) {
  std::vector<std::pair<std::string, std::string>> out;
  auto r = t.scan_prefix(prefix, [&](std::string_view k, std::string_view v) {
    out.emplace_back(k, v);
    return true;
  });
  EXPECT_TRUE(r.has_value()) << r.error().status;
  return out;
}

TEST(KvTest, SingleKeyOperations) {
  auto db = Db::open_temporary();
  ASSERT_TRUE(db.has_value()) << db.error().status;
  Tree t = must_tree(*db, "t");
  EXPECT_EQ(t.name(), "t");

  EXPECT_EQ(must_get(t, "k"), std::nullopt);
  EXPECT_FALSE(*t.contains("k"));
  // Binary keys and values, including the empty key and NUL bytes.
  const std::string bin("\0\xff\x01", 3);
  ASSERT_TRUE(t.insert(bin, bin).has_value());
  ASSERT_TRUE(t.insert("", "empty key").has_value());
  ASSERT_TRUE(t.insert("k", "").has_value());
  EXPECT_EQ(must_get(t, bin), bin);
  EXPECT_EQ(must_get(t, ""), "empty key");
  EXPECT_EQ(must_get(t, "k"), "");
  EXPECT_TRUE(*t.contains("k"));
  ASSERT_TRUE(t.insert("k", "v2").has_value());
  EXPECT_EQ(must_get(t, "k"), "v2");

  // Trees are separate key spaces.
  Tree other = must_tree(*db, "other");
  EXPECT_EQ(must_get(other, "k"), std::nullopt);
  // A second handle on the same tree sees the same data.
  EXPECT_EQ(must_get(must_tree(*db, "t"), "k"), "v2");

  auto flushed = t.flush();
  EXPECT_TRUE(flushed.has_value()) << flushed.error().status;
  EXPECT_TRUE(db->flush().has_value());
}

TEST(KvTest, CompareAndSwap) {
  auto db = Db::open_temporary();
  ASSERT_TRUE(db.has_value());
  Tree t = must_tree(*db, "t");

  auto r = t.compare_and_swap("k", std::nullopt, "one");
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->swapped);
  EXPECT_EQ(r->current, std::nullopt);

  // Must be absent, is present: refused with the current value.
  r = t.compare_and_swap("k", std::nullopt, "two");
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->swapped);
  EXPECT_EQ(r->current, "one");

  r = t.compare_and_swap("k", "wrong", "two");
  EXPECT_FALSE(r->swapped);
  EXPECT_EQ(r->current, "one");
  EXPECT_EQ(must_get(t, "k"), "one");

  r = t.compare_and_swap("k", "one", "two");
  EXPECT_TRUE(r->swapped);
  EXPECT_EQ(must_get(t, "k"), "two");

  // Expected a value, key absent: refused, current is absent.
  r = t.compare_and_swap("missing", "x", "y");
  EXPECT_FALSE(r->swapped);
  EXPECT_EQ(r->current, std::nullopt);
  EXPECT_FALSE(*t.contains("missing"));

  // An empty expected value is not the same as absent.
  r = t.compare_and_swap("missing", "", "y");
  EXPECT_FALSE(r->swapped);
  ASSERT_TRUE(t.insert("e", "").has_value());
  r = t.compare_and_swap("e", std::nullopt, "y");
  EXPECT_FALSE(r->swapped);
  EXPECT_EQ(r->current, "");
  r = t.compare_and_swap("e", "", "y");
  EXPECT_TRUE(r->swapped);
}

TEST(KvTest, FetchAndUpdate) {
  auto db = Db::open_temporary();
  ASSERT_TRUE(db.has_value());
  Tree t = must_tree(*db, "t");

  auto increment = [](std::optional<std::string_view> cur) {
    uint64_t v = cur ? get_u64_be(cur->data()) : 1;
    return u64_be(v + 1);
  };
  auto prev = t.fetch_and_update("n", increment);
  ASSERT_TRUE(prev.has_value());
  EXPECT_EQ(*prev, std::nullopt);
  EXPECT_EQ(must_get(t, "n"), u64_be(2));
  prev = t.fetch_and_update("n", increment);
  EXPECT_EQ(*prev, u64_be(2));
  EXPECT_EQ(must_get(t, "n"), u64_be(3));

  // A throwing update writes nothing and the exception reaches the caller.
  EXPECT_THROW(t.fetch_and_update("n", [](std::optional<std::string_view>) -> std::string {
    fault("broken counter");
  }),
               Fault);
  EXPECT_EQ(must_get(t, "n"), u64_be(3));
  EXPECT_THROW(t.fetch_and_update("absent", [](std::optional<std::string_view>) -> std::string {
    fault("broken counter");
  }),
               Fault);
  EXPECT_FALSE(*t.contains("absent"));
  // The database's write lock was released by the throw.
  EXPECT_TRUE(t.insert("after", "x").has_value());
}

TEST(KvTest, ScanPrefixOrderAndStop) {
  auto db = Db::open_temporary();
  ASSERT_TRUE(db.has_value());
  Tree t = must_tree(*db, "t");
  Tree other = must_tree(*db, "u");
  const std::vector<std::string> keys = {
      std::string("a\x00", 2), "a", "ab", "a\x7f", "a\x80", "a\xff", "a\xff\xff", "b", "", "\xff", "\xff\xff\x01"};
  for (const auto& k : keys) ASSERT_TRUE(t.insert(k, "v" + k).has_value());
  ASSERT_TRUE(other.insert("a1", "elsewhere").has_value());

  // Ascending unsigned byte order; the prefix itself is included.
  auto got = scan_all(t, "a");
  std::vector<std::string> got_keys;
  for (auto& [k, v] : got) {
    EXPECT_EQ(v, "v" + k);
    got_keys.push_back(k);
  }
  EXPECT_EQ(got_keys, (std::vector<std::string>{"a", std::string("a\x00", 2), "ab", "a\x7f", "a\x80", "a\xff",
                                                "a\xff\xff"}));

  // A prefix that ends in 0xff bytes has no simple upper bound.
  got = scan_all(t, "\xff");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first, "\xff");
  EXPECT_EQ(got[1].first, "\xff\xff\x01");
  got = scan_all(t, "a\xff");
  ASSERT_EQ(got.size(), 2u);

  // The empty prefix visits the whole tree and nothing of other trees.
  got = scan_all(t, "");
  ASSERT_EQ(got.size(), keys.size());
  EXPECT_EQ(got.front().first, "");
  EXPECT_EQ(got.back().first, "\xff\xff\x01");
  EXPECT_TRUE(scan_all(t, "c").empty());

  // Returning false stops the scan.
  int visits = 0;
  auto r = t.scan_prefix("a", [&](std::string_view, std::string_view) { return ++visits < 3; });
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(visits, 3);
}

TEST(KvTest, TemporaryDatabaseLeavesNoFileAndStartsEmpty) {
  auto entries = [](const fs::path& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      out.insert(it->path().filename().string());
    }
    return out;
  };
  // Other processes may use /tmp meanwhile; what must not appear is
  // anything that looks like a database.
  auto looks_like_db = [](const fs::path& p) {
    std::error_code ec;
    std::string name = p.filename().string();
    return name.rfind("ruvo-temporary", 0) == 0 || name == "CURRENT" || name == "LOCK" ||
           name.rfind("MANIFEST-", 0) == 0 || fs::exists(p / "CURRENT", ec) || fs::exists(p / "LOCK", ec);
  };

  // Work from an empty directory of our own; restored and removed however
  // the test ends.
  struct CwdGuard {
    fs::path old = fs::current_path();
    fs::path dir = fs::path(::testing::TempDir()) / ("ruvo_kv_cwd_" + std::to_string(::getpid()));
    CwdGuard() {
      fs::remove_all(dir);
      fs::create_directories(dir);
      fs::current_path(dir);
    }
    ~CwdGuard() {
      fs::current_path(old);
      fs::remove_all(dir);
    }
  } guard;
  const fs::path cwd = guard.dir;
  const auto tmp_before = entries("/tmp");
  const auto root_before = entries("/");

  for (int round = 0; round < 2; ++round) {
    auto db = Db::open_temporary();
    ASSERT_TRUE(db.has_value()) << db.error().status;
    Tree t = must_tree(*db, "t");
    EXPECT_TRUE(scan_all(t, "").empty()) << "round " << round;
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(t.insert(u64_be(i), std::string(100, 'x')).has_value());
    ASSERT_TRUE(db->flush().has_value());
    // Two temporary databases at once are independent.
    auto db2 = Db::open_temporary();
    ASSERT_TRUE(db2.has_value());
    EXPECT_TRUE(scan_all(must_tree(*db2, "t"), "").empty());
    EXPECT_TRUE(entries(cwd).empty());
  }

  for (const auto& name : entries("/tmp")) {
    if (!tmp_before.count(name)) {
      EXPECT_FALSE(looks_like_db(fs::path("/tmp") / name)) << name;
    }
  }
  for (const auto& name : entries("/")) {
    if (!root_before.count(name)) {
      EXPECT_FALSE(looks_like_db(fs::path("/") / name)) << name;
    }
  }
  EXPECT_TRUE(entries(cwd).empty());
}

TEST_F(KvFileTest, DataAndTreesSurviveReopen) {
  const std::string p = path("db");
  {
    auto db = Db::open(p);
    ASSERT_TRUE(db.has_value()) << db.error().status;
    for (int t = 0; t < 5; ++t) {
      Tree tree = must_tree(*db, "tree" + std::to_string(t));
      for (int i = 0; i < 100; ++i) ASSERT_TRUE(tree.insert(u64_be(i), std::to_string(t * 1000 + i)).has_value());
    }
    ASSERT_TRUE(must_tree(*db, "empty").insert("gone", "soon").has_value());
  }
  {
    // Write again after a reopen so the database holds several logs.
    auto db = Db::open(p);
    ASSERT_TRUE(db.has_value()) << db.error().status;
    ASSERT_TRUE(must_tree(*db, "tree0").insert("late", "write").has_value());
  }
  auto db = Db::open(p);
  ASSERT_TRUE(db.has_value()) << db.error().status;
  for (int t = 0; t < 5; ++t) {
    auto got = scan_all(must_tree(*db, "tree" + std::to_string(t)), std::string(7, '\0'));
    ASSERT_EQ(got.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(got[i].second, std::to_string(t * 1000 + i));
  }
  EXPECT_EQ(must_get(must_tree(*db, "tree0"), "late"), "write");
  EXPECT_EQ(must_get(must_tree(*db, "empty"), "gone"), "soon");
}

TEST_F(KvFileTest, TreeHandleKeepsDatabaseOpen) {
  const std::string p = path("db");
  std::optional<Tree> tree;
  {
    auto db = Db::open(p);
    ASSERT_TRUE(db.has_value());
    tree = must_tree(*db, "t");
  }
  // The Db handle is gone; the tree still works and still holds the lock.
  ASSERT_TRUE(tree->insert("k", "v").has_value());
  EXPECT_EQ(must_get(*tree, "k"), "v");
  EXPECT_FALSE(Db::open(p).has_value());
  tree.reset();
  auto db = Db::open(p);
  ASSERT_TRUE(db.has_value()) << db.error().status;
  EXPECT_EQ(must_get(must_tree(*db, "t"), "k"), "v");
}

TEST_F(KvFileTest, OpenFailuresAreErrors) {
  const std::string p = path("db");
  auto db = Db::open(p);
  ASSERT_TRUE(db.has_value());
  auto again = Db::open(p);
  ASSERT_FALSE(again.has_value());
  EXPECT_FALSE(again.error().status.empty());
  // The user-facing text is the status as a quoted string.
  const std::string debug = again.error().debug();
  EXPECT_EQ(debug, bincode::debug_str(again.error().status));
  EXPECT_EQ(debug.front(), '"');
  EXPECT_EQ(debug.back(), '"');

  const std::string file = path("plain_file");
  std::ofstream(file) << "not a database";
  auto on_file = Db::open(file);
  ASSERT_FALSE(on_file.has_value());
  EXPECT_FALSE(on_file.error().status.empty());

  EXPECT_FALSE(Db::open(file + "/below").has_value());

  // Missing parent directories are not an error.
  auto nested = Db::open(path("a/b/c"));
  ASSERT_TRUE(nested.has_value()) << nested.error().status;

  // The open database is unharmed by the failed attempts.
  Tree t = must_tree(*db, "t");
  EXPECT_TRUE(t.insert("k", "v").has_value());
  EXPECT_EQ(must_get(t, "k"), "v");
}

TEST(KvConcurrencyTest, CasFromAbsentHasOneWinner) {
  auto db = Db::open_temporary();
  ASSERT_TRUE(db.has_value());
  Tree t = must_tree(*db, "t");
  for (int round = 0; round < 50; ++round) {
    const std::string key = "k" + std::to_string(round);
    std::atomic<int> winners{0};
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&, i] {
        auto r = t.compare_and_swap(key, std::nullopt, "thread" + std::to_string(i));
        ASSERT_TRUE(r.has_value());
        if (r->swapped) {
          ++winners;
          seen[i] = "thread" + std::to_string(i);
        } else {
          ASSERT_TRUE(r->current.has_value());
          seen[i] = *r->current;
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(winners.load(), 1);
    // Every loser saw the winner's value.
    auto stored = must_get(t, key);
    ASSERT_TRUE(stored.has_value());
    for (const auto& s : seen) EXPECT_EQ(s, *stored);
  }
}

TEST(KvConcurrencyTest, FetchAndUpdateHandsOutDistinctValues) {
  auto db = Db::open_temporary();
  ASSERT_TRUE(db.has_value());
  Tree t = must_tree(*db, "meta");
  ASSERT_TRUE(t.insert("next", u64_be(1)).has_value());
  constexpr int kThreads = 8, kEach = 2000;
  std::vector<std::vector<uint64_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < kEach; ++n) {
        auto prev = t.fetch_and_update("next", [](std::optional<std::string_view> cur) {
          if (!cur || cur->size() != 8) fault("counter missing");
          return u64_be(get_u64_be(cur->data()) + 1);
        });
        ASSERT_TRUE(prev.has_value());
        ASSERT_TRUE(prev->has_value());
        drawn[i].push_back(get_u64_be((*prev)->data()));
        // Plain writes to other keys interleave freely.
        ASSERT_TRUE(t.insert("noise" + std::to_string(i), u64_be(n)).has_value());
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<uint64_t> all;
  for (const auto& d : drawn) {
    // Each thread sees its own draws increase.
    EXPECT_TRUE(std::is_sorted(d.begin(), d.end()));
    all.insert(d.begin(), d.end());
  }
  ASSERT_EQ(all.size(), size_t{kThreads * kEach});
  EXPECT_EQ(*all.begin(), 1u);
  EXPECT_EQ(*all.rbegin(), uint64_t{kThreads * kEach});
  EXPECT_EQ(must_get(t, "next"), u64_be(kThreads * kEach + 1));
}

TEST(KvConcurrencyTest, TreesOpenWhileOthersAreWritten) {
  auto db = Db::open_temporary();
  ASSERT_TRUE(db.has_value());
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < 10; ++n) {
        // Half the threads race on the same names.
        const std::string name = "tree" + std::to_string(i % 2 == 0 ? n : i * 100 + n);
        auto tree = db->open_tree(name);
        ASSERT_TRUE(tree.has_value()) << tree.error().status;
        ASSERT_TRUE(tree->insert("from" + std::to_string(i), "x").has_value());
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int n = 0; n < 10; ++n) EXPECT_EQ(scan_all(must_tree(*db, "tree" + std::to_string(n)), "").size(), 4u);
}

// A process killed without warning keeps every write that returned.
TEST_F(KvFileTest, WritesSurviveProcessCrash) {
  const std::string p = path("crash");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    auto db = Db::open(p);
    if (!db) ::_exit(2);
    auto data = db->open_tree("data");
    auto meta = db->open_tree("meta");
    if (!data || !meta) ::_exit(3);
    for (uint64_t i = 0; i < 1000000; ++i) {
      if (!data->insert(u64_be(i), "value" + std::to_string(i)).has_value()) ::_exit(4);
      auto prev = meta->fetch_and_update("counter", [](std::optional<std::string_view> cur) {
        return u64_be(cur ? get_u64_be(cur->data()) + 1 : 1);
      });
      if (!prev) ::_exit(5);
      const std::string ack = u64_be(i);
      if (::write(fds[1], ack.data(), 8) != 8) ::_exit(6);
    }
    for (;;) ::pause();
  }
  ::close(fds[1]);
  auto read_ack = [&](uint64_t* out) {
    char buf[8];
    size_t got = 0;
    while (got < 8) {
      ssize_t n = ::read(fds[0], buf + got, 8 - got);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    *out = get_u64_be(buf);
    return true;
  };
  uint64_t acked = 0, last = 0;
  while (acked < 3000 && read_ack(&last)) ++acked;
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
  // Acknowledgements still in the pipe count as well.
  while (read_ack(&last)) ++acked;
  ::close(fds[0]);
  ASSERT_GE(acked, 3000u);
  ASSERT_EQ(last + 1, acked);

  auto db = Db::open(p);
  ASSERT_TRUE(db.has_value()) << db.error().status;
  Tree data = must_tree(*db, "data");
  for (uint64_t i = 0; i < acked; ++i) ASSERT_EQ(must_get(data, u64_be(i)), "value" + std::to_string(i)) << i;
  auto counter = must_get(must_tree(*db, "meta"), "counter");
  ASSERT_TRUE(counter.has_value());
  EXPECT_GE(get_u64_be(counter->data()), acked);
}

}  // namespace
}  // namespace ruvo::kv
