#include "engine/triangles_per_node.hpp"

#include <array>
#include <numeric>
#include <utility>

#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 2> kKernelNames = {"triangles_per_node_clear_kernel",
                                                          "triangles_per_node_kernel"};
enum Kernel { kClear, kCount };

using Counts = driver::DeviceBuffer<std::uint64_t>;

// Zeroed counts, cleared on the device.
GpuResult<Counts> cleared_counts(const GraphStore& graph, const driver::KernelFunction& clear) {
  const std::uint32_t n = graph.num_nodes();
  VORLAN_TRY(auto counts, driver::allocate<std::uint64_t>(graph.shared_stream(), n));
  driver::KernelLaunch launch(graph.stream(), clear);
  launch.write(counts).scalar(n);
  VORLAN_CHECK(launch_step(launch, grid_blocks(n), "per-node triangle clear failed"));
  return counts;
}

GpuResult<> count_at_nodes(const GraphStore& graph, const driver::KernelFunction& count,
                           Counts& counts) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t m = graph.num_edges();
  driver::KernelLaunch launch(graph.stream(), count);
  launch.read(graph.offsets()).read(graph.targets()).scalar(n).scalar(m).write(counts);
  VORLAN_CHECK(launch_step(launch, grid_blocks(m), "per-node triangle count failed"));
  return synchronize_step(graph.stream());
}

}  // namespace

GpuResult<NodeTrianglesResult> triangles_per_node(const GraphStore& graph) {
  const Stopwatch clock;
  const std::uint32_t n = graph.num_nodes();
  if (graph.num_edges() == 0) {
    return NodeTrianglesResult{std::vector<std::uint64_t>(n, 0), 0, clock.elapsed_seconds()};
  }
  if (!graph.strictly_ascending()) {
    return std::unexpected(GpuError::kernel(
        "per-node triangle counts need every list strictly ascending (sorted, no repeats)"));
  }
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::triangles_per_node_ptx, kKernelNames));
  VORLAN_TRY(auto counts, cleared_counts(graph, kernels[kClear]));
  VORLAN_CHECK(count_at_nodes(graph, kernels[kCount], counts));
  VORLAN_TRY(auto triangles, download_step(graph.stream(), counts));
  // Each triple added one at each of its three nodes.
  const std::uint64_t total =
      std::accumulate(triangles.begin(), triangles.end(), std::uint64_t{0}) / 3;
  return NodeTrianglesResult{std::move(triangles), total, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
