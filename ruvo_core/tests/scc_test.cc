// Components of the predicate dependency graph: their order (negation
// strata, then names), recursion flags and long chains.
#include "ruvo_core/src/scc.h"

#include <gtest/gtest.h>

#include <sstream>

namespace ruvo {
namespace {

// "name" or "name/arity" (default 1), negated when it starts with '!'.
Goal atom(std::string name) {
  const bool negated = name.starts_with('!');
  if (negated) name.erase(0, 1);
  const size_t slash = name.find('/');
  const uint64_t arity = slash == std::string::npos ? 1 : std::stoull(name.substr(slash + 1));
  return AtomGoal{name.substr(0, slash), arity, negated, {Term::var("X")}};
}

Rule rule(const std::string& head, std::vector<Goal> body) {
  auto h = std::get<AtomGoal>(atom(head));
  return Rule{0, h.pred_name, h.pred_arity, {Term::var("X")}, std::move(body), 1.0, 0.0};
}

// Rules written "p :- q, !r, eq; q :- p; e" (builtin words are builtins).
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
      auto op = builtin_from_word(word);
      body.push_back(op ? Goal(BuiltinGoal{*op, {Term::var("X"), Term::integer(1)}}) : atom(word));
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
    out += (i ? " | " : "") + std::string(sccs[i].is_recursive ? "*" : "");
    for (size_t j = 0; j < sccs[i].predicates.size(); ++j)
      out += (j ? " " : "") + sccs[i].predicates[j];
  }
  return out;
}

TEST(SccTest, OrderOfComponents) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""}, {"p :- q", "q | p"}, {"p :- p", "*p"},
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
  for (const auto& [program, expected] : cases)
    EXPECT_EQ(order(compute_sccs(parse(program))), expected) << program;
}

TEST(SccTest, LongChainsUseNoCallStack) {
  constexpr int kLen = 200000;
  auto name = [](int i) { return "p" + std::to_string(1000000 + i).substr(1); };
  // p000000 <- p000001 <- ... : the deepest name is visited last. With
  // negated links every link raises the stratum, against name order.
  for (const char* neg : {"", "!"}) {
    std::vector<Rule> rules;
    for (int i = 0; i < kLen; ++i) rules.push_back(rule(name(i), {atom(neg + name(i + 1))}));
    rules.push_back(rule(name(kLen), {}));
    auto r = compute_sccs(rules);
    ASSERT_EQ(r.size(), size_t{kLen + 1});
    for (int i = 0; i <= kLen; ++i)
      ASSERT_EQ(std::pair(r[i].predicates, r[i].is_recursive),
                std::pair(std::vector{name(kLen - i)}, false));
    if (*neg) break;
    // Closing the chain into one cycle gives one component.
    rules.push_back(rule(name(kLen), {atom(name(0))}));
    r = compute_sccs(rules);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(std::tuple(r[0].is_recursive, r[0].predicates.size(), r[0].predicates.back()),
              std::tuple(true, size_t{kLen + 1}, name(0)));
  }
}

}  // namespace
}  // namespace ruvo
