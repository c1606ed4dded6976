// Record codec throughput on one core: encoding and decoding of a rule with
// ten body goals and of a predicate profile with index specifications.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ruvo_core/src/rule.h"
#include "ruvo_core/src/types.h"

namespace {

using Clock = std::chrono::steady_clock;

// Keeps the optimiser from dropping work whose result is otherwise unused.
volatile uint64_t g_sink = 0;

ruvo::Rule ten_goal_rule() {
  using ruvo::Term;
  ruvo::Rule r;
  r.id = 42;
  r.head_pred_name = "reachable_via";
  r.head_pred_arity = 3;
  r.head_args = {Term::var("From"), Term::var("To"), Term::var("Hub")};
  const char* preds[] = {"edge", "edge", "hub", "open", "edge", "route", "blocked", "zone"};
  for (int i = 0; i < 8; ++i) {
    ruvo::AtomGoal a;
    a.pred_name = preds[i];
    a.pred_arity = 2;
    a.negated = (i == 6);
    a.args = {Term::var("V" + std::to_string(i)), i % 2 ? Term::constant(1000 + i)
                                                       : Term::var("V" + std::to_string(i + 1))};
    r.body.emplace_back(std::in_place_index<0>, std::move(a));
  }
  r.body.emplace_back(std::in_place_index<1>,
                      ruvo::BuiltinGoal{ruvo::BuiltinOp::Ne, {Term::var("From"), Term::var("To")}});
  r.body.emplace_back(std::in_place_index<1>,
                      ruvo::BuiltinGoal{ruvo::BuiltinOp::Add,
                                        {Term::var("V1"), Term::integer(1), Term::var("Hub")}});
  r.b = 0.9;
  r.d = 0.05;
  return r;
}

ruvo::PredicateProfile profile() {
  ruvo::PredicateProfile p;
  p.pred_id = 17;
  p.name = "reachable_via";
  p.arity = 3;
  p.aggregation = ruvo::AggregationMode::NoisyOr;
  p.evidence_mode = ruvo::EvidenceMode::PerSource;
  p.indexes = {ruvo::IndexSpec{"by_from", {0}}, ruvo::IndexSpec{"by_pair", {0, 1}}};
  return p;
}

template <class Fn>
void run(const char* what, size_t record_bytes, size_t n, Fn fn) {
  for (size_t i = 0; i < n / 10; ++i) fn();  // warm up
  const auto start = Clock::now();
  for (size_t i = 0; i < n; ++i) fn();
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%-28s %10.2f M records/s  %8.1f MB/s  %7.1f ns/record\n", what, n / secs / 1e6,
              n * record_bytes / secs / 1e6, secs * 1e9 / n);
}

}  // namespace

int main() {
  const ruvo::Rule rule = ten_goal_rule();
  const std::string rule_rec = ruvo::encode_rule(rule);
  const ruvo::PredicateProfile prof = profile();
  const std::string prof_rec = ruvo::encode_profile(prof);
  constexpr size_t kN = 2'000'000;

  std::printf("rule record: %zu bytes, %zu body goals; profile record: %zu bytes\n",
              rule_rec.size(), rule.body.size(), prof_rec.size());
  run("rule encode", rule_rec.size(), kN,
      [&] { g_sink = g_sink + ruvo::encode_rule(rule).size(); });
  run("rule decode", rule_rec.size(), kN, [&] {
    auto r = ruvo::decode_rule(rule_rec);
    g_sink = g_sink + (r ? r->body.size() : 0);
  });
  // Reference: a deep copy and release of the same rule, the allocation
  // work any decode has to do as well.
  run("rule deep copy (reference)", rule_rec.size(), kN, [&] {
    ruvo::Rule copy = rule;
    g_sink = g_sink + copy.body.size();
  });
  run("profile encode", prof_rec.size(), kN,
      [&] { g_sink = g_sink + ruvo::encode_profile(prof).size(); });
  run("profile decode", prof_rec.size(), kN, [&] {
    auto p = ruvo::decode_profile(prof_rec);
    g_sink = g_sink + (p ? p->indexes.size() : 0);
  });
  return 0;
}
