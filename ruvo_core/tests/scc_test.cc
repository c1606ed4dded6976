#include "ruvo_core/src/scc.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ruvo {
namespace {

Goal pos(std::string name, uint64_t arity = 1) { return AtomGoal{std::move(name), arity, false, {Term::var("X")}}; }
Goal neg(std::string name, uint64_t arity = 1) { return AtomGoal{std::move(name), arity, true, {Term::var("X")}}; }
Goal builtin() { return BuiltinGoal{BuiltinOp::Eq, {Term::var("X"), Term::integer(1)}}; }

Rule rule(std::string head, std::vector<Goal> body, uint64_t arity = 1) {
  Rule r;
  r.head_pred_name = std::move(head);
  r.head_pred_arity = arity;
  r.head_args = {Term::var("X")};
  r.body = std::move(body);
  r.b = 1.0;
  return r;
}

// Components as lists of names, in result order.
std::vector<std::vector<std::string>> members(const std::vector<Scc>& sccs) {
  std::vector<std::vector<std::string>> out;
  for (size_t i = 0; i < sccs.size(); ++i) {
    EXPECT_EQ(sccs[i].index, i);
    EXPECT_FALSE(sccs[i].predicates.empty());
    out.push_back(sccs[i].predicates);
  }
  return out;
}

std::map<std::string, size_t> position(const std::vector<Scc>& sccs) {
  std::map<std::string, size_t> out;
  for (const auto& s : sccs)
    for (const auto& p : s.predicates) out[p] = s.index;
  return out;
}

using Names = std::vector<std::vector<std::string>>;

TEST(SccTest, SmallGraphs) {
  EXPECT_TRUE(compute_sccs({}).empty());

  auto r = compute_sccs({rule("p", {pos("q")})});
  EXPECT_EQ(members(r), (Names{{"q"}, {"p"}}));
  EXPECT_FALSE(r[0].is_recursive);
  EXPECT_FALSE(r[1].is_recursive);

  r = compute_sccs({rule("p", {pos("p")})});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(r[0].is_recursive);

  // Mutual recursion: p is the root (node 0), q is popped first.
  r = compute_sccs({rule("p", {pos("q")}), rule("q", {pos("p")})});
  EXPECT_EQ(members(r), (Names{{"q", "p"}}));
  EXPECT_TRUE(r[0].is_recursive);

  // Builtins and an empty body give a lone, non-recursive component;
  // repeated body atoms add one edge.
  r = compute_sccs({rule("b", {builtin()}), rule("e", {}), rule("p", {pos("q"), pos("q"), builtin()})});
  EXPECT_EQ(members(r), (Names{{"b"}, {"e"}, {"q"}, {"p"}}));
  for (const auto& s : r) EXPECT_FALSE(s.is_recursive);

  // A name negated only is no node.
  r = compute_sccs({rule("p", {neg("q")})});
  EXPECT_EQ(members(r), (Names{{"p"}}));

  // Arity plays no part in identity.
  r = compute_sccs({rule("p", {pos("q", 2)}, 1), rule("p", {pos("r", 1)}, 3), rule("q", {pos("p", 7)}, 1)});
  EXPECT_EQ(members(r), (Names{{"r"}, {"q", "p"}}));
  EXPECT_FALSE(r[0].is_recursive);
  EXPECT_TRUE(r[1].is_recursive);
}

TEST(SccTest, VisitsNodesAndSuccessorsInNameOrder) {
  // p -> {r, q}, q -> p, r -> {}. Successors of p are visited q then r,
  // so the cycle closes after r completes.
  auto r = compute_sccs({rule("q", {pos("p")}), rule("p", {pos("r"), pos("q")}), rule("r", {})});
  EXPECT_EQ(members(r), (Names{{"r"}, {"q", "p"}}));

  // Bytes compare unsigned: "Z" < "a" < "\xc3\xa9".
  r = compute_sccs({rule("\xc3\xa9", {}), rule("a", {}), rule("Z", {})});
  EXPECT_EQ(members(r), (Names{{"Z"}, {"a"}, {"\xc3\xa9"}}));

  // A three-cycle entered at its smallest name pops in reverse visit order.
  r = compute_sccs({rule("c", {pos("a")}), rule("a", {pos("b")}), rule("b", {pos("c"), pos("d")})});
  EXPECT_EQ(members(r), (Names{{"d"}, {"c", "b", "a"}}));
}

TEST(SccTest, NegatedPredicateComesFirst) {
  // By name alone "a" would be visited and completed before "z".
  auto r = compute_sccs({rule("a", {pos("base"), neg("z")}), rule("z", {pos("base")})});
  EXPECT_EQ(members(r), (Names{{"base"}, {"z"}, {"a"}}));

  // Strata stack up along chains of negation, also through positive
  // edges and names that appear only negated.
  r = compute_sccs({
      rule("a", {neg("b")}),
      rule("b", {pos("c")}),
      rule("c", {neg("d")}),
      rule("d", {neg("e")}),  // e is no node but still lifts d above it
      rule("x", {pos("a")}),
      rule("m", {}),
  });
  EXPECT_EQ(members(r), (Names{{"m"}, {"d"}, {"c"}, {"b"}, {"a"}, {"x"}}));

  // A negation inside a cycle counts nothing: p and q share a stratum and
  // the order falls back to names.
  r = compute_sccs({rule("q", {neg("p")}), rule("p", {pos("q")}), rule("o", {})});
  EXPECT_EQ(members(r), (Names{{"o"}, {"q"}, {"p"}}));

  // A positive and a negated edge to the same name: the negation counts.
  r = compute_sccs({rule("a", {pos("b")}), rule("a", {neg("b")}), rule("b", {pos("a0")})});
  auto at = position(r);
  EXPECT_LT(at["b"], at["a"]);
}

TEST(SccTest, DeterministicAcrossRunsAndRuleOrder) {
  std::vector<Rule> rules;
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    std::vector<Goal> body;
    for (int j = 0; j < 3; ++j) {
      std::string name = "p" + std::to_string(rng() % 200);
      body.push_back(rng() % 4 == 0 ? neg(name) : pos(name));
    }
    rules.push_back(rule("p" + std::to_string(rng() % 200), body));
  }
  auto first = compute_sccs(rules);
  auto second = compute_sccs(rules);
  std::shuffle(rules.begin(), rules.end(), rng);
  auto shuffled = compute_sccs(rules);
  EXPECT_EQ(members(first), members(second));
  EXPECT_EQ(members(first), members(shuffled));
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].is_recursive, shuffled[i].is_recursive);
  }

  // Every positive edge points to the same or an earlier component.
  auto at = position(first);
  for (const Rule& r : rules) {
    for (const Goal& g : r.body) {
      auto* a = std::get_if<AtomGoal>(&g);
      if (a && !a->negated) {
        EXPECT_LE(at[a->pred_name], at[r.head_pred_name]);
      }
    }
  }
}

