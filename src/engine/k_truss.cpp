#include "engine/k_truss.hpp"

#include <array>

#include "engine/k_truss_peeling.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 2> kKernelNames = {"edge_triangle_support_kernel",
                                                          "edge_filter_kernel"};
enum Kernel { kSupport, kFilter };

struct TrussBuffers {
  std::vector<std::uint32_t> zero_support;  // host side, copied over `support` every round
  driver::DeviceBuffer<std::uint32_t> support;
  driver::DeviceBuffer<std::uint8_t> removed;
  driver::DeviceBuffer<std::uint32_t> removed_count;
};

GpuResult<TrussBuffers> prepare(const GraphStore& graph) {
  const std::uint32_t m = graph.num_edges();
  std::vector<std::uint32_t> zero_support(m, 0);
  auto support = upload_step<std::uint32_t>(graph.shared_stream(), zero_support);
  if (!support) return std::unexpected(std::move(support.error()));
  auto removed = upload_step<std::uint8_t>(graph.shared_stream(), std::vector<std::uint8_t>(m, 0));
  if (!removed) return std::unexpected(std::move(removed.error()));
  auto count = filled_buffer<std::uint32_t>(graph.shared_stream(), 1, 0);
  if (!count) return std::unexpected(std::move(count.error()));
  return TrussBuffers{std::move(zero_support), std::move(*support), std::move(*removed),
                      std::move(*count)};
}

// One round: fresh supports, then removal of the edges below min_support.
// Returns how many positions it removed.
GpuResult<std::uint32_t> remove_round(const GraphStore& graph,
                                      const std::vector<driver::KernelFunction>& kernels,
                                      TrussBuffers& buffers, std::uint32_t min_support) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t m = graph.num_edges();
  if (auto r = copy_step<std::uint32_t>(graph.stream(), buffers.zero_support, buffers.support);
      !r) {
    return std::unexpected(r.error());
  }
  driver::KernelLaunch support(graph.stream(), kernels[kSupport]);
  support.read(graph.offsets()).read(graph.targets()).read(buffers.removed).scalar(n)
      .write(buffers.support);
  if (auto r = launch_step(support, blocks_for(n), "support kernel failed"); !r) {
    return std::unexpected(r.error());
  }
  const std::array<std::uint32_t, 1> zero = {0};
  if (auto r = copy_step<std::uint32_t>(graph.stream(), zero, buffers.removed_count); !r) {
    return std::unexpected(r.error());
  }
  driver::KernelLaunch filter(graph.stream(), kernels[kFilter]);
  filter.read(buffers.support).write(buffers.removed).scalar(m).scalar(min_support)
      .write(buffers.removed_count);
  if (auto r = launch_step(filter, blocks_for(m), "filter kernel failed"); !r) {
    return std::unexpected(r.error());
  }
  if (auto r = synchronize_step(graph.stream()); !r) return std::unexpected(r.error());
  return read_scalar(graph.stream(), buffers.removed_count);
}

// The live positions u -> v with v > u, in node order, then list order;
// a position is live while its byte in `removed` is 0.
GpuResult<std::vector<std::pair<std::uint32_t, std::uint32_t>>> surviving_edges(
    const GraphStore& graph, const driver::DeviceBuffer<std::uint8_t>& removed_flags) {
  auto removed = download_step(graph.stream(), removed_flags);
  if (!removed) return std::unexpected(std::move(removed.error()));
  auto offsets = download_step(graph.stream(), graph.offsets());
  if (!offsets) return std::unexpected(std::move(offsets.error()));
  auto targets = download_step(graph.stream(), graph.targets());
  if (!targets) return std::unexpected(std::move(targets.error()));
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  for (std::uint32_t u = 0; u < graph.num_nodes(); ++u) {
    for (std::uint32_t e = (*offsets)[u]; e < (*offsets)[u + 1]; ++e) {
      const std::uint32_t v = (*targets)[e];
      if (v > u && (*removed)[e] == 0) edges.emplace_back(u, v);
    }
  }
  return edges;
}

// Rounds that count every support again, on any graph.
GpuResult<TrussRounds> recount_truss(const GraphStore& graph, std::uint32_t min_support,
                                     InterruptPoll interrupt) {
  const auto kernels = kernels_step(slot, graph.stream(), kernels::k_truss_ptx, kKernelNames);
  if (!kernels) return std::unexpected(std::move(kernels.error()));
  auto buffers = prepare(graph);
  if (!buffers) return std::unexpected(std::move(buffers.error()));
  std::uint32_t iterations = 0;
  for (;;) {
    if (auto r = interrupt_step(interrupt); !r) return std::unexpected(r.error());
    auto removed = remove_round(graph, *kernels, *buffers, min_support);
    if (!removed) return std::unexpected(std::move(removed.error()));
    ++iterations;
    if (*removed == 0) break;
  }
  return TrussRounds{std::move(buffers->removed), iterations};
}

// Peeling needs canonical lists: it finds an edge's reverse by binary search
// and relies on each triangle being counted once at every edge.
GpuResult<TrussRounds> run_truss(const GraphStore& graph, std::uint32_t min_support,
                                 InterruptPoll interrupt, KernelChoice choice) {
  if (choice == KernelChoice::automatic) {
    auto peeled = peel_if_canonical(graph, min_support, interrupt);
    if (!peeled) return std::unexpected(std::move(peeled.error()));
    if (*peeled) return std::move(**peeled);
  }
  return recount_truss(graph, min_support, interrupt);
}

}  // namespace

GpuResult<KTrussResult> k_truss(const GraphStore& graph, std::uint32_t k, InterruptPoll interrupt,
                                KernelChoice choice) {
  if (k < 3) return std::unexpected(GpuError::kernel("k must be >= 3 for k-truss decomposition"));
  const Stopwatch clock;
  auto truss = run_truss(graph, k - 2, interrupt, choice);
  if (!truss) return std::unexpected(std::move(truss.error()));
  auto edges = surviving_edges(graph, truss->state);
  if (!edges) return std::unexpected(std::move(edges.error()));
  return KTrussResult{std::move(*edges), k, truss->iterations, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
