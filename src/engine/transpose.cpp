#include "engine/transpose.hpp"

#include <array>
#include <utility>

#include "engine/graph_store.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;

// Positions of targets the kernels look at; a graph of no nodes has no lists,
// and its offsets (perhaps none at all) must not be read.
std::uint32_t positions_of(const GraphStore& graph) {
  return graph.num_nodes() == 0 ? 0 : graph.num_edges();
}
constexpr std::array<std::string_view, 5> kKernelNames = {
    "transpose_count_kernel", "transpose_scatter_kernel", "transpose_sort_kernel",
    "transpose_sort_hubs_kernel", "transpose_sources_kernel"};
enum Kernel { kCount, kScatter, kSort, kSortHubs, kSources };

// In-degrees, one atomic per listed edge.
GpuResult<std::vector<std::uint32_t>> count_in_edges(const GraphStore& graph, KernelSet kernels) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t positions = positions_of(graph);
  VORLAN_TRY(auto counts, filled_buffer<std::uint32_t>(graph.shared_stream(), n, 0));
  driver::KernelLaunch launch(graph.stream(), kernels[kCount]);
  launch.read(graph.offsets()).read(graph.targets()).scalar(n).scalar(positions).write(counts);
  VORLAN_CHECK(launch_step(launch, blocks_for(positions), "in-degree kernel failed"));
  return download_step(graph.stream(), counts);
}

// The counts become offsets on the host: one pass over n integers, which the
// device would need three launches for, and the hubs fall out of the same pass.
struct Layout {
  std::vector<std::uint32_t> offsets;
  std::vector<std::uint32_t> hubs;
};

Layout lay_out(const std::vector<std::uint32_t>& counts) {
  Layout layout;
  layout.offsets.resize(counts.size() + 1);
  std::uint32_t total = 0;
  for (std::size_t v = 0; v < counts.size(); ++v) {
    layout.offsets[v] = total;
    total += counts[v];
    if (counts[v] > kWarpInDegree) layout.hubs.push_back(static_cast<std::uint32_t>(v));
  }
  layout.offsets.back() = total;
  return layout;
}

// Every listed position into its target's range, then each range sorted, so
// that the order the atomics handed out slots in leaves no trace: a thread
// per short range, a block per hub's.
GpuResult<driver::DeviceBuffer<std::uint32_t>> place_edges(
    const GraphStore& graph, KernelSet kernels,
    const driver::DeviceBuffer<std::uint32_t>& in_offsets,
    const std::vector<std::uint32_t>& offsets, const driver::DeviceBuffer<std::uint32_t>& hubs,
    std::uint32_t num_hubs) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t positions = positions_of(graph);
  VORLAN_TRY(auto cursors, upload_step<std::uint32_t>(graph.shared_stream(), offsets));
  VORLAN_TRY(auto in_edges,
             lift(driver::allocate<std::uint32_t>(graph.shared_stream(), offsets.back())));
  driver::KernelLaunch scatter(graph.stream(), kernels[kScatter]);
  scatter.read(graph.offsets())
      .read(graph.targets())
      .scalar(n)
      .scalar(positions)
      .write(cursors)
      .write(in_edges);
  VORLAN_CHECK(launch_step(scatter, blocks_for(positions), "scatter kernel failed"));
  const std::uint32_t long_from = kWarpInDegree;
  driver::KernelLaunch sort(graph.stream(), kernels[kSort]);
  sort.read(in_offsets).scalar(n).scalar(long_from).write(in_edges);
  VORLAN_CHECK(launch_step(sort, blocks_for(n), "in-list sort kernel failed"));
  driver::KernelLaunch sort_hubs(graph.stream(), kernels[kSortHubs]);
  sort_hubs.read(in_offsets).read(hubs).write(in_edges);
  VORLAN_CHECK(launch_step(sort_hubs, num_hubs, "hub in-list sort kernel failed"));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  return in_edges;
}

GpuResult<driver::DeviceBuffer<std::uint32_t>> find_sources(
    const GraphStore& graph, KernelSet kernels, const driver::DeviceBuffer<std::uint32_t>& in_edges,
    std::uint32_t num_in) {
  const std::uint32_t n = graph.num_nodes();
  VORLAN_TRY(auto in_sources, lift(driver::allocate<std::uint32_t>(graph.shared_stream(), num_in)));
  driver::KernelLaunch launch(graph.stream(), kernels[kSources]);
  launch.read(graph.offsets()).scalar(n).read(in_edges).scalar(num_in).write(in_sources);
  VORLAN_CHECK(launch_step(launch, blocks_for(num_in), "source kernel failed"));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  return in_sources;
}

}  // namespace

GpuResult<TransposedCsr> transpose_graph(const GraphStore& graph) {
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::transpose_ptx, kKernelNames));
  VORLAN_TRY(const auto counts, count_in_edges(graph, kernels));
  const Layout layout = lay_out(counts);
  const std::uint32_t num_in = layout.offsets.back();
  VORLAN_TRY(auto in_offsets, upload_step<std::uint32_t>(graph.shared_stream(), layout.offsets));
  VORLAN_TRY(auto hubs, upload_step<std::uint32_t>(graph.shared_stream(), layout.hubs));
  const auto num_hubs = static_cast<std::uint32_t>(layout.hubs.size());
  VORLAN_TRY(auto in_edges,
             place_edges(graph, kernels, in_offsets, layout.offsets, hubs, num_hubs));
  VORLAN_TRY(auto in_sources, find_sources(graph, kernels, in_edges, num_in));
  return TransposedCsr{std::move(in_offsets),
                       std::move(in_sources),
                       std::move(in_edges),
                       std::move(hubs),
                       num_in,
                       num_hubs};
}

GpuResult<TransposedLists> download_transpose(const GraphStore& graph) {
  VORLAN_TRY(const TransposedCsr* in, graph.transposed());
  VORLAN_TRY(auto in_offsets, download_step(graph.stream(), in->in_offsets));
  VORLAN_TRY(auto in_sources, download_step(graph.stream(), in->in_sources));
  VORLAN_TRY(auto in_edges, download_step(graph.stream(), in->in_edges));
  return TransposedLists{std::move(in_offsets), std::move(in_sources), std::move(in_edges)};
}

}  // namespace vorlan::engine
