// A process killed in the middle of its work loses nothing it acknowledged:
// a child process interns symbols and upserts atoms; after SIGKILL the
// reopened database holds every acknowledged result.
#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <random>

#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo::test {
namespace {

const PredicateProfile kPreds[] = {{0, "max", 2, kMax, kNone, {}},
                                   {0, "nor", 2, kNoisyOr, kPerSource, {}},
                                   {0, "cap", 1, kCapped, kProofTree, {}},
                                   {0, "sum", 1, kCapped, kNone, {}}};

// The child's operation i, generated identically in both processes: a text
// to intern, or a contribution to an atom of kPreds[pred].
struct Op {
  std::string text;
  size_t pred = 0;
  std::vector<uint64_t> args;
  Contribution c;
};
Op make_op(uint64_t i) {
  std::mt19937_64 rng(i * 7919 + 13);
  Op op;
  if (rng() % 3 == 0) {
    op.text = "sym-" + std::to_string(rng() % 5000);
    return op;
  }
  op.pred = rng() % 4;
  op.args.resize(kPreds[op.pred].arity);
  for (auto& a : op.args) a = rng() % 40;
  op.c.b = static_cast<double>(rng() % 1000) / 1000.0 - 0.2;
  op.c.d = static_cast<double>(rng() % 1000) / 2000.0;
  if (kPreds[op.pred].evidence_mode != kNone) op.c.evidence_id = "edb_" + std::to_string(rng() % 6);
  return op;
}

std::vector<uint64_t> register_all(const RuvoStore& store) {
  std::vector<uint64_t> ids;
  for (const PredicateProfile& p : kPreds)
    ids.push_back(ok(store.registry.register_predicate(p.name, p.arity, p.aggregation,
                                                       p.evidence_mode, {})).pred_id);
  return ids;
}

TEST(IdbCrash, AcknowledgedWorkSurvivesKill) {
  // Acknowledgements: (op index, symbol id, 0) or (op index, b bits, d bits).
  KilledWriter run(3, 4000, [](const std::string& dir, int fd) {
    RuvoStore store = file_store(dir);
    const std::vector<uint64_t> ids = register_all(store);
    for (uint64_t i = 0;; ++i) {
      const Op op = make_op(i);
      if (!op.text.empty()) {
        send_ack(fd, {i, ok(store.symbols.get_or_insert(op.text)), 0});
      } else {
        const AtomState s = ok(store.upsert_atom(AtomKey{ids[op.pred], op.args}, op.c));
        send_ack(fd, {i, std::bit_cast<uint64_t>(s.b), std::bit_cast<uint64_t>(s.d)});
      }
    }
  });
  ASSERT_GE(run.acks().size(), 4000u);
  RuvoStore store = file_store(run.dir(), /*caches=*/false);
  const std::vector<uint64_t> ids = register_all(store);  // finds the child's

  // The last acknowledged result per atom, per source record and per text.
  // The operation after the last acknowledged one may or may not have
  // happened: its atom, record or text is not checked.
  std::map<std::string, AtomState> states;
  std::map<std::string, std::string> records;
  std::map<std::string, uint64_t> symbols;
  for (size_t n = 0; n <= run.acks().size(); ++n) {
    const Op op = make_op(n);
    const std::string key = encode_state_key(AtomKey{ids[op.pred], op.args});
    const std::string rkey = op.c.evidence_id ? encode_contrib_key(key, *op.c.evidence_id) : "";
    if (n == run.acks().size()) {
      symbols.erase(op.text), states.erase(key), records.erase(rkey);
      break;
    }
    const std::string& ack = run.acks()[n];
    ASSERT_EQ(ack_word(ack, 0), n);
    if (!op.text.empty()) {
      symbols[op.text] = ack_word(ack, 1);
      continue;
    }
    states[key] = {std::bit_cast<double>(ack_word(ack, 1)),
                   std::bit_cast<double>(ack_word(ack, 2))};
    if (op.c.evidence_id) records[rkey] = encode_contribution(op.c);
  }
  for (const auto& [key, acked] : states) {
    const AtomState stored = ok(store.load_state(key));
    // A result within 1e-12 of the stored state is returned without a write.
    EXPECT_TRUE(same_bits(stored, acked) || AtomState::approx_eq(stored, acked)) << "state lost";
  }
  for (const auto& [rkey, rec] : records)
    EXPECT_EQ(ok(store.contrib_tree().get(rkey)), rec) << "record lost";
  for (const auto& [text, id] : symbols) {
    EXPECT_EQ(ok(store.symbols.get_or_insert(text)), id);
    EXPECT_EQ(ok(store.symbols.get_text(id)), text);
  }
  // Everything stored decodes, and the reopened store goes on handing out
  // fresh ids.
  for (uint64_t pred : ids) EXPECT_TRUE(store.scan_predicate(pred));
  for (const auto& [k, v] : dump(store.contrib_tree())) EXPECT_TRUE(decode_contribution(v));
  const uint64_t fresh = ok(store.symbols.get_or_insert("after-the-crash"));
  for (const auto& [text, id] : symbols) EXPECT_LT(id, fresh);
}

}  // namespace
}  // namespace ruvo::test
