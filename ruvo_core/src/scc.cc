// Strongly connected components of the positive predicate dependency graph,
// with a deterministic numbering of the nodes that puts every predicate a
// rule negates before the rules that negate it.
#include "ruvo_core/src/scc.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>

namespace ruvo {
namespace {

constexpr size_t kUnvisited = std::numeric_limits<size_t>::max();

// Tarjan's algorithm over nodes 0..n-1 with successors adj[v], visiting
// roots in increasing node number and successors in list order. The depth
// first search runs on an explicit stack, so any chain length is fine; it
// makes exactly the moves of the recursive formulation. Returns the
// components in completion order, each in the order its members were popped.
std::vector<std::vector<size_t>> tarjan(const std::vector<std::vector<size_t>>& adj) {
  const size_t n = adj.size();
  std::vector<size_t> stack;
  std::vector<bool> on_stack(n, false);
  std::vector<size_t> index(n, kUnvisited);
  std::vector<size_t> lowlink(n, 0);
  std::vector<std::vector<size_t>> sccs;
  size_t counter = 0;

  struct Frame {
    size_t v;
    size_t next;  // position of the next successor to look at
  };
  std::vector<Frame> frames;

  auto enter = [&](size_t v) {
    index[v] = lowlink[v] = counter++;
    stack.push_back(v);
    on_stack[v] = true;
    frames.push_back(Frame{v, 0});
  };

  for (size_t root = 0; root < n; ++root) {
    if (index[root] != kUnvisited) continue;
    enter(root);
    while (!frames.empty()) {
      Frame& f = frames.back();
      const size_t v = f.v;
      if (f.next < adj[v].size()) {
        const size_t w = adj[v][f.next++];
        if (index[w] == kUnvisited) {
          enter(w);  // invalidates f; lowlink[v] is updated when w returns
        } else if (on_stack[w]) {
          lowlink[v] = std::min(lowlink[v], index[w]);
        }
        continue;
      }
      // All successors done: close v, then report back to its caller.
      if (lowlink[v] == index[v]) {
        std::vector<size_t> members;
        size_t m;
        do {
          m = stack.back();
          stack.pop_back();
          on_stack[m] = false;
          members.push_back(m);
        } while (m != v);
        sccs.push_back(std::move(members));
      }
      frames.pop_back();
      if (!frames.empty()) {
        const size_t u = frames.back().v;
        lowlink[u] = std::min(lowlink[u], lowlink[v]);
      }
    }
  }
  return sccs;
}

struct Dependency {
  size_t to;
  bool negated;
};

}  // namespace

std::vector<Scc> compute_sccs(const std::vector<Rule>& rules) {
  // Every predicate name met anywhere (heads, positive and negated body
  // atoms), numbered in order of appearance. Views point into `rules`.
  std::unordered_map<std::string_view, size_t> id_of;
  std::vector<std::string_view> names;
  std::vector<bool> in_positive_graph;
  std::vector<std::vector<Dependency>> deps;  // head -> body atoms, both kinds

  auto intern = [&](std::string_view name) {
    auto [it, fresh] = id_of.try_emplace(name, names.size());
    if (fresh) {
      names.push_back(name);
      in_positive_graph.push_back(false);
      deps.emplace_back();
    }
    return it->second;
  };

  for (const Rule& rule : rules) {
    const size_t head = intern(rule.head_pred_name);
    in_positive_graph[head] = true;
    for (const Goal& goal : rule.body) {
      const auto* atom = std::get_if<AtomGoal>(&goal);
      if (atom == nullptr) continue;
      const size_t body = intern(atom->pred_name);
      if (!atom->negated) in_positive_graph[body] = true;
      deps[head].push_back(Dependency{body, atom->negated});
    }
  }
  const size_t total = names.size();

  // Negation strata over the graph of all dependencies: the most negations
  // on any path leaving a name, where a negation inside a cycle counts
  // nothing. Components of that graph complete dependencies first, so one
  // pass in completion order sees every successor's stratum finished.
  std::vector<uint64_t> stratum(total, 0);
  {
    std::vector<std::vector<size_t>> all_adj(total);
    for (size_t u = 0; u < total; ++u) {
      all_adj[u].reserve(deps[u].size());
      for (const Dependency& d : deps[u]) all_adj[u].push_back(d.to);
    }
    std::vector<std::vector<size_t>> comps = tarjan(all_adj);
    std::vector<size_t> comp_of(total);
    for (size_t c = 0; c < comps.size(); ++c) {
      for (size_t m : comps[c]) comp_of[m] = c;
    }
    for (size_t c = 0; c < comps.size(); ++c) {
      uint64_t s = 0;
      for (size_t m : comps[c]) {
        for (const Dependency& d : deps[m]) {
          const size_t dc = comp_of[d.to];
          if (dc == c) continue;
          s = std::max(s, stratum[comps[dc].front()] + (d.negated ? 1 : 0));
        }
      }
      for (size_t m : comps[c]) stratum[m] = s;
    }
  }

  // Node numbers of the positive graph: ascending (stratum, name bytes).
  std::vector<size_t> order;  // node number -> name id
  for (size_t u = 0; u < total; ++u) {
    if (in_positive_graph[u]) order.push_back(u);
  }
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (stratum[a] != stratum[b]) return stratum[a] < stratum[b];
    return names[a] < names[b];
  });
  std::vector<size_t> node_of(total, kUnvisited);
  for (size_t i = 0; i < order.size(); ++i) node_of[order[i]] = i;

  // Positive edges as a set per node, successors in ascending node number.
  std::vector<std::vector<size_t>> adj(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    for (const Dependency& d : deps[order[i]]) {
      if (!d.negated) adj[i].push_back(node_of[d.to]);
    }
    std::sort(adj[i].begin(), adj[i].end());
    adj[i].erase(std::unique(adj[i].begin(), adj[i].end()), adj[i].end());
  }

  std::vector<std::vector<size_t>> sccs = tarjan(adj);
  std::vector<Scc> out;
  out.reserve(sccs.size());
  for (size_t i = 0; i < sccs.size(); ++i) {
    const std::vector<size_t>& members = sccs[i];
    Scc scc;
    scc.index = i;
    scc.predicates.reserve(members.size());
    for (size_t m : members) scc.predicates.emplace_back(names[order[m]]);
    if (members.size() >= 2) {
      scc.is_recursive = true;
    } else {
      const size_t m = members.front();
      scc.is_recursive = std::binary_search(adj[m].begin(), adj[m].end(), m);
    }
    out.push_back(std::move(scc));
  }
  return out;
}

}  // namespace ruvo
