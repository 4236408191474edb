// kernel_bench.cpp - times kernel operations on a random 1,000,000-node graph
// without the interpreter in the way:
//   cmake -S . -B build/bench -DMOVRA_BENCH=ON -DMOVRA_EXTENSION=OFF
//   cmake --build build/bench && build/bench/movra_kernel_bench [nodes]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/graph.hpp"

using movra::core::Graph;

namespace {

template <class Job>
double best_ms(Job&& job, int reps = 5) {
  double best = 1e300;
  for (int r = 0; r < reps; ++r) {
    const auto start = std::chrono::steady_clock::now();
    job();
    best = std::min(best, std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  std::mt19937_64 random(1);
  std::vector<std::size_t> by_rank(n);
  for (std::size_t i = 0; i < n; ++i) by_rank[i] = i;
  std::shuffle(by_rank.begin(), by_rank.end(), random);
  std::vector<std::string> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = "node_" + std::to_string(1000000 + i).substr(1);

  Graph g;
  const double declare = best_ms([&] {
    g = Graph();
    for (std::size_t i = 0; i < n; ++i) (void)g.add_node(ids[i], "reactive");
    for (std::size_t r = 1; r < n; ++r) {
      std::vector<std::string_view> deps(1 + random() % 5);
      for (auto& d : deps) d = ids[by_rank[random() % r]];
      (void)g.set_deps(ids[by_rank[r]], deps);
    }
  }, 1);
  const double build = best_ms([&] { (void)g.build(); });
  std::vector<std::string_view> root{ids[by_rank[0]]};
  const double mark = best_ms([&] { (void)g.mark_dirty(root); });
  std::vector<std::string_view> shuffled(ids.begin(), ids.end());
  std::shuffle(shuffled.begin(), shuffled.end(), random);
  const double check = best_ms([&] {
    for (auto id : shuffled) (void)g.check_node(id);
  });
  std::printf("n=%zu declare %.1f ms, build %.1f ms, mark_dirty(all) %.1f ms, "
              "check_node %.1f ns/call\n",
              n, declare, build, mark, check * 1e6 / static_cast<double>(n));
}
