// propagate.cpp - which nodes a change reaches, in topological order.
#include <algorithm>

#include "graph.hpp"

namespace movra::core {

Result<std::vector<NodeIndex>> Graph::resolve_seeds(std::span<const std::string_view> seeds) const {
  const auto found = find_all(seeds);
  std::vector<NodeIndex> resolved;
  resolved.reserve(seeds.size());
  for (std::size_t k = 0; k < seeds.size(); ++k) {
    if (!found[k]) return GraphError::unknown_node(seeds[k]);
    resolved.push_back(*found[k]);
  }
  return resolved;
}

// Breadth-first over the reverse edges.  The vector of reached nodes doubles
// as the FIFO queue: a node is appended when first seen and never again, so
// the queue never wraps and holds the result when the walk ends.
std::vector<NodeIndex> Graph::closure(std::span<const NodeIndex> seeds) const {
  std::vector<std::uint8_t> visited(nodes_.size(), 0);
  std::vector<NodeIndex> reached;
  reached.reserve(seeds.size());
  for (const NodeIndex s : seeds) {
    if (!visited[s]) {
      visited[s] = 1;
      reached.push_back(s);
    }
  }
  for (std::size_t head = 0; head < reached.size(); ++head) {
    for (const NodeIndex j : dependents(reached[head])) {
      if (!visited[j]) {
        visited[j] = 1;
        reached.push_back(j);
      }
    }
  }
  return reached;
}

Result<IdList> Graph::downstream(std::string_view id) const {
  if (!built_) return GraphError::not_built();
  const auto i = find(id);
  if (!i) return GraphError::unknown_node(id);
  std::vector<NodeIndex> below = closure(std::span(&*i, 1));
  std::erase(below, *i);
  return sorted_ids(std::move(below));
}

Result<IdList> Graph::dirty_subgraph(std::span<const std::string_view> seeds) const {
  if (!built_) return GraphError::not_built();
  auto resolved = resolve_seeds(seeds);
  if (!resolved) return std::move(resolved.error());
  return sorted_ids(closure(*resolved));
}

// The listing is made in full before the first state is written: running out
// of memory while sorting must leave every state as it was.
Result<IdList> Graph::mark_dirty(std::span<const std::string_view> seeds) {
  auto reached = dirty_subgraph(seeds);
  if (reached) set_dirty(*reached);
  return reached;
}

void Graph::set_dirty(const IdList& nodes) noexcept {
  for (const NodeIndex i : nodes.indices()) states_[i] = NodeState::Dirty;
}

Result<IdList> Graph::dirty_nodes() const {
  if (!built_) return GraphError::not_built();
  return filter_order([](const Graph& g, NodeIndex i) { return g.states_[i] == NodeState::Dirty; });
}

}  // namespace movra::core
