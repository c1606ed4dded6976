// A process killed in the middle of its work loses nothing it acknowledged:
// a child process interns symbols and upserts atoms; after SIGKILL the
// reopened database holds every acknowledged result.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "ruvo_idb/tests/idb_test_util.h"

namespace ruvo::test {
namespace {

// The child's operations, generated identically in both processes.
struct Op {
  bool intern = false;
  std::string text;  // intern
  size_t pred = 0;   // upsert: index into kPreds
  std::vector<uint64_t> args;
  Contribution c;
};

struct PredSpec {
  const char* name;
  uint64_t arity;
  AggregationMode agg;
  EvidenceMode ev;
};
constexpr PredSpec kPreds[] = {{"max", 2, AggregationMode::Maximum, EvidenceMode::None},
                               {"nor", 2, AggregationMode::NoisyOr, EvidenceMode::PerSource},
                               {"cap", 1, AggregationMode::CappedSum, EvidenceMode::ProofTree},
                               {"sum", 1, AggregationMode::CappedSum, EvidenceMode::None}};

Op make_op(uint64_t i) {
  std::mt19937_64 rng(i * 7919 + 13);
  Op op;
  if (rng() % 3 == 0) {
    op.intern = true;
    op.text = "sym-" + std::to_string(rng() % 5000);
    return op;
  }
  op.pred = rng() % 4;
  op.args.resize(kPreds[op.pred].arity);
  for (auto& a : op.args) a = rng() % 40;
  op.c.b = static_cast<double>(rng() % 1000) / 1000.0 - 0.2;
  op.c.d = static_cast<double>(rng() % 1000) / 2000.0;
  if (kPreds[op.pred].ev != EvidenceMode::None)
    op.c.evidence_id = "edb_" + std::to_string(rng() % 6);
  return op;
}

std::vector<uint64_t> register_all(const RuvoStore& store) {
  std::vector<uint64_t> ids;
  for (const PredSpec& p : kPreds)
    ids.push_back(ok(store.registry.register_predicate(p.name, p.arity, p.agg, p.ev, {})).pred_id);
  return ids;
}

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

TEST(IdbCrash, AcknowledgedWorkSurvivesKill) {
  // Acknowledgements: (op index, symbol id, 0) or (op index, b bits, d bits).
  KilledWriter run(3, 4000, [](const std::string& dir, int fd) {
    RuvoStore store = file_store(dir);
    const std::vector<uint64_t> ids = register_all(store);
    for (uint64_t i = 0;; ++i) {
      Op op = make_op(i);
      if (op.intern) {
        send_ack(fd, {i, ok(store.symbols.get_or_insert(op.text)), 0});
      } else {
        const AtomState s = ok(store.upsert_atom(AtomKey{ids[op.pred], op.args}, op.c));
        send_ack(fd, {i, bits(s.b), bits(s.d)});
      }
    }
  });
  ASSERT_GE(run.acks().size(), 4000u);
  RuvoStore store = file_store(run.dir(), /*caches=*/false);
  const std::vector<uint64_t> ids = register_all(store);  // finds the child's

  // The last acknowledged result per atom, per source record and per text.
  std::map<std::string, AtomState> states;
  std::map<std::string, std::string> records;
  std::map<std::string, uint64_t> symbols;
  auto key_of = [&](const Op& op) { return encode_state_key(AtomKey{ids[op.pred], op.args}); };
  for (size_t n = 0; n < run.acks().size(); ++n) {
    const std::string& ack = run.acks()[n];
    ASSERT_EQ(ack_word(ack, 0), n);
    const Op op = make_op(n);
    if (op.intern) {
      symbols[op.text] = ack_word(ack, 1);
    } else {
      states[key_of(op)] = AtomState{std::bit_cast<double>(ack_word(ack, 1)),
                                     std::bit_cast<double>(ack_word(ack, 2))};
      if (op.c.evidence_id)
        records[encode_contrib_key(key_of(op), *op.c.evidence_id)] = encode_contribution(op.c);
    }
  }
  // The operation after the last acknowledged one may or may not have
  // happened: its atom, record or text is not checked.
  const Op next = make_op(run.acks().size());
  if (next.intern) {
    symbols.erase(next.text);
  } else {
    states.erase(key_of(next));
    if (next.c.evidence_id) records.erase(encode_contrib_key(key_of(next), *next.c.evidence_id));
  }

  for (const auto& [key, acked] : states) {
    const AtomState stored = ok(store.load_state(key));
    // A result within 1e-12 of the stored state is returned without a write.
    EXPECT_TRUE(same_bits(stored, acked) || AtomState::approx_eq(stored, acked))
        << "atom state lost";
  }
  for (const auto& [ckey, rec] : records)
    EXPECT_EQ(ok(store.contrib_tree().get(ckey)), rec) << "record lost";
  for (const auto& [text, id] : symbols) {
    EXPECT_EQ(ok(store.symbols.get_or_insert(text)), id);
    EXPECT_EQ(ok(store.symbols.get_text(id)), text);
  }
  // Everything stored decodes.
  for (const auto& [k, v] : dump(store.state_tree())) {
    EXPECT_NO_THROW((void)decode_state_key(k));
    EXPECT_TRUE(decode_atom_state(v));
  }
  for (const auto& [k, v] : dump(store.contrib_tree())) EXPECT_TRUE(decode_contribution(v));
  for (const auto& [k, v] : dump(store, "pred_profiles")) EXPECT_TRUE(decode_profile(v));
  for (const auto& [k, v] : dump(store, "sym_by_id"))
    EXPECT_FALSE(bincode::check_utf8(v).has_value());
  for (uint64_t pred : ids) EXPECT_TRUE(store.scan_predicate(pred));
  // The reopened store goes on handing out fresh ids.
  const uint64_t fresh = ok(store.symbols.get_or_insert("after-the-crash"));
  for (const auto& [text, id] : symbols) EXPECT_LT(id, fresh);
}

}  // namespace
}  // namespace ruvo::test
