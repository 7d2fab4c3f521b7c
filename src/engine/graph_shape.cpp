#include "engine/graph_shape.hpp"

#include "engine/kernel_steps.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

// Positions of the reverses and the number of positions without one (or
// self-loops), both on the device.
struct ReverseSearch {
  driver::DeviceBuffer<std::uint32_t> reverse;
  driver::DeviceBuffer<std::uint32_t> violations;
};

GpuResult<ReverseSearch> search_reverses(const GraphStore& graph,
                                         const driver::KernelFunction& kernel) {
  VORLAN_TRY(auto reverse,
             driver::allocate<std::uint32_t>(graph.shared_stream(), graph.num_edges()));
  VORLAN_TRY(auto violations, filled_buffer<std::uint32_t>(graph.shared_stream(), 1, 0));
  // The launch keeps pointers to its scalars until it is issued.
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t m = graph.num_edges();
  driver::KernelLaunch launch(graph.stream(), kernel);
  launch.read(graph.offsets())
      .read(graph.targets())
      .scalar(n)
      .scalar(m)
      .write(reverse)
      .write(violations);
  VORLAN_CHECK(launch_step(launch, grid_blocks(m), "reverse edge kernel failed"));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  return ReverseSearch{std::move(reverse), std::move(violations)};
}

}  // namespace

GpuResult<const driver::DeviceBuffer<std::uint32_t>*> canonical_reverse(
    const GraphStore& graph, const driver::KernelFunction& reverse_edge_kernel) {
  if (!graph.may_be_canonical()) return nullptr;
  ReverseIndex& index = graph.reverse_index();
  const std::scoped_lock lock(index.mutex);
  if (index.positions) return &*index.positions;
  VORLAN_TRY(auto search, search_reverses(graph, reverse_edge_kernel));
  VORLAN_TRY(const std::uint32_t violations, read_scalar(graph.stream(), search.violations));
  graph.remember_symmetric(violations == 0);
  if (violations != 0) return nullptr;
  index.positions.emplace(std::move(search.reverse));
  return &*index.positions;
}

}  // namespace vorlan::engine
