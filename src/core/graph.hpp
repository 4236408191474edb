// graph.hpp - the kernel graph: registry, order, propagation and memo records.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dep_list.hpp"
#include "error.hpp"
#include "id_map.hpp"
#include "result.hpp"

namespace movra::core {

/// The version of the kernel, reported by kernel_version().
inline constexpr std::string_view kKernelVersion = "1.2.0";

enum class NodeKind : std::uint8_t { Input, Source, Reactive, View };
enum class NodeState : std::uint8_t { Clean, Dirty, Computing };

std::string_view name(NodeKind kind) noexcept;
std::string_view name(NodeState state) noexcept;
std::optional<NodeKind> parse_kind(std::string_view name) noexcept;

/// The dependency signature starts from this value and folds each dependency
/// in with one FNV-style step: h = (h ^ value) * kSignaturePrime.
inline constexpr std::uint64_t kSignatureSeed = 0x14650FB0739D0383ULL;
inline constexpr std::uint64_t kSignaturePrime = 0x100000001B3ULL;

/// What a node is, as declared.  Its state and the value it contributes to
/// its dependents' signatures are kept in dense arrays beside the nodes,
/// because propagation and the signature fold read them for many nodes at a
/// time.
struct Node {
  std::string id;
  /// Inbound edges in declared order, without repeats or the node itself.
  DepList deps;
  /// The memo key the node was last made clean under, if has_signature.
  std::uint64_t signature = 0;
  NodeKind kind;
  bool has_signature = false;
};

/// What check_node answers for one node.
struct Check {
  NodeKind kind;
  bool needs_recompute;
  std::uint64_t signature;
};

class Graph;

/// Node ids in a chosen order, read from the graph on demand so that each id
/// is copied once, by whoever consumes the list.
class IdList {
 public:
  IdList(const Graph& graph, std::vector<NodeIndex> nodes) noexcept
      : graph_(&graph), nodes_(std::move(nodes)) {}
  std::size_t size() const noexcept { return nodes_.size(); }
  std::string_view operator[](std::size_t i) const noexcept;
  /// Hints that id i will be read soon; long lists are read in an order
  /// unrelated to where their nodes lie in memory.
  void prefetch(std::size_t i) const noexcept;
  const std::vector<NodeIndex>& indices() const noexcept { return nodes_; }

 private:
  const Graph* graph_;
  std::vector<NodeIndex> nodes_;
};

/// The bookkeeping of one reactive graph.  Nodes are referred to by index
/// (their place in insertion order, which never changes); ids are resolved
/// once, at the edge of each operation.  Every operation checks everything
/// before it changes anything, so a failed call leaves the graph as it was.
class Graph {
 public:
  /// An empty graph whose id registry has a key of its own, unpredictable
  /// from outside the process.
  Graph();
  explicit Graph(HashKey key) noexcept : index_(key) {}

  // Registry.
  std::size_t size() const noexcept { return nodes_.size(); }
  bool contains(std::string_view id) const noexcept { return find(id).has_value(); }
  Result<NodeIndex> idx(std::string_view id) const;
  std::string_view id_of(NodeIndex i) const noexcept { return nodes_[i].id; }
  Status add_node(std::string_view id, std::string_view kind);
  Status set_deps(std::string_view id, std::span<const std::string_view> deps);
  IdList node_ids() const;
  Result<NodeKind> kind_of(std::string_view id) const;
  Result<NodeState> state_of(std::string_view id) const;
  Result<IdList> deps_of(std::string_view id) const;

  // Build and topological order.
  bool built() const noexcept { return built_; }
  Status build();
  Result<IdList> topo_order() const;
  Result<IdList> views() const;
  /// The ids of `nodes` in topological order; needs a built graph.
  IdList sorted_ids(std::vector<NodeIndex> nodes) const;

  // Change propagation.
  Result<IdList> downstream(std::string_view id) const;
  Result<IdList> dirty_subgraph(std::span<const std::string_view> seeds) const;
  Result<IdList> mark_dirty(std::span<const std::string_view> seeds);
  /// Sets every listed node dirty: the second half of mark_dirty, for a
  /// caller that has more to prepare between the listing and the writes.
  void set_dirty(const IdList& nodes) noexcept;
  Result<IdList> dirty_nodes() const;

  // State transitions and commits.
  Status set_dirty(std::string_view id);
  Status set_computing(std::string_view id);
  Status set_clean(std::string_view id, std::uint64_t hash);
  Status skip_node(std::string_view id, std::uint64_t signature);
  Status commit_node(std::string_view id, std::uint64_t signature);
  Status commit_input(std::string_view id, std::uint64_t content_hash);

