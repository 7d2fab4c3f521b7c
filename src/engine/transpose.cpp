#include "engine/transpose.hpp"

#include <array>
#include <utility>

#include "engine/graph_store.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/scan.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;

// Positions of targets the kernels look at; a graph of no nodes has no lists,
// and its offsets (perhaps none at all) must not be read.
std::uint32_t positions_of(const GraphStore& graph) {
  return graph.num_nodes() == 0 ? 0 : graph.num_edges();
}
constexpr std::array<std::string_view, 7> kKernelNames = {
    "transpose_count_kernel",     "transpose_scatter_kernel", "transpose_sort_kernel",
    "transpose_sort_hubs_kernel", "transpose_sources_kernel", "transpose_hub_flags_kernel",
    "transpose_hubs_kernel"};
enum Kernel { kCount, kScatter, kSort, kSortHubs, kSources, kHubFlags, kHubs };

// In-degrees, one atomic per listed edge, into n + 1 words (the last one
// zero), which the scans below need.
GpuResult<driver::DeviceBuffer<std::uint32_t>> count_in_edges(const GraphStore& graph,
                                                              KernelSet kernels) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t positions = positions_of(graph);
  VORLAN_TRY(auto counts, filled_buffer<std::uint32_t>(graph.shared_stream(), n + 1, 0));
  driver::KernelLaunch launch(graph.stream(), kernels[kCount]);
  launch.read(graph.offsets()).read(graph.targets()).scalar(n).scalar(positions).write(counts);
  VORLAN_CHECK(launch_step(launch, blocks_for(positions), "in-degree kernel failed"));
  return counts;
}

// The counts' exclusive sums: the in-offsets, and the same again as the
// cursors the scatter advances.
struct Layout {
  driver::DeviceBuffer<std::uint32_t> offsets;
  driver::DeviceBuffer<std::uint32_t> cursors;
};

GpuResult<Layout> lay_out(const GraphStore& graph,
                          const driver::DeviceBuffer<std::uint32_t>& counts) {
  const std::uint32_t n = graph.num_nodes();
  VORLAN_TRY(auto offsets, lift(driver::allocate<std::uint32_t>(graph.shared_stream(), n + 1)));
  VORLAN_TRY(auto cursors, lift(driver::allocate<std::uint32_t>(graph.shared_stream(), n + 1)));
  VORLAN_CHECK(exclusive_scan_step(graph.shared_stream(), counts, offsets, n));
  VORLAN_CHECK(exclusive_scan_step(graph.shared_stream(), counts, cursors, n));
  return Layout{std::move(offsets), std::move(cursors)};
}

// The nodes of more in-edges than kWarpInDegree, ascending: the counts become
// flags in place, their sums each hub's slot, and only the number of hubs
// (which sizes the list) comes back to the host.
struct HubList {
  driver::DeviceBuffer<std::uint32_t> hubs;
  std::uint32_t num_hubs;
};

GpuResult<HubList> list_hubs(const GraphStore& graph, KernelSet kernels,
                             driver::DeviceBuffer<std::uint32_t>& counts) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t long_from = kWarpInDegree;
  driver::KernelLaunch flags(graph.stream(), kernels[kHubFlags]);
  flags.write(counts).scalar(n).scalar(long_from);
  VORLAN_CHECK(launch_step(flags, blocks_for(n), "hub flag kernel failed"));
  VORLAN_CHECK(exclusive_scan_step(graph.shared_stream(), counts, counts, n));
  VORLAN_TRY(const std::uint32_t num_hubs, read_element(graph.stream(), counts, n));
  VORLAN_TRY(auto hubs, lift(driver::allocate<std::uint32_t>(graph.shared_stream(), num_hubs)));
  driver::KernelLaunch list(graph.stream(), kernels[kHubs]);
  list.read(counts).scalar(n).write(hubs);
  VORLAN_CHECK(launch_step(list, blocks_for(n), "hub list kernel failed"));
  return HubList{std::move(hubs), num_hubs};
}

// Every listed position into its target's range, then each range sorted, so
// that the order the atomics handed out slots in leaves no trace: a thread
// per short range, a block per hub's.
GpuResult<driver::DeviceBuffer<std::uint32_t>> place_edges(const GraphStore& graph,
                                                           KernelSet kernels, Layout& layout,
                                                           std::uint32_t num_in,
                                                           const HubList& hubs) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t positions = positions_of(graph);
  VORLAN_TRY(auto in_edges, lift(driver::allocate<std::uint32_t>(graph.shared_stream(), num_in)));
  driver::KernelLaunch scatter(graph.stream(), kernels[kScatter]);
  scatter.read(graph.offsets())
      .read(graph.targets())
      .scalar(n)
      .scalar(positions)
      .write(layout.cursors)
      .write(in_edges);
  VORLAN_CHECK(launch_step(scatter, blocks_for(positions), "scatter kernel failed"));
  const std::uint32_t long_from = kWarpInDegree;
  driver::KernelLaunch sort(graph.stream(), kernels[kSort]);
  sort.read(layout.offsets).scalar(n).scalar(long_from).write(in_edges);
  VORLAN_CHECK(launch_step(sort, blocks_for(n), "in-list sort kernel failed"));
  driver::KernelLaunch sort_hubs(graph.stream(), kernels[kSortHubs]);
  sort_hubs.read(layout.offsets).read(hubs.hubs).write(in_edges);
  VORLAN_CHECK(launch_step(sort_hubs, hubs.num_hubs, "hub in-list sort kernel failed"));
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
  VORLAN_TRY(auto counts, count_in_edges(graph, kernels));
  VORLAN_TRY(auto layout, lay_out(graph, counts));
  VORLAN_TRY(const std::uint32_t num_in,
             read_element(graph.stream(), layout.offsets, graph.num_nodes()));
  VORLAN_TRY(auto hubs, list_hubs(graph, kernels, counts));
  VORLAN_TRY(auto in_edges, place_edges(graph, kernels, layout, num_in, hubs));
  VORLAN_TRY(auto in_sources, find_sources(graph, kernels, in_edges, num_in));
  return TransposedCsr{std::move(layout.offsets),
                       std::move(in_sources),
                       std::move(in_edges),
                       std::move(hubs.hubs),
                       num_in,
                       hubs.num_hubs};
}

GpuResult<TransposedLists> download_transpose(const GraphStore& graph) {
  VORLAN_TRY(const TransposedCsr* in, graph.transposed());
  VORLAN_TRY(auto in_offsets, download_step(graph.stream(), in->in_offsets));
  VORLAN_TRY(auto in_sources, download_step(graph.stream(), in->in_sources));
  VORLAN_TRY(auto in_edges, download_step(graph.stream(), in->in_edges));
  return TransposedLists{std::move(in_offsets), std::move(in_sources), std::move(in_edges)};
}

}  // namespace vorlan::engine
