// alloc_sweep.cpp - every kernel operation under memory exhaustion.
//
// For each operation on graphs of several sizes (either side of the growth
// steps of the node arrays and the id map, the radix-sort threshold and the
// levels of the build's ready set), the k-th allocation of the call is made
// to fail, for k = 0, 1, 2, ... until the call no longer allocates that many
// times.  After each failure:
//  1. the graph must be exactly as before the call;
//  2. the same call, retried while every allocation still fails, must fail
//     the same way or, if it needs no memory, succeed exactly as it should;
//  3. with memory back, the call must give what it gives on an untouched
//     graph, and leave the graph as it leaves an untouched one.
// Exits non-zero on the first broken rule.
#include <chrono>
#include <type_traits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/graph.hpp"
#include "graph_state.hpp"

extern "C" void movra_fail_allocations_after(std::int64_t k) noexcept;

namespace {

using movra::core::Graph;
using movra::core::IdList;
using movra::core::Result;
using movra::testing::state_of;

struct Shape {
  std::size_t nodes;
  bool built;
};

// 16 and 48 fill the node arrays to their capacity; 12 and 13 straddle the
// id map's first growth; 1100 takes the radix sort; 4200 needs three levels
// in the build's ready set.
constexpr Shape kShapes[] = {{0, false}, {5, true}, {12, true},  {13, false},
                             {16, true}, {16, false}, {48, true}, {1100, true}, {4200, true}};

std::string id_of(std::size_t i) {
  // Every third id is too long for the short-string buffer, so copying it
  // allocates.
  return i % 3 == 0 ? "a_node_with_a_long_id_" + std::to_string(i) : "n" + std::to_string(i);
}

Graph make(const Shape& shape) {
  Graph g({0x5eed, 0xfeed});
  std::mt19937_64 random(shape.nodes);
  constexpr const char* kKinds[] = {"input", "source", "reactive", "view"};
  for (std::size_t i = 0; i < shape.nodes; ++i)
    (void)g.add_node(id_of(i), i < 3 ? "input" : kKinds[random() % 4]);
  for (std::size_t i = 3; i < shape.nodes; ++i) {
    std::vector<std::string> deps(random() % 7);
    for (auto& d : deps) d = id_of(random() % i);
    (void)g.set_deps(id_of(i), std::vector<std::string_view>(deps.begin(), deps.end()));
  }
  if (!shape.built) return g;
  (void)g.build();
  for (std::size_t i = 0; i < shape.nodes; i += 2) {
    if (i < 3)
      (void)g.commit_input(id_of(i), i);
    else
      (void)g.commit_node(id_of(i), i);
  }
  if (shape.nodes > 7) (void)g.set_computing(id_of(7));
  return g;
}

// What a call returned, as text, so that two runs can be compared.  The call
// is over when its result is read, so memory comes back first: a failure
// while writing the text down is not the kernel's.
std::string digest(const Result<IdList>& r) {
  movra_fail_allocations_after(-1);
  if (!r) return "error: " + r.error().message();
  std::string text;
  for (std::size_t i = 0; i < r->size(); ++i) (text += (*r)[i]) += ',';
  return text;
}
template <class T>
std::string digest(const Result<T>& r) {
  movra_fail_allocations_after(-1);
  if (!r) return "error: " + r.error().message();
  if constexpr (std::is_same_v<T, movra::core::Check>)
    return std::to_string(static_cast<int>(r->kind)) + (r->needs_recompute ? " yes " : " no ") +
           std::to_string(r->signature);
  else if constexpr (std::is_same_v<T, movra::core::Done>)
    return "done";
  else
    return std::to_string(static_cast<long long>(*r));
}

using Call = std::function<std::string(Graph&, std::size_t n)>;
struct Operation {
  const char* name;
  Call call;
};

std::vector<std::string_view> views(const std::vector<std::string>& ids) { return {ids.begin(), ids.end()}; }

std::vector<std::string> first_ids(std::size_t count, std::size_t n) {
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < count && i < n; ++i) ids.push_back(id_of(i));
  return ids;
}

std::string last(std::size_t n) { return n == 0 ? "missing" : id_of(n - 1); }

