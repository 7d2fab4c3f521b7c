#include "engine/graph_shape.hpp"

#include "engine/kernel_steps.hpp"

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
  auto reverse = lift(driver::allocate<std::uint32_t>(graph.shared_stream(), graph.num_edges()));
  if (!reverse) return std::unexpected(std::move(reverse.error()));
  auto violations = filled_buffer<std::uint32_t>(graph.shared_stream(), 1, 0);
  if (!violations) return std::unexpected(std::move(violations.error()));
  // The launch keeps pointers to its scalars until it is issued.
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t m = graph.num_edges();
  driver::KernelLaunch launch(graph.stream(), kernel);
  launch.read(graph.offsets()).read(graph.targets()).scalar(n).scalar(m).write(*reverse)
      .write(*violations);
  if (auto r = launch_step(launch, grid_blocks(m), "reverse edge kernel failed"); !r) {
    return std::unexpected(r.error());
  }
  if (auto r = synchronize_step(graph.stream()); !r) return std::unexpected(r.error());
  return ReverseSearch{std::move(*reverse), std::move(*violations)};
}

}  // namespace

GpuResult<std::optional<driver::DeviceBuffer<std::uint32_t>>> canonical_reverse(
    const GraphStore& graph, const driver::KernelFunction& reverse_edge_kernel) {
  using Answer = std::optional<driver::DeviceBuffer<std::uint32_t>>;
  if (!graph.strictly_ascending() || graph.known_symmetric() == false) return Answer{};
  auto search = search_reverses(graph, reverse_edge_kernel);
  if (!search) return std::unexpected(std::move(search.error()));
  auto violations = read_scalar(graph.stream(), search->violations);
  if (!violations) return std::unexpected(std::move(violations.error()));
  graph.remember_symmetric(*violations == 0);
  if (*violations != 0) return Answer{};
  return Answer{std::move(search->reverse)};
}

}  // namespace vorlan::engine
