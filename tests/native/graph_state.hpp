// graph_state.hpp - everything observable about a kernel graph, as one value,
// so that tests can say "this call changed nothing" with one comparison.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "core/graph.hpp"

namespace movra::testing {

struct GraphState {
  using NodeRecord = std::tuple<std::string, int, int, std::vector<core::NodeIndex>, bool,
                                std::uint64_t, std::uint64_t>;
  /// Per node: id, kind, state, deps, has_signature, signature, stamp.
  std::vector<NodeRecord> nodes;
  /// Per node, what check_node answers: kind, decision, signature.
  std::vector<std::tuple<int, bool, std::uint64_t>> checks;
  bool built = false;
  std::uint64_t clock = 0;
  std::vector<core::NodeIndex> order;
  bool operator==(const GraphState&) const = default;
};

/// Reads every node through the id map as well as by index, so that a map
/// that lost or gained an entry shows up as a difference.
inline GraphState state_of(const core::Graph& g) {
  GraphState s;
  s.built = g.built();
  s.clock = g.clock();
  if (g.built()) s.order.assign(g.order().begin(), g.order().end());
  for (core::NodeIndex i = 0; i < g.size(); ++i) {
    const core::Node& n = g.nodes()[i];
    s.nodes.emplace_back(n.id, static_cast<int>(n.kind), static_cast<int>(g.state(i)),
                         std::vector<core::NodeIndex>(n.deps.begin(), n.deps.end()),
                         n.has_signature, n.signature, g.stamp(i));
    const auto check = g.check_node(n.id);
    if (check.ok())
      s.checks.emplace_back(static_cast<int>(check->kind), check->needs_recompute, check->signature);
    else
      s.checks.emplace_back(-1, false, 0);
  }
  return s;
}

/// The same state folded into 64 bits without allocating, for callers that
/// compare it after every step of a long run (the fuzz target).
inline std::uint64_t fingerprint(const core::Graph& g) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  const auto mix = [&](std::uint64_t v) { h = (h ^ v) * 0x100000001b3ULL; };
  mix(g.size());
  mix(g.built());
  mix(g.clock());
  for (core::NodeIndex i = 0; i < g.size(); ++i) {
    const core::Node& n = g.nodes()[i];
    mix(n.id.size());  // ids never change once added; their count and sizes do
    mix(static_cast<std::uint64_t>(n.kind) << 8 | static_cast<std::uint64_t>(g.state(i)));
    for (const core::NodeIndex d : n.deps) mix(d);
    mix(n.deps.size());
    mix(n.has_signature);
    mix(n.signature);
    mix(g.stamp(i));
  }
  if (g.built())
    for (const core::NodeIndex i : g.order()) mix(i);
  return h;
}

}  // namespace movra::testing
