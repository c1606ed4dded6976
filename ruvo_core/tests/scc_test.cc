// Components of the predicate dependency graph: their order (negation
// strata, then names), recursion flags, determinism and long chains.
#include "ruvo_core/src/scc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace ruvo {
namespace {

Goal atom(std::string name, bool negated = false) {
  uint64_t arity = 1;
  if (size_t slash = name.find('/'); slash != std::string::npos) {
    arity = std::stoull(name.substr(slash + 1));
    name.resize(slash);
  }
  return AtomGoal{std::move(name), arity, negated, {Term::var("X")}};
}

Rule rule(const std::string& head, std::vector<Goal> body) {
  auto h = std::get<AtomGoal>(atom(head));
  return Rule{0, h.pred_name, h.pred_arity, {Term::var("X")}, std::move(body), 1.0, 0.0};
}

// Rules written "p :- q, !r, eq; q :- p; e": arity 1 unless named p/2,
// builtin words are builtins, a rule without ":-" has an empty body.
std::vector<Rule> parse(const std::string& text) {
  std::vector<Rule> out;
  std::istringstream rules(text);
  for (std::string r; std::getline(rules, r, ';');) {
    std::istringstream words(r);
    std::string head, word;
    if (!(words >> head)) continue;
    std::vector<Goal> body;
    while (words >> word) {
      if (word == ":-") continue;
      if (word.back() == ',') word.pop_back();
      if (auto op = builtin_from_word(word)) {
        body.push_back(BuiltinGoal{*op, {Term::var("X"), Term::integer(1)}});
      } else {
        body.push_back(word[0] == '!' ? atom(word.substr(1), true) : atom(word));
      }
    }
    out.push_back(rule(head, std::move(body)));
  }
  return out;
}

// Components in result order, "|" between them, "*" before a recursive one.
std::string order(const std::vector<Scc>& sccs) {
  std::string out;
  for (size_t i = 0; i < sccs.size(); ++i) {
    EXPECT_EQ(sccs[i].index, i);
    EXPECT_FALSE(sccs[i].predicates.empty());
    if (i > 0) out += " | ";
    if (sccs[i].is_recursive) out += "*";
    for (size_t j = 0; j < sccs[i].predicates.size(); ++j)
      out += (j ? " " : "") + sccs[i].predicates[j];
  }
  return out;
}

TEST(SccTest, OrderOfComponents) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"p :- q", "q | p"},
      {"p :- p", "*p"},
      // Mutual recursion: p is the root, q is popped first.
      {"p :- q; q :- p", "*q p"},
      // Builtins and empty bodies give lone components; repeated atoms one edge.
      {"b :- eq; e; p :- q, q, eq", "b | e | q | p"},
      // A name negated only is no node.
      {"p :- !q", "p"},
      // Arity plays no part in identity.
      {"p :- q/2; p/3 :- r; q :- p/7", "r | *q p"},
      // Nodes and successors are visited in name order: q then r from p, so
      // the cycle closes after r completes.
      {"q :- p; p :- r, q; r", "r | *q p"},
      // Names compare as unsigned bytes.
      {"\xc3\xa9; a; Z", "Z | a | \xc3\xa9"},
      // A three-cycle entered at its smallest name pops in reverse visit order.
      {"c :- a; a :- b; b :- c, d", "d | *c b a"},
      // A negated predicate comes first, though by name "a" would be visited
      // and completed before "z".
      {"a :- base, !z; z :- base", "base | z | a"},
      // Strata stack up along chains of negation, also through positive
      // edges and names that appear only negated (e lifts d).
      {"a :- !b; b :- c; c :- !d; d :- !e; x :- a; m", "m | d | c | b | a | x"},
      // A negative edge inside a would-be cycle: no positive cycle at all.
      {"q :- !p; p :- q; o", "o | q | p"},
      // A positive and a negated edge to the same name: the negation counts.
      {"a :- b; a :- !b; b :- a0", "a0 | b | a"}};
  for (const auto& [program, expected] : cases) {
    EXPECT_EQ(order(compute_sccs(parse(program))), expected) << program;
  }
}

TEST(SccTest, DeterministicAcrossRunsAndRuleOrder) {
  std::vector<Rule> rules;
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    std::vector<Goal> body;
    for (int j = 0; j < 3; ++j)
      body.push_back(atom("p" + std::to_string(rng() % 200), rng() % 4 == 0));
    rules.push_back(rule("p" + std::to_string(rng() % 200), body));
  }
  const auto first = compute_sccs(rules);
  EXPECT_EQ(order(compute_sccs(rules)), order(first));
  std::shuffle(rules.begin(), rules.end(), rng);
  EXPECT_EQ(order(compute_sccs(rules)), order(first));

  // Every positive edge points to the same or an earlier component.
  std::map<std::string, size_t> at;
  for (const auto& s : first)
    for (const auto& p : s.predicates) at[p] = s.index;
  for (const Rule& r : rules) {
    for (const Goal& g : r.body) {
      const auto& a = std::get<AtomGoal>(g);
      if (!a.negated) {
        EXPECT_LE(at[a.pred_name], at[r.head_pred_name]);
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
  for (int i = 0; i < kLen; ++i) rules.push_back(rule(chain_name(i), {atom(chain_name(i + 1))}));
  auto r = compute_sccs(rules);
  ASSERT_EQ(r.size(), size_t{kLen + 1});
  for (int i = 0; i <= kLen; ++i) {
    ASSERT_EQ(r[i].predicates, std::vector<std::string>{chain_name(kLen - i)});
    ASSERT_FALSE(r[i].is_recursive);
  }
  // Closing the chain into one cycle gives one component.
  rules.push_back(rule(chain_name(kLen), {atom(chain_name(0))}));
  r = compute_sccs(rules);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(r[0].is_recursive);
  EXPECT_EQ(r[0].predicates.size(), size_t{kLen + 1});
  EXPECT_EQ(r[0].predicates.back(), chain_name(0));
  // A chain of negations: every link raises the stratum, against name order.
  rules.clear();
  for (int i = 0; i < kLen; ++i)
    rules.push_back(rule(chain_name(i), {atom(chain_name(i + 1), true)}));
  rules.push_back(rule(chain_name(kLen), {}));
  r = compute_sccs(rules);
  ASSERT_EQ(r.size(), size_t{kLen + 1});
  for (int i = 0; i <= kLen; ++i) ASSERT_EQ(r[i].predicates.front(), chain_name(kLen - i));
}

}  // namespace
}  // namespace ruvo
