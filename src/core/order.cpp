// order.cpp - build: reverse edges, cycle check and the cached topological order.
#include <algorithm>
#include <functional>

#include "graph.hpp"

namespace movra::core {

std::span<const NodeIndex> Graph::dependents(NodeIndex i) const noexcept {
  return std::span(dependents_).subspan(dependents_start_[i],
                                        dependents_start_[i + 1] - dependents_start_[i]);
}

// Counts first, then fills one flat array: visiting the nodes in index order
// leaves every node's dependents ascending, and the whole pass allocates twice
// instead of growing one array per node.
void Graph::rebuild_dependents() {
  const std::size_t n = nodes_.size();
  dependents_start_.assign(n + 1, 0);
  for (const Node& node : nodes_)
    for (const NodeIndex d : node.deps) ++dependents_start_[d + 1];
  for (std::size_t i = 0; i < n; ++i) dependents_start_[i + 1] += dependents_start_[i];

  dependents_.resize(dependents_start_[n]);
  // Fill through dependents_start_[d] as a cursor, which leaves it pointing at
  // the start of node d + 1; shifting it by one slot restores it.
  for (std::size_t i = 0; i < n; ++i)
    for (const NodeIndex d : nodes_[i].deps)
      dependents_[dependents_start_[d]++] = static_cast<NodeIndex>(i);
  for (std::size_t i = n; i > 0; --i) dependents_start_[i] = dependents_start_[i - 1];
  dependents_start_[0] = 0;
}

// Kahn's algorithm with a min-heap as the ready set: always placing the
// smallest ready index gives the lexicographically smallest order by
// insertion index, whatever order the dependents are visited in.
Status Graph::build() {
  rebuild_dependents();
  const std::size_t n = nodes_.size();

  std::vector<NodeIndex> in_degree(n);
  std::vector<NodeIndex> ready;
  for (std::size_t i = 0; i < n; ++i) {
    in_degree[i] = static_cast<NodeIndex>(nodes_[i].deps.size());
    if (in_degree[i] == 0) ready.push_back(static_cast<NodeIndex>(i));
  }
  // Ascending indices already form a valid min-heap.
  constexpr auto later = std::greater<NodeIndex>{};
  std::vector<NodeIndex> order;
  order.reserve(n);
  while (!ready.empty()) {
    std::pop_heap(ready.begin(), ready.end(), later);
    const NodeIndex placed = ready.back();
    ready.pop_back();
    order.push_back(placed);
    for (const NodeIndex j : dependents(placed)) {
      if (--in_degree[j] == 0) {
        ready.push_back(j);
        std::push_heap(ready.begin(), ready.end(), later);
      }
    }
  }

  if (order.size() < n) {
    std::vector<std::string> unplaced;
    for (std::size_t i = 0; i < n; ++i)
      if (in_degree[i] != 0) unplaced.push_back(nodes_[i].id);
    return GraphError::cycle(std::move(unplaced));
  }

  std::vector<NodeIndex> position(n);
  for (std::size_t k = 0; k < n; ++k) position[order[k]] = static_cast<NodeIndex>(k);
  order_ = std::move(order);
  position_ = std::move(position);
  built_ = true;
  return Done{};
}

IdList Graph::sorted_ids(std::vector<NodeIndex> nodes) const {
  // Positions are distinct per node, so sorting them and reading the nodes
  // back from the order is the stable sort by position, without pairs.
  for (NodeIndex& i : nodes) i = position_[i];
  std::sort(nodes.begin(), nodes.end());
  for (NodeIndex& p : nodes) p = order_[p];
  return {*this, std::move(nodes)};
}

Result<IdList> Graph::topo_order() const {
  if (!built_) return GraphError::not_built();
  return IdList(*this, order_);
}

IdList Graph::filter_order(bool (*keep)(const Node&)) const {
  std::vector<NodeIndex> kept;
  for (const NodeIndex i : order_)
    if (keep(nodes_[i])) kept.push_back(i);
  return {*this, std::move(kept)};
}

Result<IdList> Graph::views() const {
  if (!built_) return GraphError::not_built();
  return filter_order([](const Node& n) { return n.kind == NodeKind::View; });
}

}  // namespace movra::core
