#include "engine/bfs_tree.hpp"

#include <array>
#include <format>
#include <utility>

#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"
#include "engine/scan.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 2> kKernelNames = {"bfs_tree_start_kernel",
                                                          "bfs_tree_walk_kernel"};
enum Kernel { kStart, kWalk };

// The walk kernel's three passes over a level, in launch order.
enum class Phase : std::uint32_t { claim = 0, count = 1, place = 2 };

constexpr std::uint32_t kUnset = 0xFFFFFFFF;

// The walk kernel's scratch: the long-list count, the block scan's per-warp
// sums, then a (thread, node, start, length) record per thread.
constexpr std::uint32_t kWalkSharedBytes = 48 + 16 * kThreadsPerBlock;

using Buffer = driver::DeviceBuffer<std::uint32_t>;

struct TreeBuffers {
  Buffer depths;
  Buffer parents;
  driver::DeviceBuffer<std::uint64_t> keys;  // the smallest (rank, position) offered per node
  Buffer order;                              // the queue, level after level
  Buffer counts;                             // per frontier rank, then their exclusive scan
  Buffer next_size;
};

GpuResult<TreeBuffers> prepare(const GraphStore& graph, KernelSet kernels, std::uint32_t source) {
  const std::uint32_t n = graph.num_nodes();
  const auto& stream = graph.shared_stream();
  VORLAN_TRY(auto depths, filled_buffer<std::uint32_t>(stream, n, kUnset));
  VORLAN_TRY(auto parents, filled_buffer<std::uint32_t>(stream, n, kUnset));
  VORLAN_TRY(auto keys, filled_buffer<std::uint64_t>(stream, n, ~std::uint64_t{0}));
  VORLAN_TRY(auto order, lift(driver::allocate<std::uint32_t>(stream, n)));
  VORLAN_TRY(auto counts, lift(driver::allocate<std::uint32_t>(stream, std::uint64_t{n} + 1)));
  // Written by every level's place phase before the host reads it.
  VORLAN_TRY(auto next_size, lift(driver::allocate<std::uint32_t>(stream, 1)));
  driver::KernelLaunch launch(graph.stream(), kernels[kStart]);
  launch.write(depths).scalar(source).write(order);
  VORLAN_CHECK(launch_step(launch, 1, "BFS tree start failed"));
  return TreeBuffers{std::move(depths), std::move(parents), std::move(keys),
                     std::move(order),  std::move(counts),  std::move(next_size)};
}

// The frontier, order[start, start + size), and its level.
struct Frontier {
  std::uint32_t start;
  std::uint32_t size;
  std::uint32_t level;
};

GpuResult<> walk(const GraphStore& graph, const driver::KernelFunction& kernel,
                 TreeBuffers& buffers, const Frontier& frontier, Phase phase) {
  const auto phase_number = static_cast<std::uint32_t>(phase);
  driver::KernelLaunch launch(graph.stream(), kernel);
  launch.read(graph.offsets())
      .read(graph.targets())
      .write(buffers.depths)
      .write(buffers.keys)
      .write(buffers.order)
      .scalar(frontier.start)
      .scalar(frontier.size)
      .write(buffers.counts)
      .write(buffers.parents)
      .write(buffers.next_size)
      .scalar(frontier.level)
      .scalar(phase_number);
  return launch_step(launch, dealt_blocks(frontier.size), "BFS tree walk failed", kWalkSharedBytes);
}

// Claims, counts and places the next level; returns its size.
GpuResult<std::uint32_t> expand_level(const GraphStore& graph, KernelSet kernels,
                                      TreeBuffers& buffers, const Frontier& frontier) {
  VORLAN_CHECK(walk(graph, kernels[kWalk], buffers, frontier, Phase::claim));
  VORLAN_CHECK(walk(graph, kernels[kWalk], buffers, frontier, Phase::count));
  // A frontier of one block's width has been scanned by that block.
  if (dealt_blocks(frontier.size) > 1) {
    VORLAN_CHECK(
        exclusive_scan_step(graph.shared_stream(), buffers.counts, buffers.counts, frontier.size));
  }
  VORLAN_CHECK(walk(graph, kernels[kWalk], buffers, frontier, Phase::place));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  return read_scalar(graph.stream(), buffers.next_size);
}

}  // namespace

GpuResult<BfsTreeResult> bfs_tree(const GraphStore& graph, std::uint32_t source,
                                  std::uint32_t depth_limit, InterruptPoll interrupt) {
  const Stopwatch clock;
  const std::uint32_t n = graph.num_nodes();
  if (source >= n) {
    return std::unexpected(
        GpuError::kernel(std::format("source node {} out of range (num_nodes = {})", source, n)));
  }
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::bfs_tree_ptx, kKernelNames));
  VORLAN_TRY(auto buffers, prepare(graph, kernels, source));
  Frontier frontier{0, 1, 0};
  while (frontier.level < depth_limit) {
    VORLAN_CHECK(interrupt_step(interrupt));
    VORLAN_TRY(const std::uint32_t found, expand_level(graph, kernels, buffers, frontier));
    if (found == 0) break;
    frontier = Frontier{frontier.start + frontier.size, found, frontier.level + 1};
  }
  VORLAN_TRY(auto order, download_step(graph.stream(), buffers.order));
  order.resize(frontier.start + frontier.size);
  VORLAN_TRY(auto parents, download_step(graph.stream(), buffers.parents));
  VORLAN_TRY(auto depths, download_step(graph.stream(), buffers.depths));
  return BfsTreeResult{std::move(order), std::move(parents), std::move(depths), frontier.level,
                       clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
