// Breadth-first search on the GPU.
//
// Computes the hop distance from one source to every node, following each
// node's list as its out-neighbours; unreached nodes keep 0xFFFFFFFF.
// Repeated entries and self-loops change nothing.
//
// Technique: level-synchronous and queue-based. Per level one launch expands
// the frontier queue, one thread per entry: a thread claims an unvisited
// neighbour by compare-and-swap on its distance and appends it to the next
// queue through an atomic counter. The host reads the counter after every
// level, swaps the two queues, and stops when a level claims nothing. By
// default the lists are spread by length instead (bfs_levels.hpp); these
// node-parallel kernels stay for comparison and give the same distances.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"
#include "engine/kernel_choice.hpp"

namespace vorlan::engine {

inline constexpr std::uint32_t kUnreached = 0xFFFFFFFF;

struct BfsResult {
  std::vector<std::uint32_t> distances;
  std::uint32_t reachable;
  std::uint32_t max_depth;
  double time_seconds;
};

GpuResult<BfsResult> breadth_first_search(const GraphStore& graph, std::uint32_t source,
                                          InterruptPoll interrupt = nullptr,
                                          KernelChoice choice = KernelChoice::automatic);

}  // namespace vorlan::engine
