// A materialisation is all or nothing against a crash: a process killed at
// any moment of the call leaves the derived-state store exactly as it was
// before the call or exactly as the completed call leaves it, and a call that
// returned survives a kill from then on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ruvo_engine/src/session.h"
#include "testing/test_support.h"

namespace ruvo::test {
namespace {

// The second call takes a few hundred milliseconds in an optimised build.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kNodes = 150;
constexpr int kKillPoints = 16;
#else
constexpr uint64_t kNodes = 400;
constexpr int kKillPoints = 40;
#endif
constexpr const char* kChildEnv = "RUVO_TEST_MATERIALIZE_CHILD";

// Predicate configuration lives in memory only, so every session sets it.
// The None modes fold the same evidence in again on every call: a call
// applied twice, or in part, leaves other weights. A budget, when given,
// bounds the memory of the call's pending writes.
EngineSession open(const std::string& dir, std::optional<size_t> budget = std::nullopt) {
  EngineSession s = ok(EngineSession::open(dir + "/edb", dir + "/idb"));
  if (budget) s.idb.db().set_pending_budget(*budget);
  s.configure_predicate("seen", AggregationMode::NoisyOr, EvidenceMode::None);
  s.configure_predicate("hub", AggregationMode::NoisyOr, EvidenceMode::None);
  s.configure_predicate("weight", AggregationMode::CappedSum, EvidenceMode::None);
  return s;
}

AtomGoal atom(std::string pred, std::vector<std::string> vars) {
  AtomGoal g{std::move(pred), vars.size(), false, {}};
  for (std::string& v : vars) g.args.push_back(Term::var(std::move(v)));
  return g;
}

void add_rule(const EngineSession& s, uint64_t id, AtomGoal head, std::vector<Goal> body,
              double b) {
  ok(s.edb.add_rule("main", Rule{id, head.pred_name, head.pred_arity, head.args, body, b, 0}));
}

// Edges out of nodes [from, to): short hops forward, so that the closure
// takes a pass per few nodes.
void add_edges(const EngineSession& s, uint64_t from, uint64_t to) {
  std::mt19937_64 rng(from);
  for (uint64_t x = from; x < to; ++x) {
    for (int k = 0; k < 2; ++k)
      ok(s.edb.assert_fact("main", "edge", 2, {x, x + 1 + rng() % 4}, 1, 0, std::nullopt));
    ok(s.edb.assert_fact("main", "seen", 1, {x}, 0.1, 0, std::nullopt));
  }
}

// Every entry of every tree of the derived-state store.
std::vector<std::string> snapshot(const std::string& dir) {
  const kv::Db db = ok(kv::Db::open(dir + "/idb"));
  std::vector<std::string> out;
  for (const std::string& name : db.tree_names()) {
    out.push_back("tree " + name);
    for (auto& [k, v] : dump(ok(db.open_tree(name)))) out.push_back(k + '\0' + v);
  }
  return out;
}

// The child: says "s" just before the call and "d" once it returned, then
// waits to be killed without closing anything.
[[noreturn]] void materialize_child(const std::string& spec, std::optional<size_t> budget) {
  const size_t colon = spec.rfind(':');
  const int fd = std::atoi(spec.c_str() + colon + 1);
  try {
    EngineSession s = open(spec.substr(0, colon), budget);
    if (::write(fd, "s", 1) != 1) ::_exit(5);
    ok(s.materialize_with_options("main", std::nullopt));
    if (::write(fd, "d", 1) != 1) ::_exit(5);
    for (;;) ::pause();
  } catch (...) { ::_exit(6); }
}

// Runs this test in a fresh image of the binary (a forked child must open
// its databases itself) as the child for `dir`, writing to `fd`.
pid_t spawn(const std::string& dir, int fd) {
  const int null = ::open("/dev/null", O_WRONLY);
  const pid_t pid = respawn_current_test(std::string(kChildEnv) + "=" + dir + ":" + std::to_string(fd),
                                         -1, null);
  ::close(null);
  return pid;
}

// Kills children that make the call with pending writes bounded by
// `budget` (none: the default), at points spread from `from` of the call
// to a fifth past its end, and checks what each leaves behind against the
// call made whole with the default budget.
void kill_during_call(std::optional<size_t> budget, double from) {
  if (const char* spec = std::getenv(kChildEnv)) materialize_child(spec, budget);
  namespace fs = std::filesystem;
  ScratchDir root;
  const std::string base = root / "base";
  uint64_t earlier = 0, latest = 0;
  {
    EngineSession s = open(base);
    add_rule(s, 1, atom("path", {"X", "Y"}), {atom("edge", {"X", "Y"})}, 1);
    add_rule(s, 2, atom("path", {"X", "Z"}),
             {atom("path", {"X", "Y"}), atom("edge", {"Y", "Z"})}, 1);
    add_rule(s, 3, atom("hub", {"X"}), {atom("path", {"X", "Y"})}, 0.01);
    add_edges(s, 0, kNodes / 3);
    ok(s.materialize_with_options("main", std::nullopt));
    // A predicate the second call registers.
    add_rule(s, 4, atom("weight", {"X", "Y"}), {atom("edge", {"X", "Y"})}, 0.2);
    add_edges(s, kNodes / 3, kNodes);
    earlier = ok(s.idb_watermark("main")).value();
    latest = ok(s.edb_watermark());
  }
  const std::vector<std::string> before = snapshot(base);
  fs::copy(base, root / "after", fs::copy_options::recursive);
  {
    EngineSession s = open(root / "after");
    ok(s.materialize_with_options("main", std::nullopt));
    EXPECT_EQ(ok(s.idb_watermark("main")), latest);
  }
  EXPECT_NE(earlier, latest);  // so the watermark alone tells the two apart
  const std::vector<std::string> after = snapshot(root / "after");
  ASSERT_NE(before, after);

  // Point 0 kills before the child opened the store, point 1 once the call
  // returned (and times it); the others spread over the call and past it.
  std::chrono::duration<double> call{};
  int counts[3] = {0, 0, 0};  // before, after, neither
  for (int i = 0; i < kKillPoints; ++i) {
    const std::string dir = root / ("kill" + std::to_string(i));
    fs::copy(base, dir, fs::copy_options::recursive);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = spawn(dir, fds[1]);
    ASSERT_GT(pid, 0);
    ::close(fds[1]);
    char c = 0;  // the last byte the child wrote
    const double at = from + (1.2 - from) * (i - 2) / (kKillPoints - 3);
    if (i > 0 && ::read(fds[0], &c, 1) == 1) {
      const auto start = std::chrono::steady_clock::now();
      if (i > 1) std::this_thread::sleep_for(call * at);
      else if (::read(fds[0], &c, 1) == 1) call = std::chrono::steady_clock::now() - start;
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    while (::read(fds[0], &c, 1) == 1) {}  // "d": the call had returned
    ::close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child ended: " << status;
    const std::vector<std::string> got = snapshot(dir);
    const int match = got == before && c != 'd' ? 0 : got == after ? 1 : 2;
    ++counts[match];
    EXPECT_NE(match, 2) << "kill point " << i << " (at " << at << " of the call; returned: "
                        << (c == 'd') << ") left " << got.size() << " entries; before "
                        << before.size() << ", after " << after.size();
    fs::remove_all(dir);
  }
  std::printf("%d kill points over a %.0f ms call: %d before, %d after, %d neither\n",
              kKillPoints, call.count() * 1e3, counts[0], counts[1], counts[2]);
  ::testing::Test::RecordProperty("killed_before", counts[0]);
  ::testing::Test::RecordProperty("killed_after", counts[1]);
  ::testing::Test::RecordProperty("killed_neither", counts[2]);
}

TEST(MaterializeCrash, KilledCallLeavesBeforeOrAfter) { kill_during_call(std::nullopt, 0); }

// The call's writes outgrow a small budget many times over, from its start
// to its end: kills land while runs are written out and merged, and,
// packed towards the end, while the last runs are merged and ingested.
TEST(MaterializeCrash, KilledSpillingCallLeavesBeforeOrAfter) { kill_during_call(size_t{128} << 10, 0.6); }

}  // namespace
}  // namespace ruvo::test
