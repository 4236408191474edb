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
Graph::Reached Graph::closure(std::span<const NodeIndex> seeds) const {
  Reached r{std::vector<std::uint8_t>(nodes_.size(), 0), {}};
  r.nodes.reserve(seeds.size());
  for (const NodeIndex s : seeds) {
    if (!r.visited[s]) {
      r.visited[s] = 1;
      r.nodes.push_back(s);
    }
  }
  for (std::size_t head = 0; head < r.nodes.size(); ++head) {
    for (const NodeIndex j : dependents(r.nodes[head])) {
      if (!r.visited[j]) {
        r.visited[j] = 1;
        r.nodes.push_back(j);
      }
    }
  }
  return r;
}

// A change that reaches a good part of the graph is listed by one pass over
// the cached order, keeping what was reached; sorting the reached nodes by
// position costs more than that once they are more than about one in eight.
IdList Graph::in_order(Reached reached) const {
  if (reached.nodes.size() * 8 < order_.size()) return sorted_ids(std::move(reached.nodes));
  std::vector<NodeIndex>& listed = reached.nodes;
  std::size_t k = 0;
  for (const NodeIndex i : order_)
    if (reached.visited[i]) listed[k++] = i;
  listed.resize(k);
  return {*this, std::move(listed)};
}

Result<IdList> Graph::downstream(std::string_view id) const {
  if (!built_) return GraphError::not_built();
  const auto i = find(id);
  if (!i) return GraphError::unknown_node(id);
  Reached below = closure(std::span(&*i, 1));
  std::erase(below.nodes, *i);
  below.visited[*i] = 0;
  return in_order(std::move(below));
}

Result<IdList> Graph::dirty_subgraph(std::span<const std::string_view> seeds) const {
  if (!built_) return GraphError::not_built();
  auto resolved = resolve_seeds(seeds);
  if (!resolved) return std::move(resolved.error());
  return in_order(closure(*resolved));
}

// The listing is made in full before the first state is written: running out
// of memory while sorting must leave every state as it was.
Result<IdList> Graph::mark_dirty(std::span<const std::string_view> seeds) {
  auto reached = dirty_subgraph(seeds);
  if (reached) set_dirty(*reached);
  return reached;
}

std::vector<NodeIndex> Graph::mark_dirty(std::span<const NodeIndex> seeds) {
  Reached reached = closure(seeds);
  for (const NodeIndex i : reached.nodes) states_[i] = NodeState::Dirty;
  return std::move(reached.nodes);
}

void Graph::set_dirty(const IdList& nodes) noexcept {
  ++id_writes_;
  for (const NodeIndex i : nodes.indices()) states_[i] = NodeState::Dirty;
}

Result<IdList> Graph::dirty_nodes() const {
  if (!built_) return GraphError::not_built();
  return filter_order([](const Graph& g, NodeIndex i) { return g.states_[i] == NodeState::Dirty; });
}

}  // namespace movra::core
