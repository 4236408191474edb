// order.cpp - build: reverse edges, cycle check and the cached topological order.
#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <utility>

#include "graph.hpp"

namespace movra::core {

// Counts first, then fills one flat array: visiting the nodes in index order
// leaves every node's dependents ascending, and the whole pass allocates twice
// instead of growing one array per node.
Graph::ReverseEdges Graph::reverse_edges() const {
  const std::size_t n = nodes_.size();
  ReverseEdges edges;
  auto& start = edges.start;
  start.assign(n + 1, 0);
  for (const Node& node : nodes_)
    for (const NodeIndex d : node.deps) ++start[d + 1];
  for (std::size_t i = 0; i < n; ++i) start[i + 1] += start[i];

  edges.dependents.resize(start[n]);
  // Fill through start[d] as a cursor, which leaves it pointing at the start
  // of node d + 1; shifting it by one slot restores it.
  for (std::size_t i = 0; i < n; ++i)
    for (const NodeIndex d : nodes_[i].deps) edges.dependents[start[d]++] = static_cast<NodeIndex>(i);
  for (std::size_t i = n; i > 0; --i) start[i] = start[i - 1];
  start[0] = 0;
  return edges;
}

namespace {

/// The ready set of the build: a set of node indices below n that gives up
/// its smallest member first.  A tree of 64-bit words, each bit of a word
/// saying whether the word below it has any bit set, so that inserting and
/// taking the minimum cost one step per level (four levels for 16 million
/// nodes) instead of a binary heap's scattered sift over log2(n) levels.
class MinIndexSet {
 public:
  explicit MinIndexSet(std::size_t n) {
    do {
      n = std::max<std::size_t>((n + 63) / 64, 1);
      levels_.emplace_back(n, 0);
    } while (n > 1);
  }

  bool empty() const noexcept { return levels_.back()[0] == 0; }

  void insert(NodeIndex i) noexcept {
    std::size_t at = i;
    for (auto& level : levels_) {
      const std::uint64_t bit = std::uint64_t{1} << (at % 64);
      const bool was_empty = level[at / 64] == 0;
      level[at / 64] |= bit;
      if (!was_empty) return;  // the levels above already know this word
      at /= 64;
    }
  }

  NodeIndex take_min() noexcept {
    std::size_t at = 0;
    for (std::size_t l = levels_.size(); l-- > 0;)
      at = at * 64 + static_cast<std::size_t>(std::countr_zero(levels_[l][at]));
    const auto min = static_cast<NodeIndex>(at);
    for (auto& level : levels_) {
      level[at / 64] &= ~(std::uint64_t{1} << (at % 64));
      if (level[at / 64] != 0) break;  // the word still has members
      at /= 64;
    }
    return min;
  }

 private:
  std::vector<std::vector<std::uint64_t>> levels_;  // leaves first
};

}  // namespace

// Kahn's algorithm with the ready set ordered by index: always placing the
// smallest ready index gives the lexicographically smallest order by
// insertion index, whatever order the dependents are visited in.
Status Graph::build() {
  // Everything is made aside and swapped in at the end, so that running out
  // of memory half-way leaves the graph as it was.
  ReverseEdges edges = reverse_edges();
  const std::size_t n = nodes_.size();
  const auto dependents_of = [&](NodeIndex i) {
    return std::span(edges.dependents).subspan(edges.start[i], edges.start[i + 1] - edges.start[i]);
  };

  std::vector<NodeIndex> in_degree(n);
  MinIndexSet ready(n);
  for (std::size_t i = 0; i < n; ++i) {
    in_degree[i] = static_cast<NodeIndex>(nodes_[i].deps.size());
    if (in_degree[i] == 0) ready.insert(static_cast<NodeIndex>(i));
  }
  std::vector<NodeIndex> order;
  order.reserve(n);
  while (!ready.empty()) {
    const NodeIndex placed = ready.take_min();
    order.push_back(placed);
    for (const NodeIndex j : dependents_of(placed))
      if (--in_degree[j] == 0) ready.insert(j);
  }

  if (order.size() < n) {
    std::vector<std::string> unplaced;
    for (std::size_t i = 0; i < n; ++i)
      if (in_degree[i] != 0) unplaced.push_back(nodes_[i].id);
    GraphError cycle = GraphError::cycle(std::move(unplaced));
    take(std::move(edges));
    return cycle;
  }

  std::vector<NodeIndex> position(n);
  for (std::size_t k = 0; k < n; ++k) position[order[k]] = static_cast<NodeIndex>(k);
  take(std::move(edges));
  order_ = std::move(order);
  position_ = std::move(position);
  built_ = true;
  return Done{};
}

void Graph::take(ReverseEdges&& edges) noexcept {
  dependents_start_ = std::move(edges.start);
  dependents_ = std::move(edges.dependents);
}

namespace {

// Sorts distinct keys below 2^32 in O(k) passes of 11 bits each.
void radix_sort(std::vector<NodeIndex>& keys, NodeIndex max_key) {
  constexpr unsigned kBits = 11;
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  std::vector<NodeIndex> sorted(keys.size());
  for (unsigned shift = 0; (std::uint64_t{max_key} >> shift) != 0; shift += kBits) {
    std::array<std::size_t, kBuckets> start{};
    for (const NodeIndex key : keys) ++start[(key >> shift) & (kBuckets - 1)];
    std::size_t total = 0;
    for (std::size_t& s : start) total += std::exchange(s, total);
    for (const NodeIndex key : keys) sorted[start[(key >> shift) & (kBuckets - 1)]++] = key;
    keys.swap(sorted);
  }
}

// Below this many nodes a comparison sort beats the radix passes.
constexpr std::size_t kRadixThreshold = 1024;

}  // namespace

IdList Graph::sorted_ids(std::vector<NodeIndex> nodes) const {
  // Positions are distinct per node, so sorting them and reading the nodes
  // back from the order is the stable sort by position, without pairs.
  for (NodeIndex& i : nodes) i = position_[i];
  if (nodes.size() < kRadixThreshold)
    std::sort(nodes.begin(), nodes.end());
  else
    radix_sort(nodes, static_cast<NodeIndex>(order_.size() - 1));
  for (NodeIndex& p : nodes) p = order_[p];
  return {*this, std::move(nodes)};
}

Result<IdList> Graph::topo_order() const {
  if (!built_) return GraphError::not_built();
  return IdList(*this, order_);
}

IdList Graph::filter_order(bool (*keep)(const Graph&, NodeIndex)) const {
  std::vector<NodeIndex> kept;
  for (const NodeIndex i : order_)
    if (keep(*this, i)) kept.push_back(i);
  return {*this, std::move(kept)};
}

Result<IdList> Graph::views() const {
  if (!built_) return GraphError::not_built();
  return filter_order([](const Graph& g, NodeIndex i) { return g.nodes_[i].kind == NodeKind::View; });
}

}  // namespace movra::core
