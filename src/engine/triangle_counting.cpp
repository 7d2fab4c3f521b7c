#include "engine/triangle_counting.hpp"

#include <algorithm>
#include <array>

#include "engine/intersection_pairs.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 2> kKernelNames = {"triangle_count_kernel",
                                                          "triangle_count_warp_kernel"};
enum Kernel { kPerThread, kPerWarp };

ModuleSlot edges_slot;
constexpr std::array<std::string_view, 1> kEdgeKernelNames = {"triangle_count_edges_kernel"};

// 2^24 - 1 blocks of 256 threads: the largest grid whose thread count fits in
// 32 bits without wrapping the kernels' stride computation to zero.
constexpr std::uint64_t kMaxBlocks = (std::uint64_t{1} << 24) - 1;

// The node kernels take the same arguments; they differ in how many threads
// share the work: a thread or a warp per node.
GpuResult<> launch_count(const GraphStore& graph, const driver::KernelFunction& kernel,
                         std::uint32_t blocks, driver::DeviceBuffer<std::uint64_t>& count) {
  const std::uint32_t num_nodes = graph.num_nodes();
  const std::uint32_t num_edges = graph.num_edges();
  driver::KernelLaunch launch(graph.stream(), kernel);
  launch.read(graph.offsets())
      .read(graph.targets())
      .scalar(num_nodes)
      .scalar(num_edges)
      .write(count);
  return launch_step(launch, blocks, "launch failed");
}

// The edge kernel's two launches: the position sweeps, which leave their
// large pairs in the list, then the list phase, which deals them out.
GpuResult<> launch_edge_count(const GraphStore& graph, const driver::KernelFunction& kernel,
                              std::uint32_t blocks, driver::DeviceBuffer<std::uint64_t>& count) {
  const std::uint32_t num_nodes = graph.num_nodes();
  const std::uint32_t num_edges = graph.num_edges();
  VORLAN_TRY(auto list, intersection_pairs(graph));
  VORLAN_CHECK(launch_both_phases(graph, kernel, list, blocks, "launch failed",
                                  [&](driver::KernelLaunch& launch) -> driver::KernelLaunch& {
                                    return launch.read(graph.offsets())
                                        .read(graph.targets())
                                        .scalar(num_nodes)
                                        .scalar(num_edges)
                                        .write(count);
                                  }));
  // The list lives until both launches are done with it.
  return synchronize_step(graph.stream());
}

// The kernel and its grid: split by edges when every list is strictly
// ascending, by nodes otherwise.
struct CountKernel {
  driver::KernelFunction function;
  std::uint32_t blocks;
  bool by_edges;
};

GpuResult<CountKernel> choose_kernel(const GraphStore& graph, KernelChoice choice) {
  if (choice == KernelChoice::automatic && graph.strictly_ascending()) {
    VORLAN_TRY(const KernelSet kernels,
               kernels_step(edges_slot, graph.stream(), kernels::triangle_counting_edges_ptx,
                            kEdgeKernelNames));
    return CountKernel{kernels[0], grid_blocks(graph.num_edges()), true};
  }
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::triangle_counting_ptx, kKernelNames));
  return CountKernel{kernels[kPerWarp], triangle_blocks(graph.num_nodes()), false};
}

}  // namespace

std::uint32_t triangle_blocks(std::uint32_t num_nodes) {
  const std::uint64_t warps_per_block = kThreadsPerBlock / 32;
  const std::uint64_t blocks = (std::uint64_t{num_nodes} + warps_per_block - 1) / warps_per_block;
  return static_cast<std::uint32_t>(std::min(blocks, kMaxBlocks));
}

GpuResult<TriangleCountResult> count_triangles(const GraphStore& graph, KernelChoice choice) {
  const Stopwatch clock;
  VORLAN_TRY(const CountKernel kernel, choose_kernel(graph, choice));
  VORLAN_TRY(auto count, filled_buffer<std::uint64_t>(graph.shared_stream(), 1, 0));
  if (kernel.by_edges) {
    VORLAN_CHECK(launch_edge_count(graph, kernel.function, kernel.blocks, count));
  } else {
    VORLAN_CHECK(launch_count(graph, kernel.function, kernel.blocks, count));
  }
  VORLAN_CHECK(synchronize_step(graph.stream()));
  VORLAN_TRY(const std::uint64_t total, read_scalar(graph.stream(), count));
  return TriangleCountResult{total, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
