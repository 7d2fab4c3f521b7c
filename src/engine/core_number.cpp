#include "engine/core_number.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 3> kKernelNames = {"core_init_kernel", "core_scan_kernel",
                                                          "core_release_kernel"};
enum Kernel { kInit, kScan, kRelease };

constexpr std::uint32_t kNone = 0xFFFFFFFF;

// The release kernel's list of its block's long lists: a count, then a
// (start, length) pair per thread.
constexpr std::uint32_t kReleaseSharedBytes = 16 + 8 * kThreadsPerBlock;

using Buffer = driver::DeviceBuffer<std::uint32_t>;

struct PeelBuffers {
  Buffer degrees;
  Buffer removed;
  Buffer core;
  Buffer frontier;
  Buffer next_frontier;
  Buffer count;   // entries queued into the frontier being built
  Buffer lowest;  // the scan's smallest degree above k
};

// Degrees from the offsets and every node in the graph, filled on the device.
GpuResult<PeelBuffers> prepare(const GraphStore& graph, const driver::KernelFunction& init) {
  const std::uint32_t n = graph.num_nodes();
  const auto& stream = graph.shared_stream();
  VORLAN_TRY(auto degrees, driver::allocate<std::uint32_t>(stream, n));
  VORLAN_TRY(auto removed, driver::allocate<std::uint32_t>(stream, n));
  VORLAN_TRY(auto core, driver::allocate<std::uint32_t>(stream, n));
  VORLAN_TRY(auto frontier, driver::allocate<std::uint32_t>(stream, n));
  VORLAN_TRY(auto next_frontier, driver::allocate<std::uint32_t>(stream, n));
  // Set before every launch that uses them.
  VORLAN_TRY(auto count, driver::allocate<std::uint32_t>(stream, 1));
  VORLAN_TRY(auto lowest, driver::allocate<std::uint32_t>(stream, 1));
  driver::KernelLaunch launch(graph.stream(), init);
  launch.read(graph.offsets()).write(degrees).write(removed).scalar(n);
  VORLAN_CHECK(launch_step(launch, grid_blocks(n), "core init failed"));
  return PeelBuffers{std::move(degrees),  std::move(removed),       std::move(core),
                     std::move(frontier), std::move(next_frontier), std::move(count),
                     std::move(lowest)};
}

// What a scan found: the nodes it removed (now the frontier) and the
// smallest degree above k among the others.
struct Scan {
  std::uint32_t removed;
  std::uint32_t lowest;
};

// Removes every remaining node of degree at most k in this round.
GpuResult<Scan> scan(const GraphStore& graph, const driver::KernelFunction& kernel,
                     PeelBuffers& buffers, std::uint32_t k, std::uint32_t round) {
  const std::uint32_t n = graph.num_nodes();
  VORLAN_CHECK(fill_step<std::uint32_t>(graph.stream(), buffers.count, 0));
  VORLAN_CHECK(fill_step<std::uint32_t>(graph.stream(), buffers.lowest, kNone));
  driver::KernelLaunch launch(graph.stream(), kernel);
  launch.read(buffers.degrees)
      .write(buffers.removed)
      .write(buffers.core)
      .scalar(n)
      .scalar(k)
      .scalar(round)
      .write(buffers.frontier)
      .write(buffers.count)
      .write(buffers.lowest);
  VORLAN_CHECK(launch_step(launch, grid_blocks(n), "core scan failed"));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  VORLAN_TRY(const std::uint32_t removed, read_scalar(graph.stream(), buffers.count));
  VORLAN_TRY(const std::uint32_t lowest, read_scalar(graph.stream(), buffers.lowest));
  return Scan{removed, lowest};
}

// The kernel deals the frontier out across the blocks, and a block walks its
// long lists one after another. A small frontier (a level's last rounds,
// where the hubs leave) still gets up to kSpreadBlocks blocks, one entry
// each, so that hubs leaving together are walked side by side rather than
// by one block in turn.
constexpr std::uint32_t kSpreadBlocks = 128;

std::uint32_t release_blocks(std::uint32_t frontier_size) {
  return std::max(blocks_for(frontier_size), std::min(frontier_size, kSpreadBlocks));
}

// Releases the lists of the frontier's nodes; returns how many nodes that
// brings down to k, now queued in next_frontier for the next round.
GpuResult<std::uint32_t> release(const GraphStore& graph, const driver::KernelFunction& kernel,
                                 PeelBuffers& buffers, std::uint32_t frontier_size, std::uint32_t k,
                                 std::uint32_t round) {
  VORLAN_CHECK(fill_step<std::uint32_t>(graph.stream(), buffers.count, 0));
  driver::KernelLaunch launch(graph.stream(), kernel);
  launch.read(graph.offsets())
      .read(graph.targets())
      .write(buffers.removed)
      .write(buffers.degrees)
      .write(buffers.core)
      .read(buffers.frontier)
      .scalar(frontier_size)
      .scalar(k)
      .scalar(round)
      .write(buffers.next_frontier)
      .write(buffers.count);
  VORLAN_CHECK(launch_step(launch, release_blocks(frontier_size), "core release failed",
                           kReleaseSharedBytes));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  return read_scalar(graph.stream(), buffers.count);
}

}  // namespace

GpuResult<CoreNumberResult> core_number(const GraphStore& graph, InterruptPoll interrupt) {
  const Stopwatch clock;
  if (graph.num_nodes() == 0) return CoreNumberResult{{}, 0, 0, clock.elapsed_seconds()};
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::core_number_ptx, kKernelNames));
  VORLAN_TRY(auto buffers, prepare(graph, kernels[kInit]));
  std::uint32_t k = 0;
  std::uint32_t round = 0;
  for (;;) {
    VORLAN_CHECK(interrupt_step(interrupt));
    VORLAN_TRY(const Scan found, scan(graph, kernels[kScan], buffers, k, round));
    if (found.removed == 0) {
      if (found.lowest == kNone) break;  // every node has left
      k = found.lowest;
      continue;
    }
    // The level's rounds: each removes the nodes the previous one brought down to k.
    for (std::uint32_t size = found.removed; size != 0; ++round) {
      VORLAN_CHECK(interrupt_step(interrupt));
      VORLAN_TRY(size, release(graph, kernels[kRelease], buffers, size, k, round));
      std::swap(buffers.frontier, buffers.next_frontier);
    }
  }
  VORLAN_TRY(auto core, download_step(graph.stream(), buffers.core));
  const std::uint32_t max_core = std::ranges::max(core);
  return CoreNumberResult{std::move(core), max_core, round, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
