#include "engine/bfs.hpp"

#include <algorithm>
#include <array>
#include <format>
#include <utility>

#include "engine/bfs_levels.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 2> kKernelNames = {"bfs_frontier_kernel",
                                                          "bfs_expand_kernel"};
enum Kernel { kFrontierScan, kExpand };

using Buffer = driver::DeviceBuffer<std::uint32_t>;

struct SearchBuffers {
  Buffer distances;
  Buffer frontier;
  Buffer next_frontier;
  Buffer next_count;
};

// Distances all unreached but the source; the frontier holds just the source.
GpuResult<SearchBuffers> prepare(const GraphStore& graph, std::uint32_t source) {
  const std::uint32_t n = graph.num_nodes();
  std::vector<std::uint32_t> initial(n, kUnreached);
  initial[source] = 0;
  const std::array<std::uint32_t, 1> first = {source};
  VORLAN_TRY(auto distances, upload_step<std::uint32_t>(graph.shared_stream(), initial));
  VORLAN_TRY(auto frontier, driver::allocate<std::uint32_t>(graph.shared_stream(), n));
  VORLAN_CHECK(copy_step<std::uint32_t>(graph.stream(), first, frontier));
  VORLAN_TRY(auto next_frontier, filled_buffer<std::uint32_t>(graph.shared_stream(), n, 0));
  VORLAN_TRY(auto next_count, filled_buffer<std::uint32_t>(graph.shared_stream(), 1, 0));
  return SearchBuffers{std::move(distances), std::move(frontier), std::move(next_frontier),
                       std::move(next_count)};
}

// Expands one level; returns how many nodes it claimed.
GpuResult<std::uint32_t> expand_level(const GraphStore& graph, const driver::KernelFunction& expand,
                                      SearchBuffers& buffers, std::uint32_t frontier_size,
                                      std::uint32_t level) {
  VORLAN_CHECK(fill_step<std::uint32_t>(graph.stream(), buffers.next_count, 0));
  driver::KernelLaunch launch(graph.stream(), expand);
  launch.read(graph.offsets())
      .read(graph.targets())
      .write(buffers.distances)
      .read(buffers.frontier)
      .scalar(frontier_size)
      .write(buffers.next_frontier)
      .write(buffers.next_count)
      .scalar(level);
  VORLAN_CHECK(launch_step(launch, blocks_for(frontier_size), "BFS expand failed"));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  return read_scalar(graph.stream(), buffers.next_count);
}

// One thread per frontier entry walks its whole list, a compare-and-swap and
// (for a claim) a counter atomic per entry.
GpuResult<BfsResult> node_parallel_bfs(const GraphStore& graph, std::uint32_t source,
                                       InterruptPoll interrupt) {
  const Stopwatch clock;
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::bfs_ptx, kKernelNames));
  VORLAN_TRY(auto buffers, prepare(graph, source));
  std::uint32_t level = 0;
  for (std::uint32_t frontier_size = 1;;) {
    VORLAN_CHECK(interrupt_step(interrupt));
    VORLAN_TRY(const std::uint32_t claimed,
               expand_level(graph, kernels[kExpand], buffers, frontier_size, level));
    if (claimed == 0) break;
    ++level;
    std::swap(buffers.frontier, buffers.next_frontier);
    frontier_size = claimed;
  }
  VORLAN_TRY(auto distances, download_step(graph.stream(), buffers.distances));
  const auto reachable = static_cast<std::uint32_t>(std::ranges::count_if(
      distances, [](std::uint32_t d) { return static_cast<std::int32_t>(d) >= 0; }));
  return BfsResult{std::move(distances), reachable, level, clock.elapsed_seconds()};
}

}  // namespace

GpuResult<BfsResult> breadth_first_search(const GraphStore& graph, std::uint32_t source,
                                          InterruptPoll interrupt, KernelChoice choice) {
  const std::uint32_t n = graph.num_nodes();
  if (source >= n) {
    return std::unexpected(
        GpuError::kernel(std::format("source node {} out of range (num_nodes = {})", source, n)));
  }
  if (choice == KernelChoice::node_kernels) return node_parallel_bfs(graph, source, interrupt);
  return direction_optimizing_bfs(graph, source, interrupt);
}

}  // namespace vorlan::engine