std::string chain_name(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "p%06d", i);
  return buf;
}

TEST(SccTest, LongChainsUseNoCallStack) {
  constexpr int kLen = 200000;
  // p000000 <- p000001 <- ... : the deepest name is visited last.
  std::vector<Rule> rules;
  for (int i = 0; i < kLen; ++i) rules.push_back(rule(chain_name(i), {pos(chain_name(i + 1))}));
  auto r = compute_sccs(rules);
  ASSERT_EQ(r.size(), size_t{kLen + 1});
  for (int i = 0; i <= kLen; ++i) {
    ASSERT_EQ(r[i].predicates, std::vector<std::string>{chain_name(kLen - i)});
    ASSERT_FALSE(r[i].is_recursive);
  }

  // Closing the chain into one cycle gives one component.
  rules.push_back(rule(chain_name(kLen), {pos(chain_name(0))}));
  r = compute_sccs(rules);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(r[0].is_recursive);
  EXPECT_EQ(r[0].predicates.size(), size_t{kLen + 1});
  EXPECT_EQ(r[0].predicates.back(), chain_name(0));

  // A chain of negations: every link raises the stratum, against name order.
  rules.clear();
  for (int i = 0; i < kLen; ++i) rules.push_back(rule(chain_name(i), {neg(chain_name(i + 1))}));
  rules.push_back(rule(chain_name(kLen), {}));
  r = compute_sccs(rules);
  ASSERT_EQ(r.size(), size_t{kLen + 1});
  for (int i = 0; i <= kLen; ++i) ASSERT_EQ(r[i].predicates.front(), chain_name(kLen - i));
}

}  // namespace
}  // namespace ruvo
