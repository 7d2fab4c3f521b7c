#include "engine/k_truss.hpp"

#include <array>

#include "engine/k_truss_peeling.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 2> kKernelNames = {"edge_triangle_support_kernel",
                                                          "edge_filter_kernel"};
enum Kernel { kSupport, kFilter };

struct TrussBuffers {
  driver::DeviceBuffer<std::uint32_t> support;  // cleared on the device every round
  driver::DeviceBuffer<std::uint8_t> removed;
  driver::DeviceBuffer<std::uint32_t> removed_count;
};

GpuResult<TrussBuffers> prepare(const GraphStore& graph) {
  const std::uint32_t m = graph.num_edges();
  // Every round clears support and the count before its kernels write them.
  VORLAN_TRY(auto support, driver::allocate<std::uint32_t>(graph.shared_stream(), m));
  VORLAN_TRY(auto removed, filled_buffer<std::uint8_t>(graph.shared_stream(), m, 0));
  VORLAN_TRY(auto count, driver::allocate<std::uint32_t>(graph.shared_stream(), 1));
  return TrussBuffers{std::move(support), std::move(removed), std::move(count)};
}

// One round: fresh supports, then removal of the edges below min_support.
// Returns how many positions it removed.
GpuResult<std::uint32_t> remove_round(const GraphStore& graph, KernelSet kernels,
                                      TrussBuffers& buffers, std::uint32_t min_support) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t m = graph.num_edges();
  VORLAN_CHECK(fill_step<std::uint32_t>(graph.stream(), buffers.support, 0));
  driver::KernelLaunch support(graph.stream(), kernels[kSupport]);
  support.read(graph.offsets())
      .read(graph.targets())
      .read(buffers.removed)
      .scalar(n)
      .write(buffers.support);
  VORLAN_CHECK(launch_step(support, blocks_for(n), "support kernel failed"));
  VORLAN_CHECK(fill_step<std::uint32_t>(graph.stream(), buffers.removed_count, 0));
  driver::KernelLaunch filter(graph.stream(), kernels[kFilter]);
  filter.read(buffers.support)
      .write(buffers.removed)
      .scalar(m)
      .scalar(min_support)
      .write(buffers.removed_count);
  VORLAN_CHECK(launch_step(filter, blocks_for(m), "filter kernel failed"));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  return read_scalar(graph.stream(), buffers.removed_count);
}

// The live positions u -> v with v > u, in node order, then list order;
// a position is live while its byte in `removed` is 0.
GpuResult<std::vector<std::pair<std::uint32_t, std::uint32_t>>> surviving_edges(
    const GraphStore& graph, const driver::DeviceBuffer<std::uint8_t>& removed_flags) {
  VORLAN_TRY(const auto removed, download_step(graph.stream(), removed_flags));
  VORLAN_TRY(const auto offsets, download_step(graph.stream(), graph.offsets()));
  VORLAN_TRY(const auto targets, download_step(graph.stream(), graph.targets()));
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  for (std::uint32_t u = 0; u < graph.num_nodes(); ++u) {
    for (std::uint32_t e = offsets[u]; e < offsets[u + 1]; ++e) {
      const std::uint32_t v = targets[e];
      if (v > u && removed[e] == 0) edges.emplace_back(u, v);
    }
  }
  return edges;
}

// Rounds that count every support again, on any graph.
GpuResult<TrussRounds> recount_truss(const GraphStore& graph, std::uint32_t min_support,
                                     InterruptPoll interrupt) {
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::k_truss_ptx, kKernelNames));
  VORLAN_TRY(auto buffers, prepare(graph));
  std::uint32_t iterations = 0;
  for (;;) {
    VORLAN_CHECK(interrupt_step(interrupt));
    VORLAN_TRY(const std::uint32_t removed, remove_round(graph, kernels, buffers, min_support));
    ++iterations;
    if (removed == 0) break;
  }
  return TrussRounds{std::move(buffers.removed), iterations};
}

// Peeling needs canonical lists: it finds an edge's reverse by binary search
// and relies on each triangle being counted once at every edge.
GpuResult<TrussRounds> run_truss(const GraphStore& graph, std::uint32_t min_support,
                                 InterruptPoll interrupt, KernelChoice choice) {
  if (choice == KernelChoice::automatic) {
    VORLAN_TRY(auto peeled, peel_if_canonical(graph, min_support, interrupt));
    if (peeled) return std::move(*peeled);
  }
  return recount_truss(graph, min_support, interrupt);
}

}  // namespace

GpuResult<KTrussResult> k_truss(const GraphStore& graph, std::uint32_t k, InterruptPoll interrupt,
                                KernelChoice choice) {
  if (k < 3) return std::unexpected(GpuError::kernel("k must be >= 3 for k-truss decomposition"));
  const Stopwatch clock;
  VORLAN_TRY(auto truss, run_truss(graph, k - 2, interrupt, choice));
  VORLAN_TRY(auto edges, surviving_edges(graph, truss.state));
  return KTrussResult{std::move(edges), k, truss.iterations, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