const std::vector<Operation>& operations() {
  static const std::vector<Operation> ops = {
      {"add_node short", [](Graph& g, std::size_t) { return digest(g.add_node("fresh", "view")); }},
      {"add_node long", [](Graph& g, std::size_t) { return digest(g.add_node("a_fresh_node_with_a_long_id", "input")); }},
      {"add_node duplicate", [](Graph& g, std::size_t n) { return digest(g.add_node(n ? id_of(0) : "", "input")); }},
      {"add_node kind", [](Graph& g, std::size_t) { return digest(g.add_node("fresh", "a kind that is no kind")); }},
      {"set_deps few", [](Graph& g, std::size_t n) {
         const auto deps = first_ids(3, n);
         return digest(g.set_deps(last(n), views(deps)));
       }},
      {"set_deps many", [](Graph& g, std::size_t n) {
         std::vector<std::string> deps;
         for (std::size_t k = 0; k + 1 < n && k < 80; ++k) deps.push_back(id_of(k % 40));
         return digest(g.set_deps(last(n), views(deps)));
       }},
      {"set_deps unknown", [](Graph& g, std::size_t n) {
         std::vector<std::string> deps = first_ids(2, n);
         deps.push_back("a dependency nobody declared");
         return digest(g.set_deps(last(n), views(deps)));
       }},
      {"set_deps self", [](Graph& g, std::size_t n) {
         const std::vector<std::string> deps = {last(n)};
         return digest(g.set_deps(last(n), views(deps)));
       }},
      {"build", [](Graph& g, std::size_t) { return digest(g.build()); }},
      {"topo_order", [](Graph& g, std::size_t) { return digest(g.topo_order()); }},
      {"views", [](Graph& g, std::size_t) { return digest(g.views()); }},
      {"dirty_nodes", [](Graph& g, std::size_t) { return digest(g.dirty_nodes()); }},
      {"node_ids", [](Graph& g, std::size_t) { return digest(Result<IdList>(g.node_ids())); }},
      {"downstream", [](Graph& g, std::size_t n) { return digest(g.downstream(n ? id_of(0) : "missing")); }},
      {"dirty_subgraph roots", [](Graph& g, std::size_t n) {
         const auto seeds = first_ids(3, n);
         return digest(g.dirty_subgraph(views(seeds)));
       }},
      {"mark_dirty roots", [](Graph& g, std::size_t n) {
         const auto seeds = first_ids(3, n);
         return digest(g.mark_dirty(views(seeds)));
       }},
      {"mark_dirty late", [](Graph& g, std::size_t n) {
         const std::vector<std::string> seeds = {last(n), last(n)};
         return digest(g.mark_dirty(views(seeds)));
       }},
      {"mark_dirty unknown", [](Graph& g, std::size_t n) {
         std::vector<std::string> seeds = first_ids(2, n);
         seeds.push_back("a seed nobody declared");
         return digest(g.mark_dirty(views(seeds)));
       }},
      {"check_node", [](Graph& g, std::size_t n) { return digest(g.check_node(last(n))); }},
      {"needs_recompute", [](Graph& g, std::size_t n) { return digest(g.needs_recompute(last(n), 4)); }},
      {"commit_node", [](Graph& g, std::size_t n) { return digest(g.commit_node(last(n), 11)); }},
      {"skip_node", [](Graph& g, std::size_t n) { return digest(g.skip_node(last(n), 12)); }},
      {"commit_input", [](Graph& g, std::size_t n) { return digest(g.commit_input(n ? id_of(0) : "x", 13)); }},
      {"set_clean", [](Graph& g, std::size_t n) { return digest(g.set_clean(last(n), 14)); }},
      {"set_computing", [](Graph& g, std::size_t n) { return digest(g.set_computing(last(n))); }},
      {"set_dirty", [](Graph& g, std::size_t n) { return digest(g.set_dirty(last(n))); }},
      {"state_of", [](Graph& g, std::size_t n) { return digest(g.state_of(last(n))); }},
      {"kind_of", [](Graph& g, std::size_t n) { return digest(g.kind_of(last(n))); }},
      {"deps_of", [](Graph& g, std::size_t n) { return digest(g.deps_of(last(n))); }},
      {"kind_of unknown", [](Graph& g, std::size_t) { return digest(g.kind_of("a node nobody declared")); }},
  };
  return ops;
}

int failures = 0;

void require(bool condition, const char* op, const Shape& shape, std::size_t k, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "%s on %zu nodes (%s), allocation %zu failing: %s\n", op, shape.nodes,
               shape.built ? "built" : "not built", k, what);
  ++failures;
}

/// Sweeps one operation on one shape; returns how many calls failed.
std::size_t sweep(const Operation& op, const Shape& shape) {
  Graph reference = make(shape);
  const std::string expected = op.call(reference, shape.nodes);
  const auto expected_state = state_of(reference);

  for (std::size_t k = 0;; ++k) {
    Graph g = make(shape);
    const auto before = state_of(g);
    std::string got;
    movra_fail_allocations_after(static_cast<std::int64_t>(k));
    try {
      got = op.call(g, shape.nodes);
      movra_fail_allocations_after(-1);
      require(got == expected && state_of(g) == expected_state, op.name, shape, k,
              "the call that ran out of nothing did something else");
      return k;
    } catch (const std::bad_alloc&) {
      movra_fail_allocations_after(-1);
    }
    require(state_of(g) == before, op.name, shape, k, "a failed call changed the graph");

    bool done = false;
    movra_fail_allocations_after(0);
    try {
      got = op.call(g, shape.nodes);
      done = true;
    } catch (const std::bad_alloc&) {
    }
    movra_fail_allocations_after(-1);
    if (!done) {
      require(state_of(g) == before, op.name, shape, k, "a failed retry changed the graph");
      got = op.call(g, shape.nodes);
    }
    require(got == expected, op.name, shape, k, "the call gives another result after a failure");
    require(state_of(g) == expected_state, op.name, shape, k,
            "the call leaves another graph after a failure");
    if (failures > 20) std::exit(1);
  }
}

}  // namespace

int main() {
  const auto start = std::chrono::steady_clock::now();
  std::size_t injected = 0;
  for (const Shape& shape : kShapes)
    for (const Operation& op : operations()) injected += sweep(op, shape);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("alloc sweep: %zu operations x %zu graphs, %zu failed allocations, %.1f s: %s\n",
              operations().size(), std::size(kShapes), injected, seconds,
              failures ? "FAILED" : "every failed call left its graph as it was");
  return failures ? 1 : 0;
}
