// PageRank on the GPU, in single precision.
//
// Iterates r'(v) = fma(sum over u in list(v) with deg(u) != 0 of r(u) / deg(u),
// damping, (1 - damping) / n), starting from r = 1/n, where the list of v are
// its contributors and deg(u) is the length of u's own list. Stops after the
// first iteration whose L1 change is below the tolerance, or after
// max_iterations. The rank of a node with an empty list is passed to no one.
//
// Technique: pull formulation, exact IEEE division and one fused multiply-add
// per node. The L1 change is reduced per block of 256 consecutive nodes in
// shared memory and summed over blocks with one float atomic each, so its
// last bits (and the iteration on which it first drops below the tolerance)
// may vary. By default the lists are gathered by length (pagerank_gather.hpp);
// the node-parallel kernels, one thread per node, stay for comparison and
// give the same ranks bit for bit.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"
#include "engine/kernel_choice.hpp"

namespace vorlan::engine {

struct PageRankResult {
  std::vector<float> ranks;
  std::uint32_t iterations;
  bool converged;
  double time_seconds;
};

GpuResult<PageRankResult> pagerank(const GraphStore& graph, float damping,
                                   std::uint32_t max_iterations, float tolerance,
                                   InterruptPoll interrupt = nullptr,
                                   KernelChoice choice = KernelChoice::automatic);

}  // namespace vorlan::engine
