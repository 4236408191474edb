// graph_fuzz.cpp - drives the kernel with random operation sequences and checks
// its invariants after every step.  Built for libFuzzer with clang, or with
// random_driver.cpp elsewhere.  One operation grows the graph by up to a few
// thousand nodes at once, so that short inputs reach the paths of large
// graphs (the radix sort, the deeper levels of the build's ready set).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/graph.hpp"
#include "graph_state.hpp"

namespace {

using movra::core::Graph;
using movra::core::IdList;
using movra::core::Node;
using movra::core::NodeIndex;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "kernel invariant broken: %s\n", what);
  std::abort();
}

void require(bool condition, const char* what) {
  if (!condition) fail(what);
}

constexpr std::size_t kMaxBulkNodes = 6000;

std::string bulk_id(std::size_t k) { return "b" + std::to_string(k); }

/// Reads the fuzzer's bytes as a stream of small decisions.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(byte() << 8 | byte()); }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
    return v;
  }
  /// Mostly ids from a small pool, so that operations meet each other; some
  /// of the ids a bulk step makes; sometimes raw bytes, including invalid
  /// UTF-8 and NUL.
  std::string id() {
    const std::uint8_t b = byte();
    if (b < 200) return "n" + std::to_string(b % 20);
    if (b < 232) return bulk_id(u16() % kMaxBulkNodes);
    std::string raw;
    for (int n = b - 232; n > 0 && !empty(); --n) raw += static_cast<char>(byte());
    return raw;
  }
  std::vector<std::string> ids() {
    std::vector<std::string> list(byte() % 7);
    for (auto& id : list) id = this->id();
    return list;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

std::vector<std::string_view> views(const std::vector<std::string>& ids) {
  return {ids.begin(), ids.end()};
}

using Snapshot = std::uint64_t;

Snapshot snapshot(const Graph& g) { return movra::testing::fingerprint(g); }

void check_invariants(const Graph& g) {
  const auto& nodes = g.nodes();
  const std::size_t n = nodes.size();
  require(g.size() == n, "size");
  for (std::size_t i = 0; i < n; ++i) {
    auto found = g.idx(nodes[i].id);
    require(found.ok() && *found == i, "id map resolves every id to its node");
    const auto deps = nodes[i].deps.view();
    for (std::size_t k = 0; k < deps.size(); ++k) {
      require(deps[k] < n && deps[k] != i, "deps valid");
      require(std::find(deps.begin(), deps.begin() + k, deps[k]) == deps.begin() + k,
              "deps without repeats");
    }
  }
  if (!g.built()) return;
  const auto order = g.order();
  const auto position = g.position();
  require(order.size() == n && position.size() == n, "order and position cover every node");
  for (std::size_t k = 0; k < n; ++k) {
    require(order[k] < n && position[order[k]] == k, "position inverts order");
    for (NodeIndex d : nodes[order[k]].deps) require(position[d] < k, "deps come first");
  }
  // Visiting the nodes in index order lists each node's dependents ascending.
  std::vector<std::vector<NodeIndex>> expected(n);
  for (std::size_t j = 0; j < n; ++j)
    for (NodeIndex d : nodes[j].deps) expected[d].push_back(static_cast<NodeIndex>(j));
  for (std::size_t i = 0; i < n; ++i) {
    const auto got = g.dependents(static_cast<NodeIndex>(i));
    require(std::equal(got.begin(), got.end(), expected[i].begin(), expected[i].end()),
            "dependents mirror deps, ascending");
  }
}

/// A listing in topological order: distinct nodes by ascending position.
void check_sorted(const Graph& g, const IdList& list) {
  const auto position = g.position();
  for (std::size_t k = 1; k < list.size(); ++k)
    require(position[list.indices()[k - 1]] < position[list.indices()[k]], "listing in order");
}

template <class T>
bool settle(const movra::core::Result<T>& result, const Snapshot& before, const Graph& g) {
  if (result.ok()) return true;
  require(!result.error().message().empty(), "every error has a message");
  require(snapshot(g) == before, "a failed call changes nothing");
  return false;
}

std::uint64_t fold(const Graph& g, const Node& node) {
  std::uint64_t h = movra::core::kSignatureSeed;
  for (NodeIndex d : node.deps) h = (h ^ g.stamp(d)) * movra::core::kSignaturePrime;
  return h;
}

/// Adds up to a few thousand nodes named by bulk_id, each depending on up to
/// three earlier bulk nodes picked by a generator the input seeds.
void grow(Graph& g, Input& in) {
  static constexpr const char* kKinds[] = {"input", "source", "reactive", "view"};
  const std::size_t first = g.size();
  const std::size_t count = std::min<std::size_t>(in.u16() % 4096, kMaxBulkNodes - std::min(first, kMaxBulkNodes));
  std::uint64_t seed = in.u64() | 1;
  const auto next = [&] { return seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; };
  for (std::size_t k = first; k < first + count; ++k) {
    const std::string id = bulk_id(k);
    if (!g.add_node(id, kKinds[next() >> 62]).ok()) continue;
    std::vector<std::string> deps;
    for (std::uint64_t d = (next() >> 33) % 4; d > 0 && k > first; --d)
      deps.push_back(bulk_id(first + (next() >> 33) % (k - first)));
    require(g.set_deps(id, views(deps)).ok(), "deps on earlier bulk nodes are accepted");
  }
}

void step(Graph& g, Input& in) {
  static constexpr const char* kKinds[] = {"input", "source", "reactive", "view", "Input", ""};
  const Snapshot before = snapshot(g);
  const std::size_t size_before = g.size();
  const std::uint64_t clock_before = g.clock();
  const std::uint8_t operation = in.byte() % 13;
  switch (operation) {
    case 0: {
      const std::string id = in.id();
      (void)settle(g.add_node(id, kKinds[in.byte() % 6]), before, g);
      break;
    }
    case 1: {
      const std::string id = in.id();
      const auto deps = in.ids();
      if (settle(g.set_deps(id, views(deps)), before, g)) require(!g.built(), "set_deps unbuilds");
      break;
    }
    case 2: {
      const auto result = g.build();
      if (result.ok()) require(g.built(), "build builds");
      else require(!g.built(), "a graph with a cycle stays unbuilt");
      break;
    }
    case 3: {
      for (const auto& list : {g.topo_order(), g.views(), g.dirty_nodes()})
        if (settle(list, before, g)) check_sorted(g, *list);
      break;
    }
    case 4: {
      const std::string id = in.id();
      auto list = g.downstream(id);
      if (settle(list, before, g)) {
        check_sorted(g, *list);
        for (std::size_t k = 0; k < list->size(); ++k) require((*list)[k] != id, "strictly below");
      }
      break;
    }
    case 5:
    case 6: {
      const auto seeds = in.ids();
      const bool mark = in.byte() & 1;
      auto list = mark ? g.mark_dirty(views(seeds)) : g.dirty_subgraph(views(seeds));
      if (!settle(list, before, g)) break;
      check_sorted(g, *list);
      for (const auto& seed : seeds) require(*g.idx(seed) < g.size(), "seeds resolved");
      if (mark)
        for (NodeIndex i : list->indices())
          require(g.state(i) == movra::core::NodeState::Dirty, "marked dirty");
      break;
    }
    case 7: {
      const std::string id = in.id();
      (void)settle(in.byte() & 1 ? g.set_dirty(id) : g.set_computing(id), before, g);
      break;
    }
    case 8: {
      const std::string id = in.id();
      const std::uint64_t value = in.u64();
      switch (in.byte() % 4) {
        case 0: (void)settle(g.set_clean(id, value), before, g); break;
        case 1: (void)settle(g.skip_node(id, value), before, g); break;
        case 2:
          if (settle(g.commit_node(id, value), before, g)) {
            require(g.clock() == clock_before + 1, "commit advances the clock");
            const NodeIndex i = *g.idx(id);
            if (g.nodes()[i].kind != movra::core::NodeKind::Input)
              require(g.stamp(i) == g.clock(), "commit stamps the epoch");
          }
          break;
        default:
          if (settle(g.commit_input(id, value), before, g)) {
            const NodeIndex i = *g.idx(id);
            if (g.nodes()[i].kind == movra::core::NodeKind::Input)
              require(g.stamp(i) == value, "commit_input stamps the hash");
          }
      }
      break;
    }
    case 9: {
      const std::string id = in.id();
      auto check = g.check_node(id);
      if (settle(check, before, g)) {
        const Node& node = g.nodes()[*g.idx(id)];
        require(check->signature == fold(g, node), "signature is the fold");
        require(check->needs_recompute == !(node.has_signature && node.signature == check->signature),
                "decision compares signatures");
      }
      (void)settle(g.needs_recompute(id, in.u64()), before, g);
      break;
    }
    case 10: {
      const std::string id = in.id();
      const bool known = g.contains(id);
      require(known == g.kind_of(id).ok() && known == g.state_of(id).ok(), "lookups agree");
      (void)settle(g.deps_of(id), before, g);
      break;
    }
    case 11:
      grow(g, in);
      break;
    default: {
      const IdList all = g.node_ids();
      require(all.size() == g.size(), "node_ids lists every node");
    }
  }
  require(g.size() >= size_before, "nodes are never removed");
  // The structure only changes in declaring steps and builds; checking it
  // after every other step as well would make large graphs too slow to fuzz.
  constexpr std::uint8_t kDeclaring[] = {0, 1, 2, 11};
  if (g.size() <= 256 || std::find(std::begin(kDeclaring), std::end(kDeclaring), operation) != std::end(kDeclaring))
    check_invariants(g);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Graph graph({0x0123456789abcdefULL, 0xfedcba9876543210ULL});
  Input in(data, size);
  while (!in.empty()) step(graph, in);
  return 0;
}
