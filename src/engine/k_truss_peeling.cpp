#include "engine/k_truss_peeling.hpp"

#include <array>

#include "engine/graph_shape.hpp"
#include "engine/intersection_pairs.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 4> kKernelNames = {
    "reverse_edge_kernel", "truss_support_kernel", "truss_mark_kernel", "truss_peel_kernel"};
enum Kernel { kReverse, kSupport, kMark, kPeel };

// Every launch below keeps pointers to its scalars until it is issued, so
// they are named locals, never temporaries.

struct PeelBuffers {
  driver::DeviceBuffer<std::uint32_t> support;  // at upper positions
  driver::DeviceBuffer<std::uint8_t> state;     // 0 live, 2 dying, 1 removed
  driver::DeviceBuffer<std::uint32_t> dying;    // edges marked in the current round
  IntersectionPairs list;                       // the triangle kernels' large pairs
};

GpuResult<PeelBuffers> prepare(const GraphStore& graph) {
  const std::uint32_t m = graph.num_edges();
  VORLAN_TRY(auto support, filled_buffer<std::uint32_t>(graph.shared_stream(), m, 0));
  VORLAN_TRY(auto state, filled_buffer<std::uint8_t>(graph.shared_stream(), m, 0));
  // Cleared at the start of every round.
  VORLAN_TRY(auto dying, driver::allocate<std::uint32_t>(graph.shared_stream(), 1));
  VORLAN_TRY(auto list, intersection_pairs(graph));
  return PeelBuffers{std::move(support), std::move(state), std::move(dying), std::move(list)};
}

// Every triangle adds one to the support of each of its three edges.
GpuResult<> count_supports(const GraphStore& graph, KernelSet kernels, PeelBuffers& buffers) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t m = graph.num_edges();
  return launch_both_phases(graph, kernels[kSupport], buffers.list, grid_blocks(m),
                            "support kernel failed",
                            [&](driver::KernelLaunch& support) -> driver::KernelLaunch& {
                              return support.read(graph.offsets())
                                  .read(graph.targets())
                                  .scalar(n)
                                  .scalar(m)
                                  .write(buffers.support);
                            });
}

// Last round's dying edges go; live edges below min_support start dying.
// Returns how many edges started dying.
GpuResult<std::uint32_t> mark_round(const GraphStore& graph, KernelSet kernels,
                                    const driver::DeviceBuffer<std::uint32_t>& reverse,
                                    PeelBuffers& buffers, std::uint32_t min_support) {
  VORLAN_CHECK(fill_step<std::uint32_t>(graph.stream(), buffers.dying, 0));
  const std::uint32_t m = graph.num_edges();
  driver::KernelLaunch mark(graph.stream(), kernels[kMark]);
  mark.read(buffers.support)
      .read(reverse)
      .write(buffers.state)
      .scalar(m)
      .scalar(min_support)
      .write(buffers.dying);
  VORLAN_CHECK(launch_step(mark, grid_blocks(m), "mark kernel failed"));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  return read_scalar(graph.stream(), buffers.dying);
}

// The triangles the dying edges break leave the supports of their other edges.
GpuResult<> peel_round(const GraphStore& graph, KernelSet kernels,
                       const driver::DeviceBuffer<std::uint32_t>& reverse, PeelBuffers& buffers) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t m = graph.num_edges();
  VORLAN_CHECK(fill_step<std::uint32_t>(graph.stream(), buffers.list.count, 0));
  return launch_both_phases(graph, kernels[kPeel], buffers.list, grid_blocks(m),
                            "peel kernel failed",
                            [&](driver::KernelLaunch& peel) -> driver::KernelLaunch& {
                              return peel.read(graph.offsets())
                                  .read(graph.targets())
                                  .read(reverse)
                                  .read(buffers.state)
                                  .scalar(n)
                                  .scalar(m)
                                  .write(buffers.support);
                            });
}

GpuResult<TrussRounds> peel(const GraphStore& graph, KernelSet kernels, std::uint32_t min_support,
                            const driver::DeviceBuffer<std::uint32_t>& reverse,
                            InterruptPoll interrupt) {
  VORLAN_TRY(auto buffers, prepare(graph));
  VORLAN_CHECK(count_supports(graph, kernels, buffers));
  std::uint32_t iterations = 0;
  for (;;) {
    VORLAN_CHECK(interrupt_step(interrupt));
    VORLAN_TRY(const std::uint32_t dying,
               mark_round(graph, kernels, reverse, buffers, min_support));
    ++iterations;
    if (dying == 0) break;
    VORLAN_CHECK(peel_round(graph, kernels, reverse, buffers));
  }
  return TrussRounds{std::move(buffers.state), iterations};
}

}  // namespace

GpuResult<std::optional<TrussRounds>> peel_if_canonical(const GraphStore& graph,
                                                        std::uint32_t min_support,
                                                        InterruptPoll interrupt) {
  if (!graph.may_be_canonical()) return std::nullopt;
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::k_truss_peeling_ptx, kKernelNames));
  VORLAN_TRY(const auto* reverse, canonical_reverse(graph, kernels[kReverse]));
  if (reverse == nullptr) return std::nullopt;
  VORLAN_TRY(auto truss, peel(graph, kernels, min_support, *reverse, interrupt));
  return std::optional<TrussRounds>(std::move(truss));
}

}  // namespace vorlan::engine
