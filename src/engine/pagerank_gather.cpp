#include "engine/pagerank_gather.hpp"

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
constexpr std::array<std::string_view, 4> kKernelNames = {
    "pagerank_start_kernel", "pagerank_order_kernel", "pagerank_gather_kernel",
    "pagerank_update_kernel"};
enum Kernel { kStart, kOrder, kGather, kUpdate };

// Lists longer than this take a block each. A block adds a long list at
// about 1.3 warp instructions per entry (one thread of a warp of its own
// adds, 64 shares per 16 shared loads, while the other warps stage the
// next round), against well under one for lists walked side by side by the
// lanes of a warp; a list this long walked by one thread, four entries per
// pair of dependent loads, still takes less time than a card needs to
// stream a large graph's lists.
constexpr std::uint32_t kLongList = 512;
// Groups 1..32 hold the lists of 2^(g-1) to 2^g - 1 entries, group 33 the
// long ones; group 0 (degree 0) stays empty.
constexpr std::uint32_t kGroups = 34;
constexpr std::uint32_t kLongGroup = kGroups - 1;
// The gather stages two rounds of a long list, each four entries per thread
// outside the adding warp; the update reduces a block.
constexpr std::uint32_t kGatherSharedBytes = 2 * 4 * (kThreadsPerBlock - 32) * sizeof(float);
constexpr std::uint32_t kUpdateSharedBytes = kThreadsPerBlock * sizeof(float);

using Indices = driver::DeviceBuffer<std::uint32_t>;
using Values = driver::DeviceBuffer<float>;

// Nodes of degree >= 1 in gathering order: num_short short lists, grouped by
// length, then num_long long ones.
struct Order {
  Indices nodes;
  std::uint32_t num_short;
  std::uint32_t num_long;
};

struct RankBuffers {
  Values ranks;
  Values new_ranks;  // the gather's sums, then the new ranks
  Values contrib;
  Values next_contrib;
  Values diff;  // two slots, used by turns
};

// Ranks start at 1/n and each share at (1/n) / deg; the nodes are counted
// into their groups.
GpuResult<std::pair<RankBuffers, Indices>> start(const GraphStore& graph, KernelSet kernels) {
  const std::uint32_t n = graph.num_nodes();
  const float initial = 1.0f / static_cast<float>(n);
  const auto& stream = graph.shared_stream();
  VORLAN_TRY(auto ranks, lift(driver::allocate<float>(stream, n)));
  VORLAN_TRY(auto new_ranks, lift(driver::allocate<float>(stream, n)));
  VORLAN_TRY(auto contrib, lift(driver::allocate<float>(stream, n)));
  VORLAN_TRY(auto next_contrib, lift(driver::allocate<float>(stream, n)));
  VORLAN_TRY(auto diff, filled_buffer<float>(stream, 2, 0.0f));
  VORLAN_TRY(auto group_sizes, filled_buffer<std::uint32_t>(stream, kGroups, 0));
  driver::KernelLaunch launch(graph.stream(), kernels[kStart]);
  launch.read(graph.offsets())
      .scalar(n)
      .scalar(initial)
      .scalar(kLongList)
      .write(ranks)
      .write(contrib)
      .write(group_sizes);
  VORLAN_CHECK(launch_step(launch, blocks_for(n), "start kernel failed"));
  return std::pair{RankBuffers{std::move(ranks), std::move(new_ranks), std::move(contrib),
                               std::move(next_contrib), std::move(diff)},
                   std::move(group_sizes)};
}

// Lays the groups out one after another and drops each node into its own.
GpuResult<Order> order_nodes(const GraphStore& graph, KernelSet kernels,
                             const Indices& group_sizes) {
  VORLAN_TRY(const auto sizes, download_step(graph.stream(), group_sizes));
  std::array<std::uint32_t, kGroups> first{};
  std::exclusive_scan(sizes.begin(), sizes.end(), first.begin(), std::uint32_t{0});
  const std::uint32_t num_long = sizes[kLongGroup];
  const std::uint32_t num_short = first[kLongGroup];
  VORLAN_TRY(auto next, upload_step<std::uint32_t>(graph.shared_stream(), first));
  VORLAN_TRY(auto nodes,
             lift(driver::allocate<std::uint32_t>(graph.shared_stream(), num_short + num_long)));
  const std::uint32_t n = graph.num_nodes();
  driver::KernelLaunch launch(graph.stream(), kernels[kOrder]);
  launch.read(graph.offsets()).scalar(n).scalar(kLongList).write(next).write(nodes);
  VORLAN_CHECK(launch_step(launch, blocks_for(n), "order kernel failed"));
  return Order{std::move(nodes), num_short, num_long};
}

// One iteration: every sum of shares, then the ranks, the next shares and
// the L1 change, which is read back.
GpuResult<float> iterate(const GraphStore& graph, KernelSet kernels, const Order& order,
                         RankBuffers& buffers, float damping, std::uint32_t turn) {
  // Short lists a thread each; a long list (over kLongList entries) a block,
  // so the block count stays far below 2^32.
  const std::uint32_t short_blocks = blocks_for(order.num_short);
  const std::uint32_t gather_blocks = short_blocks + order.num_long;
  driver::KernelLaunch gather(graph.stream(), kernels[kGather]);
  gather.read(graph.offsets())
      .read(graph.targets())
      .read(buffers.contrib)
      .read(order.nodes)
      .scalar(order.num_short)
      .scalar(short_blocks)
      .scalar(order.num_long)
      .write(buffers.new_ranks);
  VORLAN_CHECK(launch_step(gather, gather_blocks, "gather kernel failed", kGatherSharedBytes));
  const std::uint32_t n = graph.num_nodes();
  driver::KernelLaunch update(graph.stream(), kernels[kUpdate]);
  update.read(graph.offsets())
      .read(buffers.ranks)
      .write(buffers.new_ranks)
      .write(buffers.next_contrib)
      .scalar(n)
      .scalar(damping)
      .write(buffers.diff)
      .scalar(turn);
  VORLAN_CHECK(launch_step(update, blocks_for(n), "update kernel failed", kUpdateSharedBytes));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  VORLAN_TRY(const auto diff, download_step(graph.stream(), buffers.diff));
  return diff[turn];
}

}  // namespace

GpuResult<PageRankResult> gathered_pagerank(const GraphStore& graph, float damping,
                                            std::uint32_t max_iterations, float tolerance,
                                            InterruptPoll interrupt) {
  const Stopwatch clock;
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::pagerank_gather_ptx, kKernelNames));
  VORLAN_TRY(auto started, start(graph, kernels));
  auto& [buffers, group_sizes] = started;
  VORLAN_TRY(const Order order, order_nodes(graph, kernels, group_sizes));
  std::uint32_t iterations = 0;
  bool converged = false;
  while (iterations < max_iterations && !converged) {
    VORLAN_CHECK(interrupt_step(interrupt));
    VORLAN_TRY(const float change,
               iterate(graph, kernels, order, buffers, damping, iterations & 1));
    ++iterations;
    std::swap(buffers.ranks, buffers.new_ranks);
    std::swap(buffers.contrib, buffers.next_contrib);
    converged = tolerance > change;
  }
  VORLAN_CHECK(synchronize_step(graph.stream()));
  VORLAN_TRY(auto ranks, download_step(graph.stream(), buffers.ranks));
  return PageRankResult{std::move(ranks), iterations, converged, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
