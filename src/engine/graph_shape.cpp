#include "engine/graph_shape.hpp"

#include "engine/kernel_steps.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

// Positions of the reverses and the number of positions left without one
// (self-loops among them), both on the device.
struct ReverseSearch {
  driver::DeviceBuffer<std::uint32_t> reverse;
  driver::DeviceBuffer<std::uint32_t> unpaired;
};

GpuResult<ReverseSearch> search_reverses(const GraphStore& graph,
                                         const driver::KernelFunction& kernel) {
  VORLAN_TRY(auto reverse,
             driver::allocate<std::uint32_t>(graph.shared_stream(), graph.num_edges()));
  // The launch keeps pointers to its scalars until it is issued.
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t m = graph.num_edges();
  // Every position starts unpaired; each pair the kernel finds takes two off.
  VORLAN_TRY(auto unpaired, filled_buffer<std::uint32_t>(graph.shared_stream(), 1, m));
  driver::KernelLaunch launch(graph.stream(), kernel);
  launch.read(graph.offsets())
      .read(graph.targets())
      .scalar(n)
      .scalar(m)
      .write(reverse)
      .write(unpaired);
  VORLAN_CHECK(launch_step(launch, grid_blocks(m), "reverse edge kernel failed"));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  return ReverseSearch{std::move(reverse), std::move(unpaired)};
}

}  // namespace

GpuResult<const driver::DeviceBuffer<std::uint32_t>*> canonical_reverse(
    const GraphStore& graph, const driver::KernelFunction& reverse_edge_kernel) {
  if (!graph.may_be_canonical()) return nullptr;
  ReverseIndex& index = graph.reverse_index();
  const std::scoped_lock lock(index.mutex);
  if (index.positions) return &*index.positions;
  VORLAN_TRY(auto search, search_reverses(graph, reverse_edge_kernel));
  VORLAN_TRY(const std::uint32_t unpaired, read_scalar(graph.stream(), search.unpaired));
  graph.remember_symmetric(unpaired == 0);
  if (unpaired != 0) return nullptr;
  index.positions.emplace(std::move(search.reverse));
  return &*index.positions;
}

}  // namespace vorlan::engine
