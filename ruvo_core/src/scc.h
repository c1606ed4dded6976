// Strongly connected components of the positive predicate dependency graph.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ruvo_core/src/rule.h"

namespace ruvo {

struct Scc {
  std::vector<std::string> predicates;  // pop order; never empty
  size_t index = 0;                     // position in the returned list
  bool is_recursive = false;            // 2+ members, or a self edge
};

// Orders the rules' predicates into components, every component after all
// components it depends on. Nodes are numbered by (negation stratum, name
// bytes) and successors visited in ascending node number, so the result is
// deterministic and a predicate that a rule negates comes before the rules
// that negate it whenever the program is stratifiable. Never fails; uses an
// explicit stack, so dependency chains of any length are fine.
std::vector<Scc> compute_sccs(const std::vector<Rule>& rules);

}  // namespace ruvo
