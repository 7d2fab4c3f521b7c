#include "engine/bfs_levels.hpp"

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
constexpr std::array<std::string_view, 3> kKernelNames = {"bfs_start_kernel", "bfs_top_down_kernel",
                                                          "bfs_bottom_up_kernel"};
enum Kernel { kStart, kTopDown, kBottomUp };

// When to look from the unvisited side (Beamer, Asanovic and Patterson,
// "Direction-optimizing breadth-first search", SC 2012): go bottom-up once
// the next frontier's list entries exceed 1/alpha of the entries of all
// unvisited nodes (scanning the frontier would then touch about as much as
// the unvisited nodes' scans, which stop at their first parent), and back
// top-down once the frontier holds fewer than 1/beta of the nodes. The
// paper tunes alpha = 14 and beta = 24 on its graphs; these are nearby
// values that suit R-MAT graphs from a hub as well.
constexpr std::uint64_t kAlpha = 15;
constexpr std::uint64_t kBeta = 18;

// The top-down kernel's list of its block's long lists: a count, then a
// (start, length) pair per thread.
constexpr std::uint32_t kTopDownSharedBytes = 16 + 8 * kThreadsPerBlock;

using Buffer = driver::DeviceBuffer<std::uint32_t>;

struct SearchBuffers {
  Buffer distances;
  Buffer frontier;
  Buffer next_frontier;
  Buffer counters;  // (claimed, their list entries) for two levels, by turns
};

// What a level found: how many nodes it claimed and how long their lists are.
struct Level {
  std::uint32_t claimed;
  std::uint32_t entries;
};

GpuResult<SearchBuffers> prepare(const GraphStore& graph, KernelSet kernels, std::uint32_t source) {
  const std::uint32_t n = graph.num_nodes();
  const auto& stream = graph.shared_stream();
  VORLAN_TRY(auto distances, lift(driver::allocate<std::uint32_t>(stream, n)));
  VORLAN_TRY(auto frontier, lift(driver::allocate<std::uint32_t>(stream, n)));
  VORLAN_TRY(auto next_frontier, lift(driver::allocate<std::uint32_t>(stream, n)));
  VORLAN_TRY(auto counters, filled_buffer<std::uint32_t>(stream, 4, 0));
  driver::KernelLaunch launch(graph.stream(), kernels[kStart]);
  launch.write(distances).scalar(n).scalar(source).write(frontier);
  VORLAN_CHECK(launch_step(launch, blocks_for(n), "BFS start failed"));
  return SearchBuffers{std::move(distances), std::move(frontier), std::move(next_frontier),
                       std::move(counters)};
}

GpuResult<Level> expand_level(const GraphStore& graph, KernelSet kernels, SearchBuffers& buffers,
                              std::uint32_t frontier_size, std::uint32_t level, bool bottom_up) {
  driver::KernelLaunch launch(graph.stream(), kernels[bottom_up ? kBottomUp : kTopDown]);
  const std::uint32_t n = graph.num_nodes();
  launch.read(graph.offsets()).read(graph.targets()).write(buffers.distances);
  if (bottom_up) {
    launch.scalar(n);
  } else {
    launch.read(buffers.frontier).scalar(frontier_size);
  }
  launch.write(buffers.next_frontier).write(buffers.counters).scalar(level);
  const std::uint32_t shared_bytes = bottom_up ? 0 : kTopDownSharedBytes;
  const std::uint32_t blocks = bottom_up ? blocks_for(n) : dealt_blocks(frontier_size);
  VORLAN_CHECK(launch_step(launch, blocks, "BFS expand failed", shared_bytes));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  VORLAN_TRY(const auto counters, download_step(graph.stream(), buffers.counters));
  const std::uint32_t turn = level & 1;
  return Level{counters[2 * turn], counters[2 * turn + 1]};
}

// Top-down or bottom-up for the next level, from the sizes the last one left.
class Direction {
 public:
  explicit Direction(const GraphStore& graph)
      : symmetric_(graph.known_symmetric() == true),
        num_nodes_(graph.num_nodes()),
        unvisited_entries_(graph.num_edges()) {}

  bool bottom_up() const { return bottom_up_; }

  void after(const Level& level) {
    unvisited_entries_ -= std::min<std::uint64_t>(unvisited_entries_, level.entries);
    if (!symmetric_) return;
    if (!bottom_up_) {
      bottom_up_ = std::uint64_t{level.entries} * kAlpha > unvisited_entries_;
    } else {
      bottom_up_ = std::uint64_t{level.claimed} * kBeta >= num_nodes_;
    }
  }

 private:
  bool symmetric_;
  bool bottom_up_ = false;
  std::uint64_t num_nodes_;
  std::uint64_t unvisited_entries_;
};

}  // namespace

GpuResult<BfsResult> direction_optimizing_bfs(const GraphStore& graph, std::uint32_t source,
                                              InterruptPoll interrupt) {
  const Stopwatch clock;
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::bfs_levels_ptx, kKernelNames));
  VORLAN_TRY(auto buffers, prepare(graph, kernels, source));
  Direction direction(graph);
  std::uint32_t level = 0;
  for (std::uint32_t frontier_size = 1;;) {
    VORLAN_CHECK(interrupt_step(interrupt));
    VORLAN_TRY(const Level found,
               expand_level(graph, kernels, buffers, frontier_size, level, direction.bottom_up()));
    if (found.claimed == 0) break;
    ++level;
    std::swap(buffers.frontier, buffers.next_frontier);
    frontier_size = found.claimed;
    direction.after(found);
  }
  VORLAN_TRY(auto distances, download_step(graph.stream(), buffers.distances));
  const auto reachable = static_cast<std::uint32_t>(std::ranges::count_if(
      distances, [](std::uint32_t d) { return static_cast<std::int32_t>(d) >= 0; }));
  return BfsResult{std::move(distances), reachable, level, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
