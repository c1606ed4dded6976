// A writer killed mid-stream loses none of the events it was told were
// written, leaves only sound records behind, and never lets an id repeat.
#include <gtest/gtest.h>

#include <algorithm>

#include "ruvo_edb/src/store.h"
#include "testing/test_support.h"

namespace ruvo {
namespace {

using test::ok;

// The k-th event the writer appends, with the id the store gave it.
EdbEvent kth_event(uint64_t k, uint64_t id) {
  const std::string branch = "branch-" + std::to_string(k % 3);
  const Term x = Term::var("X");
  switch (k % 4) {
    case 0:
      return AssertFactEvent{id, branch, "p" + std::to_string(k % 5), 2, {k, k * 7}, 0.5, 0.25,
                             k % 8 ? std::nullopt : std::optional("source " + std::to_string(k))};
    case 1: return RetractFactEvent{id, branch, k / 2};
    case 2:
      return AddRuleEvent{id, branch,
                          Rule{k, "h", 1, {x},
                               {AtomGoal{"p0", 2, k % 3 == 0, {x, Term::constant(k)}}}, 0.9, 0}};
    default:
      return AddConstraintEvent{
          id, branch,
          Constraint{k, {BuiltinGoal{BuiltinOp::Lt, {x, Term::integer(-1)}}}, 0.0, 0.5}};
  }
}

uint64_t write_kth(const EdbStore& s, uint64_t k) {
  EdbEvent e = kth_event(k, 0);
  if (auto* a = std::get_if<AssertFactEvent>(&e))
    return ok(
        s.assert_fact(a->branch, a->pred_name, a->pred_arity, a->args, a->b, a->d, a->source));
  if (auto* r = std::get_if<RetractFactEvent>(&e))
    return ok(s.retract_fact(r->branch, r->target_event_id));
  if (auto* r = std::get_if<AddRuleEvent>(&e)) return ok(s.add_rule(r->branch, std::move(r->rule)));
  auto& c = std::get<AddConstraintEvent>(e);
  return ok(s.add_constraint(c.branch, std::move(c.constraint)));
}

TEST(EdbCrashTest, KilledWriterKeepsEveryReportedEvent) {
  test::KilledWriter run(2, 3000, [](const std::string& dir, int fd) {
    EdbStore s = ok(EdbStore::from_db(ok(kv::Db::open(dir))));
    for (uint64_t k = 0;; ++k) test::send_ack(fd, {k, write_kth(s, k)});
  });
  EdbStore s = ok(EdbStore::from_db(ok(kv::Db::open(run.dir()))));
  uint64_t prev_id = 0;
  for (const std::string& ack : run.acks()) {
    const uint64_t k = test::ack_word(ack, 0), id = test::ack_word(ack, 1);
    EXPECT_GT(id, prev_id) << "ids must grow with the order of appends";
    prev_id = id;
    EXPECT_EQ(ok(s.events_tree().get(event_key(id))), encode_event(kth_event(k, id))) << id;
  }
  // Every stored record decodes and sits under its own id.
  const test::Entries records = test::dump(s.events_tree());
  for (const auto& [key, value] : records) {
    auto e = decode_event(value);
    ASSERT_TRUE(e) << "record " << bincode::get_u64_be(key.data());
    EXPECT_EQ(event_key(event_id_of(*e)), key);
  }
  EXPECT_GE(records.size(), run.acks().size());
  ok(s.list_branches());
  // The counter went on past every stored id: none is handed out twice.
  const uint64_t max_key = bincode::get_u64_be(records.back().first.data());
  EXPECT_GE(ok(s.current_watermark()), max_key);
  EXPECT_GT(ok(s.assert_fact("after", "p", 0, {}, 1.0, 0.0, std::nullopt)), max_key);
}

}  // namespace
}  // namespace ruvo