  // The same transitions by index, for a driver that resolved its ids once
  // (nodes < size(); check needs a built graph).
  Check check(NodeIndex i) const noexcept {
    const Node& n = nodes_[i];
    const std::uint64_t s = dependency_signature(n);
    return Check{n.kind, !(n.has_signature && n.signature == s), s};
  }
  void set_state(NodeIndex i, NodeState state) noexcept { states_[i] = state; }
  void make_clean(NodeIndex i, std::uint64_t signature) noexcept {
    states_[i] = NodeState::Clean;
    nodes_[i].signature = signature;
    nodes_[i].has_signature = true;
  }
  void commit(NodeIndex i, std::uint64_t signature) noexcept {
    make_clean(i, signature);
    ++clock_;
    if (nodes_[i].kind != NodeKind::Input) stamps_[i] = clock_;
  }
  void commit_input(NodeIndex i, std::uint64_t content_hash) noexcept {
    make_clean(i, content_hash);
    if (nodes_[i].kind == NodeKind::Input) stamps_[i] = content_hash;
  }
  /// Marks dirty every node `seeds` reach, and returns them; the listing is
  /// made (and may run out of memory) before the first state is written.
  std::vector<NodeIndex> mark_dirty(std::span<const NodeIndex> seeds);

  // Recompute decision.
  Result<bool> needs_recompute(std::string_view id, std::uint64_t input_hash) const;
  Result<Check> check_node(std::string_view id) const;

  // Read-only views for tests and tools that check the kernel's invariants.
  const std::vector<Node>& nodes() const noexcept { return nodes_; }
  NodeState state(NodeIndex i) const noexcept { return states_[i]; }
  /// What node i folds as in its dependents' signatures.
  std::uint64_t stamp(NodeIndex i) const noexcept { return stamps_[i]; }
  std::span<const NodeIndex> dependents(NodeIndex i) const noexcept {
    return std::span(dependents_).subspan(dependents_start_[i],
                                          dependents_start_[i + 1] - dependents_start_[i]);
  }
  std::span<const NodeIndex> order() const noexcept { return order_; }
  std::span<const NodeIndex> position() const noexcept { return position_; }
  std::uint64_t clock() const noexcept { return clock_; }
  /// Counts the state changes made through the id-based operations, so that
  /// a driver using the index-based ones notices changes made behind it.
  std::uint64_t id_writes() const noexcept { return id_writes_; }

 private:
  /// How the id map reads the id it compares with: from the node itself.
  auto id_reader() const noexcept {
    return [this](NodeIndex i) { return std::string_view(nodes_[i].id); };
  }
  std::optional<NodeIndex> find(std::string_view id) const noexcept;
  std::vector<std::optional<NodeIndex>> find_all(std::span<const std::string_view> ids) const;
  Result<std::vector<NodeIndex>> resolve_seeds(std::span<const std::string_view> seeds) const;
  void reserve_for_one_more();
  Status set_state(std::string_view id, NodeState state);
  Result<NodeIndex> make_clean(std::string_view id, std::uint64_t signature);
  /// Reverse edges of every node in one array: those of node i are
  /// dependents[start[i] .. start[i + 1]).
  struct ReverseEdges {
    std::vector<std::size_t> start;
    std::vector<NodeIndex> dependents;
  };
  ReverseEdges reverse_edges() const;
  void take(ReverseEdges&& edges) noexcept;
  /// What a change reaches: the nodes in the order they were found, and a
  /// flag per node of the graph.
  struct Reached {
    std::vector<std::uint8_t> visited;
    std::vector<NodeIndex> nodes;
  };
  Reached closure(std::span<const NodeIndex> seeds) const;
  IdList in_order(Reached reached) const;
  IdList filter_order(bool (*keep)(const Graph&, NodeIndex)) const;
  std::uint64_t dependency_signature(const Node& node) const noexcept;

  std::vector<Node> nodes_;
  std::vector<NodeState> states_;
  /// Per node, the value its dependents fold: an input's content hash (0
  /// until commit_input), any other node's epoch (the clock at its last
  /// commit_node, 0 before).  The other of the two is never read, so it is
  /// not kept.
  std::vector<std::uint64_t> stamps_;
  IdMap index_;
  std::vector<NodeIndex> order_;
  std::vector<NodeIndex> position_;
  /// The reverse edges of the last build (see ReverseEdges).
  std::vector<std::size_t> dependents_start_;
  std::vector<NodeIndex> dependents_;
  std::uint64_t clock_ = 0;
  std::uint64_t id_writes_ = 0;
  bool built_ = false;
};

inline std::string_view IdList::operator[](std::size_t i) const noexcept {
  return graph_->id_of(nodes_[i]);
}

inline void IdList::prefetch(std::size_t i) const noexcept {
  if (i < nodes_.size()) core::prefetch(&graph_->nodes()[nodes_[i]]);
}

}  // namespace movra::core
