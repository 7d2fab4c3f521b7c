// The list of large intersections that the triangle kernels' position sweeps
// leave for their list phase (kernels/intersect.ptxinc).
//
// A warp that met all of a hub's large pairs would run them one after
// another and hold up the whole launch; handed to a second launch of the
// same kernel, one pair per warp, they spread over the grid. Each position
// adds at most one pair per launch, so num_edges entries always suffice.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {

// The kernels' `phase` argument.
inline constexpr std::uint32_t kPositionPhase = 0;
inline constexpr std::uint32_t kListPhase = 1;

struct IntersectionPairs {
  // Five columns of num_edges words: edge, short base, short length, long
  // base, long end.
  driver::DeviceBuffer<std::uint32_t> pairs;
  driver::DeviceBuffer<std::uint32_t> count;  // 0 before every position launch
};

inline GpuResult<IntersectionPairs> intersection_pairs(const GraphStore& graph) {
  // One word at least: an empty graph's kernels leave before touching it.
  const std::uint64_t words = std::uint64_t{5} * graph.num_edges() + 1;
  VORLAN_TRY(auto pairs, lift(driver::allocate<std::uint32_t>(graph.shared_stream(), words)));
  VORLAN_TRY(auto count, filled_buffer<std::uint32_t>(graph.shared_stream(), 1, 0));
  return IntersectionPairs{std::move(pairs), std::move(count)};
}

// Launches `kernel` for both phases: the position sweep, then the list. Each
// launch takes the arguments `head` adds, then the list and the phase; the
// scalars `head` adds must outlive the call (the launch keeps their addresses).
template <class Head>
GpuResult<> launch_both_phases(const GraphStore& graph, const driver::KernelFunction& kernel,
                               IntersectionPairs& list, std::uint32_t blocks, std::string_view step,
                               Head head) {
  for (const std::uint32_t phase : {kPositionPhase, kListPhase}) {
    driver::KernelLaunch launch(graph.stream(), kernel);
    head(launch).write(list.pairs).write(list.count).scalar(phase);
    VORLAN_CHECK(launch_step(launch, blocks, step));
  }
  return {};
}

}  // namespace vorlan::engine
