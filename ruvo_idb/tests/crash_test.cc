// A process killed in the middle of its work loses nothing it acknowledged:
// a child process opens the IDB, interns symbols and upserts atoms, and
// reports each finished operation through a pipe; the parent kills it with
// SIGKILL, reopens the database and checks every acknowledged result.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>

#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo {
namespace {

using testing_util::dump;
using testing_util::file_store;
using testing_util::same_bits;
using testing_util::ScratchDir;

constexpr const char* kChildEnv = "RUVO_IDB_CRASH_CHILD";
constexpr const char* kTestName = "IdbCrash.AcknowledgedWorkSurvivesKill";

// The child's operations, generated identically in both processes.
struct Op {
  enum Kind { kIntern, kUpsert } kind;
  std::string text;  // kIntern
  size_t pred = 0;   // kUpsert: index into the registered predicates
  AtomKey atom;      // pred_id filled in from the registration
  Contribution c;
};

struct PredSpec {
  const char* name;
  uint64_t arity;
  AggregationMode agg;
  EvidenceMode ev;
};
constexpr PredSpec kPreds[] = {
    {"max", 2, AggregationMode::Maximum, EvidenceMode::None},
    {"nor", 2, AggregationMode::NoisyOr, EvidenceMode::PerSource},
    {"cap", 1, AggregationMode::CappedSum, EvidenceMode::ProofTree},
    {"sum", 1, AggregationMode::CappedSum, EvidenceMode::None},
};

Op make_op(uint64_t i) {
  std::mt19937_64 rng(i * 7919 + 13);
  Op op;
  if (rng() % 3 == 0) {
    op.kind = Op::kIntern;
    op.text = "sym-" + std::to_string(rng() % 5000);
    return op;
  }
  op.kind = Op::kUpsert;
  op.pred = rng() % 4;
  op.atom.args.resize(kPreds[op.pred].arity);
  for (auto& a : op.atom.args) a = rng() % 40;
  op.c.b = static_cast<double>(rng() % 1000) / 1000.0 - 0.2;
  op.c.d = static_cast<double>(rng() % 1000) / 2000.0;
  if (kPreds[op.pred].ev != EvidenceMode::None) op.c.evidence_id = "edb_" + std::to_string(rng() % 6);
  return op;
}

std::vector<uint64_t> register_all(const RuvoStore& store) {
  std::vector<uint64_t> ids;
  for (const PredSpec& p : kPreds) {
    ids.push_back(store.registry.register_predicate(p.name, p.arity, p.agg, p.ev, {}).value().pred_id);
  }
  return ids;
}

// Child: works until killed, acknowledging "<op index> <result>" per line.
[[noreturn]] void child_main(const std::string& path, int fd) {
  RuvoStore store = file_store(path);
  std::vector<uint64_t> ids = register_all(store);
  for (uint64_t i = 0;; ++i) {
    Op op = make_op(i);
    char line[128];
    int n = 0;
    if (op.kind == Op::kIntern) {
      auto id = store.symbols.get_or_insert(op.text);
      if (!id) _exit(3);
      n = std::snprintf(line, sizeof line, "%llu %llu\n", static_cast<unsigned long long>(i),
                        static_cast<unsigned long long>(*id));
    } else {
      op.atom.pred_id = ids[op.pred];
      auto s = store.upsert_atom(op.atom, op.c);
      if (!s) _exit(4);
      uint64_t b, d;
      std::memcpy(&b, &s->b, 8);
      std::memcpy(&d, &s->d, 8);
      n = std::snprintf(line, sizeof line, "%llu %llx %llx\n", static_cast<unsigned long long>(i),
                        static_cast<unsigned long long>(b), static_cast<unsigned long long>(d));
    }
    if (write(fd, line, static_cast<size_t>(n)) != n) _exit(5);
  }
}

TEST(IdbCrash, AcknowledgedWorkSurvivesKill) {
  if (const char* child = std::getenv(kChildEnv)) {
    std::string spec(child);
    size_t colon = spec.rfind(':');
    child_main(spec.substr(0, colon), std::atoi(spec.c_str() + colon + 1));
  }

  ScratchDir dir;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A fresh image of this test binary runs the child side, so that it
    // starts without the parent's threads and open databases.
    close(fds[0]);
    std::string spec = dir.path() + ":" + std::to_string(fds[1]);
    setenv(kChildEnv, spec.c_str(), 1);
    std::string filter = std::string("--gtest_filter=") + kTestName;
    execl("/proc/self/exe", "/proc/self/exe", filter.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);

  // Read acknowledgements until enough work was done, then kill the child
  // while it is still writing.
  FILE* in = fdopen(fds[0], "r");
  ASSERT_NE(in, nullptr);
  std::vector<std::string> acks;
  char buf[256];
  while (acks.size() < 4000 && std::fgets(buf, sizeof buf, in) != nullptr) acks.emplace_back(buf);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  // Lines that reached the pipe before the kill were acknowledged too.
  while (std::fgets(buf, sizeof buf, in) != nullptr) acks.emplace_back(buf);
  std::fclose(in);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child ended early, status " << status;
  ASSERT_GE(acks.size(), 4000u);

  RuvoStore store = file_store(dir.path(), /*caches=*/false);
  std::vector<uint64_t> ids = register_all(store);  // finds the child's
  // The last acknowledged result per atom, per source record and per text;
  // the operation after the last acknowledged one may or may not have
  // happened, so its atom, record or text is not checked.
  std::map<std::string, AtomState> states;
  std::map<std::string, std::string> records;
  std::map<std::string, uint64_t> symbols;
  uint64_t last = 0;
  for (const std::string& line : acks) {
    std::istringstream ls(line);
    uint64_t i;
    ls >> i;
    ASSERT_EQ(i, last == 0 && states.empty() && symbols.empty() ? 0 : last + 1);
    last = i;
    Op op = make_op(i);
    if (op.kind == Op::kIntern) {
      uint64_t id;
      ls >> id;
      symbols[op.text] = id;
    } else {
      op.atom.pred_id = ids[op.pred];
      uint64_t b, d;
      ls >> std::hex >> b >> d;
      AtomState s;
      std::memcpy(&s.b, &b, 8);
      std::memcpy(&s.d, &d, 8);
      std::string key = encode_state_key(op.atom);
      states[key] = s;
      if (op.c.evidence_id) records[encode_contrib_key(key, *op.c.evidence_id)] = encode_contribution(op.c);
    }
  }
  Op next = make_op(last + 1);
  std::string skip;
  if (next.kind == Op::kIntern) {
    symbols.erase(next.text);
  } else {
    next.atom.pred_id = ids[next.pred];
    skip = encode_state_key(next.atom);
    states.erase(skip);
    if (next.c.evidence_id) records.erase(encode_contrib_key(skip, *next.c.evidence_id));
  }

  for (const auto& [key, acked] : states) {
    AtomState stored = store.load_state(key).value();
    // A result within 1e-12 of the stored state is returned without a write.
    EXPECT_TRUE(same_bits(stored, acked) || AtomState::approx_eq(stored, acked)) << "atom state lost";
  }
  for (const auto& [ckey, rec] : records) {
    EXPECT_EQ(store.contrib_tree().get(ckey).value(), std::optional<std::string>(rec)) << "record lost";
  }
  for (const auto& [text, id] : symbols) {
    EXPECT_EQ(store.symbols.get_or_insert(text).value(), id);
    EXPECT_EQ(store.symbols.get_text(id).value(), std::optional<std::string>(text));
  }
  // Everything stored decodes.
  for (const auto& [k, v] : dump(store.state_tree())) {
    EXPECT_NO_THROW((void)decode_state_key(k));
    EXPECT_TRUE(decode_atom_state(v));
  }
  for (const auto& [k, v] : dump(store.contrib_tree())) EXPECT_TRUE(decode_contribution(v));
  for (const auto& [k, v] : dump(store, "pred_profiles")) EXPECT_TRUE(decode_profile(v));
  for (const auto& [k, v] : dump(store, "sym_by_id")) EXPECT_FALSE(bincode::check_utf8(v).has_value());
  for (uint64_t pred : ids) EXPECT_TRUE(store.scan_predicate(pred));
  // The reopened store goes on handing out fresh ids.
  uint64_t fresh = store.symbols.get_or_insert("after-the-crash").value();
  for (const auto& [text, id] : symbols) EXPECT_LT(id, fresh);
}

}  // namespace
}  // namespace ruvo
