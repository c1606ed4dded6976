// A writer killed mid-stream loses none of the events it was told were
// written, leaves only sound records behind, and never lets an id repeat.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>

#include "ruvo_core/src/fault.h"
#include "ruvo_edb/src/store.h"

namespace ruvo {
namespace {

// The k-th event the writer appends; its id is filled in by the store.
EdbEvent kth_event(uint64_t k, uint64_t id) {
  std::string branch = "branch-" + std::to_string(k % 3);
  switch (k % 4) {
    case 0:
      return AssertFactEvent{id, branch, "p" + std::to_string(k % 5), 2, {k, k * 7}, 0.5, 0.25,
                             k % 8 == 0 ? std::optional<std::string>("source " + std::to_string(k))
                                        : std::nullopt};
    case 1:
      return RetractFactEvent{id, branch, k / 2};
    case 2: {
      Rule r;
      r.id = k;
      r.head_pred_name = "h";
      r.head_pred_arity = 1;
      r.head_args = {Term::var("X")};
      r.body.emplace_back(AtomGoal{"p0", 2, k % 3 == 0, {Term::var("X"), Term::constant(k)}});
      r.b = 0.9;
      return AddRuleEvent{id, branch, std::move(r)};
    }
    default: {
      Constraint c;
      c.id = k;
      c.body.emplace_back(BuiltinGoal{BuiltinOp::Lt, {Term::var("A"), Term::integer(-1)}});
      c.d = 0.5;
      return AddConstraintEvent{id, branch, std::move(c)};
    }
  }
}

EdbResult<uint64_t> write_kth(const EdbStore& s, uint64_t k) {
  EdbEvent e = kth_event(k, 0);
  if (auto* a = std::get_if<AssertFactEvent>(&e)) {
    return s.assert_fact(a->branch, a->pred_name, a->pred_arity, a->args, a->b, a->d, a->source);
  }
  if (auto* r = std::get_if<RetractFactEvent>(&e)) return s.retract_fact(r->branch, r->target_event_id);
  if (auto* r = std::get_if<AddRuleEvent>(&e)) return s.add_rule(r->branch, std::move(r->rule));
  auto& c = std::get<AddConstraintEvent>(e);
  return s.add_constraint(c.branch, std::move(c.constraint));
}

// Runs in the forked child: opens the database itself, then appends forever,
// reporting (k, id) after each append has returned.
[[noreturn]] void writer(const std::string& path, int out) {
  try {
    auto db = kv::Db::open(path);
    if (!db) _exit(2);
    auto s = EdbStore::from_db(std::move(*db));
    if (!s) _exit(3);
    for (uint64_t k = 0;; ++k) {
      auto id = write_kth(*s, k);
      if (!id) _exit(4);
      uint64_t report[2] = {k, *id};
      if (write(out, report, sizeof report) != sizeof report) _exit(5);
    }
  } catch (...) {
    _exit(6);
  }
}

bool read_full(int fd, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t got = read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

TEST(EdbCrashTest, KilledWriterKeepsEveryReportedEvent) {
  const std::string path =
      ::testing::TempDir() + "ruvo_edb_crash_" + std::to_string(::getpid());
  std::filesystem::remove_all(path);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    writer(path, fds[1]);
  }
  close(fds[1]);

  std::map<uint64_t, uint64_t> reported;  // k -> id
  uint64_t report[2];
  while (reported.size() < 3000 && read_full(fds[0], report, sizeof report)) {
    reported[report[0]] = report[1];
  }
  ASSERT_EQ(reported.size(), 3000u) << "the writer stopped early";
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  // Whatever was reported before the kill counts as well.
  while (read_full(fds[0], report, sizeof report)) reported[report[0]] = report[1];
  close(fds[0]);

  {
    auto db = kv::Db::open(path);
    ASSERT_TRUE(db) << db.error().debug();
    auto s = EdbStore::from_db(std::move(*db));
    ASSERT_TRUE(s) << s.error().debug();

    uint64_t max_id = 0;
    uint64_t prev_id = 0;
    for (const auto& [k, id] : reported) {
      EXPECT_GT(id, prev_id) << "ids must grow with the order of appends";
      prev_id = id;
      max_id = std::max(max_id, id);
      auto stored = s->events_tree().get(event_key(id));
      ASSERT_TRUE(stored);
      ASSERT_TRUE(*stored) << "reported event " << id << " is missing";
      EXPECT_EQ(**stored, encode_event(kth_event(k, id))) << "event " << id;
    }

    uint64_t max_key = 0;
    size_t records = 0;
    auto scanned = s->events_tree().scan_prefix("", [&](std::string_view key, std::string_view v) {
      auto e = decode_event(v);
      EXPECT_TRUE(e) << "record " << bincode::get_u64_be(key.data());
      if (e) {
        EXPECT_EQ(event_key(event_id_of(*e)), key);
      }
      max_key = std::max(max_key, bincode::get_u64_be(key.data()));
      ++records;
      return true;
    });
    ASSERT_TRUE(scanned);
    EXPECT_GE(records, reported.size());
    ASSERT_TRUE(s->list_branches());
    ASSERT_TRUE(s->get_facts("branch-0", std::nullopt));

    auto watermark = s->current_watermark();
    ASSERT_TRUE(watermark);
    EXPECT_GE(*watermark, max_key);
    auto next = s->assert_fact("after", "p", 0, {}, 1.0, 0.0, std::nullopt);
    ASSERT_TRUE(next);
    EXPECT_GT(*next, max_id);
    EXPECT_GT(*next, max_key);
  }
  std::filesystem::remove_all(path);
}

}  // namespace
}  // namespace ruvo
